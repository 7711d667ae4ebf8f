// Device services: cooling, board power, trigger and shutter, external synchronisation, hardware revisions and
// the AXI register file. Each behaves like the hardware it stands for: cooling units approach their set point
// over time, boards refuse to be switched off twice, the software trigger needs its trigger mode, and the
// register file answers unmapped addresses with bus errors.
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>

#include "sim.hpp"

namespace vrexsim {

// The acquisition engine's side of a software trigger (acquisition.cpp): releases one block of every run of `ctx`
// that waits for one. Called with the simulator lock held.
void release_software_trigger(VrexContext* ctx);

namespace {

// %g, as the messages show numbers.
std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, v);
    return text;
}

// ---- cooling ---------------------------------------------------------------------------------------------------

template <class T>
T value_or(const std::map<Bytes, T>& values, const Bytes& id, T fallback) {
    const auto it = values.find(id);
    return it == values.end() ? fallback : it->second;
}

// The temperature of `unit` now. The approach toward the desired temperature starts when one is set; until then
// the unit reports the temperature the model gives it. Computed from the start of the approach each time (never
// from the previous answer), so frequent queries cannot stall it in single-precision rounding. The clock is read
// only while an approach runs: a unit that holds its temperature answers at the cost of a lookup.
float temperature_now(const CoolingModel& unit, const DeviceState& state) {
    const float start = value_or(state.actual, unit.id, unit.actual);
    const auto since = state.cooling_since.find(unit.id);
    const double tau = unit.time_constant_s;
    if (since == state.cooling_since.end() || std::isnan(tau) || std::isinf(tau)) return start;
    const float desired = value_or(state.desired, unit.id, unit.desired);
    // A sensor reporting something odd (infinite, NaN) keeps reporting it.
    if (!std::isfinite(start) || !std::isfinite(desired)) return start;
    if (!(tau > 0.0)) return desired;
    const double remaining = std::exp(-std::max(0.0, clock_s() - since->second) / tau);
    return static_cast<float>(static_cast<double>(desired) + (static_cast<double>(start) - desired) * remaining);
}

template <class Work>
int on_cooling(vrex_ctx_t* ctx, const std::optional<Fault>& fault, const char* coolingId, Work&& work) {
    return on_device(ctx, fault, [&](const OpenDevice& dev) {
        const CoolingModel* unit = find_named(dev.model->cooling, coolingId);
        if (!unit) return unknown(ctx, "cooling unit", coolingId);
        return work(*unit, *dev.state);
    });
}

int temperature_out(vrex_ctx_t* ctx, float* out, float value) {
    if (out == nullptr) return null_out(ctx);
    *out = value;
    return 0;
}

// ---- boards ------------------------------------------------------------------------------------------------------

template <class Work>
int on_board(vrex_ctx_t* ctx, const std::optional<Fault>& fault, const char* boardId, Work&& work) {
    return on_device(ctx, fault, [&](const OpenDevice& dev) {
        const BoardModel* board = find_named(dev.model->boards, boardId);
        if (!board) return unknown(ctx, "board", boardId);
        return work(dev.state->powered[board->id], *dev.state);
    });
}

// ---- AXI -----------------------------------------------------------------------------------------------------------

// A bus error answering `address`, as status and last-error text; 0 when the address is not in an error range.
int bus_error(vrex_ctx_t* ctx, const DeviceModel& device, std::uint32_t address) {
    for (const AxiBusErrorModel& range : device.axi_bus_errors) {
        if (address < range.start || address > range.end) continue;
        const char* const kind = range.status == 102 ? "slave error" : range.status == 103 ? "decode error" : "error";
        return fail_with(ctx->error, range.status, std::string("AXI ") + kind + " at address " + hex(address));
    }
    return 0;
}

const AxiRegisterModel* find_register(const DeviceModel& device, std::uint32_t address) {
    for (const AxiRegisterModel& r : device.axi)
        if (r.address == address) return &r;
    return nullptr;
}

int decode_error(vrex_ctx_t* ctx, std::uint32_t address) {
    return fail_with(ctx->error, 103, "AXI decode error: no slave answers at address " + hex(address));
}

}  // namespace

float cooling_temperature(const CoolingModel& unit, const DeviceState& state) { return temperature_now(unit, state); }

// The open device's snapshot shows each cooling unit at the temperature it has reached by now.
void report_temperatures(const DeviceModel& device, DeviceState& state) {
    for (const CoolingModel& unit : device.cooling) state.actual[unit.id] = temperature_now(unit, state);
}

}  // namespace vrexsim

using namespace vrexsim;

extern "C" {

// ---- cooling ---------------------------------------------------------------------------------------------------------

int vrex_cooling_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_cooling_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->cooling.size()); });
}

int vrex_cooling_id(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_cooling_id", index), [&](const OpenDevice& dev) {
        return id_out(ctx, dev.model->cooling, index, id, "Cooling unit", id_of<CoolingModel>);
    });
}

