// ThreadPool: a fixed set of operating-system workers fed by an unbounded
// channel of Task records, reporting through concurrent.futures.Future.
//
// Threads and what they touch:
//   callers  submit (shared hold), shutdown (exclusive hold, across the wait)
//   workers  wait detached in recv(); attach to run the task they received
//            (and any queued behind it) through a thread state of their own,
//            made on the first task (PyGILState_Ensure) and kept while tasks
//            keep coming; hold their own Receiver and the pool's Crew, never
//            the pool object. Detached from birth: nothing joins them. Each
//            one counts itself out of its Crew as its last step, which is
//            what shutdown(wait=True) and the exit hook wait for.
//   exit     the hook threading runs at interpreter exit (where it joins its
//            own non-daemon threads) closes every pool that still has workers
//            and waits for them to run what is queued.
//
// No deallocator waits. On a free-threaded build the last reference to a pool
// may be dropped on one thread and the deallocator run later on the thread
// that made the object, at whatever bytecode boundary it reaches and inside
// whatever locks it holds (a Future's condition, say); on any build a thread
// may drop the pool while holding a lock its queued tasks need. Joining the
// workers there deadlocks. So dropping the last reference starts a shutdown
// (closes the queue, as shutdown(wait=False) does) and returns; the workers
// run everything already queued and end on their own, and the exit hook is
// what keeps queued work from being lost when the process ends. Waiting
// belongs to shutdown(wait=True) and `with`.
//
// Locks, all leaves, each held for O(1) steps, never while calling Python and
// never two at once: a Crew's `m` (its live-worker count), the registry's
// `m` (the list of crews with live workers). The queue's Sender needs no lock
// (see SenderGate).
//
// Interpreter exit, past the hook: once the interpreter is finalizing a
// worker refuses to attach and ends, leaving its task untouched. A worker the
// interpreter ends from inside a GIL wait is unwound or parked by the binding
// layer (see Attached, guarded).
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "binding/call.hpp"
#include "binding/detach.hpp"
#include "channel_core/channel.hpp"
#include "common/native_thread.hpp"
#include "common/parallelism.hpp"

namespace vornic::pool {
namespace {

// One submitted call. Each field owns one reference; kwargs and context may
// be empty.
struct Task {
    Ref func;
    Ref args;
    Ref kwargs;
    Ref future;
    Ref context;
};

using TaskSender = chan::Sender<Task>;
using TaskReceiver = chan::Receiver<Task>;

// The queue's only Sender: used in place by any number of submits at once and
// closed once, by whichever comes first of shutdown, the deallocator and the
// exit hook, none of which may wait for the others.
//
// One word holds the closed bit, the dropped bit and the count of submits
// inside. A submit enters with one fetch_add (and leaves at once if the
// closed bit is set) and leaves with one fetch_sub. Closing sets the closed
// bit and never waits: the Sender is dropped by whoever leaves the word at
// "closed, nobody inside", the closer itself when nobody is inside, or else
// the last submit to leave. The dropped bit makes that happen exactly once
// (a late submit that entered and left after the close must not drop it
// again). Inside, a submit only moves one task into the unbounded queue: no
// Python, no wait.
class SenderGate {
public:
    explicit SenderGate(TaskSender s) noexcept : sender_(std::move(s)) {}
    SenderGate(const SenderGate&) = delete;
    SenderGate& operator=(const SenderGate&) = delete;

    class Use {
    public:
        explicit Use(SenderGate& g) noexcept : g_(&g) {
            if (g.word_.fetch_add(1, std::memory_order_acq_rel) & kClosed) leave();
        }
        ~Use() { leave(); }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        explicit operator bool() const noexcept { return g_ != nullptr; }
        const TaskSender& sender() const noexcept { return g_->sender_; }

