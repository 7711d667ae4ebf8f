// Acquisition family: channels, data-callback registration, the acquisition runs and their worker threads, and
// the getters of a data block.
//
// A run owns everything its worker touches (settings copied at begin, the callback slot, the stop flag), so a
// worker that outlives its context (the user's callback closed the device or destroyed the context) never
// reaches freed memory. Lock order: sim().mutex, then ctx->mutex, then a run's own mutexes; no lock is held
// while the user's callback runs, because it calls back into the SDK.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include "physics.hpp"
#include "sim.hpp"

namespace vrexsim::engine {

// ---- modes ---------------------------------------------------------------------------------------------------------

// What a mode delivers as its main data.
enum class Kind {
    None,  // a mode the engine does not know: raw bytes only
    Frames,
    Raw,
    ToaTotRecords,
    ItotEventRecords,
    ToaTotVectors,
    ItotEventVectors,
    BinnedPackets,
    CountSums,
    ItotSums,
};

struct ModeInfo {
    Kind kind = Kind::None;
    bool data_driven = false;  // blocks carry the shutter time and the TDC timestamps
    bool sorted = false;       // generated hits are sorted by time of arrival
    bool wide_toa = false;     // the ToA vector is 64-bit
};

ModeInfo mode_info(std::string_view id) {
    // Mode identifiers name the chip first ("0:..."); every chip offers the same modes.
    if (const auto colon = id.find(':'); colon != std::string_view::npos && colon > 0 &&
                                         std::all_of(id.begin(), id.begin() + colon, [](char c) {
                                             return c >= '0' && c <= '9';
                                         }))
        id.remove_prefix(colon + 1);
    if (id == "tpx-medipix") return {Kind::Frames};
    if (id == "raw-data") return {Kind::Raw};
    if (id == "tpx3-seq-toa-tot") return {Kind::ToaTotRecords};
    if (id == "tpx3-dd-toa-tot") return {Kind::ToaTotRecords, true};
    if (id == "tpx3-sorted-dd-toa-tot") return {Kind::ToaTotRecords, true, true};
    if (id == "tpx3-seq-toa-tot-vec") return {Kind::ToaTotVectors};
    if (id == "tpx3-dd-toa-tot-vec") return {Kind::ToaTotVectors, true, false, true};
    if (id == "tpx3-seq-itot-event") return {Kind::ItotEventRecords};
    if (id == "tpx3-seq-itot-event-vec") return {Kind::ItotEventVectors};
    if (id == "tpx3-binned-packets") return {Kind::BinnedPackets};
    if (id == "tpx3-binned-count-sums") return {Kind::CountSums};
    if (id == "tpx3-binned-itot-sums") return {Kind::ItotSums};
    return {};
}

// Whether blocks of mode `block` can be read as blocks of mode `reader`: the same buffers in the same layouts.
bool same_layout(const ModeInfo& block, const ModeInfo& reader) {
    return block.kind == reader.kind && block.data_driven == reader.data_driven && block.wide_toa == reader.wide_toa;
}

// The data a mode's blocks carry, for last-error texts.
std::string describe(const ModeInfo& m) {
    std::string what;
    switch (m.kind) {
        case Kind::None: what = "raw bytes of an unknown mode"; break;
        case Kind::Frames: what = "frames"; break;
        case Kind::Raw: what = "raw bytes"; break;
        case Kind::ToaTotRecords: what = "ToA/ToT records"; break;
        case Kind::ItotEventRecords: what = "iToT/event records"; break;
        case Kind::ToaTotVectors: what = m.wide_toa ? "ToA/ToT vectors (64-bit ToA)" : "ToA/ToT vectors (32-bit ToA)"; break;
        case Kind::ItotEventVectors: what = "iToT/event vectors"; break;
        case Kind::BinnedPackets: what = "binned packets"; break;
        case Kind::CountSums: what = "binned hit-count sums"; break;
        case Kind::ItotSums: what = "binned iToT sums"; break;
    }
    return m.data_driven ? "data-driven " + what : what;
}

bool has_records(Kind k) {
    return k == Kind::ToaTotRecords || k == Kind::ItotEventRecords || k == Kind::BinnedPackets;
}
bool has_vectors(Kind k) { return k == Kind::ToaTotVectors || k == Kind::ItotEventVectors; }

// ---- buffer layouts --------------------------------------------------------------------------------------------------

struct ToaTotRecord {
    std::uint32_t address;
    std::uint32_t tot;
    std::uint64_t toa;
};
struct ItotEventRecord {
    std::uint32_t address;
    std::uint32_t itot;
    std::uint64_t event;
};
struct BinnedRecord {
    std::uint32_t address;
    std::uint32_t count;
    std::uint32_t itot;
};
struct BinDescriptor {
    std::uint32_t offset;
    std::uint32_t packet_count;
};
static_assert(sizeof(ToaTotRecord) == 16 && offsetof(ToaTotRecord, toa) == 8);
static_assert(sizeof(ItotEventRecord) == 16 && offsetof(ItotEventRecord, event) == 8);
static_assert(sizeof(BinnedRecord) == 12 && offsetof(BinnedRecord, itot) == 8);
static_assert(sizeof(BinDescriptor) == 8);

constexpr std::uint64_t kFramePixels = 256 * 256;

// ---- getters and their scripted faults -------------------------------------------------------------------------------

enum Getter : std::size_t {
    kGetLastError,
    kFrameCount,
    kFrames,
    kRawData,
    kPacketCount,
    kPackets,
    kVecLength,
    kAddressVec,
    kToaVec,
    kTotVec,
    kEventVec,
    kItotVec,
    kShutter,
    kTdcCount,
    kTdcToas,
    kDescriptorCount,
    kDescriptors,
    kHitCountersCount,
    kHitCounters,
    kItotsCount,
    kItots,
    kGetterCount
};

constexpr std::array<const char*, kGetterCount> kGetterNames = {
    "vrex_acq_get_last_error",
    "vrex_acq_tpx_get_frame_count",
    "vrex_acq_tpx_get_frames",
    "vrex_acq_raw_get_data",
    "vrex_acq_tpx3_get_packet_count",
    "vrex_acq_tpx3_get_packets",
    "vrex_acq_tpx3_get_vec_length",
    "vrex_acq_tpx3_get_pixel_address_vec",
    "vrex_acq_tpx3_get_toa_vec",
    "vrex_acq_tpx3_get_tot_vec",
    "vrex_acq_tpx3_get_event_vec",
    "vrex_acq_tpx3_get_itot_vec",
    "vrex_acq_meta_get_shutter_rising_time_ticks",
    "vrex_acq_meta_get_tdc_toas_count",
    "vrex_acq_meta_get_tdc_toas",
    "vrex_acq_meta_get_bin_descriptor_count",
    "vrex_acq_meta_get_bin_descriptors",
    "vrex_acq_tpx3_get_binned_hitcounters_count",
    "vrex_acq_tpx3_get_binned_hitcounters",
    "vrex_acq_tpx3_get_binned_itots_count",
    "vrex_acq_tpx3_get_binned_itots",
};

// ---- block memory ----------------------------------------------------------------------------------------------------
//
// What the getters hand out lives in chunks of a ring that never gives memory back to the system, like a device's
// DMA buffers: a binding hands its users zero-copy views of a block, and a view kept past its callback must read
// stale data (a later block's), never memory that is no longer mapped. A chunk freed with its block serves a later
// block of the same size class; the ring only grows, to the most the process ever held at once.
class BlockRing {
public:
    static constexpr std::size_t kClasses = 64;

    static BlockRing& instance() {
        static auto* ring = new BlockRing();  // never destroyed: views into it may outlive everything else
        return *ring;
    }

    // A chunk of at least `bytes`, of size class `cls` (2**cls bytes, at least 256).
    void* take(std::size_t bytes, std::size_t& cls) {
        cls = 8;
        while (cls + 1 < kClasses && (std::size_t{1} << cls) < bytes) ++cls;
        {
            std::lock_guard lock(mutex_);
            auto& idle = idle_[cls];
            if (!idle.empty()) {
                void* const p = idle.back();
                idle.pop_back();
                return p;
            }
        }
        void* const p = std::aligned_alloc(64, std::size_t{1} << cls);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }

    void give(void* p, std::size_t cls) {
        std::lock_guard lock(mutex_);
        idle_[cls].push_back(p);
    }

private:
    std::mutex mutex_;
    std::array<std::vector<void*>, kClasses> idle_;
};

// One chunk of the ring, handed back when its block is done.
class RingChunk {
public:
    explicit RingChunk(std::size_t bytes) { data_ = BlockRing::instance().take(bytes, cls_); }
    RingChunk(RingChunk&& other) noexcept : cls_(other.cls_), data_(std::exchange(other.data_, nullptr)) {}
    RingChunk& operator=(RingChunk&&) = delete;
    ~RingChunk() {
        if (data_ != nullptr) BlockRing::instance().give(data_, cls_);
    }
    void* data() const { return data_; }

private:
    // The class is set by take() in the body, not in the initialiser list: a member initialised after data_
    // would overwrite the class take() wrote, and every chunk would be filed under a class never asked for.
    std::size_t cls_ = 0;
    void* data_ = nullptr;
};

// ---- one prepared block --------------------------------------------------------------------------------------------

// The buffers of one data block and what the getters hand out. The views are fixed once the buffers are built,
// so a getter is a few loads; a block is never copied or moved (the views point into its own vectors).
struct Block {
    Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    std::vector<std::uint16_t> frames;
    std::vector<std::uint8_t> raw;
    bool own_raw = false;  // raw bytes of their own; otherwise the raw getter hands out the main buffer
    std::vector<ToaTotRecord> toa_tot;
    std::vector<ItotEventRecord> itot_event;
    std::vector<BinnedRecord> binned;
    std::vector<std::uint32_t> addresses;
    std::vector<std::uint32_t> toa32;
    std::vector<std::uint64_t> toa64;
    std::vector<std::uint16_t> tot;
    std::vector<std::uint16_t> events;
    std::vector<std::uint16_t> itots;
    std::uint64_t vec_length = 0;
    std::vector<BinDescriptor> descriptors;
    std::vector<std::uint64_t> hit_sums;
    std::vector<std::uint64_t> itot_sums;
    std::array<std::vector<std::uint64_t>, 3> tdc;
    std::uint64_t shutter = 0;
    bool null = false;

    struct View {
        void* data = nullptr;
        std::uint64_t count = 0;  // in items of the getter
        std::size_t item = 0;     // bytes per item
    };
    View v_frames, v_raw, v_packets, v_addresses, v_toa, v_tot, v_events, v_itots, v_descriptors, v_hit_sums,
        v_itot_sums;
    std::array<View, 3> v_tdc;

