// AtomicInteger: a 64-bit signed cell shared without a lock. Every method is
// one atomic instruction with the chosen ordering (update_and_get and
// get_and_update: a compare-and-set loop); arithmetic wraps. It reads as an
// int (int(), operator.index, format) but is not one: no binary arithmetic,
// no truth value of its own, and equality and hashing stay by identity.
#include <cstddef>
#include <cstdint>
#include <string>

#include "atomic/cell_ops.hpp"
#include "binding/call.hpp"

namespace vornic {
template <>
inline constexpr bool kNeverExclusive<atomic::PaddedCell<std::int64_t>> = true;
}

namespace vornic::atomic {
namespace {

using State = PaddedCell<std::int64_t>;
using Self = Box<State>;
static_assert(offsetof(Self, native.value) == kCellOffset);
static_assert(sizeof(Self) >= State::kEnd);

// Wrapping arithmetic on the value an atomic instruction returned.
std::int64_t wrap_add(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
std::int64_t wrap_neg(std::int64_t a) { return static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(a)); }
std::int64_t fetch_add_raw(Self& s, std::int64_t delta, std::memory_order o) {
    // fetch_add on a signed atomic is defined to wrap (two's complement).
    return s.native.value.fetch_add(delta, o);
}

constexpr const char* kCls = "AtomicInteger";
constexpr Sig<1> kNew{kCls, "__new__", {"value"}, 0};
constexpr Sig<1> kGet{kCls, "get", {"ordering"}, 0};
constexpr Sig<2> kSet{kCls, "set", {"value", "ordering"}, 1};
constexpr Sig<2> kFetchAdd{kCls, "fetch_add", {"delta", "ordering"}, 1};
constexpr Sig<1> kFetchAddRelaxed{kCls, "fetch_add_relaxed", {"delta"}, 1};
constexpr Sig<2> kAddAndGet{kCls, "add_and_get", {"delta", "ordering"}, 1};
constexpr Sig<1> kAddAndGetRelaxed{kCls, "add_and_get_relaxed", {"delta"}, 1};
constexpr Sig<2> kFetchSub{kCls, "fetch_sub", {"delta", "ordering"}, 1};
constexpr Sig<1> kFetchSubRelaxed{kCls, "fetch_sub_relaxed", {"delta"}, 1};
constexpr Sig<2> kSubAndGet{kCls, "sub_and_get", {"delta", "ordering"}, 1};
constexpr Sig<1> kSubAndGetRelaxed{kCls, "sub_and_get_relaxed", {"delta"}, 1};
constexpr Sig<1> kIncrement{kCls, "increment", {"ordering"}, 0};
constexpr Sig<1> kDecrement{kCls, "decrement", {"ordering"}, 0};
constexpr Sig<2> kGetAndSet{kCls, "get_and_set", {"new_value", "ordering"}, 1};
constexpr Sig<3> kCompareAndSet{kCls, "compare_and_set", {"expected", "new_value", "ordering"}, 2};
constexpr Sig<2> kFetchAnd{kCls, "fetch_and", {"value", "ordering"}, 1};
constexpr Sig<2> kFetchOr{kCls, "fetch_or", {"value", "ordering"}, 1};
constexpr Sig<2> kFetchXor{kCls, "fetch_xor", {"value", "ordering"}, 1};
constexpr Sig<1> kUpdateAndGet{kCls, "update_and_get", {"fn"}, 1};
constexpr Sig<1> kGetAndUpdate{kCls, "get_and_update", {"fn"}, 1};

using Shared = CellOps<std::int64_t>;

struct Impl {
    static State make(PyTypeObject*&, Maybe<std::int64_t> value) { return State(value.v.value_or(0)); }

    static std::int64_t fetch_add(Self& s, std::int64_t delta, NoneOr<Text> ordering) {
        return fetch_add_raw(s, delta, rmw_order(parse_ordering(ordering)));
    }
    static std::int64_t fetch_add_relaxed(Self& s, std::int64_t delta) {
        return fetch_add_raw(s, delta, std::memory_order_relaxed);
    }
    static std::int64_t add_and_get(Self& s, std::int64_t delta, NoneOr<Text> ordering) {
        return wrap_add(fetch_add(s, delta, ordering), delta);
    }
    static std::int64_t add_and_get_relaxed(Self& s, std::int64_t delta) {
        return wrap_add(fetch_add_relaxed(s, delta), delta);
    }
    static std::int64_t fetch_sub(Self& s, std::int64_t delta, NoneOr<Text> ordering) {
        return fetch_add_raw(s, wrap_neg(delta), rmw_order(parse_ordering(ordering)));
    }
    static std::int64_t fetch_sub_relaxed(Self& s, std::int64_t delta) {
        return fetch_add_raw(s, wrap_neg(delta), std::memory_order_relaxed);
    }
    static std::int64_t sub_and_get(Self& s, std::int64_t delta, NoneOr<Text> ordering) {
        return wrap_add(fetch_sub(s, delta, ordering), wrap_neg(delta));
    }
    static std::int64_t sub_and_get_relaxed(Self& s, std::int64_t delta) {
        return wrap_add(fetch_sub_relaxed(s, delta), wrap_neg(delta));
    }
    static std::int64_t increment(Self& s, NoneOr<Text> ordering) {
        return wrap_add(fetch_add_raw(s, 1, rmw_order(parse_ordering(ordering))), 1);
    }
    static std::int64_t increment_relaxed(Self& s) { return wrap_add(fetch_add_raw(s, 1, std::memory_order_relaxed), 1); }
    static std::int64_t decrement(Self& s, NoneOr<Text> ordering) {
        return wrap_add(fetch_add_raw(s, -1, rmw_order(parse_ordering(ordering))), -1);
    }
    static std::int64_t decrement_relaxed(Self& s) {
        return wrap_add(fetch_add_raw(s, -1, std::memory_order_relaxed), -1);
    }

