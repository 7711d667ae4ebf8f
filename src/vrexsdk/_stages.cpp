// vrexsdk._stages: the native data path. A pipeline of stages (stages.hpp) is registered as a channel's data
// function; for every block the SDK's thread fetches the block's parts with the deliveries' getters (block.hpp)
// and runs the stages without the GIL. Python reads consistent snapshots at any time, drains the chunk queues
// the sinks fill, and may have a Python callable delivered beside the stages. vrexsdk.stages is its Python face.
#include "support/module.hpp"
#include "stages.hpp"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <unordered_map>

namespace vrex::stages {

std::vector<StageKind>& stage_kinds() {
    static std::vector<StageKind> kinds;
    return kinds;
}

std::size_t Chunk::bytes() const noexcept {
    std::size_t n = (blocks.size() + shutter.size()) * sizeof(std::uint64_t);
    for (const Group& g : groups) {
        n += g.counts.size() * sizeof(std::uint64_t);
        for (const Column& c : g.columns) n += c.data.size();
    }
    return n;
}

bool ChunkQueue::push(std::unique_ptr<Chunk> chunk) {
    const std::size_t size = chunk->bytes();
    std::unique_lock lock(mutex_);
    // A chunk larger than the whole bound still goes into an empty queue: waiting could never end.
    auto fits = [&] { return closed_ || chunks_.empty() || bytes_ + size <= max_bytes_; };
    if (full_ == Full::Wait) room_.wait(lock, fits);
    if (closed_ || !fits()) {
        dropped_blocks_ += chunk->blocks.size();
        dropped_events_ += chunk->events;
        ++dropped_chunks_;
        return false;
    }
    pushed_blocks_ += chunk->blocks.size();
    bytes_ += size;
    peak_ = std::max(peak_, bytes_);
    chunks_.push_back(std::move(chunk));
    lock.unlock();
    ready_.notify_one();
    return true;
}

std::unique_ptr<Chunk> ChunkQueue::pop(double timeout_s) {
    std::unique_lock lock(mutex_);
    auto ready = [&] { return closed_ || !chunks_.empty(); };
    if (timeout_s < 0) ready_.wait(lock, ready);
    else ready_.wait_for(lock, std::chrono::duration<double>(timeout_s), ready);
    if (chunks_.empty()) return nullptr;
    std::unique_ptr<Chunk> chunk = std::move(chunks_.front());
    chunks_.pop_front();
    bytes_ -= chunk->bytes();
    lock.unlock();
    room_.notify_all();
    return chunk;
}

void ChunkQueue::close() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }
    room_.notify_all();
    ready_.notify_all();
}

ChunkQueue::Stats ChunkQueue::stats() const {
    const std::lock_guard lock(mutex_);
    return {chunks_.size(), bytes_,          peak_,     pushed_blocks_, dropped_blocks_, dropped_events_,
            dropped_chunks_, max_bytes_, closed_, full_ == Full::Wait};
}

}  // namespace vrex::stages

namespace {

using vrex::Optional;
using vrex::Ref;
using namespace vrex::stages;

// ---- the pipeline -----------------------------------------------------------------------------------------------

// The totals every pipeline keeps, whatever its stages.
struct Totals {
    std::uint64_t blocks = 0;   // accepted and run through the stages
    std::uint64_t ignored = 0;  // delivered after the limit or after detaching
    std::uint64_t failed = 0;   // a getter failed: the stages did not see the block
    std::uint64_t hits = 0, frames = 0, bytes = 0, packets = 0, empty = 0;
    std::uint64_t tdc[3] = {};
    std::string error;  // the SDK's last error text of the latest failed block
};

struct Pipeline {
    Shape shape = Shape::Raw;
    std::vector<std::unique_ptr<Stage>> stages;
    std::vector<std::string> labels;
    // Whom consume() goes to, in order: the stages, those sharing a pass (fuse()) replaced by it.
    Fused fused;
    std::vector<Stage*> consumers;
    std::uint64_t limit = 0;  // 0: none
    // The Python delivery run beside the stages, with its callable (kept alive by the acquisition's holder and
    // by the Python pipeline object).
    vrex_acq_data_func beside = nullptr;
    PyObject* beside_func = nullptr;

