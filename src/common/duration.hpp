// Durations and deadlines for timed waits. Python-free.
//
// A timeout arrives as float seconds and may be far larger than a steady_clock
// time_point can hold (up to just under 2^64 seconds). Such a deadline means
// "no limit", so deadline_after() answers std::nullopt instead of overflowing.
#pragma once
#include <chrono>
#include <cstdint>
#include <optional>

namespace vornic {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;  // nullopt: wait without limit

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;  // < 1e9
};

// Returns now + d, or nullopt when that instant is beyond the clock's range.
inline Deadline deadline_after(Duration d, Clock::time_point now = Clock::now()) {
    using namespace std::chrono;
    const auto since_epoch = duration_cast<nanoseconds>(now.time_since_epoch()).count();
    const std::int64_t max_ns = nanoseconds::max().count();
    if (since_epoch < 0) return std::nullopt;
    const std::int64_t room = max_ns - since_epoch;
    // room / 1e9 seconds are left before the clock overflows.
    if (d.secs > static_cast<std::uint64_t>(room / 1'000'000'000)) return std::nullopt;
    const std::int64_t total = static_cast<std::int64_t>(d.secs) * 1'000'000'000 + d.nanos;
    if (total > room) return std::nullopt;
    return now + duration_cast<Clock::duration>(nanoseconds(total));
}

}  // namespace vornic
