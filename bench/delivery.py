"""Fixed cost of one data delivery in every acquisition mode, against two baselines measured in the same run.

The delivered arrays are views of the SDK's buffers, so what a delivery costs does not grow with the data: it
is the fixed work per block (taking the GIL on the SDK's thread, building the arrays and the metadata dict,
calling the callable). For every mode the simulated device delivers one small prepared block N times back to
back from its worker thread to a trivial callable, def f(*args): pass, and this prints the time per delivery
against:

  floor   vrexsdk._bench._call_floor(f, args, N): a thread of the SDK takes the GIL once and calls the same f
          with the same number of prebuilt arguments of the same kinds (copies of what the mode delivers: arrays
          of the same dtypes and lengths, and the metadata dict where the mode has one) N times.
  floor+GIL  the same, but the thread takes and releases the GIL around each call (keeping its thread state),
          which any delivery from an SDK thread must do; shown for information: it separates the interpreter's
          GIL handoff from the package's own work.
  floor+wrap  vrexsdk._bench._wrap_floor(f, args, N): what any zero-copy delivery must pay: the SDK thread takes
          the GIL per call (keeping its thread state), builds the same arrays over the same memory from dtypes
          made once (and the metadata dict where the mode has one) and calls f. The goal is at most 1.25x of it.
  ctypes  a ctypes binding of the same library (bench/_baselines.py): a CFUNCTYPE data callback that calls the
          same getters through ctypes, checks their statuses, wraps the buffers with NumPy and calls the same f
          with the same arguments; begin and end through ctypes. Its arguments are checked against the package's
          before anything is timed.

Time per delivery is (T(N blocks) - T(1 block)) / (N - 1) from twin devices, so the fixed cost of begin and end
(worker start, block preparation, join) is left out. The engine's own cost per block, delivering to a native
function with no Python (see _baselines.native_delivery; one getter call, where the package makes two to nine
of a few ns each), is printed too, and the "net" column gives the package's time less that cost against the
floor: the floor has no engine work in it.

Targets: at most 3x the floor for the modes that pass one array (frames, raw bytes, sums, sequential records),
at most 6x for the modes that pass several arrays (the vector modes, binned packets) or the metadata dict (the
data-driven modes); at least 10x faster than the ctypes binding in every mode.

Times are the best of several rounds; each round measures every case once, in turn, so that drift on a busy
machine hits all cases alike.

Run against an installed (or staged) package: python bench/delivery.py [--rounds R] [--deliveries N]
"""

import argparse
import gc
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _baselines as base  # noqa: E402
from vrexsdk import vrex  # noqa: E402

try:
    from vrexsdk import _bench, simulator
except ImportError as e:  # built against a real SDK: there is no simulated device to drive
    raise SystemExit(f"{os.path.basename(__file__)} needs vrexsdk built with its simulated device library ({e})")

HITS = 4
DD_BLOCK = {"hits": HITS, "tdc": [2, 2, 2], "shutter": 4096}

# mode, device kind, delivery of the ctypes binding, block, raw registration, floor target
MODES = [
    ("0:tpx3-seq-toa-tot", "tpx3", "seq-toa-tot", {"hits": HITS}, False, 3.0),
    ("0:tpx3-seq-toa-tot-vec", "tpx3", "seq-toa-tot-vec", {"hits": HITS}, False, 6.0),
    ("0:tpx3-seq-itot-event", "tpx3", "seq-itot-event", {"hits": HITS}, False, 3.0),
    ("0:tpx3-seq-itot-event-vec", "tpx3", "seq-itot-event-vec", {"hits": HITS}, False, 6.0),
    ("0:tpx3-dd-toa-tot-vec", "tpx3", "dd-toa-tot-vec", DD_BLOCK, False, 6.0),
    ("0:tpx3-dd-toa-tot", "tpx3", "dd-toa-tot", DD_BLOCK, False, 6.0),
    ("0:tpx3-sorted-dd-toa-tot", "tpx3", "dd-toa-tot", DD_BLOCK, False, 6.0),
    ("0:tpx-medipix", "tpx", "frames", {"frames": 1}, False, 3.0),
    ("0:raw-data", "tpx3", "raw", {"raw": 64}, True, 3.0),
    ("0:tpx3-binned-packets", "tpx3", "binned-packets",
     {"packets": HITS, "descriptors": 2, "hit_sums": 2, "itot_sums": 2}, False, 6.0),
    ("0:tpx3-binned-count-sums", "tpx3", "count-sums", {"hit_sums": 2}, False, 3.0),
    ("0:tpx3-binned-itot-sums", "tpx3", "itot-sums", {"itot_sums": 2}, False, 3.0),
]
ENGINE_MODE = "0:tpx3-dd-toa-tot"
SPEEDUP_TARGET = 10.0
WRAP_TARGET = 1.25


def f(*args):
    pass


# ---- what a delivery passes ----------------------------------------------------------------------------------------


