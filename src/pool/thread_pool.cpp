// ThreadPool: a fixed set of operating-system workers fed by an unbounded
// channel of Task records, reporting through concurrent.futures.Future.
//
// Threads and what they touch:
//   callers  submit (shared hold), shutdown (exclusive hold, across the join)
//   workers  wait detached in recv(); attach to run the task they received
//            (and any queued behind it) through a thread state of their own,
//            made on the first task (PyGILState_Ensure) and kept until the
//            worker ends; hold their own Receiver and the cancel flag, never
//            the pool object
//   joiner   at most one per pool, started by shutdown(wait=False); joins the
//            workers and ends, touching nothing of Python's
// Locks: `running` and `cancel_requested` each have a leaf mutex held for one
// read or write, never while calling Python and never both at once.
//
// Interpreter exit: once the interpreter is finalizing, a worker refuses to
// attach and ends, leaving its task untouched, and nothing waits for workers
// any more (see wait_for_workers). A worker the interpreter ends from inside a
// GIL wait is unwound or parked by the binding layer (see Attached, guarded).
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "binding/call.hpp"
#include "binding/detach.hpp"
#include "channel_core/channel.hpp"
#include "common/native_thread.hpp"
#include "common/parallelism.hpp"

namespace vornic::pool {
namespace {

// A boolean behind its own mutex, shared by reference count.
class Flag {
public:
    explicit Flag(bool v) : v_(v) {}
    bool get() {
        std::lock_guard<std::mutex> g(m_);
        return v_;
    }
    void set(bool v) {
        std::lock_guard<std::mutex> g(m_);
        v_ = v;
    }
    // Sets the flag; returns the value it had.
    bool exchange(bool v) {
        std::lock_guard<std::mutex> g(m_);
        return std::exchange(v_, v);
    }

private:
    std::mutex m_;
    bool v_;
};

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

struct State {
    PyObject* weaklist = nullptr;  // must stay the first field: see kWeaklistOffset
    std::optional<TaskSender> sender;
    std::vector<NativeThread> workers;
    std::shared_ptr<Flag> running;
    std::shared_ptr<Flag> cancel_requested;
    Ref future_type;

