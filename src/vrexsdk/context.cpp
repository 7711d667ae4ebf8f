// vrexsdk.context: _Context, the holder of one SDK context. Every wrapper of a Device keeps a reference to the
// same _Context; the SDK context is released when the last of them goes.
#include "support/module.hpp"

namespace {

using vrex::ContextObject;
using vrex::Ref;

PyObject* context_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* unused = nullptr;
    if (!vrex::parse_tuple("__cinit__", nullptr, 0, 0, args, kwargs, &unused)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    vrex_ctx_t* handle = nullptr;
    const int status = vrex::nogil([&] { return vrex_ctx_create(&handle); });
    if (status < 0 || handle == nullptr) {
        PyObject* cls = vrex::error_classes().internal;
        PyErr_Format(cls ? cls : PyExc_RuntimeError, "Could not create an SDK context (status %d)", status);
        return nullptr;
    }
    reinterpret_cast<ContextObject*>(self.get())->c_vrexCtx = handle;
    return self.release();
}

void context_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    vrex_ctx_t* const handle = reinterpret_cast<ContextObject*>(self)->c_vrexCtx;
    // Once the interpreter exits, a callback may be parked for good on an SDK thread that destroying the context
    // would join; the process is ending, so the context is left to it. Devices were closed before the exit began.
    if (handle != nullptr && !vrex::exiting()) {
        reinterpret_cast<ContextObject*>(self)->c_vrexCtx = nullptr;
        // Destroying the context joins the SDK's threads, whose callbacks may be waiting for the GIL.
        vrex::nogil([&] { return vrex_ctx_destroy(handle); });
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// The package's exit gate (see support/gil.hpp); the other modules reach it through a capsule.
vrex::CallbackGate gate;

PyMethodDef context_methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

PyType_Slot context_slots[] = {
    {Py_tp_doc, const_cast<char*>("\n    SDK context holder.\n    Created by :obj:`~vrexsdk.vrex.Device`.\n    ")},
    {Py_tp_new, reinterpret_cast<void*>(context_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(context_dealloc)},
    {Py_tp_methods, context_methods},
    {0, nullptr}};

PyType_Spec context_spec = {"vrexsdk.context._Context", sizeof(ContextObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, context_slots};

int exec_context(PyObject* module) {
    if (!vrex::first_initialisation("context")) return -1;
    if (!vrex::publish_type(module, context_spec)) return -1;
    if (!vrex::create_callback_gate(module, gate)) return -1;
    const Ref errors = Ref::steal(PyImport_ImportModule("vrexsdk.errors"));
    if (!errors) return -1;
    vrex::error_classes().internal = PyObject_GetAttrString(errors.get(), "VrexSdkInternalException");
    if (vrex::error_classes().internal == nullptr) return -1;
    return PyModule_AddObjectRef(module, "errors", errors.get());
}

}  // namespace

VREX_MODULE(context, "Holder of the SDK context shared by the wrappers of a Device.", exec_context)
