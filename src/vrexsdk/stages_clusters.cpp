// The clusters stage: the streaming clusterer (clusterer.hpp) on the SDK's thread, with histograms of cluster
// size (hits per cluster) and cluster energy (ToT sum per cluster), and with a calibration stage before it a
// spectrum of cluster energies in keV (the sum of the hits' calibrated energies, labelled_clusters.hpp).
#include "stages.hpp"

#include "clusterer.hpp"
#include "kernels/calibration.hpp"
#include "labelled_clusters.hpp"

#include <optional>

#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>

namespace {

using namespace vrex::stages;
namespace cl = vrex::clusters;
namespace kernels = vrex::kernels;

// The keV spectrum's bins, when the stage sums calibrated energies.
struct KevBins {
    std::size_t bins;
    double low, high;
};

class Clusters final : public Stage {
public:
    Clusters(const cl::Settings& s, std::size_t size_bins, std::size_t energy_bins, std::uint64_t energy_width,
             std::optional<KevBins> kev)
        : kernel_(s), sizes_(size_bins), energies_(energy_bins), energy_width_(energy_width) {
        if (kev) {
            // Labels cost the kernel a little per hit, so only a stage that sums energies tracks them.
            labelled_.emplace(s);
            kev_ = *kev;
            kev_counts_.resize(kev->bins);
            spectrum_.emplace(kev_counts_.data(), kev->bins, kev->low, kev->high);
        }
    }

    bool accepts(Shape s) noexcept override { return is_toa_tot(s); }

    void consume(const Block& b) noexcept override {
        const std::uint64_t n = b.toa_tot_hits();
        if (n == 0) return;
        const std::lock_guard lock(mutex_);
        // The buffers grow to the largest block once and are reused; without the memory the block is counted as
        // lost to clustering, never silently left out.
        try {
            hits_.clear();
            hits_.reserve(n);
            if (labelled_) {
                // The energies come in hit order from the calibration stage; a block it had no memory for has
                // none, and its clusters count as uncalibrated.
                b.for_each_toa_tot([&](std::uint32_t address, std::uint64_t toa, std::uint32_t tot) {
                    hits_.push_back({address, tot, toa});
                });
                const std::vector<double>* kev = b.derived->find("energy_kev");
                labelled_out_.clear();
                labelled_->push(hits_.data(), kev != nullptr && kev->size() == n ? kev->data() : nullptr,
                                hits_.size(), labelled_out_);
            } else {
                b.for_each_toa_tot([&](std::uint32_t address, std::uint64_t toa, std::uint32_t tot) {
                    if (address < matrix_pixels)
                        hits_.push_back({address, tot, toa});
                    else
                        ++outside_;
                });
                out_.clear();
                kernel_.push(hits_.data(), hits_.size(), out_);
            }
        } catch (const std::exception&) {
            ++failed_blocks_;
            return;
        }
        tally();
    }

    // Flushing may come from any thread, beside a snapshot or (between acquisitions) before the next block, so the
    // stage's own lock covers its state; uncontended on the SDK's thread, it costs one atomic pair per block.
    void flush() noexcept override {
        const std::lock_guard lock(mutex_);
        try {
            if (labelled_) {
                labelled_out_.clear();
                labelled_->flush(labelled_out_);
            } else {
                out_.clear();
                kernel_.flush(out_);
            }
        } catch (const std::exception&) {
            ++failed_blocks_;
            return;
        }
        tally();
    }

    // A writer's wish for what is pending must not close clusters the next block may still continue.
    void hand_over() noexcept override {}

