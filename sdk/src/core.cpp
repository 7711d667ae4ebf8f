// The simulator itself: the default model, contexts, the entry hook (call log, faults), log sinks, the control
// interface and the version.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "sim.hpp"

namespace vrexsim {

// services.cpp: brings the cooling units of a snapshot up to the temperature they have reached by now.
void report_temperatures(const DeviceModel& device, DeviceState& state);

Sim& sim() {
    static Sim* instance = [] {
        auto* s = new Sim;
        s->model = default_model();
        for (const DeviceModel& d : s->model.devices) s->states.push_back(initial_state(d));
        return s;
    }();
    return *instance;
}

// ---- default model ---------------------------------------------------------------------------------------------

namespace {

DeviceModel tpx3_device(std::size_t index) {
    DeviceModel d;
    d.kind = "tpx3";
    const std::string serial = "VX3-" + std::to_string(1000 + index);
    d.connection_string = "usb:vrex-sim-" + std::to_string(index);
    d.product = "Vrex Timepix3 Detector";
    d.manufacturer = "Vrex Instruments";
    d.serial_number = serial;
    d.instance_path = "USB\\VID_1A2B&PID_0003\\" + serial;
    d.vid = 0x1A2B;
    d.pid = 0x0003;
    d.high_speed = 1;
    d.super_speed = 1;
    d.chips = {{"W0028_H05", 0}};
    d.modes = {"0:tpx3-dd-toa-tot",         "0:tpx3-dd-toa-tot-vec",   "0:tpx3-sorted-dd-toa-tot",
               "0:tpx3-seq-toa-tot",        "0:tpx3-seq-toa-tot-vec",  "0:tpx3-seq-itot-event",
               "0:tpx3-seq-itot-event-vec", "0:tpx3-binned-packets",   "0:tpx3-binned-count-sums",
               "0:tpx3-binned-itot-sums",   "0:raw-data"};
    d.dacs = {{"Ibias_Preamp_ON", 128, 0, 255},  {"Ibias_Preamp_OFF", 8, 0, 15},
              {"VPreamp_NCAS", 128, 0, 255},     {"Ibias_Ikrum", 15, 0, 255},
              {"Vfbk", 164, 0, 255},             {"Vthreshold_fine", 256, 0, 511},
              {"Vthreshold_coarse", 7, 0, 15},   {"Ibias_DiscS1_ON", 100, 0, 255},
              {"Ibias_DiscS1_OFF", 8, 0, 15},    {"Ibias_DiscS2_ON", 128, 0, 255},
              {"Ibias_DiscS2_OFF", 8, 0, 15},    {"Ibias_PixelDAC", 128, 0, 255},
              {"Ibias_TPbufferIn", 128, 0, 255}, {"Ibias_TPbufferOut", 128, 0, 255},
              {"VTP_coarse", 128, 0, 255},       {"VTP_fine", 256, 0, 511},
              {"Ibias_CP_PLL", 128, 0, 255},     {"PLL_Vcntrl", 128, 0, 255}};
    d.sense_dacs = {"Ibias_Preamp_ON", "VPreamp_NCAS", "Ibias_Ikrum", "Vfbk", "Vthreshold_fine", "Vthreshold_coarse"};
    d.thresholds = {{"THL0", 5.0f, 2.0f, 60.0f, 0.75f, 1100, 0, 4095, 1, 20.0f}};
    d.channels = {"ch0", "ch1"};
    d.trigger_modes = {"internal", "software", "external-rising", "external-falling"};
    d.lockstep_options = {"none", "master", "slave"};
    d.cooling = {{"peltier", "DegreeCelsius", 24.5f, 20.0f, -10.0f, 40.0f, 2.0}};
    d.boards = {{"readout", 1}, {"chipboard", 0}};
    d.bias = {BiasModel{"hv"}};  // an n-on-p sensor: negative bias up to 200 V
    d.monitors = {{"sensor_temperature", "DegreeCelsius", "cooling:peltier", "readout"},
                  {"fpga_temperature", "DegreeCelsius", "", "readout", 38.0f, 6.0f},
                  {"chip_vdd", "Volt", "", "chipboard", 1.5f, 0.0f},
                  {"bias_voltage", "Volt", "bias_voltage:hv", ""},
                  {"bias_current", "MicroAmpere", "bias_current:hv", ""}};
    d.revisions = {{"firmware", "1.4.2"}, {"hardware", "rev-B"}, {"fpga", "0x2A11"}};
    d.pixel_mask = {256, 256, std::nullopt};
    FlashModel flash{"config", "S25FL128S", {}};
    RegionModel small{4096, {}};
    for (std::uint32_t i = 0; i < 4; ++i) small.sectors.emplace_back(i * 4096, i * 4096 + 4095);
    RegionModel large{65536, {}};
    for (std::uint32_t i = 0; i < 4; ++i) large.sectors.emplace_back(16384 + i * 65536, 16384 + i * 65536 + 65535);
    flash.regions = {small, large};
    d.flash = {flash};
    d.axi = {{0x0000, 0x56524558, "ro"},  // identification, "VREX"
             {0x0004, 0x00010402, "ro"},  // firmware version 1.4.2
             {0x0010, 0x00000000, "rw"},  // control
             {0x0014, 0x00000100, "rw"},  // readout configuration
             {0x0020, 0x00000000, "wo"},  // command
             {0x0040, 0x80000001, "rw"}}; // status flags, top bit set
    d.axi_bus_errors = {{0x1000, 0x1FFF, 102}};  // a slave held in reset
    return d;
}

DeviceModel tpx_device(std::size_t index) {
    DeviceModel d;
    d.kind = "tpx";
    const std::string serial = "VX1-" + std::to_string(1000 + index);
    d.connection_string = "usb:vrex-sim-" + std::to_string(index);
    d.product = "Vrex Timepix Detector";
    d.manufacturer = "Vrex Instruments";
    d.serial_number = serial;
    d.instance_path = "USB\\VID_1A2B&PID_0001\\" + serial;
    d.vid = 0x1A2B;
    d.pid = 0x0001;
    d.high_speed = 1;
    d.super_speed = 0;
    d.chips = {{"H05-W0123", 1}};
    d.modes = {"0:tpx-medipix", "0:raw-data"};
    d.dacs = {{"IKrum", 5, 0, 255},   {"Disc", 127, 0, 255},       {"Preamp", 255, 0, 255},
              {"BuffAnalogA", 127, 0, 255}, {"BuffAnalogB", 127, 0, 255}, {"Hist", 0, 0, 255},
              {"THLFine", 400, 0, 1023},   {"THLCoarse", 7, 0, 15},   {"Vcas", 130, 0, 255},
              {"FBK", 128, 0, 255},        {"GND", 80, 0, 255},       {"THS", 100, 0, 255},
              {"BiasLVDS", 128, 0, 255},   {"RefLVDS", 128, 0, 255}};
    d.sense_dacs = {"IKrum", "Disc", "Preamp", "THLFine"};
    d.thresholds = {{"THL", 6.0f, 3.0f, 40.0f, 1.1f, 400, 0, 1023, 0, 15.0f}};
    d.channels = {"ch0"};
    d.trigger_modes = {"internal", "software", "external-rising"};
    d.lockstep_options = {"none"};
    d.cooling = {};
    d.boards = {{"readout", 1}};
    BiasModel hv{"hv", "positive", 0.0f, 100.0f};  // a p-on-n sensor: positive bias up to 100 V
    hv.leakage = 0.2f;
    d.bias = {hv};
    d.monitors = {{"fpga_temperature", "DegreeCelsius", "", "readout", 35.0f, 5.0f},
                  {"bias_voltage", "Volt", "bias_voltage:hv", ""},
                  {"bias_current", "MicroAmpere", "bias_current:hv", ""}};
    d.revisions = {{"firmware", "0.9.7"}, {"hardware", "rev-A"}};
    d.pixel_mask = {256, 256, std::nullopt};
    d.flash = {};
    d.axi = {{0x0000, 0x56524558, "ro"}, {0x0004, 0x00000907, "ro"}, {0x0010, 0x00000000, "rw"}};
    d.acquisition.frames = 1;
    return d;
}

}  // namespace

DeviceModel default_device(const Bytes& kind, std::size_t index) {
    return kind == "tpx" ? tpx_device(index) : tpx3_device(index);
}

Model default_model() { return Model{{tpx3_device(0), tpx_device(1)}}; }

// Contents of a memory when its device is attached: its backing file, or erased flash (storage.cpp).
std::vector<std::uint8_t> initial_flash(const FlashModel& f);

DeviceState initial_state(const DeviceModel& d) {
    DeviceState s;
    for (const DacModel& dac : d.dacs) s.dacs[dac.id] = dac.value;
    for (const ThresholdModel& t : d.thresholds) s.thresholds[t.id] = {t.kev, t.raw};
    for (const ChipModel& c : d.chips) s.polarity.push_back(c.polarity);
    s.mask.assign(static_cast<std::size_t>(std::min<std::uint64_t>(d.pixel_mask.width * d.pixel_mask.height,
                                                                   std::uint64_t{1} << 26)),
                  0);
    for (const BoardModel& b : d.boards) s.powered[b.id] = b.powered;
    for (const BiasModel& b : d.bias) {
        DeviceState::Bias& source = s.bias[b.id];
        source.rate = b.rate;
        source.current_limit = b.current_limit;
    }
    for (const AxiRegisterModel& r : d.axi) s.registers.emplace(r.address, r.value);
    for (const CoolingModel& c : d.cooling) {
        s.desired[c.id] = c.desired;
        s.actual[c.id] = c.actual;
    }
    for (const FlashModel& f : d.flash) s.flash[f.id] = initial_flash(f);
    return s;
}

// ---- entry hook -------------------------------------------------------------------------------------------------

const std::vector<std::string>& function_names() {
    static const std::vector<std::string> names = {
        "vrex_ctx_create", "vrex_ctx_destroy", "vrex_ctx_get_last_error", "vrex_version", "vrex_log_set_func",
        "vrex_dev_open", "vrex_dev_close", "vrex_dev_is_opened", "vrex_dev_enumerate",
        "vrex_enum_get_last_error", "vrex_enum_get_connection_string", "vrex_enum_get_product",
        "vrex_enum_get_manufacturer", "vrex_enum_get_serial_number", "vrex_enum_usb_get_vid_pid",
        "vrex_enum_usb_get_instance_path", "vrex_enum_usb_is_high_speed", "vrex_enum_usb_is_super_speed",
        "vrex_dev_prop_get_manufacturer", "vrex_dev_prop_get_product", "vrex_dev_prop_get_serial_number",
        "vrex_dev_prop_get_connection_string", "vrex_dev_prop_usb_get_vid_pid", "vrex_dev_prop_usb_get_instance_path",
        "vrex_dev_prop_usb_is_high_speed", "vrex_dev_prop_usb_is_super_speed",
        "vrex_acq_ch_count", "vrex_acq_ch_id", "vrex_acq_begin", "vrex_acq_end", "vrex_acq_abort",
        "vrex_acq_set_data_callback", "vrex_acq_get_last_error", "vrex_acq_tpx_get_frame_count",
        "vrex_acq_tpx_get_frames", "vrex_acq_raw_get_data", "vrex_acq_tpx3_get_packet_count",
        "vrex_acq_tpx3_get_packets", "vrex_acq_tpx3_get_vec_length", "vrex_acq_tpx3_get_pixel_address_vec",
        "vrex_acq_tpx3_get_toa_vec", "vrex_acq_tpx3_get_tot_vec", "vrex_acq_tpx3_get_event_vec",
        "vrex_acq_tpx3_get_itot_vec", "vrex_acq_meta_get_shutter_rising_time_ticks",
        "vrex_acq_meta_get_tdc_toas_count", "vrex_acq_meta_get_tdc_toas", "vrex_acq_meta_get_bin_descriptor_count",
        "vrex_acq_meta_get_bin_descriptors", "vrex_acq_tpx3_get_binned_hitcounters_count",
        "vrex_acq_tpx3_get_binned_hitcounters", "vrex_acq_tpx3_get_binned_itots_count",
        "vrex_acq_tpx3_get_binned_itots",
        "vrex_chip_refresh", "vrex_chip_count", "vrex_chip_id", "vrex_chip_get_polarity", "vrex_chip_set_polarity",
        "vrex_chip_mode_count", "vrex_chip_mode_id", "vrex_chip_mode_select", "vrex_chip_mode_select_ex",
        "vrex_chip_sense_dac_count", "vrex_chip_sense_dac_name", "vrex_chip_sense_dac_sel", "vrex_chip_dac_count",
        "vrex_chip_dac_name", "vrex_chip_dac_value_get", "vrex_chip_dac_value_set", "vrex_chip_dac_limits",
        "vrex_chip_threshold_count", "vrex_chip_threshold_id", "vrex_chip_threshold_is_calibrated",
        "vrex_chip_threshold_get", "vrex_chip_threshold_set", "vrex_chip_threshold_range",
        "vrex_chip_threshold_raw_get", "vrex_chip_threshold_raw_set", "vrex_chip_threshold_raw_range",
        "vrex_load_configuration", "vrex_get_pixel_mask_size", "vrex_get_pixel_mask", "vrex_set_pixel_mask",
        "vrex_flash_count", "vrex_flash_id", "vrex_flash_part_nr", "vrex_flash_regions", "vrex_flash_sector_count",
        "vrex_flash_sector_size", "vrex_flash_sector_address_range", "vrex_flash_read", "vrex_flash_program",
        "vrex_cooling_count", "vrex_cooling_id", "vrex_cooling_value_unit", "vrex_cooling_get_actual",
        "vrex_cooling_get_desired", "vrex_cooling_set_desired", "vrex_cooling_limits",
        "vrex_board_count", "vrex_board_id", "vrex_board_power_on", "vrex_board_power_off", "vrex_board_is_powered",
        "vrex_trigger_mode_count", "vrex_trigger_mode_id", "vrex_trigger_mode_select",
        "vrex_trigger_set_shutter_duration", "vrex_trigger",
        "vrex_lockstep_option_count", "vrex_lockstep_option_id", "vrex_lockstep_option_select",
        "vrex_revisions_count", "vrex_revisions_id", "vrex_revisions_string",
        "vrex_axi_read", "vrex_axi_write",
        "vrex_bias_count", "vrex_bias_id", "vrex_bias_polarity", "vrex_bias_limits", "vrex_bias_get_voltage",
        "vrex_bias_get_target", "vrex_bias_set_voltage", "vrex_bias_get_ramp_rate", "vrex_bias_set_ramp_rate",
        "vrex_bias_get_current", "vrex_bias_get_current_limit", "vrex_bias_set_current_limit", "vrex_bias_on",
        "vrex_bias_off", "vrex_bias_is_on", "vrex_bias_is_ramping", "vrex_bias_is_tripped", "vrex_bias_clear_trip",
        "vrex_bias_wait", "vrex_bias_stop_ramp",
        "vrex_monitor_count", "vrex_monitor_id", "vrex_monitor_unit", "vrex_monitor_get_value",
        "vrex_monitor_is_available", "vrex_monitor_set_value_callback", "vrex_monitor_set_avail_callback",
        "vrex_chip_mode_get", "vrex_chip_mode_get_params", "vrex_trigger_mode_get",
        "vrex_trigger_get_shutter_duration", "vrex_lockstep_option_get",
        "vrex_sim_noop"};
    return names;
}

std::optional<Fault> slow_hook(const char* name, const std::vector<Arg>* args) {
    Sim& s = sim();
    std::lock_guard lock(s.hooks_mutex);
    if (s.recording && args) s.calls.push_back(Call{name, *args});
    const auto it = s.faults.find(name);
    if (it == s.faults.end() || it->second.empty()) return std::nullopt;
    Fault& front = it->second.front();
    Fault result = front;
    if (front.count > 0 && --front.count == 0) {
        it->second.pop_front();
        if (it->second.empty()) s.faults.erase(it);
        s.update_hooks_active();
    }
    return result;
}

// ---- log --------------------------------------------------------------------------------------------------------

namespace {

const char* severity_name(int severity) {
    switch (severity) {
        case Debug: return "Debug";
        case Info: return "Info";
        case Warning: return "Warning";
        case Error: return "Error";
        case Fatal: return "Fatal";
        default: return "Unknown";
    }
}

std::string format_message(const vrex_log_frmt& format, Severity severity, std::string_view message) {
    std::string out;
    if (format.preamble_) {
        const std::time_t now = std::time(nullptr);
        char stamp[32] = {};
        std::tm tm{};
        gmtime_r(&now, &tm);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &tm);
        out += stamp;
    }
    if (format.prefix_) out += std::string("[") + severity_name(severity) + "] ";
    if (format.indentation_) out += "    ";
    if (format.message_) out.append(message.data(), message.size());
    return out;
}

}  // namespace

