"""Out-of-core and distributed analysis of event files on Dask.

An event file (:mod:`vrexsdk.events`) holds its hits in HDF5 chunks. :func:`open` lists those chunks for one
or many files without reading them and gives an :class:`Events` collection: every method returns a lazy Dask
object, and nothing is read until it is computed, on whatever scheduler is in force: Dask's threaded default,
a ``dask.distributed.Client(LocalCluster())`` or a cluster's address (``Client("tcp://host:8786")``), with no
change to the code. Each task reads one partition (a run of whole HDF5 chunks of one file) and reduces it to a
fixed-size result, which Dask sums in a tree, so memory is bounded by a few partitions per worker whatever the
size of the recording.

    from vrexsdk import analysis
    events = analysis.open(["run1.h5", "run2.h5"])
    hit_map, (counts, edges) = analysis.compute(events.hit_map(), events.spectrum(bins=512))
    roi = events.select(roi=(100, 150, 100, 150), seconds=(0.5, 2.0))
    frame = roi.to_dataframe()          # a dask.dataframe: x, y, toa, tot
    found = events.clusters().compute() # clusters across partition edges found once, whole
    cal = calibration.load("cal.h5")    # energies in keV: spectra, and cluster energies
    spectrum = events.energy_spectrum(cal, bins=1000, range=(0, 100)).compute()

Results equal processing the same events in memory, exactly: the reductions are integer counts.

Needs the ``analysis`` extra: ``pip install "vrexsdk[analysis]"`` (dask, distributed, h5py).
"""

from __future__ import annotations

import builtins
import dataclasses
import importlib
import os
from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from vrexsdk._optional import optional

__all__ = ["EventFileError", "Events", "Partition", "compute", "open"]

PathLike = Union[str, "os.PathLike[str]"]
_HINT = 'analysis needs dask and h5py: pip install "vrexsdk[analysis]"'
_PIXELS = 256 * 256
_COLUMNS = {"event_id": "x/y", "event_time_offset": "toa", "time_over_threshold": "tot"}
# Partitions are whole HDF5 chunks of the event datasets, this many events at most unless asked otherwise:
# 16 MiB of records, so a worker holds a few of them at a time.
_PARTITION_EVENTS = 1 << 20
_TREE_WIDTH = 8  # results summed in groups of this many, so no task gathers every partition's result


class EventFileError(OSError):
    """An event file, or one of its partitions, cannot be read; the message names the file and the events."""


def _dask() -> Any:
    return optional("dask", _HINT)


def _open_file(path: str) -> Any:
    from vrexsdk.events import open_hdf5

    try:
        return open_hdf5(path)
    except FileNotFoundError:
        raise FileNotFoundError(f"{path}: no such event file") from None
    except (OSError, RuntimeError) as e:  # HDF5 reports some damage as RuntimeError
        raise EventFileError(f"{path}: not a readable event file ({e})") from None


_EVENTS = "entry/instrument/detector/events"


class Partition(NamedTuple):
    """One task's share of a file: events ``start`` to ``stop`` (exclusive) of ``path``."""

    path: str
    start: int
    stop: int
    tick: float  # seconds per ToA tick
    length: int  # events in the whole file, for the margins clusters read beyond a partition


def _partitions(path: str, size: Optional[int]) -> List[Partition]:
    try:
        return _layout(path, size)
    except (KeyError, RuntimeError, OSError) as e:  # metadata h5py cannot read: a file cut short, say
        if isinstance(e, (EventFileError, FileNotFoundError)):
            raise
        raise EventFileError(f"{path}: not a readable event file ({e})") from None


