// vrexsdk.cooling: __Cooling, reached as an attribute of vrexsdk.vrex.Device. Cooling units of the device: their
// temperature unit, actual and desired temperatures and limits. Every method is one SDK query; the SDK enforces
// the limits.
#include "support/calls.hpp"
#include "support/derive.hpp"

namespace {

using vrex::ServiceObject;
using vrex::sdk;

#define VREX_QUALIFIER "vrexsdk.cooling.__Cooling"

PyMethodDef cooling_methods[] = {
    VREX_SDK_IDENTIFIER_LIST("getIds",
                             "Retrieves identifiers of cooling units.\n\n"
                             "        Returns:\n"
                             "            A list of str objects representing cooling units identifiers.\n        ",
                             "__getCount", vrex_cooling_count, "__getId", vrex_cooling_id, "coolingIdx"),
    VREX_METHOD("getValueUnit", (sdk<vrex_cooling_value_unit>),
                "Retrieves the temperature unit of the specified cooling unit.\n\n"
                "        Args:\n"
                "            coolingId (str): Cooling unit identifier.\n\n"
                "        Returns:\n"
                "            A str value representing the unit of temperature.\n"
                "            Possible values: DegreeCelsius.\n        ",
                "coolingId"),
    VREX_METHOD("getActualTemperature", (sdk<vrex_cooling_get_actual>),
                "Retrieves actual temperature of the specified cooling unit.\n\n"
                "        Args:\n"
                "            coolingId (str): Cooling unit identifier.\n\n"
                "        Returns:\n"
                "            A float value representing temperature.\n"
                "            Unit can be retrieved with :func:`~getValueUnit`.\n        ",
                "coolingId"),
    VREX_METHOD("getDesiredTemperature", (sdk<vrex_cooling_get_desired>),
                "Retrieves desired temperature of the specified cooling unit.\n\n"
                "        Args:\n"
                "            coolingId (str): Cooling unit identifier.\n\n"
                "        Returns:\n"
                "            A float value representing temperature.\n"
                "            Unit can be retrieved with :func:`~getValueUnit`.\n        ",
                "coolingId"),
    VREX_METHOD("setDesiredTemperature", (sdk<vrex_cooling_set_desired>),
                "Sets desired temperature of the specified cooling unit.\n\n"
                "        Args:\n"
                "            coolingId (str): Cooling unit identifier.\n"
                "            temperature (float): Temperature to be set.\n"
                "                Unit of temperature can be retrieved with :func:`~getValueUnit`.\n        ",
                "coolingId", "temperature"),
    VREX_METHOD("getLimits", (sdk<vrex_cooling_limits, vrex::Record<"CoolingLimits">>),
                "Retrieves temperature limits of the specified cooling unit.\n\n"
                "        Args:\n"
                "            coolingId (str): Cooling unit identifier.\n\n"
                "        Returns:\n"
                "            A :obj:`~CoolingLimits` object.\n        ",
                "coolingId"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

vrex::ServiceSpec<ServiceObject> spec(VREX_QUALIFIER, VREX_SERVICE_DOC("Cooling object."));

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

}  // namespace

VREX_SERVICE_MODULE(cooling, "Cooling units of the device.",
                    .spec = &spec.spec, .methods = cooling_methods,
                    .bindings = {{"NamedTuple", "typing", "NamedTuple"}}, .records = records_source)
