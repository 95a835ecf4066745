// Time for the channel core: one monotonic clock, instants on it, and
// optional deadlines where "absent" means "no limit".
//
// A deadline that would fall beyond the clock's range is not an error: it is
// turned into "no limit", because nobody can observe the difference between
// waiting until the end of the clock and waiting forever.
#pragma once

#include <chrono>
#include <cmath>
#include <optional>

namespace vornic::chan {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;
// nullopt means "no limit".
using Deadline = std::optional<Instant>;

// Returns now + d, now itself for d <= 0, or nullopt (no limit) when the sum
// does not fit the clock.
inline Deadline deadline_after(std::chrono::nanoseconds d) noexcept {
  const Instant now = Clock::now();
  if (d <= std::chrono::nanoseconds::zero()) return now;
  const auto room = std::chrono::duration_cast<std::chrono::nanoseconds>(Instant::max() - now);
  if (d >= room) return std::nullopt;
  return now + std::chrono::duration_cast<Clock::duration>(d);
}

// Same for a number of seconds. NaN and values <= 0 give "now"; values too
// large for the clock (infinity included) give nullopt. Callers that must
// reject NaN or infinity do so before calling.
inline Deadline deadline_after_seconds(double seconds) noexcept {
  const Instant now = Clock::now();
  if (!(seconds > 0.0)) return now;
  const double room =
      std::chrono::duration<double>(Instant::max() - now).count();
  if (!(seconds < room)) return std::nullopt;
  const double ns = std::floor(seconds * 1e9);
  // `room` in nanoseconds is below 2^63, so the cast cannot overflow; the
  // product can still round up to the boundary, so check once more.
  if (ns >= 9.2e18) return std::nullopt;
  const auto d = std::chrono::nanoseconds(static_cast<long long>(ns));
  if (d >= Instant::max() - now) return std::nullopt;
  return now + std::chrono::duration_cast<Clock::duration>(d);
}

// The earlier of two deadlines; "no limit" loses against any instant.
inline Deadline earliest(const Deadline& a, const Deadline& b) noexcept {
  if (!a) return b;
  if (!b) return a;
  return *a < *b ? a : b;
}

}  // namespace vornic::chan
