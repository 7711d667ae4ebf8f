// vrexsdk.bias: __Bias, reached as an attribute of vrexsdk.vrex.Device. The sensor's bias sources (its
// high-voltage supplies): set points and limits, ramps, the measured voltage and current, the output switch and
// the current-limit trip. Every method is one SDK call but the waits, which wait in short slices so that Ctrl-C
// stops them (leaving the supply at the voltage reached), and rampTo, which is setVoltage, turnOn and waitRamp.
#include "support/calls.hpp"
#include "support/derive.hpp"
#include "support/optional.hpp"

#include <chrono>
#include <cmath>

namespace {

using vrex::Optional;
using vrex::Ref;
using vrex::ServiceObject;
using vrex::sdk;

#define VREX_FAMILY VREX_HAVE_BIAS
#define VREX_FAMILY_MISSING "vrexsdk.bias: the libVrexSdk this package was built against has no bias functions (vrex_bias_*)"
#define VREX_QUALIFIER "vrexsdk.bias.__Bias"

#if VREX_HAVE_BIAS

// The timeout of a wait: None (no limit, given as a negative number) or seconds >= 0.
bool to_timeout(Optional timeout, double& seconds) {
    seconds = -1.0;
    if (!timeout.given() || timeout.value == Py_None) return true;
    float value = 0.0f;
    if (!vrex::to_float(timeout.value, value)) return false;
    if (!(value >= 0.0f)) {
        PyErr_Format(PyExc_ValueError, "timeout must be None or a number of seconds >= 0, not %R", timeout.value);
        return false;
    }
    seconds = value;
    return true;
}


// Python runs signal handlers on the main thread between bytecodes only, so a wait made in one SDK call would
// ignore Ctrl-C for the whole ramp. The SDK is asked in slices this long, and the handlers run between them.
constexpr double wait_slice_s = 0.05;

PyObject* waitRamp(ServiceObject* self, PyObject* biasId, Optional timeout) {
    vrex::Text id;
    if (!id.from_encode_exact_bytes(biasId)) return nullptr;
    double limit = 0.0;
    if (!to_timeout(timeout, limit)) return nullptr;
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        double slice = wait_slice_s;
        if (limit >= 0.0) {
            const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            slice = std::max(0.0, std::min(slice, limit - spent));
        }
        int reached = 0;
        const int status = vrex::nogil([&] { return vrex_bias_wait(ctx, id.c_str(), static_cast<float>(slice), &reached); });
        if (!vrex::check(status, ctx)) return nullptr;
        if (reached != 0) Py_RETURN_TRUE;
        if (limit >= 0.0 && slice < wait_slice_s) Py_RETURN_FALSE;  // the last slice ended at the deadline
        if (PyErr_CheckSignals() < 0) {
            // The handler's exception propagates; the supply holds the voltage it has reached rather than going
            // on toward a set point nobody is watching any more.
            const vrex::ErrorScope keep;
            vrex::nogil([&] { return vrex_bias_stop_ramp(ctx, id.c_str()); });
            return nullptr;
        }
    }
}

PyObject* rampTo(ServiceObject* self, PyObject* biasId, PyObject* voltage, Optional timeout) {
    if (!vrex::call_method<"setVoltage">(&self->ob_base, biasId, voltage)) return nullptr;
    if (!vrex::call_method<"turnOn">(&self->ob_base, biasId)) return nullptr;
    return vrex::call_method<"waitRamp">(&self->ob_base, biasId, timeout.given() ? timeout.value : Py_None).release();
}

#endif

#define BIAS_ID_ARG "            biasId (str): Bias source identifier.\n"

