// Unbounded flavour: a FIFO list of items kept in fixed-size blocks
// (std::deque), guarded by the channel mutex. A send never waits; it only
// allocates when the tail block is full.
//
// Every flavour file has the same method set, dispatched from chan.hpp:
//   try_send(item&)   -> Sent (item emptied) / Full / Disconnected (item kept)
//   try_recv(out&)    -> Received (out engaged) / Empty / Disconnected
//   register_send / register_recv(node) -> ready right now? (node linked)
//   accept_send / accept_recv: finish an operation this waiter was claimed for
//   pass_on_send / pass_on_recv: a claimed waiter whose owner gave up without
//     acting on the claim (a cancelled task) hands the wake-up to the next
//     waiter of that side, if the reason for it is still there
//   is_empty, len, capacity, discard_buffered
// plus disconnect / unregister_* / waiter_counts from ChannelState.
//
// Item rule: no item is destroyed while `mu_` is held. Moving an item leaves a
// moved-from shell behind, and only such shells are ever destroyed under the
// lock (so T's moved-from destructor must be trivial in effect, which holds
// for owning handles that become null when moved from).
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "channel_core/result.hpp"
#include "channel_core/waker.hpp"

namespace vornic::chan::detail {

template <class T>
class UnboundedFlavor : public ChannelState {
 public:
  // May throw std::bad_alloc, with `item` left with the caller.
  SendStatus try_send(std::optional<T>& item) {
    WaiterRef woken;
    {
      std::lock_guard<ChanLock> lock(mu_);
      if (disconnected_) return SendStatus::Disconnected;
      queue_.push_back(std::move(*item));
      if (!receivers_.empty()) woken = receivers_.claim_one(current_thread_token()).waiter;
    }
    item.reset();
    wake(woken);
    return SendStatus::Sent;
  }

  RecvStatus try_recv(std::optional<T>& out) {
    std::lock_guard<ChanLock> lock(mu_);
    if (!queue_.empty()) {
      out.emplace(std::move(queue_.front()));
      queue_.pop_front();
      return RecvStatus::Received;
    }
    return disconnected_ ? RecvStatus::Disconnected : RecvStatus::Empty;
  }

  // A send is always ready: nothing to register.
  bool register_send(WaitNode&) noexcept { return true; }

  bool register_recv(WaitNode& n) noexcept {
    std::lock_guard<ChanLock> lock(mu_);
    receivers_.push_back(n);
    return disconnected_ || !queue_.empty();
  }

  // A claim only says an item was added; another receiver may have taken it.
  SendStatus accept_send(std::optional<T>& item) { return try_send(item); }
  RecvStatus accept_recv(std::optional<T>& out) { return try_recv(out); }

  void pass_on_recv() noexcept {
    WaiterRef woken;
    {
      std::lock_guard<ChanLock> lock(mu_);
      if (!queue_.empty()) woken = receivers_.claim_one(kNoThread).waiter;
    }
    wake(woken);
  }
  void pass_on_send() noexcept {}

  bool is_empty() const noexcept {
    std::lock_guard<ChanLock> lock(mu_);
    return queue_.empty();
  }
  std::size_t len() const noexcept {
    std::lock_guard<ChanLock> lock(mu_);
    return queue_.size();
  }
  std::optional<std::size_t> capacity() const noexcept { return std::nullopt; }

  // After the last Receiver is gone: release every buffered item, outside the
  // lock.
  void discard_buffered() noexcept {
    std::deque<T> doomed;
    {
      std::lock_guard<ChanLock> lock(mu_);
      doomed.swap(queue_);
    }
  }

  // Calls f(const T&) for every buffered item, oldest first, under the lock:
  // f must not destroy, move or wait (an item reader such as a collector's
  // visit, which stops at f's first non-zero result).
  template <class F>
  int for_each_buffered(F&& f) const {
    std::lock_guard<ChanLock> lock(mu_);
    for (const T& item : queue_)
      if (const int r = f(item)) return r;
    return 0;
  }

 private:
  std::deque<T> queue_;
};

}  // namespace vornic::chan::detail