    std::mutex mutex;  // the stages' state and the totals: the SDK's thread against snapshot readers
    // Readers waiting for `mutex`. The SDK's thread relocks it right after each block, so a reader left to the
    // mutex alone waits milliseconds while every unlock wakes it in vain (measured: a fifth of the throughput
    // at 40 snapshots a second); the SDK's thread lets readers go first instead, for one capture.
    std::atomic<int> readers{0};
    Totals totals;
    Derived derived;   // under `mutex`
    std::atomic<bool> detached{false};
    std::condition_variable full_cv;
    bool full = false;

    void run(vrex_acq_t* acq);
    void plan() {
        fused = fuse(stages, shape);
        for (std::size_t i = 0; i < stages.size(); ++i) {
            const auto& m = fused.members;
            if (std::find(m.begin(), m.end(), i) == m.end()) consumers.push_back(stages[i].get());
            else if (i == m.front()) consumers.push_back(fused.stage.get());
        }
    }
    void let_readers_in() {
        for (int r = readers.load(std::memory_order_acquire); r != 0; r = readers.load(std::memory_order_acquire))
            readers.wait(r, std::memory_order_acquire);
    }
};

// A reader's turn at the pipeline's state: announced before it waits, so the SDK's thread steps aside.
class ReaderTurn {
public:
    explicit ReaderTurn(Pipeline& p) : p_(p), lock_((p.readers.fetch_add(1, std::memory_order_acq_rel), p.mutex)) {}
    ~ReaderTurn() {
        lock_.unlock();
        p_.readers.fetch_sub(1, std::memory_order_acq_rel);
        p_.readers.notify_all();
    }
    ReaderTurn(const ReaderTurn&) = delete;
    ReaderTurn& operator=(const ReaderTurn&) = delete;

private:
    Pipeline& p_;
    std::unique_lock<std::mutex> lock_;
};

// Every pipeline the SDK may still deliver to, by the user pointer it was registered with. The SDK keeps a
// registration until another replaces it, so a pipeline dropped from Python must stay findable-as-gone: a
// delivery looks its pointer up here and runs a pipeline only while one is registered, holding a reference for
// the length of the block. Never destroyed (a late SDK thread may still look).
struct Registry {
    std::mutex mutex;
    std::unordered_map<const void*, std::shared_ptr<Pipeline>> live;
};
Registry& registry() {
    static auto* r = new Registry();
    return *r;
}

std::shared_ptr<Pipeline> find_pipeline(const void* user) {
    Registry& r = registry();
    const std::lock_guard lock(r.mutex);
    const auto it = r.live.find(user);
    return it == r.live.end() ? nullptr : it->second;
}

// Fetches every part of a block of `shape`; false (the error kept in `error`) when a getter failed.
bool fetch(vrex_acq_t* acq, Block& b, std::string& error) {
    auto got = [&](int status) {
        if (status >= 0) return true;
        const char* message = nullptr;
        error = vrex_acq_get_last_error(acq, &message) >= 0 && message != nullptr ? message : "";
        if (error.empty()) error = "getter failed with status " + std::to_string(status);
        return false;
    };
    switch (b.shape) {
        case Shape::Frames: return b.frames.fetch(acq, got);
        case Shape::Raw: return b.raw.fetch(acq, got);
        case Shape::ToaTotRecords:
        case Shape::ItotEventRecords: return b.packets.fetch(acq, got);
        case Shape::ToaTotVectors: return b.vectors.fetch_toa_tot(acq, got);
        case Shape::ItotEventVectors: return b.vectors.fetch_event_itot(acq, got);
        case Shape::DdToaTotRecords: return b.packets.fetch(acq, got) && b.metadata.fetch(acq, got);
        case Shape::DdToaTotVectors: return b.vectors.fetch_toa_tot(acq, got) && b.metadata.fetch(acq, got);
        case Shape::BinnedPackets: return b.binned.fetch(acq, got);
        case Shape::CountSums: return b.binned.hits.fetch_counts(acq, got);
        case Shape::ItotSums: return b.binned.itots.fetch_itots(acq, got);
    }
    return false;
}

void count(Totals& t, const Block& b) {
    const std::uint64_t hits = b.toa_tot_hits() + b.itot_event_hits();
    t.hits += hits;
    std::uint64_t size = hits;
    if (b.shape == Shape::Frames && b.frames.data != nullptr) {
        t.frames += b.frames.count;
        size = b.frames.count;
    } else if (b.shape == Shape::Raw && b.raw.data != nullptr) {
        t.bytes += b.raw.bytes;
        size = b.raw.bytes;
    } else if (b.shape == Shape::BinnedPackets && b.binned.packets != nullptr) {
        t.packets += b.binned.packet_count;
        size = b.binned.packet_count + b.binned.hits.count + b.binned.itots.count;
    } else if (b.shape == Shape::CountSums || b.shape == Shape::ItotSums) {
        size = (b.binned.hits.data ? b.binned.hits.count : 0) + (b.binned.itots.data ? b.binned.itots.count : 0);
    }
    if (size == 0) ++t.empty;
    if (b.data_driven())
        for (int tdc = 0; tdc < 3; ++tdc)
            if (b.metadata.toas[tdc] != nullptr) t.tdc[tdc] += b.metadata.count[tdc];
}

// On the SDK's thread, without the GIL (only the delivery run beside takes it).
void Pipeline::run(vrex_acq_t* acq) {
    if (detached.load(std::memory_order_acquire)) {
        const std::lock_guard lock(mutex);
        ++totals.ignored;
        return;
    }
    Block b;
    b.shape = shape;
    std::string error;
    const bool fetched = fetch(acq, b, error);
    bool accepted = false;
    {
        let_readers_in();
        const std::lock_guard lock(mutex);
        if (limit != 0 && totals.blocks >= limit) {
            ++totals.ignored;
        } else if (!fetched) {
            ++totals.failed;
            totals.error = std::move(error);
        } else {
            b.index = totals.blocks++;
            derived.next_block();
            b.derived = &derived;
            count(totals, b);
            for (Stage* stage : consumers) stage->consume(b);
            accepted = true;
            if (limit != 0 && totals.blocks >= limit) {
                full = true;
                full_cv.notify_all();
            }
        }
    }
    if (!accepted) return;
    for (const auto& stage : stages) stage->publish();
    if (beside != nullptr) beside(acq, beside_func);
}

void pipeline_cb(vrex_acq_t* acq, void* user) {
    if (const std::shared_ptr<Pipeline> p = find_pipeline(user)) p->run(acq);
}

// ---- Python ------------------------------------------------------------------------------------------------------
//
// Pipelines and queues reach Python as capsules owning a shared_ptr; vrexsdk.stages wraps them in classes.

constexpr const char pipeline_capsule[] = "vrexsdk._stages.pipeline";
constexpr const char queue_capsule[] = "vrexsdk._stages.queue";

// The Python pipeline object's share: it unregisters the pipeline when dropped, so the SDK's later deliveries
// find nothing (one in flight keeps its own reference until the block is done).
struct PipelineHandle {
    std::shared_ptr<Pipeline> pipeline;
    Ref acq;          // the __Acquisition it was attached through (its context stays alive with it)
    Ref beside_func;  // the callable delivered beside the stages, or null
};

void destroy_pipeline(PyObject* capsule) {
    auto* h = static_cast<PipelineHandle*>(PyCapsule_GetPointer(capsule, pipeline_capsule));
    if (h == nullptr) {
        PyErr_Clear();
        return;
    }
    {
        h->pipeline->detached.store(true, std::memory_order_release);
        Registry& r = registry();
        const std::lock_guard lock(r.mutex);
        r.live.erase(h->pipeline.get());
    }
    delete h;
}

void destroy_queue(PyObject* capsule) {
    auto* q = static_cast<std::shared_ptr<ChunkQueue>*>(PyCapsule_GetPointer(capsule, queue_capsule));
    if (q == nullptr) {
        PyErr_Clear();
        return;
    }
    delete q;
}

PipelineHandle* pipeline_of(PyObject* o) {
    return static_cast<PipelineHandle*>(PyCapsule_GetPointer(o, pipeline_capsule));
}

std::shared_ptr<ChunkQueue>* queue_of(PyObject* o) {
    return static_cast<std::shared_ptr<ChunkQueue>*>(PyCapsule_GetPointer(o, queue_capsule));
}

const vrex::block::DeliveryApi* delivery_api = nullptr;  // vrexsdk.acquisition's, imported at initialisation

std::string text_of(PyObject* o) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    return s == nullptr ? std::string() : std::string(s, static_cast<std::size_t>(n));
}

