// vrexsdk.lockstep: __Lockstep, reached as an attribute of vrexsdk.vrex.Device. The device's external
// synchronisation options: listing them and selecting one. The selected option lives in the SDK.
#include "support/calls.hpp"
#include "support/derive.hpp"
#include "support/optional.hpp"

namespace {

using vrex::ServiceObject;
using vrex::sdk;

#define VREX_QUALIFIER "vrexsdk.lockstep.__Lockstep"
#define READBACK_MISSING \
    "vrexsdk.lockstep: the libVrexSdk this package was built against cannot report the selected option"

PyMethodDef lockstep_methods[] = {
    VREX_SDK_IDENTIFIER_LIST("getOptionIds",
                             "Retrieves external synchronization option identifiers.\n\n"
                             "        Returns:\n"
                             "            A list of strings representing external synchronization option identifiers.\n        ",
                             "__getOptionCount", vrex_lockstep_option_count,
                             "__getOptionId", vrex_lockstep_option_id, "optionIdx"),
    VREX_METHOD("selectOption", (sdk<vrex_lockstep_option_select>),
                "Select external synchronization option.\n\n"
                "        Args:\n"
                "            optionId (str): External synchronization option identifier.\n        ",
                "optionId"),
    VREX_OPTIONAL_METHOD(VREX_HAVE_READBACK, READBACK_MISSING, "getSelectedOption", (sdk<vrex_lockstep_option_get>),
                         "Retrieves the external synchronization option the device has selected.\n\n"
                         "        Returns:\n"
                         "            A str value; empty when none was selected since the device was attached.\n        "),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

vrex::ServiceSpec<ServiceObject> spec(VREX_QUALIFIER, VREX_SERVICE_DOC("External synchronization object."));

}  // namespace

VREX_SERVICE_MODULE(lockstep, "External synchronisation of the device.",
                    .spec = &spec.spec, .methods = lockstep_methods)
