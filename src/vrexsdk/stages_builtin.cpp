// The package's own native stages: the reductions record() keeps (hit map, histograms, summed frames, binned
// sums) and the sink that copies whole blocks into a chunk queue for a writer. Each is registered by name with
// VREX_STAGE; vrexsdk.stages gives each a Python class of the same name.
#include "stages.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <stdexcept>

namespace {

using namespace vrex::stages;

// A positive integer setting no larger than `most`.
std::uint64_t count_param(const Params& p, const char* key, std::uint64_t fallback, std::uint64_t most) {
    const double v = p.number(key, static_cast<double>(fallback));
    if (!(v >= 1 && v <= static_cast<double>(most)) || v != static_cast<double>(static_cast<std::uint64_t>(v)))
        throw std::invalid_argument(std::string(key) + " must be an integer from 1 to " + std::to_string(most));
    return static_cast<std::uint64_t>(v);
}

// ---- hit map ----------------------------------------------------------------------------------------------------
//
// Hits per pixel, indexed [y, x]. In the iToT/event modes a pixel counts its events, and the integrated ToT per
// pixel is kept beside; binned packets count their hit counts and integrated ToT the same way. Addresses beyond
// the matrix are counted apart, never written.
class HitMap final : public Stage {
public:
    bool accepts(Shape s) noexcept override {
        with_itot_ = is_itot_event(s) || s == Shape::BinnedPackets;
        return is_toa_tot(s) || with_itot_;
    }

    // The ToA/ToT shapes' counting of a block of `n` hits, its state in locals (the counts could alias the
    // members otherwise); HitPass runs it inside its own loop. Hits are counted in 32-bit counters: a hit lands
    // on any of the 65536 pixels, and at half the size the map keeps more of its lines in the caches beside the
    // block streaming through (the 64-bit map took about a tenth longer). They are added to the 64-bit counts
    // before any could overflow.
    struct Counter {
        std::uint32_t* counts = nullptr;
        std::uint64_t outside = 0;
        Counter() = default;
        Counter(HitMap& m, std::uint64_t n) {
            if (m.pending_ + n > UINT32_MAX) m.drain();
            m.pending_ += n;
            counts = m.recent_.data();
        }
        void operator()(std::uint32_t address) noexcept {
            if (address < matrix_pixels) ++counts[address];
            else ++outside;
        }
        void done(HitMap& m) const noexcept { m.outside_ += outside; }
    };

    void consume(const Block& b) noexcept override {
        std::uint64_t* const counts = counts_.data();
        if (is_toa_tot(b.shape)) {
            if (b.toa_tot_hits() > UINT32_MAX) {  // more than a 32-bit counter holds: straight to the counts
                b.for_each_toa_tot([&](std::uint32_t address, std::uint64_t, std::uint32_t) {
                    if (address < matrix_pixels) ++counts[address];
                    else ++outside_;
                });
                return;
            }
            Counter count(*this, b.toa_tot_hits());
            b.for_each_toa_tot([&](std::uint32_t address, std::uint64_t, std::uint32_t) { count(address); });
            count.done(*this);
            return;
        }
        std::uint64_t* const itot = itot_.data();
        auto add = [&](std::uint32_t address, std::uint64_t weight, std::uint32_t integrated) {
            if (address < matrix_pixels) {
                counts[address] += weight;
                itot[address] += integrated;
            } else {
                ++outside_;
            }
        };
        if (is_itot_event(b.shape)) {
            b.for_each_itot_event(add);
        } else if (b.binned.packets != nullptr) {
            const auto* p = static_cast<const vrex::binned_dd_toa_tot_struct*>(b.binned.packets);
            for (unsigned long long i = 0; i < b.binned.packet_count; ++i) add(p[i].address, p[i].count, p[i].itot);
        }
    }

    void capture(Capture& out) const override {
        if (pending_ == 0) {
            out.array("counts", counts_.data(), {matrix_width, matrix_width});
        } else {
            std::vector<std::uint64_t> total(counts_);
            for (std::uint32_t i = 0; i < matrix_pixels; ++i) total[i] += recent_[i];
            out.array("counts", total.data(), {matrix_width, matrix_width});
        }
        if (with_itot_) out.array("itot", itot_.data(), {matrix_width, matrix_width});
        out.scalar("outside", outside_);
    }

private:
    void drain() noexcept {
        for (std::uint32_t i = 0; i < matrix_pixels; ++i) counts_[i] += recent_[i];
        std::fill(recent_.begin(), recent_.end(), 0);
        pending_ = 0;
    }

