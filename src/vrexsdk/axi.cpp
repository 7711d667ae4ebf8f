// vrexsdk.axi: __Axi, reached as an attribute of vrexsdk.vrex.Device. 32-bit AXI register access.
#include "support/module.hpp"

namespace {

PyMethodDef methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

vrex::ServiceSpec<vrex::ServiceObject> spec("vrexsdk.axi.__Axi", VREX_SERVICE_DOC("Axi object."), methods);

int exec_axi(PyObject* module) {
    if (!vrex::first_initialisation("axi")) return -1;
    if (!vrex::publish_type(module, spec.spec)) return -1;
    if (!vrex::import_siblings(module)) return -1;
    return 0;
}

}  // namespace

VREX_MODULE(axi, "32-bit AXI register access.", exec_axi)
