"""Clustering rate of vrexsdk.clusters on mixed-particle hits, against floors measured in the same run.

The hits are made here with NumPy: X-ray photons (1-4 pixels), electrons (curly tracks), minimum-ionising
tracks (straight, at an angle) and alphas (round blobs), placed at random on a 256 x 256 matrix at a given hit
rate (default 80 Mhits/s, Timepix3's top rate) with ToA ticks of TICK_NS and a time walk within each particle,
and delivered out of ToA order by up to a few microseconds, as data-driven read-out does. Each hit keeps the
index of its particle (the ground truth).

Printed, best of several rounds, each rate both by the wall clock and by the CPU time the working threads got
(time.thread_time: on a loaded machine the wall-clock rate says how much of a core the run was given, the CPU-time
rate what the code does with it):
  clusterer   Clusterer.push over 64k-hit blocks (default window), Mhits/s, one core
  simulator   the same on vrexsdk.simulator.generate_hits data (mixed particles, overlapping), if the module is there
  in order    both again with the hits given already in ToA order: the loop over the grid without the sort that
              out-of-order read-out needs (an upper bound of what a faster sort could give)
  two cores   two streams (two channels) on two threads at once: aggregate Mhits/s and the ratio to one
  memcpy      copying the same bytes (np.copyto), the floor any pass over the hits costs
  scipy       scipy.ndimage.label (8-connected) of the hits binned into frames one window long, Mhits/s
  brute force the tests' reference (all pairs, union-find) on a small sample, Mhits/s
  share       the clusterer's share of one core at 80 Mhits/s
  truth       particles recovered as exactly one cluster (and clusters holding one particle only) for
              particles apart in space-time and for the full-rate mix where they may overlap; on the simulator's
              particles at radius 1 and 2, also among the particles whose own hits are one cluster (a track cut
              by a dead pixel is two at radius 1, whatever the clusterer), and for particles apart on a
              detector without dead pixels (the model's dead_pixels 0)
  load        the load average at the start and at the end (2 CPUs: above 2, the wall-clock rates understate)

  memory      with --memory [SECONDS] (only this): the clusters stage on the simulated device for 60 s at
              80 Mhits/s, the peak RSS at the start, the middle and the end

Run against an installed (or staged) package: python bench/clusters.py [--hits N] [--rounds R] [--memory [S]]
"""

import argparse
import os
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import _baselines as base  # noqa: E402
from vrexsdk import clusters  # noqa: E402

BLOCK = 65536
TARGET = 40e6  # hits/s on one core
RATE = 80e6  # hits/s of one Timepix3 chip at full rate


def shapes(rng, kind, count):
    """Pixel offsets, ToT and time walk (ticks) of `count` particles of `kind`."""
    out = []
    for _ in range(count):
        if kind == "photon":
            pts = [(0, 0)]
            for _ in range(int(rng.integers(0, 4))):
                pts.append((pts[-1][0] + int(rng.integers(-1, 2)), pts[-1][1] + int(rng.integers(-1, 2))))
        elif kind == "electron":
            a, x, y, pts = rng.uniform(0, 2 * np.pi), 0.0, 0.0, []
            for _ in range(int(rng.integers(8, 30))):
                a += rng.normal(0, 0.6)
                x, y = x + np.cos(a), y + np.sin(a)
                pts.append((round(x), round(y)))
        elif kind == "mip":
            a, n = rng.uniform(0, np.pi), int(rng.integers(10, 40))
            pts = [(round(s * np.cos(a)), round(s * np.sin(a))) for s in np.linspace(0, n, 2 * n)]
        else:
            r = rng.uniform(2.5, 5)
            pts = [(dx, dy) for dx in range(-5, 6) for dy in range(-5, 6) if dx * dx + dy * dy <= r * r]
        pts = np.unique(np.array(pts), axis=0)
        tot = rng.integers(5, 200 if kind != "alpha" else 1000, len(pts))
        walk = (60 * np.exp(-tot / 40.0) + rng.integers(0, 8, len(pts))).astype(np.int64)
        out.append((pts, tot, walk))
    return out


