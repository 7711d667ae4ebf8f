// The sensor family: the bias supply and the monitored quantities.
//
// A bias source ramps its output toward its set point at its rate; nothing moves it between calls, so its state is
// the start of the current ramp (voltage and time) and every query computes where the ramp has got to. The sensor
// draws a leakage current that grows with the voltage and the temperature; when it exceeds the current limit the
// source trips at the moment the ramp crossed it, and its output drops to 0 V.
//
// Monitored quantities are read the same way, on demand. A context that registers a callback gets a monitor
// thread of the SDK's own, which looks at the registered quantities every `monitor_interval_s` and calls back on
// a change of value or availability, without any lock held (a callback may call into the SDK).
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <string>
#include <thread>

#include "sim.hpp"

namespace vrexsim {

using Bias = DeviceState::Bias;

namespace {

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// ---- the supply and the sensor ---------------------------------------------------------------------------------

// The sensor's temperature: that of the first cooling unit, else the room's.
float sensor_celsius(const DeviceModel& device, const DeviceState& state) {
    return device.cooling.empty() ? 25.0f : cooling_temperature(device.cooling.front(), state);
}

// The temperature factor of the leakage current: it doubles every 7 degrees above 20.
double thermal_factor(float celsius) { return std::exp2((static_cast<double>(celsius) - 20.0) / 7.0); }

// The sensor's leakage current (microamperes) at `volts` and `celsius`: the one place the sensor's physics lives.
float leakage_ua(const BiasModel& b, float volts, float celsius) {
    return static_cast<float>(b.leakage * std::sqrt(std::fabs(volts) / 100.0) * thermal_factor(celsius));
}

// The voltage magnitude at which the leakage current reaches `microamperes` (the inverse of leakage_ua).
double volts_at_current(const BiasModel& b, float microamperes, float celsius) {
    const double per_root_volt = b.leakage * thermal_factor(celsius);
    if (!(per_root_volt > 0.0)) return INFINITY;
    const double r = microamperes / per_root_volt;
    return 100.0 * r * r;
}

float output_goal(const Bias& s) { return s.on ? s.target : 0.0f; }

float voltage_at(const Bias& s, double t) {
    const float goal = output_goal(s);
    const double step = static_cast<double>(s.rate) * std::max(0.0, t - s.since);
    const double gap = static_cast<double>(goal) - s.from;
    if (std::fabs(gap) <= step) return goal;
    return static_cast<float>(s.from + std::copysign(step, gap));
}

// Starts the next ramp from wherever the output is now.
void rebase(Bias& s, double now) {
    s.from = voltage_at(s, now);
    s.since = now;
}

// Brings a source up to `now`. Every voltage of a source has one sign, so the magnitude moves monotonically along
// a ramp: when it is beyond the trip voltage now, the ramp crossed it (or started beyond it).
void settle(const BiasModel& m, Bias& s, float celsius, double now) {
    if (s.tripped) return;
    const double trip = volts_at_current(m, s.current_limit, celsius);
    const float v = voltage_at(s, now);
    if (!(std::fabs(v) > trip)) return;
    double when = s.since;
    if (std::fabs(s.from) < trip && s.rate > 0.0f) when += (trip - std::fabs(s.from)) / s.rate;
    s.trip_current = leakage_ua(m, v, celsius);
    s.tripped = true;
    s.on = false;
    s.from = 0.0f;  // a tripped supply discharges at once
    s.since = std::min(when, now);
}

std::string source_name(const BiasModel& m) { return "bias source " + quoted(m.id.c_str()); }

int tripped_error(vrex_ctx_t* ctx, const BiasModel& m, const Bias& s) {
    return fail_with(ctx->error, -2,
                     "Bias source " + quoted(m.id.c_str()) + " has tripped (it drew " + number(s.trip_current) +
                         " uA, above its limit of " + number(s.current_limit) +
                         " uA) and its output is off; clear the trip first");
}

struct Source {
    const BiasModel& model;
    Bias& state;
    OpenDevice dev;
    double now;
    float celsius;
};

// Runs `work(source)` on bias source `biasId` of the open device, brought up to now, with the simulator lock held.
template <class Work>
int on_bias(vrex_ctx_t* ctx, const std::optional<Fault>& fault, const char* biasId, Work&& work) {
    return on_device(ctx, fault, [&](const OpenDevice& dev) {
        const BiasModel* m = find_named(dev.model->bias, biasId);
        if (!m) return unknown(ctx, "bias source", biasId);
        Source src{*m, dev.state->bias[m->id], dev, clock_s(), sensor_celsius(*dev.model, *dev.state)};
        settle(src.model, src.state, src.celsius, src.now);
        return work(src);
    });
}

int float_out(vrex_ctx_t* ctx, float* out, float value) {
    if (out == nullptr) return null_out(ctx);
    *out = value;
    return 0;
}

int flag_out(vrex_ctx_t* ctx, int* out, bool value) {
    if (out == nullptr) return null_out(ctx);
    *out = value ? 1 : 0;
    return 0;
}

// A setting within (0, most].
int check_positive(vrex_ctx_t* ctx, const BiasModel& m, const char* what, float value, float most, const char* unit) {
    if (value > 0.0f && value <= most) return 0;
    return fail_with(ctx->error, -3,
                     std::string(what) + " " + number(value) + " " + unit + " of " + source_name(m) +
                         " outside (0, " + number(most) + "]");
}

// ---- monitored quantities ------------------------------------------------------------------------------------------

constexpr double warmup_s = 30.0;

struct Reading {
    bool available = false;
    float value = 0.0f;
};


Reading read_quantity(const DeviceModel& device, DeviceState& state, const MonitorModel& q, double now) {
    Reading r;
    if (!q.board.empty()) {
        const auto powered = state.powered.find(q.board);
        if (powered == state.powered.end() || powered->second == 0) return r;
    }
    r.available = true;
    const std::string_view source(q.source);
    const auto colon = source.find(':');
    const Bytes kind(source.substr(0, colon));
    const Bytes id(colon == std::string_view::npos ? std::string_view() : source.substr(colon + 1));
    if (kind == "cooling") {
        const CoolingModel* unit = find_named(device.cooling, id.c_str());
        r.value = unit ? cooling_temperature(*unit, state) : NAN;
    } else if (kind == "bias_voltage" || kind == "bias_current") {
        const BiasModel* m = find_named(device.bias, id.c_str());
        if (!m) {
            r.value = NAN;
        } else {
            Bias& s = state.bias[m->id];
            const float celsius = sensor_celsius(device, state);
            settle(*m, s, celsius, now);
            const float v = voltage_at(s, now);
            r.value = kind == "bias_voltage" ? v : leakage_ua(*m, v, celsius);
        }
    } else {
        double warm = 1.0;
        if (!q.board.empty()) {
            const auto since = state.powered_since.find(q.board);
            if (since != state.powered_since.end()) warm = 1.0 - std::exp(-std::max(0.0, now - since->second) / warmup_s);
        }
        r.value = static_cast<float>(q.value + q.warmup * warm);
    }
    return r;
}

template <class Work>
int on_quantity(vrex_ctx_t* ctx, const std::optional<Fault>& fault, const char* monitorId, Work&& work) {
    return on_device(ctx, fault, [&](const OpenDevice& dev) {
        const MonitorModel* q = find_named(dev.model->monitors, monitorId);
        if (!q) return unknown(ctx, "monitored quantity", monitorId);
        return work(*q, read_quantity(*dev.model, *dev.state, *q, clock_s()), dev);
    });
}

}  // namespace

// ---- the monitor thread ----------------------------------------------------------------------------------------------

struct MonitorThread {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};

namespace {

struct Change {
    Bytes id;
    MonitorRegistration callbacks;
    bool availability_changed;
    bool value_changed;
};

// One look at the registered quantities of `ctx`: what changed since the last report, with the callbacks to tell.
std::vector<Change> look(VrexContext* ctx, double& interval) {
    std::vector<Change> changes;
    std::lock_guard lock(sim().mutex);
    std::lock_guard ctx_lock(ctx->mutex);
    const long index = ctx->device.load();
    if (index < 0 || static_cast<std::size_t>(index) >= sim().model.devices.size()) return changes;
    const DeviceModel& device = sim().model.devices[static_cast<std::size_t>(index)];
    DeviceState& state = sim().states[static_cast<std::size_t>(index)];
    interval = device.monitor_interval_s;
    const double now = clock_s();
    for (auto& [id, reg] : ctx->monitors) {
        const MonitorModel* q = find_named(device.monitors, id.c_str());
        if (!q) continue;
        const Reading r = read_quantity(device, state, *q, now);
        const bool availability = r.available != reg.available;
        // NaN never equals itself: a quantity reading NaN is reported once, not on every look.
        const bool value = r.available && r.value != reg.last && !(std::isnan(r.value) && std::isnan(reg.last));
        reg.available = r.available;
        if (r.available) reg.last = r.value;
        if ((availability && reg.avail) || (value && reg.value))
            changes.push_back(Change{id, reg, availability && reg.avail != nullptr, value && reg.value != nullptr});
    }
    return changes;
}

void monitor_loop(VrexContext* ctx, std::shared_ptr<MonitorThread> self) {
    for (;;) {
        {
            std::lock_guard lock(self->mutex);
            if (self->stop) return;  // the context may be gone: not looked at again
        }
        double interval = 0.02;
        const std::vector<Change> changes = look(ctx, interval);
        for (const Change& c : changes) {
            if (c.availability_changed) c.callbacks.avail(c.id.c_str(), c.callbacks.available ? 1 : 0, c.callbacks.avail_user);
            if (c.value_changed) c.callbacks.value(c.id.c_str(), c.callbacks.last, c.callbacks.value_user);
        }
        std::unique_lock lock(self->mutex);
        const auto pause = std::chrono::duration<double>(std::clamp(interval, 0.001, 10.0));
        if (self->wake.wait_for(lock, pause, [&] { return self->stop; })) return;
    }
}

// Registers one callback of quantity `monitorId`; `set(registration)` stores it. The registration starts from the
// quantity's present reading, so only later changes are reported.
template <class Set>
int register_monitor(vrex_ctx_t* ctx, const std::optional<Fault>& fault, const char* monitorId, Set&& set) {
    return on_quantity(ctx, fault, monitorId, [&](const MonitorModel& q, const Reading& r, const OpenDevice&) {
        std::lock_guard ctx_lock(ctx->mutex);
        auto [it, fresh] = ctx->monitors.try_emplace(q.id);
        if (fresh) {
            it->second.available = r.available;
            it->second.last = r.value;
        }
        set(it->second);
        if (!ctx->monitor_thread) {
            // Started with the locks held: its first look waits for them, and stop_monitor always finds it.
            auto t = std::make_shared<MonitorThread>();
            t->thread = std::thread(monitor_loop, ctx, t);
            ctx->monitor_thread = std::move(t);
        }
        return 0;
    });
}

}  // namespace

void stop_monitor(VrexContext* ctx) {
    std::shared_ptr<MonitorThread> t;
    {
        std::lock_guard lock(ctx->mutex);
        t = std::move(ctx->monitor_thread);
        ctx->monitors.clear();
    }
    if (!t) return;
    {
        std::lock_guard lock(t->mutex);
        t->stop = true;
    }
    t->wake.notify_all();
    if (t->thread.get_id() == std::this_thread::get_id()) t->thread.detach();
    else t->thread.join();
}

}  // namespace vrexsim