    std::array<const BlockFault*, kGetterCount> fails{};
    bool any_fail = false;
    ModeInfo mode;  // the mode the block was made in: it decides what its getters hand out
    std::vector<RingChunk> ring;  // where the views point once the block is placed in the ring
};

template <class T>
Block::View view_of(std::vector<T>& items, bool null, std::uint64_t count = std::numeric_limits<std::uint64_t>::max()) {
    if (count == std::numeric_limits<std::uint64_t>::max()) count = items.size();
    return {null || items.empty() ? nullptr : items.data(), count, sizeof(T)};
}

// Fixes the views once the buffers are built; main buffer first, since the raw getter may hand it out.
void finish(Block& b, const ModeInfo& mode) {
    b.mode = mode;
    const Kind kind = mode.kind;
    const bool null = b.null;
    b.v_frames = view_of(b.frames, null, b.frames.size() / kFramePixels);
    b.v_frames.item = kFramePixels * sizeof(std::uint16_t);
    switch (kind) {
        case Kind::ToaTotRecords: b.v_packets = view_of(b.toa_tot, null); break;
        case Kind::ItotEventRecords: b.v_packets = view_of(b.itot_event, null); break;
        case Kind::BinnedPackets: b.v_packets = view_of(b.binned, null); break;
        default: break;
    }
    if (has_vectors(kind)) {
        b.v_addresses = view_of(b.addresses, null, b.vec_length);
        if (kind == Kind::ToaTotVectors) {
            b.v_toa = mode.wide_toa ? view_of(b.toa64, null, b.vec_length) : view_of(b.toa32, null, b.vec_length);
            b.v_tot = view_of(b.tot, null, b.vec_length);
        } else {
            b.v_events = view_of(b.events, null, b.vec_length);
            b.v_itots = view_of(b.itots, null, b.vec_length);
        }
    }
    b.v_descriptors = view_of(b.descriptors, null);
    b.v_hit_sums = view_of(b.hit_sums, null);
    b.v_itot_sums = view_of(b.itot_sums, null);
    for (std::size_t i = 0; i < 3; ++i) b.v_tdc[i] = view_of(b.tdc[i], null);

    if (b.own_raw) {
        b.v_raw = view_of(b.raw, null);
        return;
    }
    // Without raw bytes of its own, a block hands out the bytes of its main buffer, so a raw registration gets
    // plausible bytes in every mode.
    Block::View main;
    switch (kind) {
        case Kind::Frames: main = b.v_frames; break;
        case Kind::ToaTotRecords:
        case Kind::ItotEventRecords:
        case Kind::BinnedPackets: main = b.v_packets; break;
        case Kind::ToaTotVectors:
        case Kind::ItotEventVectors: main = b.v_addresses; break;
        case Kind::CountSums: main = b.v_hit_sums; break;
        case Kind::ItotSums: main = b.v_itot_sums; break;
        default: break;
    }
    b.v_raw = {main.data, main.count * main.item, 1};
}

// Moves what the views show into chunks of the ring, the way a device's DMA fills its buffers; views of the same
// buffer (the raw bytes of the main buffer) stay one. Records are given room for 16 bytes each whatever their own
// size, so even a reader that takes them for the widest records never leaves the chunk.
void place_in_ring(Block& b) {
    std::vector<Block::View*> views = {&b.v_frames,      &b.v_raw,      &b.v_packets,     &b.v_addresses,
                                       &b.v_toa,         &b.v_tot,      &b.v_events,      &b.v_itots,
                                       &b.v_descriptors, &b.v_hit_sums, &b.v_itot_sums};
    for (Block::View& v : b.v_tdc) views.push_back(&v);
    std::vector<std::pair<void*, void*>> moved;  // (buffer, its chunk)
    for (Block::View* v : views) {
        if (v->data == nullptr) continue;
        const auto same = std::find_if(moved.begin(), moved.end(), [&](const auto& m) { return m.first == v->data; });
        if (same != moved.end()) {
            v->data = same->second;
            continue;
        }
        // The raw view of the main buffer may cover it whole: size the chunk for the larger of the two.
        std::size_t bytes = v->count * v->item;
        for (const Block::View* w : views)
            if (w->data == v->data) bytes = std::max<std::size_t>(bytes, w->count * w->item);
        const std::size_t room = v == &b.v_packets ? std::max<std::size_t>(bytes, v->count * 16) : bytes;
        b.ring.emplace_back(room);
        void* const chunk = b.ring.back().data();
        std::memcpy(chunk, v->data, bytes);
        moved.emplace_back(v->data, chunk);
        v->data = chunk;
    }
}

// ---- deterministic data ------------------------------------------------------------------------------------------------

// One independent stream per kind of data, so the hits of a block are the same whatever else the mode adds.
enum class Stream : std::uint64_t {
    Hits = 1, Frames, Tdc0, Tdc1, Tdc2, TdcCounts, Packets, Bins, Sums, Noise, Particles, Readout, NoisyPixels
};

Rng stream(std::uint64_t seed, std::uint64_t block, Stream s) {
    Rng mix(seed ^ (static_cast<std::uint64_t>(s) * 0xD1B54A32D192ED03ull));
    Rng mix2(mix.next() ^ ((block + 1) * 0x8CB92BA72F3D8DD7ull));
    return Rng(mix2.next());
}

// ToA ticks between the shutter openings of consecutive blocks; hits and TDC stamps of a block fall in its span.
constexpr std::uint64_t kBlockPeriod = std::uint64_t{1} << 24;
constexpr std::uint64_t block_start(std::uint64_t index) { return 4096 + index * kBlockPeriod; }
constexpr std::uint64_t kGeneratedBins = 16;

struct Hit {
    std::uint32_t address;
    std::uint16_t tot;
    std::uint16_t events;
    std::uint16_t itot;
    std::uint64_t toa;
    std::int64_t particle = -1;  // index of the particle in its block; -1 for noise
};

// Particle clusters: a few neighbouring pixels, ToA increasing within a cluster by a few ticks; clusters arrive
// in order on average, with enough jitter that neighbours overlap in time as they do in the readout order.
std::vector<Hit> make_hits(std::uint64_t seed, std::uint64_t index, std::uint64_t n) {
    std::vector<Hit> hits;
    hits.reserve(n);
    Rng rng = stream(seed, index, Stream::Hits);
    const std::uint64_t start = block_start(index);
    const std::uint64_t spacing = std::max<std::uint64_t>(1, kBlockPeriod / (n + 1));
    while (hits.size() < n) {
        const std::uint64_t size = std::min<std::uint64_t>(1 + rng.below(6), n - hits.size());
        std::uint64_t t = start + hits.size() * spacing + rng.below(3 * spacing * size + 1);
        int x = static_cast<int>(rng.below(256));
        int y = static_cast<int>(rng.below(256));
        const std::uint64_t energy = 20 + rng.below(600);
        for (std::uint64_t k = 0; k < size; ++k) {
            if (k > 0) {
                const std::uint64_t step = rng.below(8);  // one of the eight neighbours
                const int dx = static_cast<int>(step % 3) - 1;
                const int dy = step < 3 ? -1 : (step < 5 ? 0 : 1);
                x = std::clamp(x + (dx == 0 && dy == 0 ? 1 : dx), 0, 255);
                y = std::clamp(y + dy, 0, 255);
                t += 1 + rng.below(12);
            }
            Hit h{};
            h.address = static_cast<std::uint32_t>(y * 256 + x);
            h.tot = static_cast<std::uint16_t>(std::min<std::uint64_t>(1023, 1 + energy / (k + 1) + rng.below(8)));
            h.events = static_cast<std::uint16_t>(1 + rng.below(4));
            h.itot = static_cast<std::uint16_t>(std::min<std::uint64_t>(65535, std::uint64_t{h.tot} * h.events +
                                                                                   rng.below(16)));
            h.toa = t;
            hits.push_back(h);
        }
    }
    return hits;
}

// Poisson-like counts: a binomial of 64 trials at 1/8 (mean 8) per pixel.
void make_frames(std::vector<std::uint16_t>& out, std::uint64_t seed, std::uint64_t index, std::uint64_t count) {
    out.resize(count * kFramePixels);
    Rng rng = stream(seed, index, Stream::Frames);
    for (std::uint16_t& px : out) px = static_cast<std::uint16_t>(std::popcount(rng.next() & rng.next() & rng.next()));
}

// Raw bytes look like the chip's 64-bit pixel packets (header nibble 0xB, address, ToA, ToT), one per hit.
void make_raw(std::vector<std::uint8_t>& out, std::uint64_t seed, std::uint64_t index, std::uint64_t bytes) {
    out.resize(bytes);
    const std::vector<Hit> hits = make_hits(seed, index, (bytes + 7) / 8);
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const Hit& h = hits[i];
        const std::uint64_t word = (std::uint64_t{0xB} << 60) | (std::uint64_t{h.address} << 44) |
                                   ((h.toa & 0x3FFF) << 30) | (std::uint64_t{h.tot & 0x3FFu} << 20) |
                                   ((h.toa >> 14) & 0xFFFFF);
        std::memcpy(out.data() + 8 * i, &word, std::min<std::size_t>(8, bytes - 8 * i));
    }
}

std::vector<std::uint64_t> make_tdc(std::uint64_t seed, std::uint64_t index, std::size_t channel,
                                    std::uint64_t count, std::uint64_t start, std::uint64_t span = kBlockPeriod) {
    std::vector<std::uint64_t> out;
    out.reserve(count);
    Rng rng = stream(seed, index, static_cast<Stream>(static_cast<std::uint64_t>(Stream::Tdc0) + channel));
    const std::uint64_t gap = std::max<std::uint64_t>(1, 2 * span / (count + 1));
    std::uint64_t t = start;
    for (std::uint64_t i = 0; i < count; ++i) out.push_back(t += 1 + rng.below(gap));
    return out;
}

std::vector<BinnedRecord> make_packets(std::uint64_t seed, std::uint64_t index, std::uint64_t count) {
    std::vector<BinnedRecord> out;
    out.reserve(count);
    Rng rng = stream(seed, index, Stream::Packets);
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto hits = static_cast<std::uint32_t>(1 + std::popcount(rng.next() & rng.next() & rng.next()));
        out.push_back({static_cast<std::uint32_t>(rng.below(kFramePixels)), hits,
                       hits * static_cast<std::uint32_t>(5 + rng.below(120))});
    }
    return out;
}

// Splits `packets` consecutive packets into `bins` bins at random cut points.
std::vector<BinDescriptor> partition(std::uint64_t packets, std::uint64_t bins, Rng rng) {
    std::vector<std::uint64_t> cuts;
    cuts.reserve(bins + 1);
    cuts.push_back(0);
    for (std::uint64_t i = 1; i < bins; ++i) cuts.push_back(rng.below(packets + 1));
    cuts.push_back(packets);
    std::sort(cuts.begin() + 1, cuts.end() - 1);
    std::vector<BinDescriptor> out;
    out.reserve(bins);
    for (std::uint64_t i = 0; i < bins; ++i)
        out.push_back({static_cast<std::uint32_t>(cuts[i]), static_cast<std::uint32_t>(cuts[i + 1] - cuts[i])});
    return out;
}

// Per-bin sums of the packets' hit counts or integrated ToT.
std::vector<std::uint64_t> sums(const std::vector<BinnedRecord>& packets, const std::vector<BinDescriptor>& bins,
                                bool itot) {
    std::vector<std::uint64_t> out;
    out.reserve(bins.size());
    for (const BinDescriptor& d : bins) {
        std::uint64_t sum = 0;
        for (std::uint64_t i = d.offset; i < std::uint64_t{d.offset} + d.packet_count && i < packets.size(); ++i)
            sum += itot ? packets[i].itot : packets[i].count;
        out.push_back(sum);
    }
    return out;
}

void fill_records(Block& b, Kind kind, const std::vector<Hit>& hits) {
    if (kind == Kind::ToaTotRecords) {
        b.toa_tot.reserve(hits.size());
        for (const Hit& h : hits) b.toa_tot.push_back({h.address, h.tot, h.toa});
    } else {
        b.itot_event.reserve(hits.size());
        for (const Hit& h : hits) b.itot_event.push_back({h.address, h.itot, h.events});
    }
}