    void capture(Capture& out) const override {
        const std::lock_guard lock(mutex_);
        out.array("size_counts", sizes_.data(), {sizes_.size()});
        out.array("energy_counts", energies_.data(), {energies_.size()});
        out.scalar("energy_bin_width", energy_width_);
        out.scalar("size_overflow", size_overflow_);
        out.scalar("energy_overflow", energy_overflow_);
        out.scalar("clusters", clusters_);
        if (labelled_) {
            out.scalar("hits", labelled_->received() - labelled_->outside());
            out.scalar("late", labelled_->late());
            out.scalar("open", labelled_->open());
            out.scalar("pending", labelled_->pending());
            out.scalar("outside", labelled_->outside());
            const kernels::SpectrumTally t = spectrum_->tally();
            out.array("kev_counts", kev_counts_.data(), {kev_counts_.size()});
            out.real("kev_low", kev_.low);
            out.real("kev_high", kev_.high);
            out.scalar("kev_underflow", t.underflow);
            out.scalar("kev_overflow", t.overflow);
            out.scalar("kev_uncalibrated", t.uncalibrated);
        } else {
            out.scalar("hits", kernel_.received());
            out.scalar("late", kernel_.late());
            out.scalar("open", kernel_.open());
            out.scalar("pending", kernel_.pending());
            out.scalar("outside", outside_);
        }
        out.scalar("failed_blocks", failed_blocks_);
    }

private:
    void tally() noexcept {
        if (labelled_) {
            // A cluster with one hit of a pixel without calibration has no energy (NaN): counted apart.
            for (const double e : labelled_out_.sums) spectrum_->add(static_cast<float>(e));
            count(labelled_out_.clusters);
        } else {
            count(out_);
        }
    }

    void count(const std::vector<cl::Cluster>& found) noexcept {
        for (const cl::Cluster& c : found) {
            // Bin i of the sizes holds clusters of i hits (bin 0 stays empty).
            if (c.size < sizes_.size()) ++sizes_[c.size];
            else ++size_overflow_;
            const std::uint64_t e = c.tot_sum / energy_width_;
            if (e < energies_.size()) ++energies_[e];
            else ++energy_overflow_;
        }
        clusters_ += found.size();
    }

    mutable std::mutex mutex_;
    cl::Clusterer kernel_;
    std::vector<cl::Hit> hits_;
    std::vector<cl::Cluster> out_;
    std::vector<std::uint64_t> sizes_, energies_;
    std::uint64_t energy_width_;
    std::optional<cl::LabelledStream> labelled_;
    cl::LabelledStream::Out labelled_out_;
    KevBins kev_{};
    std::vector<std::uint64_t> kev_counts_;
    std::optional<kernels::Spectrum> spectrum_;  // over kev_counts_, which never moves
    std::uint64_t size_overflow_ = 0, energy_overflow_ = 0, clusters_ = 0, outside_ = 0, failed_blocks_ = 0;
};

std::uint64_t whole(const Params& p, const char* key, double fallback, double low, double high) {
    const double v = p.number(key, fallback);
    if (!(v >= low && v <= high && v == std::floor(v)))
        throw std::invalid_argument(std::string(key) + " must be an integer from " + std::to_string(std::llround(low)) +
                                    " to " + std::to_string(std::llround(high)));
    return static_cast<std::uint64_t>(v);
}

std::unique_ptr<Stage> make_clusters(const Params& p, std::shared_ptr<ChunkQueue>) {
    cl::Settings s;
    s.window = whole(p, "window_ticks", 192, 0, 0x1p53);
    s.jitter = whole(p, "jitter_ticks", 64000, 0, 0x1p53);
    s.radius = static_cast<int>(whole(p, "radius", 1, 0, 16));
    std::optional<KevBins> kev;
    if (const std::uint64_t bins = whole(p, "kev_bins", 0, 0, 1 << 24); bins != 0) {
        const double low = p.number("kev_low", 0.0), high = p.number("kev_high", 100.0);
        if (!(std::isfinite(low) && std::isfinite(high) && low < high))
            throw std::invalid_argument("the keV range must be finite and increasing");
        kev = KevBins{static_cast<std::size_t>(bins), low, high};
    }
    return std::make_unique<Clusters>(s, whole(p, "size_bins", 257, 2, 1 << 20), whole(p, "energy_bins", 1000, 1, 1 << 24),
                                      whole(p, "energy_bin_width", 16, 1, 1 << 30), kev);
}

VREX_STAGE("clusters", make_clusters);

}  // namespace
