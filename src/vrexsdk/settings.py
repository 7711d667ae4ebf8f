"""A device's whole set-up as a plain, diff-able JSON file: capture it, apply it back, compare two.

>>> from vrexsdk import settings
>>> setup = settings.capture(device)               # a dict of everything settable
>>> settings.save(setup, "detector.json")
>>> changes = settings.apply(device, settings.load("detector.json"))
>>> print(settings.describe(changes))

:func:`capture` reads the chip's mode and binning, polarity, DACs, thresholds (keV and raw), the pixel mask, the
trigger mode and shutter duration, the external synchronisation option, the cooling set points, which boards are
powered, and each bias source's set point, ramp rate, current limit and output switch. Event files record the
same dict (``capture(device)``) as the detector's state.

:func:`apply` first checks the whole set-up against the device (its kind, every identifier, every value against
the device's limits, every type), and changes nothing if any entry is wrong: the :class:`SettingsError` names the
entry and the value. It then makes only the changes the device needs, in a safe order: boards are powered on
first, the chip, cooling, trigger and synchronisation are set next, boards are powered off after them, and bias
comes last (ramp rate and current limit before the set point, then the ramp, waited for). It returns what it
changed.
"""

from __future__ import annotations

import json
import math
import os
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Set, Tuple, Union

import numpy as np

from vrexsdk.chip import BinningParams, ChipPolarity

__all__ = ["FORMAT", "VERSION", "Change", "SettingsError", "apply", "capture", "describe", "diff", "load", "save"]

FORMAT = "vrexsdk-settings"
VERSION = 1

Settings = Dict[str, Any]
PathLike = Union[str, "os.PathLike[str]"]


class SettingsError(ValueError):
    """A set-up that cannot be applied to this device: the message names the entry and its value."""


class Change(NamedTuple):
    """One entry that differs: its path (such as ``"chip.dacs.Vfbk"``), the value before and after (None: absent)."""

    path: str
    old: Any
    new: Any


# ---- capture ----------------------------------------------------------------------------------------------------

def _bias_available(device: Any) -> bool:
    from vrexsdk import bias

    return bool(bias.available)


def _mask(device: Any) -> Dict[str, Any]:
    size = device.config.getMaskSize()
    if size[0] * size[1] == 0:  # nothing to mask (and getMask() refuses an empty matrix)
        return {"width": int(size[0]), "height": int(size[1]), "pixels": []}
    mask = np.asarray(device.config.getMask()).reshape(size[0], size[1])
    xs, ys = np.nonzero(mask)
    # Sparse, one pixel per entry: a mask is mostly zero, and a diff then shows the pixels that changed.
    return {"width": int(size[0]), "height": int(size[1]),
            "pixels": [[int(x), int(y), int(mask[x, y])] for x, y in zip(xs, ys)]}


def _readback(getter: Any) -> Any:
    """What the device reports it has selected; None (left out of the set-up) when the SDK cannot say."""
    try:
        return getter() or None
    except NotImplementedError:
        return None


def capture(device: Any) -> Settings:
    """Everything settable of the open device, as a JSON-ready dict (the file format of :func:`save`).

    Selections an SDK cannot report back (a real SDK without the read-back functions) are None, and applying
    the set-up then leaves them as they are; so are the bias sources of a package built without bias functions.
    """
    chip, props = device.chip, device.props
    params = _readback(chip.getModeParams)
    setup: Settings = {
        "format": FORMAT,
        "version": VERSION,
        "device": {"product": props.getProduct(), "serial_number": props.getSerialNumber()},
        "chip": {
            "mode": _readback(chip.getSelectedMode),
            "mode_params": None if params is None else dict(params._asdict()),
            "polarity": [chip.getPolarity(i).name for i in range(len(chip.getChipIds()))],
            "dacs": {d: chip.getDacValue(d) for d in chip.getDacIds()},
            "thresholds": {t: {"kev": chip.getThreshold(t), "raw": chip.getRawThreshold(t)}
                           for t in chip.getThresholdIds()},
        },
        "mask": _mask(device),
        "trigger": {"mode": _readback(device.trigger.getSelectedMode),
                    "shutter_duration": _readback(device.trigger.getShutterDuration)},
        "lockstep": {"option": _readback(device.lockstep.getSelectedOption)},
        "cooling": {u: {"desired": device.cooling.getDesiredTemperature(u)} for u in device.cooling.getIds()},
        "boards": {b: device.board.isPowered(b) for b in device.board.getBoardIds()},
    }
    if _bias_available(device):
        b = device.bias
        setup["bias"] = {s: {"voltage": b.getTargetVoltage(s), "rate": b.getRampRate(s),
                             "current_limit": b.getCurrentLimit(s), "on": b.isOn(s)} for s in b.getBiasIds()}
    return setup


