// vrexsdk.chip: __Chip, the read-out chips of the open device: chips and polarity, operating modes, DACs, sense
// DACs and thresholds. It owns the selected-mode field that acquisition reads when a data callable is
// registered.
#include "support/calls.hpp"
#include "support/derive.hpp"
#include "support/optional.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using vrex::ChipObject;
using vrex::Optional;
using vrex::Ref;
using vrex::Text;

// A method that is one SDK call, derived from the SDK function's prototype.
using vrex::sdk;

// ---- chips and polarity ------------------------------------------------------------------------------------------

PyObject* getPolarity(ChipObject* self, PyObject* chipIdx) {
    int index = 0;
    if (!vrex::to_int(chipIdx, index)) return nullptr;
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    vrex_chip_polarity_t polarity = positive_polarity;
    const int status = vrex::nogil([&] { return vrex_chip_get_polarity(ctx, index, &polarity); });
    if (!vrex::check(status, ctx)) return nullptr;
    // The SDK may report a value the enumeration does not define; read its four bytes rather than load an
    // out-of-range enumeration value.
    static_assert(sizeof(polarity) == sizeof(std::uint32_t));
    std::uint32_t raw = 0;
    std::memcpy(&raw, &polarity, sizeof raw);
    const Ref cls = vrex::global<"ChipPolarity">();
    if (!cls) return nullptr;
    const Ref value = Ref::steal(PyLong_FromUnsignedLong(raw));
    if (!value) return nullptr;
    return PyObject_CallOneArg(cls.get(), value.get());
}

PyObject* setPolarity(ChipObject* self, PyObject* chipIdx, PyObject* chipPolarity) {
    int index = 0;
    if (!vrex::to_int(chipIdx, index)) return nullptr;
    const Ref cls = vrex::global<"ChipPolarity">();
    if (!cls) return nullptr;
    const Ref positive = Ref::steal(PyObject_GetAttrString(cls.get(), "positive"));
    if (!positive) return nullptr;
    // Only what compares equal to ChipPolarity.positive selects positive polarity.
    const Ref equal = Ref::steal(PyObject_RichCompare(chipPolarity, positive.get(), Py_EQ));
    if (!equal) return nullptr;
    const int truth = PyObject_IsTrue(equal.get());
    if (truth < 0) return nullptr;
    const vrex_chip_polarity_t polarity = truth ? positive_polarity : negative_polarity;
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    const int status = vrex::nogil([&] { return vrex_chip_set_polarity(ctx, index, polarity); });
    if (!vrex::check(status, ctx)) return nullptr;
    Py_RETURN_NONE;
}

// ---- sense DACs --------------------------------------------------------------------------------------------------

// ---- modes ---------------------------------------------------------------------------------------------------------