    private:
        void leave() noexcept {
            if (!g_) return;
            const std::uint64_t prev = g_->word_.fetch_sub(1, std::memory_order_acq_rel);
            if ((prev & ~kDropped) == (kClosed | 1)) g_->drop();
            g_ = nullptr;
        }
        SenderGate* g_;
    };

    bool closed() const noexcept { return word_.load(std::memory_order_acquire) & kClosed; }

    // Closes the gate: later submits are refused. Never waits.
    void close() noexcept {
        const std::uint64_t prev = word_.fetch_or(kClosed, std::memory_order_acq_rel);
        if (!(prev & kClosed) && !(prev & kInside)) drop();
    }

    // In a forked child: refused from now on, the Sender never touched again
    // (the channel's locks may have been held by a thread the child lacks).
    void abandon() noexcept { word_.fetch_or(kClosed | kDropped, std::memory_order_acq_rel); }

private:
    static constexpr std::uint64_t kClosed = std::uint64_t{1} << 63;
    static constexpr std::uint64_t kDropped = std::uint64_t{1} << 62;
    static constexpr std::uint64_t kInside = kDropped - 1;

    void drop() noexcept {
        if (word_.fetch_or(kDropped, std::memory_order_acq_rel) & kDropped) return;
        // Dropping the last Sender disconnects the queue: each worker still
        // receives what is queued, then ends.
        TaskSender gone(std::move(sender_));
    }

    std::atomic<std::uint64_t> word_{0};
    TaskSender sender_;  // empty once dropped
};

// What a pool shares with its workers and the exit hook, and outlives the
// pool object for as long as a worker runs.
struct Crew {
    explicit Crew(TaskSender tx) noexcept : gate(std::move(tx)) {}

    SenderGate gate;
    std::atomic<bool> stopped{false};           // set once, by the first stop()
    std::atomic<bool> cancel_requested{false};  // set before the gate closes, never reset

    std::mutex m;                    // leaf: guards live
    std::condition_variable ended;  // notified when live reaches zero
    std::size_t live = 0;           // workers not yet ended

    // Guarded by the registry's mutex.
    bool listed = false;
    std::list<std::shared_ptr<Crew>>::iterator where;

    // Shuts the pool down without waiting. Returns whether this call did it
    // (false when the pool was stopped already). With cancel, every task a
    // worker takes from now on has its future cancelled instead of being run.
    bool stop(bool cancel) noexcept {
        if (stopped.exchange(true, std::memory_order_acq_rel)) return false;
        if (cancel) cancel_requested.store(true, std::memory_order_release);
        gate.close();
        return true;
    }

    // Called by each worker as its last step, and for workers that never
    // started.
    void ended_by(std::size_t n) noexcept;