    static std::int64_t fetch_and(Self& s, std::int64_t value, NoneOr<Text> ordering) {
        return s.native.value.fetch_and(value, rmw_order(parse_ordering(ordering)));
    }
    static std::int64_t fetch_or(Self& s, std::int64_t value, NoneOr<Text> ordering) {
        return s.native.value.fetch_or(value, rmw_order(parse_ordering(ordering)));
    }
    static std::int64_t fetch_xor(Self& s, std::int64_t value, NoneOr<Text> ordering) {
        return s.native.value.fetch_xor(value, rmw_order(parse_ordering(ordering)));
    }

    // A compare-and-set loop around fn: fn runs with no lock held (there is
    // none), on the value last seen; when another thread changed the cell
    // meanwhile, fn runs again on the newer value. Returns the value fn made
    // (New) or the one it was given (Old) on the round that stored.
    template <bool New>
    static std::int64_t update(Self& s, Obj fn) {
        std::atomic<std::int64_t>& cell = s.native.value;
        std::int64_t cur = cell.load(std::memory_order_seq_cst);
        for (;;) {
            Ref arg = Ref::steal(check(PyLong_FromLongLong(cur)));
            Ref out = Ref::steal(check(PyObject_CallOneArg(fn.p, arg.get())));
            const std::int64_t next = convert::to_i64(out.get());
            // On failure cur is reloaded with the value that beat us.
            if (cell.compare_exchange_strong(cur, next, std::memory_order_seq_cst)) return New ? next : cur;
        }
    }
    static std::int64_t update_and_get(Self& s, Obj fn) { return update<true>(s, fn); }
    static std::int64_t get_and_update(Self& s, Obj fn) { return update<false>(s, fn); }

    // The number protocol: the current value as an int, and += / -= as one
    // atomic add each, which keep the object (no new one is bound).
    static PyObject* as_int(PyObject* o) noexcept {
        return guarded([&] { return check(PyLong_FromLongLong(Self::of(o)->native.value.load())); });
    }
    template <bool Subtract>
    static PyObject* inplace(PyObject* o, PyObject* other) noexcept {
        return guarded([&]() -> PyObject* {
            // Anything that is not an integer is left to the interpreter,
            // which then reports the unsupported operand types.
            if (!PyIndex_Check(other)) return Py_NewRef(Py_NotImplemented);
            const std::int64_t d = convert::to_i64(other);
            fetch_add_raw(*Self::of(o), Subtract ? wrap_neg(d) : d, std::memory_order_seq_cst);
            return Py_NewRef(o);
        });
    }
    static PyObject* format(PyObject* o, PyObject* spec) noexcept {
        return guarded([&] {
            Ref v = Ref::steal(check(PyLong_FromLongLong(Self::of(o)->native.value.load())));
            return check(PyObject_Format(v.get(), spec));
        });
    }

