// The calibration stage: every ToA/ToT hit's energy through a per-pixel calibration (kernels/calibration.hpp),
// binned into an energy spectrum and left as the per-hit column "energy_kev" for the stages after it (a
// clusterer summing energies, say).
#include "stages.hpp"

#include "kernels/calibration.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

using namespace vrex::stages;
namespace kernels = vrex::kernels;

static_assert(kernels::calibration_pixels == matrix_pixels);

class Calibration final : public Stage {
public:
    Calibration(std::vector<kernels::InversePixel> table, std::size_t bins, double low, double high)
        : table_(std::move(table)), counts_(bins), low_(low), high_(high), spectrum_(counts_.data(), bins, low, high) {}

    bool accepts(Shape s) noexcept override { return is_toa_tot(s); }

    void consume(const Block& b) noexcept override {
        const std::uint64_t n = b.toa_tot_hits();
        if (n == 0) return;
        // The column is reserved up front so that filling it never allocates (nor throws); without the memory
        // the spectrum still counts the block and later stages find no energies for it.
        std::vector<double>* column = nullptr;
        try {
            column = &b.derived->make("energy_kev");
            column->reserve(n);
        } catch (const std::exception&) {
            column = nullptr;
        }
        b.for_each_toa_tot([&](std::uint32_t address, std::uint64_t, std::uint32_t tot) {
            const float e = kernels::hit_energy(table_.data(), address, static_cast<float>(tot));
            spectrum_.add(e);
            if (column != nullptr && column->size() < n) column->push_back(e);
            ++hits_;
        });
    }

    void capture(Capture& out) const override {
        const kernels::SpectrumTally tally = spectrum_.tally();
        out.array("counts", counts_.data(), {counts_.size()});
        out.real("low", low_);
        out.real("high", high_);
        out.scalar("hits", hits_);
        out.scalar("underflow", tally.underflow);
        out.scalar("overflow", tally.overflow);
        out.scalar("uncalibrated", tally.uncalibrated);
    }

private:
    std::vector<kernels::InversePixel> table_;
    std::vector<std::uint64_t> counts_;
    double low_, high_;
    kernels::Spectrum spectrum_;  // over counts_, which never moves
    std::uint64_t hits_ = 0;
};

std::unique_ptr<Stage> make_calibration(const Params& p, std::shared_ptr<ChunkQueue>) {
    const char* const names[4] = {"a", "b", "c", "t"};
    const std::vector<double>* maps[4];
    for (int i = 0; i < 4; ++i) {
        maps[i] = p.array(names[i]);
        if (maps[i] == nullptr || maps[i]->size() != matrix_pixels)
            throw std::invalid_argument(std::string(names[i]) + " must hold 65536 values");
    }
    const double bins = p.number("bins", 1000), low = p.number("low", 0.0), high = p.number("high", 100.0);
    if (!(bins >= 1 && bins <= (1 << 24) && bins == std::floor(bins)))
        throw std::invalid_argument("bins must be an integer from 1 to 16777216");
    if (!(std::isfinite(low) && std::isfinite(high) && low < high))
        throw std::invalid_argument("the energy range must be finite and increasing");
    std::vector<kernels::InversePixel> table(matrix_pixels);
    for (std::size_t i = 0; i < matrix_pixels; ++i)  // NaN parameters (flagged pixels) give a NaN entry
        table[i] = kernels::fold_pixel(static_cast<float>((*maps[0])[i]), static_cast<float>((*maps[1])[i]),
                                       static_cast<float>((*maps[2])[i]), static_cast<float>((*maps[3])[i]));
    return std::make_unique<Calibration>(std::move(table), static_cast<std::size_t>(bins), low, high);
}

VREX_STAGE("calibration", make_calibration);

}  // namespace
