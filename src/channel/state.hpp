// Native state of Channel, RecvOp and SendOp, shared by the channel class,
// the select function and the op factories.
//
// A Channel owns the item channel's Receiver for its whole life, its Sender
// until close(), and the close signal: a rendezvous channel of Empty on which
// nothing is ever sent, whose only Sender is dropped by close() so that every
// wait holding a copy of its Receiver wakes at once.
//
// Locks: `sender_lock` guards `sender` (shared for use and copies, exclusive
// only in close); `close_lock` guards `close_tx` (close only). Both are leaf
// locks held for O(1) steps; handles are moved out and dropped after
// unlocking, since dropping the last handle can free items, which can run
// Python finalizers.
#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>

#include "binding/object.hpp"
#include "binding/ref.hpp"
#include "channel_core/channel_core.hpp"

namespace vornic::channel {

using ItemSender = chan::Sender<Ref>;
using ItemReceiver = chan::Receiver<Ref>;
using CloseReceiver = chan::Receiver<chan::Empty>;
using CloseSender = chan::Sender<chan::Empty>;

struct ChannelState {
    std::optional<std::int64_t> capacity;  // absent: unbounded
    CloseReceiver close_rx;
    mutable std::shared_mutex sender_lock;
    std::optional<ItemSender> sender;
    ItemReceiver receiver;  // never replaced, so reading it needs no lock
    std::mutex close_lock;
    std::optional<CloseSender> close_tx;

    ChannelState() = default;
    ChannelState(ChannelState&& o) noexcept
        : capacity(o.capacity),
          close_rx(std::move(o.close_rx)),
          sender(std::move(o.sender)),
          receiver(std::move(o.receiver)),
          close_tx(std::move(o.close_tx)) {}

    // A copy of the Sender, or nothing once closed.
    std::optional<ItemSender> sender_copy() const {
        std::shared_lock g(sender_lock);
        return sender;
    }
    bool sender_present() const {
        std::shared_lock g(sender_lock);
        return sender.has_value();
    }
};

struct RecvOpState {
    ItemReceiver receiver;
    CloseReceiver close_rx;
};

struct SendOpState {
    ItemSender sender;
    CloseReceiver close_rx;
    Ref item;
};

using ChannelBox = Box<ChannelState>;
using RecvOpBox = Box<RecvOpState>;
using SendOpBox = Box<SendOpState>;

}  // namespace vornic::channel