void fill_vectors(Block& b, const ModeInfo& mode, const std::vector<Hit>& hits) {
    b.vec_length = hits.size();
    b.addresses.reserve(hits.size());
    for (const Hit& h : hits) b.addresses.push_back(h.address);
    if (mode.kind == Kind::ToaTotVectors) {
        // The sequential modes count ToA in 32 bits: they carry the low word of the same time.
        if (mode.wide_toa)
            for (const Hit& h : hits) b.toa64.push_back(h.toa);
        else
            for (const Hit& h : hits) b.toa32.push_back(static_cast<std::uint32_t>(h.toa));
        for (const Hit& h : hits) b.tot.push_back(h.tot);
    } else {
        for (const Hit& h : hits) b.events.push_back(h.events);
        for (const Hit& h : hits) b.itots.push_back(h.itot);
    }
}

// ---- physics of generated data ---------------------------------------------------------------------------------------
//
// Generated blocks answer to the device's settings at begin, as a detector facing a steady source does (scripted
// blocks are delivered exactly as written):
// - The effective threshold T is the device's first threshold (keV) moved by its threshold DACs away from their
//   model values: Vthreshold_fine and THLFine by 0.02 keV per step, Vthreshold_coarse and THLCoarse by 0.4 keV per
//   step (a higher value is a higher threshold).
// - Hits come from particles: photons of the source, electrons, minimum-ionising tracks and alphas at the model's
//   relative rates (physics.cpp gives their shapes). A pixel fires when its deposit, smeared by its energy
//   resolution, is above T; it gives ToT = a*E + b - c/(E - t) with its own parameters (at least 1, at most 1023)
//   and a ToA late by the ToT's time-walk. Dead and masked pixels never fire; noisy pixels fire on their own.
// - A block holds `hits` hits at the model's own threshold; at another threshold the particle hits scale with the
//   hits the source's particles leave above it.
// - Noise hits: hits x noise_hits x erfc((T - edge) / width) / 2, with the threshold's noise edge and a width of a
//   quarter of it (at least 0.05 keV): none far above the edge, an S-curve across it, noise_hits times the beam
//   rate far below it. The edge moves with the chip's temperature (chip_temperature()). Noise hits are single
//   pixels with a small ToT.
// - Frames: each live pixel counts Poisson(flux x exposure x rate factor), the exposure being the shutter duration
//   (or 1 / frame_rate while none is set); noisy pixels count more, dead and masked ones nothing.
// - Binned modes selected with BinningParams deliver width x height bins per block, and a packet's hit count scales
//   with the dwell time (1000 is the unscaled count); without parameters a block has 16 bins.
struct Physics {
    double beam = 1.0;   // particle hits per configured hit
    double noise = 0.0;  // noise hits per configured hit
    double threshold_kev = 0.0;
    double noise_width = 0.05;
    std::shared_ptr<const physics::PixelTable> pixels;
    physics::SourceSpec source;
    physics::KindTable kinds;
    // The pixel mask as the SDK keeps it, column after column (byte x * height + y); empty when nothing is masked.
    std::vector<std::uint8_t> mask;
    std::uint64_t mask_width = 0, mask_height = 0;
    std::optional<scan_params> binning;

    bool neutral() const { return beam == 1.0 && noise == 0.0 && mask.empty(); }
    // A pixel address is y * 256 + x, in hits and in frames alike.
    bool masked(std::uint32_t address) const {
        if (mask.empty()) return false;
        const std::uint64_t x = address % 256, y = address / 256 % 256;
        const std::uint64_t at = x * mask_height + y;
        return x < mask_width && y < mask_height && at < mask.size() && mask[at] != 0;
    }
    bool silent(std::uint32_t address) const { return (pixels && pixels->dead[address]) || masked(address); }
    // Counts are capped so a threshold set far into the noise cannot ask for unbounded memory.
    static std::uint64_t scaled(std::uint64_t n, double factor) {
        const double v = std::round(static_cast<double>(n) * factor);
        return v <= 0.0 ? 0 : static_cast<std::uint64_t>(std::min(v, 1e12));
    }
    std::uint64_t beam_hits(std::uint64_t n) const { return beam == 1.0 ? n : scaled(n, beam); }
    std::uint64_t noise_hits(std::uint64_t n) const { return noise == 0.0 ? 0 : scaled(n, noise); }
    // Hits of noisy pixels per block of `n` configured hits: one in a hundred while the chip has any.
    std::uint64_t noisy_hits(std::uint64_t n) const {
        return pixels && !pixels->noisy_pixels.empty() ? n / 100 : 0;
    }
    std::uint64_t bins() const {
        return binning ? std::uint64_t{binning->width_} * binning->height_ : std::uint64_t{16};
    }
};

constexpr double kFineKevPerStep = 0.02;
constexpr double kCoarseKevPerStep = 0.4;
constexpr double kReferenceDwell = 1000.0;
constexpr double kEdgePerDegree = 0.02;  // relative move of the noise edge per degree Celsius

physics::SourceSpec source_of(const SourceModel& m) {
    physics::SourceSpec s;
    s.beam_kev = m.beam_kev;
    s.beam_spread_kev = m.beam_spread_kev;
    double total = 0.0;
    for (std::size_t i = 0; i < m.lines_kev.size(); ++i) {
        const double w = i < m.weights.size() ? m.weights[i] : 1.0;
        if (!(w > 0.0) || !(m.lines_kev[i] > 0.0)) continue;
        s.lines_kev.push_back(m.lines_kev[i]);
        total += w;
        s.cumulative.push_back(total);
    }
    for (double& c : s.cumulative) c /= total;
    return s;
}

physics::KindTable kinds_of(const ParticleRates& r) {
    physics::KindTable t;
    const double rates[] = {std::max(0.0, r.photon), std::max(0.0, r.electron), std::max(0.0, r.mip),
                            std::max(0.0, r.alpha)};
    const double total = rates[0] + rates[1] + rates[2] + rates[3];
    double sum = 0.0;
    for (int k = 0; k < physics::kParticleKinds; ++k) {
        sum += total > 0.0 ? rates[k] : (k == 0 ? 1.0 : 0.0);
        t.cumulative[k] = total > 0.0 ? sum / total : sum;
    }
    return t;
}

// Deposits above each of two thresholds per particle, over a fixed sample of the source's particles: how the hit
// rate follows the threshold. The sample is the same at every threshold, so a scan never rises.
std::pair<double, double> hits_above(const Physics& p, double low, double high) {
    if (p.source.lines_kev.empty() && !(p.source.beam_kev > 0.0) && p.kinds.cumulative[0] >= 1.0) return {0.0, 0.0};
    Rng rng(0x5A3D1E);
    std::vector<physics::Deposit> deposits;
    std::uint64_t above_low = 0, above_high = 0;
    constexpr int kSample = 2048;
    for (int i = 0; i < kSample; ++i) {
        physics::particle(p.kinds.pick(rng), p.source, rng, deposits);
        for (const physics::Deposit& d : deposits) {
            above_low += d.kev > low;
            above_high += d.kev > high;
        }
    }
    return {static_cast<double>(above_low) / kSample, static_cast<double>(above_high) / kSample};
}

Physics physics_of(const DeviceModel& model, const DeviceState& state, const AcquisitionModel& settings,
                   const ModeInfo& mode) {
    Physics p;
    p.pixels = physics::pixel_table(settings.pixel_seed, 0, settings.dead_pixels);
    p.source = source_of(settings.source);
    p.kinds = kinds_of(settings.particles);
    if (!model.thresholds.empty()) {
        const ThresholdModel& t = model.thresholds.front();
        double kev = t.kev;
        if (const auto it = state.thresholds.find(t.id); it != state.thresholds.end()) kev = it->second.kev;
        for (const DacModel& dac : model.dacs) {
            const auto it = state.dacs.find(dac.id);
            if (it == state.dacs.end() || it->second == dac.value) continue;
            const double steps = static_cast<double>(it->second) - dac.value;
            if (dac.id == "Vthreshold_fine" || dac.id == "THLFine") kev += steps * kFineKevPerStep;
            if (dac.id == "Vthreshold_coarse" || dac.id == "THLCoarse") kev += steps * kCoarseKevPerStep;
        }
        p.threshold_kev = kev;
        if (kev != static_cast<double>(t.kev)) {
            const auto [at_kev, at_model] = hits_above(p, kev, t.kev);
            p.beam = at_model > 0.0 ? std::min(1e3, at_kev / at_model) : (at_kev > 0.0 ? 1e3 : 0.0);
        }
        // The noise edge is the model's at the temperature the model's own settings give, and moves with the chip.
        const double degrees = chip_temperature(model, state) - model_temperature(model);
        const double edge = static_cast<double>(t.noise) * (1.0 + kEdgePerDegree * degrees);
        const double width = std::max(0.05, edge / 4.0);
        p.noise_width = width;
        const double noise = settings.noise_hits * 0.5 * std::erfc((kev - edge) / width);
        p.noise = noise * static_cast<double>(settings.hits) < 0.5 ? 0.0 : noise;  // not a single hit
    }
    if (std::any_of(state.mask.begin(), state.mask.end(), [](std::uint8_t m) { return m != 0; })) {
        p.mask = state.mask;
        p.mask_width = model.pixel_mask.width;
        p.mask_height = model.pixel_mask.height;
    }
    if (mode.kind == Kind::BinnedPackets || mode.kind == Kind::CountSums || mode.kind == Kind::ItotSums)
        p.binning = state.mode_params;
    return p;
}

// Where and when a block's hits fall: ToA ticks from `start` over `span`.
struct Window {
    std::uint64_t start = 4096;
    std::uint64_t span = kBlockPeriod;
};

// Single-pixel noise hits spread over the block's span: `edge` from the threshold's noise, `noisy` from the noisy
// pixels; dead and masked pixels stay quiet.
void add_noise(std::vector<Hit>& hits, const Physics& p, Rng& rng, const Window& w, std::uint64_t edge,
               std::uint64_t noisy) {
    const auto one = [&](std::uint32_t address) {
        Hit h{};
        h.address = address;
        h.tot = static_cast<std::uint16_t>(1 + rng.below(8));
        h.events = 1;
        h.itot = h.tot;
        h.toa = w.start + rng.below(w.span);
        hits.push_back(h);
    };
    for (std::uint64_t made = 0, tries = 0; made < edge && tries < 64 * edge + 64; ++tries) {
        const auto address = static_cast<std::uint32_t>(rng.below(kFramePixels));
        if (p.silent(address)) continue;
        one(address);
        ++made;
    }
    const auto& list = p.pixels->noisy_pixels;
    for (std::uint64_t made = 0, tries = 0; made < noisy && tries < 64 * noisy + 64; ++tries) {
        const std::uint32_t address = list[rng.below(list.size())];
        if (p.masked(address)) continue;
        one(address);
        ++made;
    }
}

// How particles are spread in time within a block.
enum class Spacing {
    Random,     // a steady source: independent arrival times over the span
    Separated,  // at least kSeparationTicks apart, so no two particles overlap in space-time
    Crowded,    // about kCrowdedTicks apart on average, so some overlap
};
constexpr std::uint64_t kSeparationTicks = 2048;  // 3.2 us, far beyond any cluster's own duration
constexpr std::uint64_t kCrowdedTicks = 64;

