// The streaming clusterer: hits that are neighbours on the pixel matrix and within a time window of each other
// form one cluster (the connected components of that relation, so chains of hits join however long they are).
//
// Plain C++ with no Python in it, so that the same kernel serves arrays given from Python (with the GIL released)
// and a stage on the SDK's thread.
//
// How it stays exact and bounded:
// - Hits are processed in ToA order. Then, for each pixel, the latest hit seen there is the only one a new hit
//   needs to look at: any earlier hit of that pixel still within the window is linked to the latest one already
//   (same pixel, closer in time), so linking to the latest links to all of them.
// - Data-driven read-out delivers hits out of order by up to the read-out's jitter, so a hit is held back until
//   no hit still to come can be earlier: everything at or below (latest ToA seen - jitter) is processed, the rest
//   waits for the next block. A hit that still arrives below what was processed is late; it is counted and linked
//   as well as the state allows, never dropped.
// - A cluster whose last hit is more than the window below that frontier can gain no hit any more, so it is
//   emitted and its state recycled: what is kept between blocks is the clusters and hits of one window plus the
//   jitter, and one grid of the matrix.
// - Clusters are union-find nodes ("slots"); a merge keeps the older cluster, so clusters come out in order of
//   their first hit within each call. A grid cell names the slot its hit joined; a cell whose hit is outside the
//   window is never followed, which is what makes recycling slots safe.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vrex::clusters {

// One hit, laid out as the SDK's toa_tot_struct; address = y * width + x.
struct Hit {
    std::uint32_t address;
    std::uint32_t tot;
    std::uint64_t toa;
};
static_assert(sizeof(Hit) == 16);

// One cluster as it is handed out (the record of the NumPy array).
struct Cluster {
    double x, y;            // ToT-weighted centroid, pixel indices (the plain one when the ToT sum is 0)
    double x_mean, y_mean;  // plain centroid
    std::uint64_t toa;      // first ToA
    std::uint64_t toa_spread;  // last ToA - first ToA
    std::uint64_t tot_sum;
    std::uint32_t size;     // hits
    float elongation;       // sqrt of the ratio of the principal second moments, pixels taken as unit squares
    std::uint16_t x_min, x_max, y_min, y_max;
};

struct Settings {
    std::uint64_t window = 0;  // ticks: hits at most this far apart in ToA may join
    std::uint64_t jitter = 0;  // ticks: how far below the latest ToA seen a hit may still arrive
    int radius = 1;            // pixels, in x and in y (1: the 8 neighbours)
    std::uint32_t width = 256, height = 256;
};

struct Label {
    std::uint64_t hit;      // the hit's sequence number (its index in what was given)
    std::uint64_t cluster;  // the cluster's index in emission order
};

// Sorts by ToA, stable (ties keep arrival order), from `a` then `b` (which follows it in arrival order) into `dst`:
// a least-significant-digit radix sort of the ToA above the lowest, in as few passes of at most 11 bits as its
// range needs (2 for a 64k-hit block at full rate), so each pass counts into a table that stays in the L1 cache.
// Its cost does not depend on the order the hits come in, which at full rate is a few microseconds of read-out
// jitter away from sorted: a hundred or more hits between a hit and its place. `tmp` and `counts` are reused from
// call to call.
// `low` and `high` are the least and the greatest ToA of all, when the caller has them already.
template <class T, class Toa>
void sort_by_toa_into(const T* a, std::size_t na, const T* b, std::size_t nb, T* dst, Toa toa, std::vector<T>& tmp,
                      std::vector<std::uint32_t>& counts, std::uint64_t low, std::uint64_t high) {
    const std::size_t n = na + nb;
    if (n == 0) return;
    const int bits = std::bit_width(high - low);
    const int passes = std::max(1, (bits + 10) / 11);
    const int digit = std::max(1, (bits + passes - 1) / passes);
    const std::size_t radix = std::size_t{1} << digit;
    const std::uint64_t mask = radix - 1;
    // Two passes, the common case, count into a second pair of tables as well (summed into the first after).
    counts.assign(radix * static_cast<std::size_t>(passes == 2 ? 4 : passes), 0);
    std::uint32_t* const table = counts.data();
    const auto count = [&](const T* src, std::size_t m) {
        if (passes == 2) {
            // Spelled out, so that both digits are counted in one loop body. Hits close in time share their high
            // digit: counted alternately into two tables, one increment need not wait for the one before.
            std::uint32_t* const other = table + 2 * radix;
            const auto tally = [&](std::uint32_t* into, const T& hit) {
                const std::uint64_t v = toa(hit) - low;
                ++into[v & mask];
                ++into[radix + (v >> digit)];
            };
            std::size_t i = 0;
            for (; i + 1 < m; i += 2) {
                tally(table, src[i]);
                tally(other, src[i + 1]);
            }
            if (i < m) tally(table, src[i]);
            return;
        }
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint64_t v = toa(src[i]) - low;
            for (int p = 0; p < passes; ++p) ++table[p * radix + ((v >> (p * digit)) & mask)];
        }
    };
    count(a, na);
    count(b, nb);
    if (passes == 2)
        for (std::size_t k = 0; k < 2 * radix; ++k) table[k] += table[2 * radix + k];
    if (passes > 1) tmp.resize(n);
    // The passes alternate between dst and tmp so that the last one writes dst.
    T* out = passes % 2 == 1 ? dst : tmp.data();
    for (int p = 0; p < passes; ++p) {
        std::uint32_t* const c = counts.data() + p * radix;
        std::uint32_t sum = 0;
        for (std::size_t k = 0; k < radix; ++k) sum += std::exchange(c[k], sum);
        const int at = p * digit;
        const auto scatter = [&](const T* src, std::size_t m) {
            for (std::size_t i = 0; i < m; ++i) out[c[((toa(src[i]) - low) >> at) & mask]++] = src[i];
        };
        if (p == 0) {
            scatter(a, na);
            scatter(b, nb);
        } else {
            scatter(out == dst ? tmp.data() : dst, n);
        }
        out = out == dst ? tmp.data() : dst;
    }
}