using namespace vrexsim;

extern "C" {

// ---- bias ----------------------------------------------------------------------------------------------------------

int vrex_bias_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_bias_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->bias.size()); });
}

int vrex_bias_id(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_bias_id", index), [&](const OpenDevice& dev) {
        return id_out(ctx, dev.model->bias, index, id, "Bias source", id_of<BiasModel>);
    });
}

int vrex_bias_polarity(vrex_ctx_t* ctx, const char* biasId, const char** polarity) {
    return on_bias(ctx, hook("vrex_bias_polarity", biasId), biasId, [&](Source& s) {
        if (polarity == nullptr) return null_out(ctx);
        *polarity = s.model.polarity.c_str();
        return 0;
    });
}

int vrex_bias_limits(vrex_ctx_t* ctx, const char* biasId, float* minimum, float* maximum) {
    return on_bias(ctx, hook("vrex_bias_limits", biasId), biasId, [&](Source& s) {
        if (minimum == nullptr || maximum == nullptr) return null_out(ctx);
        *minimum = s.model.min;
        *maximum = s.model.max;
        return 0;
    });
}

int vrex_bias_get_voltage(vrex_ctx_t* ctx, const char* biasId, float* volts) {
    return on_bias(ctx, hook("vrex_bias_get_voltage", biasId), biasId,
                   [&](Source& s) { return float_out(ctx, volts, voltage_at(s.state, s.now)); });
}

