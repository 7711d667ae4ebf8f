// vrexsdk.trigger: __Trigger, reached as an attribute of vrexsdk.vrex.Device. Trigger modes, the shutter
// duration and the software trigger. The selected mode and the duration live in the SDK; the object keeps none.
#include "support/calls.hpp"
#include "support/derive.hpp"
#include "support/optional.hpp"

namespace {

using vrex::Ref;
using vrex::ServiceObject;
using vrex::sdk;

// A refused trigger makes the caller wait 10 ms before the failure is raised, so a script that retries in a loop
// does not hammer the device. The wait goes through the module global `time`, with the GIL released by sleep.
PyObject* trigger(ServiceObject* self) {
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    const int status = vrex::nogil([&] { return vrex_trigger(ctx); });
    if (!vrex::check_after_wait(status, ctx, 0.01)) return nullptr;
    Py_RETURN_NONE;
}

#define VREX_QUALIFIER "vrexsdk.trigger.__Trigger"
#define READBACK_MISSING \
    "vrexsdk.trigger: the libVrexSdk this package was built against cannot report the trigger settings"

PyMethodDef trigger_methods[] = {
    VREX_SDK_IDENTIFIER_LIST("getModeIds",
                             "Retrieves trigger mode identifiers.\n\n"
                             "        Returns:\n"
                             "            A list of str objects representing trigger mode identifiers.\n        ",
                             "__getModeCount", vrex_trigger_mode_count, "__getModeId", vrex_trigger_mode_id,
                             "modeIdx"),
    VREX_METHOD("selectMode", (sdk<vrex_trigger_mode_select>),
                "Selects trigger mode.\n\n"
                "        Args:\n"
                "            modeId (str): Identifier of the selected trigger mode.\n        ",
                "modeId"),
    VREX_METHOD("setShutterDuration", (sdk<vrex_trigger_set_shutter_duration>),
                "Sets shutter duration in seconds.\n\n"
                "        Args:\n"
                "            duration (float): shutter duration in seconds.\n        ",
                "duration"),
    VREX_METHOD("trigger", trigger, "Pulls trigger."),
    VREX_OPTIONAL_METHOD(VREX_HAVE_READBACK, READBACK_MISSING, "getSelectedMode", (sdk<vrex_trigger_mode_get>),
                         "Retrieves the trigger mode the device has selected.\n\n"
                         "        Returns:\n"
                         "            A str value; empty when no mode was selected since the device was attached.\n        "),
    VREX_OPTIONAL_METHOD(VREX_HAVE_READBACK, READBACK_MISSING, "getShutterDuration", (sdk<vrex_trigger_get_shutter_duration>),
                         "Retrieves the shutter duration in seconds.\n\n"
                         "        Returns:\n"
                         "            A float value; 0.0 when none was set since the device was attached.\n        "),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

vrex::ServiceSpec<ServiceObject> spec(VREX_QUALIFIER, VREX_SERVICE_DOC("Trigger object."));

}  // namespace

VREX_SERVICE_MODULE(trigger, "Trigger modes, shutter duration and software trigger.",
                    .spec = &spec.spec, .methods = trigger_methods,
                    .bindings = {{"time", "time"}})