    State() = default;
    State(State&& o) noexcept
        : weaklist(nullptr),
          sender(std::move(o.sender)),
          workers(std::move(o.workers)),
          running(std::move(o.running)),
          cancel_requested(std::move(o.cancel_requested)),
          future_type(std::move(o.future_type)) {}
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

// A cancelled future only tells concurrent.futures.wait()/as_completed() that
// it is done once set_running_or_notify_cancel() has run; cancel() alone wakes
// result() callers but not those waiters. Called only on cancelled futures, so
// the future is never marked running.
void notify_if_cancelled(PyObject* future) {
    const Names& n = names();
    PyObject* c = call_method(future, n.cancelled);
    if (!c) {
        PyErr_Clear();
        return;
    }
    const int yes = PyObject_IsTrue(c);
    Py_DECREF(c);
    if (yes < 0) PyErr_Clear();
    if (yes > 0) call_discarding(future, n.set_running_or_notify_cancel);
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
void run_task(Task& task, Flag& cancel_requested) {
    const Names& n = names();
    PyObject* future = task.future.get();
    if (cancel_requested.get()) {
        release_call(task);
        call_discarding(future, n.cancel);
        notify_if_cancelled(future);
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
    if (completed) {
        Py_DECREF(completed);
    } else {
        // The future was finished already, normally because its user
        // cancelled it before or while the callable ran.
        PyErr_Clear();
        notify_if_cancelled(future);
    }
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

void worker_main(const TaskReceiver& rx, Flag& cancel_requested) {
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
        // interpreter's to delete. Nothing may join it any more (the pool
        // may never be reclaimed: its owner can be a thread the interpreter
        // stopped), so it detaches itself rather than end unjoined.
        if (!attached.ok()) {
            NativeThread::release_self();
            return;
        }
        // Tasks already queued run in the same attach, taken without
        // waiting: letting go of the interpreter between them would hand the
        // GIL to whichever thread waits for it (often the submitter) once per
        // task. The worker still detaches before any wait for a task.
        do {
            run_task(*r.item, cancel_requested);
            r = rx.try_recv();
        } while (r.ok() && !Py_IsFinalizing());
    }
    ts.end();
}

// Requires: detached (or a thread that never attaches). Joins every handle in
// start order, skipping the calling thread's own: a task that shuts down or
// drops its own pool must not wait for itself; its thread ends by itself once
// the queue is drained.
//
// With an interrupt, each join waits in slices and asks it between them; when
// it asks to stop, the handles joined so far are removed and the rest stay
// in `workers`, still to be joined. Returns whether all were joined.
bool join_all(std::vector<NativeThread>& workers, Interrupt* interrupt = nullptr) {
    for (auto it = workers.begin(); it != workers.end(); ++it) {
        if (it->is_current()) {
            it->detach();
        } else if (!interrupt) {
            it->join();
        } else {
            while (!it->join_for(kInterruptSlice)) {
                if (interrupt->requested()) {
                    workers.erase(workers.begin(), it);
                    return false;
                }
            }
        }
    }
    workers.clear();
    return true;
}

// Requires: attached. Waits, detached, for the workers to end. While the
// interpreter is finalizing nothing is waited for: no worker can attach to
// run anything any more, and one caught in a wait may never end (the
// interpreter ends or parks a thread that tries to attach then, and so does
// our own Detached), so the handles are let go and the process exits without
// them.
//
// `signals` (shutdown only; a deallocator cannot raise) lets the main thread
// run signal handlers while it waits; when one raises, the handles not yet
// joined stay in `workers` and the exception propagates from here.
void wait_for_workers(std::vector<NativeThread>& workers, SignalCheck* signals = nullptr) {
    if (workers.empty()) return;
    if (Py_IsFinalizing()) {
        for (NativeThread& w : workers) w.detach();
        workers.clear();
        return;
    }
    bool joined;
    {
        Detached d;
        joined = join_all(workers, signals ? signals->get() : nullptr);
    }
    if (signals) signals->conclude(joined);
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
        State s;
        auto [tx, rx] = chan::unbounded<Task>();
        s.sender.emplace(std::move(tx));
        s.running = std::make_shared<Flag>(true);
        s.cancel_requested = std::make_shared<Flag>(false);
        s.workers.reserve(count);  // a count too large to hold fails here, before any thread
        Ref futures = Ref::steal(check(PyImport_ImportModule("concurrent.futures")));
        s.future_type = Ref::steal(check(PyObject_GetAttrString(futures.get(), "Future")));
        try {
            for (std::uint64_t i = 0; i < count; ++i)
                s.workers.push_back(NativeThread::spawn(
                    [rx = rx, flag = s.cancel_requested] { worker_main(rx, *flag); }));
        } catch (...) {
            // The workers already started see the queue disconnect and end by
            // themselves; their handles are dropped without joining.
            s.sender.reset();
            for (NativeThread& w : s.workers) w.detach();
            s.workers.clear();
            throw;
        }
        return s;
    }

    static void shutdown(Self& self, Maybe<bool> wait, Maybe<bool> cancel_futures) {
        State& s = self.native;
        if (!s.running->exchange(false)) return;
        if (cancel_futures.v.value_or(false)) s.cancel_requested->set(true);
        s.sender.reset();
        std::vector<NativeThread> workers = std::move(s.workers);
        s.workers.clear();
        if (workers.empty()) return;
        if (wait.v.value_or(true)) {
            // Interrupted by a signal handler that raised: the pool stays shut
            // down and its workers finish what is queued; the handles still to
            // be joined go back to the pool, whose deallocator joins them.
            SignalCheck signals;
            try {
                wait_for_workers(workers, &signals);
            } catch (...) {
                s.workers = std::move(workers);
                throw;
            }
        } else {
            auto handles = std::make_shared<std::vector<NativeThread>>(std::move(workers));
            NativeThread::spawn([handles] { join_all(*handles); }).detach();
        }
    }

    static PyObject* submit(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
        return guarded([&]() -> PyObject* {
            const SigView sig = kSubmit.view();
            Bound b;
            Ref rest_args, rest_kwargs;
            bind_collecting(sig, args, kwargs, b, rest_args, rest_kwargs);
            SharedHold hold(Self::of(self)->borrow);
            State& s = Self::of(self)->native;
            if (!s.running->get() || !s.sender) throw RuntimeError(msg::kPoolShutdown);
            Ref context = copy_context();
            Ref future = Ref::steal(check(PyObject_CallNoArgs(s.future_type.get())));
            Task task{Ref::borrow(b.slot[0]), std::move(rest_args), std::move(rest_kwargs), future.clone(),
                      std::move(context)};
            chan::SendResult<Task> sent = s.sender->send(std::move(task));
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

    static void reclaim(PyObject* o) noexcept {
        // Weak references go first: the join below lets other threads run,
        // and one of them must not revive this object through a weak
        // reference while it is being torn down.
        PyObject_ClearWeakRefs(o);
        State& s = Self::of(o)->native;
        s.running->set(false);
        s.sender.reset();
        wait_for_workers(s.workers);
        // The remaining fields (handles, flags, future_type) go with the
        // native contents.
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
        "joining all worker threads."),
    {"submit", as_cfunction(&Impl::submit), METH_VARARGS | METH_KEYWORDS,
     "submit($self, func, *args, **kwargs)\n--\n\nSubmit a task for parallel execution in the thread pool.\n"
     "Instantiates and returns a standard `concurrent.futures.Future`."},
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
