// The status check: an SDK status that counts as failure becomes the exception class of vrexsdk.errors mapped
// to it, carrying the handle's last error text. Also the traceback entries and unraisable reports every module
// uses.
#pragma once

#include "gil.hpp"

#include <frameobject.h>

#include <cstring>
#include <string>

#include "vrex_sdk.h"

namespace vrex {

// The six classes, imported from vrexsdk.errors at module initialisation (import_siblings in module.hpp).
// Written once, at the single initialisation a module allows, and only read afterwards.
struct ErrorClasses {
    PyObject* internal = nullptr;           // -1
    PyObject* invalid_operation = nullptr;  // -2
    PyObject* invalid_argument = nullptr;   // -3
    PyObject* no_memory = nullptr;          // -4
    PyObject* pointer = nullptr;            // -5
    PyObject* axi = nullptr;                // 102, 103
};

inline ErrorClasses& error_classes() noexcept {
    static ErrorClasses classes;
    return classes;
}

inline PyObject* mapped_class(int code) noexcept {
    const ErrorClasses& c = error_classes();
    switch (code) {
        case -1: return c.internal;
        case -2: return c.invalid_operation;
        case -3: return c.invalid_argument;
        case -4: return c.no_memory;
        case -5: return c.pointer;
        case 102:
        case 103: return c.axi;
        default: return nullptr;
    }
}

// UTF-8 text of the SDK as str; a null pointer or an empty C string gives "".
inline PyObject* decode_utf8(const char* text) {
    if (text == nullptr) text = "";
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
}

inline PyObject* decode_ascii(const char* text) {
    if (text == nullptr) text = "";
    return PyUnicode_DecodeASCII(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
}

// Raises the class mapped to `code` with `msg` (UTF-8) and returns -1; for a code outside the table returns 0
// and raises nothing. Callable with or without the GIL; never reads through a null message.
inline int __throw(int code, const char* msg) {
    PyObject* const cls = mapped_class(code);
    if (cls == nullptr) return 0;
    const PyGILState_STATE gil = PyGILState_Ensure();
    if (const Ref text = Ref::steal(decode_utf8(msg))) {
        if (const Ref exc = Ref::steal(PyObject_CallOneArg(cls, text.get()))) {
            if (PyExceptionInstance_Check(exc.get()))
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
            else
                PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        }
    }
    PyGILState_Release(gil);
    return -1;
}

// The status check after one SDK call, with the GIL held. Returns true when the caller goes on: the call
// succeeded, or it failed with a status the table does not map. Returns false with the exception set.
template <class Handle>
bool check_status(int status, Handle* handle, int (*last_error)(Handle*, const char**), bool axi = false) {
    const bool failed = status < 0 || (axi && (status == 102 || status == 103));
    if (!failed) return true;
    const char* message = "";
    last_error(handle, &message);
    return __throw(status, message) == 0;
}

inline bool check(int status, vrex_ctx_t* ctx) { return check_status(status, ctx, vrex_ctx_get_last_error); }
inline bool check_axi(int status, vrex_ctx_t* ctx) {
    return check_status(status, ctx, vrex_ctx_get_last_error, true);
}
inline bool check(int status, vrex_enum_t* e) { return check_status(status, e, vrex_enum_get_last_error); }
inline bool check(int status, vrex_acq_t* acq) { return check_status(status, acq, vrex_acq_get_last_error); }

// Adds a traceback entry `qualname` (for example "vrexsdk.vrex.Device.open") to the pending exception.
inline void add_traceback(const char* qualname) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    // The file is the module's source: "vrexsdk.chip.__Chip.x" -> "vrexsdk/chip.cpp".
    std::string file = qualname;
    const auto first = file.find('.');
    const auto second = first == std::string::npos ? std::string::npos : file.find('.', first + 1);
    file = file.substr(0, second);
    if (first != std::string::npos) file[first] = '/';
    file += ".cpp";
    PyCodeObject* code = PyCode_NewEmpty(file.c_str(), qualname, 1);
    PyObject* globals = code ? PyDict_New() : nullptr;
    PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    if (frame == nullptr) {
        // Could not build the entry: keep the original error rather than the one from building it.
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
    } else {
        PyErr_Restore(type, value, tb);
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(reinterpret_cast<PyObject*>(frame));
    Py_XDECREF(globals);
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

// Reports the pending exception through sys.unraisablehook as "Exception ignored in: 'where'" and clears it.
inline void report_unraisable(const char* where) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* const name = PyUnicode_FromString(where);
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    PyErr_WriteUnraisable(name);
    Py_XDECREF(name);
}

}  // namespace vrex
