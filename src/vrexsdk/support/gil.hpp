// The GIL, both ways: methods release it around SDK calls; SDK callbacks on any thread take it.
//
// Callbacks arrive on threads the SDK owns. Taking the GIL there with a bare PyGILState_Ensure would create and
// destroy a thread state per callback (microseconds each, and any exception pending on it is lost), so a thread
// unknown to Python gets one thread state of its own on its first callback, kept until the thread ends.
//
// Nothing may touch Python once the interpreter is finalizing: a thread that asks for the GIL then is
// terminated or hung by the interpreter. Each module therefore keeps a gate, closed by an atexit handler
// before finalization begins; the handler also waits, with the GIL released, for callbacks already inside. A
// callback that meets a closed gate does its SDK work but calls no Python.
#pragma once

#include "ref.hpp"

#include <atomic>
#include <chrono>
#include <thread>

namespace vrex {

// Releases the GIL for one SDK call. The caller holds it on entry; it is held again on exit.
class GilRelease {
public:
    GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(saved_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* saved_;
};

// Runs `call` (one SDK call) with the GIL released and returns its result.
template <class Call>
auto nogil(Call&& call) {
    GilRelease released;
    return call();
}

inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

inline PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// The gate of this module (each extension module has its own copy of this header's state).
struct CallbackGate {
    std::atomic<long> inside{0};
    std::atomic<bool> closed{true};  // opened by open_callback_gate() at module initialisation
    PyInterpreterState* interp = nullptr;
};

inline CallbackGate& callback_gate() noexcept {
    static CallbackGate gate;
    return gate;
}

// Thread state created for an SDK thread, deleted when that thread ends, if Python is still there.
class SdkThreadState {
public:
    PyThreadState* get(PyInterpreterState* interp) {
        if (state_ == nullptr) state_ = PyThreadState_New(interp);
        return state_;
    }
    ~SdkThreadState() {
        if (state_ == nullptr) return;
        CallbackGate& gate = callback_gate();
        gate.inside.fetch_add(1);
        if (!gate.closed.load() && !interpreter_finalizing()) {
            PyEval_RestoreThread(state_);
            PyThreadState_Clear(state_);
            PyThreadState_DeleteCurrent();
        }
        // Otherwise the interpreter reclaims (or has reclaimed) it; it is not touched again.
        gate.inside.fetch_sub(1);
    }

private:
    PyThreadState* state_ = nullptr;
};

// Holds the GIL in a C callback on any thread: an SDK thread, a Python thread inside an SDK call with the GIL
// released, or one that already holds it (then this is a no-op). `held()` is false when the gate is closed;
// the callback must then not touch Python.
class CallbackGil {
public:
    CallbackGil() noexcept {
        CallbackGate& gate = callback_gate();
        gate.inside.fetch_add(1);
        if (gate.closed.load() || interpreter_finalizing()) {
            gate.inside.fetch_sub(1);
            return;
        }
        PyThreadState* state = PyGILState_GetThisThreadState();
        if (state == nullptr) {
            static thread_local SdkThreadState own;
            state = own.get(gate.interp);
            if (state == nullptr) {  // out of memory: behave as if Python were gone
                gate.inside.fetch_sub(1);
                return;
            }
        }
        if (current_thread_state() == state) {
            nested_ = true;
        } else {
            PyEval_RestoreThread(state);
        }
        held_ = true;
    }
    ~CallbackGil() {
        if (!held_) return;
        if (!nested_) PyEval_SaveThread();
        callback_gate().inside.fetch_sub(1);
    }
    CallbackGil(const CallbackGil&) = delete;
    CallbackGil& operator=(const CallbackGil&) = delete;

    bool held() const noexcept { return held_; }

private:
    bool held_ = false;
    bool nested_ = false;
};

namespace detail {
// atexit handler: closes the gate, then lets the callbacks already inside finish. A callback blocked for good
// (a callable waiting on the main thread, say) is given a few seconds, not forever.
inline PyObject* close_callback_gate(PyObject*, PyObject*) {
    CallbackGate& gate = callback_gate();
    gate.closed.store(true);
    Py_BEGIN_ALLOW_THREADS;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (gate.inside.load() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}
}  // namespace detail

// Opens this module's gate and registers its closing with atexit. Call once, at module initialisation.
inline bool open_callback_gate() {
    static PyMethodDef def = {"_close_callback_gate", detail::close_callback_gate, METH_NOARGS, nullptr};
    const Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    const Ref closer = Ref::steal(PyCFunction_New(&def, nullptr));
    if (!closer) return false;
    const Ref done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", closer.get()));
    if (!done) return false;
    CallbackGate& gate = callback_gate();
    gate.interp = PyInterpreterState_Get();
    gate.closed.store(false);
    return true;
}

}  // namespace vrex