// A stage's settings dict: numbers (bool refused), str, and 1-D arrays of numbers (copied as float64).
bool parse_params(PyObject* dict, Params& out) {
    if (!PyDict_Check(dict)) {
        PyErr_Format(PyExc_TypeError, "stage settings must be a dict, not %.200s", Py_TYPE(dict)->tp_name);
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "stage setting names must be str");
            return false;
        }
        const std::string name = text_of(key);
        if (PyErr_Occurred()) return false;
        if (PyBool_Check(value)) {
            PyErr_Format(PyExc_TypeError, "stage setting %s must be a number, not bool", name.c_str());
            return false;
        }
        if (PyLong_Check(value) || PyFloat_Check(value)) {
            const double v = PyFloat_AsDouble(value);
            if (v == -1.0 && PyErr_Occurred()) return false;
            out.numbers[name] = v;
        } else if (PyUnicode_Check(value)) {
            out.texts[name] = text_of(value);
            if (PyErr_Occurred()) return false;
        } else {
            const Ref array = Ref::steal(PyArray_FROMANY(value, NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO));
            if (!array) return false;
            auto* a = reinterpret_cast<PyArrayObject*>(array.get());
            const auto* data = static_cast<const double*>(PyArray_DATA(a));
            out.arrays[name].assign(data, data + PyArray_SIZE(a));
        }
    }
    return true;
}

