// The awaitable protocol's shared pieces; see awaitable.hpp.
#include "channel/awaitable.hpp"

namespace vornic::channel {

void LoopWait::cancel_timer_quietly() noexcept {
    // Any error (even a pending one) is kept as it was.
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* argv[] = {timer.get()};
    PyObject* r = PyObject_VectorcallMethod(name(kCancel), argv, 1, nullptr);
    if (r) {
        Py_DECREF(r);
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(pending);
}

Ref LoopWait::suspend(PyWaiter& w) {
    Ref fut = call_method(loop.get(), kCreateFuture);
    if (PyObject_SetAttr(fut.get(), name(kFutureBlocking), Py_True) < 0) throw PythonError{};
    if (deadline) {
        const auto left = std::chrono::duration<double>(*deadline - chan::Clock::now()).count();
        Ref delay = Ref::steal(check(PyFloat_FromDouble(left > 0 ? left : 0.0)));
        timer = call_method(loop.get(), kCallLater, delay.get(), name(kWakeFuture), fut.get());
    }
    w.set_future(fut.clone());
    return fut;
}

void LoopWait::stop_timer() {
    if (!timer) return;
    Ref t = std::move(timer);
    call_method(t.get(), kCancel);
}

// Requires: attached. The thread's StopIteration made anew (see
// set_stop_iteration): the cached one is absent or someone else holds it.
PyObject* renew_stop_iteration() {
    PyObject*& cached = t_stop_iteration;
    Py_XDECREF(std::exchange(cached, nullptr));
    cached = check(PyObject_CallNoArgs(PyExc_StopIteration));
    return cached;
}

void clear_stop_history(PyStopIterationObject* stop) noexcept {
    Py_CLEAR(stop->traceback);
    Py_CLEAR(stop->context);
    Py_CLEAR(stop->cause);
    Py_CLEAR(stop->notes);
}

[[noreturn]] void raise_stop_iteration(Ref value) {
    set_stop_iteration(std::move(value));
    throw PythonError{};
}

// Requires: attached, inside the task's step. Asks again for the
// cancellation a completed send absorbed, keeping the request count.
void request_cancel_again() {
    Ref task = Ref::steal(PyObject_CallNoArgs(name(kCurrentTask)));
    if (task && task.get() != Py_None) {
        PyObject* argv[] = {task.get()};
        Ref un = Ref::steal(PyObject_VectorcallMethod(name(kUncancel), argv, 1, nullptr));
        if (un) Ref again = Ref::steal(PyObject_VectorcallMethod(name(kCancel), argv, 1, nullptr));
    }
    // The send has happened either way; a failure here must not turn it into
    // an error.
    if (PyErr_Occurred()) PyErr_WriteUnraisable(task.get());
}

Ref exception_to_throw(PyObject* typ, PyObject* val, PyObject* tb) {
    Ref exc;
    if (PyExceptionInstance_Check(typ)) {
        exc = Ref::borrow(typ);
    } else if (PyExceptionClass_Check(typ)) {
        exc = Ref::steal(check(val ? PyObject_CallOneArg(typ, val) : PyObject_CallNoArgs(typ)));
        if (!PyExceptionInstance_Check(exc.get())) throw TypeError(msg::kBadThrow);
    } else {
        throw TypeError(msg::kBadThrow);
    }
    if (tb && PyException_SetTraceback(exc.get(), tb) < 0) throw PythonError{};
    return exc;
}

void warn_never_awaited(const char* text) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    // The object being freed cannot be named: it has no references left.
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0) PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
}

}  // namespace vornic::channel
