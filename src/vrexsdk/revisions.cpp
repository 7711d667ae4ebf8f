// vrexsdk.revisions: __Revisions, reached as an attribute of vrexsdk.vrex.Device. Versions of the device's hardware components.
#include "support/module.hpp"

namespace {

PyMethodDef methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

vrex::ServiceSpec<vrex::ServiceObject> spec("vrexsdk.revisions.__Revisions", VREX_SERVICE_DOC("Revisions object."), methods);

int exec_revisions(PyObject* module) {
    if (!vrex::first_initialisation("revisions")) return -1;
    if (!vrex::publish_type(module, spec.spec)) return -1;
    if (!vrex::import_siblings(module)) return -1;
    return 0;
}

}  // namespace

VREX_MODULE(revisions, "Versions of the device's hardware components.", exec_revisions)
