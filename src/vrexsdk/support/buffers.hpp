// A typed view of bytes over any buffer-protocol object: writable, one-dimensional, C-contiguous, unsigned 8-bit
// elements, refused with the interpreter's standard buffer messages. The view holds the object's buffer export
// for as long as it lives, so while the GIL is released around an SDK call that reads or writes the bytes, no
// other thread can resize or free them (a bytearray refuses to resize while exported).
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <cstring>

namespace vrex {

namespace detail {

// How a buffer element format reads in a dtype-mismatch message.
inline const char* describe_format(char code) noexcept {
    switch (code) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'n': return "'Py_ssize_t'";
        case 'N': return "'size_t'";
        case 'e': return "'half float'";
        case 'f': return "'float'";
        case 'd': return "'double'";
        case 'g': return "'long double'";
        case 'Z': return "a complex number";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's':
        case 'p': return "a string";
        case '\0': return "end";
        default: return "unparsable format string";
    }
}

// True when `format` (null meaning "B") is a single byte-sized element that a uint8_t view may read: the unsigned
// group ('B', '?') or a char ('c'), whose sign does not matter. Otherwise `got` describes what was found.
inline bool is_byte_format(const char* format, const char*& got) noexcept {
    if (format == nullptr) format = "B";
    // A byte order or alignment prefix does not change a one-byte element.
    if (*format != '\0' && std::strchr("@=<>!^", *format) != nullptr) ++format;
    const char code = *format;
    if ((code == 'B' || code == '?' || code == 'c') && format[1] == '\0') return true;
    got = describe_format(code);
    return false;
}

}  // namespace detail

class ByteView {
public:
    ByteView() = default;
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() { release(); }  // needs the GIL, like every buffer release

    // Takes the view over `o`; false with the exception set. Requesting a writable C-contiguous buffer lets the
    // exporter refuse a read-only or strided one with its own message (a memoryview's: "memoryview: underlying
    // buffer is not writable", "... is not C-contiguous"); the rest is checked here, in the order dimensions,
    // element format, element size.
    bool take(PyObject* o) {
        release();
        if (PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) < 0) {
            view_.obj = nullptr;
            return false;
        }
        held_ = true;
        if (view_.ndim != 1) {
            PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1,
                         view_.ndim);
            release();
            return false;
        }
        const char* got = nullptr;
        if (!detail::is_byte_format(view_.format, got)) {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", "uint8_t", "'",
                         got);
            release();
            return false;
        }
        if (view_.itemsize != 1) {
            PyErr_Format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                         view_.itemsize, view_.itemsize == 1 ? "" : "s", "uint8_t", Py_ssize_t{1}, "");
            release();
            return false;
        }
        // An exporter that ignores the contiguity request still must not hand out strided bytes as contiguous.
        if (view_.strides != nullptr && view_.shape != nullptr && view_.shape[0] > 1 && view_.strides[0] != 1) {
            PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
            release();
            return false;
        }
        return true;
    }

    Py_ssize_t size() const noexcept { return held_ ? (view_.shape ? view_.shape[0] : view_.len) : 0; }
    bool empty() const noexcept { return size() == 0; }

    // The address of element 0, as an element access does it: IndexError on an empty view.
    std::uint8_t* first() {
        if (empty()) {
            PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
            return nullptr;
        }
        return static_cast<std::uint8_t*>(view_.buf);
    }

    void release() noexcept {
        if (!held_) return;
        held_ = false;
        PyBuffer_Release(&view_);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace vrex