    std::vector<std::uint64_t> counts_ = std::vector<std::uint64_t>(matrix_pixels);
    std::vector<std::uint32_t> recent_ = std::vector<std::uint32_t>(matrix_pixels);  // Counter's, not yet in counts_
    std::uint64_t pending_ = 0;  // hits counted in recent_ since the last drain (at most UINT32_MAX)
    std::vector<std::uint64_t> itot_ = std::vector<std::uint64_t>(matrix_pixels);  // iToT/event and binned shapes
    std::uint64_t outside_ = 0;
    bool with_itot_ = false;
};

std::unique_ptr<Stage> make_hit_map(const Params&, std::shared_ptr<ChunkQueue>) { return std::make_unique<HitMap>(); }
VREX_STAGE("hit_map", make_hit_map);

// ---- histograms ---------------------------------------------------------------------------------------------------
//
// Counts of one hit quantity in `bins` equal bins of `width` from `origin`. An adaptive histogram takes its
// origin from the first value it sees and doubles its bin width (merging neighbours, so counts stay exact)
// until every value of a block fits; the others count what falls outside as under- or overflow.
class Histogram final : public Stage {
public:
    enum class Quantity { Tot, Toa, Itot };

    Histogram(Quantity q, std::uint64_t bins, std::uint64_t width, bool adaptive)
        : quantity_(q), counts_(bins), spread_(bins <= spread_bins ? (bins + 2) * copies : 0), width_(width),
          adaptive_(adaptive), has_origin_(!adaptive) {}

    bool accepts(Shape s) noexcept override {
        return quantity_ == Quantity::Itot ? is_itot_event(s) : is_toa_tot(s);
    }

    void consume(const Block& b) noexcept override {
        if (quantity_ == Quantity::Itot) {
            count(b.itot_event_hits(), [&](auto&& fill) {
                b.for_each_itot_event([&](std::uint32_t, std::uint64_t, std::uint32_t itot) { fill(itot); });
            });
            return;
        }
        const std::uint64_t n = b.toa_tot_hits();
        if (n == 0) return;
        if (quantity_ == Quantity::Tot) {
            count(n, [&](auto&& fill) {
                b.for_each_toa_tot([&](std::uint32_t, std::uint64_t, std::uint32_t tot) { fill(tot); });
            });
            return;
        }
        auto toas = [&](auto&& fill) {
            b.for_each_toa_tot([&](std::uint32_t, std::uint64_t toa, std::uint32_t) { fill(toa); });
        };
        // Adaptive: the bins must hold the block's values before they are counted. Past the first block they
        // mostly do, so a long block is counted first and widened (and counted again) only when a value fell
        // beyond the last bin, which saves a pass over it.
        if (adaptive_ && has_origin_ && spreads(n) && count_spread(toas, true)) return;
        count_toas(b, n);
    }

    Quantity quantity() const noexcept { return quantity_; }
    // Whether long blocks are counted in private copies (the only ones HitPass takes).
    bool has_copies() const noexcept { return !spread_.empty(); }

    void capture(Capture& out) const override {
        out.array("counts", counts_.data(), {counts_.size()});
        out.scalar("origin", origin_);
        out.scalar("bin_width", width_);
        out.scalar("underflow", underflow_);
        out.scalar("overflow", overflow_);
    }

private:
    friend class HitPass;

    // A block at least this many times longer than the histogram, with at most `spread_bins` bins, is counted
    // in `copies` private histograms (see count()).
    static constexpr std::uint64_t copies = 4, spread_factor = 8, spread_bins = 4096;
    static_assert(std::has_single_bit(copies));

    // The hot loop's state in locals, so the compiler keeps it in registers (the counters could alias the
    // members otherwise), and a shift instead of a division for the power-of-two widths (the adaptive ToA
    // histogram's always, ToT's 1).
    struct Filler {
        std::uint64_t* counts;
        std::uint64_t bins, origin, width, underflow = 0, overflow = 0;
        int shift;
        explicit Filler(Histogram& h)
            : counts(h.counts_.data()), bins(h.counts_.size()), origin(h.origin_), width(h.width_),
              shift((h.width_ & (h.width_ - 1)) == 0 ? std::countr_zero(h.width_) : -1) {}
        void operator()(std::uint64_t value) noexcept {
            if (value < origin) {
                ++underflow;
                return;
            }
            const std::uint64_t offset = value - origin;
            const std::uint64_t index = shift >= 0 ? offset >> shift : offset / width;
            if (index < bins) ++counts[index];
            else ++overflow;
        }
        void done(Histogram& h) const noexcept {
            h.underflow_ += underflow;
            h.overflow_ += overflow;
        }
    };

