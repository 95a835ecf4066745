// Channel: the Python face of an item channel of owned references plus its
// close signal.
//
// Non-blocking calls stay attached. A blocking call first tries without
// waiting (only when it has no timeout), then takes handle copies and waits
// detached in a multi-way wait over the item operation, the close signal and,
// with a timeout, a timer; no channel lock is held during the wait, so close()
// never waits for blocked parties.
//
// On the main thread the wait also runs signal handlers (SignalCheck); one
// that raises withdraws the wait with nothing sent or received, and the
// exception propagates from the call.
#include <cmath>

#include "binding/call.hpp"
#include "binding/detach.hpp"
#include "channel/async_bridge.hpp"
#include "channel/state.hpp"
#include "channel/timeout.hpp"

namespace vornic::channel {
namespace {

using Self = ChannelBox;

// A timeout argument of a blocking call: absent, or a timer. Negative values
// are refused before any wait.
std::optional<chan::Timer> checked_timer(const NoneOr<double>& timeout) {
    if (!timeout.v) return std::nullopt;
    if (*timeout.v < 0.0) throw ValueError(msg::kTimeoutNegative);
    return timer_after_secs(*timeout.v);
}

// Requires: attached. The blocking receive shared by recv, recv_timeout and
// iteration. The timeout comes by value, in registers: passed by reference it
// would be copied through memory in pieces and read back whole, a stalled
// store-to-load forward on every call. The Channel's own Receiver is never replaced and the call keeps
// the Channel alive, so the immediate attempt uses it in place; the wait works
// on the copies the Select takes.
// Out of line: inlined, its Select setup would give the immediate attempt a
// frame of a few hundred bytes and six saved registers on every call.
[[gnu::noinline]] Ref wait_recv(Self& self, std::optional<chan::Timer> timer);

// Inlined into its callers: on the same-thread path the frame of a separate
// call was a fifth of the module's share of a receive.
[[gnu::always_inline]] inline Ref blocking_recv(Self& self, NoneOr<double> timeout) {
    ChannelState& s = self.native;
    if (!timeout.v) {
        std::optional<Ref> out;
        if (s.receiver.try_recv_into(out) == chan::RecvStatus::Received) return std::move(*out);
    }
    return wait_recv(self, checked_timer(timeout));
}

// The waiting part of blocking_recv, once the immediate attempt (if any) came
// back empty-handed.
Ref wait_recv(Self& self, std::optional<chan::Timer> timer) {
    ChannelState& s = self.native;
    chan::Select sel;
    const auto item_key = sel.recv(s.receiver);
    const auto close_key = sel.recv(s.close_rx);
    if (timer) sel.recv(*timer);
    SignalCheck signals;
    chan::SelectResult r;
    {
        Detached d;
        r = sel.select(signals.get());
    }
    signals.conclude(!r.interrupted());
    if (r.is(item_key)) {
        if (r.status == chan::SelectStatus::Received) return sel.take_received(item_key);
        throw ValueError(msg::kClosedEmpty);
    }
    if (r.is(close_key)) {
        // Closed: what is still buffered is drained before the error.
        chan::RecvResult<Ref> late = s.receiver.try_recv();
        if (late.ok()) return std::move(*late.item);
        throw ValueError(msg::kClosedEmpty);
    }
    throw TimeoutError(msg::kRecvTimeout);
}

// Requires: attached. The blocking send shared by send and send_timeout.
//
// The immediate attempt runs on the Channel's Sender in place, from inside its
// slot so that close() cannot drop it meanwhile; only a call that has to wait
// copies it. No item is released inside the slot: a sent item left a null
// shell behind, a refused one is moved back out.
// Out of line, as wait_recv.
[[gnu::noinline]] void wait_send(Self& self, std::optional<ItemSender> tx, Ref item, NoneOr<double> timeout);

// Inlined into its callers, as blocking_recv.
[[gnu::always_inline]] inline void blocking_send(Self& self, Ref item, NoneOr<double> timeout) {
    ChannelState& s = self.native;
    std::optional<Ref> slot(std::move(item));
    std::optional<ItemSender> tx;
    {
        SenderSlot::Use use(s.sender);
        if (!use) throw ValueError(msg::kClosed);
        if (!timeout.v) {
            const chan::SendStatus st = use.sender().try_send_from(slot);
            if (st == chan::SendStatus::Sent) return;
            if (st == chan::SendStatus::Full) tx = use.sender();
        } else {
            tx = use.sender();
        }
    }
    wait_send(self, std::move(tx), std::move(*slot), timeout);
}

// The waiting part of blocking_send: `tx` is a copy of the Sender, or nothing
// when the immediate attempt found the channel disconnected.
void wait_send(Self& self, std::optional<ItemSender> tx, Ref item, NoneOr<double> timeout) {
    ChannelState& s = self.native;
    // Disconnected: every Receiver is gone (cannot happen while the Channel
    // holds its own, but the core may say so).
    if (!tx) throw ValueError(msg::kClosed);
    std::optional<chan::Timer> timer = checked_timer(timeout);

    chan::Select sel;
    const auto send_key = sel.send(*tx, std::move(item));
    sel.recv(s.close_rx);
    std::optional<chan::RecvKey<chan::Instant>> timer_key;
    if (timer) timer_key = sel.recv(*timer);
    tx.reset();  // the Select holds its own copy
    SignalCheck signals;
    chan::SelectResult r;
    {
        Detached d;
        r = sel.select(signals.get());
    }
    signals.conclude(!r.interrupted());
    // An item that did not go out is released with `sel`, attached.
    if (r.is(send_key) && r.status == chan::SelectStatus::Sent) return;
    if (timer_key && r.is(*timer_key)) throw TimeoutError(msg::kSendTimeout);
    throw ValueError(msg::kClosed);
}

constexpr const char* kCls = "Channel";
constexpr Sig<1> kNew{kCls, "__new__", {"capacity"}, 0};
constexpr Sig<2> kSend{kCls, "send", {"item", "timeout"}, 1};
constexpr Sig<1> kRecv{kCls, "recv", {"timeout"}, 0};
constexpr Sig<1> kTrySend{kCls, "try_send", {"item"}, 1};
constexpr Sig<2> kSendTimeout{kCls, "send_timeout", {"item", "timeout"}, 2};
constexpr Sig<1> kRecvTimeout{kCls, "recv_timeout", {"timeout"}, 1};
constexpr Sig<1> kSendOp{kCls, "send_op", {"item"}, 1};
constexpr Sig<3> kExit{kCls, "__exit__", {"_exc_type", "_exc_val", "_exc_tb"}, 3};
constexpr Sig<2> kAsend{kCls, "asend", {"item", "timeout"}, 1};
constexpr Sig<1> kArecv{kCls, "arecv", {"timeout"}, 0};

struct Impl {
    static ChannelState make(PyTypeObject*&, NoneOr<std::int64_t> capacity) {
        std::pair<ItemSender, ItemReceiver> items;
        if (!capacity.v) {
            items = chan::unbounded<Ref>();
        } else {
            if (*capacity.v < 0) throw ValueError(msg::kCapacityNegative);
            items = chan::bounded<Ref>(static_cast<std::size_t>(*capacity.v));
        }
        return ChannelState(capacity.v, std::move(items), chan::close_signal());
    }

