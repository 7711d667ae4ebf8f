"""Instructions per data delivery in every acquisition mode, against the zero-copy floor counted in the same run.

bench/delivery.py times deliveries; on a busy machine its figures move by tens of percent from run to run. This
counts the instructions instead, with valgrind's callgrind, which gives the same count for the same binary and
inputs whatever else the machine is doing, so two builds (or two commits) can be compared on any machine.

For every mode a child process delivers N blocks back to back from the simulated device's worker thread to
def f(*args): pass, and again M blocks, counting only the instructions run inside the engine's hand-over of a
block (the package's whole delivery with the engine's own bookkeeping); (I(N) - I(M)) / (N - M) is the count per
delivery, with what does not grow with the blocks (the first delivery's lazy set-up) left out. The same is done for the floor every
zero-copy delivery pays, vrexsdk._bench._wrap_floor (an SDK thread taking the GIL per call, building the same
arrays over the same memory from dtypes made once, calling f); "x wrap" is the package over that floor. The
package's count includes the simulated engine's own work per block (preparing and handing out the block, the
getters' bookkeeping), which the floor has none of.

    python bench/delivery_instructions.py [--deliveries N] [--modes MODE ...]

Needs valgrind on PATH and vrexsdk built with its simulated device library (installed or on PYTHONPATH).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from delivery import MODES  # noqa: E402

CHILD = r"""
import sys
import numpy as np
from vrexsdk import _bench, simulator, vrex
mode, kind, raw, which, n = sys.argv[1], sys.argv[2], sys.argv[3] == "1", sys.argv[4], int(sys.argv[5])
block = eval(sys.argv[6])

def f(*args):
    pass

def copy(value):
    if isinstance(value, np.ndarray):
        return value.copy()
    if isinstance(value, dict):
        return {k: copy(v) for k, v in value.items()}
    if isinstance(value, list):
        return [copy(v) for v in value]
    return value

def burst(count, func):
    simulator.configure({"devices": [{"kind": kind, "connection_string": "usb:counted",
                                      "acquisition": {"burst": count, "blocks": [block]}}]})
    device = vrex.Device()
    device.open("usb:counted")
    device.chip.selectMode(mode)
    channel = device.acq.getChannelIds()[0]
    (device.acq.setRawDataCallback if raw else device.acq.setDataCallback)(channel, func)
    device.acq.begin(channel)
    device.acq.end(channel)
    device.close()
    device.finalize()

if which == "package":
    burst(n, f)
else:
    captured = []
    burst(1, lambda *args: captured.append(tuple(copy(a) for a in args)))
    _bench._wrap_floor(f, captured[0], n)
"""


# Only what runs inside these is counted: the simulated engine handing one block to the registered function
# (the package's delivery and the engine's own bookkeeping), and the floor's loop on its SDK thread.
COLLECT = {
    "package": "vrexsim::engine::*::deliver(*",
    "floor": "std::_Function_handler<void (), (anonymous namespace)::timed_calls*",
}


def count(python, mode, kind, raw, which, n, block):
    # One BLAS thread: OpenBLAS's idle threads would otherwise add counts that depend on timing.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    with tempfile.TemporaryDirectory() as tmp:
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={os.path.join(tmp, 'out')}",
             f"--toggle-collect={COLLECT[which]}", python, "-c",
             CHILD, mode, kind, "1" if raw else "0", which, str(n), repr(block)],
            capture_output=True, text=True, env=env)
    found = re.search(r"Collected : (\d+)", result.stderr)
    if result.returncode != 0 or found is None:
        raise SystemExit(f"{mode} ({which}, {n} blocks) failed under valgrind:\n{result.stderr[-3000:]}")
    return int(found.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--deliveries", type=int, default=20_000,
                        help="blocks in the long burst; the short one has a tenth (default 20000)")
    parser.add_argument("--modes", nargs="*", help="modes to count (default: every mode of bench/delivery.py)")
    options = parser.parse_args()
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not on PATH")
    long_n = options.deliveries
    short_n = max(1, long_n // 10)
    if long_n - short_n < 10:
        parser.error("--deliveries must be at least 12")
    # The interpreter itself, not a launcher script (pyenv's shims are shell scripts valgrind would count).
    python = os.path.realpath(sys.executable)
    chosen = [m for m in MODES if not options.modes or m[0] in options.modes]
    print(f"# instructions per delivery: (I({long_n}) - I({short_n})) / {long_n - short_n}, callgrind, "
          f"{sys.implementation.name} {sys.version.split()[0]}")
    head = f"{'mode':<27}{'package':>10}{'wrap floor':>12}{'x wrap':>8}"
    print(head)
    print("-" * len(head))
    for mode, kind, _, block, raw, _ in chosen:
        per = {}
        for which in ("package", "floor"):
            counts = [count(python, mode, kind, raw, which, n, block) for n in (long_n, short_n)]
            per[which] = (counts[0] - counts[1]) / (long_n - short_n)
        print(f"{mode:<27}{per['package']:>10.0f}{per['floor']:>12.0f}{per['package'] / per['floor']:>8.2f}",
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
