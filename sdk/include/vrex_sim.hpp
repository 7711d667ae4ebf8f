// Control interface of the simulated libVrexSdk: the device model, fault injection, the call log and the state
// snapshot. Only the simulator's own Python control module (vrexsdk.simulator) and tests use it; a real SDK has
// no such interface. Both sides are built together, so plain C++ types cross the boundary.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "vrex_sdk.h"

#define VREX_SIM_API __attribute__((visibility("default")))

namespace vrexsim {

// Time of arrival of generated hits counts ticks of this many ns; the read-out delivers a hit up to this many
// ticks after hits of later ToA (data-driven order).
constexpr double kToaTick = 1.5625;
constexpr std::uint64_t kReadoutJitter = 256;

// Strings of the model are byte strings: tests may hand the binding text that is not valid UTF-8.
using Bytes = std::string;

struct ChipModel {
    Bytes id;
    std::int64_t polarity = 0;  // the raw value reported, 0, 1 or anything else
};

struct DacModel {
    Bytes id;
    int value = 0;
    int min = 0;
    int max = 0;
};

struct ThresholdModel {
    Bytes id;
    float kev = 0.0f;
    float min = 0.0f;
    float max = 0.0f;
    float noise = 0.0f;
    int raw = 0;
    int raw_min = 0;
    int raw_max = 0;
    int calibrated = 1;
    // The chip's threshold calibration: raw steps per keV around the (kev, raw) pair above; 0 leaves the two
    // independent.
    float raw_per_kev = 0.0f;
};

struct CoolingModel {
    Bytes id;
    Bytes unit = "DegreeCelsius";
    float actual = 0.0f;
    float desired = 0.0f;
    float min = 0.0f;
    float max = 0.0f;
    // The actual temperature approaches the desired one at first order with this time constant (seconds); infinite
    // keeps it where it is, 0 reaches the desired temperature at once.
    double time_constant_s = std::numeric_limits<double>::infinity();
};

struct BoardModel {
    Bytes id;
    int powered = 0;  // the raw flag reported
};

// A sensor's high-voltage supply. Voltages in volts (signed: `polarity` gives the sign every voltage takes),
// currents in microamperes.
struct BiasModel {
    Bytes id;
    Bytes polarity = "negative";  // "positive" or "negative"
    float min = -200.0f;          // limits of the set point
    float max = 0.0f;
    float rate = 20.0f;           // ramp rate at open, V/s
    float max_rate = 100.0f;      // highest ramp rate accepted
    float current_limit = 10.0f;  // trip level at open
    float max_current_limit = 100.0f;
    // Leakage current of the sensor at 100 V and 20 degrees Celsius; it grows as the square root of the voltage
    // and doubles every 7 degrees (the sensor's temperature is that of the first cooling unit, else 25).
    float leakage = 0.5f;
};

// A monitored quantity. `source` says where its value comes from: "cooling:<id>" (that unit's temperature),
// "bias_voltage:<id>", "bias_current:<id>" (a bias source's measured output), or "" (its own `value`, which
// warms up by `warmup` with a 30 s time constant once its board is powered). `board` names the board that must be
// powered for the quantity to be available ("": always available).
struct MonitorModel {
    Bytes id;
    Bytes unit;
    Bytes source;
    Bytes board;
    float value = 0.0f;
    float warmup = 0.0f;
};

// One 32-bit register of the AXI register file; access "rw", "ro" (writes refused) or "wo" (reads give 0).
struct AxiRegisterModel {
    std::uint32_t address = 0;
    std::uint32_t value = 0;
    Bytes access = "rw";
};

// Addresses start..end (inclusive) answer every access with `status`: 102 (slave error) or 103 (decode error).
struct AxiBusErrorModel {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    int status = 102;
};

struct RegionModel {
    int sector_size = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sectors;
};

struct FlashModel {
    Bytes id;
    Bytes part_number;
    std::vector<RegionModel> regions;
    Bytes backing_file;  // empty: the contents live as long as the process; else kept in this file across processes
};

struct PixelMaskModel {
    std::uint64_t width = 256;
    std::uint64_t height = 256;
    std::optional<std::uint64_t> reported_length;  // makes the SDK report another length
};

// A count, or explicit values.
using CountOrValues = std::variant<std::uint64_t, std::vector<std::uint64_t>>;

struct BlockFault {
    int status = -1;
    std::optional<Bytes> message;  // nullopt: the last-error getter hands back a null pointer
};

// One scripted data block. Absent keys mean "nothing of that kind" unless the mode needs it, in which case the
// generator fills it from the acquisition settings.
struct BlockModel {
    std::optional<std::uint64_t> frames;                      // frame count (256 x 256 uint16 each)
    std::optional<std::uint64_t> raw;                         // byte count
    std::optional<std::uint64_t> hits;                        // hit count, generated contents
    std::optional<std::vector<std::vector<std::uint64_t>>> records;  // explicit packet records
    std::map<std::string, std::vector<std::uint64_t>> vectors;       // addresses, toa, tot, events, itots
    std::optional<std::vector<CountOrValues>> tdc;            // per TDC channel 0..2
    std::optional<std::uint64_t> shutter;                     // shutter rising-edge ticks
    std::optional<std::uint64_t> packets;                     // binned packet count
    std::optional<std::uint64_t> descriptors;                 // bin descriptor count
    std::optional<CountOrValues> hit_sums;
    std::optional<CountOrValues> itot_sums;
    bool null = false;                                        // every pointer null, counts kept
    double delay_s = 0.0;                                     // pause before the block is delivered
    std::map<std::string, BlockFault> fail;                   // getters of this block that fail
};

// Where the photons of generated data come from: emission lines, or a beam when `beam_kev` is positive.
struct SourceModel {
    std::vector<double> lines_kev = {59.5};  // Am-241
    std::vector<double> weights = {1.0};
    double beam_kev = 0.0;
    double beam_spread_kev = 0.0;
};

// Relative rates of the particle kinds in generated data.
struct ParticleRates {
    double photon = 1.0;
    double electron = 0.0;
    double mip = 0.0;
    double alpha = 0.0;
};

struct AcquisitionModel {
    bool scripted = false;  // true when "blocks" was given
    std::vector<BlockModel> blocks;
    // Generator settings, used when no script is given.
    std::optional<std::uint64_t> seed;  // nullopt: a new seed for every run
    // Blocks of a run; nullopt: the run lasts as the device's settings say (see acquisition.cpp).
    std::optional<std::uint64_t> block_count;
    std::uint64_t hits = 1024;       // hits per block
    std::uint64_t frames = 1;        // frames per block
    std::uint64_t raw = 4096;        // raw bytes per block
    double interval_s = 0.0;         // extra pause between generated blocks
    // Length and pacing of a run without a block count.
    double duration_s = 1.0;         // acquisition time of the hit modes while no shutter duration is set
    double hit_rate = 1e6;           // hits per second at the model's threshold (hit modes)
    std::uint64_t frame_count = 4;   // frames of a run (frame modes)
    double frame_rate = 10.0;        // frames per second while no shutter duration is set
    double flux = 80.0;              // counts per pixel per second at the model's threshold (frame modes)
    // Physics of generated blocks (acquisition.cpp): noise hits per configured hit with the threshold far below its
    // noise edge.
    double noise_hits = 20.0;
    std::uint64_t pixel_seed = 1;    // fixes the chips' per-pixel response, like their silicon
    double dead_pixels = 0.001;      // share of each chip's pixels that never fire (which ones: pixel_seed)
    SourceModel source;
    ParticleRates particles;
    // Burst: deliver the first block (scripted or generated) this many times back to back, prepared once.
    std::uint64_t burst = 0;
    // Generated blocks prepared at begin and delivered in turn (a burst cycles through them too); 0: each built
    // when due.
    std::uint64_t pool = 0;
};

struct DeviceModel {
    Bytes kind = "tpx3";  // template the defaults came from: "tpx3" or "tpx"
    Bytes connection_string;
    Bytes product;
    Bytes manufacturer;
    Bytes serial_number;
    Bytes instance_path;
    int vid = 0;
    int pid = 0;
    int high_speed = 1;
    int super_speed = 0;
    std::vector<ChipModel> chips;
    std::vector<Bytes> modes;
    std::vector<DacModel> dacs;
    std::vector<Bytes> sense_dacs;
    std::vector<ThresholdModel> thresholds;
    std::vector<Bytes> channels;
    std::vector<Bytes> trigger_modes;
    Bytes software_trigger_mode = "software";  // the trigger mode in which blocks wait for vrex_trigger
    std::vector<Bytes> lockstep_options;
    std::vector<CoolingModel> cooling;
    std::vector<BoardModel> boards;
    std::vector<BiasModel> bias;
    std::vector<MonitorModel> monitors;
    double monitor_interval_s = 0.02;  // how often the SDK's monitor thread looks for changes
    std::vector<std::pair<Bytes, Bytes>> revisions;
    PixelMaskModel pixel_mask;
    std::vector<FlashModel> flash;
    std::vector<AxiRegisterModel> axi;
    std::vector<AxiBusErrorModel> axi_bus_errors;
    AcquisitionModel acquisition;
};

struct Model {
    std::vector<DeviceModel> devices;
};

// The defaults: a device of the given kind ("tpx3" or "tpx"), numbered for its connection string.
VREX_SIM_API DeviceModel default_device(const Bytes& kind, std::size_t index);
VREX_SIM_API Model default_model();

// Mutable state of one device, kept for the life of the process like hardware.
struct DeviceState {
    std::map<Bytes, int> dacs;
    struct Threshold {
        float kev;
        int raw;
    };
    std::map<Bytes, Threshold> thresholds;
    std::vector<std::int64_t> polarity;  // per chip, raw value
    Bytes selected_mode;
    std::optional<scan_params> mode_params;
    std::optional<Bytes> sense_dac;
    std::uint64_t refresh_count = 0;
    std::vector<std::uint8_t> mask;
    std::map<Bytes, int> powered;
    std::map<Bytes, double> powered_since;  // steady-clock seconds of each board's last power-on
    // One bias source. The output moves from `from` (at `since`, steady-clock seconds) toward its set point (`target`
    // when on, 0 when off) at `rate`.
    struct Bias {
        bool on = false;
        bool tripped = false;
        float target = 0.0f;
        float rate = 0.0f;
        float current_limit = 0.0f;
        float from = 0.0f;
        double since = 0.0;
        float trip_current = 0.0f;  // the current that tripped it
    };
    std::map<Bytes, Bias> bias;
    std::map<Bytes, float> desired;
    std::map<Bytes, float> actual;
    // When each cooling unit's approach toward its desired temperature began (steady-clock seconds); `actual` holds
    // the temperature at that moment. A unit not listed has not been touched since the state was made.
    std::map<Bytes, double> cooling_since;
    std::map<std::uint32_t, std::uint32_t> registers;
    std::optional<Bytes> trigger_mode;
    std::optional<float> shutter_duration;
    std::uint64_t triggers = 0;
    std::optional<Bytes> lockstep_option;
    // Per identifier, the revision index vrex_revisions_id handed out last: a repeated identifier's version is
    // that of the entry just listed.
    std::map<Bytes, std::size_t> revision_cursor;
    std::vector<std::pair<Bytes, Bytes>> configurations;  // (type, content) loaded
    std::map<Bytes, std::vector<std::uint8_t>> flash;
    bool open = false;
    std::uint64_t blocks_delivered = 0;  // data callbacks made, over all channels
    // The buffers of the most recent block as they were after its callback returned, by name ("frames", "raw",
    // "packets", "addresses", "toa", "tot", "events", "itots", "descriptors", "hit_sums", "itot_sums", "tdc0",
    // "tdc1", "tdc2"); kept only while the call log records, so tests can see writes made through the arrays.
    std::map<std::string, std::vector<std::uint8_t>> last_block;
};

// One argument of a logged call.
struct Arg {
    enum class Kind { None, Int, UInt, Float, Bytes, Tuple };
    Kind kind = Kind::None;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double d = 0.0;
    Bytes s;
    std::vector<Arg> items;

