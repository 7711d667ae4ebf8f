// vrexsdk.trigger: __Trigger, reached as an attribute of vrexsdk.vrex.Device. Trigger modes, shutter duration and software trigger.
#include "support/module.hpp"

namespace {

PyMethodDef methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

vrex::ServiceSpec<vrex::ServiceObject> spec("vrexsdk.trigger.__Trigger", VREX_SERVICE_DOC("Trigger object."), methods);

int exec_trigger(PyObject* module) {
    if (!vrex::first_initialisation("trigger")) return -1;
    if (!vrex::publish_type(module, spec.spec)) return -1;
    if (!vrex::import_siblings(module)) return -1;
    return 0;
}

}  // namespace

VREX_MODULE(trigger, "Trigger modes, shutter duration and software trigger.", exec_trigger)