const char* mode_name(Shape s) {
    for (const vrex::block::ModeShape& m : vrex::block::mode_shapes)
        if (m.shape == s) return m.mode;
    return "?";
}

// _pipeline(acq, channelId, stages, raw, limit, func): makes the stages, checks them against the chip's selected
// mode and registers the pipeline as the channel's data function. `stages` is a sequence of (kind, label,
// settings, queue-or-None).
PyObject* make_pipeline(PyObject*, PyObject* acq, PyObject* channelId, PyObject* specs, PyObject* raw,
                        PyObject* limit, PyObject* func) {
    vrex::Text channel;
    if (!channel.from_encode_buffer(channelId, "utf-8")) return nullptr;
    const int use_raw = PyObject_IsTrue(raw);
    if (use_raw < 0) return nullptr;
    const std::uint64_t most = PyLong_AsUnsignedLongLong(limit);
    if (most == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return nullptr;
    if (func != Py_None && !PyCallable_Check(func)) {
        PyErr_Format(PyExc_TypeError, "the callable beside the stages must be callable, not %.200s",
                     Py_TYPE(func)->tp_name);
        return nullptr;
    }
    auto pipeline = std::make_shared<Pipeline>();
    pipeline->limit = most;
    const vrex_acq_data_func delivery = delivery_api->select(acq, use_raw, &pipeline->shape);
    if (delivery == nullptr) return nullptr;

    const Ref items = Ref::steal(PySequence_Fast(specs, "stages must be a sequence"));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        PyObject* const spec = PySequence_Fast_GET_ITEM(items.get(), i);
        PyObject *kind, *label, *settings, *queue;
        if (!PyTuple_Check(spec) || !PyArg_ParseTuple(spec, "UUOO", &kind, &label, &settings, &queue)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a stage is (kind, label, settings, queue)");
            return nullptr;
        }
        const std::string kind_name = text_of(kind);
        const StageKind* found = nullptr;
        for (const StageKind& k : stage_kinds())
            if (kind_name == k.name) found = &k;
        if (found == nullptr) {
            PyErr_Format(PyExc_ValueError, "unknown stage kind '%s'", kind_name.c_str());
            return nullptr;
        }
        Params params;
        if (!parse_params(settings, params)) return nullptr;
        std::shared_ptr<ChunkQueue> q;
        if (queue != Py_None) {
            std::shared_ptr<ChunkQueue>* const held = queue_of(queue);
            if (held == nullptr) return nullptr;
            q = *held;
        }
        std::unique_ptr<Stage> stage;
        try {
            stage = found->make(params, q);
        } catch (const std::invalid_argument& e) {
            PyErr_Format(PyExc_ValueError, "%s: %s", text_of(label).c_str(), e.what());
            return nullptr;
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        if (!stage->accepts(pipeline->shape)) {
            PyErr_Format(PyExc_ValueError, "stage %s takes no blocks of mode '%s'", text_of(label).c_str(),
                         mode_name(pipeline->shape));
            return nullptr;
        }
        pipeline->labels.push_back(text_of(label));
        pipeline->stages.push_back(std::move(stage));
    }
    try {
        pipeline->plan();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    // A closed device is refused before anything is made for it.
    if (vrex::handle_of(reinterpret_cast<vrex::AcquisitionObject*>(acq)->context) == nullptr) return nullptr;
    if (func != Py_None) {
        pipeline->beside = delivery;
        pipeline->beside_func = func;
    }
    auto* handle = new PipelineHandle{pipeline, Ref::borrow(acq), func == Py_None ? Ref() : Ref::borrow(func)};
    Ref capsule = Ref::steal(PyCapsule_New(handle, pipeline_capsule, destroy_pipeline));
    if (!capsule) {
        delete handle;
        return nullptr;
    }
    {
        Registry& r = registry();
        const std::lock_guard lock(r.mutex);
        r.live.emplace(pipeline.get(), pipeline);
    }
    // Filed as the channel's registration, holding the callable beside the stages: the one it replaces is
    // released once the channel is idle, and so is this one when another replaces it.
    if (delivery_api->register_channel(acq, channel.c_str(), pipeline_cb, pipeline.get(),
                                       func == Py_None ? nullptr : func) < 0)
        return nullptr;  // the capsule's destructor unregisters it
    return capsule.release();
}

PyObject* numpy_type(Capture::Type t) {
    switch (t) {
        case Capture::Type::U8: return reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_UINT8));
        case Capture::Type::U16: return reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_UINT16));
        case Capture::Type::U32: return reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_UINT32));
        case Capture::Type::U64: return reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_UINT64));
        case Capture::Type::I64: return reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_INT64));
        case Capture::Type::F64: return reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT64));
    }
    return nullptr;
}

