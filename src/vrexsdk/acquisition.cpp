// vrexsdk.acquisition: __Acquisition, the acquisition channels of a Device: beginning, awaiting and aborting
// acquisitions, registering the Python callable that receives the data, and the delivery functions the SDK
// calls on its own threads for every data block, which hand the block to the callable as NumPy arrays over the
// SDK's memory.
#include "support/arrays.hpp"
#include "support/calls.hpp"
#include "support/derive.hpp"
#include "block.hpp"

#include <chrono>
#include <cstring>
#include <memory>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using vrex::AcquisitionObject;
using vrex::Element;
using vrex::Optional;
using vrex::Ref;
using vrex::Text;

// ---- callables handed to the SDK -----------------------------------------------------------------------------------
//
// The SDK keeps the registered callable as the user pointer of its channel and may deliver to it at any time
// until the device is closed. Device.finalize() releases the current holder, though, and a delivery that came
// after it would call a freed object. So every callable handed to the SDK is counted here while a holder keeps
// it, and a delivery calls only a callable still counted. Touched with the GIL held only.

struct LiveCallable {
    std::size_t holders = 0;
    bool warned = false;  // a kept array was reported since the callable was last registered
};

// ---- when a replaced callable may be released ------------------------------------------------------------------
//
// A registration replaces the SDK's user pointer of one channel; a run that was delivering there may still hand
// the old pointer to a delivery (the SDK applies a registration from the next block). A replaced holder is
// therefore deleted only once its channel is idle: no run begun, or about to begin, since the last end() or
// abort() that returned. Deleting it earlier would also let a new callable take the freed address and receive
// blocks meant for the old one. State per SDK context and channel, so every wrapper of a context sees the same
// runs; touched with the GIL held only.

struct ChannelRuns {
    int users = 0;            // begin(), end() and abort() calls using this entry (it is erased when idle)
    int beginning = 0;        // begin() calls in progress
    bool active = false;      // a begin() succeeded and no end() or abort() returned since
    std::uint64_t begun = 0;  // successful begin() calls so far
};

using RunKey = std::pair<vrex_ctx_t*, std::string>;

// ---- the module's process-wide state -----------------------------------------------------------------------------
//
// All in one place: the module is initialised once per process, and the SDK hands its callbacks nothing to find
// a module state with. Never destroyed: SDK threads may deliver until the process ends. The maps are touched
// with the GIL held only; the types, the warning class and the thread ident are set at initialisation and only
// read afterwards.
struct AcquisitionModuleState {
    std::unordered_map<PyObject*, LiveCallable> live_callables;
    std::map<RunKey, ChannelRuns> channel_runs;
    // Registrations hold this from before their SDK call until their holders are filed, so the holder recorded
    // as a channel's registered one is the one the SDK kept, whatever the threads' order. Taken with the GIL
    // released (a thread waiting for it holds no GIL); no Python code runs while it is held.
    std::mutex registration_mutex;
    PyTypeObject* acquisition_type = nullptr;     // this module's __Acquisition
    PyTypeObject* chip_type = nullptr;            // vrexsdk.chip.__Chip
    PyObject* delivered_array_warning = nullptr;  // vrexsdk.acquisition.DeliveredArrayWarning
    unsigned long main_thread_ident = 0;          // threading.main_thread().ident
};

AcquisitionModuleState& module_state() {
    static auto* state = new AcquisitionModuleState();
    return *state;
}

void release_callable(PyObject* f) {
    auto& live = module_state().live_callables;
    const auto it = live.find(f);
    if (it != live.end() && --it->second.holders == 0) live.erase(it);
}

LiveCallable* live_callable(PyObject* f) {
    auto& live = module_state().live_callables;
    const auto it = live.find(f);
    return it == live.end() ? nullptr : &it->second;
}

bool channel_idle(vrex_ctx_t* ctx, const std::string& channel) {
    const auto it = module_state().channel_runs.find(RunKey(ctx, channel));
    return it == module_state().channel_runs.end() || (!it->second.active && it->second.beginning == 0);
}

