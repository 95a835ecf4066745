// Detached / Attached: the only code that lets go of or takes hold of the
// interpreter. Every blocking wait in the module happens inside a Detached
// scope, and inside it the thread touches no Python object.
#pragma once
#include "binding/deferred.hpp"
#include "binding/errors.hpp"
#include "binding/py.hpp"
#include "binding/ref.hpp"
#include "common/interrupt.hpp"

#include <utility>

namespace vornic {

// Parks the calling thread for good. Used when a thread that is not the one
// finalizing the interpreter would re-attach during finalization: attaching
// then would end the thread from inside the interpreter, unwinding through
// native frames that cannot be unwound. The thread sleeps until the process
// exits, which is what newer interpreters do themselves.
[[noreturn]] void hang_forever() noexcept;

// True on the process's main thread (the one that finalizes the interpreter).
bool is_main_thread() noexcept;

// True on the thread the interpreter runs signal handlers on: the process's
// main thread, which after a fork is the thread that forked. One thread-local
// read after the first call on a thread.
bool on_signal_thread() noexcept;

// Lets a blocking wait on the main thread of the main interpreter answer
// signals.
//
// The interpreter's C-level signal handler only records a signal; the Python
// handler runs at the next check of the main thread, which never comes while
// that thread waits detached in native code. So a SignalCheck made there
// hands the core an Interrupt: the core sleeps in slices and between them
// requested() attaches, runs the handlers (PyErr_CheckSignals: a few reads
// when nothing is pending) and detaches again. A handler that returns
// lets the wait go on, deadline unchanged; one that raises makes the core
// abandon the wait, and its exception is kept here until the call has
// re-attached. On every other thread and interpreter get() is nullptr and
// waits sleep as they always have, so only the main thread pays the slices.
//
// Use: make it attached, pass get() to the core inside a Detached, and call
// conclude() once attached again.
class SignalCheck final : public Interrupt {
public:
    // Requires: attached.
    SignalCheck() noexcept
        : ts_(PyThreadState_Get()),
          active_(PyThreadState_GetInterpreter(ts_) == PyInterpreterState_Main() && on_signal_thread()) {}
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;

    // What to give the core: this, or nullptr where signals are not ours to run.
    Interrupt* get() noexcept { return active_ ? this : nullptr; }

    // Requires: detached, inside a Detached of the thread that made this.
    bool requested() noexcept override {
        PyEval_RestoreThread(ts_);
        const bool raised = PyErr_CheckSignals() < 0;
        if (raised) raised_ = Ref::steal(PyErr_GetRaisedException());
        PyEval_SaveThread();
        return raised;
    }

    // Requires: attached, after the wait. `completed` says whether the wait
    // did what it was asked to. Nothing happens unless a handler raised.
    // Then an abandoned wait raises that exception here (PythonError). A wait
    // that completed all the same (a peer finished its operation before it
    // could withdraw) keeps its result, and the exception goes to the
    // interpreter's pending calls, which raise it at the next check of this
    // thread, as if the signal had come just after the call returned. Should
    // that queue be full, the exception is raised here and the result lost:
    // a handler's exception must not vanish.
    void conclude(bool completed) {
        if (!raised_) return;
        if (completed && Py_AddPendingCall(&reraise, raised_.get()) == 0) {
            raised_.release();  // owned by the pending call now
            return;
        }
        PyErr_SetRaisedException(raised_.release());
        throw PythonError{};
    }

private:
    // A pending call: takes over the reference and raises it.
    static int reraise(void* exc) {
        PyErr_SetRaisedException(static_cast<PyObject*>(exc));
        return -1;
    }

    PyThreadState* ts_;
    bool active_;
    Ref raised_;  // a handler's exception, until conclude()
};

// Requires: attached on construction. Detaches for its lifetime; re-attaches
// and drains the deferred-release list on destruction.
class Detached {
public:
    Detached() noexcept : ts_(PyEval_SaveThread()) {}
    ~Detached() {
        if (Py_IsFinalizing() && !is_main_thread()) hang_forever();
        PyEval_RestoreThread(ts_);
        deferred::drain();
    }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* ts_;
};

// A native thread's interpreter thread state (pool workers). The first
// attach makes it the way a thread foreign to the interpreter does
// (PyGILState_Ensure); between attaches it is kept, detached, until end().
// Making and clearing a thread state per attach would map and unmap a fresh
// frame stack every time, which costs more than running a small task.
class NativeThreadState {
public:
    NativeThreadState() = default;
    NativeThreadState(const NativeThreadState&) = delete;
    NativeThreadState& operator=(const NativeThreadState&) = delete;

    // Requires: detached, outside any Attached. Clears and deletes the kept
    // thread state, attaching once more to do so. While the interpreter is
    // finalizing the state is left alone: the interpreter deletes the thread
    // states of other threads itself, so ours may already be gone. An
    // explicit call rather than a destructor, because the attach in it is a
    // point where the interpreter may end the thread (see Attached).
    void end() {
        PyThreadState* kept = std::exchange(kept_, nullptr);
        if (!kept || Py_IsFinalizing()) return;
        PyEval_RestoreThread(kept);
        PyGILState_Release(first_);
    }

    // Whether a thread state is kept (between attaches).
    bool kept() const noexcept { return kept_ != nullptr; }

private:
    friend class Attached;
    PyThreadState* kept_ = nullptr;  // detached between attaches
    PyGILState_STATE first_{};      // what the first PyGILState_Ensure returned
};

// Attaches a native thread through its NativeThreadState for the guard's
// lifetime. ok() is false, and nothing was attached, when the interpreter is
// finalizing.
//
// At interpreter exit, 3.13 ends a thread that waits for the GIL by calling
// pthread_exit from inside the wait, which unwinds the thread's native frames
// (newer interpreters park the thread instead). So the constructor is not
// noexcept (unwinding through a noexcept frame would terminate the process),
// and the destructor, which then runs during that unwinding with no thread
// state current and the state itself possibly freed, releases nothing.
class Attached {
public:
    explicit Attached(NativeThreadState& ts) : ts_(ts) {
        if (Py_IsFinalizing()) return;
        if (PyThreadState* kept = std::exchange(ts.kept_, nullptr))
            PyEval_RestoreThread(kept);
        else
            ts.first_ = PyGILState_Ensure();
        ok_ = true;
        deferred::drain();
    }
    ~Attached() {
        if (ok_ && PyThreadState_GetUnchecked() != nullptr) ts_.kept_ = PyEval_SaveThread();
    }
    bool ok() const noexcept { return ok_; }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

private:
    NativeThreadState& ts_;
    bool ok_ = false;
};

}  // namespace vornic
