// vrexsdk.axi: __Axi, reached as an attribute of vrexsdk.vrex.Device. 32-bit reads and writes of the device's
// memory-mapped AXI4 / AXI4-Lite slaves. Addresses and words pass through unchanged; statuses 102 (slave error)
// and 103 (decode error) fail as well as the negative ones.
#include "support/derive.hpp"

namespace {

using vrex::ServiceObject;
using vrex::sdk;

#define VREX_QUALIFIER "vrexsdk.axi.__Axi"

PyMethodDef axi_methods[] = {
    VREX_METHOD("read", (sdk<vrex_axi_read, vrex::Natural, vrex::AxiStatus>),
                "Read from memory-mapped AXI4/AXI4-Lite slave.\n\n"
                "        Args:\n"
                "            address (int): Read address.\n\n"
                "        Returns:\n"
                "            An int representing value read from the specified address.\n        ",
                "address"),
    VREX_METHOD("write", (sdk<vrex_axi_write, vrex::Natural, vrex::AxiStatus>),
                "Write to memory-mapped AXI4/AXI4-Lite slave.\n\n"
                "        Args:\n"
                "            address (int): Write address.\n"
                "            data (int): Data to write.\n        ",
                "address", "data"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

vrex::ServiceSpec<ServiceObject> spec(VREX_QUALIFIER, VREX_SERVICE_DOC("Axi object."));

}  // namespace

VREX_SERVICE_MODULE(axi, "32-bit AXI register access.",
                    .spec = &spec.spec, .methods = axi_methods)