def _layout(path: str, size: Optional[int]) -> List[Partition]:
    with _open_file(path) as f:
        if _EVENTS not in f:
            raise EventFileError(f"{path}: holds no hit events (no /{_EVENTS}): record a hit mode with events=")
        g = f[_EVENTS]
        missing = [n for n in _COLUMNS if n not in g]
        if missing:
            raise EventFileError(f"{path}: /{_EVENTS} lacks {', '.join(missing)} (an iToT/event recording?)")
        total = min(len(g[n]) for n in _COLUMNS)
        chunk = (g["event_id"].chunks or (65536,))[0]
        tick = float(f["entry/instrument/detector"].attrs.get("tick_length", 1.5625e-9))
    step = size if size is not None else max(chunk, _PARTITION_EVENTS // chunk * chunk)
    return [Partition(path, at, min(at + step, total), tick, total) for at in range(0, total, step)]


def read_partition(part: Partition, columns: Sequence[str] = tuple(_COLUMNS)) -> Dict[str, npt.NDArray[Any]]:
    """The datasets `columns` of one partition as NumPy arrays; an unreadable chunk raises EventFileError
    naming the file and the events."""
    try:
        with _open_file(part.path) as f:
            g = f[_EVENTS]
            out = {n: np.asarray(g[n][part.start:part.stop]) for n in columns}
    except (EventFileError, FileNotFoundError):
        raise
    except Exception as e:  # h5py reports a damaged chunk as OSError, a cut-off file as OSError or KeyError
        raise EventFileError(f"{part.path}: events {part.start} to {part.stop} cannot be read: {e}") from None
    short = [n for n, a in out.items() if len(a) != part.stop - part.start]
    if short:
        raise EventFileError(f"{part.path}: events {part.start} to {part.stop}: {', '.join(short)} cut short "
                             f"(the file is truncated)")
    return out


# ---- selections -------------------------------------------------------------------------------------------------

class _Selection(NamedTuple):
    """Which events take part: a region of interest in pixels and a ToA window in seconds (half-open)."""

    roi: Optional[Tuple[int, int, int, int]] = None  # x0, x1, y0, y1
    seconds: Optional[Tuple[float, float]] = None


def _keep(sel: _Selection, tick: float, event_id: Optional[npt.NDArray[Any]],
          toa: Optional[npt.NDArray[Any]]) -> Optional[npt.NDArray[np.bool_]]:
    keep: Optional[npt.NDArray[np.bool_]] = None
    if sel.roi is not None and event_id is not None:
        x0, x1, y0, y1 = sel.roi
        x, y = event_id % 256, event_id // 256
        keep = (x >= x0) & (x < x1) & (y >= y0) & (y < y1)
    if sel.seconds is not None and toa is not None:
        # Compared in ticks, so an event exactly on an edge is judged the same on every machine.
        t0, t1 = (np.ceil(s / tick) for s in sel.seconds)
        inside = (toa >= np.uint64(max(t0, 0))) & (toa < np.uint64(max(t1, 0)))
        keep = inside if keep is None else keep & inside
    return keep


def _load(part: Partition, sel: _Selection, columns: Sequence[str]) -> Dict[str, npt.NDArray[Any]]:
    # Only the columns the reduction and the selection need are read.
    need = list(dict.fromkeys(list(columns) + (["event_id"] if sel.roi else [])
                              + (["event_time_offset"] if sel.seconds else [])))
    data = read_partition(part, need)
    keep = _keep(sel, part.tick, data.get("event_id"), data.get("event_time_offset"))
    if keep is not None:
        data = {n: a[keep] for n, a in data.items()}
    return {n: data[n] for n in columns}


# ---- per-partition kernels (module level, so a distributed worker can unpickle them by name) ----------------------

def _hit_map(part: Partition, sel: _Selection) -> npt.NDArray[np.uint64]:
    ids = _load(part, sel, ["event_id"])["event_id"]
    ids = ids[ids < _PIXELS]  # an address beyond the matrix counts nowhere, as in the live hit map
    return np.bincount(ids, minlength=_PIXELS).astype(np.uint64).reshape(256, 256)


def _histogram(part: Partition, sel: _Selection, column: str, lo: float, width: float,
               bins: int) -> npt.NDArray[np.uint64]:
    values = _load(part, sel, [column])[column]
    # Bin index by integer arithmetic where the column is integer, so equal inputs give equal bins everywhere.
    index = np.floor((values.astype(np.float64) - lo) / width)
    index = index[(index >= 0) & (index < bins)].astype(np.int64)
    return np.bincount(index, minlength=bins).astype(np.uint64)


def _extent(part: Partition, sel: _Selection, column: str) -> Tuple[float, float, int]:
    values = _load(part, sel, [column])[column]
    if len(values) == 0:
        return (np.inf, -np.inf, 0)
    return (float(values.min()), float(values.max()), len(values))


_MARGIN_STEP = 16384  # events read at a time beyond a partition's edges while looking for its margins
# Clustering takes about 200 bytes of memory per hit at its peak (hits, labels, clusters and their copies): its
# tasks take partitions of at most this many events, so a worker with a few hundred MiB holds several at once.
_CLUSTER_EVENTS = 1 << 18


def _margin(part: Partition, edge: int, direction: int, beyond: float) -> List[Dict[str, npt.NDArray[Any]]]:
    """Runs of events next to `edge` (before it for direction -1, after it for +1) up to the first run lying
    wholly beyond `beyond` in ToA (below it before, above it after), or the file's end."""
    runs: List[Dict[str, npt.NDArray[Any]]] = []
    at = edge
    while 0 < at if direction < 0 else at < part.length:
        lo, hi = (max(0, at - _MARGIN_STEP), at) if direction < 0 else (at, min(part.length, at + _MARGIN_STEP))
        run = read_partition(part._replace(start=lo, stop=hi), tuple(_COLUMNS))
        runs.append(run)
        at = lo if direction < 0 else hi
        toa = run["event_time_offset"]
        if (toa.max() < beyond) if direction < 0 else (toa.min() > beyond):
            break
    return runs[::-1] if direction < 0 else runs


def _clusters(part: Partition, sel: _Selection, options: Dict[str, Any], margin_s: float,
              cal: Any = None) -> Tuple[npt.NDArray[Any], Optional[npt.NDArray[np.float64]]]:
    """The clusters this partition owns, and with a calibration their energies (keV, the sum over their hits)."""
    clusters = importlib.import_module("vrexsdk.clusters")
    core = read_partition(part, tuple(_COLUMNS))
    if len(core["event_id"]) == 0:
        return np.zeros(0, clusters.CLUSTER_DTYPE), None if cal is None else np.zeros(0)
    # A cluster is found by every partition that sees one of its hits, and kept by the one holding its earliest
    # hit in file order; each reads beyond its edges by the clusterer's jitter and more, so it sees its own
    # clusters whole.
    margin = margin_s / part.tick
    toa = core["event_time_offset"]
    before = _margin(part, part.start, -1, float(toa.min()) - margin)
    after = _margin(part, part.stop, +1, float(toa.max()) + margin)
    runs = before + [core] + after
    joined = {n: np.concatenate([r[n] for r in runs]) for n in _COLUMNS}
    first = part.start - sum(len(r["event_id"]) for r in before)
    position = np.arange(first, first + len(joined["event_id"]), dtype=np.int64)
    keep = _keep(sel, part.tick, joined["event_id"], joined["event_time_offset"])
    if keep is not None:
        joined = {n: a[keep] for n, a in joined.items()}
        position = position[keep]
    hits = np.empty(len(position), clusters.HIT_DTYPE)
    hits["address"], hits["toa"], hits["tot"] = (joined["event_id"], joined["event_time_offset"],
                                                 joined["time_over_threshold"])
    found, labels = clusters.cluster(hits, labels=True, **options)
    earliest = np.full(len(found), np.iinfo(np.int64).max, np.int64)
    np.minimum.at(earliest, labels, position)
    owned = (earliest >= part.start) & (earliest < part.stop)
    if cal is None:
        return found[owned], None
    energy = np.full(len(found), np.nan)
    summed = cal.cluster_energies(hits, labels)
    energy[:len(summed)] = summed
    return found[owned], energy[owned]


def _energy_spectrum(part: Partition, sel: _Selection, cal: Any, bins: int, low: float, high: float) -> Any:
    calibration = importlib.import_module("vrexsdk.calibration")
    d = _load(part, sel, ["event_id", "time_over_threshold"])
    spectrum = calibration.EnergySpectrum.empty(bins, (low, high))
    spectrum.add(cal, d["event_id"], d["time_over_threshold"])  # the native kernel, without the GIL
    return spectrum


def _merge_spectra(*parts: Any) -> Any:
    total = dataclasses.replace(parts[0], counts=parts[0].counts.copy())
    for p in parts[1:]:
        total.counts += p.counts
        total.underflow += p.underflow
        total.overflow += p.overflow
        total.uncalibrated += p.uncalibrated
    return total


def _sum(*parts: Any) -> Any:
    total = parts[0].copy()
    for p in parts[1:]:
        total += p
    return total


def _merge_extent(*parts: Tuple[float, float, int]) -> Tuple[float, float, int]:
    return (builtins.min(p[0] for p in parts), builtins.max(p[1] for p in parts), sum(p[2] for p in parts))


def _tree(dask: Any, items: List[Any], combine: Callable[..., Any]) -> Any:
    while len(items) > 1:
        items = [dask.delayed(combine, pure=True)(*items[i:i + _TREE_WIDTH])
                 for i in range(0, len(items), _TREE_WIDTH)]
    return items[0]


# ---- the collection ---------------------------------------------------------------------------------------------

class Events:
    """The hit events of one or many event files, read lazily partition by partition.

    Made by :func:`open`; :meth:`select` narrows it (a new collection, the files untouched). The reductions
    return ``dask.delayed`` objects: call ``.compute()`` on one, or :func:`compute` on several at once.
    """

    def __init__(self, partitions: Sequence[Partition], selection: _Selection = _Selection()) -> None:
        self.partitions: List[Partition] = list(partitions)
        self.selection = selection

    @property
    def paths(self) -> List[str]:
        return list(dict.fromkeys(p.path for p in self.partitions))

    def __len__(self) -> int:
        """The number of events in the files (before any selection)."""
        return sum(p.stop - p.start for p in self.partitions)

    def __repr__(self) -> str:
        return (f"<Events: {len(self)} events in {len(self.paths)} file(s), {len(self.partitions)} partitions"
                f"{', selected ' + str(self.selection) if self.selection != _Selection() else ''}>")

    def select(self, *, roi: Optional[Sequence[int]] = None,
               seconds: Optional[Sequence[float]] = None) -> "Events":
        """The events inside `roi` = (x0, x1, y0, y1) pixels and with ToA inside `seconds` = (t0, t1), each
        range half-open; a selection of a selection keeps both (the intersection)."""
        sel = self.selection
        if roi is not None:
            r = tuple(int(v) for v in roi)
            if len(r) != 4 or not (0 <= r[0] <= r[1] <= 256 and 0 <= r[2] <= r[3] <= 256):
                raise ValueError(f"roi must be (x0, x1, y0, y1) with 0 <= x0 <= x1 <= 256 and the same for y, "
                                 f"not {roi!r}")
            if sel.roi is not None:
                a = sel.roi
                r = (max(a[0], r[0]), max(min(a[1], r[1]), max(a[0], r[0])),
                     max(a[2], r[2]), max(min(a[3], r[3]), max(a[2], r[2])))
            sel = sel._replace(roi=r)  # type: ignore[arg-type]
        if seconds is not None:
            s = tuple(float(v) for v in seconds)
            if len(s) != 2 or not s[0] <= s[1] or not all(np.isfinite(s)):
                raise ValueError(f"seconds must be (t0, t1) with t0 <= t1, not {seconds!r}")
            if sel.seconds is not None:
                s = (max(sel.seconds[0], s[0]), max(min(sel.seconds[1], s[1]), max(sel.seconds[0], s[0])))
            sel = sel._replace(seconds=s)  # type: ignore[arg-type]
        return Events(self.partitions, sel)

    def _map(self, kernel: Callable[..., Any], *args: Any) -> List[Any]:
        dask = _dask()
        return [dask.delayed(kernel, pure=True)(p, self.selection, *args) for p in self.partitions]

    def hit_map(self) -> Any:
        """Hits per pixel, uint64 [y, x] (lazy)."""
        dask = _dask()
        if not self.partitions:
            return dask.delayed(np.zeros)((256, 256), np.uint64)
        return _tree(dask, self._map(_hit_map), _sum)

    def histogram(self, column: str, bins: int, range: Tuple[float, float]) -> Any:
        """Counts of `column` ("tot", "toa" in ticks) in `bins` equal bins over `range` (lazy); values outside are
        not counted. Gives ``(counts uint64, edges float64)``."""
        name = {"tot": "time_over_threshold", "toa": "event_time_offset"}.get(column)
        if name is None:
            raise ValueError(f"column must be 'tot' or 'toa', not {column!r}")
        if isinstance(bins, bool) or not isinstance(bins, int) or not 1 <= bins <= 1 << 24:
            raise ValueError(f"bins must be an integer from 1 to {1 << 24}, not {bins!r}")
        lo, hi = (float(v) for v in range)
        if not (np.isfinite(lo) and np.isfinite(hi) and lo < hi):
            raise ValueError(f"range must be (low, high) with low < high, not {range!r}")
        dask = _dask()
        width = (hi - lo) / bins
        edges = lo + width * np.arange(bins + 1)
        if not self.partitions:
            counts = dask.delayed(np.zeros)(bins, np.uint64)
        else:
            counts = _tree(dask, self._map(_histogram, name, lo, width, bins), _sum)
        return dask.delayed(lambda c: (c, edges))(counts)

    def spectrum(self, bins: int = 1024, bin_width: int = 1) -> Any:
        """The ToT spectrum: counts of ToT 0 .. bins * bin_width in `bins` bins (lazy; as the live ToT histogram)."""
        return self.histogram("tot", bins, (0.0, float(bins * bin_width)))

    def extent(self, column: str = "toa") -> Any:
        """(lowest, highest, count) of `column` over the selected events (lazy)."""
        name = {"tot": "time_over_threshold", "toa": "event_time_offset"}[column]
        dask = _dask()
        if not self.partitions:
            return dask.delayed((np.inf, -np.inf, 0))
        return _tree(dask, self._map(_extent, name), _merge_extent)

    def toa_histogram(self, bins: int = 1024, seconds: Optional[Tuple[float, float]] = None) -> Any:
        """The ToA (time-of-flight) histogram in seconds over `seconds` = (t0, t1); without it, over the recorded
        span, which is found now by one pass over the ToA column (on the scheduler in force). Gives
        ``(counts, edges in s)``, lazy."""
        dask = _dask()
        tick = self.partitions[0].tick if self.partitions else 1.5625e-9
        if seconds is not None:
            lo, hi = seconds[0] / tick, seconds[1] / tick
        else:
            lo, hi, n = self.extent("toa").compute()
            lo, hi = (0.0, 1.0) if n == 0 else (lo, hi + 1.0)
        return dask.delayed(lambda h: (h[0], h[1] * tick))(self.histogram("toa", bins, (lo, hi)))

    def energy_spectrum(self, calibration: Any, bins: int = 1000, range: Tuple[float, float] = (0.0, 100.0)) -> Any:
        """The energy spectrum of the selected hits through `calibration` (a
        :class:`vrexsdk.calibration.Calibration` of the chip), in `bins` equal bins over `range` keV (lazy): a
        :class:`vrexsdk.calibration.EnergySpectrum`, with the hits below, above and without an energy (flagged
        pixels) counted beside the bins. The same as ``calibration.spectrum(...)`` over every hit in memory."""
        cal = importlib.import_module("vrexsdk.calibration")
        if not isinstance(calibration, cal.Calibration):
            raise TypeError(f"calibration must be a vrexsdk.calibration.Calibration, not {type(calibration).__name__}")
        empty = cal.EnergySpectrum.empty(bins, range)  # refuses bad bins or range now, not in a task
        dask = _dask()
        if not self.partitions:
            return dask.delayed(empty)
        shared = dask.delayed(calibration, pure=True)  # one copy in the graph, not one per task
        return _tree(dask, self._map(_energy_spectrum, shared, len(empty.counts), empty.low, empty.high),
                     _merge_spectra)

    def clusters(self, *, window_ns: Optional[float] = None, radius: Optional[int] = None,
                 margin_s: Optional[float] = None, calibration: Any = None) -> Any:
        """The clusters of the selected hits (:func:`vrexsdk.clusters.cluster`: neighbours within `radius`
        pixels and `window_ns` of each other), as a dask.dataframe of :data:`vrexsdk.clusters.CLUSTER_DTYPE`
        records, one partition per file partition (split further to bound a task's memory); with a
        `calibration`, a column ``energy`` too (keV, the sum
        of the hits' energies; NaN when a hit is on a flagged pixel). Each partition reads `margin_s` beyond its
        edges (by default the clusterer's read-out jitter plus 10 us), so a cluster across an edge is found once
        and whole; a cluster lasting longer than the margin could be split. The same as clustering each file in
        memory."""
        clusters = importlib.import_module("vrexsdk.clusters")
        dd = importlib.import_module("dask.dataframe")
        pd = importlib.import_module("pandas")
        options = {k: v for k, v in (("window_ns", window_ns), ("radius", radius)) if v is not None}
        clusters.cluster(np.zeros(0, clusters.HIT_DTYPE), **options)  # refuses bad options now, not in a task
        margin = (clusters.DEFAULT_JITTER_NS * 1e-9 + 10e-6) if margin_s is None else float(margin_s)
        if not (np.isfinite(margin) and margin >= 0):
            raise ValueError(f"margin_s must be a non-negative number of seconds, not {margin_s!r}")
        meta = pd.DataFrame(np.zeros(0, clusters.CLUSTER_DTYPE))
        pieces = [p._replace(start=at, stop=min(at + _CLUSTER_EVENTS, p.stop))
                  for p in self.partitions for at in range(p.start, p.stop, _CLUSTER_EVENTS)]
        if calibration is not None:
            cal = importlib.import_module("vrexsdk.calibration")
            if not isinstance(calibration, cal.Calibration):
                raise TypeError(f"calibration must be a vrexsdk.calibration.Calibration, not "
                                f"{type(calibration).__name__}")
            meta["energy"] = np.zeros(0)
        return dd.from_map(_cluster_frame, pieces, selection=self.selection, options=options,
                           margin_s=margin, cal=calibration, meta=meta, enforce_metadata=False)

    def to_dataframe(self) -> Any:
        """The selected events as a dask.dataframe with columns x, y (uint16), toa (uint64 ticks), tot (uint32),
        one partition per file partition."""
        dd = importlib.import_module("dask.dataframe")
        pd = importlib.import_module("pandas")
        meta = pd.DataFrame({"x": np.zeros(0, np.uint16), "y": np.zeros(0, np.uint16),
                             "toa": np.zeros(0, np.uint64), "tot": np.zeros(0, np.uint32)})
        return dd.from_map(_frame, self.partitions, selection=self.selection, meta=meta, enforce_metadata=False)


def _cluster_frame(part: Partition, selection: _Selection, options: Dict[str, Any], margin_s: float,
                   cal: Any = None) -> Any:
    found, energy = _clusters(part, selection, options, margin_s, cal)
    frame = importlib.import_module("pandas").DataFrame(found)
    if energy is not None:
        frame["energy"] = energy
    return frame


def _frame(part: Partition, selection: _Selection) -> Any:
    pd = importlib.import_module("pandas")
    d = _load(part, selection, list(_COLUMNS))
    ids = d["event_id"]
    return pd.DataFrame({"x": (ids % 256).astype(np.uint16), "y": (ids // 256).astype(np.uint16),
                         "toa": d["event_time_offset"], "tot": d["time_over_threshold"]})


def open(paths: Union[PathLike, Iterable[PathLike]], *, partition_events: Optional[int] = None) -> Events:
    """The hit events of the event file(s) `paths`, lazily: only the files' layouts are read now (a missing or
    unreadable file raises here, naming it). `partition_events` sets the events one task reads (by default a
    whole number of the files' HDF5 chunks, about a million events)."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    names = [os.fspath(p) for p in paths]
    if not names:
        raise ValueError("no event files given")
    if partition_events is not None and (isinstance(partition_events, bool) or not isinstance(partition_events, int)
                                         or partition_events <= 0):
        raise ValueError(f"partition_events must be a positive integer, not {partition_events!r}")
    parts: List[Partition] = []
    for name in names:
        parts.extend(_partitions(name, partition_events))
    return Events(parts)


def compute(*lazy: Any, **kwargs: Any) -> Tuple[Any, ...]:
    """Computes several lazy results in one go (``dask.compute``), on the scheduler in force."""
    return tuple(_dask().compute(*lazy, **kwargs))
