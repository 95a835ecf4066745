// ConcurrentMap: the Python class over the shard store. Each method is one
// store operation plus result conversion; the class adds no state, locking or
// caching of its own.
//
// It is a mutable mapping (subscription, `in`, iteration, get/setdefault/pop/
// popitem/update with dict's argument forms), registered with
// collections.abc.MutableMapping by the module's exec step, but it keeps two
// differences on purpose: keys()/values()/items() return list snapshots (a
// live view over a map other threads change could not promise anything a
// snapshot does not), and equality and hashing stay by identity (comparing
// the contents of a map that is changing would be a race).
//
// It takes part in cyclic garbage collection: traverse visits every key and
// value under each shard's lock, clear empties the map with the ordinary
// sweep, which releases the pairs after unlocking.
#include <cstdint>
#include <string>

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
constexpr Sig<2> kGet{kCls, "get", {"key", "default"}, 1};
constexpr Sig<1> kGetVal{kCls, "get_val", {"key"}, 1};
constexpr Sig<2> kGetOrInsert{kCls, "get_or_insert", {"key", "default"}, 2};
constexpr Sig<2> kSet{kCls, "set", {"key", "value"}, 2};
constexpr Sig<1> kDelete{kCls, "delete", {"key"}, 1};
constexpr Sig<1> kPopVal{kCls, "pop_val", {"key"}, 1};
constexpr Sig<1> kContainsKey{kCls, "contains_key", {"key"}, 1};
constexpr Sig<2> kSetDefault{kCls, "setdefault", {"key", "default"}, 1};
constexpr Sig<2> kPop{kCls, "pop", {"key", "default"}, 1};

// Requires: attached. Raises KeyError(key); the key is wrapped in the
// exception's arguments as dict does, so a tuple key is not unpacked.
[[noreturn]] void raise_key_error(PyObject* key) {
    Ref e = Ref::steal(check(PyObject_CallOneArg(PyExc_KeyError, key)));
    PyErr_SetObject(PyExc_KeyError, e.get());
    throw PythonError{};
}

