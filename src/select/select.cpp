// select(ops, timeout=None): wait for the first of several channel operations.
//
// Each RecvOp/SendOp becomes two operations of one multi-way wait, in list
// order: its data operation, then a receive on its channel's close signal, so
// that close() wakes the wait at once. The wait runs detached on the records'
// own handle copies; the descriptor objects are only read while building.
#include <vector>

#include "binding/call.hpp"
#include "binding/detach.hpp"
#include "channel/state.hpp"
#include "channel/timeout.hpp"

namespace vornic::channel {
namespace {

struct Record {
    bool is_send;
    // Receive records: the RecvOp's Receiver, for the drain after a close.
    // The call holds a reference to every op object (`ops`), and an op never
    // changes, so it is used in place; the wait runs on the Select's copies.
    const ItemReceiver* receiver;
    std::size_t data_op;  // operation numbers in the wait
    std::size_t close_op;
};

constexpr Sig<2> kSelect{nullptr, "select", {"ops", "timeout"}, 1};

Ref select_impl(ModuleSelf&, ObjList ops, NoneOr<double> timeout) {
    const std::optional<double> secs = select_timeout_secs(timeout);
    if (ops.empty()) throw ValueError(msg::kOpsEmpty);

    PyTypeObject* recv_type = require_type(types::recv_op);
    PyTypeObject* send_type = require_type(types::send_op);
    chan::Select sel;
    std::vector<Record> records;
    records.reserve(ops.size());
    for (const Ref& op : ops) {
        if (PyObject_TypeCheck(op.get(), recv_type)) {
            const RecvOpState& r = RecvOpBox::of(op.get())->native;
            const std::size_t data = sel.recv(r.receiver).index;
            records.push_back(Record{false, &r.receiver, data, sel.recv(r.close_rx).index});
        } else if (PyObject_TypeCheck(op.get(), send_type)) {
            const SendOpState& s = SendOpBox::of(op.get())->native;
            const std::size_t data = sel.send(s.sender, s.item.clone()).index;
            records.push_back(Record{true, nullptr, data, sel.recv(s.close_rx).index});
        } else {
            throw TypeError(msg::kOpsType);
        }
    }
    std::optional<chan::Timer> deadline_timer;
    if (secs) deadline_timer = timer_after_secs(*secs);

    SignalCheck signals;
    chan::SelectResult r;
    {
        Detached d;
        const chan::Deadline deadline = deadline_timer ? deadline_timer->instant() : std::nullopt;
        r = sel.select_deadline(deadline, signals.get());
    }
    // An interrupted wait left every operation untouched; the items of the
    // sends go back with the records.
    signals.conclude(!r.interrupted());
    if (r.timed_out()) throw TimeoutError(msg::kSelectTimeout);

    // Two operations per record, so the record is the index halved.
    const std::size_t j = r.index / 2;
    Record& rec = records[j];
    const bool is_close = r.index == rec.close_op;
    Ref index = Ref::steal(check(PyLong_FromSize_t(j)));
    if (rec.is_send) {
        if (is_close || r.status != chan::SelectStatus::Sent) throw ValueError(msg::kSelectedClosed);
        return Ref::steal(check(PyTuple_Pack(2, index.get(), Py_None)));
    }
    Ref item;
    if (is_close) {
        chan::RecvResult<Ref> late = rec.receiver->try_recv();
        if (!late.ok()) throw ValueError(msg::kSelectedClosedEmpty);
        item = std::move(*late.item);
    } else {
        if (r.status != chan::SelectStatus::Received) throw ValueError(msg::kSelectedClosedEmpty);
        item = sel.take_received(chan::RecvKey<Ref>{rec.data_op});
    }
    return Ref::steal(check(PyTuple_Pack(2, index.get(), item.get())));
}

PyMethodDef select_method = {
    "select",
    as_cfunction(&function<&select_impl, kSelect>),
    METH_FASTCALL | METH_KEYWORDS,
    "select(ops, timeout=None)\n--\n\nBlock until one of the channel operations (recv_op or send_op) is ready, or "
    "until optional timeout expires.\nEmploys Go-style multiplexing for multiple channel operations.",
};

}  // namespace
}  // namespace vornic::channel

PyMethodDef* vornic::types::select_def() { return &channel::select_method; }
