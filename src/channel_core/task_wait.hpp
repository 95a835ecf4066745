// Task waits: the pending operations of a task, that is of code an event loop
// steps (an asyncio coroutine), rather than of a thread that parks.
//   TaskWait       the passes over any list of operations (the base);
//   TaskWaiter     one send or receive plus its channel's close signal;
//   TaskSelect     any number of receives and sends, tried in a random order
//                  fixed when the list is sealed (the asyncio select).
//
// A task wait is the multi-way wait of select.cpp cut into steps. A thread runs the
// passes try / register / sleep / unregister / accept in one call; a task runs
// them across several steps of its own, and between two steps it is not
// sleeping in here but suspended in its loop:
//
//   poll()    try every operation in order; if none can complete, register
//             on all of them and return Pending. A later poll() (after a
//             wake-up) unregisters, accepts what the waiter was claimed for,
//             and tries again.
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
//   - A receive woken by a rendezvous sender takes the item on the very step
//     that unregisters, before any other operation is tried, so a wait over
//     several operations never lets such a wake-up lapse by completing
//     another one.
// Claims, aborts and unregistering go through the claim-once cell and the
// channel locks exactly as for threads (select.cpp), so exactly one of a
// peer's claim and the owner's abort wins.
//
// Threading: poll(), cancel() and, for TaskSelect, building are the owner's, one step at a time.
// abandon() may run on any thread, once the owner has stopped stepping; two
// abandon() calls may race and only the first does anything. The waiter is
// reference counted like any other (the owner holds one reference).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "channel_core/channel.hpp"
#include "channel_core/clock.hpp"
#include "channel_core/operation.hpp"
#include "channel_core/select.hpp"

namespace vornic::chan {

enum class TaskStatus : std::uint8_t {
  Pending,       // registered; wait for notify()
  Completed,     // the item operation completed: received (take_received) or sent
  Disconnected,  // the item channel lost its other side
  Closed,        // the close signal fired
  TimedOut,      // the deadline passed with nothing done
  Cancelled,     // cancel() took effect: nothing was received or sent
};

// What one step of a TaskWait came to.
struct TaskStep {
  enum class Kind : std::uint8_t { Pending, Completed, TimedOut };
  Kind kind;
  std::size_t index = 0;  // Completed: the operation; its completion() says how
};

// The passes of a task's wait over operations owned by the derived class.
class TaskWait : public detail::Waiter {
 public:
  ~TaskWait() override = default;

  void unpark() noexcept final { notify(); }

  // Owner. Runs the passes up to the next sleep.
  TaskStep step(const Deadline& deadline) {
    if (registered_ > 0) {
      detail::Claim c = claim();
      if (c == detail::kWaiting) {
        if (!passed(deadline)) return {TaskStep::Kind::Pending};  // a stale wake-up
        c = try_claim(detail::kAborted) ? detail::kAborted : claim();
      }
      unregister();
      if (detail::is_selected(c)) {
        const std::size_t k = detail::selected_operation(c);
        detail::Operation& op = *ops_[k];
        // A rendezvous receive was only woken: its item is taken here.
        if (op.accept() || op.try_complete()) return {TaskStep::Kind::Completed, k};
      }
    }
    for (;;) {
      for (const std::size_t k : order_) {
        if (ops_[k]->try_complete()) return {TaskStep::Kind::Completed, k};
      }
      if (passed(deadline)) return {TaskStep::Kind::TimedOut};
      rearm();
      bool ready = false;
      for (std::size_t pos = 0; pos < order_.size() && !ready; ++pos) {
        detail::Operation& op = *ops_[order_[pos]];
        op.node().waiter = this;
        op.node().operation = order_[pos];
        ready = op.register_waiter();
        registered_ = pos + 1;
        // Claimed while registering: the peer's notify() will step us.
        if (claim() != detail::kWaiting) return {TaskStep::Kind::Pending};
      }
      if (!ready) return {TaskStep::Kind::Pending};
      // Something became ready while registering: abort and try again,
      // unless a peer claimed the waiter first (it will notify).
      if (!try_claim(detail::kAborted)) return {TaskStep::Kind::Pending};
      unregister();
    }
  }