void log_message(VrexContext* ctx, Severity severity, std::string_view message) {
    std::vector<LogSink> sinks;
    {
        std::lock_guard lock(sim().mutex);
        if (ctx) {
            std::lock_guard ctx_lock(ctx->mutex);
            sinks = ctx->sinks;
        } else {
            for (VrexContext* c : sim().contexts) {
                std::lock_guard ctx_lock(c->mutex);
                sinks.insert(sinks.end(), c->sinks.begin(), c->sinks.end());
            }
        }
    }
    // Sinks are called without any lock: one may call back into the SDK.
    for (const LogSink& sink : sinks) {
        const std::string text = format_message(sink.format, severity, message);
        sink.func(text.c_str(), severity, sink.user);
    }
}

// ---- devices -----------------------------------------------------------------------------------------------------

std::optional<OpenDevice> open_device(VrexContext* ctx) {
    Sim& s = sim();
    const long index = ctx->device.load();
    if (index < 0 || static_cast<std::size_t>(index) >= s.model.devices.size()) {
        ctx->error.set("No device is open");
        return std::nullopt;
    }
    const auto i = static_cast<std::size_t>(index);
    return OpenDevice{&s.model.devices[i], &s.states[i], i};
}

namespace {

// Closes the device of `ctx`, stopping its acquisitions first. Returns false when none was open.
bool close_device(VrexContext* ctx) {
    {
        // Closed first, so a begin racing this close fails instead of starting a run after the stop below.
        std::lock_guard lock(sim().mutex);
        std::lock_guard ctx_lock(ctx->mutex);
        if (ctx->device < 0) return false;
        if (static_cast<std::size_t>(ctx->device) < sim().states.size())
            sim().states[static_cast<std::size_t>(ctx->device)].open = false;
        ctx->device = -1;
    }
    stop_acquisitions(ctx);
    stop_monitor(ctx);  // the quantities registered are the closed device's
    return true;
}

void close_all_devices() {
    std::vector<VrexContext*> contexts;
    {
        std::lock_guard lock(sim().mutex);
        contexts.assign(sim().contexts.begin(), sim().contexts.end());
    }
    for (VrexContext* ctx : contexts) close_device(ctx);
}

}  // namespace

