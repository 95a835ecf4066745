// RwLock and its two guards. The guards acquire on __enter__ and release on
// __exit__ (or when destroyed), and are bound to the thread that made them.
//
// What keeps the lock state alive. The RwLock holds one shared handle on it.
// A guard must keep it alive too (it may outlive the RwLock), but a shared
// handle per guard would have every read() and every guard's end add to and
// subtract from the one reference count all threads share: the very cache
// line the announced-reader fast path exists to stop readers writing. So each
// thread keeps a small cache of LocalHandles, one per lock it used lately:
// the LocalHandle holds the shared handle (taken once, when the thread first
// makes a guard of that lock) and a count of its own users, the cache itself
// and the guards made from it. Only the thread that made a LocalHandle adds
// users to it, and a guard normally ends on that thread, so the count lives in
// a cache line that one thread writes. It is still atomic because a guard
// can end elsewhere (dropped on a foreign thread, or after its thread exited
// and the cache let go). Why the state cannot vanish under a guard: a guard
// holds one user count, a LocalHandle with users holds its shared handle, and
// a cache entry holds one user count until it is evicted or its thread
// exits. Eviction is round robin over kCacheSize entries, so a thread keeps
// at most that many lock states alive after their RwLock objects are gone;
// the memory comes back at the next eviction or when the thread ends.
//
// READ_DEPTH counts, per thread and over all locks, the read guards the thread
// has entered and not released; a read acquisition with READ_DEPTH > 0 is
// recursive and does not queue behind a claiming writer (the writer may be
// waiting for this very thread's read). The counter lives in a shared cell so
// that a guard destroyed on another thread can still give its count back.
//
// Entering a read guard first tries the lock's announced-reader path, which
// writes only the calling thread's ReaderRecord; if the lock is not biased it
// counts itself in the state word as before, and may turn the bias back on.
//
// A timeout given to read()/write() is converted and checked when the guard
// is made, and turned into a deadline each time the guard is entered.
//
// A guard destroyed on a thread other than its creator is reported as an
// unraisable RuntimeError and then released like any other: its contents hold
// no Python object and the lock state is thread-safe, while leaking the
// ownership would leave every other user of the lock waiting for good.
#include <atomic>
#include <cstdint>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "binding/call.hpp"
#include "binding/detach.hpp"
#include "common/duration.hpp"
#include "lock/core_rwlock.hpp"

