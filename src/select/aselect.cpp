// aselect(ops, timeout=None): select() for asyncio tasks. The call checks the
// operations and builds the wait; the returned awaitable (awaitable.hpp)
// runs it on the task's steps, woken through its loop's hub like arecv.
//
// The wait is a chan::TaskSelect holding, as select() does, two operations
// per RecvOp/SendOp in list order (its data operation, then a receive on its
// channel's close signal), tried in one random order fixed per call. Its
// receives take their items on the task's own step, so a cancelled aselect
// has taken nothing; a rendezvous send whose item a receiver took when it
// claimed the wait has happened, and then the await returns that send's
// result and the cancellation is requested again, as for asend.
#include <optional>
#include <utility>
#include <vector>

#include "binding/call.hpp"
#include "channel/awaitable.hpp"
#include "channel/state.hpp"
#include "channel/timeout.hpp"

namespace vornic::channel {
namespace {

using SelectWaiter = chan::TaskSelect<PyWaiter>;

struct Record {
    bool is_send;
    std::optional<ItemReceiver> receiver;  // receives: for the drain after a close
};

struct SelectState {
    static constexpr const char* kClass = "SelectAwaitable";
    static constexpr const char* kTypeName = "builtins.SelectAwaitable";
    static constexpr const char* kDoc = "A pending aselect(), awaited once.";

    LoopWait wait;
    std::optional<double> secs;  // clamped to >= 0
    std::vector<Record> records;
    SelectWaiter* waiter;  // one reference, from the call until done
    Phase phase = Phase::Fresh;

    SelectState(Ref loop, std::optional<double> s, std::vector<Record> recs, SelectWaiter* w) noexcept
        : wait(std::move(loop)), secs(s), records(std::move(recs)), waiter(w) {}
    SelectState(SelectState&& o) noexcept
        : wait(std::move(o.wait)), secs(o.secs), records(std::move(o.records)),
          waiter(std::exchange(o.waiter, nullptr)), phase(o.phase) {}
    SelectState(const SelectState&) = delete;
    SelectState& operator=(const SelectState&) = delete;

    // Freed while waiting (or never started): the operations are given up.
    ~SelectState() {
        if (waiter) {
            abandon(*waiter);
            drop_waiter();
        }
    }

    const char* never_awaited() const noexcept { return msg::kAselectNeverAwaited; }

    // Requires: attached. Releases the waiter with the sends' items in it.
    void drop_waiter() noexcept {
        Ref fut = waiter->take_future();
        for (std::size_t j = 0; j < records.size(); ++j) {
            if (records[j].is_send) std::optional<Ref> unsent = waiter->take_unsent(chan::SendKey<Ref>{2 * j});
        }
        std::exchange(waiter, nullptr)->release();
    }

    bool first_step(Ref& out) {
        phase = Phase::Done;
        if (secs) wait.deadline = timer_after_secs(*secs).instant();
        HubRef hub(acquire_hub(wait.loop.get()));
        waiter->attach(hub.get());
        return advance(out);
    }

    bool resume(Ref& out) {
        Ref dropped = waiter->take_future();
        wait.stop_timer();
        return advance(out);
    }

    bool give_up(Ref& out) {
        const bool waiting = phase == Phase::Waiting;
        phase = Phase::Done;
        if (!waiting) return false;
        Ref dropped = waiter->take_future();
        const std::optional<std::size_t> k = waiter->withdraw();
        wait.stop_timer();
        if (k) out = result(*k);
        drop_waiter();
        return k.has_value();
    }

private:
    bool advance(Ref& out) {
        phase = Phase::Done;  // until suspended again
        const chan::TaskStep s = waiter->step(wait.deadline);
        if (s.kind != chan::TaskStep::Kind::Pending) {
            struct Drop {
                SelectState& st;
                ~Drop() { st.drop_waiter(); }
            } drop{*this};
            if (s.kind == chan::TaskStep::Kind::TimedOut) throw TimeoutError(msg::kSelectTimeout);
            out = result(s.index);
            return false;
        }
        // Giving up withdraws every operation; a send completed meanwhile
        // stays done, and the error is what the task sees.
        out = wait.suspend_or(*waiter, [&] {
            static_cast<void>(waiter->withdraw());
            drop_waiter();
        });
        phase = Phase::Waiting;
        return true;
    }

