"""Instructions per call of the identifier lists, against the call floor counted in the same run.

bench/calls.py times the calls; on a busy machine its figures move by tens of percent. This counts instructions
with valgrind's callgrind instead, the same for the same binary and inputs whatever else the machine is doing.

For each case a child process makes N calls and, separately, M calls; (I(N) - I(M)) / (N - M) is the count per
call, with start-up and imports left out. The cases:

  loop          the timing loop itself (`pass`), taken off every other figure
  floor         vrexsdk._bench._noop("Vfbk"): one str argument encoded, the GIL released and retaken around an
                SDK call that does nothing (the floor of bench/calls.py)
  getChipIds    chip.getChipIds() on the default Timepix3 device (two chips: a count and two identifiers)
  by name       the same list on an instance whose private methods must be looked up by name (a subclass instance
                with an attribute of its own): the path every call took before the direct one

    python bench/calls_instructions.py [--calls N]

Needs valgrind on PATH and vrexsdk built with its simulated device library (installed or on PYTHONPATH).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

CHILD = r"""
import sys
from vrexsdk import _bench, chip, vrex
case, n = sys.argv[1], int(sys.argv[2])
device = vrex.Device()
device.open(device.enumerate()[0].connectionString)
c = device.chip
if case == "by name":
    ctx = next(o for o in __import__("gc").get_referents(c) if type(o).__name__ == "_Context")
    c = type("Sub", (chip.__Chip,), {})(ctx)
    c.note = "an attribute of its own: the private methods are looked up by name"
assert c.getChipIds() == device.chip.getChipIds()
f = {"loop": None, "floor": _bench._noop, "getChipIds": c.getChipIds, "by name": c.getChipIds}[case]
if case == "loop":
    for _ in range(n):
        pass
elif case == "floor":
    for _ in range(n):
        f("Vfbk")
else:
    for _ in range(n):
        f()
device.close()
device.finalize()
"""

CASES = ["loop", "floor", "getChipIds", "by name"]


def instructions(case, calls, workdir):
    out = os.path.join(workdir, "callgrind.out")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", CHILD,
                    case, str(calls)], check=True, capture_output=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    with open(out) as f:
        summary = re.search(r"^summary:\s+(\d+)", f.read(), re.M)
    os.unlink(out)
    return int(summary.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=20000, help="calls in the larger run (default 20000)")
    options = parser.parse_args()
    if shutil.which("valgrind") is None:
        sys.exit("needs valgrind on PATH")
    n, m = options.calls, options.calls // 2
    per_call = {}
    with tempfile.TemporaryDirectory() as workdir:
        for case in CASES:
            per_call[case] = (instructions(case, n, workdir) - instructions(case, m, workdir)) / (n - m)
    loop = per_call["loop"]
    floor = per_call["floor"] - loop
    print(f"# instructions per call, net of the loop ({loop:.0f}); {n} and {m} calls per case")
    print(f"{'case':<14}{'instructions':>14}{'x floor':>10}")
    for case in CASES[1:]:
        net = per_call[case] - loop
        print(f"{case:<14}{net:>14.0f}{net / floor:>10.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
