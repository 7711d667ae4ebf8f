// Argument conversions, raising the interpreter's usual messages. Each returns false with the exception set.
#pragma once

#include "ref.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace vrex {

// The integer an argument stands for: an int as it is; any other object through its __int__ (so a float
// truncates toward zero). __index__ alone does not count.
inline Ref integer_of(PyObject* o) {
    if (PyLong_Check(o)) return Ref::borrow(o);
    PyNumberMethods* const nb = Py_TYPE(o)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    Ref result = Ref::steal(nb->nb_int(o));
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
        return Ref();
    }
    return result;
}

// C int: out of range (either sign) is "value too large to convert to int".
inline bool to_int(PyObject* o, int& out) {
    const Ref value = integer_of(o);
    if (!value) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

namespace detail {
inline bool to_unsigned(PyObject* o, unsigned long long max, const char* ctype, unsigned long long& out) {
    const Ref value = integer_of(o);
    if (!value) return false;
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (small == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && small < 0)) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", ctype);
        return false;
    }
    unsigned long long v = static_cast<unsigned long long>(small);
    if (overflow > 0) {
        v = PyLong_AsUnsignedLongLong(value.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            // Beyond 64 bits: the interpreter's own message for uint64_t, ours for narrower types.
            if (max != std::numeric_limits<unsigned long long>::max() &&
                PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", ctype);
            }
            return false;
        }
    }
    if (v > max) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", ctype);
        return false;
    }
    out = v;
    return true;
}
}  // namespace detail

inline bool to_uint32(PyObject* o, std::uint32_t& out) {
    unsigned long long v = 0;
    if (!detail::to_unsigned(o, std::numeric_limits<std::uint32_t>::max(), "uint32_t", v)) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

inline bool to_uint64(PyObject* o, std::uint64_t& out) {
    unsigned long long v = 0;
    if (!detail::to_unsigned(o, std::numeric_limits<std::uint64_t>::max(), "uint64_t", v)) return false;
    out = static_cast<std::uint64_t>(v);
    return true;
}

inline bool to_size_t(PyObject* o, std::size_t& out) {
    unsigned long long v = 0;
    if (!detail::to_unsigned(o, std::numeric_limits<std::size_t>::max(), "size_t", v)) return false;
    out = static_cast<std::size_t>(v);
    return true;
}

// Single precision: an exact float by its value, anything else through the interpreter's float conversion;
// then rounded to nearest, magnitudes beyond the single range becoming infinities.
inline bool to_float(PyObject* o, float& out) {
    const double d = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
    // Halfway between FLT_MAX and the next power of two rounds (to even) up to infinity; converting a double
    // at or beyond it to float is undefined in C++, so it is spelled out.
    constexpr double overflow_edge = 0x1.ffffffp127;
    if (std::isfinite(d) && std::fabs(d) >= overflow_edge)
        out = std::copysign(std::numeric_limits<float>::infinity(), static_cast<float>(d > 0 ? 1 : -1));
    else
        out = static_cast<float>(d);
    return true;
}

// An identifier or text argument as a NUL-terminated C string, kept alive (and, for a bytearray, locked
// against resizing) until the Text is destroyed, which needs the GIL.
class Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text() {
        if (view_.obj != nullptr) PyBuffer_Release(&view_);
    }

    const char* c_str() const noexcept { return data_; }
    Py_ssize_t size() const noexcept { return size_; }

    // `o.encode()` whose result must be exactly bytes.
    bool from_encode_exact_bytes(PyObject* o) {
        if (PyUnicode_CheckExact(o)) return from_utf8_of(o);  // the same strict UTF-8 as str.encode()
        return take(Ref::steal(PyObject_CallMethod(o, "encode", nullptr)), false);
    }
    // `o.encode(codec)` whose result may be bytes or bytearray.
    bool from_encode_buffer(PyObject* o, const char* codec) {
        const bool ascii = codec[0] == 'a';
        if (PyUnicode_CheckExact(o) && (!ascii || PyUnicode_IS_ASCII(o))) return from_utf8_of(o);
        return take(Ref::steal(PyObject_CallMethod(o, "encode", "s", codec)), true);
    }

private:
    bool from_utf8_of(PyObject* str) {
        data_ = PyUnicode_AsUTF8AndSize(str, &size_);
        if (data_ == nullptr) return false;
        owner_ = Ref::borrow(str);
        return true;
    }
    bool take(Ref encoded, bool bytearray_allowed) {
        if (!encoded) return false;
        PyObject* const e = encoded.get();
        if (PyBytes_CheckExact(e) || (bytearray_allowed && PyBytes_Check(e))) {
            data_ = PyBytes_AS_STRING(e);
            size_ = PyBytes_GET_SIZE(e);
            owner_ = std::move(encoded);
            return true;
        }
        if (bytearray_allowed && PyByteArray_Check(e)) {
            // The export keeps the buffer in place while the GIL is released around the SDK call.
            if (PyObject_GetBuffer(e, &view_, PyBUF_SIMPLE) < 0) return false;
            data_ = PyByteArray_AS_STRING(e);
            size_ = PyByteArray_GET_SIZE(e);
            owner_ = std::move(encoded);
            return true;
        }
        if (e == Py_None)
            PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        else if (bytearray_allowed)
            PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(e)->tp_name);
        else
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(e)->tp_name);
        return false;
    }

    Ref owner_;
    Py_buffer view_{};
    const char* data_ = "";
    Py_ssize_t size_ = 0;
};

}  // namespace vrex
