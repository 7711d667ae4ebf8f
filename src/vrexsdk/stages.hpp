// The native data path's seam: what a stage is, what it sees of a block, how it reports its state, and the chunks
// it may hand to Python through a bounded queue. _stages.cpp runs the stages; STAGES.md explains how to add one.
//
// Threads: consume() and publish() run on the SDK's delivery thread without the GIL, for one block at a time;
// capture() runs on a reader's thread, also without the GIL. The pipeline serialises consume() and capture() of
// all its stages under one mutex, so a snapshot is consistent across stages (every stage has seen the same
// blocks). Nothing in this header touches Python; stages.cpp converts captures and chunks into Python objects.
#pragma once

#include "block.hpp"
#include "support/records.hpp"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace vrex::stages {

using block::Shape;

constexpr std::uint32_t matrix_width = 256;
constexpr std::uint32_t matrix_pixels = 256 * 256;  // a pixel address is y * 256 + x

// Per-hit values that a stage derived for the current block (a calibration's "energy_kev", say), by name and in
// hit order, for the stages after it in the same pipeline. Owned by the pipeline and reused from block to block
// (a column keeps its memory); a column not written during this block is not found.
class Derived {
public:
    // The column `name` for this block, empty, to be filled by the calling stage.
    std::vector<double>& make(const std::string& name) {
        for (Entry& e : entries_)
            if (e.name == name) {
                e.valid = true;
                e.values.clear();
                return e.values;
            }
        entries_.push_back({name, {}, true});
        return entries_.back().values;
    }
    // The column an earlier stage made for this block, or null.
    const std::vector<double>* find(const std::string& name) const noexcept {
        for (const Entry& e : entries_)
            if (e.valid && e.name == name) return &e.values;
        return nullptr;
    }
    void next_block() noexcept {
        for (Entry& e : entries_) e.valid = false;
    }

private:
    struct Entry {
        std::string name;
        std::vector<double> values;
        bool valid;
    };
    std::deque<Entry> entries_;  // a deque: references handed out stay valid as columns are added
};

// One block as the stages see it: every part fetched for its shape (the others stay empty), valid only during
// consume(). Records are toa_tot_struct / itot_event_struct (block::Packets), vectors block::Vectors.
// The shapes whose hits for_each_toa_tot() / for_each_itot_event() loop over, for a stage's accepts().
inline bool is_toa_tot(Shape s) noexcept {
    return s == Shape::ToaTotRecords || s == Shape::ToaTotVectors || s == Shape::DdToaTotRecords ||
           s == Shape::DdToaTotVectors;
}
inline bool is_itot_event(Shape s) noexcept { return s == Shape::ItotEventRecords || s == Shape::ItotEventVectors; }

struct Block {
    Shape shape = Shape::Raw;
    std::uint64_t index = 0;  // 0 for the first block the pipeline accepted
    block::Frames frames;
    block::Raw raw;
    block::Packets packets;
    block::Vectors vectors;
    block::Metadata metadata;  // data-driven shapes only
    block::Binned binned;      // BinnedPackets; CountSums and ItotSums fill binned.hits / binned.itots
    Derived* derived = nullptr;  // per-hit columns of earlier stages (never null inside consume())

    bool data_driven() const noexcept { return shape == Shape::DdToaTotRecords || shape == Shape::DdToaTotVectors; }
    // Hits of the ToA/ToT shapes (records or vectors); 0 for every other shape.
    std::uint64_t toa_tot_hits() const noexcept;
    // Hits of the iToT/event shapes; 0 for every other shape.
    std::uint64_t itot_event_hits() const noexcept;
    // The hits of the block, records or vectors, as (address, toa, tot) with the ToA widened to 64 bits. `f` is a
    // template parameter so that each loop is compiled for its layout.
    template <class F>
    void for_each_toa_tot(F&& f) const;
    // As (address, event count, integrated ToT).
    template <class F>
    void for_each_itot_event(F&& f) const;
};

// What a stage reports, copied out under the pipeline's lock and turned into a dict of Python values after it.
// Arrays are copied; a stage may add the same name only once.
class Capture {
public:
    enum class Type { U8, U16, U32, U64, I64, F64 };
    struct Array {
        std::string name;
        Type type;
        std::vector<std::size_t> shape;
        std::vector<std::byte> data;
    };
    struct Scalar {
        std::string name;
        bool is_float;
        std::uint64_t u;
        double f;
    };

    template <class T>
    void array(const std::string& name, const T* data, std::vector<std::size_t> shape) {
        std::size_t n = 1;
        for (std::size_t d : shape) n *= d;
        Array a{name, type_of<T>(), std::move(shape), std::vector<std::byte>(n * sizeof(T))};
        if (n != 0) std::memcpy(a.data.data(), data, n * sizeof(T));
        arrays.push_back(std::move(a));
    }
    void scalar(const std::string& name, std::uint64_t value) { scalars.push_back({name, false, value, 0.0}); }
    void real(const std::string& name, double value) { scalars.push_back({name, true, 0, value}); }

    std::vector<Array> arrays;
    std::vector<Scalar> scalars;