int vrex_cooling_value_unit(vrex_ctx_t* ctx, const char* coolingId, const char** unit) {
    return on_cooling(ctx, hook("vrex_cooling_value_unit", coolingId), coolingId,
                      [&](const CoolingModel& c, DeviceState&) {
                          if (unit == nullptr) return null_out(ctx);
                          *unit = c.unit.c_str();
                          return 0;
                      });
}

int vrex_cooling_get_actual(vrex_ctx_t* ctx, const char* coolingId, float* temperature) {
    return on_cooling(ctx, hook("vrex_cooling_get_actual", coolingId), coolingId,
                      [&](const CoolingModel& c, DeviceState& s) {
                          return temperature_out(ctx, temperature, temperature_now(c, s));
                      });
}

int vrex_cooling_get_desired(vrex_ctx_t* ctx, const char* coolingId, float* temperature) {
    return on_cooling(ctx, hook("vrex_cooling_get_desired", coolingId), coolingId,
                      [&](const CoolingModel& c, DeviceState& s) {
                          return temperature_out(ctx, temperature, value_or(s.desired, c.id, c.desired));
                      });
}

int vrex_cooling_set_desired(vrex_ctx_t* ctx, const char* coolingId, float temperature) {
    return on_cooling(ctx, hook("vrex_cooling_set_desired", coolingId, temperature), coolingId,
                      [&](const CoolingModel& c, DeviceState& s) {
                          if (!(temperature >= c.min && temperature <= c.max))
                              return fail_with(ctx->error, -3,
                                               "Temperature " + number(temperature) + " of cooling unit " +
                                                   quoted(coolingId) + " outside its limits [" + number(c.min) +
                                                   ", " + number(c.max) + "]");
                          // The new approach starts from wherever the unit has got to.
                          s.actual[c.id] = temperature_now(c, s);
                          s.desired[c.id] = temperature;
                          s.cooling_since[c.id] = clock_s();
                          return 0;
                      });
}

int vrex_cooling_limits(vrex_ctx_t* ctx, const char* coolingId, float* minimum, float* maximum) {
    return on_cooling(ctx, hook("vrex_cooling_limits", coolingId), coolingId, [&](const CoolingModel& c, DeviceState&) {
        if (minimum == nullptr || maximum == nullptr) return null_out(ctx);
        *minimum = c.min;
        *maximum = c.max;
        return 0;
    });
}

// ---- boards --------------------------------------------------------------------------------------------------------

int vrex_board_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_board_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->boards.size()); });
}

int vrex_board_id(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_board_id", index), [&](const OpenDevice& dev) {
        return id_out(ctx, dev.model->boards, index, id, "Board", id_of<BoardModel>);
    });
}

int vrex_board_power_on(vrex_ctx_t* ctx, const char* boardId) {
    return on_board(ctx, hook("vrex_board_power_on", boardId), boardId, [&](int& powered, DeviceState& state) {
        if (powered == 0) {  // a board already on stays as it is
            powered = 1;
            state.powered_since[boardId] = clock_s();
        }
        return 0;
    });
}

int vrex_board_power_off(vrex_ctx_t* ctx, const char* boardId) {
    return on_board(ctx, hook("vrex_board_power_off", boardId), boardId, [&](int& powered, DeviceState&) {
        if (powered == 0) return fail_with(ctx->error, -2, "Board " + quoted(boardId) + " is not powered on");
        powered = 0;
        return 0;
    });
}

int vrex_board_is_powered(vrex_ctx_t* ctx, const char* boardId, int* powered) {
    return on_board(ctx, hook("vrex_board_is_powered", boardId), boardId, [&](int& flag, DeviceState&) {
        if (powered == nullptr) return null_out(ctx);
        *powered = flag;  // the raw flag, as the board reports it
        return 0;
    });
}

// ---- trigger and shutter -----------------------------------------------------------------------------------------

int vrex_trigger_mode_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_trigger_mode_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->trigger_modes.size()); });
}

int vrex_trigger_mode_id(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_trigger_mode_id", index), [&](const OpenDevice& dev) {
        return id_out(ctx, dev.model->trigger_modes, index, id, "Trigger mode", self);
    });
}

int vrex_trigger_mode_select(vrex_ctx_t* ctx, const char* modeId) {
    return on_device(ctx, hook("vrex_trigger_mode_select", modeId), [&](const OpenDevice& dev) {
        if (!listed(dev.model->trigger_modes, modeId)) return unknown(ctx, "trigger mode", modeId);
        dev.state->trigger_mode = modeId;
        return 0;
    });
}

int vrex_trigger_set_shutter_duration(vrex_ctx_t* ctx, float seconds) {
    return on_device(ctx, hook("vrex_trigger_set_shutter_duration", seconds), [&](const OpenDevice& dev) {
        if (!(std::isfinite(seconds) && seconds > 0.0f))
            return fail_with(ctx->error, -3,
                             "Shutter duration " + number(seconds) + " s is not a positive, finite duration");
        dev.state->shutter_duration = seconds;
        return 0;
    });
}

int vrex_trigger_mode_get(vrex_ctx_t* ctx, const char** modeId) {
    return on_device(ctx, hook("vrex_trigger_mode_get"), [&](const OpenDevice& dev) {
        if (modeId == nullptr) return null_out(ctx);
        *modeId = dev.state->trigger_mode ? dev.state->trigger_mode->c_str() : "";
        return 0;
    });
}