    // Counts the values `loop` hands to the function it is given.
    template <class Loop>
    void count(std::uint64_t n, Loop&& loop) noexcept {
        if (spreads(n)) {
            count_spread(loop, false);
            return;
        }
        Filler fill(*this);
        loop(fill);
        fill.done(*this);
    }

    bool spreads(std::uint64_t n) const noexcept {
        return !spread_.empty() && n >= spread_factor * counts_.size() && n <= UINT32_MAX;
    }

    // Successive hits mostly fall in one bin (ToA in time order, the few common ToT values), and in one array
    // each increment would wait for the one before it to be stored: a long block goes into `copies` private
    // histograms instead, interleaved (bin * copies + hit % copies), then added to the counts by settle(). Two
    // more bins take the values below and beyond the bins, so the loop keeps no counters of its own. The state
    // lives in locals, as Filler's; HitPass runs it inside its own loop.
    struct Spreader {
        std::uint32_t* spread = nullptr;
        std::uint64_t bins = 0, origin = 0, width = 1, i = 0;
        int shift = 0;
        Spreader() = default;
        explicit Spreader(Histogram& h)
            : spread(h.spread_.data()), bins(h.counts_.size()), origin(h.origin_), width(h.width_),
              shift(std::has_single_bit(h.width_) ? std::countr_zero(h.width_) : -1) {}
        void operator()(std::uint64_t value) noexcept {
            if (value < origin) return add(bins);
            const std::uint64_t index = shift >= 0 ? (value - origin) >> shift : (value - origin) / width;
            add(index < bins ? index : bins + 1);
        }
        void add(std::uint64_t index) noexcept { ++spread[index * copies + (i++ & (copies - 1))]; }
    };

    // Counts a long block in the private copies. With `unless_overflow`, a value beyond the last bin leaves every
    // count as it was and returns false.
    template <class Loop>
    bool count_spread(Loop&& loop, bool unless_overflow) noexcept {
        Spreader add(*this);
        loop(add);
        return settle(unless_overflow);
    }

    // The private copies added to the counts (unless `unless_overflow` and a value fell beyond the last bin:
    // then false, every count as it was), and cleared for the next block.
    bool settle(bool unless_overflow) noexcept {
        const std::uint32_t* const spread = spread_.data();
        const std::uint64_t bins = counts_.size(), below = bins, beyond = bins + 1;
        auto total = [&](std::uint64_t k) {
            std::uint64_t sum = 0;
            for (std::uint64_t c = 0; c < copies; ++c) sum += spread[k * copies + c];
            return sum;
        };
        const bool counted = !(unless_overflow && total(beyond) != 0);
        if (counted) {
            std::uint64_t* const counts = counts_.data();
            for (std::uint64_t k = 0; k < bins; ++k) counts[k] += total(k);
            underflow_ += total(below);
            overflow_ += total(beyond);
        }
        std::fill(spread_.begin(), spread_.end(), 0);
        return counted;
    }

    // A block's ToA values counted after widening the bins to hold them.
    void count_toas(const Block& b, std::uint64_t n) noexcept {
        if (adaptive_) widen(b);
        count(n, [&](auto&& fill) {
            b.for_each_toa_tot([&](std::uint32_t, std::uint64_t toa, std::uint32_t) { fill(toa); });
        });
    }

    // Before a block's ToA values are counted: the origin from the first block, and a bin width that holds them.
    void widen(const Block& b) noexcept {
        std::uint64_t lo = UINT64_MAX, hi = 0;
        b.for_each_toa_tot([&](std::uint32_t, std::uint64_t toa, std::uint32_t) {
            lo = std::min(lo, toa);
            hi = std::max(hi, toa);
        });
        if (!has_origin_) {
            origin_ = lo;
            has_origin_ = true;
        }
        if (hi < origin_) return;
        const std::uint64_t span = hi - origin_;
        const std::size_t bins = counts_.size();
        while (span / width_ >= bins) {
            for (std::size_t i = 0; i < bins / 2; ++i) counts_[i] = counts_[2 * i] + counts_[2 * i + 1];
            if (bins % 2) counts_[bins / 2] = counts_[bins - 1];
            std::fill(counts_.begin() + static_cast<std::ptrdiff_t>((bins + 1) / 2), counts_.end(), 0);
            width_ *= 2;
        }
    }