    static void send(Self& self, Ref item, NoneOr<double> timeout) { blocking_send(self, std::move(item), timeout); }
    static Ref recv(Self& self, NoneOr<double> timeout) { return blocking_recv(self, timeout); }

    // `send(item)` and `recv()`, the forms a same-thread hand-off or a worker
    // loop calls most, skip the general binding: nothing to convert but the
    // item, no timeout to read. Every other form takes the general thunk.
    static PyObject* send_call(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        if (nargs != 1 || kwnames != nullptr) return fastcall<&Impl::send, kSend>(o, args, nargs, kwnames);
        return guarded([&]() -> PyObject* {
            blocking_send(*Self::of(o), Ref::borrow(args[0]), NoneOr<double>{});
            return Py_NewRef(Py_None);
        });
    }
    static PyObject* recv_call(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        if (nargs != 0 || kwnames != nullptr) return fastcall<&Impl::recv, kRecv>(o, args, nargs, kwnames);
        return guarded([&]() -> PyObject* { return blocking_recv(*Self::of(o), NoneOr<double>{}).release(); });
    }
    static void send_timeout(Self& self, Ref item, double timeout) {
        blocking_send(self, std::move(item), NoneOr<double>{timeout});
    }
    static Ref recv_timeout(Self& self, double timeout) { return blocking_recv(self, NoneOr<double>{timeout}); }

    static void try_send(Self& self, Ref item) {
        std::optional<Ref> slot(std::move(item));
        chan::SendStatus st;
        {
            SenderSlot::Use use(self.native.sender);
            if (!use) throw ValueError(msg::kClosed);
            st = use.sender().try_send_from(slot);
        }
        // A refused item is released with `slot`, outside the sender slot.
        if (st == chan::SendStatus::Sent) return;
        if (st == chan::SendStatus::Full) throw RuntimeError(msg::kFull);
        throw ValueError(msg::kClosed);
    }