# ---- files ------------------------------------------------------------------------------------------------------

def save(setup: Settings, path: PathLike) -> None:
    """Writes `setup` as indented JSON with sorted keys, whole or not at all."""
    from vrexsdk._files import open_replacing

    text = json.dumps(setup, indent=1, sort_keys=True, allow_nan=False) + "\n"
    with open_replacing(path, "w", encoding="utf-8") as f:
        f.write(text)


def load(path: PathLike) -> Settings:
    """Reads a set-up file; a file that is not one raises :class:`SettingsError` naming the file."""
    name = os.fspath(path)
    try:
        with open(name, encoding="utf-8") as f:
            setup = json.load(f)
    except json.JSONDecodeError as e:
        raise SettingsError(f"{name}: not a settings file ({e})") from None
    except UnicodeDecodeError:
        raise SettingsError(f"{name}: not a settings file (not UTF-8 text)") from None
    if not isinstance(setup, dict) or setup.get("format") != FORMAT:
        raise SettingsError(f"{name}: not a settings file (no \"format\": \"{FORMAT}\")")
    if setup.get("version") != VERSION:
        raise SettingsError(f"{name}: settings version {setup.get('version')!r}, this package reads {VERSION}")
    return setup


# ---- comparing --------------------------------------------------------------------------------------------------

# Entries that describe the file rather than set anything.
_NOT_SET = ("format", "version", "device")


def _flatten(value: Any, prefix: str = "") -> Iterator[Tuple[str, Any]]:
    if isinstance(value, dict) and prefix != "chip.mode_params":
        for key in sorted(value):
            if prefix or key not in _NOT_SET:
                yield from _flatten(value[key], f"{prefix}.{key}" if prefix else str(key))
    elif prefix == "mask.pixels":
        yield prefix, sorted(map(tuple, value or []))
    else:
        yield prefix, value


def diff(old: Settings, new: Settings) -> List[Change]:
    """The entries that differ between two set-ups, in file order (a pixel mask counts as one entry)."""
    a, b = dict(_flatten(old)), dict(_flatten(new))
    return [Change(path, a.get(path), b.get(path)) for path in sorted(set(a) | set(b)) if a.get(path) != b.get(path)]


def describe(changes: List[Change]) -> str:
    """One line per change, for people."""
    def show(path: str, value: Any) -> str:
        if path == "mask.pixels" and value is not None:
            return f"{len(value)} masked pixels"
        return json.dumps(value)
    return "\n".join(f"{c.path}: {show(c.path, c.old)} -> {show(c.path, c.new)}" for c in changes)


# ---- checking ---------------------------------------------------------------------------------------------------

def _fail(path: str, value: Any, why: str) -> SettingsError:
    return SettingsError(f"{path}: {value!r} {why}")


def _section(setup: Settings, key: str) -> Dict[str, Any]:
    value = setup.get(key, {})
    if not isinstance(value, dict):
        raise _fail(key, value, "is not a table")
    return value


def _number(path: str, value: Any, integer: bool = False) -> float:
    kinds = (int,) if integer else (int, float)
    if isinstance(value, bool) or not isinstance(value, kinds):
        raise _fail(path, value, "is not an integer" if integer else "is not a number")
    if not integer and not math.isfinite(value):
        raise _fail(path, value, "is not a finite number")
    return value


def _within(path: str, value: Any, low: float, high: float, integer: bool = False) -> None:
    if not low <= _number(path, value, integer) <= high:
        raise _fail(path, value, f"is outside [{low:g}, {high:g}]")


def _known(path: str, key: Any, known: List[str], what: str) -> None:
    if key not in known:
        raise _fail(path, key, f"is not a {what} of this device (it has {', '.join(known) or 'none'})")


def _flag(path: str, value: Any) -> None:
    if not isinstance(value, bool):
        raise _fail(path, value, "is not true or false")


def _choice(path: str, value: Any, known: List[str], what: str) -> None:
    if value is not None:
        _known(path, value, known, what)


