// The module entry: PyInit__vornic hands back the definition (multi-phase
// initialisation) and the exec step registers every class, `select` and
// `aselect`, in a fixed order, on whichever module object the interpreter
// gives it.
#include <chrono>
#include <string>

#include "binding/call.hpp"
#include "channel_core/context.hpp"
#include "common/parallelism.hpp"

namespace vornic {
namespace {

constexpr const char* kModuleDoc =
    "The entry point for the compiled PyO3 native extension module `_vornic`.\n"
    "Registers all core Rust concurrency primitives so they are visible from Python.";

// Appends name to the module's __all__ (creating the list if missing) and
// sets the attribute. Throws PythonError / Panic on failure.
void add_object(PyObject* module, PyObject* name, PyObject* obj) {
    PyObject* all_raw = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all_raw) < 0) throw PythonError{};
    Ref all = Ref::steal(all_raw);
    if (!all) {
        all = Ref::steal(check(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError{};
    } else if (!PyList_Check(all.get())) {
        throw_cast_error(all.get(), "list");
    }
    if (PyList_Append(all.get(), name) < 0) {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Ref text = Ref::steal(exc ? PyObject_Repr(exc.get()) : nullptr);
        std::string m = msg::kAppendAll;
        if (text) {
            if (const char* t = PyUnicode_AsUTF8(text.get())) m += std::string(": ") + t;
        }
        PyErr_Clear();
        throw Panic(m);
    }
    if (PyObject_SetAttr(module, name, obj) < 0) throw PythonError{};
}

void add_class(PyObject* module, PyTypeObject* (*getter)(), const char* name) {
    PyTypeObject* t = require_type(getter);
    Ref n = Ref::steal(check(PyUnicode_FromString(name)));
    add_object(module, n.get(), reinterpret_cast<PyObject*>(t));
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref modname = Ref::steal(check(PyModule_GetNameObject(module)));
    Ref fn = Ref::steal(check(PyCFunction_NewEx(def, module, modname.get())));
    Ref name = Ref::steal(check(PyObject_GetAttrString(fn.get(), "__name__")));
    if (!PyUnicode_Check(name.get())) throw_cast_error(name.get(), "str");
    add_object(module, name.get(), fn.get());
}

// ConcurrentMap implements the mutable mapping protocol without inheriting
// from the abstract class (its keys()/values()/items() are list snapshots,
// and it compares by identity), so it is registered as a virtual subclass:
// isinstance(m, collections.abc.MutableMapping) holds.
void register_mapping() {
    Ref abc = Ref::steal(check(PyImport_ImportModule("collections.abc")));
    Ref mm = Ref::steal(check(PyObject_GetAttrString(abc.get(), "MutableMapping")));
    Ref done = Ref::steal(check(PyObject_CallMethod(mm.get(), "register", "O",
                                                    reinterpret_cast<PyObject*>(require_type(types::concurrent_map)))));
}

int exec_module(PyObject* module) noexcept {
    return guarded_int([&] {
        if (!PyModule_Check(module)) throw_cast_error(module, "module");
        add_class(module, types::channel, "Channel");
        add_class(module, types::recv_op, "RecvOp");
        add_class(module, types::send_op, "SendOp");
        add_class(module, types::concurrent_map, "ConcurrentMap");
        add_class(module, types::thread_pool, "ThreadPool");
        add_class(module, types::atomic_integer, "AtomicInteger");
        add_class(module, types::atomic_boolean, "AtomicBoolean");
        add_class(module, types::rw_lock, "RwLock");
        add_class(module, types::rw_lock_read_guard, "RwLockReadGuard");
        add_class(module, types::rw_lock_write_guard, "RwLockWriteGuard");
        add_function(module, types::select_def());
        add_function(module, types::aselect_def());
        add_class(module, types::atomic_reference, "AtomicReference");
        register_mapping();
        // A channel waiter spins briefly before it sleeps: a hand-over that
        // arrives within the spin skips the futex round trip on both sides
        // (a waiter spins detached, so with a GIL its peer runs meanwhile).
        // With one processor spinning would only take time from the peer.
        if (const auto n = available_parallelism(); n && *n > 1) chan::detail::set_sleep_spin(std::chrono::microseconds(20));
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_vornic", kModuleDoc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vornic

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__vornic() {
    return PyModuleDef_Init(&vornic::module_def);
}
