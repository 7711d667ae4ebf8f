// Shapes of SDK call that many methods share: the private count and identifier methods, the public identifier
// list built from them, and calling a method of `self` by name (so subclasses can replace it).
#pragma once

#include "module.hpp"

namespace vrex {

// self.<Name>(args...) through ordinary attribute lookup.
template <fixed_string Name, class... A>
Ref call_method(PyObject* self, A... args) {
    PyObject* const name = interned<Name>();
    if (name == nullptr) return Ref();
    PyObject* argv[] = {self, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(A), nullptr));
}

// The identifier-list family: count = self.<Count>(); [self.<Id>(i) for i in range(count)].
template <fixed_string Count, fixed_string Id>
PyObject* identifier_list(PyObject* self) {
    const Ref count = call_method<Count>(self);
    if (!count) return nullptr;
    const Py_ssize_t n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Ref index = Ref::steal(PyLong_FromSsize_t(i));
        if (!index) return nullptr;
        const Ref id = call_method<Id>(self, index.get());
        if (!id || PyList_Append(list.get(), id.get()) < 0) return nullptr;
    }
    return list.release();
}

// The status check of a method that waits before it raises (so a script retrying in a loop does not hammer the
// device): on a failing status, time.sleep(seconds) through the module global `time`, with the GIL released by
// the sleep, then the check. True when the caller goes on.
inline bool check_after_wait(int status, vrex_ctx_t* ctx, double seconds) {
    if (status >= 0) return true;
    const Ref time = global<"time">();
    if (!time) return false;
    PyObject* const sleep = interned<"sleep">();
    const Ref delay = Ref::steal(PyFloat_FromDouble(seconds));
    if (sleep == nullptr || !delay) return false;
    PyObject* const args[] = {time.get(), delay.get()};
    if (!Ref::steal(PyObject_VectorcallMethod(sleep, args, 2, nullptr))) return false;
    return check(status, ctx);
}

}  // namespace vrex