template <class Held>
void free_bytes(PyObject* capsule) {
    delete static_cast<Held*>(PyCapsule_GetPointer(capsule, "vrexsdk._stages.bytes"));
}

// A NumPy array that owns `data` (a vector of bytes, moved in, no copy): its base is a capsule holding the vector.
template <class Held>
PyObject* own_array(Held&& data, Capture::Type type, const std::vector<std::size_t>& shape) {
    static_assert(std::is_same_v<typename Held::value_type, std::byte> && !std::is_reference_v<Held>);
    PyArray_Descr* const descr = reinterpret_cast<PyArray_Descr*>(numpy_type(type));
    if (descr == nullptr) return nullptr;
    npy_intp dims[4];
    const int nd = static_cast<int>(std::min<std::size_t>(shape.size(), 4));
    for (int i = 0; i < nd; ++i) dims[i] = static_cast<npy_intp>(shape[static_cast<std::size_t>(i)]);
    auto* held = new (std::nothrow) Held(std::move(data));
    if (held == nullptr) {
        Py_DECREF(descr);
        return PyErr_NoMemory();
    }
    Ref base = Ref::steal(PyCapsule_New(held, "vrexsdk._stages.bytes", free_bytes<Held>));
    if (!base) {
        delete held;
        Py_DECREF(descr);
        return nullptr;
    }
    // An empty vector has no storage of its own; NumPy wants a valid pointer even for no elements.
    static std::byte none[8];
    void* const storage = held->empty() ? static_cast<void*>(none) : static_cast<void*>(held->data());
    Ref array = Ref::steal(
        PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, nullptr, storage, NPY_ARRAY_CARRAY, nullptr));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0) return nullptr;
    return array.release();
}

template <class T>
PyObject* u64_array(std::vector<T>&& values) {
    std::vector<std::byte> bytes(values.size() * sizeof(T));
    if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
    return own_array(std::move(bytes), Capture::type_of<T>(), {values.size()});
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    const Ref v = Ref::steal(value);
    return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

PyObject* capture_dict(Capture& c) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (Capture::Array& a : c.arrays)
        if (!set_item(dict.get(), a.name.c_str(), own_array(std::move(a.data), a.type, a.shape))) return nullptr;
    for (const Capture::Scalar& s : c.scalars)
        if (!set_item(dict.get(), s.name.c_str(),
                      s.is_float ? PyFloat_FromDouble(s.f) : PyLong_FromUnsignedLongLong(s.u)))
            return nullptr;
    return dict.release();
}