    template <class T>
    static constexpr Type type_of() {
        if constexpr (std::is_same_v<T, std::uint8_t>) return Type::U8;
        else if constexpr (std::is_same_v<T, std::uint16_t>) return Type::U16;
        else if constexpr (std::is_same_v<T, std::uint32_t>) return Type::U32;
        else if constexpr (std::is_same_v<T, std::uint64_t>) return Type::U64;
        else if constexpr (std::is_same_v<T, std::int64_t>) return Type::I64;
        else {
            static_assert(std::is_same_v<T, double>, "a captured array is of u8, u16, u32, u64, i64 or f64");
            return Type::F64;
        }
    }
};

// A stage's settings, parsed from the dict its Python class gives (stages.cpp fills it under the GIL, before the
// stage is made). Missing keys take the stage's defaults; numbers are checked by the factory.
struct Params {
    std::map<std::string, double> numbers;
    std::map<std::string, std::string> texts;
    std::map<std::string, std::vector<double>> arrays;  // 1-D float64 arrays (calibration tables, say)

    double number(const std::string& key, double fallback) const {
        const auto it = numbers.find(key);
        return it == numbers.end() ? fallback : it->second;
    }
    const std::vector<double>* array(const std::string& key) const {
        const auto it = arrays.find(key);
        return it == arrays.end() ? nullptr : &it->second;
    }
};

// ---- chunks and their queue ----------------------------------------------------------------------------------------

