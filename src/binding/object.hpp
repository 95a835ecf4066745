// The layout every instance shares, and type-object creation.
//
// An instance is a Box<Native>: the object header, the borrow flag, then the
// class's native contents. The native part is built by placement-new after
// tp_alloc and destroyed by the deallocator, which then frees the object
// through the type (so Python subclasses of ConcurrentMap work unchanged).
#pragma once
#include "binding/borrow.hpp"
#include "binding/errors.hpp"

#include <atomic>
#include <memory>
#include <new>
#include <utility>

namespace vornic {

// A class none of whose methods takes exclusive access specialises this to
// true. Its borrow flag can then never be held exclusively, a shared hold on
// it could never fail, and the calling layer skips taking one: two atomic
// read-modify-writes saved on every call of the hottest methods.
template <class Native>
inline constexpr bool kNeverExclusive = false;

template <class Native>
struct Box {
    using NativeType = Native;
    PyObject_HEAD
    BorrowFlag borrow;
    Native native;

    static Box* of(PyObject* o) noexcept { return reinterpret_cast<Box*>(o); }
    PyObject* obj() noexcept { return reinterpret_cast<PyObject*>(this); }
};

// Requires: attached. Allocates an instance of type holding `native`.
// Returns a new reference; throws PythonError if allocation fails (native is
// then destroyed by the caller's scope as usual).
template <class Native>
PyObject* make_instance(PyTypeObject* type, Native&& native) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) throw PythonError{};
    auto* b = Box<Native>::of(o);
    new (&b->borrow) BorrowFlag();
    new (&b->native) Native(std::forward<Native>(native));
    return o;
}

// Deallocator for Box<Native>. Destroys the native contents while attached,
// so any references they hold are released at once.
template <class Native, bool Weakrefs = false>
void dealloc(PyObject* o) noexcept {
    PyTypeObject* tp = Py_TYPE(o);
    if constexpr (Weakrefs) PyObject_ClearWeakRefs(o);
    auto* b = Box<Native>::of(o);
    std::destroy_at(&b->native);
    std::destroy_at(&b->borrow);
    tp->tp_free(o);
    // Heap types hold a reference per instance; static ones (StaticTypeSlot)
    // are immortal and hold none.
    if (PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE)) Py_DECREF(tp);
}

// Deallocator for the classes that take part in cyclic garbage collection:
// the object leaves the collector's lists before its contents go, so no
// collection started by a finalizer those contents run can traverse it.
template <class Native, bool Weakrefs = false>
void gc_dealloc(PyObject* o) noexcept {
    PyObject_GC_UnTrack(o);
    dealloc<Native, Weakrefs>(o);
}

// One type object per process. The first caller creates it; a
// PyMutex (which detaches while waiting) makes concurrent first uses agree on
// one object. Returns a borrowed reference, or nullptr with an error set.
class TypeSlot {
public:
    PyTypeObject* get(PyType_Spec* spec) noexcept {
        if (PyTypeObject* t = type_.load(std::memory_order_acquire)) return t;
        PyMutex_Lock(&mutex_);
        PyTypeObject* t = type_.load(std::memory_order_acquire);
        if (!t) {
            t = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
            if (t) type_.store(t, std::memory_order_release);  // lives until exit
        }
        PyMutex_Unlock(&mutex_);
        return t;
    }

private:
    std::atomic<PyTypeObject*> type_{nullptr};
    PyMutex mutex_{};
};