def snapshot(value):
    """A copy of a delivered argument (the arrays view SDK memory only during the call)."""
    if isinstance(value, np.ndarray):
        return value.copy()
    if isinstance(value, dict):
        return {key: snapshot(item) for key, item in value.items()}
    if isinstance(value, list):
        return [snapshot(item) for item in value]
    return value


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.dtype.names == b.dtype.names and a.shape == b.shape and \
            a.tobytes() == b.tobytes()
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def describe(args):
    def one(a):
        if isinstance(a, np.ndarray):
            return f"{a.dtype.names or a.dtype}[{len(a)}]"
        if isinstance(a, dict):
            return "{" + ", ".join(f"{k}: {one(v)}" for k, v in a.items()) + "}"
        if isinstance(a, list):
            return "[" + ", ".join(one(v) for v in a) + "]"
        return type(a).__name__
    return "(" + ", ".join(one(a) for a in args) + ")"


class Capture:
    def __init__(self):
        self.calls = []

    def __call__(self, *args):
        self.calls.append(tuple(snapshot(a) for a in args))


# ---- setup ---------------------------------------------------------------------------------------------------------


def connection(index, role):
    return f"usb:bench-{index}-{role}"


def model(deliveries, ctypes_deliveries):
    """Per mode, twin devices (a burst of N blocks and of one) for the package and for ctypes; one pair for the
    engine."""
    devices = []
    for index, (_, kind, _, block, _, _) in enumerate(MODES):
        for role, burst in (("pkg-n", deliveries), ("pkg-1", 1), ("ctypes-n", ctypes_deliveries), ("ctypes-1", 1)):
            devices.append({"kind": kind, "connection_string": connection(index, role),
                            "acquisition": {"burst": burst, "blocks": [block]}})
    for role, burst in (("engine-n", deliveries), ("engine-1", 1)):
        devices.append({"kind": "tpx3", "connection_string": connection("engine", role),
                        "acquisition": {"burst": burst, "blocks": [DD_BLOCK]}})
    return {"devices": devices}