template <class T, class Toa>
void sort_by_toa_into(const T* a, std::size_t na, const T* b, std::size_t nb, T* dst, Toa toa, std::vector<T>& tmp,
                      std::vector<std::uint32_t>& counts) {
    if (na + nb == 0) return;
    std::uint64_t low = na > 0 ? toa(a[0]) : toa(b[0]), high = low;
    for (std::size_t i = 0; i < na; ++i) {
        low = std::min(low, toa(a[i]));
        high = std::max(high, toa(a[i]));
    }
    for (std::size_t i = 0; i < nb; ++i) {
        low = std::min(low, toa(b[i]));
        high = std::max(high, toa(b[i]));
    }
    sort_by_toa_into(a, na, b, nb, dst, toa, tmp, counts, low, high);
}

// The same in place; `scratch` is reused from call to call.
template <class T, class Toa>
void sort_by_toa(T* a, std::size_t n, Toa toa, std::vector<T>& scratch, std::vector<std::uint32_t>& buckets) {
    bool sorted = true;
    for (std::size_t i = 1; i < n && sorted; ++i) sorted = toa(a[i - 1]) <= toa(a[i]);
    if (sorted) return;
    std::vector<T> tmp;
    scratch.resize(n);
    sort_by_toa_into(a, n, a, 0, scratch.data(), toa, tmp, buckets);
    std::copy(scratch.begin(), scratch.end(), a);
}

class Clusterer {
public:
    static constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

    explicit Clusterer(const Settings& s)
        : s_(s), gw_(s.width + 2u * static_cast<std::uint32_t>(s.radius)), pixels_(std::uint64_t{s.width} * s.height) {
        if (s.width != 0 && (s.width & (s.width - 1)) == 0) shift_ = std::countr_zero(s.width);
        reset_grid();
        for (unsigned k = 0; k < 9; ++k) near_[k] = (k / 3) * gw_ + k % 3;
    }

    // Streaming: hits in arrival order, all inside the matrix. Appends the clusters that completed.
    void push(const Hit* hits, std::size_t n, std::vector<Cluster>& out) { push_from<false>(hits, n, out, nullptr); }

    // The same for hits in memory that another thread may write meanwhile (a NumPy array while the GIL is
    // released): each is read once, into the stream's own buffer, and checked there, so what the kernel works on
    // cannot change under it. Index of the first hit outside the matrix (the stream is left as it was; `address`
    // is its address as read), or n.
    std::size_t push_shared(const Hit* hits, std::size_t n, std::vector<Cluster>& out, std::uint32_t& address) {
        return push_from<true>(hits, n, out, &address);
    }

    // Copies n hits from memory another thread may write into `to`, as push_shared() does. Index of the first hit
    // outside the matrix (`address`: its address as read), or n.
    std::size_t read(const Hit* hits, std::size_t n, Hit* to, std::uint32_t& address) const noexcept {
        for (std::size_t i = 0; i < n; ++i) {
            const Hit h = hits[i];
            if (h.address >= pixels_) {
                address = h.address;
                return i;
            }
            to[i] = h;
        }
        return n;
    }

private:
    template <bool Shared>
    std::size_t push_from(const Hit* hits, std::size_t n, std::vector<Cluster>& out, std::uint32_t* address) {
        const std::uint64_t below = floor();
        std::uint64_t seen = seen_, late = 0, least = std::numeric_limits<std::uint64_t>::max();
        bool sorted = true;
        if constexpr (Shared) copy_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const Hit h = hits[i];
            if constexpr (Shared) {
                if (h.address >= pixels_) {
                    *address = h.address;
                    return i;
                }
                copy_[i] = h;  // the copy is read in the same pass the block is scanned
            }
            const std::uint64_t t = h.toa;
            late += t < below;
            sorted &= t >= seen;
            seen = std::max(seen, t);
            least = std::min(least, t);  // with seen, the range the sort needs, without a pass of its own
        }
        if constexpr (Shared) hits = copy_.data();
        late_ += late;
        received_ += n;
        // A block in order that follows everything held back needs no copy to be worked on.
        const bool in_place = sorted && (held() == 0 || n == 0 || pending_.back().toa <= hits[0].toa);
        if (in_place) compact();
        seen_ = seen;
        const std::uint64_t frontier = seen_ > s_.jitter ? seen_ - s_.jitter : 0;
        // Of m hits in ToA order, how many are at or below t.
        const auto up_to = [](const Hit* a, std::size_t m, std::uint64_t t) {
            return static_cast<std::size_t>(
                std::upper_bound(a, a + m, t, [](std::uint64_t v, const Hit& h) { return v < h.toa; }) - a);
        };
        const auto ready_in = [&up_to, frontier](const Hit* a, std::size_t m) { return up_to(a, m, frontier); };
        if (in_place && pending_.empty()) {
            const std::size_t ready = ready_in(hits, n);
            process(hits, ready, nullptr);
            pending_.assign(hits + ready, hits + n);
        } else if (in_place) {
            const std::size_t done = ready_in(pending_.data(), pending_.size());
            process(pending_.data(), done, nullptr);
            if (done < pending_.size()) {
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
                pending_.insert(pending_.end(), hits, hits + n);
            } else {
                const std::size_t ready = ready_in(hits, n);
                process(hits, ready, nullptr);
                pending_.assign(hits + ready, hits + n);
            }
        } else {
            // Held hits are in ToA order already (a quarter of a block at full rate and the default jitter): only
            // the block is sorted, and merged with the few held hits above its least ToA. Those at or below it come
            // first (on a tie, a held hit arrived first).
            const Hit* const held_hits = pending_.data() + held_from_;
            const std::size_t p = up_to(held_hits, held(), least);
            const std::size_t m = held() - p;
            work_.resize(m + n);
            sort_by_toa_into(hits, n, hits, 0, work_.data() + m, [](const Hit& h) { return h.toa; }, scratch_,
                             buckets_, least, seen);
            // Forward, in place: a hit is written at or before the place of the next sorted one still to read.
            const Hit *a = held_hits + p, *const a_end = held_hits + held();
            const Hit* b = work_.data() + m;
            const Hit* const b_end = work_.data() + m + n;
            Hit* w = work_.data();
            while (a != a_end) *w++ = b != b_end && b->toa < a->toa ? *b++ : *a++;
            const std::size_t ready_held = ready_in(held_hits, p);
            process(held_hits, ready_held, nullptr);
            if (ready_held < p) {
                // Nothing of the block can be ready before these are.
                held_from_ += ready_held;
                compact();
                pending_.resize(p - ready_held);
                pending_.insert(pending_.end(), work_.begin(), work_.end());
            } else {
                const std::size_t ready = ready_in(work_.data(), work_.size());
                process(work_.data(), ready, nullptr);
                // What is held is the rest of work_, taken as it lies (a third of a block, not copied).
                pending_.swap(work_);
                held_from_ = ready;
            }
        }
        close(frontier, false, out, nullptr);
        return n;
    }

