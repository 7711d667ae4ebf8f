// vrexsdk.axi: __Axi, reached as an attribute of vrexsdk.vrex.Device. 32-bit reads and writes of the device's
// memory-mapped AXI4 / AXI4-Lite slaves. Addresses and words pass through unchanged; statuses 102 (slave error)
// and 103 (decode error) fail as well as the negative ones.
#include "support/derive.hpp"

namespace {

using vrex::ServiceObject;

template <auto Sdk>
constexpr auto sdk = vrex::method<ServiceObject, Sdk, vrex::Natural, vrex::AxiStatus>;

#define QUALNAME(name) "vrexsdk.axi.__Axi." name

PyMethodDef axi_methods[] = {
    VREX_METHOD("read", QUALNAME("read"), (sdk<vrex_axi_read>),
                "Read from memory-mapped AXI4/AXI4-Lite slave.\n\n"
                "        Args:\n"
                "            address (int): Read address.\n\n"
                "        Returns:\n"
                "            An int representing value read from the specified address.\n        ",
                "address"),
    VREX_METHOD("write", QUALNAME("write"), (sdk<vrex_axi_write>),
                "Write to memory-mapped AXI4/AXI4-Lite slave.\n\n"
                "        Args:\n"
                "            address (int): Write address.\n"
                "            data (int): Data to write.\n        ",
                "address", "data"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

#undef QUALNAME

PyMethodDef no_methods[] = {VREX_METHODS_END};
vrex::ServiceSpec<ServiceObject> spec("vrexsdk.axi.__Axi", VREX_SERVICE_DOC("Axi object."), no_methods);

int exec_axi(PyObject* module) {
    if (!vrex::first_initialisation("axi")) return -1;
    PyTypeObject* const type = vrex::publish_type(module, spec.spec);
    if (type == nullptr) return -1;
    if (!vrex::import_siblings(module)) return -1;
    return vrex::install_methods(type, axi_methods) ? 0 : -1;
}

}  // namespace

VREX_MODULE(axi, "32-bit AXI register access.", exec_axi)
