// Detached / Attached: the only code that lets go of or takes hold of the
// interpreter. Every blocking wait in the module happens inside a Detached
// scope, and inside it the thread touches no Python object.
#pragma once
#include "binding/deferred.hpp"
#include "binding/py.hpp"

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
