// Rendezvous flavour (capacity 0): no buffer. An item passes straight from a
// sender to a receiver through the hand-over slot of whichever of the two is
// waiting:
//   - a sender that finds a claimable receive-side waiter moves the item into
//     that waiter's slot (the entry's packet), claims it and wakes it;
//   - a receiver that finds a claimable send-side waiter moves the offered
//     item out of that waiter's slot, claims it and wakes it;
//   - otherwise the caller registers (a sender with its item as the packet)
//     and sleeps; giving up removes the entry and the item stays its owner's.
// A waiter is never paired with an entry of its own thread, so one wait over
// a send and a receive on the same channel cannot complete itself.
//
// A receive entry without a packet belongs to a task that takes its item on
// its own step (task_wait.hpp), so that a task cancelled before that step has
// taken nothing. Senders never fill such an entry: a sender that has to wait
// wakes the earliest of them instead, and the task's next try_recv takes the
// item from the waiting sender's slot. Senders' entries always carry their
// item, and any receiver, task or thread, may take it straight away.
//
// The claimer touches the packet only under `mu_`; the owner reads its slot
// only after unregistering, which takes `mu_` too, so the hand-over is ordered
// by the channel mutex.
//
// Method set and item rule: see flavor_unbounded.hpp. After a successful
// hand-over the sender's slot still holds a moved-from shell; the sender
// empties it after unlocking.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>

#include "channel_core/result.hpp"
#include "channel_core/waker.hpp"

namespace vornic::chan::detail {

template <class T>
class RendezvousFlavor : public ChannelState {
 public:
  SendStatus try_send(std::optional<T>& item) {
    WaiterRef woken;
    {
      std::lock_guard<ChanLock> lock(mu_);
      if (disconnected_) return SendStatus::Disconnected;
      if (receivers_.empty()) return SendStatus::Full;
      Claimed c = receivers_.claim_one(current_thread_token(), WaiterList::Want::Packet);
      if (!c) return SendStatus::Full;
      static_cast<std::optional<T>*>(c.packet)->emplace(std::move(*item));
      woken = std::move(c.waiter);
    }
    item.reset();
    wake(woken);
    return SendStatus::Sent;
  }

  RecvStatus try_recv(std::optional<T>& out) {
    WaiterRef woken;
    {
      std::lock_guard<ChanLock> lock(mu_);
      if (senders_.empty()) return disconnected_ ? RecvStatus::Disconnected : RecvStatus::Empty;
      Claimed c = senders_.claim_one(current_thread_token());
      if (!c) return disconnected_ ? RecvStatus::Disconnected : RecvStatus::Empty;
      out.emplace(std::move(**static_cast<std::optional<T>*>(c.packet)));
      woken = std::move(c.waiter);
    }
    wake(woken);
    return RecvStatus::Received;
  }

  // n.packet is the owner's std::optional<T> holding the offered item.
  bool register_send(WaitNode& n) noexcept {
    WaiterRef nudged;
    bool ready;
    {
      std::lock_guard<ChanLock> lock(mu_);
      senders_.push_back(n);
      ready = disconnected_ || receivers_.has_claimable(n.waiter->thread(), WaiterList::Want::Packet);
      if (!ready) nudged = receivers_.claim_one(n.waiter->thread(), WaiterList::Want::NoPacket).waiter;
    }
    wake(nudged);
    return ready;
  }

  // n.packet is the owner's empty std::optional<T>, to be filled.
  bool register_recv(WaitNode& n) noexcept {
    std::lock_guard<ChanLock> lock(mu_);
    receivers_.push_back(n);
    return disconnected_ || senders_.has_claimable(n.waiter->thread());
  }

  // Claimed send: a receiver already took the item; drop the shell.
  SendStatus accept_send(std::optional<T>& item) {
    item.reset();
    return SendStatus::Sent;
  }
  // Claimed receive: a sender already filled the slot.
  RecvStatus accept_recv(std::optional<T>& out) {
    return out ? RecvStatus::Received : RecvStatus::Empty;
  }

  // A task woken to take from a waiting sender gave up: wake the next such
  // task while a sender still waits.
  void pass_on_recv() noexcept {
    WaiterRef woken;
    {
      std::lock_guard<ChanLock> lock(mu_);
      if (senders_.has_claimable(kNoThread)) {
        woken = receivers_.claim_one(kNoThread, WaiterList::Want::NoPacket).waiter;
      }
    }
    wake(woken);
  }
  // Senders are only ever claimed by a receiver taking their item.
  void pass_on_send() noexcept {}

  bool is_empty() const noexcept { return true; }
  std::size_t len() const noexcept { return 0; }
  std::optional<std::size_t> capacity() const noexcept { return 0; }
  void discard_buffered() noexcept {}
  // Nothing is buffered: items wait with their senders.
  template <class F>
  int for_each_buffered(F&&) const noexcept {
    return 0;
  }
};

}  // namespace vornic::chan::detail