    // Requires: detached. Waits until every worker has ended, but for the
    // calling thread when it is one of them (a task that shuts down its own
    // pool must not wait for itself). With an interrupt, waits in slices and
    // returns false when it asks to stop.
    bool wait(Interrupt* interrupt) noexcept;
};

// The pool a worker thread belongs to, to spot a wait for itself.
thread_local const Crew* t_crew = nullptr;

// Every crew with live workers, for the exit hook. Made once, never freed:
// detached workers may still be leaving it while the process exits.
struct Registry {
    std::mutex m;  // leaf: guards everything below
    std::list<std::shared_ptr<Crew>> crews;
    bool exiting = false;  // the exit hook has run: pools made later start shut down
};

void fork_prepare() noexcept;
void fork_parent() noexcept;
void fork_child() noexcept;

Registry& registry() {
    static Registry& r = [] () -> Registry& {
        auto* made = new Registry;
        pthread_atfork(&fork_prepare, &fork_parent, &fork_child);
        return *made;
    }();
    return r;
}

// A child process has none of its parent's workers: every crew is ended
// there, and its queue refused, so that neither the exit hook nor a shutdown
// waits for threads that do not exist. The crews' own mutexes may have been
// held by those threads at the fork, so they are made afresh.
void fork_prepare() noexcept { registry().m.lock(); }
void fork_parent() noexcept { registry().m.unlock(); }
void fork_child() noexcept {
    Registry& r = registry();
    for (const std::shared_ptr<Crew>& c : r.crews) {
        new (&c->m) std::mutex;
        new (&c->ended) std::condition_variable;
        c->live = 0;
        c->listed = false;
        c->stopped.store(true);
        c->gate.abandon();
    }
    // The pools still hold their crews (so do the copies of the vanished
    // workers' captures), so clearing the list frees none of them.
    r.crews.clear();
    r.m.unlock();
}

void Crew::ended_by(std::size_t n) noexcept {
    bool last;
    {
        std::lock_guard<std::mutex> g(m);
        live -= n;
        last = live == 0;
    }
    // Every end is announced: a worker waiting for its own pool waits for
    // one left, not none.
    ended.notify_all();
    if (!last) return;
    std::shared_ptr<Crew> keep;  // dropped after the registry's lock
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.m);
    if (listed) {
        keep = std::move(*where);
        r.crews.erase(where);
        listed = false;
    }
}

bool Crew::wait(Interrupt* interrupt) noexcept {
    const std::size_t self = t_crew == this ? 1 : 0;
    std::unique_lock<std::mutex> g(m);
    auto done = [&] { return live <= self; };
    if (!interrupt) {
        ended.wait(g, done);
        return true;
    }
    while (!ended.wait_for(g, kInterruptSlice, done)) {
        g.unlock();  // requested() runs Python
        if (interrupt->requested()) return false;
        g.lock();
    }
    return true;
}

struct State {
    PyObject* weaklist = nullptr;  // must stay the first field: see kWeaklistOffset
    std::shared_ptr<Crew> crew;
    Ref future_type;

