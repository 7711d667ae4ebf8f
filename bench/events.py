"""Sustained event-file writing: record(events=...) to a file on tmpfs, against the floor of writing the same bytes
with ndarray.tofile, in one run.

The simulated device delivers blocks of 65,536 hits in mode "0:tpx3-dd-toa-tot" back to back ("burst") for
`--seconds`; record() reduces them natively and its sink copies every hit (address, ToA, ToT: 16 bytes) into the
bounded queue that the writer thread drains into HDF5. Printed: the input rate (bytes of hits delivered per
second), the blocks lost (the queue's bound is explicit: a block the writer could not take is counted), the peak
resident memory, the process's CPU time per GB (other processes on the machine slow the rate, less so this), and
the floor: the same number of bytes written with ndarray.tofile to the same directory.

With --parts, each side alone as well: the source (record() without an event file: the simulator's delivery and
the native reductions) and the writer (EventWriter.write on chunks a real sink made, held in memory, written over
and over with the writer's flushes): what limits the whole when both share the machine's cores.

Targets: >= 1.3 GB/s (80 Mhits/s x 16 bytes) for 60 s with 0 lost blocks and a peak RSS under 512 MiB.

Run against a staged package: PYTHONPATH=build/stage python bench/events.py [--seconds S] [--dir /dev/shm]
   (--wait makes a full queue hold the SDK's thread instead of dropping: the writer's own sustained rate)
"""

import argparse
import os
import resource
import sys
import tempfile
import threading
import time

import numpy as np

from vrexsdk import events, simulator, stages, vrex
from vrexsdk.record import record

HITS = 65536
BYTES_PER_HIT = 16
MODE = "0:tpx3-dd-toa-tot"


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def thread_cpu():
    """CPU seconds of each thread of this process so far, by native thread id (Linux; empty elsewhere)."""
    out = {}
    tick = os.sysconf("SC_CLK_TCK")
    try:
        tids = os.listdir("/proc/self/task")
    except OSError:
        return out
    for tid in tids:
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            out[int(tid)] = (int(fields[11]) + int(fields[12])) / tick  # utime, stime
        except (OSError, ValueError, IndexError):
            pass
    return out


class ThreadTimes:
    """The CPU time each thread spent during a recording, sampled from its progress callback (threads that end
    with the recording are gone when it returns): the writer's thread, the SDK's, and the rest."""

    def __init__(self):
        self.before = thread_cpu()
        self.latest = dict(self.before)
        self.writer = None

    def __call__(self, progress):
        self.latest.update(thread_cpu())
        if self.writer is None:
            self.writer = next((t.native_id for t in threading.enumerate() if t.name == "vrexsdk-event-writer"),
                               None)

    def split(self):
        spent = {tid: cpu - self.before.get(tid, 0.0) for tid, cpu in self.latest.items()}
        writer = spent.pop(self.writer, 0.0)
        python = {threading.main_thread().native_id} | {t.native_id for t in threading.enumerate()}
        others = sorted((cpu for tid, cpu in spent.items() if tid not in python), reverse=True)
        sdk = others[0] if others else 0.0  # the busiest thread that is no Python thread: the SDK's
        return writer, sdk, sum(spent.values()) - sdk


def configure(blocks=10**9):
    model = simulator.model()
    model["devices"][0]["acquisition"].update(blocks=[{"hits": HITS, "tdc": [1, 1, 1], "shutter": 4096}],
                                              burst=blocks)
    simulator.configure(model)


def opened():
    device = vrex.Device()
    device.open("usb:vrex-sim-0")
    return device


def closed(device):
    device.close()
    device.finalize()


def source_alone(seconds):
    """record() without an event file: GB/s of hits the source delivers and reduces."""
    configure()
    device = opened()
    rec = record(device, MODE, seconds=seconds)
    closed(device)
    return rec.hits * BYTES_PER_HIT / rec.duration


