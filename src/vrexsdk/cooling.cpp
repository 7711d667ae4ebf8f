// vrexsdk.cooling: __Cooling, reached as an attribute of vrexsdk.vrex.Device. Cooling units of the device: their
// temperature unit, actual and desired temperatures and limits. Every method is one SDK query; the SDK enforces
// the limits.
#include "support/calls.hpp"
#include "support/derive.hpp"

namespace {

using vrex::ServiceObject;

template <auto Sdk, class Result = vrex::Natural>
constexpr auto sdk = vrex::method<ServiceObject, Sdk, Result>;

PyObject* getIds(ServiceObject* self) {
    return vrex::identifier_list<"_Cooling__getCount", "_Cooling__getId">(&self->ob_base);
}

#define QUALNAME(name) "vrexsdk.cooling.__Cooling." name

PyMethodDef cooling_methods[] = {
    VREX_METHOD("getIds", QUALNAME("getIds"), getIds,
                "Retrieves identifiers of cooling units.\n\n"
                "        Returns:\n"
                "            A list of str objects representing cooling units identifiers.\n        "),
    VREX_METHOD("__getCount", QUALNAME("__getCount"), (sdk<vrex_cooling_count>), nullptr),
    VREX_METHOD("__getId", QUALNAME("__getId"), (sdk<vrex_cooling_id>), nullptr, "coolingIdx"),
    VREX_METHOD("getValueUnit", QUALNAME("getValueUnit"), (sdk<vrex_cooling_value_unit>),
                "Retrieves the temperature unit of the specified cooling unit.\n\n"
                "        Args:\n"
                "            coolingId (str): Cooling unit identifier.\n\n"
                "        Returns:\n"
                "            A str value representing the unit of temperature.\n"
                "            Possible values: DegreeCelsius.\n        ",
                "coolingId"),
    VREX_METHOD("getActualTemperature", QUALNAME("getActualTemperature"), (sdk<vrex_cooling_get_actual>),
                "Retrieves actual temperature of the specified cooling unit.\n\n"
                "        Args:\n"
                "            coolingId (str): Cooling unit identifier.\n\n"
                "        Returns:\n"
                "            A float value representing temperature.\n"
                "            Unit can be retrieved with :func:`~getValueUnit`.\n        ",
                "coolingId"),
    VREX_METHOD("getDesiredTemperature", QUALNAME("getDesiredTemperature"), (sdk<vrex_cooling_get_desired>),
                "Retrieves desired temperature of the specified cooling unit.\n\n"
                "        Args:\n"
                "            coolingId (str): Cooling unit identifier.\n\n"
                "        Returns:\n"
                "            A float value representing temperature.\n"
                "            Unit can be retrieved with :func:`~getValueUnit`.\n        ",
                "coolingId"),
    VREX_METHOD("setDesiredTemperature", QUALNAME("setDesiredTemperature"), (sdk<vrex_cooling_set_desired>),
                "Sets desired temperature of the specified cooling unit.\n\n"
                "        Args:\n"
                "            coolingId (str): Cooling unit identifier.\n"
                "            temperature (float): Temperature to be set.\n"
                "                Unit of temperature can be retrieved with :func:`~getValueUnit`.\n        ",
                "coolingId", "temperature"),
    VREX_METHOD("getLimits", QUALNAME("getLimits"), (sdk<vrex_cooling_limits, vrex::Record<"CoolingLimits">>),
                "Retrieves temperature limits of the specified cooling unit.\n\n"
                "        Args:\n"
                "            coolingId (str): Cooling unit identifier.\n\n"
                "        Returns:\n"
                "            A :obj:`~CoolingLimits` object.\n        ",
                "coolingId"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

#undef QUALNAME

// The methods are installed once the record exists, so the type starts bare.
PyMethodDef no_methods[] = {VREX_METHODS_END};
vrex::ServiceSpec<ServiceObject> spec("vrexsdk.cooling.__Cooling", VREX_SERVICE_DOC("Cooling object."), no_methods);

constexpr const char records_source[] = R"PY(
class CoolingLimits(NamedTuple):
    """
    Contains minimum and maximum temperature of cooling unit.

    Args:
        min (float): Minimum temperature.
        max (float): Maximum temperature.
    """
    min: "float"
    max: "float"
)PY";

int exec_cooling(PyObject* module) {
    if (!vrex::first_initialisation("cooling")) return -1;
    PyTypeObject* const type = vrex::publish_type(module, spec.spec);
    if (type == nullptr) return -1;
    if (!vrex::import_siblings(module)) return -1;
    if (!vrex::bind_import(module, "NamedTuple", "typing", "NamedTuple")) return -1;
    if (!vrex::run_in_module(module, records_source)) return -1;
    return vrex::install_methods(type, cooling_methods) ? 0 : -1;
}

}  // namespace

VREX_MODULE(cooling, "Cooling units of the device.", exec_cooling)