// ---- control interface -----------------------------------------------------------------------------------------

void configure(Model model) {
    close_all_devices();
    Sim& s = sim();
    {
        std::lock_guard lock(s.mutex);
        s.model = std::move(model);
        s.states.clear();
        for (const DeviceModel& d : s.model.devices) s.states.push_back(initial_state(d));
    }
}

void reset() {
    configure(default_model());
    clear_faults();
    clear_calls();
    record_calls(false);
}

Model model() {
    std::lock_guard lock(sim().mutex);
    return sim().model;
}

bool fail(const std::string& function, int status, std::optional<Bytes> message, long long count, bool perform) {
    const auto& names = function_names();
    if (std::find(names.begin(), names.end(), function) == names.end()) return false;
    if (count == 0) return true;
    Sim& s = sim();
    std::lock_guard lock(s.hooks_mutex);
    s.faults[function].push_back(Fault{status, std::move(message), count < 0 ? -1 : count, perform});
    s.update_hooks_active();
    return true;
}

void clear_faults() {
    Sim& s = sim();
    std::lock_guard lock(s.hooks_mutex);
    s.faults.clear();
    s.update_hooks_active();
}

std::vector<Call> calls() {
    Sim& s = sim();
    std::lock_guard lock(s.hooks_mutex);
    return s.calls;
}

