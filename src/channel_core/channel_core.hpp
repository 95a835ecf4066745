// The channel core in one include: channels (channel.hpp), timers (after.hpp)
// and multi-way waits (select.hpp). Python-free; see each header for rules.
#pragma once

#include "channel_core/after.hpp"
#include "channel_core/channel.hpp"
#include "channel_core/clock.hpp"
#include "channel_core/result.hpp"
#include "channel_core/select.hpp"
