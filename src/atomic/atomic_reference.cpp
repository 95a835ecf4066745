// AtomicReference: one object reference shared by threads, read and replaced
// atomically. The protocol that keeps a read from touching a released object
// is in reference_cell.hpp.
#include <string>

#include "atomic/reference_cell.hpp"
#include "binding/call.hpp"

namespace vornic {
template <>
inline constexpr bool kNeverExclusive<atomic::ReferenceCell> = true;
}

namespace vornic::atomic {
namespace {

using Self = Box<ReferenceCell>;

constexpr const char* kCls = "AtomicReference";
constexpr Sig<1> kNew{kCls, "__new__", {"value"}, 0};
constexpr Sig<1> kSet{kCls, "set", {"value"}, 1};
constexpr Sig<1> kGetAndSet{kCls, "get_and_set", {"new_value"}, 1};
constexpr Sig<2> kCompareAndSet{kCls, "compare_and_set", {"expected", "new_value"}, 2};
constexpr Sig<1> kUpdateAndGet{kCls, "update_and_get", {"fn"}, 1};
constexpr Sig<1> kGetAndUpdate{kCls, "get_and_update", {"fn"}, 1};

struct Impl {
    static ReferenceCell make(PyTypeObject*&, NoneOr<Ref> value) {
        return ReferenceCell(value.v ? std::move(*value.v) : Ref::borrow(Py_None));
    }

    static Ref get(Self& s) { return s.native.load(); }
    // The replaced reference is released on return, with no lock held.
    static void set(Self& s, Ref value) { s.native.swap(std::move(value)); }
    static Ref get_and_set(Self& s, Ref new_value) { return s.native.swap(std::move(new_value)); }
    static bool compare_and_set(Self& s, Obj expected, Obj new_value) {
        Ref old;
        return s.native.compare_and_swap(expected.p, new_value.p, old);
    }

    // A compare-and-set loop around fn, which runs with no lock held. The
    // loop holds its own reference to the object fn was given, so that
    // object cannot be freed and its address reused while fn runs: the
    // identity check then means "nobody replaced it" (an object put back
    // after a replacement counts as unchanged).
    template <bool New>
    static Ref update(Self& s, Obj fn) {
        Ref cur = s.native.load();
        for (;;) {
            Ref next = Ref::steal(check(PyObject_CallOneArg(fn.p, cur.get())));
            Ref old;
            if (s.native.compare_and_swap(cur.get(), next.get(), old)) return New ? std::move(next) : std::move(cur);
            cur = s.native.load();
        }
    }
    static Ref update_and_get(Self& s, Obj fn) { return update<true>(s, fn); }
    static Ref get_and_update(Self& s, Obj fn) { return update<false>(s, fn); }

    static PyObject* repr(PyObject* o) noexcept {
        return guarded([&]() -> PyObject* {
            // A value whose repr leads back here shows as "...".
            const int busy = Py_ReprEnter(o);
            if (busy < 0) throw PythonError{};
            if (busy > 0) return check(PyUnicode_FromString("AtomicReference(...)"));
            Ref v = Self::of(o)->native.load();
            PyObject* r = PyUnicode_FromFormat("AtomicReference(%R)", v.get());
            Py_ReprLeave(o);
            return check(r);
        });
    }

    static int traverse(PyObject* o, visitproc visit, void* arg) noexcept {
        Py_VISIT(Py_TYPE(o));
        return Self::of(o)->native.traverse(visit, arg);
    }
    // Breaks a cycle: the cell is left holding None, and the object it held
    // is released after the hold, as any replacement is.
    static int clear(PyObject* o) noexcept {
        Self::of(o)->native.swap(Ref::borrow(Py_None));
        return 0;
    }
};

namespace doc {
constexpr const char* cls =
    "AtomicReference(value=None)\n--\n\n"
    "A thread-safe reference to a Python object that threads read and replace atomically.\n"
    "Every operation is sequentially consistent; compare_and_set compares by identity (`is`).\n"
    "The object is held by a strong reference, released when it is replaced.";
constexpr const char* get = "get($self)\n--\n\nReturn the current object.";
constexpr const char* set = "set($self, value)\n--\n\nReplace the object with value.";
constexpr const char* get_and_set =
    "get_and_set($self, new_value)\n--\n\nAtomically replace the object with new_value and return the OLD object.";
constexpr const char* compare_and_set =
    "compare_and_set($self, expected, new_value)\n--\n\n"
    "Atomically replace the object with new_value if it is expected (identity, not equality).\n"
    "Returns True if the swap succeeded, otherwise False.";
constexpr const char* update_and_get =
    "update_and_get($self, fn)\n--\n\nReplace the object with fn(object) and return the NEW object.\n"
    "fn runs outside any lock and is called again with the newer object whenever another thread\n"
    "replaced it in between, so it should be free of side effects.";
constexpr const char* get_and_update =
    "get_and_update($self, fn)\n--\n\nReplace the object with fn(object) and return the OLD object.\n"
    "fn runs outside any lock and is called again with the newer object whenever another thread\n"
    "replaced it in between, so it should be free of side effects.";
}  // namespace doc

PyMethodDef methods[] = {
    method0<&Impl::get>("get", doc::get),
    method<&Impl::set, kSet>("set", doc::set),
    method<&Impl::get_and_set, kGetAndSet>("get_and_set", doc::get_and_set),
    method<&Impl::compare_and_set, kCompareAndSet>("compare_and_set", doc::compare_and_set),
    method<&Impl::update_and_get, kUpdateAndGet>("update_and_get", doc::update_and_get),
    method<&Impl::get_and_update, kGetAndUpdate>("get_and_update", doc::get_and_update),
    kClassGetItem,
    kMethodsEnd,
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(doc::cls)},
    {Py_tp_new, reinterpret_cast<void*>(&constructor<&Impl::make, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&gc_dealloc<ReferenceCell>)},
    {Py_tp_traverse, reinterpret_cast<void*>(&Impl::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&Impl::clear)},
    {Py_tp_methods, methods},
    {Py_tp_repr, reinterpret_cast<void*>(&Impl::repr)},
    {0, nullptr},
};

PyType_Spec spec{"builtins.AtomicReference", sizeof(Self), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
TypeSlot type_slot;

}  // namespace
}  // namespace vornic::atomic

PyTypeObject* vornic::types::atomic_reference() { return atomic::type_slot.get(&atomic::spec); }