int vrex_bias_get_target(vrex_ctx_t* ctx, const char* biasId, float* volts) {
    return on_bias(ctx, hook("vrex_bias_get_target", biasId), biasId,
                   [&](Source& s) { return float_out(ctx, volts, s.state.target); });
}

int vrex_bias_set_voltage(vrex_ctx_t* ctx, const char* biasId, float volts) {
    return on_bias(ctx, hook("vrex_bias_set_voltage", biasId, volts), biasId, [&](Source& s) {
        const BiasModel& m = s.model;
        if (!std::isfinite(volts))
            return fail_with(ctx->error, -3, "Bias voltage " + number(volts) + " V of " + source_name(m) + " is not finite");
        const bool negative = m.polarity == "negative";
        if ((negative && volts > 0.0f) || (!negative && volts < 0.0f))
            return fail_with(ctx->error, -3,
                             "Bias voltage " + number(volts) + " V has the wrong polarity for " + source_name(m) +
                                 ", which is " + m.polarity);
        if (volts < m.min || volts > m.max)
            return fail_with(ctx->error, -3,
                             "Bias voltage " + number(volts) + " V of " + source_name(m) + " outside its limits [" +
                                 number(m.min) + ", " + number(m.max) + "]");
        if (s.state.tripped) return tripped_error(ctx, m, s.state);
        rebase(s.state, s.now);
        s.state.target = volts;
        return 0;
    });
}

