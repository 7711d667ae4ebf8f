// Methods derived from the SDK prototype. Most methods are one SDK call of the shape
//
//     int vrex_x(vrex_ctx_t* ctx, In... inputs, Out*... outputs);
//
// and do the same things: convert each Python argument to its In (in order, every conversion before the SDK is
// called), find the context handle, preset every out-value (0, null), release the GIL around the one call, apply
// the status check, and convert the out-values (none: None; one: its value; several: a record looked up as a
// module global at call time and built positionally). `method<Self, Sdk, Result, Policy>` is that method, and
// `sdk<Sdk, Result, Policy>` the same for a service wrapper, so a module lists it in its table:
//
//     VREX_METHOD("getDacValue", (sdk<vrex_chip_dac_value_get>), doc, "dacId")
//
// (the parentheses keep the template's commas out of the macro).
// Policies cover the real differences only: how text is encoded and decoded (Policy), and how the out-values
// become Python objects (Result: Natural, AsBool, Record<"Name">, Tuple). Anything else (sleeps, composite calls,
// buffers, special reporting) is written by hand.
#pragma once

#include "module.hpp"

#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

namespace vrex {

// ---- policies --------------------------------------------------------------------------------------------------

// `x.encode()`, exactly bytes; SDK text decoded as strict UTF-8 (device, chip and the service modules).
struct ExactText {
    static bool encode(Text& t, PyObject* o) { return t.from_encode_exact_bytes(o); }
    static PyObject* decode(const char* s) { return decode_utf8(s); }
    static constexpr bool axi = false;
};
// `x.encode("utf-8")`, bytes or bytearray (acquisition, configuration).
struct Utf8Text {
    static bool encode(Text& t, PyObject* o) { return t.from_encode_buffer(o, "utf-8"); }
    static PyObject* decode(const char* s) { return decode_utf8(s); }
    static constexpr bool axi = false;
};
// `x.encode("ascii")`, bytes or bytearray; SDK text decoded as strict ASCII (vault).
struct AsciiText {
    static bool encode(Text& t, PyObject* o) { return t.from_encode_buffer(o, "ascii"); }
    static PyObject* decode(const char* s) { return decode_ascii(s); }
    static constexpr bool axi = false;
};
// The AXI family: statuses 102 and 103 fail too.
struct AxiStatus : ExactText {
    static constexpr bool axi = true;
};

// ---- conversions of one value ------------------------------------------------------------------------------

namespace detail {

// An out-parameter is a pointer to something writable (`int*`, `const char**`); `const char*` is an input.
template <class T>
inline constexpr bool is_output = std::is_pointer_v<T> && !std::is_const_v<std::remove_pointer_t<T>>;

// Storage of a converted input, and how the SDK is handed it.
template <class T>
struct Input {
    T value{};
    T get() const noexcept { return value; }
};
template <>
struct Input<const char*> {
    Text value;
    const char* get() const noexcept { return value.c_str(); }
};

template <class Policy, class T>
bool convert(PyObject* o, Input<T>& in) {
    if constexpr (std::is_same_v<T, const char*>) return Policy::encode(in.value, o);
    else if constexpr (std::is_same_v<T, int>) return to_int(o, in.value);
    else if constexpr (std::is_same_v<T, float>) return to_float(o, in.value);
    else if constexpr (std::is_same_v<T, std::uint32_t>) return to_uint32(o, in.value);
    else if constexpr (std::is_same_v<T, std::uint64_t>) return to_uint64(o, in.value);
    else static_assert(sizeof(T) == 0, "no converter for this SDK input type");
}

// One out-value as a new Python object.
template <class Policy, class T>
PyObject* to_python(const T& v) {
    if constexpr (std::is_same_v<T, const char*>) return Policy::decode(v);
    else if constexpr (std::is_same_v<T, float>) return PyFloat_FromDouble(static_cast<double>(v));
    else if constexpr (std::is_same_v<T, int>) return PyLong_FromLong(v);
    else if constexpr (std::is_unsigned_v<T>) return PyLong_FromUnsignedLongLong(v);
    else static_assert(sizeof(T) == 0, "no conversion for this SDK output type");
}

template <std::size_t>
using PyArg = PyObject*;

}  // namespace detail

// ---- results ---------------------------------------------------------------------------------------------------

// None for no out-value, the value itself for one.
struct Natural {
    template <class Policy, class... T>
    static PyObject* make(const T&... v) {
        static_assert(sizeof...(T) <= 1, "several out-values make a record");
        if constexpr (sizeof...(T) == 0) Py_RETURN_NONE;
        else return detail::to_python<Policy>(v...);
    }
};

// An int flag as a bool: true when non-zero (2 is true too).
struct AsBool {
    template <class Policy>
    static PyObject* make(const int& flag) {
        return PyBool_FromLong(flag != 0);
    }
};

// The module global `Name`, called with the out-values in order.
template <fixed_string Name>
struct Record {
    template <class Policy, class... T>
    static PyObject* make(const T&... v) {
        const Ref cls = global<Name>();
        if (!cls) return nullptr;
        const Ref items[] = {Ref::steal(detail::to_python<Policy>(v))...};
        PyObject* argv[sizeof...(T)];
        for (std::size_t i = 0; i < sizeof...(T); ++i) {
            if (!items[i]) return nullptr;
            argv[i] = items[i].get();
        }
        return PyObject_Vectorcall(cls.get(), argv, sizeof...(T), nullptr);
    }
};

// A plain tuple of the out-values in order (a pair of addresses, say).
struct Tuple {
    template <class Policy, class... T>
    static PyObject* make(const T&... v) {
        const Ref items[] = {Ref::steal(detail::to_python<Policy>(v))...};
        Ref tuple = Ref::steal(PyTuple_New(sizeof...(T)));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < sizeof...(T); ++i) {
            if (!items[i]) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items[i].get()));
        }
        return tuple.release();
    }
};