    State() = default;
    State(State&& o) noexcept : weaklist(nullptr), crew(std::move(o.crew)), future_type(std::move(o.future_type)) {}
};
using Self = Box<State>;

// ---- names -------------------------------------------------------------------

// The attribute and module names the pool looks up on every task, interned
// once so that a lookup does not build a string. Kept for the life of the
// process: workers may still use them while it exits.
struct Names {
    PyObject* contextvars;
    PyObject* copy_context;
    PyObject* run;
    PyObject* cancel;
    PyObject* cancelled;
    PyObject* set_running_or_notify_cancel;
    PyObject* set_result;
    PyObject* set_exception;
};

// Requires: attached. Throws PythonError if a name cannot be made (the next
// call tries again).
//
// Published through an atomic pointer rather than a function-local static:
// a thread waiting on a static's initialisation guard waits attached, and on
// a free-threaded build the initialising thread can block inside the
// interpreter (a lock that detaches, a collection that stops the world)
// until that waiter detaches, which it never does. Racing first calls each
// make the names; one set is published and the others are dropped (interned
// strings live for the whole process either way).
const Names& names() {
    static std::atomic<const Names*> published{nullptr};
    if (const Names* n = published.load(std::memory_order_acquire)) return *n;
    auto intern = [](const char* text) { return Ref::steal(check(PyUnicode_InternFromString(text))); };
    Ref made[] = {intern("contextvars"), intern("copy_context"),
                  intern("run"),         intern("cancel"),
                  intern("cancelled"),   intern("set_running_or_notify_cancel"),
                  intern("set_result"),  intern("set_exception")};
    auto* fresh = new Names{made[0].release(), made[1].release(), made[2].release(), made[3].release(),
                            made[4].release(), made[5].release(), made[6].release(), made[7].release()};
    const Names* expected = nullptr;
    if (!published.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
        for (PyObject* p : {fresh->contextvars, fresh->copy_context, fresh->run, fresh->cancel, fresh->cancelled,
                            fresh->set_running_or_notify_cancel, fresh->set_result, fresh->set_exception})
            Py_DECREF(p);
        delete fresh;
        return *expected;
    }
    return *fresh;
}

// ---- running one task (worker thread, attached) ------------------------------

// Calls obj.name(arg) (or obj.name() when arg is null). Returns a new
// reference, or nullptr with the error set.
PyObject* call_method(PyObject* obj, PyObject* name, PyObject* arg = nullptr) {
    PyObject* argv[] = {obj, arg};
    return PyObject_VectorcallMethod(name, argv, arg ? 2 : 1, nullptr);
}

// Calls obj.name(arg) and discards the result and any error.
void call_discarding(PyObject* obj, PyObject* name, PyObject* arg = nullptr) {
    if (PyObject* r = call_method(obj, name, arg))
        Py_DECREF(r);
    else
        PyErr_Clear();
}

// Runs func(*args, **kwargs), inside the task's context when it has one, as
// context.run(func, *args, **kwargs) would. Returns a new reference, or
// nullptr with the error set.
PyObject* call_task(const Task& t) {
    PyObject* ctx = t.context.get();
    if (ctx && PyContext_CheckExact(ctx)) {
        // What Context.run does, without building a bound method and a
        // second argument tuple per task.
        if (PyContext_Enter(ctx) < 0) return nullptr;
        PyObject* result = PyObject_Call(t.func.get(), t.args.get(), t.kwargs.get());
        if (PyContext_Exit(ctx) < 0) Py_CLEAR(result);
        return result;
    }
    if (ctx) {
        // Some other object came back from copy_context(): use its run.
        const Py_ssize_t n = PyTuple_GET_SIZE(t.args.get());
        PyObject* full = PyTuple_New(n + 1);
        if (full) {
            PyTuple_SET_ITEM(full, 0, Py_NewRef(t.func.get()));
            for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(full, i + 1, Py_NewRef(PyTuple_GET_ITEM(t.args.get(), i)));
            PyObject* result = nullptr;
            if (PyObject* run = PyObject_GetAttr(ctx, names().run)) {
                result = PyObject_Call(run, full, t.kwargs.get());
                Py_DECREF(run);
            }
            Py_DECREF(full);
            return result;
        }
        PyErr_Clear();  // no tuple: call directly, outside the context
    }
    return PyObject_Call(t.func.get(), t.args.get(), t.kwargs.get());
}

// Task references are dropped at once, while attached, so that a result is
// freed as soon as its future is; parked for a later drain they would live
// until some unrelated call into the module. They are released by hand rather
// than by the Ref destructors: a finalizer run here can be where the
// interpreter ends the thread at exit (see Attached), and that unwinding must
// not cross a noexcept frame.
void release(Ref& r) { Py_XDECREF(r.release()); }

// The references of the call itself: everything but the future.
void release_call(Task& t) {
    for (Ref* r : {&t.func, &t.args, &t.kwargs, &t.context}) release(*r);
}

// Requires: attached.
//
// The future keeps the concurrent.futures contract: it is marked running
// before the callable runs, so that from then on cancel() answers False and
// the task runs to completion, and a future cancelled before that (by its
// user, by Executor.map giving up, by shutdown(cancel_futures=True)) never
// runs its callable. set_running_or_notify_cancel() also wakes wait() and
// as_completed() for a cancelled future. A future that is neither pending nor
// cancelled (finished by someone else) makes it raise; its task is not run
// either.
void run_task(Task& task, const Crew& crew) {
    const Names& n = names();
    PyObject* future = task.future.get();
    if (crew.cancel_requested.load(std::memory_order_acquire)) call_discarding(future, n.cancel);
    int go = -1;
    if (PyObject* r = call_method(future, n.set_running_or_notify_cancel)) {
        go = PyObject_IsTrue(r);
        Py_DECREF(r);
    }
    if (go <= 0) {
        if (go < 0) PyErr_Clear();
        release_call(task);
        release(task.future);
        return;
    }
    PyObject* result = call_task(task);
    PyObject* exc = result ? nullptr : PyErr_GetRaisedException();  // carries its traceback
    // Released before the future is completed: a caller woken by the result
    // finds the callable and its arguments gone already, and this thread
    // lets go of the interpreter sooner after waking it.
    release_call(task);
    PyObject* completed = result ? call_method(future, n.set_result, result) : call_method(future, n.set_exception, exc);
    Py_XDECREF(result);
    Py_XDECREF(exc);
    if (completed)
        Py_DECREF(completed);
    else
        PyErr_Clear();  // finished by someone else meanwhile
    release(task.future);
}

// How long an idle worker keeps its thread state. On a free-threaded build
// every object a task creates is owned by the worker's thread state, and a
// reference another thread drops on it last is handed back to that owner to
// merge, which happens only when the owner next runs Python; an idle worker
// holding its state would keep a finished task's result alive until its next
// task. Ending the state merges what is queued, and later drops are merged by
// whoever makes them. A busy pool keeps the state: tasks arrive well within
// the grace period.
constexpr auto kIdleGrace = std::chrono::milliseconds(50);

void worker_loop(const TaskReceiver& rx, const Crew& crew) {
    NativeThreadState ts;
    for (;;) {
        chan::RecvResult<Task> r = ts.kept() ? rx.recv_timeout(kIdleGrace) : rx.recv();
        if (r.status == chan::RecvStatus::Timeout) {
            ts.end();
            continue;
        }
        if (!r.ok()) break;
        Attached attached(ts);
        // Finalizing: the task is left untouched (its references are parked,
        // never run) and the thread ends; its thread state is the
        // interpreter's to delete.
        if (!attached.ok()) return;
        // Tasks already queued run in the same attach, taken without
        // waiting: letting go of the interpreter between them would hand the
        // GIL to whichever thread waits for it (often the submitter) once per
        // task. The worker still detaches before any wait for a task.
        do {
            run_task(*r.item, crew);
            r = rx.try_recv();
        } while (r.ok() && !Py_IsFinalizing());
    }
    ts.end();
}

void worker_main(const TaskReceiver& rx, Crew& crew) {
    t_crew = &crew;
    // A worker waiting for a task does not spin: the submitter, or a worker
    // running a task, needs the processor more.
    chan::detail::never_spin_on_this_thread();
    worker_loop(rx, crew);
    crew.ended_by(1);
}

// Requires: attached. Waits, detached, for the crew's workers to end. While
// the interpreter is finalizing nothing is waited for: no worker can attach
// to run anything any more, and one caught in a wait may never end.
//
// `signals` lets the main thread run signal handlers while it waits; when one
// raises, the exception propagates from here and the workers go on.
void wait_for(Crew& crew, SignalCheck& signals) {
    if (Py_IsFinalizing()) return;
    bool done;
    {
        Detached d;
        done = crew.wait(signals.get());
    }
    signals.conclude(done);
}

// ---- the exit hook -------------------------------------------------------------

// Run by threading at interpreter exit, on the main thread, where it joins
// its own non-daemon threads and the standard library's executors join their
// workers. Every pool that still has workers (live, dropped, or shut down
// without waiting) is shut down, so that submit raises from now on, and its
// workers are waited for, so that what is queued runs. A pool made later
// starts shut down.
PyObject* at_exit(PyObject*, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        std::vector<std::shared_ptr<Crew>> crews;
        {
            Registry& r = registry();
            std::lock_guard<std::mutex> g(r.m);
            r.exiting = true;
            crews.assign(r.crews.begin(), r.crews.end());
        }
        for (const std::shared_ptr<Crew>& c : crews) c->stop(false);
        SignalCheck signals;
        for (const std::shared_ptr<Crew>& c : crews) wait_for(*c, signals);
        Py_RETURN_NONE;
    });
}

