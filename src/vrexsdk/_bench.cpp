// vrexsdk._bench: the floors the benchmarks in bench/ measure the package against (only built with the bundled
// simulator). Nothing else uses it.
#include "support/arrays.hpp"
#include "support/module.hpp"
#include "vrex_sim.hpp"

#include <chrono>
#include <vector>

namespace {

using vrex::Element;
using vrex::Optional;
using vrex::Ref;

// The least a binding method can cost: take one str, encode it as the binding does, release and retake the GIL
// around one SDK call that does nothing.
PyObject* bench_noop(PyObject*, PyObject* text) {
    vrex::Text encoded;
    if (!encoded.from_encode_exact_bytes(text)) return nullptr;
    vrex::nogil([&] { return vrex_sim_noop(nullptr, encoded.c_str()); });
    Py_RETURN_NONE;
}

// What one floor call passes: either the prebuilt object itself, or, for the wrapping floor, a recipe that builds
// it afresh (an array over the same memory, a dict or list of such).
struct Recipe {
    enum class Kind { Same, Array, Dict, List } kind = Kind::Same;
    PyObject* object = nullptr;  // Same: the object; Dict: the caller's dict; borrowed from the caller's args
    Element element = Element::U8;
    std::uint64_t count = 0;
    void* data = nullptr;
    std::vector<Recipe> items;
};

bool plan(PyObject* o, Recipe& r) {
    if (PyArray_Check(o)) {
        auto* const a = reinterpret_cast<PyArrayObject*>(o);
        r.kind = Recipe::Kind::Array;
        r.count = static_cast<std::uint64_t>(PyArray_SIZE(a));
        r.data = r.count ? PyArray_DATA(a) : nullptr;
        if (r.count == 0) return true;  // the empty array of an empty block
        const vrex::ArrayTypes& t = vrex::array_types();
        for (int e = 0; e < static_cast<int>(Element::Count); ++e)
            if (PyArray_EquivTypes(PyArray_DESCR(a), t.descr[e])) {
                r.element = static_cast<Element>(e);
                return true;
            }
        PyErr_SetString(PyExc_TypeError, "an array argument has no dtype of a delivery");
        return false;
    }
    if (PyDict_Check(o)) {
        r.kind = Recipe::Kind::Dict;
        r.object = o;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(o, &pos, &key, &value)) {
            Recipe item;
            if (!plan(value, item)) return false;
            r.items.push_back(std::move(item));
        }
        return true;
    }
    if (PyList_Check(o)) {
        r.kind = Recipe::Kind::List;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            Recipe item;
            if (!plan(PyList_GET_ITEM(o, i), item)) return false;
            r.items.push_back(std::move(item));
        }
        return true;
    }
    r.object = o;
    return true;
}

// A new reference built from the recipe, or null with the error set.
PyObject* build(const Recipe& r);

bool put_item(PyObject* dict, const Recipe& item, PyObject* key) {
    const Ref value = Ref::steal(build(item));
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

PyObject* build(const Recipe& r) {
    switch (r.kind) {
        case Recipe::Kind::Same: return Py_NewRef(r.object);
        case Recipe::Kind::Array: return vrex::wrap_buffer(r.element, r.count, r.data);
        case Recipe::Kind::List: {
            Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(r.items.size())));
            if (!list) return nullptr;
            for (std::size_t i = 0; i < r.items.size(); ++i) {
                PyObject* const item = build(r.items[i]);
                if (item == nullptr) return nullptr;
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
            }
            return list.release();
        }
        case Recipe::Kind::Dict: {
            Ref dict = Ref::steal(PyDict_New());
            if (!dict) return nullptr;
            // Keys come back in the caller's order: its dict is walked again alongside the recipes.
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            std::size_t i = 0;
            while (PyDict_Next(r.object, &pos, &key, &value))
                if (!put_item(dict.get(), r.items[i++], key)) return nullptr;
            return dict.release();
        }
    }
    return nullptr;
}