public:
    // Hits already in ToA order (every one at or above what was processed before), with their sequence numbers
    // (null: consecutive from the count processed so far); `labels` receives (hit, cluster) pairs as clusters
    // complete. No hit still to come may be below `frontier`.
    void push_sorted(const Hit* hits, std::size_t n, const std::uint64_t* seq, std::uint64_t frontier,
                     std::vector<Cluster>& out, std::vector<Label>* labels) {
        received_ += n;
        process(hits, n, seq, labels != nullptr);
        close(frontier, false, out, labels);
    }

    // End of the stream: everything held is processed and every cluster emitted; the state starts afresh.
    void flush(std::vector<Cluster>& out, std::vector<Label>* labels = nullptr) {
        process(pending_.data() + held_from_, held(), nullptr);
        pending_.clear();
        held_from_ = 0;
        close(0, true, out, labels);
        reset_grid();
        slots_.clear();
        free_.clear();
        open_.clear();
        unresolved_.clear();
        seen_ = processed_ = closed_at_ = 0;
    }

    std::uint64_t received() const noexcept { return received_; }
    std::uint64_t late() const noexcept { return late_; }
    std::uint64_t emitted() const noexcept { return emitted_; }
    std::size_t pending() const noexcept { return held(); }
    std::size_t open() const noexcept { return slots_.size() - free_.size(); }
    std::size_t slots() const noexcept { return slots_.size(); }

