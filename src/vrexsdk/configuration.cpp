// vrexsdk.configuration: __Configuration, reached as an attribute of vrexsdk.vrex.Device. Configuration loading and the pixel mask.
#include "support/module.hpp"

#include <numpy/arrayobject.h>

namespace {

PyMethodDef methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

vrex::ServiceSpec<vrex::ServiceObject> spec("vrexsdk.configuration.__Configuration", VREX_SERVICE_DOC("Configuration object."), methods);

int exec_configuration(PyObject* module) {
    if (!vrex::first_initialisation("configuration")) return -1;
    if (!vrex::publish_type(module, spec.spec)) return -1;
    if (!vrex::import_siblings(module)) return -1;
    if (!vrex::bind_import(module, "np", "numpy")) return -1;
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    return 0;
}

}  // namespace

VREX_MODULE(configuration, "Configuration loading and the pixel mask.", exec_configuration)
