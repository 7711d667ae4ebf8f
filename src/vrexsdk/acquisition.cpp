// vrexsdk.acquisition: __Acquisition (construction only, for now).
#include <memory>
#include <new>

#include "support/calls.hpp"

#include <numpy/arrayobject.h>

namespace {

using vrex::AcquisitionObject;
using vrex::Ref;

PyObject* acquisition_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"ctx", "chip", nullptr};
    PyObject* slots[2] = {};
    if (!vrex::parse_tuple("__cinit__", names, 2, 2, args, kwargs, slots)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* a = reinterpret_cast<AcquisitionObject*>(self.get());
    new (&a->modeToCallback) vrex::ModeTable();
    a->context = Py_NewRef(Py_None);
    a->chip = Py_NewRef(Py_None);
    if (!vrex::store_context(a->context, slots[0])) return nullptr;
    Py_XSETREF(a->chip, Py_NewRef(slots[1]));
    return self.release();
}

int acquisition_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* a = reinterpret_cast<AcquisitionObject*>(self);
    Py_VISIT(a->context);
    Py_VISIT(a->chip);
    return 0;
}

int acquisition_clear(PyObject* self) {
    auto* a = reinterpret_cast<AcquisitionObject*>(self);
    Py_XSETREF(a->context, Py_NewRef(Py_None));
    Py_XSETREF(a->chip, Py_NewRef(Py_None));
    return 0;
}

void acquisition_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* a = reinterpret_cast<AcquisitionObject*>(self);
    std::destroy_at(&a->modeToCallback);
    Py_CLEAR(a->context);
    Py_CLEAR(a->chip);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef acquisition_methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

vrex::ServiceSpec<AcquisitionObject> acquisition_spec("vrexsdk.acquisition.__Acquisition",
                                                      VREX_SERVICE_DOC("Acquisition object."), acquisition_methods,
                                                      acquisition_new, acquisition_traverse, acquisition_clear,
                                                      acquisition_dealloc);

int exec_acquisition(PyObject* module) {
    if (!vrex::first_initialisation("acquisition")) return -1;
    if (!vrex::publish_type(module, acquisition_spec.spec)) return -1;
    if (!vrex::import_siblings(module)) return -1;
    if (!Ref::steal(vrex::import_type("vrexsdk.chip", "__Chip", sizeof(vrex::ChipObject)))) return -1;
    if (!vrex::bind_import(module, "time", "time")) return -1;
    if (!vrex::bind_import(module, "np", "numpy")) return -1;
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    return vrex::open_callback_gate() ? 0 : -1;
}

}  // namespace

VREX_MODULE(acquisition, "Acquisition channels, control and delivery of measured data.", exec_acquisition)
