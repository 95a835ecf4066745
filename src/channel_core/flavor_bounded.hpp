// Bounded flavour: a ring buffer of exactly `capacity` slots, allocated once
// when the channel is created, guarded by the channel mutex. Sending and
// receiving never allocate. Adding an item wakes one receive-side waiter,
// removing one wakes one send-side waiter.
//
// Method set and item rule: see flavor_unbounded.hpp.
//
// Invariants (under `mu_`): 0 <= len_ <= cap_; head_ < cap_; the live items
// are the slots head_, head_+1, ... (mod cap_), len_ of them, oldest first.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "channel_core/result.hpp"
#include "channel_core/waker.hpp"

namespace vornic::chan::detail {

// Throws std::length_error / std::bad_alloc when `count` items of `item_size`
// bytes could never be reserved on this machine (reserve.cpp).
void check_reservable(std::size_t count, std::size_t item_size);

template <class T>
class BoundedFlavor : public ChannelState {
 public:
  // Throws std::bad_alloc or std::length_error when the storage cannot be
  // reserved. cap >= 1.
  explicit BoundedFlavor(std::size_t cap) : cap_(cap), slots_(allocate(cap)) {}

  ~BoundedFlavor() {
    for (std::size_t i = 0; i < len_; ++i) std::destroy_at(slot(i));
    std::allocator<T>{}.deallocate(slots_, cap_);
  }

  SendStatus try_send(std::optional<T>& item) {
    WaiterRef woken;
    {
      std::lock_guard<ChanLock> lock(mu_);
      if (disconnected_) return SendStatus::Disconnected;
      if (len_ == cap_) return SendStatus::Full;
      std::construct_at(slot(len_), std::move(*item));
      ++len_;
      if (!receivers_.empty()) woken = receivers_.claim_one(current_thread_token()).waiter;
    }
    item.reset();
    wake(woken);
    return SendStatus::Sent;
  }

  RecvStatus try_recv(std::optional<T>& out) {
    WaiterRef woken;
    {
      std::lock_guard<ChanLock> lock(mu_);
      if (len_ == 0) return disconnected_ ? RecvStatus::Disconnected : RecvStatus::Empty;
      T* front = slot(0);
      out.emplace(std::move(*front));
      std::destroy_at(front);  // a moved-from shell
      head_ = head_ + 1 == cap_ ? 0 : head_ + 1;
      --len_;
      if (!senders_.empty()) woken = senders_.claim_one(current_thread_token()).waiter;
    }
    wake(woken);
    return RecvStatus::Received;
  }

  bool register_send(WaitNode& n) noexcept {
    std::lock_guard<ChanLock> lock(mu_);
    senders_.push_back(n);
    return disconnected_ || len_ < cap_;
  }

  bool register_recv(WaitNode& n) noexcept {
    std::lock_guard<ChanLock> lock(mu_);
    receivers_.push_back(n);
    return disconnected_ || len_ > 0;
  }

  // A claim only says room or an item appeared; someone else may have used it.
  SendStatus accept_send(std::optional<T>& item) { return try_send(item); }
  RecvStatus accept_recv(std::optional<T>& out) { return try_recv(out); }

  void pass_on_recv() noexcept {
    WaiterRef woken;
    {
      std::lock_guard<ChanLock> lock(mu_);
      if (len_ > 0) woken = receivers_.claim_one(kNoThread).waiter;
    }
    wake(woken);
  }
  void pass_on_send() noexcept {
    WaiterRef woken;
    {
      std::lock_guard<ChanLock> lock(mu_);
      if (len_ < cap_) woken = senders_.claim_one(kNoThread).waiter;
    }
    wake(woken);
  }

  bool is_empty() const noexcept {
    std::lock_guard<ChanLock> lock(mu_);
    return len_ == 0;
  }
  std::size_t len() const noexcept {
    std::lock_guard<ChanLock> lock(mu_);
    return len_;
  }
  std::optional<std::size_t> capacity() const noexcept { return cap_; }

  // After the last Receiver is gone: release the buffered items one at a
  // time, each outside the lock (no allocation needed).
  void discard_buffered() noexcept {
    for (;;) {
      std::optional<T> doomed;
      if (try_recv(doomed) != RecvStatus::Received) return;
    }
  }

  // As UnboundedFlavor::for_each_buffered.
  template <class F>
  int for_each_buffered(F&& f) const {
    std::lock_guard<ChanLock> lock(mu_);
    for (std::size_t i = 0; i < len_; ++i)
      if (const int r = f(*slot(i))) return r;
    return 0;
  }

 private:
  // The i-th live slot counted from the oldest item (i <= len_ < cap_ + 1).
  T* slot(std::size_t i) const noexcept {
    std::size_t at = head_ + i;
    if (at >= cap_) at -= cap_;
    return slots_ + at;
  }

  static T* allocate(std::size_t cap) {
    check_reservable(cap, sizeof(T));
    return std::allocator<T>{}.allocate(cap);
  }

  const std::size_t cap_;
  T* const slots_;
  std::size_t head_ = 0;
  std::size_t len_ = 0;
};

}  // namespace vornic::chan::detail
