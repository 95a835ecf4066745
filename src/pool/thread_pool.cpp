// ThreadPool: a fixed set of operating-system workers fed by an unbounded
// channel of Task records, reporting through concurrent.futures.Future.
//
// Threads and what they touch:
//   callers  submit (shared hold), shutdown (exclusive hold, across the join)
//   workers  wait detached in recv(); attach with PyGILState_Ensure for exactly
//            one task; hold their own Receiver and the cancel flag, never the
//            pool object
//   joiner   at most one per pool, started by shutdown(wait=False); joins the
//            workers and ends, touching nothing of Python's
// Locks: `running` and `cancel_requested` each have a leaf mutex held for one
// read or write, never while calling Python and never both at once.
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

// ---- running one task (worker thread, attached) ------------------------------

// Calls obj.name(*args) and discards the result and any error.
void call_discarding(PyObject* obj, const char* name, PyObject* arg = nullptr) {
    PyObject* r = arg ? PyObject_CallMethod(obj, name, "O", arg) : PyObject_CallMethod(obj, name, nullptr);
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();
}

// A cancelled future only tells concurrent.futures.wait()/as_completed() that
// it is done once set_running_or_notify_cancel() has run; cancel() alone wakes
// result() callers but not those waiters. Called only on cancelled futures, so
// the future is never marked running.
void notify_if_cancelled(PyObject* future) {
    PyObject* c = PyObject_CallMethod(future, "cancelled", nullptr);
    if (!c) {
        PyErr_Clear();
        return;
    }
    const int yes = PyObject_IsTrue(c);
    Py_DECREF(c);
    if (yes < 0) PyErr_Clear();
    if (yes > 0) call_discarding(future, "set_running_or_notify_cancel");
}

// Runs func(*args, **kwargs), inside the task's context when it has one.
// Returns a new reference, or nullptr with the error set.
PyObject* call_task(const Task& t) {
    if (t.context) {
        const Py_ssize_t n = PyTuple_GET_SIZE(t.args.get());
        PyObject* full = PyTuple_New(n + 1);
        if (full) {
            PyTuple_SET_ITEM(full, 0, Py_NewRef(t.func.get()));
            for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(full, i + 1, Py_NewRef(PyTuple_GET_ITEM(t.args.get(), i)));
            PyObject* result = nullptr;
            if (PyObject* run = PyObject_GetAttrString(t.context.get(), "run")) {
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

void run_task(Task task, Flag& cancel_requested) {
    PyObject* future = task.future.get();
    if (cancel_requested.get()) {
        call_discarding(future, "cancel");
        notify_if_cancelled(future);
        return;
    }
    PyObject* result = call_task(task);
    PyObject* completed;
    if (result) {
        completed = PyObject_CallMethod(future, "set_result", "O", result);
        Py_DECREF(result);
    } else {
        PyObject* exc = PyErr_GetRaisedException();  // carries its traceback
        completed = PyObject_CallMethod(future, "set_exception", "O", exc);
        Py_XDECREF(exc);
    }
    if (completed) {
        Py_DECREF(completed);
    } else {
        // The future was finished already, normally because its user
        // cancelled it while the callable ran.
        PyErr_Clear();
        notify_if_cancelled(future);
    }
    // The task's references go here, while still attached.
}

void worker_main(TaskReceiver rx, std::shared_ptr<Flag> cancel_requested) {
    for (;;) {
        chan::RecvResult<Task> r = rx.recv();
        if (!r.ok()) return;
        Attached attached;
        if (!attached.ok()) return;  // finalizing: leave the task untouched
        run_task(std::move(*r.item), *cancel_requested);
        r.item.reset();
    }
}

// Joins every handle in start order, skipping the calling thread's own (a task
// that shuts down or drops its own pool must not wait for itself; its thread
// ends by itself once the queue is drained).
void join_all(std::vector<NativeThread>& workers) {
    for (NativeThread& w : workers) {
        if (w.is_current())
            w.detach();
        else
            w.join();
    }
    workers.clear();
}

// ---- Python-facing methods -------------------------------------------------

constexpr const char* kCls = "ThreadPool";
constexpr Sig<1> kNew{kCls, "__new__", {"num_workers"}, 0};
constexpr Sig<2> kShutdown{kCls, "shutdown", {"wait", "cancel_futures"}, 0};
constexpr Sig<1> kSubmit{kCls, "submit", {"func"}, 1};

struct Impl {
    static State make(PyTypeObject*&, NoneOr<std::int64_t> num_workers) {
        std::uint64_t count;
        if (num_workers.v) {
            if (*num_workers.v <= 0) throw ValueError(msg::kWorkersZero);
            count = static_cast<std::uint64_t>(*num_workers.v);
        } else {
            count = available_parallelism().value_or(4);
        }
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
                s.workers.push_back(NativeThread::spawn([rx = rx, flag = s.cancel_requested]() mutable {
                    worker_main(std::move(rx), std::move(flag));
                }));
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
            Detached d;
            join_all(workers);
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
    static Ref copy_context() {
        Ref mod = Ref::steal(PyImport_ImportModule("contextvars"));
        Ref fn = Ref::steal(mod ? PyObject_GetAttrString(mod.get(), "copy_context") : nullptr);
        Ref ctx = Ref::steal(fn ? PyObject_CallNoArgs(fn.get()) : nullptr);
        if (!ctx) PyErr_Clear();
        return ctx;
    }

    static void reclaim(PyObject* o) noexcept {
        State& s = Self::of(o)->native;
        if (s.running) s.running->set(false);
        s.sender.reset();
        if (!s.workers.empty()) {
            Detached d;
            join_all(s.workers);
        }
        // The remaining fields (handles, flags, future_type) go with the
        // native contents.
        dealloc<State, true>(o);
    }
};

PyMethodDef methods[] = {
    method<&Impl::shutdown, kShutdown, Access::Exclusive>(
        "shutdown",
        "shutdown($self, wait=True, cancel_futures=False)\n--\n\nShut down the thread pool, dropping the sender and "
        "joining all worker threads."),
    {"submit", as_cfunction(&Impl::submit), METH_VARARGS | METH_KEYWORDS,
     "submit($self, func, *args, **kwargs)\n--\n\nSubmit a task for parallel execution in the thread pool.\n"
     "Instantiates and returns a standard `concurrent.futures.Future`."},
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
