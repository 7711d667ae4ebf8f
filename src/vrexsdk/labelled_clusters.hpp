// The streaming clusterer with a label for every hit and a per-cluster sum of a per-hit value: what an event file
// keeps beside its events (the cluster of each hit, in the order the hits were written) and what a spectrum of
// cluster energies needs (the calibrated energies of a cluster's hits, added up).
//
// Plain C++ over clusterer.hpp, shared by the clusters stage (SDK thread) and vrexsdk.clusters (GIL released).
// It holds hits back as Clusterer::push does (until no hit still to come can precede them), then hands them to
// Clusterer::push_sorted with their arrival numbers, so the kernel resolves each hit's cluster when the cluster
// closes. Labels are handed out in arrival order, as far as every earlier hit is resolved: what is kept is the
// hits of the clusters still open, bounded as the kernel's own state is.
#pragma once

#include "clusterer.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

namespace vrex::clusters {

class LabelledStream {
public:
    // What one push or flush hands out: the clusters that completed (in emission order), the sum of the hits'
    // values per cluster, and the labels of the next hits in arrival order (the index of the hit's cluster among
    // all clusters this stream emitted; -1 for a hit outside the matrix, which is in no cluster).
    struct Out {
        std::vector<Cluster> clusters;
        std::vector<double> sums;
        std::vector<std::int64_t> labels;
        void clear() noexcept {
            clusters.clear();
            sums.clear();
            labels.clear();
        }
    };

    explicit LabelledStream(const Settings& s) : s_(s), kernel_(s) {}

    // Hits in arrival order; `values` (null: NaN for every hit) gives each hit's value to add up per cluster.
    // Each hit is read once, into the stream's own memory, so hits another thread writes meanwhile (a NumPy array
    // while the GIL is released) cannot change under the kernel.
    void push(const Hit* hits, const double* values, std::size_t n, Out& out) {
        const std::uint64_t pixels = std::uint64_t{s_.width} * s_.height;
        const std::size_t kept = held_.size();  // in ToA order since the last push
        for (std::size_t i = 0; i < n; ++i) {
            const Hit h = hits[i];
            const std::uint64_t seq = next_++;
            const double v = values != nullptr ? values[i] : std::numeric_limits<double>::quiet_NaN();
            if (h.address >= pixels) {
                entries_.push_back({v, -1});
                ++outside_;
                continue;
            }
            entries_.push_back({v, unresolved});
            if (h.toa < floor()) ++late_;
            seen_ = std::max(seen_, h.toa);
            held_.push_back({h, seq});
        }
        // Only the new hits are sorted, then merged with the held ones above their least ToA (stable: on a tie, the
        // held hit arrived first).
        const auto toa_order = [](const Held& a, const Held& b) { return a.hit.toa < b.hit.toa; };
        sort_by_toa(held_.data() + kept, held_.size() - kept, [](const Held& e) { return e.hit.toa; }, scratch_,
                    buckets_);
        if (kept > 0 && kept < held_.size()) {
            const auto from = std::upper_bound(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(kept),
                                               held_[kept], toa_order);
            std::inplace_merge(from, held_.begin() + static_cast<std::ptrdiff_t>(kept), held_.end(), toa_order);
        }
        const std::uint64_t frontier = seen_ > s_.jitter ? seen_ - s_.jitter : 0;
        const auto ready = static_cast<std::size_t>(
            std::upper_bound(held_.begin(), held_.end(), frontier,
                             [](std::uint64_t t, const Held& e) { return t < e.hit.toa; }) -
            held_.begin());
        release(ready, frontier, false, out);
    }

    // The end of the stream: every hit held is clustered, every cluster emitted and every label handed out.
    // Cluster numbers go on from there (a file's second acquisition continues its first one's numbering).
    void flush(Out& out) {
        release(held_.size(), 0, true, out);
        seen_ = processed_ = closed_at_ = 0;
    }

    std::uint64_t received() const noexcept { return next_; }
    std::uint64_t late() const noexcept { return late_; }
    std::uint64_t outside() const noexcept { return outside_; }
    std::uint64_t emitted() const noexcept { return kernel_.emitted(); }
    std::size_t pending() const noexcept { return held_.size(); }
    std::size_t open() const noexcept { return kernel_.open(); }
    std::size_t unlabelled() const noexcept { return entries_.size(); }

private:
    static constexpr std::int64_t unresolved = std::numeric_limits<std::int64_t>::min();

    struct Held {
        Hit hit;
        std::uint64_t seq;
    };
    struct Entry {
        double value;
        std::int64_t label;
    };

    // Below this a hit is late, as in Clusterer::push.
    std::uint64_t floor() const noexcept { return std::max(processed_, closed_at_); }

    void release(std::size_t ready, std::uint64_t frontier, bool end, Out& out) {
        hits_.resize(ready);
        seqs_.resize(ready);
        for (std::size_t i = 0; i < ready; ++i) {
            hits_[i] = held_[i].hit;
            seqs_[i] = held_[i].seq;
            processed_ = std::max(processed_, held_[i].hit.toa);
        }
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(ready));
        if (!end) closed_at_ = std::max(closed_at_, frontier);
        const std::uint64_t first = kernel_.emitted();
        const std::size_t at = out.clusters.size();
        pairs_.clear();
        if (end) {
            kernel_.push_sorted(hits_.data(), ready, seqs_.data(), 0, out.clusters, &pairs_);
            kernel_.flush(out.clusters, &pairs_);
        } else {
            kernel_.push_sorted(hits_.data(), ready, seqs_.data(), frontier, out.clusters, &pairs_);
        }
        out.sums.resize(out.clusters.size(), 0.0);
        for (const Label& p : pairs_) {
            Entry& e = entries_[static_cast<std::size_t>(p.hit - base_)];
            e.label = static_cast<std::int64_t>(p.cluster);
            out.sums[at + static_cast<std::size_t>(p.cluster - first)] += e.value;
        }
        while (!entries_.empty() && entries_.front().label != unresolved) {
            out.labels.push_back(entries_.front().label);
            entries_.pop_front();
            ++base_;
        }
    }

    Settings s_;
    Clusterer kernel_;
    std::vector<Held> held_, scratch_;
    std::vector<std::uint32_t> buckets_;
    std::vector<Hit> hits_;
    std::vector<std::uint64_t> seqs_;
    std::vector<Label> pairs_;
    std::deque<Entry> entries_;  // entries_[i] is hit base_ + i, until its label is handed out
    std::uint64_t base_ = 0, next_ = 0;
    std::uint64_t seen_ = 0, processed_ = 0, closed_at_ = 0, late_ = 0, outside_ = 0;
};

}  // namespace vrex::clusters