// Holders to delete once a call is done with its bookkeeping: deleting one may run Python code (a __del__, a
// weak-reference callback), which may register again. An exception pending meanwhile is kept out of it.
class Doomed {
public:
    Doomed() = default;
    Doomed(const Doomed&) = delete;
    Doomed& operator=(const Doomed&) = delete;
    ~Doomed() {
        if (holders_.empty()) return;
        const vrex::ErrorScope scope;
        for (vrex::PyRef* holder : holders_) delete holder;
    }
    // Reserves room first where it may fail; push() itself never allocates beyond it.
    bool reserve(std::size_t n) {
        try {
            holders_.reserve(n);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    void push(vrex::PyRef* holder) noexcept {
        if (holders_.size() < holders_.capacity()) holders_.push_back(holder);  // else kept: a leak, not a fault
    }

private:
    std::vector<vrex::PyRef*> holders_;
};

// Moves the replaced holders of `a` whose channel is idle now into `doomed`.
void release_idle(AcquisitionObject* a, vrex_ctx_t* ctx, Doomed& doomed) {
    auto& replaced = a->dataHolders.replaced;
    if (replaced.empty() || !doomed.reserve(replaced.size() + 2)) return;
    std::size_t kept = 0;
    for (auto& entry : replaced) {
        if (channel_idle(ctx, entry.first)) {
            doomed.push(entry.second);
        } else {
            replaced[kept++] = std::move(entry);
        }
    }
    replaced.resize(kept);
}

constexpr const char kept_array_message[] =
    "a delivered array outlived its callback: it views SDK memory that is reused for the next block; keep a copy "
    "(array.copy())";

// ---- delivery -----------------------------------------------------------------------------------------------------

// One data block: the SDK getters run without the GIL; the GIL is taken once to build the arrays and call the
// callable. A failure (a getter status that maps to an exception, an array that cannot be built, a raising or
// uncallable callable) is reported through sys.unraisablehook with the delivery's traceback entry and cleared,
// so it is seen, never left pending on an SDK thread, and the next block is delivered normally.
class Delivery {
public:
    Delivery(vrex_acq_t* acq, void* user, const char* name) noexcept
        : acq_(acq), func_(static_cast<PyObject*>(user)), name_(name) {}

    // After each getter: true to go on. A failing status takes the GIL only to raise and report.
    bool got(int status) {
        if (status >= 0) return true;
        const vrex::CallbackGil gil;
        if (!gil.held()) return false;
        const vrex::ErrorScope scope;  // an exception already pending on this thread stays out of the delivery
        if (vrex::check(status, acq_)) return true;  // a status the mapping does not raise for
        report();
        return false;
    }
    // The status check as block.hpp's fetchers take it.
    bool operator()(int status) { return got(status); }

    // Builds the arguments with `build(args)` and calls the callable with them.
    template <class Build>
    void call(Build&& build) {
        const vrex::CallbackGil gil;
        if (!gil.held()) return;
        // A callable released by Device.finalize() is not called any more.
        const LiveCallable* const live = live_callable(func_);
        if (live == nullptr) return;
        const bool warned = live->warned;  // `live` may be gone once the callable has run
        const vrex::ErrorScope scope;
        const Ref func = Ref::borrow(func_);  // the callable may drop its last holder while it runs
        Args args;
        if (!build(args)) {
            report();
            return;
        }
        // The callable may release the GIL and want it back while the interpreter exits: see exit_safe.
        Ref result = Ref::steal(vrex::exit_safe([&] {
            return PyObject_Vectorcall(func.get(), args.argv(),
                                       static_cast<std::size_t>(args.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        }));
        if (!result) report();  // first: the traceback of a raising callable holds its arrays too
        result = Ref();
        args.drop();
        if (!warned && args.kept()) warn_kept();
    }

    // The positional arguments of one call, owned until the call is done, and the exporters of every array
    // made for it. Slot 0 is left free for PY_VECTORCALL_ARGUMENTS_OFFSET, which spares bound methods a copy.
    // Plain arrays with counts rather than arrays of Ref: a delivery makes and drops one of these per block, and
    // only the slots in use are touched; the destructor releases whatever is still owned.
    class Args {
    public:
        Args() noexcept = default;
        Args(const Args&) = delete;
        Args& operator=(const Args&) = delete;
        ~Args() {
            drop();
            for (int i = 0; i < exporter_count_; ++i) Py_DECREF(exporters_[i]);
        }

        // Takes the reference `value` (null: a failure, with the error set).
        bool add(PyObject* value) {
            if (value == nullptr) return false;
            if (n_ == most) {  // no delivery passes that many arguments
                Py_DECREF(value);
                PyErr_SetString(PyExc_SystemError, "too many delivery arguments");
                return false;
            }
            slots_[++n_] = value;
            return true;
        }
        bool wrap(Element e, std::uint64_t count, void* data) { return add(array(e, count, data)); }
        // A new array for this call (an argument itself, or a part of one such as the metadata dict).
        PyObject* array(Element e, std::uint64_t count, void* data) {
            PyObject* exporter = nullptr;
            PyObject* const made = vrex::wrap_buffer(e, count, data, &exporter, &numpy_);
            if (exporter != nullptr) {
                if (exporter_count_ < most) exporters_[exporter_count_++] = exporter;
                else Py_DECREF(exporter);  // not tracked: no delivery makes that many arrays
            }
            return made;
        }
        PyObject* const* argv() const { return slots_ + 1; }
        int size() const { return n_; }
        // Drops the call's references to its arguments.
        void drop() {
            for (; n_ > 0; --n_) Py_DECREF(slots_[n_]);
        }
        // After drop(): whether an array made for the call, or a view of one, is still alive.
        bool kept() const {
            for (int i = 0; i < exporter_count_; ++i)
                if (vrex::exporter_in_use(exporters_[i])) return true;
            return false;
        }

    private:
        static constexpr int most = 6;  // a delivery passes at most four arguments and makes at most six arrays
        PyObject* slots_[most + 1];     // owned from 1 to n_
        PyObject* exporters_[most];     // owned below exporter_count_
        int n_ = 0;
        int exporter_count_ = 0;
        vrex::NumpyCheck numpy_;
    };

private:
    void report() {
        vrex::add_traceback(name_);
        vrex::report_unraisable(name_);
    }

    // The callable kept what it was handed: said once per registration, as a warning users can filter or turn
    // into an error (which is then reported like any failing delivery).
    void warn_kept() {
        LiveCallable* const live = live_callable(func_);
        PyObject* const warning = module_state().delivered_array_warning;
        if (live == nullptr || live->warned || warning == nullptr) return;
        live->warned = true;
        if (PyErr_WarnExplicit(warning, kept_array_message, name_, 1, "vrexsdk.acquisition", nullptr) < 0)
            report();
    }

    vrex_acq_t* acq_;
    PyObject* func_;
    const char* name_;
};

// The metadata of the data-driven modes as the callable sees it: {"shutterStart": ticks, "tdcs": [tdc0, tdc1,
// tdc2]}.
PyObject* build_metadata(const vrex::block::Metadata& meta, Delivery::Args& a) {
    PyObject* const shutter_key = vrex::interned<"shutterStart">();
    PyObject* const tdcs_key = vrex::interned<"tdcs">();
    if (shutter_key == nullptr || tdcs_key == nullptr) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    const Ref start = Ref::steal(PyLong_FromUnsignedLongLong(meta.shutter));
    Ref tdcs = Ref::steal(PyList_New(3));
    if (!dict || !start || !tdcs) return nullptr;
    for (int tdc = 0; tdc < 3; ++tdc) {
        PyObject* const toa = a.array(Element::U64, meta.count[tdc], const_cast<std::uint64_t*>(meta.toas[tdc]));
        if (toa == nullptr) return nullptr;
        PyList_SET_ITEM(tdcs.get(), tdc, toa);
    }
    if (PyDict_SetItem(dict.get(), shutter_key, start.get()) < 0) return nullptr;
    if (PyDict_SetItem(dict.get(), tdcs_key, tdcs.get()) < 0) return nullptr;
    return dict.release();
}

#define DELIVERY(name) "vrexsdk.acquisition." name

// Frames of Timepix and Medipix chips: one flat uint16 array of frame count x 65536 pixels.
void tpx1_medipix_cb(vrex_acq_t* acq, void* f) {
    Delivery d(acq, f, DELIVERY("tpx1_medipix_cb"));
    vrex::block::Frames frames;
    if (!frames.fetch(acq, d)) return;
    d.call([&](Delivery::Args& a) { return a.wrap(Element::U16, frames.count << 16, frames.data); });
}

// Undecoded bytes, for every raw registration.
void raw_data_cb(vrex_acq_t* acq, void* f) {
    Delivery d(acq, f, DELIVERY("raw_data_cb"));
    vrex::block::Raw raw;
    if (!raw.fetch(acq, d)) return;
    d.call([&](Delivery::Args& a) { return a.wrap(Element::U8, raw.bytes, raw.data); });
}

// Timepix3 hits as one record array per block.
template <Element Record>
void packets_cb(vrex_acq_t* acq, void* f, const char* name) {
    Delivery d(acq, f, name);
    vrex::block::Packets hits;
    if (!hits.fetch(acq, d)) return;
    d.call([&](Delivery::Args& a) { return a.wrap(Record, hits.count, hits.data); });
}

void seq_toatot_data_cb(vrex_acq_t* acq, void* f) {
    packets_cb<Element::ToaTot>(acq, f, DELIVERY("seq_toatot_data_cb"));
}

void seq_eventitot_data_cb(vrex_acq_t* acq, void* f) {
    packets_cb<Element::ItotEvent>(acq, f, DELIVERY("seq_eventitot_data_cb"));
}

// Timepix3 hits as three vectors: addresses, then two quantities whose widths depend on the mode.
bool add_vectors(const vrex::block::Vectors& v, Delivery::Args& a, Element second_element, Element third_element) {
    return a.wrap(Element::U32, v.n, v.addresses) && a.wrap(second_element, v.n, v.second) &&
           a.wrap(third_element, v.n, v.third);
}

void seq_toatot_vec_data_cb(vrex_acq_t* acq, void* f) {
    Delivery d(acq, f, DELIVERY("seq_toatot_vec_data_cb"));
    vrex::block::Vectors v;
    if (!v.fetch_toa_tot(acq, d)) return;
    d.call([&](Delivery::Args& a) { return add_vectors(v, a, Element::U32, Element::U16); });
}

void seq_eventitot_vec_data_cb(vrex_acq_t* acq, void* f) {
    Delivery d(acq, f, DELIVERY("seq_eventitot_vec_data_cb"));
    vrex::block::Vectors v;
    if (!v.fetch_event_itot(acq, d)) return;
    d.call([&](Delivery::Args& a) { return add_vectors(v, a, Element::U16, Element::U16); });
}

// Data-driven hits with the shutter start and the TDC timestamps; the sorted mode uses it too (the sorting is
// the SDK's).
void dd_toatot_data_cb(vrex_acq_t* acq, void* f) {
    Delivery d(acq, f, DELIVERY("dd_toatot_data_cb"));
    vrex::block::Packets hits;
    vrex::block::Metadata meta;
    if (!hits.fetch(acq, d)) return;
    if (!meta.fetch(acq, d)) return;
    d.call([&](Delivery::Args& a) {
        return a.wrap(Element::ToaTot, hits.count, hits.data) && a.add(build_metadata(meta, a));
    });
}

void dd_toatot_vec_data_cb(vrex_acq_t* acq, void* f) {
    Delivery d(acq, f, DELIVERY("dd_toatot_vec_data_cb"));
    vrex::block::Vectors v;
    vrex::block::Metadata meta;
    if (!v.fetch_toa_tot(acq, d)) return;
    if (!meta.fetch(acq, d)) return;
    d.call([&](Delivery::Args& a) {
        return add_vectors(v, a, Element::U64, Element::U16) && a.add(build_metadata(meta, a));
    });
}

// Binned packets, bin descriptors, hit-count sums and integrated-ToT sums, each of its own length.
void binned_packets_cb(vrex_acq_t* acq, void* f) {
    Delivery d(acq, f, DELIVERY("binned_packets_cb"));
    vrex::block::Binned b;
    if (!b.fetch(acq, d)) return;
    d.call([&](Delivery::Args& a) {
        return a.wrap(Element::BinnedDdToaTot, b.packet_count, b.packets) &&
               a.wrap(Element::BinDescriptor, b.descr_count, b.descriptors) &&
               a.wrap(Element::U64, b.hits.count, b.hits.data) && a.wrap(Element::U64, b.itots.count, b.itots.data);
    });
}

// One array of per-bin sums.
void binned_count_sums_cb(vrex_acq_t* acq, void* f) {
    Delivery d(acq, f, DELIVERY("binned_count_sums_cb"));
    vrex::block::Sums sums;
    if (!sums.fetch_counts(acq, d)) return;
    d.call([&](Delivery::Args& a) { return a.wrap(Element::U64, sums.count, sums.data); });
}

void binned_itot_sums_cb(vrex_acq_t* acq, void* f) {
    Delivery d(acq, f, DELIVERY("binned_itot_sums_cb"));
    vrex::block::Sums sums;
    if (!sums.fetch_itots(acq, d)) return;
    d.call([&](Delivery::Args& a) { return a.wrap(Element::U64, sums.count, sums.data); });
}

#undef DELIVERY

// The delivery function of each block shape; the modes that select them are block.hpp's table.
vrex_acq_data_func delivery_of(vrex::block::Shape shape) {
    using vrex::block::Shape;
    switch (shape) {
        case Shape::Frames: return tpx1_medipix_cb;
        case Shape::Raw: return raw_data_cb;
        case Shape::ToaTotRecords: return seq_toatot_data_cb;
        case Shape::ItotEventRecords: return seq_eventitot_data_cb;
        case Shape::ToaTotVectors: return seq_toatot_vec_data_cb;
        case Shape::ItotEventVectors: return seq_eventitot_vec_data_cb;
        case Shape::DdToaTotRecords: return dd_toatot_data_cb;
        case Shape::DdToaTotVectors: return dd_toatot_vec_data_cb;
        case Shape::BinnedPackets: return binned_packets_cb;
        case Shape::CountSums: return binned_count_sums_cb;
        case Shape::ItotSums: return binned_itot_sums_cb;
    }
    return nullptr;
}

// Which delivery function a chip mode selects.
void fill_mode_table(vrex::ModeTable& table) {
    for (const vrex::block::ModeShape& m : vrex::block::mode_shapes) table.emplace(m.mode, delivery_of(m.shape));
}

// ---- __Acquisition --------------------------------------------------------------------------------------------------

PyObject* acquisition_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"ctx", "chip", nullptr};
    PyObject* slots[2] = {};
    if (!vrex::parse_tuple("__cinit__", names, 2, 2, args, kwargs, slots)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* a = reinterpret_cast<AcquisitionObject*>(self.get());
    new (&a->modeToCallback) vrex::ModeTable();
    new (&a->dataHolders) vrex::DataHolders();
    a->context = Py_NewRef(Py_None);
    a->chip = Py_NewRef(Py_None);
    if (!vrex::store_context(a->context, slots[0])) return nullptr;
    PyObject* const chip = slots[1];
    if (!vrex::none_or_instance(chip, module_state().chip_type)) return nullptr;
    Py_XSETREF(a->chip, Py_NewRef(chip));
    fill_mode_table(a->modeToCallback);
    return self.release();
}

int acquisition_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* a = reinterpret_cast<AcquisitionObject*>(self);
    Py_VISIT(a->context);
    Py_VISIT(a->chip);
    return 0;
}

int acquisition_clear(PyObject* self) {
    auto* a = reinterpret_cast<AcquisitionObject*>(self);
    Py_XSETREF(a->context, Py_NewRef(Py_None));
    Py_XSETREF(a->chip, Py_NewRef(Py_None));
    return 0;
}

// No SDK call, and the data-callable holders are kept: a block delivered later still finds a live callable. Only
// Device.finalize() releases them (and replacing registrations, once their channel is idle).
void acquisition_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* a = reinterpret_cast<AcquisitionObject*>(self);
    std::destroy_at(&a->modeToCallback);
    std::destroy_at(&a->dataHolders);  // the table only: the holders themselves stay, see above
    Py_CLEAR(a->context);
    Py_CLEAR(a->chip);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- an interruptible end ------------------------------------------------------------------------------------------
//
// vrex_acq_end blocks until the acquisition has finished, which may be never (a block that never comes). Python
// handles signals on the main thread only, between bytecodes, so a main thread blocked in the SDK would ignore
// Ctrl-C for as long as the acquisition lasts. There, the blocking call is made on a helper thread while the main
// thread waits for it in short slices with the GIL released and runs the signal handlers between slices. When a
// handler raises, the acquisition is aborted (the SDK returns from the abort once no delivery is in flight any
// more), the helper is joined and the handler's exception propagates.

constexpr auto signal_poll = std::chrono::milliseconds(50);

// vrex_acq_end on the main thread. Returns the SDK's status, or sets `interrupted` with the signal handler's
// exception pending (the acquisition then aborted and its helper joined).
int interruptible_end(vrex_ctx_t* ctx, const char* channel, bool& interrupted) {
    interrupted = false;
    std::optional<vrex::HelperThread> helper;
    try {
        helper.emplace([ctx, id = std::string(channel)] { return vrex_acq_end(ctx, id.c_str()); });
    } catch (const std::system_error&) {
        // No thread to spare: wait as any other thread does.
        return vrex::nogil([&] { return vrex_acq_end(ctx, channel); });
    }
    while (!vrex::nogil([&] { return helper->wait_for(signal_poll); })) {
        if (PyErr_CheckSignals() < 0) {
            interrupted = true;
            break;
        }
    }
    return vrex::nogil([&] {
        // Its status does not matter: the acquisition may have finished meanwhile.
        if (interrupted && !helper->done()) vrex_acq_abort(ctx, channel);
        return helper->join();
    });
}

bool on_main_thread() {
    const unsigned long main = module_state().main_thread_ident;
    return main != 0 && PyThread_get_thread_ident() == main;
}

// begin, abort and end: one SDK call on the channel; a failure waits 0.1 s before it is raised. They also keep
// the channel's run state: once an end() or abort() returns and no begin() came meanwhile, no delivery can use
// a replaced callable any more, and this object's replaced holders of idle channels are released.
enum class Control { begin, abort, end };

template <auto Sdk, Control kind>
PyObject* control(AcquisitionObject* self, PyObject* channelId) {
    Text channel;
    if (!channel.from_encode_buffer(channelId, "utf-8")) return nullptr;
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    constexpr bool begins = kind == Control::begin;
    ChannelRuns* runs = nullptr;
    RunKey key;
    try {
        key = RunKey(ctx, channel.c_str());
        // std::map: the reference stays valid while other entries come and go
        runs = &module_state().channel_runs[key];
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    ++runs->users;
    const std::uint64_t begun_before = runs->begun;
    if constexpr (begins) ++runs->beginning;  // before the SDK call: a registration meanwhile keeps what it replaces
    int status = 0;
    bool stopped = false;  // the run is over even though the call reports no success
    if (kind == Control::end && on_main_thread()) {
        bool interrupted = false;
        status = interruptible_end(ctx, channel.c_str(), interrupted);
        stopped = interrupted;  // aborted and waited for
    } else {
        status = vrex::nogil([&] { return Sdk(ctx, channel.c_str()); });
    }
    Doomed doomed;
    if constexpr (begins) {
        --runs->beginning;
        if (status >= 0) {
            runs->active = true;
            ++runs->begun;
        }
    } else if ((status >= 0 || stopped) && runs->begun == begun_before) {
        runs->active = false;
    }
    if (--runs->users == 0 && !runs->active && runs->beginning == 0)
        module_state().channel_runs.erase(key);  // idle again
    if constexpr (!begins) release_idle(self, ctx, doomed);
    if (stopped) return nullptr;
    if (!vrex::check_after_wait(status, ctx, 0.1)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* begin(AcquisitionObject* self, PyObject* channelId) {
    return control<vrex_acq_begin, Control::begin>(self, channelId);
}
PyObject* abort_(AcquisitionObject* self, PyObject* channelId) {
    return control<vrex_acq_abort, Control::abort>(self, channelId);
}
PyObject* end(AcquisitionObject* self, PyObject* channelId) { return control<vrex_acq_end, Control::end>(self, channelId); }

// self._Acquisition__setDataCallback(channelId, func, raw=<raw>)
PyObject* register_with(AcquisitionObject* self, PyObject* channelId, PyObject* func, PyObject* raw) {
    PyObject* const name = vrex::interned<"_Acquisition__setDataCallback">();
    static PyObject* kwnames = nullptr;  // ("raw",), made on first use
    if (kwnames == nullptr) kwnames = Py_BuildValue("(s)", "raw");
    if (name == nullptr || kwnames == nullptr) return nullptr;
    PyObject* const argv[] = {&self->ob_base, channelId, func, raw};
    return PyObject_VectorcallMethod(name, argv, 3, kwnames);
}

// The front methods return None whatever an override of the private method returns.
PyObject* setDataCallback(AcquisitionObject* self, PyObject* channelId, PyObject* func) {
    if (!Ref::steal(register_with(self, channelId, func, Py_False))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* setRawDataCallback(AcquisitionObject* self, PyObject* channelId, PyObject* func) {
    if (!Ref::steal(register_with(self, channelId, func, Py_True))) return nullptr;
    Py_RETURN_NONE;
}

// The mode the chip last selected, or null with the exception set.
PyObject* selected_mode(AcquisitionObject* self) {
    if (self->chip == nullptr || !PyObject_TypeCheck(self->chip, module_state().chip_type)) {
        PyErr_SetString(vrex::error_classes().invalid_operation,
                        "No chip: this acquisition object was created without one; use the one of a "
                        "vrexsdk.vrex.Device");
        return nullptr;
    }
    const char* const field = reinterpret_cast<vrex::ChipObject*>(self->chip)->mode;
    return PyUnicode_DecodeUTF8(field, static_cast<Py_ssize_t>(strnlen(field, vrex::mode_field_size)), "strict");
}

int refuse_mode(PyObject* mode) {
    const Ref message = Ref::steal(PyUnicode_FromFormat("%U is not supported!", mode));
    if (!message) return -1;
    const char* const text = PyUnicode_AsUTF8(message.get());
    if (text == nullptr) return -1;
    return vrex::__throw(-2, text);
}

// A new holder for `func`, stored first and kept even if the registration fails later. The holder it replaces
// as the newest stays where it is filed: a registered one is released only when its own channel gets another.
bool hold_callable(AcquisitionObject* self, PyObject* func) {
    auto* holder = new (std::nothrow) vrex::PyRef(func, release_callable);
    if (holder == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    LiveCallable& live = module_state().live_callables[func];
    ++live.holders;
    live.warned = false;  // a new registration is told again about arrays it keeps
    self->data_func_ref = holder;
    return true;
}

// The delivery function of the chip's selected mode (raw: the raw delivery, in whatever mode), or null with the
// exception set; `shape`, when given, receives what its blocks hold.
vrex_acq_data_func selected_delivery(AcquisitionObject* self, bool use_raw, vrex::block::Shape* shape) {
    const Ref mode = Ref::steal(selected_mode(self));
    if (!mode) return nullptr;
    const Ref available = vrex::call_method<"getModeIds">(self->chip);
    if (!available) return nullptr;
    const int listed = PySequence_Contains(available.get(), mode.get());
    if (listed < 0) return nullptr;
    if (listed == 0) {
        refuse_mode(mode.get());
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* const mode_text = PyUnicode_AsUTF8AndSize(mode.get(), &size);
    if (mode_text == nullptr) return nullptr;
    const std::string key = use_raw ? std::string("0:raw-data") : std::string(mode_text, static_cast<std::size_t>(size));
    // A mode the chip lists but this module cannot deliver is refused rather than registered without a function.
    const auto entry = self->modeToCallback.find(key);
    const vrex::block::ModeShape* const known = vrex::block::find_mode(key);
    if (entry == self->modeToCallback.end() || entry->second == nullptr || known == nullptr) {
        refuse_mode(mode.get());
        return nullptr;
    }
    if (shape != nullptr) *shape = known->shape;
    return entry->second;
}

// Registers `function` with `user` on `channel` and files `holder` (the newest holder, made by the caller; null for
// a registration that hands the SDK no Python callable, the native stages') as the channel's registered one. The
// holder it replaces is released now if the channel is idle, else once it is. False with the exception set.
bool register_filed(AcquisitionObject* self, const char* channel, vrex_acq_data_func function, void* user,
                    vrex::PyRef* holder) {
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return false;
    // Everything the filing below needs is allocated before the SDK call, which cannot be undone.
    Doomed doomed;
    std::string channel_key;
    try {
        channel_key = channel;
        self->dataHolders.registered.try_emplace(channel_key, nullptr);
        self->dataHolders.replaced.reserve(self->dataHolders.replaced.size() + 1);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    if (!doomed.reserve(self->dataHolders.replaced.size() + 2)) {
        PyErr_NoMemory();
        return false;
    }
    std::unique_lock filing(module_state().registration_mutex, std::defer_lock);
    const int status = vrex::nogil([&] {
        filing.lock();
        return vrex_acq_set_data_callback(ctx, channel, function, user);
    });
    if (status >= 0) {
        // Filed only if the holder is still the newest, made by this call: a finalize() that ran meanwhile (on
        // another thread, during the SDK call) has deleted it and emptied the table, and a registration that
        // started meanwhile has taken its place; an unfiled holder is kept, as every holder was before.
        const auto slot = self->dataHolders.registered.find(channel_key);
        if ((holder == nullptr || self->data_func_ref == holder) && slot != self->dataHolders.registered.end()) {
            vrex::PyRef* const previous = std::exchange(slot->second, holder);
            // A registration without a callable leaves none as the newest: the replaced one is released below
            // (now or once idle), so nothing may point to it any more.
            if (holder == nullptr && self->data_func_ref == previous) self->data_func_ref = nullptr;
            if (previous != nullptr && previous != holder) {
                if (channel_idle(ctx, channel_key)) {
                    doomed.push(previous);
                } else {
                    self->dataHolders.replaced.emplace_back(channel_key, previous);  // room reserved above
                }
            }
        }
    }
    // A failed call (even one whose status the mapping passes) files nothing: the SDK may have kept either.
    filing.unlock();
    release_idle(self, ctx, doomed);
    return vrex::check(status, ctx);
}

PyObject* setDataCallbackImpl(AcquisitionObject* self, PyObject* channelId, PyObject* func, Optional raw) {
    // Refused here, not at the first block: a delivery can only report a failed call as unraisable, once per
    // block, while end() returns normally.
    if (!PyCallable_Check(func)) {
        PyErr_Format(PyExc_TypeError, "func must be callable, not '%.200s'", Py_TYPE(func)->tp_name);
        return nullptr;
    }
    if (!hold_callable(self, func)) return nullptr;
    vrex::PyRef* const holder = self->data_func_ref;
    Text channel;
    if (!channel.from_encode_buffer(channelId, "utf-8")) return nullptr;
    const vrex_acq_data_func function = selected_delivery(self, raw.given() && raw.value == Py_True, nullptr);
    if (function == nullptr) return nullptr;
    if (!register_filed(self, channel.c_str(), function, func, holder)) return nullptr;
    Py_RETURN_NONE;
}

// ---- the native data path's access to the deliveries -------------------------------------------------------------
//
// vrexsdk._stages registers its own data function and may run a Python callable beside its native stages: it
// learns the selected mode's shape and delivery here, and holds the callable as setDataCallback does (so
// Device.finalize releases it and a later delivery skips it).

AcquisitionObject* as_acquisition(PyObject* acq) {
    PyTypeObject* const type = module_state().acquisition_type;
    if (type == nullptr || !PyObject_TypeCheck(acq, type)) {
        PyErr_Format(PyExc_TypeError, "Expected vrexsdk.acquisition.__Acquisition, got %.200s", Py_TYPE(acq)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<AcquisitionObject*>(acq);
}

vrex_acq_data_func api_select(PyObject* acq, int raw, vrex::block::Shape* shape) {
    AcquisitionObject* const a = as_acquisition(acq);
    return a == nullptr ? nullptr : selected_delivery(a, raw != 0, shape);
}

int api_register(PyObject* acq, const char* channel, vrex_acq_data_func function, void* user, PyObject* func) {
    AcquisitionObject* const a = as_acquisition(acq);
    if (a == nullptr || (func != nullptr && !hold_callable(a, func))) return -1;
    return register_filed(a, channel, function, user, func == nullptr ? nullptr : a->data_func_ref) ? 0 : -1;
}

vrex::block::DeliveryApi delivery_api = {vrex::block::DeliveryApi::current, api_select, api_register};

#define VREX_QUALIFIER "vrexsdk.acquisition.__Acquisition"

PyMethodDef acquisition_methods[] = {
    VREX_IDENTIFIER_LIST("getChannelIds",
                         "Retrieves identifiers of acquisition channels.\n\n"
                         "        Returns:\n"
                         "            A list of str objects representing identifiers of acquistion channels.\n        ",
                         "__getChannelCount", (vrex::method<AcquisitionObject, vrex_acq_ch_count>),
                         "__getChannelId", (vrex::method<AcquisitionObject, vrex_acq_ch_id>), "channelIdx"),
    VREX_METHOD("begin", begin,
                "Begins asynchronous acquisition.\n\n"
                "        Args:\n"
                "            channelId (str): Acquisition channel identifier.\n        ",
                "channelId"),
    VREX_METHOD("abort", abort_,
                "Aborts acquisition.\n\n"
                "        Args:\n"
                "            channelId (str): Acquisition channel identifier.\n        ",
                "channelId"),
    VREX_METHOD("end", end,
                "Blocks until the asynchronous acquisition started by :func:`~begin` is finished.\n\n"
                "        Args:\n"
                "            channelId (str): Acquisition channel identifier.\n        ",
                "channelId"),
    VREX_METHOD("setDataCallback", setDataCallback,
                "Sets processed acquisition data callback.\n\n"
                "        Args:\n"
                "            channelId (str): Acquisition channel identifier.\n"
                "            func (AcqDataCallback): Acquisition data callback.\n        ",
                "channelId", "func"),
    VREX_METHOD("setRawDataCallback", setRawDataCallback,
                "Sets raw acquisition data callback.\n\n"
                "        Args:\n"
                "            channelId (str): Acquisition channel identifier.\n"
                "            func (AcqDataCallback): Raw acquisition data callback.\n        ",
                "channelId", "func"),
    VREX_METHOD("__setDataCallback", setDataCallbackImpl,
                "Sets acquisition data callback.\n\n"
                "        Args:\n"
                "            channelId (str): Acquisition channel identifier.\n"
                "            func (AcqDataCallback): Acquisition data callback.\n"
                "            raw (bool): True if raw data should be retrieved, False otherwise\n        ",
                "channelId", "func", "raw"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

vrex::ServiceSpec<AcquisitionObject> acquisition_spec(VREX_QUALIFIER, VREX_SERVICE_DOC("Acquisition object."),
                                                      vrex::no_methods,
                                                      acquisition_new, acquisition_traverse, acquisition_clear,
                                                      acquisition_dealloc);

const char delivered_array_warning_source[] = R"(
class DeliveredArrayWarning(RuntimeWarning):
    """A delivered array, or a view of it, was still alive after its callback returned.

    The arrays handed to a data callback view SDK memory that is reused for the next block, so a kept array
    reads another block's data later. Keep a copy instead (``array.copy()``). Reported once per registration;
    filter it or turn it into an error with the :mod:`warnings` machinery.
    """
)";

// What the module does at initialisation beyond what every service module does.
bool finish_acquisition(PyObject* module, PyTypeObject* type) {
    AcquisitionModuleState& state = module_state();
    state.acquisition_type = type;
    // Importing chip here completes the mutual import whichever of the two modules came first.
    state.chip_type =
        reinterpret_cast<PyTypeObject*>(vrex::import_type("vrexsdk.chip", "__Chip", sizeof(vrex::ChipObject)));
    if (state.chip_type == nullptr || !vrex::init_arrays()) return false;
    state.delivered_array_warning = PyObject_GetAttrString(module, "DeliveredArrayWarning");  // kept for good
    if (state.delivered_array_warning == nullptr) return false;
    {
        const Ref threading = Ref::steal(PyImport_ImportModule("threading"));
        const Ref main = threading ? vrex::call_method<"main_thread">(threading.get()) : Ref();
        const Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
        if (!ident) return false;
        state.main_thread_ident = PyLong_AsUnsignedLong(ident.get());
        if (PyErr_Occurred()) return false;
    }
    const Ref api = Ref::steal(PyCapsule_New(&delivery_api, vrex::block::DeliveryApi::capsule_name, nullptr));
    return api && PyModule_AddObjectRef(module, "_delivery_api", api.get()) == 0;
}

}  // namespace

VREX_SERVICE_MODULE(acquisition, "Acquisition channels, control and delivery of measured data.",
                    .spec = &acquisition_spec.spec, .methods = acquisition_methods,
                    .bindings = {{"time", "time"}, {"np", "numpy"}}, .import_numpy = PyArray_ImportNumPyAPI,
                    .records = delivered_array_warning_source, .finish = finish_acquisition)
