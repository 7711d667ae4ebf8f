"""Fixed cost of one method call (chip methods and one of each device service), against two baselines.

Configuration scripts call the chip methods in loops (every DAC of every chip, threshold scans, mode changes), so
what one call costs beyond the device's own work matters. For each method this prints the time per call and two
ratios:

  floor   the method against vrexsdk._bench._noop("Vfbk"): a native function that takes one str, encodes it
          the way the methods do, and releases and retakes the GIL around an SDK call that does nothing. The
          ratio also includes the simulated device's own work for the call, which the floor does not do.
  ctypes  a ctypes binding of the same SDK functions, written the way a user without this package would (its own
          context and device, c_char_p(name.encode()) per call, status check, last error on failure, the Python
          result built by hand), against the method: how many times faster the method is.

One method of each device-service module (cooling, board, trigger, lockstep, revisions, props, axi) is measured
the same way, named with its attribute of Device ("axi.read").

Targets: at most 1.5x the floor for the scalar methods (getDacValue, setDacValue, getThreshold, selectMode,
getChipIds, whose count and identifier calls share one release of the GIL, and the service queries but
revisions.get, which makes one SDK call per entry and two more), and at least 5x faster than ctypes for every
method.

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
from vrexsdk import _bench, chip, errors, simulator, vrex

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


class CtypesServices(CtypesChip):
    """The device-service calls, named <Device attribute>_<method>."""

    def __init__(self, connection_string):
        super().__init__(connection_string)
        P, I, S, F, U32 = ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_float, ctypes.c_uint32
        for name, args in [
            ("vrex_cooling_get_actual", [P, S, ctypes.POINTER(F)]),
            ("vrex_board_is_powered", [P, S, ctypes.POINTER(I)]),
            ("vrex_trigger_mode_select", [P, S]),
            ("vrex_lockstep_option_select", [P, S]),
            ("vrex_revisions_count", [P, ctypes.POINTER(I)]),
            ("vrex_revisions_id", [P, I, ctypes.POINTER(S)]),
            ("vrex_revisions_string", [P, S, ctypes.POINTER(S)]),
            ("vrex_dev_prop_get_serial_number", [P, ctypes.POINTER(S)]),
            ("vrex_axi_read", [P, U32, ctypes.POINTER(U32)]),
        ]:
            fn = getattr(self.lib, name)
            fn.argtypes = args
            fn.restype = ctypes.c_int

    def check_axi(self, status):
        if status in (102, 103):
            message = ctypes.c_char_p(b"")
            self.lib.vrex_ctx_get_last_error(self.ctx, ctypes.byref(message))
            raise errors.VrexSdkAxiException((message.value or b"").decode())
        self.check(status)

    def cooling_getActualTemperature(self, coolingId):
        value = ctypes.c_float(0.0)
        self.check(self.lib.vrex_cooling_get_actual(self.ctx, ctypes.c_char_p(coolingId.encode()), ctypes.byref(value)))
        return value.value

    def board_isPowered(self, boardId):
        flag = ctypes.c_int(0)
        self.check(self.lib.vrex_board_is_powered(self.ctx, ctypes.c_char_p(boardId.encode()), ctypes.byref(flag)))
        return flag.value != 0

    def trigger_selectMode(self, modeId):
        self.check(self.lib.vrex_trigger_mode_select(self.ctx, ctypes.c_char_p(modeId.encode())))

    def lockstep_selectOption(self, optionId):
        self.check(self.lib.vrex_lockstep_option_select(self.ctx, ctypes.c_char_p(optionId.encode())))

    def revisions_get(self):
        count = ctypes.c_int(0)
        self.check(self.lib.vrex_revisions_count(self.ctx, ctypes.byref(count)))
        versions = {}
        for i in range(count.value):
            text = ctypes.c_char_p()
            self.check(self.lib.vrex_revisions_id(self.ctx, i, ctypes.byref(text)))
            identifier = (text.value or b"").decode()
            version = ctypes.c_char_p()
            self.check(self.lib.vrex_revisions_string(self.ctx, identifier.encode(), ctypes.byref(version)))
            versions[identifier] = (version.value or b"").decode()
        return versions

    def props_getSerialNumber(self):
        text = ctypes.c_char_p()
        self.check(self.lib.vrex_dev_prop_get_serial_number(self.ctx, ctypes.byref(text)))
        return (text.value or b"").decode()

    def axi_read(self, address):
        word = ctypes.c_uint32(0)
        self.check_axi(self.lib.vrex_axi_read(self.ctx, address, ctypes.byref(word)))
        return word.value


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
    plain = CtypesServices(found[1].connectionString)
    c = device.chip
    assert c.getChipIds() == plain.getChipIds() and c.getDacValue(DAC) == plain.getDacValue(DAC)
    assert device.revisions.get() == plain.revisions_get() and device.axi.read(0x40) == plain.axi_read(0x40)

    methods = [
        # name, statement, scalar (floor target applies)
        ("getDacValue", f"f({DAC!r})", True),
        ("setDacValue", f"f({DAC!r}, 100)", True),
        ("getThreshold", f"f({THRESHOLD!r})", True),
        ("selectMode", f"f({MODE!r})", True),
        ("selectMode+params", f"f({BINNED!r}, p)", True),
        ("getChipIds", "f()", True),  # count and two identifiers, in one release of the GIL
        ("cooling.getActualTemperature", "f('peltier')", True),
        ("board.isPowered", "f('readout')", True),
        ("trigger.selectMode", "f('internal')", True),
        ("lockstep.selectOption", "f('none')", True),
        ("revisions.get", "f()", False),
        ("props.getSerialNumber", "f()", True),
        ("axi.read", "f(0x10)", True),
    ]
    attribute = {"selectMode+params": "selectMode"}
    cases = {
        "(loop)": ("pass", {}),
        "floor: _noop": ("f('Vfbk')", {"f": _bench._noop}),
    }
    for name, stmt, _ in methods:
        owner, _, attr = attribute.get(name, name).rpartition(".")  # a service method names its Device attribute
        ours = getattr(getattr(device, owner) if owner else c, attr)
        theirs = getattr(plain, f"{owner}_{attr}" if owner else attr)
        cases["vrexsdk: " + name] = (stmt, {"f": ours, "p": PARAMS})
        cases["ctypes: " + name] = (stmt, {"f": theirs, "p": PARAMS})
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
    header = f"{'method':<30}{'vrexsdk ns':>12}{'x floor':>10}{'ctypes ns':>12}{'ctypes/vrexsdk':>16}  targets"
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
        print(f"{name:<30}{ours * ns:>12.1f}{over_floor:>10.2f}{theirs * ns:>12.1f}{speedup:>16.1f}  "
              + ", ".join(verdict))
    print(f"# targets: <= 1.5x floor (scalar methods), >= 5x faster than ctypes; "
          f"{'all met' if not missed else 'missed by ' + ', '.join(missed)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
