// Channel.arecv / asend / __anext__: each returns a ChannelAwaitable
// (awaitable.hpp) whose state is below.
//
// First step: try the operation at once. A buffered item, room in the
// buffer, or a thread receiver waiting on a rendezvous completes the await
// right there, without a trip through the loop.
//
// Otherwise the operation becomes a waiter of the channel core
// (chan::TaskWaiter, registered on the item channel and the close signal) and
// the step yields a fresh future of the loop, which the loop's wake-up hub
// resolves when a peer claims the waiter (wake_hub.hpp).
//
// Cancellation reaches the awaitable as throw(CancelledError) on the task's
// step (the task cancels the yielded future and steps with the error). The
// waiter is aborted, or, if a peer claimed it first, the wake-up is passed on
// (see task_wait.hpp); either way nothing was received or sent and the error
// goes on. The one exception is a rendezvous send whose item a receiver took
// when it claimed the waiter: that send has happened, so the await returns
// normally, and the cancellation is requested again (task.uncancel() then
// task.cancel()) so that the task still ends cancelled. The uncancel keeps the
// count of cancellation requests where it was: asyncio.timeout and wait_for,
// which cancel and uncancel in pairs, then rescind that request when their
// block ends normally, as it does here.
//
// An awaitable freed while it waits gives its operation up, and a wake-up
// that reached it is passed on.
//
// A waiting awaitable is kept alive by its task; the task, by the future the
// waiter holds (as asyncio's own queues hold their waiters' futures), so a
// pending operation survives its task being dropped by everyone else, and
// completes or is passed on when the channel wakes it. The waiter holds
// handle copies, not the Channel object, so dropping the Channel still
// closes it and so ends such a wait.
#include <optional>
#include <utility>

#include "channel/async_bridge.hpp"
#include "channel/awaitable.hpp"
#include "channel/timeout.hpp"

namespace vornic::channel {
namespace {

using ChanWaiter = chan::TaskWaiter<Ref, PyWaiter>;

struct ChanOpState {
    static constexpr const char* kClass = "ChannelAwaitable";
    static constexpr const char* kTypeName = "builtins.ChannelAwaitable";
    static constexpr const char* kDoc = "A pending Channel.arecv(), asend() or __anext__(), awaited once.";

    // The Channel, for the first step only. A waiting operation holds handle
    // copies instead, so that dropping the Channel closes it and wakes the
    // wait, as it wakes blocked threads, rather than being kept alive by it.
    Ref channel;
    LoopWait wait;
    Ref item;  // a send's item, until the first step takes it
    std::optional<double> timeout;
    bool is_send = false;
    bool iteration = false;  // __anext__: the end of the channel ends the iteration
    Phase phase = Phase::Fresh;
    ChanWaiter* waiter = nullptr;  // one reference, from the first suspension until done

    ChanOpState(Ref ch, Ref lp, Ref it, std::optional<double> t, bool send, bool iter) noexcept
        : channel(std::move(ch)), wait(std::move(lp)), item(std::move(it)), timeout(t), is_send(send),
          iteration(iter) {}
    ChanOpState(ChanOpState&& o) noexcept
        : channel(std::move(o.channel)), wait(std::move(o.wait)), item(std::move(o.item)), timeout(o.timeout),
          is_send(o.is_send), iteration(o.iteration), phase(o.phase), waiter(std::exchange(o.waiter, nullptr)) {}
    ChanOpState(const ChanOpState&) = delete;
    ChanOpState& operator=(const ChanOpState&) = delete;

    // Requires: attached (as every use of it). Freed while waiting: the task
    // is gone, so the operation is given up.
    ~ChanOpState() {
        if (waiter) {
            abandon(*waiter);
            drop_waiter();
        }
        Py_XDECREF(channel.release());
        Py_XDECREF(item.release());
    }

    // Requires: attached, phase Done with no waiter. Drops the references a
    // completed operation no longer needs (see Awaitable::keep).
    void settle() noexcept {
        Py_XDECREF(channel.release());
        Py_XDECREF(item.release());
        Py_XDECREF(wait.loop.release());
    }

    const char* never_awaited() const noexcept {
        if (is_send) return msg::kAsendNeverAwaited;
        return iteration ? msg::kAnextNeverAwaited : msg::kArecvNeverAwaited;
    }

    ChannelState& chan() const noexcept { return ChannelBox::of(channel.get())->native; }

    // Requires: attached. Releases the waiter, and the item if it is still in it.
    void drop_waiter() noexcept {
        Ref fut = waiter->take_future();
        std::optional<Ref> unsent = waiter->take_unsent();
        std::exchange(waiter, nullptr)->release();
    }

