// Timers for multi-way waits: after(d) gives a receive-like operation that
// becomes ready at creation + d on the monotonic clock and then delivers that
// instant. If the instant does not fit the clock it never becomes ready.
#pragma once

#include <chrono>

#include "channel_core/clock.hpp"

namespace vornic::chan {

class Timer {
 public:
  // nullopt: never ready.
  explicit Timer(Deadline instant) noexcept : instant_(instant) {}

  const Deadline& instant() const noexcept { return instant_; }
  bool ready(Instant now) const noexcept { return instant_ && now >= *instant_; }

 private:
  Deadline instant_;
};

inline Timer after(std::chrono::nanoseconds d) noexcept { return Timer(deadline_after(d)); }

// A timer at an absolute instant (nullopt: never ready).
inline Timer at(Deadline instant) noexcept { return Timer(instant); }

}  // namespace vornic::chan
