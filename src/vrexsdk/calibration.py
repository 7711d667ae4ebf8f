"""Energy calibration of Timepix3 hits: per-pixel time over threshold (ToT) to deposited energy (keV).

Every pixel turns the energy ``E`` (keV) it receives into a ToT along its own curve::

    ToT = a * E + b - c / (E - t)

so a :class:`Calibration` is four 256 x 256 float32 maps ``a``, ``b``, ``c``, ``t`` (indexed ``[y, x]`` like the
hit map; a hit's address is ``y * 256 + x``), a map of :attr:`Calibration.flags` for pixels that have no usable
curve (dead, noisy, not fitted), and the conditions it was made under: chip, polarity, threshold, temperature,
date. Applying it inverts the curve per hit in a native kernel (the GIL is released while it runs)::

    import numpy as np
    from vrexsdk import calibration

    cal = calibration.Calibration.uniform(a=1.6, b=25.0, c=120.0, t=2.0, chip_id="W0005_E02")
    hits = np.zeros(3, dtype=calibration.HIT_DTYPE)
    hits["address"] = [0, 257, 65535]
    hits["tot"] = [60, 120, 200]
    energies = cal.energies(hits)                    # keV, float32; NaN for flagged pixels
    spectrum = cal.spectrum(hits, bins=200, range=(0.0, 100.0))
    cal.save("cal.npz")                              # .h5 with h5py; .txt: four text matrices cal_a.txt ...
    same = calibration.load("cal.npz")

:func:`fit` recovers the four maps from recordings of known lines (each recording's hits, or the per-pixel
:class:`LinePeaks` found in them): for a fixed ``t`` the model is linear in ``a``, ``b`` and ``c``, so the fit
scans ``t``, solves the weighted least-squares problem of every pixel at once for each value, keeps the best,
and refines it. Peaks of single-pixel hits lie below their line's full charge (a photon's charge cloud leaves its
neighbours shares below the threshold); ``fit(..., charge_cloud=, threshold_kev=)`` fits them at the energy
they stand for. Pixels without enough hits are flagged :data:`DEAD`, pixels firing far more often than their
neighbours or with a ToT spread far wider are flagged :data:`NOISY`, and curves that cannot be inverted
:data:`UNFIT`; a flagged pixel's parameters are NaN and its hits come out as NaN, never as a plausible energy.

:class:`TimeWalk` corrects arrival times for the late threshold crossing of small signals (per pixel, a delay
``d + w / (E - e0)`` ns), fitted by :func:`fit_time_walk` from hits with a known reference time.

Files: HDF5 (``.h5``, ``.hdf5``, ``.nxs``; needs h5py: ``pip install "vrexsdk[hdf5]"``) and ``.npz`` keep
everything; the plain-text format used by telescope reconstruction software (``.txt``) is the four matrices
alone, one file each (``prefix_a.txt``, ``prefix_b.txt``, ``prefix_c.txt``, ``prefix_t.txt``: 256 rows ``y`` of 256
whitespace-separated values ``x``), with flagged pixels written as zeros (a pixel with ``a <= 0`` counts as
uncalibrated when read back).
"""

from __future__ import annotations

import dataclasses
import datetime
import json
import math
import os
from typing import Any, Dict, Iterable, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from vrexsdk import __version__, _calibration, stages
from vrexsdk._files import open_replacing, replacing
from vrexsdk._optional import optional

__all__ = [
    "DEAD",
    "HIT_DTYPE",
    "NOISY",
    "TOA_TICK_NS",
    "UNFIT",
    "Calibration",
    "CalibrationStage",
    "EnergySpectrum",
    "FitResult",
    "LinePeaks",
    "TimeWalk",
    "fit",
    "fit_time_walk",
    "line_peaks",
    "load",
    "load_hits",
]

WIDTH = HEIGHT = 256
PIXELS = WIDTH * HEIGHT
SHAPE = (HEIGHT, WIDTH)

#: Flag bits of :attr:`Calibration.flags`: no hits (or too few) in the lines measured.
DEAD = 1
#: Fires far more often than its neighbours, or with a ToT spread far wider.
NOISY = 2
#: Hits, but no invertible curve fits them (or the map given holds values that cannot be inverted).
UNFIT = 4

#: The record layout of "0:tpx3-dd-toa-tot" hits.
HIT_DTYPE = np.dtype({"names": ["address", "tot", "toa"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8],
                      "itemsize": 16})
#: Length of one ToA tick of Timepix3 (ns): the 640 MHz fine time-of-arrival clock.
TOA_TICK_NS = 1.5625

MODEL = "tot = a * E + b - c / (E - t)"
_UNITS = {"a": "1/keV", "b": "1", "c": "keV", "t": "keV"}  # ToT counts per keV, counts, counts * keV, keV
_PARAMETERS = ("a", "b", "c", "t")
_HDF5_SUFFIXES = (".h5", ".hdf5", ".nxs")
_HDF5_HINT = 'HDF5 calibration files need h5py: pip install "vrexsdk[hdf5]" (or use .npz)'

FloatMap = npt.NDArray[np.float32]
PathLike = Union[str, "os.PathLike[str]"]
Hits = Any  # a record array with "address" and "tot" fields, or an address array (the ToT array given apart)


# ---- hits as the kernels take them -------------------------------------------------------------------------------


def _unsigned(values: Any, what: str, dtypes: Tuple[Any, ...]) -> npt.NDArray[Any]:
    array = np.asarray(values)
    if array.ndim != 1:
        if array.ndim == 0:
            raise ValueError(f"{what} must be a one-dimensional array, not a scalar")
        raise ValueError(f"{what} must be one-dimensional, not of shape {array.shape}")
    if array.dtype in dtypes:
        return array
    if array.size == 0:
        return array.astype(dtypes[0])
    if array.dtype.kind not in "ui":
        raise TypeError(f"{what} must be integers, not {array.dtype}")
    low, high = int(array.min()), int(array.max())
    limit = int(np.iinfo(dtypes[-1]).max)
    if low < 0 or high > limit:
        raise ValueError(f"{what} must lie in 0..{limit}; found {low if low < 0 else high}")
    return array.astype(dtypes[-1])


def _columns(hits: Hits, tot: Any = None, extra: Optional[str] = None) -> Tuple[npt.NDArray[Any], ...]:
    """(addresses uint32, ToT uint16/uint32[, extra column]) from a record array or separate arrays, in place
    where the layout allows it."""
    if tot is None:
        array = np.asarray(hits)
        names = array.dtype.names or ()
        wanted = ("address", "tot") + ((extra,) if extra else ())
        missing = [n for n in wanted if n not in names]
        if missing:
            raise TypeError(f"hits must be a record array with fields {', '.join(wanted)} (or give the ToT values "
                            f"as a second array); missing: {', '.join(missing)}")
        columns = [array[n] for n in wanted]
    else:
        columns = [hits, tot]
    if array_ndim := {np.ndim(c) for c in columns} - {1}:
        raise ValueError(f"hits must be one-dimensional, not of {max(array_ndim)} dimensions")
    address = _unsigned(columns[0], "addresses", (np.dtype(np.uint32),))
    values = _unsigned(columns[1], "tot", (np.dtype(np.uint16), np.dtype(np.uint32)))
    if len(address) != len(values):
        raise ValueError(f"addresses and ToT values differ in length ({len(address)} and {len(values)})")
    if extra:
        return address, values, _unsigned(columns[2], extra, (np.dtype(np.uint64),))
    return address, values


