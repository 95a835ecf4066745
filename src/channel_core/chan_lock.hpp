// The channel mutex: one 32-bit word, taken with a compare-and-swap and
// released with a plain release store.
//
// Why not std::mutex: every send and receive takes the channel lock once, and
// an uncontended pthread lock/unlock pair costs two library calls, some fifty
// instructions of type checks and two atomic read-modify-writes. Here the pair
// is inline and has one: the unlock is an ordinary store, because nobody ever
// has to be woken by it.
//
// That holds because a waiter never sleeps indefinitely on the word. Holds are
// a bounded number of steps (see waker.hpp), so a waiter spins first; if the
// holder was descheduled it yields, and past that it sleeps on the word in
// short timed naps, re-checking after each. A holder that releases therefore
// needs to know of no waiter, and the rare long wait costs a wake-up every
// nap instead of an atomic exchange on every unlock.
#pragma once

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <ctime>

#include "common/fences.hpp"

namespace vornic::chan::detail {

class ChanLock {
 public:
  ChanLock() = default;
  ChanLock(const ChanLock&) = delete;
  ChanLock& operator=(const ChanLock&) = delete;

  void lock() noexcept {
    if (try_lock()) return;
    lock_contended();
  }

  bool try_lock() noexcept {
    std::uint32_t expected = kFree;
    return word_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                         std::memory_order_relaxed);
  }

  void unlock() noexcept { word_.store(kFree, std::memory_order_release); }

 private:
  static constexpr std::uint32_t kFree = 0;
  static constexpr std::uint32_t kLocked = 1;
  static constexpr int kSpins = 100;
  static constexpr int kYields = 20;
  static constexpr long kNapNanos = 50'000;

  [[gnu::noinline]] void lock_contended() noexcept {
    for (int round = 0;; ++round) {
      if (word_.load(std::memory_order_relaxed) == kFree && try_lock()) return;
      if (round < kSpins) {
        cpu_relax();
      } else if (round < kSpins + kYields) {
        sched_yield();
      } else {
        // Returns at once if the word is no longer kLocked.
        const timespec nap{0, kNapNanos};
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAIT_PRIVATE, kLocked, &nap,
                nullptr, 0);
      }
    }
  }

  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                    std::atomic<std::uint32_t>::is_always_lock_free,
                "the futex word must be a plain 32-bit integer");
  std::atomic<std::uint32_t> word_{kFree};
};

}  // namespace vornic::chan::detail
