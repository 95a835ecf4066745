// Unbounded flavour: a FIFO of items in a ring buffer whose size is a power
// of two, guarded by the channel mutex. A send never waits; it only allocates
// when the ring is full (the ring doubles), and a receive that leaves it
// under a quarter full halves it, so memory follows what is buffered.
//
// Why not std::deque: its push and pop keep block and map bookkeeping that
// costs about as much as the rest of a same-thread send + receive; here each
// is an index mask and a counter.
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
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "channel_core/result.hpp"
#include "channel_core/waker.hpp"

namespace vornic::chan::detail {

// The storage: `cap` slots (0, or a power of two), the live items at
// head, head+1, ... (mod cap), `len` of them, oldest first. It owns the
// items and destroys what is left when it goes.
template <class T>
class Ring {
 public:
  static constexpr std::size_t kMinCap = 16;

  Ring() noexcept = default;
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;
  ~Ring() {
    for (std::size_t i = 0; i < len_; ++i) std::destroy_at(at(i));
    if (slots_ != nullptr) std::allocator<T>{}.deallocate(slots_, cap_);
  }

  void swap(Ring& o) noexcept {
    std::swap(slots_, o.slots_);
    std::swap(cap_, o.cap_);
    std::swap(head_, o.head_);
    std::swap(len_, o.len_);
  }

  bool empty() const noexcept { return len_ == 0; }
  std::size_t size() const noexcept { return len_; }
  // The i-th item counted from the oldest (i < size()).
  T* at(std::size_t i) const noexcept { return slots_ + ((head_ + i) & (cap_ - 1)); }

  // May throw std::bad_alloc (a full ring that cannot grow), with `item`
  // untouched.
  void push(T&& item) {
    if (len_ == cap_) [[unlikely]]
      resize(cap_ == 0 ? kMinCap : cap_ * 2);
    std::construct_at(slots_ + ((head_ + len_) & (cap_ - 1)), std::move(item));
    ++len_;
  }

  // Moves the oldest item into `out` (size() > 0); its slot keeps only a
  // moved-from shell, destroyed here.
  void pop(std::optional<T>& out) noexcept {
    T* front = slots_ + head_;
    out.emplace(std::move(*front));
    std::destroy_at(front);
    head_ = (head_ + 1) & (cap_ - 1);
    --len_;
    if (len_ < cap_ / 4 && cap_ > kMinCap) [[unlikely]]
      shrink();
  }

 private:
  // Moves the items, oldest first, to fresh storage of `cap` slots (>= len_).
  // Out of line, so that push and pop stay small enough to inline.
  [[gnu::noinline, gnu::cold]] void resize(std::size_t cap) {
    T* fresh = std::allocator<T>{}.allocate(cap);
    for (std::size_t i = 0; i < len_; ++i) {
      T* from = at(i);
      std::construct_at(fresh + i, std::move(*from));
      std::destroy_at(from);  // a moved-from shell
    }
    if (slots_ != nullptr) std::allocator<T>{}.deallocate(slots_, cap_);
    slots_ = fresh;
    cap_ = cap;
    head_ = 0;
  }

  // Halving is only a saving: without the memory for it the ring stays.
  [[gnu::noinline, gnu::cold]] void shrink() noexcept {
    try {
      resize(cap_ / 2);
    } catch (const std::bad_alloc&) {
    }
  }

  T* slots_ = nullptr;
  std::size_t cap_ = 0;
  std::size_t head_ = 0;
  std::size_t len_ = 0;
};

template <class T>
class UnboundedFlavor : public ChannelState {
 public:
  // May throw std::bad_alloc, with `item` left with the caller.
  SendStatus try_send(std::optional<T>& item) {
    WaiterRef woken;
    {
      std::lock_guard<ChanLock> lock(mu_);
      if (disconnected_) return SendStatus::Disconnected;
      queue_.push(std::move(*item));
      if (!receivers_.empty()) woken = receivers_.claim_one(current_thread_token()).waiter;
    }
    item.reset();
    wake(woken);
    return SendStatus::Sent;
  }

  RecvStatus try_recv(std::optional<T>& out) {
    std::lock_guard<ChanLock> lock(mu_);
    if (!queue_.empty()) {
      queue_.pop(out);
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
    Ring<T> doomed;
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
    for (std::size_t i = 0; i < queue_.size(); ++i)
      if (const int r = f(*queue_.at(i))) return r;
    return 0;
  }

 private:
  Ring<T> queue_;
};

}  // namespace vornic::chan::detail
