"""The ``vrexsdk`` command: list devices, show one, acquire data, read and write the pixel mask and the memories,
fit an energy calibration.

Run ``vrexsdk --help`` (or ``python -m vrexsdk --help``) for the sub-commands. Exit status: 0 on success, 1 when
the SDK reports a failure, 2 for a usage error (a bad option, an unknown mode, an unreadable file, a missing
optional package), 130 when Ctrl-C stopped an acquisition (what was acquired is still saved). Files are written
whole or not at all: Ctrl-C while one is written takes effect once it is complete, and a second Ctrl-C abandons it,
leaving the file as it was; the status is then 1 ("nothing saved to FILE"). A closed output pipe
(``vrexsdk info | head``) ends the command quietly with status 0.

Adding a command is one decorated function: its options sit beside its handler, and the parser, the help and
the dispatch are derived from the registrations::

    @command("status", help="one line per chip", options=[option("--json", action="store_true")])
    def _status(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
        with _opened(args.device) as device:
            ...
        return 0

A name with a space (``"mask get"``) is an action of a group declared first with :func:`group`. Commands take
``--device`` unless registered with ``device=False``.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import json
import logging
import math
import os
import sys
import threading
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, NoReturn, Optional, Sequence, TextIO, Tuple, TypeVar

import numpy as np
import numpy.typing as npt

from vrexsdk import __version__
from vrexsdk import _facts
from vrexsdk._facts import Unavailable
from vrexsdk._files import SaveInterrupted, open_replacing

__all__ = ["main"]

_CLI_HINT = 'pip install "vrexsdk[cli]"'
_HDF5_HINT = 'pip install "vrexsdk[hdf5]"'
_VIEW_HINT = 'pip install "vrexsdk[view]"'
_ANALYSIS_HINT = 'pip install "vrexsdk[analysis]"'


class UsageError(Exception):
    """A mistake in the command line or its files: reported in one line, exit status 2."""


class CommandFailed(Exception):
    """The command could not do its job for a reason the device gave (not the SDK's failure): exit status 1."""


class _Parser(argparse.ArgumentParser):
    """Reports errors in one line (and where to find help) instead of the usage block."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')")


# ---- the commands --------------------------------------------------------------------------------------------------

Handler = Callable[[argparse.Namespace, TextIO, TextIO], int]
"""A command's handler: the parsed options, stdout and stderr in; the exit status out."""


@dataclass(frozen=True)
class _Option:
    flags: Tuple[str, ...]
    settings: Dict[str, Any]


def option(*flags: str, **settings: Any) -> _Option:
    """One option or positional of a command, as ``argparse.ArgumentParser.add_argument`` takes it."""
    return _Option(flags, settings)


@dataclass(frozen=True)
class _Command:
    name: str
    run: Handler
    help: str
    description: Optional[str]
    epilog: Optional[str]
    options: Tuple[_Option, ...]
    device: bool


@dataclass(frozen=True)
class _Group:
    name: str
    help: str
    description: str
    actions: List[str] = field(default_factory=list)


# In registration order, which is the order of the help.
_COMMANDS: Dict[str, _Command] = {}
_GROUPS: Dict[str, _Group] = {}


def command(name: str, *, help: str, description: Optional[str] = None, epilog: Optional[str] = None,
            options: Sequence[_Option] = (), device: bool = True) -> Callable[[Handler], Handler]:
    """Registers the decorated handler as the command `name` (``"GROUP ACTION"`` for an action of a group)."""

    def register(run: Handler) -> Handler:
        if name in _COMMANDS or name in _GROUPS:
            raise ValueError(f"command {name!r} is registered twice")
        parent, _, action = name.rpartition(" ")
        if parent:
            if parent not in _GROUPS:
                raise ValueError(f"command {name!r}: declare the group {parent!r} first")
            _GROUPS[parent].actions.append(action)
        _COMMANDS[name] = _Command(name, run, help, description, epilog, tuple(options), device)
        return run

    return register


def group(name: str, *, help: str, description: str) -> None:
    """Declares the command `name` whose actions are registered as ``"name ACTION"``."""
    if name in _COMMANDS or name in _GROUPS:
        raise ValueError(f"command {name!r} is registered twice")
    _GROUPS[name] = _Group(name, help, description)


# ---- small helpers -------------------------------------------------------------------------------------------------


_Number = TypeVar("_Number", int, float)


def _checked(parse: Callable[[str], _Number], kind: str, ok: Callable[[_Number], bool], must: str, *,
             show_text: bool = False) -> Callable[[str], _Number]:
    """An option's converter: `parse` the text (a ValueError says it is not `kind`), then `ok` or "must be ..."
    (naming the value parsed, or the text as given where that reads better)."""
    def convert(text: str) -> _Number:
        try:
            value = parse(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not {kind}: {text!r}") from None
        if not ok(value):
            raise argparse.ArgumentTypeError(f"must be {must}, not {text if show_text else value}")
        return value
    return convert


def _int(text: str) -> int:
    return int(text, 0)


_positive_int = _checked(_int, "an integer", lambda v: v > 0, "positive")
# 4096, 0x1000 and 0o10000 alike
_address = _checked(_int, "an integer", lambda v: 0 <= v <= 0xFFFFFFFF, "between 0 and 0xffffffff", show_text=True)


def _length(text: str) -> int:
    value = _address(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be positive, not 0")
    return value


_positive_float = _checked(float, "a number", lambda v: 0 < v < math.inf, "a positive finite number",
                           show_text=True)
_non_negative_float = _checked(float, "a number", lambda v: 0 <= v < math.inf, "a finite number of at least 0",
                               show_text=True)
_cluster_radius = _checked(int, "an integer", lambda v: 0 <= v <= 16, "from 0 to 16")


def _setting(kind: Callable[[str], Any]) -> Callable[[str], Tuple[str, Any]]:
    def parse(text: str) -> Tuple[str, Any]:
        name, sep, value = text.partition("=")
        if not sep or not name:
            raise argparse.ArgumentTypeError(f"expected NAME=VALUE, not {text!r}")
        try:
            return name, kind(value)
        except ValueError:
            raise argparse.ArgumentTypeError(f"bad value in {text!r}") from None

    return parse


def _require(module: str, purpose: str, hint: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise UsageError(f"{purpose} needs {module}: {hint}") from None


def _check_output(path: str, option: str) -> None:
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise UsageError(f"{option} {path}: directory {parent} does not exist")
    if os.path.isdir(path):
        raise UsageError(f"{option} {path}: is a directory")


def _table(rows: Sequence[Sequence[Any]], header: Sequence[str]) -> List[str]:
    """Lines of a text table: left-aligned columns under a header and a rule."""
    cells = [[str(c) for c in header]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip() for row in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return lines


def _get(getter: Callable[..., Any], *args: Any, then: Optional[Callable[[Any], Any]] = None) -> Any:
    """``getter(*args)`` for display (:func:`vrexsdk._facts.read`): a value the device refuses becomes
    `Unavailable` instead of ending the listing."""
    return _facts.read(getter, *args, then=then)


def _as_json(value: Any) -> str:
    if isinstance(value, Unavailable):
        return str(value)
    raise TypeError(f"{type(value).__name__} is not JSON serializable")


def _unreadable(error: Exception) -> str:
    """What a device value the binding could not convert was, for a message."""
    return f"a value that cannot be read ({type(error).__name__}: {error})"


# ---- the device ----------------------------------------------------------------------------------------------------


@contextlib.contextmanager
def _opened(locator: Optional[str]) -> Iterator[Any]:
    """The Device at `locator` (the first enumerated by default), open for the block, closed and finalized after."""
    from vrexsdk import vrex
    from vrexsdk.errors import VrexSdkException

    device = vrex.Device()
    try:
        try:
            found = device.enumerate()
        except (ValueError, OverflowError) as e:
            if locator is None:
                raise CommandFailed(f"cannot list the devices: one reports {_unreadable(e)}") from None
            found = []  # the device named can still be opened
        if locator is None:
            if not found:
                raise UsageError("no device attached (vrexsdk devices lists them)")
            locator = found[0].connectionString
        try:
            device.open(locator)
        except VrexSdkException as e:
            known = ", ".join(d.connectionString for d in found) or "none"
            if locator not in [d.connectionString for d in found]:
                raise UsageError(f"cannot open device {locator!r} ({e}); attached: {known}") from None
            raise
        yield device
    finally:
        try:
            if device.isOpened():
                device.close()
        finally:
            device.finalize()


def _choose(name: str, value: str, choices: Sequence[str]) -> str:
    if value not in choices:
        raise UsageError(f"unknown {name} {value!r}; choose from: {', '.join(choices) or 'none'}")
    return value


# ---- devices and info ----------------------------------------------------------------------------------------------


@command("devices", help="list the attached devices", device=False,
         description="List the attached devices: locator, product, serial number, USB.",
         options=[option("--json", action="store_true", help="print JSON instead of a table")])
def _devices(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from vrexsdk import vrex

    device = vrex.Device()
    try:
        found = device.enumerate()
    except (ValueError, OverflowError) as e:
        raise CommandFailed(f"cannot list the devices: one reports {_unreadable(e)}") from None
    finally:
        device.finalize()
    if args.json:
        json.dump([d._asdict() for d in found], out, indent=2)
        print(file=out)
        return 0
    if not found:
        print("no device attached", file=out)
        return 0
    rows = [
        (d.connectionString, d.product, d.serialNumber, d.manufacturer, f"{d.usbVid:04x}:{d.usbPid:04x}",
         "super" if d.isSuperSpeed else "high" if d.isHighSpeed else "full")
        for d in found
    ]
    for line in _table(rows, ("LOCATOR", "PRODUCT", "SERIAL", "MANUFACTURER", "USB", "SPEED")):
        print(line, file=out)
    return 0


def _device_info(device: Any) -> Dict[str, Any]:
    from vrexsdk import vrex

    props, chip = device.props, device.chip
    identity: Dict[str, Any] = {}
    for key, value in _facts.identity(props).items():
        if key == "usb_vid_pid":  # shown as "vvvv:pppp"
            key, value = "usb", value if isinstance(value, Unavailable) else _get(_vid_pid, value)
        identity[key] = value
    info: Dict[str, Any] = {
        "identity": identity,
        "sdk": {
            "compiled": ".".join(map(str, vrex.getCompileTimeVersion())),
            "runtime": ".".join(map(str, vrex.getRuntimeVersion())),
            "package": __version__,
        },
        "revisions": _get(device.revisions.get),
    }
    info["chips"] = _facts.chips(chip)
    info["modes"] = _get(chip.getModeIds)
    info["channels"] = _get(device.acq.getChannelIds)
    info["dacs"] = _facts.per_id(chip, "getDacIds", _facts.DAC_FIELDS)
    info["sense_dacs"] = _get(chip.getSenseDacIds)
    info["thresholds"] = _facts.per_id(chip, "getThresholdIds", _facts.THRESHOLD_FIELDS)
    info["cooling"] = _facts.per_id(device.cooling, "getIds", _facts.COOLING_FIELDS)
    board = device.board
    info["boards"] = _get(board.getBoardIds, then=lambda ids: {b: {"powered": _get(board.isPowered, b)}
                                                               for b in ids})
    info["bias"] = _facts.per_id(device.bias, "getBiasIds", _facts.BIAS_FIELDS)
    info["monitor"] = _monitor_info(device)
    info["trigger_modes"] = _get(device.trigger.getModeIds)
    info["lockstep_options"] = _get(device.lockstep.getOptionIds)
    info["mask"] = _facts.mask(device.config)
    info["memories"] = _get(device.vault.getIds, then=lambda ids: {m: _memory_info(device, m) for m in ids})
    return info


def _monitor_info(device: Any) -> Any:
    m = device.monitor
    return _get(m.getMonitorIds, then=lambda quantities: {
        q: {"value": _get(m.getValue, q) if _get(m.isAvailable, q) is True else "unavailable",
            "unit": _get(m.getUnit, q)}
        for q in quantities
    })


def _memory_info(device: Any, memory_id: str) -> Any:
    def describe(memory: Any) -> Dict[str, Any]:
        regions = [
            {"sector_size": r.sectorSize, "sectors": len(r.sectors or []),
             "start": r.sectors[0].startingAddress if r.sectors else None,
             "end": r.sectors[-1].endingAddress if r.sectors else None}
            for r in memory.regions or []
        ]
        return {"part_number": memory.partNumber, "size": _memory_size(memory), "regions": regions}

    return _get(device.vault.selectMemory, memory_id, then=describe)


def _memory_size(memory: Any) -> int:
    ends = [s.endingAddress for r in memory.regions or [] for s in r.sectors or []]
    return max(ends) + 1 if ends else 0


@command("info", help="describe one device",
         description="Describe one device: identity, SDK and hardware revisions, chips and polarity, modes, "
                     "channels, DACs with limits, thresholds, cooling, boards, trigger modes, pixel mask and "
                     "memories.",
         options=[option("--json", action="store_true", help="print JSON instead of text")])
def _info(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    with _opened(args.device) as device:
        info = _device_info(device)
    if args.json:
        json.dump(info, out, indent=2, default=_as_json)
        print(file=out)
        return 0
    ident = info["identity"]
    print(f"{ident['product']} ({ident['manufacturer']}), serial {ident['serial_number']}", file=out)
    print(f"  locator {ident['connection_string']}, USB {ident['usb']} at {ident['usb_instance_path']}, "
          f"high speed {ident['usb_high_speed']}, super speed {ident['usb_super_speed']}", file=out)
    sdk = info["sdk"]
    print(f"  SDK {sdk['runtime']} (built against {sdk['compiled']}), vrexsdk {sdk['package']}", file=out)
    revisions = info["revisions"]
    print("revisions: " + (str(revisions) if isinstance(revisions, Unavailable) else
                           ", ".join(f"{k} {v}" for k, v in revisions.items()) or "none"), file=out)

    def section(title: str, value: Any, render: Callable[[Any], None]) -> None:
        print(f"{title}:", file=out)
        if isinstance(value, Unavailable):
            print(f"  {value}", file=out)
        elif not value:
            print("  none", file=out)
        else:
            render(value)

    def rows(value: Any, header: Sequence[str], make: Callable[[str, Any], Sequence[Any]]) -> None:
        for line in _table([make(k, v) for k, v in value.items()], header):
            print("  " + line, file=out)

    def chips(value: Any) -> None:
        for c in value:
            print(f"  {c['index']}: {c['id']}, polarity {c['polarity']}", file=out)

    section("chips", info["chips"], chips)
    section("modes", info["modes"], lambda v: print("  " + ", ".join(v), file=out))
    section("acquisition channels", info["channels"], lambda v: print("  " + ", ".join(v), file=out))
    section("DACs", info["dacs"], lambda v: rows(v, ("DAC", "VALUE", "MIN", "MAX"), lambda k, d: (
        k, d["value"], *([d["limits"], ""] if isinstance(d["limits"], Unavailable) else d["limits"]))))
    section("sense DACs", info["sense_dacs"], lambda v: print("  " + ", ".join(v), file=out))
    section("thresholds", info["thresholds"], lambda v: rows(
        v, ("THRESHOLD", "KEV", "RANGE KEV", "NOISE EDGE", "RAW", "RAW RANGE", "CALIBRATED"), lambda k, t: (
            k, _num(t["kev"]), _range(t["range_kev"]), _nth(t["range_kev"], 2), t["raw"], _range(t["raw_range"]),
            t["calibrated"])))
    section("cooling", info["cooling"], lambda v: rows(v, ("UNIT", "ACTUAL", "DESIRED", "LIMITS", "IN"), lambda k, c: (
        k, _num(c["actual"]), _num(c["desired"]), _range(c["limits"]), c["unit"])))
    section("boards", info["boards"], lambda v: rows(v, ("BOARD", "POWERED"), lambda k, b: (k, b["powered"])))
    section("bias", info["bias"], lambda v: rows(
        v, ("SOURCE", "VOLTAGE", "SET POINT", "ON", "CURRENT UA", "LIMIT UA", "TRIPPED", "RATE V/S", "LIMITS V"),
        lambda k, b: (k, _num(b["voltage"]), _num(b["target"]), b["on"], _num(b["current"]), _num(b["current_limit"]),
                      b["tripped"], _num(b["ramp_rate"]), _range(b["limits"]))))
    section("monitored", info["monitor"], lambda v: rows(v, ("QUANTITY", "VALUE", "UNIT"), lambda k, q: (
        k, _num(q["value"]), q["unit"])))
    section("trigger modes", info["trigger_modes"], lambda v: print("  " + ", ".join(v), file=out))
    section("synchronisation options", info["lockstep_options"], lambda v: print("  " + ", ".join(v), file=out))
    mask = info["mask"]
    section("pixel mask", mask, lambda m: print(f"  {m['width']} x {m['height']}, {m['masked_pixels']} masked",
                                               file=out))

    def memories(value: Any) -> None:
        for name, m in value.items():
            if isinstance(m, Unavailable):
                print(f"  {name}: {m}", file=out)
                continue
            print(f"  {name}: part {m['part_number']}, {m['size']} bytes", file=out)
            for r in m["regions"]:
                print(f"    {r['sectors']} sectors of {r['sector_size']} bytes at {_hex(r['start'])}..{_hex(r['end'])}",
                      file=out)

    section("memories", info["memories"], memories)
    return 0


def _vid_pid(vid_pid: Sequence[int]) -> str:
    vendor, product = vid_pid
    return f"{vendor:04x}:{product:04x}"


def _nth(value: Any, index: int) -> str:
    return str(value) if isinstance(value, Unavailable) else _num(value[index])


def _num(value: Any) -> str:
    return f"{value:g}" if isinstance(value, float) else str(value)


def _range(value: Any) -> str:
    return str(value) if isinstance(value, Unavailable) else f"{_num(value[0])}..{_num(value[1])}"


def _hex(value: Optional[int]) -> str:
    return "?" if value is None else f"0x{value:x}"


# ---- acquire ---------------------------------------------------------------------------------------------------------


class _ProgressDisplay:
    """A tqdm bar with the event rate, or plain lines once a second when tqdm is not installed."""

    def __init__(self, blocks: Optional[int], seconds: Optional[float], enabled: bool, err: TextIO) -> None:
        self.err = err
        self.enabled = enabled
        self.bar: Any = None
        self.last_line = -math.inf  # the first report prints at once, later ones once a second
        self.lock = threading.Lock()
        self.blocks = blocks
        self.seconds = seconds
        if not enabled:
            return
        try:
            tqdm = importlib.import_module("tqdm")
        except ImportError:
            print(f"note: for a progress bar, {_CLI_HINT}", file=err)
            return
        if blocks is not None:
            self.bar = tqdm.tqdm(total=blocks, unit="block", file=err, dynamic_ncols=True)
        elif seconds is not None:
            self.bar = tqdm.tqdm(total=seconds, unit="s", file=err, dynamic_ncols=True,
                                 bar_format="{l_bar}{bar}| {n:.1f}/{total:.1f} s{postfix}")
        else:
            self.bar = tqdm.tqdm(unit="block", file=err, dynamic_ncols=True)

    def __call__(self, p: Any) -> None:
        if not self.enabled:
            return
        with self.lock:
            rate = f"{p.rate:,.0f} {p.unit}/s"
            lost = getattr(p, "lost_blocks", 0)
            if lost:  # never passed over: a recording that loses blocks says so while it runs
                rate += f", {lost} blocks LOST"
            if self.bar is not None:
                target = min(p.elapsed, self.seconds) if self.blocks is None and self.seconds else p.blocks
                self.bar.update(target - self.bar.n)
                self.bar.set_postfix_str(f"{p.events:,} {p.unit}, {rate}", refresh=True)
            elif p.elapsed - self.last_line >= 1.0:
                self.last_line = p.elapsed
                total = f"/{self.blocks}" if self.blocks else ""
                print(f"{p.elapsed:6.1f} s  {p.blocks}{total} blocks  {p.events:,} {p.unit}  {rate}", file=self.err)

    def close(self) -> None:
        with self.lock:
            if self.bar is not None:
                self.bar.close()
                self.bar = None


def _load_mask_file(path: str, width: int, height: int) -> npt.NDArray[np.uint8]:
    """A mask file as the SDK's (width, height) array: .npy and .txt as stored, .png with rows as y."""
    lower = path.lower()
    try:
        if lower.endswith(".npy"):
            data = np.load(path, allow_pickle=False)
        elif lower.endswith(".txt"):
            data = np.loadtxt(path, dtype=np.int64, ndmin=2)
        elif lower.endswith(".png"):
            image_module = _require("PIL.Image", "reading PNG masks", _CLI_HINT)
            with image_module.open(path) as picture:
                data = np.asarray(picture.convert("L")).T
        else:
            raise UsageError(f"mask file {path}: use .npy, .txt or .png")
    except OSError as e:
        raise UsageError(f"cannot read mask file {path}: {e.strerror or e}") from None
    except ValueError as e:
        raise UsageError(f"mask file {path} is not a mask: {e}") from None
    if data.shape != (width, height):
        raise UsageError(f"mask file {path} holds {data.shape[0]} x {data.shape[1]} values; "
                         f"the device's mask is {width} x {height} (width x height)")
    if not np.issubdtype(data.dtype, np.integer) and not np.issubdtype(data.dtype, np.bool_):
        raise UsageError(f"mask file {path} holds {data.dtype} values, not integers")
    if data.size and (data.min() < 0 or data.max() > 255):
        raise UsageError(f"mask file {path}: values must be 0..255")
    return np.ascontiguousarray(data, dtype=np.uint8)


def _apply_settings(device: Any, args: argparse.Namespace) -> None:
    chip = device.chip
    if args.dac:
        dacs = chip.getDacIds()
        for name, value in args.dac:
            _choose("DAC", name, dacs)
            low, high = chip.getDacLimits(name)
            if not low <= value <= high:
                raise UsageError(f"DAC {name} takes {low}..{high}, not {value}")
            chip.setDacValue(name, value)
    if args.threshold:
        thresholds = chip.getThresholdIds()
        for name, value in args.threshold:
            _choose("threshold", name, thresholds)
            low, high, _ = chip.getThresholdRange(name)
            if not low <= value <= high:
                raise UsageError(f"threshold {name} takes {low:g}..{high:g} keV, not {value:g}")
            chip.setThreshold(name, value)
    if args.mask:
        size = device.config.getMaskSize()
        device.config.setMask(_load_mask_file(args.mask, size.width, size.height))


#: The clusterer's settings, for the commands that cluster (acquire, view).
_CLUSTER_SETTINGS = (
    option("--cluster-window-ns", type=_non_negative_float, metavar="NS",
           help="hits at most NS apart in ToA may join one cluster (default: 300)"),
    option("--cluster-jitter-ns", type=_non_negative_float, metavar="NS",
           help="how far out of ToA order the read-out may deliver hits (default: 100000)"),
    option("--cluster-radius", type=_cluster_radius, metavar="R",
           help="hits at most R pixels apart in x and in y are neighbours (default: 1, the 8 around)"),
)


@command(
    "acquire", help="run an acquisition and save or show what it delivered",
    description="Run one acquisition and reduce it on the fly: a hit map with ToT and ToA histograms for Timepix3 "
                "hit modes, a summed frame for frame modes, accumulated sums for binned modes, a byte count for raw "
                "data. Stops after --blocks or --seconds, when the acquisition ends by itself, or at Ctrl-C (exit "
                "status 130, the data acquired so far still saved).",
    epilog="Example: vrexsdk acquire --mode 0:tpx3-dd-toa-tot --seconds 5 --output run.h5 --png run.png",
    options=[
        option("--mode", help="chip mode (see 'info'; default: the device's first mode)"),
        option("--blocks", type=_positive_int, metavar="N", help="stop after N blocks"),
        option("--seconds", type=_positive_float, metavar="S", help="stop after S seconds"),
        option("--channel", help="acquisition channel (default: the device's first)"),
        option("--binning", type=_positive_int, nargs=3, metavar=("W", "H", "DWELL"),
               help="bins and dwell time for a binned mode (BinningParams)"),
        option("--raw", action="store_true", help="receive the raw byte stream whatever the mode"),
        option("--dac", type=_setting(int), action="append", metavar="NAME=VALUE",
               help="set a DAC first (repeatable)"),
        option("--threshold", type=_setting(float), action="append", metavar="NAME=KEV",
               help="set a threshold in keV first (repeatable)"),
        option("--mask", metavar="FILE", help="apply this pixel mask first (.npy, .txt or .png)"),
        option("--output", "-o", metavar="FILE",
               help=f"save the recording: .h5/.hdf5 (needs h5py: {_HDF5_HINT}), otherwise .npz"),
        option("--png", metavar="FILE",
               help=f"write a colour-mapped quick look with a colour scale (needs Pillow: {_CLI_HINT})"),
        option("--linear", action="store_true", help="linear colour scale for --png (default: log)"),
        option("--quiet", "-q", action="store_true", help="no progress display"),
        option("--events", metavar="FILE",
               help="write every block (hits, TDC stamps, frames, raw bytes, binned arrays) to a NeXus event file "
                    f"as it arrives (needs h5py: {_HDF5_HINT})"),
        option("--compression", choices=("gzip", "lz4", "zstd", "blosc"),
               help="compress the event file (lz4, zstd and blosc need hdf5plugin)"),
        option("--overwrite", action="store_true", help="replace an existing --events file"),
        option("--calibration", metavar="FILE",
               help="a calibration (from 'calibrate': .h5, .npz, .txt): Timepix3 hits get energies, saved and "
                    "summarised as an energy spectrum"),
        option("--energy-range", type=float, nargs=2, default=(0.0, 100.0), metavar=("LOW", "HIGH"),
               help="the energy spectrum's range in keV (default: 0 100)"),
        option("--energy-bins", type=_positive_int, default=1000, metavar="N",
               help="the energy spectrum's bins (default: 1000)"),
        option("--clusters", action="store_true",
               help="cluster Timepix3 ToA/ToT hits into particles on the SDK's thread: cluster-size and "
                    "cluster-energy histograms (ToT sum; keV with --calibration), saved, summarised and drawn "
                    "under --png; with --events, every cluster in the event file too"),
        *_CLUSTER_SETTINGS,
        option("--cluster-labels", action="store_true",
               help="with --events: give every hit in the event file the index of its cluster"),
    ])
def _acquire(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from vrexsdk.record import BINNED_MODES, RecordingInterrupted, record

    # Everything that can fail before the data are in is checked first: options, extras, output folders.
    if args.output:
        _check_output(args.output, "--output")
        if args.output.lower().endswith((".h5", ".hdf5")):
            _require("h5py", f"--output {args.output}", f"{_HDF5_HINT} (or write .npz)")
    if args.png:
        _check_output(args.png, "--png")
        _require("PIL.Image", "--png", _CLI_HINT)
    if args.mask and not os.path.isfile(args.mask):
        raise UsageError(f"cannot read mask file {args.mask}: no such file")
    if args.events:
        _check_output(args.events, "--events")
        _require("h5py", f"--events {args.events}", _HDF5_HINT)
        if os.path.exists(args.events) and not args.overwrite:
            raise UsageError(f"--events {args.events}: the file exists (add --overwrite to replace it)")
        if args.compression in ("lz4", "zstd", "blosc"):
            _require("hdf5plugin", f"--compression {args.compression}", 'pip install "vrexsdk[compression]"')
    calibration = _load_calibration(args.calibration) if args.calibration else None
    clusters = _cluster_option(args)

    with _nothing_saved_if_interrupted(args.output, args.png), _opened(args.device) as device:
        modes = device.chip.getModeIds()
        mode = _choose("mode", args.mode, modes) if args.mode else (modes[0] if modes else None)
        if mode is None:
            raise UsageError("the device offers no mode")
        if args.binning is not None and mode not in BINNED_MODES:
            raise UsageError(f"--binning needs a binned mode ({', '.join(BINNED_MODES)}), not {mode}")
        channels = device.acq.getChannelIds()
        if args.channel is not None:
            _choose("channel", args.channel, channels)
        _apply_settings(device, args)

        display = _ProgressDisplay(args.blocks, args.seconds, not args.quiet, err)
        interrupted = False
        try:
            rec = record(device, mode, blocks=args.blocks, seconds=args.seconds, channel=args.channel,
                         binning=args.binning, raw=args.raw, progress=display, calibration=calibration,
                         energy_range=args.energy_range, energy_bins=args.energy_bins, events=args.events,
                         overwrite=args.overwrite, compression=args.compression, clusters=clusters,
                         cluster_labels=args.cluster_labels)
        except RecordingInterrupted as stopped:
            rec = stopped.recording
            interrupted = True
        finally:
            display.close()
    if interrupted:
        print("interrupted: saving what was acquired", file=err)
    # A Ctrl-C from here on stops the saving; the status must then say whether the files asked for were written.
    # A saved file is a new one renamed into place, so its identity tells, wherever the Ctrl-C landed.
    wanted = [path for path in (args.output, args.png) if path]
    before = {path: _identity(path) for path in wanted}
    reported: List[str] = []
    try:
        print(rec.summary(), file=out)
        if args.output:
            rec.save(args.output)
            reported.append(args.output)
            print(f"saved {args.output}", file=out)
        if args.png:
            try:
                rec.save_png(args.png, log=not args.linear)
                reported.append(args.png)
                print(f"saved {args.png}", file=out)
            except ValueError as e:  # raw data have no image
                wanted.remove(args.png)
                print(f"no image written: {e}", file=err)
    except KeyboardInterrupt:
        unsaved = [path for path in wanted if _identity(path) == before[path]]
        for path in wanted:
            if path not in unsaved and path not in reported:
                print(f"saved {path}", file=out)
        if unsaved:
            print(f"vrexsdk: interrupted: nothing saved to {', '.join(unsaved)}", file=err)
            return 1
        print("vrexsdk: interrupted", file=err)
        return 130
    return 130 if interrupted else 0


def _cluster_option(args: argparse.Namespace) -> Any:
    """The clusters stage --clusters and its settings ask for (False without --clusters)."""
    tuned = [flag for flag, value in (("--cluster-window-ns", args.cluster_window_ns),
                                      ("--cluster-jitter-ns", args.cluster_jitter_ns),
                                      ("--cluster-radius", args.cluster_radius),
                                      ("--cluster-labels", getattr(args, "cluster_labels", None) or None))
             if value is not None]
    if not args.clusters:
        if tuned:
            raise UsageError(f"{tuned[0]} needs --clusters")
        return False
    if getattr(args, "cluster_labels", False) and not args.events:
        raise UsageError("--cluster-labels needs --events FILE (the labels are kept beside the events)")
    from vrexsdk.stages import Clusters

    return Clusters(window_ns=args.cluster_window_ns, jitter_ns=args.cluster_jitter_ns,
                    radius=1 if args.cluster_radius is None else args.cluster_radius)


@contextlib.contextmanager
def _nothing_saved_if_interrupted(*paths: Optional[str]) -> Iterator[None]:
    """A Ctrl-C before there is a recording to save (opening the device, setting it up) is not status 130, which
    says that what was acquired is saved, when files were asked for."""
    from vrexsdk.record import RecordingInterrupted

    try:
        yield
    except KeyboardInterrupt as e:
        named = [p for p in paths if p]
        if not named or isinstance(e, RecordingInterrupted):
            raise
        raise SaveInterrupted(", ".join(named), saved=False) from None


def _load_calibration(path: str) -> Any:
    from vrexsdk import calibration

    if not os.path.isfile(path) and not (path.lower().endswith(".txt") and
                                         all(os.path.isfile(p) for p in calibration._text_files(path))):
        raise UsageError(f"--calibration {path}: no such file")
    if path.lower().endswith((".h5", ".hdf5", ".nxs")):
        _require("h5py", f"--calibration {path}", _HDF5_HINT)
    try:
        return calibration.load(path)
    except (ValueError, TypeError, KeyError) as e:
        raise UsageError(f"--calibration {path}: {e}") from None


def _identity(path: str) -> Optional[Tuple[int, int]]:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


# ---- mask ------------------------------------------------------------------------------------------------------------


group("mask", help="read or write the pixel mask",
      description="Read the device's pixel mask into a file, or send a file to the device. .npy and .txt hold the "
                  "SDK's width x height array (element [x, y]); .png is 8-bit grey with rows as y. A non-zero value "
                  "masks the pixel.")


def _mask_file(path: str) -> str:
    """`path` in lower case, once its suffix is one a mask is kept in and the package to read it is there."""
    lower = path.lower()
    if not lower.endswith((".npy", ".txt", ".png")):
        raise UsageError(f"mask file {path}: use .npy, .txt or .png")
    if lower.endswith(".png"):
        _require("PIL.Image", "PNG masks", _CLI_HINT)
    return lower


@command("mask get", help="save the device's mask to FILE",
         description="Save the device's pixel mask to FILE (.npy, .txt, .png).",
         options=[option("file", metavar="FILE")])
def _mask_get(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    lower = _mask_file(args.file)
    _check_output(args.file, "mask get")
    with _opened(args.device) as device:
        size = device.config.getMaskSize()
        if size.width * size.height == 0:
            raise CommandFailed(f"the device's pixel mask is empty ({size.width} x {size.height}): "
                                f"nothing saved to {args.file}")
        mask = device.config.getMask()
    with open_replacing(args.file) as f:  # a file object, so numpy adds no suffix of its own
        if lower.endswith(".npy"):
            np.save(f, mask)
        elif lower.endswith(".txt"):
            np.savetxt(f, mask, fmt="%d")
        else:
            image_module = importlib.import_module("PIL.Image")
            image_module.fromarray(np.ascontiguousarray(mask.T), "L").save(f, format="PNG")
    print(f"mask saved to {args.file}: {mask.shape[0]} x {mask.shape[1]}, "
          f"{int(np.count_nonzero(mask))} pixels masked", file=out)
    return 0


@command("mask set", help="send the mask in FILE to the device",
         description="Send the pixel mask in FILE (.npy, .txt, .png) to the device.",
         options=[option("file", metavar="FILE")])
def _mask_set(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    _mask_file(args.file)
    if not os.path.isfile(args.file):
        raise UsageError(f"cannot read mask file {args.file}: no such file")
    with _opened(args.device) as device:
        config = device.config
        size = config.getMaskSize()
        mask = _load_mask_file(args.file, size.width, size.height)
        config.setMask(mask)
    print(f"mask set from {args.file}: {int(np.count_nonzero(mask))} of {mask.size} pixels masked", file=out)
    return 0


# ---- flash -----------------------------------------------------------------------------------------------------------


def _memory(device: Any, name: str) -> Any:
    _choose("memory", name, device.vault.getIds())
    try:
        return device.vault.selectMemory(name)
    except (ValueError, OverflowError) as e:
        raise CommandFailed(f"memory {name}: its layout reports {_unreadable(e)}") from None


def _check_range(memory: Any, address: int, length: int) -> None:
    size = _memory_size(memory)
    if address + length > size:
        raise UsageError(f"{length} bytes at 0x{address:x} reach beyond memory {memory.id} "
                         f"({size} bytes, 0x0..0x{max(size - 1, 0):x})")


def _hexdump(data: bytes, address: int, out: TextIO) -> None:
    for offset in range(0, len(data), 16):
        chunk = data[offset: offset + 16]
        text = "".join(chr(b) if 32 <= b < 127 else "." for b in chunk)
        print(f"{address + offset:08x}  {chunk.hex(' '):<47}  {text}", file=out)


group("settings", help="save, load or compare a device's whole set-up",
      description="A device's set-up as a JSON file: mode and binning, polarity, DACs, thresholds, pixel mask, "
                  "trigger mode and shutter, synchronisation, cooling set points, board power and bias. 'load' "
                  "checks the whole file first and changes nothing if an entry is wrong or the file is for "
                  "another kind of device; it powers boards on first and ramps the bias last, and lists what "
                  "it changed.")


def _read_settings(path: str) -> Dict[str, Any]:
    from vrexsdk import settings

    try:
        return settings.load(path)
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror or e}") from None
    except settings.SettingsError as e:
        raise UsageError(str(e)) from None


@command("settings save", help="save the device's set-up to FILE",
         description="Save the device's whole set-up to FILE (JSON).", options=[option("file", metavar="FILE")])
def _settings_save(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from vrexsdk import settings

    _check_output(args.file, "FILE")
    with _opened(args.device) as device:
        setup = settings.capture(device)
    settings.save(setup, args.file)
    print(f"saved the set-up of {setup['device']['product']} (serial {setup['device']['serial_number']}) "
          f"to {args.file}", file=out)
    return 0


@command("settings load", help="apply the set-up in FILE to the device",
         description="Apply the set-up in FILE to the device and list the changes.",
         options=[option("file", metavar="FILE")])
def _settings_load(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from vrexsdk import settings

    setup = _read_settings(args.file)
    with _opened(args.device) as device:
        try:
            changes = settings.apply(device, setup)
        except settings.SettingsError as e:
            raise UsageError(f"{args.file}: {e}") from None
    print(settings.describe(changes) or "nothing to change", file=out)
    return 0


@command("settings diff", help="compare FILE with the device or OTHER",
         description="List what loading FILE would change on the device, or how FILE and OTHER differ.",
         options=[option("file", metavar="FILE"), option("other", metavar="OTHER", nargs="?")])
def _settings_diff(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from vrexsdk import settings

    setup = _read_settings(args.file)
    if args.other:
        changes = settings.diff(setup, _read_settings(args.other))
    else:
        with _opened(args.device) as device:
            changes = [c for c in settings.diff(settings.capture(device), setup) if c.new is not None]
    print(settings.describe(changes) or "no differences", file=out)
    return 0


group("flash", help="read or program a non-volatile memory",
      description="Read or program a non-volatile memory ('info' lists them and their layout). Addresses and "
                  "lengths take decimal or 0x hexadecimal.")


@command("flash read", help="read LENGTH bytes at ADDRESS",
         description="Read LENGTH bytes at ADDRESS of MEMORY: a hex dump, or the bytes into FILE with -o.",
         options=[option("memory", metavar="MEMORY"), option("address", type=_address, metavar="ADDRESS"),
                  option("length", type=_length, metavar="LENGTH"),
                  option("-o", "--output", metavar="FILE", help="write the bytes to FILE")])
def _flash_read(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    if args.output:
        _check_output(args.output, "-o")
    with _opened(args.device) as device:
        memory = _memory(device, args.memory)
        _check_range(memory, args.address, args.length)
        data = memory.read(args.address, args.length)
    if args.output:
        with open_replacing(args.output) as f:
            f.write(data)
        print(f"read {len(data)} bytes at 0x{args.address:x} of {args.memory} into {args.output}", file=out)
    else:
        _hexdump(data, args.address, out)
    return 0


@command("flash program", help="program FILE at ADDRESS",
         description="Program the bytes of FILE into MEMORY at ADDRESS.",
         options=[option("memory", metavar="MEMORY"), option("address", type=_address, metavar="ADDRESS"),
                  option("file", metavar="FILE")])
def _flash_program(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    try:
        with open(args.file, "rb") as f:
            payload = bytearray(f.read())
    except OSError as e:
        raise UsageError(f"cannot read {args.file}: {e.strerror or e}") from None
    if not payload:
        raise UsageError(f"{args.file} is empty: nothing to program")
    with _opened(args.device) as device:
        memory = _memory(device, args.memory)
        _check_range(memory, args.address, len(payload))
        memory.program(args.address, payload)
    print(f"programmed {len(payload)} bytes at 0x{args.address:x} of {args.memory}", file=out)
    return 0


# ---- the live view ---------------------------------------------------------------------------------------------------


def _rate(text: str) -> float:
    value = _positive_float(text)
    if value > 100:
        raise argparse.ArgumentTypeError(f"at most 100 updates per second, not {text}")
    return value


_port = _checked(int, "an integer", lambda v: 0 <= v <= 65535, "from 0 to 65535")


@command(
    "view", help="watch the detector live in a web browser",
    description="Serve a live view of the device on this machine: the hit map or summed frame, the ToT spectrum, "
                "the ToA histogram, rates, dropped blocks, temperatures and bias, updated while an acquisition runs, "
                "with buttons to start and stop one, save it and reset it. Open the printed address in a browser "
                "(through an SSH tunnel from another machine). Ctrl-C stops serving and any acquisition the page "
                f"started. Needs aiohttp: {_VIEW_HINT}.",
    epilog="Example: vrexsdk view --port 8321, then open http://127.0.0.1:8321/",
    options=[
        option("--host", default="127.0.0.1",
               help="address to listen on (default 127.0.0.1: this machine only; anything else lets other machines "
                    "control the device)"),
        option("--port", type=_port, default=8321, help="TCP port (default 8321; 0: any free port)"),
        option("--rate", type=_rate, default=25.0, metavar="HZ",
               help="updates per second pushed to each page, at most (default 25)"),
        option("--channel", help="acquisition channel (default: the device's first)"),
        option("--save-dir", default=".", metavar="DIR",
               help="where the page's Save button writes its .npz files (default: here)"),
        option("--calibration", metavar="FILE",
               help="a calibration (from 'calibrate'): the spectrum shows Timepix3 hits' energies in keV"),
        option("--clusters", action="store_true",
               help="cluster Timepix3 ToA/ToT hits into particles on the SDK's thread: the page shows clusters/s, "
                    "the clusters counted and their sizes"),
        *_CLUSTER_SETTINGS,
    ])
def _view(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    _require("aiohttp", "the live view", _VIEW_HINT)
    from vrexsdk.view import serve

    if not os.path.isdir(args.save_dir):
        raise UsageError(f"--save-dir {args.save_dir}: not a directory")
    cal = _load_calibration(args.calibration) if args.calibration else None
    clusters = _cluster_option(args)

    def ready(url: str) -> None:
        print(f"live view at {url} (Ctrl-C to stop)", file=out, flush=True)

    with _opened(args.device) as device:
        try:
            serve(device, args.host, args.port, rate=args.rate, channel=args.channel, save_dir=args.save_dir,
                  calibration=cal, clusters=clusters, ready=ready)
        except OSError as e:
            raise UsageError(f"cannot listen on {args.host} port {args.port}: {e.strerror or e}") from None
    return 0


# ---- calibrate -------------------------------------------------------------------------------------------------------


def _line(text: str) -> Tuple[float, str]:
    energy, sep, path = text.partition("=")
    try:
        kev = float(energy)
    except ValueError:
        kev = math.nan
    if not sep or not path or not (math.isfinite(kev) and kev > 0):
        raise argparse.ArgumentTypeError(f"expected KEV=FILE (a line's energy and its hits), not {text!r}")
    return kev, path


@command(
    "calibrate", help="fit every pixel's ToT -> keV curve to recordings of known lines", device=False,
    description="Fit every pixel's curve ToT = a*E + b - c/(E - t) to the hits of recordings of known lines (one "
                "file per line: .npy records, .npz address and tot arrays, HDF5 datasets address and tot, or the "
                "hits of a NeXus event file) and write the calibration. Pixels without hits are flagged dead, "
                "pixels firing far more often than the others noisy; neither is fitted. Three lines or more; four "
                "or more fit t per pixel.",
    epilog="Example: vrexsdk calibrate 8.04=cu.npz 17.5=mo.npz 22.1=ag.npz 59.5=am241.npz -o cal.h5",
    options=[
        option("lines", type=_line, nargs="+", metavar="KEV=FILE",
               help="a line's energy in keV and the file of its hits"),
        option("--output", "-o", required=True, metavar="FILE",
               help=f"the calibration: .h5 (needs h5py: {_HDF5_HINT}), .npz, or .txt (four text matrices "
                    "FILE_a.txt ... FILE_t.txt)"),
        option("--chip-id", default="", metavar="ID", help="the chip's identifier, kept in the file"),
        option("--polarity", choices=("positive", "negative"), default="positive",
               help="the polarity the chip was calibrated at (default: positive)"),
        option("--threshold-kev", type=float, metavar="KEV", help="the threshold during the runs"),
        option("--temperature", type=float, metavar="CELSIUS", help="the chip temperature during the runs"),
        option("--min-hits", type=_positive_int, default=20, metavar="N",
               help="hits a pixel needs in a line's peak to use it (default: 20)"),
        option("--noisy-factor", type=_positive_float, default=8.0, metavar="F",
               help="flag pixels with F times the median hits or ToT spread as noisy (default: 8)"),
        option("--charge-cloud", type=_positive_float, metavar="PITCH",
               help="the files hold single-pixel hits: place each line's peak at the energy it stands for, for a "
                    "photon's charge cloud of this standard deviation in pixel pitches (needs --threshold-kev)"),
    ])
def _calibrate(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from vrexsdk import calibration

    _check_output(args.output, "--output")
    suffix = os.path.splitext(args.output)[1].lower()
    if suffix not in (".h5", ".hdf5", ".nxs", ".npz", ".txt"):
        raise UsageError(f"--output {args.output}: use .h5, .npz or .txt (four text matrices)")
    if suffix in (".h5", ".hdf5", ".nxs"):
        _require("h5py", "an HDF5 calibration file", _HDF5_HINT)
    energies = [kev for kev, _ in args.lines]
    if len(set(energies)) != len(energies):
        raise UsageError(f"each line needs its own energy, not {', '.join(f'{e:g}' for e in energies)}")
    peaks = []
    for kev, path in args.lines:
        if not os.path.isfile(path):
            raise UsageError(f"{kev:g} keV: no file {path}")
        if os.path.splitext(path)[1].lower() in (".h5", ".hdf5", ".nxs"):
            _require("h5py", "reading HDF5 hit files", _HDF5_HINT)
        try:
            hits = calibration.load_hits(path)
        except ValueError as e:
            raise UsageError(str(e)) from None
        peaks.append(calibration.line_peaks(kev, hits))
        print(f"{kev:g} keV: {len(hits)} hits from {path}", file=out)
    metadata = {"chip_id": args.chip_id, "polarity": args.polarity, "threshold_kev": args.threshold_kev,
                "temperature": args.temperature}
    try:
        result = calibration.fit(peaks, min_hits=args.min_hits, noisy_factor=args.noisy_factor,
                                 charge_cloud=args.charge_cloud, **metadata)
    except ValueError as e:
        raise UsageError(str(e)) from None
    cal = result.calibration
    flags = cal.flags
    print(f"pixels: {int(cal.live.sum())} calibrated, {int(result.dead.sum())} dead, {int(result.noisy.sum())} "
          f"noisy, {int(((flags & calibration.UNFIT) != 0).sum())} not fitted", file=out)
    g = result.global_calibration
    print(f"global curve: a={float(g.a[0, 0]):.4g} b={float(g.b[0, 0]):.4g} c={float(g.c[0, 0]):.4g} "
          f"t={float(g.t[0, 0]):.4g}", file=out)
    cal.save(args.output)
    print(f"saved {args.output}", file=out)
    return 0


@command(
    "analyse", help="reduce event files on Dask: hit map, spectra, regions of interest, time slices", device=False,
    description="Reduce the hits of one or many event files (from 'acquire --events' or record(events=...)) "
                "without loading them: each file is read in partitions of whole HDF5 chunks by Dask, on this "
                "machine's threads, on local worker processes, or on a dask.distributed cluster given by its "
                "address. Prints the totals; writes the hit map as a PNG, the ToT spectrum and the ToA histogram "
                f"as CSV. Needs dask and h5py: {_ANALYSIS_HINT}.",
    epilog="Example: vrexsdk analyse run1.h5 run2.h5 --hitmap map.png --spectrum tot.csv --scheduler processes; "
           "vrexsdk analyse run.h5 --calibration cal.h5 --energy kev.csv --clusters clusters.csv",
    options=[
        option("files", nargs="+", metavar="FILE", help="event files"),
        option("--hitmap", metavar="PNG", help=f"write the hit map as a colour-mapped PNG (needs Pillow: {_CLI_HINT})"),
        option("--linear", action="store_true", help="linear colour scale for --hitmap (default: log)"),
        option("--spectrum", metavar="CSV", help="write the ToT spectrum: bin's low edge, counts"),
        option("--toa", metavar="CSV", help="write the ToA histogram: bin's low edge in s, counts"),
        option("--calibration", metavar="FILE",
               help="a calibration (from 'calibrate': .h5, .npz, .txt) for --energy and the clusters' energies"),
        option("--energy", metavar="CSV",
               help="write the energy spectrum (needs --calibration): bin's low edge in keV, counts"),
        option("--energy-range", type=float, nargs=2, default=(0.0, 100.0), metavar=("LOW", "HIGH"),
               help="keV range of --energy (default: 0 100)"),
        option("--clusters", metavar="CSV",
               help="write the clusters of the hits, one row each (with --calibration, their energy in keV)"),
        option("--bins", type=_positive_int, default=1024, metavar="N",
               help="bins of the spectra and the ToA histogram (default: 1024)"),
        option("--roi", type=int, nargs=4, metavar=("X0", "X1", "Y0", "Y1"),
               help="only hits with X0 <= x < X1 and Y0 <= y < Y1"),
        option("--seconds", type=float, nargs=2, metavar=("T0", "T1"), help="only hits with T0 <= ToA < T1 (s)"),
        option("--scheduler", default="threads", metavar="ADDRESS",
               help="'threads' (default), 'processes' (local worker processes), 'sync', or the address of a "
                    "dask.distributed scheduler, e.g. tcp://host:8786"),
        option("--quiet", "-q", action="store_true", help="no progress display"),
    ])
def _analyse(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    _require("dask", "analysis", _ANALYSIS_HINT)
    _require("h5py", "reading event files", _HDF5_HINT)
    if args.hitmap:
        _require("PIL", "--hitmap", _CLI_HINT)
    if args.clusters:
        _require("pandas", "--clusters", _ANALYSIS_HINT)
    if args.energy and not args.calibration:
        raise UsageError("--energy needs --calibration FILE")
    for target, flag in ((args.hitmap, "--hitmap"), (args.spectrum, "--spectrum"), (args.toa, "--toa"),
                         (args.energy, "--energy"), (args.clusters, "--clusters")):
        if target:
            _check_output(target, flag)
    cal = _load_calibration(args.calibration) if args.calibration else None
    for path in args.files:
        if not os.path.isfile(path):
            raise UsageError(f"no file {path}")
    from vrexsdk import analysis

    try:
        ev = analysis.open(args.files).select(roi=args.roi, seconds=args.seconds)
    except ValueError as e:
        raise UsageError(str(e)) from None
    wanted = {"hit_map": ev.hit_map(), "spectrum": ev.spectrum(bins=args.bins)}
    if args.toa:
        wanted["toa"] = ev.toa_histogram(bins=args.bins)
    try:
        if args.energy:
            wanted["energy"] = ev.energy_spectrum(cal, bins=args.bins, range=tuple(args.energy_range))
        if args.clusters:
            # As one delayed table, so it computes in one go with the others (Dask warns on a mix of kinds).
            import dask
            pandas = importlib.import_module("pandas")
            parts = ev.clusters(calibration=cal).to_delayed()
            wanted["clusters"] = dask.delayed(pandas.concat)(parts, ignore_index=True)
    except ValueError as e:
        raise UsageError(str(e)) from None
    results = dict(zip(wanted, _compute_on(args.scheduler, list(wanted.values()), quiet=args.quiet, err=err)))
    hit_map = results["hit_map"]
    print(f"{len(ev.paths)} file(s), {len(ev.partitions)} partitions: {int(hit_map.sum())} hits selected of "
          f"{len(ev)}, {int(np.count_nonzero(hit_map))} pixels hit", file=out)
    if args.hitmap:
        from vrexsdk.record import write_png
        write_png(hit_map, args.hitmap, log=not args.linear)
        print(f"saved {args.hitmap}", file=out)
    if args.energy:
        spectrum = results["energy"]
        print(f"energy spectrum: {int(spectrum.counts.sum())} hits in {spectrum.low:g}-{spectrum.high:g} keV, "
              f"{spectrum.underflow} below, {spectrum.overflow} above, {spectrum.uncalibrated} without an energy "
              f"(flagged pixels)", file=out)
        results["energy"] = (spectrum.counts, spectrum.edges)
    for name, target in (("spectrum", args.spectrum), ("toa", args.toa), ("energy", args.energy)):
        if target:
            counts, edges = results[name]
            with open_replacing(target, "w") as f:
                f.write("low_edge,counts\n" + "".join(f"{e:.12g},{int(c)}\n" for e, c in zip(edges, counts)))
            print(f"saved {target}", file=out)
    if args.clusters:
        table = results["clusters"]
        with open_replacing(args.clusters, "w") as f:
            table.to_csv(f, index=False)
        print(f"{len(table)} clusters; saved {args.clusters}", file=out)
    return 0


def _compute_on(scheduler: str, lazy: List[Any], *, quiet: bool, err: TextIO) -> List[Any]:
    import dask

    if scheduler in ("threads", "processes", "sync"):
        if quiet:
            return list(dask.compute(*lazy, scheduler=scheduler))
        from dask.diagnostics import ProgressBar
        with ProgressBar(out=err):
            return list(dask.compute(*lazy, scheduler=scheduler))
    _require("distributed", "--scheduler ADDRESS", _ANALYSIS_HINT)
    import distributed

    try:
        client = distributed.Client(scheduler, timeout=10)
    except (OSError, ValueError, TimeoutError) as e:
        raise OSError(f"cannot reach the Dask scheduler {scheduler}: {e}") from None
    with client:
        futures = client.compute(lazy)
        if not quiet:
            distributed.progress(futures)
        return list(client.gather(futures))


# ---- the parser ------------------------------------------------------------------------------------------------------


def _build_parser() -> argparse.ArgumentParser:
    common = _Parser(add_help=False)
    common.add_argument("--device", metavar="LOCATOR", default=argparse.SUPPRESS,
                        help="connection string of the device (default: the first enumerated; see 'devices')")

    parser = _Parser(
        prog="vrexsdk",
        description="Vrex hybrid-pixel detectors (Timepix, Timepix3, Medipix) from the command line: list and "
                    "inspect devices, acquire data into .npz/HDF5 files and PNG quick looks, watch live in a "
                    "browser, read and write the pixel mask and the non-volatile memories.",
        epilog="Exit status: 0 success, 1 SDK failure, 2 usage error, 130 acquisition stopped by Ctrl-C "
               "(the data acquired so far are saved; 1 when a second Ctrl-C abandoned the save). "
               "'vrexsdk COMMAND --help' describes each command.",
    )
    parser.add_argument("--version", action="version", version=f"vrexsdk {__version__}")
    parser.add_argument("--device", metavar="LOCATOR", default=None,
                        help="connection string of the device (default: the first enumerated)")
    parser.add_argument("-v", "--verbose", action="store_true", help="show the SDK's log messages on stderr")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    actions: Dict[str, Any] = {}  # a group's name -> the sub-parsers of its actions
    for name, cmd in _COMMANDS.items():
        parent, _, action = name.rpartition(" ")
        under = commands
        if parent:
            if parent not in actions:
                declared = _GROUPS[parent]
                group_parser = commands.add_parser(parent, parents=[common], help=declared.help,
                                                   description=declared.description)
                group_parser.set_defaults(group=declared)
                actions[parent] = group_parser.add_subparsers(dest="action", metavar="ACTION", parser_class=_Parser)
            under = actions[parent]
        sub = under.add_parser(action, parents=[common] if cmd.device else [], help=cmd.help,
                               description=cmd.description or cmd.help[:1].upper() + cmd.help[1:] + ".",
                               epilog=cmd.epilog)
        for opt in cmd.options:
            sub.add_argument(*opt.flags, **opt.settings)
        sub.set_defaults(run=cmd.run)
    return parser


def _quiet_stdout() -> None:
    """Points stdout at the null device, so the interpreter's own flush at exit does not fail on the closed pipe."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError):  # stdout replaced by an object without a descriptor
        pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the ``vrexsdk`` command with `argv` (``sys.argv[1:]`` by default); returns the exit status."""
    try:
        status = _main(argv, sys.stdout, sys.stderr)
        sys.stdout.flush()  # a closed pipe is found here, not in the interpreter's flush at exit
    except BrokenPipeError:
        # The reader went away (`vrexsdk info | head`): it has what it wanted; no message, success.
        _quiet_stdout()
        return 0
    return status


def _main(argv: Optional[Sequence[str]], out: TextIO, err: TextIO) -> int:
    from vrexsdk.errors import VrexSdkException

    parser = _build_parser()
    try:
        try:
            args = parser.parse_args(argv)
        except SystemExit as e:  # --help and --version
            return e.code if isinstance(e.code, int) else 0
        run: Optional[Handler] = getattr(args, "run", None)
        if run is None:
            declared: Optional[_Group] = getattr(args, "group", None)
            if declared is None:
                parser.print_help(out)
                return 2
            *others, last = declared.actions
            choices = f"{', '.join(others)} or {last}" if others else last
            raise UsageError(f"{declared.name} needs an action: {choices} (see 'vrexsdk {declared.name} --help')")
        if args.verbose:
            logging.basicConfig(format="vrexsdk: %(levelname)s: %(message)s")
            logging.getLogger("vrexsdk").setLevel(logging.DEBUG)
        return run(args, out, err)
    except BrokenPipeError:
        raise  # an OSError, but not a failure of the command: see main
    except UsageError as e:
        print(f"vrexsdk: error: {e}", file=err)
        return 2
    except VrexSdkException as e:
        print(f"vrexsdk: error: {type(e).__name__}: {e}" if str(e) else f"vrexsdk: error: {type(e).__name__}",
              file=err)
        return 1
    except CommandFailed as e:
        print(f"vrexsdk: error: {e}", file=err)
        return 1
    except UnicodeDecodeError as e:  # only the device's own text is decoded
        print(f"vrexsdk: error: the device reports {_unreadable(e)}", file=err)
        return 1
    except (ValueError, OverflowError, TypeError) as e:  # an argument the binding refused before the SDK saw it
        print(f"vrexsdk: error: {e}", file=err)
        return 2
    except OSError as e:
        print(f"vrexsdk: error: {e}", file=err)
        return 1
    except SaveInterrupted as e:
        print(f"vrexsdk: interrupted: {e.path} saved" if e.saved else
              f"vrexsdk: interrupted: nothing saved to {e.path}", file=err)
        return 130 if e.saved else 1
    except KeyboardInterrupt:
        print("vrexsdk: interrupted", file=err)
        return 130
