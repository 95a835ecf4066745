// The awaitable protocol of the module's pending operations: a native object
// with the coroutine protocol (__await__ returning itself, send, throw,
// close), so that every step of the operation, cancellation included, runs on
// the awaiting task's own step. Channel.arecv / asend / __anext__
// (async_bridge.cpp) and aselect (select/aselect.cpp) each instantiate it
// with their own state.
//
// A State provides
//   Phase phase;                    Fresh until first stepped or closed
//   bool first_step(Ref& out);      the immediate attempt, then the wait
//   bool resume(Ref& out);          a step after a suspension
//       (both: true with a future to yield, false with the result in out)
//   bool give_up(Ref& out);         the task stops awaiting: true with the
//                                   result when the operation completed all
//                                   the same (a rendezvous send taken)
//   const char* never_awaited() const;  the warning of an unstarted one
//   void settle() noexcept;         optional: once Done, drops every
//                                   reference, leaving its destructor nothing
//                                   to do (see t_kept_box)
//   static constexpr const char* kClass, *kTypeName, *kDoc;
//
// An awaitable freed without ever being stepped or closed warns, as an
// unawaited coroutine does; nothing was sent or received by it.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "binding/call.hpp"
#include "channel/wake_hub.hpp"
#include "channel_core/clock.hpp"

namespace vornic::channel {

enum class Phase : std::uint8_t { Fresh, Waiting, Done };

// The loop side of a pending operation: the loop, the deadline and the timer
// that resolves the task's future when it passes.
struct LoopWait {
    Ref loop;
    chan::Deadline deadline;
    Ref timer;  // the pending timeout's TimerHandle

    explicit LoopWait(Ref lp) noexcept : loop(std::move(lp)) {}
    LoopWait(LoopWait&&) noexcept = default;
    LoopWait(const LoopWait&) = delete;
    LoopWait& operator=(const LoopWait&) = delete;
    // Requires: attached. Cancels a pending timer, keeping any error as it was.
    ~LoopWait() {
        if (timer) cancel_timer_quietly();
        Py_XDECREF(loop.release());
    }