    Quantity quantity_;
    std::vector<std::uint64_t> counts_;
    std::vector<std::uint32_t> spread_;  // count()'s private histograms, all zero between blocks
    std::uint64_t width_;
    bool adaptive_;
    bool has_origin_;
    std::uint64_t origin_ = 0, underflow_ = 0, overflow_ = 0;
};

std::unique_ptr<Stage> make_histogram(const Params& p, std::shared_ptr<ChunkQueue>) {
    const auto q = p.texts.find("quantity");
    const std::string quantity = q == p.texts.end() ? "tot" : q->second;
    const std::uint64_t bins = count_param(p, "bins", 1024, 1u << 24);
    const std::uint64_t width = count_param(p, "bin_width", quantity == "itot" ? 16 : 1, UINT32_MAX);
    if (quantity == "tot") return std::make_unique<Histogram>(Histogram::Quantity::Tot, bins, width, false);
    if (quantity == "itot") return std::make_unique<Histogram>(Histogram::Quantity::Itot, bins, width, false);
    if (quantity == "toa") return std::make_unique<Histogram>(Histogram::Quantity::Toa, bins, width, true);
    throw std::invalid_argument("quantity must be 'tot', 'toa' or 'itot', not '" + quantity + "'");
}
VREX_STAGE("histogram", make_histogram);

// ---- one pass for the hit map and the ToT and ToA histograms -------------------------------------------------------
//
// Each of these stages alone makes its own pass over a block's hits, about a nanosecond a hit each, reading the
// same 16 bytes a hit three times. A pipeline holding them runs this in their place: one loop over the hits
// feeding each member's counting (the same Counter and Spreader their own consume() runs), so the reductions are
// the very same; each record is loaded once, and the three counts' stores, to different arrays, overlap (the
// three took 2.58 ns a hit apart, 2.27 in one loop). It drives the members' state and holds none of its own:
// they still capture, flush and answer to their labels.
//
// Only long blocks, which every member histogram counts in its private copies, take the shared loop; shorter ones
// go to each member's consume(), where the loop costs little beside the block's own overhead.
class HitPass final : public Stage {
public:
    HitPass(HitMap* map, Histogram* tot, Histogram* toa) : map_(map), tot_(tot), toa_(toa) {}

    bool accepts(Shape s) noexcept override { return is_toa_tot(s); }
    void capture(Capture&) const override {}

    void consume(const Block& b) noexcept override {
        const std::uint64_t n = b.toa_tot_hits();
        if (n == 0 || (tot_ != nullptr && !tot_->spreads(n)) || (toa_ != nullptr && !toa_->spreads(n))) {
            for (Stage* member : {static_cast<Stage*>(map_), static_cast<Stage*>(tot_), static_cast<Stage*>(toa_)})
                if (member != nullptr) member->consume(b);
            return;
        }
        switch ((map_ ? 4 : 0) | (tot_ ? 2 : 0) | (toa_ ? 1 : 0)) {
            case 7: return pass<true, true, true>(b, n);
            case 6: return pass<true, true, false>(b, n);
            case 5: return pass<true, false, true>(b, n);
            case 3: return pass<false, true, true>(b, n);
            default: return;  // fuse() makes no pass of fewer than two
        }
    }

private:
    template <bool Map, bool Tot, bool Toa>
    void pass(const Block& b, std::uint64_t n) noexcept {
        HitMap::Counter map;
        Histogram::Spreader tot, toa;
        if constexpr (Map) map = HitMap::Counter(*map_, n);
        if constexpr (Tot) tot = Histogram::Spreader(*tot_);
        // As the ToA histogram alone: past its first block it counts first and widens only on an overflow; the
        // first block sets its origin and width before counting.
        const bool checked = Toa && toa_->has_origin_;
        if constexpr (Toa) {
            if (!checked) toa_->widen(b);
            toa = Histogram::Spreader(*toa_);
        }
        b.for_each_toa_tot([&](std::uint32_t address, std::uint64_t t, std::uint32_t o) {
            if constexpr (Map) map(address);
            if constexpr (Tot) tot(o);
            if constexpr (Toa) toa(t);
        });
        if constexpr (Map) map.done(*map_);
        if constexpr (Tot) tot_->settle(false);
        if constexpr (Toa)
            if (!toa_->settle(checked)) toa_->count_toas(b, n);
    }