// _snapshot(pipeline): the totals and every stage's state, all taken under one lock (so they agree).
PyObject* snapshot(PyObject*, PyObject* capsule) {
    PipelineHandle* const h = pipeline_of(capsule);
    if (h == nullptr) return nullptr;
    Pipeline& p = *h->pipeline;
    Totals totals;
    bool full = false;
    std::vector<Capture> captures(p.stages.size());
    bool no_memory = false;
    vrex::nogil([&] {
        const ReaderTurn turn(p);
        totals = p.totals;
        full = p.full;
        try {
            for (std::size_t i = 0; i < p.stages.size(); ++i) p.stages[i]->capture(captures[i]);
        } catch (const std::bad_alloc&) {
            no_memory = true;
        }
        return 0;
    });
    if (no_memory) return PyErr_NoMemory();
    Ref result = Ref::steal(PyDict_New());
    Ref stages = Ref::steal(PyDict_New());
    if (!result || !stages) return nullptr;
    const std::pair<const char*, std::uint64_t> numbers[] = {
        {"blocks", totals.blocks}, {"ignored", totals.ignored}, {"failed", totals.failed},
        {"hits", totals.hits},     {"frames", totals.frames},   {"bytes", totals.bytes},
        {"packets", totals.packets}, {"empty", totals.empty}};
    for (const auto& [key, value] : numbers)
        if (!set_item(result.get(), key, PyLong_FromUnsignedLongLong(value))) return nullptr;
    if (!set_item(result.get(), "tdc", Py_BuildValue("(KKK)", static_cast<unsigned long long>(totals.tdc[0]),
                                                     static_cast<unsigned long long>(totals.tdc[1]),
                                                     static_cast<unsigned long long>(totals.tdc[2]))))
        return nullptr;
    if (!set_item(result.get(), "error",
                  totals.error.empty() ? Py_NewRef(Py_None)
                                       : PyUnicode_DecodeUTF8(totals.error.data(),
                                                              static_cast<Py_ssize_t>(totals.error.size()), "replace")))
        return nullptr;
    if (!set_item(result.get(), "full", PyBool_FromLong(full))) return nullptr;
    if (!set_item(result.get(), "mode", PyUnicode_FromString(mode_name(p.shape)))) return nullptr;
    for (std::size_t i = 0; i < captures.size(); ++i)
        if (!set_item(stages.get(), p.labels[i].c_str(), capture_dict(captures[i]))) return nullptr;
    if (PyDict_SetItemString(result.get(), "stages", stages.get()) < 0) return nullptr;
    return result.release();
}

// _detach(pipeline): later blocks are ignored (and counted); the SDK keeps the registration until replaced.
PyObject* detach(PyObject*, PyObject* capsule) {
    PipelineHandle* const h = pipeline_of(capsule);
    if (h == nullptr) return nullptr;
    h->pipeline->detached.store(true, std::memory_order_release);
    Py_RETURN_NONE;
}

// _flush(pipeline, partial=False): every stage seals and hands on its partial work (sinks: the chunk being
// filled); with `partial`, stages whose work spans blocks keep it (the acquisition goes on).
PyObject* flush(PyObject*, PyObject* capsule, Optional partial) {
    PipelineHandle* const h = pipeline_of(capsule);
    if (h == nullptr) return nullptr;
    const int only_pending = !partial.given() ? 0 : PyObject_IsTrue(partial.value);
    if (only_pending < 0) return nullptr;
    vrex::nogil([&] {
        for (const auto& stage : h->pipeline->stages) {
            if (only_pending)
                stage->hand_over();
            else
                stage->flush();
        }
        return 0;
    });
    Py_RETURN_NONE;
}

double seconds_of(PyObject* timeout) {
    if (timeout == Py_None) return -1.0;
    const double t = PyFloat_AsDouble(timeout);
    if (t == -1.0 && PyErr_Occurred()) return -2.0;
    if (!(t >= 0)) {
        PyErr_SetString(PyExc_ValueError, "timeout must be a non-negative number of seconds or None");
        return -2.0;
    }
    return t;
}

// _wait_full(pipeline, timeout): whether the block limit was reached, waiting up to `timeout` seconds.
PyObject* wait_full(PyObject*, PyObject* capsule, PyObject* timeout) {
    PipelineHandle* const h = pipeline_of(capsule);
    if (h == nullptr) return nullptr;
    const double t = seconds_of(timeout);
    if (t < -1.5) return nullptr;
    Pipeline& p = *h->pipeline;
    const bool full = vrex::nogil([&] {
        std::unique_lock lock(p.mutex);
        if (t < 0) p.full_cv.wait(lock, [&] { return p.full; });
        else p.full_cv.wait_for(lock, std::chrono::duration<double>(t), [&] { return p.full; });
        return p.full;
    });
    return PyBool_FromLong(full);
}