private:
    // The matrix padded by the radius on every side, so that neighbours need no bounds checks: for each cell the
    // ToA of the last hit processed there and the slot it joined (none: no hit yet). The ToA is kept as a key
    // above a base: with 32-bit keys (`Key`) a row of cells is tested at once and the grid takes less cache; the
    // base moves up (rebase) before a key could overflow. Windows too long for that use 64-bit keys over base 0.
    // A hit of ToA t at or above every cell's passes over a cell by one subtraction and compare, t - toa > window;
    // an empty cell (key 0, no slot) passes that only within the window of the base, and then its missing slot
    // stops it.
    template <class Key>
    struct Grid {
        // Keys stay below this above the base, so that differences of keys are positive as signed 32-bit too.
        static constexpr std::uint64_t span = std::is_same_v<Key, std::uint32_t> ? std::uint64_t{1} << 31
                                                                                  : std::numeric_limits<std::uint64_t>::max();
        // A cell's key and slot side by side: a row of the neighbourhood is one cache line (sometimes two), and
        // the slot a hit joins is read from the line its key test just brought in.
        struct Cell {
            Key key;
            std::uint32_t slot;
        };
        std::vector<Cell> cells;
        std::uint64_t base = 0;

        // Empty.
        void reset(std::size_t n) {
            cells.assign(n, Cell{0, none});
            base = 0;
        }
        void release() { cells = {}; }
        std::size_t size() const noexcept { return cells.size(); }
        std::uint64_t toa(std::size_t i) const noexcept { return base + cells[i].key; }
        // Keeps only the cells at or above `to`, as keys above it.
        void rebase(std::uint64_t to) noexcept {
            for (Cell& c : cells) {
                if (c.slot == none || base + c.key < to)
                    c = Cell{0, none};
                else
                    c.key = static_cast<Key>(base + c.key - to);
            }
            base = to;
        }
    };
    // What the loop over a run's hits at radius 1 reads for every hit, copied out of the stream: kept in registers,
    // where members would be read again after each store into the grid or a slot (which the compiler must assume
    // could change them). `Pow2`: the matrix's width is a power of two (256 on every chip), known to be.
    template <class K, bool Pow2 = false>
    struct Frame {
        using Key = K;
        typename Grid<Key>::Cell* cells;
        std::size_t gw;
        std::uint64_t base;
        Key window;
        std::uint32_t width;
        int shift;

        void xy(std::uint32_t a, std::uint32_t& x, std::uint32_t& y) const noexcept {
            if (Pow2 || shift >= 0) {
                x = a & (width - 1);
                y = a >> shift;
            } else {
                x = a % width;
                y = a / width;
            }
        }
        // Files the hit (key t) into the cluster it joined (`root`), else into a new one, and into its cell `mid`.
        std::uint32_t settle(Clusterer& k, std::size_t mid, std::uint32_t root, const Hit& h, Key t, std::uint32_t x,
                             std::uint32_t y) const {
            if (root == none)
                root = k.new_slot(h, x, y);
            else
                k.accumulate<false>(root, h, x, y);
            cells[mid] = {t, root};
            return root;
        }
    };
    template <bool Pow2 = false, class Key>
    Frame<Key, Pow2> frame(Grid<Key>& g) const noexcept {
        return {g.cells.data(), gw_, g.base, static_cast<Key>(s_.window), s_.width, shift_};
    }

    // Windows at or above this take 64-bit keys: the base must stay within a window below every hit to come.
    static constexpr std::uint64_t narrow_window = std::uint64_t{1} << 30;

    // An empty grid of the kind the window takes.
    void reset_grid() {
        const std::size_t cells = static_cast<std::size_t>(gw_) * (s_.height + 2u * static_cast<std::uint32_t>(s_.radius));
        wide_now_ = s_.window >= narrow_window;
        if (wide_now_) {
            narrow_.release();
            wide_.reset(cells);
        } else {
            wide_.release();
            narrow_.reset(cells);
        }
        rebased_at_ = reset_at_ = sequence_;
    }

    // Hits seconds apart move the base of 32-bit keys often, and each move passes over the whole grid: when that
    // would cost more than the hits themselves, the stream takes 64-bit keys (until it is flushed), converted once.
    void widen() {
        wide_.reset(narrow_.size());
        for (std::size_t i = 0; i < narrow_.size(); ++i) {
            const std::uint32_t slot = narrow_.cells[i].slot;
            wide_.cells[i] = {slot == none ? 0 : narrow_.toa(i), slot};
        }
        narrow_.release();
        wide_now_ = true;
    }

    // What a cluster adds up over its hits, laid out so that adding a hit or a merged cluster is a few vector
    // adds: integer sums (x, y; x^2, y^2; ToT, x*y), the ToT-weighted sums of x and y, and the bounding box as
    // four minima (x, y, -x, -y; sides stay below 2^15).
    struct Sums {
        std::uint64_t n[6];  // sx, sy, sxx, syy, tot, sxy
        double w[2];         // ToT * x, ToT * y
        std::int16_t box[4];

#if defined(__SSE2__)
        // A hit's terms, made in vector registers from x and y at once.
        struct Terms {
            __m128i xy, squares, tot_xy, box;
            __m128d w;
        };
        static Terms terms(std::uint32_t x, std::uint32_t y, std::uint32_t tot) noexcept {
            const __m128i zero = _mm_setzero_si128();
            const __m128i p = _mm_cvtsi64_si128(static_cast<long long>(x | std::uint64_t{y} << 32));  // x, y (32)
            const __m128i v = _mm_unpacklo_epi32(p, zero);                                           // x, y (64)
            const __m128i t = _mm_cvtsi32_si128(static_cast<int>(tot));
            const __m128i xy = _mm_mul_epu32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
            const __m128i box = _mm_unpacklo_epi64(p, _mm_sub_epi32(zero, p));  // x, y, -x, -y (32)
            return {v, _mm_mul_epu32(v, v), _mm_unpacklo_epi64(t, xy), _mm_packs_epi32(box, box),
                    _mm_mul_pd(_mm_cvtepi32_pd(p), _mm_set1_pd(static_cast<double>(tot)))};
        }
        __m128i* at(int k) noexcept { return reinterpret_cast<__m128i*>(n + k); }
#endif
        // The sums of the one hit.
        void set(std::uint32_t x, std::uint32_t y, std::uint32_t tot) noexcept {
#if defined(__SSE2__)
            const Terms h = terms(x, y, tot);
            _mm_storeu_si128(at(0), h.xy);
            _mm_storeu_si128(at(2), h.squares);
            _mm_storeu_si128(at(4), h.tot_xy);
            _mm_storeu_pd(w, h.w);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(box), h.box);
#else
            n[0] = x;
            n[1] = y;
            n[2] = std::uint64_t{x} * x;
            n[3] = std::uint64_t{y} * y;
            n[4] = tot;
            n[5] = std::uint64_t{x} * y;
            w[0] = static_cast<double>(tot) * x;
            w[1] = static_cast<double>(tot) * y;
            box[0] = static_cast<std::int16_t>(x);
            box[1] = static_cast<std::int16_t>(y);
            box[2] = static_cast<std::int16_t>(-box[0]);
            box[3] = static_cast<std::int16_t>(-box[1]);
#endif
        }
        void add(std::uint32_t x, std::uint32_t y, std::uint32_t tot) noexcept {
#if defined(__SSE2__)
            const Terms h = terms(x, y, tot);
            _mm_storeu_si128(at(0), _mm_add_epi64(_mm_loadu_si128(at(0)), h.xy));
            _mm_storeu_si128(at(2), _mm_add_epi64(_mm_loadu_si128(at(2)), h.squares));
            _mm_storeu_si128(at(4), _mm_add_epi64(_mm_loadu_si128(at(4)), h.tot_xy));
            _mm_storeu_pd(w, _mm_add_pd(_mm_loadu_pd(w), h.w));
            __m128i* const b = reinterpret_cast<__m128i*>(box);
            _mm_storel_epi64(b, _mm_min_epi16(_mm_loadl_epi64(b), h.box));
#else
            Sums one;
            one.set(x, y, tot);
            add(one);
#endif
        }
        void add(const Sums& o) noexcept {
            for (int k = 0; k < 6; ++k) n[k] += o.n[k];
            for (int k = 0; k < 2; ++k) w[k] += o.w[k];
            for (int k = 0; k < 4; ++k) box[k] = std::min(box[k], o.box[k]);
        }
    };

    // A cluster (or, once merged, a member of one). What find and unite touch comes first.
    struct Slot {
        std::uint32_t parent, next, tail, size;
        std::uint64_t order;  // creation number: the older cluster survives a merge
        std::uint64_t toa_first, toa_last;
        Sums sums;
        std::uint64_t out;    // emission index, once closing
        bool closing;
    };

    struct Pending {
        std::uint64_t hit;
        std::uint32_t slot;
    };

    std::size_t held() const noexcept { return pending_.size() - held_from_; }
    // The hits held back, from the start of pending_.
    void compact() {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(held_from_));
        held_from_ = 0;
    }

    // Below this a hit is late: hits up to it were processed, or clusters it could have joined may be closed.
    std::uint64_t floor() const noexcept { return std::max(processed_, closed_at_); }

    std::uint32_t find(std::uint32_t s) noexcept {
        Slot* const v = slots_.data();
        {
            // A root, or a slot right below one (most of what a cell names), with no branch on which of the two.
            const std::uint32_t p = v[s].parent, up = v[p].parent;
            if (up == p) [[likely]] return p;
            v[s].parent = up;
            s = up;
        }
        while (v[s].parent != s) {
            const std::uint32_t up = v[v[s].parent].parent;
            v[s].parent = up;  // path halving
            s = up;
        }
        return s;
    }

    std::uint32_t unite(std::uint32_t a, std::uint32_t b) noexcept {
        if (slots_[b].order < slots_[a].order) std::swap(a, b);
        Slot& keep = slots_[a];
        Slot& gone = slots_[b];
        gone.parent = a;
        slots_[keep.tail].next = b;  // the merged slots are freed with the survivor
        keep.tail = gone.tail;
        keep.size += gone.size;
        keep.toa_first = std::min(keep.toa_first, gone.toa_first);
        keep.toa_last = std::max(keep.toa_last, gone.toa_last);
        keep.sums.add(gone.sums);
        return a;
    }

    // A cluster of the one hit: its sums are the hit's own, set at once.
