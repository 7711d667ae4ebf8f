// The chip family: chips and polarity, operating modes, DACs, sense DACs and thresholds.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "sim.hpp"

using namespace vrexsim;

static_assert(sizeof(vrex_chip_polarity_t) == sizeof(std::uint32_t), "the polarity is four bytes");

namespace {

// The threshold's calibration ties its two faces together: a keV value has its raw value and back, through the
// model's (kev, raw) pair and its raw steps per keV. Without a slope the two stay independent.
int raw_of(const ThresholdModel& t, double kev) {
    const double raw = std::round(t.raw + (kev - t.kev) * t.raw_per_kev);
    return static_cast<int>(std::clamp(raw, static_cast<double>(t.raw_min), static_cast<double>(t.raw_max)));
}
float kev_of(const ThresholdModel& t, int raw) {
    return static_cast<float>(t.kev + (static_cast<double>(raw) - t.raw) / t.raw_per_kev);
}
bool linked(const ThresholdModel& t) { return std::isfinite(t.raw_per_kev) && t.raw_per_kev != 0.0f; }

int select_mode(vrex_ctx_t* ctx, const OpenDevice& dev, const char* modeId, const scan_params* params) {
    if (!listed(dev.model->modes, modeId)) return unknown(ctx, "acquisition mode", modeId);
    // Bins are groups of pixels: a binning needs at least one bin each way and no more bins than pixels, as the
    // read-out refuses anything else.
    const std::uint64_t width = dev.model->pixel_mask.width, height = dev.model->pixel_mask.height;
    if (params && (params->width_ == 0 || params->height_ == 0 || params->width_ > width || params->height_ > height))
        return fail_with(ctx->error, -3,
                         "Binning " + std::to_string(params->width_) + " x " + std::to_string(params->height_) +
                             " does not fit the " + std::to_string(width) + " x " + std::to_string(height) +
                             " pixel matrix (1 to " + std::to_string(width) + " bins across, 1 to " +
                             std::to_string(height) + " down)");
    dev.state->selected_mode = modeId;
    if (params) dev.state->mode_params = *params;
    else dev.state->mode_params.reset();
    return 0;
}

}  // namespace

extern "C" {

int vrex_chip_refresh(vrex_ctx_t* ctx) {
    return on_device(ctx, hook("vrex_chip_refresh"), [&](const OpenDevice& dev) {
        for (const DacModel& dac : dev.model->dacs) dev.state->dacs[dac.id] = dac.value;
        ++dev.state->refresh_count;
        return 0;
    });
}

int vrex_chip_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_chip_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->chips.size()); });
}

int vrex_chip_id(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_chip_id", index), [&](const OpenDevice& dev) {
        return id_out(ctx, dev.model->chips, index, id, "Chip", id_of<ChipModel>);
    });
}

int vrex_chip_get_polarity(vrex_ctx_t* ctx, int chipIdx, vrex_chip_polarity_t* polarity) {
    return on_device(ctx, hook("vrex_chip_get_polarity", chipIdx), [&](const OpenDevice& dev) {
        if (polarity == nullptr) return null_out(ctx);
        if (chipIdx < 0 || static_cast<std::size_t>(chipIdx) >= dev.state->polarity.size())
            return fail_with(ctx->error, -3, "Chip index " + std::to_string(chipIdx) + " out of range");
        // The raw value is reported as the device holds it, even one outside the enumeration: its four bytes are
        // written as they are (converting it to the enumeration type would be undefined).
        const auto raw = static_cast<std::uint32_t>(dev.state->polarity[static_cast<std::size_t>(chipIdx)]);
        std::memcpy(polarity, &raw, sizeof raw);
        return 0;
    });
}

int vrex_chip_set_polarity(vrex_ctx_t* ctx, int chipIdx, vrex_chip_polarity_t polarity) {
    // A caller may pass any four bytes; look at them as a number, never as an out-of-range enumeration value.
    std::uint32_t raw = 0;
    std::memcpy(&raw, &polarity, sizeof raw);
    return on_device(ctx, hook("vrex_chip_set_polarity", chipIdx, static_cast<int>(raw)), [&](const OpenDevice& dev) {
        if (chipIdx < 0 || static_cast<std::size_t>(chipIdx) >= dev.state->polarity.size())
            return fail_with(ctx->error, -3, "Chip index " + std::to_string(chipIdx) + " out of range");
        if (raw != positive_polarity && raw != negative_polarity) return fail_with(ctx->error, -3, "Invalid polarity");
        dev.state->polarity[static_cast<std::size_t>(chipIdx)] = raw;
        return 0;
    });
}

