// vrexsdk.monitor: __Monitor, the monitoring service of a Device. Its two maps hold the callables registered
// for value and availability changes; Device.finalize releases them.
#include "support/module.hpp"

#include <memory>
#include <new>

namespace {

using vrex::MonitorObject;
using vrex::Ref;

PyObject* monitor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"ctx", nullptr};
    PyObject* ctx = nullptr;
    if (!vrex::parse_tuple("__cinit__", names, 1, 1, args, kwargs, &ctx)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* m = reinterpret_cast<MonitorObject*>(self.get());
    new (&m->onValueChanged) vrex::CallbackMap();
    new (&m->onAvailChanged) vrex::CallbackMap();
    m->context = Py_NewRef(Py_None);
    if (!vrex::store_context(m->context, ctx)) return nullptr;
    return self.release();
}

void monitor_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* m = reinterpret_cast<MonitorObject*>(self);
    Py_CLEAR(m->context);
    // The holders themselves are released by Device.finalize only; the maps go with the object.
    std::destroy_at(&m->onValueChanged);
    std::destroy_at(&m->onAvailChanged);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef monitor_methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

vrex::ServiceSpec<MonitorObject> monitor_spec("vrexsdk.monitor.__Monitor", VREX_SERVICE_DOC("Monitor object."),
                                              monitor_methods, monitor_new, vrex::service_traverse,
                                              vrex::service_clear, monitor_dealloc);

int exec_monitor(PyObject* module) {
    if (!vrex::first_initialisation("monitor")) return -1;
    if (!vrex::publish_type(module, monitor_spec.spec)) return -1;
    return vrex::import_siblings(module) ? 0 : -1;
}

}  // namespace

VREX_MODULE(monitor, "Monitoring service of a Device.", exec_monitor)