// dict.update's positional argument: a mapping (anything with keys()) or an
// iterable of key/value pairs, with dict's errors for malformed pairs.
void update_from(Store& st, PyObject* other) {
    PyObject* keys_raw = nullptr;
    if (PyObject_GetOptionalAttrString(other, "keys", &keys_raw) < 0) throw PythonError{};
    if (keys_raw) {
        Ref keys_fn = Ref::steal(keys_raw);
        Ref keys = Ref::steal(check(PyObject_CallNoArgs(keys_fn.get())));
        Ref it = Ref::steal(check(PyObject_GetIter(keys.get())));
        while (PyObject* k_raw = PyIter_Next(it.get())) {
            Ref k = Ref::steal(k_raw);
            Ref v = Ref::steal(check(PyObject_GetItem(other, k.get())));
            st.put(k.get(), v.get());
        }
        throw_if_error();
        return;
    }
    Ref it = Ref::steal(check(PyObject_GetIter(other)));
    for (Py_ssize_t i = 0;; ++i) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) break;
        Ref pair = Ref::steal(PySequence_Fast(item.get(), ""));
        if (!pair) {
            if (PyErr_ExceptionMatches(PyExc_TypeError))
                PyErr_Format(PyExc_TypeError, msg::kUpdateNotSequence, i);
            throw PythonError{};
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(pair.get());
        if (n != 2) {
            PyErr_Format(PyExc_ValueError, msg::kUpdateBadLength, i, n);
            throw PythonError{};
        }
        PyObject** kv = PySequence_Fast_ITEMS(pair.get());
        st.put(kv[0], kv[1]);
    }
    throw_if_error();
}

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

    static Ref get(Self& s, Obj key, Obj dflt) {
        Store::Found f = s.native.find(key.p);
        if (f.found) return std::move(f.value);
        return Ref::borrow(dflt.p ? dflt.p : Py_None);
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

    // ---- the mutable mapping protocol ----

    // The get-or-insert protocol: of racing callers with equal keys, one
    // inserts and all get that one's value.
    static Ref setdefault(Self& s, Obj key, Obj dflt) {
        return s.native.get_or_insert(key.p, dflt.p ? dflt.p : Py_None);
    }
    static Ref pop(Self& s, Obj key, Maybe<Obj> dflt) {
        Store::Found f = s.native.remove(key.p);
        if (f.found) return std::move(f.value);
        if (dflt.v) return Ref::borrow(dflt.v->p);
        raise_key_error(key.p);
    }
    // Removes some pair and returns it. The key is picked under its shard's
    // lock and then removed by the usual protocol; if another thread took it
    // first, another key is picked.
    static Ref popitem(Self& s) {
        for (;;) {
            Ref key = s.native.any_key();
            if (!key) {
                PyErr_SetString(PyExc_KeyError, msg::kPopitemEmpty);
                throw PythonError{};
            }
            Store::Found f = s.native.remove(key.get());
            if (!f.found) continue;
            PyObject* t = check(PyTuple_New(2));
            PyTuple_SET_ITEM(t, 0, key.release());
            PyTuple_SET_ITEM(t, 1, f.value.release());
            return Ref::steal(t);
        }
    }
    // update(other=(), /, **kw): dict.update's forms and errors.
    static PyObject* update(PyObject* o, PyObject* args, PyObject* kwargs) noexcept {
        return guarded([&]() -> PyObject* {
            Store& st = Self::of(o)->native;
            const Py_ssize_t n = PyTuple_GET_SIZE(args);
            if (n > 1) {
                PyErr_Format(PyExc_TypeError, msg::kUpdateArgs, n);
                throw PythonError{};
            }
            if (n == 1) update_from(st, PyTuple_GET_ITEM(args, 0));
            if (kwargs) {
                // The call's own keyword dict: nothing else can change it.
                Py_ssize_t pos = 0;
                PyObject *k, *v;
                while (PyDict_Next(kwargs, &pos, &k, &v)) st.put(k, v);
            }
            return Py_NewRef(Py_None);
        });
    }

    static PyObject* subscript(PyObject* o, PyObject* key) noexcept {
        return guarded([&]() -> PyObject* {
            Store::Found f = Self::of(o)->native.find(key);
            if (!f.found) raise_key_error(key);
            return f.value.release();
        });
    }
    static int ass_subscript(PyObject* o, PyObject* key, PyObject* value) noexcept {
        return guarded_int([&] {
            Store& st = Self::of(o)->native;
            if (value) {
                st.put(key, value);
            } else if (!st.remove(key).found) {
                raise_key_error(key);
            }
            return 0;
        });
    }
    static int contains(PyObject* o, PyObject* key) noexcept {
        return guarded_int([&] { return Self::of(o)->native.contains(key) ? 1 : 0; });
    }
    // Iteration walks a snapshot of the keys, taken as keys() takes it: it
    // never fails because the map changed, and it may miss keys added or
    // still show keys removed after it began.
    static PyObject* iter(PyObject* o) noexcept {
        return guarded([&] {
            Ref keys = Self::of(o)->native.collect(Store::Part::Keys);
            return check(PyObject_GetIter(keys.get()));
        });
    }

    // ---- cyclic garbage collection ----
    static int traverse(PyObject* o, visitproc visit, void* arg) noexcept {
        Py_VISIT(Py_TYPE(o));  // instances of a heap type own a reference to it
        return Self::of(o)->native.for_each_entry(visit, arg);
    }
    static int clear_slot(PyObject* o) noexcept {
        // The sweep releases each shard's pairs after unlocking it, so the
        // finalizers this runs may use the map.
        return guarded_int([&] {
            Self::of(o)->native.clear();
            return 0;
        });
    }

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
    "or recursive deadlocks in multi-threaded GIL-free environments.\n\n"
    "It is a collections.abc.MutableMapping (m[k], m[k] = v, del m[k], k in m, iteration,\n"
    "get, setdefault, pop, popitem, update), except that keys(), values() and items()\n"
    "return list snapshots rather than views, and that equality and hashing are by\n"
    "identity: comparing the contents of a map other threads are changing would be a race.";
constexpr const char* get =
    "get($self, key, default=None)\n--\n\nRetrieve the value associated with the key, or default if absent.";
constexpr const char* setdefault =
    "setdefault($self, key, default=None)\n--\n\n"
    "Return the value for key, inserting default first if absent (atomically, as get_or_insert).";
constexpr const char* pop =
    "pop($self, key, default=<unrepresentable>)\n--\n\n"
    "Atomically remove key and return its value.\n"
    "If the key is absent, return default if given, otherwise raise KeyError.";
constexpr const char* popitem =
    "popitem($self)\n--\n\nAtomically remove and return some (key, value) pair; KeyError if the map is empty.";
constexpr const char* update =
    "update($self, other=(), /, **kw)\n--\n\n"
    "Set every key/value pair of other (a mapping or an iterable of pairs), then of kw, as dict.update.\n"
    "Each pair is set separately: other threads may see some of them before the rest.";
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
    "Note: Returns a weakly-consistent snapshot collected shard-by-shard, as a list (not a view).";
constexpr const char* values =
    "values($self)\n--\n\nRetrieve all values in the map.\n"
    "Note: Returns a weakly-consistent snapshot collected shard-by-shard, as a list (not a view).";
constexpr const char* items =
    "items($self)\n--\n\nRetrieve all key-value tuples in the map.\n"
    "Note: Returns a weakly-consistent snapshot collected shard-by-shard, as a list (not a view).";
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
    method<&Impl::setdefault, kSetDefault>("setdefault", doc::setdefault),
    method<&Impl::pop, kPop>("pop", doc::pop),
    method0<&Impl::popitem>("popitem", doc::popitem),
    {"update", as_cfunction(&Impl::update), METH_VARARGS | METH_KEYWORDS, doc::update},
    kClassGetItem,
    kMethodsEnd,
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(doc::cls)},
    {Py_tp_new, reinterpret_cast<void*>(&constructor<&Impl::make, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&gc_dealloc<Store>)},
    {Py_tp_traverse, reinterpret_cast<void*>(&Impl::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&Impl::clear_slot)},
    {Py_tp_iter, reinterpret_cast<void*>(&Impl::iter)},
    {Py_mp_subscript, reinterpret_cast<void*>(&Impl::subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(&Impl::ass_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(&Impl::contains)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_mp_length, reinterpret_cast<void*>(&Impl::length)},
    {0, nullptr},
};

PyType_Spec spec{"builtins.ConcurrentMap", sizeof(Self), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
TypeSlot type_slot;

}  // namespace
}  // namespace vornic::map

PyTypeObject* vornic::types::concurrent_map() { return map::type_slot.get(&map::spec); }
