// vrexsdk.trigger: __Trigger, reached as an attribute of vrexsdk.vrex.Device. Trigger modes, the shutter
// duration and the software trigger. The selected mode and the duration live in the SDK; the object keeps none.
#include "support/calls.hpp"
#include "support/derive.hpp"
#include "support/optional.hpp"

namespace {

using vrex::Ref;
using vrex::ServiceObject;

template <auto Sdk, class Result = vrex::Natural>
constexpr auto sdk = vrex::method<ServiceObject, Sdk, Result>;

PyObject* getModeIds(ServiceObject* self) {
    return vrex::identifier_list<"_Trigger__getModeCount", "_Trigger__getModeId">(&self->ob_base);
}

// A refused trigger makes the caller wait 10 ms before the failure is raised, so a script that retries in a loop
// does not hammer the device. The wait goes through the module global `time`, with the GIL released by sleep.
PyObject* trigger(ServiceObject* self) {
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    const int status = vrex::nogil([&] { return vrex_trigger(ctx); });
    if (!vrex::check_after_wait(status, ctx, 0.01)) return nullptr;
    Py_RETURN_NONE;
}

#define QUALNAME(name) "vrexsdk.trigger.__Trigger." name
#define READBACK_MISSING \
    "vrexsdk.trigger: the libVrexSdk this package was built against cannot report the trigger settings"

PyMethodDef trigger_methods[] = {
    VREX_METHOD("getModeIds", QUALNAME("getModeIds"), getModeIds,
                "Retrieves trigger mode identifiers.\n\n"
                "        Returns:\n"
                "            A list of str objects representing trigger mode identifiers.\n        "),
    VREX_METHOD("__getModeCount", QUALNAME("__getModeCount"), (sdk<vrex_trigger_mode_count>), nullptr),
    VREX_METHOD("__getModeId", QUALNAME("__getModeId"), (sdk<vrex_trigger_mode_id>), nullptr, "modeIdx"),
    VREX_METHOD("selectMode", QUALNAME("selectMode"), (sdk<vrex_trigger_mode_select>),
                "Selects trigger mode.\n\n"
                "        Args:\n"
                "            modeId (str): Identifier of the selected trigger mode.\n        ",
                "modeId"),
    VREX_METHOD("setShutterDuration", QUALNAME("setShutterDuration"), (sdk<vrex_trigger_set_shutter_duration>),
                "Sets shutter duration in seconds.\n\n"
                "        Args:\n"
                "            duration (float): shutter duration in seconds.\n        ",
                "duration"),
    VREX_METHOD("trigger", QUALNAME("trigger"), trigger, "Pulls trigger."),
    VREX_OPTIONAL_METHOD(VREX_HAVE_READBACK, READBACK_MISSING, "getSelectedMode", QUALNAME("getSelectedMode"),
                         (sdk<vrex_trigger_mode_get>),
                         "Retrieves the trigger mode the device has selected.\n\n"
                         "        Returns:\n"
                         "            A str value; empty when no mode was selected since the device was attached.\n        "),
    VREX_OPTIONAL_METHOD(VREX_HAVE_READBACK, READBACK_MISSING, "getShutterDuration", QUALNAME("getShutterDuration"),
                         (sdk<vrex_trigger_get_shutter_duration>),
                         "Retrieves the shutter duration in seconds.\n\n"
                         "        Returns:\n"
                         "            A float value; 0.0 when none was set since the device was attached.\n        "),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

#undef QUALNAME

PyMethodDef no_methods[] = {VREX_METHODS_END};
vrex::ServiceSpec<ServiceObject> spec("vrexsdk.trigger.__Trigger", VREX_SERVICE_DOC("Trigger object."), no_methods);

int exec_trigger(PyObject* module) {
    if (!vrex::first_initialisation("trigger")) return -1;
    PyTypeObject* const type = vrex::publish_type(module, spec.spec);
    if (type == nullptr) return -1;
    if (!vrex::import_siblings(module)) return -1;
    if (!vrex::bind_import(module, "time", "time")) return -1;
    return vrex::install_methods(type, trigger_methods) ? 0 : -1;
}

}  // namespace

VREX_MODULE(trigger, "Trigger modes, shutter duration and software trigger.", exec_trigger)