    static PyObject* repr(PyObject* o) noexcept {
        return guarded([&] {
            const std::string t = "AtomicInteger(" + std::to_string(Self::of(o)->native.value.load()) + ")";
            return check(PyUnicode_FromString(t.c_str()));
        });
    }
};

PyObject* str_slot(PyObject* o) noexcept {
    return guarded([&] { return check(PyUnicode_FromString(std::to_string(Self::of(o)->native.value.load()).c_str())); });
}

namespace doc {
constexpr const char* cls =
    "AtomicInteger(value=0)\n--\n\nA thread-safe, lock-free 64-bit signed integer using CPU atomic operations.\n"
    "All methods use Ordering::SeqCst by default to guarantee sequential consistency across all threads.\n"
    "Accepts optional ordering=\"relaxed\" or shortcut methods like increment_relaxed() for maximum performance on ARM64.";
}

PyMethodDef methods[] = {
    method<&Shared::get, kGet>("get", "get($self, ordering=None)\n--\n\nLoad the current value atomically."),
    method<&Shared::set, kSet>("set", "set($self, value, ordering=None)\n--\n\nStore a new value atomically."),
    method<&Impl::fetch_add, kFetchAdd>(
        "fetch_add", "fetch_add($self, delta, ordering=None)\n--\n\nAtomically add delta to the value and return the OLD value."),
    method<&Impl::fetch_add_relaxed, kFetchAddRelaxed>("fetch_add_relaxed",
                                                       "fetch_add_relaxed($self, delta)\n--\n\nFast-path relaxed fetch_add."),
    method<&Impl::add_and_get, kAddAndGet>(
        "add_and_get",
        "add_and_get($self, delta, ordering=None)\n--\n\nAtomically add delta to the value and return the NEW value."),
    method<&Impl::add_and_get_relaxed, kAddAndGetRelaxed>(
        "add_and_get_relaxed", "add_and_get_relaxed($self, delta)\n--\n\nFast-path relaxed add_and_get."),
    method<&Impl::fetch_sub, kFetchSub>(
        "fetch_sub",
        "fetch_sub($self, delta, ordering=None)\n--\n\nAtomically subtract delta from the value and return the OLD value."),
    method<&Impl::fetch_sub_relaxed, kFetchSubRelaxed>("fetch_sub_relaxed",
                                                       "fetch_sub_relaxed($self, delta)\n--\n\nFast-path relaxed fetch_sub."),
    method<&Impl::sub_and_get, kSubAndGet>(
        "sub_and_get",
        "sub_and_get($self, delta, ordering=None)\n--\n\nAtomically subtract delta from the value and return the NEW value."),
    method<&Impl::sub_and_get_relaxed, kSubAndGetRelaxed>(
        "sub_and_get_relaxed", "sub_and_get_relaxed($self, delta)\n--\n\nFast-path relaxed sub_and_get."),
    method<&Impl::increment, kIncrement>(
        "increment", "increment($self, ordering=None)\n--\n\nAtomically increment the value by 1 and return the NEW value."),
    method0<&Impl::increment_relaxed>("increment_relaxed", "increment_relaxed($self)\n--\n\nFast-path relaxed increment."),
    method<&Impl::decrement, kDecrement>(
        "decrement", "decrement($self, ordering=None)\n--\n\nAtomically decrement the value by 1 and return the NEW value."),
    method0<&Impl::decrement_relaxed>("decrement_relaxed", "decrement_relaxed($self)\n--\n\nFast-path relaxed decrement."),
    method<&Shared::get_and_set, kGetAndSet>(
        "get_and_set",
        "get_and_set($self, new_value, ordering=None)\n--\n\nAtomically swap the value with a new one and return the OLD value."),
    method<&Shared::compare_and_set, kCompareAndSet>(
        "compare_and_set",
        "compare_and_set($self, expected, new_value, ordering=None)\n--\n\nAtomically compare the current value to expected, "
        "and if equal, swap with new_value.\nReturns True if the swap succeeded, otherwise False."),
    method<&Impl::fetch_and, kFetchAnd>(
        "fetch_and",
        "fetch_and($self, value, ordering=None)\n--\n\nAtomically AND value into the value (bitwise, two's complement) "
        "and return the OLD value."),
    method<&Impl::fetch_or, kFetchOr>(
        "fetch_or",
        "fetch_or($self, value, ordering=None)\n--\n\nAtomically OR value into the value (bitwise, two's complement) "
        "and return the OLD value."),
    method<&Impl::fetch_xor, kFetchXor>(
        "fetch_xor",
        "fetch_xor($self, value, ordering=None)\n--\n\nAtomically XOR value into the value (bitwise, two's complement) "
        "and return the OLD value."),
    method<&Impl::update_and_get, kUpdateAndGet>(
        "update_and_get",
        "update_and_get($self, fn)\n--\n\nReplace the value with fn(value) and return the NEW value.\n"
        "fn runs outside any lock and is called again with the newer value whenever another thread\n"
        "changed the value in between, so it should be free of side effects."),
    method<&Impl::get_and_update, kGetAndUpdate>(
        "get_and_update",
        "get_and_update($self, fn)\n--\n\nReplace the value with fn(value) and return the OLD value.\n"
        "fn runs outside any lock and is called again with the newer value whenever another thread\n"
        "changed the value in between, so it should be free of side effects."),
    {"__format__", as_cfunction(&Impl::format), METH_O,
     "__format__($self, format_spec, /)\n--\n\nFormat the current value as an int."},
    kMethodsEnd,
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(doc::cls)},
    {Py_tp_new, reinterpret_cast<void*>(&constructor<&Impl::make, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<State>)},
    {Py_tp_methods, methods},
    {Py_tp_repr, reinterpret_cast<void*>(&Impl::repr)},
    {Py_tp_str, reinterpret_cast<void*>(&str_slot)},
    {Py_nb_int, reinterpret_cast<void*>(&Impl::as_int)},
    {Py_nb_index, reinterpret_cast<void*>(&Impl::as_int)},
    {Py_nb_inplace_add, reinterpret_cast<void*>(&Impl::inplace<false>)},
    {Py_nb_inplace_subtract, reinterpret_cast<void*>(&Impl::inplace<true>)},
    {0, nullptr},
};

PyType_Spec spec{"builtins.AtomicInteger", sizeof(Self), 0, Py_TPFLAGS_DEFAULT, slots};
TypeSlot type_slot;

}  // namespace
}  // namespace vornic::atomic

PyTypeObject* vornic::types::atomic_integer() { return atomic::type_slot.get(&atomic::spec); }
