// Method thunks: bind -> hold -> convert -> run -> convert -> catch.
//
// A class declares each method as a static handler with typed parameters,
//     static std::int64_t fetch_add(Self& self, std::int64_t delta, NoneOr<Text> ordering);
// and a table row
//     method<&fetch_add, kFetchAddSig>("fetch_add", doc::fetch_add)
// The thunk binds the interpreter's arguments to the signature, takes the
// receiver's borrow flag, converts each bound argument to the declared type
// (attaching the parameter note on failure), runs the handler and converts
// its result. Every failure, C++ exception or not, becomes a Python exception
// in the one catch ladder; no exception unwinds into the interpreter.
#pragma once
#include "binding/args.hpp"
#include "binding/borrow.hpp"
#include "binding/deferred.hpp"
#include "binding/detach.hpp"
#include "binding/errors.hpp"
#include "binding/object.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace vornic {

enum class Access { Shared, Exclusive, None };

// ---- results ---------------------------------------------------------------

template <class R>
PyObject* to_py(R&& r) {
    using T = std::remove_cvref_t<R>;
    if constexpr (std::is_same_v<T, bool>) {
        return Py_NewRef(r ? Py_True : Py_False);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        // Where long is 64 bits its conversion is the interpreter's shorter
        // path (every AtomicInteger result past the small-int cache).
        if constexpr (sizeof(long) == sizeof(std::int64_t)) return PyLong_FromLong(static_cast<long>(r));
        return PyLong_FromLongLong(r);
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return PyLong_FromUnsignedLongLong(r);
    } else if constexpr (std::is_same_v<T, Ref>) {
        return r.release();
    } else if constexpr (std::is_same_v<T, std::string>) {
        return PyUnicode_FromStringAndSize(r.data(), static_cast<Py_ssize_t>(r.size()));
    } else {
        static_assert(std::is_same_v<T, void>, "unsupported result type");
    }
}

// ---- the catch ladder --------------------------------------------------------

// At interpreter exit, 3.13 ends a thread that waits for the GIL with
// pthread_exit, which unwinds the thread's frames as a forced unwind. One that
// reaches a method boundary (Python code run by the method, such as a
// Future() made by submit, released the GIL) arrives here with no thread
// state: everything else is caught while attached, since a Detached scope
// re-attaches as it unwinds. It must be neither swallowed (the C library
// aborts the process) nor let out of this noexcept frame (terminate), and no
// error can be set without a thread state: the thread is parked for good
// instead, which is what newer interpreters do to such a thread anyway.
template <class R, class F>
R guarded_or(R failure, F&& f) noexcept {
    deferred::drain();
    try {
        return f();
    } catch (...) {
        if (PyThreadState_GetUnchecked() == nullptr) hang_forever();
        set_error_from_current_exception();
        return failure;
    }
}

// For slots and methods that return an object (NULL on failure).
template <class F>
PyObject* guarded(F&& f) noexcept {
    return guarded_or<PyObject*>(nullptr, std::forward<F>(f));
}

// For slots that return an int (-1 on failure).
template <class F>
int guarded_int(F&& f) noexcept {
    return guarded_or<int>(-1, std::forward<F>(f));
}

namespace detail {

template <class Fn>
struct Handler;
template <class R, class Self, class... A>
struct Handler<R (*)(Self&, A...)> {
    using Result = R;
    using SelfT = Self;
    using Args = std::tuple<std::remove_cvref_t<A>...>;
    static constexpr std::size_t arity = sizeof...(A);
};

template <class Box, Access A, class F>
PyObject* with_access(PyObject* self, F&& f) {
    if constexpr (A == Access::Shared && kNeverExclusive<typename Box::NativeType>) {
        return f();
    } else if constexpr (A == Access::Shared) {
        SharedHold h(Box::of(self)->borrow);
        return f();
    } else if constexpr (A == Access::Exclusive) {
        static_assert(!kNeverExclusive<typename Box::NativeType>, "class declared never exclusive");
        ExclusiveHold h(Box::of(self)->borrow);
        return f();
    } else {
        return f();
    }
}

// Runs the handler on converted arguments and converts its result.
template <auto Fn, class Self, class Args, std::size_t... I>
PyObject* run(Self& self, Args& args, std::index_sequence<I...>) {
    using R = typename Handler<decltype(Fn)>::Result;
    if constexpr (std::is_void_v<R>) {
        Fn(self, std::move(std::get<I>(args))...);
        return Py_NewRef(Py_None);
    } else {
        PyObject* r = to_py(Fn(self, std::move(std::get<I>(args))...));
        if (!r) throw PythonError{};
        return r;
    }
}

template <auto Fn, class Self, class Args, std::size_t... I>
PyObject* invoke(Self& self, const SigView& s, const Bound& b, std::index_sequence<I...> seq) {
    // Arguments are converted in parameter order (braced init guarantees it).
    Args args{convert_param<std::tuple_element_t<I, Args>>(s, b, I)...};
    return run<Fn>(self, args, seq);
}

// The common shape: positional arguments only, as many as the signature
// allows, so binding cannot fail and is just "argument i or omitted". The
// conversions are the same as invoke()'s, in the same order, so the result
// and every error are the same as the general path's; what goes is the
// out-of-line binding and the zero-filled slot array.
template <auto Fn, const auto& S, class Self, class Args, std::size_t... I>
PyObject* invoke_positional(Self& self, PyObject* const* args, std::size_t nargs, std::index_sequence<I...> seq) {
    Args a{convert_positional<std::tuple_element_t<I, Args>>(S.params[I], I < nargs ? args[I] : nullptr)...};
    return run<Fn>(self, a, seq);
}

}  // namespace detail