    static Ref try_recv(Self& self) {
        std::optional<Ref> out;
        const chan::RecvStatus st = self.native.receiver.try_recv_into(out);
        if (st == chan::RecvStatus::Received) return std::move(*out);
        if (st == chan::RecvStatus::Empty) throw RuntimeError(msg::kEmpty);
        throw ValueError(msg::kClosedEmpty);
    }

    static void close(Self& self) {
        ChannelState& s = self.native;
        s.sender.take().reset();
        std::optional<CloseSender> close_tx;
        {
            std::lock_guard g(s.close_lock);
            close_tx.swap(s.close_tx);
        }
        close_tx.reset();
    }

    static Ref recv_op(Self& self) {
        RecvOpState op{self.native.receiver, self.native.close_rx};
        return Ref::steal(make_instance(require_type(types::recv_op), std::move(op)));
    }

    static Ref send_op(Self& self, Ref item) {
        std::optional<ItemSender> tx = self.native.sender_copy();
        if (!tx) throw ValueError(msg::kClosed);
        SendOpState op{std::move(*tx), self.native.close_rx, std::move(item)};
        return Ref::steal(make_instance(require_type(types::send_op), std::move(op)));
    }

    static Ref enter(Self& self) { return Ref::borrow(self.obj()); }
    static void exit(Self& self, Obj, Obj, Obj) { close(self); }

    static Ref arecv(Self& self, NoneOr<double> timeout) { return async_recv(self, timeout, false); }
    // `await ch.arecv()`, the common form, has nothing to bind.
    static PyObject* arecv_call(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        if (nargs != 0 || kwnames != nullptr) return fastcall<&Impl::arecv, kArecv>(o, args, nargs, kwnames);
        return guarded([&]() -> PyObject* { return async_recv(*Self::of(o), NoneOr<double>{}, false).release(); });
    }
    static Ref asend(Self& self, Ref item, NoneOr<double> timeout) { return async_send(self, std::move(item), timeout); }

    static PyObject* capacity(PyObject* o, void*) noexcept {
        return guarded([&]() -> PyObject* {
            const auto& c = Self::of(o)->native.capacity;
            return c ? check(PyLong_FromLongLong(*c)) : Py_NewRef(Py_None);
        });
    }

    static PyObject* iter(PyObject* o) noexcept { return Py_NewRef(o); }

    // len(): the items buffered now (0 for a rendezvous channel, which
    // buffers nothing). The truth value does not follow it: every channel is
    // true, so `if ch:` keeps meaning "there is a channel".
    static Py_ssize_t length(PyObject* o) noexcept {
        return static_cast<Py_ssize_t>(Self::of(o)->native.receiver.len());
    }
    static int truth(PyObject*) noexcept { return 1; }
    static PyObject* closed(PyObject* o, void*) noexcept {
        return Py_NewRef(Self::of(o)->native.sender.closed() ? Py_True : Py_False);
    }

    // ---- cyclic garbage collection ----
    //
    // The buffered items belong to the channel core, which RecvOp/SendOp
    // objects and blocked calls share through handle copies. They are this
    // object's to report only while it holds the core's only handles: its
    // Receiver and, until close(), its Sender. Otherwise a collection could
    // free items that a live RecvOp can still receive; such a cycle is found
    // by a later collection, once the other handles are gone. New handles are
    // only made from this object, so none can appear once it is garbage.
    static bool sole_owner(const ChannelState& s) noexcept {
        if (!s.receiver) return false;
        const auto [senders, receivers] = s.receiver.handle_counts();
        return receivers == 1 && senders == (s.sender.closed() ? 0u : 1u);
    }
    static int traverse(PyObject* o, visitproc visit, void* arg) noexcept {
        Py_VISIT(Py_TYPE(o));
        const ChannelState& s = Self::of(o)->native;
        if (!sole_owner(s)) return 0;
        return s.receiver.for_each_buffered([&](const Ref& item) {
            Py_VISIT(item.get());
            return 0;
        });
    }
    // Drops the buffered items one by one, each released with no channel
    // lock held (their finalizers may run Python code).
    static int clear(PyObject* o) noexcept {
        const ChannelState& s = Self::of(o)->native;
        if (!sole_owner(s)) return 0;
        while (s.receiver.try_recv().ok()) {
        }
        return 0;
    }

    // async for: the awaitable of a receive that ends the iteration once the
    // channel is closed and drained.
    static PyObject* anext(PyObject* o) noexcept {
        return guarded([&]() -> PyObject* { return async_recv(*Self::of(o), NoneOr<double>{}, true).release(); });
    }

