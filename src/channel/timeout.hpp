// Timeouts for channel waits.
#pragma once
#include "binding/args.hpp"
#include "channel_core/after.hpp"

namespace vornic::channel {

// Requires: secs >= 0 (callers reject or clamp negatives first). A timer
// firing `secs` from now; one beyond the clock's range never fires. NaN,
// infinity and 2^64 s or more are a fault.
inline chan::Timer timer_after_secs(double secs) { return chan::at(deadline_after(duration_from_secs(secs))); }

}  // namespace vornic::channel