// An allocator whose resize() leaves the new elements uninitialised. The sink grows its columns block by block
// and writes every byte it adds right away; a zero-fill first was a second pass over the data for nothing (a
// fifth of the sink's time, measured).
template <class T>
struct Uninitialised : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = Uninitialised<U>;
    };
    Uninitialised() noexcept = default;
    template <class U>
    Uninitialised(const Uninitialised<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using Bytes = std::vector<std::byte, Uninitialised<std::byte>>;

// A column of equal-length values within a chunk.
struct Column {
    std::string name;
    Capture::Type type;
    std::size_t itemsize;
    Bytes data;
    std::size_t size() const noexcept { return data.size() / itemsize; }
};

// Columns that share one length and one per-block count ("events": address, toa, tot; "tdc1": time).
struct Group {
    std::string name;
    std::vector<std::uint64_t> counts;  // per block of the chunk
    std::vector<Column> columns;
};

// The groups and columns of the sink's chunks for each shape, written once (stages_builtin.cpp): the sink fills
// them, and vrexsdk._stages._layout() tells a writer what to expect before the first chunk.
struct ColumnSpec {
    const char* name;
    Capture::Type type;
    std::size_t itemsize;
};
struct GroupSpec {
    const char* name;
    std::vector<ColumnSpec> columns;
};
const std::vector<GroupSpec>& groups_of(Shape s);

// Whole blocks copied out of the SDK's memory, in order. `blocks` numbers them as the pipeline accepted them.
struct Chunk {
    Shape shape = Shape::Raw;
    std::vector<std::uint64_t> blocks;
    std::vector<std::uint64_t> shutter;  // per block: the shutter's rising edge (data-driven), else 0
    std::vector<Group> groups;
    std::uint64_t events = 0;  // entries of the first group
    std::size_t bytes() const noexcept;
};

// The bounded queue between the SDK's thread and the Python writer. Its bound is in bytes; when a chunk does not
// fit, the queue either waits for room (back-pressure: the SDK's thread stalls, and with it the SDK's own
// buffering) or drops the chunk and counts its blocks and events. Closing it wakes every waiter; a chunk pushed
// after close is dropped and counted too. Never silent: every drop is counted.
class ChunkQueue {
public:
    enum class Full { Drop, Wait };
    ChunkQueue(std::size_t max_bytes, Full full) : max_bytes_(max_bytes), full_(full) {}

    // SDK thread, no GIL. False when the chunk was dropped.
    bool push(std::unique_ptr<Chunk> chunk);
    // Writer, no GIL: the oldest chunk, or null once `timeout_s` passed (negative: wait for ever) or the queue is
    // closed and empty.
    std::unique_ptr<Chunk> pop(double timeout_s);
    void close();

    struct Stats {
        std::uint64_t queued_chunks, queued_bytes, peak_bytes, pushed_blocks, dropped_blocks, dropped_events,
            dropped_chunks, max_bytes;
        bool closed, waits;
    };
    Stats stats() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable room_, ready_;
    std::deque<std::unique_ptr<Chunk>> chunks_;
    std::size_t max_bytes_;
    Full full_;
    std::size_t bytes_ = 0, peak_ = 0;
    std::uint64_t pushed_blocks_ = 0, dropped_blocks_ = 0, dropped_events_ = 0, dropped_chunks_ = 0;
    bool closed_ = false;
};

// ---- the stage interface ------------------------------------------------------------------------------------------

class Stage {
public:
    virtual ~Stage() = default;
    // Whether the stage can take blocks of `shape`; asked once, when the pipeline is attached to a channel, before
    // any block (the stage may remember the shape). A stage refusing makes attaching fail with a ValueError
    // naming the stage and the mode.
    virtual bool accepts(Shape shape) noexcept = 0;
    // One block, on the SDK's thread, under the pipeline's lock. Must not throw, block or touch Python; its state
    // between blocks stays bounded.
    virtual void consume(const Block& block) noexcept = 0;
    // After consume() of every stage, outside the lock: hand sealed work to other threads (may wait for room).
    virtual void publish() noexcept {}
    // On the reader's thread, under the pipeline's lock: copy the state out.
    virtual void capture(Capture& out) const = 0;
    // The acquisition is over: seal and hand on partial work, end whatever spans blocks. Any thread, no GIL, not
    // under the pipeline's lock.
    virtual void flush() noexcept {}
    // A writer wants what is pending while the acquisition may go on: sinks hand on their partial chunk, but a
    // stage whose work spans blocks (the clusterer's open clusters) keeps it, since ending it here would cut what
    // the next block continues. The same threads as flush().
    virtual void hand_over() noexcept { flush(); }
};

// Stages of one pipeline that share one pass over each block (the hit map and the ToT and ToA histograms of the
// ToA/ToT shapes): asked once, when the pipeline is attached. The pipeline runs `stage`'s consume() in place of
// its members' (given by their index, ascending), at the first member's place; the members keep their state and
// still capture, publish and flush. An empty result (null stage) when fewer than two stages fit.
struct Fused {
    std::unique_ptr<Stage> stage;
    std::vector<std::size_t> members;
};
Fused fuse(const std::vector<std::unique_ptr<Stage>>& stages, Shape shape);

// Makes a stage from its settings; throws std::invalid_argument (becomes ValueError) for bad settings. A queue
// is passed to the stages that feed one (null otherwise).
using StageFactory = std::unique_ptr<Stage> (*)(const Params& params, std::shared_ptr<ChunkQueue> queue);

// The stage kinds, by the name their Python classes give; each source adds its own with VREX_STAGE, at load.
struct StageKind {
    const char* name;
    StageFactory make;
};
std::vector<StageKind>& stage_kinds();
struct RegisterStage {
    RegisterStage(const char* name, StageFactory make) { stage_kinds().push_back({name, make}); }
};
#define VREX_STAGE(name, factory) static const ::vrex::stages::RegisterStage vrex_stage_##factory{name, factory}

// ---- Block's hit loops ------------------------------------------------------------------------------------------

inline std::uint64_t Block::toa_tot_hits() const noexcept {
    switch (shape) {
        case Shape::ToaTotRecords:
        case Shape::DdToaTotRecords: return packets.data == nullptr ? 0 : packets.count;
        case Shape::ToaTotVectors:
        case Shape::DdToaTotVectors:
            return vectors.addresses == nullptr || vectors.second == nullptr || vectors.third == nullptr ? 0
                                                                                                         : vectors.n;
        default: return 0;
    }
}

inline std::uint64_t Block::itot_event_hits() const noexcept {
    switch (shape) {
        case Shape::ItotEventRecords: return packets.data == nullptr ? 0 : packets.count;
        case Shape::ItotEventVectors:
            return vectors.addresses == nullptr || vectors.second == nullptr || vectors.third == nullptr ? 0
                                                                                                         : vectors.n;
        default: return 0;
    }
}

template <class F>
void Block::for_each_toa_tot(F&& f) const {
    const std::uint64_t n = toa_tot_hits();
    if (n == 0) return;
    if (shape == Shape::ToaTotRecords || shape == Shape::DdToaTotRecords) {
        const auto* r = static_cast<const vrex::toa_tot_struct*>(packets.data);
        for (std::uint64_t i = 0; i < n; ++i) f(r[i].address, r[i].toa, r[i].tot);
        return;
    }
    const auto* a = static_cast<const std::uint32_t*>(vectors.addresses);
    const auto* tot = static_cast<const std::uint16_t*>(vectors.third);
    if (shape == Shape::DdToaTotVectors) {
        const auto* toa = static_cast<const std::uint64_t*>(vectors.second);
        for (std::uint64_t i = 0; i < n; ++i) f(a[i], toa[i], std::uint32_t{tot[i]});
    } else {
        const auto* toa = static_cast<const std::uint32_t*>(vectors.second);
        for (std::uint64_t i = 0; i < n; ++i) f(a[i], std::uint64_t{toa[i]}, std::uint32_t{tot[i]});
    }
}

template <class F>
void Block::for_each_itot_event(F&& f) const {
    const std::uint64_t n = itot_event_hits();
    if (n == 0) return;
    if (shape == Shape::ItotEventRecords) {
        const auto* r = static_cast<const vrex::itot_event_struct*>(packets.data);
        for (std::uint64_t i = 0; i < n; ++i) f(r[i].address, r[i].event, r[i].itot);
        return;
    }
    const auto* a = static_cast<const std::uint32_t*>(vectors.addresses);
    const auto* events = static_cast<const std::uint16_t*>(vectors.second);
    const auto* itot = static_cast<const std::uint16_t*>(vectors.third);
    for (std::uint64_t i = 0; i < n; ++i) f(a[i], std::uint64_t{events[i]}, std::uint32_t{itot[i]});
}

}  // namespace vrex::stages