// The same, for a class whose instances are made and dropped on a hot path
// (a guard per `with lock.read()`, an awaitable per `await`), built as a
// static type from the same PyType_Spec. Why: every instance of a heap type
// holds a reference to its type. A free-threaded interpreter adds it to a
// per-thread count, but an extension can only give it back with Py_DECREF,
// which on a type (owned by no thread) is an atomic on the type's shared
// count - one cache line that every thread making such objects writes, the
// very thing a read path must not do. A static type is immortal, so its
// instances hold no reference and neither step happens. It costs little: the
// type is immutable, and subclassable only when its flags say so, as the
// classes using it are (they cannot be instantiated from Python either). The
// slots are copied into the type; a slot this does not know fails loudly.
class StaticTypeSlot {
public:
    PyTypeObject* get(PyType_Spec* spec) noexcept {
        if (ready_.load(std::memory_order_acquire)) return &type_;
        PyMutex_Lock(&mutex_);
        PyTypeObject* t = ready_.load(std::memory_order_acquire) ? &type_ : build(spec);
        PyMutex_Unlock(&mutex_);
        return t;
    }

private:
    PyTypeObject* build(PyType_Spec* spec) noexcept {
        Py_SET_TYPE(&type_, &PyType_Type);
        type_.tp_name = spec->name;
        type_.tp_basicsize = spec->basicsize;
        type_.tp_itemsize = spec->itemsize;
        type_.tp_flags = spec->flags & ~static_cast<unsigned long>(Py_TPFLAGS_HEAPTYPE);
        for (const PyType_Slot* sl = spec->slots; sl->slot; ++sl) {
            void* f = sl->pfunc;
            switch (sl->slot) {
            case Py_tp_doc: type_.tp_doc = static_cast<const char*>(f); break;
            case Py_tp_dealloc: type_.tp_dealloc = reinterpret_cast<destructor>(f); break;
            case Py_tp_methods: type_.tp_methods = static_cast<PyMethodDef*>(f); break;
            case Py_tp_iter: type_.tp_iter = reinterpret_cast<getiterfunc>(f); break;
            case Py_tp_iternext: type_.tp_iternext = reinterpret_cast<iternextfunc>(f); break;
            case Py_tp_repr: type_.tp_repr = reinterpret_cast<reprfunc>(f); break;
            case Py_am_await: async_.am_await = reinterpret_cast<unaryfunc>(f); break;
            case Py_am_aiter: async_.am_aiter = reinterpret_cast<unaryfunc>(f); break;
            case Py_am_anext: async_.am_anext = reinterpret_cast<unaryfunc>(f); break;
            case Py_am_send: async_.am_send = reinterpret_cast<sendfunc>(f); break;
            default:
                PyErr_Format(PyExc_SystemError, "%s: slot %d is not supported on a static type", spec->name,
                             sl->slot);
                return nullptr;
            }
        }
        if (async_.am_await || async_.am_aiter || async_.am_anext || async_.am_send) type_.tp_as_async = &async_;
        if (PyType_Ready(&type_) < 0) return nullptr;
        ready_.store(true, std::memory_order_release);
        return &type_;
    }

    PyTypeObject type_{};  // zero-filled; PyType_Ready makes it immortal
    PyAsyncMethods async_{};
    std::atomic<bool> ready_{false};
    PyMutex mutex_{};
};

// Type getters, one per class, each defined beside its class. Requires:
// attached. Borrowed reference or nullptr with an error set.
namespace types {
PyTypeObject* channel();
PyTypeObject* recv_op();
PyTypeObject* send_op();
PyTypeObject* concurrent_map();
PyTypeObject* thread_pool();
PyTypeObject* atomic_integer();
PyTypeObject* atomic_boolean();
PyTypeObject* rw_lock();
PyTypeObject* rw_lock_read_guard();
PyTypeObject* rw_lock_write_guard();
PyTypeObject* atomic_reference();
// The module function `select`'s method definition.
PyMethodDef* select_def();
// The module function `aselect`'s method definition.
PyMethodDef* aselect_def();
}  // namespace types

// Like types::x() but throws PythonError on failure.
inline PyTypeObject* require_type(PyTypeObject* (*getter)()) {
    PyTypeObject* t = getter();
    if (!t) throw PythonError{};
    return t;
}

}  // namespace vornic