    HitMap* map_;
    Histogram *tot_, *toa_;
};

}  // namespace

vrex::stages::Fused vrex::stages::fuse(const std::vector<std::unique_ptr<Stage>>& stages, Shape shape) {
    if (!is_toa_tot(shape)) return {};
    HitMap* map = nullptr;
    Histogram *tot = nullptr, *toa = nullptr;
    std::vector<std::size_t> members;
    // The first of each kind; a second hit map or histogram of the same quantity runs alone.
    for (std::size_t i = 0; i < stages.size(); ++i) {
        if (auto* m = dynamic_cast<HitMap*>(stages[i].get()); m != nullptr && map == nullptr) {
            map = m;
            members.push_back(i);
        } else if (auto* h = dynamic_cast<Histogram*>(stages[i].get()); h != nullptr && h->has_copies()) {
            Histogram** const slot = h->quantity() == Histogram::Quantity::Tot   ? &tot
                                     : h->quantity() == Histogram::Quantity::Toa ? &toa
                                                                                 : nullptr;
            if (slot != nullptr && *slot == nullptr) {
                *slot = h;
                members.push_back(i);
            }
        }
    }
    if (members.size() < 2) return {};
    return {std::make_unique<HitPass>(map, tot, toa), std::move(members)};
}

namespace {

// ---- summed frames ------------------------------------------------------------------------------------------------

class FrameSum final : public Stage {
public:
    bool accepts(Shape s) noexcept override { return s == Shape::Frames; }

    void consume(const Block& b) noexcept override {
        if (b.frames.data == nullptr || b.frames.count == 0) return;
        const auto* pixels = static_cast<const std::uint16_t*>(b.frames.data);
        std::uint64_t* const sum = sum_.data();
        for (unsigned long long f = 0; f < b.frames.count; ++f, pixels += matrix_pixels)
            for (std::uint32_t i = 0; i < matrix_pixels; ++i) sum[i] += pixels[i];
        frames_ += b.frames.count;
    }

    void capture(Capture& out) const override {
        out.array("sum", sum_.data(), {matrix_width, matrix_width});
        out.scalar("frames", frames_);
    }

private:
    std::vector<std::uint64_t> sum_ = std::vector<std::uint64_t>(matrix_pixels);
    std::uint64_t frames_ = 0;
};

std::unique_ptr<Stage> make_frame_sum(const Params&, std::shared_ptr<ChunkQueue>) {
    return std::make_unique<FrameSum>();
}
VREX_STAGE("frame_sum", make_frame_sum);

// ---- binned sums --------------------------------------------------------------------------------------------------
//
// The per-bin sums added up over the blocks; a longer block (more bins) extends them with zeros. Packets are
// counted; the hit map stage maps them.
class BinnedSums final : public Stage {
public:
    bool accepts(Shape s) noexcept override {
        return s == Shape::BinnedPackets || s == Shape::CountSums || s == Shape::ItotSums;
    }

    void consume(const Block& b) noexcept override {
        if (b.binned.packets != nullptr) packets_ += b.binned.packet_count;
        add(hits_, seen_hits_, b.binned.hits);
        add(itots_, seen_itots_, b.binned.itots);
    }

    void capture(Capture& out) const override {
        if (seen_hits_) out.array("hit_sums", hits_.data(), {hits_.size()});
        if (seen_itots_) out.array("itot_sums", itots_.data(), {itots_.size()});
        out.scalar("packets", packets_);
    }

private:
    static void add(std::vector<std::uint64_t>& total, bool& seen, const vrex::block::Sums& s) {
        if (s.data == nullptr || s.count == 0) return;
        seen = true;
        if (total.size() < s.count) total.resize(s.count);
        for (unsigned long long i = 0; i < s.count; ++i) total[i] += s.data[i];
    }
    std::vector<std::uint64_t> hits_, itots_;
    bool seen_hits_ = false, seen_itots_ = false;
    std::uint64_t packets_ = 0;
};

std::unique_ptr<Stage> make_binned_sums(const Params&, std::shared_ptr<ChunkQueue>) {
    return std::make_unique<BinnedSums>();
}
VREX_STAGE("binned_sums", make_binned_sums);

// ---- the sink -----------------------------------------------------------------------------------------------------
//
// Copies whole blocks, whatever their shape, into chunks of about `chunk_events` entries and hands each sealed
// chunk to its queue: hits as columns (address, ToA or event count, ToT or integrated ToT, widened to one width
// per quantity), frames as their counters, raw blocks as their bytes, binned blocks as their four arrays, TDC
// stamps per channel. A chunk older than `max_age_s` is sealed with the next block, and flush() seals the one
// being filled, so a writer sees data at least that often.

}  // namespace

