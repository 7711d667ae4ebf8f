"""What a device reports about itself, read in one place for ``vrexsdk info`` and for the metadata of recordings
(:func:`vrexsdk.record.describe`).

Every getter is called through :func:`read`: a value the device refuses, or one the binding cannot convert, comes
back as :class:`Unavailable` holding why, instead of ending the listing. ``info`` shows the reason; ``describe``
keeps None in its place (:func:`known`). The sections read each identifier's getters from one table, so the two
callers ask the same calls in the same order and differ only in which fields they want.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Dict, Mapping, Optional, Sequence

__all__ = ["Unavailable", "read", "known", "identity", "chips", "per_id", "mask", "DAC_FIELDS", "THRESHOLD_FIELDS",
           "COOLING_FIELDS", "BIAS_FIELDS"]


@dataclass(frozen=True)
class Unavailable:
    """A value the device refused to give: shown (and written to JSON) as its error."""

    error: str

    def __str__(self) -> str:
        return f"unavailable ({self.error})"


def read(getter: Callable[..., Any], *args: Any, then: Optional[Callable[[Any], Any]] = None) -> Any:
    """``getter(*args)``, a tuple as a list, passed through `then` when given. A value the device refuses, or one
    the binding cannot convert (text that is not UTF-8, an unknown polarity, an address out of range), becomes
    `Unavailable` (and skips `then`)."""
    from vrexsdk.errors import VrexSdkException

    try:
        value = getter(*args)
    # NotImplementedError: an SDK family this build lacks; TypeError: a value of an unexpected kind.
    except (VrexSdkException, NotImplementedError, ValueError, TypeError, OverflowError) as e:
        return Unavailable(f"{type(e).__name__}: {e}")
    value = list(value) if isinstance(value, tuple) else value
    return value if then is None else then(value)


def known(value: Any) -> Any:
    """`value` with every `Unavailable` in it (in lists and dict values too) replaced by None."""
    if isinstance(value, Unavailable):
        return None
    if isinstance(value, dict):
        return {k: known(v) for k, v in value.items()}
    if isinstance(value, list):
        return [known(v) for v in value]
    return value


# The getters of the device's properties, by the key they are reported under.
_IDENTITY = (
    ("connection_string", "getConnectionString"),
    ("product", "getProduct"),
    ("manufacturer", "getManufacturer"),
    ("serial_number", "getSerialNumber"),
    ("usb_vid_pid", "getUsbVidPid"),
    ("usb_instance_path", "getUsbInstancePath"),
    ("usb_high_speed", "isUsbHighSpeed"),
    ("usb_super_speed", "isUsbSuperSpeed"),
)


def identity(props: Any) -> Dict[str, Any]:
    """The device's properties; ``usb_vid_pid`` is ``[vendor, product]``."""
    return {key: read(getattr(props, getter)) for key, getter in _IDENTITY}


def _polarity(chip: Any, index: int) -> str:
    return str(chip.getPolarity(index).name)


def chips(chip: Any) -> Any:
    """``[{"index", "id", "polarity"}]`` per chip, the polarity by name."""
    return read(chip.getChipIds, then=lambda ids: [
        {"index": i, "id": cid, "polarity": read(_polarity, chip, i)} for i, cid in enumerate(ids)
    ])


# The getters asked per identifier, by the key they are reported under, in the order they are called.
DAC_FIELDS = {"value": "getDacValue", "limits": "getDacLimits"}
THRESHOLD_FIELDS = {
    "kev": "getThreshold",
    "range_kev": "getThresholdRange",  # min, max and the noise edge
    "raw": "getRawThreshold",
    "raw_range": "getRawThresholdRange",
    "calibrated": "isThresholdCalibrated",
}
COOLING_FIELDS = {
    "unit": "getValueUnit",
    "actual": "getActualTemperature",
    "desired": "getDesiredTemperature",
    "limits": "getLimits",
}
BIAS_FIELDS = {
    "polarity": "getPolarity",
    "limits": "getLimits",
    "voltage": "getVoltage",
    "target": "getTargetVoltage",
    "on": "isOn",
    "ramp_rate": "getRampRate",
    "current": "getCurrent",
    "current_limit": "getCurrentLimit",
    "tripped": "isTripped",
}


def per_id(service: Any, ids: str, fields: Mapping[str, str], only: Optional[Sequence[str]] = None) -> Any:
    """``{id: {key: value}}`` for every identifier `service.<ids>()` lists: the getters of `fields` (those named
    in `only`, when given), each called with the identifier."""
    wanted = [(key, getter) for key, getter in fields.items() if only is None or key in only]
    return read(getattr(service, ids), then=lambda listed: {
        i: {key: read(getattr(service, getter), i) for key, getter in wanted} for i in listed
    })


def _masked(mask: Any) -> int:
    import numpy as np

    return int(np.count_nonzero(mask))


def mask(config: Any, anyway: bool = False) -> Any:
    """``{"width", "height", "masked_pixels"}`` of the pixel mask; `Unavailable` when its size is, unless
    `anyway`: the mask is then still read, under a size that is unavailable."""
    size = read(config.getMaskSize)
    if isinstance(size, Unavailable):
        return {"width": size, "height": size, "masked_pixels": read(config.getMask, then=_masked)} if anyway else size
    # An empty mask (0 wide or high) masks nothing; the binding refuses to fetch one.
    masked = read(config.getMask, then=_masked) if size[0] * size[1] else 0
    return {"width": size[0], "height": size[1], "masked_pixels": masked}