#if defined(__GNUC__)
    [[gnu::always_inline]]  // up to a quarter of the hits start a cluster; GCC would otherwise call it
#endif
    std::uint32_t new_slot(const Hit& h, std::uint32_t x, std::uint32_t y) {
        std::uint32_t s;
        if (!free_.empty()) {
            s = free_.back();
            free_.pop_back();
        } else {
            s = static_cast<std::uint32_t>(slots_.size());
            slots_.emplace_back();
        }
        Slot& n = slots_[s];
        n.parent = n.tail = s;
        n.next = none;
        n.size = 1;
        n.toa_first = n.toa_last = h.toa;
        n.sums.set(x, y, h.tot);
        n.order = created_++;
        n.closing = false;
        open_.push_back(s);
        return s;
    }

    void xy(std::uint32_t address, std::uint32_t& x, std::uint32_t& y) const noexcept {
        if (shift_ >= 0) {
            x = address & (s_.width - 1);
            y = address >> shift_;
        } else {
            x = address % s_.width;
            y = address / s_.width;
        }
    }

    // Adds a hit to the cluster it joined. `Late`: the hit may precede the cluster's first or last.
    template <bool Late>
    void accumulate(std::uint32_t s, const Hit& h, std::uint32_t x, std::uint32_t y) noexcept {
        Slot& c = slots_[s];
        ++c.size;
        if constexpr (Late) {
            c.toa_first = std::min(c.toa_first, h.toa);
            c.toa_last = std::max(c.toa_last, h.toa);
        } else {
            c.toa_last = h.toa;  // in ToA order, the latest so far
        }
        c.sums.add(x, y, h.tot);
    }

    // Joins the hit's cluster so far (`root`, or none) with the cluster of slot `c`.
    std::uint32_t join(std::uint32_t root, std::uint32_t& last, std::uint32_t c) noexcept {
        if (c == none || c == last || c == root) return root;  // empty, or a cluster already joined
        last = c;
        return merge(root, find(c));
    }

    // The hit's cluster so far (`root`, or none) and the cluster of root `s`, as one.
    std::uint32_t merge(std::uint32_t root, std::uint32_t s) noexcept {
        return root == none ? s : (s == root ? root : unite(root, s));
    }

    // Files the hit: into the cluster it joined (`root`), else into a new one, and into its own cell `i`.
    template <bool Late, class Key>
    std::uint32_t settle(Grid<Key>& g, std::size_t i, std::uint32_t root, const Hit& h, std::uint32_t x,
                         std::uint32_t y) {
        if (root == none) {
            root = new_slot(h, x, y);
        } else {
            accumulate<Late>(root, h, x, y);
        }
        if constexpr (Late) {
            // Only a later hit replaces the cell's, and only a hit the keys can hold.
            if (h.toa < g.base || h.toa - g.base >= Grid<Key>::span) return root;
            if (g.cells[i].slot != none && g.toa(i) > h.toa) return root;
        }
        g.cells[i] = {static_cast<Key>(h.toa - g.base), root};
        return root;
    }

    // One hit at or above everything processed, so each cell's hit is at or before it, on the 8 neighbours: the
    // cells within the window are found without a branch each (which their data-dependent pattern would
    // mispredict), a row at once where the keys are 32-bit, and only those are visited.
    template <class F>
#if defined(__GNUC__)
    [[gnu::always_inline]]  // called, the frame goes to memory and the loop takes 5 % more instructions