void clear_calls() {
    Sim& s = sim();
    std::lock_guard lock(s.hooks_mutex);
    s.calls.clear();
}

void record_calls(bool enabled) {
    Sim& s = sim();
    std::lock_guard lock(s.hooks_mutex);
    s.recording = enabled;
    s.update_hooks_active();
}

void emit_log(int severity, const Bytes& message, bool sdk_thread) {
    const auto sev = static_cast<Severity>(severity);
    if (sdk_thread) {
        std::thread worker([&] { log_message(nullptr, sev, message); });
        worker.join();
    } else {
        log_message(nullptr, sev, message);
    }
}

std::optional<Snapshot> state(long long index) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    if (s.model.devices.empty()) return std::nullopt;
    std::size_t i = 0;
    if (index < 0) {
        for (std::size_t k = 0; k < s.states.size(); ++k)
            if (s.states[k].open) {
                i = k;
                break;
            }
    } else {
        if (static_cast<std::size_t>(index) >= s.model.devices.size()) return std::nullopt;
        i = static_cast<std::size_t>(index);
    }
    Snapshot snap{i, s.model.devices[i], s.states[i]};
    report_temperatures(snap.device, snap.state);
    return snap;
}

void run_on_sdk_thread(const std::function<void()>& work) {
    std::thread worker(work);
    worker.join();
}

}  // namespace vrexsim