// _queue(max_bytes, wait): a chunk queue bounded by `max_bytes`; `wait` applies back-pressure instead of dropping.
PyObject* make_queue(PyObject*, PyObject* max_bytes, PyObject* wait) {
    const std::size_t most = PyLong_AsSize_t(max_bytes);
    if (most == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
    if (most == 0) {
        PyErr_SetString(PyExc_ValueError, "max_bytes must be positive");
        return nullptr;
    }
    const int waits = PyObject_IsTrue(wait);
    if (waits < 0) return nullptr;
    auto* q = new std::shared_ptr<ChunkQueue>(
        std::make_shared<ChunkQueue>(most, waits ? ChunkQueue::Full::Wait : ChunkQueue::Full::Drop));
    PyObject* capsule = PyCapsule_New(q, queue_capsule, destroy_queue);
    if (capsule == nullptr) delete q;
    return capsule;
}

// One chunk as {"mode", "blocks", "shutter", group: {"counts", column...}}, every array owning its memory.
PyObject* chunk_dict(Chunk& c) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    if (!set_item(dict.get(), "mode", PyUnicode_FromString(mode_name(c.shape)))) return nullptr;
    if (!set_item(dict.get(), "blocks", u64_array(std::move(c.blocks)))) return nullptr;
    if (!set_item(dict.get(), "shutter", u64_array(std::move(c.shutter)))) return nullptr;
    for (Group& g : c.groups) {
        Ref group = Ref::steal(PyDict_New());
        if (!group) return nullptr;
        if (!set_item(group.get(), "counts", u64_array(std::move(g.counts)))) return nullptr;
        for (Column& col : g.columns) {
            const std::size_t n = col.size();
            if (!set_item(group.get(), col.name.c_str(), own_array(std::move(col.data), col.type, {n})))
                return nullptr;
        }
        if (PyDict_SetItemString(dict.get(), g.name.c_str(), group.get()) < 0) return nullptr;
    }
    return dict.release();
}

// _queue_pop(queue, timeout): the oldest chunk, or None after `timeout` seconds (None: wait) or once closed and
// empty.
PyObject* queue_pop(PyObject*, PyObject* capsule, PyObject* timeout) {
    std::shared_ptr<ChunkQueue>* const q = queue_of(capsule);
    if (q == nullptr) return nullptr;
    const double t = seconds_of(timeout);
    if (t < -1.5) return nullptr;
    std::unique_ptr<Chunk> chunk = vrex::nogil([&] { return (*q)->pop(t); });
    if (!chunk) Py_RETURN_NONE;
    return chunk_dict(*chunk);
}

PyObject* queue_close(PyObject*, PyObject* capsule) {
    std::shared_ptr<ChunkQueue>* const q = queue_of(capsule);
    if (q == nullptr) return nullptr;
    (*q)->close();
    Py_RETURN_NONE;
}

PyObject* queue_stats(PyObject*, PyObject* capsule) {
    std::shared_ptr<ChunkQueue>* const q = queue_of(capsule);
    if (q == nullptr) return nullptr;
    const ChunkQueue::Stats s = (*q)->stats();
    return Py_BuildValue("{sKsKsKsKsKsKsKsKsOsO}", "queued_chunks", (unsigned long long)s.queued_chunks,
                         "queued_bytes", (unsigned long long)s.queued_bytes, "peak_bytes",
                         (unsigned long long)s.peak_bytes, "pushed_blocks", (unsigned long long)s.pushed_blocks,
                         "dropped_blocks", (unsigned long long)s.dropped_blocks, "dropped_events",
                         (unsigned long long)s.dropped_events, "dropped_chunks", (unsigned long long)s.dropped_chunks,
                         "max_bytes", (unsigned long long)s.max_bytes, "closed", s.closed ? Py_True : Py_False,
                         "wait", s.waits ? Py_True : Py_False);
}

