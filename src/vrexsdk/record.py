"""Whole acquisitions in one call: :func:`record` runs an acquisition and returns a :class:`Recording`.

The data callables of :mod:`vrexsdk.acquisition` receive arrays that view the SDK's memory during the call only.
:func:`record` registers its own callable, which reduces every block on the spot (a hit map and histograms for
Timepix3 hits, a summed image for frames, accumulated sums for binned modes, a byte count for raw data) and keeps
nothing that points into the SDK's buffers::

    from vrexsdk import vrex
    from vrexsdk.record import record

    device = vrex.Device()
    device.open(device.enumerate()[0].connectionString)
    rec = record(device, "0:tpx3-dd-toa-tot", blocks=10)
    rec.hit_map.sum(), rec.tot_histogram.counts.argmax()
    rec.save("run.npz")             # or "run.h5" with h5py installed
    rec.save_png("run.png")         # with Pillow installed

Pixel addresses are ``y * 256 + x``; the hit map and the summed frame are indexed ``[y, x]`` (rows are y, as in
an image). :meth:`vrexsdk.configuration.__Configuration.getMask` is indexed ``[x, y]``, so ``mask.T`` lines up
with :meth:`Recording.image`.

Ctrl-C during :func:`record` stops the acquisition and raises :class:`RecordingInterrupted`, a
:class:`KeyboardInterrupt` whose ``recording`` attribute holds what was accumulated until then (with
``interrupted=True``)::

    try:
        rec = record(device, mode, seconds=60)
    except RecordingInterrupted as stopped:
        rec = stopped.recording
"""

from __future__ import annotations

import dataclasses
import datetime
import functools
import importlib
import io
import json
import logging
import math
import os
import threading
import time
from typing import Any, Callable, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from vrexsdk import __version__
from vrexsdk.calibration import Calibration, CalibrationStage, EnergySpectrum
from vrexsdk._files import SaveInterrupted, open_replacing, replacing
from vrexsdk.chip import BinningParams
from vrexsdk.errors import VrexSdkException, VrexSdkInvalidOperationError
from vrexsdk.vrex import Device

__all__ = [
    "BINNED_MODES",
    "FRAME_MODES",
    "HIT_MODES",
    "RAW_MODE",
    "Histogram",
    "Progress",
    "Recording",
    "RecordingInterrupted",
    "SaveInterrupted",
    "load",
    "record",
]

_log = logging.getLogger("vrexsdk")

#: Pixels per row and rows of the read-out matrix; a pixel address is ``y * 256 + x``.
MATRIX_WIDTH = 256
MATRIX_HEIGHT = 256
_PIXELS = MATRIX_WIDTH * MATRIX_HEIGHT

#: Timepix3 modes delivering hits (ToA and ToT, or integrated ToT and event counts), as records or as vectors.
HIT_MODES = (
    "0:tpx3-dd-toa-tot",
    "0:tpx3-dd-toa-tot-vec",
    "0:tpx3-sorted-dd-toa-tot",
    "0:tpx3-seq-toa-tot",
    "0:tpx3-seq-toa-tot-vec",
    "0:tpx3-seq-itot-event",
    "0:tpx3-seq-itot-event-vec",
)
#: Modes delivering whole frames of 256 x 256 counters.
FRAME_MODES = ("0:tpx-medipix",)
#: Binned Timepix3 modes; they take :class:`~vrexsdk.chip.BinningParams`.
BINNED_MODES = ("0:tpx3-binned-packets", "0:tpx3-binned-count-sums", "0:tpx3-binned-itot-sums")
#: The mode delivering the undecoded byte stream.
RAW_MODE = "0:raw-data"

_TOT_BINS = 1024  # Timepix3 ToT is a 10-bit counter: one bin per value, larger values go to the overflow
_ITOT_BINS, _ITOT_WIDTH = 4096, 16  # integrated ToT up to 65535 in bins of 16
_TOA_BINS = 1024  # the ToA histogram keeps this many bins and doubles their width as the run grows

_HDF5_HINT = 'saving HDF5 files needs h5py: pip install "vrexsdk[hdf5]" (or save to .npz)'
_PNG_HINT = 'writing PNG images needs Pillow: pip install "vrexsdk[cli]"'

ArrayU64 = npt.NDArray[np.uint64]
PathLike = Union[str, "os.PathLike[str]"]


class RecordingInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped :func:`record`; :attr:`recording` holds the data accumulated until then."""

    def __init__(self, recording: "Recording") -> None:
        super().__init__("recording interrupted")
        self.recording = recording


@dataclasses.dataclass(frozen=True)
class Progress:
    """How far a recording has come, handed to the ``progress`` callable of :func:`record`.

    ``events`` counts what the mode delivers: hits, frames, binned packets or raw bytes (named by ``unit``).
    """

    blocks: int
    events: int
    unit: str
    elapsed: float
    #: The requested block count, or None.
    total_blocks: Optional[int] = None
    #: The requested duration in seconds, or None.
    total_seconds: Optional[float] = None

    @property
    def rate(self) -> float:
        """Events per second so far (0.0 before any time has passed)."""
        return self.events / self.elapsed if self.elapsed > 0 else 0.0


@dataclasses.dataclass(eq=False)
class Histogram:
    """Counts in equal bins: bin ``i`` covers ``[origin + i * bin_width, origin + (i + 1) * bin_width)``."""

    counts: ArrayU64
    origin: int = 0
    bin_width: int = 1
    #: Values below ``origin`` and at or above the last edge, which no bin holds.
    underflow: int = 0
    overflow: int = 0

    @property
    def edges(self) -> npt.NDArray[np.float64]:
        """The ``len(counts) + 1`` bin edges, as ``numpy.histogram`` returns them."""
        return self.origin + np.arange(len(self.counts) + 1, dtype=np.float64) * self.bin_width

    @property
    def total(self) -> int:
        """Every value counted, including under- and overflow."""
        return int(self.counts.sum()) + self.underflow + self.overflow


class _Accumulator:
    """A histogram filled block by block; with ``adaptive`` the bin width doubles to keep every value in range."""

    def __init__(self, bins: int, width: int = 1, origin: Optional[int] = 0, adaptive: bool = False) -> None:
        self.counts = np.zeros(bins, dtype=np.uint64)
        self.width = width
        self.origin = origin
        self.adaptive = adaptive
        self.underflow = 0
        self.overflow = 0

    def add(self, values: npt.NDArray[Any]) -> None:
        if values.size == 0:
            return
        values = values.astype(np.uint64, copy=False)
        if self.origin is None:  # the first values seen set the origin of an adaptive histogram
            self.origin = int(values.min())
        origin = np.uint64(self.origin)
        below = values < origin
        if below.any():
            self.underflow += int(below.sum())
            values = values[~below]
            if values.size == 0:
                return
        offsets = values - origin
        bins = len(self.counts)
        if self.adaptive:
            span = int(offsets.max())
            while span >= bins * self.width:  # merging neighbours keeps the counts exact
                merged = self.counts.reshape(-1, 2).sum(axis=1, dtype=np.uint64)
                self.counts = np.concatenate([merged, np.zeros(bins - len(merged), dtype=np.uint64)])
                self.width *= 2
        index = offsets // np.uint64(self.width)
        inside = index < np.uint64(bins)
        if not inside.all():
            self.overflow += int((~inside).sum())
            index = index[inside]
        self.counts += np.bincount(index.astype(np.intp), minlength=bins).astype(np.uint64)

    def result(self) -> Histogram:
        return Histogram(self.counts.copy(), int(self.origin or 0), self.width, self.underflow, self.overflow)


def _is_empty(array: Any) -> bool:
    # An empty block arrives as a plain float64 array of length 0, without the mode's fields.
    return not isinstance(array, np.ndarray) or array.size == 0


def _add_sums(total: Optional[ArrayU64], block: npt.NDArray[Any]) -> ArrayU64:
    block = block.astype(np.uint64, copy=False)
    if total is None:
        return block.copy()
    if len(block) > len(total):  # a longer block (more bins) extends the sums with zeros
        total = np.concatenate([total, np.zeros(len(block) - len(total), dtype=np.uint64)])
    total[: len(block)] += block
    return total


class _Sink:
    """The data callable registered by :func:`record`: reduces each block under a lock, keeps no delivered array.

    The SDK calls it on its own threads (one call at a time per channel); the main thread reads through
    :meth:`snapshot` and :meth:`progress`.
    """

    def __init__(self, mode: Optional[str], limit: Optional[int], keep_raw: bool) -> None:
        self.mode = mode
        self.limit = limit
        self.keep_raw = keep_raw
        self.lock = threading.Lock()
        self.full = threading.Event()  # set once `limit` blocks were accumulated
        self.closed = False
        self.kind = ""
        self.blocks = 0
        self.ignored = 0
        self.hits = 0
        self.frames = 0
        self.packets = 0
        self.byte_count = 0
        self.outside = 0
        self.hit_map: Optional[ArrayU64] = None
        self.itot_map: Optional[ArrayU64] = None
        self.summed_frame: Optional[ArrayU64] = None
        self.hit_sums: Optional[ArrayU64] = None
        self.itot_sums: Optional[ArrayU64] = None
        self.tot: Optional[_Accumulator] = None
        self.toa: Optional[_Accumulator] = None
        self.itot: Optional[_Accumulator] = None
        self.tdc_counts = [0, 0, 0]
        self.raw: List[bytes] = []

    # ---- the callable -------------------------------------------------------------------------------------------

    def __call__(self, *args: Any) -> None:
        with self.lock:
            if self.closed or (self.limit is not None and self.blocks >= self.limit):
                self.ignored += 1
                return
            if not self._accumulate(args):
                self.ignored += 1
                return
            self.blocks += 1
            if self.limit is not None and self.blocks >= self.limit:
                self.full.set()

    def _claim(self, kind: str) -> bool:
        # The first block decides what the recording holds; a block of another layout is not mixed in.
        if not self.kind:
            self.kind = kind
        return self.kind == kind

    def _accumulate(self, args: Tuple[Any, ...]) -> bool:
        if args and isinstance(args[-1], dict):  # data-driven modes end with their metadata
            metadata, args = args[-1], args[:-1]
            for i, stamps in enumerate(list(metadata.get("tdcs", ()))[:3]):
                self.tdc_counts[i] += 0 if _is_empty(stamps) else len(stamps)
        if self.mode == RAW_MODE or self.mode is None and len(args) == 1 and _dtype_is(args[0], np.uint8):
            return self._raw(args[0]) if len(args) == 1 else False
        if len(args) == 4:
            return self._binned_packets(*args)
        if len(args) == 3:
            return self._hit_vectors(*args)
        if len(args) != 1:
            return False
        (data,) = args
        if self.mode in FRAME_MODES or self.mode is None and _dtype_is(data, np.uint16):
            return self._frames(data)
        if self.mode in BINNED_MODES or self.mode is None and _dtype_is(data, np.uint64):
            return self._sums(data)
        return self._hit_records(data)

    def _pixels(self, addresses: npt.NDArray[Any], weights: Optional[npt.NDArray[Any]] = None) -> ArrayU64:
        addresses = addresses.astype(np.int64, copy=False)
        inside = addresses < _PIXELS
        if not inside.all():
            self.outside += int((~inside).sum())
            addresses = addresses[inside]
            weights = None if weights is None else weights[inside]
        w = None if weights is None else weights.astype(np.float64)
        counts = np.bincount(addresses, weights=w, minlength=_PIXELS)
        return np.rint(counts).astype(np.uint64).reshape(MATRIX_HEIGHT, MATRIX_WIDTH)

    def _add_map(self, name: str, counts: ArrayU64) -> None:
        current: Optional[ArrayU64] = getattr(self, name)
        setattr(self, name, counts if current is None else current + counts)

    def _toa_tot(self, addresses: npt.NDArray[Any], toa: npt.NDArray[Any], tot: npt.NDArray[Any]) -> bool:
        if not self._claim("hits"):
            return False
        if self.tot is None or self.toa is None:
            self.tot = _Accumulator(_TOT_BINS)
            self.toa = _Accumulator(_TOA_BINS, origin=None, adaptive=True)
        self.hits += len(addresses)
        self._add_map("hit_map", self._pixels(addresses))
        self.tot.add(tot)
        self.toa.add(toa)
        return True

    def _itot_events(self, addresses: npt.NDArray[Any], events: npt.NDArray[Any], itot: npt.NDArray[Any]) -> bool:
        if not self._claim("itot-events"):
            return False
        if self.itot is None:
            self.itot = _Accumulator(_ITOT_BINS, width=_ITOT_WIDTH)
        self.hits += len(addresses)
        self._add_map("hit_map", self._pixels(addresses, events))
        self._add_map("itot_map", self._pixels(addresses, itot))
        self.itot.add(itot)
        return True

    def _hit_records(self, records: Any) -> bool:
        if _is_empty(records):
            return self._claim(self.kind or _kind_of_mode(self.mode))
        names = records.dtype.names or ()
        if "tot" in names and "toa" in names:
            return self._toa_tot(records["address"], records["toa"], records["tot"])
        if "itot" in names and "event" in names:
            return self._itot_events(records["address"], records["event"], records["itot"])
        return False

    def _hit_vectors(self, addresses: Any, second: Any, third: Any) -> bool:
        if _is_empty(addresses):
            return self._claim(self.kind or _kind_of_mode(self.mode))
        itot_form = self.mode in ("0:tpx3-seq-itot-event", "0:tpx3-seq-itot-event-vec") or (
            self.mode is None and _dtype_is(second, np.uint16)
        )
        if itot_form:
            return self._itot_events(addresses, second, third)
        return self._toa_tot(addresses, second, third)

    def _frames(self, frames: Any) -> bool:
        if not self._claim("frames"):
            return False
        if _is_empty(frames):
            return True
        count = len(frames) // _PIXELS
        stack = frames[: count * _PIXELS].reshape(count, MATRIX_HEIGHT, MATRIX_WIDTH)
        summed = stack.sum(axis=0, dtype=np.uint64)
        self.summed_frame = summed if self.summed_frame is None else self.summed_frame + summed
        self.frames += count
        return True

    def _sums(self, sums: Any) -> bool:
        if not self._claim("binned"):
            return False
        if _is_empty(sums):
            return True
        if self.mode == "0:tpx3-binned-itot-sums":
            self.itot_sums = _add_sums(self.itot_sums, sums)
        else:
            self.hit_sums = _add_sums(self.hit_sums, sums)
        return True

    def _binned_packets(self, packets: Any, descriptors: Any, hit_sums: Any, itot_sums: Any) -> bool:
        if not self._claim("binned"):
            return False
        if not _is_empty(packets):
            self.packets += len(packets)
            self._add_map("hit_map", self._pixels(packets["address"], packets["count"]))
            self._add_map("itot_map", self._pixels(packets["address"], packets["itot"]))
        if not _is_empty(hit_sums):
            self.hit_sums = _add_sums(self.hit_sums, hit_sums)
        if not _is_empty(itot_sums):
            self.itot_sums = _add_sums(self.itot_sums, itot_sums)
        return True

    def _raw(self, data: Any) -> bool:
        if not self._claim("raw"):
            return False
        if _is_empty(data):
            return True
        self.byte_count += len(data)
        if self.keep_raw:
            self.raw.append(data.tobytes())
        return True

    # ---- reading from the main thread --------------------------------------------------------------------------

    def close(self) -> None:
        """Makes every later delivery a no-op: the SDK keeps the registration until another replaces it."""
        with self.lock:
            self.closed = True

    def drop(self) -> None:
        """Closes and lets go of the accumulators: the registered callable may outlive :func:`record` by long."""
        with self.lock:
            self.closed = True
            self.hit_map = self.itot_map = self.summed_frame = self.hit_sums = self.itot_sums = None
            self.tot = self.toa = self.itot = None
            self.raw = []

    def progress(self, elapsed: float, total_blocks: Optional[int], total_seconds: Optional[float]) -> Progress:
        with self.lock:
            unit = {"frames": "frames", "raw": "bytes"}.get(self.kind, "packets" if self.packets else "hits")
            events = {"frames": self.frames, "raw": self.byte_count}.get(self.kind, self.packets or self.hits)
            return Progress(self.blocks, events, unit, elapsed, total_blocks, total_seconds)

    def snapshot(self, **fields: Any) -> "Recording":
        with self.lock:
            return Recording(
                kind=self.kind or _kind_of_mode(self.mode),
                blocks=self.blocks,
                hits=self.hits,
                frames=self.frames,
                packets=self.packets,
                byte_count=self.byte_count,
                hit_map=None if self.hit_map is None else self.hit_map.copy(),
                itot_map=None if self.itot_map is None else self.itot_map.copy(),
                summed_frame=None if self.summed_frame is None else self.summed_frame.copy(),
                hit_sums=None if self.hit_sums is None else self.hit_sums.copy(),
                itot_sums=None if self.itot_sums is None else self.itot_sums.copy(),
                tot_histogram=None if self.tot is None else self.tot.result(),
                toa_histogram=None if self.toa is None else self.toa.result(),
                itot_histogram=None if self.itot is None else self.itot.result(),
                tdc_counts=tuple(self.tdc_counts),
                raw=b"".join(self.raw) if self.keep_raw else None,
                outside=self.outside,
                ignored=self.ignored,
                **fields,
            )


def _dtype_is(array: Any, dtype: Any) -> bool:
    return isinstance(array, np.ndarray) and array.dtype == dtype


def _kind_of_mode(mode: Optional[str]) -> str:
    if mode in ("0:tpx3-seq-itot-event", "0:tpx3-seq-itot-event-vec"):
        return "itot-events"
    if mode in HIT_MODES:
        return "hits"
    if mode in FRAME_MODES:
        return "frames"
    if mode in BINNED_MODES:
        return "binned"
    if mode == RAW_MODE:
        return "raw"
    return ""


# ---- the recording -------------------------------------------------------------------------------------------------

_ARRAYS = ("hit_map", "itot_map", "summed_frame", "hit_sums", "itot_sums")
_HISTOGRAMS = ("tot_histogram", "toa_histogram", "itot_histogram", "cluster_size_histogram",
               "cluster_energy_histogram")
_SCALARS = ("mode", "channel", "kind", "blocks", "hits", "frames", "packets", "byte_count", "outside", "ignored",
            "interrupted", "duration")


@dataclasses.dataclass(eq=False)
class Recording:
    """What :func:`record` accumulated, with the settings at its start in :attr:`metadata`.

    Which fields are set depends on :attr:`kind`:

    - ``"hits"`` (Timepix3 ToA/ToT modes): :attr:`hit_map` (hits per pixel), :attr:`tot_histogram` (one bin per
      ToT value 0..1023), :attr:`toa_histogram` (ToA in SDK clock ticks from the first hit, at most 1024 bins
      whose width doubles as the run grows; the sequential modes carry the low 32 bits of the ToA); data-driven
      modes also count TDC timestamps in :attr:`tdc_counts`.
    - ``"itot-events"`` (Timepix3 iToT/event modes): :attr:`hit_map` (events per pixel), :attr:`itot_map`
      (integrated ToT per pixel), :attr:`itot_histogram` (bins of 16).
    - ``"frames"``: :attr:`summed_frame` (the sum of every frame) and :attr:`frames`.
    - ``"binned"``: :attr:`hit_sums` and/or :attr:`itot_sums`, the per-bin sums added up over the blocks; the
      packets mode also fills :attr:`hit_map` and :attr:`itot_map` from its packets.
    - ``"raw"``: :attr:`byte_count`, and :attr:`raw` when ``keep_raw`` was asked for.

    2-D arrays are indexed ``[y, x]``; counts are ``uint64``.
    """

    mode: Optional[str] = None
    channel: str = ""
    kind: str = ""
    metadata: Dict[str, Any] = dataclasses.field(default_factory=dict)
    blocks: int = 0
    hits: int = 0
    frames: int = 0
    packets: int = 0
    byte_count: int = 0
    hit_map: Optional[ArrayU64] = None
    itot_map: Optional[ArrayU64] = None
    summed_frame: Optional[ArrayU64] = None
    hit_sums: Optional[ArrayU64] = None
    itot_sums: Optional[ArrayU64] = None
    tot_histogram: Optional[Histogram] = None
    toa_histogram: Optional[Histogram] = None
    itot_histogram: Optional[Histogram] = None
    #: With ``record(..., clusters=True)``: clusters by their number of hits (bin i: i hits) and by their ToT sum.
    cluster_size_histogram: Optional[Histogram] = None
    cluster_energy_histogram: Optional[Histogram] = None
    #: The hits' energies (keV) when :func:`record` was given a calibration.
    energy_spectrum: Optional[EnergySpectrum] = None
    tdc_counts: Tuple[int, ...] = (0, 0, 0)
    raw: Optional[bytes] = None
    #: Hits whose pixel address lies outside the 256 x 256 matrix (not in the maps).
    outside: int = 0
    #: Blocks delivered but not accumulated: beyond the requested count, or of another layout than the first.
    ignored: int = 0
    interrupted: bool = False
    duration: float = 0.0

    def __repr__(self) -> str:
        counts = {"frames": f"frames={self.frames}", "raw": f"byte_count={self.byte_count}",
                  "binned": f"packets={self.packets}"}.get(self.kind, f"hits={self.hits}")
        return (f"<Recording {self.kind or 'empty'} mode={self.mode!r} channel={self.channel!r} "
                f"blocks={self.blocks} {counts} duration={self.duration:.3f}s"
                + (" interrupted" if self.interrupted else "") + ">")

    def image(self) -> ArrayU64:
        """The quick-look 2-D array: the hit map, the summed frame, or the binned sums as ``height x width``.

        Raises ValueError for a recording without an image (raw data, or nothing delivered).
        """
        for candidate in (self.hit_map, self.summed_frame):
            if candidate is not None:
                return candidate
        sums = self.hit_sums if self.hit_sums is not None else self.itot_sums
        if sums is not None:
            binning = self.metadata.get("binning")
            if binning and int(binning[0]) * int(binning[1]) == len(sums):
                return sums.reshape(int(binning[1]), int(binning[0]))
            return sums.reshape(1, -1)
        what = "raw data" if self.kind == "raw" else "no data"
        raise ValueError(f"this recording holds {what}: there is no image to show")

    # ---- files ----------------------------------------------------------------------------------------------

    def _contents(self) -> Tuple[Dict[str, npt.NDArray[Any]], Dict[str, Any]]:
        arrays: Dict[str, npt.NDArray[Any]] = {}
        scalars: Dict[str, Any] = {name: getattr(self, name) for name in _SCALARS}
        scalars["tdc_counts"] = list(self.tdc_counts)
        for name in _ARRAYS:
            value = getattr(self, name)
            if value is not None:
                arrays[name] = value
        for name in _HISTOGRAMS:
            h: Optional[Histogram] = getattr(self, name)
            if h is not None:
                arrays[name] = h.counts
                scalars[name] = {"origin": h.origin, "bin_width": h.bin_width, "underflow": h.underflow,
                                 "overflow": h.overflow}
        if self.energy_spectrum is not None:
            e = self.energy_spectrum
            arrays["energy_spectrum"] = e.counts
            scalars["energy_spectrum"] = {"low": e.low, "high": e.high, "underflow": e.underflow,
                                          "overflow": e.overflow, "uncalibrated": e.uncalibrated}
        if self.raw is not None:
            arrays["raw"] = np.frombuffer(self.raw, dtype=np.uint8)
        return arrays, scalars

    def save(self, path: PathLike) -> None:
        """Writes the recording: HDF5 for a ``.h5``/``.hdf5`` suffix (needs h5py), else a NumPy ``.npz`` file.

        Both hold the arrays by name (histogram counts under the histogram's name) and the metadata as a JSON
        string (``metadata``); the other fields are in ``summary`` (JSON) and, in HDF5, also as attributes of the
        root group. The file is written at exactly ``path``, whole or not at all (through a temporary file
        beside it); Ctrl-C while it is written raises :class:`SaveInterrupted` once the file is complete, or,
        pressed twice, abandons it. :func:`load` reads either back.
        """
        arrays, scalars = self._contents()
        metadata = json.dumps(_jsonable(self.metadata), sort_keys=True)
        summary = json.dumps(_jsonable(scalars), sort_keys=True)
        if _is_hdf5(path):
            h5py = _import_h5py()
            with replacing(path) as temporary, h5py.File(temporary, "w") as f:
                for name, array in arrays.items():
                    f.create_dataset(name, data=array, compression="gzip" if array.size > 4096 else None)
                f.attrs["metadata"] = metadata
                f.attrs["summary"] = summary
                for name, value in scalars.items():
                    if isinstance(value, (bool, int, float, str)):
                        f.attrs[name] = value
            return
        with open_replacing(path) as out:  # a file object, so numpy adds no ".npz" of its own
            entries: Dict[str, Any] = {"metadata": np.array(metadata), "summary": np.array(summary), **arrays}
            np.savez_compressed(out, **entries)

    def save_png(self, path: PathLike, *, log: bool = True) -> None:
        """Writes :meth:`image` as a colour-mapped PNG with a colour scale (needs Pillow).

        ``log`` maps ``log(1 + counts)`` to the colours, so a few hot pixels do not wash out the rest; the scale
        is labelled in counts either way.
        """
        write_png(self.image(), path, log=log)

    def summary(self) -> str:
        """A few lines describing the recording, for people."""
        lines = [f"mode {self.mode or '(as selected)'} on channel {self.channel}: {self.blocks} blocks "
                 f"in {self.duration:.2f} s" + (" (interrupted)" if self.interrupted else "")]
        if self.kind in ("hits", "itot-events"):
            rate = self.hits / self.duration if self.duration > 0 else 0.0
            lines.append(f"{self.hits} hits ({rate:,.0f} hits/s)")
            if self.hit_map is not None:
                lines.append(f"{int(np.count_nonzero(self.hit_map))} pixels hit, busiest pixel "
                             f"{int(self.hit_map.max())} counts")
        elif self.kind == "frames":
            total = 0 if self.summed_frame is None else int(self.summed_frame.sum())
            lines.append(f"{self.frames} frames summed, total {total} counts")
        elif self.kind == "binned":
            for name in ("hit_sums", "itot_sums"):
                sums = getattr(self, name)
                if sums is not None:
                    lines.append(f"{name.replace('_', ' ')}: {len(sums)} bins, total {int(sums.sum())}")
            if self.packets:
                lines.append(f"{self.packets} packets")
        elif self.kind == "raw":
            lines.append(f"{self.byte_count} bytes")
        if self.cluster_size_histogram is not None:
            sizes = self.cluster_size_histogram
            count = int(sizes.counts.sum()) + sizes.overflow
            mean = float((sizes.counts * np.arange(len(sizes.counts))).sum()) / max(1, int(sizes.counts.sum()))
            lines.append(f"{count} clusters, {mean:.2f} hits each on average"
                         + (f", {sizes.overflow} larger than {len(sizes.counts) - 1}" if sizes.overflow else ""))
        if self.energy_spectrum is not None:
            e = self.energy_spectrum
            lines.append(f"energy spectrum {e.low:g}..{e.high:g} keV: {int(e.counts.sum())} hits in range, "
                         f"{e.underflow} below, {e.overflow} above, {e.uncalibrated} without calibration")
        if self.ignored:
            lines.append(f"{self.ignored} blocks delivered after the end were not counted")
        return "\n".join(lines)


def load(path: PathLike) -> Recording:
    """Reads a file written by :meth:`Recording.save` (HDF5 by suffix, else ``.npz``)."""
    arrays: Dict[str, npt.NDArray[Any]] = {}
    if _is_hdf5(path):
        h5py = _import_h5py()
        with h5py.File(os.fspath(path), "r") as f:
            metadata = f.attrs["metadata"]
            summary = f.attrs["summary"]
            for name in f:
                arrays[name] = np.asarray(f[name])
    else:
        with np.load(os.fspath(path), allow_pickle=False) as f:
            metadata = f["metadata"].item()
            summary = f["summary"].item()
            for name in f.files:
                if name not in ("metadata", "summary"):
                    arrays[name] = f[name]
    scalars = json.loads(summary)
    fields: Dict[str, Any] = {name: scalars[name] for name in _SCALARS if name in scalars}
    fields["tdc_counts"] = tuple(scalars.get("tdc_counts", (0, 0, 0)))
    for name in _ARRAYS:
        if name in arrays:
            fields[name] = arrays[name].astype(np.uint64, copy=False)
    for name in _HISTOGRAMS:
        if name in arrays:
            fields[name] = Histogram(arrays[name].astype(np.uint64, copy=False), **scalars[name])
    if "energy_spectrum" in arrays and "energy_spectrum" in scalars:
        fields["energy_spectrum"] = EnergySpectrum(arrays["energy_spectrum"].astype(np.uint64, copy=False),
                                                   **scalars["energy_spectrum"])
    if "raw" in arrays:
        fields["raw"] = arrays["raw"].tobytes()
    return Recording(metadata=json.loads(metadata), **fields)


def _is_hdf5(path: PathLike) -> bool:
    return os.fspath(path).lower().endswith((".h5", ".hdf5"))


def _import_h5py() -> Any:
    try:
        return importlib.import_module("h5py")
    except ImportError:
        raise ModuleNotFoundError(_HDF5_HINT) from None


def _jsonable(value: Any) -> Any:
    if isinstance(value, Mapping):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return str(value)


# ---- images --------------------------------------------------------------------------------------------------------

# Viridis at nine points, interpolated to 256 colours: perceptually uniform and readable in grey.
_VIRIDIS_ANCHORS = np.array([
    (68, 1, 84), (71, 44, 122), (59, 81, 139), (44, 113, 142), (33, 144, 141),
    (39, 173, 129), (92, 200, 99), (170, 220, 50), (253, 231, 37),
], dtype=np.float64)


def colormap() -> npt.NDArray[np.uint8]:
    """The 256 x 3 ``uint8`` colour table used for images (viridis)."""
    x = np.linspace(0.0, 1.0, 256)
    anchors = np.linspace(0.0, 1.0, len(_VIRIDIS_ANCHORS))
    table = np.stack([np.interp(x, anchors, _VIRIDIS_ANCHORS[:, c]) for c in range(3)], axis=1)
    return np.rint(table).astype(np.uint8)


def _import_pil() -> Any:
    try:
        from PIL import Image, ImageDraw, ImageFont  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise ModuleNotFoundError(_PNG_HINT) from None
    return Image, ImageDraw, ImageFont


def write_png(image: npt.ArrayLike, path: PathLike, *, log: bool = True) -> None:
    """Writes a 2-D array as a colour-mapped PNG with a labelled colour scale on its right (needs Pillow)."""
    Image, ImageDraw, ImageFont = _import_pil()
    data = np.asarray(image, dtype=np.float64)
    if data.ndim != 2 or data.size == 0:
        raise ValueError(f"an image must be a non-empty 2-D array, not of shape {data.shape}")
    data = np.where(np.isfinite(data), np.maximum(data, 0.0), 0.0)
    forward: Callable[[Any], Any] = np.log1p if log else (lambda v: v)
    def inverse(v: float) -> float:
        return math.expm1(v) if log else v

    low, high = float(forward(data.min())), float(forward(data.max()))  # the colours span the values present
    span = high - low
    levels = np.zeros(data.shape, dtype=np.uint8) if span <= 0 else \
        np.rint((forward(data) - low) / span * 255).astype(np.uint8)
    table = colormap()
    picture = Image.fromarray(table[levels], "RGB")
    zoom = max(1, 256 // max(data.shape))  # small images (binned sums) are enlarged, pixels kept square
    if zoom > 1:
        picture = picture.resize((data.shape[1] * zoom, data.shape[0] * zoom), Image.NEAREST)
    height = max(picture.height, 128)
    bar_width, gap, labels = 16, 8, 64
    canvas = Image.new("RGB", (picture.width + gap + bar_width + labels, height), (255, 255, 255))
    canvas.paste(picture, (0, 0))
    ramp = np.linspace(255, 0, height).astype(np.uint8)  # top: highest value
    bar = Image.fromarray(np.repeat(table[ramp][:, None, :], bar_width, axis=1), "RGB")
    x0 = picture.width + gap
    canvas.paste(bar, (x0, 0))
    draw = ImageDraw.Draw(canvas)
    font = ImageFont.load_default()
    for fraction in (1.0, 0.5, 0.0):
        value = inverse(low + span * fraction)
        y = int(round((1.0 - fraction) * (height - 1)))
        draw.line([(x0 + bar_width, y), (x0 + bar_width + 3, y)], fill=(0, 0, 0))
        text_y = min(max(y - 5, 0), height - 11)
        draw.text((x0 + bar_width + 5, text_y), _label(value), fill=(0, 0, 0), font=font)
    with open_replacing(path) as out:
        canvas.save(out, format="PNG")


def _label(value: float) -> str:
    if value >= 1e4:
        return f"{value:.2g}"
    return f"{value:.0f}" if value >= 10 or value == 0 else f"{value:.2g}"


# ---- settings at the start -----------------------------------------------------------------------------------------


def _try(getter: Callable[[], Any]) -> Any:
    # A failing getter (a real device may not report everything) leaves its entry None, never stops the run.
    try:
        return getter()
    except (VrexSdkException, ValueError, TypeError, OverflowError):  # refused, or not convertible
        return None


def _polarity_name(chip: Any, index: int) -> str:
    return str(chip.getPolarity(index).name)


def device_metadata(device: Device) -> Dict[str, Any]:
    """The device's identity and settings as :attr:`Recording.metadata` records them (JSON-compatible)."""
    props, chip, revisions, config = device.props, device.chip, device.revisions, device.config
    meta: Dict[str, Any] = {"package_version": __version__}
    from vrexsdk import vrex

    meta["sdk_version"] = _try(lambda: ".".join(str(v) for v in vrex.getRuntimeVersion()))
    if props is not None:
        meta["device"] = {
            "connection_string": _try(props.getConnectionString),
            "product": _try(props.getProduct),
            "manufacturer": _try(props.getManufacturer),
            "serial_number": _try(props.getSerialNumber),
            "usb_vid_pid": _try(lambda: list(props.getUsbVidPid())),
            "usb_instance_path": _try(props.getUsbInstancePath),
            "usb_high_speed": _try(props.isUsbHighSpeed),
            "usb_super_speed": _try(props.isUsbSuperSpeed),
        }
    if revisions is not None:
        meta["revisions"] = _try(revisions.get)
    if chip is not None:
        chip_ids = _try(chip.getChipIds) or []
        meta["chips"] = [
            {"id": cid, "polarity": _try(functools.partial(_polarity_name, chip, i))}
            for i, cid in enumerate(chip_ids)
        ]
        meta["dacs"] = {d: _try(functools.partial(chip.getDacValue, d)) for d in (_try(chip.getDacIds) or [])}
        meta["thresholds"] = {
            t: {
                "kev": _try(functools.partial(chip.getThreshold, t)),
                "raw": _try(functools.partial(chip.getRawThreshold, t)),
                "calibrated": _try(functools.partial(chip.isThresholdCalibrated, t)),
            }
            for t in (_try(chip.getThresholdIds) or [])
        }
    if config is not None:
        size = _try(config.getMaskSize)
        # An empty mask (0 wide or high) masks nothing; the binding refuses to fetch one.
        mask = _try(config.getMask) if size is None or size[0] * size[1] else np.zeros(0, np.uint8)
        meta["masked_pixels"] = None if mask is None else int(np.count_nonzero(mask))
    return meta


# ---- record ----------------------------------------------------------------------------------------------------------


def _binning_params(binning: Any) -> BinningParams:
    if isinstance(binning, BinningParams):
        params = binning
    else:
        try:
            width, height, dwell = binning
            params = BinningParams(int(width), int(height), int(dwell))
        except (TypeError, ValueError):
            raise ValueError(f"binning must be BinningParams(width, height, dwellTime) or three integers, "
                             f"not {binning!r}") from None
    if params.width <= 0 or params.height <= 0 or params.dwellTime <= 0:
        raise ValueError(f"binning width, height and dwell time must be positive, not {tuple(params)}")
    return params


class _Watcher(threading.Thread):
    """Stops the acquisition once enough blocks came or the time is up, and reports progress meanwhile."""

    def __init__(self, stop_acquisition: Callable[[], None], sink: _Sink, start: float, seconds: Optional[float],
                 blocks: Optional[int], progress: Optional[Callable[[Progress], Any]], interval: float) -> None:
        super().__init__(name="vrexsdk-record-watcher", daemon=True)
        self.stop_acquisition = stop_acquisition
        self.sink = sink
        self.start_time = start
        self.seconds = seconds
        self.blocks = blocks
        self.progress = progress
        self.interval = interval
        self.finished = threading.Event()  # set by the main thread once end() returned
        self.aborted = False
        self.lock = threading.Lock()  # held while the acquisition is stopped, and while the next one begins

    def wants_more(self) -> bool:
        """Whether the limits ask for more than the acquisitions so far delivered."""
        if self.aborted:
            return False
        if self.blocks is not None and self.sink.blocks < self.blocks:
            return True
        return self.seconds is not None and time.monotonic() < self.start_time + self.seconds

    def run(self) -> None:
        deadline = None if self.seconds is None else self.start_time + self.seconds
        next_report = self.start_time + self.interval
        while not self.finished.is_set():
            now = time.monotonic()
            if not self.aborted and (self.sink.full.is_set() or (deadline is not None and now >= deadline)):
                with self.lock:  # no new acquisition starts while this one is stopped
                    self.aborted = True
                    self.stop_acquisition()
            if self.progress is not None and now >= next_report:
                next_report = now + self.interval
                self._report(now)
            waits = [next_report - now] if self.progress is not None else [self.interval]
            if deadline is not None and not self.aborted:
                waits.append(deadline - now)
            timeout = max(0.001, min(waits))
            if self.aborted:
                self.finished.wait(timeout)
            else:  # woken early by the block limit
                self.sink.full.wait(timeout)

    def _report(self, now: float) -> None:
        assert self.progress is not None
        try:
            self.progress(self.sink.progress(now - self.start_time, self.blocks, self.seconds))
        except Exception:  # a failing progress display must not stop the acquisition
            _log.exception("progress callable failed")
            self.progress = None


def record(
    device: Device,
    mode: Optional[str] = None,
    *,
    blocks: Optional[int] = None,
    seconds: Optional[float] = None,
    channel: Optional[str] = None,
    binning: Union[BinningParams, Sequence[int], None] = None,
    raw: bool = False,
    keep_raw: bool = False,
    progress: Optional[Callable[[Progress], Any]] = None,
    progress_interval: float = 0.25,
    calibration: Optional[Calibration] = None,
    energy_bins: int = 1000,
    energy_range: Tuple[float, float] = (0.0, 100.0),
    clusters: Any = False,
) -> Recording:
    """Acquires on an open `device` and returns what it delivered, reduced.

    Args:
        device: an open :class:`~vrexsdk.vrex.Device`.
        mode: the chip mode to select first (one of ``device.chip.getModeIds()``); None keeps the mode selected
            before, whose layout is then recognised from the first block.
        blocks: stop after this many blocks (later ones, delivered before the stop took effect, are not counted).
        seconds: stop after this long. With neither, the acquisition runs until it ends by itself (or Ctrl-C).
        channel: the acquisition channel; the device's first by default.
        binning: :class:`~vrexsdk.chip.BinningParams` (or ``(width, height, dwellTime)``) for a binned mode.
        raw: receive the undecoded byte stream (``setRawDataCallback``) in whatever mode; implied by
            ``"0:raw-data"``.
        keep_raw: keep the raw bytes themselves in :attr:`Recording.raw`, not only their count.
        calibration: a :class:`~vrexsdk.calibration.Calibration` of the chip: every ToA/ToT hit's energy is
            found on the SDK's thread (a native stage, without the GIL) and binned into
            :attr:`Recording.energy_spectrum`, `energy_bins` bins over `energy_range` keV.
        clusters: True (or a :class:`~vrexsdk.stages.Clusters` stage, for its settings): the ToA/ToT hits are
            clustered on the SDK's thread into :attr:`Recording.cluster_size_histogram` and
            :attr:`Recording.cluster_energy_histogram`.
        progress: called with a :class:`Progress` about every `progress_interval` seconds and once at the end, from
            a helper thread of this call (never from an SDK thread).

    The data callable is registered after the mode is selected. The calling thread waits in ``acq.end``; a
    helper thread aborts the acquisition when `blocks` or `seconds` are reached. An acquisition that ends by
    itself before then (its length is the device's) is followed by the next at once, so `blocks` and `seconds`
    get all they ask for; ``metadata["acquisitions"]`` counts them. When this returns (or raises) the
    acquisition has ended and the registered callable ignores any later block.

    Raises:
        ValueError: a closed device, an unknown mode or channel, binning with a mode that takes none, or a
            count or duration that is not positive.
        RecordingInterrupted: Ctrl-C (a :class:`KeyboardInterrupt`); its ``recording`` holds the data so far.
        VrexSdkException: the SDK refused selecting the mode or running the acquisition.
    """
    if not device.isOpened():
        raise ValueError("the device is not open: call device.open(connectionString) first")
    acq, chip = device.acq, device.chip
    if acq is None or chip is None:
        raise ValueError("the device has no acquisition or chip service")
    if blocks is not None:
        if isinstance(blocks, bool) or not isinstance(blocks, int) or blocks <= 0:
            raise ValueError(f"blocks must be a positive integer, not {blocks!r}")
    if seconds is not None:
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not (0 < seconds < math.inf):
            raise ValueError(f"seconds must be a positive finite number, not {seconds!r}")
    if not (isinstance(progress_interval, (int, float)) and 0 < progress_interval < math.inf):
        raise ValueError(f"progress_interval must be a positive number, not {progress_interval!r}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {type(progress).__name__}")

    channels = acq.getChannelIds()
    if not channels:
        raise ValueError("the device has no acquisition channel")
    if channel is None:
        channel = channels[0]
    elif channel not in channels:
        raise ValueError(f"unknown channel {channel!r}; the device has {', '.join(channels)}")

    params: Optional[BinningParams] = None
    if mode is not None:
        modes = chip.getModeIds()
        if mode not in modes:
            raise ValueError(f"unknown mode {mode!r}; the device offers {', '.join(modes)}")
        if binning is not None:
            if mode not in BINNED_MODES:
                raise ValueError(f"mode {mode!r} takes no binning; binned modes: {', '.join(BINNED_MODES)}")
            params = _binning_params(binning)
        chip.selectMode(mode, params)
    elif binning is not None:
        raise ValueError("binning needs the binned mode to select with it")
    raw = raw or mode == RAW_MODE

    metadata = device_metadata(device)
    metadata.update(mode=mode, channel=channel, raw=raw, binning=None if params is None else list(params),
                    requested_blocks=blocks, requested_seconds=seconds)
    sink = _Sink(RAW_MODE if raw else mode, blocks, keep_raw)
    pipeline: Any = None
    native: List[Any] = []
    energy: Any = None
    cluster_stage: Any = None
    if calibration is not None:
        if raw:
            raise ValueError("a calibration gives energies to ToA/ToT hits, not to raw data")
        energy = CalibrationStage(calibration, energy_bins, energy_range)
        native.append(energy)
        metadata.update(calibration=calibration.metadata())
    if clusters is not False and clusters is not None:
        from vrexsdk.stages import Clusters

        if raw:
            raise ValueError("clusters are made of ToA/ToT hits, not of raw data")
        cluster_stage = Clusters() if clusters is True else clusters
        if not isinstance(cluster_stage, Clusters):
            raise TypeError(f"clusters must be True or a vrexsdk.stages.Clusters, not {type(clusters).__name__}")
        native.append(cluster_stage)
        metadata.update(clusters=dict(cluster_stage.settings))
    if native:
        from vrexsdk.stages import Pipeline

        # The stages run natively on the SDK's thread; the sink still runs beside them, on the same blocks.
        pipeline = Pipeline(device, native, channel=channel, limit=blocks, callable=sink)
    elif raw:
        acq.setRawDataCallback(channel, sink)
    else:
        acq.setDataCallback(channel, sink)

    def stop_acquisition() -> None:
        try:
            acq.abort(channel)
        except VrexSdkInvalidOperationError:
            pass  # it ended by itself meanwhile
        except VrexSdkException as e:
            _log.warning("aborting the acquisition on channel %s failed: %s", channel, e)

    started_at = datetime.datetime.now(datetime.timezone.utc)
    start = time.monotonic()
    watcher: Optional[_Watcher] = None
    interrupted = False
    acquisitions = 0
    waiting = False  # in end(), which stops the run itself when Ctrl-C interrupts it
    try:
        acq.begin(channel)
        acquisitions, delivered = 1, 0
        watcher = _Watcher(stop_acquisition, sink, start, seconds, blocks, progress, progress_interval)
        watcher.start()
        while True:
            try:
                waiting = True
                acq.end(channel)
                waiting = False
            except VrexSdkInvalidOperationError:
                # After our own abort the run is over: the abort waited for the last delivery. An end() refused then
                # changes nothing for the data; any other refusal is the caller's to see.
                if not watcher.aborted:
                    raise
            # An acquisition that ended by itself before the limits were reached is followed by the next, as a
            # detector is run for longer than one acquisition lasts; one that delivered nothing ends the recording,
            # since the next would not either.
            with watcher.lock:
                if sink.blocks == delivered or not watcher.wants_more():
                    break
                delivered = sink.blocks
                acquisitions += 1
                if pipeline is not None:
                    pipeline.flush()  # each acquisition starts its clock afresh: clusters end with it
                acq.begin(channel)
    except KeyboardInterrupt:
        # end() on the main thread has aborted the run and waited for it already; Ctrl-C anywhere else (between
        # begin and end, say) leaves the run to stop here.
        interrupted = True
        if not waiting:
            _stop_quietly(acq, channel)
    except BaseException:
        _stop_quietly(acq, channel)
        sink.drop()
        if pipeline is not None:
            pipeline.detach()
        raise
    finally:
        duration = time.monotonic() - start
        if watcher is not None:
            watcher.finished.set()
            sink.full.set()
            watcher.join()
    sink.close()
    spectrum = sizes = energies = None
    if pipeline is not None:
        pipeline.detach()
        pipeline.flush()  # clusters still open at the end are counted too
        snap = pipeline.snapshot()
        if energy is not None:
            spectrum = CalibrationStage.spectrum(snap[energy.label])
        if cluster_stage is not None:
            c = snap[cluster_stage.label]
            sizes = Histogram(np.asarray(c["size_counts"], np.uint64), 0, 1, 0, int(c["size_overflow"]))
            energies = Histogram(np.asarray(c["energy_counts"], np.uint64), 0, int(c["energy_bin_width"]), 0,
                                 int(c["energy_overflow"]))
    metadata.update(start_time=started_at.isoformat(), duration=duration, blocks=sink.blocks,
                    acquisitions=acquisitions)
    result = sink.snapshot(mode=mode, channel=channel, metadata=metadata, interrupted=interrupted,
                           duration=duration)
    result.energy_spectrum = spectrum
    result.cluster_size_histogram, result.cluster_energy_histogram = sizes, energies
    sink.drop()
    if progress is not None:
        try:
            progress(sink.progress(duration, blocks, seconds))
        except Exception:
            _log.exception("progress callable failed")
    if interrupted:
        raise RecordingInterrupted(result)
    return result


def _stop_quietly(acq: Any, channel: str) -> None:
    # Nothing may be left running, whatever state the run is in; "nothing to stop" is not an error here.
    for step in (acq.abort, acq.end):
        try:
            step(channel)
        except VrexSdkException:
            pass
