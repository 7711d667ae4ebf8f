// The simulated detector's physics: per-pixel response tables and the shapes particles leave in the sensor.
#include "physics.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

namespace vrexsim {

std::uint64_t Rng::poisson(double mean) {
    if (!(mean > 0.0)) return 0;
    if (mean > 40.0) {  // normal approximation: counts this large are smooth at the pixel level
        const double v = std::round(mean + std::sqrt(mean) * normal());
        return v <= 0.0 ? 0 : static_cast<std::uint64_t>(v);
    }
    // Inversion by sequential search: a handful of steps at the means frames see.
    const double u = uniform();
    double p = std::exp(-mean), cdf = p;
    std::uint64_t k = 0;
    while (u > cdf && k < 1000) {
        ++k;
        p *= mean / static_cast<double>(k);
        cdf += p;
    }
    return k;
}

constexpr double kHeatPerBoard = 2.0;  // degrees a powered board adds to the chip's temperature

double chip_temperature(const DeviceModel& device, const DeviceState& state) {
    double t = device.cooling.empty() ? 25.0 : static_cast<double>(cooling_temperature(device.cooling.front(), state));
    for (const BoardModel& b : device.boards) {
        const auto it = state.powered.find(b.id);
        if ((it == state.powered.end() ? b.powered : it->second) != 0) t += kHeatPerBoard;
    }
    return t;
}

double model_temperature(const DeviceModel& device) { return chip_temperature(device, DeviceState{}); }

namespace physics {

namespace {

std::shared_ptr<const PixelTable> build_table(std::uint64_t seed, std::size_t chip, double dead) {
    auto table = std::make_shared<PixelTable>();
    PixelTable& p = *table;
    for (auto* v : {&p.a, &p.b, &p.c, &p.t}) v->resize(kPixels);
    p.dead.assign(kPixels, 0);
    p.noisy.assign(kPixels, 0);
    Rng rng(seed * 0x9E3779B97F4A7C15ull ^ (chip + 1) * 0xC2B2AE3D27D4EB4Full);
    for (std::size_t i = 0; i < kPixels; ++i) {
        p.a[i] = static_cast<float>(kNominalA + kSpreadA * rng.normal());
        p.b[i] = static_cast<float>(kNominalB + kSpreadB * rng.normal());
        p.c[i] = static_cast<float>(std::max(1.0, kNominalC + kSpreadC * rng.normal()));
        p.t[i] = static_cast<float>(kNominalT + kSpreadT * rng.normal());
        const double u = rng.uniform();
        if (u < dead) p.dead[i] = 1;
        else if (u >= kDeadFraction && u < kDeadFraction + kNoisyFraction) {
            p.noisy[i] = 1;
            p.noisy_pixels.push_back(static_cast<std::uint32_t>(i));
        }
    }
    return table;
}

}  // namespace

std::shared_ptr<const PixelTable> pixel_table(std::uint64_t seed, std::size_t chip, double dead) {
    // A few tables at most are ever asked for (one per model seed and chip); building one takes a millisecond,
    // so begin() and the control module share them instead of rebuilding per run.
    static std::mutex mutex;
    static auto* tables =
        new std::map<std::tuple<std::uint64_t, std::size_t, double>, std::shared_ptr<const PixelTable>>();
    // A share outside [0, 1] (NaN too, which no map could order) is refused before a run; clamped here meanwhile.
    dead = dead >= 0.0 ? std::min(dead, 1.0) : 0.0;
    std::lock_guard lock(mutex);
    const auto key = std::tuple(seed, chip, dead);
    if (const auto it = tables->find(key); it != tables->end()) return it->second;
    if (tables->size() >= 16) tables->clear();  // a session trying many seeds keeps only the latest few
    auto table = build_table(seed, chip, dead);
    (*tables)[key] = table;
    return table;
}

namespace {

constexpr double kPi = 3.141592653589793;

// Adds `kev` to pixel (ix, iy), merged with what the particle already left there (a curling electron crosses a
// pixel twice); `merge` false for a shape that never comes back to a pixel (a blob, a straight track), so its
// deposits cost no search. Off the matrix, nothing is collected.
void add_pixel(std::vector<Deposit>& out, int ix, int iy, double kev, double delay_ns, bool merge = true) {
    if (ix < 0 || ix >= kSide || iy < 0 || iy >= kSide || !(kev > 0.0)) return;
    const auto address = static_cast<std::uint32_t>(iy * kSide + ix);
    if (merge)
        for (Deposit& d : out)
            if (d.address == address) {
                d.kev += static_cast<float>(kev);
                d.delay_ns = std::min(d.delay_ns, static_cast<float>(delay_ns));
                return;
            }
    out.push_back({address, static_cast<float>(kev), static_cast<float>(delay_ns)});
}

void add(std::vector<Deposit>& out, double x, double y, double kev, double delay_ns) {
    if (!(x >= 0.0 && x < kSide && y >= 0.0 && y < kSide)) return;
    add_pixel(out, static_cast<int>(x), static_cast<int>(y), kev, delay_ns);
}

// Calls f(ix, iy, from, to) for every pixel the segment (x0, y0)-(x1, y1) crosses, in order, with the fractions
// of the segment at which it enters and leaves the pixel. A charged particle ionises all along its path, so every
// pixel it crosses gets charge in proportion to the length of path in it: consecutive pixels share an edge or
// (the path through a corner) a corner, and the track has no gap a pixel wide.
template <class F>
void walk(double x0, double y0, double x1, double y1, F&& f) {
    int ix = static_cast<int>(std::floor(x0)), iy = static_cast<int>(std::floor(y0));
    const int ex = static_cast<int>(std::floor(x1)), ey = static_cast<int>(std::floor(y1));
    const double dx = x1 - x0, dy = y1 - y0;
    const int sx = dx > 0 ? 1 : -1, sy = dy > 0 ? 1 : -1;
    // Fractions of the segment per pixel crossed in x and in y, and where the next x and y edges are.
    const double step_x = dx != 0.0 ? std::abs(1.0 / dx) : HUGE_VAL, step_y = dy != 0.0 ? std::abs(1.0 / dy) : HUGE_VAL;
    double next_x = dx != 0.0 ? (dx > 0 ? ix + 1 - x0 : x0 - ix) * step_x : HUGE_VAL;
    double next_y = dy != 0.0 ? (dy > 0 ? iy + 1 - y0 : y0 - iy) * step_y : HUGE_VAL;
    double at = 0.0;
    // Rounding cannot make it wander: at most one pixel per edge between the two ends.
    for (int left = std::abs(ex - ix) + std::abs(ey - iy) + 1; left > 0; --left) {
        const double leave = std::min({next_x, next_y, 1.0});
        f(ix, iy, at, leave);
        if (leave >= 1.0 || (ix == ex && iy == ey)) return;
        at = leave;
        if (next_x <= next_y) {
            if (next_x == next_y) {  // through the corner: to the diagonal neighbour at once
                iy += sy;
                next_y += step_y;
                --left;
            }
            ix += sx;
            next_x += step_x;
        } else {
            iy += sy;
            next_y += step_y;
        }
    }
}

double photon_energy(const SourceSpec& s, Rng& rng) {
    if (s.beam_kev > 0.0) return std::max(0.1, s.beam_kev + s.beam_spread_kev * rng.normal());
    if (s.lines_kev.empty()) return 0.0;
    const double u = rng.uniform();
    for (std::size_t i = 0; i < s.lines_kev.size(); ++i)
        if (u < s.cumulative[i]) return s.lines_kev[i];
    return s.lines_kev.back();
}

// An X-ray photon absorbed at one point: its charge cloud (a Gaussian of about a fifth of a pixel) is shared by
// the pixel and its neighbours across the nearest edges, so one photon fires 1 to 4 pixels.
void photon(const SourceSpec& s, Rng& rng, std::vector<Deposit>& out) {
    const double kev = photon_energy(s, rng);
    const double x = rng.uniform() * kSide, y = rng.uniform() * kSide;
    constexpr double sigma = 0.18;
    const double fx = x - std::floor(x), fy = y - std::floor(y);
    // Share across the nearer edge in each direction.
    const double dx = fx < 0.5 ? -1.0 : 1.0, dy = fy < 0.5 ? -1.0 : 1.0;
    const double ex = fx < 0.5 ? fx : 1.0 - fx, ey = fy < 0.5 ? fy : 1.0 - fy;
    const double sx = 0.5 * std::erfc(ex / (sigma * 1.4142135623730951));
    const double sy = 0.5 * std::erfc(ey / (sigma * 1.4142135623730951));
    const double cx = std::floor(x) + 0.5, cy = std::floor(y) + 0.5;
    add(out, cx, cy, kev * (1 - sx) * (1 - sy), 0.0);
    add(out, cx + dx, cy, kev * sx * (1 - sy), 0.0);
    add(out, cx, cy + dy, kev * (1 - sx) * sy, 0.0);
    add(out, cx + dx, cy + dy, kev * sx * sy, 0.0);
}

// An electron of a few tens to hundreds of keV: a curly track of steps that scatter as it slows down, each
// step's energy shared by the pixels it crosses.
void electron(Rng& rng, std::vector<Deposit>& out) {
    double kev = 40.0 + 260.0 * rng.uniform();
    double x = rng.uniform() * kSide, y = rng.uniform() * kSide, angle = 2 * kPi * rng.uniform();
    double delay = 0.0;
    while (kev > 0.5) {
        const double step = std::min(kev, 8.0 + 10.0 * rng.exponential());
        const double nx = x + 0.6 * std::cos(angle), ny = y + 0.6 * std::sin(angle);
        walk(x, y, nx, ny, [&](int ix, int iy, double from, double to) {
            add_pixel(out, ix, iy, step * (to - from), delay);
        });
        kev -= step;
        angle += 0.6 * rng.normal();
        x = nx;
        y = ny;
        delay += 0.2;
    }
}

// A minimum-ionising particle crossing the sensor at an angle: a straight track, about 22 keV per pixel of
// path (in each pixel in proportion to the path in it) with Landau-like fluctuations, collected later the deeper
// it goes.
void mip(Rng& rng, std::vector<Deposit>& out) {
    const double length = 3.0 + 57.0 * rng.uniform();
    const double angle = 2 * kPi * rng.uniform();
    const double x0 = rng.uniform() * kSide, y0 = rng.uniform() * kSide;
    const double x1 = x0 + length * std::cos(angle), y1 = y0 + length * std::sin(angle);
    walk(x0, y0, x1, y1, [&](int ix, int iy, double from, double to) {
        add_pixel(out, ix, iy, 22.0 * length * (to - from) * (0.75 + 0.25 * rng.exponential()),
                  10.0 * 0.5 * (from + to), false);
    });
}

// An alpha particle stops within microns: a large round blob of charge that spreads while it drifts; a few MeV.
void alpha(Rng& rng, std::vector<Deposit>& out) {
    const double kev = 5486.0 * (0.9 + 0.1 * rng.uniform());
    const double sigma = 1.2 + 0.8 * rng.uniform();
    const double x0 = rng.uniform() * kSide, y0 = rng.uniform() * kSide;
    const int reach = static_cast<int>(std::ceil(3 * sigma));
    double total = 0.0;
    const std::size_t first = out.size();
    for (int iy = -reach; iy <= reach; ++iy)
        for (int ix = -reach; ix <= reach; ++ix) {
            const double px = std::floor(x0) + ix + 0.5, py = std::floor(y0) + iy + 0.5;
            const double r2 = (px - x0) * (px - x0) + (py - y0) * (py - y0);
            if (r2 > 9 * sigma * sigma) continue;
            const double w = std::exp(-r2 / (2 * sigma * sigma));
            total += w;
            add_pixel(out, static_cast<int>(std::floor(px)), static_cast<int>(std::floor(py)), w, 0.0, false);
        }
    // Shares of the whole energy; the delay grows with the distance from the centre (the blob's edge is slow).
    for (std::size_t i = first; i < out.size(); ++i) {
        const double w = out[i].kev / total;
        out[i].kev = static_cast<float>(kev * w);
        out[i].delay_ns = static_cast<float>(5.0 * (1.0 - std::min(1.0, w * 10.0)));
    }
}

}  // namespace

void particle(Particle kind, const SourceSpec& source, Rng& rng, std::vector<Deposit>& out) {
    out.clear();
    switch (kind) {
        case Particle::Photon: photon(source, rng, out); break;
        case Particle::Electron: electron(rng, out); break;
        case Particle::Mip: mip(rng, out); break;
        case Particle::Alpha: alpha(rng, out); break;
    }
}

}  // namespace physics
}  // namespace vrexsim