class Case:
    """One mode: the package's devices, the ctypes devices, and the prebuilt arguments of the floor."""

    def __init__(self, index, mode, kind, ctypes_kind, raw, target):
        self.mode, self.target = mode, target
        self.pkg = {}
        for role in ("pkg-n", "pkg-1"):
            device = vrex.Device()
            device.open(connection(index, role))
            device.chip.selectMode(mode)
            self.pkg[role] = device
        self.register = (lambda d, func: d.acq.setRawDataCallback(base.CHANNEL, func)) if raw else \
            (lambda d, func: d.acq.setDataCallback(base.CHANNEL, func))
        self.ctypes = {}
        for role in ("ctypes-n", "ctypes-1"):
            device = base.CtypesDevice(connection(index, role))
            device.select_mode(mode)
            self.ctypes[role] = device
        self.ctypes_kind = ctypes_kind

        # What the package delivers, and the ctypes binding must deliver the same.
        captured = Capture()
        self.register(self.pkg["pkg-1"], captured)
        base.binding_burst(self.pkg["pkg-1"])
        theirs = Capture()
        pointer, keep = base.ctypes_delivery(ctypes_kind, theirs)
        self.ctypes["ctypes-1"].set_callback(pointer, keep=keep)
        self.ctypes["ctypes-1"].burst()
        if len(captured.calls) != 1 or len(theirs.calls) != 1 or not same(captured.calls[0], theirs.calls[0]):
            raise SystemExit(f"{mode}: the ctypes binding does not deliver what the package does:\n"
                             f"  package {[describe(c) for c in captured.calls]}\n"
                             f"  ctypes  {[describe(c) for c in theirs.calls]}")
        self.args = captured.calls[0]  # the floor's prebuilt arguments
        self.signature = describe(self.args)

        for device in self.pkg.values():
            self.register(device, f)
        for device in self.ctypes.values():
            pointer, keep = base.ctypes_delivery(ctypes_kind, f)
            device.set_callback(pointer, keep=keep)

    def close(self):
        for device in self.pkg.values():
            device.close()
            device.finalize()
        for device in self.ctypes.values():
            device.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7, help="rounds; the best of them is kept (default 7)")
    parser.add_argument("--deliveries", type=int, default=200_000,
                        help="blocks per burst for the package, the floor and the engine (default 200000)")
    parser.add_argument("--ctypes-deliveries", type=int, default=4_000,
                        help="blocks per burst for the ctypes binding (default 4000)")
    parser.add_argument("--no-gc", action="store_true",
                        help="disable the cyclic garbage collector while timing (it is on by default, as for users)")
    options = parser.parse_args()
    if options.rounds < 1 or options.deliveries < 2 or options.ctypes_deliveries < 2:
        parser.error("--rounds must be at least 1 and the burst sizes at least 2")
    n, nc = options.deliveries, options.ctypes_deliveries

    header = base.machine_lines()
    simulator.reset()
    simulator.configure(model(n, nc))
    cases = [Case(i, mode, kind, ck, raw, target) for i, (mode, kind, ck, _, raw, target) in enumerate(MODES)]
    engine = {role: base.CtypesDevice(connection("engine", role)) for role in ("engine-n", "engine-1")}
    native = base.native_delivery()
    for device in engine.values():
        device.select_mode(ENGINE_MODE)
        device.set_callback(native[0], native[1], keep=native)

    inf = float("inf")
    best = {}

    def keep(key, seconds):
        best[key] = min(best.get(key, inf), seconds)

    if options.no_gc:
        gc.disable()
    try:
        for _ in range(options.rounds):
            for c in cases:
                keep((c.mode, "pkg-n"), base.binding_burst(c.pkg["pkg-n"]))
                keep((c.mode, "pkg-1"), base.binding_burst(c.pkg["pkg-1"]))
                keep((c.mode, "floor"), _bench._call_floor(f, c.args, n))
                keep((c.mode, "floor-gil"), _bench._call_floor(f, c.args, n, True))
                keep((c.mode, "floor-wrap"), _bench._wrap_floor(f, c.args, n))
                keep((c.mode, "ctypes-n"), c.ctypes["ctypes-n"].burst())
                keep((c.mode, "ctypes-1"), c.ctypes["ctypes-1"].burst())
            keep("engine-n", engine["engine-n"].burst())
            keep("engine-1", engine["engine-1"].burst())
    finally:
        gc.enable()
        for c in cases:
            c.close()
        for device in engine.values():
            device.close()
    if native[2].value != HITS:
        raise SystemExit(f"the native callback saw {native[2].value} hits, not {HITS}")

    ns = 1e9
    engine_ns = base.per_delivery(best["engine-n"], best["engine-1"], n) * ns
    for line in header:
        print(line)
    print(f"# best of {options.rounds} rounds; bursts of {n} blocks (package, floor, engine) and {nc} (ctypes); "
          f"callable: def f(*args): pass; gc {'off' if options.no_gc else 'on'}")
    print(f"# engine's own cost per block (native callback, no Python): {engine_ns:.1f} ns")
    print("# arguments per mode:")
    for c in cases:
        print(f"#   {c.mode:<27} {c.signature}")
    head = (f"{'mode':<27}{'package ns':>11}{'floor ns':>10}{'+GIL ns':>9}{'ctypes ns':>11}{'x floor':>9}{'net':>7}"
            f"{'x +GIL':>8}{'+wrap ns':>9}{'x wrap':>8}{'target':>8}"
            f"{'ctypes/pkg':>12}{'target':>8}  verdict")
    print(head)
    print("-" * len(head))
    missed = []
    for c in cases:
        ours = base.per_delivery(best[(c.mode, "pkg-n")], best[(c.mode, "pkg-1")], n) * ns
        floor = best[(c.mode, "floor")] / n * ns
        floor_gil = best[(c.mode, "floor-gil")] / n * ns
        floor_wrap = best[(c.mode, "floor-wrap")] / n * ns
        theirs = base.per_delivery(best[(c.mode, "ctypes-n")], best[(c.mode, "ctypes-1")], nc) * ns
        over_floor = ours / floor
        net = (ours - engine_ns) / floor
        speedup = theirs / ours
        over_wrap = ours / floor_wrap
        ok = over_floor <= c.target and speedup >= SPEEDUP_TARGET and over_wrap <= WRAP_TARGET
        if not ok:
            missed.append(c.mode)
        verdict = "PASS" if ok else "MISS (" + ", ".join(
            ([f"floor {over_floor:.2f}x > {c.target:g}x"] if over_floor > c.target else []) +
            ([f"only {speedup:.1f}x faster than ctypes"] if speedup < SPEEDUP_TARGET else []) +
            ([f"wrap floor {over_wrap:.2f}x > {WRAP_TARGET:g}x"] if over_wrap > WRAP_TARGET else [])) + ")"
        print(f"{c.mode:<27}{ours:>11.1f}{floor:>10.1f}{floor_gil:>9.1f}{theirs:>11.1f}{over_floor:>9.2f}{net:>7.2f}"
              f"{ours / floor_gil:>8.2f}{floor_wrap:>9.1f}{over_wrap:>8.2f}"
              f"{'<=' + format(c.target, 'g') + 'x':>8}{speedup:>12.1f}{'>=' + format(SPEEDUP_TARGET, 'g') + 'x':>8}"
              f"  {verdict}")
    print(f"# x floor: package / floor; net: (package - engine) / floor; x +GIL: package / (floor with the GIL taken "
          f"per call, for information); x wrap: package / the zero-copy floor (target <={WRAP_TARGET:g}x); ctypes/pkg: how many times faster the package is")
    print(f"# targets: {'all met' if not missed else 'missed in ' + ', '.join(missed)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