PyObject* selectMode(ChipObject* self, PyObject* modeId, Optional modeParams) {
    const Ref done = !modeParams.given() || modeParams.value == Py_None
                         ? vrex::call_method<"_Chip__selectModeWithoutParams">(&self->ob_base, modeId)
                         : vrex::call_method<"_Chip__selectModeWithParams">(&self->ob_base, modeId, modeParams.value);
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// The selected-mode field holds 29 bytes and a terminator; an identifier whose encoding is longer is refused
// before the SDK sees it, so the field can never be overrun and never holds a mode other than the one selected.
bool fits_mode_field(const Text& modeId) {
    const auto size = static_cast<std::size_t>(modeId.size());
    if (size < vrex::mode_field_size) return true;
    PyErr_Format(PyExc_ValueError, "mode identifier too long: %zu bytes encoded, at most %zu are supported", size,
                 vrex::mode_field_size - 1);
    return false;
}

// Written only after a successful selection.
void remember_mode(ChipObject* self, const Text& modeId) {
    std::memcpy(self->mode, modeId.c_str(), std::strlen(modeId.c_str()) + 1);
}

PyObject* selectModeWithoutParams(ChipObject* self, PyObject* modeId) {
    Text text;
    if (!text.from_encode_exact_bytes(modeId) || !fits_mode_field(text)) return nullptr;
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    const int status = vrex::nogil([&] { return vrex_chip_mode_select(ctx, text.c_str()); });
    if (!vrex::check(status, ctx)) return nullptr;
    remember_mode(self, text);
    Py_RETURN_NONE;
}

template <vrex::fixed_string Name>
Ref attribute(PyObject* o) {
    PyObject* const name = vrex::interned<Name>();
    return name ? Ref::steal(PyObject_GetAttr(o, name)) : Ref();
}

PyObject* selectModeWithParams(ChipObject* self, PyObject* modeId, PyObject* modeParams) {
    Text text;
    if (!text.from_encode_exact_bytes(modeId) || !fits_mode_field(text)) return nullptr;
    scan_params params{};
    // Each attribute is read and converted before the next is read. The names are interned once: a name made
    // afresh at each call would miss the type attribute cache and cost more than the rest of the call.
    Ref width = attribute<"width">(modeParams);
    if (!width || !vrex::to_uint32(width.get(), params.width_)) return nullptr;
    Ref height = attribute<"height">(modeParams);
    if (!height || !vrex::to_uint32(height.get(), params.height_)) return nullptr;
    Ref dwell = attribute<"dwellTime">(modeParams);
    std::uint64_t dwell_time = 0;
    if (!dwell || !vrex::to_uint64(dwell.get(), dwell_time)) return nullptr;
    params.dwell_time_ = dwell_time;
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    const int status = vrex::nogil([&] { return vrex_chip_mode_select_ex(ctx, text.c_str(), &params); });
    if (!vrex::check(status, ctx)) return nullptr;
    remember_mode(self, text);
    Py_RETURN_NONE;
}

// ---- DACs ----------------------------------------------------------------------------------------------------------

// ---- thresholds ------------------------------------------------------------------------------------------------------

// ---- type and module -----------------------------------------------------------------------------------------------

#if VREX_HAVE_READBACK
// The parameters the device holds for its selected mode: a BinningParams, or None for a mode selected without.
PyObject* getModeParams(ChipObject* self) {
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    int has = 0;
    std::uint32_t width = 0, height = 0;
    std::uint64_t dwell = 0;
    const int status = vrex::nogil([&] { return vrex_chip_mode_get_params(ctx, &has, &width, &height, &dwell); });
    if (!vrex::check(status, ctx)) return nullptr;
    if (has == 0) Py_RETURN_NONE;
    return vrex::Record<"BinningParams">::make<vrex::ExactText>(width, height, dwell);
}
#endif

#define READBACK_MISSING \
    "vrexsdk.chip: the libVrexSdk this package was built against cannot report the selected mode"
#define VREX_QUALIFIER "vrexsdk.chip.__Chip"

PyMethodDef chip_methods[] = {
    VREX_METHOD("refresh", (sdk<vrex_chip_refresh>),
                "Brings chips into their default state.\n\n"
                "        This includes DAC and configuration matrix setup.\n        "),
    VREX_SDK_IDENTIFIER_LIST("getChipIds",
                             "Retrieves chip identifiers.\n\n"
                             "        Returns:\n"
                             "            A list of str objects representing chip identifiers.\n        ",
                             "__getChipCount", vrex_chip_count,
                             "__getChipId", vrex_chip_id, "chipIdx"),
    VREX_METHOD("getPolarity", getPolarity,
                "Retrieves chip polarity.\n\n"
                "        Args:\n"
                "            chipIdx (int): Chip index.\n\n"
                "        Returns:\n"
                "            A :obj:`~ChipPolarity` member representing polarity of the chip.\n        ",
                "chipIdx"),
    VREX_METHOD("setPolarity", setPolarity,
                "Sets chip polarity.\n\n"
                "        Args:\n"
                "            chipIdx (int): Chip index.\n"
                "            chipPolarity (ChipPolarity): Chip polarity to be set.\n        ",
                "chipIdx", "chipPolarity"),
    VREX_SDK_IDENTIFIER_LIST("getSenseDacIds",
                             "Retrieves sense DAC identifiers.\n\n"
                             "        Returns:\n"
                             "            A list of str objects representing sense DAC identifiers.\n        ",
                             "__getSenseDacCount", vrex_chip_sense_dac_count,
                             "__getSenseDacName", vrex_chip_sense_dac_name, "senseDacIdx"),
    VREX_METHOD("selectSenseDac", (sdk<vrex_chip_sense_dac_sel>),
                "Selects the specified sense DAC.\n\n"
                "        Args:\n"
                "            senseDacId (str): Sense DAC identifier.\n        ",
                "senseDacId"),
    VREX_SDK_IDENTIFIER_LIST("getModeIds",
                             "Retrieves acquisition mode identifiers.\n\n"
                             "        Returns:\n"
                             "            A list of str objects representing acquisition mode identifiers.\n        ",
                             "__getModeCount", vrex_chip_mode_count,
                             "__getModeId", vrex_chip_mode_id, "modeIdx"),
    VREX_METHOD("selectMode", selectMode, nullptr, "modeId", "modeParams"),
    VREX_METHOD("__selectModeWithoutParams", selectModeWithoutParams,
                "Selects acquisition mode.\n\n"
                "        Args:\n"
                "            modeId (str): Acquisition mode identifier.\n        ",
                "modeId"),
    VREX_METHOD("__selectModeWithParams", selectModeWithParams,
                "Selects acquisition mode.\n\n"
                "        Args:\n"
                "            modeId (str): Acquisition mode identifier.\n"
                "            modeParams (obj): Acquisition mode parameters.\n        ",
                "modeId", "modeParams"),
    VREX_OPTIONAL_METHOD(VREX_HAVE_READBACK, READBACK_MISSING, "getSelectedMode", (sdk<vrex_chip_mode_get>),
                         "Retrieves the acquisition mode the device has selected.\n\n"
                         "        Returns:\n"
                         "            A str value; empty when no mode was selected since the device was attached.\n        "),
    VREX_OPTIONAL_METHOD(VREX_HAVE_READBACK, READBACK_MISSING, "getModeParams", getModeParams,
                         "Retrieves the parameters given with the selected acquisition mode.\n\n"
                         "        Returns:\n"
                         "            A :obj:`~BinningParams` object, or None for a mode selected without any.\n        "),
    VREX_SDK_IDENTIFIER_LIST("getDacIds",
                             "Retrieves DAC identifiers.\n\n"
                             "        Returns:\n"
                             "            A list of str objects representing DAC identifiers.\n        ",
                             "__getDacCount", vrex_chip_dac_count,
                             "__getDacName", vrex_chip_dac_name, "dacIdx"),
    VREX_METHOD("getDacValue", (sdk<vrex_chip_dac_value_get>),
                "Retrieves value of the specified DAC.\n\n"
                "        Args:\n"
                "            dacId (str): DAC identifier.\n\n"
                "        Returns:\n"
                "            An int value representing the value of specified DAC.\n        ",
                "dacId"),
    VREX_METHOD("setDacValue", (sdk<vrex_chip_dac_value_set>),
                "Sets value of the specified DAC.\n\n"
                "        Args:\n"
                "            dacId (str): DAC identifier.\n"
                "            dacValue (int): DAC value to set.\n        ",
                "dacId", "dacValue"),
    VREX_METHOD("getDacLimits", (sdk<vrex_chip_dac_limits, vrex::Record<"DacLimits">>),
                "Retrieves DAC limits of the specified DAC.\n\n"
                "        Args:\n"
                "            dacId (str): DAC identifier.\n\n"
                "        Returns:\n"
                "            A :obj:`~DacLimits` object.\n        ",
                "dacId"),
    VREX_SDK_IDENTIFIER_LIST("getThresholdIds",
                             "Retrieves threshold identifiers.\n\n"
                             "        Returns:\n"
                             "            A list of str objects representing threshold identifiers.\n        ",
                             "__getThresholdCount", vrex_chip_threshold_count,
                             "__getThresholdId", vrex_chip_threshold_id, "threshIdx"),
    VREX_METHOD("isThresholdCalibrated", (sdk<vrex_chip_threshold_is_calibrated, vrex::AsBool>),
                "Checks whether a specified threshold is calibrated.\n\n"
                "        Args:\n"
                "            threshId (str): Threshold identifier.\n\n"
                "        Returns:\n"
                "            A bool value. True if the threshold is calibrated, False otherwise.\n        ",
                "threshId"),
    VREX_METHOD("getThreshold", (sdk<vrex_chip_threshold_get>),
                "Retrieves value of the specified threshold (in keV).\n\n"
                "        Args:\n"
                "            threshId (str): Threshold identifier.\n\n"
                "        Returns:\n"
                "            A float value representing the value of the specified threshold.\n        ",
                "threshId"),
    VREX_METHOD("setThreshold", (sdk<vrex_chip_threshold_set>),
                "Sets value of the specified threshold (in keV).\n\n"
                "        Args:\n"
                "            threshId (str): Threshold identifier.\n"
                "            threshValue (float): Threshold value to be set.\n        ",
                "threshId", "threshValue"),
    VREX_METHOD("getThresholdRange", (sdk<vrex_chip_threshold_range, vrex::Record<"ThresholdRange">>),
                "Retrieves threshold range of the specified threshold (in keV).\n\n"
                "        Args:\n"
                "            threshId (str): Threshold identifier.\n\n"
                "        Returns:\n"
                "            A :obj:`~ThresholdRange` object.\n        ",
                "threshId"),
    VREX_METHOD("getRawThreshold", (sdk<vrex_chip_threshold_raw_get>),
                "Retrieves raw value of the specified threshold.\n\n"
                "        Args:\n"
                "            threshId (str): Threshold identifier.\n\n"
                "        Returns:\n"
                "            An int value representing raw value of the specified threshold.\n        ",
                "threshId"),
    VREX_METHOD("setRawThreshold", (sdk<vrex_chip_threshold_raw_set>),
                "Sets raw value of the specified threshold.\n\n"
                "        Args:\n"
                "            threshId (str): Threshold identifier.\n"
                "            threshValue (int): Threshold value to be set.\n        ",
                "threshId", "threshValue"),
    VREX_METHOD("getRawThresholdRange", (sdk<vrex_chip_threshold_raw_range, vrex::Record<"RawThresholdRange">>),
                "Retrieves raw threshold range of the specified threshold.\n\n"
                "        Args:\n"
                "            threshId (str): Threshold identifier.\n\n"
                "        Returns:\n"
                "            A :obj:`~RawThresholdRange` object.\n        ",
                "threshId"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

vrex::ServiceSpec<ChipObject> chip_spec(VREX_QUALIFIER, VREX_SERVICE_DOC("Chip object."));

constexpr const char records_source[] = R"PY(
class DacLimits(NamedTuple):
    """
    Contains minimum and maximum DAC values.

    Args:
        min (int): Minimum DAC value.
        max (int): Maximum DAC value.
    """
    min: "int"
    max: "int"


class ThresholdRange(NamedTuple):
    """
    Contains minimum, maximum and noise of threshold.

    Args:
        min (float): Minimum threshold.
        max (float): Maximum threshold.
        noise (float): Noise of threshold.
    """
    min: "float"
    max: "float"
    noise: "float"


class RawThresholdRange(NamedTuple):
    """
    Contains minimum and maximum raw threshold.

    Args:
        min (int): Minimum raw threshold.
        max (int): Maximum raw threshold.
    """
    min: "int"
    max: "int"


class ChipPolarity(Enum):
    """
    Contains polarity of a chip.
    """
    positive = 0
    negative = 1


class BinningParams(NamedTuple):
    """
    Contains binning parameters.
    """
    width: "int"
    height: "int"
    dwellTime: "int"
)PY";

// Importing acquisition here completes the mutual import whichever of the two modules came first.
bool import_acquisition(PyObject*, PyTypeObject*) {
    return static_cast<bool>(
        Ref::steal(vrex::import_type("vrexsdk.acquisition", "__Acquisition", sizeof(vrex::AcquisitionObject))));
}

}  // namespace

VREX_SERVICE_MODULE(chip, "Read-out chips: modes, polarity, DACs, sense DACs and thresholds.",
                    .spec = &chip_spec.spec, .methods = chip_methods,
                    .bindings = {{"NamedTuple", "typing", "NamedTuple"}, {"Enum", "enum", "Enum"}},
                    .records = records_source, .finish = import_acquisition)