    // Requires: attached, w registered. A new future of the loop for the
    // task to sleep on, given to w; with a deadline, the loop resolves it
    // then.
    Ref suspend(PyWaiter& w);
    // suspend(w); when no future can be made, there is nothing to wake the
    // task through: the timer is stopped, give_up() takes the operation back
    // from w, and the error propagates.
    template <class GiveUp>
    Ref suspend_or(PyWaiter& w, GiveUp give_up) {
        try {
            return suspend(w);
        } catch (...) {
            stop_timer();
            give_up();
            throw;
        }
    }
    // Requires: attached.
    void stop_timer();

private:
    void cancel_timer_quietly() noexcept;
};

// Requires: attached. Sets StopIteration(value) as the current error: how a
// finished awaitable hands its result to `await`, which on 3.13 and 3.14
// steps a native awaitable through tp_iternext, takes the value out of the
// exception and drops it at once.
//
// Making that exception costs more than receiving a buffered item, so each
// thread keeps one and reuses it whenever nobody else holds it (a reference
// count of one: only the cache). The interpreter reads nothing but its
// value; what a caller who catches it could see of an earlier use
// (traceback, context, cause, notes) is cleared first. Its args stay empty.
// One exception per thread that ever awaited is left at thread exit.
//
// Initial-exec for the reason given at t_wakes.
inline thread_local constinit PyObject* t_stop_iteration __attribute__((tls_model("initial-exec"))) = nullptr;
PyObject* renew_stop_iteration();
void clear_stop_history(PyStopIterationObject* stop) noexcept;

inline void set_stop_iteration(Ref value) {
    PyObject* cached = t_stop_iteration;
    if (!cached || Py_REFCNT(cached) != 1) cached = renew_stop_iteration();
    auto* stop = reinterpret_cast<PyStopIterationObject*>(cached);
    // Set only when an earlier use escaped to Python code.
    if (stop->traceback || stop->context || stop->cause || stop->notes) clear_stop_history(stop);
    Py_XSETREF(stop->value, value.release());
    PyErr_SetRaisedException(Py_NewRef(cached));
}
[[noreturn]] void raise_stop_iteration(Ref value);

// Requires: attached, inside the task's step. Asks again for the
// cancellation a completed send absorbed, keeping the request count.
void request_cancel_again();

// Requires: attached. asyncio.get_running_loop(): a new reference. The
// builtin is called straight through its C function: the generic call costs
// more than a buffered receive.
inline Ref running_loop() {
    PyObject* fn = name(kGetRunningLoop);
    if (PyCFunction_Check(fn) && PyCFunction_GET_FLAGS(fn) == METH_NOARGS) {
        return Ref::steal(check(PyCFunction_GET_FUNCTION(fn)(PyCFunction_GET_SELF(fn), nullptr)));
    }
    return Ref::steal(check(PyObject_CallNoArgs(fn)));
}

// Requires: attached. The exception throw(typ, val, tb) raises.
Ref exception_to_throw(PyObject* typ, PyObject* val, PyObject* tb);

// Requires: attached. Emits RuntimeWarning(text) through the warnings
// machinery from a deallocator: a failure (-W error) is reported as
// unraisable; an error already set is kept.
void warn_never_awaited(const char* text) noexcept;

// Awaitables freed on this thread, kept for its next ones: an await that
// completes at once is little more than the object's life, and pymalloc's
// allocate, clear and free are a good part of it. A thread's spares are
// not given back when it ends (at most kSpares small blocks per thread that
// ever awaited), since it may no longer be attached by then.
struct SpareBoxes {
    static constexpr int kSpares = 4;
    PyObject* boxes[kSpares] = {};
    int count = 0;
};
template <class State>
inline thread_local constinit SpareBoxes t_spare_boxes __attribute__((tls_model("initial-exec")));

// The awaitable this thread last saw complete, with a reference of its own,
// for a State that can drop its references once done (settle()): an await
// of a ready item then neither frees its awaitable nor initialises a new
// one. The next operation takes it over only when that reference is the
// last one, so nobody can still see it, let alone await it; otherwise the
// reference is dropped and the awaitable lives on as any other. At most one
// spent awaitable per thread that ever awaited is left at thread exit.
template <class State>
inline thread_local constinit PyObject* t_kept_box __attribute__((tls_model("initial-exec"))) = nullptr;

template <class State>
concept Settles = requires(State& s) {
    { s.settle() } noexcept;
};

template <class State>
struct Awaitable {
    using B = Box<State>;

    static bool step(State& s, Ref& out) {
        switch (s.phase) {
            case Phase::Fresh:
                return s.first_step(out);
            case Phase::Waiting:
                return s.resume(out);
            case Phase::Done:
                break;
        }
        throw RuntimeError(msg::kAwaitedTwice);
    }

    static PySendResult am_send(PyObject* o, PyObject*, PyObject** result) noexcept {
        *result = nullptr;
        return guarded_or<PySendResult>(PYGEN_ERROR, [&] {
            WakeScope scope;
            B& b = *B::of(o);
            ExclusiveHold hold(b.borrow);
            Ref out;
            const bool yielded = step(b.native, out);
            if (!yielded) keep(o, b.native);
            *result = out.release();
            return yielded ? PYGEN_NEXT : PYGEN_RETURN;
        });
    }

    // Requires: attached, `s` (o's state) just completed. Drops what the
    // state still holds (the completed operation needs none of it, and a
    // Channel must not be kept alive by a spent awaitable) and keeps `o` for
    // the thread's next operation.
    static void keep(PyObject* o, State& s) noexcept {
        if constexpr (Settles<State>) {
            s.settle();
            PyObject*& kept = t_kept_box<State>;
            if (kept == o) return;
            PyObject* old = std::exchange(kept, Py_NewRef(o));
            Py_XDECREF(old);
        }
    }

    static PyObject* next(PyObject* o) noexcept {
        return guarded([&]() -> PyObject* {
            WakeScope scope;
            B& b = *B::of(o);
            ExclusiveHold hold(b.borrow);
            Ref out;
            if (step(b.native, out)) return out.release();
            keep(o, b.native);
            // Not thrown: unwinding a C++ exception costs microseconds, and
            // this is every completed await. A result of None needs no
            // exception at all: an iterator's end is StopIteration(None).
            if (out.get() != Py_None) set_stop_iteration(std::move(out));
            return nullptr;
        });
    }