def writer_alone(folder, seconds, budget, chunk_events=131072):
    """EventWriter.write on chunks a real sink made (as record() makes them), over and over: wall GB/s and GB per
    CPU-second of the writer's thread."""
    configure(blocks=64)
    device = opened()
    device.chip.selectMode(MODE)
    queue = stages.ChunkQueue(1 << 30, "wait")
    pipe = stages.Pipeline(device, [stages.Sink(queue, chunk_events=4 * chunk_events)])
    device.acq.begin(pipe.channel)
    device.acq.end(pipe.channel)
    pipe.flush()
    queue.close()
    made = list(queue)
    closed(device)
    path = os.path.join(folder, "alone.h5")
    writer = events.EventWriter(path, MODE, stages.ChunkQueue(), chunk_events=chunk_events)
    written = 0
    start, cpu = time.perf_counter(), time.thread_time()
    last = start
    while time.perf_counter() - start < seconds and written < budget:
        for chunk in made:
            chunk = dict(chunk, blocks=chunk["blocks"] + np.uint64(written // (HITS * BYTES_PER_HIT)))
            writer.write(chunk)
            written += len(chunk["blocks"]) * HITS * BYTES_PER_HIT
            if time.perf_counter() - last >= 0.5:  # as the writer's thread flushes
                writer._flush()
                last = time.perf_counter()
    writer._flush()
    wall, cpu = time.perf_counter() - start, time.thread_time() - cpu
    writer.close()
    os.remove(path)
    return written / wall, written / cpu


def space_budget(folder, most_gb):
    """Bytes the run may write: half of what the directory and (for tmpfs) the memory have free, at most
    `most_gb`. 60 s at 1.3 GB/s is 78 GB, more than many machines' tmpfs or memory holds, and a tmpfs filled to
    the brim takes the memory from everything else on the machine."""
    fs = os.statvfs(folder)
    free = fs.f_bavail * fs.f_frsize
    try:
        with open("/proc/meminfo") as f:
            available = next(int(line.split()[1]) * 1024 for line in f if line.startswith("MemAvailable:"))
        free = min(free, available)
    except (OSError, StopIteration):
        pass
    return int(min(free // 2, most_gb * 1e9))


def floor_tofile(folder, nbytes):
    """Seconds and CPU-seconds to write `nbytes` with ndarray.tofile, one block's bytes per call."""
    chunk = np.zeros(HITS * 4, np.uint32)  # one block's bytes
    path = os.path.join(folder, "floor.bin")
    start, cpu = time.perf_counter(), cpu_seconds()
    with open(path, "wb") as f:
        for _ in range(max(1, nbytes // chunk.nbytes)):
            chunk.tofile(f)
        f.flush()
    elapsed, cpu = time.perf_counter() - start, cpu_seconds() - cpu
    os.remove(path)
    return max(1, nbytes // chunk.nbytes) * chunk.nbytes, elapsed, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir())
    parser.add_argument("--wait", action="store_true", help="back-pressure instead of drops")
    parser.add_argument("--parts", action="store_true", help="also the source alone and the writer alone")
    parser.add_argument("--max-gb", type=float, default=8.0,
                        help="stop once this much is written (and at half the free space of --dir and memory)")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(dir=args.dir)
    budget = space_budget(folder, args.max_gb)
    block_bytes = HITS * BYTES_PER_HIT

    # The floor first, into the same amount of space: on a virtual machine, memory that has not been touched for a
    # while can cost several times more to fill (the host hands its pages back in), so both write into the same.
    written, floor, floor_cpu = floor_tofile(folder, budget)

    configure()
    path = os.path.join(folder, "events.h5")
    device = opened()
    times = ThreadTimes()
    start, cpu = time.perf_counter(), cpu_seconds()
    rec = record(device, MODE, seconds=args.seconds, blocks=max(1, budget // block_bytes), events=path,
                 on_full="wait" if args.wait else "drop", queue_bytes=128 << 20, progress=times)
    elapsed, cpu = time.perf_counter() - start, cpu_seconds() - cpu
    closed(device)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    delivered = rec.hits * BYTES_PER_HIT
    size = os.path.getsize(path)
    os.remove(path)

    rate = delivered / rec.duration if rec.duration > 0 else 0.0
    floor_rate = written / floor
    load = os.getloadavg()
    limit = "" if rec.duration >= args.seconds * 0.99 else f", stopped at {budget / 1e9:.1f} GB (space: see --max-gb)"
    print(f"{args.seconds:g} s requested, {rec.duration:.1f} s recorded{limit} ({elapsed:.1f} s with closing), "
          f"{rec.blocks} blocks of {HITS} hits into {args.dir}; load average {load[0]:.1f} on {os.cpu_count()} "
          f"cores; on_full={'wait' if args.wait else 'drop'}")
    print(f"  input     {rate / 1e9:6.2f} GB/s  ({rec.hits / rec.duration / 1e6:.0f} Mhits/s), file {size / 1e9:.2f} GB")
    print(f"  lost      {rec.lost_blocks} blocks")
    print(f"  peak RSS  {peak / 2**20:.0f} MiB")
    print(f"  CPU       {cpu / (delivered / 1e9):6.2f} s per GB, all threads (tofile: {floor_cpu / (written / 1e9):.2f})")
    writer, sdk, rest = (t / (delivered / 1e9) for t in times.split())
    bound = min(1 / max(writer, sdk, 1e-9), 2 / max(writer + sdk + rest, 1e-9))
    print(f"  threads   writer {writer:.2f}, SDK's {sdk:.2f}, the rest {rest:.2f} CPU s per GB: at most "
          f"{bound:.2f} GB/s on 2 free cores (a bound from these, not a measurement)")
    print(f"  tofile    {floor_rate / 1e9:6.2f} GB/s  (floor: {written / 1e9:.1f} GB, one block per call)")
    print(f"  input / tofile  {rate / floor_rate:.2f}x;  target >= 1.3 GB/s, 0 lost, RSS < 512 MiB")
    if args.parts:
        parts = min(args.seconds, 10.0)
        print(f"  source alone  {source_alone(parts) / 1e9:6.2f} GB/s  (record() without an event file)")
        wall, per_cpu = writer_alone(folder, parts, budget)
        print(f"  writer alone  {wall / 1e9:6.2f} GB/s, {per_cpu / 1e9:.2f} GB per CPU-second  "
              f"(EventWriter.write on chunks a sink made)")
    os.rmdir(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
