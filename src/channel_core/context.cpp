// Per-thread state of the channel core: thread token, shuffle generator and
// the cached waiter. See context.hpp for the rules.
#include "channel_core/context.hpp"

#include "common/fences.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace vornic::chan::detail {
namespace {

std::atomic<std::uint64_t> g_next_token{1};

constinit std::atomic<std::int64_t> g_spin_ns{0};

thread_local bool t_never_spin = false;
thread_local std::uint64_t t_token = 0;
thread_local std::uint64_t t_rng = 0;

// Owns this thread's cached waiter; peers may still hold references when the
// thread ends, in which case the last of them frees it.
struct CachedWaiter {
  Waiter* w = nullptr;
  ~CachedWaiter() {
    if (w != nullptr) w->release();
    w = nullptr;  // a wait from a later thread-exit destructor allocates anew
  }
};
thread_local CachedWaiter t_waiter;

std::uint64_t splitmix64(std::uint64_t x) noexcept {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

}  // namespace

std::uint64_t current_thread_token() noexcept {
  if (t_token == 0) t_token = g_next_token.fetch_add(1, std::memory_order_relaxed);
  return t_token;
}

std::size_t random_below(std::size_t n) noexcept {
  std::uint64_t x = t_rng;
  if (x == 0) {
    // Seeded once per thread from its token and the address of its state;
    // distinct threads get unrelated streams, and 0 is never a valid state.
    x = splitmix64(current_thread_token() ^ reinterpret_cast<std::uintptr_t>(&t_rng));
    if (x == 0) x = 0x2545F4914F6CDD1DULL;
  }
  // xorshift64*: good enough to shuffle a handful of operations.
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  t_rng = x;
  const std::uint64_t r = x * 0x2545F4914F6CDD1DULL;
  // Multiply-shift maps r onto [0, n); the bias is below n / 2^64.
  return static_cast<std::size_t>((static_cast<unsigned __int128>(r) * n) >> 64);
}

void set_sleep_spin(std::chrono::nanoseconds budget) noexcept {
  g_spin_ns.store(budget.count() > 0 ? static_cast<std::int64_t>(budget.count()) : 0, std::memory_order_relaxed);
}

void never_spin_on_this_thread() noexcept { t_never_spin = true; }

bool Waiter::spin_for_claim(const Deadline& until) noexcept {
  const std::int64_t budget = g_spin_ns.load(std::memory_order_relaxed);
  if (budget == 0 || t_never_spin) return false;
  // A thread whose spins keep running out waits for peers that are slow to
  // come (a worker between tasks, say): it spins again only after 1, 2, 4,
  // ... 64 waits without, and a spin that succeeds starts over. Otherwise
  // it would burn the budget on every wait and hold a processor the thread
  // about to hand it something may need.
  if (spin_skip_ > 0) {
    --spin_skip_;
    return false;
  }
  Instant end = Clock::now() + std::chrono::nanoseconds(budget);
  if (until && *until < end) end = *until;
  for (;;) {
    // The clock is read once per batch of checks: a check is a load of a
    // line that stays in this core's cache until the peer writes it.
    for (int i = 0; i < 32; ++i) {
      if (state_.load(std::memory_order_acquire) != kWaiting) {
        spin_backoff_ = 0;
        return true;
      }
      cpu_relax();
    }
    if (Clock::now() >= end) break;
  }
  spin_backoff_ = spin_backoff_ == 0 ? 1 : std::min<std::uint32_t>(spin_backoff_ * 2, kMaxSpinBackoff);
  spin_skip_ = spin_backoff_;
  return false;
}

void Waiter::sleep_until(const Deadline& until) noexcept {
  if (spin_for_claim(until)) return;
  timespec at{};
  if (until) {
    // An absolute deadline on the monotonic clock, which is steady_clock's.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until->time_since_epoch()).count();
    if (ns <= 0) return;
    at.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    at.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  }
  sleeping_.store(1, std::memory_order_seq_cst);
  if (state_.load(std::memory_order_seq_cst) == kWaiting) {
    // Returns at once if a peer cleared the word in between.
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&sleeping_), FUTEX_WAIT_BITSET_PRIVATE, 1u,
            until ? &at : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
  }
  sleeping_.store(0, std::memory_order_relaxed);
}

Claim Waiter::park(const Deadline& until) noexcept {
  for (;;) {
    const Claim c = state_.load(std::memory_order_acquire);
    if (c != kWaiting) return c;
    if (until && Clock::now() >= *until) {
      Claim expected = kWaiting;
      if (state_.compare_exchange_strong(expected, kAborted, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
        return kAborted;
      }
      return expected;
    }
    sleep_until(until);
  }
}

Claim Waiter::park_slice(Instant until) noexcept {
  for (;;) {
    const Claim c = state_.load(std::memory_order_acquire);
    if (c != kWaiting || Clock::now() >= until) return c;
    sleep_until(until);
  }
}

void Waiter::unpark() noexcept {
  // The claim (a sequentially consistent read-modify-write on the cell) came
  // first; see the sleep protocol in context.hpp.
  if (sleeping_.exchange(0, std::memory_order_seq_cst) != 0) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&sleeping_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }
}

Waiter& acquire_waiter() {
  Waiter* w = t_waiter.w;
  // Reusable only when no peer still holds a reference from an earlier wait;
  // the acquire load orders that peer's last use before our reuse.
  if (w == nullptr || w->refs_.load(std::memory_order_acquire) != 1) {
    Waiter* fresh = new Waiter(current_thread_token());
    if (w != nullptr) w->release();
    t_waiter.w = w = fresh;
  }
  w->state_.store(kWaiting, std::memory_order_relaxed);
  return *w;
}

}  // namespace vornic::chan::detail
