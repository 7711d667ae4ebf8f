"""Reductions on the native path against the same work in Python, and the copy floor, in one run.

The simulated device delivers blocks of 65,536 hits in mode "0:tpx3-dd-toa-tot" back to back ("burst": the same
prepared block again and again). Each contender reduces them to a hit map, a ToT histogram and a ToA histogram:

  native    vrexsdk.stages: HitMap, TotHistogram, ToaHistogram on the SDK's thread, no GIL
  bincount  a Python callable doing three np.bincount calls per block (the fastest plain-NumPy callable)
  python    the reduction record() did in Python before the native path (its accumulators, in a callable)
  memcpy    the floor: copying the same bytes (one block, 16 bytes a hit) with np.copyto, per block

Each figure is the best of several rounds of N blocks, in Mhits/s; the ratios are taken within this run.
Targets: native >= 320 Mhits/s, >= 4x python, >= 1.5x bincount.

Run against a staged package: PYTHONPATH=build/stage python bench/stages.py [--blocks N] [--rounds R]
"""

import argparse
import os
import sys
import time

import numpy as np

from vrexsdk import simulator, stages, vrex

MODE = "0:tpx3-dd-toa-tot"
HITS = 65536


def configure(blocks):
    model = simulator.model()
    acq = model["devices"][0]["acquisition"]
    acq.update(blocks=[{"hits": HITS, "tdc": [2, 2, 2], "shutter": 4096}], burst=blocks)
    simulator.configure(model)


def timed(device, attach):
    """Seconds from begin to end of one burst acquisition with the registration `attach` makes."""
    keep = attach(device)
    start = time.perf_counter()
    device.acq.begin("ch0")
    device.acq.end("ch0")
    elapsed = time.perf_counter() - start
    del keep
    return elapsed


def native(device):
    return stages.Pipeline(device, [stages.HitMap(), stages.TotHistogram(), stages.ToaHistogram()])


def bincount(device):
    state = {"map": np.zeros(65536, np.int64), "tot": np.zeros(1024, np.int64), "toa": np.zeros(1024, np.int64),
             "origin": None}

    def reduce(records, metadata):
        toa = records["toa"]
        if state["origin"] is None:
            state["origin"] = int(toa.min())
        state["map"] += np.bincount(records["address"], minlength=65536)[:65536]
        state["tot"] += np.bincount(np.minimum(records["tot"], 1023), minlength=1024)
        state["toa"] += np.bincount(np.minimum((toa - state["origin"]) >> 10, 1023), minlength=1024)

    device.acq.setDataCallback("ch0", reduce)
    return reduce


class _Accumulator:
    """The Python accumulator record() used (adaptive bins, under- and overflow), as it was."""

    def __init__(self, bins, width=1, origin=0, adaptive=False):
        self.counts = np.zeros(bins, dtype=np.uint64)
        self.width, self.origin, self.adaptive = width, origin, adaptive
        self.underflow = self.overflow = 0

    def add(self, values):
        if values.size == 0:
            return
        values = values.astype(np.uint64, copy=False)
        if self.origin is None:
            self.origin = int(values.min())
        origin = np.uint64(self.origin)
        below = values < origin
        if below.any():
            self.underflow += int(below.sum())
            values = values[~below]
        offsets = values - origin
        bins = len(self.counts)
        if self.adaptive:
            span = int(offsets.max())
            while span >= bins * self.width:
                merged = self.counts.reshape(-1, 2).sum(axis=1, dtype=np.uint64)
                self.counts = np.concatenate([merged, np.zeros(bins - len(merged), dtype=np.uint64)])
                self.width *= 2
        index = offsets // np.uint64(self.width)
        inside = index < np.uint64(bins)
        if not inside.all():
            self.overflow += int((~inside).sum())
            index = index[inside]
        self.counts += np.bincount(index.astype(np.intp), minlength=bins).astype(np.uint64)


def python(device):
    import threading

    lock = threading.Lock()
    state = {"map": np.zeros((256, 256), np.uint64)}
    tot, toa = _Accumulator(1024), _Accumulator(1024, origin=None, adaptive=True)

    def reduce(records, metadata):
        with lock:
            addresses = records["address"].astype(np.int64, copy=False)
            inside = addresses < 65536
            counts = np.bincount(addresses[inside], minlength=65536)
            state["map"] += np.rint(counts).astype(np.uint64).reshape(256, 256)
            tot.add(records["tot"])
            toa.add(records["toa"])

    device.acq.setDataCallback("ch0", reduce)
    return reduce


def memcpy_seconds(blocks):
    src = np.random.default_rng(1).integers(0, 2**32, HITS * 4, dtype=np.uint32)
    dst = np.empty_like(src)
    start = time.perf_counter()
    for _ in range(blocks):
        np.copyto(dst, src)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--blocks", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    configure(args.blocks)
    device = vrex.Device()
    device.open("usb:vrex-sim-0")
    device.chip.selectMode(MODE)
    contenders = {"native": native, "bincount": bincount, "python": python}
    best = {name: float("inf") for name in (*contenders, "memcpy")}
    for _ in range(args.rounds):  # interleaved, so load changes hit every contender alike
        for name, attach in contenders.items():
            best[name] = min(best[name], timed(device, attach))
        best["memcpy"] = min(best["memcpy"], memcpy_seconds(args.blocks))
    device.close()
    device.finalize()
    hits = args.blocks * HITS
    rate = {name: hits / seconds / 1e6 for name, seconds in best.items()}
    load = os.getloadavg()
    print(f"{args.blocks} blocks of {HITS} hits, best of {args.rounds} rounds; load average {load[0]:.1f} "
          f"on {os.cpu_count()} cores")
    for name in ("native", "bincount", "python", "memcpy"):
        print(f"  {name:9s} {rate[name]:9.1f} Mhits/s   {best[name] / args.blocks * 1e6:8.1f} us/block")
    print(f"  native / python   {rate['native'] / rate['python']:6.2f}x  (target >= 4)")
    print(f"  native / bincount {rate['native'] / rate['bincount']:6.2f}x  (target >= 1.5)")
    print(f"  native / memcpy   {rate['native'] / rate['memcpy']:6.2f}x  (the copy of the same bytes)")
    print(f"  native {rate['native']:.0f} Mhits/s (target >= 320)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
