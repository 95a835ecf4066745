// Select: one wait over several channel operations of any item types.
//
// Usage:
//
//   Select sel;
//   RecvKey<Ref>     got   = sel.recv(items_rx);            // operation 0
//   RecvKey<Empty>   close = sel.recv(close_rx);            // operation 1
//   SendKey<Ref>     put   = sel.send(out_tx, std::move(x)); // operation 2
//   RecvKey<Instant> timer = sel.recv(after(50ms));          // operation 3
//
//   SelectResult r = sel.select();            // no limit
//   SelectResult r = sel.select_timeout(d);   // or: select_deadline(deadline)
//   SelectResult r = sel.select_deadline(deadline, &interrupt);  // sliced
//
//   if (r.timed_out()) ...                          // nothing completed
//   else if (r.is(got))   { Ref v = sel.take_received(got); }  // r.status == Received
//   else if (r.is(close)) { /* r.status == Disconnected */ }
//   else if (r.is(put))   { /* Sent, or Disconnected */ }
//   std::optional<Ref> back = sel.take_unsent(put); // the item unless it went out
//
// Operations are numbered from 0 in the order added (r.index). Keys carry the
// item type, so take_received / take_unsent need no casts.
//
// Outcomes (SelectStatus):
//   Received     a receive took an item (take_received gives it), or a timer
//                fired (take_received gives its instant).
//   Sent         a send delivered its item.
//   Disconnected the chosen operation's channel is disconnected: a receive
//                found nothing buffered and no Sender left (a close signal
//                always ends this way); a send found no Receiver left (its
//                item stays in the Select: take_unsent).
//   Timeout      no operation completed before the deadline.
//   Interrupted  the Interrupt given to the wait asked it to stop before any
//                operation completed (common/interrupt.hpp).
//
// Guarantees: exactly one operation completes per call; every other operation
// leaves its channel untouched and a send that was not chosen keeps its item.
// Among operations ready at the same check each is chosen with equal
// probability (fresh random order per call). A zero timeout tries each
// operation once and never sleeps. A wait is never completed by its own
// thread, so a send and a receive on the same rendezvous channel inside one
// Select never pair with each other.
//
// A Select holds copies of the handles it was given (keeping their channels
// connected on that side) and owns the items of its sends. It is meant for one
// completed wait: after Timeout or Interrupted it may wait again; after any other outcome a
// further wait throws std::logic_error. Destroying a Select destroys any item
// left in it, on the destroying thread, with no lock held.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "channel_core/after.hpp"
#include "channel_core/channel.hpp"
#include "channel_core/clock.hpp"
#include "channel_core/operation.hpp"

namespace vornic::chan {

template <class T>
struct RecvKey {
  std::size_t index;
};
template <class T>
struct SendKey {
  std::size_t index;
};

enum class SelectStatus : std::uint8_t { Received, Sent, Disconnected, Timeout, Interrupted };

struct SelectResult {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  std::size_t index;  // kNone on Timeout and Interrupted
  SelectStatus status;

  bool timed_out() const noexcept { return status == SelectStatus::Timeout; }
  bool interrupted() const noexcept { return status == SelectStatus::Interrupted; }
  template <class T>
  bool is(RecvKey<T> k) const noexcept {
    return index == k.index;
  }
  template <class T>
  bool is(SendKey<T> k) const noexcept {
    return index == k.index;
  }
};

namespace detail {

// Operations that keep their channel's handle alive for the Select's life.
template <class T>
class OwnedRecv final : public RecvOperation<T> {
 public:
  explicit OwnedRecv(const Receiver<T>& rx)
      : RecvOperation<T>(*HandleAccess::chan(rx)), keep_(rx) {}

 private:
  Receiver<T> keep_;
};

template <class T>
class OwnedSend final : public SendOperation<T> {
 public:
  OwnedSend(const Sender<T>& tx, T item)
      : SendOperation<T>(*HandleAccess::chan(tx), std::move(item)), keep_(tx) {}

 private:
  Sender<T> keep_;
};

}  // namespace detail

class Select {
 public:
  Select() = default;
  Select(const Select&) = delete;
  Select& operator=(const Select&) = delete;
  Select(Select&&) = default;
  Select& operator=(Select&&) = default;

  template <class T>
  RecvKey<T> recv(const Receiver<T>& rx) {
    return RecvKey<T>{add(std::make_unique<detail::OwnedRecv<T>>(rx))};
  }
  RecvKey<Instant> recv(const Timer& timer) {
    return RecvKey<Instant>{add(std::make_unique<detail::TimerOperation>(timer))};
  }
  template <class T>
  SendKey<T> send(const Sender<T>& tx, T item) {
    return SendKey<T>{add(std::make_unique<detail::OwnedSend<T>>(tx, std::move(item)))};
  }

  std::size_t size() const noexcept { return ops_.size(); }

  // Waits without limit. Needs at least one operation. An `interrupt` may
  // end the wait early with Interrupted (nullptr: never).
  SelectResult select(Interrupt* interrupt = nullptr) { return select_deadline(std::nullopt, interrupt); }
  SelectResult select_timeout(std::chrono::nanoseconds d) { return select_deadline(deadline_after(d)); }
  SelectResult select_deadline(const Deadline& deadline, Interrupt* interrupt = nullptr);

  // The item (or timer instant) of the receive `k`, which must be the one
  // that completed with Received; throws std::logic_error otherwise.
  template <class T>
  T take_received(RecvKey<T> k) {
    auto* y = dynamic_cast<detail::Yields<T>*>(op_at(k.index));
    if (y == nullptr || !y->received_slot()) throw std::logic_error("no received item at this operation");
    T v = std::move(*y->received_slot());
    y->received_slot().reset();
    return v;
  }

  // The item of the send `k` unless it was sent (nullopt then, or when taken
  // already).
  template <class T>
  std::optional<T> take_unsent(SendKey<T> k) {
    auto* s = dynamic_cast<detail::SendOperation<T>*>(op_at(k.index));
    if (s == nullptr) throw std::logic_error("not a send operation of this item type");
    return std::exchange(s->unsent_slot(), std::nullopt);
  }

 private:
  std::size_t add(std::unique_ptr<detail::Operation> op) {
    raw_.reserve(ops_.size() + 1);
    ops_.push_back(std::move(op));
    raw_.push_back(ops_.back().get());
    return ops_.size() - 1;
  }
  detail::Operation* op_at(std::size_t i) const {
    if (i >= ops_.size()) throw std::out_of_range("no such operation");
    return ops_[i].get();
  }

  std::vector<std::unique_ptr<detail::Operation>> ops_;
  std::vector<detail::Operation*> raw_;
  bool completed_ = false;
};

inline SelectResult Select::select_deadline(const Deadline& deadline, Interrupt* interrupt) {
  if (ops_.empty()) throw std::logic_error("select over no operations");
  if (completed_) throw std::logic_error("select already completed an operation");
  const std::optional<std::size_t> k = detail::wait_any(raw_, deadline, interrupt);
  if (!k) return SelectResult{SelectResult::kNone, SelectStatus::Timeout};
  if (*k == detail::kInterrupted) return SelectResult{SelectResult::kNone, SelectStatus::Interrupted};
  completed_ = true;
  switch (ops_[*k]->completion()) {
    case detail::Completion::Received:
      return SelectResult{*k, SelectStatus::Received};
    case detail::Completion::Sent:
      return SelectResult{*k, SelectStatus::Sent};
    case detail::Completion::Disconnected:
      break;
  }
  return SelectResult{*k, SelectStatus::Disconnected};
}

}  // namespace vornic::chan
