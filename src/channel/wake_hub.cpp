// The per-loop wake-up hub and the asyncio names; see wake_hub.hpp.
#include "channel/wake_hub.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "binding/call.hpp"

namespace vornic::channel {
namespace {

// ---- names -------------------------------------------------------------------

PyObject* wake_future(PyObject*, PyObject* fut) noexcept;
PyMethodDef wake_future_def{"_wake_future", &wake_future, METH_O, nullptr};

// Requires: attached. Made on first use and kept for the life of the process;
// published through an atomic pointer for the reason ThreadPool gives for
// its names (a static's initialisation guard would be waited on attached).
}  // namespace

PyObject* const* asyncio_names() {
    std::atomic<PyObject* const*>& published = g_asyncio_names;
    if (PyObject* const* n = published.load(std::memory_order_acquire)) return n;
    Ref asyncio = Ref::steal(check(PyImport_ImportModule("asyncio")));
    auto attr = [&](const char* a) { return Ref::steal(check(PyObject_GetAttrString(asyncio.get(), a))); };
    auto intern = [](const char* t) { return Ref::steal(check(PyUnicode_InternFromString(t))); };
    Ref made[kNameCount] = {
        attr("get_running_loop"),
        attr("_get_running_loop"),
        attr("current_task"),
        attr("CancelledError"),
        Ref::steal(check(PyCFunction_New(&wake_future_def, nullptr))),
        intern("create_future"),
        intern("call_later"),
        intern("add_reader"),
        intern("done"),
        intern("set_result"),
        intern("cancel"),
        intern("uncancel"),
        intern("_asyncio_future_blocking"),
    };
    auto* fresh = new PyObject*[kNameCount];
    for (std::size_t i = 0; i < kNameCount; ++i) fresh[i] = made[i].release();
    PyObject* const* expected = nullptr;
    if (!published.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
        for (std::size_t i = 0; i < kNameCount; ++i) Py_DECREF(fresh[i]);
        delete[] fresh;
        return expected;
    }
    return fresh;
}

namespace {

// Requires: attached. fut.set_result(None) unless fut is done already
// (cancelled, or woken by someone else first).
void resolve(PyObject* fut) {
    Ref done = call_method(fut, kDone);
    if (done.get() == Py_True) return;
    call_method(fut, kSetResult, Py_None);
}

// The timeout's callback: loop.call_later(delay, _wake_future, fut).
PyObject* wake_future(PyObject*, PyObject* fut) noexcept {
    return guarded([&]() -> PyObject* {
        resolve(fut);
        return Py_NewRef(Py_None);
    });
}

// PyMutex, held as a scope.
class PyMutexGuard {
public:
    explicit PyMutexGuard(PyMutex& m) noexcept : m_(m) { PyMutex_Lock(&m_); }
    ~PyMutexGuard() { PyMutex_Unlock(&m_); }
    PyMutexGuard(const PyMutexGuard&) = delete;
    PyMutexGuard& operator=(const PyMutexGuard&) = delete;

private:
    PyMutex& m_;
};
}  // namespace

// ---- waiter and hub ----------------------------------------------------------

// One per event loop: an eventfd the loop watches and the waiters woken since
// its callback last ran, oldest first.
//
// Locks: `mu_` (leaf, O(1) steps, never while calling Python) guards the
// queue, `signalled_` and `dead_`. The registry of hubs has its own PyMutex,
// taken only attached.
//
// Lifetime: counted. The loop's reader callback holds one reference (through
// a capsule, dropped when the loop drops the callback: on close, or when the
// loop itself goes), and every waiter made for the loop holds one; so the
// descriptor is closed only when nobody can write to it any more.
class Hub {
public:
    // Requires: attached, on the thread running `loop`. The loop's hub, made
    // and given to the loop on first use. Returns a counted reference.
    static Hub* acquire(PyObject* loop);

    void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    // Any thread, no lock held. Touches no Python object: the waking thread
    // may be detached, or inside a Channel's sender slot.
    void notify(PyWaiter& w) noexcept {
        const bool local = t_wakes.scopes > 0 && PyThreadState_GetUnchecked() != nullptr;
        bool write = false;
        bool dead;
        {
            std::lock_guard<std::mutex> g(mu_);
            dead = dead_;
            if (!dead && !w.queued_) {
                w.retain();
                w.queued_ = true;
                w.next_ = nullptr;
                if (local) {
                    // Resolved, or queued here after all, when the scope ends.
                    w.next_ = t_wakes.local;
                    t_wakes.local = &w;
                } else {
                    write = enqueue(w);
                }
            }
        }
        if (dead) {
            abandon(w);
        } else if (write) {
            signal();
        }
    }

