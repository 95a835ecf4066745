// The multi-way wait behind Select and every blocking send and receive.
//
// One call runs these passes:
//   1. shuffle   - Fisher-Yates over the operation order (per-thread PRNG), so
//                  that among operations ready at the same check each is
//                  equally likely to win; the order then stays fixed.
//   2. try       - try each operation without waiting; the first that can
//                  complete does, and the call returns.
//   3. register  - link this thread's waiter on every operation's channel,
//                  re-checking readiness under that channel's lock; if one is
//                  ready, abort the waiter (unless a peer has claimed it
//                  already) and stop registering.
//   4. sleep     - park until claimed or until the earliest of the call's
//                  deadline and every timer's instant. With an Interrupt,
//                  in slices, asking it between them; when it asks to stop,
//                  abort the waiter like a deadline would.
//   5. unregister- unlink from every channel; if the waiter was claimed for an
//                  operation, accept it: a rendezvous hand-over always
//                  completes, a buffered channel's item or room may be gone.
//   6. retry     - try every operation again in the same order; if none
//                  completes and the deadline has passed, time out; else go
//                  back to pass 3.
//
// Why a claim-once cell makes this safe: a peer claims the waiter (under its
// channel's lock) before touching the waiter's hand-over slot, and the owner
// reads that slot only after unregistering, which takes the same lock. Every
// way out of pass 4 moves the cell off "waiting" (a claim by a peer, or the
// owner's own abort), so a late peer never completes a second operation.
//
// An interrupted wait uses the same race: if its abort wins, no peer touched
// any operation and the wait returns kInterrupted; if a peer's claim won, the
// operation is accepted as after any wake-up, and only if that fails (the
// item or room went to someone else) does the wait report the interruption.
// It never goes round again once asked to stop.
#include <algorithm>
#include <memory>

#include "channel_core/operation.hpp"

namespace vornic::chan::detail {
namespace {

// Unlinks the registered prefix of the order on every way out of a round,
// exceptions included.
class Registration {
 public:
  Registration(std::span<Operation* const> ops, const std::size_t* order) noexcept
      : ops_(ops), order_(order) {}
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;
  ~Registration() { unregister_all(); }

  // Pass 3. Returns after registering every operation, or as soon as one is
  // ready (the waiter is then aborted) or the waiter has been claimed.
  void register_all(Waiter& w) noexcept {
    for (std::size_t k = 0; k < ops_.size(); ++k) {
      Operation& op = *ops_[order_[k]];
      op.node().waiter = &w;
      op.node().operation = order_[k];
      const bool ready = op.register_waiter();
      count_ = k + 1;
      if (ready) {
        w.try_claim(kAborted);
        return;
      }
      if (w.claim() != kWaiting) return;
    }
  }

  // Pass 5 (the unlinking part).
  void unregister_all() noexcept {
    for (std::size_t k = 0; k < count_; ++k) ops_[order_[k]]->unregister_waiter();
    count_ = 0;
  }

 private:
  std::span<Operation* const> ops_;
  const std::size_t* order_;
  std::size_t count_ = 0;
};

// Pass 4 with an interrupt: sleep in slices until claimed, until `until`, or
// until the interrupt asks to stop (`interrupted` is then set). Either way
// out aborts the waiter, unless a peer claimed it first. The interrupt is
// asked once more when the deadline comes, so that a request made during
// the last slice wins over the timeout rather than following it.
Claim park_in_slices(Waiter& w, const Deadline& until, Interrupt& interrupt, bool& interrupted) noexcept {
  for (;;) {
    const Instant slice_end = Clock::now() + kInterruptSlice;
    const bool last = until && *until <= slice_end;
    const Claim c = w.park_slice(last ? *until : slice_end);
    if (c != kWaiting) return c;
    interrupted = interrupt.requested();
    if (interrupted || last) return w.try_claim(kAborted) ? kAborted : w.claim();
  }
}

}  // namespace

std::optional<std::size_t> wait_any(std::span<Operation* const> ops, const Deadline& deadline,
                                    Interrupt* interrupt) {
  const std::size_t n = ops.size();

  // Pass 1: shuffle.
  constexpr std::size_t kInline = 16;
  std::size_t inline_order[kInline];
  std::unique_ptr<std::size_t[]> heap_order;
  std::size_t* order = inline_order;
  if (n > kInline) {
    heap_order = std::make_unique<std::size_t[]>(n);
    order = heap_order.get();
  }
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  for (std::size_t i = n; i > 1; --i) std::swap(order[i - 1], order[random_below(i)]);

  // Timers bound how long pass 4 may sleep without bounding the call.
  Deadline sleep_until = deadline;
  for (Operation* op : ops) sleep_until = earliest(sleep_until, op->ready_at());

  for (;;) {
    // Pass 2 (first round) / pass 6 (later rounds): try each operation.
    for (std::size_t k = 0; k < n; ++k) {
      if (ops[order[k]]->try_complete()) return order[k];
    }
    if (deadline && Clock::now() >= *deadline) return std::nullopt;

    Waiter& w = acquire_waiter();
    // The interrupt may run arbitrary code on this thread, including another
    // wait; holding a second reference keeps that wait from reusing this
    // thread's cached waiter while it is still registered here.
    WaiterRef in_use;
    if (interrupt != nullptr) in_use = WaiterRef::share(w);
    Claim claim;
    bool interrupted = false;
    {
      // Pass 3: register.
      Registration reg(ops, order);
      reg.register_all(w);
      // Pass 4: sleep.
      claim = interrupt != nullptr ? park_in_slices(w, sleep_until, *interrupt, interrupted) : w.park(sleep_until);
      // Pass 5: unregister.
      reg.unregister_all();
    }
    // Pass 5: accept the operation this waiter was claimed for, if any.
    if (is_selected(claim)) {
      const std::size_t k = selected_operation(claim);
      if (ops[k]->accept()) return k;
    }
    if (interrupted) return kInterrupted;
  }
}

}  // namespace vornic::chan::detail