// The particle hits of a block: whole particles until `n` hits are made (the block boundary may cut the last one),
// then their times. Hit i belongs to particle hits[i].particle.
void add_particles(std::vector<Hit>& hits, const Physics& p, Rng& rng, const Window& w, std::uint64_t n,
                   Spacing spacing) {
    const std::size_t first = hits.size();
    std::vector<physics::Deposit> deposits;
    std::vector<std::pair<std::size_t, double>> delays;  // (hit, delay in ns) until the particles have times
    std::int64_t particles = 0;
    const double tick_ns = physics::kToaTickNs;
    for (std::uint64_t tries = 0; hits.size() - first < n && tries < 64 * n + 64; ++tries) {
        physics::particle(p.kinds.pick(rng), p.source, rng, deposits);
        bool fired = false;
        for (const physics::Deposit& d : deposits) {
            if (hits.size() - first >= n) break;
            if (p.silent(d.address)) continue;
            const double kev = d.kev + physics::energy_sigma(p.noise_width, d.kev) * rng.normal();
            if (!(kev > p.threshold_kev)) continue;
            const double tot = std::clamp(std::round(physics::tot_of(*p.pixels, d.address, kev)), 1.0, 1023.0);
            Hit h{};
            h.address = d.address;
            h.tot = static_cast<std::uint16_t>(tot);
            h.events = static_cast<std::uint16_t>(1 + rng.below(4));
            h.itot = static_cast<std::uint16_t>(std::min<std::uint64_t>(65535, std::uint64_t{h.tot} * h.events +
                                                                                   rng.below(16)));
            h.particle = particles;
            delays.emplace_back(hits.size(), d.delay_ns + physics::walk_ns(tot) + 0.3 * rng.normal());
            hits.push_back(h);
            fired = true;
        }
        particles += fired;
    }
    if (particles == 0) return;
    // Arrival times of the particles, in index order.
    std::vector<std::uint64_t> times(static_cast<std::size_t>(particles));
    const auto k = static_cast<std::uint64_t>(particles);
    if (spacing == Spacing::Random) {
        for (std::uint64_t& t : times) t = w.start + rng.below(w.span);
        std::sort(times.begin(), times.end());
    } else {
        const std::uint64_t gap = spacing == Spacing::Separated ? std::max(w.span / k, 2 * kSeparationTicks)
                                                                : std::max<std::uint64_t>(1, kCrowdedTicks);
        const std::uint64_t slack = spacing == Spacing::Separated ? gap - kSeparationTicks : 2 * gap;
        for (std::uint64_t i = 0; i < k; ++i) times[i] = w.start + i * gap + rng.below(slack);
    }
    for (const auto& [at, delay] : delays) {
        Hit& h = hits[at];
        h.toa = times[static_cast<std::size_t>(h.particle)] +
                static_cast<std::uint64_t>(std::max(0.0, std::round(delay / tick_ns)));
    }
}

