// The asyncio bridge: arecv / asend / __anext__ return a ChannelAwaitable, a
// native object with the coroutine protocol (__await__ returning itself,
// send, throw, close), so that every step of the operation, cancellation
// included, runs on the awaiting task's own step.
//
// First step: try the operation at once. A buffered item, room in the
// buffer, or a thread receiver waiting on a rendezvous completes the await
// right there, without a trip through the loop.
//
// Otherwise the operation becomes a waiter of the channel core
// (chan::TaskWaiter, registered on the item channel and the close signal) and
// the step yields a fresh future of the loop. A peer that claims the waiter,
// on any thread and possibly detached, only calls notify(): the waiter goes
// onto its loop's hub and the hub's eventfd is written if it was not already.
// The loop watches that eventfd (add_reader); its callback, attached on the
// loop's thread, resolves the futures of every waiter queued since the last
// call, and each task then takes its item (or sends) in its own next step.
// One descriptor per loop, one write per batch of wake-ups, and no Python
// object touched by the waking thread. A wake-up made by a task's own step
// for a task of the same loop skips the descriptor: it is resolved when that
// step ends (WakeScope), as asyncio's queues wake one task from another.
//
// Cancellation reaches the awaitable as throw(CancelledError) on the task's
// step (the task cancels the yielded future and steps with the error). The
// waiter is aborted, or, if a peer claimed it first, the wake-up is passed on
// (see task_wait.hpp); either way nothing was received or sent and the error
// goes on. The one exception is a rendezvous send whose item a receiver took
// when it claimed the waiter: that send has happened, so the await returns
// normally, and the cancellation is requested again (task.uncancel() then
// task.cancel()) so that the task still ends cancelled. The uncancel keeps the
// count of cancellation requests where it was: asyncio.timeout and wait_for,
// which cancel and uncancel in pairs, then rescind that request when their
// block ends normally, as it does here.
//
// A loop that is closed drops its reader; the hub is then dead, and every
// wake-up that reaches it, queued or later, is passed on to the channel's
// next waiter at once. An awaitable freed while it waits does the same.
//
// A waiting awaitable is kept alive by its task; the task, by the future the
// waiter holds (as asyncio's own queues hold their waiters' futures), so a
// pending operation survives its task being dropped by everyone else, and
// completes or is passed on when the channel wakes it. The waiter holds
// handle copies, not the Channel object, so dropping the Channel still
// closes it and so ends such a wait.
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "binding/call.hpp"
#include "channel/async_bridge.hpp"
#include "channel/timeout.hpp"
#include "channel_core/task_wait.hpp"

