// Timeouts for channel waits.
#pragma once
#include <algorithm>
#include <cmath>
#include <optional>

#include "binding/args.hpp"
#include "channel_core/after.hpp"

namespace vornic::channel {

// Requires: secs >= 0 (callers reject or clamp negatives first). A timer
// firing `secs` from now; one beyond the clock's range never fires. NaN,
// infinity and 2^64 s or more are a fault.
inline chan::Timer timer_after_secs(double secs) { return chan::at(deadline_after(duration_from_secs(secs))); }

// select's and aselect's timeout: None waits without limit; a negative or NaN
// one means a single check without waiting.
inline std::optional<double> select_timeout_secs(const NoneOr<double>& timeout) {
    if (!timeout.v) return std::nullopt;
    return std::isnan(*timeout.v) ? 0.0 : std::max(0.0, *timeout.v);
}

}  // namespace vornic::channel