namespace vornic::lock {
namespace {

using LockHandle = std::shared_ptr<RawRwLock>;

// Each thread's READ_DEPTH on a cache line of its own: every read guard of
// the thread writes it.
struct alignas(64) Depth {
    std::atomic<std::uint64_t> value{0};
};
using DepthCell = std::shared_ptr<Depth>;

// The calling thread's identity: a process-unique number, never reused
// (unlike OS thread ids). Constant-initialised and initial-exec, so a lookup
// is one load at a fixed offset from the thread pointer; every guard call
// makes one.
std::uint64_t this_thread_id() noexcept {
    static std::atomic<std::uint64_t> next{1};
    thread_local constinit std::uint64_t id __attribute__((tls_model("initial-exec"))) = 0;
    if (id == 0) [[unlikely]]
        id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

// The calling thread's READ_DEPTH cell. Read guards keep a handle on it, so
// it outlives its thread as long as they do.
const DepthCell& this_thread_depth() {
    thread_local const DepthCell cell = std::make_shared<Depth>();
    return cell;
}

void decrement_depth(Depth& depth) noexcept {
    std::atomic<std::uint64_t>& d = depth.value;
    std::uint64_t cur = d.load(std::memory_order_relaxed);
    while (cur > 0 && !d.compare_exchange_weak(cur, cur - 1, std::memory_order_relaxed)) {
    }
}

// One thread's handle on one lock state (see the top of the file), on a
// cache line of its own, since its count changes with every guard.
struct alignas(64) LocalHandle {
    LockHandle lock;
    DepthCell depth;  // the making thread's READ_DEPTH
    std::atomic<std::uint64_t> users;
};

void unuse(LocalHandle* h) noexcept {
    if (h->users.fetch_sub(1, std::memory_order_acq_rel) == 1) delete h;
}

// One user count on a LocalHandle. Move-only.
class HandleRef {
public:
    explicit HandleRef(LocalHandle* h) noexcept : h_(h) {}
    HandleRef(HandleRef&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    HandleRef& operator=(HandleRef&&) = delete;
    ~HandleRef() {
        if (h_) unuse(h_);
    }
    LocalHandle* operator->() const noexcept { return h_; }

private:
    LocalHandle* h_;
};

class HandleCache {
public:
    static constexpr std::size_t kCacheSize = 4;

    HandleCache() = default;
    HandleCache(const HandleCache&) = delete;
    HandleCache& operator=(const HandleCache&) = delete;
    ~HandleCache() {
        for (LocalHandle* h : slots_)
            if (h) unuse(h);
    }

    // A new user count on this thread's LocalHandle for `lock`. The lookup
    // compares addresses, which is sound because an entry keeps its lock
    // state alive: no other state can be at that address meanwhile.
    HandleRef get(const LockHandle& lock) {
        for (LocalHandle* h : slots_) {
            if (h != nullptr && h->lock.get() == lock.get()) {
                h->users.fetch_add(1, std::memory_order_relaxed);
                return HandleRef(h);
            }
        }
        LocalHandle*& slot = slots_[next_++ % kCacheSize];
        if (slot) unuse(slot);
        slot = new LocalHandle{lock, this_thread_depth(), 2};  // the cache's count and the caller's
        return HandleRef(slot);
    }

private:
    LocalHandle* slots_[kCacheSize] = {};
    std::size_t next_ = 0;
};

// The calling thread's cache, reached through an initial-exec pointer (a
// fixed offset from the thread pointer, where a thread_local with a
// destructor costs a call into the loader on every guard). The cache itself
// is owned by a thread_local that empties it at thread exit; a guard made
// after that (from another thread-exit destructor) gets a handle of its own.
thread_local constinit HandleCache* t_cache __attribute__((tls_model("initial-exec"))) = nullptr;
thread_local constinit bool t_cache_gone __attribute__((tls_model("initial-exec"))) = false;

struct CacheOwner {
    HandleCache cache;
    ~CacheOwner() {
        t_cache = nullptr;
        t_cache_gone = true;
    }
};

[[gnu::noinline]] HandleRef local_handle_slow(const LockHandle& lock) {
    if (t_cache_gone) return HandleRef(new LocalHandle{lock, this_thread_depth(), 1});
    thread_local CacheOwner owner;
    t_cache = &owner.cache;
    return owner.cache.get(lock);
}

HandleRef local_handle(const LockHandle& lock) {
    if (HandleCache* c = t_cache) [[likely]]
        return c->get(lock);
    return local_handle_slow(lock);
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

// What an entered guard holds.
struct Held {
    enum class How : std::uint8_t { kNone, kCounted, kAnnounced, kExclusive };
    How how = How::kNone;
    ReaderRecord::Entry* entry = nullptr;  // kAnnounced: the entry to clear
    explicit operator bool() const noexcept { return how != How::kNone; }
};

template <Kind K>
struct GuardState {
    HandleRef handle;
    Held held;                        // present while entered
    std::uint64_t creator;            // the creating thread's identity
    std::optional<Duration> timeout;  // none: wait as long as needed
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
[[noreturn, gnu::cold, gnu::noinline]] void foreign_thread(const GuardState<K>& g, std::uint64_t me);

// Every guard call checks; only the failure builds a message.
template <Kind K>
inline void check_thread(const GuardState<K>& g) {
    const std::uint64_t me = this_thread_id();
    if (me == g.creator) [[likely]]
        return;
    foreign_thread(g, me);
}

template <Kind K>
void foreign_thread(const GuardState<K>& g, std::uint64_t me) {
    throw Panic(std::string("assertion `left == right` failed: ") + kGuardName<K> +
                " is unsendable, but sent to another thread\n  left: ThreadId(" + std::to_string(me) +
                ")\n right: ThreadId(" + std::to_string(g.creator) + ")");
}

// Gives up the ownership the guard holds, and for a read guard the creating
// thread's READ_DEPTH count with it. Any thread may call it: the lock state,
// the announcement entry and the depth cell are all thread-safe.
// Requires: g.held present.
template <Kind K>
void release(GuardState<K>& g) noexcept {
    RawRwLock& lock = *g.handle->lock;
    if constexpr (K == Kind::Read) {
        decrement_depth(*g.handle->depth);
        if (g.held.how == Held::How::kAnnounced)
            lock.unlock_shared_announced(*g.held.entry);
        else
            lock.unlock_shared();
    } else {
        lock.unlock_exclusive();
    }
    g.held = Held{};
}

template <Kind K>
constexpr const char* kTimedOut = K == Kind::Read ? msg::kReadLockTimeout : msg::kWriteLockTimeout;

// Requires: attached; the immediate attempt failed. Waits detached for
// `acquire(interrupt, deadline)` to take the lock. A wait on the main thread
// runs signal handlers; one that raises withdraws it with nothing held, and
// the exception propagates. A timeout that passes withdraws it the same way
// and raises TimeoutError. The guard (and so the lock state) stays alive
// meanwhile: the caller holds a reference to it.
template <Kind K, class Acquire>
void wait_for(const std::optional<Duration>& timeout, Acquire acquire) {
    Deadline deadline;
    if (timeout) {
        if (timeout->secs == 0 && timeout->nanos == 0) throw TimeoutError(kTimedOut<K>);
        deadline = deadline_after(*timeout);
    }
    SignalCheck signals;
    bool owned;
    {
        Detached d;
        owned = acquire(signals.get(), deadline);
    }
    signals.conclude(owned);
    if (!owned) throw TimeoutError(kTimedOut<K>);
}

template <Kind K>
struct Guard {
    using State = GuardState<K>;

    static PyObject* enter(PyObject* self, PyObject*) noexcept {
        return guarded([&]() -> PyObject* {
            GuardBox<K>& box = *GuardBox<K>::of(self);
            State& g = box.native;
            check_thread<K>(g);
            // Exclusive access to the guard. Only this thread gets past the
            // check above, and it runs Python code only while it waits (signal
            // handlers), so the flag is taken only for a wait; elsewhere
            // seeing it free is the same as taking and giving it back.
            if (box.borrow.load() != 0) throw RuntimeError(msg::kBorrowed);
            if (g.held) throw RuntimeError(msg::kGuardEntered);
            RawRwLock& lock = *g.handle->lock;
            if constexpr (K == Kind::Read) {
                std::atomic<std::uint64_t>& depth = g.handle->depth->value;
                const bool recursive = depth.load(std::memory_order_relaxed) > 0;
                if (ReaderRecord::Entry* e = lock.try_lock_shared_announced(ReaderRecord::mine())) {
                    g.held = Held{Held::How::kAnnounced, e};
                } else {
                    if (!lock.try_lock_shared(recursive)) {
                        ExclusiveHold hold(box.borrow);
                        wait_for<K>(g.timeout, [&](Interrupt* interrupt, const Deadline& deadline) {
                            return lock.lock_shared(recursive, interrupt, deadline);
                        });
                    }
                    lock.enable_bias_if_quiet();
                    g.held = Held{Held::How::kCounted};
                }
                depth.fetch_add(1, std::memory_order_relaxed);
            } else {
                if (!lock.try_lock_exclusive()) {
                    ExclusiveHold hold(box.borrow);
                    wait_for<K>(g.timeout, [&](Interrupt* interrupt, const Deadline& deadline) {
                        return lock.lock_exclusive(interrupt, deadline);
                    });
                }
                g.held = Held{Held::How::kExclusive};
            }
            return Py_NewRef(self);
        });
    }

    static void exit(GuardBox<K>& box, Obj, Obj, Obj) {
        State& g = box.native;
        check_thread<K>(g);
        // Exclusive access, checked as in enter: nothing here runs Python.
        if (box.borrow.load() != 0) throw RuntimeError(msg::kBorrowed);
        if (g.held) release<K>(g);
    }

    // The common call, three positional arguments, goes straight in; any
    // other form takes the generic thunk and its exact argument errors.
    template <const auto& Sig>
    static PyObject* exit_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        if (nargs == 3 && kwnames == nullptr) [[likely]] {
            return guarded([&]() -> PyObject* {
                exit(*GuardBox<K>::of(self), Obj{}, Obj{}, Obj{});
                return Py_NewRef(Py_None);
            });
        }
        return fastcall<&Guard<K>::exit, Sig, Access::None>(self, args, nargs, kwnames);
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

// Requires: attached. The timeout is converted and checked here, as the
// channel's timed calls do theirs: None is no limit, a negative value is a
// ValueError, one with no duration (NaN, infinite, too large) a fault.
template <Kind K>
PyObject* make_guard(LockBox& self, const NoneOr<double>& timeout) {
    std::optional<Duration> limit;
    if (timeout.v) {
        if (*timeout.v < 0.0) throw ValueError(msg::kTimeoutNegative);
        limit = duration_from_secs(*timeout.v);
    }
    PyTypeObject* t = require_type(K == Kind::Read ? types::rw_lock_read_guard : types::rw_lock_write_guard);
    return make_instance(t, GuardState<K>{local_handle(self.native.lock), Held{}, this_thread_id(), limit});
}

constexpr Sig<0> kNew{"RwLock", "__new__", {}, 0};
constexpr Sig<1> kRead{"RwLock", "read", {"timeout"}, 0};
constexpr Sig<1> kWrite{"RwLock", "write", {"timeout"}, 0};
constexpr Sig<3> kReadExit{"RwLockReadGuard", "__exit__", {"_exc_type", "_exc_value", "_traceback"}, 3};
constexpr Sig<3> kWriteExit{"RwLockWriteGuard", "__exit__", {"_exc_type", "_exc_value", "_traceback"}, 3};

struct Impl {
    static LockState make(PyTypeObject*&) { return LockState{std::make_shared<RawRwLock>()}; }
    static Ref read(LockBox& self, NoneOr<double> timeout) { return Ref::steal(make_guard<Kind::Read>(self, timeout)); }
    static Ref write(LockBox& self, NoneOr<double> timeout) {
        return Ref::steal(make_guard<Kind::Write>(self, timeout));
    }

    // read() / write() with no argument, the common call, skip the binding.
    template <Kind K, auto Fn, const auto& Sig>
    static PyObject* guard_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        if (nargs == 0 && kwnames == nullptr) [[likely]]
            return guarded([&]() -> PyObject* { return make_guard<K>(*LockBox::of(self), NoneOr<double>{}); });
        return fastcall<Fn, Sig>(self, args, nargs, kwnames);
    }
};

PyMethodDef lock_methods[] = {
    {"read", as_cfunction(&Impl::guard_call<Kind::Read, &Impl::read, kRead>), METH_FASTCALL | METH_KEYWORDS,
                               "read($self, timeout=None)\n--\n\nPrepare a read lock guard. Acquisition occurs upon "
                               "entering the context.\nWith a timeout (seconds), entering raises TimeoutError once it "
                               "passes without the lock; 0 only tries."},
    {"write", as_cfunction(&Impl::guard_call<Kind::Write, &Impl::write, kWrite>), METH_FASTCALL | METH_KEYWORDS,
                                 "write($self, timeout=None)\n--\n\nPrepare a write lock guard. Acquisition occurs "
                                 "upon entering the context.\nWith a timeout (seconds), entering raises TimeoutError "
                                 "once it passes without the lock; 0 only tries."},
    kMethodsEnd,
};

PyMethodDef read_methods[] = {
    {"__enter__", as_cfunction(&Guard<Kind::Read>::enter), METH_NOARGS,
     "__enter__($self)\n--\n\nEnter the read lock context."},
    {"__exit__", as_cfunction(&Guard<Kind::Read>::exit_call<kReadExit>), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nExit the read lock context, releasing the lock."},
    kMethodsEnd,
};

PyMethodDef write_methods[] = {
    {"__enter__", as_cfunction(&Guard<Kind::Write>::enter), METH_NOARGS,
     "__enter__($self)\n--\n\nEnter the write lock context."},
    {"__exit__", as_cfunction(&Guard<Kind::Write>::exit_call<kWriteExit>), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nExit the write lock context, releasing the lock."},
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
TypeSlot lock_type;
StaticTypeSlot read_type, write_type;  // a guard per read()/write()

}  // namespace
}  // namespace vornic::lock

PyTypeObject* vornic::types::rw_lock() { return lock::lock_type.get(&lock::lock_spec); }
PyTypeObject* vornic::types::rw_lock_read_guard() { return lock::read_type.get(&lock::read_spec); }
PyTypeObject* vornic::types::rw_lock_write_guard() { return lock::write_type.get(&lock::write_spec); }