// The read-out sends hits roughly in time order: each is late by up to the read-out's jitter. They are ordered by
// that late time, ties in the order they were made, by a stable radix sort of the keys' bits above the smallest:
// a block's keys span about 2^25 ticks, so three passes of 11 bits, where a comparison sort of (key, index)
// pairs, giving the same order, cost half the generator's time.
void readout_order(std::vector<Hit>& hits, Rng& rng) {
    const std::size_t n = hits.size();
    std::vector<std::uint64_t> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = hits[i].toa + rng.below(physics::kReadoutJitterTicks);
    if (n < 2) return;
    const auto [low, high] = std::minmax_element(keys.begin(), keys.end());
    const std::uint64_t base = *low, span = *high - *low;
    std::vector<std::uint32_t> order(n), next(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    constexpr int kBits = 11;
    std::vector<std::uint32_t> starts(std::size_t{1} << kBits);
    for (int shift = 0; shift < 64 && (span >> shift) != 0; shift += kBits) {
        const auto digit = [&](std::uint32_t i) { return ((keys[i] - base) >> shift) & ((1u << kBits) - 1); };
        std::fill(starts.begin(), starts.end(), 0);
        for (const std::uint32_t i : order) ++starts[digit(i)];
        std::uint32_t at = 0;
        for (std::uint32_t& s : starts) at += std::exchange(s, at);
        for (const std::uint32_t i : order) next[starts[digit(i)]++] = i;
        order.swap(next);
    }
    std::vector<Hit> ordered;
    ordered.reserve(n);
    for (const std::uint32_t i : order) ordered.push_back(hits[i]);
    hits.swap(ordered);
}

// The hits of a generated block, in read-out order.
std::vector<Hit> physical_hits(const Physics& p, std::uint64_t seed, std::uint64_t index, std::uint64_t n,
                               const Window& w, Spacing spacing = Spacing::Random) {
    std::vector<Hit> hits;
    const std::uint64_t noisy = std::min(n, p.noisy_hits(n));
    const std::uint64_t beam = p.beam_hits(n - noisy), edge = p.noise_hits(n);
    hits.reserve(beam + noisy + edge);
    Rng particles = stream(seed, index, Stream::Particles);
    add_particles(hits, p, particles, w, beam, spacing);
    Rng noise = stream(seed, index, Stream::Noise);
    add_noise(hits, p, noise, w, edge, noisy);
    Rng readout = stream(seed, index, Stream::Readout);
    readout_order(hits, readout);
    return hits;
}

// The packets of a generated binned block: per-pixel hit counts over the dwell time, masked pixels dropped.
std::vector<BinnedRecord> physical_packets(const Physics& p, std::uint64_t seed, std::uint64_t index, std::uint64_t n) {
    std::vector<BinnedRecord> packets = make_packets(seed, index, p.beam_hits(n) + p.noise_hits(n));
    if (p.neutral() && !p.binning) return packets;
    const double dwell = p.binning ? static_cast<double>(p.binning->dwell_time_) / kReferenceDwell : 1.0;
    std::vector<BinnedRecord> out;
    out.reserve(packets.size());
    for (BinnedRecord r : packets) {
        if (p.masked(r.address)) continue;
        const double hits = std::round(r.count * dwell);
        if (hits < 1.0) continue;  // no hit in this pixel during the dwell: no packet
        const double per_hit = static_cast<double>(r.itot) / r.count;
        r.count = static_cast<std::uint32_t>(std::min(hits, 4294967295.0));
        r.itot = static_cast<std::uint32_t>(std::min(std::round(per_hit * r.count), 4294967295.0));
        out.push_back(r);
    }
    return out;
}

// Frames: each pixel counts a Poisson number of hits over the exposure; noisy pixels ten times the mean, dead and
// masked ones nothing.
void physical_frames(const Physics& p, std::vector<std::uint16_t>& frames, std::uint64_t seed, std::uint64_t index,
                     std::uint64_t count, double mean) {
    frames.resize(count * kFramePixels);
    Rng rng = stream(seed, index, Stream::Frames);
    // One cumulative table serves every ordinary pixel: a uniform draw and a short search per pixel.
    const bool table = mean < 500.0;
    std::vector<double> cdf;
    if (table) {
        double term = std::exp(-mean), sum = term;
        for (std::size_t k = 0; k < 4096;) {
            cdf.push_back(sum);
            if (sum >= 1.0 - 1e-12 && static_cast<double>(k) > mean) break;
            ++k;
            term *= mean / static_cast<double>(k);
            sum += term;
        }
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto address = static_cast<std::uint32_t>(i % kFramePixels);
        if (p.silent(address)) {
            frames[i] = 0;
            continue;
        }
        std::uint64_t v;
        if (p.pixels->noisy[address]) v = rng.poisson(10.0 * mean);
        else if (table) {
            const double u = rng.uniform();
            v = static_cast<std::uint64_t>(std::lower_bound(cdf.begin(), cdf.end(), u) - cdf.begin());
        } else v = rng.poisson(mean);
        frames[i] = static_cast<std::uint16_t>(std::min<std::uint64_t>(v, 65535));
    }
}

// The settings of one run, copied at begin: the model may change while the run delivers.
struct RunSpec {
    AcquisitionModel settings;
    ModeInfo mode;
    Physics physics;  // what the device's settings at begin make of generated data
    // The trigger settings of the device at begin: blocks wait for a software trigger each, and frames take the
    // shutter duration each (0: no exposure pacing).
    bool software_triggered = false;
    double shutter_s = 0.0;
    std::uint64_t seed = 1;     // the model's seed, or one drawn for this run
    std::uint64_t blocks = 0;   // blocks of a generated run
    double period_s = 0.0;      // a generated run delivers block i at (i + 1) periods after its start
    double exposure_s = 0.1;    // of each generated frame
    std::uint64_t span = kBlockPeriod;  // ToA ticks per generated block
    Window window(std::uint64_t index) const { return {4096 + index * span, span}; }
};

// Hits of the same ToA (the pixels of one photon often share it) come in address order.
void sort_by_toa(Block& b) {
    std::stable_sort(b.toa_tot.begin(), b.toa_tot.end(), [](const ToaTotRecord& l, const ToaTotRecord& r) {
        return l.toa != r.toa ? l.toa < r.toa : (l.address != r.address ? l.address < r.address : l.tot < r.tot);
    });
}

void bins_and_sums(Block& b, const RunSpec& spec, std::uint64_t index, const std::vector<BinnedRecord>& packets,
                   std::uint64_t bins, bool hit_sums, bool itot_sums) {
    b.descriptors = partition(packets.size(), bins, stream(spec.seed, index, Stream::Bins));
    if (hit_sums) b.hit_sums = sums(packets, b.descriptors, false);
    if (itot_sums) b.itot_sums = sums(packets, b.descriptors, true);
}

void generated_block(Block& b, const RunSpec& spec, std::uint64_t index) {
    const AcquisitionModel& s = spec.settings;
    const Physics& p = spec.physics;
    const std::uint64_t seed = spec.seed;
    switch (spec.mode.kind) {
        case Kind::Frames:
            physical_frames(p, b.frames, seed, index, s.frames,
                            s.flux * spec.exposure_s * (p.beam + p.noise));
            break;
        case Kind::None:
        case Kind::Raw:
            make_raw(b.raw, seed, index, s.raw);
            b.own_raw = true;
            break;
        case Kind::ToaTotRecords:
        case Kind::ItotEventRecords:
            fill_records(b, spec.mode.kind, physical_hits(p, seed, index, s.hits, spec.window(index)));
            if (spec.mode.sorted) sort_by_toa(b);
            break;
        case Kind::ToaTotVectors:
        case Kind::ItotEventVectors:
            fill_vectors(b, spec.mode, physical_hits(p, seed, index, s.hits, spec.window(index)));
            break;
        case Kind::BinnedPackets:
            b.binned = physical_packets(p, seed, index, s.hits);
            bins_and_sums(b, spec, index, b.binned, p.bins(), true, true);
            break;
        case Kind::CountSums:
        case Kind::ItotSums:
            bins_and_sums(b, spec, index, physical_packets(p, seed, index, s.hits), p.bins(),
                          spec.mode.kind == Kind::CountSums, spec.mode.kind == Kind::ItotSums);
            b.descriptors.clear();  // these modes deliver the sums only
            break;
    }
    if (spec.mode.data_driven) {
        b.shutter = spec.window(index).start;
        Rng counts = stream(seed, index, Stream::TdcCounts);
        for (std::size_t ch = 0; ch < 3; ++ch)
            b.tdc[ch] = make_tdc(seed, index, ch, 1 + counts.below(4), b.shutter, spec.span);
    }
}

// A count of sums or explicit values; counted sums come from the block's packets split into that many bins.
std::vector<std::uint64_t> scripted_sums(const CountOrValues& given, const Block& b, const RunSpec& spec,
                                         std::uint64_t index, bool itot) {
    if (const auto* values = std::get_if<std::vector<std::uint64_t>>(&given)) return *values;
    const std::uint64_t n = std::get<std::uint64_t>(given);
    const std::vector<BinnedRecord> own = b.binned.empty() ? make_packets(spec.seed, index, spec.settings.hits)
                                                           : std::vector<BinnedRecord>{};
    const std::vector<BinnedRecord>& packets = b.binned.empty() ? own : b.binned;
    const std::vector<BinDescriptor> bins =
        n == b.descriptors.size() && !b.binned.empty()
            ? b.descriptors
            : partition(packets.size(), n, stream(spec.seed, index, Stream::Sums));
    return sums(packets, bins, itot);
}

void scripted_block(Block& b, const RunSpec& spec, std::uint64_t index, const BlockModel& m) {
    const std::uint64_t seed = spec.seed;
    const Kind kind = spec.mode.kind;
    if (m.frames) make_frames(b.frames, seed, index, *m.frames);
    if (m.raw) {
        make_raw(b.raw, seed, index, *m.raw);
        b.own_raw = true;
    }
    if (kind == Kind::ToaTotRecords || kind == Kind::ItotEventRecords) {
        if (m.records) {
            // Explicit records are delivered exactly as given, in every mode.
            for (const auto& r : *m.records) {
                const auto a = static_cast<std::uint32_t>(r[0]);
                const auto v = static_cast<std::uint32_t>(r[1]);
                if (kind == Kind::ToaTotRecords) b.toa_tot.push_back({a, v, r[2]});
                else b.itot_event.push_back({a, v, r[2]});
            }
        } else if (m.hits) {
            fill_records(b, kind, make_hits(seed, index, *m.hits));
            if (spec.mode.sorted) sort_by_toa(b);
        }
    } else if (has_vectors(kind)) {
        const std::array<const char*, 3> names = kind == Kind::ToaTotVectors
                                                     ? std::array<const char*, 3>{"addresses", "toa", "tot"}
                                                     : std::array<const char*, 3>{"addresses", "events", "itots"};
        std::optional<std::uint64_t> given;
        for (const char* name : names)
            if (const auto it = m.vectors.find(name); it != m.vectors.end())
                given = std::max<std::uint64_t>(given.value_or(0), it->second.size());
        fill_vectors(b, spec.mode, make_hits(seed, index, given.value_or(m.hits.value_or(0))));
        // Given vectors replace the generated ones; one shorter than the block is padded with zeros.
        const auto put = [&](const char* name, auto& out) {
            const auto it = m.vectors.find(name);
            if (it == m.vectors.end()) return;
            using T = typename std::remove_reference_t<decltype(out)>::value_type;
            std::fill(out.begin(), out.end(), T{0});
            std::transform(it->second.begin(), it->second.end(), out.begin(),
                           [](std::uint64_t v) { return static_cast<T>(v); });
        };
        put("addresses", b.addresses);
        if (kind == Kind::ToaTotVectors) {
            if (spec.mode.wide_toa) put("toa", b.toa64);
            else put("toa", b.toa32);
            put("tot", b.tot);
        } else {
            put("events", b.events);
            put("itots", b.itots);
        }
    } else if (kind == Kind::BinnedPackets) {
        if (m.records) {
            for (const auto& r : *m.records)
                b.binned.push_back({static_cast<std::uint32_t>(r[0]), static_cast<std::uint32_t>(r[1]),
                                    static_cast<std::uint32_t>(r[2])});
        } else if (m.packets) {
            b.binned = make_packets(seed, index, *m.packets);
        }
    }
    if (m.descriptors)
        b.descriptors = partition(b.binned.size(), *m.descriptors, stream(seed, index, Stream::Bins));
    if (m.hit_sums) b.hit_sums = scripted_sums(*m.hit_sums, b, spec, index, false);
    if (m.itot_sums) b.itot_sums = scripted_sums(*m.itot_sums, b, spec, index, true);
    b.shutter = m.shutter.value_or(0);
    if (m.tdc) {
        for (std::size_t ch = 0; ch < 3 && ch < m.tdc->size(); ++ch) {
            const CountOrValues& c = (*m.tdc)[ch];
            if (const auto* values = std::get_if<std::vector<std::uint64_t>>(&c)) b.tdc[ch] = *values;
            else
                b.tdc[ch] = make_tdc(seed, index, ch, std::get<std::uint64_t>(c),
                                     m.shutter ? *m.shutter : block_start(index));
        }
    }
    b.null = m.null;
    for (const auto& [name, fault] : m.fail) {
        const auto it = std::find_if(kGetterNames.begin(), kGetterNames.end(),
                                     [&](const char* g) { return name == g; });
        if (it == kGetterNames.end()) continue;  // only the getters of a block can fail per block
        b.fails[static_cast<std::size_t>(it - kGetterNames.begin())] = &fault;
        b.any_fail = true;
    }
}

// Block `index` of the run: the script's block when scripted, else generated from the settings.
std::unique_ptr<Block> prepare(const RunSpec& spec, std::uint64_t index) {
    auto b = std::make_unique<Block>();
    if (spec.settings.scripted) scripted_block(*b, spec, index, spec.settings.blocks[index]);
    else generated_block(*b, spec, index);
    finish(*b, spec.mode);
    place_in_ring(*b);
    return b;
}

// How long a run lasts and how its generated blocks are paced, from the device's settings at begin:
// - a model block count gives exactly that many blocks, `interval_s` apart (frames also take the shutter duration
//   each when one is set), spanning 2**24 ToA ticks each;
// - otherwise frame modes deliver `frame_count` frames, one exposure each (the shutter duration, or 1 / frame_rate
//   while none is set), and the other modes last the shutter duration (or `duration_s` while none is set), one block
//   of `hits` hits (raw: `raw` / 8) every hits / hit_rate seconds, their ToA spanning that time.
// The seed is the model's, or a new one per run when the model gives none; scripted runs use 1 then.
void plan(RunSpec& spec) {
    const AcquisitionModel& s = spec.settings;
    if (s.seed) spec.seed = *s.seed;
    else if (s.scripted) spec.seed = 1;
    else {
        std::random_device device;
        spec.seed = (std::uint64_t{device()} << 32 | device()) ^
                    static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    spec.exposure_s = spec.shutter_s > 0.0 ? spec.shutter_s : 1.0 / s.frame_rate;
    if (s.scripted) return;
    if (s.block_count) {
        spec.blocks = *s.block_count;
        return;
    }
    if (spec.mode.kind == Kind::Frames) {
        const std::uint64_t per = std::max<std::uint64_t>(1, s.frames);
        spec.blocks = s.frame_count / per + (s.frame_count % per != 0);
        spec.period_s = static_cast<double>(per) * spec.exposure_s;
        return;
    }
    const bool raw = spec.mode.kind == Kind::Raw || spec.mode.kind == Kind::None;
    const double per_block = std::max(1.0, raw ? static_cast<double>(s.raw) / 8.0 : static_cast<double>(s.hits));
    spec.period_s = per_block / s.hit_rate;
    const double duration = spec.shutter_s > 0.0 ? spec.shutter_s : s.duration_s;
    spec.blocks = static_cast<std::uint64_t>(std::clamp(std::round(duration / spec.period_s), 1.0, 1e15));
    spec.span = static_cast<std::uint64_t>(
        std::clamp(std::round(spec.period_s * 1e9 / physics::kToaTickNs), 1.0, static_cast<double>(kBlockPeriod) * 1024));
}

// ---- checking a model before it runs --------------------------------------------------------------------------------

// No block may need more memory than this; a model asking for more is refused at begin instead of failing on
// the worker thread.
constexpr std::uint64_t kMaxBlockBytes = std::uint64_t{1} << 31;

struct Budget {
    std::uint64_t bytes = 0;
    void add(std::uint64_t count, std::uint64_t item) {
        const std::uint64_t need =
            count > std::numeric_limits<std::uint64_t>::max() / item ? std::numeric_limits<std::uint64_t>::max()
                                                                     : count * item;
        bytes = need > std::numeric_limits<std::uint64_t>::max() - bytes ? std::numeric_limits<std::uint64_t>::max()
                                                                         : bytes + need;
    }
    void add(const CountOrValues& c, std::uint64_t item) {
        if (const auto* n = std::get_if<std::uint64_t>(&c)) add(*n, item);
    }
};

// Generous per-item sizes: the delivered buffers plus the temporaries that build them.
constexpr std::uint64_t kHitBytes = 64;
constexpr std::uint64_t kPacketBytes = 32;

std::uint64_t generated_bytes(const RunSpec& spec) {
    const AcquisitionModel& s = spec.settings;
    const Physics& p = spec.physics;
    const std::uint64_t hits = p.beam_hits(s.hits) + p.noise_hits(s.hits);
    Budget b;
    switch (spec.mode.kind) {
        case Kind::Frames: b.add(s.frames, kFramePixels * 2); break;
        case Kind::None:
        case Kind::Raw: b.add(s.raw, 1 + kHitBytes / 8); break;
        case Kind::BinnedPackets:
        case Kind::CountSums:
        case Kind::ItotSums:
            b.add(hits, kPacketBytes);
            b.add(p.bins(), 3 * sizeof(std::uint64_t));  // descriptors, cut points and the sums
            break;
        default: b.add(hits, kHitBytes); break;
    }
    return b.bytes;
}

std::uint64_t scripted_bytes(const BlockModel& m, const RunSpec& spec) {
    Budget b;
    if (m.frames) b.add(*m.frames, kFramePixels * 2);
    if (m.raw) b.add(*m.raw, 1 + kHitBytes / 8);
    if (m.hits) b.add(*m.hits, kHitBytes);
    if (m.packets) b.add(*m.packets, kPacketBytes);
    if (m.descriptors) b.add(*m.descriptors, 16);
    if (m.hit_sums) b.add(*m.hit_sums, 24);
    if (m.itot_sums) b.add(*m.itot_sums, 24);
    if ((m.hit_sums && std::holds_alternative<std::uint64_t>(*m.hit_sums)) ||
        (m.itot_sums && std::holds_alternative<std::uint64_t>(*m.itot_sums)))
        b.add(spec.settings.hits, kPacketBytes);  // counted sums of a block without packets sum generated ones
    if (m.tdc)
        for (const CountOrValues& c : *m.tdc) b.add(c, 8);
    return b.bytes;
}

// Checks that every block of the run can be built; returns the status and message of the first that cannot.
std::optional<std::pair<int, std::string>> check(const RunSpec& spec) {
    const std::string mode_fields = spec.mode.kind == Kind::ToaTotRecords      ? "(address, tot, toa)"
                                    : spec.mode.kind == Kind::ItotEventRecords ? "(address, itot, event)"
                                                                               : "(address, count, itot)";
    const auto too_big = [](const std::string& what, std::uint64_t bytes) {
        return std::pair<int, std::string>(-4, what + " needs " + std::to_string(bytes) +
                                                   " bytes, more than the simulator allows per block (" +
                                                   std::to_string(kMaxBlockBytes) + ")");
    };
    if (!spec.settings.scripted) {
        const AcquisitionModel& s = spec.settings;
        const auto positive = [](double v) { return std::isfinite(v) && v > 0.0; };
        if (!positive(s.hit_rate) || !positive(s.frame_rate) || !positive(s.duration_s))
            return std::pair(-3, std::string("The acquisition's hit_rate, frame_rate and duration_s must be positive"));
        if (!(std::isfinite(s.flux) && s.flux >= 0.0))
            return std::pair(-3, std::string("The acquisition's flux must be a finite count rate, 0 or more"));
        if (!(s.dead_pixels >= 0.0 && s.dead_pixels <= 1.0))
            return std::pair(-3, std::string("The acquisition's dead_pixels must be a share from 0 to 1"));
        const SourceModel& src = s.source;
        const bool lines = std::any_of(src.lines_kev.begin(), src.lines_kev.end(), [&](double e) { return positive(e); });
        if (!(std::isfinite(src.beam_kev) && std::isfinite(src.beam_spread_kev)) || (!lines && !positive(src.beam_kev)))
            return std::pair(-3, std::string("The acquisition's source needs a positive beam_kev or a positive line"));
        const std::uint64_t bytes = generated_bytes(spec);
        if (bytes > kMaxBlockBytes) return too_big("A generated block", bytes);
        return std::nullopt;
    }
    for (std::size_t i = 0; i < spec.settings.blocks.size(); ++i) {
        const BlockModel& m = spec.settings.blocks[i];
        const std::string where = "Block " + std::to_string(i);
        if (const std::uint64_t bytes = scripted_bytes(m, spec); bytes > kMaxBlockBytes) return too_big(where, bytes);
        if (has_records(spec.mode.kind) && m.records) {
            for (std::size_t r = 0; r < m.records->size(); ++r) {
                const auto& rec = (*m.records)[r];
                const std::string at = where + " record " + std::to_string(r);
                if (rec.size() != 3)
                    return std::pair(-3, at + " has " + std::to_string(rec.size()) + " fields; this mode's records are " +
                                             mode_fields);
                const bool wide_last = spec.mode.kind != Kind::BinnedPackets;
                if (rec[0] > UINT32_MAX || rec[1] > UINT32_MAX || (!wide_last && rec[2] > UINT32_MAX))
                    return std::pair(-3, at + " has a value too large for its 32-bit field");
            }
        }
        if (has_vectors(spec.mode.kind)) {
            for (const auto& [name, values] : m.vectors) {
                const std::uint64_t limit = name == "addresses" || (name == "toa" && !spec.mode.wide_toa) ? UINT32_MAX
                                            : name == "toa"                                          ? UINT64_MAX
                                                                                                     : UINT16_MAX;
                if (std::any_of(values.begin(), values.end(), [&](std::uint64_t v) { return v > limit; }))
                    return std::pair(-3, where + " vector '" + name + "' has a value too large for its " +
                                             std::to_string(std::bit_width(limit)) + "-bit elements");
            }
        }
    }
    return std::nullopt;
}

// ---- runs ---------------------------------------------------------------------------------------------------------------

}  // namespace vrexsim::engine

// One data block as the data callback sees it; lives on the worker's stack for the duration of the call.
struct VrexAcquisition {
    vrexsim::LastError error;
    const vrexsim::engine::Block* block = nullptr;
    // The mode selected when the callback was registered, when its blocks cannot be read as this block: the
    // callback then reads with another layout, so every getter but the raw one refuses (see getter()).
    const vrexsim::engine::ModeInfo* misread_as = nullptr;
};

namespace vrexsim {

struct AcqRun {
    engine::RunSpec spec;
    Bytes channel;
    std::size_t device = 0;  // index in the model at begin

    // The data callback; a registration made while the run delivers applies from the next block. The worker
    // keeps a copy and re-reads the slot only when its version moved, so a block costs one atomic load here.
    std::mutex slot_mutex;
    Registration slot;
    engine::ModeInfo slot_mode;  // the mode selected when `slot` was registered
    std::atomic<std::uint64_t> slot_version{0};

    std::mutex stop_mutex;
    std::condition_variable stop_cv;
    std::atomic<bool> stop{false};
    std::uint64_t triggers = 0;  // software triggers not yet used by a block; guarded by stop_mutex
    std::atomic<bool> finished{false};  // the worker has delivered everything it will
    bool aborted = false;               // guarded by the context's mutex

    std::mutex join_mutex;  // one joiner at a time; the others wait for it
    std::thread worker;
    std::thread::id worker_id;  // set before the run is published, never changed
    // Set as the worker's last act: after it, a thread with the worker's id is another thread that was given
    // the same id (the system reuses the ids of threads that ended), not the worker.
    std::atomic<bool> worker_exited{false};

    // Used by the worker thread only: the block in its callback, and whether that block's bookkeeping is done.
    const engine::Block* current = nullptr;
    bool counted = false;
    Registration cached;                          // the worker's copy of `slot`
    engine::ModeInfo cached_mode;                 // and of `slot_mode`
    std::uint64_t cached_version = ~std::uint64_t{0};
    std::uint64_t uncounted = 0;                  // delivered blocks not yet added to the device's count
    bool books_closed = false;                    // the device's count must not be touched any more

    AcqRun() = default;
    AcqRun(const AcqRun&) = delete;
    AcqRun& operator=(const AcqRun&) = delete;
    // A run nobody joined (its own callback stopped it) lets its thread finish on its own.
    ~AcqRun() {
        if (worker.joinable()) worker.detach();
    }

    void set_registration(const Registration& r, const engine::ModeInfo& mode) {
        std::lock_guard lock(slot_mutex);
        slot = r;
        slot_mode = mode;
        slot_version.fetch_add(1, std::memory_order_release);
    }
    // The registration as the worker sees it (worker thread only).
    const Registration& worker_registration() {
        if (slot_version.load(std::memory_order_acquire) != cached_version) {
            std::lock_guard lock(slot_mutex);
            cached = slot;
            cached_mode = slot_mode;
            cached_version = slot_version.load(std::memory_order_relaxed);
        }
        return cached;
    }
    void request_stop() {
        {
            std::lock_guard lock(stop_mutex);
            stop.store(true, std::memory_order_relaxed);
        }
        stop_cv.notify_all();
    }
    // Waits `seconds` unless stopped first; false when the run was stopped.
    bool pause(double seconds) {
        std::unique_lock lock(stop_mutex);
        if (!(seconds > 0.0)) return !stop.load(std::memory_order_relaxed);
        const double capped = std::min(seconds, 366.0 * 86400.0);
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(capped));
        return !stop_cv.wait_for(lock, wait, [&] { return stop.load(std::memory_order_relaxed); });
    }
    // One software trigger for the next block waiting for one.
    void trigger() {
        {
            std::lock_guard lock(stop_mutex);
            ++triggers;
        }
        stop_cv.notify_all();
    }
    // Waits for a software trigger and uses it up; false when the run was stopped first.
    bool await_trigger() {
        std::unique_lock lock(stop_mutex);
        stop_cv.wait(lock, [&] { return triggers > 0 || stop.load(std::memory_order_relaxed); });
        if (stop.load(std::memory_order_relaxed)) return false;
        --triggers;
        return true;
    }
    bool on_worker() const {
        return !worker_exited.load(std::memory_order_acquire) && std::this_thread::get_id() == worker_id;
    }
    void join() {
        if (on_worker()) return;
        std::lock_guard lock(join_mutex);
        if (worker.joinable()) worker.join();
    }
};

namespace engine {
namespace {

// The buffers of a block by name, as the getters hand them out.
std::map<std::string, std::vector<std::uint8_t>> snapshot(const Block& b) {
    std::map<std::string, std::vector<std::uint8_t>> out;
    const auto put = [&](const char* name, const Block::View& v) {
        if (v.data == nullptr) return;
        const auto* p = static_cast<const std::uint8_t*>(v.data);
        out[name].assign(p, p + v.count * v.item);
    };
    put("frames", b.v_frames);
    put("raw", b.v_raw);
    put("packets", b.v_packets);
    put("addresses", b.v_addresses);
    put("toa", b.v_toa);
    put("tot", b.v_tot);
    put("events", b.v_events);
    put("itots", b.v_itots);
    put("descriptors", b.v_descriptors);
    put("hit_sums", b.v_hit_sums);
    put("itot_sums", b.v_itot_sums);
    put("tdc0", b.v_tdc[0]);
    put("tdc1", b.v_tdc[1]);
    put("tdc2", b.v_tdc[2]);
    return out;
}

// Adds the blocks counted on the worker to the device's count (worker thread, or its own callback).
void flush_count(AcqRun& r) {
    if (r.uncounted == 0 || r.books_closed) return;
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    if (r.device < s.states.size()) s.states[r.device].blocks_delivered += r.uncounted;
    r.uncounted = 0;
}

// Bookkeeping after a callback returned: the delivered count, and the block as the callback left it while the
// call log records. Without hooks the count is kept on the worker and added to the device's every 256 blocks
// and at the end of the run, so a burst does not take the simulator lock per block.
void delivered(AcqRun& r, const Block& block) {
    Sim& s = sim();
    ++r.uncounted;
    if (!s.hooks_active.load(std::memory_order_acquire)) {
        if (r.uncounted >= 256) flush_count(r);
        return;
    }
    bool recording = false;
    {
        std::lock_guard lock(s.hooks_mutex);
        recording = s.recording;
    }
    std::map<std::string, std::vector<std::uint8_t>> buffers;
    if (recording) buffers = snapshot(block);
    flush_count(r);
    if (!recording || r.books_closed) return;
    std::lock_guard lock(s.mutex);
    if (r.device < s.states.size()) s.states[r.device].last_block = std::move(buffers);
}

// Hands one block to the registered callback, if any.
void deliver(AcqRun& r, const Block& block) {
    const Registration reg = r.worker_registration();
    if (reg.func == nullptr) return;
    VrexAcquisition acq;
    acq.block = &block;
    // A callback registered while a mode of another layout was selected would read this block's buffers with
    // that layout (16-byte records over 12-byte ones, say): its getters refuse instead.
    if (r.cached_mode.kind != Kind::None && !same_layout(block.mode, r.cached_mode)) [[unlikely]]
        acq.misread_as = &r.cached_mode;
    r.current = &block;
    r.counted = false;
    reg.func(&acq, reg.user);
    r.current = nullptr;
    if (!r.counted) delivered(r, block);
}

// Generated blocks prepared once at the start of a run and delivered in turn, so a fast run costs no generation:
// each pass over the pool moves the blocks' times on by the pool's span, so time of arrival keeps increasing
// as a stream of distinct blocks would have it.
class Pool {
public:
    Pool(const RunSpec& spec, std::uint64_t count) {
        if (spec.settings.scripted || spec.settings.pool == 0 || count == 0) return;
        const std::uint64_t n = std::min(spec.settings.pool, spec.settings.burst > 0 ? spec.settings.pool : count);
        for (std::uint64_t i = 0; i < n; ++i) blocks_.push_back(prepare(spec, i));
        passes_.assign(n, 0);
        shift_ = n * spec.span;
    }
    bool empty() const { return blocks_.empty(); }
    // Block i of the run.
    const Block& take(std::uint64_t i) {
        const std::size_t at = static_cast<std::size_t>(i % blocks_.size());
        const std::uint64_t pass = i / blocks_.size();
        Block& b = *blocks_[at];
        if (pass != passes_[at]) {
            shift(b, (pass - passes_[at]) * shift_);
            passes_[at] = pass;
        }
        return b;
    }

private:
    // Moves every time a block carries on by `ticks`, in the memory its getters hand out.
    static void shift(Block& b, std::uint64_t ticks) {
        if (b.v_packets.data != nullptr && b.mode.kind == Kind::ToaTotRecords) {
            auto* records = static_cast<ToaTotRecord*>(b.v_packets.data);
            for (std::uint64_t k = 0; k < b.v_packets.count; ++k) records[k].toa += ticks;
        }
        if (b.v_toa.data != nullptr) {
            if (b.mode.wide_toa) {
                auto* toa = static_cast<std::uint64_t*>(b.v_toa.data);
                for (std::uint64_t k = 0; k < b.v_toa.count; ++k) toa[k] += ticks;
            } else {
                auto* toa = static_cast<std::uint32_t*>(b.v_toa.data);  // the low word, as the mode counts it
                for (std::uint64_t k = 0; k < b.v_toa.count; ++k) toa[k] += static_cast<std::uint32_t>(ticks);
            }
        }
        b.shutter += ticks;
        for (Block::View& v : b.v_tdc) {
            if (v.data == nullptr) continue;
            auto* stamps = static_cast<std::uint64_t*>(v.data);
            for (std::uint64_t k = 0; k < v.count; ++k) stamps[k] += ticks;
        }
    }

    std::vector<std::unique_ptr<Block>> blocks_;
    std::vector<std::uint64_t> passes_;
    std::uint64_t shift_ = 0;
};

void work(const std::shared_ptr<AcqRun>& r) {
    const RunSpec& spec = r->spec;
    const AcquisitionModel& s = spec.settings;
    const std::uint64_t count = s.scripted ? s.blocks.size() : spec.blocks;
    try {
        Pool pool(spec, count);
        if (s.burst > 0) {
            // The block is prepared once (or the pool's blocks) so a burst measures delivery, not generation.
            if (count > 0) {
                const auto block = pool.empty() ? prepare(spec, 0) : nullptr;
                for (std::uint64_t i = 0; i < s.burst && !r->stop.load(std::memory_order_relaxed); ++i)
                    deliver(*r, block ? *block : pool.take(i));
            }
        } else {
            // A paced run keeps its schedule whatever building a block costs: block i is due (i + 1) periods after
            // the start, as the device's own clock would deliver it.
            const auto started = std::chrono::steady_clock::now();
            const bool paced = !s.scripted && spec.period_s > 0.0;
            for (std::uint64_t i = 0; i < count; ++i) {
                double wait = s.scripted ? s.blocks[i].delay_s : (i > 0 ? s.interval_s : 0.0);
                if (paced) {
                    const double elapsed =
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
                    wait += std::max(0.0, spec.period_s * static_cast<double>(i + 1) - elapsed);
                }
                if (!r->pause(wait)) break;
                if (spec.software_triggered && !r->await_trigger()) break;
                if (!paced && spec.mode.kind == Kind::Frames && spec.shutter_s > 0.0) {  // each frame is one exposure
                    const std::uint64_t frames = s.scripted ? s.blocks[i].frames.value_or(s.frames) : s.frames;
                    if (!r->pause(spec.shutter_s * static_cast<double>(frames))) break;
                }
                if (r->worker_registration().func == nullptr) continue;  // nobody listens: skip building it
                if (!pool.empty()) {
                    deliver(*r, pool.take(i));
                    continue;
                }
                const auto block = prepare(spec, i);
                if (r->stop.load(std::memory_order_relaxed)) break;
                deliver(*r, *block);
            }
        }
    } catch (const std::exception& e) {
        log_message(nullptr, Error, "Acquisition on channel " + r->channel + " stopped: " + e.what());
    }
    flush_count(*r);
    r->finished.store(true, std::memory_order_release);
}

// ---- context-level helpers ---------------------------------------------------------------------------------------

// Runs `work(device)` with the simulator lock held, on the open device of `ctx`, for a known channel.
template <class Work>
int with_channel(vrex_ctx_t* ctx, const char* channel, Work&& work) {
    if (channel == nullptr) return fail_with(ctx->error, -5, "Channel identifier is null");
    std::lock_guard lock(sim().mutex);
    const auto dev = open_device(ctx);
    if (!dev) return -2;
    if (!listed(dev->model->channels, channel))
        return fail_with(ctx->error, -3, "Unknown acquisition channel " + quoted(channel));
    return work(*dev);
}

template <class Work>
int on_channel(vrex_ctx_t* ctx, const std::optional<Fault>& fault, const char* channel, Work&& work) {
    return run(ctx, fault, [&] { return with_channel(ctx, channel, work); });
}

// The mode selected when each channel's callback was registered, kept beside the contexts' registrations and
// written with them (an entry of a destroyed context is overwritten by the next registration of a context at
// its address before anything reads it). Its own lock comes after the context's.
class RegisteredModes {
public:
    void set(const VrexContext* ctx, const Bytes& channel, const ModeInfo& mode) {
        std::lock_guard lock(mutex_);
        modes_[{ctx, channel}] = mode;
    }
    ModeInfo get(const VrexContext* ctx, const Bytes& channel) {
        std::lock_guard lock(mutex_);
        const auto it = modes_.find({ctx, channel});
        return it == modes_.end() ? ModeInfo{} : it->second;
    }

private:
    std::mutex mutex_;
    std::map<std::pair<const VrexContext*, Bytes>, ModeInfo> modes_;
};

RegisteredModes& registered_modes() {
    static auto* modes = new RegisteredModes();  // never destroyed, like the simulator
    return *modes;
}

// The run begun on `channel` of `ctx` and not yet ended, or null.
std::shared_ptr<AcqRun> find_run(VrexContext* ctx, const char* channel) {
    const auto it = ctx->runs.find(channel);
    return it == ctx->runs.end() ? nullptr : it->second;
}

}  // namespace
}  // namespace engine

void release_software_trigger(VrexContext* ctx) {
    std::lock_guard lock(ctx->mutex);
    for (auto& [channel, r] : ctx->runs)
        if (r->spec.software_triggered) r->trigger();
}

void stop_acquisitions(VrexContext* ctx) {
    std::map<Bytes, std::shared_ptr<AcqRun>> runs;
    {
        std::lock_guard lock(ctx->mutex);
        runs.swap(ctx->runs);
    }
    for (auto& [channel, r] : runs) {
        r->request_stop();
        // A run whose own callback got here is not joined: its worker finishes once the callback returns and only
        // ever touches the run, which it co-owns. Its block is counted now, while the device is still the one the
        // run began on: once the callback returns the model may already have been replaced.
        if (r->on_worker() && r->current && !r->counted) {
            engine::delivered(*r, *r->current);
            engine::flush_count(*r);
            r->counted = true;
            r->books_closed = true;
        }
    }
    for (auto& [channel, r] : runs) r->join();
}

}  // namespace vrexsim

