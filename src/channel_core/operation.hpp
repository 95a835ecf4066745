// Operations: the uniform face that a multi-way wait sees of one receive, one
// send or one timer, whatever the item type. A wait works on a list of
// Operation pointers (select.cpp); the blocking send/recv of a handle is a
// wait over a single operation built on its stack.
//
// Each operation owns
//   - its WaitNode, linked into its channel's list while the wait sleeps;
//   - its item slot: for a receive, where the item lands (filled directly by a
//     rendezvous sender); for a send, the item offered (taken directly by a
//     rendezvous receiver). An unsent item therefore never leaves the
//     operation, which is how it is given back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "channel_core/after.hpp"
#include "channel_core/chan.hpp"
#include "channel_core/clock.hpp"
#include "channel_core/result.hpp"
#include "common/interrupt.hpp"

namespace vornic::chan::detail {

enum class Completion : std::uint8_t { Received, Sent, Disconnected };

class Operation {
 public:
  Operation() = default;
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;
  virtual ~Operation() = default;

  // Completes the operation now if it can; never waits.
  virtual bool try_complete() = 0;
  // Links `node()` (already filled with waiter and number) into the channel.
  // Returns whether the operation is ready right now.
  virtual bool register_waiter() noexcept = 0;
  virtual void unregister_waiter() noexcept = 0;
  // The waiter was claimed for this operation: finish it. False when a
  // buffered channel's item or room was taken by someone else meanwhile.
  virtual bool accept() = 0;
  // For timers: the instant at which the operation becomes ready by itself.
  virtual Deadline ready_at() const noexcept { return std::nullopt; }
  // A task's wait (task_wait.hpp) that was claimed for this operation gives
  // up before accepting it. True when the claim itself completed the
  // operation (a rendezvous send whose item a receiver took), which is then
  // accepted; otherwise the wake-up is handed to the channel's next waiter.
  virtual bool give_up_claim() noexcept { return false; }

  Completion completion() const noexcept { return completion_; }
  WaitNode& node() noexcept { return node_; }

 protected:
  WaitNode node_;
  Completion completion_ = Completion::Received;
};

// Implemented by every operation that yields a T when it completes.
template <class T>
class Yields {
 public:
  virtual std::optional<T>& received_slot() noexcept = 0;

 protected:
  ~Yields() = default;
};

template <class T>
class RecvOperation : public Operation, public Yields<T> {
 public:
  explicit RecvOperation(Chan<T>& chan) noexcept : chan_(&chan) { node_.packet = &slot_; }

  bool try_complete() override {
    return finish(chan_->visit([&](auto& f) { return f.try_recv(slot_); }));
  }
  bool register_waiter() noexcept override {
    return chan_->visit([&](auto& f) { return f.register_recv(node_); });
  }
  void unregister_waiter() noexcept override {
    chan_->visit([&](auto& f) { f.unregister_recv(node_); });
  }
  bool accept() override {
    return finish(chan_->visit([&](auto& f) { return f.accept_recv(slot_); }));
  }
  std::optional<T>& received_slot() noexcept override { return slot_; }
  bool give_up_claim() noexcept override {
    if (slot_) return finish(RecvStatus::Received);  // a sender filled the slot
    chan_->visit([](auto& f) { f.pass_on_recv(); });
    return false;
  }

  // The outcome of a single-operation wait; `completed` is false on timeout.
  RecvResult<T> result(bool completed) {
    if (!completed) return {RecvStatus::Timeout, std::nullopt};
    if (completion_ == Completion::Disconnected) return {RecvStatus::Disconnected, std::nullopt};
    return {RecvStatus::Received, std::move(slot_)};
  }

 private:
  bool finish(RecvStatus s) noexcept {
    if (s == RecvStatus::Received) {
      completion_ = Completion::Received;
      return true;
    }
    if (s == RecvStatus::Disconnected) {
      completion_ = Completion::Disconnected;
      return true;
    }
    return false;
  }

  Chan<T>* chan_;
  std::optional<T> slot_;
};

template <class T>
class SendOperation : public Operation {
 public:
  SendOperation(Chan<T>& chan, T item) noexcept : chan_(&chan), item_(std::move(item)) {
    node_.packet = &item_;
  }

  bool try_complete() override {
    return finish(chan_->visit([&](auto& f) { return f.try_send(item_); }));
  }
  bool register_waiter() noexcept override {
    return chan_->visit([&](auto& f) { return f.register_send(node_); });
  }
  void unregister_waiter() noexcept override {
    chan_->visit([&](auto& f) { f.unregister_send(node_); });
  }
  bool accept() override {
    return finish(chan_->visit([&](auto& f) { return f.accept_send(item_); }));
  }

  bool give_up_claim() noexcept override {
    // Only a receiver taking the offered item claims a rendezvous send.
    if (chan_->visit([](const auto& f) { return f.capacity() == std::optional<std::size_t>(0); })) {
      item_.reset();
      return finish(SendStatus::Sent);
    }
    chan_->visit([](auto& f) { f.pass_on_send(); });
    return false;
  }

  // The item, while it has not been sent.
  std::optional<T>& unsent_slot() noexcept { return item_; }

  SendResult<T> result(bool completed) {
    if (!completed) return {SendStatus::Timeout, std::move(item_)};
    if (completion_ == Completion::Disconnected) return {SendStatus::Disconnected, std::move(item_)};
    return {SendStatus::Sent, std::nullopt};
  }

 private:
  bool finish(SendStatus s) noexcept {
    if (s == SendStatus::Sent) {
      completion_ = Completion::Sent;
      return true;
    }
    if (s == SendStatus::Disconnected) {
      completion_ = Completion::Disconnected;
      return true;
    }
    return false;
  }

  Chan<T>* chan_;
  std::optional<T> item_;
};

// A timer needs no channel: it is ready once its instant has passed, and the
// wait's sleep deadline already includes that instant.
class TimerOperation final : public Operation, public Yields<Instant> {
 public:
  explicit TimerOperation(const Timer& t) noexcept : timer_(t) {}

  bool try_complete() override {
    const Instant now = Clock::now();
    if (!timer_.ready(now)) return false;
    completion_ = Completion::Received;
    slot_ = *timer_.instant();
    return true;
  }
  bool register_waiter() noexcept override { return timer_.ready(Clock::now()); }
  void unregister_waiter() noexcept override {}
  bool accept() override { return try_complete(); }
  Deadline ready_at() const noexcept override { return timer_.instant(); }
  std::optional<Instant>& received_slot() noexcept override { return slot_; }

 private:
  Timer timer_;
  std::optional<Instant> slot_;
};

// What wait_any returns when its Interrupt asked it to stop first.
inline constexpr std::size_t kInterrupted = static_cast<std::size_t>(-1);

// Runs one multi-way wait over `ops` (at least one) until one of them
// completes, or until `deadline` passes (nullopt: no limit). Returns the
// number of the completed operation, whose completion() says how, or nullopt
// on timeout. Exactly one operation completes; the others are left as they
// were. Blocks the calling thread; call with no lock held.
//
// With an `interrupt`, the sleep is cut into slices and the interrupt asked
// between them (common/interrupt.hpp). When it asks to stop, the wait
// withdraws and returns kInterrupted with no operation completed, unless a
// peer had already completed one for it: that one is returned as usual.
std::optional<std::size_t> wait_any(std::span<Operation* const> ops, const Deadline& deadline,
                                    Interrupt* interrupt = nullptr);

}  // namespace vornic::chan::detail
