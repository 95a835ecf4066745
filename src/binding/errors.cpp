#include "binding/errors.hpp"

#include <atomic>
#include <cxxabi.h>

#include "binding/ref.hpp"

namespace vornic {

namespace {
constexpr const char* kPanicDoc =
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

std::atomic<PyObject*> g_panic_type{nullptr};
PyMutex g_panic_mutex{};
}  // namespace

PyObject* panic_exception_type() {
    if (PyObject* t = g_panic_type.load(std::memory_order_acquire)) return t;
    // PyMutex detaches while it waits, so a thread blocked here cannot stall
    // the thread that is creating the type.
    PyMutex_Lock(&g_panic_mutex);
    PyObject* t = g_panic_type.load(std::memory_order_acquire);
    if (!t) {
        t = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
        if (t) g_panic_type.store(t, std::memory_order_release);  // never freed
    }
    PyMutex_Unlock(&g_panic_mutex);
    return t;
}

void raise_panic(const char* text) {
    PyObject* t = panic_exception_type();
    if (!t) return;  // creating the type failed; that error stays set
    PyObject* s = PyUnicode_FromString(text);
    if (!s) return;
    PyErr_SetObject(t, s);
    Py_DECREF(s);
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) raise_panic(msg::kPanicDefault);
    } catch (const Error& e) {
        PyErr_SetString(e.type(), e.what());
    } catch (const Panic& e) {
        raise_panic(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // Containers report sizes they can never allocate this way.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(msg::kPanicDefault);
    }
}

void throw_cast_error(PyObject* obj, const char* target) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        throw PythonError{};
    }
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) throw PythonError{};
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), target);
    throw PythonError{};
}

}  // namespace vornic
