// The simulated detector's physics: per-pixel response tables, particles and what their deposits become in the
// sensor. The acquisition engine (acquisition.cpp) builds blocks from these; nothing here touches a device.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim.hpp"

namespace vrexsim {

class Rng {  // splitmix64: small, fast, and good enough for plausible detector data
public:
    explicit Rng(std::uint64_t state) : state_(state) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
    double normal() {  // Box-Muller, both values of a pair used
        if (spare_ready_) {
            spare_ready_ = false;
            return spare_;
        }
        const double r = std::sqrt(-2.0 * std::log(1.0 - uniform()));
        const double phi = 6.283185307179586 * uniform();
        spare_ = r * std::sin(phi);
        spare_ready_ = true;
        return r * std::cos(phi);
    }
    double exponential() { return -std::log(1.0 - uniform()); }
    std::uint64_t poisson(double mean);

private:
    std::uint64_t state_;
    double spare_ = 0.0;
    bool spare_ready_ = false;
};

namespace physics {

constexpr double kToaTickNs = kToaTick;
constexpr std::uint64_t kReadoutJitterTicks = kReadoutJitter;
constexpr int kSide = 256;
constexpr std::size_t kPixels = 256 * 256;

// Per-pixel response of one chip: ToT = a*E + b - c/(E - t) (E in keV, ToT in counts), plus the pixels that never
// fire (dead) and those that fire on their own (noisy). Fixed by the seed, like a chip's own silicon.
struct PixelTable {
    std::vector<float> a, b, c, t;
    std::vector<std::uint8_t> dead, noisy;
    std::vector<std::uint32_t> noisy_pixels;  // addresses (y * 256 + x) of the noisy pixels
};

// Nominal values the pixels spread around, and the spreads (one standard deviation).
constexpr double kNominalA = 1.6, kSpreadA = 0.064;   // ToT per keV
constexpr double kNominalB = 22.0, kSpreadB = 2.0;    // ToT
constexpr double kNominalC = 35.0, kSpreadC = 5.0;    // ToT keV
constexpr double kNominalT = 3.2, kSpreadT = 0.15;    // keV
// Noisy pixels are those whose draw falls in [kDeadFraction, kDeadFraction + kNoisyFraction): the same whatever
// share of the pixels the model makes dead (the first ones drawn, the default share kDeadFraction).
constexpr double kDeadFraction = 0.001, kNoisyFraction = 0.0005;

// The table of chip `chip` for `seed`, with a share `dead` of its pixels dead; built once per (seed, chip, dead)
// and shared.
std::shared_ptr<const PixelTable> pixel_table(std::uint64_t seed, std::size_t chip, double dead);

// Time-walk: how late a hit of `tot` counts crosses the threshold, in ns.
inline double walk_ns(double tot) { return 100.0 * 4.0 / (4.0 + tot); }

// Energy resolution of a pixel (keV, one standard deviation): the electronic noise, whose width also sets the
// noise edge's S-curve, and a gain fluctuation that grows with the energy.
inline double energy_sigma(double noise_width, double kev) {
    return std::sqrt(noise_width * noise_width + 0.033 * 0.033 * kev * kev);
}

// The ToT a pixel gives for a deposit of `kev`; 0 when the deposit gives none (at or below the curve's pole).
inline double tot_of(const PixelTable& p, std::size_t at, double kev) {
    const double pole = kev - p.t[at];
    if (!(pole > 0.0)) return 0.0;
    return p.a[at] * kev + p.b[at] - p.c[at] / pole;
}

enum class Particle { Photon, Electron, Mip, Alpha };
constexpr int kParticleKinds = 4;

struct Deposit {
    std::uint32_t address;
    float kev;
    float delay_ns;  // charge collection delay within the particle (tracks across the sensor)
};

// Where photons come from: emission lines (keV, relative weights) or a beam of a mean energy and spread.
struct SourceSpec {
    std::vector<double> lines_kev;
    std::vector<double> cumulative;  // of the weights, normalised to 1
    double beam_kev = 0.0;
    double beam_spread_kev = 0.0;
};

// The deposits of one particle of `kind` at a random place on the matrix, merged per pixel.
void particle(Particle kind, const SourceSpec& source, Rng& rng, std::vector<Deposit>& out);

// The relative rates as a cumulative table over the four kinds.
struct KindTable {
    double cumulative[kParticleKinds] = {1.0, 1.0, 1.0, 1.0};
    Particle pick(Rng& rng) const {
        const double u = rng.uniform();
        for (int k = 0; k < kParticleKinds; ++k)
            if (u < cumulative[k]) return static_cast<Particle>(k);
        return Particle::Photon;
    }
};

}  // namespace physics
}  // namespace vrexsim