PyMethodDef at_exit_def = {"_vornic_pools_at_exit", &at_exit, METH_NOARGS, nullptr};

// Requires: attached. Registers at_exit with threading, once per process;
// a failure is raised (and the next pool tries again).
void ensure_exit_hook() {
    static std::atomic<bool> registered{false};
    if (registered.load(std::memory_order_acquire)) return;
    Ref threading = Ref::steal(check(PyImport_ImportModule("threading")));
    Ref add = Ref::steal(check(PyObject_GetAttrString(threading.get(), "_register_atexit")));
    Ref hook = Ref::steal(check(PyCFunction_New(&at_exit_def, nullptr)));
    // Two first pools racing may both register; the second run of the hook
    // finds nothing left to do.
    if (!registered.load(std::memory_order_acquire)) {
        Ref done = Ref::steal(check(PyObject_CallOneArg(add.get(), hook.get())));
        registered.store(true, std::memory_order_release);
    }
}

// ---- Python-facing methods -------------------------------------------------

constexpr const char* kCls = "ThreadPool";
constexpr Sig<1> kNew{kCls, "__new__", {"num_workers"}, 0};
constexpr Sig<2> kShutdown{kCls, "shutdown", {"wait", "cancel_futures"}, 0};
constexpr Sig<1> kSubmit{kCls, "submit", {"func"}, 1};
constexpr Sig<1> kMap{kCls, "map", {"fn"}, 1};
constexpr Sig<3> kExit{kCls, "__exit__", {"_exc_type", "_exc_val", "_exc_tb"}, 3};

