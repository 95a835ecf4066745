// Detached / Attached: the only code that lets go of or takes hold of the
// interpreter. Every blocking wait in the module happens inside a Detached
// scope, and inside it the thread touches no Python object.
#pragma once
#include "binding/deferred.hpp"
#include "binding/py.hpp"

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

// For native threads (pool workers): attaches with PyGILState_Ensure for its
// lifetime. ok() is false, and nothing was attached, when the interpreter is
// finalizing.
class Attached {
public:
    Attached() noexcept {
        if (Py_IsFinalizing()) return;
        state_ = PyGILState_Ensure();
        ok_ = true;
        deferred::drain();
    }
    ~Attached() {
        if (ok_) PyGILState_Release(state_);
    }
    bool ok() const noexcept { return ok_; }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

private:
    PyGILState_STATE state_{};
    bool ok_ = false;
};

}  // namespace vornic
