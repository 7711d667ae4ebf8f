"""Energy calibration: applying it to hits, fitting all 65,536 pixels, and what the fit is worth.

All in one run, best of several rounds:

  apply     Calibration.energies on "0:tpx3-dd-toa-tot" records (16 bytes each) in blocks, one core, against two
            floors measured on the same blocks: a copy of their bytes into buffers made beforehand (numpy.copyto,
            a memcpy) and the same inversion written in plain NumPy (gathers of the four parameters, the
            quadratic's root in float32).
  spectrum  EnergySpectrum.add on the same records (the energies binned without being kept).
  fit       line_peaks on each line's recording, then fit over every pixel of the chip (one core; NumPy).
  accuracy  the recovered curves' energy at 59.5 keV against the truth, for the live pixels.
  FWHM      an independent Am-241 recording: the 59.5 keV line's width after the per-pixel calibration, and after
            the chip's single global curve (FitResult.global_calibration).

The lines' hits come from the simulated detector (its per-pixel truth from vrexsdk.simulator.pixel_parameters(),
single-pixel photons selected with the generator's particle index as a clusterer would), or with --source numpy
from per-pixel curves written out below (electronic noise in ToT, a low tail of charge shared with neighbours).

Targets: apply >= 200 Mhits/s; fit < 60 s; >= 99 % of live pixels within 1 % at 59.5 keV.

The simulated detector's single-pixel photons sit below their full charge (the charge cloud, 0.18 pixel pitch,
left some of it to neighbours below the threshold): the fit is told the cloud and the threshold
(charge_cloud=, threshold_kev=), and "line peaks against the truth" shows where each line's peak lies against
each pixel's full-charge ToT (the bias the fit allows for, and the scatter only more hits reduce). Its lines
have 400 hits per pixel by default: at 150 the scatter of a peak alone (about 0.45 % at 59.5 keV) leaves about
95 % of the pixels within 1 %.

Run against an installed (or staged) package:
python bench/calibration.py [--rounds R] [--hits N] [--block B] [--per-pixel K]
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _baselines as base  # noqa: E402
from vrexsdk import calibration  # noqa: E402

P = calibration.PIXELS
LINES = (8.04, 17.5, 22.1, 59.5)  # Cu, Mo, Ag K-alpha and Am-241


def chip(rng):
    truth = {"a": rng.normal(1.6, 0.08, P), "b": rng.normal(25.0, 2.0, P), "c": rng.normal(120.0, 15.0, P),
             "t": rng.normal(2.0, 0.3, P)}
    dead = rng.random(P) < 0.002
    noisy = (rng.random(P) < 0.002) & ~dead
    return truth, dead, noisy


def line_hits(rng, truth, dead, noisy, energy, per_pixel, noise_tot=2.0, shared=0.1):
    counts = rng.poisson(per_pixel, P)
    counts[dead] = 0
    address = np.repeat(np.arange(P), counts)
    deposited = np.where(rng.random(address.size) < shared, energy * rng.random(address.size), energy)
    a, b, c, t = (truth[k][address] for k in "abct")
    tot = a * deposited + b - c / (deposited - t) + rng.normal(0.0, noise_tot, address.size)
    stray = np.repeat(np.flatnonzero(noisy), 20 * per_pixel)
    hits = np.zeros(address.size + stray.size, calibration.HIT_DTYPE)
    hits["address"] = np.concatenate([address, stray])
    hits["tot"] = np.clip(np.rint(np.concatenate([tot, rng.integers(0, 300, stray.size)])), 0, 1023)
    return hits


def simulated_line(energy, per_pixel, seed, chunk=2_000_000):
    """Hits of a recording of one line from the simulated detector, kept as a calibration run keeps them: the
    single-pixel photons (a photon that shared its charge with a neighbour gave each of them less than its
    energy; the generator's particle index stands in for a clusterer here) and every noise hit."""
    from vrexsdk import simulator

    simulator.configure({"devices": [{"acquisition": {"source": {"lines_kev": [energy]}}}]})
    kept, total, round_ = [], 0, 0
    while total < per_pixel * P:
        hits, particle = simulator.generate_hits(chunk, seed=seed * 1000 + round_)
        round_ += 1
        photon = particle >= 0
        sizes = np.bincount(particle[photon], minlength=1)
        keep = ~photon | (sizes[np.maximum(particle, 0)] == 1)
        kept.append(hits[keep])
        total += int(keep.sum())
    return np.concatenate(kept)


def numpy_energies(cal, hits):
    """The same inversion in plain NumPy, float32 as the kernel computes it."""
    address = hits["address"]
    a, b, c, t = (getattr(cal, k).reshape(-1)[address] for k in "abct")
    tot = hits["tot"].astype(np.float32)
    return (tot - b + a * t + np.sqrt((b + a * t - tot) ** 2 + 4 * a * c)) / (2 * a)


def best(rounds, call):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--hits", type=int, default=4_000_000, help="hits timed per round")
    parser.add_argument("--block", type=int, default=65536, help="hits per call, as a delivery hands them over")
    parser.add_argument("--per-pixel", type=int, default=None,
                        help="mean hits per pixel in each line (default: 400 from the simulator, 150 from NumPy)")
    try:
        from vrexsdk import simulator
        default_source = "simulator" if hasattr(simulator, "generate_hits") else "numpy"
    except ImportError:
        default_source = "numpy"
    parser.add_argument("--source", choices=("simulator", "numpy"), default=default_source,
                        help=f"where the lines' hits come from (default: {default_source})")
    args = parser.parse_args()
    for line in base.machine_lines():
        print(line)

    rng = np.random.default_rng(2026)
    simulated = args.source == "simulator"
    if args.per_pixel is None:
        args.per_pixel = 400 if simulated else 150
    sharing = {}
    if simulated:
        from vrexsdk import simulator

        params = simulator.pixel_parameters()
        truth = {k: params[k].reshape(-1).astype(np.float64) for k in "abct"}
        dead, noisy = params["dead"].reshape(-1), params["noisy"].reshape(-1)
        # The simulated sensor's charge cloud and the model's threshold, as a user knows their own.
        threshold = simulator.model()["devices"][0]["thresholds"][0]["kev"]
        sharing = {"charge_cloud": 0.18, "threshold_kev": float(threshold)}

        def make_line(energy, per_pixel, seed):
            return simulated_line(energy, per_pixel, seed)
    else:
        truth, dead, noisy = chip(rng)

        def make_line(energy, per_pixel, seed):
            return line_hits(rng, truth, dead, noisy, energy, per_pixel)
    print(f"# hits from {'the simulated detector (single-pixel photons and noise)' if simulated else 'NumPy'}")
    true_cal = calibration.Calibration(**{k: v.reshape(256, 256) for k, v in truth.items()})

    # ---- apply ----
    hits = np.zeros(args.hits, calibration.HIT_DTYPE)
    hits["address"] = rng.integers(0, P, args.hits)
    hits["tot"] = rng.integers(20, 150, args.hits)  # 4 to 75 keV: the range of the lines
    blocks = [hits[i:i + args.block] for i in range(0, args.hits, args.block)]
    copies = [np.empty_like(b) for b in blocks]
    true_cal.energies(hits[:10])  # the inversion table, made once
    spectrum = calibration.EnergySpectrum.empty(1000, (0.0, 100.0))

    def each(work):
        return lambda: [work(i, b) for i, b in enumerate(blocks)]

    kernel = best(args.rounds, each(lambda i, b: true_cal.energies(b)))
    copy = best(args.rounds, each(lambda i, b: np.copyto(copies[i], b)))
    binned = best(args.rounds, each(lambda i, b: spectrum.add(true_cal, b)))
    plain = best(max(1, args.rounds // 2), each(lambda i, b: numpy_energies(true_cal, b)))
    whole = best(args.rounds, lambda: true_cal.energies(hits))
    # A block just delivered is in cache: the same block over and over, as many hits in all.
    block, block_copy = blocks[0], copies[0]
    again = range(len(blocks))
    cached = best(args.rounds, lambda: [true_cal.energies(block) for _ in again])
    cached_copy = best(args.rounds, lambda: [np.copyto(block_copy, block) for _ in again])
    agree = np.nanmax(np.abs(true_cal.energies(hits) - numpy_energies(true_cal, hits)))
    mhits = args.hits / 1e6
    print(f"\napply, {mhits:.0f} M hits of {hits.itemsize} bytes in blocks of {args.block}, one core, "
          f"best of {args.rounds}:")
    print(f"  kernel     {kernel * 1e3:8.2f} ms  {mhits / kernel:8.1f} Mhits/s   (target >= 200)")
    print(f"  copy       {copy * 1e3:8.2f} ms  {mhits / copy:8.1f} Mhits/s   kernel / copy  = {kernel / copy:.2f}"
          "   (memcpy of the records)")
    print(f"  NumPy      {plain * 1e3:8.2f} ms  {mhits / plain:8.1f} Mhits/s   NumPy / kernel = {plain / kernel:.1f}")
    print(f"  spectrum   {binned * 1e3:8.2f} ms  {mhits / binned:8.1f} Mhits/s   spectrum / copy = {binned / copy:.2f}"
          "   (binned, not kept)")
    print(f"  in cache   {cached * 1e3:8.2f} ms  {mhits / cached:8.1f} Mhits/s   kernel / copy  = "
          f"{cached / cached_copy:.2f}   (one block again and again; copy {mhits / cached_copy:.0f} Mhits/s)")
    print(f"  one call   {whole * 1e3:8.2f} ms  {mhits / whole:8.1f} Mhits/s   (all hits at once: a fresh "
          f"{args.hits * 4 >> 20} MiB result)")
    print(f"  largest difference kernel - NumPy: {agree:.2g} keV")

    # ---- fit ----
    recordings = {e: make_line(e, args.per_pixel, i + 1) for i, e in enumerate(LINES)}
    total = sum(len(h) for h in recordings.values())
    start = time.perf_counter()
    peaks = [calibration.line_peaks(e, h) for e, h in recordings.items()]
    found = time.perf_counter() - start
    start = time.perf_counter()
    result = calibration.fit(peaks, **sharing)
    fitted = time.perf_counter() - start
    cal = result.calibration
    live = ~(dead | noisy)
    print(f"\nfit, {P} pixels, {len(LINES)} lines, {total / 1e6:.1f} M hits:")
    print(f"  line peaks {found:7.1f} s")
    print(f"  fit        {fitted:7.1f} s   total {found + fitted:.1f} s   (target < 60)")
    print(f"  flagged: {int(result.dead.sum())} dead ({int(dead.sum())} made), {int(result.noisy.sum())} noisy "
          f"({int(noisy.sum())} made), {int(((cal.flags & calibration.UNFIT) != 0).sum())} unfit")
    print(f"  dead found exactly: {np.array_equal(result.dead.reshape(-1), dead)}, "
          f"noisy found exactly: {np.array_equal(result.noisy.reshape(-1), noisy)}")

    print("  line peaks against the truth (peak - full-charge ToT over the live pixels, as % of the line's energy):")
    for p in peaks:
        e = p.energy
        a, b, c, t = (truth[k][live] for k in "abct")
        offset = (p.peak.reshape(-1)[live] - (a * e + b - c / (e - t))) / (a + c / (e - t) ** 2) / e * 100
        print(f"    {e:5.2f} keV  median {np.nanmedian(offset):+6.2f} %   scatter {np.nanstd(offset):5.2f} %   "
              f"({int(np.median(p.counts.reshape(-1)[live]))} hits in a pixel's peak)")

    # ---- accuracy at 59.5 keV ----
    a, b, c, t = (truth[k][live] for k in "abct")
    true_tot = a * 59.5 + b - c / (59.5 - t)
    fa, fb, fc, ft = (getattr(cal, k).reshape(-1)[live].astype(np.float64) for k in "abct")
    with np.errstate(invalid="ignore"):
        recovered = (true_tot - fb + fa * ft + np.sqrt((fb + fa * ft - true_tot) ** 2 + 4 * fa * fc)) / (2 * fa)
    error = np.abs(recovered / 59.5 - 1)
    within = float(np.mean(error < 0.01))  # NaN (a live pixel flagged) counts as outside
    print(f"\naccuracy at 59.5 keV over {int(live.sum())} live pixels: {within * 100:.2f} % within 1 % "
          f"(target >= 99 %); median error {np.nanmedian(error) * 100:.3f} %")

    # ---- resolution ----
    am = make_line(59.5, max(1, args.per_pixel // 3), 99)
    per_pixel = cal.spectrum(am, bins=800, range=(20.0, 100.0))
    single = result.global_calibration.spectrum(am, bins=800, range=(20.0, 100.0))
    fwhm_pixel, fwhm_global = per_pixel.fwhm(59.5), single.fwhm(59.5)
    print(f"\nAm-241 59.5 keV line, {len(am) / 1e6:.1f} M hits:")
    print(f"  FWHM per-pixel calibration {fwhm_pixel:6.2f} keV ({fwhm_pixel / 59.5 * 100:.1f} %)")
    print(f"  FWHM global calibration    {fwhm_global:6.2f} keV ({fwhm_global / 59.5 * 100:.1f} %)"
          f"   global / per-pixel = {fwhm_global / fwhm_pixel:.2f}")
    load = os.getloadavg()
    print(f"\n# load average at end: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")


if __name__ == "__main__":
    main()
