// TaskWaiter: one pending send or receive of a task, that is of code an event
// loop steps (an asyncio coroutine), rather than of a thread that parks.
//
// It is the multi-way wait of select.cpp cut into steps. A thread runs the
// passes try / register / sleep / unregister / accept in one call; a task runs
// them across several steps of its own, and between two steps it is not
// sleeping in here but suspended in its loop:
//
//   poll()    try the item operation and the close signal; if neither can
//             complete, register on both and return Pending. A later poll()
//             (after a wake-up) unregisters, accepts what the waiter was
//             claimed for, and tries again.
//   cancel()  the task gives up at this step: abort the waiter, or, if a peer
//             claimed it already, either finish the operation (only when the
//             claim itself completed it) or pass the wake-up on.
//   abandon() the owner will never step again (its loop is gone, or the
//             awaitable is being freed): as cancel(), from any thread.
//
// A peer that claims the waiter calls unpark(), which here is notify(): the
// owner's way of getting its loop to step the task soon. notify() runs on the
// peer's thread with no lock held and must not block.
//
// The cancellation rule, and how each flavour keeps it:
//   - A receive never has an item handed to it: its node has no packet, so a
//     rendezvous sender wakes it instead of filling it, and a buffered channel
//     only wakes it. The item is taken by try_recv on the task's own step, so
//     a task cancelled before that step has taken nothing; its claim may then
//     have been the only wake-up for an item still buffered (or a sender
//     still waiting), so cancel() passes it to the next waiter.
//   - A buffered send is likewise only woken when room appears and sends on
//     its own step; cancelled before that, it passes the room on.
//   - A rendezvous send offers its item in its node's packet, and a receiver
//     (thread or task) takes it under the channel lock while claiming the
//     waiter. Once claimed the send has happened and cannot be undone, so
//     cancel() reports it completed; the caller returns normally and must
//     not lose the cancellation itself.
// Claims, aborts and unregistering go through the claim-once cell and the
// channel locks exactly as for threads (select.cpp), so exactly one of a
// peer's claim and the owner's abort wins.
//
// Threading: poll() and cancel() are the owner's, one step at a time.
// abandon() may run on any thread, once the owner has stopped stepping; two
// abandon() calls may race and only the first does anything. The waiter is
// reference counted like any other (the owner holds one reference).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "channel_core/channel.hpp"
#include "channel_core/clock.hpp"
#include "channel_core/operation.hpp"

namespace vornic::chan {

enum class TaskStatus : std::uint8_t {
  Pending,       // registered; wait for notify()
  Completed,     // the item operation completed: received (take_received) or sent
  Disconnected,  // the item channel lost its other side
  Closed,        // the close signal fired
  TimedOut,      // the deadline passed with nothing done
  Cancelled,     // cancel() took effect: nothing was received or sent
};

template <class T>
class TaskWaiter : public detail::Waiter {
 public:
  // A receive from rx that also wakes when close_rx disconnects.
  TaskWaiter(const Receiver<T>& rx, const Receiver<Empty>& close_rx)
      : Waiter(next_token()), rx_(rx), close_rx_(close_rx), close_op_(chan_of(close_rx_)) {
    recv_.emplace(chan_of(rx_));
    // Packetless: a rendezvous sender wakes this node instead of filling it.
    recv_->node().packet = nullptr;
    item_op_ = &*recv_;
  }
  // A send of `item` on tx that also wakes when close_rx disconnects.
  TaskWaiter(const Sender<T>& tx, T item, const Receiver<Empty>& close_rx)
      : Waiter(next_token()), tx_(tx), close_rx_(close_rx), close_op_(chan_of(close_rx_)) {
    send_.emplace(chan_of(tx_), std::move(item));
    item_op_ = &*send_;
  }
  ~TaskWaiter() override = default;

  void unpark() noexcept final { notify(); }

  TaskStatus poll(const Deadline& deadline) {
    if (registered_ > 0) {
      detail::Claim c = claim();
      if (c == detail::kWaiting) {
        if (!passed(deadline)) return TaskStatus::Pending;  // a stale wake-up
        c = try_claim(detail::kAborted) ? detail::kAborted : claim();
      }
      unregister();
      if (detail::is_selected(c)) {
        const std::size_t k = detail::selected_operation(c);
        if (op(k).accept()) return finish(k);
      }
    }
    for (;;) {
      for (std::size_t k = 0; k < 2; ++k) {
        if (op(k).try_complete()) return finish(k);
      }
      if (passed(deadline)) return TaskStatus::TimedOut;
      rearm();
      bool ready = false;
      for (std::size_t k = 0; k < 2 && !ready; ++k) {
        op(k).node().waiter = this;
        op(k).node().operation = k;
        ready = op(k).register_waiter();
        registered_ = k + 1;
        // Claimed while registering: the peer's notify() will step us.
        if (claim() != detail::kWaiting) return TaskStatus::Pending;
      }
      if (!ready) return TaskStatus::Pending;
      // Something became ready while registering: abort and try again,
      // unless a peer claimed the waiter first (it will notify).
      if (!try_claim(detail::kAborted)) return TaskStatus::Pending;
      unregister();
    }
  }

