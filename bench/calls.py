"""Fixed cost of one chip method call, against two baselines measured in the same run.

Configuration scripts call the chip methods in loops (every DAC of every chip, threshold scans, mode changes), so
what one call costs beyond the device's own work matters. For each method this prints the time per call and two
ratios:

  floor   the method against vrexsdk._bench._noop("Vfbk"): a native function that takes one str, encodes it
          the way the methods do, and releases and retakes the GIL around an SDK call that does nothing. The
          ratio also includes the simulated device's own work for the call, which the floor does not do.
  ctypes  a ctypes binding of the same SDK functions, written the way a user without this package would (its own
          context and device, c_char_p(name.encode()) per call, status check, last error on failure, the Python
          result built by hand), against the method: how many times faster the method is.

Targets: at most 1.5x the floor for the scalar methods (getDacValue, setDacValue, getThreshold, selectMode), and
at least 5x faster than ctypes for every method.

Times are the best of several rounds; each round measures every case once, in turn, so that drift on a busy
machine hits all cases alike. The cost of the timing loop itself (an empty statement) is measured too and taken
off every time before the ratios are formed.

Run against an installed (or staged) package: python bench/calls.py [--rounds N] [--target-ms MS]
"""

import argparse
import ctypes
import os
import platform
import sys
import timeit

import vrexsdk
from vrexsdk import _bench, chip, simulator, vrex

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _baselines import _STATUS_ERRORS  # noqa: E402  (the same status mapping as the delivery benchmarks)

DAC = "Vfbk"
THRESHOLD = "THL0"
MODE = "0:raw-data"
BINNED = "0:tpx3-binned-packets"
PARAMS = chip.BinningParams(256, 256, 1000)


# ---- the ctypes binding a user would write -------------------------------------------------------------------------


class ScanParams(ctypes.Structure):
    _fields_ = [("width_", ctypes.c_uint32), ("height_", ctypes.c_uint32), ("dwell_time_", ctypes.c_uint64)]




class CtypesChip:
    def __init__(self, connection_string):
        lib = ctypes.CDLL(os.path.join(os.path.dirname(vrexsdk.__file__), "libVrexSdk.so"))
        P, I, S = ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p
        for name, args in [
            ("vrex_ctx_create", [ctypes.POINTER(P)]),
            ("vrex_ctx_destroy", [P]),
            ("vrex_ctx_get_last_error", [P, ctypes.POINTER(S)]),
            ("vrex_dev_open", [P, S]),
            ("vrex_dev_close", [P]),
            ("vrex_chip_count", [P, ctypes.POINTER(I)]),
            ("vrex_chip_id", [P, I, ctypes.POINTER(S)]),
            ("vrex_chip_dac_value_get", [P, S, ctypes.POINTER(I)]),
            ("vrex_chip_dac_value_set", [P, S, I]),
            ("vrex_chip_threshold_get", [P, S, ctypes.POINTER(ctypes.c_float)]),
            ("vrex_chip_mode_select", [P, S]),
            ("vrex_chip_mode_select_ex", [P, S, P]),
        ]:
            fn = getattr(lib, name)
            fn.argtypes = args
            fn.restype = ctypes.c_int
        self.lib = lib
        self.ctx = P()
        self.check(lib.vrex_ctx_create(ctypes.byref(self.ctx)))
        self.check(lib.vrex_dev_open(self.ctx, ctypes.c_char_p(connection_string.encode())))

    def close(self):
        self.lib.vrex_dev_close(self.ctx)
        self.lib.vrex_ctx_destroy(self.ctx)

    def check(self, status):
        if status < 0:
            message = ctypes.c_char_p(b"")
            self.lib.vrex_ctx_get_last_error(self.ctx, ctypes.byref(message))
            cls = _STATUS_ERRORS.get(status)
            if cls is not None:
                raise cls((message.value or b"").decode())

    def getDacValue(self, dacId):
        value = ctypes.c_int(0)
        self.check(self.lib.vrex_chip_dac_value_get(self.ctx, ctypes.c_char_p(dacId.encode()), ctypes.byref(value)))
        return value.value

    def setDacValue(self, dacId, dacValue):
        self.check(self.lib.vrex_chip_dac_value_set(self.ctx, ctypes.c_char_p(dacId.encode()), dacValue))

    def getThreshold(self, threshId):
        value = ctypes.c_float(0.0)
        self.check(
            self.lib.vrex_chip_threshold_get(self.ctx, ctypes.c_char_p(threshId.encode()), ctypes.byref(value))
        )
        return value.value

    def getChipIds(self):
        count = ctypes.c_int(0)
        self.check(self.lib.vrex_chip_count(self.ctx, ctypes.byref(count)))
        ids = []
        for i in range(count.value):
            text = ctypes.c_char_p()
            self.check(self.lib.vrex_chip_id(self.ctx, i, ctypes.byref(text)))
            ids.append((text.value or b"").decode())
        return ids

    def selectMode(self, modeId, modeParams=None):
        name = ctypes.c_char_p(modeId.encode())
        if modeParams is None:
            self.check(self.lib.vrex_chip_mode_select(self.ctx, name))
        else:
            params = ScanParams(modeParams.width, modeParams.height, modeParams.dwellTime)
            self.check(self.lib.vrex_chip_mode_select_ex(self.ctx, name, ctypes.byref(params)))


