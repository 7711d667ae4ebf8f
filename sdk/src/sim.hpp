// Internals shared by the sources of the simulated SDK: the process-wide simulator, handles, last errors,
// the entry hook (call log and fault injection) every SDK function runs first.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vrex_sim.hpp"

namespace vrexsim {

// The last error of one handle. The getter hands out a pointer that must stay readable while the caller
// converts it, even if another thread fails on the same handle meanwhile, so messages rotate through a ring of
// slots instead of overwriting one string.
class LastError {
public:
    void set(std::string_view message) {
        std::lock_guard lock(mutex_);
        std::string& slot = ring_[next_++ % ring_.size()];
        slot.assign(message.data(), message.size());
        current_ = slot.c_str();
    }
    void set_null() {
        std::lock_guard lock(mutex_);
        current_ = nullptr;
    }
    const char* get() {
        std::lock_guard lock(mutex_);
        return current_;
    }

private:
    std::mutex mutex_;
    std::array<std::string, 16> ring_;
    unsigned next_ = 0;
    const char* current_ = "";
};

struct Fault {
    int status = -1;
    std::optional<Bytes> message;
    long long count = 1;  // -1: until cleared
    bool perform = false;
};

struct LogSink {
    vrex_log_func func = nullptr;
    void* user = nullptr;
    vrex_log_frmt format{};
};

struct Registration {
    vrex_acq_data_func func = nullptr;
    void* user = nullptr;
};

struct AcqRun;  // a running acquisition on one channel (acquisition.cpp)

// The callbacks registered for one monitored quantity, and what was last reported for it.
struct MonitorRegistration {
    vrex_monitor_value_func value = nullptr;
    void* value_user = nullptr;
    vrex_monitor_avail_func avail = nullptr;
    void* avail_user = nullptr;
    bool available = false;
    float last = 0.0f;
};

struct MonitorThread;  // the thread that looks for changes of monitored quantities (sensor.cpp)

}  // namespace vrexsim

struct VrexContext {
    vrexsim::LastError error;
    // Index of the open device, -1 when none. Written with both the simulator's and this context's lock held,
    // so a reader holding either sees a settled value without taking the other.
    std::atomic<long> device{-1};
    std::mutex mutex;  // guards the members below
    std::vector<vrexsim::LogSink> sinks;
    std::map<vrexsim::Bytes, vrexsim::Registration> callbacks;            // per channel
    std::map<vrexsim::Bytes, std::shared_ptr<vrexsim::AcqRun>> runs;    // per channel
    std::map<vrexsim::Bytes, vrexsim::MonitorRegistration> monitors;    // per monitored quantity
    std::shared_ptr<vrexsim::MonitorThread> monitor_thread;             // started by the first registration
};

struct VrexEnumeration {
    vrexsim::LastError error;
    vrexsim::DeviceModel device;  // a copy: enumeration runs without the simulator lock
};

namespace vrexsim {

struct Sim {
    std::mutex mutex;  // guards model, states, contexts
    Model model;
    std::vector<DeviceState> states;
    std::set<VrexContext*> contexts;

    // Call log and faults. `hooks_active` lets every SDK function skip all of this with one atomic load when
    // nothing is recorded and no fault is pending.
    std::atomic<bool> hooks_active{false};
    std::mutex hooks_mutex;
    bool recording = false;
    std::vector<Call> calls;
    std::map<std::string, std::deque<Fault>> faults;