int vrex_chip_mode_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_chip_mode_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->modes.size()); });
}

int vrex_chip_mode_id(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_chip_mode_id", index), [&](const OpenDevice& dev) {
        return id_out(ctx, dev.model->modes, index, id, "Mode", self);
    });
}

int vrex_chip_mode_select(vrex_ctx_t* ctx, const char* modeId) {
    return on_device(ctx, hook("vrex_chip_mode_select", modeId),
                     [&](const OpenDevice& dev) { return select_mode(ctx, dev, modeId, nullptr); });
}

int vrex_chip_mode_select_ex(vrex_ctx_t* ctx, const char* modeId, void* params) {
    const auto* block = static_cast<const scan_params*>(params);
    return on_device(ctx, hook("vrex_chip_mode_select_ex", modeId, block), [&](const OpenDevice& dev) {
        if (block == nullptr) return fail_with(ctx->error, -5, "Mode parameters are null");
        return select_mode(ctx, dev, modeId, block);
    });
}

int vrex_chip_mode_get(vrex_ctx_t* ctx, const char** modeId) {
    return on_device(ctx, hook("vrex_chip_mode_get"), [&](const OpenDevice& dev) {
        if (modeId == nullptr) return null_out(ctx);
        *modeId = dev.state->selected_mode.c_str();
        return 0;
    });
}

int vrex_chip_mode_get_params(vrex_ctx_t* ctx, int* hasParams, uint32_t* width, uint32_t* height,
                              uint64_t* dwellTime) {
    return on_device(ctx, hook("vrex_chip_mode_get_params"), [&](const OpenDevice& dev) {
        if (hasParams == nullptr || width == nullptr || height == nullptr || dwellTime == nullptr) return null_out(ctx);
        const auto& p = dev.state->mode_params;
        *hasParams = p ? 1 : 0;
        *width = p ? p->width_ : 0;
        *height = p ? p->height_ : 0;
        *dwellTime = p ? p->dwell_time_ : 0;
        return 0;
    });
}

int vrex_chip_sense_dac_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_chip_sense_dac_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->sense_dacs.size()); });
}

int vrex_chip_sense_dac_name(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_chip_sense_dac_name", index), [&](const OpenDevice& dev) {
        return id_out(ctx, dev.model->sense_dacs, index, id, "Sense DAC", self);
    });
}

int vrex_chip_sense_dac_sel(vrex_ctx_t* ctx, const char* senseDacId) {
    return on_device(ctx, hook("vrex_chip_sense_dac_sel", senseDacId), [&](const OpenDevice& dev) {
        if (!listed(dev.model->sense_dacs, senseDacId)) return unknown(ctx, "sense DAC", senseDacId);
        dev.state->sense_dac = senseDacId;
        return 0;
    });
}

int vrex_chip_dac_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_chip_dac_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->dacs.size()); });
}

int vrex_chip_dac_name(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_chip_dac_name", index), [&](const OpenDevice& dev) {
        return id_out(ctx, dev.model->dacs, index, id, "DAC", id_of<DacModel>);
    });
}

int vrex_chip_dac_value_get(vrex_ctx_t* ctx, const char* dacId, int* value) {
    return on_device(ctx, hook("vrex_chip_dac_value_get", dacId), [&](const OpenDevice& dev) {
        if (value == nullptr) return null_out(ctx);
        const DacModel* dac = find_named(dev.model->dacs, dacId);
        if (!dac) return unknown(ctx, "DAC", dacId);
        *value = dev.state->dacs[dac->id];
        return 0;
    });
}

int vrex_chip_dac_value_set(vrex_ctx_t* ctx, const char* dacId, int value) {
    return on_device(ctx, hook("vrex_chip_dac_value_set", dacId, value), [&](const OpenDevice& dev) {
        const DacModel* dac = find_named(dev.model->dacs, dacId);
        if (!dac) return unknown(ctx, "DAC", dacId);
        if (value < dac->min || value > dac->max)
            return fail_with(ctx->error, -3,
                             "Value " + std::to_string(value) + " of DAC " + quoted(dacId) + " outside its limits [" +
                                 std::to_string(dac->min) + ", " + std::to_string(dac->max) + "]");
        dev.state->dacs[dac->id] = value;
        return 0;
    });
}

int vrex_chip_dac_limits(vrex_ctx_t* ctx, const char* dacId, int* minimum, int* maximum) {
    return on_device(ctx, hook("vrex_chip_dac_limits", dacId), [&](const OpenDevice& dev) {
        if (minimum == nullptr || maximum == nullptr) return null_out(ctx);
        const DacModel* dac = find_named(dev.model->dacs, dacId);
        if (!dac) return unknown(ctx, "DAC", dacId);
        *minimum = dac->min;
        *maximum = dac->max;
        return 0;
    });
}

