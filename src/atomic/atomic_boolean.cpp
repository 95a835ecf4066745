// AtomicBoolean: a one-byte boolean cell shared without a lock, with the same
// per-call ordering rules as AtomicInteger.
#include <cstddef>

#include "atomic/cell_ops.hpp"
#include "binding/call.hpp"

namespace vornic {
template <>
inline constexpr bool kNeverExclusive<atomic::PaddedCell<bool>> = true;
}

namespace vornic::atomic {
namespace {

using State = PaddedCell<bool>;
using Self = Box<State>;
static_assert(sizeof(std::atomic<bool>) == 1);
static_assert(offsetof(Self, native.value) == kCellOffset);
static_assert(sizeof(Self) >= State::kEnd);

constexpr const char* kCls = "AtomicBoolean";
constexpr Sig<1> kNew{kCls, "__new__", {"value"}, 0};
constexpr Sig<1> kGet{kCls, "get", {"ordering"}, 0};
constexpr Sig<2> kSet{kCls, "set", {"value", "ordering"}, 1};
constexpr Sig<2> kGetAndSet{kCls, "get_and_set", {"new_value", "ordering"}, 1};
constexpr Sig<3> kCompareAndSet{kCls, "compare_and_set", {"expected", "new_value", "ordering"}, 2};

using Shared = CellOps<bool>;

struct Impl {
    static State make(PyTypeObject*&, Maybe<bool> value) { return State(value.v.value_or(false)); }
    static PyObject* repr(PyObject* o) noexcept {
        return guarded([&] {
            return check(PyUnicode_FromString(Self::of(o)->native.value.load() ? "AtomicBoolean(True)" : "AtomicBoolean(False)"));
        });
    }
    // Truth value: the current value (a sequentially consistent load).
    static int truth(PyObject* o) noexcept { return Self::of(o)->native.value.load() ? 1 : 0; }
    static PyObject* str(PyObject* o) noexcept {
        return guarded([&] { return check(PyUnicode_FromString(Self::of(o)->native.value.load() ? "True" : "False")); });
    }
};

PyMethodDef methods[] = {
    method<&Shared::get, kGet>("get", "get($self, ordering=None)\n--\n\nLoad the current boolean value atomically."),
    method<&Shared::set, kSet>("set", "set($self, value, ordering=None)\n--\n\nStore a new boolean value atomically."),
    method<&Shared::get_and_set, kGetAndSet>(
        "get_and_set",
        "get_and_set($self, new_value, ordering=None)\n--\n\nAtomically swap the value with a new one and return the OLD value."),
    method<&Shared::compare_and_set, kCompareAndSet>(
        "compare_and_set",
        "compare_and_set($self, expected, new_value, ordering=None)\n--\n\nAtomically compare the current value to expected, "
        "and if equal, swap with new_value."),
    kMethodsEnd,
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("AtomicBoolean(value=False)\n--\n\nA thread-safe, lock-free boolean variable using CPU atomic operations.")},
    {Py_tp_new, reinterpret_cast<void*>(&constructor<&Impl::make, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<State>)},
    {Py_tp_methods, methods},
    {Py_tp_repr, reinterpret_cast<void*>(&Impl::repr)},
    {Py_tp_str, reinterpret_cast<void*>(&Impl::str)},
    {Py_nb_bool, reinterpret_cast<void*>(&Impl::truth)},
    {0, nullptr},
};

PyType_Spec spec{"builtins.AtomicBoolean", sizeof(Self), 0, Py_TPFLAGS_DEFAULT, slots};
TypeSlot type_slot;

}  // namespace
}  // namespace vornic::atomic

PyTypeObject* vornic::types::atomic_boolean() { return atomic::type_slot.get(&atomic::spec); }
