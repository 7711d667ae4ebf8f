// Owning references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

// Python 3.9 lacks a few helpers of 3.10.
#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* o) {
    Py_INCREF(o);
    return o;
}
static inline PyObject* Py_XNewRef(PyObject* o) {
    Py_XINCREF(o);
    return o;
}
static inline int PyModule_AddObjectRef(PyObject* module, const char* name, PyObject* value) {
    Py_XINCREF(value);
    const int rc = PyModule_AddObject(module, name, value);
    if (rc < 0) Py_XDECREF(value);
    return rc;
}
#endif

namespace vrex {

// An owned reference. Every call site says whether it takes a new reference (steal) or adds one (borrow).
// Destroying a non-empty Ref needs the GIL.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference on to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// A heap-allocated holder through which native structures keep a Python object alive. Whoever deletes it
// releases the object (the GIL must be held then). A holder may carry a release hook, called just before the
// reference is dropped, so a module learns that the object it handed to the SDK is no longer held; copies
// never carry the hook, so it runs once per registration.
class PyRef {
public:
    using ReleaseHook = void (*)(PyObject*);

    PyRef() noexcept = default;
    explicit PyRef(PyObject* o, ReleaseHook hook = nullptr) noexcept : obj(o), hook_(hook) { Py_XINCREF(obj); }
    PyRef(const PyRef& other) noexcept : obj(other.obj) { Py_XINCREF(obj); }
    PyRef(PyRef&& other) noexcept
        : obj(std::exchange(other.obj, nullptr)), hook_(std::exchange(other.hook_, nullptr)) {}
    PyRef& operator=(const PyRef&) = delete;
    PyRef& operator=(PyRef&&) = delete;
    ~PyRef() {
        if (hook_ != nullptr && obj != nullptr) hook_(obj);
        Py_XDECREF(obj);
    }

    PyObject* get() const noexcept { return obj; }

private:
    PyObject* obj = nullptr;
    ReleaseHook hook_ = nullptr;
};

}  // namespace vrex