int vrex_chip_threshold_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_chip_threshold_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->thresholds.size()); });
}

int vrex_chip_threshold_id(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_chip_threshold_id", index), [&](const OpenDevice& dev) {
        return id_out(ctx, dev.model->thresholds, index, id, "Threshold", id_of<ThresholdModel>);
    });
}

}  // extern "C"

// Runs `work(threshold model, threshold state)` for a known threshold.
template <class Work>
static int on_threshold(vrex_ctx_t* ctx, const std::optional<Fault>& fault, const char* threshId, Work&& work) {
    return on_device(ctx, fault, [&](const OpenDevice& dev) {
        const ThresholdModel* t = find_named(dev.model->thresholds, threshId);
        if (!t) return unknown(ctx, "threshold", threshId);
        return work(*t, dev.state->thresholds[t->id]);
    });
}

extern "C" {

int vrex_chip_threshold_is_calibrated(vrex_ctx_t* ctx, const char* threshId, int* calibrated) {
    return on_threshold(ctx, hook("vrex_chip_threshold_is_calibrated", threshId), threshId,
                        [&](const ThresholdModel& t, DeviceState::Threshold&) {
                            if (calibrated == nullptr) return null_out(ctx);
                            *calibrated = t.calibrated;
                            return 0;
                        });
}

int vrex_chip_threshold_get(vrex_ctx_t* ctx, const char* threshId, float* value) {
    return on_threshold(ctx, hook("vrex_chip_threshold_get", threshId), threshId,
                        [&](const ThresholdModel&, DeviceState::Threshold& s) {
                            if (value == nullptr) return null_out(ctx);
                            *value = s.kev;
                            return 0;
                        });
}

int vrex_chip_threshold_set(vrex_ctx_t* ctx, const char* threshId, float value) {
    return on_threshold(ctx, hook("vrex_chip_threshold_set", threshId, value), threshId,
                        [&](const ThresholdModel& t, DeviceState::Threshold& s) {
                            if (!(value >= t.min && value <= t.max))
                                return fail_with(ctx->error, -3,
                                                 "Threshold " + quoted(threshId) + " value " + std::to_string(value) +
                                                     " keV outside its range");
                            s.kev = value;
                            if (linked(t)) s.raw = raw_of(t, value);
                            return 0;
                        });
}

int vrex_chip_threshold_range(vrex_ctx_t* ctx, const char* threshId, float* minimum, float* maximum, float* noise) {
    return on_threshold(ctx, hook("vrex_chip_threshold_range", threshId), threshId,
                        [&](const ThresholdModel& t, DeviceState::Threshold&) {
                            if (minimum == nullptr || maximum == nullptr || noise == nullptr) return null_out(ctx);
                            *minimum = t.min;
                            *maximum = t.max;
                            *noise = t.noise;
                            return 0;
                        });
}

int vrex_chip_threshold_raw_get(vrex_ctx_t* ctx, const char* threshId, int* value) {
    return on_threshold(ctx, hook("vrex_chip_threshold_raw_get", threshId), threshId,
                        [&](const ThresholdModel&, DeviceState::Threshold& s) {
                            if (value == nullptr) return null_out(ctx);
                            *value = s.raw;
                            return 0;
                        });
}

int vrex_chip_threshold_raw_set(vrex_ctx_t* ctx, const char* threshId, int value) {
    return on_threshold(ctx, hook("vrex_chip_threshold_raw_set", threshId, value), threshId,
                        [&](const ThresholdModel& t, DeviceState::Threshold& s) {
                            if (value < t.raw_min || value > t.raw_max)
                                return fail_with(ctx->error, -3,
                                                 "Raw threshold " + quoted(threshId) + " value " +
                                                     std::to_string(value) + " outside its range");
                            s.raw = value;
                            if (linked(t)) s.kev = kev_of(t, value);
                            return 0;
                        });
}

int vrex_chip_threshold_raw_range(vrex_ctx_t* ctx, const char* threshId, int* minimum, int* maximum) {
    return on_threshold(ctx, hook("vrex_chip_threshold_raw_range", threshId), threshId,
                        [&](const ThresholdModel& t, DeviceState::Threshold&) {
                            if (minimum == nullptr || maximum == nullptr) return null_out(ctx);
                            *minimum = t.raw_min;
                            *maximum = t.raw_max;
                            return 0;
                        });
}

}  // extern "C"