  // Owner only, while Pending: gives the wait up. The operation that
  // completed all the same (a rendezvous send taken by the claim), if any.
  std::optional<std::size_t> withdraw() noexcept {
    if (abandoned_.exchange(true, std::memory_order_acq_rel)) return std::nullopt;
    return give_up();
  }

  // Any thread, once the owner no longer steps.
  void abandon() noexcept {
    if (abandoned_.exchange(true, std::memory_order_acq_rel)) return;
    static_cast<void>(give_up());
  }

 protected:
  TaskWait() noexcept : Waiter(next_token()) {}

  // The operations, numbered by position, and the order they are tried in
  // (a permutation of those numbers). Both outlive the wait.
  void set_operations(std::span<detail::Operation* const> ops, std::span<const std::size_t> order) noexcept {
    ops_ = ops;
    order_ = order;
  }

  // Tells the owner to step soon. Any thread, no lock held, must not block.
  virtual void notify() noexcept = 0;

 private:
  // Tokens of their own, far above thread tokens: two tasks on one loop
  // thread must pair with each other on a rendezvous channel.
  static std::uint64_t next_token() noexcept {
    static std::atomic<std::uint64_t> next{std::uint64_t{1} << 63};
    return next.fetch_add(1, std::memory_order_relaxed);
  }

  static bool passed(const Deadline& d) noexcept { return d && Clock::now() >= *d; }

  void unregister() noexcept {
    for (std::size_t pos = 0; pos < registered_; ++pos) ops_[order_[pos]]->unregister_waiter();
    registered_ = 0;
  }

  std::optional<std::size_t> give_up() noexcept {
    if (registered_ == 0) return std::nullopt;
    const detail::Claim c = try_claim(detail::kAborted) ? detail::kAborted : claim();
    unregister();
    if (!detail::is_selected(c)) return std::nullopt;
    const std::size_t k = detail::selected_operation(c);
    if (ops_[k]->give_up_claim()) return k;
    return std::nullopt;
  }

  std::span<detail::Operation* const> ops_;
  std::span<const std::size_t> order_;
  std::size_t registered_ = 0;  // positions of order_ linked, from the first
  std::atomic<bool> abandoned_{false};
};

namespace detail {
template <class U>
Chan<U>& chan_of(const Receiver<U>& h) noexcept {
  return *HandleAccess::chan(h);
}
template <class U>
Chan<U>& chan_of(const Sender<U>& h) noexcept {
  return *HandleAccess::chan(h);
}
}  // namespace detail

// One send or receive that also wakes when its close signal disconnects:
// operation 0 is the item operation, 1 the close signal, tried in that order.
// Base is TaskWait or a class derived from it that implements notify().
template <class T, class Base = TaskWait>
class TaskWaiter : public Base {
  static_assert(std::is_base_of_v<TaskWait, Base>);

 public:
  // A receive from rx that also wakes when close_rx disconnects.
  TaskWaiter(const Receiver<T>& rx, const Receiver<Empty>& close_rx)
      : rx_(rx), close_rx_(close_rx), close_op_(detail::chan_of(close_rx_)) {
    recv_.emplace(detail::chan_of(rx_));
    // Packetless: a rendezvous sender wakes this node instead of filling it.
    recv_->node().packet = nullptr;
    ops_[0] = &*recv_;
    this->set_operations(ops_, kOrder);
  }
  // A send of `item` on tx that also wakes when close_rx disconnects.
  TaskWaiter(const Sender<T>& tx, T item, const Receiver<Empty>& close_rx)
      : tx_(tx), close_rx_(close_rx), close_op_(detail::chan_of(close_rx_)) {
    send_.emplace(detail::chan_of(tx_), std::move(item));
    ops_[0] = &*send_;
    this->set_operations(ops_, kOrder);
  }

  TaskStatus poll(const Deadline& deadline) {
    const TaskStep s = this->step(deadline);
    switch (s.kind) {
      case TaskStep::Kind::Pending:
        return TaskStatus::Pending;
      case TaskStep::Kind::TimedOut:
        return TaskStatus::TimedOut;
      case TaskStep::Kind::Completed:
        break;
    }
    if (s.index == 1) return TaskStatus::Closed;
    return ops_[0]->completion() == detail::Completion::Disconnected ? TaskStatus::Disconnected
                                                                     : TaskStatus::Completed;
  }

