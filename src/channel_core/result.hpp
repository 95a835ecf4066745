// Outcomes of channel operations. Nothing in the channel core throws to report
// an ordinary outcome: a send that could not deliver hands its item back in
// `unsent`, a receive that got nothing says why.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

namespace vornic::chan {

// The item type of a channel used only for its disconnection, such as a close
// signal: nothing is ever sent on it.
struct Empty {};

enum class SendStatus : std::uint8_t {
  Sent,          // the item now belongs to the channel (or to a receiver)
  Full,          // try_send only: no room now / no receiver waiting (rendezvous)
  Disconnected,  // every Receiver is gone
  Timeout,       // the deadline passed first
};

enum class RecvStatus : std::uint8_t {
  Received,      // `item` holds the oldest item
  Empty,         // try_recv only: nothing available now
  Disconnected,  // nothing buffered and every Sender is gone
  Timeout,       // the deadline passed first
};

template <class T>
struct [[nodiscard]] SendResult {
  SendStatus status;
  // The caller's item, given back unchanged whenever status != Sent.
  std::optional<T> unsent;

  bool ok() const noexcept { return status == SendStatus::Sent; }
};

template <class T>
struct [[nodiscard]] RecvResult {
  RecvStatus status;
  // Engaged exactly when status == Received.
  std::optional<T> item;

  bool ok() const noexcept { return status == RecvStatus::Received; }
};

}  // namespace vornic::chan
