// The GIL, both ways: methods release it around SDK calls; SDK callbacks on any thread take it.
//
// Callbacks arrive on threads the SDK owns. Taking the GIL there with a bare PyGILState_Ensure would create and
// destroy a thread state per callback (microseconds each, and any exception pending on it is lost), so a thread
// unknown to Python gets one thread state of its own on its first callback, kept until the thread ends.
//
// Nothing may take the GIL once the interpreter is finalizing: before 3.14 the thread is ended with
// pthread_exit, whose forced unwind aborts the process when it meets a noexcept frame (every destructor), and
// from 3.14 it hangs. The package therefore keeps one gate, owned by vrexsdk.context and shared with every
// module through a capsule, which an atexit handler closes before finalization begins; the handler then waits,
// with the GIL released, for the threads already taking or holding it. After that, a callback does its SDK work
// but calls no Python, and a daemon thread coming back from an SDK call parks for good instead of taking the GIL.
#pragma once

#include "ref.hpp"

#include <cxxabi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace vrex {

// Releases the GIL for one SDK call. The caller holds it on entry; it is held again on exit (or, for a daemon
// thread coming back while the interpreter exits, never: see the gate).
class GilRelease {
public:
    GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
    ~GilRelease();
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

// A blocking SDK call made on a helper thread, so that the calling thread can wait for it in slices (running the
// signal handlers between them, or giving up after a while). The call's status and the done flag are shared
// with the helper, which copies what it captures, so a helper that is detached uses nothing of the caller's.
// Wait with the GIL released; join or detach before the object goes (it detaches if neither was done).
class HelperThread {
public:
    // Starts `call`; throws std::system_error when no thread can be started.
    explicit HelperThread(std::function<int()> call) : shared_(std::make_shared<Shared>()) {
        thread_ = std::thread([shared = shared_, call = std::move(call)] {
            const int status = call();
            {
                const std::lock_guard lock(shared->mutex);
                shared->status = status;
                shared->done = true;
            }
            shared->cv.notify_all();
        });
    }
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;
    ~HelperThread() {
        if (thread_.joinable()) thread_.detach();
    }

    // True once the call has returned, waiting at most `timeout` for it.
    template <class Rep, class Period>
    bool wait_for(std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock lock(shared_->mutex);
        return shared_->cv.wait_for(lock, timeout, [&] { return shared_->done; });
    }
    bool done() {
        const std::lock_guard lock(shared_->mutex);
        return shared_->done;
    }
    // The call's status, once joined.
    int join() {
        thread_.join();
        return shared_->status;
    }
    void detach() { thread_.detach(); }

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        int status = 0;
    };
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

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

// The package's gate. Its storage is in vrexsdk.context; every module finds it at initialisation.
struct CallbackGate {
    std::atomic<long> inside{0};     // callbacks taking or holding the GIL
    std::atomic<long> restoring{0};  // methods taking the GIL back after an SDK call
    std::atomic<bool> closed{false};
    std::atomic<PyThreadState*> exiting{nullptr};  // the thread that runs the interpreter's exit
    PyInterpreterState* interp = nullptr;
};

inline constexpr const char gate_capsule[] = "vrexsdk.context._callback_gate";

// Written once, at the module's initialisation.
inline CallbackGate*& gate_slot() noexcept {
    static CallbackGate* gate = nullptr;
    return gate;
}

// Finds the package's gate (vrexsdk.context must be importable).
inline bool import_gate() {
    // PyCapsule_Import would import only the package, not the submodule.
    const Ref context = Ref::steal(PyImport_ImportModule("vrexsdk.context"));
    const Ref capsule = context ? Ref::steal(PyObject_GetAttrString(context.get(), "_callback_gate")) : Ref();
    if (!capsule) return false;
    auto* const gate = static_cast<CallbackGate*>(PyCapsule_GetPointer(capsule.get(), gate_capsule));
    if (gate == nullptr) return false;
    gate_slot() = gate;
    return true;
}

namespace detail {
[[noreturn]] inline void park_forever() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
}  // namespace detail

// True once the interpreter's exit has begun (the gate is closed): SDK calls that join the SDK's threads must not
// be made any more, since a thread may be parked for good inside a callback.
inline bool exiting() noexcept {
    const CallbackGate* const gate = gate_slot();
    return gate != nullptr && gate->closed.load();
}

// Runs `call`, a call into Python code that may release the GIL and take it back (a user's callable, a logging
// handler). Before 3.14 a thread that wants the GIL back while the interpreter finalizes is ended with a forced
// unwind, and every frame of ours it unwinds would run destructors without the GIL (dropping references,
// releasing the GIL it does not hold), which aborts the process. Such a thread parks here instead, holding
// nothing; the process is exiting and nothing joins it any more (see exiting()).
template <class Call>
decltype(auto) exit_safe(Call&& call) {
    try {
        return call();
    } catch (abi::__forced_unwind&) {
        detail::park_forever();
    }
}

inline GilRelease::~GilRelease() {
    CallbackGate* const gate = gate_slot();
    if (gate == nullptr) {
        PyEval_RestoreThread(saved_);
        return;
    }
    gate->restoring.fetch_add(1);
    if (gate->closed.load() && gate->exiting.load() != saved_) {
        gate->restoring.fetch_sub(1);
        detail::park_forever();
    }
    PyEval_RestoreThread(saved_);
    gate->restoring.fetch_sub(1);
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
        CallbackGate* const gate = gate_slot();
        if (gate == nullptr) return;
        gate->inside.fetch_add(1);
        if (!gate->closed.load() && !interpreter_finalizing()) {
            PyEval_RestoreThread(state_);
            PyThreadState_Clear(state_);
            PyThreadState_DeleteCurrent();
        }
        // Otherwise the interpreter reclaims (or has reclaimed) it; it is not touched again.
        gate->inside.fetch_sub(1);
    }

private:
    PyThreadState* state_ = nullptr;
};

