// The status check: an SDK status that counts as failure becomes the exception class of vrexsdk.errors mapped
// to it, carrying the handle's last error text. Also the traceback entries and unraisable reports every module
// uses.
#pragma once

#include "gil.hpp"

#include <frameobject.h>

#include <cstring>
#include <iterator>
#include <string>

#include "vrex_sdk.h"

namespace vrex {

// The SDK statuses that raise, and the class of vrexsdk.errors each raises. Any other status raises nothing.
struct StatusClass {
    int status;
    const char* name;
};
inline constexpr StatusClass status_table[] = {
    {-1, "VrexSdkInternalException"}, {-2, "VrexSdkInvalidOperationError"}, {-3, "VrexSdkInvalidArgumentError"},
    {-4, "VrexSdkNoMemoryException"}, {-5, "VrexSdkPointerException"},      {102, "VrexSdkAxiException"},
    {103, "VrexSdkAxiException"},
};
inline constexpr std::size_t status_count = std::size(status_table);

// The classes of the table's rows, imported from vrexsdk.errors at module initialisation (import_siblings in
// module.hpp). Written once, at the single initialisation a module allows, and only read afterwards.
struct ErrorClasses {
    PyObject* by_row[status_count] = {};
    PyObject* internal = nullptr;           // -1, also used for the package's own internal failures
    PyObject* invalid_operation = nullptr;  // -2, also raised when an object has no SDK context
};

inline ErrorClasses& error_classes() noexcept {
    static ErrorClasses classes;
    return classes;
}

inline PyObject* mapped_class(int code) noexcept {
    for (std::size_t i = 0; i < status_count; ++i)
        if (status_table[i].status == code) return error_classes().by_row[i];
    return nullptr;
}

// TypeError "Cannot convert <type of value> to <expected>", the interpreter's message for an object of the wrong
// type stored in a typed field.
inline void raise_cannot_convert(PyObject* value, PyTypeObject* expected) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name, expected->tp_name);
}

// A field that takes None or an instance of `expected` (or of a subclass): true when `value` is one.
inline bool none_or_instance(PyObject* value, PyTypeObject* expected) {
    if (value == Py_None || PyObject_TypeCheck(value, expected)) return true;
    raise_cannot_convert(value, expected);
    return false;
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

// ---- the pending exception, saved and restored ------------------------------------------------------------

// The exception pending on this thread, taken out of the thread state and owned here until it is restored (or
// dropped, which needs the GIL). Python 3.12 keeps one exception object where older versions keep three
// references; only this class knows.
class SavedError {
public:
    SavedError() noexcept = default;
    SavedError(SavedError&& other) noexcept { swap(other); }
    SavedError& operator=(SavedError&& other) noexcept {
        SavedError(std::move(other)).swap(*this);
        return *this;
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() { clear(); }

    // Takes the pending exception, if any; none is pending afterwards.
    static SavedError fetch() noexcept {
        SavedError e;
#if PY_VERSION_HEX >= 0x030C0000
        e.exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&e.type_, &e.value_, &e.tb_);
#endif
        return e;
    }

    // Makes the saved exception pending again (replacing any pending one); does nothing when empty.
    void restore() noexcept {
        if (!*this) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(std::exchange(exc_, nullptr));
#else
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(tb_, nullptr));
#endif
    }

    explicit operator bool() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        return exc_ != nullptr;
#else
        return type_ != nullptr;
#endif
    }

private:
    void swap(SavedError& other) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        std::swap(exc_, other.exc_);
#else
        std::swap(type_, other.type_);
        std::swap(value_, other.value_);
        std::swap(tb_, other.tb_);
#endif
    }
    void clear() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        Py_CLEAR(exc_);
#else
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(tb_);
#endif
    }

#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_ = nullptr;
#else
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
};

// Keeps an exception already pending out of a scope: saved on entry, pending again on exit. Code inside must
// clear or report its own errors before the scope ends.
class ErrorScope {
public:
    ErrorScope() noexcept : saved_(SavedError::fetch()) {}
    ~ErrorScope() { saved_.restore(); }
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;

private:
    SavedError saved_;
};

// Adds a traceback entry `qualname` (for example "vrexsdk.vrex.Device.open") to the pending exception.
inline void add_traceback(const char* qualname) {
    SavedError pending = SavedError::fetch();
    // The file is the module's source: "vrexsdk.chip.__Chip.x" -> "vrexsdk/chip.cpp".
    std::string file = qualname;
    const auto first = file.find('.');
    const auto second = first == std::string::npos ? std::string::npos : file.find('.', first + 1);
    file = file.substr(0, second);
    if (first != std::string::npos) file[first] = '/';
    file += ".cpp";
    const Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file.c_str(), qualname, 1)));
    const Ref globals = code ? Ref::steal(PyDict_New()) : Ref();
    const Ref frame =
        globals ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                      PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)))
                : Ref();
    // Could not build the entry: keep the original error rather than the one from building it.
    if (!frame) PyErr_Clear();
    pending.restore();
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// Reports the pending exception through sys.unraisablehook as "Exception ignored in: 'where'" and clears it.
inline void report_unraisable(const char* where) {
    SavedError pending = SavedError::fetch();
    const Ref name = Ref::steal(PyUnicode_FromString(where));
    PyErr_Clear();
    pending.restore();
    PyErr_WriteUnraisable(name.get());
}

}  // namespace vrex