int vrex_bias_get_ramp_rate(vrex_ctx_t* ctx, const char* biasId, float* rate) {
    return on_bias(ctx, hook("vrex_bias_get_ramp_rate", biasId), biasId,
                   [&](Source& s) { return float_out(ctx, rate, s.state.rate); });
}

int vrex_bias_set_ramp_rate(vrex_ctx_t* ctx, const char* biasId, float rate) {
    return on_bias(ctx, hook("vrex_bias_set_ramp_rate", biasId, rate), biasId, [&](Source& s) {
        if (const int status = check_positive(ctx, s.model, "Ramp rate", rate, s.model.max_rate, "V/s")) return status;
        rebase(s.state, s.now);
        s.state.rate = rate;
        return 0;
    });
}

int vrex_bias_get_current(vrex_ctx_t* ctx, const char* biasId, float* current) {
    return on_bias(ctx, hook("vrex_bias_get_current", biasId), biasId, [&](Source& s) {
        return float_out(ctx, current, leakage_ua(s.model, voltage_at(s.state, s.now), s.celsius));
    });
}

int vrex_bias_get_current_limit(vrex_ctx_t* ctx, const char* biasId, float* limit) {
    return on_bias(ctx, hook("vrex_bias_get_current_limit", biasId), biasId,
                   [&](Source& s) { return float_out(ctx, limit, s.state.current_limit); });
}

// A limit below the present current trips the source at once, as a real supply does.
int vrex_bias_set_current_limit(vrex_ctx_t* ctx, const char* biasId, float limit) {
    return on_bias(ctx, hook("vrex_bias_set_current_limit", biasId, limit), biasId, [&](Source& s) {
        if (const int status = check_positive(ctx, s.model, "Current limit", limit, s.model.max_current_limit, "uA"))
            return status;
        rebase(s.state, s.now);
        s.state.current_limit = limit;
        settle(s.model, s.state, s.celsius, s.now);
        return 0;
    });
}

int vrex_bias_on(vrex_ctx_t* ctx, const char* biasId) {
    return on_bias(ctx, hook("vrex_bias_on", biasId), biasId, [&](Source& s) {
        if (s.state.tripped) return tripped_error(ctx, s.model, s.state);
        rebase(s.state, s.now);
        s.state.on = true;
        return 0;
    });
}

int vrex_bias_off(vrex_ctx_t* ctx, const char* biasId) {
    return on_bias(ctx, hook("vrex_bias_off", biasId), biasId, [&](Source& s) {
        rebase(s.state, s.now);
        s.state.on = false;
        return 0;
    });
}

int vrex_bias_is_on(vrex_ctx_t* ctx, const char* biasId, int* on) {
    return on_bias(ctx, hook("vrex_bias_is_on", biasId), biasId, [&](Source& s) { return flag_out(ctx, on, s.state.on); });
}

int vrex_bias_is_ramping(vrex_ctx_t* ctx, const char* biasId, int* ramping) {
    return on_bias(ctx, hook("vrex_bias_is_ramping", biasId), biasId, [&](Source& s) {
        return flag_out(ctx, ramping, voltage_at(s.state, s.now) != output_goal(s.state));
    });
}

int vrex_bias_is_tripped(vrex_ctx_t* ctx, const char* biasId, int* tripped) {
    return on_bias(ctx, hook("vrex_bias_is_tripped", biasId), biasId,
                   [&](Source& s) { return flag_out(ctx, tripped, s.state.tripped); });
}

int vrex_bias_clear_trip(vrex_ctx_t* ctx, const char* biasId) {
    return on_bias(ctx, hook("vrex_bias_clear_trip", biasId), biasId, [&](Source& s) {
        if (s.state.tripped) {
            s.state.tripped = false;
            s.state.trip_current = 0.0f;
            rebase(s.state, s.now);  // the output stays off until switched on
        }
        return 0;
    });
}