namespace vornic::channel {
namespace {

// ---- names -------------------------------------------------------------------

enum Name : std::size_t {
    kGetRunningLoop,  // asyncio.get_running_loop
    kRunningLoop,     // asyncio._get_running_loop (None when no loop runs)
    kCurrentTask,     // asyncio.current_task
    kCancelledError,  // asyncio.CancelledError
    kWakeFuture,      // the timer callback below
    kCreateFuture,
    kCallLater,
    kAddReader,
    kDone,
    kSetResult,
    kCancel,
    kUncancel,
    kFutureBlocking,
    kNameCount,
};

PyObject* wake_future(PyObject*, PyObject* fut) noexcept;
PyMethodDef wake_future_def{"_wake_future", &wake_future, METH_O, nullptr};

// Requires: attached. Made on first use and kept for the life of the process;
// published through an atomic pointer for the reason ThreadPool gives for
// its names (a static's initialisation guard would be waited on attached).
PyObject* const* names() {
    static std::atomic<PyObject* const*> published{nullptr};
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

PyObject* name(Name n) { return names()[n]; }

// Requires: attached. obj.<name>(args...); a new reference.
template <class... A>
Ref call_method(PyObject* obj, Name n, A... args) {
    PyObject* argv[] = {obj, args...};
    return Ref::steal(check(PyObject_VectorcallMethod(name(n), argv, 1 + sizeof...(A), nullptr)));
}

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

// ---- waiter and hub ----------------------------------------------------------

class Hub;

// A pending operation's waiter, with the future its task awaits.
//
// `future_` is guarded by `future_mu_` (a leaf, held for a pointer swap):
// the owner sets it when it suspends and takes it when it resumes; the hub's
// callback, or a dead hub on a waking thread, takes it to resolve or drop it.
// `next_` and `queued_` belong to the hub and are guarded by its mutex.
class PyWaiter final : public chan::TaskWaiter<Ref> {
public:
    template <class... A>
    explicit PyWaiter(Hub* hub, A&&... a);
    ~PyWaiter() override;

    void set_future(Ref f) {
        Ref old;
        {
            std::lock_guard<std::mutex> g(future_mu_);
            old = std::exchange(future_, std::move(f));
        }
    }
    // Any thread; the reference is released by the caller (deferred when
    // detached).
    Ref take_future() noexcept {
        std::lock_guard<std::mutex> g(future_mu_);
        return std::exchange(future_, Ref());
    }

protected:
    void notify() noexcept override;

private:
    friend class Hub;
    Hub* hub_;
    std::mutex future_mu_;
    Ref future_;
    PyWaiter* next_ = nullptr;
    bool queued_ = false;
};

// Requires: attached (references of the future go to the deferred list
// otherwise). Gives up a waiter whose task will never step again.
void abandon(PyWaiter& w) noexcept {
    w.abandon();
    Ref dropped = w.take_future();
}

// The bridge's per-thread state, in one block so that a step finds all of
// it with a single thread-local lookup.
struct ThreadBridge {
    int wake_scopes = 0;               // wake scopes open (WakeScope)
    PyWaiter* local_wakes = nullptr;  // woken inside them: a reference each,
                                      // linked through next_, queued_ set
    PyObject* stop = nullptr;         // see set_stop_iteration
};
thread_local ThreadBridge t_bridge;

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
        const bool local = t_bridge.wake_scopes > 0 && PyThreadState_GetUnchecked() != nullptr;
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
                    w.next_ = t_bridge.local_wakes;
                    t_bridge.local_wakes = &w;
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
        while (PyWaiter* w = std::exchange(t_bridge.local_wakes, nullptr)) {
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

template <class... A>
PyWaiter::PyWaiter(Hub* hub, A&&... a) : chan::TaskWaiter<Ref>(std::forward<A>(a)...), hub_(hub) {
    hub_->retain();
}
PyWaiter::~PyWaiter() { hub_->release(); }
void PyWaiter::notify() noexcept { hub_->notify(*this); }

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

// Counted reference to a hub.
class HubRef {
public:
    explicit HubRef(Hub* h) noexcept : h_(h) {}
    ~HubRef() {
        if (h_) h_->release();
    }
    HubRef(const HubRef&) = delete;
    HubRef& operator=(const HubRef&) = delete;
    Hub* get() const noexcept { return h_; }

private:
    Hub* h_;
};

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

// A task's step: wake-ups it makes for tasks of its own loop are resolved
// when it ends (Hub::flush_local), not through the eventfd.
class WakeScope {
public:
    WakeScope() noexcept { ++t_bridge.wake_scopes; }
    ~WakeScope() {
        if (--t_bridge.wake_scopes == 0 && t_bridge.local_wakes != nullptr) Hub::flush_local();
    }
    WakeScope(const WakeScope&) = delete;
    WakeScope& operator=(const WakeScope&) = delete;
};

// ---- the awaitable -------------------------------------------------------------

enum class Phase : std::uint8_t { Fresh, Waiting, Done };

struct AwaitState {
    // The Channel, for the first step only. A waiting operation holds handle
    // copies instead, so that dropping the Channel closes it and wakes the
    // wait, as it wakes blocked threads, rather than being kept alive by it.
    Ref channel;
    Ref loop;
    Ref item;  // a send's item, until the first step takes it
    std::optional<double> timeout;
    bool send = false;
    bool iteration = false;  // __anext__: the end of the channel ends the iteration
    Phase phase = Phase::Fresh;
    chan::Deadline deadline;
    Ref timer;                    // the pending timeout's TimerHandle
    PyWaiter* waiter = nullptr;  // one reference, from the first suspension until done

    AwaitState(Ref ch, Ref lp, Ref it, std::optional<double> t, bool is_send, bool iter) noexcept
        : channel(std::move(ch)), loop(std::move(lp)), item(std::move(it)), timeout(t), send(is_send),
          iteration(iter) {}
    AwaitState(AwaitState&& o) noexcept
        : channel(std::move(o.channel)), loop(std::move(o.loop)), item(std::move(o.item)), timeout(o.timeout),
          send(o.send), iteration(o.iteration), phase(o.phase), deadline(o.deadline), timer(std::move(o.timer)),
          waiter(std::exchange(o.waiter, nullptr)) {}
    AwaitState(const AwaitState&) = delete;
    AwaitState& operator=(const AwaitState&) = delete;

    // Freed while waiting: the task is gone, so the operation is given up.
    ~AwaitState() {
        if (waiter) {
            abandon(*waiter);
            drop_waiter();
        }
        if (timer) {
            // Any error (even a pending one) is kept as it was.
            PyObject* pending = PyErr_GetRaisedException();
            PyObject* argv[] = {timer.get()};
            PyObject* r = PyObject_VectorcallMethod(name(kCancel), argv, 1, nullptr);
            if (r) {
                Py_DECREF(r);
            } else {
                PyErr_Clear();
            }
            PyErr_SetRaisedException(pending);
        }
    }

    ChannelState& chan() const noexcept { return ChannelBox::of(channel.get())->native; }

    // Requires: attached. Releases the waiter, and the item if it is still in it.
    void drop_waiter() noexcept {
        Ref fut = waiter->take_future();
        std::optional<Ref> unsent = waiter->take_unsent();
        std::exchange(waiter, nullptr)->release();
    }
};

using AwaitBox = Box<AwaitState>;

// Requires: attached. Raises the error of a receive on a closed, drained
// channel, or ends the iteration (__anext__ once closed and drained).
[[noreturn]] void throw_closed_empty(bool ends_iteration) {
    if (ends_iteration) {
        PyErr_SetNone(PyExc_StopAsyncIteration);
        throw PythonError{};
    }
    throw ValueError(msg::kClosedEmpty);
}

void stop_timer(AwaitState& s) {
    if (!s.timer) return;
    Ref t = std::move(s.timer);
    call_method(t.get(), kCancel);
}

// Requires: attached. Ends the operation with `st` (not Pending/Cancelled):
// the result in `out`, or throws its error.
void finish(AwaitState& s, chan::TaskStatus st, Ref& out) {
    s.phase = Phase::Done;
    std::optional<Ref> received;
    bool drained = false;
    if (!s.send) {
        if (st == chan::TaskStatus::Completed) {
            received = s.waiter->take_received();
        } else if (st == chan::TaskStatus::Closed) {
            // Closed: what is still buffered is drained before the error.
            chan::RecvResult<Ref> late = s.waiter->try_recv_again();
            if (late.ok()) {
                received = std::move(late.item);
                st = chan::TaskStatus::Completed;
            }
        }
        // Both the close signal and a lost sending side mean the Channel was
        // closed (or freed, which closes it).
        drained = s.waiter->receiver_empty();
    }
    s.drop_waiter();
    switch (st) {
        case chan::TaskStatus::Completed:
            out = s.send ? Ref::borrow(Py_None) : std::move(*received);
            return;
        case chan::TaskStatus::Closed:
        case chan::TaskStatus::Disconnected:
            if (s.send) throw ValueError(msg::kClosed);
            throw_closed_empty(s.iteration && drained);
        case chan::TaskStatus::TimedOut:
            throw TimeoutError(s.send ? msg::kSendTimeout : msg::kRecvTimeout);
        case chan::TaskStatus::Pending:
        case chan::TaskStatus::Cancelled:
            break;
    }
    throw Panic("channel operation finished without an outcome");
}

// Requires: attached, the waiter registered. Yields a new future of the loop
// for the task to sleep on; with a deadline, the loop resolves it then.
void suspend(AwaitState& s, Ref& out) {
    Ref fut = call_method(s.loop.get(), kCreateFuture);
    if (PyObject_SetAttr(fut.get(), name(kFutureBlocking), Py_True) < 0) throw PythonError{};
    if (s.deadline) {
        const auto left = std::chrono::duration<double>(*s.deadline - chan::Clock::now()).count();
        Ref delay = Ref::steal(check(PyFloat_FromDouble(left > 0 ? left : 0.0)));
        s.timer = call_method(s.loop.get(), kCallLater, delay.get(), name(kWakeFuture), fut.get());
    }
    s.waiter->set_future(fut.clone());
    s.phase = Phase::Waiting;
    out = std::move(fut);
}

// Requires: attached, a waiter made. Polls it: true with a future to yield,
// false with the result.
bool advance(AwaitState& s, Ref& out) {
    s.phase = Phase::Done;  // until suspended again
    const chan::TaskStatus st = s.waiter->poll(s.deadline);
    if (st != chan::TaskStatus::Pending) {
        finish(s, st, out);
        return false;
    }
    try {
        suspend(s, out);
    } catch (...) {
        // No future to be woken through: give the operation up.
        stop_timer(s);
        static_cast<void>(s.waiter->cancel());
        s.drop_waiter();
        throw;
    }
    return true;
}

void check_timeout(AwaitState& s) {
    if (!s.timeout) return;
    if (*s.timeout < 0.0) throw ValueError(msg::kTimeoutNegative);
    s.deadline = timer_after_secs(*s.timeout).instant();
}

template <class... A>
bool start_waiting(AwaitState& s, Ref& out, A&&... a) {
    HubRef hub(Hub::acquire(s.loop.get()));
    s.waiter = new PyWaiter(hub.get(), std::forward<A>(a)...);
    s.channel.reset();
    return advance(s, out);
}

// The first step: the immediate attempt, then the wait.
bool first_step(AwaitState& s, Ref& out) {
    s.phase = Phase::Done;
    ChannelState& ch = s.chan();
    if (s.send) {
        std::optional<ItemSender> tx;
        {
            SenderSlot::Use use(ch.sender);
            if (!use) throw ValueError(msg::kClosed);
            check_timeout(s);
            chan::SendResult<Ref> r = use.sender().try_send(std::move(s.item));
            if (r.ok()) {
                out = Ref::borrow(Py_None);
                return false;
            }
            // Moved back out, so that nothing is released inside the slot.
            s.item = std::move(*r.unsent);
            if (r.status == chan::SendStatus::Full) tx = use.sender();
        }
        if (!tx) throw ValueError(msg::kClosed);
        return start_waiting(s, out, *tx, std::move(s.item), ch.close_rx);
    }
    check_timeout(s);
    chan::RecvResult<Ref> r = ch.receiver.try_recv();
    if (r.ok()) {
        out = std::move(*r.item);
        return false;
    }
    if (r.status == chan::RecvStatus::Disconnected) {
        throw_closed_empty(s.iteration && ch.sender.closed() && ch.receiver.is_empty());
    }
    return start_waiting(s, out, ch.receiver, ch.close_rx);
}

// One step of the task: true with a future to yield, false with the result.
bool step(AwaitState& s, Ref& out) {
    switch (s.phase) {
        case Phase::Fresh:
            return first_step(s, out);
        case Phase::Waiting: {
            Ref dropped = s.waiter->take_future();
            stop_timer(s);
            return advance(s, out);
        }
        case Phase::Done:
            break;
    }
    throw RuntimeError(msg::kAwaitedTwice);
}

// The task stops awaiting. True when the operation completed all the same
// (a rendezvous send already taken).
bool give_up(AwaitState& s) {
    const bool waiting = s.phase == Phase::Waiting;
    s.phase = Phase::Done;
    if (!waiting) return false;
    Ref dropped = s.waiter->take_future();
    const bool completed = s.waiter->cancel() == chan::TaskStatus::Completed;
    s.drop_waiter();
    stop_timer(s);
    return completed;
}

// Requires: attached. Sets StopIteration(value) as the current error: how a
// finished awaitable hands its result to `await`, which on 3.13 and 3.14
// steps a native awaitable through tp_iternext, takes the value out of the
// exception and drops it at once.
//
// Making that exception costs more than receiving a buffered item, so each
// thread keeps one and reuses it whenever nobody else holds it (a reference
// count of one: only the cache). The interpreter reads nothing but its
// value; what a caller who catches it could see of an earlier use
// (traceback, context, cause, notes) is cleared first. Its args stay empty.
// One exception per thread that ever awaited is left at thread exit.
void set_stop_iteration(Ref value) {
    PyObject*& cached = t_bridge.stop;
    if (cached && Py_REFCNT(cached) != 1) {
        Py_DECREF(cached);
        cached = nullptr;
    }
    if (!cached) cached = check(PyObject_CallNoArgs(PyExc_StopIteration));
    auto* stop = reinterpret_cast<PyStopIterationObject*>(cached);
    Py_CLEAR(stop->traceback);
    Py_CLEAR(stop->context);
    Py_CLEAR(stop->cause);
    Py_CLEAR(stop->notes);
    Py_XSETREF(stop->value, value.release());
    PyErr_SetRaisedException(Py_NewRef(cached));
}

[[noreturn]] void raise_stop_iteration(Ref value) {
    set_stop_iteration(std::move(value));
    throw PythonError{};
}

// Requires: attached, inside the task's step. Asks again for the
// cancellation a completed send absorbed, keeping the request count.
void request_cancel_again() {
    Ref task = Ref::steal(PyObject_CallNoArgs(name(kCurrentTask)));
    if (task && task.get() != Py_None) {
        PyObject* argv[] = {task.get()};
        Ref un = Ref::steal(PyObject_VectorcallMethod(name(kUncancel), argv, 1, nullptr));
        if (un) Ref again = Ref::steal(PyObject_VectorcallMethod(name(kCancel), argv, 1, nullptr));
    }
    // The send has happened either way; a failure here must not turn it into
    // an error.
    if (PyErr_Occurred()) PyErr_WriteUnraisable(task.get());
}

// ---- slots and methods ---------------------------------------------------------

struct Impl {
    static PySendResult am_send(PyObject* o, PyObject*, PyObject** result) noexcept {
        *result = nullptr;
        return guarded_or<PySendResult>(PYGEN_ERROR, [&] {
            WakeScope scope;
            AwaitBox& b = *AwaitBox::of(o);
            ExclusiveHold hold(b.borrow);
            Ref out;
            const bool yielded = step(b.native, out);
            *result = out.release();
            return yielded ? PYGEN_NEXT : PYGEN_RETURN;
        });
    }

    static PyObject* next(PyObject* o) noexcept {
        return guarded([&]() -> PyObject* {
            WakeScope scope;
            AwaitBox& b = *AwaitBox::of(o);
            ExclusiveHold hold(b.borrow);
            Ref out;
            if (step(b.native, out)) return out.release();
            // Not thrown: unwinding a C++ exception costs microseconds, and
            // this is every completed await. A result of None needs no
            // exception at all: an iterator's end is StopIteration(None).
            if (out.get() != Py_None) set_stop_iteration(std::move(out));
            return nullptr;
        });
    }

    static Ref send(AwaitBox& self, Obj) {
        WakeScope scope;
        Ref out;
        if (step(self.native, out)) return out;
        raise_stop_iteration(std::move(out));
    }

    static Ref throw_(AwaitBox& self, Obj typ, NoneOr<Obj> val, NoneOr<Obj> tb) {
        Ref exc;
        if (PyExceptionInstance_Check(typ.p)) {
            exc = Ref::borrow(typ.p);
        } else if (PyExceptionClass_Check(typ.p)) {
            exc = Ref::steal(check(val.v ? PyObject_CallOneArg(typ.p, val.v->p) : PyObject_CallNoArgs(typ.p)));
            if (!PyExceptionInstance_Check(exc.get())) throw TypeError(msg::kBadThrow);
        } else {
            throw TypeError(msg::kBadThrow);
        }
        if (tb.v && PyException_SetTraceback(exc.get(), tb.v->p) < 0) throw PythonError{};
        WakeScope scope;
        if (give_up(self.native)) {
            if (PyErr_GivenExceptionMatches(exc.get(), name(kCancelledError))) request_cancel_again();
            raise_stop_iteration(Ref::borrow(Py_None));
        }
        PyErr_SetRaisedException(exc.release());
        throw PythonError{};
    }

    static void close(AwaitBox& self) {
        WakeScope scope;
        static_cast<void>(give_up(self.native));
    }

    static PyObject* await(PyObject* o) noexcept { return Py_NewRef(o); }
};

constexpr const char* kCls = "ChannelAwaitable";
constexpr Sig<1> kSend{kCls, "send", {"value"}, 1};
constexpr Sig<3> kThrow{kCls, "throw", {"typ", "val", "tb"}, 1};

PyMethodDef methods[] = {
    method<&Impl::send, kSend, Access::Exclusive>(
        "send", "send($self, value)\n--\n\nResumes the operation; the value is ignored."),
    method<&Impl::throw_, kThrow, Access::Exclusive>(
        "throw",
        "throw($self, typ, val=None, tb=None)\n--\n\nGives the operation up and raises the exception, unless "
        "the operation completed already."),
    method0<&Impl::close, Access::Exclusive>("close", "close($self)\n--\n\nGives the operation up."),
    kMethodsEnd,
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A pending Channel.arecv(), asend() or __anext__(), awaited once.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<AwaitState>)},
    {Py_tp_methods, methods},
    {Py_tp_iter, reinterpret_cast<void*>(&Impl::await)},
    {Py_tp_iternext, reinterpret_cast<void*>(&Impl::next)},
    {Py_am_await, reinterpret_cast<void*>(&Impl::await)},
    {Py_am_send, reinterpret_cast<void*>(&Impl::am_send)},
    {0, nullptr},
};

PyType_Spec spec{"builtins.ChannelAwaitable", sizeof(AwaitBox), 0,
                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
TypeSlot type_slot;

Ref make_awaitable(ChannelBox& self, Ref item, const NoneOr<double>& timeout, bool send, bool iteration) {
    Ref loop = Ref::steal(check(PyObject_CallNoArgs(name(kGetRunningLoop))));
    PyTypeObject* type = type_slot.get(&spec);
    if (!type) throw PythonError{};
    return Ref::steal(make_instance(
        type, AwaitState(Ref::borrow(self.obj()), std::move(loop), std::move(item), timeout.v, send, iteration)));
}

}  // namespace

Ref async_recv(ChannelBox& self, const NoneOr<double>& timeout, bool iteration) {
    return make_awaitable(self, Ref(), timeout, false, iteration);
}

Ref async_send(ChannelBox& self, Ref item, const NoneOr<double>& timeout) {
    return make_awaitable(self, std::move(item), timeout, true, false);
}

}  // namespace vornic::channel
