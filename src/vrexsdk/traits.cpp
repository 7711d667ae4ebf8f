// vrexsdk.traits: __Traits, reached as an attribute of vrexsdk.vrex.Device. Identity and USB properties of the open device.
#include "support/module.hpp"

namespace {

PyMethodDef methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

vrex::ServiceSpec<vrex::ServiceObject> spec("vrexsdk.traits.__Traits", VREX_SERVICE_DOC("Traits object."), methods);

int exec_traits(PyObject* module) {
    if (!vrex::first_initialisation("traits")) return -1;
    if (!vrex::publish_type(module, spec.spec)) return -1;
    if (!vrex::import_siblings(module)) return -1;
    return 0;
}

}  // namespace

VREX_MODULE(traits, "Identity and USB properties of the open device.", exec_traits)
