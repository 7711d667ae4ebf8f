// vrexsdk.bias: __Bias, the bias service of a Device. It has no methods of its own yet.
#include "support/module.hpp"

namespace {

PyMethodDef bias_methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

vrex::ServiceSpec<vrex::ServiceObject> bias_spec("vrexsdk.bias.__Bias", VREX_SERVICE_DOC("Bias object."),
                                                 bias_methods);

int exec_bias(PyObject* module) {
    if (!vrex::first_initialisation("bias")) return -1;
    if (!vrex::publish_type(module, bias_spec.spec)) return -1;
    return vrex::import_siblings(module) ? 0 : -1;
}

}  // namespace

VREX_MODULE(bias, "Bias service of a Device.", exec_bias)