PyMethodDef bias_methods[] = {
    VREX_FAMILY_IDENTIFIER_LIST("getBiasIds",
                                "Retrieves identifiers of the sensor's bias sources.\n\n"
                                "        Returns:\n"
                                "            A list of str objects representing bias source identifiers.\n        ",
                                "__getCount", (sdk<vrex_bias_count>), "__getId", (sdk<vrex_bias_id>), "biasIdx"),
    VREX_FAMILY_METHOD("getPolarity", (sdk<vrex_bias_polarity>),
                       "Retrieves the polarity of the specified bias source.\n\n"
                       "        Every voltage the source accepts has this sign.\n\n"
                       "        Args:\n" BIAS_ID_ARG "\n"
                       "        Returns:\n"
                       "            A str value: \"positive\" or \"negative\".\n        ",
                       "biasId"),
    VREX_FAMILY_METHOD("getLimits", (sdk<vrex_bias_limits, vrex::Record<"BiasLimits">>),
                       "Retrieves the voltage limits of the specified bias source.\n\n"
                       "        Args:\n" BIAS_ID_ARG "\n"
                       "        Returns:\n"
                       "            A :obj:`~BiasLimits` object, in volts.\n        ",
                       "biasId"),
    VREX_FAMILY_METHOD("getVoltage", (sdk<vrex_bias_get_voltage>),
                       "Retrieves the measured output voltage of the specified bias source.\n\n"
                       "        Args:\n" BIAS_ID_ARG "\n"
                       "        Returns:\n"
                       "            A float value in volts; it follows a running ramp.\n        ",
                       "biasId"),
    VREX_FAMILY_METHOD("getTargetVoltage", (sdk<vrex_bias_get_target>),
                       "Retrieves the voltage set point of the specified bias source.\n\n"
                       "        Args:\n" BIAS_ID_ARG "\n"
                       "        Returns:\n"
                       "            A float value in volts.\n        ",
                       "biasId"),
    VREX_FAMILY_METHOD("setVoltage", (sdk<vrex_bias_set_voltage>),
                       "Sets the voltage set point of the specified bias source.\n\n"
                       "        When the output is on, it ramps to the new set point at the ramp rate; see\n"
                       "        :func:`~waitRamp` and :func:`~rampTo`. The source refuses a voltage beyond its limits,\n"
                       "        one of the wrong polarity, and any voltage while it is tripped.\n\n"
                       "        Args:\n" BIAS_ID_ARG
                       "            voltage (float): Set point in volts.\n        ",
                       "biasId", "voltage"),
    VREX_FAMILY_METHOD("getRampRate", (sdk<vrex_bias_get_ramp_rate>),
                       "Retrieves the ramp rate of the specified bias source.\n\n"
                       "        Args:\n" BIAS_ID_ARG "\n"
                       "        Returns:\n"
                       "            A float value in volts per second.\n        ",
                       "biasId"),
    VREX_FAMILY_METHOD("setRampRate", (sdk<vrex_bias_set_ramp_rate>),
                       "Sets the ramp rate of the specified bias source.\n\n"
                       "        Args:\n" BIAS_ID_ARG
                       "            rate (float): Ramp rate in volts per second.\n        ",
                       "biasId", "rate"),
    VREX_FAMILY_METHOD("getCurrent", (sdk<vrex_bias_get_current>),
                       "Retrieves the measured current of the specified bias source.\n\n"
                       "        Args:\n" BIAS_ID_ARG "\n"
                       "        Returns:\n"
                       "            A float value in microamperes (the sensor's leakage current).\n        ",
                       "biasId"),
    VREX_FAMILY_METHOD("getCurrentLimit", (sdk<vrex_bias_get_current_limit>),
                       "Retrieves the current limit of the specified bias source.\n\n"
                       "        Args:\n" BIAS_ID_ARG "\n"
                       "        Returns:\n"
                       "            A float value in microamperes.\n        ",
                       "biasId"),
    VREX_FAMILY_METHOD("setCurrentLimit", (sdk<vrex_bias_set_current_limit>),
                       "Sets the current limit of the specified bias source.\n\n"
                       "        A current above the limit trips the source: its output is switched off. A limit below the\n"
                       "        present current trips it at once.\n\n"
                       "        Args:\n" BIAS_ID_ARG
                       "            limit (float): Current limit in microamperes.\n        ",
                       "biasId", "limit"),
    VREX_FAMILY_METHOD("turnOn", (sdk<vrex_bias_on>),
                       "Switches the output of the specified bias source on; it ramps to its set point.\n\n"
                       "        Args:\n" BIAS_ID_ARG "        ",
                       "biasId"),
    VREX_FAMILY_METHOD("turnOff", (sdk<vrex_bias_off>),
                       "Switches the output of the specified bias source off; it ramps down to 0 V.\n\n"
                       "        Args:\n" BIAS_ID_ARG "        ",
                       "biasId"),
    VREX_FAMILY_METHOD("isOn", (sdk<vrex_bias_is_on, vrex::AsBool>),
                       "Checks whether the output of the specified bias source is on.\n\n"
                       "        Args:\n" BIAS_ID_ARG "\n"
                       "        Returns:\n"
                       "            A bool value. True if the output is on, False otherwise.\n        ",
                       "biasId"),
    VREX_FAMILY_METHOD("isRamping", (sdk<vrex_bias_is_ramping, vrex::AsBool>),
                       "Checks whether the output of the specified bias source is still ramping.\n\n"
                       "        Args:\n" BIAS_ID_ARG "\n"
                       "        Returns:\n"
                       "            A bool value. True while the output moves toward its set point.\n        ",
                       "biasId"),
    VREX_FAMILY_METHOD("isTripped", (sdk<vrex_bias_is_tripped, vrex::AsBool>),
                       "Checks whether the specified bias source has tripped at its current limit.\n\n"
                       "        Args:\n" BIAS_ID_ARG "\n"
                       "        Returns:\n"
                       "            A bool value. True if it has tripped and not been cleared since.\n        ",
                       "biasId"),
    VREX_FAMILY_METHOD("clearTrip", (sdk<vrex_bias_clear_trip>),
                       "Clears the trip of the specified bias source; its output stays off until :func:`~turnOn`.\n\n"
                       "        Args:\n" BIAS_ID_ARG "        ",
                       "biasId"),
    VREX_FAMILY_METHOD("stopRamp", (sdk<vrex_bias_stop_ramp>),
                       "Ends a ramp of the specified bias source where it is: the set point becomes the voltage reached.\n\n"
                       "        A source ramping down after :func:`~turnOff` goes on down.\n\n"
                       "        Args:\n" BIAS_ID_ARG "        ",
                       "biasId"),
    VREX_FAMILY_METHOD("waitRamp", waitRamp,
                       "Blocks until the output of the specified bias source has reached its set point.\n\n"
                       "        Interruptible: a signal whose handler raises (Ctrl-C) stops the ramp where it is, as\n"
                       "        :func:`~stopRamp` does, and the handler's exception propagates.\n\n"
                       "        Args:\n" BIAS_ID_ARG
                       "            timeout (float): Seconds to wait at most; None waits as long as the ramp takes.\n\n"
                       "        Returns:\n"
                       "            A bool value. True if the set point was reached, False on timeout.\n\n"
                       "        Raises:\n"
                       "            VrexSdkInvalidOperationError: The source tripped; its output is off.\n        ",
                       "biasId", "timeout"),
    VREX_FAMILY_METHOD("rampTo", rampTo,
                       "Ramps the specified bias source to a voltage: :func:`~setVoltage`, :func:`~turnOn`, then\n"
                       "        :func:`~waitRamp`.\n\n"
                       "        Args:\n" BIAS_ID_ARG
                       "            voltage (float): Set point in volts.\n"
                       "            timeout (float): Seconds to wait at most; None waits as long as the ramp takes.\n\n"
                       "        Returns:\n"
                       "            A bool value. True if the set point was reached, False on timeout.\n        ",
                       "biasId", "voltage", "timeout"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

#undef BIAS_ID_ARG

vrex::ServiceSpec<ServiceObject> bias_spec(VREX_QUALIFIER, VREX_SERVICE_DOC("Bias object.") VREX_FAMILY_DOC);

constexpr const char records_source[] = R"PY(
class BiasLimits(NamedTuple):
    """
    Contains the lowest and highest set point of a bias source, in volts.

    Args:
        min (float): Lowest set point.
        max (float): Highest set point.
    """
    min: "float"
    max: "float"
)PY";

}  // namespace

VREX_SERVICE_MODULE(bias, "Bias service of a Device: the sensor's high-voltage supplies." VREX_FAMILY_DOC,
                    .spec = &bias_spec.spec, .methods = bias_methods,
                    .bindings = {{"NamedTuple", "typing", "NamedTuple"}}, .records = records_source,
                    .available = VREX_FAMILY)