    // Requires: attached. The tuple of the completed operation k, or its error.
    Ref result(std::size_t k) {
        // Two operations per record: its data operation, then its close signal.
        const std::size_t j = k / 2;
        const bool is_close = k % 2 == 1;
        Record& rec = records[j];
        const chan::detail::Completion c = waiter->completion(k);
        Ref index = Ref::steal(check(PyLong_FromSize_t(j)));
        if (rec.is_send) {
            if (is_close || c != chan::detail::Completion::Sent) throw ValueError(msg::kSelectedClosed);
            return Ref::steal(check(PyTuple_Pack(2, index.get(), Py_None)));
        }
        std::optional<Ref> item;
        if (is_close) {
            chan::RecvResult<Ref> late = rec.receiver->try_recv();
            if (late.ok()) item = std::move(late.item);
        } else if (c == chan::detail::Completion::Received) {
            item = waiter->take_received(chan::RecvKey<Ref>{k});
        }
        if (!item) throw ValueError(msg::kSelectedClosedEmpty);
        return Ref::steal(check(PyTuple_Pack(2, index.get(), item->get())));
    }
};

using SelectAwaitable = Awaitable<SelectState>;

// Owns the waiter until the awaitable does.
struct WaiterHold {
    SelectWaiter* w = new SelectWaiter();
    ~WaiterHold() {
        if (w) w->release();
    }
};

constexpr Sig<2> kAselect{nullptr, "aselect", {"ops", "timeout"}, 1};

Ref aselect_impl(ModuleSelf&, ObjList ops, NoneOr<double> timeout) {
    const std::optional<double> secs = select_timeout_secs(timeout);
    if (ops.empty()) throw ValueError(msg::kOpsEmpty);

    PyTypeObject* recv_type = require_type(types::recv_op);
    PyTypeObject* send_type = require_type(types::send_op);
    WaiterHold hold;
    std::vector<Record> records;
    records.reserve(ops.size());
    for (const Ref& op : ops) {
        if (PyObject_TypeCheck(op.get(), recv_type)) {
            const RecvOpState& r = RecvOpBox::of(op.get())->native;
            hold.w->recv(r.receiver);
            hold.w->recv(r.close_rx);
            records.push_back(Record{false, r.receiver});
        } else if (PyObject_TypeCheck(op.get(), send_type)) {
            const SendOpState& s = SendOpBox::of(op.get())->native;
            hold.w->send(s.sender, s.item.clone());
            hold.w->recv(s.close_rx);
            records.push_back(Record{true, std::nullopt});
        } else {
            throw TypeError(msg::kOpsType);
        }
    }
    // A timeout that is no duration fails here, at the call; the deadline
    // itself is fixed when the wait begins.
    if (secs) static_cast<void>(duration_from_secs(*secs));
    hold.w->seal();
    Ref loop = running_loop();
    // The state owns the waiter from here, even if making the object fails.
    SelectState state(std::move(loop), secs, std::move(records), std::exchange(hold.w, nullptr));
    return SelectAwaitable::make(std::move(state));
}

PyMethodDef aselect_method = {
    "aselect",
    as_cfunction(&function<&aselect_impl, kAselect>),
    METH_FASTCALL | METH_KEYWORDS,
    "aselect(ops, timeout=None)\n--\n\nAwait the first of the channel operations (recv_op or send_op) that is ready, "
    "or until optional timeout expires.\nThe asyncio form of select(): waits on the running event loop, not in a "
    "thread, and a cancelled aselect() either completed no operation or returns the one it completed.",
};

}  // namespace
}  // namespace vornic::channel

PyMethodDef* vornic::types::aselect_def() { return &channel::aselect_method; }