def _check(device: Any, setup: Settings) -> None:
    """Raises SettingsError for the first entry of `setup` this device cannot take; asks the device only."""
    if not isinstance(setup, dict) or setup.get("format") != FORMAT:
        raise SettingsError(f"not a settings dict (no \"format\": \"{FORMAT}\")")
    product = device.props.getProduct()
    made_for = _section(setup, "device").get("product")
    if made_for != product:
        raise SettingsError(f"device.product: the settings are for a {made_for!r}, this device is a {product!r}; "
                            "nothing was changed")
    chip, c = device.chip, _section(setup, "chip")
    for key in c:
        _known(f"chip.{key}", key, ["mode", "mode_params", "polarity", "dacs", "thresholds"], "chip setting")
    _choice("chip.mode", c.get("mode"), chip.getModeIds(), "mode")
    params = c.get("mode_params")
    if params is not None:
        if not isinstance(params, dict) or sorted(params) != ["dwellTime", "height", "width"]:
            raise _fail("chip.mode_params", params, "is not {\"width\", \"height\", \"dwellTime\"}")
        for k, v in params.items():
            _within(f"chip.mode_params.{k}", v, 0, 2 ** 64 - 1 if k == "dwellTime" else 2 ** 32 - 1, integer=True)
    polarity = c.get("polarity", [])
    chips = chip.getChipIds()
    if not isinstance(polarity, list) or len(polarity) > len(chips):
        raise _fail("chip.polarity", polarity, f"is not a list of at most {len(chips)} polarities")
    for i, p in enumerate(polarity):
        _known(f"chip.polarity[{i}]", p, ["positive", "negative"], "polarity")
    dacs = chip.getDacIds()
    for d, v in _section(c, "dacs").items():
        _known(f"chip.dacs.{d}", d, dacs, "DAC")
        low, high = chip.getDacLimits(d)
        _within(f"chip.dacs.{d}", v, low, high, integer=True)
    thresholds = chip.getThresholdIds()
    for t, v in _section(c, "thresholds").items():
        _known(f"chip.thresholds.{t}", t, thresholds, "threshold")
        if not isinstance(v, dict) or not set(v) <= {"kev", "raw"}:
            raise _fail(f"chip.thresholds.{t}", v, "is not {\"kev\", \"raw\"}")
        if "raw" in v:
            low, high = chip.getRawThresholdRange(t)
            _within(f"chip.thresholds.{t}.raw", v["raw"], low, high, integer=True)
        if "kev" in v:
            _within(f"chip.thresholds.{t}.kev", v["kev"], *chip.getThresholdRange(t)[:2])
    mask = setup.get("mask")
    if mask is not None:
        size = device.config.getMaskSize()
        if not isinstance(mask, dict) or (mask.get("width"), mask.get("height")) != (size[0], size[1]):
            raise _fail("mask", {k: mask.get(k) for k in ("width", "height")} if isinstance(mask, dict) else mask,
                        f"does not match this device's {size[0]} x {size[1]} mask")
        for i, pixel in enumerate(mask.get("pixels", [])):
            if (not isinstance(pixel, list) or len(pixel) != 3 or
                    any(isinstance(n, bool) or not isinstance(n, int) for n in pixel) or
                    not (0 <= pixel[0] < size[0] and 0 <= pixel[1] < size[1] and 0 <= pixel[2] <= 255)):
                raise _fail(f"mask.pixels[{i}]", pixel, "is not [x, y, flag] inside the mask, flag 0..255")
    trigger = _section(setup, "trigger")
    _choice("trigger.mode", trigger.get("mode"), device.trigger.getModeIds(), "trigger mode")
    shutter = trigger.get("shutter_duration")
    if shutter is not None and not _number("trigger.shutter_duration", shutter) > 0:
        raise _fail("trigger.shutter_duration", shutter, "is not a positive duration")
    _choice("lockstep.option", _section(setup, "lockstep").get("option"), device.lockstep.getOptionIds(),
            "synchronisation option")
    units = device.cooling.getIds()
    for u, v in _section(setup, "cooling").items():
        _known(f"cooling.{u}", u, units, "cooling unit")
        if not isinstance(v, dict) or set(v) != {"desired"}:
            raise _fail(f"cooling.{u}", v, "is not {\"desired\"}")
        _within(f"cooling.{u}.desired", v["desired"], *device.cooling.getLimits(u))
    boards = device.board.getBoardIds()
    for name, on in _section(setup, "boards").items():
        _known(f"boards.{name}", name, boards, "board")
        _flag(f"boards.{name}", on)
    if "bias" in setup:
        _check_bias(device, _section(setup, "bias"))