def _as_map(value: Any, name: str, dtype: Any = np.float32) -> npt.NDArray[Any]:
    array = np.asarray(value)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be numbers, not {array.dtype}")
    if array.ndim == 0:
        array = np.full(SHAPE, array, dtype=dtype)
    elif array.shape == (PIXELS,):
        array = array.reshape(SHAPE)
    elif array.shape != SHAPE:
        raise ValueError(f"{name} must be a 256 x 256 map (or 65536 values, or one value), not of shape {array.shape}")
    out = np.array(array, dtype=dtype, order="C")  # a copy of our own, so nobody changes it behind the table
    out.setflags(write=False)
    return out


def _optional_float(value: Any, name: str) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number or None, not {type(value).__name__}")
    value = float(value)
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, not {value}")
    return value


def _now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


# ---- the calibration ---------------------------------------------------------------------------------------------


class Calibration:
    """Per-pixel ToT -> keV curves of one chip, ``ToT = a * E + b - c / (E - t)``, and how they were made.

    Args:
        a, b, c, t: the maps: 256 x 256 values indexed ``[y, x]``, 65536 values in address order, or one value
            for every pixel. They are kept as read-only float32 copies (the inversion table is made from them once).
        flags: :data:`DEAD`, :data:`NOISY`, :data:`UNFIT` bits per pixel; a pixel whose curve cannot be inverted
            (not finite, ``a <= 0`` or ``c < 0``) is flagged :data:`UNFIT` whatever is given.
        chip_id: the chip the curves belong to.
        polarity: ``"positive"`` or ``"negative"``, the polarity the chip was calibrated at.
        threshold_kev: the threshold (keV) during the calibration runs, if known.
        temperature: the chip temperature (degrees Celsius) during the calibration runs, if known.
        date: when the calibration was made (ISO 8601); now by default.
    """

    __slots__ = ("a", "b", "c", "t", "flags", "chip_id", "polarity", "threshold_kev", "temperature", "date", "_table")

    a: FloatMap
    b: FloatMap
    c: FloatMap
    t: FloatMap
    flags: npt.NDArray[np.uint8]
    chip_id: str
    polarity: str
    threshold_kev: Optional[float]
    temperature: Optional[float]
    date: str
    _table: Optional[FloatMap]

    def __init__(self, a: npt.ArrayLike, b: npt.ArrayLike, c: npt.ArrayLike, t: npt.ArrayLike, *,
                 flags: Optional[npt.ArrayLike] = None, chip_id: str = "", polarity: str = "positive",
                 threshold_kev: Optional[float] = None, temperature: Optional[float] = None,
                 date: Optional[str] = None) -> None:
        maps = {name: _as_map(value, name) for name, value in zip(_PARAMETERS, (a, b, c, t))}
        marks = _as_map(np.zeros(SHAPE, np.uint8) if flags is None else flags, "flags", np.uint8)
        # A pixel whose curve cannot be inverted is uncalibrated whatever its flags say.
        finite = np.logical_and.reduce([np.isfinite(m) for m in maps.values()])
        usable = finite & (maps["a"] > 0) & (maps["c"] >= 0)
        if not usable.all():
            marks = np.where(usable | (marks != 0), marks, np.uint8(UNFIT)).astype(np.uint8)
            marks.setflags(write=False)
        if not isinstance(chip_id, str):
            raise TypeError(f"chip_id must be a str, not {type(chip_id).__name__}")
        if polarity not in ("positive", "negative"):
            raise ValueError(f"polarity must be 'positive' or 'negative', not {polarity!r}")
        if date is None:
            date = _now()
        elif not isinstance(date, str):
            raise TypeError(f"date must be an ISO 8601 str, not {type(date).__name__}")
        values: Dict[str, Any] = dict(maps, flags=marks, chip_id=chip_id, polarity=polarity, date=date,
                                      threshold_kev=_optional_float(threshold_kev, "threshold_kev"),
                                      temperature=_optional_float(temperature, "temperature"), _table=None)
        for name, value in values.items():
            object.__setattr__(self, name, value)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"a Calibration is read-only (its inversion table is made from it): cannot set {name}")

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        # Through the constructor: pickle's own way would set the attributes one by one, which is refused.
        return (_rebuild, (self.a, self.b, self.c, self.t, self.flags, self.metadata()))

    def __repr__(self) -> str:
        return (f"<Calibration chip={self.chip_id!r} polarity={self.polarity} live={int(self.live.sum())}/{PIXELS}"
                f" threshold_kev={self.threshold_kev} temperature={self.temperature} date={self.date!r}>")

    @classmethod
    def uniform(cls, a: float, b: float, c: float, t: float, **metadata: Any) -> "Calibration":
        """The same curve for every pixel (a global calibration); `metadata` as for the constructor."""
        return cls(a, b, c, t, **metadata)

    @property
    def live(self) -> npt.NDArray[np.bool_]:
        """Pixels with a usable curve (256 x 256 bool)."""
        return self.flags == 0

    @property
    def table(self) -> FloatMap:
        """The inversion table the kernels use (65536 x 4 float32), made on first use."""
        table: Optional[FloatMap] = self._table
        if table is None:
            dead = ~self.live
            maps = [np.where(dead, np.float32(np.nan), getattr(self, n)).astype(np.float32) for n in _PARAMETERS]
            table = _calibration._fold(*maps)
            object.__setattr__(self, "_table", table)
        return table

    def tot(self, energy: float) -> FloatMap:
        """Every pixel's ToT at `energy` keV (256 x 256 float32; NaN for flagged pixels), from the curve."""
        e = float(energy)
        with np.errstate(divide="ignore", invalid="ignore"):
            value = self.a * e + self.b - self.c / (e - self.t)
        return np.where(self.live & (e > self.t), value, np.nan).astype(np.float32)

    def energies(self, hits: Hits, tot: Any = None) -> npt.NDArray[np.float32]:
        """Energy (keV, float32) of each hit: `hits` is a record array with ``address`` and ``tot`` fields, or an
        address array with the ToT values in `tot`. NaN for a flagged pixel or an address outside the chip."""
        address, values = _columns(hits, tot)
        return _calibration._energies(self.table, address, values)

    def spectrum(self, hits: Hits, tot: Any = None, *, bins: int = 1000,
                 range: Tuple[float, float] = (0.0, 100.0)) -> "EnergySpectrum":
        """The energy spectrum of `hits` (as for :meth:`energies`) in `bins` equal bins over `range` keV."""
        spectrum = EnergySpectrum.empty(bins, range)
        spectrum.add(self, hits, tot)
        return spectrum

    def cluster_energies(self, hits: Hits, labels: Any, tot: Any = None) -> npt.NDArray[np.float64]:
        """Energy (keV) of each cluster: the sum over its hits, where ``labels[i]`` is hit i's cluster index
        (negative: in no cluster). Entry k is cluster k's energy, NaN when one of its hits has none."""
        e = self.energies(hits, tot)
        index = np.asarray(labels)
        if index.shape != e.shape:
            raise ValueError(f"labels must give one cluster index per hit ({len(e)}), not of shape {index.shape}")
        if index.dtype.kind not in "ui":
            raise TypeError(f"labels must be integers, not {index.dtype}")
        inside = index >= 0
        index, e = index[inside].astype(np.intp), e[inside]
        size = int(index.max()) + 1 if index.size else 0
        missing = np.isnan(e)
        total = np.asarray(np.bincount(index, weights=np.where(missing, 0.0, e.astype(np.float64)), minlength=size),
                           dtype=np.float64)
        total[np.bincount(index, weights=missing, minlength=size) > 0] = np.nan
        return total

    # ---- files -----------------------------------------------------------------------------------------------

    def metadata(self) -> Dict[str, Any]:
        """The conditions of the calibration, as files store them."""
        return {"chip_id": self.chip_id, "polarity": self.polarity, "threshold_kev": self.threshold_kev,
                "temperature": self.temperature, "date": self.date}

    def save(self, path: PathLike) -> None:
        """Writes the calibration (each file whole or not at all); the suffix picks the format: ``.h5``/``.hdf5``/``.nxs`` (HDF5, needs h5py),
        ``.npz``, or ``.txt`` (the four text matrices ``<stem>_a.txt`` ... beside `path`, which is not written
        itself; flags and metadata are not kept)."""
        path = os.fspath(path)
        suffix = os.path.splitext(path)[1].lower()
        if suffix in _HDF5_SUFFIXES:
            self._save_hdf5(path)
        elif suffix == ".npz":
            self._save_npz(path)
        elif suffix == ".txt":
            for name, file in zip(_PARAMETERS, _text_files(path)):
                values = np.where(self.live, getattr(self, name), np.float32(0.0))
                with open_replacing(file) as out:
                    np.savetxt(out, values, fmt="%.9g")  # nine significant digits give every float32 back
        else:
            raise ValueError(f"unknown calibration file type {suffix or path!r}: use .h5, .npz or .txt")

    def _save_npz(self, path: str) -> None:
        meta = dict(self.metadata(), model=MODEL, package_version=__version__)
        with open_replacing(path) as f:  # a file object, so numpy adds no ".npz" of its own
            np.savez_compressed(f, a=self.a, b=self.b, c=self.c, t=self.t, flags=self.flags,
                                metadata=np.array(json.dumps(meta)))

    def _save_hdf5(self, path: str) -> None:
        h5py = _import_h5py()
        with replacing(path) as temporary, h5py.File(temporary, "w") as f:
            f.attrs["model"] = MODEL
            f.attrs["package_version"] = __version__
            for key, value in self.metadata().items():
                if value is not None:
                    f.attrs[key] = value
            for name in _PARAMETERS:
                dataset = f.create_dataset(name, data=getattr(self, name))
                dataset.attrs["units"] = _UNITS[name]
            f.create_dataset("flags", data=self.flags).attrs["meaning"] = "1 dead, 2 noisy, 4 unfit"