// Executor.map grew `buffersize` in 3.14; map() follows the running version.
constexpr bool kMapHasBuffersize = PY_VERSION_HEX >= 0x030E0000;

struct Impl {
    static State make(PyTypeObject*&, NoneOr<std::int64_t> num_workers) {
        std::uint64_t count;
        if (num_workers.v) {
            if (*num_workers.v <= 0) throw ValueError(msg::kWorkersZero);
            count = static_cast<std::uint64_t>(*num_workers.v);
        } else {
            count = available_parallelism().value_or(4);
        }
        names();  // made here, attached, so that a worker never has to fail making them
        ensure_exit_hook();
        State s;
        Ref futures = Ref::steal(check(PyImport_ImportModule("concurrent.futures")));
        s.future_type = Ref::steal(check(PyObject_GetAttrString(futures.get(), "Future")));
        // A count so large that not even a handle per worker could be
        // allocated fails here, with MemoryError, before any thread starts
        // (rather than after starting as many as the platform allows).
        if (count > std::vector<NativeThread>().max_size()) throw std::bad_alloc();
        std::vector<NativeThread>().reserve(count);
        auto [tx, rx] = chan::unbounded<Task>();
        auto crew = std::make_shared<Crew>(std::move(tx));
        crew->live = count;
        std::uint64_t started = 0;
        try {
            for (; started < count; ++started)
                NativeThread::spawn([rx = rx, crew] { worker_main(rx, *crew); }).detach();
        } catch (...) {
            // The workers already started see the queue disconnect and end by
            // themselves.
            crew->stop(false);
            crew->ended_by(count - started);
            throw;
        }
        bool exiting;
        {
            Registry& r = registry();
            std::lock_guard<std::mutex> g(r.m);
            exiting = r.exiting;
            if (!exiting) {
                crew->where = r.crews.insert(r.crews.end(), crew);
                crew->listed = true;
            }
        }
        if (exiting) crew->stop(false);
        s.crew = std::move(crew);
        return s;
    }

    static void shutdown(Self& self, Maybe<bool> wait, Maybe<bool> cancel_futures) {
        Crew& crew = *self.native.crew;
        if (!crew.stop(cancel_futures.v.value_or(false))) return;
        if (!wait.v.value_or(true)) return;
        // Interrupted by a signal handler that raised: the pool stays shut
        // down and its workers finish what is queued on their own.
        SignalCheck signals;
        wait_for(crew, signals);
    }