// Holds the GIL in a C callback on any thread: an SDK thread, a Python thread inside an SDK call with the GIL
// released, or one that already holds it (then this is a no-op). `held()` is false when the gate is closed;
// the callback must then not touch Python.
class CallbackGil {
public:
    CallbackGil() noexcept : gate_(gate_slot()) {
        if (gate_ == nullptr) return;  // before the module's initialisation: Python is not ours to touch
        gate_->inside.fetch_add(1);
        if (gate_->closed.load() || interpreter_finalizing()) {
            gate_->inside.fetch_sub(1);
            return;
        }
        PyThreadState* state = PyGILState_GetThisThreadState();
        if (state == nullptr) {
            static thread_local SdkThreadState own;
            state = own.get(gate_->interp);
            if (state == nullptr) {  // out of memory: behave as if Python were gone
                gate_->inside.fetch_sub(1);
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
        gate_->inside.fetch_sub(1);
    }
    CallbackGil(const CallbackGil&) = delete;
    CallbackGil& operator=(const CallbackGil&) = delete;

    bool held() const noexcept { return held_; }

private:
    CallbackGate* const gate_;
    bool held_ = false;
    bool nested_ = false;
};

namespace detail {
// atexit handler: closes the gate, then lets the threads already taking or holding the GIL finish. One blocked
// for good (a callable waiting on the main thread, say) is given a few seconds, not forever.
inline PyObject* close_callback_gate(PyObject*, PyObject*) {
    CallbackGate* const gate = gate_slot();
    if (gate == nullptr) Py_RETURN_NONE;
    gate->exiting.store(PyThreadState_Get());
    gate->closed.store(true);
    Py_BEGIN_ALLOW_THREADS;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((gate->inside.load() > 0 || gate->restoring.load() > 0) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}
}  // namespace detail

// Creates the package's gate in `module` (vrexsdk.context, once per process): publishes it as a capsule and
// registers its closing with atexit.
inline bool create_callback_gate(PyObject* module, CallbackGate& gate) {
    static PyMethodDef def = {"_close_callback_gate", detail::close_callback_gate, METH_NOARGS, nullptr};
    gate.interp = PyInterpreterState_Get();
    const Ref capsule = Ref::steal(PyCapsule_New(&gate, gate_capsule, nullptr));
    if (!capsule || PyModule_AddObjectRef(module, "_callback_gate", capsule.get()) < 0) return false;
    const Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    const Ref closer = Ref::steal(PyCFunction_New(&def, nullptr));
    if (!closer) return false;
    if (!Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", closer.get()))) return false;
    gate_slot() = &gate;
    return true;
}

}  // namespace vrex
