// vrexsdk.vault: __Vault, reached as an attribute of vrexsdk.vrex.Device. Non-volatile memories of the device.
#include "support/module.hpp"

#include <numpy/arrayobject.h>

namespace {

PyMethodDef methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

vrex::ServiceSpec<vrex::ServiceObject> spec("vrexsdk.vault.__Vault", VREX_SERVICE_DOC("Non-volatile memory object."), methods);

int exec_vault(PyObject* module) {
    if (!vrex::first_initialisation("vault")) return -1;
    if (!vrex::publish_type(module, spec.spec)) return -1;
    if (!vrex::import_siblings(module)) return -1;
    if (!vrex::bind_import(module, "np", "numpy")) return -1;
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    return 0;
}

}  // namespace

VREX_MODULE(vault, "Non-volatile memories of the device.", exec_vault)
