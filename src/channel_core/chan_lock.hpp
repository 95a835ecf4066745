// The channel mutex: a 32-bit word that spins briefly, then parks on a futex.
//
// State word (the classic three-state futex mutex):
//   0  unlocked
//   1  locked, nobody parked
//   2  locked, and a thread may be parked: the unlocker must wake one
//
// Why not std::mutex: every send and receive takes the channel lock once, and
// an uncontended pthread lock/unlock pair costs two library calls and some
// fifty instructions of type checks around its two atomic instructions. Here
// both halves are inline: one compare-and-swap to lock, one exchange to
// unlock, and a call only when somebody has to sleep or be woken.
//
// Holds are a bounded number of steps (see waker.hpp), so a waiter spins
// first and parks only if the holder was descheduled.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace vornic::chan::detail {

class ChanLock {
 public:
  ChanLock() = default;
  ChanLock(const ChanLock&) = delete;
  ChanLock& operator=(const ChanLock&) = delete;

  void lock() noexcept {
    std::uint32_t expected = kFree;
    if (word_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      return;
    }
    lock_contended();
  }

  void unlock() noexcept {
    if (word_.exchange(kFree, std::memory_order_release) == kParked) wake_one();
  }

 private:
  static constexpr std::uint32_t kFree = 0;
  static constexpr std::uint32_t kLocked = 1;
  static constexpr std::uint32_t kParked = 2;
  static constexpr int kSpins = 100;

  [[gnu::noinline]] void lock_contended() noexcept {
    for (int i = 0; i < kSpins; ++i) {
      std::uint32_t cur = word_.load(std::memory_order_relaxed);
      if (cur == kFree && word_.compare_exchange_weak(cur, kLocked, std::memory_order_acquire,
                                                      std::memory_order_relaxed)) {
        return;
      }
      if (cur == kParked) break;  // others already sleep; join them
      cpu_relax();
    }
    // Taking the word as kParked (rather than kLocked) is conservative: the
    // eventual unlock may issue one wake that finds nobody.
    while (word_.exchange(kParked, std::memory_order_acquire) != kFree) {
      // Returns at once if the word is no longer kParked; the loop re-checks.
      syscall(SYS_futex, futex_word(), FUTEX_WAIT_PRIVATE, kParked, nullptr, nullptr, 0);
    }
  }

  [[gnu::noinline]] void wake_one() noexcept {
    syscall(SYS_futex, futex_word(), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }

  std::uint32_t* futex_word() noexcept { return reinterpret_cast<std::uint32_t*>(&word_); }

  static void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
  }

  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                    std::atomic<std::uint32_t>::is_always_lock_free,
                "the futex word must be a plain 32-bit integer");
  std::atomic<std::uint32_t> word_{kFree};
};

}  // namespace vornic::chan::detail
