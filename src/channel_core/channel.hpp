// Sender and Receiver: copyable, counted handles on one channel.
//
//   auto [tx, rx] = unbounded<T>();      // never full
//   auto [tx, rx] = bounded<T>(n);       // n >= 1: at most n buffered items
//   auto [tx, rx] = bounded<T>(0);       // rendezvous: hand-over, no buffer
//
// Copying a handle counts it on its side; when either side's count reaches
// zero the channel is disconnected for good and every blocked party wakes.
// Receivers still get every buffered item after the last Sender is gone;
// after the last Receiver is gone every send reports Disconnected and gives
// its item back, and the buffered items are released.
//
// Threading: any number of threads may use copies of the handles at once; a
// single handle object may be shared for concurrent calls too (all methods
// are const), but copying/assigning/destroying one handle object needs the
// usual exclusive access. Blocking calls sleep (after a bounded spin, when
// the process set one: detail::set_sleep_spin) and must be made with no
// lock held that a peer might need.
//
// Item rule: T must be nothrow-movable. The core never destroys a live item
// while it holds a channel lock; items are destroyed by the thread that
// receives them, gets them back, drops the last Receiver (buffered items) or
// frees the shared state, in each case with no channel lock held.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <utility>

#include "channel_core/chan.hpp"
#include "channel_core/clock.hpp"
#include "channel_core/operation.hpp"
#include "channel_core/result.hpp"

namespace vornic::chan {

template <class T>
class Sender;
template <class T>
class Receiver;
class Select;

namespace detail {
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(Chan<T>* c) noexcept;

// Grants the core's own code access to a handle's shared state.
struct HandleAccess {
  template <class H>
  static auto* chan(const H& h) noexcept {
    return h.chan_;
  }
};
}  // namespace detail

template <class T>
class Sender {
 public:
  // An empty handle (as left by a move); only destruction and assignment are
  // allowed on it.
  Sender() noexcept = default;
  Sender(const Sender& o) noexcept : chan_(o.chan_) {
    if (chan_ != nullptr) chan_->add_sender();
  }
  Sender(Sender&& o) noexcept : chan_(std::exchange(o.chan_, nullptr)) {}
  Sender& operator=(Sender o) noexcept {
    std::swap(chan_, o.chan_);
    return *this;
  }
  ~Sender() {
    if (chan_ != nullptr) chan_->drop_sender();
  }
  explicit operator bool() const noexcept { return chan_ != nullptr; }

  // Waits while a bounded channel is full, or until a receiver takes the item
  // (rendezvous). Sent, or Disconnected with the item given back.
  SendResult<T> send(T item) const { return send_deadline(std::move(item), std::nullopt); }
  // As send(), giving up with Timeout (item given back) after `d`.
  SendResult<T> send_timeout(T item, std::chrono::nanoseconds d) const {
    return send_deadline(std::move(item), deadline_after(d));
  }
  // As send(), giving up at `deadline` (nullopt: no limit).
  SendResult<T> send_deadline(T item, const Deadline& deadline) const {
    detail::SendOperation<T> op(*chan_, std::move(item));
    detail::Operation* ops[] = {&op};
    const bool done = detail::wait_any(ops, deadline).has_value();
    return op.result(done);
  }
  // Never waits: Sent, Full or Disconnected (the item given back with both).
  // On an unbounded channel it may throw std::bad_alloc (the item is then
  // destroyed by the unwinding, outside any lock).
  SendResult<T> try_send(T item) const {
    std::optional<T> slot(std::move(item));
    const SendStatus s = try_send_from(slot);
    if (s == SendStatus::Sent) return {s, std::nullopt};
    return {s, std::move(slot)};
  }
  // try_send on an item the caller keeps in `slot`: Sent empties it, Full and
  // Disconnected leave the item there. No result object is built, which on
  // the hottest path is a measurable share of the call.
  SendStatus try_send_from(std::optional<T>& slot) const {
    if (auto* u = chan_->unbounded_or_null()) [[likely]]
      return u->try_send(slot);
    return chan_->visit([&](auto& f) { return f.try_send(slot); });
  }

  bool is_disconnected() const noexcept {
    return chan_->visit([](const auto& f) { return f.is_disconnected(); });
  }

 private:
  friend struct detail::HandleAccess;
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> detail::make_channel(detail::Chan<U>*) noexcept;
  explicit Sender(detail::Chan<T>* c) noexcept : chan_(c) {}