// ---- ground truth for tests and benchmarks ------------------------------------------------------------------------

namespace vrexsim {
namespace {

// The device generated data come from: the first open one, else device 0. Caller holds the simulator lock.
std::optional<std::size_t> truth_device(std::string& error) {
    Sim& s = sim();
    for (std::size_t i = 0; i < s.states.size(); ++i)
        if (s.states[i].open) return i;
    if (s.model.devices.empty()) {
        error = "the model has no device";
        return std::nullopt;
    }
    return 0;
}

}  // namespace

std::optional<PixelParameters> pixel_parameters(std::size_t chip, std::string& error) {
    std::uint64_t seed = 0;
    double dead = 0.0;
    {
        std::lock_guard lock(sim().mutex);
        const auto index = truth_device(error);
        if (!index) return std::nullopt;
        const DeviceModel& d = sim().model.devices[*index];
        if (chip >= d.chips.size()) {
            error = "chip " + std::to_string(chip) + " out of range: the device has " + std::to_string(d.chips.size()) +
                    " chip(s)";
            return std::nullopt;
        }
        seed = d.acquisition.pixel_seed;
        dead = d.acquisition.dead_pixels;
    }
    const auto table = physics::pixel_table(seed, chip, dead);
    return PixelParameters{table->a, table->b, table->c, table->t, table->dead, table->noisy};
}

std::optional<GeneratedHits> generate_hits(std::uint64_t count, std::uint64_t seed,
                                           const std::optional<ParticleRates>& particles, bool overlap,
                                           std::string& error) {
    engine::RunSpec spec;
    {
        std::lock_guard lock(sim().mutex);
        const auto index = truth_device(error);
        if (!index) return std::nullopt;
        const DeviceModel& d = sim().model.devices[*index];
        spec.settings = d.acquisition;
        spec.settings.scripted = false;
        spec.settings.hits = count;
        if (particles) spec.settings.particles = *particles;
        spec.mode = engine::mode_info("tpx3-dd-toa-tot");
        spec.physics = engine::physics_of(d, sim().states[*index], spec.settings, spec.mode);
    }
    spec.seed = seed;
    if (const auto problem = engine::check(spec)) {
        error = problem->second;
        return std::nullopt;
    }
    const auto hits = engine::physical_hits(spec.physics, seed, 0, count, spec.window(0),
                                            overlap ? engine::Spacing::Crowded : engine::Spacing::Separated);
    GeneratedHits out;
    out.address.reserve(hits.size());
    out.tot.reserve(hits.size());
    out.toa.reserve(hits.size());
    out.particle.reserve(hits.size());
    for (const auto& h : hits) {
        out.address.push_back(h.address);
        out.tot.push_back(h.tot);
        out.toa.push_back(h.toa);
        out.particle.push_back(h.particle);
    }
    return out;
}

}  // namespace vrexsim

