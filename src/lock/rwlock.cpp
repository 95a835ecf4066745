// RwLock and its two guards. The guards acquire on __enter__ and release on
// __exit__ (or when destroyed), and are bound to the thread that made them.
//
// A guard holds a shared handle on the lock state, so it keeps working after
// the RwLock object is gone. While entered, `held` is the acquisition: a
// second handle standing for the ownership the guard has.
//
// READ_DEPTH counts, per thread and over all locks, the read guards the thread
// has entered and not released; a read acquisition with READ_DEPTH > 0 is
// recursive and does not queue behind a claiming writer (the writer may be
// waiting for this very thread's read). The counter lives in a shared cell so
// that a guard destroyed on another thread can still give its count back.
//
// A guard destroyed on a thread other than its creator is reported as an
// unraisable RuntimeError and then released like any other: its contents hold
// no Python object and the lock state is thread-safe, while leaking the
// ownership would leave every other user of the lock waiting for good.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "binding/call.hpp"
#include "binding/detach.hpp"
#include "lock/core_rwlock.hpp"

namespace vornic::lock {
namespace {

using LockHandle = std::shared_ptr<RawRwLock>;
using DepthCell = std::shared_ptr<std::atomic<std::uint64_t>>;

// The calling thread's identity: a process-unique number, never reused
// (unlike OS thread ids). Constant-initialised, so a lookup is one TLS access
// with no initialisation guard; every guard call makes one.
std::uint64_t this_thread_id() noexcept {
    static std::atomic<std::uint64_t> next{1};
    thread_local std::uint64_t id = 0;
    if (id == 0) [[unlikely]]
        id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

// The calling thread's READ_DEPTH cell. Read guards keep a handle on it, so
// it outlives its thread as long as they do.
const DepthCell& this_thread_depth() {
    thread_local const DepthCell cell = std::make_shared<std::atomic<std::uint64_t>>(0);
    return cell;
}

void decrement_depth(std::atomic<std::uint64_t>& d) noexcept {
    std::uint64_t cur = d.load(std::memory_order_relaxed);
    while (cur > 0 && !d.compare_exchange_weak(cur, cur - 1, std::memory_order_relaxed)) {
    }
}

struct LockState {
    LockHandle lock;
};
}  // namespace
}  // namespace vornic::lock

// RwLock's own methods (read, write) take shared access only.
template <>
inline constexpr bool vornic::kNeverExclusive<vornic::lock::LockState> = true;

namespace vornic::lock {
namespace {


enum class Kind { Read, Write };

template <Kind K>
using Acquisition = std::conditional_t<K == Kind::Read, ReadAcquisition, WriteAcquisition>;

template <Kind K>
struct GuardState {
    LockHandle lock;
    Acquisition<K> held;    // present while entered
    std::uint64_t creator;  // the creating thread's identity
    DepthCell depth;        // the creating thread's READ_DEPTH (read guards only)
};

using LockBox = Box<LockState>;
template <Kind K>
using GuardBox = Box<GuardState<K>>;

template <Kind K>
constexpr const char* kGuardName =
    K == Kind::Read ? "_vornic::lock::RwLockReadGuard" : "_vornic::lock::RwLockWriteGuard";

template <Kind K>
constexpr const char* kForeignDrop =
    K == Kind::Read ? "_vornic::lock::RwLockReadGuard is unsendable, but is being dropped on another thread"
                    : "_vornic::lock::RwLockWriteGuard is unsendable, but is being dropped on another thread";

template <Kind K>
void check_thread(const GuardState<K>& g) {
    const std::uint64_t me = this_thread_id();
    if (me == g.creator) [[likely]]
        return;
    throw Panic(std::string("assertion `left == right` failed: ") + kGuardName<K> +
                " is unsendable, but sent to another thread\n  left: ThreadId(" + std::to_string(me) +
                ")\n right: ThreadId(" + std::to_string(g.creator) + ")");
}

// Gives up the ownership the guard holds, and for a read guard the creating
// thread's READ_DEPTH count with it. Any thread may call it: the lock state
// and the depth cell are both thread-safe. Requires: g.held present.
template <Kind K>
void release(GuardState<K>& g) noexcept {
    if constexpr (K == Kind::Read) decrement_depth(*g.depth);
    g.held.release();
}

template <Kind K>
struct Guard {
    using State = GuardState<K>;

    static PyObject* enter(PyObject* self, PyObject*) noexcept {
        return guarded([&]() -> PyObject* {
            GuardBox<K>& box = *GuardBox<K>::of(self);
            State& g = box.native;
            check_thread<K>(g);
            // Kept across the wait below: the guard is bound to this thread and
            // every other thread fails the check above before it could look at
            // the hold, so giving it back early would change nothing visible.
            ExclusiveHold hold(box.borrow);
            if (g.held) throw RuntimeError(msg::kGuardEntered);
            // A wait on the main thread runs signal handlers; one that raises
            // withdraws it with nothing held, and the exception propagates.
            if constexpr (K == Kind::Read) {
                const bool recursive = g.depth->load(std::memory_order_relaxed) > 0;
                if (!g.lock->try_lock_shared(recursive)) {
                    LockHandle lock = g.lock;
                    SignalCheck signals;
                    bool owned;
                    {
                        Detached d;
                        owned = lock->lock_shared(recursive, signals.get());
                    }
                    signals.conclude(owned);
                }
                g.depth->fetch_add(1, std::memory_order_relaxed);
            } else {
                if (!g.lock->try_lock_exclusive()) {
                    LockHandle lock = g.lock;
                    SignalCheck signals;
                    bool owned;
                    {
                        Detached d;
                        owned = lock->lock_exclusive(signals.get());
                    }
                    signals.conclude(owned);
                }
            }
            g.held = Acquisition<K>::adopt(g.lock);
            return Py_NewRef(self);
        });
    }