  detail::Chan<T>* chan_ = nullptr;
};

template <class T>
class Receiver {
 public:
  Receiver() noexcept = default;
  Receiver(const Receiver& o) noexcept : chan_(o.chan_) {
    if (chan_ != nullptr) chan_->add_receiver();
  }
  Receiver(Receiver&& o) noexcept : chan_(std::exchange(o.chan_, nullptr)) {}
  Receiver& operator=(Receiver o) noexcept {
    std::swap(chan_, o.chan_);
    return *this;
  }
  ~Receiver() {
    if (chan_ != nullptr) chan_->drop_receiver();
  }
  explicit operator bool() const noexcept { return chan_ != nullptr; }

  // The oldest item, waiting while none is available. Disconnected only when
  // nothing is buffered and every Sender is gone.
  RecvResult<T> recv() const { return recv_deadline(std::nullopt); }
  RecvResult<T> recv_timeout(std::chrono::nanoseconds d) const {
    return recv_deadline(deadline_after(d));
  }
  RecvResult<T> recv_deadline(const Deadline& deadline) const {
    detail::RecvOperation<T> op(*chan_);
    detail::Operation* ops[] = {&op};
    const bool done = detail::wait_any(ops, deadline).has_value();
    return op.result(done);
  }
  // Never waits: Received, Empty or Disconnected.
  RecvResult<T> try_recv() const {
    std::optional<T> out;
    const RecvStatus s = try_recv_into(out);
    return {s, std::move(out)};
  }
  // try_recv into the caller's empty `out`, engaged only when Received.
  RecvStatus try_recv_into(std::optional<T>& out) const {
    if (auto* u = chan_->unbounded_or_null()) [[likely]]
      return u->try_recv(out);
    return chan_->visit([&](auto& f) { return f.try_recv(out); });
  }

  // True when nothing is buffered; always true for a rendezvous channel.
  bool is_empty() const noexcept {
    return chan_->visit([](const auto& f) { return f.is_empty(); });
  }
  std::size_t len() const noexcept {
    return chan_->visit([](const auto& f) { return f.len(); });
  }
  // nullopt for unbounded, 0 for rendezvous.
  std::optional<std::size_t> capacity() const noexcept {
    return chan_->visit([](const auto& f) { return f.capacity(); });
  }
  bool is_disconnected() const noexcept {
    return chan_->visit([](const auto& f) { return f.is_disconnected(); });
  }
  // Live handles (senders, receivers), counting this one; see Chan.
  std::pair<std::size_t, std::size_t> handle_counts() const noexcept { return chan_->handle_counts(); }
  // Calls f(const T&) on each buffered item, oldest first, under the channel
  // lock, until f returns non-zero (returned). f must not destroy, move or
  // wait for anything.
  template <class F>
  int for_each_buffered(F&& f) const {
    return chan_->visit([&](const auto& fl) { return fl.for_each_buffered(f); });
  }
  // Registered waiters (receive side, send side); for diagnostics and tests.
  std::pair<std::size_t, std::size_t> waiter_counts() const noexcept {
    return chan_->visit([](const auto& f) { return f.waiter_counts(); });
  }

 private:
  friend struct detail::HandleAccess;
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> detail::make_channel(detail::Chan<U>*) noexcept;
  explicit Receiver(detail::Chan<T>* c) noexcept : chan_(c) {}

  detail::Chan<T>* chan_ = nullptr;
};

namespace detail {
// Wraps freshly created shared state (counts 1 and 1) into its two handles.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(Chan<T>* c) noexcept {
  return {Sender<T>(c), Receiver<T>(c)};
}
}  // namespace detail

template <class T>
std::pair<Sender<T>, Receiver<T>> unbounded() {
  return detail::make_channel(new detail::Chan<T>(detail::UnboundedTag{}));
}

// n == 0: rendezvous. Otherwise storage for exactly n items is reserved now;
// throws std::bad_alloc (or a std::length_error kind) if it cannot be.
template <class T>
std::pair<Sender<T>, Receiver<T>> bounded(std::size_t n) {
  if (n == 0) return detail::make_channel(new detail::Chan<T>(detail::RendezvousTag{}));
  return detail::make_channel(new detail::Chan<T>(n));
}

// A close signal: nothing is ever sent on it. Its receive operation is never
// ready while the Sender lives, and becomes ready (Disconnected) for every
// current and future waiter at once when the last Sender is dropped.
inline std::pair<Sender<Empty>, Receiver<Empty>> close_signal() { return bounded<Empty>(0); }

}  // namespace vornic::chan
