// Native state of Channel, RecvOp and SendOp, shared by the channel class,
// the select function and the op factories.
//
// A Channel owns the item channel's Receiver for its whole life, its Sender
// until close(), and the close signal: a rendezvous channel of Empty on which
// nothing is ever sent, whose only Sender is dropped by close() so that every
// wait holding a copy of its Receiver wakes at once.
//
// Locks: `sender` is a SenderSlot (below), entered by every call that uses
// the Sender and taken out by close(); `close_lock` guards `close_tx` (close
// only). Both are held for O(1) steps, never while waiting or running Python;
// handles are moved out and dropped afterwards, since dropping the last handle
// can free items, which can run Python finalizers.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "binding/object.hpp"
#include "binding/ref.hpp"
#include "channel_core/channel_core.hpp"

namespace vornic::channel {

using ItemSender = chan::Sender<Ref>;
using ItemReceiver = chan::Receiver<Ref>;
using CloseReceiver = chan::Receiver<chan::Empty>;
using CloseSender = chan::Sender<chan::Empty>;

// The Channel's own Sender: used in place by any number of calls at once and
// taken out, once, by close().
//
// A reader-writer lock whose readers never wait. One word counts the calls
// inside (low bits) and carries the closed bit. A call enters with a single
// fetch_add; if the closed bit is already set it leaves at once and reports
// the channel closed, which is right because close() has begun and the call
// is ordered after it. close() sets the bit, waits for the calls inside to
// leave, moves the Sender out and sets the taken bit; a second close() racing
// the first waits for that bit, so neither returns before the Sender is gone.
//
// A call stays inside for a bounded number of steps (a non-blocking send, a
// handle copy) and never waits, detaches or runs Python there, so close()
// waits only for those steps: on a build with a GIL, never at all. This is the
// hot path of every send; a pthread reader-writer lock costs two calls and
// more work than the one atomic pair here.
class SenderSlot {
public:
    explicit SenderSlot(ItemSender s) noexcept : sender_(std::move(s)) {}
    SenderSlot(SenderSlot&& o) noexcept : sender_(std::move(o.sender_)) {
        word_.store(o.word_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    SenderSlot(const SenderSlot&) = delete;
    SenderSlot& operator=(const SenderSlot&) = delete;

    // A call's stay inside the slot. False when the channel is closed.
    class Use {
    public:
        explicit Use(const SenderSlot& slot) noexcept : slot_(&slot) {
            if (enter(slot.word_) & kClosed) leave();
        }
        ~Use() { leave(); }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        explicit operator bool() const noexcept { return slot_ != nullptr; }
        const ItemSender& sender() const noexcept { return slot_->sender_; }

    private:
        void leave() noexcept {
            if (slot_) SenderSlot::leave(slot_->word_);
            slot_ = nullptr;
        }
        const SenderSlot* slot_;
    };

    // close() has begun (the Sender is gone or going).
    bool closed() const noexcept { return word_.load(std::memory_order_acquire) & kClosed; }

    // The Sender, for the first caller; nothing for later ones.
    std::optional<ItemSender> take() noexcept {
        if (word_.fetch_or(kClosed, std::memory_order_acq_rel) & kClosed) {
            while (!(word_.load(std::memory_order_acquire) & kTaken)) std::this_thread::yield();
            return std::nullopt;
        }
        while (word_.load(std::memory_order_acquire) & kInside) std::this_thread::yield();
        std::optional<ItemSender> out(std::move(sender_));
        word_.fetch_or(kTaken, std::memory_order_release);
        return out;
    }

private:
#ifdef Py_GIL_DISABLED
    static std::uint64_t enter(std::atomic<std::uint64_t>& w) noexcept {
        return w.fetch_add(1, std::memory_order_acquire);
    }
    static void leave(std::atomic<std::uint64_t>& w) noexcept { w.fetch_sub(1, std::memory_order_release); }
#else
    // With a GIL every user of the word holds it: calls enter and leave the
    // slot attached, and close() and the deallocator run attached too. The
    // GIL already orders them, so a plain load and store do what the locked
    // read-modify-write does on a free-threaded build, at a fraction of the
    // cost on the path every send takes.
    static std::uint64_t enter(std::atomic<std::uint64_t>& w) noexcept {
        const std::uint64_t v = w.load(std::memory_order_relaxed);
        w.store(v + 1, std::memory_order_relaxed);
        return v;
    }
    static void leave(std::atomic<std::uint64_t>& w) noexcept {
        w.store(w.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }
#endif

    static constexpr std::uint64_t kClosed = std::uint64_t{1} << 63;
    static constexpr std::uint64_t kTaken = std::uint64_t{1} << 62;
    static constexpr std::uint64_t kInside = kTaken - 1;

    mutable std::atomic<std::uint64_t> word_{0};
    ItemSender sender_;  // empty once taken
};

struct ChannelState {
    std::optional<std::int64_t> capacity;  // absent: unbounded
    CloseReceiver close_rx;
    SenderSlot sender;
    ItemReceiver receiver;  // never replaced, so reading it needs no lock
    std::mutex close_lock;
    std::optional<CloseSender> close_tx;

    ChannelState(std::optional<std::int64_t> cap, std::pair<ItemSender, ItemReceiver> items,
                 std::pair<CloseSender, CloseReceiver> close) noexcept
        : capacity(cap),
          close_rx(std::move(close.second)),
          sender(std::move(items.first)),
          receiver(std::move(items.second)),
          close_tx(std::move(close.first)) {}
    ChannelState(ChannelState&& o) noexcept
        : capacity(o.capacity),
          close_rx(std::move(o.close_rx)),
          sender(std::move(o.sender)),
          receiver(std::move(o.receiver)),
          close_tx(std::move(o.close_tx)) {}

    // A copy of the Sender, or nothing once closed.
    std::optional<ItemSender> sender_copy() const {
        SenderSlot::Use use(sender);
        if (!use) return std::nullopt;
        return use.sender();
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

// Channel methods take shared access only; the op descriptors have none.
template <>
inline constexpr bool vornic::kNeverExclusive<vornic::channel::ChannelState> = true;