const std::vector<vrex::stages::GroupSpec>& vrex::stages::groups_of(Shape s) {
    using T = Capture::Type;
    static const std::vector<GroupSpec> toa_tot = {
        {"events", {{"address", T::U32, 4}, {"toa", T::U64, 8}, {"tot", T::U32, 4}}}};
    static const std::vector<GroupSpec> dd = {
        {"events", {{"address", T::U32, 4}, {"toa", T::U64, 8}, {"tot", T::U32, 4}}},
        {"tdc0", {{"time", T::U64, 8}}},
        {"tdc1", {{"time", T::U64, 8}}},
        {"tdc2", {{"time", T::U64, 8}}}};
    static const std::vector<GroupSpec> itot = {
        {"events", {{"address", T::U32, 4}, {"event", T::U64, 8}, {"itot", T::U32, 4}}}};
    static const std::vector<GroupSpec> frames = {{"frames", {{"counts", T::U16, 2}}}};
    static const std::vector<GroupSpec> raw = {{"raw", {{"bytes", T::U8, 1}}}};
    static const std::vector<GroupSpec> binned = {
        {"packets", {{"address", T::U32, 4}, {"count", T::U32, 4}, {"itot", T::U32, 4}}},
        {"descriptors", {{"offset", T::U32, 4}, {"packet_count", T::U32, 4}}},
        {"hit_sums", {{"value", T::U64, 8}}},
        {"itot_sums", {{"value", T::U64, 8}}}};
    static const std::vector<GroupSpec> count_sums = {{"hit_sums", {{"value", T::U64, 8}}}};
    static const std::vector<GroupSpec> itot_sums = {{"itot_sums", {{"value", T::U64, 8}}}};
    switch (s) {
        case Shape::ToaTotRecords:
        case Shape::ToaTotVectors: return toa_tot;
        case Shape::DdToaTotRecords:
        case Shape::DdToaTotVectors: return dd;
        case Shape::ItotEventRecords:
        case Shape::ItotEventVectors: return itot;
        case Shape::Frames: return frames;
        case Shape::Raw: return raw;
        case Shape::BinnedPackets: return binned;
        case Shape::CountSums: return count_sums;
        case Shape::ItotSums: return itot_sums;
    }
    return raw;
}

namespace {

// Appends `n` values to a column, converting each with `get(i)`.
template <class T, class Get>
void append(Column& c, std::uint64_t n, Get&& get) {
    const std::size_t at = c.data.size();
    c.data.resize(at + n * sizeof(T));
    T* out = reinterpret_cast<T*>(c.data.data() + at);
    for (std::uint64_t i = 0; i < n; ++i) out[i] = static_cast<T>(get(i));
}

void append_bytes(Column& c, const void* data, std::uint64_t bytes) {
    if (bytes == 0 || data == nullptr) return;
    const std::size_t at = c.data.size();
    c.data.resize(at + bytes);
    std::memcpy(c.data.data() + at, data, bytes);
}

class Sink final : public Stage {
public:
    Sink(std::shared_ptr<ChunkQueue> queue, std::uint64_t chunk_events, double max_age_s)
        : queue_(std::move(queue)), chunk_events_(chunk_events), max_age_(max_age_s) {}

    bool accepts(Shape) noexcept override { return true; }

    void consume(const Block& b) noexcept override {
        const std::lock_guard lock(mutex_);
        try {
            if (!current_) open(b.shape);
            add(b);
            ++copied_blocks_;
            if (current_->events >= chunk_events_ || current_->bytes() >= max_chunk_bytes ||
                std::chrono::steady_clock::now() - opened_ >= max_age_)
                seal();
        } catch (const std::bad_alloc&) {
            // No memory for the copy: the block is lost, and counted as lost, never passed over in silence.
            ++failed_blocks_;
            current_.reset();
        }
    }

    void publish() noexcept override { push_ready(false); }
    void flush() noexcept override { push_ready(true); }