#endif
    std::uint32_t link_near(const F& f, const Hit& h) {
        using Key = typename F::Key;
        const std::size_t gw = f.gw;
        std::uint32_t x, y;
        f.xy(h.address, x, y);
        const std::size_t top = static_cast<std::size_t>(h.address) + 2 * y, mid = top + gw + 1;
        const Key t = static_cast<Key>(h.toa - f.base), w = f.window;
        auto* const c = f.cells + top;
        std::uint32_t root = none;
#if defined(__SSE2__)
        if constexpr (std::is_same_v<Key, std::uint32_t>) {
            // Keys and t are below 2^31 above the base, so t - key is a non-negative signed difference. A row's
            // three cells are read one by one (eight bytes each, so a load takes the value a hit just stored there
            // straight from the store, which a wider load spanning two stores cannot), their keys gathered into one
            // register; its fourth lane repeats the third and is masked off.
            const __m128i tv = _mm_set1_epi32(static_cast<int>(t)), wv = _mm_set1_epi32(static_cast<int>(w));
            const auto cell = [](const auto* at) {
                return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
            };
            // A row's slots, those of cells outside the window (or empty) as none.
            const auto row = [&](const auto* at) {
                const __m128 a = _mm_castsi128_ps(_mm_unpacklo_epi64(cell(at), cell(at + 1))),
                             b = _mm_castsi128_ps(cell(at + 2));
                const __m128i keys = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 2, 0)));
                const __m128i slots = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 1, 3, 1)));
                return _mm_or_si128(slots, _mm_cmpgt_epi32(_mm_sub_epi32(tv, keys), wv));
            };
            const __m128i r0 = row(c), r1 = row(c + gw), r2 = row(c + 2 * gw);
            // The cells (bit k: cell near_[k]) whose slot is v.
            const auto holding = [&](__m128i v) {
                const auto bits = [v](__m128i r) {
                    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(r, v)))) & 7u;
                };
                return bits(r0) | bits(r1) << 3 | bits(r2) << 6;
            };
            alignas(16) std::uint32_t slot[12];
            _mm_store_si128(reinterpret_cast<__m128i*>(slot), r0);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(slot + 3), r1);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(slot + 6), r2);
            // Slots stay below 2^31 and none has the sign bit: the cells that name a slot are the lanes without it.
            const auto named = [](__m128i r) { return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(r))) & 7u; };
            // Each slot named is joined once, however many cells name it. The cells that name a merged slot are
            // made to name its cluster's root: the next hits around them then find one slot there, not two that
            // turn out to be the same cluster (a third of all joins otherwise), and take fewer branches.
            for (unsigned m = ~(named(r0) | named(r1) << 3 | named(r2) << 6) & 0x1ffu; m != 0;) {
                const std::uint32_t v = slot[std::countr_zero(m)];
                const unsigned cells_v = holding(_mm_set1_epi32(static_cast<int>(v)));
                m &= ~cells_v;
                const std::uint32_t found = find(v);
                if (found != v)
                    for (unsigned b = cells_v; b != 0; b &= b - 1) c[near_[std::countr_zero(b)]].slot = found;
                root = merge(root, found);
            }
            return f.settle(*this, mid, root, h, t, x, y);
        }
#endif
        const auto in = [t, w](const auto& cell) noexcept {
            return static_cast<unsigned>(static_cast<Key>(t - cell.key) <= w);
        };
        const auto* const c1 = c + gw;
        const auto* const c2 = c1 + gw;
        std::uint32_t last = none;
        for (unsigned m = in(c[0]) | in(c[1]) << 1 | in(c[2]) << 2 | in(c1[0]) << 3 | in(c1[1]) << 4 |
                          in(c1[2]) << 5 | in(c2[0]) << 6 | in(c2[1]) << 7 | in(c2[2]) << 8;
             m != 0; m &= m - 1)
            root = join(root, last, c[near_[std::countr_zero(m)]].slot);
        return f.settle(*this, mid, root, h, t, x, y);
    }

    // One hit, any radius (`R` when known at compile time, 0: the run-time one): linked to the clusters of the
    // neighbouring cells whose hit is within the window, or starting a cluster. A late hit looks both ways, and
    // only at cells whose cluster is still open. (Hits in order at radius 1 take link_near.)
    template <int R, bool Late, class Key>
    std::uint32_t link(Grid<Key>& g, const Hit& h, std::uint32_t x, std::uint32_t y) {
        const int r = R > 0 ? R : s_.radius;
        const std::size_t gw = gw_;
        const std::size_t mid = (static_cast<std::size_t>(y) + r) * gw + x + r;
        const std::uint64_t t = h.toa, w = s_.window;
        const std::uint64_t open_from = closed_at_ > w ? closed_at_ - w : 0;
        std::uint32_t root = none, last = none;
        std::size_t row = mid - static_cast<std::size_t>(r) * gw;
        for (int dy = -r; dy <= r; ++dy, row += gw) {
            for (int dx = -r; dx <= r; ++dx) {
                const std::size_t i = row + static_cast<std::size_t>(dx);
                if constexpr (Late) {
                    if (g.cells[i].slot == none) continue;
                    const std::uint64_t c = g.toa(i), gap = c > t ? c - t : t - c;
                    if (gap > w || c < open_from) continue;
                } else {
                    if (static_cast<Key>(static_cast<Key>(t - g.base) - g.cells[i].key) > w) continue;
                }
                root = join(root, last, g.cells[i].slot);
            }
        }
        return settle<Late>(g, mid, root, h, x, y);
    }

    // The grid rows a hit will test, asked for `ahead` hits before it: the hits come in ToA order from all over
    // the matrix, so its rows are mostly out of the L1 cache, and their loads would otherwise come one hit at a
    // time. (The first and the last cell of a row: a row may straddle two lines.)
    static constexpr std::size_t ahead = 8;
    template <class F>
    static void fetch(const F& f, const Hit& h) noexcept {
        // Hits reach the loop checked to be inside the matrix, so this is a cell of the grid.
        const std::uint32_t a = h.address;
        // The top left neighbour: row y of the padded grid is two cells longer than the matrix's.
        std::uint32_t x, y;
        f.xy(a, x, y);
        const std::size_t gw = f.gw;
        const auto* c = f.cells + a + 2 * y;
        prefetch(c);
        prefetch(c + 2);
        prefetch(c + gw);
        prefetch(c + gw + 2);
        prefetch(c + 2 * gw);
        prefetch(c + 2 * gw + 2);
    }
    static void prefetch(const void* at) noexcept {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
        // As an instruction the optimiser keeps: GCC 12 drops __builtin_prefetch of an address nothing else reads.
        asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(at)));
#elif defined(__GNUC__)
        __builtin_prefetch(at);
#else
        (void)at;
