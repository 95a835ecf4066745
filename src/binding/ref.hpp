// Ref: the one owning Python reference type.
//
// Move-only, never built implicitly from a raw pointer: ownership is spelled
// out with Ref::steal (take over a new reference) or Ref::borrow (take a new
// reference to a borrowed one). Its destructor is where the deferred-release
// rule lives: on an attached thread it decrements at once; on a detached one
// (or a native thread that never attached) it parks the reference in the
// deferred-release list.
#pragma once
#include "binding/deferred.hpp"
#include "binding/py.hpp"

#include <utility>

namespace vornic {

// Requires: any thread state. Releases one reference to p (nullable).
inline void release_ref(PyObject* p) noexcept {
    if (!p) return;
    if (PyThreadState_GetUnchecked() != nullptr) {
        Py_DECREF(p);
    } else {
        deferred::push(p);
    }
}

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Requires: attached.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            release_ref(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // The null test stays here, inline, so that a moved-from Ref (the shell
    // a channel slot or an argument leaves behind) costs nothing to destroy
    // wherever the compiler declines to inline release_ref itself.
    ~Ref() {
        if (p_) release_ref(p_);
    }

    PyObject* get() const noexcept { return p_; }
    // Gives up ownership: the caller now owns the reference.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // Requires: attached. A second owning reference to the same object.
    Ref clone() const noexcept { return borrow(p_); }
    void reset() noexcept { release_ref(std::exchange(p_, nullptr)); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace vornic
