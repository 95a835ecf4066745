#include "binding/args.hpp"

#include <cmath>
#include <string>

namespace vornic {

namespace {

std::string callable_name(const SigView& s) {
    std::string n;
    if (s.cls) {
        n += s.cls;
        n += '.';
    }
    n += s.name;
    n += "()";
    return n;
}

[[noreturn]] void type_error(const std::string& text) {
    PyErr_SetString(PyExc_TypeError, text.c_str());
    throw PythonError{};
}

[[noreturn]] void too_many_positional(const SigView& s, std::size_t given) {
    std::string m = callable_name(s) + " takes ";
    if (s.required != s.nparams)
        m += "from " + std::to_string(s.required) + " to " + std::to_string(s.nparams);
    else
        m += std::to_string(s.nparams);
    m += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    type_error(m);
}

// Index of the parameter named by the str kw, or -1.
Py_ssize_t find_param(const SigView& s, PyObject* kw) {
    for (std::size_t i = 0; i < s.nparams; ++i)
        if (PyUnicode_EqualToUTF8(kw, s.params[i])) return static_cast<Py_ssize_t>(i);
    return -1;
}

void place_keyword(const SigView& s, PyObject* kw, PyObject* value, Bound& out) {
    const Py_ssize_t i = find_param(s, kw);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", callable_name(s).c_str(), kw);
        throw PythonError{};
    }
    if (out.slot[i]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", callable_name(s).c_str(), kw);
        throw PythonError{};
    }
    out.slot[i] = value;
}

void check_missing(const SigView& s, const Bound& out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < s.required; ++i)
        if (!out.slot[i]) missing.push_back(s.params[i]);
    if (missing.empty()) return;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() > 2) list += ",";
            if (i + 1 == missing.size())
                list += " and ";
            else
                list += " ";
        }
        list += "'";
        list += missing[i];
        list += "'";
    }
    type_error(callable_name(s) + " missing " + std::to_string(missing.size()) + " required positional " +
               (missing.size() == 1 ? "argument" : "arguments") + ": " + list);
}

}  // namespace

void bind_fastcall(const SigView& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out) {
    const auto npos = static_cast<std::size_t>(nargs);
    if (npos > s.nparams) too_many_positional(s, npos);
    for (std::size_t i = 0; i < npos; ++i) out.slot[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) place_keyword(s, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    } else if (npos >= s.required) {
        return;  // positional only: every required parameter is filled
    }
    check_missing(s, out);
}

void bind_tuple(const SigView& s, PyObject* args, PyObject* kwargs, Bound& out) {
    const auto npos = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (npos > s.nparams) too_many_positional(s, npos);
    for (std::size_t i = 0; i < npos; ++i) out.slot[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        // Constructors are called with a fresh dict nobody else can see, so
        // iterating it without a critical section is safe.
        while (PyDict_Next(kwargs, &pos, &k, &v)) place_keyword(s, k, v, out);
    }
    check_missing(s, out);
}

void bind_collecting(const SigView& s, PyObject* args, PyObject* kwargs, Bound& out, Ref& rest_args, Ref& rest_kwargs) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    const auto take = std::min<std::size_t>(static_cast<std::size_t>(npos), s.nparams);
    for (std::size_t i = 0; i < take; ++i) out.slot[i] = PyTuple_GET_ITEM(args, i);
    rest_args = Ref::steal(check(PyTuple_GetSlice(args, static_cast<Py_ssize_t>(take), npos)));
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        Ref rest = Ref::steal(check(PyDict_New()));
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            if (find_param(s, k) >= 0) {
                place_keyword(s, k, v, out);
            } else if (PyDict_SetItem(rest.get(), k, v) < 0) {
                throw PythonError{};
            }
        }
        if (PyDict_GET_SIZE(rest.get()) > 0) rest_kwargs = std::move(rest);
    }
    check_missing(s, out);
}

void add_param_note(const char* param) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyObject* r = PyObject_CallMethod(exc, "add_note", "s", (std::string("while processing '") + param + "'").c_str());
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

namespace convert {

std::int64_t to_i64(PyObject* o) {
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
    return v;
}

std::uint64_t to_count(PyObject* o) {
    Ref idx;
    if (!PyLong_Check(o)) {
        idx = Ref::steal(check(PyNumber_Index(o)));
        o = idx.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return v;
}

namespace {
// numpy's boolean scalar: its type's module is "numpy" and its name "bool_"
// (numpy 1.x) or "bool" (numpy 2.x).
bool is_numpy_bool(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    Ref mod = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__"));
    if (!mod) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(mod.get()) || !PyUnicode_EqualToUTF8(mod.get(), "numpy")) return false;
    Ref name = Ref::steal(PyType_GetName(t));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool");
}
}  // namespace

bool to_bool(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    if (is_numpy_bool(o)) {
        PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
        if (!nb || !nb->nb_bool) {
            Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(o)));
            if (!name) throw PythonError{};
            PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", name.get());
            throw PythonError{};
        }
        const int r = nb->nb_bool(o);
        if (r < 0) throw PythonError{};
        return r != 0;
    }
    throw_cast_error(o, "bool");
}

double to_f64(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
    return v;
}

Text to_text(PyObject* o) {
    if (!PyUnicode_Check(o)) throw_cast_error(o, "str");
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (!p) throw PythonError{};
    return Text(p, static_cast<std::size_t>(n));
}

ObjList to_list(PyObject* o) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, msg::kStrToVec);
        throw PythonError{};
    }
    if (!PySequence_Check(o)) throw_cast_error(o, "Sequence");
    ObjList items;
    const Py_ssize_t hint = PyObject_LengthHint(o, 0);
    if (hint < 0) throw PythonError{};
    items.reserve(static_cast<std::size_t>(hint));
    Ref it = Ref::steal(check(PyObject_GetIter(o)));
    while (PyObject* x = PyIter_Next(it.get())) items.push_back(Ref::steal(x));
    throw_if_error();
    return items;
}

}  // namespace convert

Duration duration_from_secs(double secs) {
    // 2^64 seconds and beyond, NaN and infinities have no duration.
    if (!(secs >= 0.0) || !(secs < 18446744073709551616.0)) throw Panic(msg::kBadDuration);
    const double whole = std::floor(secs);
    auto s = static_cast<std::uint64_t>(whole);
    auto ns = static_cast<std::uint64_t>(std::llround((secs - whole) * 1e9));
    if (ns >= 1'000'000'000) {
        if (s == UINT64_MAX) throw Panic(msg::kBadDuration);
        ++s;
        ns -= 1'000'000'000;
    }
    return Duration{s, static_cast<std::uint32_t>(ns)};
}

}  // namespace vornic