    static PyObject* submit(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
        return guarded([&]() -> PyObject* {
            const SigView sig = kSubmit.view();
            Bound b;
            Ref rest_args, rest_kwargs;
            bind_collecting(sig, args, kwargs, b, rest_args, rest_kwargs);
            SharedHold hold(Self::of(self)->borrow);
            State& s = Self::of(self)->native;
            if (s.crew->gate.closed()) throw RuntimeError(msg::kPoolShutdown);
            Ref context = copy_context();
            Ref future = Ref::steal(check(PyObject_CallNoArgs(s.future_type.get())));
            Task task{Ref::borrow(b.slot[0]), std::move(rest_args), std::move(rest_kwargs), future.clone(),
                      std::move(context)};
            // The result is kept past the gate: a task handed back is
            // destroyed outside it, where its finalizers may run.
            chan::SendResult<Task> sent{chan::SendStatus::Disconnected, std::nullopt};
            {
                SenderGate::Use use(s.crew->gate);
                // Closed meanwhile, by the exit hook (a shutdown cannot
                // overlap this call: it needs the exclusive hold).
                if (!use) throw RuntimeError(msg::kPoolShutdown);
                sent = use.sender().send(std::move(task));
            }
            if (!sent.ok()) throw RuntimeError(msg::kSubmitFailed);  // the handed-back task and future go here
            return future.release();
        });
    }

    // contextvars.copy_context(), or nothing when any step fails.
    // The module comes from the interpreter's module cache when it is there,
    // and through an ordinary import otherwise.
    static Ref copy_context() {
        const Names& n = names();
        Ref mod = Ref::steal(PyImport_GetModule(n.contextvars));
        if (!mod && !PyErr_Occurred()) mod = Ref::steal(PyImport_Import(n.contextvars));
        Ref fn = Ref::steal(mod ? PyObject_GetAttr(mod.get(), n.copy_context) : nullptr);
        Ref ctx = Ref::steal(fn ? PyObject_CallNoArgs(fn.get()) : nullptr);
        if (!ctx) PyErr_Clear();
        return ctx;
    }

    // The executor protocol: `with ThreadPool(n) as pool:` shuts the pool
    // down, waiting for every queued task, however the block ends.
    static Ref enter(Self& self) { return Ref::borrow(self.obj()); }
    static void exit(Self& self, Obj, Obj, Obj) { shutdown(self, Maybe<bool>{true}, Maybe<bool>{false}); }

    // concurrent.futures.Executor.map of the running interpreter, called with
    // this pool as its executor: it needs nothing but `submit` (and a weak
    // reference to the pool, with buffersize), so the ordering, the lazy
    // window, the timeout counted from the call and the cancellation of what
    // is left when the iterator is closed are the standard library's own, and
    // follow it from version to version. Before 3.14 it has no buffersize;
    // rather than submit everything anyway, a buffersize there is refused
    // (None, meaning no bound, is let through).
    static PyObject* map(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
        return guarded([&]() -> PyObject* {
            const SigView sig = kMap.view();
            Bound b;
            Ref iterables, options;
            bind_collecting(sig, args, kwargs, b, iterables, options);
            if constexpr (!kMapHasBuffersize) {
                if (options) {
                    PyObject* found = nullptr;
                    if (PyDict_GetItemStringRef(options.get(), "buffersize", &found) < 0) throw PythonError{};
                    const Ref buffersize = Ref::steal(found);
                    if (buffersize && buffersize.get() != Py_None) throw TypeError(msg::kMapBuffersize);
                    if (buffersize && PyDict_DelItemString(options.get(), "buffersize") < 0) throw PythonError{};
                }
            }
            Ref futures = Ref::steal(check(PyImport_ImportModule("concurrent.futures")));
            Ref executor = Ref::steal(check(PyObject_GetAttrString(futures.get(), "Executor")));
            Ref executor_map = Ref::steal(check(PyObject_GetAttrString(executor.get(), "map")));
            const Py_ssize_t n = PyTuple_GET_SIZE(iterables.get());
            Ref call_args = Ref::steal(check(PyTuple_New(n + 2)));
            PyTuple_SET_ITEM(call_args.get(), 0, Py_NewRef(self));
            PyTuple_SET_ITEM(call_args.get(), 1, Py_NewRef(b.slot[0]));
            for (Py_ssize_t i = 0; i < n; ++i)
                PyTuple_SET_ITEM(call_args.get(), i + 2, Py_NewRef(PyTuple_GET_ITEM(iterables.get(), i)));
            return check(PyObject_Call(executor_map.get(), call_args.get(), options.get()));
        });
    }