    Arg() = default;
    Arg(int v) : kind(Kind::Int), i(v) {}
    Arg(long v) : kind(Kind::Int), i(v) {}
    Arg(long long v) : kind(Kind::Int), i(v) {}
    Arg(unsigned v) : kind(Kind::UInt), u(v) {}
    Arg(unsigned long v) : kind(Kind::UInt), u(v) {}
    Arg(unsigned long long v) : kind(Kind::UInt), u(v) {}
    Arg(float v) : kind(Kind::Float), d(v) {}
    Arg(double v) : kind(Kind::Float), d(v) {}
    Arg(const char* v) : kind(v ? Kind::Bytes : Kind::None), s(v ? v : "") {}
    Arg(const scan_params* p) : kind(p ? Kind::Tuple : Kind::None) {
        if (p) items = {Arg(p->width_), Arg(p->height_), Arg(static_cast<unsigned long long>(p->dwell_time_))};
    }
};

struct Call {
    std::string name;
    std::vector<Arg> args;
};

// Control calls. All are thread-safe. reset() and configure() first close every open device (stopping and
// joining acquisitions), so no handle keeps pointers into the old model.
VREX_SIM_API void reset();
VREX_SIM_API void configure(Model model);
VREX_SIM_API Model model();
// Returns false when no SDK function has that name.
VREX_SIM_API bool fail(const std::string& function, int status, std::optional<Bytes> message, long long count,
                       bool perform);
VREX_SIM_API void clear_faults();
VREX_SIM_API std::vector<Call> calls();
VREX_SIM_API void clear_calls();
VREX_SIM_API void record_calls(bool enabled);
// Logs to every attached sink, from a new SDK thread or from the calling thread; returns once delivered.
VREX_SIM_API void emit_log(int severity, const Bytes& message, bool sdk_thread);
// The state of device `index`; index < 0 picks the first open device, else device 0. nullopt if none exists.
struct Snapshot {
    std::size_t index;
    DeviceModel device;
    DeviceState state;
};
VREX_SIM_API std::optional<Snapshot> state(long long index);
VREX_SIM_API const std::vector<std::string>& function_names();

// The per-pixel truth of chip `chip` of the device generated data come from (the first open device, else device
// 0): ToT = a*E + b - c/(E - t) per pixel, and the dead and noisy pixels; arrays of 256 x 256, row y, column x.
struct PixelParameters {
    std::vector<float> a, b, c, t;
    std::vector<std::uint8_t> dead, noisy;
};
// nullopt (and `error` set) when there is no device or no such chip.
VREX_SIM_API std::optional<PixelParameters> pixel_parameters(std::size_t chip, std::string& error);

// One generated block of "0:tpx3-dd-toa-tot" hits as an acquisition on that device would make it now (its model
// and state), `count` configured hits, from `seed`; with `particles` instead of the model's rates. `overlap` false
// places the particles at least several microseconds apart, true about 100 ns apart.
struct GeneratedHits {
    std::vector<std::uint32_t> address, tot;
    std::vector<std::uint64_t> toa;
    std::vector<std::int64_t> particle;  // index of the true particle, -1 for noise
};
VREX_SIM_API std::optional<GeneratedHits> generate_hits(std::uint64_t count, std::uint64_t seed,
                                                        const std::optional<ParticleRates>& particles, bool overlap,
                                                        std::string& error);
// Runs `work` on a new thread of the SDK's own (unknown to Python) and joins it.
VREX_SIM_API void run_on_sdk_thread(const std::function<void()>& work);

}  // namespace vrexsim

extern "C" {
// An SDK function that does nothing but the entry bookkeeping every function does; the benchmarks' floor.
VREX_SIM_API int vrex_sim_noop(vrex_ctx_t* ctx, const char* text);
}
