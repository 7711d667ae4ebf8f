// Instance layouts that several modules must agree on: the context holder every module reads, the chip whose
// selected mode acquisition reads, and the acquisition and monitor objects whose holders Device.finalize
// releases.
#pragma once

#include "ref.hpp"

#include <string>
#include <unordered_map>

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
struct AcquisitionObject {
    PyObject ob_base;
    PyObject* context;
    PyRef* data_func_ref;  // holder of the most recently registered data callable, null before the first
    PyObject* chip;        // the __Chip of the same Device, or None
    ModeTable modeToCallback;
};

// vrexsdk.monitor.__Monitor
using CallbackMap = std::unordered_map<std::string, PyRef*>;
struct MonitorObject {
    PyObject ob_base;
    PyObject* context;
    CallbackMap onValueChanged;
    CallbackMap onAvailChanged;
};

}  // namespace vrex
