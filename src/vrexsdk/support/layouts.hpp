// Instance layouts that several modules must agree on: the context holder every module reads, the chip whose
// selected mode acquisition reads, and the acquisition and monitor objects whose holders Device.finalize
// releases.
#pragma once

#include "ref.hpp"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vrex_sdk.h"

namespace vrex {

// vrexsdk.context._Context
struct ContextObject {
    PyObject ob_base;
    vrex_ctx_t* c_vrexCtx;
};

// Every service wrapper starts with its context (a _Context or None).
struct ServiceObject {
    PyObject ob_base;
    PyObject* context;
};

// vrexsdk.chip.__Chip
inline constexpr std::size_t mode_field_size = 30;
struct ChipObject {
    PyObject ob_base;
    PyObject* context;
    // Identifier of the last successfully selected mode, NUL-terminated UTF-8, all zero before any selection.
    char mode[mode_field_size];
};

// vrexsdk.acquisition.__Acquisition
using ModeTable = std::unordered_map<std::string, vrex_acq_data_func>;

// The data-callable holders an __Acquisition owns. `registered` has, per channel, the holder whose registration
// the SDK accepted last there; `replaced` the holders a later registration replaced while an acquisition on
// their channel might still deliver to them. data_func_ref points to the newest holder: one of `registered`, or
// one owned by data_func_ref alone when its registration failed; null when the newest registration (the native
// stages') holds no callable.
struct DataHolders {
    std::unordered_map<std::string, PyRef*> registered;
    std::vector<std::pair<std::string, PyRef*>> replaced;
};

struct AcquisitionObject {
    PyObject ob_base;
    PyObject* context;
    PyRef* data_func_ref;  // holder of the most recently registered data callable, null before the first
    PyObject* chip;        // the __Chip of the same Device, or None
    ModeTable modeToCallback;
    DataHolders dataHolders;
};

// Deletes every data-callable holder of `a` (Device.finalize). All are detached first (swaps, which allocate
// nothing), so the callables' own clean-up, which may run Python code, finds nothing left to delete twice.
inline void release_data_holders(AcquisitionObject* a) noexcept {
    PyRef* const newest = std::exchange(a->data_func_ref, nullptr);
    decltype(DataHolders::registered) registered;
    decltype(DataHolders::replaced) replaced;
    registered.swap(a->dataHolders.registered);
    replaced.swap(a->dataHolders.replaced);
    bool newest_registered = false;
    for (const auto& entry : registered) newest_registered = newest_registered || entry.second == newest;
    for (const auto& entry : registered) delete entry.second;
    for (const auto& entry : replaced) delete entry.second;
    if (!newest_registered) delete newest;
}

// vrexsdk.monitor.__Monitor
using CallbackMap = std::unordered_map<std::string, PyRef*>;
struct MonitorObject {
    PyObject ob_base;
    PyObject* context;
    CallbackMap onValueChanged;
    CallbackMap onAvailChanged;
};

}  // namespace vrex
