// Callables handed to the SDK as user pointers. The SDK may call back with such a pointer at any time after
// registration, also after Device.finalize() (or a later registration) has released the holder that kept the
// callable alive, when the pointer may name a freed object. So each module counts, per callable, the holders
// that keep it, and a callback calls only a callable still counted. `Tag` makes one table per use; every table
// is touched with the GIL held only.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <new>
#include <unordered_map>

namespace vrex {

template <class Tag>
struct LiveCallables {
    // A new holder of `func`, counted until it is deleted (null with MemoryError set).
    static PyRef* hold(PyObject* func) {
        auto* holder = new (std::nothrow) PyRef(func, release);
        if (holder == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
        ++table()[func];
        return holder;
    }

    static bool live(PyObject* func) { return table().count(func) != 0; }

private:
    static std::unordered_map<PyObject*, std::size_t>& table() {
        static auto* counts = new std::unordered_map<PyObject*, std::size_t>();  // never destroyed: read by callbacks
        return *counts;
    }
    static void release(PyObject* func) {
        auto& counts = table();
        const auto it = counts.find(func);
        if (it != counts.end() && --it->second == 0) counts.erase(it);
    }
};

}  // namespace vrex
