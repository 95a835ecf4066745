#include "binding/deferred.hpp"

#include <mutex>
#include <vector>

namespace vornic::deferred {

namespace detail {
std::atomic<bool> g_pending{false};
}

namespace {
std::mutex g_mutex;
// Heap-allocated and never freed: worker threads may still park references
// while the process is exiting, after static destructors have run.
std::vector<PyObject*>& list() {
    static auto* l = new std::vector<PyObject*>();
    return *l;
}
}  // namespace

void push(PyObject* p) noexcept {
    try {
        std::lock_guard<std::mutex> g(g_mutex);
        list().push_back(p);
        detail::g_pending.store(true, std::memory_order_release);
    } catch (...) {
        // Out of memory while parking a reference: leaking it is the only
        // safe choice on a thread that may not touch the interpreter.
    }
}

void detail::drain_slow() noexcept {
    std::vector<PyObject*> batch;
    {
        std::lock_guard<std::mutex> g(g_mutex);
        batch.swap(list());
        g_pending.store(false, std::memory_order_release);
    }
    // Releasing can run finalizers, which may push more references; those
    // are picked up by a later drain.
    for (PyObject* p : batch) Py_DECREF(p);
}

}  // namespace vornic::deferred