def _rebuild(a: Any, b: Any, c: Any, t: Any, flags: Any, metadata: Dict[str, Any]) -> Calibration:
    return Calibration(a, b, c, t, flags=flags, **metadata)


def _text_files(path: str) -> Tuple[str, ...]:
    stem = os.path.splitext(path)[0]
    for name in _PARAMETERS:  # "cal_a.txt" names the set as well as "cal.txt"
        if stem.endswith("_" + name):
            stem = stem[: -2]
            break
    return tuple(f"{stem}_{name}.txt" for name in _PARAMETERS)


def _import_h5py() -> Any:
    return optional("h5py", _HDF5_HINT)


def load(path: PathLike, **metadata: Any) -> Calibration:
    """Reads a calibration written by :meth:`Calibration.save` (or by other software in one of its formats).

    For the text format give any of the four files or ``<stem>.txt``; `metadata` (``chip_id``, ``polarity``, ...)
    then supplies what text files do not hold. Raises ValueError for a file that is not a calibration."""
    path = os.fspath(path)
    suffix = os.path.splitext(path)[1].lower()
    arrays: Dict[str, Any] = {}
    stored: Dict[str, Any] = {}
    if suffix in _HDF5_SUFFIXES:
        h5py = _import_h5py()
        with h5py.File(path, "r") as f:
            missing = [n for n in _PARAMETERS if n not in f]
            if missing:
                raise ValueError(f"{path} holds no calibration (no {', '.join(missing)} dataset)")
            arrays = {n: f[n][()] for n in _PARAMETERS}
            if "flags" in f:
                arrays["flags"] = f["flags"][()]
            stored = {k: _plain(f.attrs[k]) for k in ("chip_id", "polarity", "threshold_kev", "temperature", "date")
                      if k in f.attrs}
    elif suffix == ".npz":
        with np.load(path, allow_pickle=False) as f:
            missing = [n for n in _PARAMETERS if n not in f.files]
            if missing:
                raise ValueError(f"{path} holds no calibration (no {', '.join(missing)} array)")
            arrays = {n: f[n] for n in _PARAMETERS + (("flags",) if "flags" in f.files else ())}
            stored = json.loads(str(f["metadata"])) if "metadata" in f.files else {}
        stored = {k: v for k, v in stored.items() if k in ("chip_id", "polarity", "threshold_kev", "temperature",
                                                           "date")}
    elif suffix == ".txt":
        for name, file in zip(_PARAMETERS, _text_files(path)):
            try:
                values = np.loadtxt(file, dtype=np.float64, ndmin=2)
            except ValueError as e:
                raise ValueError(f"{file}: not a matrix of numbers ({e})") from None
            if values.shape != SHAPE:
                raise ValueError(f"{file}: a calibration matrix has 256 rows of 256 values, not {values.shape}")
            arrays[name] = values
    else:
        raise ValueError(f"unknown calibration file type {suffix or path!r}: use .h5, .npz or .txt")
    stored.update(metadata)
    return Calibration(**arrays, **stored)


def load_hits(path: PathLike) -> npt.NDArray[Any]:
    """Hits saved to a file, as a record array with (at least) ``address`` and ``tot`` fields.

    ``.npy``: a record array; ``.npz``: arrays ``address`` and ``tot`` (any integer type), or a record array
    ``hits``; HDF5 (``.h5``, ``.hdf5``, ``.nxs``, needs h5py): datasets ``address`` and ``tot`` in the root or the
    first group holding both, or an event file's hits (``event_id`` and ``time_over_threshold`` of its
    NXevent_data). Raises ValueError for a file without hits."""
    path = os.fspath(path)
    suffix = os.path.splitext(path)[1].lower()
    columns: Dict[str, Any] = {}
    if suffix == ".npy":
        records = np.load(path, allow_pickle=False)
        columns = {n: records[n] for n in ("address", "tot") if n in (records.dtype.names or ())}
    elif suffix == ".npz":
        with np.load(path, allow_pickle=False) as f:
            if "hits" in f.files:
                records = f["hits"]
                columns = {n: records[n] for n in ("address", "tot") if n in (records.dtype.names or ())}
            else:
                columns = {n: f[n] for n in ("address", "tot") if n in f.files}
    elif suffix in _HDF5_SUFFIXES:
        h5py = _import_h5py()
        # Our own layout, or an event file's NXevent_data (event_id: the address, time_over_threshold: ToT).
        names = (("address", "tot"), ("event_id", "time_over_threshold"))
        with h5py.File(path, "r") as f:
            groups = [f]
            f.visititems(lambda _, item: groups.append(item) if isinstance(item, h5py.Group) else None)
            for group in groups:
                found = [pair for pair in names if pair[0] in group and pair[1] in group]
                if found:
                    columns = {"address": group[found[0][0]][()], "tot": group[found[0][1]][()]}
                    break
    else:
        raise ValueError(f"unknown hit file type {suffix or path!r}: use .npy, .npz or .h5")
    if len(columns) != 2:
        raise ValueError(f"{path} holds no hits (an address and a tot array)")
    address, tot = _columns(columns["address"], columns["tot"])
    hits = np.zeros(len(address), HIT_DTYPE)
    hits["address"], hits["tot"] = address, tot
    return hits


