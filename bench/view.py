"""The live view's cost to the acquisition, and the updates per second its pages get.

The simulated Timepix3 device delivers blocks of 8,192 hits in mode "0:tpx3-dd-toa-tot" back to back from its
worker thread (as fast as it can, far above a real chip's 80 Mhits/s) into the native stages the live view reads
(hit map, ToT and ToA histograms). Each round runs the same acquisition twice, side by side:

  alone   the viewer serving, no page connected (so no snapshot is ever taken)
  pages   the same, with two pages connected, each a separate process that reads every update message and
          decodes its header and arrays, as the page's script does

  throughput ratio = hits/s with two pages / hits/s alone         (target: at least 0.95)
  updates/s        = update messages each page received per second while the acquisition ran   (target: 20)

On a machine shared with other work the throughput ratio carries the scheduler's noise, so the CPU the view
itself used is measured too: the server's thread (snapshots, messages, sending) and the two page processes
(receiving and decoding), in core-seconds per second of acquisition.

The floor of an update is a plain NumPy copy of the bytes it carries (the uint32 image and histograms): the
message's cost over that floor is printed too. The two sides alternate within each round, so other work on the
machine hits both alike; every round's figures are printed, and the median of the rounds.

Run against an installed (or staged) package: python bench/view.py [--rounds R] [--blocks N] [--rate HZ]
"""

import argparse
import json
import os
import statistics
import struct
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _baselines as base  # noqa: E402
from vrexsdk import vrex  # noqa: E402

try:
    from vrexsdk import simulator
    from vrexsdk.view import Viewer, encode_update
except ImportError as e:
    raise SystemExit(f"{os.path.basename(__file__)} needs vrexsdk built with its simulated device library and "
                     f"aiohttp ({e})")

MODE = "0:tpx3-dd-toa-tot"
HITS = 8192
THROUGHPUT_TARGET, UPDATES_TARGET = 0.95, 20.0

# A page: connects, reads every message until told to stop (a line on stdin), prints each update's arrival time
# and the CPU time the process had used by then.
PAGE = r"""
import asyncio, json, struct, sys, time
import aiohttp
import numpy as np

async def main(url):
    stamps = []
    async with aiohttp.ClientSession() as session:
        async with session.ws_connect(url) as ws:
            print("connected", flush=True)
            stop = asyncio.ensure_future(asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline))
            while not stop.done():
                receive = asyncio.ensure_future(ws.receive())
                await asyncio.wait([receive, stop], return_when=asyncio.FIRST_COMPLETED)
                if not receive.done():
                    receive.cancel()
                    break
                message = receive.result()
                if message.type == aiohttp.WSMsgType.BINARY:
                    (n,) = struct.unpack_from("<I", message.data)
                    header = json.loads(message.data[4:4 + n])
                    for a in header["arrays"].values():
                        np.frombuffer(message.data, "<" + a["type"], a["length"], a["offset"]).max()
                    stamps.append((time.monotonic(), time.process_time()))
                elif message.type != aiohttp.WSMsgType.TEXT:
                    break
    print(json.dumps(stamps), flush=True)

asyncio.run(main(sys.argv[1]))
"""


def run(device, viewer, blocks_per_run):
    """One acquisition through the viewer's native stages; (hits per second, start, end)."""
    session = viewer._session
    start = time.monotonic()
    session.start(MODE)
    session._waiter.join()
    end = time.monotonic()
    hits = viewer.source.snapshot().events
    assert hits == blocks_per_run * HITS, (hits, blocks_per_run * HITS)
    return hits / (end - start), start, end