using namespace vrexsim;

extern "C" {

VREX_SIM_API int vrex_sim_noop(vrex_ctx_t* ctx, const char* text) {
    return run(ctx, hook("vrex_sim_noop", text), [] { return 0; });
}

int vrex_ctx_create(vrex_ctx_t** ctx) {
    const auto fault = hook("vrex_ctx_create");
    if (ctx == nullptr) return -5;
    // An injected failure creates no context (there is no handle yet to carry a last error).
    if (fault && (fault->status < 0 || !fault->perform)) return fault->status;
    auto* c = new VrexContext;
    {
        std::lock_guard lock(sim().mutex);
        sim().contexts.insert(c);
    }
    *ctx = c;
    return fault ? fault->status : 0;
}

int vrex_ctx_destroy(vrex_ctx_t* ctx) {
    hook("vrex_ctx_destroy");
    if (ctx == nullptr) return -5;
    close_device(ctx);
    stop_acquisitions(ctx);
    stop_monitor(ctx);
    {
        std::lock_guard lock(sim().mutex);
        sim().contexts.erase(ctx);
    }
    delete ctx;
    return 0;
}

int vrex_ctx_get_last_error(vrex_ctx_t* ctx, const char** message) {
    const auto fault = hook("vrex_ctx_get_last_error");
    if (ctx == nullptr || message == nullptr) return -5;
    if (fault) return fault->status;
    *message = ctx->error.get();
    return 0;
}

void vrex_version(int* major, int* minor, int* patch) {
    hook("vrex_version");
    if (major) *major = 0;
    if (minor) *minor = 2;
    if (patch) *patch = 3;
}

void vrex_log_set_func(vrex_ctx_t* ctx, vrex_log_func func, void* user, const vrex_log_frmt* format) {
    hook("vrex_log_set_func");
    if (ctx == nullptr || func == nullptr) return;
    LogSink sink{func, user, format ? *format : vrex_log_frmt{false, false, false, true}};
    std::lock_guard lock(ctx->mutex);
    ctx->sinks.push_back(sink);
}

int vrex_dev_open(vrex_ctx_t* ctx, const char* locator) {
    const int status = run(ctx, hook("vrex_dev_open", locator), [&] {
        if (locator == nullptr) return fail_with(ctx->error, -5, "Device locator is null");
        Sim& s = sim();
        std::lock_guard lock(s.mutex);
        std::lock_guard ctx_lock(ctx->mutex);
        if (ctx->device >= 0) return fail_with(ctx->error, -2, "A device is already open on this context");
        for (std::size_t i = 0; i < s.model.devices.size(); ++i) {
            if (s.model.devices[i].connection_string != locator) continue;
            if (s.states[i].open) return fail_with(ctx->error, -2, std::string("Device is busy: ") + locator);
            s.states[i].open = true;
            ctx->device = static_cast<long>(i);
            return 0;
        }
        return fail_with(ctx->error, -3, std::string("No device found for locator: ") + locator);
    });
    if (status == 0) log_message(ctx, Info, std::string("Device opened: ") + locator);
    return status;
}

int vrex_dev_close(vrex_ctx_t* ctx) {
    const int status = run(ctx, hook("vrex_dev_close"), [&] {
        return close_device(ctx) ? 0 : fail_with(ctx->error, -2, "No device is open");
    });
    if (status == 0) log_message(ctx, Info, "Device closed");
    return status;
}

int vrex_dev_is_opened(vrex_ctx_t* ctx, int* opened) {
    return run(ctx, hook("vrex_dev_is_opened"), [&] {
        if (opened == nullptr) return fail_with(ctx->error, -5, "Null out-parameter");
        std::lock_guard lock(ctx->mutex);
        *opened = ctx->device >= 0 ? 1 : 0;
        return 0;
    });
}

int vrex_dev_enumerate(vrex_ctx_t* ctx, vrex_enum_func func, void* user, int* count) {
    return run(ctx, hook("vrex_dev_enumerate"), [&] {
        if (func == nullptr) return fail_with(ctx->error, -5, "Enumeration callback is null");
        std::vector<DeviceModel> devices;
        {
            std::lock_guard lock(sim().mutex);
            devices = sim().model.devices;
        }
        if (count) *count = static_cast<int>(devices.size());
        for (DeviceModel& d : devices) {
            VrexEnumeration e;
            e.device = std::move(d);
            func(&e, user);
        }
        return 0;
    });
}

}  // extern "C"

