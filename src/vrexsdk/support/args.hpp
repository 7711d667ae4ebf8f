// Argument parsing for METH_FASTCALL | METH_KEYWORDS methods and for constructors, with the interpreter's
// messages, and the method wrapper that adds the method's traceback entry to every error it raises.
//
// A method is written as a plain function of its parameters:
//
//     PyObject* getDacValue(ChipObject* self, PyObject* dacId);
//     PyObject* setDataCallback(AcquisitionObject* self, PyObject* channelId, PyObject* func, Optional raw);
//
// and listed with VREX_METHOD, which names the Python parameters; `Optional` parameters may be left out
// (their `value` is then null) and must come last.
#pragma once

#include "errors.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

namespace vrex {

struct Optional {
    PyObject* value = nullptr;
    Optional(PyObject* v = nullptr) noexcept : value(v) {}  // NOLINT: implicit from a parsed slot
    bool given() const noexcept { return value != nullptr; }
};

template <std::size_t N>
struct fixed_string {
    char value[N]{};
    constexpr fixed_string() = default;  // filled in by a constexpr computation (private_name)
    constexpr fixed_string(const char (&text)[N]) { std::copy_n(text, N, value); }  // NOLINT
};

namespace detail {

inline void raise_count(const char* func, bool exact, std::size_t min, std::size_t max, Py_ssize_t found) {
    const char* more_or_less;
    Py_ssize_t expected;
    if (static_cast<std::size_t>(found) < min) {
        more_or_less = exact ? "exactly" : "at least";
        expected = static_cast<Py_ssize_t>(min);
    } else {
        more_or_less = exact ? "exactly" : "at most";
        expected = static_cast<Py_ssize_t>(max);
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, more_or_less,
                 expected, expected == 1 ? "" : "s", found);
}

// Places the keyword `name` with `value`; false with the exception set.
inline bool place_keyword(const char* func, const char* const* names, std::size_t n, PyObject* name, PyObject* value,
                          Py_ssize_t nargs, PyObject** out) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, names[i]) != 0) continue;
        if (static_cast<Py_ssize_t>(i) < nargs || out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, name);
            return false;
        }
        out[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, name);
    return false;
}

inline bool check_required(const char* func, std::size_t n, std::size_t required, PyObject** out) {
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            raise_count(func, required == n, required, n, static_cast<Py_ssize_t>(i));
            return false;
        }
    }
    return true;
}

}  // namespace detail

// Fills out[0..n) from a vectorcall argument vector; slots not given stay null.
inline bool parse_fastcall(const char* func, const char* const* names, std::size_t n, std::size_t required,
                           PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == n) {  // the common case
        std::copy_n(args, n, out);
        return true;
    }
    if (static_cast<std::size_t>(nargs) > n || (kwnames == nullptr && static_cast<std::size_t>(nargs) < required)) {
        detail::raise_count(func, required == n, required, n, nargs);
        return false;
    }
    std::fill_n(out, n, nullptr);
    std::copy_n(args, nargs, out);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!detail::place_keyword(func, names, n, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out))
                return false;
    }
    return detail::check_required(func, n, required, out);
}

// The same from a tuple and a dict (constructors).
inline bool parse_tuple(const char* func, const char* const* names, std::size_t n, std::size_t required,
                        PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const bool no_keywords = kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0;
    if (static_cast<std::size_t>(nargs) > n || (no_keywords && static_cast<std::size_t>(nargs) < required)) {
        detail::raise_count(func, required == n, required, n, nargs);
        return false;
    }
    std::fill_n(out, n, nullptr);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (!no_keywords) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!detail::place_keyword(func, names, n, key, value, nargs, out)) return false;
    }
    return detail::check_required(func, n, required, out);
}

namespace detail {

template <class F>
struct method_traits;

template <class T, class... A>
struct method_traits<PyObject* (*)(T*, A...)> {
    using self_type = T;
    using args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
    static constexpr std::size_t required = ((std::is_same_v<A, PyObject*> ? 1 : 0) + ... + 0);
};

}  // namespace detail

// METH_FASTCALL | METH_KEYWORDS entry point of the method `Impl`, Python name `Name`, parameters `Params`;
// every error it raises gets the traceback entry `Qualname`.
template <fixed_string Name, fixed_string Qualname, auto Impl, fixed_string... Params>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using traits = detail::method_traits<decltype(Impl)>;
    static_assert(sizeof...(Params) == traits::arity, "one name per parameter");
    static constexpr const char* names[traits::arity + 1] = {Params.value..., nullptr};
    std::array<PyObject*, traits::arity + 1> slots{};
    PyObject* result = nullptr;
    if (parse_fastcall(Name.value, names, traits::arity, traits::required, args, nargs, kwnames, slots.data())) {
        result = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return Impl(reinterpret_cast<typename traits::self_type*>(self),
                        std::tuple_element_t<I, typename traits::args>(slots[I])...);
        }(std::make_index_sequence<traits::arity>{});
    }
    if (result == nullptr) add_traceback(Qualname.value);
    return result;
}

// The docstring of the method: `doc` behind a text signature made from the parameter names, so that
// inspect.signature and help() show the parameters while __doc__ stays `doc` (the interpreter strips the
// signature from it; a method without a docstring keeps None). A docstring that starts with its own signature is
// kept as it is.
template <fixed_string Name, fixed_string Qualname, auto Impl, fixed_string... Params>
const char* signed_doc(const char* doc) {
    if (doc != nullptr && std::string_view(doc).find(")\n--\n\n") != std::string_view::npos) return doc;
    static const std::string text = [doc] {
        using traits = detail::method_traits<decltype(Impl)>;
        constexpr const char* names[] = {"", Params.value...};
        std::string sig = std::string(Name.value) + "($self";
        for (std::size_t i = 1; i <= sizeof...(Params); ++i) {
            sig += ", ";
            sig += names[i];
            if (i > traits::required) sig += "=None";
        }
        return sig + ")\n--\n\n" + (doc ? doc : "");
    }();
    return text.c_str();
}

template <class F>
constexpr PyCFunction as_pycfunction(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace vrex

// One method table entry: Python name, implementation, docstring, parameter names. Its errors get the traceback
// entry VREX_QUALIFIER "." name: a source defines VREX_QUALIFIER once, as the name of the type (or module) whose
// table follows, and names that type with it too, so the qualified names are never typed out.
#define VREX_METHOD(name, impl, doc, ...) \
    VREX_METHOD_AS(name, VREX_QUALIFIER "." name, impl, doc __VA_OPT__(, ) __VA_ARGS__)

// The same entry with a traceback name of its own (Device's class-private __setLogger is named as its attribute).
#define VREX_METHOD_AS(name, qualname, impl, doc, ...)                                                        \
    PyMethodDef {                                                                                             \
        name, ::vrex::as_pycfunction(&::vrex::fastcall<name, qualname, impl __VA_OPT__(, ) __VA_ARGS__>), \
            METH_FASTCALL | METH_KEYWORDS,                                                                    \
            ::vrex::signed_doc<name, qualname, impl __VA_OPT__(, ) __VA_ARGS__>(doc)                           \
    }