// On a thread of the SDK's own: calls func with the arguments `count` times and returns the seconds taken.
// `per_call` takes and releases the GIL around each call (keeping the thread state), as any delivery must;
// `wrap` rebuilds the arguments for each call from `recipes` (arrays over the same memory from dtypes made once).
PyObject* timed_calls(PyObject* func, PyObject* args, PyObject* count, bool per_call, bool wrap) {
    if (!PyTuple_Check(args)) {
        PyErr_SetString(PyExc_TypeError, "args must be a tuple");
        return nullptr;
    }
    const long long n = PyLong_AsLongLong(count);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<Recipe> recipes(static_cast<std::size_t>(nargs));
    if (wrap)
        for (Py_ssize_t i = 0; i < nargs; ++i)
            if (!plan(PyTuple_GET_ITEM(args, i), recipes[static_cast<std::size_t>(i)])) return nullptr;
    double seconds = 0.0;
    vrex::SavedError error;
    vrex::nogil([&] {
        vrexsim::run_on_sdk_thread([&] {
            const PyGILState_STATE gil = PyGILState_Ensure();
            PyThreadState* const state = PyThreadState_Get();
            bool failed = false;
            if (per_call) PyEval_SaveThread();
            const auto start = std::chrono::steady_clock::now();
            for (long long i = 0; i < n && !failed; ++i) {
                if (per_call) PyEval_RestoreThread(state);
                if (wrap) {
                    Ref built[8];
                    PyObject* argv[8];
                    for (Py_ssize_t k = 0; k < nargs && k < 8 && !failed; ++k) {
                        built[k] = Ref::steal(build(recipes[static_cast<std::size_t>(k)]));
                        failed = !built[k];
                        argv[k] = built[k].get();
                    }
                    if (!failed) failed = !Ref::steal(PyObject_Vectorcall(func, argv, static_cast<std::size_t>(nargs), nullptr));
                } else {
                    failed = !Ref::steal(
                        PyObject_Vectorcall(func, &PyTuple_GET_ITEM(args, 0), static_cast<std::size_t>(nargs), nullptr));
                }
                if (per_call && !failed) PyEval_SaveThread();
            }
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (per_call && !failed) PyEval_RestoreThread(state);
            if (failed) error = vrex::SavedError::fetch();
            PyGILState_Release(gil);
        });
        return 0;
    });
    if (error) {
        error.restore();
        return nullptr;
    }
    return PyFloat_FromDouble(seconds);
}

PyObject* bench_call_floor(PyObject*, PyObject* func, PyObject* args, PyObject* count, Optional gil_per_call) {
    const int per_call = gil_per_call.given() ? PyObject_IsTrue(gil_per_call.value) : 0;
    if (per_call < 0) return nullptr;
    return timed_calls(func, args, count, per_call == 1, false);
}

PyObject* bench_wrap_floor(PyObject*, PyObject* func, PyObject* args, PyObject* count) {
    if (PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 8) {
        PyErr_SetString(PyExc_ValueError, "at most 8 arguments");
        return nullptr;
    }
    return timed_calls(func, args, count, true, true);
}

#define VREX_QUALIFIER "vrexsdk._bench"

PyMethodDef functions[] = {
    VREX_METHOD("_noop", bench_noop,
                "_noop(text)\n--\n\nFloor of a method call: encode `text`, release the GIL around an SDK call that "
                "does nothing.",
                "text"),
    VREX_METHOD("_call_floor", bench_call_floor,
                "_call_floor(func, args, count, gil_per_call=False)\n--\n\nFloor of a delivery: on an SDK thread, "
                "hold the GIL and call func(*args) `count` times (with `gil_per_call`, take and release the GIL "
                "around each call, keeping the thread state); returns the seconds taken.",
                "func", "args", "count", "gil_per_call"),
    VREX_METHOD("_wrap_floor", bench_wrap_floor,
                "_wrap_floor(func, args, count)\n--\n\nFloor of a zero-copy delivery: on an SDK thread that takes "
                "the GIL per call (keeping its thread state), build arrays over the memory of the arrays in `args` "
                "(dtypes made once; dicts and lists rebuilt around them) and call func with them, `count` times; "
                "returns the seconds taken.",
                "func", "args", "count"),
    VREX_METHODS_END};

int exec_bench(PyObject* module) {
    if (!vrex::first_initialisation("_bench")) return -1;
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    if (!vrex::init_arrays()) return -1;
    // The floors release the GIL like any binding method, so they take part in the package's exit gate too.
    return vrex::import_gate() ? 0 : -1;
}

}  // namespace

VREX_MODULE(_bench, "Floors of the package's benchmarks (bench/).", exec_bench)
