"""Sustained event-file writing: record(events=...) to a file on tmpfs, against the floor of writing the same bytes
with ndarray.tofile, in one run.

The simulated device delivers blocks of 65,536 hits in mode "0:tpx3-dd-toa-tot" back to back ("burst") for
`--seconds`; record() reduces them natively and its sink copies every hit (address, ToA, ToT: 16 bytes) into the
bounded queue that the writer thread drains into HDF5. Printed: the input rate (bytes of hits delivered per
second), the blocks lost (the queue's bound is explicit: a block the writer could not take is counted), the peak
resident memory, and the floor: the same number of bytes written with ndarray.tofile to the same directory.

Targets: >= 1.3 GB/s (80 Mhits/s x 16 bytes) for 60 s with 0 lost blocks and a peak RSS under 512 MiB.

Run against a staged package: PYTHONPATH=build/stage python bench/events.py [--seconds S] [--dir /dev/shm]
   (--wait makes a full queue hold the SDK's thread instead of dropping: the writer's own sustained rate)
"""

import argparse
import os
import resource
import sys
import tempfile
import time

import numpy as np

from vrexsdk import simulator, vrex
from vrexsdk.record import record

HITS = 65536
BYTES_PER_HIT = 16


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir())
    parser.add_argument("--wait", action="store_true", help="back-pressure instead of drops")
    args = parser.parse_args()
    model = simulator.model()
    model["devices"][0]["acquisition"].update(blocks=[{"hits": HITS, "tdc": [1, 1, 1], "shutter": 4096}],
                                               burst=10**9)
    simulator.configure(model)
    folder = tempfile.mkdtemp(dir=args.dir)
    path = os.path.join(folder, "events.h5")
    device = vrex.Device()
    device.open("usb:vrex-sim-0")
    start = time.perf_counter()
    rec = record(device, "0:tpx3-dd-toa-tot", seconds=args.seconds, events=path,
                 on_full="wait" if args.wait else "drop", queue_bytes=128 << 20)
    elapsed = time.perf_counter() - start
    device.close()
    device.finalize()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    delivered = rec.hits * BYTES_PER_HIT
    size = os.path.getsize(path)
    os.remove(path)

    floor_bytes = min(delivered, 4 << 30)
    chunk = np.zeros(HITS * 4, np.uint32)  # one block's bytes
    floor_path = os.path.join(folder, "floor.bin")
    t0 = time.perf_counter()
    with open(floor_path, "wb") as f:
        for _ in range(max(1, floor_bytes // chunk.nbytes)):
            chunk.tofile(f)
        f.flush()
    floor = time.perf_counter() - t0
    written = max(1, floor_bytes // chunk.nbytes) * chunk.nbytes
    os.remove(floor_path)
    os.rmdir(folder)

    rate = delivered / rec.duration if rec.duration > 0 else 0.0
    floor_rate = written / floor
    load = os.getloadavg()
    print(f"{args.seconds:g} s requested ({elapsed:.1f} s with closing), {rec.blocks} blocks of {HITS} hits into "
          f"{args.dir}; load average {load[0]:.1f} on {os.cpu_count()} cores; on_full="
          f"{'wait' if args.wait else 'drop'}")
    print(f"  input     {rate / 1e9:6.2f} GB/s  ({rec.hits / rec.duration / 1e6:.0f} Mhits/s), file {size / 1e9:.2f} GB")
    print(f"  lost      {rec.lost_blocks} blocks")
    print(f"  peak RSS  {peak / 2**20:.0f} MiB")
    print(f"  tofile    {floor_rate / 1e9:6.2f} GB/s  (floor: the same bytes, one block per call)")
    print(f"  input / tofile  {rate / floor_rate:.2f}x;  target >= 1.3 GB/s, 0 lost, RSS < 512 MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
