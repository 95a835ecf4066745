// The per-loop wake-up hub shared by every awaitable of the module
// (Channel.arecv / asend / __anext__ and aselect), and the asyncio names they
// use.
//
// A pending operation is a waiter of the channel core (a chan::TaskWait)
// with the future its task sleeps on. A peer that claims the waiter, on any
// thread and possibly detached, only calls notify(): the waiter goes onto its
// loop's hub and the hub's eventfd is written if it was not already. The loop
// watches that eventfd (add_reader); its callback, attached on the loop's
// thread, resolves the futures of every waiter queued since the last call,
// and each task then finishes its operation in its own next step. One
// descriptor per loop, one write per batch of wake-ups, and no Python object
// touched by the waking thread. A wake-up made by a task's own step for a
// task of the same loop skips the descriptor: it is resolved when that step
// ends (WakeScope), as asyncio's queues wake one task from another.
//
// A loop that is closed drops its reader; the hub is then dead, and every
// wake-up that reaches it, queued or later, is passed on to the channel's
// next waiter at once.
#pragma once
#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>

#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "channel_core/task_wait.hpp"

namespace vornic::channel {

// ---- asyncio names ---------------------------------------------------------------

enum Name : std::size_t {
    kGetRunningLoop,  // asyncio.get_running_loop
    kRunningLoop,     // asyncio._get_running_loop (None when no loop runs)
    kCurrentTask,     // asyncio.current_task
    kCancelledError,  // asyncio.CancelledError
    kWakeFuture,      // a timer callback: resolves the future it is given
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

// Requires: attached. Made on first use and kept for the life of the process.
PyObject* const* asyncio_names();
inline std::atomic<PyObject* const*> g_asyncio_names{nullptr};  // once made
inline PyObject* name(Name n) {
    PyObject* const* names = g_asyncio_names.load(std::memory_order_acquire);
    return (names ? names : asyncio_names())[n];
}

// Requires: attached. obj.<name>(args...); a new reference.
template <class... A>
Ref call_method(PyObject* obj, Name n, A... args) {
    PyObject* argv[] = {obj, args...};
    return Ref::steal(check(PyObject_VectorcallMethod(name(n), argv, 1 + sizeof...(A), nullptr)));
}

// ---- waiter and hub ----------------------------------------------------------------

class Hub;

// The base of every pending operation's waiter: the hub it wakes through and
// the future its task awaits. The core classes are built on it
// (chan::TaskWaiter<Ref, PyWaiter>, chan::TaskSelect<PyWaiter>).
//
// `future_` is guarded by `future_mu_` (a leaf, held for a pointer swap):
// the owner sets it when it suspends and takes it when it resumes; the hub's
// callback, or a dead hub on a waking thread, takes it to resolve or drop it.
// `next_` and `queued_` belong to the hub and are guarded by its mutex.
class PyWaiter : public chan::TaskWait {
public:
    ~PyWaiter() override;

    // Once, before the first step: the hub of the awaiting task's loop
    // (counted: the waiter takes a reference).
    void attach(Hub* hub) noexcept;

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
    PyWaiter() = default;
    void notify() noexcept final;

private:
    friend class Hub;
    Hub* hub_ = nullptr;
    std::mutex future_mu_;
    Ref future_;
    PyWaiter* next_ = nullptr;
    bool queued_ = false;
};

// Requires: attached (references of the future go to the deferred list
// otherwise). Gives up a waiter whose task will never step again.
void abandon(PyWaiter& w) noexcept;

// Requires: attached, on the thread running `loop`. The loop's hub, made and
// given to the loop on first use. Returns a counted reference.
Hub* acquire_hub(PyObject* loop);
void release_hub(Hub* hub) noexcept;

// Counted reference to a hub.
class HubRef {
public:
    explicit HubRef(Hub* h) noexcept : h_(h) {}
    ~HubRef() {
        if (h_) release_hub(h_);
    }
    HubRef(const HubRef&) = delete;
    HubRef& operator=(const HubRef&) = delete;
    Hub* get() const noexcept { return h_; }

private:
    Hub* h_;
};

// The per-thread state of the wake-ups, in one block so that a step finds
// all of it with a single thread-local lookup.
struct ThreadWakes {
    int scopes = 0;              // wake scopes open (WakeScope)
    PyWaiter* local = nullptr;  // woken inside them: a reference each,
                                 // linked through next_, queued_ set
};
// Initial-exec: found at a fixed offset from the thread pointer instead of
// through a call per access, on every step of every await. The module is a
// few dozen bytes of the static TLS space the loader keeps for this.
inline thread_local constinit ThreadWakes t_wakes __attribute__((tls_model("initial-exec")));

// Requires: attached, no slot or lock held. Resolves or queues the wake-ups
// this thread made inside its wake scopes.
void flush_local_wakes() noexcept;

// A task's step: wake-ups it makes for tasks of its own loop are resolved
// when it ends, not through the eventfd.
class WakeScope {
public:
    WakeScope() noexcept : w_(t_wakes) { ++w_.scopes; }
    ~WakeScope() {
        if (--w_.scopes == 0 && w_.local != nullptr) flush_local_wakes();
    }
    WakeScope(const WakeScope&) = delete;
    WakeScope& operator=(const WakeScope&) = delete;

private:
    ThreadWakes& w_;
};

}  // namespace vornic::channel
