// vrexsdk.lockstep: __Lockstep, reached as an attribute of vrexsdk.vrex.Device. External synchronisation of the device.
#include "support/module.hpp"

namespace {

PyMethodDef methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

vrex::ServiceSpec<vrex::ServiceObject> spec("vrexsdk.lockstep.__Lockstep", VREX_SERVICE_DOC("External synchronization object."), methods);

int exec_lockstep(PyObject* module) {
    if (!vrex::first_initialisation("lockstep")) return -1;
    if (!vrex::publish_type(module, spec.spec)) return -1;
    if (!vrex::import_siblings(module)) return -1;
    return 0;
}

}  // namespace

VREX_MODULE(lockstep, "External synchronisation of the device.", exec_lockstep)
