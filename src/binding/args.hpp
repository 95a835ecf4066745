// Parameter descriptions, argument binding and conversion.
//
// Binding maps the interpreter's arguments onto a fixed, ordered list of
// named parameters (all positional-or-keyword) and produces the exact
// TypeError messages for surplus, unknown, duplicate and missing arguments.
// Conversion then turns each bound object into the native type the handler
// declares; a failure keeps the interpreter's exception and gets the note
// "while processing '<parameter>'".
#pragma once
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "common/duration.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vornic {

inline constexpr std::size_t kMaxParams = 4;

// A callable's static description. cls is nullptr for module functions.
struct SigView {
    const char* cls;
    const char* name;
    const char* const* params;
    std::size_t nparams;
    std::size_t required;  // leading parameters without a default
};

template <std::size_t N>
struct Sig {
    static_assert(N <= kMaxParams);
    const char* cls;
    const char* name;
    std::array<const char*, N> params;
    std::size_t required;
    constexpr SigView view() const { return SigView{cls, name, params.data(), N, required}; }
};

// Bound arguments: borrowed objects, nullptr where the argument was omitted.
struct Bound {
    std::array<PyObject*, kMaxParams> slot{};
};

// Fast call with keywords. Throws PythonError with the binding TypeError set.
void bind_fastcall(const SigView& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out);

// Tuple and dictionary (constructors). kwargs may be nullptr.
void bind_tuple(const SigView& s, PyObject* args, PyObject* kwargs, Bound& out);

// Tuple and dictionary where surplus positional arguments and unknown
// keywords are collected instead of refused (ThreadPool.submit). rest_args is
// a new tuple (possibly empty); rest_kwargs a new dict, or empty when no
// keyword is left over.
void bind_collecting(const SigView& s, PyObject* args, PyObject* kwargs, Bound& out, Ref& rest_args, Ref& rest_kwargs);

// Requires: an error is set. Adds "while processing '<param>'" to it through
// add_note; a failure to add the note is discarded.
void add_param_note(const char* param) noexcept;

// ---- declared parameter types -------------------------------------------

// A parameter whose default is None: None and omission both mean "absent".
//
// Copies go member by member. An optional built in pieces (the value, then
// the flag byte) and copied at once as one 16-byte block is a store-to-load
// forward the processor cannot make, a stall on every call that passes a
// timeout through the calling layer; copied by members, each load matches a
// store.
template <class T>
struct NoneOr {
    std::optional<T> v;

    NoneOr() = default;
    NoneOr(std::optional<T> x) : v(std::move(x)) {}
    NoneOr(const NoneOr& o) {
        if (o.v) v.emplace(*o.v);
    }
    NoneOr(NoneOr&& o) noexcept(std::is_nothrow_move_constructible_v<T>) {
        if (o.v) v.emplace(std::move(*o.v));
    }
    NoneOr& operator=(const NoneOr& o) {
        if (o.v)
            v.emplace(*o.v);
        else
            v.reset();
        return *this;
    }
    NoneOr& operator=(NoneOr&& o) noexcept(std::is_nothrow_move_constructible_v<T>) {
        if (o.v)
            v.emplace(std::move(*o.v));
        else
            v.reset();
        return *this;
    }
};

// A parameter with a non-None default: only omission means "absent"; an
// explicit None is converted as T (and usually refused).
template <class T>
struct Maybe {
    std::optional<T> v;
};

// Any object, borrowed for the duration of the call (nullptr never occurs
// for required parameters).
struct Obj {
    PyObject* p;
};

// An unsigned 64-bit count.
struct Count {
    std::uint64_t v;
};

// Text, valid for the duration of the call.
using Text = std::string_view;

// A sequence other than str, as a list of new references.
using ObjList = std::vector<Ref>;

namespace convert {
std::int64_t to_i64(PyObject* o);
std::uint64_t to_count(PyObject* o);
bool to_bool(PyObject* o);
double to_f64(PyObject* o);
Text to_text(PyObject* o);
ObjList to_list(PyObject* o);
}  // namespace convert

template <class T>
struct Convert;

template <>
struct Convert<std::int64_t> {
    static std::int64_t from(PyObject* o) { return convert::to_i64(o); }
};
template <>
struct Convert<Count> {
    static Count from(PyObject* o) { return Count{convert::to_count(o)}; }
};
template <>
struct Convert<bool> {
    static bool from(PyObject* o) { return convert::to_bool(o); }
};
template <>
struct Convert<double> {
    static double from(PyObject* o) { return convert::to_f64(o); }
};
template <>
struct Convert<Text> {
    static Text from(PyObject* o) { return convert::to_text(o); }
};
template <>
struct Convert<ObjList> {
    static ObjList from(PyObject* o) { return convert::to_list(o); }
};
template <>
struct Convert<Obj> {
    static Obj from(PyObject* o) { return Obj{o}; }
};
template <>
struct Convert<Ref> {
    static Ref from(PyObject* o) { return Ref::borrow(o); }
};
template <class T>
struct Convert<NoneOr<T>> {
    static NoneOr<T> from(PyObject* o) {
        if (!o || o == Py_None) return {};
        return NoneOr<T>{Convert<T>::from(o)};
    }
    static NoneOr<T> omitted() { return {}; }
};
template <class T>
struct Convert<Maybe<T>> {
    static Maybe<T> from(PyObject* o) { return Maybe<T>{Convert<T>::from(o)}; }
    static Maybe<T> omitted() { return {}; }
};

template <class T>
concept OmittableParam = requires { Convert<T>::omitted(); };

template <class T>
inline constexpr bool NoneDefault = false;
template <class T>
inline constexpr bool NoneDefault<NoneOr<T>> = true;

// Converts one bound argument (nullptr: omitted) of the parameter named
// `param` to T, attaching the parameter note on failure. Omission and an
// explicit None for a None-default parameter are settled inline, before any
// call, since they are what most calls pass.
template <class T>
T convert_noted(const char* param, PyObject* o) {
    try {
        return Convert<T>::from(o);
    } catch (const PythonError&) {
        add_param_note(param);
        throw;
    }
}

template <class T>
[[gnu::always_inline]] inline T convert_positional(const char* param, PyObject* o) {
    if constexpr (OmittableParam<T>) {
        if (!o) return Convert<T>::omitted();
    }
    if constexpr (NoneDefault<T>) {
        if (o == Py_None) return T{};
    }
    if constexpr (std::is_same_v<T, Obj>) {
        return Obj{o};  // cannot fail
    } else {
        return convert_noted<T>(param, o);
    }
}

// Converts bound slot i to T, attaching the parameter note on failure.
template <class T>
T convert_param(const SigView& s, const Bound& b, std::size_t i) {
    return convert_positional<T>(s.params[i], b.slot[i]);
}

// Seconds as a timed wait's duration; NaN, infinite and >= 2^64 s are a
// fault. Negative values are each caller's business and must be handled
// before this is called.
Duration duration_from_secs(double secs);

}  // namespace vornic