def generate(n, rate=RATE, seed=1, apart=False):
    """n-ish hits of mixed particles at `rate` hits/s; with `apart`, particles follow each other in time far enough
    that none can touch. Returns the hits in read-out order and each hit's particle index."""
    rng = np.random.default_rng(seed)
    pool = {k: shapes(rng, k, 300) for k in ("photon", "electron", "mip", "alpha")}
    kinds = rng.choice(list(pool), size=n, p=[0.55, 0.2, 0.15, 0.1])
    chosen = [pool[k][int(rng.integers(0, 300))] for k in kinds]
    sizes = np.array([len(c[0]) for c in chosen])
    count = int(np.searchsorted(np.cumsum(sizes), n)) + 1
    chosen, sizes = chosen[:count], sizes[:count]
    tick_s = clusters.TICK_NS * 1e-9
    if apart:
        start = np.arange(count, dtype=np.int64) * 1000
    else:
        start = np.sort(rng.uniform(0, sizes.sum() / rate / tick_s, count)).astype(np.int64)
    pts = np.concatenate([c[0] for c in chosen])
    particle = np.repeat(np.arange(count), sizes)
    x0, y0 = rng.integers(5, 251, count), rng.integers(5, 251, count)
    x, y = np.clip(pts[:, 0] + x0[particle], 0, 255), np.clip(pts[:, 1] + y0[particle], 0, 255)
    hits = np.empty(len(particle), clusters.HIT_DTYPE)
    hits["address"] = y * 256 + x
    hits["tot"] = np.concatenate([c[1] for c in chosen])
    hits["toa"] = start[particle] + np.concatenate([c[2] for c in chosen]) + 10_000
    # Read-out order: by ToA, give or take up to 2 us.
    order = np.argsort(hits["toa"] + rng.integers(0, int(2000 / clusters.TICK_NS), len(hits)), kind="stable")
    return hits[order], particle[order]