    // Deallocation starts a shutdown and never waits (see the top of this
    // file): the workers run what is queued and end on their own, and the
    // exit hook waits for them if the process ends first. Nothing here blocks:
    // stop() is a few atomic steps, and dropping the queue's Sender only
    // wakes the workers.
    static void reclaim(PyObject* o) noexcept {
        PyObject_ClearWeakRefs(o);
        Self::of(o)->native.crew->stop(false);
        // The crew (shared with the workers), future_type and the rest go
        // with the native contents.
        dealloc<State>(o);
    }
};

constexpr const char* kMapDoc =
    kMapHasBuffersize
        ? "map($self, fn, *iterables, timeout=None, chunksize=1, buffersize=None)\n--\n\n"
          "Return an iterator over fn applied to the items of the iterables, in order, as\n"
          "concurrent.futures.Executor.map does with this pool's submit."
        : "map($self, fn, *iterables, timeout=None, chunksize=1)\n--\n\n"
          "Return an iterator over fn applied to the items of the iterables, in order, as\n"
          "concurrent.futures.Executor.map does with this pool's submit.";

PyMethodDef methods[] = {
    method<&Impl::shutdown, kShutdown, Access::Exclusive>(
        "shutdown",
        "shutdown($self, wait=True, cancel_futures=False)\n--\n\nShut down the thread pool, dropping the sender and "
        "joining all worker threads.\nThe way to wait for a pool: dropping the last reference starts a shutdown and "
        "does not wait."),
    {"submit", as_cfunction(&Impl::submit), METH_VARARGS | METH_KEYWORDS,
     "submit($self, func, *args, **kwargs)\n--\n\nSubmit a task for parallel execution in the thread pool.\n"
     "Instantiates and returns a standard `concurrent.futures.Future`.\n"
     "A worker marks the future running before it calls func; a future cancelled\n"
     "before that never runs func."},
    {"map", as_cfunction(&Impl::map), METH_VARARGS | METH_KEYWORDS, kMapDoc},
    method0<&Impl::enter>("__enter__", "__enter__($self)\n--\n\nReturn the pool itself."),
    method<&Impl::exit, kExit, Access::Exclusive>(
        "__exit__", "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\nShut the pool down as shutdown(wait=True) does."),
    kMethodsEnd,
};

PyMemberDef members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(Self, native)), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "ThreadPool(num_workers=None)\n--\n\nAn OS-level physical thread pool scheduler for heavy parallel "
                    "computing.\nAvoids GIL contention and allows true parallel multi-threaded execution.\n"
                    "Supports CPython weakref and implements automatic RAII resource reclamation on Drop.")},
    {Py_tp_new, reinterpret_cast<void*>(&constructor<&Impl::make, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Impl::reclaim)},
    {Py_tp_methods, methods},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec spec{"builtins.ThreadPool", sizeof(Self), 0, Py_TPFLAGS_DEFAULT, slots};
TypeSlot type_slot;

}  // namespace
}  // namespace vornic::pool

PyTypeObject* vornic::types::thread_pool() { return pool::type_slot.get(&pool::spec); }
