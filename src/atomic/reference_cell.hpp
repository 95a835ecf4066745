// The cell behind AtomicReference: one strong reference to a Python object,
// replaced and read by any number of threads at once.
//
// Why a lock at all: a reader has to take its own reference to the object it
// loads. Without a lock, a writer may swap the pointer out and drop the last
// reference between the reader's load and its increment, and the reader
// would then increment freed memory. Free-threaded dict reads avoid that
// with the interpreter's private try-increment and delayed freeing of object
// memory; neither is public API, so this cell uses its own protocol.
//
// Protocol (one leaf lock, `mu`, guarding `value`):
//   - load:  lock; p = value; Py_INCREF(p); unlock.        The reader owns p.
//   - swap:  Py_INCREF(new) (the caller's reference); lock; old = value;
//            value = new; unlock; Py_DECREF(old).
//   - compare-and-swap: as swap, but only when value is expected (identity);
//            the new reference is taken under the lock, only on success.
//   So the reference the cell holds is dropped only after it has left the
//   cell, and every reader that saw it incremented it inside the same lock
//   hold: no reader can touch an object whose last reference is gone.
//
// Lock rule: `mu` is held for a load plus an increment, or a pointer swap.
// Nothing under it calls Python, allocates, releases a reference (which can
// run a finalizer) or takes another lock, so a finalizer that uses the same
// cell cannot deadlock, and a hold never spans a point where the interpreter
// could stop this thread for a collection. PyMutex is a one-byte lock whose
// uncontended lock and unlock are one atomic instruction each; a waiter that
// has to sleep detaches from the interpreter first.
//
// Ordering: every operation is a lock hold, so they are totally ordered:
// sequentially consistent. A collection sees the cell through traverse(),
// and clear() empties it into None (cells are never null while reachable).
#pragma once
#include <utility>

#include "binding/ref.hpp"

namespace vornic::atomic {

class ReferenceCell {
public:
    // Takes over the caller's reference.
    explicit ReferenceCell(Ref v) noexcept : value_(v.release()) {}
    ReferenceCell(ReferenceCell&& o) noexcept : value_(std::exchange(o.value_, nullptr)) {}
    ReferenceCell(const ReferenceCell&) = delete;
    ReferenceCell& operator=(const ReferenceCell&) = delete;
    // Requires: attached (the deallocator's thread), no other user left.
    ~ReferenceCell() { release_ref(value_); }

    // Requires: attached. A new reference to the current object.
    Ref load() const noexcept {
        Hold h(mu_);
        return Ref::borrow(value_);
    }

    // Requires: attached. Stores v; returns the reference the cell held.
    Ref swap(Ref v) noexcept {
        PyObject* old;
        {
            Hold h(mu_);
            old = std::exchange(value_, v.release());
        }
        return Ref::steal(old);
    }

    // Requires: attached. When the cell holds `expected` (identity), stores
    // a new reference to `desired` and hands back the old one (set); else
    // returns an empty Ref and changes nothing.
    bool compare_and_swap(PyObject* expected, PyObject* desired, Ref& old) noexcept {
        PyObject* replaced = nullptr;
        {
            Hold h(mu_);
            if (value_ == expected) {
                Py_INCREF(desired);
                replaced = std::exchange(value_, desired);
            }
        }
        if (!replaced) return false;
        old = Ref::steal(replaced);
        return true;
    }

    // Requires: attached; called by the collector (tp_traverse). The visit
    // runs inside the hold so that the object cannot be released meanwhile;
    // the collector's visit functions run no Python code.
    int traverse(visitproc visit, void* arg) const {
        Hold h(mu_);
        Py_VISIT(value_);
        return 0;
    }

private:
    class Hold {
    public:
        explicit Hold(PyMutex& m) noexcept : m_(m) { PyMutex_Lock(&m_); }
        ~Hold() { PyMutex_Unlock(&m_); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        PyMutex& m_;
    };

    mutable PyMutex mu_{};
    PyObject* value_;  // strong, never null while the object is reachable
};

}  // namespace vornic::atomic