def _plain(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.decode()
    if isinstance(value, np.generic):
        return value.item()
    return value


# ---- spectra -------------------------------------------------------------------------------------------------------


@dataclasses.dataclass(eq=False)
class EnergySpectrum:
    """Hits counted in equal energy bins over ``[low, high)`` keV, filled block by block with :meth:`add`."""

    counts: npt.NDArray[np.uint64]
    low: float
    high: float
    underflow: int = 0
    overflow: int = 0
    #: Hits of flagged pixels or outside the chip, which have no energy.
    uncalibrated: int = 0

    @classmethod
    def empty(cls, bins: int = 1000, range: Tuple[float, float] = (0.0, 100.0)) -> "EnergySpectrum":
        if isinstance(bins, bool) or not isinstance(bins, (int, np.integer)) or bins <= 0:
            raise ValueError(f"bins must be a positive integer, not {bins!r}")
        try:
            low, high = (float(v) for v in range)
        except (TypeError, ValueError):
            raise ValueError(f"range must be two numbers (low, high) in keV, not {range!r}") from None
        if not (math.isfinite(low) and math.isfinite(high) and low < high):
            raise ValueError(f"range must be finite and increasing, not {range!r}")
        return cls(np.zeros(int(bins), dtype=np.uint64), low, high)

    def add(self, calibration: Calibration, hits: Hits, tot: Any = None) -> None:
        """Adds the energies of `hits` (as for :meth:`Calibration.energies`) without keeping them."""
        address, values = _columns(hits, tot)
        under, over, uncalibrated = _calibration._add_spectrum(calibration.table, address, values, self.counts,
                                                               self.low, self.high)
        self.underflow += under
        self.overflow += over
        self.uncalibrated += uncalibrated

    @property
    def edges(self) -> npt.NDArray[np.float64]:
        """The ``len(counts) + 1`` bin edges (keV)."""
        return np.linspace(self.low, self.high, len(self.counts) + 1)

    @property
    def centres(self) -> npt.NDArray[np.float64]:
        edges = self.edges
        return 0.5 * (edges[:-1] + edges[1:])

    def fwhm(self, near: Optional[float] = None, window: float = 0.15) -> float:
        """Full width at half maximum (keV) of the highest peak, or of the highest within ``near * (1 +- window)``
        keV, from its Gaussian core: 2.3548 standard deviations, the deviation taken from the counts within 2.5
        of it around the centre (iterated, corrected for the cut and the bin width). Unlike walking down to half
        the highest bin, this holds for the comb of discrete energies that integer ToT gives through one curve.
        NaN when there is no peak."""
        counts = self.counts.astype(np.float64)
        centres = self.centres
        width = (self.high - self.low) / len(counts)
        region = np.ones(len(counts), dtype=bool) if near is None else np.abs(centres - near) <= abs(near) * window
        if not region.any() or counts[region].max() <= 0:
            return math.nan
        centre = float(centres[np.flatnonzero(region)[np.argmax(counts[region])]])
        half = abs(near) * window if near is not None else (self.high - self.low) / 10
        sigma = math.nan
        for _ in range(50):
            inside = np.abs(centres - centre) <= half
            weights = counts[inside]
            if weights.sum() <= 0:
                return math.nan
            centre = float(np.average(centres[inside], weights=weights))
            variance = float(np.average((centres[inside] - centre) ** 2, weights=weights)) - width * width / 12
            # A normal distribution cut at +-2.5 sigma keeps 0.9113 of its variance.
            previous, sigma = sigma, math.sqrt(max(variance, 0.0) / 0.91126)
            half = max(2.5 * sigma, 1.5 * width)
            if abs(sigma - previous) <= 1e-6 * sigma:
                break
        return 2.3548 * sigma


class CalibrationStage(stages.Stage):
    """A native stage (:class:`vrexsdk.stages.Pipeline`) giving every ToA/ToT hit its energy through
    `calibration` on the SDK's thread: an energy spectrum of `bins` bins over `range` keV, and the per-hit column
    ``"energy_kev"`` for the stages after it. :meth:`spectrum` turns its snapshot values into an
    :class:`EnergySpectrum`."""

    kind = "calibration"

    def __init__(self, calibration: Calibration, bins: int = 1000, range: Tuple[float, float] = (0.0, 100.0),
                 label: Optional[str] = None) -> None:
        if not isinstance(calibration, Calibration):
            raise TypeError(f"calibration must be a Calibration, not {type(calibration).__name__}")
        empty = EnergySpectrum.empty(bins, range)  # checks bins and range
        live = calibration.live
        maps = {name: np.where(live, getattr(calibration, name), np.nan).astype(np.float64).reshape(-1)
                for name in _PARAMETERS}
        super().__init__(label, **maps, bins=len(empty.counts), low=empty.low, high=empty.high)

    @staticmethod
    def spectrum(values: Mapping[str, Any]) -> "EnergySpectrum":
        """The :class:`EnergySpectrum` in a snapshot's values of this stage (``snap[stage.label]``)."""
        return EnergySpectrum(np.asarray(values["counts"], dtype=np.uint64), float(values["low"]),
                              float(values["high"]), int(values["underflow"]), int(values["overflow"]),
                              int(values["uncalibrated"]))

    def __repr__(self) -> str:
        return (f"CalibrationStage(label={self.label!r}, bins={self.settings['bins']}, "
                f"range=({self.settings['low']}, {self.settings['high']}))")


# ---- fitting -------------------------------------------------------------------------------------------------------


@dataclasses.dataclass(eq=False)
class LinePeaks:
    """Where one line lands in every pixel: the centre and spread of its ToT peak (256 x 256 float64) and the
    hits counted in the peak and in all (256 x 256 int64)."""

    energy: float
    peak: npt.NDArray[np.float64]
    spread: npt.NDArray[np.float64]
    counts: npt.NDArray[np.int64]
    hits: npt.NDArray[np.int64]
    #: How the centres were found (:func:`line_peaks`' options), so a model of the line is measured alike.
    window: float = 2.5
    iterations: int = 5


def line_peaks(energy: float, hits: Hits, tot: Any = None, *, window: float = 2.5,
               iterations: int = 5) -> LinePeaks:
    """The ToT peak of the line at `energy` keV in every pixel, from hits (as for :meth:`Calibration.energies`)
    of a recording of that line.

    Per pixel: the most frequent ToT first (in bins of 8), then a mean of the hits within ``window`` standard
    deviations of the centre, iterated; low-ToT tails (charge shared with a neighbour) and stray hits do not
    pull it. Single-pixel hits of a line still sit a little below its full charge (each photon's cloud leaves
    some of its charge to neighbours that stay below the threshold): :func:`fit` with ``charge_cloud`` places
    these peaks at the energy they stand for."""
    kev = _optional_float(energy, "energy")
    if kev is None or kev <= 0:
        raise ValueError(f"the line energy must be a positive number of keV, not {energy!r}")
    address, values = _columns(hits, tot)
    inside = address < PIXELS
    address, values = address[inside], values[inside]
    hits_per_pixel = np.bincount(address, minlength=PIXELS)
    centre, spread, counts = _peaks(address, values, PIXELS, window, iterations)
    return LinePeaks(kev, centre.reshape(SHAPE), spread.reshape(SHAPE), counts.reshape(SHAPE),
                     hits_per_pixel.reshape(SHAPE), window, iterations)


def _peaks(address: npt.NDArray[Any], values: npt.NDArray[Any], size: int, window: float, iterations: int
           ) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """(centre, spread, hits in the peak) of the ToT values of each of `size` pixels, as :func:`line_peaks`
    finds them; also applied to a modelled line, so the two are found the same way."""
    hits_per_pixel = np.bincount(address, minlength=size)
    # The start: each pixel's most frequent ToT in bins of 8 (one 2-D count of pixel and bin, no sort), which sits
    # on the peak whatever the tails; ToT beyond the 10-bit counter's range counts in the last bin.
    coarse = np.clip(values, 0, 1023).astype(np.intp) >> 3
    modes = np.bincount(address.astype(np.intp) * 128 + coarse, minlength=size * 128).reshape(size, 128)
    seen = hits_per_pixel > 0
    centre = np.where(seen, np.argmax(modes, axis=1) * 8.0 + 3.5, np.nan)
    del modes, coarse
    # Every iteration below sums a window of each pixel's ToT values: from one count per pixel and ToT over a
    # band of the counter's values around the start, running sums make each sum two look-ups per pixel, however
    # many hits there are. Hits beyond the band lie outside every window a peak gets.
    band = 256
    base = np.where(seen, np.floor(np.nan_to_num(centre)) - band // 2, 0.0).astype(np.int64)
    offset = values.astype(np.int64) - base[address]
    inside = (offset >= 0) & (offset < band)
    table = np.bincount(address[inside].astype(np.intp) * band + offset[inside].astype(np.intp),
                        minlength=size * band).reshape(size, band)
    del offset, inside
    # One running sum over all the pixels' bands in a row (a window's sum is a difference within one band; along
    # rows numpy's cumsum is ten times slower).
    steps = np.arange(band, dtype=np.int64)
    running = [np.concatenate([[0], np.cumsum(table * steps ** k)]) for k in range(3)]
    del table
    rows = np.arange(size) * band
    # The first window: a quarter of the typical peak position, at least a few bins.
    half = np.full(size, max(12.0, 0.25 * float(np.nanmedian(centre)) if seen.any() else 12.0))
    counts = np.zeros(size, dtype=np.int64)
    spread = np.full(size, np.nan)
    own = spread
    iterations = max(1, iterations)
    for step in range(iterations + 3):
        with np.errstate(invalid="ignore"):
            low = np.clip(np.ceil(np.nan_to_num(centre - half - base, nan=band)), 0, band).astype(np.intp)
            high = np.clip(np.floor(np.nan_to_num(centre + half - base, nan=-1.0)) + 1, 0, band).astype(np.intp)
        high = np.maximum(high, low)
        n, first, second = (r[rows + high] - r[rows + low] for r in running)
        counts = n
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = first / n
            variance = np.maximum(second / n - mean * mean, 0.0)
        centre = np.where(n > 0, base + mean, np.nan)
        spread = np.sqrt(variance)
        if step < iterations:
            own = spread
            # At least one and a half counts either side: ToT is an integer, and a narrow peak's spread is noisy.
            half = np.maximum(window * spread, 1.5)
        if step == iterations - 1:
            # Then the chip's typical width for every pixel: a pixel's own spread, from a hundred hits or so,
            # moves its window and with it its centre (a third of the scatter between pixels on a skewed line).
            # Each pixel's own spread is what is kept: it tells a noisy pixel from a quiet one.
            typical = own[counts >= 5] if (counts >= 5).any() else own[np.isfinite(own)]
            if typical.size:
                half = np.full(size, max(window * float(np.median(typical)), 1.5))
    return centre, own, counts


@dataclasses.dataclass(eq=False)
class FitResult:
    """What :func:`fit` found: the per-pixel :attr:`calibration`, one curve for the whole chip
    (:attr:`global_calibration`, fitted to the median peak of every line), and per pixel the weighted squared
    residual of its fit (``chi2``, NaN where flagged)."""

    calibration: Calibration
    global_calibration: Calibration
    chi2: npt.NDArray[np.float64]

    @property
    def dead(self) -> npt.NDArray[np.bool_]:
        return (self.calibration.flags & DEAD) != 0

    @property
    def noisy(self) -> npt.NDArray[np.bool_]:
        return (self.calibration.flags & NOISY) != 0


def _solve(normal: npt.NDArray[np.float64], rhs: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Per-row solutions of small symmetric systems (2 x 2 or 3 x 3 in closed form, which is many times faster
    than a batched LAPACK call on so many tiny systems); NaN for rows that are (nearly) singular."""
    features = normal.shape[1]
    scale = np.sqrt(np.abs(np.einsum("pii->pi", normal)))
    scale[scale == 0] = 1.0
    m = normal / (scale[:, :, None] * scale[:, None, :])  # unit diagonal: the determinant measures degeneracy
    r = rhs / scale
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        if features == 2:
            det = m[:, 0, 0] * m[:, 1, 1] - m[:, 0, 1] ** 2
            solution = np.stack([m[:, 1, 1] * r[:, 0] - m[:, 0, 1] * r[:, 1],
                                 m[:, 0, 0] * r[:, 1] - m[:, 0, 1] * r[:, 0]], axis=1) / det[:, None]
        elif features == 3:
            # The adjugate of a symmetric matrix is symmetric: six cofactors.
            c00 = m[:, 1, 1] * m[:, 2, 2] - m[:, 1, 2] ** 2
            c01 = m[:, 0, 2] * m[:, 1, 2] - m[:, 0, 1] * m[:, 2, 2]
            c02 = m[:, 0, 1] * m[:, 1, 2] - m[:, 0, 2] * m[:, 1, 1]
            c11 = m[:, 0, 0] * m[:, 2, 2] - m[:, 0, 2] ** 2
            c12 = m[:, 0, 1] * m[:, 0, 2] - m[:, 0, 0] * m[:, 1, 2]
            c22 = m[:, 0, 0] * m[:, 1, 1] - m[:, 0, 1] ** 2
            det = m[:, 0, 0] * c00 + m[:, 0, 1] * c01 + m[:, 0, 2] * c02
            solution = np.stack([c00 * r[:, 0] + c01 * r[:, 1] + c02 * r[:, 2],
                                 c01 * r[:, 0] + c11 * r[:, 1] + c12 * r[:, 2],
                                 c02 * r[:, 0] + c12 * r[:, 1] + c22 * r[:, 2]], axis=1) / det[:, None]
        else:
            det = np.linalg.det(np.where(np.isfinite(m), m, 0.0))
            safe = np.where((np.abs(det) > 1e-10)[:, None, None], m, np.eye(features))
            solution = np.linalg.solve(safe, r[..., None])[..., 0]
        ok = np.abs(det) > 1e-10
    solution = solution / scale
    solution[~ok] = np.nan
    return solution


def _scan_linear(index: npt.NDArray[np.intp], y: npt.NDArray[np.float64], weight: npt.NDArray[np.float64],
                 design: Any, candidates: npt.NDArray[np.float64], size: int, accept: Any,
                 prior: Optional[Tuple[npt.NDArray[np.float64], float]] = None
                 ) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64],
                            npt.NDArray[np.intp]]:
    """Weighted least squares of many small linear models at once, over a scanned non-linear parameter.

    Observation i belongs to model ``index[i]`` (of `size`), has value ``y[i]`` and weight ``weight[i]``; for a
    value ``s`` of the scanned parameter (one per model: each row of `candidates` is an array of `size`),
    ``design(s[index])`` gives the observations' rows of the design matrix (n x F). Every model keeps the
    candidate with the least weighted squared residual among those whose solution `accept` (models x F -> bool)
    allows; with a `prior` (centre per model, width) ``((s - centre) / width) ** 2`` is added to the residual.
    Returns (parameters models x F, scanned value, residual, row of the candidate kept); NaN, inf and -1 where
    none was accepted."""
    best = np.full(size, np.inf)
    best_row = np.full(size, -1, dtype=np.intp)
    best_p: Optional[npt.NDArray[np.float64]] = None
    for row, s in enumerate(candidates):
        x = design(s[index])
        features = x.shape[1]
        normal = np.empty((size, features, features))
        rhs = np.empty((size, features))
        for i in range(features):
            rhs[:, i] = np.bincount(index, weights=weight * x[:, i] * y, minlength=size)
            for j in range(i, features):
                normal[:, i, j] = normal[:, j, i] = np.bincount(index, weights=weight * x[:, i] * x[:, j],
                                                                minlength=size)
        params = _solve(normal, rhs)
        fitted = np.einsum("nf,nf->n", x, params[index])
        residual = np.bincount(index, weights=weight * (y - fitted) ** 2, minlength=size)
        if prior is not None:
            residual = residual + ((s - prior[0]) / prior[1]) ** 2
        with np.errstate(invalid="ignore"):
            better = accept(params) & np.isfinite(residual) & (residual < best)
        if best_p is None:
            best_p = np.full((size, features), np.nan)
        best[better] = residual[better]
        best_row[better] = row
        best_p[better] = params[better]
    assert best_p is not None
    kept = best_row >= 0
    value = np.full(size, np.nan)
    value[kept] = candidates[best_row[kept], np.flatnonzero(kept)]
    return best_p, value, best, best_row


def _scan_refined(index: npt.NDArray[np.intp], y: npt.NDArray[np.float64], weight: npt.NDArray[np.float64],
                  design: Any, candidates: npt.NDArray[np.float64], size: int, accept: Any, steps: int = 11,
                  passes: int = 2, prior: Optional[Tuple[npt.NDArray[np.float64], float]] = None
                  ) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """:func:`_scan_linear` over `candidates` (rows in increasing order), then `passes` times again on a finer
    grid between each model's neighbours of its best candidate. Returns (parameters, scanned value, residual)."""
    params, value, residual, row = _scan_linear(index, y, weight, design, candidates, size, accept, prior)
    for _ in range(passes):
        kept = np.flatnonzero(row >= 0)
        last = len(candidates) - 1
        low = np.full(size, np.nan)
        high = np.full(size, np.nan)
        low[kept] = candidates[np.maximum(row[kept] - 1, 0), kept]
        high[kept] = candidates[np.minimum(row[kept] + 1, last), kept]
        candidates = low + np.linspace(0.0, 1.0, steps)[:, None] * (high - low)
        p2, v2, r2, row = _scan_linear(index, y, weight, design, candidates, size, accept, prior)
        better = np.isfinite(r2) & (r2 <= residual)
        params[better], value[better], residual[better] = p2[better], v2[better], r2[better]
    return params, value, residual


def _energy_design(energies: npt.NDArray[np.float64]) -> Any:
    def design(t: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        return np.stack([energies, np.ones_like(energies), -1.0 / (energies - t)], axis=1)
    return design


def _accept_curve(params: npt.NDArray[np.float64]) -> npt.NDArray[np.bool_]:
    return (params[:, 0] > 0) & (params[:, 2] >= 0)


def _fit_curves(energy: npt.NDArray[np.float64], index: npt.NDArray[np.intp], y: npt.NDArray[np.float64],
                weight: npt.NDArray[np.float64], size: int, lowest: float, steps: int,
                prior: Optional[Tuple[npt.NDArray[np.float64], float]] = None
                ) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(parameters size x 4 as a, b, c, t; residual) of the curves through the observations, t scanned below
    the lowest line (closer values more finely: a pixel's t sits a few keV under its threshold) and refined;
    `prior` as for :func:`_scan_linear`, its pull on t left out of the residual returned."""
    grid = lowest - np.geomspace(0.05, max(30.0, 4 * lowest), steps)[::-1]
    params, t, residual = _scan_refined(index, y, weight, _energy_design(energy),
                                        np.repeat(grid[:, None], size, axis=1), size, _accept_curve, prior=prior)
    if prior is not None:
        residual = residual - np.nan_to_num(((t - prior[0]) / prior[1]) ** 2)
    # With c = 0 the curve is a line and t plays no part; a line fits where no accepted curve does.
    line_x = np.stack([energy, np.ones_like(energy)], axis=1)
    line_p, _, line_r, _ = _scan_linear(index, y, weight, lambda _: line_x, np.zeros((1, size)), size,
                                        lambda p: p[:, 0] > 0)
    use_line = np.isfinite(line_r) & ~(residual <= line_r)
    out = np.column_stack([params, t])
    lines = int(use_line.sum())
    out[use_line] = np.column_stack([line_p[use_line], np.zeros(lines), np.zeros(lines)])
    return out, np.where(use_line, line_r, residual)


def fit(lines: Union[Mapping[float, Hits], Sequence[LinePeaks]], *, min_hits: int = 20, noisy_factor: float = 8.0,
        t_steps: int = 48, charge_cloud: Optional[float] = None, t_spread: Optional[float] = 0.5,
        **metadata: Any) -> FitResult:
    """Fits every pixel's curve to recordings of known lines.

    Args:
        lines: ``{energy_kev: hits}`` (hits of a recording of that line, as for :meth:`Calibration.energies`), or
            the :class:`LinePeaks` of each line. At least three lines; four or more to fit ``t`` per pixel
            (with three, every pixel takes the ``t`` of the chip's global curve).
        min_hits: hits a pixel needs in a line's peak to use that line; a pixel without them in enough lines is
            flagged :data:`DEAD` (no hits at all) or :data:`UNFIT`.
        noisy_factor: a pixel with more than this many times the median hits of a line, or a ToT spread more than
            this many times the median spread, is flagged :data:`NOISY`.
        t_steps: values of ``t`` scanned (then refined around the best).
        t_spread: how far (keV, one standard deviation) a pixel's ``t`` is expected to lie from the chip's: four
            lines hardly fix ``t`` on their own, and a ``t`` chasing the noise of the lowest line's peak
            throws the whole curve off, so each pixel's is pulled towards the chip's by this much. None: free.
        charge_cloud: for recordings of single-pixel hits (clusters of one pixel): the standard deviation (in
            pixel pitches) of a photon's charge cloud. Such a hit kept its charge only because its neighbours'
            shares stayed below the threshold, so it has still lost up to that much, and its line's peak lies
            below the full charge by a few percent. With the cloud and ``threshold_kev`` (the threshold during the
            recordings) every line's peak is placed at the energy it stands for: the same peak found in a model
            of the line (a photon absorbed anywhere in the pixel, its cloud shared across the nearest edges, the
            neighbours below the threshold, smeared by the resolution that gives the measured spread). None:
            every peak is taken at its line's energy.
        metadata: ``chip_id``, ``polarity``, ``threshold_kev``, ``temperature``, ``date`` of the calibration.
    """
    if isinstance(lines, Mapping):
        peaks = [line_peaks(energy, hits) for energy, hits in lines.items()]
    else:
        peaks = list(lines)
        if not all(isinstance(p, LinePeaks) for p in peaks):
            raise TypeError("lines must map energies (keV) to hits, or be a sequence of LinePeaks")
    if len(peaks) < 3:
        raise ValueError(f"a fit needs at least three lines (four to fit t per pixel), not {len(peaks)}")
    energies = np.array([p.energy for p in peaks], dtype=np.float64)
    if len(set(energies.tolist())) != len(energies):
        raise ValueError(f"every line needs its own energy, not {energies.tolist()}")
    if isinstance(min_hits, bool) or not isinstance(min_hits, int) or min_hits < 1:
        raise ValueError(f"min_hits must be a positive integer, not {min_hits!r}")
    if not (isinstance(noisy_factor, (int, float)) and noisy_factor > 1):
        raise ValueError(f"noisy_factor must be a number above 1, not {noisy_factor!r}")
    if isinstance(t_steps, bool) or not isinstance(t_steps, int) or t_steps < 2:
        raise ValueError(f"t_steps must be an integer of at least 2, not {t_steps!r}")
    spread_t = _optional_float(t_spread, "t_spread")
    if spread_t is not None and spread_t <= 0:
        raise ValueError(f"t_spread must be a positive number of keV or None, not {t_spread!r}")
    cloud = _optional_float(charge_cloud, "charge_cloud")
    threshold = _optional_float(metadata.get("threshold_kev"), "threshold_kev")
    if cloud is not None:
        if not 0 < cloud <= 1:
            raise ValueError(f"charge_cloud must be a standard deviation of more than 0 and at most 1 pixel pitch, "
                             f"not {charge_cloud!r}")
        if threshold is None or not 0 < threshold < energies.min():
            raise ValueError(f"charge_cloud needs threshold_kev, the threshold during the recordings, between 0 and "
                             f"the lowest line ({energies.min()} keV), not {threshold}")

    peak = np.stack([p.peak.reshape(PIXELS) for p in peaks])    # lines x pixels
    spread = np.stack([p.spread.reshape(PIXELS) for p in peaks])
    counts = np.stack([p.counts.reshape(PIXELS) for p in peaks])
    hits = np.stack([p.hits.reshape(PIXELS) for p in peaks])

    flags = np.zeros(PIXELS, dtype=np.uint8)
    flags[hits.sum(axis=0) == 0] |= DEAD
    typical_hits = np.array([np.median(h[h > 0]) if (h > 0).any() else 0.0 for h in hits])
    typical_spread = np.array([np.nanmedian(s[c >= min_hits]) if (c >= min_hits).any() else np.nan
                               for s, c in zip(spread, counts)])
    with np.errstate(invalid="ignore"):
        noisy = (hits > noisy_factor * typical_hits[:, None]).any(axis=0) | \
            (spread > noisy_factor * np.maximum(typical_spread[:, None], 0.5)).any(axis=0)
    flags[noisy & (flags == 0)] |= NOISY
    used = (counts >= min_hits) & np.isfinite(peak) & (flags == 0)[None, :]

    # Weights: the inverse variance of each peak position (its spread, at least ToT's quantisation, over sqrt n).
    with np.errstate(divide="ignore", invalid="ignore"):
        sigma2 = np.maximum(spread, 0.5) ** 2 / np.maximum(counts, 1)
        weight = np.where(used, 1.0 / sigma2, 0.0)

    # The chip's global curve, through the median peak of every line over the pixels that see them all.
    everywhere = used.all(axis=0)
    if not everywhere.any():
        raise ValueError("no pixel has enough hits in every line: record longer, or lower min_hits")
    median_peak = np.median(peak[:, everywhere], axis=1)

    def global_curve(at: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        curve, _ = _fit_curves(at, np.zeros(len(at), dtype=np.intp), median_peak, np.ones(len(at)), 1,
                               float(at.min()), t_steps * 2)
        if not np.isfinite(curve).all():
            raise ValueError(f"no invertible curve fits the lines' median peaks {median_peak.tolist()} at "
                             f"{at.tolist()} keV")
        return curve[0]

    global_p = global_curve(energies)
    if cloud is not None:
        assert threshold is not None
        # Each peak's energy from the model measured through the chip's curve, which itself moves with the
        # energies it is fitted at: twice is enough (the second pass moves them by hundredths of a percent).
        draws = _SharedCharge(threshold, cloud)
        for _ in range(2):
            energies = np.array([draws.effective_energy(p.energy, s, global_p, p.window, p.iterations)
                                 for p, s in zip(peaks, typical_spread)])
            global_p = global_curve(energies)

    # Every pixel: (line, pixel) observations with weight 0 for lines the pixel lacks.
    pixel_index = np.broadcast_to(np.arange(PIXELS), peak.shape).reshape(-1)
    line_energy = np.broadcast_to(energies[:, None], peak.shape).reshape(-1)
    y = np.nan_to_num(peak.reshape(-1))
    w = weight.reshape(-1)
    lines_used = used.sum(axis=0)
    if len(peaks) >= 4:
        prior = None if spread_t is None else (np.full(PIXELS, global_p[3]), spread_t)
        params, chi2 = _fit_curves(line_energy, pixel_index, y, w, PIXELS, float(energies.min()), t_steps, prior)
        enough = lines_used >= 4
    else:
        t_fixed = np.full(PIXELS, global_p[3])
        params3, _, chi2, _ = _scan_linear(pixel_index, y, w, _energy_design(line_energy), t_fixed[None, :],
                                           PIXELS, _accept_curve)
        params = np.column_stack([params3, t_fixed])
        enough = lines_used >= 3
    fitted = enough & np.isfinite(params).all(axis=1) & (flags == 0)
    flags[(flags == 0) & ~fitted] |= UNFIT
    params[~fitted] = np.nan
    chi2 = np.where(fitted, chi2, np.nan)

    calibration = Calibration(*(params[:, i].reshape(SHAPE) for i in range(4)), flags=flags.reshape(SHAPE),
                              **metadata)
    global_metadata = {k: v for k, v in calibration.metadata().items()}
    global_cal = Calibration.uniform(*(float(v) for v in global_p), **global_metadata)
    return FitResult(calibration, global_cal, chi2.reshape(SHAPE))


class _SharedCharge:
    """Single-pixel hits of a line as the sensor makes them, for a charge cloud of `cloud` pixel pitches and a
    threshold of `threshold` keV: fixed draws (the same for every line and resolution, so the estimates they
    give change smoothly with both)."""

    SAMPLES = 200_000

    def __init__(self, threshold: float, cloud: float) -> None:
        rng = np.random.default_rng(0x5EED)
        self.threshold = threshold
        # The distance of the absorption point to the nearest edge in x and in y (uniform over the pixel), and
        # the share of a Gaussian cloud beyond that edge, Phi(-d / cloud), from a table of erfc.
        distance = 0.5 * rng.random((2, self.SAMPLES))
        grid = np.linspace(0.0, 0.5, 2049)
        beyond = np.array([0.5 * math.erfc(d / (cloud * math.sqrt(2.0))) for d in grid])
        self.share = np.interp(distance, grid, beyond)
        self.noise = rng.standard_normal((4, self.SAMPLES))
        self.dither = rng.random(self.SAMPLES) - 0.5  # where each pixel's curve falls between two ToT counts

    def energies(self, energy: float, resolution: float) -> npt.NDArray[np.float64]:
        """The energies (keV) of the single-pixel hits of photons of `energy`, smeared by `resolution` (keV, one
        standard deviation at `energy`, in proportion below it)."""
        sx, sy = self.share
        kept = energy * (1 - sx) * (1 - sy)
        neighbours = (energy * sx * (1 - sy), energy * (1 - sx) * sy, energy * sx * sy)
        scale = resolution / energy
        alone = np.ones(self.SAMPLES, dtype=bool)
        for deposit, noise in zip(neighbours, self.noise[1:]):
            alone &= deposit * (1 + scale * noise) <= self.threshold
        seen = kept * (1 + scale * self.noise[0])
        return seen[alone & (seen > self.threshold)]

    def effective_energy(self, energy: float, spread: float, curve: npt.NDArray[np.float64], window: float,
                         iterations: int) -> float:
        """The energy at which `curve` (a, b, c, t) gives the peak :func:`line_peaks` finds in the modelled
        line, the resolution chosen so that the modelled peak has the measured `spread` (ToT)."""
        a, b, c, t = (float(v) for v in curve)
        slope = a + c / (energy - t) ** 2
        guess = spread / slope if math.isfinite(spread) and spread > 0 else 0.03 * energy
        found = []
        for resolution in guess * np.linspace(0.1, 1.2, 12):
            e = self.energies(energy, float(resolution))
            e = e[e > t]
            if e.size < 1000:
                raise ValueError(f"the model of the {energy} keV line leaves almost no single-pixel hits above the "
                                 f"threshold: check threshold_kev and charge_cloud")
            tot = np.rint(a * e + b - c / (e - t) + self.dither[: e.size]).clip(0, 1023).astype(np.int64)
            centre, width, _ = _peaks(np.zeros(e.size, dtype=np.intp), tot, 1, window, iterations)
            found.append((float(width[0]), float(centre[0])))
        widths, centres = (np.array(v) for v in zip(*found))
        # The spread grows with the resolution; where the measured one falls between two, so does the peak.
        widths = np.maximum.accumulate(widths)
        peak = float(np.interp(spread, widths, centres)) if math.isfinite(spread) else centres[-1]
        return float((peak - b + a * t + math.sqrt((b + a * t - peak) ** 2 + 4 * a * c)) / (2 * a))


# ---- time-walk -----------------------------------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True, eq=False)
class TimeWalk:
    """Per-pixel time-walk: a hit of energy E crosses the threshold ``d + w / (E - e0)`` ns late.

    Maps are 256 x 256 float32 (``w`` in ns keV, ``e0`` in keV, ``d`` in ns), as for :class:`Calibration`."""

    w: FloatMap
    e0: FloatMap
    d: FloatMap
    _table: Any = dataclasses.field(default=None, init=False, repr=False)

    def __post_init__(self) -> None:
        for name in ("w", "e0", "d"):
            object.__setattr__(self, name, _as_map(getattr(self, name), name))
        table = np.stack([self.w.reshape(-1), self.e0.reshape(-1), self.d.reshape(-1)], axis=1)
        object.__setattr__(self, "_table", np.ascontiguousarray(table, dtype=np.float32))

    def delay(self, energies: Any, addresses: Any) -> npt.NDArray[np.float64]:
        """The walk (ns) of hits of these energies (keV) at these addresses; NaN at or below ``e0``."""
        address = _unsigned(addresses, "addresses", (np.dtype(np.uint32),))
        e = np.asarray(energies, dtype=np.float64)
        if e.shape != address.shape:
            raise ValueError(f"energies and addresses differ in shape ({e.shape} and {address.shape})")
        inside = address < PIXELS
        pixel = np.where(inside, address, 0)
        above = e - self.e0.reshape(-1)[pixel]
        with np.errstate(divide="ignore", invalid="ignore"):
            walk = self.d.reshape(-1)[pixel] + self.w.reshape(-1)[pixel] / above
        return np.where(inside & (above > 0), walk, np.nan)

    def correct(self, hits: Hits, energies: Any, *, tick_ns: float = TOA_TICK_NS) -> npt.NDArray[np.float64]:
        """Arrival times (ns, float64) of `hits` (records with ``address``, ``tot`` and ``toa``) corrected for
        the walk of their `energies` (keV, from :meth:`Calibration.energies`): ``toa * tick_ns`` minus the walk."""
        address, _, toa = _columns(hits, extra="toa")
        e = np.ascontiguousarray(energies, dtype=np.float32)
        if e.shape != address.shape:
            raise ValueError(f"energies must give one value per hit ({len(address)}), not of shape {e.shape}")
        return _calibration._correct_time_walk(self._table, address, toa, e, tick_ns)


def fit_time_walk(addresses: Any, energies: Any, delays_ns: Any, *, min_hits: int = 10,
                  e0_steps: int = 40) -> TimeWalk:
    """Fits every pixel's walk ``d + w / (E - e0)`` to hits of known delay: `delays_ns` is each hit's arrival
    time less a reference (a trigger, or the largest hit of its track). ``e0`` is scanned below each pixel's
    lowest energy; pixels with fewer than `min_hits` hits get NaN (no correction)."""
    address = _unsigned(addresses, "addresses", (np.dtype(np.uint32),))
    e = np.asarray(energies, dtype=np.float64)
    delay = np.asarray(delays_ns, dtype=np.float64)
    if e.shape != address.shape or delay.shape != address.shape:
        raise ValueError("addresses, energies and delays must have the same length")
    good = (address < PIXELS) & (e > 0) & np.isfinite(e) & np.isfinite(delay)
    index, e, delay = address[good].astype(np.intp), e[good], delay[good]
    counts = np.bincount(index, minlength=PIXELS)
    lowest = np.full(PIXELS, np.inf)
    np.minimum.at(lowest, index, e)
    span = np.where(np.isfinite(lowest), lowest, 1.0)

    def design(e0: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        return np.stack([1.0 / (e - e0), np.ones_like(e)], axis=1)

    fractions = np.geomspace(10.0, 0.01, e0_steps)  # e0 = lowest energy less a fraction of it, increasing
    params, e0, _ = _scan_refined(index, delay, np.ones_like(delay), design, span - fractions[:, None] * span,
                                  PIXELS, lambda p: p[:, 0] >= 0)
    enough = (counts >= min_hits) & np.isfinite(params).all(axis=1)
    nan = np.float32(np.nan)
    return TimeWalk(w=np.where(enough, params[:, 0], nan).reshape(SHAPE),
                    e0=np.where(enough, e0, nan).reshape(SHAPE), d=np.where(enough, params[:, 1], nan).reshape(SHAPE))