def stream_rate(hits, streams=1):
    """(wall-clock rate, CPU-time rate) of `streams` Clusterers, each on its own thread over all of `hits`."""
    blocks = [hits[i:i + BLOCK] for i in range(0, len(hits), BLOCK)]

    def run(out, k):
        c = clusters.Clusterer()
        t = time.thread_time()
        for b in blocks:
            c.push(b)
        c.flush()
        out[k] = time.thread_time() - t

    cpu = [0.0] * streams
    threads = [threading.Thread(target=run, args=(cpu, k)) for k in range(streams)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return streams * len(hits) / (time.perf_counter() - start), streams * len(hits) / sum(cpu)


def best(f, rounds):
    """The best wall-clock and the best CPU-time rate of `rounds` runs of f."""
    runs = [f() for _ in range(rounds)]
    return max(r[0] for r in runs), max(r[1] for r in runs)


def scipy_rate(hits):
    from scipy import ndimage

    window = round(clusters.DEFAULT_WINDOW_NS / clusters.TICK_NS)
    start = time.perf_counter()
    frames = (hits["toa"] - hits["toa"].min()) // window
    order = np.argsort(frames, kind="stable")
    cuts = np.flatnonzero(np.diff(frames[order])) + 1
    image = np.zeros((256, 256), np.uint8)
    for part in np.split(hits["address"][order], cuts):
        image.ravel()[part] = 1
        ndimage.label(image, structure=np.ones((3, 3)))
        image.ravel()[part] = 0
    return len(hits) / (time.perf_counter() - start)


def truth(hits, particle):
    """Shares of particles found as exactly one cluster, and of clusters holding one particle only."""
    _, labels = clusters.cluster(hits, labels=True)
    pairs = np.unique(np.stack([particle, labels]), axis=1)
    per_particle = np.bincount(pairs[0])
    per_cluster = np.bincount(pairs[1])
    alone = per_cluster[pairs[1]] == 1  # the particle's cluster holds no other particle
    exact = np.zeros(per_particle.size, bool)
    exact[pairs[0][alone & (per_particle[pairs[0]] == 1)]] = True
    return exact.mean(), (per_cluster == 1).mean()


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--hits", type=int, default=4_000_000)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--memory", type=float, metavar="SECONDS", nargs="?", const=60.0,
                   help="only the memory run: the clusters stage on the simulated device for SECONDS (60)")
    args = p.parse_args()
    print("\n".join(base.machine_lines()))
    if args.memory is not None:
        memory_run(args.memory)
        return
    hits, particle = generate(args.hits)
    print(f"# {len(hits)} hits of {particle.max() + 1} particles at {RATE / 1e6:.0f} Mhits/s, blocks of {BLOCK}")
    one, one_cpu = best(lambda: stream_rate(hits), args.rounds)
    two, two_cpu = best(lambda: stream_rate(hits, 2), args.rounds)
    copy = np.empty_like(hits)
    memcpy, memcpy_cpu = best(lambda: _copy_rate(copy, hits), args.rounds)
    sample = hits[:1500]
    import test_clusters  # the tests' brute-force reference

    t = _timed(lambda: test_clusters.reference(sample, window=round(clusters.DEFAULT_WINDOW_NS / clusters.TICK_NS)))
    brute = len(sample) / t
    sp = scipy_rate(hits[:200_000])
    print(f"clusterer    {one / 1e6:8.1f} Mhits/s one core, {one_cpu / 1e6:.1f} by CPU time   ({one / TARGET:.2f} x, "
          f"by CPU time {one_cpu / TARGET:.2f} x the {TARGET / 1e6:.0f} Mhits/s target)")
    print(f"memcpy       {memcpy / 1e6:8.1f} Mhits/s, {memcpy_cpu / 1e6:.1f} by CPU time   "
          f"({memcpy / one:.1f} x, by CPU time {memcpy_cpu / one_cpu:.1f} x the clusterer)")
    try:
        from vrexsdk import simulator
    except ImportError:
        simulator = None
    if simulator is not None:
        mix = {"photon": 1, "electron": 1, "mip": 1, "alpha": 1}
        sim, _ = simulator.generate_hits(args.hits, seed=2, particles=mix, overlap=True)
        rate, rate_cpu = best(lambda: stream_rate(sim), args.rounds)
        print(f"simulator    {rate / 1e6:8.1f} Mhits/s one core, {rate_cpu / 1e6:.1f} by CPU time on "
              f"{len(sim)} simulated hits ({rate_cpu / one_cpu:.2f} x the mix above by CPU time)")
    cases = [("mix", hits, one_cpu)] + ([("simulator", sim, rate_cpu)] if simulator is not None else [])
    for label, h, unsorted_cpu in cases:
        in_order = h[np.argsort(h["toa"], kind="stable")]
        _, cpu = best(lambda h=in_order: stream_rate(h), args.rounds)
        print(f"in order     {cpu / 1e6:8.1f} Mhits/s by CPU time on the {label}'s hits already in ToA order "
              f"({cpu / unsorted_cpu:.2f} x the same out of order, {cpu / TARGET:.2f} x the target: the loop "
              f"without the sort)")
    print(f"two cores    {two / 1e6:8.1f} Mhits/s two streams ({two / one:.2f} x one core by the wall clock; target "
          f"1.8 x; by CPU time each stream runs {two_cpu / one_cpu:.2f} x as fast as one alone)")
    print(f"scipy        {sp / 1e6:8.3f} Mhits/s ndimage.label per window-long frame ({one / sp:.0f} x slower)")
    print(f"brute force  {brute / 1e6:8.4f} Mhits/s all pairs + union-find on {len(sample)} hits "
          f"({one / brute:.0f} x slower)")
    print(f"share        {RATE / one:8.1%} of one core at {RATE / 1e6:.0f} Mhits/s ({RATE / one_cpu:.1%} by CPU time)")
    for label, apart in (("apart", True), ("full rate", False)):
        h, part = generate(min(args.hits, 1_000_000), apart=apart, seed=2)
        eff, pur = truth(h, part)
        print(f"truth        {label:9}: {eff:.4%} of particles as exactly one cluster, {pur:.4%} of clusters pure")
    if simulator is not None:
        for overlap, dead in ((False, None), (False, 0.0), (True, None)):
            if dead is not None:
                simulator.configure({"devices": [{"acquisition": {"dead_pixels": dead}}]})
            h, part = simulator.generate_hits(min(args.hits, 500_000), seed=2, particles=mix, overlap=overlap)
            simulator.reset()
            for r in (1, 2):
                labels = clusters.cluster(h, labels=True, radius=r)[1]
                # A track cut by a dead pixel (or leaving the matrix and coming back) is two clusters at
                # radius 1 whatever the clusterer: the second figure counts the particles whose own hits are one.
                whole = test_clusters.recoverable(h, part, radius=r)
                print(f"simulator    overlap={overlap!s:5} {'no dead pixels' if dead == 0 else 'dead pixels'} "
                      f"radius {r}: "
                      f"{test_clusters.exact_share(part, labels):.4%} of particles as exactly one cluster; "
                      f"{test_clusters.exact_share(part, labels, whole):.4%} of the {whole.mean():.4%} whose hits "
                      f"alone are one cluster")
    load = os.getloadavg()
    print(f"# load average at the end: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")


