// The deferred-release list.
//
// A thread that is not attached to the interpreter must not touch a reference
// count. When native code drops a Python reference on such a thread (a channel
// item released by a detached receiver, a task record dropped by a worker
// between tasks), the reference is parked here and released by the next thread
// that enters the module, attaches or re-attaches after a wait.
//
// Leaf lock: the mutex is held only to append or to swap the whole list out;
// never while calling Python and never together with another native lock.
#pragma once
#include "binding/py.hpp"

#include <atomic>

namespace vornic::deferred {

// Requires: any thread state. Takes over one reference.
void push(PyObject* p) noexcept;

namespace detail {
extern std::atomic<bool> g_pending;
void drain_slow() noexcept;
}  // namespace detail

// Requires: attached. Releases every parked reference, in order of arrival.
inline void drain() noexcept {
    if (detail::g_pending.load(std::memory_order_acquire)) detail::drain_slow();
}

}  // namespace vornic::deferred