# ---- measurement ---------------------------------------------------------------------------------------------------


def calibrate(stmt, env, target_s):
    """Iterations per round so that one round takes about target_s."""
    timer = timeit.Timer(stmt, globals=env)
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target_s / 5 or number >= 1 << 24:
            return max(1, int(number * target_s / max(elapsed, 1e-9)))
        number *= 4


def measure(cases, rounds, target_s):
    """Best seconds per call of each case, over `rounds` interleaved rounds."""
    timers = {}
    for name, (stmt, env) in cases.items():
        timers[name] = (timeit.Timer(stmt, globals=env), calibrate(stmt, env, target_s))
    best = {name: float("inf") for name in cases}
    for _ in range(rounds):
        for name, (timer, number) in timers.items():
            best[name] = min(best[name], timer.timeit(number) / number)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=40, help="rounds; the best of them is kept (default 40)")
    parser.add_argument("--target-ms", type=float, default=4.0, help="length of one round of one case (ms)")
    options = parser.parse_args()

    # Two identical Timepix3 devices: the package opens one, the ctypes binding the other.
    simulator.reset()
    simulator.configure({"devices": [{"kind": "tpx3"}, {"kind": "tpx3"}]})
    device = vrex.Device()
    found = device.enumerate()
    device.open(found[0].connectionString)
    plain = CtypesChip(found[1].connectionString)
    c = device.chip
    assert c.getChipIds() == plain.getChipIds() and c.getDacValue(DAC) == plain.getDacValue(DAC)

    methods = [
        # name, statement, scalar (floor target applies)
        ("getDacValue", f"f({DAC!r})", True),
        ("setDacValue", f"f({DAC!r}, 100)", True),
        ("getThreshold", f"f({THRESHOLD!r})", True),
        ("selectMode", f"f({MODE!r})", True),
        ("selectMode+params", f"f({BINNED!r}, p)", True),
        ("getChipIds", "f()", False),
    ]
    attribute = {"selectMode+params": "selectMode"}
    cases = {
        "(loop)": ("pass", {}),
        "floor: _noop": ("f('Vfbk')", {"f": _bench._noop}),
    }
    for name, stmt, _ in methods:
        attr = attribute.get(name, name)
        cases["vrexsdk: " + name] = (stmt, {"f": getattr(c, attr), "p": PARAMS})
        cases["ctypes: " + name] = (stmt, {"f": getattr(plain, attr), "p": PARAMS})
    try:
        best = measure(cases, options.rounds, options.target_ms / 1e3)
    finally:
        plain.close()
        device.close()
        device.finalize()

    loop = best["(loop)"]
    floor = best["floor: _noop"] - loop
    ns = 1e9
    print(f"# {platform.python_implementation()} {platform.python_version()} on {platform.machine()}, "
          f"{os.cpu_count()} CPUs; vrexsdk {vrexsdk.__version__} from {os.path.dirname(vrexsdk.__file__)}")
    print(f"# best of {options.rounds} rounds; times per call net of the timing loop ({loop * ns:.1f} ns)")
    print(f"# floor (_noop): {floor * ns:.1f} ns")
    header = f"{'method':<20}{'vrexsdk ns':>12}{'x floor':>10}{'ctypes ns':>12}{'ctypes/vrexsdk':>16}  targets"
    print(header)
    print("-" * len(header))
    missed = []
    for name, _, scalar in methods:
        ours = best["vrexsdk: " + name] - loop
        theirs = best["ctypes: " + name] - loop
        over_floor = ours / floor
        speedup = theirs / ours
        verdict = []
        if scalar:
            verdict.append("floor ok" if over_floor <= 1.5 else "FLOOR MISSED")
        verdict.append("ctypes ok" if speedup >= 5.0 else "CTYPES MISSED")
        if "MISSED" in " ".join(verdict):
            missed.append(name)
        print(f"{name:<20}{ours * ns:>12.1f}{over_floor:>10.2f}{theirs * ns:>12.1f}{speedup:>16.1f}  "
              + ", ".join(verdict))
    print(f"# targets: <= 1.5x floor (scalar methods), >= 5x faster than ctypes; "
          f"{'all met' if not missed else 'missed by ' + ', '.join(missed)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