using namespace vrexsim;
using namespace vrexsim::engine;

extern "C" {

int vrex_acq_ch_count(vrex_ctx_t* ctx, int* count) {
    return run(ctx, hook("vrex_acq_ch_count"), [&] {
        std::lock_guard lock(sim().mutex);
        const auto dev = open_device(ctx);
        if (!dev) return -2;
        if (count == nullptr) return fail_with(ctx->error, -5, "Null out-parameter");
        *count = static_cast<int>(dev->model->channels.size());
        return 0;
    });
}

int vrex_acq_ch_id(vrex_ctx_t* ctx, int index, const char** id) {
    return run(ctx, hook("vrex_acq_ch_id", index), [&] {
        std::lock_guard lock(sim().mutex);
        const auto dev = open_device(ctx);
        if (!dev) return -2;
        if (id == nullptr) return fail_with(ctx->error, -5, "Null out-parameter");
        const auto& channels = dev->model->channels;
        if (index < 0 || static_cast<std::size_t>(index) >= channels.size())
            return fail_with(ctx->error, -3, "Channel index " + std::to_string(index) + " out of range");
        *id = channels[static_cast<std::size_t>(index)].c_str();
        return 0;
    });
}

int vrex_acq_set_data_callback(vrex_ctx_t* ctx, const char* channelId, vrex_acq_data_func callback, void* user) {
    return on_channel(ctx, hook("vrex_acq_set_data_callback", channelId), channelId, [&](const OpenDevice& dev) {
        const Registration reg{callback, user};
        const ModeInfo mode = mode_info(dev.state->selected_mode);
        std::lock_guard ctx_lock(ctx->mutex);
        ctx->callbacks[channelId] = reg;
        registered_modes().set(ctx, channelId, mode);
        if (const auto r = find_run(ctx, channelId)) r->set_registration(reg, mode);
        return 0;
    });
}

int vrex_acq_begin(vrex_ctx_t* ctx, const char* channelId) {
    std::shared_ptr<AcqRun> previous;
    const int status = on_channel(ctx, hook("vrex_acq_begin", channelId), channelId, [&](const OpenDevice& dev) {
        if (dev.state->selected_mode.empty())
            return fail_with(ctx->error, -2, "No acquisition mode is selected on the chip");
        auto r = std::make_shared<AcqRun>();
        r->spec.settings = dev.model->acquisition;
        r->spec.mode = mode_info(dev.state->selected_mode);
        r->spec.software_triggered = dev.state->trigger_mode == dev.model->software_trigger_mode;
        r->spec.shutter_s = dev.state->shutter_duration.value_or(0.0f);
        if (!r->spec.settings.scripted)
            r->spec.physics = physics_of(*dev.model, *dev.state, r->spec.settings, r->spec.mode);
        plan(r->spec);
        if (const auto problem = check(r->spec)) return fail_with(ctx->error, problem->first, problem->second);
        r->channel = channelId;
        r->device = dev.index;
        std::lock_guard ctx_lock(ctx->mutex);
        if (const auto old = find_run(ctx, channelId)) {
            if (!old->finished.load(std::memory_order_acquire))
                return fail_with(ctx->error, -2, "An acquisition is already running on channel " + quoted(channelId));
            previous = old;  // finished but never ended: joined below, once no lock is held
        }
        if (const auto it = ctx->callbacks.find(channelId); it != ctx->callbacks.end()) {
            r->slot = it->second;
            r->slot_mode = registered_modes().get(ctx, channelId);
        }
        try {
            r->worker = std::thread([r] {
                work(r);
                r->worker_exited.store(true, std::memory_order_release);
            });
        } catch (const std::system_error& e) {
            return fail_with(ctx->error, -4, std::string("Cannot start the acquisition thread: ") + e.what());
        }
        r->worker_id = r->worker.get_id();
        ctx->runs[channelId] = std::move(r);
        return 0;
    });
    if (previous) previous->join();
    return status;
}

int vrex_acq_end(vrex_ctx_t* ctx, const char* channelId) {
    return run(ctx, hook("vrex_acq_end", channelId), [&] {
        std::shared_ptr<AcqRun> r;
        const int status = with_channel(ctx, channelId, [&](const OpenDevice&) {
            std::lock_guard ctx_lock(ctx->mutex);
            r = find_run(ctx, channelId);
            if (!r) return fail_with(ctx->error, -2, "No acquisition was begun on channel " + quoted(channelId));
            if (r->on_worker())
                return fail_with(ctx->error, -2,
                                 "Cannot end the acquisition on channel " + quoted(channelId) +
                                     " from its own data callback (it would wait for itself); abort it instead");
            return 0;
        });
        if (status != 0) return status;
        r->join();
        std::lock_guard ctx_lock(ctx->mutex);
        if (const auto it = ctx->runs.find(channelId); it != ctx->runs.end() && it->second == r) ctx->runs.erase(it);
        return 0;
    });
}

int vrex_acq_abort(vrex_ctx_t* ctx, const char* channelId) {
    return run(ctx, hook("vrex_acq_abort", channelId), [&] {
        std::shared_ptr<AcqRun> r;
        const int status = with_channel(ctx, channelId, [&](const OpenDevice&) {
            std::lock_guard ctx_lock(ctx->mutex);
            r = find_run(ctx, channelId);
            if (!r || r->aborted)
                return fail_with(ctx->error, -2, "No acquisition is running on channel " + quoted(channelId));
            r->aborted = true;
            return 0;
        });
        if (status != 0) return status;
        r->request_stop();
        r->join();  // not from the run's own callback: it stops once that callback returns
        return 0;
    });
}

}  // extern "C"