def thread_cpu(native_id):
    """CPU seconds a thread of this process has used (Linux: /proc)."""
    with open(f"/proc/self/task/{native_id}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def page_figures(stamps, start, end):
    """Updates per second a page received during [start, end], and the CPU seconds per second it used then."""
    inside = [(t, cpu) for t, cpu in stamps if start <= t <= end]
    if len(inside) < 2:
        return len(inside) / (end - start), float("nan")
    return len(inside) / (end - start), (inside[-1][1] - inside[0][1]) / (inside[-1][0] - inside[0][0])


def open_pages(url, count):
    pages = [subprocess.Popen([sys.executable, "-c", PAGE, url + "ws"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True) for _ in range(count)]
    for page in pages:
        assert page.stdout.readline().strip() == "connected"
    return pages


def close_pages(pages):
    stamps = []
    for page in pages:
        out, _ = page.communicate("stop\n", timeout=60)
        stamps.append(json.loads(out.strip().splitlines()[-1]))
    return stamps


def floor_per_update(rounds=200):
    """The cost of building one update message, and of a plain copy of the bytes it holds."""
    from vrexsdk.view import Series, Snapshot

    rng = np.random.default_rng(1)
    snap = Snapshot(kind="hits", image=rng.integers(0, 1000, (256, 256), dtype=np.uint64),
                    spectrum=Series("ToT", rng.integers(0, 1000, 1024, dtype=np.uint64)),
                    toa=Series("ToA", rng.integers(0, 1000, 1024, dtype=np.uint64)), blocks=1, events=1)
    message = np.frombuffer(encode_update(snap, {"running": True}), np.uint8)
    t0 = time.perf_counter()
    for _ in range(rounds):
        encode_update(snap, {"running": True})
    t1 = time.perf_counter()
    for _ in range(rounds):
        message.copy()
    t2 = time.perf_counter()
    return (t1 - t0) / rounds, (t2 - t1) / rounds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--blocks", type=int, default=40000, help=f"blocks of {HITS} hits per acquisition")
    parser.add_argument("--rate", type=float, default=25.0, help="the viewer's updates per second (default 25)")
    args = parser.parse_args()
    print("\n".join(base.machine_lines()))
    simulator.configure({"devices": [{"kind": "tpx3", "acquisition": {
        "burst": args.blocks, "blocks": [{"hits": HITS, "tdc": [2, 2, 2], "shutter": 4096}]}}]})
    device = vrex.Device()
    device.open(device.enumerate()[0].connectionString)
    alone, paged, update_rates, server_load, page_load = [], [], [], [], []
    with Viewer(device, port=0, rate=args.rate) as viewer:
        run(device, viewer, args.blocks)  # warm up: first allocations, page-ins
        for r in range(args.rounds):
            a, _, _ = run(device, viewer, args.blocks)
            pages = open_pages(viewer.url, 2)
            time.sleep(0.5)  # the pages are connected and receiving before the run starts
            server0 = thread_cpu(viewer._thread.native_id)
            p, start, end = run(device, viewer, args.blocks)
            server1 = thread_cpu(viewer._thread.native_id)
            stamps = close_pages(pages)
            figures = [page_figures(page, start, end) for page in stamps]
            rates = [rate for rate, _ in figures]
            server_load.append((server1 - server0) / (end - start))
            page_load.append(sum(cpu for _, cpu in figures))
            alone.append(a)
            paged.append(p)
            update_rates.append(min(rates))
            print(f"round {r + 1}: alone {a / 1e6:7.1f} Mhits/s, two pages {p / 1e6:7.1f} Mhits/s "
                  f"(ratio {p / a:.3f}), updates/s per page {', '.join(f'{x:.1f}' for x in rates)} "
                  f"over {end - start:.2f} s; CPU: server {server_load[-1]:.3f}, pages {page_load[-1]:.3f} core-s/s")
    device.close()
    device.finalize()
    encode, copy = floor_per_update()
    ratio = statistics.median(p / a for p, a in zip(paged, alone))
    updates = statistics.median(update_rates)
    print(f"# load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"median throughput: alone {statistics.median(alone) / 1e6:.1f} Mhits/s, with two pages "
          f"{statistics.median(paged) / 1e6:.1f} Mhits/s")
    print(f"throughput with two pages / alone: {ratio:.3f} (target >= {THROUGHPUT_TARGET}) "
          f"{'ok' if ratio >= THROUGHPUT_TARGET else 'BELOW TARGET'}")
    print(f"updates/s of all panels per page (slower page, median of rounds): {updates:.1f} at rate {args.rate:g} "
          f"(target >= {UPDATES_TARGET:g}) {'ok' if updates >= UPDATES_TARGET else 'BELOW TARGET'}")
    print(f"CPU of the view per second of acquisition (median): server thread {statistics.median(server_load):.3f}, "
          f"two pages {statistics.median(page_load):.3f} core-seconds")
    print(f"one update message (a 256 x 256 image of counts below 1000, two 1024-bin histograms): "
          f"{encode * 1e6:.0f} us to build, {encode / copy:.1f} x a copy of its bytes ({copy * 1e6:.0f} us)")


if __name__ == "__main__":
    main()