// METH_FASTCALL | METH_KEYWORDS method.
template <auto Fn, const auto& S, Access A = Access::Shared>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using H = detail::Handler<decltype(Fn)>;
    using Self = typename H::SelfT;
    static_assert(H::arity == S.params.size(), "handler parameters must match the signature");
    return guarded([&]() -> PyObject* {
        const auto n = static_cast<std::size_t>(nargs);
        if (kwnames == nullptr && n >= S.required && n <= H::arity) [[likely]] {
            return detail::with_access<Self, A>(self, [&] {
                return detail::invoke_positional<Fn, S, Self, typename H::Args>(*Self::of(self), args, n,
                                                                               std::make_index_sequence<H::arity>{});
            });
        }
        const SigView s = S.view();
        Bound b;
        bind_fastcall(s, args, nargs, kwnames, b);
        return detail::with_access<Self, A>(self, [&] {
            return detail::invoke<Fn, Self, typename H::Args>(*Self::of(self), s, b,
                                                              std::make_index_sequence<H::arity>{});
        });
    });
}

// METH_NOARGS method: static R handler(Self&).
template <auto Fn, Access A = Access::Shared>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
    using H = detail::Handler<decltype(Fn)>;
    using Self = typename H::SelfT;
    static_assert(H::arity == 0);
    return guarded([&]() -> PyObject* {
        return detail::with_access<Self, A>(self, [&]() -> PyObject* {
            if constexpr (std::is_void_v<typename H::Result>) {
                Fn(*Self::of(self));
                return Py_NewRef(Py_None);
            } else {
                PyObject* r = to_py(Fn(*Self::of(self)));
                if (!r) throw PythonError{};
                return r;
            }
        });
    });
}

// Module-level fast-call function: static R handler(Module&, A...), where the
// first parameter receives the module object as a `ModuleSelf`.
struct ModuleSelf {
    PyObject* module;
};

template <auto Fn, const auto& S>
PyObject* function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using H = detail::Handler<decltype(Fn)>;
    static_assert(H::arity == S.params.size());
    return guarded([&]() -> PyObject* {
        ModuleSelf m{module};
        const auto n = static_cast<std::size_t>(nargs);
        if (kwnames == nullptr && n >= S.required && n <= H::arity) [[likely]]
            return detail::invoke_positional<Fn, S, ModuleSelf, typename H::Args>(m, args, n,
                                                                                  std::make_index_sequence<H::arity>{});
        const SigView s = S.view();
        Bound b;
        bind_fastcall(s, args, nargs, kwnames, b);
        return detail::invoke<Fn, ModuleSelf, typename H::Args>(m, s, b, std::make_index_sequence<H::arity>{});
    });
}

// tp_new: static Native handler(PyTypeObject*&, A...) builds the native
// contents; the thunk then allocates the instance (of `type`, which may be a
// subclass) and moves them in.
template <auto Fn, const auto& S>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    using H = detail::Handler<decltype(Fn)>;
    static_assert(H::arity == S.params.size());
    return guarded([&]() -> PyObject* {
        const SigView s = S.view();
        Bound b;
        bind_tuple(s, args, kwargs, b);
        return [&]<std::size_t... I>(std::index_sequence<I...>) -> PyObject* {
            typename H::Args a{convert_param<std::tuple_element_t<I, typename H::Args>>(s, b, I)...};
            PyTypeObject* t = type;
            return make_instance(type, Fn(t, std::move(std::get<I>(a))...));
        }(std::make_index_sequence<H::arity>{});
    });
}

// ---- table rows ------------------------------------------------------------

template <class F>
constexpr PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

template <auto Fn, const auto& S, Access A = Access::Shared>
constexpr PyMethodDef method(const char* name, const char* doc) {
    return PyMethodDef{name, as_cfunction(&fastcall<Fn, S, A>), METH_FASTCALL | METH_KEYWORDS, doc};
}

template <auto Fn, Access A = Access::Shared>
constexpr PyMethodDef method0(const char* name, const char* doc) {
    return PyMethodDef{name, as_cfunction(&noargs<Fn, A>), METH_NOARGS, doc};
}

inline constexpr PyMethodDef kMethodsEnd{nullptr, nullptr, 0, nullptr};

// __class_getitem__ for the generic classes (Channel[int], ConcurrentMap[str,
// int]): the interpreter's own Py_GenericAlias, as its builtin containers use,
// so a subscription works in annotations evaluated at run time and the alias
// behaves like list[int] (its origin, its arguments, isinstance refused).
inline constexpr PyMethodDef kClassGetItem{
    "__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
    "__class_getitem__($cls, item, /)\n--\n\nReturn a types.GenericAlias of the class for use in type annotations."};

}  // namespace vornic