    static Ref send(B& self, Obj) {
        WakeScope scope;
        Ref out;
        if (step(self.native, out)) return out;
        raise_stop_iteration(std::move(out));
    }

    static Ref throw_(B& self, Obj typ, NoneOr<Obj> val, NoneOr<Obj> tb) {
        Ref exc = exception_to_throw(typ.p, val.v ? val.v->p : nullptr, tb.v ? tb.v->p : nullptr);
        WakeScope scope;
        Ref out;
        if (self.native.give_up(out)) {
            if (PyErr_GivenExceptionMatches(exc.get(), name(kCancelledError))) request_cancel_again();
            raise_stop_iteration(std::move(out));
        }
        PyErr_SetRaisedException(exc.release());
        throw PythonError{};
    }

    static void close(B& self) {
        WakeScope scope;
        Ref ignored;
        static_cast<void>(self.native.give_up(ignored));
    }

    static PyObject* await(PyObject* o) noexcept { return Py_NewRef(o); }

    static void dealloc(PyObject* o) noexcept {
        B* b = B::of(o);
        if (b->native.phase == Phase::Fresh) warn_never_awaited(b->native.never_awaited());
        SpareBoxes& spare = t_spare_boxes<State>;
        if (spare.count == SpareBoxes::kSpares) return vornic::dealloc<State>(o);
        // The type is static (type_slot): there is no type reference to
        // give back here, nor one for PyObject_Init to take on reuse.
        std::destroy_at(&b->native);
        std::destroy_at(&b->borrow);
        spare.boxes[spare.count++] = o;
    }

    static constexpr Sig<1> kSendSig{State::kClass, "send", {"value"}, 1};
    static constexpr Sig<3> kThrowSig{State::kClass, "throw", {"typ", "val", "tb"}, 1};

    static inline PyMethodDef methods[] = {
        method<&send, kSendSig, Access::Exclusive>(
            "send", "send($self, value)\n--\n\nResumes the operation; the value is ignored."),
        method<&throw_, kThrowSig, Access::Exclusive>(
            "throw",
            "throw($self, typ, val=None, tb=None)\n--\n\nGives the operation up and raises the exception, unless "
            "the operation completed already."),
        method0<&close, Access::Exclusive>("close", "close($self)\n--\n\nGives the operation up."),
        kMethodsEnd,
    };

    static inline PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(State::kDoc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
        {Py_tp_methods, methods},
        {Py_tp_iter, reinterpret_cast<void*>(&await)},
        {Py_tp_iternext, reinterpret_cast<void*>(&next)},
        {Py_am_await, reinterpret_cast<void*>(&await)},
        {Py_am_send, reinterpret_cast<void*>(&am_send)},
        {0, nullptr},
    };

    static inline PyType_Spec spec{State::kTypeName, sizeof(B), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    static inline StaticTypeSlot type_slot;  // one object per await: see StaticTypeSlot

    // Requires: attached. A new awaitable whose state is built in place
    // from `a` (no temporary to move from and destroy: this is every await).
    template <class... A>
    static Ref make(A&&... a) {
        if constexpr (Settles<State>) {
            PyObject*& kept = t_kept_box<State>;
            if (kept && Py_REFCNT(kept) == 1) {
                // Its reference, the only one, becomes the caller's. The
                // settled state holds nothing its destructor would release,
                // so the new one is built over it without running it. The
                // borrow flag is clear: no step is running.
                static_assert(std::is_nothrow_constructible_v<State, A&&...>,
                              "a throw here would leave the taken box half made");
                PyObject* o = std::exchange(kept, nullptr);
                B* b = B::of(o);
                new (&b->native) State(std::forward<A>(a)...);
                return Ref::steal(o);
            }
        }
        PyTypeObject* type = type_slot.get(&spec);
        if (!type) throw PythonError{};
        SpareBoxes& spare = t_spare_boxes<State>;
        PyObject* o;
        if (spare.count > 0) {
            o = PyObject_Init(spare.boxes[--spare.count], type);
        } else {
            o = type->tp_alloc(type, 0);
            if (!o) throw PythonError{};
        }
        B* b = B::of(o);
        new (&b->borrow) BorrowFlag();
        new (&b->native) State(std::forward<A>(a)...);
        return Ref::steal(o);
    }
};

}  // namespace vornic::channel