    bool first_step(Ref& out);
    bool resume(Ref& out) {
        Ref dropped = waiter->take_future();
        wait.stop_timer();
        return advance(out);
    }
    bool give_up(Ref& out);

private:
    void check_timeout();
    bool start_waiting(Ref& out, ChanWaiter* w);
    bool advance(Ref& out);
    void finish(chan::TaskStatus st, Ref& out);
};

// Requires: attached. Raises the error of a receive on a closed, drained
// channel, or ends the iteration (__anext__ once closed and drained).
[[noreturn]] void throw_closed_empty(bool ends_iteration) {
    if (ends_iteration) {
        PyErr_SetNone(PyExc_StopAsyncIteration);
        throw PythonError{};
    }
    throw ValueError(msg::kClosedEmpty);
}

// Requires: attached. Ends the operation with `st` (not Pending/Cancelled):
// the result in `out`, or throws its error.
void ChanOpState::finish(chan::TaskStatus st, Ref& out) {
    phase = Phase::Done;
    std::optional<Ref> received;
    bool drained = false;
    if (!is_send) {
        if (st == chan::TaskStatus::Completed) {
            received = waiter->take_received();
        } else if (st == chan::TaskStatus::Closed) {
            // Closed: what is still buffered is drained before the error.
            chan::RecvResult<Ref> late = waiter->try_recv_again();
            if (late.ok()) {
                received = std::move(late.item);
                st = chan::TaskStatus::Completed;
            }
        }
        // Both the close signal and a lost sending side mean the Channel was
        // closed (or freed, which closes it).
        drained = waiter->receiver_empty();
    }
    drop_waiter();
    switch (st) {
        case chan::TaskStatus::Completed:
            out = is_send ? Ref::borrow(Py_None) : std::move(*received);
            return;
        case chan::TaskStatus::Closed:
        case chan::TaskStatus::Disconnected:
            if (is_send) throw ValueError(msg::kClosed);
            throw_closed_empty(iteration && drained);
        case chan::TaskStatus::TimedOut:
            throw TimeoutError(is_send ? msg::kSendTimeout : msg::kRecvTimeout);
        case chan::TaskStatus::Pending:
        case chan::TaskStatus::Cancelled:
            break;
    }
    throw Panic("channel operation finished without an outcome");
}

// Requires: attached, a waiter made. Polls it: true with a future to yield,
// false with the result.
bool ChanOpState::advance(Ref& out) {
    phase = Phase::Done;  // until suspended again
    const chan::TaskStatus st = waiter->poll(wait.deadline);
    if (st != chan::TaskStatus::Pending) {
        finish(st, out);
        return false;
    }
    out = wait.suspend_or(*waiter, [&] {
        static_cast<void>(waiter->cancel());
        drop_waiter();
    });
    phase = Phase::Waiting;
    return true;
}

void ChanOpState::check_timeout() {
    if (!timeout) return;
    if (*timeout < 0.0) throw ValueError(msg::kTimeoutNegative);
    wait.deadline = timer_after_secs(*timeout).instant();
}

bool ChanOpState::start_waiting(Ref& out, ChanWaiter* w) {
    waiter = w;
    HubRef hub(acquire_hub(wait.loop.get()));
    waiter->attach(hub.get());
    channel.reset();
    return advance(out);
}

// The first step: the immediate attempt, then the wait.
bool ChanOpState::first_step(Ref& out) {
    phase = Phase::Done;
    ChannelState& ch = chan();
    if (is_send) {
        std::optional<ItemSender> tx;
        {
            SenderSlot::Use use(ch.sender);
            if (!use) throw ValueError(msg::kClosed);
            check_timeout();
            chan::SendResult<Ref> r = use.sender().try_send(std::move(item));
            if (r.ok()) {
                out = Ref::borrow(Py_None);
                return false;
            }
            // Moved back out, so that nothing is released inside the slot.
            item = std::move(*r.unsent);
            if (r.status == chan::SendStatus::Full) tx = use.sender();
        }
        if (!tx) throw ValueError(msg::kClosed);
        return start_waiting(out, new ChanWaiter(*tx, std::move(item), ch.close_rx));
    }
    check_timeout();
    chan::RecvResult<Ref> r = ch.receiver.try_recv();
    if (r.ok()) {
        out = std::move(*r.item);
        return false;
    }
    if (r.status == chan::RecvStatus::Disconnected) {
        throw_closed_empty(iteration && ch.sender.closed() && ch.receiver.is_empty());
    }
    return start_waiting(out, new ChanWaiter(ch.receiver, ch.close_rx));
}

// The task stops awaiting. True when the operation completed all the same
// (a rendezvous send already taken).
bool ChanOpState::give_up(Ref& out) {
    const bool waiting = phase == Phase::Waiting;
    phase = Phase::Done;
    if (!waiting) return false;
    Ref dropped = waiter->take_future();
    const bool completed = waiter->cancel() == chan::TaskStatus::Completed;
    drop_waiter();
    wait.stop_timer();
    if (completed) out = Ref::borrow(Py_None);
    return completed;
}

using ChanAwaitable = Awaitable<ChanOpState>;

Ref make_awaitable(ChannelBox& self, Ref item, const NoneOr<double>& timeout, bool send, bool iteration) {
    return ChanAwaitable::make(Ref::borrow(self.obj()), running_loop(), std::move(item), timeout.v, send, iteration);
}

}  // namespace

Ref async_recv(ChannelBox& self, const NoneOr<double>& timeout, bool iteration) {
    // Not through make_awaitable: a receive has no item to pass along, and
    // this is every `await ch.arecv()`.
    return ChanAwaitable::make(Ref::borrow(self.obj()), running_loop(), Ref(), timeout.v, false, iteration);
}

Ref async_send(ChannelBox& self, Ref item, const NoneOr<double>& timeout) {
    return make_awaitable(self, std::move(item), timeout, true, false);
}

}  // namespace vornic::channel