def _check_bias(device: Any, section: Dict[str, Any]) -> None:
    if not _bias_available(device):
        raise SettingsError("bias: this package was built without bias functions; nothing was changed")
    b = device.bias
    sources = b.getBiasIds()
    for s, v in section.items():
        _known(f"bias.{s}", s, sources, "bias source")
        if not isinstance(v, dict) or not set(v) <= {"voltage", "rate", "current_limit", "on"}:
            raise _fail(f"bias.{s}", v, "is not {\"voltage\", \"rate\", \"current_limit\", \"on\"}")
        if "voltage" in v:
            low, high = b.getLimits(s)
            _within(f"bias.{s}.voltage", v["voltage"], low, high)
        for k in ("rate", "current_limit"):
            if k in v and not _number(f"bias.{s}.{k}", v[k]) > 0:
                raise _fail(f"bias.{s}.{k}", v[k], "is not positive")
        if "on" in v:
            _flag(f"bias.{s}.on", v["on"])
        if v.get("on") and b.isTripped(s):
            raise SettingsError(f"bias.{s}.on: the source has tripped; clear the trip first; nothing was changed")


# ---- applying ---------------------------------------------------------------------------------------------------

def apply(device: Any, setup: Settings, *, timeout: Optional[float] = None) -> List[Change]:
    """Brings the open device to `setup` and returns what changed (see the module docstring for the order).

    Entries `setup` leaves out are left as they are. `timeout` bounds the wait for each bias ramp (None: as long
    as it takes; a ramp still running then raises :class:`TimeoutError`). Nothing is changed when any entry is
    wrong (:class:`SettingsError`, naming it) or the set-up was made for another kind of device. Ctrl-C during
    a bias ramp stops it where it is (see ``waitRamp``); what was applied before stays applied.
    """
    _check(device, setup)
    now = capture(device)
    # Only what the set-up gives is compared: a set-up without a section leaves that part alone.
    changes = [c for c in diff(now, setup) if c.new is not None]
    changed = {c.path for c in changes}

    chip, c = device.chip, setup.get("chip", {})
    boards = setup.get("boards", {})
    for name, on in boards.items():
        if on and f"boards.{name}" in changed:
            device.board.powerOn(name)
    if c.get("mode") is not None:
        # Selected even when unchanged: the Device remembers the mode it selected for its data callbacks.
        params = c.get("mode_params")
        chip.selectMode(c["mode"], None if params is None else BinningParams(**params))
    if "chip.polarity" in changed:
        for i, p in enumerate(c["polarity"]):
            chip.setPolarity(i, ChipPolarity[p])
    for d, v in c.get("dacs", {}).items():
        if f"chip.dacs.{d}" in changed:
            chip.setDacValue(d, v)
    for t, v in c.get("thresholds", {}).items():
        # Raw first: a calibrated threshold then sets the keV value the raw one stands for.
        if f"chip.thresholds.{t}.raw" in changed:
            chip.setRawThreshold(t, v["raw"])
        if f"chip.thresholds.{t}.kev" in changed:
            chip.setThreshold(t, v["kev"])
    if "mask.pixels" in changed:
        m = setup["mask"]
        mask = np.zeros((m["width"], m["height"]), dtype=np.uint8)
        for x, y, flag in m.get("pixels", []):
            mask[x, y] = flag
        device.config.setMask(mask)
    trigger = setup.get("trigger", {})
    if "trigger.mode" in changed:
        device.trigger.selectMode(trigger["mode"])
    if "trigger.shutter_duration" in changed:
        device.trigger.setShutterDuration(trigger["shutter_duration"])
    if "lockstep.option" in changed:
        device.lockstep.selectOption(setup["lockstep"]["option"])
    for u, v in setup.get("cooling", {}).items():
        if f"cooling.{u}.desired" in changed:
            device.cooling.setDesiredTemperature(u, v["desired"])
    for name, on in boards.items():
        if not on and f"boards.{name}" in changed:
            device.board.powerOff(name)
    for s, v in setup.get("bias", {}).items():
        _apply_bias(device.bias, s, v, changed, timeout)
    return changes


def _apply_bias(b: Any, s: str, v: Dict[str, Any], changed: Set[str], timeout: Optional[float]) -> None:
    at = f"bias.{s}."
    if at + "rate" in changed:
        b.setRampRate(s, v["rate"])
    if at + "current_limit" in changed:
        b.setCurrentLimit(s, v["current_limit"])
    if at + "voltage" in changed:
        b.setVoltage(s, v["voltage"])
    if at + "on" in changed:
        b.turnOn(s) if v["on"] else b.turnOff(s)
    if changed & {at + "voltage", at + "on"} and not b.waitRamp(s, timeout):
        raise TimeoutError(f"bias source {s!r} still ramping after {timeout} s")