// _layout(mode): the sink's groups for the blocks of `mode` (raw: "0:raw-data"), as [(group, [(column,
// dtype)])], the dtype a NumPy type string.
PyObject* layout(PyObject*, PyObject* mode) {
    if (!PyUnicode_Check(mode)) {
        PyErr_Format(PyExc_TypeError, "mode must be str, not %.200s", Py_TYPE(mode)->tp_name);
        return nullptr;
    }
    const vrex::block::ModeShape* const m = vrex::block::find_mode(text_of(mode));
    if (m == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "unknown mode %R", mode);
        return nullptr;
    }
    Ref groups = Ref::steal(PyList_New(0));
    if (!groups) return nullptr;
    for (const GroupSpec& g : groups_of(m->shape)) {
        Ref columns = Ref::steal(PyList_New(0));
        if (!columns) return nullptr;
        for (const ColumnSpec& c : g.columns) {
            const Ref descr = Ref::steal(numpy_type(c.type));
            const Ref str = descr ? Ref::steal(PyObject_GetAttrString(descr.get(), "str")) : Ref();
            const Ref item = str ? Ref::steal(Py_BuildValue("(sO)", c.name, str.get())) : Ref();
            if (!item || PyList_Append(columns.get(), item.get()) < 0) return nullptr;
        }
        const Ref item = Ref::steal(Py_BuildValue("(sO)", g.name, columns.get()));
        if (!item || PyList_Append(groups.get(), item.get()) < 0) return nullptr;
    }
    return groups.release();
}

PyObject* kinds(PyObject*) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const StageKind& k : stage_kinds()) {
        const Ref name = Ref::steal(PyUnicode_FromString(k.name));
        if (!name || PyList_Append(list.get(), name.get()) < 0) return nullptr;
    }
    return list.release();
}

#define VREX_QUALIFIER "vrexsdk._stages"

PyMethodDef functions[] = {
    VREX_METHOD("_pipeline", make_pipeline,
                "_pipeline(acq, channelId, stages, raw, limit, func)\n--\n\nRegisters a pipeline of native stages "
                "as the channel's data function.",
                "acq", "channelId", "stages", "raw", "limit", "func"),
    VREX_METHOD("_snapshot", snapshot,
                "_snapshot(pipeline)\n--\n\nThe pipeline's totals and stage states, consistent.", "pipeline"),
    VREX_METHOD("_detach", detach, "_detach(pipeline)\n--\n\nIgnore later blocks.",
                "pipeline"),
    VREX_METHOD("_flush", flush,
                "_flush(pipeline, partial=False)\n--\n\nSeal and hand on every stage's partial work (with partial, "
                "keep what spans blocks).", "pipeline", "partial"),
    VREX_METHOD("_wait_full", wait_full,
                "_wait_full(pipeline, timeout)\n--\n\nWait for the block limit; whether it was reached.", "pipeline",
                "timeout"),
    VREX_METHOD("_queue", make_queue,
                "_queue(max_bytes, wait)\n--\n\nA chunk queue bounded by max_bytes.", "max_bytes", "wait"),
    VREX_METHOD("_queue_pop", queue_pop,
                "_queue_pop(queue, timeout)\n--\n\nThe oldest chunk, or None.", "queue", "timeout"),
    VREX_METHOD("_queue_close", queue_close,
                "_queue_close(queue)\n--\n\nClose the queue; later chunks are dropped and counted.", "queue"),
    VREX_METHOD("_queue_stats", queue_stats,
                "_queue_stats(queue)\n--\n\nThe queue's counts.", "queue"),
    VREX_METHOD("_kinds", kinds, "_kinds()\n--\n\nThe registered stage kinds."),
    VREX_METHOD("_layout", layout,
                "_layout(mode)\n--\n\nThe sink's chunk groups and columns for the blocks of mode.", "mode"),
    VREX_METHODS_END};


int exec_stages(PyObject* module) {
    if (!vrex::first_initialisation("_stages")) return -1;
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
    if (!vrex::import_siblings(module)) return -1;
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    const Ref acquisition = Ref::steal(PyImport_ImportModule("vrexsdk.acquisition"));
    const Ref api = acquisition ? Ref::steal(PyObject_GetAttrString(acquisition.get(), "_delivery_api")) : Ref();
    if (!api) return -1;
    delivery_api = static_cast<const vrex::block::DeliveryApi*>(
        PyCapsule_GetPointer(api.get(), vrex::block::DeliveryApi::capsule_name));
    if (delivery_api == nullptr) return -1;
    if (delivery_api->version != vrex::block::DeliveryApi::current) {
        PyErr_SetString(PyExc_ImportError, "vrexsdk.acquisition is of another build than vrexsdk._stages");
        return -1;
    }
    return 0;
}

}  // namespace

VREX_MODULE(_stages, "The native data path: stages run on the SDK's threads without the GIL.", exec_stages)
