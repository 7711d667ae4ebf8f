#!/usr/bin/env python3
"""Soak run: one acquisition at the highest generated rate (no pause between blocks, every block prepared anew)
for --seconds, with a callable that keeps nothing. Prints blocks delivered, resident memory at the start and the
end, and the bytes retained per block; exits 1 if more than --limit bytes per block stay resident.

    PYTHONPATH=build/stage python scripts/soak.py [--seconds 60] [--mode 0:tpx3-dd-toa-tot] [--hits 1000]"""

import argparse
import os
import sys
import threading
import time

from vrexsdk import simulator, vrex


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--mode", default="0:tpx3-dd-toa-tot")
    parser.add_argument("--hits", type=int, default=1000, help="hits per generated block")
    parser.add_argument("--limit", type=float, default=64.0, help="retained bytes per block that fail the run")
    args = parser.parse_args()

    model = simulator.model()
    for d in model["devices"]:
        d["acquisition"].update(block_count=10**12, hits=args.hits, frames=1, raw=16 * args.hits, interval_s=0.0)
    simulator.configure(model)
    delivered = [0]

    def on_block(*_):
        delivered[0] += 1

    with vrex.Device() as device:
        device.open(device.enumerate()[0].connectionString)
        device.chip.selectMode(args.mode)
        channel = device.acq.getChannelIds()[0]
        device.acq.setDataCallback(channel, on_block)
        device.acq.begin(channel)
        time.sleep(min(2.0, args.seconds / 10))  # the first blocks fill the pool; measure from a warm start
        start, start_blocks, t0 = resident_bytes(), delivered[0], time.monotonic()
        threading.Event().wait(max(0.0, args.seconds - (time.monotonic() - t0)))
        device.acq.abort(channel)
        elapsed = time.monotonic() - t0
        end, blocks = resident_bytes(), delivered[0] - start_blocks
    per_block = max(0, end - start) / max(1, blocks)
    print(f"mode {args.mode}, {args.hits} hits per block, {elapsed:.1f} s")
    print(f"blocks delivered: {blocks:,} ({blocks / elapsed:,.0f} per s)")
    print(f"resident memory: {start / 2**20:.1f} MiB at start, {end / 2**20:.1f} MiB at end")
    print(f"retained per block: {per_block:.2f} bytes")
    return 1 if per_block > args.limit else 0


if __name__ == "__main__":
    sys.exit(main())