  // Owner only, while Pending. Completed (a rendezvous send already taken) or
  // Cancelled.
  TaskStatus cancel() noexcept { return this->withdraw() ? TaskStatus::Completed : TaskStatus::Cancelled; }

  // After Completed on a receive: the item.
  std::optional<T> take_received() noexcept {
    return recv_ ? std::exchange(recv_->received_slot(), std::nullopt) : std::nullopt;
  }
  // A send's item unless it went out.
  std::optional<T> take_unsent() noexcept {
    return send_ ? std::exchange(send_->unsent_slot(), std::nullopt) : std::nullopt;
  }

  // A receive's channel, for what follows a close: the close signal can win
  // over items still buffered, which are then drained first.
  RecvResult<T> try_recv_again() const { return rx_.try_recv(); }
  bool receiver_empty() const noexcept { return rx_.is_empty(); }

 private:
  static constexpr std::size_t kOrder[2] = {0, 1};

  // Handle copies keep both channels alive for as long as the waiter is.
  Receiver<T> rx_;
  Sender<T> tx_;
  Receiver<Empty> close_rx_;
  std::optional<detail::RecvOperation<T>> recv_;
  std::optional<detail::SendOperation<T>> send_;
  detail::RecvOperation<Empty> close_op_;
  detail::Operation* ops_[2] = {nullptr, &close_op_};
};

// Any number of receives and sends, added in order (numbered from 0 like a
// Select's), then sealed: seal() fixes a uniformly random order in which
// every step tries them, so that among operations ready at the same check
// each is equally likely to complete. Handle copies and the sends' items are
// kept in the operations, as in a Select.
template <class Base = TaskWait>
class TaskSelect : public Base {
  static_assert(std::is_base_of_v<TaskWait, Base>);

 public:
  TaskSelect() = default;

  template <class T>
  RecvKey<T> recv(const Receiver<T>& rx) {
    auto op = std::make_unique<detail::OwnedRecv<T>>(rx);
    // Packetless, as in TaskWaiter.
    op->node().packet = nullptr;
    return RecvKey<T>{add(std::move(op))};
  }
  template <class T>
  SendKey<T> send(const Sender<T>& tx, T item) {
    return SendKey<T>{add(std::make_unique<detail::OwnedSend<T>>(tx, std::move(item)))};
  }

  // After the last operation and before the first poll.
  void seal() {
    const std::size_t n = owned_.size();
    order_.resize(n);
    for (std::size_t i = 0; i < n; ++i) order_[i] = i;
    for (std::size_t i = n; i > 1; --i) std::swap(order_[i - 1], order_[detail::random_below(i)]);
    this->set_operations(raw_, order_);
  }

  std::size_t size() const noexcept { return owned_.size(); }
  detail::Completion completion(std::size_t k) const noexcept { return owned_[k]->completion(); }

  // The item of the receive `k`, which completed with an item.
  template <class T>
  std::optional<T> take_received(RecvKey<T> k) noexcept {
    auto* y = static_cast<detail::RecvOperation<T>*>(raw_[k.index]);
    return std::exchange(y->received_slot(), std::nullopt);
  }
  // The item of the send `k` unless it went out.
  template <class T>
  std::optional<T> take_unsent(SendKey<T> k) noexcept {
    auto* s = static_cast<detail::SendOperation<T>*>(raw_[k.index]);
    return std::exchange(s->unsent_slot(), std::nullopt);
  }

 private:
  std::size_t add(std::unique_ptr<detail::Operation> op) {
    raw_.reserve(owned_.size() + 1);
    owned_.push_back(std::move(op));
    raw_.push_back(owned_.back().get());
    return owned_.size() - 1;
  }

  std::vector<std::unique_ptr<detail::Operation>> owned_;
  std::vector<detail::Operation*> raw_;
  std::vector<std::size_t> order_;
};

}  // namespace vornic::chan
