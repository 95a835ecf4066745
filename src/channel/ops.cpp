// RecvOp and SendOp: immutable descriptors of one channel operation for
// select(). They hold handle copies, so a SendOp keeps its channel's sending
// side connected for as long as it lives.
#include "binding/call.hpp"
#include "channel/state.hpp"

namespace vornic::channel {
namespace {

// Both descriptors are generic in the item type (RecvOp[int]); that is all
// their methods.
PyMethodDef op_methods[] = {kClassGetItem, kMethodsEnd};

// A SendOp owns its item outright (select sends a copy of the reference), so
// it reports it to the collector; clearing leaves None in its place.
int send_traverse(PyObject* o, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(SendOpBox::of(o)->native.item.get());
    return 0;
}
int send_clear(PyObject* o) noexcept {
    SendOpBox::of(o)->native.item = Ref::borrow(Py_None);
    return 0;
}

PyType_Slot recv_slots[] = {
    {Py_tp_doc, const_cast<char*>("An operation descriptor for receiving from a channel inside `select()`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<RecvOpState>)},
    {Py_tp_methods, op_methods},
    {0, nullptr},
};
PyType_Slot send_slots[] = {
    {Py_tp_doc, const_cast<char*>("An operation descriptor for sending to a channel inside `select()`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&gc_dealloc<SendOpState>)},
    {Py_tp_traverse, reinterpret_cast<void*>(&send_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&send_clear)},
    {Py_tp_methods, op_methods},
    {0, nullptr},
};

PyType_Spec recv_spec{"builtins.RecvOp", sizeof(RecvOpBox), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                      recv_slots};
PyType_Spec send_spec{"builtins.SendOp", sizeof(SendOpBox), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
                      send_slots};
TypeSlot recv_type;
TypeSlot send_type;

}  // namespace
}  // namespace vornic::channel

PyTypeObject* vornic::types::recv_op() { return channel::recv_type.get(&channel::recv_spec); }
PyTypeObject* vornic::types::send_op() { return channel::send_type.get(&channel::send_spec); }