    void capture(Capture& out) const override {
        {
            const std::lock_guard lock(mutex_);
            out.scalar("copied_blocks", copied_blocks_);
            out.scalar("lost_blocks", failed_blocks_);
        }
        const ChunkQueue::Stats s = queue_->stats();
        out.scalar("queued_chunks", s.queued_chunks);
        out.scalar("queued_bytes", s.queued_bytes);
        out.scalar("peak_bytes", s.peak_bytes);
        out.scalar("dropped_blocks", s.dropped_blocks);
        out.scalar("dropped_events", s.dropped_events);
    }

private:
    static constexpr std::size_t max_chunk_bytes = 64u << 20;

    void open(Shape s) {
        current_ = std::make_unique<Chunk>();
        current_->shape = s;
        // The first group's columns get room for a whole chunk now: grown block by block instead, each would be
        // copied over several times on its way to megabytes (the copies took a sixth of this thread's time at
        // full rate). Pages the blocks never fill (a chunk sealed early by its age) are left untouched.
        const std::vector<GroupSpec>& specs = groups_of(s);
        std::size_t row = 0;
        for (const ColumnSpec& c : specs.front().columns) row += c.itemsize;
        const std::size_t room = std::min<std::uint64_t>(chunk_events_, max_chunk_bytes / row);
        for (const GroupSpec& g : specs) {
            Group group{g.name, {}, {}};
            for (const ColumnSpec& c : g.columns) {
                group.columns.push_back(Column{c.name, c.type, c.itemsize, {}});
                if (&g == &specs.front()) group.columns.back().data.reserve(room * c.itemsize);
            }
            current_->groups.push_back(std::move(group));
        }
        opened_ = std::chrono::steady_clock::now();
    }

    void add(const Block& b) {
        Chunk& c = *current_;
        c.blocks.push_back(b.index);
        c.shutter.push_back(b.data_driven() ? b.metadata.shutter : 0);
        std::vector<Group>& g = c.groups;
        auto counted = [&](Group& group, std::uint64_t n) { group.counts.push_back(n); };
        switch (b.shape) {
            case Shape::ToaTotRecords:
            case Shape::ToaTotVectors:
            case Shape::DdToaTotRecords:
            case Shape::DdToaTotVectors: {
                const std::uint64_t n = b.toa_tot_hits();
                Column* col = g[0].columns.data();
                const std::size_t a0 = col[0].data.size() / 4, t0 = col[1].data.size() / 8, o0 = col[2].data.size() / 4;
                col[0].data.resize((a0 + n) * 4);
                col[1].data.resize((t0 + n) * 8);
                col[2].data.resize((o0 + n) * 4);
                auto* address = reinterpret_cast<std::uint32_t*>(col[0].data.data()) + a0;
                auto* toa = reinterpret_cast<std::uint64_t*>(col[1].data.data()) + t0;
                auto* tot = reinterpret_cast<std::uint32_t*>(col[2].data.data()) + o0;
                std::uint64_t i = 0;
                b.for_each_toa_tot([&](std::uint32_t a, std::uint64_t t, std::uint32_t o) {
                    address[i] = a;
                    toa[i] = t;
                    tot[i] = o;
                    ++i;
                });
                counted(g[0], n);
                c.events += n;
                if (b.data_driven())
                    for (int tdc = 0; tdc < 3; ++tdc) {
                        const std::uint64_t k = b.metadata.toas[tdc] == nullptr ? 0 : b.metadata.count[tdc];
                        append_bytes(g[1 + tdc].columns[0], b.metadata.toas[tdc], k * 8);
                        counted(g[1 + tdc], k);
                    }
                break;
            }
            case Shape::ItotEventRecords:
            case Shape::ItotEventVectors: {
                const std::uint64_t n = b.itot_event_hits();
                Column* col = g[0].columns.data();
                const std::size_t a0 = col[0].data.size() / 4, e0 = col[1].data.size() / 8, t0 = col[2].data.size() / 4;
                col[0].data.resize((a0 + n) * 4);
                col[1].data.resize((e0 + n) * 8);
                col[2].data.resize((t0 + n) * 4);
                auto* address = reinterpret_cast<std::uint32_t*>(col[0].data.data()) + a0;
                auto* event = reinterpret_cast<std::uint64_t*>(col[1].data.data()) + e0;
                auto* itot = reinterpret_cast<std::uint32_t*>(col[2].data.data()) + t0;
                std::uint64_t i = 0;
                b.for_each_itot_event([&](std::uint32_t a, std::uint64_t e, std::uint32_t t) {
                    address[i] = a;
                    event[i] = e;
                    itot[i] = t;
                    ++i;
                });
                counted(g[0], n);
                c.events += n;
                break;
            }
            case Shape::Frames: {
                const std::uint64_t n = b.frames.data == nullptr ? 0 : b.frames.count * matrix_pixels;
                append_bytes(g[0].columns[0], b.frames.data, n * 2);
                counted(g[0], n);
                c.events += n;
                break;
            }
            case Shape::Raw: {
                const std::uint64_t n = b.raw.data == nullptr ? 0 : b.raw.bytes;
                append_bytes(g[0].columns[0], b.raw.data, n);
                counted(g[0], n);
                c.events += n;
                break;
            }
            case Shape::BinnedPackets: {
                const std::uint64_t n = b.binned.packets == nullptr ? 0 : b.binned.packet_count;
                const auto* p = static_cast<const vrex::binned_dd_toa_tot_struct*>(b.binned.packets);
                append<std::uint32_t>(g[0].columns[0], n, [&](std::uint64_t i) { return p[i].address; });
                append<std::uint32_t>(g[0].columns[1], n, [&](std::uint64_t i) { return p[i].count; });
                append<std::uint32_t>(g[0].columns[2], n, [&](std::uint64_t i) { return p[i].itot; });
                counted(g[0], n);
                c.events += n;
                const std::uint64_t d = b.binned.descriptors == nullptr ? 0 : b.binned.descr_count;
                const auto* r = static_cast<const vrex::binning_metadata_struct*>(b.binned.descriptors);
                append<std::uint32_t>(g[1].columns[0], d, [&](std::uint64_t i) { return r[i].offset; });
                append<std::uint32_t>(g[1].columns[1], d, [&](std::uint64_t i) { return r[i].packet_count; });
                counted(g[1], d);
                add_sums(g[2], b.binned.hits);
                add_sums(g[3], b.binned.itots);
                break;
            }
            case Shape::CountSums:
                c.events += add_sums(g[0], b.binned.hits);
                break;
            case Shape::ItotSums:
                c.events += add_sums(g[0], b.binned.itots);
                break;
        }
    }

