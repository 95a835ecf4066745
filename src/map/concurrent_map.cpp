// ConcurrentMap: the Python class over the shard store. Each method is one
// store operation plus result conversion; the class adds no state, locking or
// caching of its own.
#include <cstdint>

#include "binding/call.hpp"
#include "common/parallelism.hpp"
#include "map/shard_count.hpp"
#include "map/store.hpp"

// Every method takes shared access only.
template <>
inline constexpr bool vornic::kNeverExclusive<vornic::map::Store> = true;

namespace vornic::map {
namespace {

using Self = Box<Store>;

constexpr const char* kCls = "ConcurrentMap";
constexpr Sig<1> kNew{kCls, "__new__", {"shard_count"}, 0};
constexpr Sig<1> kGet{kCls, "get", {"key"}, 1};
constexpr Sig<1> kGetVal{kCls, "get_val", {"key"}, 1};
constexpr Sig<2> kGetOrInsert{kCls, "get_or_insert", {"key", "default"}, 2};
constexpr Sig<2> kSet{kCls, "set", {"key", "value"}, 2};
constexpr Sig<1> kDelete{kCls, "delete", {"key"}, 1};
constexpr Sig<1> kPopVal{kCls, "pop_val", {"key"}, 1};
constexpr Sig<1> kContainsKey{kCls, "contains_key", {"key"}, 1};

// (found, value) as a new tuple; value may be null for "not found".
Ref found_tuple(bool found, Ref value) {
    PyObject* t = check(PyTuple_New(2));
    PyTuple_SET_ITEM(t, 0, Py_NewRef(found ? Py_True : Py_False));
    PyTuple_SET_ITEM(t, 1, value ? value.release() : Py_NewRef(Py_None));
    return Ref::steal(t);
}

struct Impl {
    static Store make(PyTypeObject*&, NoneOr<Count> shard_count) {
        std::uint64_t n;
        if (shard_count.v) {
            n = shard_count.v->v;
            if (n == 0) throw ValueError(msg::kShardCountZero);
        } else {
            n = default_shard_count(available_parallelism());
        }
        return Store(n);
    }

    static Ref get(Self& s, Obj key) {
        Store::Found f = s.native.find(key.p);
        return f.found ? std::move(f.value) : Ref::borrow(Py_None);
    }
    static Ref get_val(Self& s, Obj key) {
        Store::Found f = s.native.find(key.p);
        return found_tuple(f.found, std::move(f.value));
    }
    static Ref get_or_insert(Self& s, Obj key, Obj dflt) { return s.native.get_or_insert(key.p, dflt.p); }
    static void set(Self& s, Obj key, Obj value) { s.native.put(key.p, value.p); }
    static bool del(Self& s, Obj key) { return s.native.remove(key.p).found; }
    static Ref pop_val(Self& s, Obj key) {
        Store::Found f = s.native.remove(key.p);
        return found_tuple(f.found, std::move(f.value));
    }
    static bool contains_key(Self& s, Obj key) { return s.native.contains(key.p); }
    static std::uint64_t len(Self& s) { return s.native.count(); }
    static void clear(Self& s) { s.native.clear(); }
    static Ref keys(Self& s) { return s.native.collect(Store::Part::Keys); }
    static Ref values(Self& s) { return s.native.collect(Store::Part::Values); }
    static Ref items(Self& s) { return s.native.collect(Store::Part::Items); }

    // Mapping length (built-in len() and truth value).
    static Py_ssize_t length(PyObject* o) noexcept {
        deferred::drain();
        try {
            SharedHold h(Self::of(o)->borrow);
            return static_cast<Py_ssize_t>(Self::of(o)->native.count());
        } catch (...) {
            set_error_from_current_exception();
            return -1;
        }
    }

    static PyObject* shard_count(PyObject* o, void*) noexcept {
        return guarded([&] { return check(PyLong_FromUnsignedLongLong(Self::of(o)->native.shard_count())); });
    }
};

namespace doc {
constexpr const char* cls =
    "ConcurrentMap(shard_count=None)\n--\n\n"
    "A highly concurrent, thread-safe hash map with dynamically configurable shard count.\n"
    "Each shard is protected by a Mutex. Python callbacks (like `__eq__` and `__hash__`)\n"
    "are executed entirely OUTSIDE the shard locks, preventing any lock-ordering\n"
    "or recursive deadlocks in multi-threaded GIL-free environments.";
constexpr const char* get = "get($self, key)\n--\n\nRetrieve the value associated with the key.";
constexpr const char* get_val =
    "get_val($self, key)\n--\n\nRetrieve the value associated with the key as a tuple (found, value).";
constexpr const char* get_or_insert =
    "get_or_insert($self, key, default)\n--\n\n"
    "Atomically get the existing value for key, or insert default and return default if absent.";
constexpr const char* set = "set($self, key, value)\n--\n\nSet the value for the key.";
constexpr const char* del =
    "delete($self, key)\n--\n\nDelete the key from the map. Returns True if the key was present, otherwise False.";
constexpr const char* pop_val =
    "pop_val($self, key)\n--\n\nAtomically remove and return the key's value.\n"
    "Returns `(true, value)` if found, or `(false, None)` if absent.";
constexpr const char* contains_key = "contains_key($self, key)\n--\n\nCheck if the key exists in the map.";
constexpr const char* len =
    "len($self)\n--\n\nReturn the total number of elements across all shards.\n"
    "Note: Under concurrent modifications, this represents a weakly-consistent\n"
    "snapshot and may return an approximate value rather than a global atomic freeze.";
constexpr const char* clear = "clear($self)\n--\n\nClear all elements from the map.";
constexpr const char* keys =
    "keys($self)\n--\n\nRetrieve all keys in the map.\n"
    "Note: Returns a weakly-consistent snapshot collected shard-by-shard.";
constexpr const char* values =
    "values($self)\n--\n\nRetrieve all values in the map.\n"
    "Note: Returns a weakly-consistent snapshot collected shard-by-shard.";
constexpr const char* items =
    "items($self)\n--\n\nRetrieve all key-value tuples in the map.\n"
    "Note: Returns a weakly-consistent snapshot collected shard-by-shard.";
}  // namespace doc

PyGetSetDef getset[] = {
    {"shard_count", &Impl::shard_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    method<&Impl::get, kGet>("get", doc::get),
    method<&Impl::get_val, kGetVal>("get_val", doc::get_val),
    method<&Impl::get_or_insert, kGetOrInsert>("get_or_insert", doc::get_or_insert),
    method<&Impl::set, kSet>("set", doc::set),
    method<&Impl::del, kDelete>("delete", doc::del),
    method<&Impl::pop_val, kPopVal>("pop_val", doc::pop_val),
    method<&Impl::contains_key, kContainsKey>("contains_key", doc::contains_key),
    method0<&Impl::len>("len", doc::len),
    method0<&Impl::clear>("clear", doc::clear),
    method0<&Impl::keys>("keys", doc::keys),
    method0<&Impl::values>("values", doc::values),
    method0<&Impl::items>("items", doc::items),
    kClassGetItem,
    kMethodsEnd,
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(doc::cls)},
    {Py_tp_new, reinterpret_cast<void*>(&constructor<&Impl::make, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Store>)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_mp_length, reinterpret_cast<void*>(&Impl::length)},
    {0, nullptr},
};

PyType_Spec spec{"builtins.ConcurrentMap", sizeof(Self), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
TypeSlot type_slot;

}  // namespace
}  // namespace vornic::map

PyTypeObject* vornic::types::concurrent_map() { return map::type_slot.get(&map::spec); }