    // Requires: attached, no slot or lock held (a wake scope ending). The
    // wake-ups this thread made during the scope: a waiter of the loop this
    // thread runs whose task has suspended gets its future resolved at once,
    // as asyncio's own queues do for a task woken by another task; anything
    // else goes the usual way through the eventfd.
    static void flush_local() noexcept {
        while (PyWaiter* w = std::exchange(t_wakes.local, nullptr)) {
            while (w != nullptr) {
                Hub& hub = *w->hub_;
                PyWaiter* next;
                bool dead;
                {
                    std::lock_guard<std::mutex> g(hub.mu_);
                    next = w->next_;
                    dead = hub.dead_;
                    if (dead) w->queued_ = false;
                }
                if (dead) {
                    abandon(*w);
                } else if (!hub.resolve_on_loop_thread(*w)) {
                    bool write = false;
                    {
                        std::lock_guard<std::mutex> g(hub.mu_);
                        dead = hub.dead_;
                        if (dead) {
                            w->queued_ = false;
                        } else {
                            w->retain();  // the hub queue's own reference
                            write = hub.enqueue(*w);
                        }
                    }
                    if (dead) abandon(*w);
                    if (write) hub.signal();
                }
                w->release();
                w = next;
            }
        }
    }

    // Requires: attached, on the loop's thread (the reader callback).
    void drain() {
        // Read before taking the queue: a wake-up queued after the read
        // either is in the queue taken below or writes again.
        std::uint64_t count;
        while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
        }
        PyWaiter* w;
        {
            std::lock_guard<std::mutex> g(mu_);
            w = std::exchange(head_, nullptr);
            tail_ = nullptr;
            signalled_ = false;
        }
        while (w != nullptr) {
            PyWaiter* next;
            {
                // Until queued_ is cleared nobody relinks w, so its link is
                // read in the same step.
                std::lock_guard<std::mutex> g(mu_);
                next = w->next_;
                w->queued_ = false;
            }
            Ref fut = w->take_future();
            w->release();
            if (fut) {
                try {
                    resolve(fut.get());
                } catch (const PythonError&) {
                    PyErr_WriteUnraisable(fut.get());
                }
            }
            w = next;
        }
    }

    // Requires: attached. The loop dropped its reader: from now on every
    // wake-up is passed on, and so are those still queued.
    void kill() noexcept;

private:
    Hub(int fd, PyObject* loop) noexcept : fd_(fd), loop_(loop) {}
    ~Hub() { ::close(fd_); }

    // Under mu_, with w.queued_ set and a reference for the queue. Returns
    // whether the eventfd must be written.
    bool enqueue(PyWaiter& w) noexcept {
        w.next_ = nullptr;
        (tail_ ? tail_->next_ : head_) = &w;
        tail_ = &w;
        return !std::exchange(signalled_, true);
    }

