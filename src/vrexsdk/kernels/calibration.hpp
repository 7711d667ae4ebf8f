// Per-pixel energy calibration of Timepix3 hits: time over threshold (ToT) to deposited energy (keV).
//
// Each pixel turns energy E into ToT along its own curve  ToT = a*E + b - c/(E - t).  Multiplying out by (E - t)
// gives a quadratic in E whose root above t is
//
//     E = (ToT - b + a*t + sqrt((b + a*t - ToT)^2 + 4*a*c)) / (2*a).
//
// that is, with u = ToT - b - a*t,  E = t + (u + sqrt(u^2 + 4*a*c)) / (2*a).  The parameters never change during a
// run, so each pixel's are folded once (p = b + a*t, q = 4*a*c, r = 1/(2*a), and t): a hit then costs one table
// load, a square root and a select, which is what keeps the kernel beyond 200 Mhits/s on one core. A pixel whose parameters cannot be inverted (flagged,
// a <= 0, c < 0, anything not finite) gets r = NaN, so its hits come out NaN instead of as a plausible number.
//
// Plain C++ without Python: the same functions serve arrays handed in from Python (the _calibration module, with
// the GIL released) and native stages running on the SDK's threads.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vrex::kernels {

inline constexpr std::size_t calibration_pixels = 256 * 256;  // one chip; a hit's address is y * 256 + x

// One pixel's curve folded for inversion; 16 bytes, so the table of a chip is 1 MiB and a hit touches one line.
struct InversePixel {
    float p;  // b + a*t
    float q;  // 4*a*c
    float r;  // 1 / (2*a); NaN for a pixel without a usable calibration
    float t;
};
static_assert(sizeof(InversePixel) == 16);

inline InversePixel fold_pixel(float a, float b, float c, float t) noexcept {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const bool usable = std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(t) && a > 0.0f &&
                        c >= 0.0f;
    if (!usable) return {nan, nan, nan, nan};
    // In double: b + a*t can cancel, and the folded constants are made once per pixel, not per hit.
    const double ad = a, bd = b, cd = c, td = t;
    return {static_cast<float>(bd + ad * td), static_cast<float>(4.0 * ad * cd), static_cast<float>(0.5 / ad), t};
}

inline void fold_table(const float* a, const float* b, const float* c, const float* t, InversePixel* out,
                       std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = fold_pixel(a[i], b[i], c[i], t[i]);
}

// The energy of one hit. Below p the root u + sqrt(u^2 + q) cancels (u < 0), but the absolute error that leaves
// is an ulp of u over 2a, about 1e-5 keV at the lowest ToT: far below anything a detector resolves, so the form
// without a division is kept.
inline float energy_of(const InversePixel& px, float tot) noexcept {
    const float u = tot - px.p;
    return (u + std::sqrt(u * u + px.q)) * px.r + px.t;
}

// The energy of a hit at `address`; NaN outside the chip.
inline float hit_energy(const InversePixel* table, std::uint64_t address, float tot) noexcept {
    return address < calibration_pixels ? energy_of(table[address], tot) : std::numeric_limits<float>::quiet_NaN();
}

// A 1-D array as the kernels read it: base pointer and stride in bytes (NumPy strides, so a field of a record
// array is read in place).
template <class T>
struct Strided {
    const char* data;
    std::ptrdiff_t stride;
    T operator[](std::size_t i) const noexcept {
        T v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));  // records need not align T
        return v;
    }
};

// Energies of n hits into out (float32). A hit whose address lies outside the chip gets NaN.
template <class Address, class Tot>
void hit_energies(const InversePixel* table, Strided<Address> address, Strided<Tot> tot, float* out,
                  std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = hit_energy(table, address[i], static_cast<float>(tot[i]));
}

// What a spectrum adds up besides its bins.
struct SpectrumTally {
    std::uint64_t underflow = 0;     // below the first edge
    std::uint64_t overflow = 0;      // at or above the last edge
    std::uint64_t uncalibrated = 0;  // NaN: a pixel without calibration, or an address outside the chip
};

// An energy histogram of `bins` equal bins over [low, high), filled one energy at a time, over counts someone
// else owns (a NumPy array, a stage's vector).
class Spectrum {
public:
    Spectrum(std::uint64_t* counts, std::size_t bins, double low, double high) noexcept
        : counts_(counts), low_(low), scale_(static_cast<double>(bins) / (high - low)),
          top_(static_cast<double>(bins)) {}

    void add(float energy) noexcept {
        // The bin in double: float32 would put energies within an ulp of an edge into the neighbouring bin.
        const double position = (static_cast<double>(energy) - low_) * scale_;  // NaN stays NaN: no test holds
        // One increment through a selected slot rather than branches: out-of-range hits come mixed with the
        // rest, and mispredicted branches would cost more than the energy itself.
        const bool inside = position >= 0.0 && position < top_;
        const std::size_t bin = static_cast<std::size_t>(inside ? position : 0.0);
        const int outside = position < 0.0 ? 0 : (position >= top_ ? 1 : 2);
        ++*(inside ? counts_ + bin : beyond_ + outside);
    }

    SpectrumTally tally() const noexcept { return {beyond_[0], beyond_[1], beyond_[2]}; }

private:
    std::uint64_t* counts_;
    double low_, scale_, top_;
    std::uint64_t beyond_[3] = {0, 0, 0};  // underflow, overflow, uncalibrated
};

// Adds n hits to an energy histogram of `bins` equal bins over [low, high) without keeping the energies.
template <class Address, class Tot>
SpectrumTally add_to_spectrum(const InversePixel* table, Strided<Address> address, Strided<Tot> tot, std::size_t n,
                              std::uint64_t* counts, std::size_t bins, double low, double high) noexcept {
    Spectrum spectrum(counts, bins, low, high);
    for (std::size_t i = 0; i < n; ++i) spectrum.add(hit_energy(table, address[i], static_cast<float>(tot[i])));
    return spectrum.tally();
}

// Time-walk: a small signal crosses the threshold late. Per pixel the delay is  d + w/(E - e0)  (ns); corrected
// arrival time = toa * tick_ns - delay. A hit at or below e0, of a pixel without parameters, or outside the chip
// gets NaN.
struct WalkPixel {
    float w;   // ns * keV
    float e0;  // keV
    float d;   // ns
};

template <class Address, class Toa>
void correct_time_walk(const WalkPixel* walk, Strided<Address> address, Strided<Toa> toa, const float* energy,
                       double tick_ns, double* out, std::size_t n) noexcept {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t pixel = address[i];
        if (pixel >= calibration_pixels) {
            out[i] = nan;
            continue;
        }
        const WalkPixel& px = walk[pixel];
        const double above = static_cast<double>(energy[i]) - px.e0;
        const double delay = above > 0.0 ? px.d + px.w / above : nan;
        out[i] = static_cast<double>(toa[i]) * tick_ns - delay;
    }
}

}  // namespace vrex::kernels