    static std::uint64_t add_sums(Group& g, const vrex::block::Sums& s) {
        const std::uint64_t n = s.data == nullptr ? 0 : s.count;
        append_bytes(g.columns[0], s.data, n * 8);
        g.counts.push_back(n);
        return n;
    }

    void seal() {
        ready_.push_back(std::move(current_));
        current_.reset();
    }

    // In order: the sealed chunks (and, flushing, the one being filled) go to the queue, oldest first. The push
    // may wait for room, so it happens outside mutex_ (consume() may go on meanwhile) but under push_mutex_.
    void push_ready(bool seal_current) noexcept {
        const std::lock_guard order(push_mutex_);
        std::deque<std::unique_ptr<Chunk>> ready;
        {
            const std::lock_guard lock(mutex_);
            if (seal_current && current_ && !current_->blocks.empty()) seal();
            ready.swap(ready_);
        }
        for (auto& chunk : ready) queue_->push(std::move(chunk));
    }

    std::shared_ptr<ChunkQueue> queue_;
    std::uint64_t chunk_events_;
    std::chrono::duration<double> max_age_;
    mutable std::mutex mutex_;  // current_, ready_ and the counts: consume() against flush() and capture()
    std::mutex push_mutex_;     // keeps the chunks in order on their way to the queue
    std::unique_ptr<Chunk> current_;
    std::deque<std::unique_ptr<Chunk>> ready_;
    std::chrono::steady_clock::time_point opened_;
    std::uint64_t copied_blocks_ = 0, failed_blocks_ = 0;
};

std::unique_ptr<Stage> make_sink(const Params& p, std::shared_ptr<ChunkQueue> queue) {
    if (!queue) throw std::invalid_argument("a sink needs a ChunkQueue");
    const std::uint64_t events = count_param(p, "chunk_events", 131072, 1u << 26);
    const double age = p.number("max_age_s", 0.5);
    if (!(age > 0 && age <= 3600)) throw std::invalid_argument("max_age_s must be a positive number of seconds");
    return std::make_unique<Sink>(std::move(queue), events, age);
}
VREX_STAGE("sink", make_sink);

}  // namespace