def memory_run(seconds):
    """The clusters stage on the SDK's thread for `seconds` of the simulated device's mixed particles at 80 Mhits/s
    (blocks of BLOCK hits from a pool prepared at begin, their ToA moved on at every pass, so the clusterer sees
    an endless stream), delivered as fast as the stage takes them: the peak RSS at the start, the middle and the
    end, and the clusters still held (open, pending), which the window bounds."""
    import resource

    from vrexsdk import errors, simulator, stages, vrex

    def peak_mib():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux

    simulator.configure({"devices": [{"acquisition": {
        "hits": BLOCK, "hit_rate": RATE, "duration_s": seconds, "pool": 16, "seed": 1,
        "particles": {"photon": 1, "electron": 1, "mip": 1, "alpha": 1}}}]})
    print(f"# memory run: clusters stage for {seconds:g} s at up to {RATE / 1e6:.0f} Mhits/s, blocks of {BLOCK}")
    with vrex.Device() as device:
        device.open(device.enumerate()[0].connectionString)
        device.chip.selectMode("0:tpx3-dd-toa-tot")
        with stages.Pipeline(device, [stages.Clusters()]) as pipe:
            marks = {"start": 0.05 * seconds, "middle": 0.5 * seconds, "end": 0.98 * seconds}
            started = time.perf_counter()
            device.acq.begin(pipe.channel)
            for label, at in marks.items():
                time.sleep(max(0.0, at - (time.perf_counter() - started)))
                snap = pipe.snapshot()
                c = snap["clusters"]
                elapsed = time.perf_counter() - started
                print(f"memory       {label:6} {elapsed:5.1f} s: peak RSS {peak_mib():7.1f} MiB, "
                      f"{snap.hits / 1e6:8.1f} Mhits ({snap.hits / elapsed / 1e6:5.1f} Mhits/s), "
                      f"{c['clusters'] / 1e6:7.2f} M clusters, open {c['open']}, pending {c['pending']}, "
                      f"late {c['late']}, lost blocks {snap.lost_blocks}")
            # The device would go on delivering what 80 Mhits/s make in `seconds`, at the stage's own pace: stopped.
            device.acq.abort(pipe.channel)
            try:
                device.acq.end(pipe.channel)
            except errors.VrexSdkInvalidOperationError:
                pass  # nothing left to wait for after the abort
            pipe.flush()
            c = pipe.snapshot()["clusters"]
            print(f"memory       after the end: peak RSS {peak_mib():7.1f} MiB, open {c['open']}, pending {c['pending']}")
    simulator.reset()


def _copy_rate(copy, hits):
    wall, cpu = time.perf_counter(), time.thread_time()
    np.copyto(copy, hits)
    cpu, wall = time.thread_time() - cpu, time.perf_counter() - wall
    return len(hits) / wall, len(hits) / max(cpu, 1e-9)


def _timed(f):
    t = time.perf_counter()
    f()
    return time.perf_counter() - t


if __name__ == "__main__":
    main()
