// Waiter: what one blocked call leaves behind on the channels it waits on.
//
// A waiter holds
//   - a claim cell that starts at kWaiting and leaves it exactly once, to
//     kAborted (the owner gave up: deadline, or it saw an operation become
//     ready while registering), kDisconnected (a channel it waits on lost one
//     side) or selected(k) (a peer completed, or made room for, operation k);
//   - a way to sleep until claimed or until a deadline, and to be woken by
//     the peer that claimed it: a futex word the owner raises just before it
//     sleeps, so that a peer that claims a waiter which has not gone to sleep
//     (it is still registering, or has not reached its sleep yet) makes no
//     wake-up call at all.
// The hand-over slot of rendezvous pairing lives in the operation record the
// waiter registered (see operation.hpp); channels reach it through the
// `packet` pointer of their waiter-list entry.
//
// Because the claim cell changes only once, a waiter registered on many
// channels can be completed by at most one of them; every other peer that
// finds it simply moves on to the next waiter.
//
// Lifetime: a peer that claimed a waiter wakes it after releasing the channel
// lock, by which time the owner may already have returned. Waiters are
// therefore reference counted: the owner holds one reference for the whole
// wait and a peer takes another, under the channel lock, before it unlocks.
// Each thread caches one waiter and reuses it when nobody else still holds a
// reference, so a blocking call normally allocates nothing.
//
// Sleep protocol (the claim cell and `sleeping_`, both sequentially
// consistent): the owner sets `sleeping_` and then re-reads the cell before it
// sleeps on `sleeping_`; a peer claims the cell and then clears `sleeping_`,
// waking the futex only if it was set. Whichever order the two threads run
// in, either the owner sees the claim and does not sleep, or the peer sees
// the owner asleep (or about to be: its futex wait then returns at once,
// the word no longer holding the value it sleeps on) and wakes it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "channel_core/clock.hpp"

namespace vornic::chan::detail {

using Claim = std::uintptr_t;
inline constexpr Claim kWaiting = 0;
inline constexpr Claim kAborted = 1;
inline constexpr Claim kDisconnected = 2;
inline constexpr Claim kFirstOperation = 3;

constexpr Claim selected(std::size_t op) noexcept { return kFirstOperation + op; }
constexpr bool is_selected(Claim c) noexcept { return c >= kFirstOperation; }
constexpr std::size_t selected_operation(Claim c) noexcept { return c - kFirstOperation; }

// A small number unique to the calling thread for the life of the process;
// used to keep a thread from being paired with itself.
std::uint64_t current_thread_token() noexcept;

// How long a waiter spins, watching its claim cell, before it goes to sleep
// (process-wide; zero, the default, never spins). A claim that arrives
// within it costs the owner no sleep and the peer no wake-up call: the
// hand-off is a few cache-line transfers instead of a futex round trip and
// a processor coming out of idle, which dominates a hand-over between two
// threads that each wait for the other. Set once, before waits begin;
// spinning only pays where the peer runs at the same time on another
// processor, so the caller leaves it at zero where that cannot happen.
void set_sleep_spin(std::chrono::nanoseconds budget) noexcept;

// The calling thread's waits never spin, whatever the budget: for threads
// that wait between pieces of work another thread hands them (a pool's
// workers), where a spin holds a processor that the thread about to hand
// over the next piece, or one already running a piece, needs more.
void never_spin_on_this_thread() noexcept;

// A uniformly random value in [0, n), n >= 1, from a cheap per-thread
// generator seeded once per thread (no entropy is drawn per call).
std::size_t random_below(std::size_t n) noexcept;

class Waiter {
 public:
  explicit Waiter(std::uint64_t thread) noexcept : thread_(thread) {}
  // Virtual for waiters whose owner is not a parked thread (task_wait.hpp):
  // they are told of a claim through their own unpark().
  virtual ~Waiter() = default;
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  std::uint64_t thread() const noexcept { return thread_; }
  Claim claim() const noexcept { return state_.load(std::memory_order_acquire); }

  // Moves the cell from kWaiting to `to`. False if it had already left
  // kWaiting (someone else won).
  bool try_claim(Claim to) noexcept {
    Claim expected = kWaiting;
    // Sequentially consistent for the sleep protocol (above).
    return state_.compare_exchange_strong(expected, to, std::memory_order_seq_cst,
                                          std::memory_order_acquire);
  }

  // Owner only. Sleeps until the cell leaves kWaiting or `until` passes; in the
  // latter case it tries to abort. Returns the final value of the cell (which
  // is a peer's claim if the peer beat the abort).
  Claim park(const Deadline& until) noexcept;

  // Owner only. Sleeps until the cell leaves kWaiting or `until` passes, and
  // returns the cell as it is then (kWaiting when the time ran out): one
  // slice of a wait that does not end when the slice does.
  Claim park_slice(Instant until) noexcept;

  // Wakes the owner. Call only after claiming, and never under a channel lock.
  virtual void unpark() noexcept;

  // Owner only, between two waits, with no node linked: back to kWaiting for
  // the next round. A peer that claimed an earlier round may still wake the
  // owner afterwards; owners that rearm treat such a wake-up as spurious.
  void rearm() noexcept { state_.store(kWaiting, std::memory_order_relaxed); }

  void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }

  // Link used only by the peer that claimed this waiter, to chain several
  // claimed waiters for waking after it unlocks (a claim succeeds once per
  // wait, so the link has a single user at a time).
  Waiter* wake_next = nullptr;
  void release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 private:
  friend Waiter& acquire_waiter();

  // One sleep: returns when woken (possibly spuriously), when `until`
  // passes, or at once if the cell has left kWaiting. Callers loop.
  void sleep_until(const Deadline& until) noexcept;
  // Spins for the claim, up to the spin budget or `until`; true if claimed.
  bool spin_for_claim(const Deadline& until) noexcept;

  std::atomic<Claim> state_{kWaiting};
  std::atomic<std::uint32_t> refs_{1};
  std::atomic<std::uint32_t> sleeping_{0};  // the futex word: 1 while the owner sleeps
  // Owner only: the spin back-off (spin_for_claim), kept with the thread's
  // cached waiter from one wait to the next.
  static constexpr std::uint32_t kMaxSpinBackoff = 64;
  std::uint32_t spin_backoff_ = 0;
  std::uint32_t spin_skip_ = 0;
  const std::uint64_t thread_;
};

// An owning reference to a waiter (the peer's side of the lifetime rule).
class WaiterRef {
 public:
  WaiterRef() noexcept = default;
  static WaiterRef share(Waiter& w) noexcept {
    w.retain();
    return WaiterRef(&w);
  }
  WaiterRef(WaiterRef&& o) noexcept : w_(std::exchange(o.w_, nullptr)) {}
  WaiterRef& operator=(WaiterRef&& o) noexcept {
    std::swap(w_, o.w_);
    return *this;
  }
  ~WaiterRef() {
    if (w_ != nullptr) w_->release();
  }
  explicit operator bool() const noexcept { return w_ != nullptr; }
  Waiter* operator->() const noexcept { return w_; }

 private:
  explicit WaiterRef(Waiter* w) noexcept : w_(w) {}
  Waiter* w_ = nullptr;
};

// The calling thread's waiter, reset to kWaiting, ready for one wait. It stays
// valid until the thread ends; do not hold it across two waits.
Waiter& acquire_waiter();

}  // namespace vornic::chan::detail