#endif
    }

    // Hits in ToA order. The late ones (below what was processed or closed) can only be the first ones; the rest
    // go in runs that end where the slots are recycled (every `recycle_every` hits of the stream) or where the
    // 32-bit keys' base must move, so the loop over a run's hits tests neither.
    template <int R, class Key>
    void process_with(Grid<Key>& g, const Hit* hits, std::size_t n, const std::uint64_t* seq, bool track) {
        const std::uint64_t below = floor();
        std::size_t i = 0;
        for (; i < n && hits[i].toa < below; ++i) {
            std::uint32_t x, y;
            xy(hits[i].address, x, y);
            const std::uint32_t s = link<R, true>(g, hits[i], x, y);
            if (track) unresolved_.push_back({seq != nullptr ? seq[i] : sequence_ + i, s});
        }
        while (i < n) {
            const std::uint64_t at = sequence_ + i;
            if (!track && at % recycle_every == 0) recycle(hits[i].toa);
            std::size_t end = std::min<std::size_t>(n, i + (recycle_every - at % recycle_every));
            if constexpr (std::is_same_v<Key, std::uint32_t>) {
                if (hits[end - 1].toa - g.base >= Grid<Key>::span) [[unlikely]] {
                    if (hits[i].toa - g.base >= Grid<Key>::span) {
                        if (!move_base(g, hits[i], at)) {
                            processed_ = std::max(processed_, i > 0 ? hits[i - 1].toa : below);
                            sequence_ += i;
                            widen();
                            process_with<R>(wide_, hits + i, n - i, seq != nullptr ? seq + i : nullptr, track);
                            return;
                        }
                    }
                    // The run ends before the first hit the keys above the base cannot hold.
                    end = static_cast<std::size_t>(
                        std::partition_point(hits + i, hits + end,
                                             [&g](const Hit& h) { return h.toa - g.base < Grid<Key>::span; }) -
                        hits);
                }
            }
            run<R>(g, hits, i, end, n, seq, track);
            i = end;
        }
        if (n > 0) processed_ = std::max(processed_, hits[n - 1].toa);
        sequence_ += n;
    }

    // Hits i to end (of n) at radius 1, as run() takes them, with no labels to track.
    template <class F>
    void ordered(const F& of_run, const Hit* hits, std::size_t i, std::size_t end, std::size_t n) {
        // A copy of the frame, which no store into the grid or a slot can change: read from a reference, its
        // members would be loaded again for every hit.
        const F f = of_run;
        // The hits `ahead` of the last ones are fetched by none: the loop that fetches stops before them.
        for (const std::size_t fetching = std::min(end, n > ahead ? n - ahead : 0); i < fetching; ++i) {
            fetch(f, hits[i + ahead]);
            link_near(f, hits[i]);
        }
        for (; i < end; ++i) link_near(f, hits[i]);
    }

    // Hits i to end (of n), none late and all within the keys' span above the base.
    template <int R, class Key>
    void run(Grid<Key>& g, const Hit* hits, std::size_t i, std::size_t end, std::size_t n, const std::uint64_t* seq,
             bool track) {
        if constexpr (R == 1) {
            const Frame<Key> f = frame(g);
            if (track) {
                for (; i < end; ++i) {
                    if (i + ahead < n) fetch(f, hits[i + ahead]);
                    const std::uint32_t s = link_near(f, hits[i]);
                    unresolved_.push_back({seq != nullptr ? seq[i] : sequence_ + i, s});
                }
                return;
            }
            if (f.shift >= 0)
                ordered(frame<true>(g), hits, i, end, n);
            else
                ordered(f, hits, i, end, n);
        } else {
            for (; i < end; ++i) {
                std::uint32_t x, y;
                xy(hits[i].address, x, y);
                const std::uint32_t s = link<R, false>(g, hits[i], x, y);
                if (track) unresolved_.push_back({seq != nullptr ? seq[i] : sequence_ + i, s});
            }
        }
    }

    // Hit h (sequence number `at`) is too far above the base of 32-bit keys: the base moves up to it, or (false)
    // the stream had better take 64-bit keys.
    bool move_base(Grid<std::uint32_t>& g, const Hit& h, std::uint64_t at) noexcept {
        using Narrow = Grid<std::uint32_t>;
        if (at == reset_at_) {
            g.base = h.toa;  // the first hit of a stream (a ToA counter far from 0): nothing to move
            return true;
        }
        if (at - rebased_at_ < g.size() / 4) return false;
        // Every cell a hit from here on can reach is at or above t - window; the cells still open (from the
        // closing frontier less the window on) are kept too where the keys allow, for the late hits.
        const std::uint64_t w = s_.window, open_from = std::min(h.toa, closed_at_), reach = h.toa - Narrow::span / 2;
        g.rebase(std::max(open_from > w ? open_from - w : 0, reach));
        rebased_at_ = at;
        return true;
    }

    template <class Key>
    void process_on(Grid<Key>& g, const Hit* hits, std::size_t n, const std::uint64_t* seq, bool track) {
        if (s_.radius == 1)
            process_with<1>(g, hits, n, seq, track);
        else
            process_with<0>(g, hits, n, seq, track);
    }

    void process(const Hit* hits, std::size_t n, const std::uint64_t* seq, bool track = false) {
        if (wide_now_)
            process_on(wide_, hits, n, seq, track);
        else
            process_on(narrow_, hits, n, seq, track);
    }

    Cluster finish(const Slot& c) const noexcept {
        Cluster o{};
        const Sums& m = c.sums;
        const std::uint64_t sx = m.n[0], sy = m.n[1], sxx = m.n[2], syy = m.n[3], tot_sum = m.n[4], sxy = m.n[5];
        const double n = c.size;
        o.x_mean = static_cast<double>(sx) / n;
        o.y_mean = static_cast<double>(sy) / n;
        if (tot_sum > 0) {
            o.x = m.w[0] / static_cast<double>(tot_sum);
            o.y = m.w[1] / static_cast<double>(tot_sum);
        } else {
            o.x = o.x_mean;
            o.y = o.y_mean;
        }
        o.toa = c.toa_first;
        o.toa_spread = c.toa_last - c.toa_first;
        o.tot_sum = tot_sum;
        o.size = c.size;
        // Second moments of the pixel positions; each pixel a unit square adds 1/12 on both axes, so a single
        // pixel is round (1) and a straight line stays finite.
        const double cxx = std::max(0.0, static_cast<double>(sxx) / n - o.x_mean * o.x_mean) + 1.0 / 12;
        const double cyy = std::max(0.0, static_cast<double>(syy) / n - o.y_mean * o.y_mean) + 1.0 / 12;
        const double cxy = static_cast<double>(sxy) / n - o.x_mean * o.y_mean;
        const double half = 0.5 * (cxx + cyy), d = std::sqrt(0.25 * (cxx - cyy) * (cxx - cyy) + cxy * cxy);
        o.elongation = static_cast<float>(std::sqrt((half + d) / std::max(half - d, 1.0 / 12)));
        o.x_min = static_cast<std::uint16_t>(m.box[0]);
        o.x_max = static_cast<std::uint16_t>(-m.box[2]);
        o.y_min = static_cast<std::uint16_t>(m.box[1]);
        o.y_max = static_cast<std::uint16_t>(-m.box[3]);
        return o;
    }

    // Emits every cluster that can gain no more hits: all of them at the end, else those whose last hit is more
    // than the window below `frontier`. Labels of their hits are resolved before their slots are recycled.
    void close(std::uint64_t frontier, bool all, std::vector<Cluster>& out, std::vector<Label>* labels) {
        closed_at_ = std::max(closed_at_, frontier);
        const std::uint64_t w = s_.window;
        std::size_t kept = 0, closing = 0;
        out.reserve(out.size() + open_.size());  // at most one record each: no copies as `out` grows
        for (const std::uint32_t s : open_) {
            if (s & finished) {  // done while the hits were worked on: emitted in its place
                out.push_back(done_[s ^ finished]);
                ++emitted_;
                continue;
            }
            Slot& c = slots_[s];
            if (c.parent != s) continue;  // merged: freed with its survivor
            if (all || (frontier > w && c.toa_last < frontier - w)) {
                c.closing = true;
                c.out = emitted_++;
                out.push_back(finish(c));
                open_[closing++] = s;  // the front of open_ collects the closing ones, in order
            } else {
                kept_.push_back(s);
            }
        }
        if (labels != nullptr) {
            for (Pending& p : unresolved_) {
                p.slot = find(p.slot);
                if (slots_[p.slot].closing)
                    labels->push_back({p.hit, slots_[p.slot].out});
                else
                    unresolved_[kept++] = p;
            }
            unresolved_.resize(kept);
        }
        for (std::size_t i = 0; i < closing; ++i)
            for (std::uint32_t m = open_[i]; m != none; m = slots_[m].next) free_.push_back(m);
        open_.swap(kept_);
        kept_.clear();
        done_.clear();
        done_from_ = 0;
    }

    // Hits of one block make clusters by the ten thousand, and their slots would all stay taken (megabytes, out
    // of the cache) until the block's end. So every `recycle_every` hits, the clusters that can gain no more hits
    // (last hit more than the window below `below`, which every hit still to come of this pass is at or above)
    // are finished and their slots freed for the next ones. Their records wait in done_ and their place in open_
    // is kept (marked `finished`), so close() emits exactly what and in the order it would have. Not while labels
    // are tracked: those name clusters by their emission index, known only at close().
    static constexpr std::size_t recycle_every = 2048;
    static constexpr std::uint32_t finished = std::uint32_t{1} << 31;  // slot ids stay far below
    void recycle(std::uint64_t below) {
        const std::uint64_t w = s_.window;
        if (below <= w) return;
        std::size_t kept = done_from_;
        bool leading = true;  // open_ up to `kept` is all finished: the next pass starts there
        for (std::size_t k = done_from_; k < open_.size(); ++k) {
            std::uint32_t s = open_[k];
            if (!(s & finished)) {
                Slot& c = slots_[s];
                if (c.parent != s) continue;  // merged: freed with its survivor
                if (c.toa_last < below - w) {
                    for (std::uint32_t m = s; m != none; m = slots_[m].next) free_.push_back(m);
                    s = finished | static_cast<std::uint32_t>(done_.size());
                    done_.push_back(finish(c));
                } else {
                    leading = false;
                }
            }
            open_[kept++] = s;
            if (leading) done_from_ = kept;
        }
        open_.resize(kept);
    }

    Settings s_;
    std::uint32_t gw_;
    std::uint64_t pixels_;
    int shift_ = -1;
    Grid<std::uint32_t> narrow_;
    Grid<std::uint64_t> wide_;
    bool wide_now_ = false;
    std::uint64_t rebased_at_ = 0;  // sequence number of the hit at the last move of the base
    std::uint64_t reset_at_ = 0;    // and of the first hit after the grid was emptied
    std::size_t near_[9];          // the 8 neighbours and the cell itself, from the top left one
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> free_, open_, kept_;
    std::vector<Cluster> done_;  // finished by recycle(), emitted by the next close()
    std::size_t done_from_ = 0;   // open_ before this is all finished
    // The hits held back are pending_ from held_from_ on.
    std::vector<Hit> pending_, work_, scratch_, copy_;
    std::size_t held_from_ = 0;
    std::vector<std::uint32_t> buckets_;
    std::vector<Pending> unresolved_;
    std::uint64_t seen_ = 0, processed_ = 0, closed_at_ = 0;
    std::uint64_t received_ = 0, late_ = 0, emitted_ = 0, created_ = 0, sequence_ = 0;
};

}  // namespace vrex::clusters