    // The blocking receive; when it fails on a closed and drained channel the
    // iteration ends (NULL without an exception) instead.
    static PyObject* next(PyObject* o) noexcept {
        return guarded([&]() -> PyObject* {
            Self& self = *Self::of(o);
            SharedHold hold(self.borrow);
            try {
                return blocking_recv(self, NoneOr<double>{}).release();
            } catch (const Error&) {
                // Only the channel's own errors can mean "closed and drained";
                // a signal handler's exception always propagates.
                const bool closed = self.native.sender.closed();
                if (closed && self.native.receiver.is_empty()) return nullptr;
                throw;
            }
        });
    }
};

PyMethodDef methods[] = {
    {"send", as_cfunction(&Impl::send_call), METH_FASTCALL | METH_KEYWORDS,
     "send($self, item, timeout=None)\n--\n\nBlock and send an item into the channel. Releases the GIL while waiting."},
    {"recv", as_cfunction(&Impl::recv_call), METH_FASTCALL | METH_KEYWORDS,
     "recv($self, timeout=None)\n--\n\nBlock and receive an item from the channel. Releases the GIL while waiting.\n\n"
     "# Concurrency & Closing Behavior\nWhen multiple worker threads are blocked on `recv()` when `close()` is "
     "called,\nall threads are unblocked simultaneously. Any buffered items in the channel\nare drained by the "
     "unblocked threads until empty. Threads calling `recv()` after\nthe buffer is drained will receive "
     "`PyValueError(\"Channel is closed and empty\")`."},
    method<&Impl::try_send, kTrySend>(
        "try_send", "try_send($self, item)\n--\n\nNon-blocking send. Raises RuntimeError if full, ValueError if closed."),
    method0<&Impl::try_recv>("try_recv",
                             "try_recv($self)\n--\n\nNon-blocking receive. Raises RuntimeError if empty, ValueError if "
                             "closed."),
    method<&Impl::send_timeout, kSendTimeout>(
        "send_timeout",
        "send_timeout($self, item, timeout)\n--\n\nBlock and send an item with a timeout. Releases the GIL."),
    method<&Impl::recv_timeout, kRecvTimeout>(
        "recv_timeout", "recv_timeout($self, timeout)\n--\n\nBlock and receive an item with a timeout. Releases the GIL."),
    method0<&Impl::close>("close",
                          "close($self)\n--\n\nClose the channel for sending. Drops sender and unblocks pending "
                          "receivers.\nNote: Receiver remains active to allow draining any remaining buffered items."),
    method0<&Impl::recv_op>("recv_op",
                            "recv_op($self)\n--\n\nCreate a Receive Operation wrapper for `select()`.\nRemains available "
                            "after `close()` to allow draining existing items in the channel buffer."),
    method<&Impl::send_op, kSendOp>("send_op",
                                    "send_op($self, item)\n--\n\nCreate a Send Operation wrapper for `select()`."),
    method0<&Impl::enter>("__enter__", "__enter__($self)\n--\n\n"),
    method<&Impl::exit, kExit>("__exit__", "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"),
    method<&Impl::asend, kAsend>(
        "asend",
        "asend($self, item, timeout=None)\n--\n\nAsync version of send() for compatibility with asyncio event loops."),
    {"arecv", as_cfunction(&Impl::arecv_call), METH_FASTCALL | METH_KEYWORDS,
     "arecv($self, timeout=None)\n--\n\nAsync version of recv() for compatibility with asyncio event loops."},
    kClassGetItem,
    kMethodsEnd,
};

PyGetSetDef getset[] = {
    {"capacity", &Impl::capacity, nullptr, nullptr, nullptr},
    {"closed", &Impl::closed, nullptr, "True once close() has been called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Channel(capacity=None)\n--\n\nA thread-safe, lock-free message passing channel based on "
                                  "Rust's crossbeam-channel.\nSupports bounded, unbounded, and unbuffered (capacity=0) "
                                  "rendezvous modes.")},
    {Py_tp_new, reinterpret_cast<void*>(&constructor<&Impl::make, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&gc_dealloc<ChannelState>)},
    {Py_tp_traverse, reinterpret_cast<void*>(&Impl::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&Impl::clear)},
    {Py_mp_length, reinterpret_cast<void*>(&Impl::length)},
    {Py_nb_bool, reinterpret_cast<void*>(&Impl::truth)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_iter, reinterpret_cast<void*>(&Impl::iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&Impl::next)},
    {Py_am_aiter, reinterpret_cast<void*>(&Impl::iter)},
    {Py_am_anext, reinterpret_cast<void*>(&Impl::anext)},
    {0, nullptr},
};

PyType_Spec spec{"builtins.Channel", sizeof(Self), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
TypeSlot type_slot;

}  // namespace
}  // namespace vornic::channel

PyTypeObject* vornic::types::channel() { return channel::type_slot.get(&channel::spec); }