// ---- the method --------------------------------------------------------------------------------------------------

// The context of a wrapper; a type laid out otherwise (Device) provides its own context_of, found by ADL.
template <class Self>
    requires requires(Self* s) { s->context; }
PyObject* context_of(Self* self) {
    return self->context;
}

namespace detail {

template <class Self, auto Sdk, class Result, class Policy, class Sig = decltype(Sdk)>
struct Derived;

template <class Self, auto Sdk, class Result, class Policy, class... A>
struct Derived<Self, Sdk, Result, Policy, int (*)(vrex_ctx_t*, A...)> {
    static constexpr std::size_t inputs = (std::size_t{0} + ... + (is_output<A> ? 0 : 1));
    using all = std::tuple<A...>;
    template <std::size_t I>
    using arg = std::tuple_element_t<I, all>;

    // Every input comes before every output, as in every SDK prototype.
    static constexpr bool ordered = [] {
        constexpr bool output[] = {is_output<A>..., false};
        for (std::size_t i = 0; i + 1 < sizeof...(A); ++i)
            if (output[i] && !output[i + 1]) return false;
        return true;
    }();
    static_assert(ordered, "SDK inputs must precede its out-parameters");

    template <class In, class Out>
    struct Impl;
    template <std::size_t... I, std::size_t... O>
    struct Impl<std::index_sequence<I...>, std::index_sequence<O...>> {
        static PyObject* call(Self* self, PyArg<I>... args) {
            std::tuple<Input<arg<I>>...> in;
            // Left to right, stopping at the first failure.
            if (!(convert<Policy>(args, std::get<I>(in)) && ...)) return nullptr;
            vrex_ctx_t* const ctx = handle_of(context_of(self));
            if (ctx == nullptr) return nullptr;
            // Preset, so a failing status outside the table never leaves an out-value unset.
            std::tuple<std::remove_pointer_t<arg<inputs + O>>...> out{};
            const int status = nogil([&] { return Sdk(ctx, std::get<I>(in).get()..., &std::get<O>(out)...); });
            if (!check_status(status, ctx, vrex_ctx_get_last_error, Policy::axi)) return nullptr;
            return Result::template make<Policy>(std::get<O>(out)...);
        }
    };
    using type = Impl<std::make_index_sequence<inputs>, std::make_index_sequence<sizeof...(A) - inputs>>;
};

}  // namespace detail

template <class Self, auto Sdk, class Result = Natural, class Policy = ExactText>
inline constexpr auto method = &detail::Derived<Self, Sdk, Result, Policy>::type::call;

// The method of a service wrapper (every layout starting with ServiceObject's, as __Chip and __Monitor do): it
// reads nothing of `self` but the context.
template <auto Sdk, class Result = Natural, class Policy = ExactText>
inline constexpr auto sdk = method<ServiceObject, Sdk, Result, Policy>;

}  // namespace vrex