    void signal() noexcept {
        const std::uint64_t one = 1;
        // Cannot fail short of the counter overflowing, which one write per
        // drained batch never approaches.
        [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    }

    // Requires: attached, w queued (locally). Resolves w's future when this
    // thread is running the hub's loop and the task has suspended; then w is
    // no longer queued. False, still queued, otherwise.
    bool resolve_on_loop_thread(PyWaiter& w) noexcept {
        PyObject* pending = PyErr_GetRaisedException();
        bool done = false;
        // loop_ may be compared: the hub is not dead, so its loop is alive.
        if (PyObject* running = PyObject_CallNoArgs(name(kRunningLoop))) {
            if (running == loop_) {
                Ref fut = w.take_future();
                if (fut) {
                    {
                        std::lock_guard<std::mutex> g(mu_);
                        w.queued_ = false;
                    }
                    try {
                        resolve(fut.get());
                    } catch (const PythonError&) {
                        PyErr_WriteUnraisable(fut.get());
                    }
                    done = true;
                }
            }
            Py_DECREF(running);
        } else {
            PyErr_Clear();
        }
        PyErr_SetRaisedException(pending);
        return done;
    }

    const int fd_;
    PyObject* const loop_;  // borrowed; only compared, and only while not dead
    std::atomic<int> refs_{1};
    std::mutex mu_;
    PyWaiter* head_ = nullptr;
    PyWaiter* tail_ = nullptr;
    bool signalled_ = false;
    bool dead_ = false;
};

namespace {

// The loops that have a hub. A loop is identified by address, and checked
// through a weak reference so that a new loop at a freed one's address is
// never taken for it. Entries are removed by kill().
struct HubEntry {
    PyObject* loop;
    Ref weak_loop;
    Hub* hub;
};
PyMutex g_hubs_mu{};
std::vector<HubEntry>* g_hubs = nullptr;  // guarded by g_hubs_mu; never freed

constexpr const char* kCapsuleName = "_vornic.loop_hub";

void hub_capsule_gone(PyObject* capsule) noexcept {
    auto* hub = static_cast<Hub*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!hub) {
        PyErr_Clear();
        return;
    }
    hub->kill();
    hub->release();
}

PyObject* hub_reader(PyObject* capsule, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        auto* hub = static_cast<Hub*>(PyCapsule_GetPointer(capsule, kCapsuleName));
        if (!hub) throw PythonError{};
        hub->drain();
        return Py_NewRef(Py_None);
    });
}
PyMethodDef hub_reader_def{"_vornic_channel_wakeups", &hub_reader, METH_NOARGS, nullptr};

}  // namespace

void Hub::kill() noexcept {
    std::vector<Ref> weak;
    {
        PyMutexGuard g(g_hubs_mu);
        if (g_hubs) {
            for (auto it = g_hubs->begin(); it != g_hubs->end();) {
                if (it->hub == this) {
                    weak.push_back(std::move(it->weak_loop));
                    it = g_hubs->erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    PyWaiter* w;
    {
        std::lock_guard<std::mutex> g(mu_);
        dead_ = true;
        w = std::exchange(head_, nullptr);
        tail_ = nullptr;
    }
    // dead_ is set, so nobody links these any more.
    while (w != nullptr) {
        PyWaiter* next = w->next_;
        w->queued_ = false;
        abandon(*w);
        w->release();
        w = next;
    }
}

Hub* Hub::acquire(PyObject* loop) {
    {
        PyMutexGuard g(g_hubs_mu);
        if (!g_hubs) g_hubs = new std::vector<HubEntry>();
        for (HubEntry& e : *g_hubs) {
            if (e.loop != loop) continue;
            PyObject* alive = nullptr;
            if (PyWeakref_GetRef(e.weak_loop.get(), &alive) < 0) PyErr_Clear();
            Ref same = Ref::steal(alive);
            if (same.get() == loop) {
                e.hub->retain();
                return e.hub;
            }
        }
    }
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw PythonError{};
    }
    auto* hub = new Hub(fd, loop);  // its one reference goes to the capsule
    PyObject* cap = PyCapsule_New(hub, kCapsuleName, &hub_capsule_gone);
    if (!cap) {
        hub->release();
        throw PythonError{};
    }
    Ref capsule = Ref::steal(cap);
    Ref weak = Ref::steal(check(PyWeakref_NewRef(loop, nullptr)));
    Ref reader = Ref::steal(check(PyCFunction_New(&hub_reader_def, capsule.get())));
    Ref fd_obj = Ref::steal(check(PyLong_FromLong(fd)));
    call_method(loop, kAddReader, fd_obj.get(), reader.get());
    hub->retain();
    {
        PyMutexGuard g(g_hubs_mu);
        g_hubs->push_back(HubEntry{loop, std::move(weak), hub});
    }
    return hub;
}

void abandon(PyWaiter& w) noexcept {
    w.abandon();
    Ref dropped = w.take_future();
}

PyWaiter::~PyWaiter() {
    if (hub_) hub_->release();
}
void PyWaiter::attach(Hub* hub) noexcept {
    hub->retain();
    hub_ = hub;
}
void PyWaiter::notify() noexcept { hub_->notify(*this); }

Hub* acquire_hub(PyObject* loop) { return Hub::acquire(loop); }
void release_hub(Hub* hub) noexcept { hub->release(); }
void flush_local_wakes() noexcept { Hub::flush_local(); }

}  // namespace vornic::channel
