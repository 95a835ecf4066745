// The shard mutex: a 32-bit word that spins briefly, then parks on a futex.
// Python-free.
//
// State word (the classic three-state futex mutex):
//   0  unlocked
//   1  locked, nobody parked
//   2  locked, and a thread may be parked: the unlocker must wake one
//
// Why not std::mutex: the word lives inside a shard array that is obtained
// zero-filled from calloc and never constructed object by object, so a
// million-shard map costs untouched pages until a shard is first used. All
// zero bits must therefore be the unlocked state, and the lock must need no
// constructor or destructor. std::atomic_ref gives atomic access to the plain
// word.
//
// Holds are a handful of instructions (a table probe, a few reference-count
// increments, at most one allocation), so a waiter spins first; it parks only
// if the holder was descheduled. A waiter stays attached to the interpreter:
// no holder ever waits for anything while holding the word, so the wait is
// always short and never waits on the waiter itself.
#pragma once
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "common/fences.hpp"

namespace vornic::map {

class ShardLock {
public:
    static void lock(std::uint32_t& word) noexcept {
        std::atomic_ref<std::uint32_t> w(word);
        std::uint32_t expected = kFree;
        if (w.compare_exchange_strong(expected, kLocked, std::memory_order_acquire, std::memory_order_relaxed)) return;
        lock_contended(word);
    }

    static void unlock(std::uint32_t& word) noexcept {
        std::atomic_ref<std::uint32_t> w(word);
        if (w.exchange(kFree, std::memory_order_release) == kParked) wake_one(word);
    }

private:
    static constexpr std::uint32_t kFree = 0;
    static constexpr std::uint32_t kLocked = 1;
    static constexpr std::uint32_t kParked = 2;
    static constexpr int kSpins = 200;

    [[gnu::noinline]] static void lock_contended(std::uint32_t& word) noexcept {
        std::atomic_ref<std::uint32_t> w(word);
        for (int i = 0; i < kSpins; ++i) {
            std::uint32_t cur = w.load(std::memory_order_relaxed);
            if (cur == kFree &&
                w.compare_exchange_weak(cur, kLocked, std::memory_order_acquire, std::memory_order_relaxed))
                return;
            if (cur == kParked) break;  // others already sleep; join them
            cpu_relax();
        }
        // Taking the word as kParked (rather than kLocked) is conservative: the
        // eventual unlock may issue one wake that finds nobody.
        while (w.exchange(kParked, std::memory_order_acquire) != kFree) {
            // Returns at once if the word is no longer kParked; spurious
            // wakes are fine, the loop re-checks.
            syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, kParked, nullptr, nullptr, 0);
        }
    }

    static void wake_one(std::uint32_t& word) noexcept {
        syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
};

}  // namespace vornic::map