    static void exit(GuardBox<K>& box, Obj, Obj, Obj) {
        State& g = box.native;
        check_thread<K>(g);
        ExclusiveHold hold(box.borrow);
        if (g.held) release<K>(g);
    }

    // On the creating thread: release what is held. On another thread: report
    // the misuse, but still release the lock state (it is thread-safe), so
    // that other threads are not left waiting for a lock nobody can release.
    static void dealloc(PyObject* o) noexcept {
        State& g = GuardBox<K>::of(o)->native;
        if (this_thread_id() != g.creator) report_foreign_drop();
        if (g.held) release<K>(g);
        vornic::dealloc<State>(o);
    }

    // A deallocator can run while an exception is propagating (a container
    // freed on an error path), so the report must leave that exception as it
    // found it rather than replace it with its own.
    static void report_foreign_drop() noexcept {
        PyObject* pending = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, kForeignDrop<K>);
        PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(pending);
    }
};

template <Kind K>
PyObject* make_guard(LockBox& self) {
    PyTypeObject* t = require_type(K == Kind::Read ? types::rw_lock_read_guard : types::rw_lock_write_guard);
    // A write guard never touches READ_DEPTH, so it takes no handle on it.
    DepthCell depth;
    if constexpr (K == Kind::Read) depth = this_thread_depth();
    return make_instance(t, GuardState<K>{self.native.lock, {}, this_thread_id(), std::move(depth)});
}

constexpr Sig<0> kNew{"RwLock", "__new__", {}, 0};
constexpr Sig<3> kReadExit{"RwLockReadGuard", "__exit__", {"_exc_type", "_exc_value", "_traceback"}, 3};
constexpr Sig<3> kWriteExit{"RwLockWriteGuard", "__exit__", {"_exc_type", "_exc_value", "_traceback"}, 3};

struct Impl {
    static LockState make(PyTypeObject*&) { return LockState{std::make_shared<RawRwLock>()}; }
    static Ref read(LockBox& self) { return Ref::steal(make_guard<Kind::Read>(self)); }
    static Ref write(LockBox& self) { return Ref::steal(make_guard<Kind::Write>(self)); }
};

PyMethodDef lock_methods[] = {
    method0<&Impl::read>("read",
                         "read($self)\n--\n\nPrepare a read lock guard. Acquisition occurs upon entering the context."),
    method0<&Impl::write>("write",
                          "write($self)\n--\n\nPrepare a write lock guard. Acquisition occurs upon entering the context."),
    kMethodsEnd,
};

PyMethodDef read_methods[] = {
    {"__enter__", as_cfunction(&Guard<Kind::Read>::enter), METH_NOARGS,
     "__enter__($self)\n--\n\nEnter the read lock context."},
    method<&Guard<Kind::Read>::exit, kReadExit, Access::None>(
        "__exit__", "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nExit the read lock context, releasing the lock."),
    kMethodsEnd,
};

PyMethodDef write_methods[] = {
    {"__enter__", as_cfunction(&Guard<Kind::Write>::enter), METH_NOARGS,
     "__enter__($self)\n--\n\nEnter the write lock context."},
    method<&Guard<Kind::Write>::exit, kWriteExit, Access::None>(
        "__exit__",
        "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nExit the write lock context, releasing the lock."),
    kMethodsEnd,
};

PyType_Slot lock_slots[] = {
    {Py_tp_doc, const_cast<char*>("RwLock()\n--\n\nA native Reader-Writer lock based on parking_lot::RwLock.\nAllows "
                                  "multiple concurrent readers or a single exclusive writer.\nContext-manager guards "
                                  "(`with lock.read():` / `with lock.write():`) ensure exception-safe RAII scoping.")},
    {Py_tp_new, reinterpret_cast<void*>(&constructor<&Impl::make, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<LockState>)},
    {Py_tp_methods, lock_methods},
    {0, nullptr},
};

PyType_Slot read_slots[] = {
    {Py_tp_doc, const_cast<char*>("A context-manager guard for holding shared read access of an RwLock.\nSince it keeps "
                                  "references to local FFI contexts, it is marked as `unsendable`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Guard<Kind::Read>::dealloc)},
    {Py_tp_methods, read_methods},
    {0, nullptr},
};

PyType_Slot write_slots[] = {
    {Py_tp_doc, const_cast<char*>("A context-manager guard for holding exclusive write access of an RwLock.\nSince it "
                                  "keeps references to local FFI contexts, it is marked as `unsendable`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Guard<Kind::Write>::dealloc)},
    {Py_tp_methods, write_methods},
    {0, nullptr},
};

PyType_Spec lock_spec{"builtins.RwLock", sizeof(LockBox), 0, Py_TPFLAGS_DEFAULT, lock_slots};
PyType_Spec read_spec{"builtins.RwLockReadGuard", sizeof(GuardBox<Kind::Read>), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, read_slots};
PyType_Spec write_spec{"builtins.RwLockWriteGuard", sizeof(GuardBox<Kind::Write>), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, write_slots};
TypeSlot lock_type, read_type, write_type;

}  // namespace
}  // namespace vornic::lock

PyTypeObject* vornic::types::rw_lock() { return lock::lock_type.get(&lock::lock_spec); }
PyTypeObject* vornic::types::rw_lock_read_guard() { return lock::read_type.get(&lock::read_spec); }
PyTypeObject* vornic::types::rw_lock_write_guard() { return lock::write_type.get(&lock::write_spec); }