    void update_hooks_active() { hooks_active.store(recording || !faults.empty(), std::memory_order_release); }
};

// The simulator lives for the whole process and is never destroyed, so SDK threads still running at exit
// never meet a destroyed global.
Sim& sim();

std::optional<Fault> slow_hook(const char* name, const std::vector<Arg>* args);

template <class... A>
std::optional<Fault> hook(const char* name, const A&... args) {
    Sim& s = sim();
    if (!s.hooks_active.load(std::memory_order_acquire)) return std::nullopt;
    bool recording;
    {
        std::lock_guard lock(s.hooks_mutex);
        recording = s.recording;
    }
    if (recording) {
        const std::vector<Arg> list{Arg(args)...};
        return slow_hook(name, &list);
    }
    return slow_hook(name, nullptr);
}

inline void set_error(LastError& e, const std::optional<Bytes>& message) {
    if (message) e.set(*message);
    else e.set_null();
}

// Runs `work` (returning a status) under the fault of this call, if any: a fault without `perform` replaces the
// call; with `perform` the call does its work and the fault's status is returned instead of its own.
template <class Handle, class Work>
int run(Handle* h, const std::optional<Fault>& fault, Work&& work) {
    if (h == nullptr) return -5;
    if (fault && !fault->perform) {
        set_error(h->error, fault->message);
        return fault->status;
    }
    const int status = work();
    if (fault) {
        set_error(h->error, fault->message);
        return fault->status;
    }
    return status;
}

inline int fail_with(LastError& e, int status, std::string_view message) {
    e.set(message);
    return status;
}

// The device open on `ctx`, with the simulator lock held by the caller; sets the last error when none is open.
struct OpenDevice {
    DeviceModel* model;
    DeviceState* state;
    std::size_t index;
};
std::optional<OpenDevice> open_device(VrexContext* ctx);  // caller holds sim().mutex

// Sends a message to the sinks of `ctx` (or of every context when ctx is null), from the calling thread.
void log_message(VrexContext* ctx, Severity severity, std::string_view message);

// Acquisition engine (acquisition.cpp). Stops every acquisition of the context and joins its workers (a worker
// that calls this from its own callback is detached instead of joined). Called without the simulator lock.
void stop_acquisitions(VrexContext* ctx);

DeviceState initial_state(const DeviceModel& device);

// Sensor family (sensor.cpp): ends the context's monitor registrations, stops its monitor thread and joins it (detached instead when called from
// that thread's own callback). Called without the simulator lock.
void stop_monitor(VrexContext* ctx);

// The temperature `unit` has reached by now (services.cpp).
float cooling_temperature(const CoolingModel& unit, const DeviceState& state);

// Steady-clock seconds: the time base of everything that changes with time in the simulated device.
inline double clock_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The chip's temperature (degrees Celsius), the one temperature the detector's physics follows: the first cooling
// unit's actual temperature (25 without one) plus the heat of every powered board (physics.cpp). Callers hold the
// simulator lock or own `state`.
double chip_temperature(const DeviceModel& device, const DeviceState& state);
// The same for the model's own settings, as a device has them when it is attached.
double model_temperature(const DeviceModel& device);

// ---- helpers every family uses -----------------------------------------------------------------------------

// An identifier as it appears in a last-error text.
inline std::string quoted(const char* id) { return id ? std::string("'") + id + "'" : std::string("(null)"); }

// Identifier lookups. Configuration scripts call the SDK in loops, so a lookup measures the identifier once and
// compares lengths before bytes, instead of a strlen and a compare per entry.
inline bool listed(const std::vector<Bytes>& items, const char* id) {
    if (id == nullptr) return false;
    const std::string_view key(id);
    for (const Bytes& item : items)
        if (std::string_view(item) == key) return true;
    return false;
}

template <class T>
const T* find_named(const std::vector<T>& items, const char* id) {
    if (id == nullptr) return nullptr;
    const std::string_view key(id);
    for (const T& item : items)
        if (std::string_view(item.id) == key) return &item;
    return nullptr;
}

inline int null_out(vrex_ctx_t* ctx) { return fail_with(ctx->error, -5, "Null out-parameter"); }

inline int unknown(vrex_ctx_t* ctx, const char* what, const char* id) {
    return fail_with(ctx->error, -3, std::string("Unknown ") + what + " " + quoted(id));
}

// Runs `work(device)` on the device open on `ctx`, with the simulator lock held; -2 when none is open. Strings
// of the model handed out stay valid until the device is closed.
template <class Work>
int on_device(vrex_ctx_t* ctx, const std::optional<Fault>& fault, Work&& work) {
    return run(ctx, fault, [&] {
        std::lock_guard lock(sim().mutex);
        const auto dev = open_device(ctx);
        if (!dev) return -2;
        return work(*dev);
    });
}

// The count of a model list as an int out-value.
inline int count_out(vrex_ctx_t* ctx, int* out, std::size_t n) {
    if (out == nullptr) return null_out(ctx);
    *out = static_cast<int>(n);
    return 0;
}

// The identifier at `index` of a model list as a string out-value; `what` names the list in the error.
template <class T, class Id>
int id_out(vrex_ctx_t* ctx, const std::vector<T>& items, int index, const char** out, const char* what, Id&& id) {
    if (out == nullptr) return null_out(ctx);
    if (index < 0 || static_cast<std::size_t>(index) >= items.size())
        return fail_with(ctx->error, -3, std::string(what) + " index " + std::to_string(index) + " out of range");
    *out = id(items[static_cast<std::size_t>(index)]).c_str();
    return 0;
}

inline const Bytes& self(const Bytes& b) { return b; }
template <class T>
const Bytes& id_of(const T& item) {
    return item.id;
}

}  // namespace vrexsim
