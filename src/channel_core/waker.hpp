// Waiter lists and the state every channel flavour shares.
//
// ChannelState holds one mutex, the disconnected flag and two waiter lists in
// registration order: receive-side waiters (blocked receives and waits that
// include a receive here) and send-side waiters (likewise for sends).
//
// The lists are intrusive: each operation of a wait carries its own WaitNode,
// so registering never allocates (and cannot fail) and unregistering is O(1).
//
// Lock rules (hold for every flavour):
//   - `mu_` guards `disconnected_`, both lists, every linked node, and the
//     flavour's buffer.
//   - It is a leaf: held for a bounded number of steps, never while waking a
//     thread, never while destroying an item (only moved-from shells), never
//     together with another channel's mutex or a waiter's mutex.
//   - Whoever claims a waiter under `mu_` keeps a reference to it and wakes it
//     after unlocking.
//
// Invariants:
//   - `disconnected_` goes from false to true once and never back.
//   - A node is linked only while its owner is inside a wait (the owner
//     unlinks it when leaving, or a peer unlinks it when claiming), so its
//     waiter and its packet are alive while it is linked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>

#include "channel_core/chan_lock.hpp"
#include "channel_core/context.hpp"

namespace vornic::chan::detail {

// A thread token no thread has (tokens count from 1): claiming on behalf of
// nobody skips no node.
inline constexpr std::uint64_t kNoThread = 0;

struct WaitNode {
  Waiter* waiter = nullptr;
  std::size_t operation = 0;  // the owner's operation number, put in the claim
  // Rendezvous hand-over: the owner's std::optional<T>. A receive node without
  // one belongs to an owner that takes items on its own step (a task): a
  // sender may wake it but never fills it.
  void* packet = nullptr;
  // List links, guarded by the channel mutex.
  WaitNode* prev = nullptr;
  WaitNode* next = nullptr;
  bool linked = false;
};

struct Claimed {
  WaiterRef waiter;
  void* packet = nullptr;
  explicit operator bool() const noexcept { return static_cast<bool>(waiter); }
};

class WaiterList {
 public:
  void push_back(WaitNode& n) noexcept;
  void unlink(WaitNode& n) noexcept;

  // Which nodes a claim may pick: any, only those with a hand-over packet, or
  // only those without one.
  enum class Want : std::uint8_t { Any, Packet, NoPacket };

  // Claims the earliest-registered node that belongs to another thread, is of
  // the wanted kind and whose waiter is still waiting, with selected(its
  // operation); unlinks it.
  Claimed claim_one(std::uint64_t self, Want want = Want::Any) noexcept;

  // Nobody registered: the send and receive fast paths skip claiming (and
  // the thread-token lookup it needs) on this one load.
  bool empty() const noexcept { return head_ == nullptr; }

  // Whether claim_one(self, want) would find somebody right now.
  bool has_claimable(std::uint64_t self, Want want = Want::Any) const noexcept;

  // Unlinks every node; claims each still-waiting waiter with kDisconnected and
  // pushes it (with a reference) onto the chain `*wake`.
  void disconnect_all(Waiter** wake) noexcept;

  std::size_t size() const noexcept { return size_; }

 private:
  WaitNode* head_ = nullptr;
  WaitNode* tail_ = nullptr;
  std::size_t size_ = 0;
};

class ChannelState {
 public:
  ChannelState() = default;
  ChannelState(const ChannelState&) = delete;
  ChannelState& operator=(const ChannelState&) = delete;

  // Sets the disconnected flag and wakes every waiter of both sides with
  // kDisconnected. Only the first call does anything.
  void disconnect() noexcept;

  void unregister_recv(WaitNode& n) noexcept {
    std::lock_guard<ChanLock> lock(mu_);
    if (n.linked) receivers_.unlink(n);
  }
  void unregister_send(WaitNode& n) noexcept {
    std::lock_guard<ChanLock> lock(mu_);
    if (n.linked) senders_.unlink(n);
  }

  bool is_disconnected() const noexcept {
    std::lock_guard<ChanLock> lock(mu_);
    return disconnected_;
  }

  // Numbers of registered waiters (receive side, send side); for diagnostics
  // and tests.
  std::pair<std::size_t, std::size_t> waiter_counts() const noexcept {
    std::lock_guard<ChanLock> lock(mu_);
    return {receivers_.size(), senders_.size()};
  }

 protected:
  // Wakes a waiter claimed under the lock; call after unlocking.
  static void wake(const WaiterRef& w) noexcept {
    if (w) w->unpark();
  }

  mutable ChanLock mu_;
  bool disconnected_ = false;
  WaiterList receivers_;
  WaiterList senders_;
};

}  // namespace vornic::chan::detail
