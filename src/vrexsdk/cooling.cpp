// vrexsdk.cooling: __Cooling, reached as an attribute of vrexsdk.vrex.Device. Cooling units of the device.
#include "support/module.hpp"

namespace {

PyMethodDef methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

vrex::ServiceSpec<vrex::ServiceObject> spec("vrexsdk.cooling.__Cooling", VREX_SERVICE_DOC("Cooling object."), methods);

int exec_cooling(PyObject* module) {
    if (!vrex::first_initialisation("cooling")) return -1;
    if (!vrex::publish_type(module, spec.spec)) return -1;
    if (!vrex::import_siblings(module)) return -1;
    return 0;
}

}  // namespace

VREX_MODULE(cooling, "Cooling units of the device.", exec_cooling)