// ---- block getters ---------------------------------------------------------------------------------------------------

namespace {

// A getter of a block made in a mode of another layout than the one its callback was registered for. Out of line:
// building the message inline would cost every getter of every block.
[[gnu::cold, gnu::noinline]] int misread(vrex_acq_t* acq, Getter g, const Block& b) {
    return fail_with(acq->error, -2,
                     std::string(kGetterNames[g]) + ": the block holds " + describe(b.mode) +
                         ", but its data callback was registered for " + describe(*acq->misread_as) +
                         " (another mode was selected then); register the callback after selecting the mode");
}

// Every getter: the entry hook, then the block's own scripted fault, then the work.
template <class Work>
int getter(vrex_acq_t* acq, Getter g, const std::optional<Fault>& fault, Work&& work) {
    return run(acq, fault, [&] {
        const Block& b = *acq->block;
        if (b.any_fail) [[unlikely]] {
            if (const BlockFault* f = b.fails[g]) {
                set_error(acq->error, f->message);
                return f->status;
            }
        }
        // Raw bytes read the same in every mode; everything else only with the layout of the block's own mode.
        if (acq->misread_as != nullptr && g != kRawData) [[unlikely]]
            return misread(acq, g, b);
        return work(b);
    });
}

int null_out(vrex_acq_t* acq) { return fail_with(acq->error, -5, "Null out-parameter"); }

int count_getter(vrex_acq_t* acq, Getter g, const std::optional<Fault>& fault, unsigned long long* out,
                 Block::View Block::*view) {
    return getter(acq, g, fault, [&](const Block& b) {
        if (out == nullptr) return null_out(acq);
        *out = (b.*view).count;
        return 0;
    });
}

int pointer_getter(vrex_acq_t* acq, Getter g, const std::optional<Fault>& fault, void* out,
                   Block::View Block::*view) {
    return getter(acq, g, fault, [&](const Block& b) {
        if (out == nullptr) return null_out(acq);
        *static_cast<void**>(out) = (b.*view).data;
        return 0;
    });
}

int tdc_index(vrex_acq_t* acq, int tdc) {
    return fail_with(acq->error, -3, "TDC channel " + std::to_string(tdc) + " out of range (0 to 2)");
}

}  // namespace

extern "C" {

int vrex_acq_get_last_error(vrex_acq_t* acq, const char** message) {
    const auto fault = hook("vrex_acq_get_last_error");
    if (acq == nullptr || message == nullptr) return -5;
    if (fault) return fault->status;
    if (acq->block->any_fail)
        if (const BlockFault* f = acq->block->fails[kGetLastError]) return f->status;
    *message = acq->error.get();
    return 0;
}

int vrex_acq_tpx_get_frame_count(vrex_acq_t* acq, unsigned long long* count) {
    return count_getter(acq, kFrameCount, hook("vrex_acq_tpx_get_frame_count"), count, &Block::v_frames);
}

int vrex_acq_tpx_get_frames(vrex_acq_t* acq, void* out) {
    return pointer_getter(acq, kFrames, hook("vrex_acq_tpx_get_frames"), out, &Block::v_frames);
}

int vrex_acq_raw_get_data(vrex_acq_t* acq, void* out, unsigned long long* byteCount) {
    return getter(acq, kRawData, hook("vrex_acq_raw_get_data"), [&](const Block& b) {
        if (out == nullptr || byteCount == nullptr) return null_out(acq);
        *static_cast<void**>(out) = b.v_raw.data;
        *byteCount = b.v_raw.count;
        return 0;
    });
}

int vrex_acq_tpx3_get_packet_count(vrex_acq_t* acq, unsigned long long* count) {
    return count_getter(acq, kPacketCount, hook("vrex_acq_tpx3_get_packet_count"), count, &Block::v_packets);
}

int vrex_acq_tpx3_get_packets(vrex_acq_t* acq, void* out) {
    return pointer_getter(acq, kPackets, hook("vrex_acq_tpx3_get_packets"), out, &Block::v_packets);
}

int vrex_acq_tpx3_get_vec_length(vrex_acq_t* acq, unsigned long long* length) {
    return getter(acq, kVecLength, hook("vrex_acq_tpx3_get_vec_length"), [&](const Block& b) {
        if (length == nullptr) return null_out(acq);
        *length = b.vec_length;
        return 0;
    });
}

int vrex_acq_tpx3_get_pixel_address_vec(vrex_acq_t* acq, void* out) {
    return pointer_getter(acq, kAddressVec, hook("vrex_acq_tpx3_get_pixel_address_vec"), out, &Block::v_addresses);
}

int vrex_acq_tpx3_get_toa_vec(vrex_acq_t* acq, void* out) {
    return pointer_getter(acq, kToaVec, hook("vrex_acq_tpx3_get_toa_vec"), out, &Block::v_toa);
}

int vrex_acq_tpx3_get_tot_vec(vrex_acq_t* acq, void* out) {
    return pointer_getter(acq, kTotVec, hook("vrex_acq_tpx3_get_tot_vec"), out, &Block::v_tot);
}

int vrex_acq_tpx3_get_event_vec(vrex_acq_t* acq, void* out) {
    return pointer_getter(acq, kEventVec, hook("vrex_acq_tpx3_get_event_vec"), out, &Block::v_events);
}

int vrex_acq_tpx3_get_itot_vec(vrex_acq_t* acq, void* out) {
    return pointer_getter(acq, kItotVec, hook("vrex_acq_tpx3_get_itot_vec"), out, &Block::v_itots);
}

int vrex_acq_meta_get_shutter_rising_time_ticks(vrex_acq_t* acq, unsigned long long* ticks) {
    return getter(acq, kShutter, hook("vrex_acq_meta_get_shutter_rising_time_ticks"), [&](const Block& b) {
        if (ticks == nullptr) return null_out(acq);
        *ticks = b.shutter;
        return 0;
    });
}

int vrex_acq_meta_get_tdc_toas_count(vrex_acq_t* acq, int tdc, uint64_t* count) {
    return getter(acq, kTdcCount, hook("vrex_acq_meta_get_tdc_toas_count", tdc), [&](const Block& b) {
        if (count == nullptr) return null_out(acq);
        if (tdc < 0 || tdc > 2) return tdc_index(acq, tdc);
        *count = b.v_tdc[static_cast<std::size_t>(tdc)].count;
        return 0;
    });
}

int vrex_acq_meta_get_tdc_toas(vrex_acq_t* acq, int tdc, const uint64_t** toas) {
    return getter(acq, kTdcToas, hook("vrex_acq_meta_get_tdc_toas", tdc), [&](const Block& b) {
        if (toas == nullptr) return null_out(acq);
        if (tdc < 0 || tdc > 2) return tdc_index(acq, tdc);
        *toas = static_cast<const uint64_t*>(b.v_tdc[static_cast<std::size_t>(tdc)].data);
        return 0;
    });
}

int vrex_acq_meta_get_bin_descriptor_count(vrex_acq_t* acq, unsigned long long* count) {
    return count_getter(acq, kDescriptorCount, hook("vrex_acq_meta_get_bin_descriptor_count"), count,
                        &Block::v_descriptors);
}

int vrex_acq_meta_get_bin_descriptors(vrex_acq_t* acq, void* out) {
    return pointer_getter(acq, kDescriptors, hook("vrex_acq_meta_get_bin_descriptors"), out, &Block::v_descriptors);
}

int vrex_acq_tpx3_get_binned_hitcounters_count(vrex_acq_t* acq, unsigned long long* count) {
    return count_getter(acq, kHitCountersCount, hook("vrex_acq_tpx3_get_binned_hitcounters_count"), count,
                        &Block::v_hit_sums);
}

int vrex_acq_tpx3_get_binned_hitcounters(vrex_acq_t* acq, uint64_t** out) {
    return pointer_getter(acq, kHitCounters, hook("vrex_acq_tpx3_get_binned_hitcounters"), out, &Block::v_hit_sums);
}

int vrex_acq_tpx3_get_binned_itots_count(vrex_acq_t* acq, unsigned long long* count) {
    return count_getter(acq, kItotsCount, hook("vrex_acq_tpx3_get_binned_itots_count"), count, &Block::v_itot_sums);
}

int vrex_acq_tpx3_get_binned_itots(vrex_acq_t* acq, uint64_t** out) {
    return pointer_getter(acq, kItots, hook("vrex_acq_tpx3_get_binned_itots"), out, &Block::v_itot_sums);
}

}  // extern "C"