  // Owner only, while Pending. Completed (a rendezvous send already taken) or
  // Cancelled.
  TaskStatus cancel() noexcept {
    if (abandoned_.exchange(true, std::memory_order_acq_rel)) return TaskStatus::Cancelled;
    return give_up();
  }

  // Any thread, once the owner no longer steps.
  void abandon() noexcept {
    if (abandoned_.exchange(true, std::memory_order_acq_rel)) return;
    give_up();
  }

  // After Completed on a receive: the item.
  std::optional<T> take_received() noexcept { return recv_ ? std::exchange(recv_->received_slot(), std::nullopt) : std::nullopt; }
  // A send's item unless it went out.
  std::optional<T> take_unsent() noexcept { return send_ ? std::exchange(send_->unsent_slot(), std::nullopt) : std::nullopt; }

  // A receive's channel, for what follows a close: the close signal can win
  // over items still buffered, which are then drained first.
  RecvResult<T> try_recv_again() const { return rx_.try_recv(); }
  bool receiver_empty() const noexcept { return rx_.is_empty(); }

 protected:
  // Tells the owner to step soon. Any thread, no lock held, must not block.
  virtual void notify() noexcept = 0;

 private:
  template <class U>
  static detail::Chan<U>& chan_of(const Receiver<U>& h) noexcept {
    return *detail::HandleAccess::chan(h);
  }
  template <class U>
  static detail::Chan<U>& chan_of(const Sender<U>& h) noexcept {
    return *detail::HandleAccess::chan(h);
  }

  // Tokens of their own, far above thread tokens: two tasks on one loop
  // thread must pair with each other on a rendezvous channel.
  static std::uint64_t next_token() noexcept {
    static std::atomic<std::uint64_t> next{std::uint64_t{1} << 63};
    return next.fetch_add(1, std::memory_order_relaxed);
  }

  static bool passed(const Deadline& d) noexcept { return d && Clock::now() >= *d; }

  detail::Operation& op(std::size_t k) noexcept {
    if (k == 0) return *item_op_;
    return close_op_;
  }

  void unregister() noexcept {
    for (std::size_t k = 0; k < registered_; ++k) op(k).unregister_waiter();
    registered_ = 0;
  }

  TaskStatus finish(std::size_t k) noexcept {
    if (k == 1) return TaskStatus::Closed;
    return op(0).completion() == detail::Completion::Disconnected ? TaskStatus::Disconnected
                                                                  : TaskStatus::Completed;
  }

  TaskStatus give_up() noexcept {
    if (registered_ == 0) return TaskStatus::Cancelled;
    const detail::Claim c = try_claim(detail::kAborted) ? detail::kAborted : claim();
    unregister();
    if (!detail::is_selected(c) || detail::selected_operation(c) != 0) return TaskStatus::Cancelled;
    if (send_) {
      // A rendezvous receiver took the item when it claimed us.
      if (send_rendezvous()) {
        static_cast<void>(send_->accept());
        return TaskStatus::Completed;
      }
      chan_of(tx_).visit([](auto& f) { f.pass_on_send(); });
    } else {
      chan_of(rx_).visit([](auto& f) { f.pass_on_recv(); });
    }
    return TaskStatus::Cancelled;
  }

  bool send_rendezvous() const noexcept {
    return chan_of(tx_).visit([](const auto& f) { return f.capacity() == std::optional<std::size_t>(0); });
  }

  // Handle copies keep both channels alive for as long as the waiter is.
  Receiver<T> rx_;
  Sender<T> tx_;
  Receiver<Empty> close_rx_;
  std::optional<detail::RecvOperation<T>> recv_;
  std::optional<detail::SendOperation<T>> send_;
  detail::RecvOperation<Empty> close_op_;
  detail::Operation* item_op_ = nullptr;
  std::size_t registered_ = 0;  // operations linked, in order
  std::atomic<bool> abandoned_{false};
};

}  // namespace vornic::chan