int vrex_trigger_get_shutter_duration(vrex_ctx_t* ctx, float* seconds) {
    return on_device(ctx, hook("vrex_trigger_get_shutter_duration"), [&](const OpenDevice& dev) {
        if (seconds == nullptr) return null_out(ctx);
        *seconds = dev.state->shutter_duration.value_or(0.0f);
        return 0;
    });
}

int vrex_trigger(vrex_ctx_t* ctx) {
    return on_device(ctx, hook("vrex_trigger"), [&](const OpenDevice& dev) {
        const Bytes& software = dev.model->software_trigger_mode;
        const auto& selected = dev.state->trigger_mode;
        if (!selected || *selected != software)
            return fail_with(ctx->error, -2,
                             "Software trigger refused: the trigger mode is " +
                                 (selected ? quoted(selected->c_str()) : std::string("not selected")) +
                                 "; select " + quoted(software.c_str()) + " first");
        ++dev.state->triggers;
        release_software_trigger(ctx);
        return 0;
    });
}

// ---- external synchronisation --------------------------------------------------------------------------------------

int vrex_lockstep_option_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_lockstep_option_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->lockstep_options.size()); });
}

int vrex_lockstep_option_id(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_lockstep_option_id", index), [&](const OpenDevice& dev) {
        return id_out(ctx, dev.model->lockstep_options, index, id, "Synchronisation option", self);
    });
}

int vrex_lockstep_option_select(vrex_ctx_t* ctx, const char* optionId) {
    return on_device(ctx, hook("vrex_lockstep_option_select", optionId), [&](const OpenDevice& dev) {
        if (!listed(dev.model->lockstep_options, optionId))
            return unknown(ctx, "external synchronisation option", optionId);
        dev.state->lockstep_option = optionId;
        return 0;
    });
}

int vrex_lockstep_option_get(vrex_ctx_t* ctx, const char** optionId) {
    return on_device(ctx, hook("vrex_lockstep_option_get"), [&](const OpenDevice& dev) {
        if (optionId == nullptr) return null_out(ctx);
        *optionId = dev.state->lockstep_option ? dev.state->lockstep_option->c_str() : "";
        return 0;
    });
}

// ---- hardware revisions ----------------------------------------------------------------------------------------------

int vrex_revisions_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_revisions_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->revisions.size()); });
}

int vrex_revisions_id(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_revisions_id", index), [&](const OpenDevice& dev) {
        const int status = id_out(ctx, dev.model->revisions, index, id, "Revision",
                                  [](const std::pair<Bytes, Bytes>& entry) -> const Bytes& { return entry.first; });
        if (status == 0)
            dev.state->revision_cursor[dev.model->revisions[static_cast<std::size_t>(index)].first] =
                static_cast<std::size_t>(index);
        return status;
    });
}

int vrex_revisions_string(vrex_ctx_t* ctx, const char* revisionId, const char** version) {
    return on_device(ctx, hook("vrex_revisions_string", revisionId), [&](const OpenDevice& dev) {
        if (version == nullptr) return null_out(ctx);
        if (revisionId == nullptr) return fail_with(ctx->error, -5, "Revision identifier is null");
        const auto& entries = dev.model->revisions;
        const auto cursor = dev.state->revision_cursor.find(revisionId);
        if (cursor != dev.state->revision_cursor.end() && cursor->second < entries.size() &&
            entries[cursor->second].first == revisionId) {
            *version = entries[cursor->second].second.c_str();
            return 0;
        }
        for (const auto& [id, text] : entries)
            if (id == revisionId) {
                *version = text.c_str();
                return 0;
            }
        return unknown(ctx, "hardware revision", revisionId);
    });
}

// ---- AXI register file -----------------------------------------------------------------------------------------------

int vrex_axi_read(vrex_ctx_t* ctx, uint32_t address, uint32_t* data) {
    return on_device(ctx, hook("vrex_axi_read", address), [&](const OpenDevice& dev) {
        if (data == nullptr) return null_out(ctx);
        if (const int status = bus_error(ctx, *dev.model, address)) return status;
        const AxiRegisterModel* reg = find_register(*dev.model, address);
        if (!reg) return decode_error(ctx, address);
        // A write-only register answers reads with zero, as AXI4-Lite slaves do.
        *data = reg->access == "wo" ? 0 : dev.state->registers[address];
        return 0;
    });
}

int vrex_axi_write(vrex_ctx_t* ctx, uint32_t address, uint32_t data) {
    return on_device(ctx, hook("vrex_axi_write", address, data), [&](const OpenDevice& dev) {
        if (const int status = bus_error(ctx, *dev.model, address)) return status;
        const AxiRegisterModel* reg = find_register(*dev.model, address);
        if (!reg) return decode_error(ctx, address);
        if (reg->access == "ro")
            return fail_with(ctx->error, -3, "AXI register " + hex(address) + " is read-only");
        dev.state->registers[address] = data;
        return 0;
    });
}

}  // extern "C"