int vrex_bias_stop_ramp(vrex_ctx_t* ctx, const char* biasId) {
    return on_bias(ctx, hook("vrex_bias_stop_ramp", biasId), biasId, [&](Source& s) {
        // A source ramping down because it was switched off keeps going: holding a voltage there would leave the
        // sensor biased by a supply that reports itself off.
        if (!s.state.on) return 0;
        rebase(s.state, s.now);
        s.state.target = s.state.from;
        return 0;
    });
}

int vrex_bias_wait(vrex_ctx_t* ctx, const char* biasId, float timeout, int* reached) {
    const auto fault = hook("vrex_bias_wait", biasId, timeout);
    if (ctx == nullptr) return -5;
    if (reached == nullptr) return null_out(ctx);
    if (std::isnan(timeout)) return fail_with(ctx->error, -3, "Bias wait timeout is not a number");
    const double deadline = clock_s() + (timeout < 0.0f ? INFINITY : static_cast<double>(timeout));
    bool first = true;
    for (;;) {
        bool done = false;
        double left = 0.0;
        // The fault, if any, applies to the first look only.
        const int status = on_bias(ctx, first ? fault : std::nullopt, biasId, [&](Source& s) {
            if (s.state.tripped) return tripped_error(ctx, s.model, s.state);
            const float v = voltage_at(s.state, s.now);
            done = v == output_goal(s.state);
            left = std::fabs(output_goal(s.state) - v) / std::max(s.state.rate, 1e-6f);
            return 0;
        });
        first = false;
        if (status < 0 || done) {
            *reached = done ? 1 : 0;
            return status;
        }
        const double now = clock_s();
        if (now >= deadline) {
            *reached = 0;
            return 0;
        }
        const double pause = std::min({0.005, deadline - now, std::max(left, 0.0005)});
        std::this_thread::sleep_for(std::chrono::duration<double>(pause));
    }
}

// ---- monitored quantities -------------------------------------------------------------------------------------------

int vrex_monitor_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_monitor_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->monitors.size()); });
}

int vrex_monitor_id(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_monitor_id", index), [&](const OpenDevice& dev) {
        return id_out(ctx, dev.model->monitors, index, id, "Monitored quantity", id_of<MonitorModel>);
    });
}

int vrex_monitor_unit(vrex_ctx_t* ctx, const char* monitorId, const char** unit) {
    return on_quantity(ctx, hook("vrex_monitor_unit", monitorId), monitorId,
                       [&](const MonitorModel& q, const Reading&, const OpenDevice&) {
                           if (unit == nullptr) return null_out(ctx);
                           *unit = q.unit.c_str();
                           return 0;
                       });
}

int vrex_monitor_get_value(vrex_ctx_t* ctx, const char* monitorId, float* value) {
    return on_quantity(ctx, hook("vrex_monitor_get_value", monitorId), monitorId,
                       [&](const MonitorModel& q, const Reading& r, const OpenDevice&) {
                           if (value == nullptr) return null_out(ctx);
                           if (!r.available)
                               return fail_with(ctx->error, -2,
                                                "Monitored quantity " + quoted(q.id.c_str()) +
                                                    " is unavailable: board " + quoted(q.board.c_str()) +
                                                    " is not powered");
                           *value = r.value;
                           return 0;
                       });
}

int vrex_monitor_is_available(vrex_ctx_t* ctx, const char* monitorId, int* available) {
    return on_quantity(ctx, hook("vrex_monitor_is_available", monitorId), monitorId,
                       [&](const MonitorModel&, const Reading& r, const OpenDevice&) {
                           return flag_out(ctx, available, r.available);
                       });
}

int vrex_monitor_set_value_callback(vrex_ctx_t* ctx, const char* monitorId, vrex_monitor_value_func func, void* user) {
    return register_monitor(ctx, hook("vrex_monitor_set_value_callback", monitorId), monitorId,
                            [&](MonitorRegistration& r) {
                                r.value = func;
                                r.value_user = func ? user : nullptr;
                            });
}

int vrex_monitor_set_avail_callback(vrex_ctx_t* ctx, const char* monitorId, vrex_monitor_avail_func func, void* user) {
    return register_monitor(ctx, hook("vrex_monitor_set_avail_callback", monitorId), monitorId,
                            [&](MonitorRegistration& r) {
                                r.avail = func;
                                r.avail_user = func ? user : nullptr;
                            });
}

}  // extern "C"