// ---- enumeration getters -----------------------------------------------------------------------------------------

namespace {

template <class Handle>
int string_out(Handle* h, const std::optional<Fault>& fault, const char** out, const Bytes& value) {
    return run(h, fault, [&] {
        if (out == nullptr) return fail_with(h->error, -5, "Null out-parameter");
        *out = value.c_str();
        return 0;
    });
}

template <class Handle>
int int_out(Handle* h, const std::optional<Fault>& fault, int* out, int value) {
    return run(h, fault, [&] {
        if (out == nullptr) return fail_with(h->error, -5, "Null out-parameter");
        *out = value;
        return 0;
    });
}

template <class Handle>
int vid_pid_out(Handle* h, const std::optional<Fault>& fault, unsigned short* vid, unsigned short* pid,
                const DeviceModel& d) {
    return run(h, fault, [&] {
        if (vid == nullptr || pid == nullptr) return fail_with(h->error, -5, "Null out-parameter");
        *vid = static_cast<unsigned short>(d.vid);
        *pid = static_cast<unsigned short>(d.pid);
        return 0;
    });
}

}  // namespace

extern "C" {

int vrex_enum_get_last_error(vrex_enum_t* e, const char** message) {
    const auto fault = hook("vrex_enum_get_last_error");
    if (e == nullptr || message == nullptr) return -5;
    if (fault) return fault->status;
    *message = e->error.get();
    return 0;
}

#define VREX_ENUM_STRING(fn, field) \
    int fn(vrex_enum_t* e, const char** value) {                     \
        const auto fault = hook(#fn);                                   \
        if (e == nullptr) return -5;                                    \
        return string_out(e, fault, value, e->device.field);            \
    }
VREX_ENUM_STRING(vrex_enum_get_connection_string, connection_string)
VREX_ENUM_STRING(vrex_enum_get_product, product)
VREX_ENUM_STRING(vrex_enum_get_manufacturer, manufacturer)
VREX_ENUM_STRING(vrex_enum_get_serial_number, serial_number)
VREX_ENUM_STRING(vrex_enum_usb_get_instance_path, instance_path)
#undef VREX_ENUM_STRING

int vrex_enum_usb_get_vid_pid(vrex_enum_t* e, unsigned short* vid, unsigned short* pid) {
    const auto fault = hook("vrex_enum_usb_get_vid_pid");
    if (e == nullptr) return -5;
    return vid_pid_out(e, fault, vid, pid, e->device);
}

int vrex_enum_usb_is_high_speed(vrex_enum_t* e, int* flag) {
    const auto fault = hook("vrex_enum_usb_is_high_speed");
    if (e == nullptr) return -5;
    return int_out(e, fault, flag, e->device.high_speed);
}

int vrex_enum_usb_is_super_speed(vrex_enum_t* e, int* flag) {
    const auto fault = hook("vrex_enum_usb_is_super_speed");
    if (e == nullptr) return -5;
    return int_out(e, fault, flag, e->device.super_speed);
}

// ---- device properties --------------------------------------------------------------------------------------------

#define VREX_PROP_STRING(fn, field)                                                     \
    int fn(vrex_ctx_t* ctx, const char** value) {                                       \
        return on_device(ctx, hook(#fn), [&](const OpenDevice& dev) {                      \
            if (value == nullptr) return null_out(ctx);                                 \
            *value = dev.model->field.c_str();                                                   \
            return 0;                                                                   \
        });                                                                             \
    }
VREX_PROP_STRING(vrex_dev_prop_get_manufacturer, manufacturer)
VREX_PROP_STRING(vrex_dev_prop_get_product, product)
VREX_PROP_STRING(vrex_dev_prop_get_serial_number, serial_number)
VREX_PROP_STRING(vrex_dev_prop_get_connection_string, connection_string)
VREX_PROP_STRING(vrex_dev_prop_usb_get_instance_path, instance_path)
#undef VREX_PROP_STRING

int vrex_dev_prop_usb_get_vid_pid(vrex_ctx_t* ctx, unsigned short* vid, unsigned short* pid) {
    return on_device(ctx, hook("vrex_dev_prop_usb_get_vid_pid"), [&](const OpenDevice& dev) {
        const DeviceModel& d = *dev.model;
        if (vid == nullptr || pid == nullptr) return fail_with(ctx->error, -5, "Null out-parameter");
        *vid = static_cast<unsigned short>(d.vid);
        *pid = static_cast<unsigned short>(d.pid);
        return 0;
    });
}

int vrex_dev_prop_usb_is_high_speed(vrex_ctx_t* ctx, int* flag) {
    return on_device(ctx, hook("vrex_dev_prop_usb_is_high_speed"), [&](const OpenDevice& dev) {
        const DeviceModel& d = *dev.model;
        if (flag == nullptr) return fail_with(ctx->error, -5, "Null out-parameter");
        *flag = d.high_speed;
        return 0;
    });
}

int vrex_dev_prop_usb_is_super_speed(vrex_ctx_t* ctx, int* flag) {
    return on_device(ctx, hook("vrex_dev_prop_usb_is_super_speed"), [&](const OpenDevice& dev) {
        const DeviceModel& d = *dev.model;
        if (flag == nullptr) return fail_with(ctx->error, -5, "Null out-parameter");
        *flag = d.super_speed;
        return 0;
    });
}

}  // extern "C"
