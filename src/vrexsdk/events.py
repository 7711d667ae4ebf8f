"""Lossless event files: every block a :class:`~vrexsdk.stages.Sink` copied, in HDF5 with the NeXus layout.

:class:`EventWriter` drains a :class:`~vrexsdk.stages.ChunkQueue` on a thread of its own while the acquisition
runs, appending each chunk to resizable, chunked datasets in HDF5's single-writer/multiple-reader (SWMR) mode and
flushing at least twice a second, so a process killed mid-recording leaves a file holding every chunk flushed
before the kill (open it with :func:`open_events`, or ``h5py.File(path, "r", swmr=True)``; NeXus tools that
refuse a file left open for writing accept it after ``h5clear -s path``). When the acquisition is over,
:meth:`EventWriter.close` writes the rest (reductions, end time, counts of lost blocks) and closes the file.
:func:`open_events` reads a file back: its description, its reductions, and its events chunk by chunk; with
clusters, :meth:`EventFile.clusters`, :meth:`EventFile.cluster_energies` and :meth:`EventFile.cluster_labels`.

Layout (every group has its ``NX_class``, every dataset a ``units`` attribute; ``TICK`` stands for the SDK's
clock tick, e.g. ``"1.5625 ns"``, also given in seconds as the ``tick_length`` attribute of the detector and of
each time dataset)::

    /                                  NXroot; default="entry", creator, file_name, file_time, HDF5_Version,
                                       h5py_version
    /entry                             NXentry; default = the quick-look NXdata below
      start_time, end_time             ISO 8601, UTC
      duration                         float64, s
      program_name                     "vrexsdk"; attributes version, sdk_version
      acquisition/                     NXcollection: mode, channel, raw (bool), blocks (accepted), lost_blocks,
                                       dropped_blocks (queue full), failed_blocks (a getter failed),
                                       ignored_blocks, complete (bool: every block delivered until the end
                                       or the interrupt is in, and the file was closed), interrupted (bool),
                                       error (str, "" when none); counts in units "counts"
      instrument/                      NXinstrument; name = the device's product
        detector/                      NXdetector; attribute tick_length (s)
          description, serial_number, local_name (connection string), manufacturer, usb_vid_pid
          chip_id, chip_polarity       str per chip
          pixel_mask                   int32 [y, x], 1 = masked (when known)
          dacs/                        NXcollection: one int32 dataset per DAC
          thresholds/                  NXcollection: <id>_energy (keV), <id>_raw, <id>_calibrated
          temperatures/                NXcollection: <cooling unit>_actual, _desired, in the unit the SDK gives
          revisions/                   NXcollection: one str per hardware-version entry
          trigger_modes                str per trigger mode the device offers
          events/                      NXevent_data (hit modes), one entry per hit, in delivery order:
            event_id                   uint32, pixel address y * 256 + x
            event_time_offset          uint64, ToA in TICK (ToA/ToT modes)
            time_over_threshold        uint32, ToT as the SDK counts it (ToA/ToT modes)
            event_count, integrated_tot  uint64, uint32 (iToT/event modes)
            cluster_id                 int64 (clusters with labels): the hit's cluster, its index in
                                       /entry/clusters (-1: outside the matrix); attribute target
          tdc0/, tdc1/, tdc2/          NXevent_data (data-driven modes): event_time_offset uint64, TICK
      frames/                          NXdata (frame modes): counts uint16 [frame, y, x]; signal="counts"
      raw/                             NXcollection (raw stream): bytes uint8, the blocks back to back
      binned/                          NXcollection (binned modes): packets_address, packets_count,
                                       packets_itot (uint32), descriptors_offset, descriptors_packet_count
                                       (uint32), hit_sums, itot_sums (uint64), each with its own index below
      clusters/                        NXdata (ToA/ToT modes, clusters asked for): one entry per cluster of the
                                       file's hits, in the order they completed; signal="tot_sum"; attributes
                                       window_ticks, jitter_ticks, radius, and at close late_hits, outside_hits
        x, y, x_mean, y_mean           float64, pixel indices: ToT-weighted and plain centroid
        toa, toa_spread                uint64, TICK: first ToA, last - first
        tot_sum                        uint64; energy float64, keV (with a calibration: the hits' energies
                                       added up, NaN when one has none)
        size                           uint32, counts: hits
        elongation                     float32: sqrt of the ratio of the principal second moments
        x_min, x_max, y_min, y_max     uint16, pixel indices: the bounding box
      hit_map, itot_map, summed_frame  NXdata, written at close: signal uint64 [y, x], axes y, x
      tot_histogram, toa_histogram, itot_histogram, hit_sums, itot_sums
                                       NXdata, written at close: counts, and the bin edges as axis;
                                       attributes origin, bin_width, underflow, overflow
      cluster_size_histogram, cluster_energy_histogram
                                       the same, with clusters (cluster_size_histogram's attribute
                                       clusters: every cluster counted); energy_spectrum,
                                       cluster_energy_spectrum with a calibration: attributes low, high
                                       (keV), underflow, overflow, uncalibrated. EventFile.histogram()
                                       reads each back as the recording had it

Every streamed group (``events``, ``tdcN``, ``frames``, ``raw``, ``binned``) also holds, one entry per block,
``block`` (the block's number: a gap is a block lost before the file), ``event_index`` (where the block's
entries start in the group's datasets; for ``binned`` one ``<part>_index`` per part) and, in NXevent_data
groups, ``event_time_zero`` (the shutter's rising edge in TICK, data-driven modes; 0 otherwise). Event datasets
are chunked as the recording asks (64k to 256k entries), optionally compressed through the filters of
``hdf5plugin`` (``compression="lz4"``, ``"zstd"``, ``"blosc"``) or HDF5's own ``"gzip"``.
"""

from __future__ import annotations

import datetime
import json
import os
import threading
import time
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from vrexsdk import __version__, _stages
from vrexsdk._optional import optional
from vrexsdk._recording import Histogram
from vrexsdk.calibration import EnergySpectrum
from vrexsdk.stages import ChunkQueue, Pipeline

__all__ = ["DEFAULT_TICK", "EventFile", "EventWriter", "open_events", "open_hdf5"]

PathLike = Union[str, "os.PathLike[str]"]

#: The SDK reports no tick length; Timepix3's fine ToA clock runs at 640 MHz.
DEFAULT_TICK = 1.5625e-9

_HDF5_HINT = 'event files need h5py: pip install "vrexsdk[hdf5]"'
_COMPRESSION_HINT = 'compression "{}" needs hdf5plugin: pip install "vrexsdk[compression]"'
_FLUSH_INTERVAL = 0.5  # seconds between flushes while chunks arrive; a reader sees data at least this often
_COMPRESSIONS = ("gzip", "lz4", "zstd", "blosc")

# Where each group of the sink's chunks goes: its place under /entry, its NeXus class, and per column the dataset
# name and units ("tick" for the SDK's clock). Written once; the writer and the reader both follow it.
_PLACES: Dict[str, Tuple[str, str]] = {
    "events": ("instrument/detector/events", "NXevent_data"),
    "tdc0": ("instrument/detector/tdc0", "NXevent_data"),
    "tdc1": ("instrument/detector/tdc1", "NXevent_data"),
    "tdc2": ("instrument/detector/tdc2", "NXevent_data"),
    "frames": ("frames", "NXdata"),
    "raw": ("raw", "NXcollection"),
    "packets": ("binned", "NXcollection"),
    "descriptors": ("binned", "NXcollection"),
    "hit_sums": ("binned", "NXcollection"),
    "itot_sums": ("binned", "NXcollection"),
}
_DATASETS: Dict[Tuple[str, str], Tuple[str, str]] = {
    ("events", "address"): ("event_id", "dimensionless"),
    ("events", "toa"): ("event_time_offset", "tick"),
    ("events", "tot"): ("time_over_threshold", "dimensionless"),
    ("events", "event"): ("event_count", "counts"),
    ("events", "itot"): ("integrated_tot", "dimensionless"),
    ("frames", "counts"): ("counts", "counts"),
    ("raw", "bytes"): ("bytes", "dimensionless"),
    ("packets", "address"): ("packets_address", "dimensionless"),
    ("packets", "count"): ("packets_count", "counts"),
    ("packets", "itot"): ("packets_itot", "dimensionless"),
    ("descriptors", "offset"): ("descriptors_offset", "dimensionless"),
    ("descriptors", "packet_count"): ("descriptors_packet_count", "counts"),
    ("hit_sums", "value"): ("hit_sums", "counts"),
    ("itot_sums", "value"): ("itot_sums", "dimensionless"),
}
for _tdc in ("tdc0", "tdc1", "tdc2"):
    _DATASETS[(_tdc, "time")] = ("event_time_offset", "tick")

#: The datasets of /entry/clusters: the fields of vrexsdk.clusters.CLUSTER_DTYPE (and "energy", keV, with a
#: calibration), with their units ("tick" for the SDK's clock). Positions are pixel indices, dimensionless as
#: the x and y axes of the maps are (UDUNITS has no pixel, and NeXus readers refuse one); each says so in its
#: long_name.
_CLUSTER_UNITS = {"x": "dimensionless", "y": "dimensionless", "x_mean": "dimensionless", "y_mean": "dimensionless",
                  "toa": "tick", "toa_spread": "tick", "tot_sum": "dimensionless", "size": "counts",
                  "elongation": "dimensionless", "x_min": "dimensionless", "x_max": "dimensionless",
                  "y_min": "dimensionless", "y_max": "dimensionless"}
_CLUSTER_NAMES = {"x": "x, ToT-weighted centroid (pixels)", "y": "y, ToT-weighted centroid (pixels)",
                  "x_mean": "x, centroid (pixels)", "y_mean": "y, centroid (pixels)", "toa": "first ToA",
                  "toa_spread": "last ToA - first ToA", "tot_sum": "ToT sum", "size": "hits",
                  "elongation": "sqrt of the ratio of the principal second moments",
                  "x_min": "x, first pixel", "x_max": "x, last pixel", "y_min": "y, first pixel",
                  "y_max": "y, last pixel", "energy": "energy, sum of the hits' calibrated energies"}
_CLUSTER_CHUNK = 65536
_PLACES["clusters"] = ("clusters", "NXdata")
for _field, _unit in {**_CLUSTER_UNITS, "energy": "keV"}.items():
    _DATASETS[("clusters", _field)] = (_field, _unit)


def _dataset_of(group: str, column: str) -> Tuple[str, str]:
    return _DATASETS[(group, column)]


def _index_name(group: str) -> str:
    # Groups sharing one HDF5 group (the binned parts) keep one index each.
    return "event_index" if _PLACES[group][0] != "binned" else f"{group}_index"


def _import_h5py() -> Any:
    return optional("h5py", _HDF5_HINT)


def _filter(compression: Optional[str]) -> Dict[str, Any]:
    if compression is None:
        return {}
    if compression not in _COMPRESSIONS:
        raise ValueError(f"compression must be one of {', '.join(_COMPRESSIONS)} or None, not {compression!r}")
    if compression == "gzip":
        return {"compression": "gzip", "compression_opts": 1}
    hdf5plugin = optional("hdf5plugin", _COMPRESSION_HINT.format(compression))
    made = {"lz4": hdf5plugin.LZ4, "zstd": hdf5plugin.Zstd, "blosc": hdf5plugin.Blosc}[compression]()
    return dict(made)


def _units(name: str, tick_units: str) -> str:
    return tick_units if name == "tick" else name


def _text(value: Any) -> str:
    return "" if value is None else str(value)


class _Column:
    """One growing dataset of an event file, written in whole HDF5 chunks.

    Without a chunk cache, a write covering part of a chunk makes HDF5 read that chunk back, merge and write it
    again, and every write costs a resize and a selection: appended block by block, the small per-block datasets
    alone took a quarter of the writer's time. So values are held here until they fill whole chunks, which go out
    at once (unfiltered: chunk by chunk with ``write_direct_chunk``, straight from the array to the file, past
    HDF5's selection and conversion). :meth:`flush` also writes the partial chunk at the end, so a reader (or a
    file left by a killed process) has every value, and holds on to it: the next write replaces that chunk whole.
    """

    def __init__(self, dataset: Any, direct: bool) -> None:
        self.dataset = dataset
        self.dtype = dataset.dtype
        self.chunk = int(dataset.chunks[0])
        self.rows = tuple(dataset.shape[1:])
        self.direct = direct and tuple(dataset.chunks[1:]) == self.rows
        self.length = len(dataset)  # the dataset's extent
        self.start = self.length  # where the held values go: a chunk boundary (0 for a new dataset)
        self.held: List[npt.NDArray[Any]] = []
        self.count = 0

    def append(self, values: npt.NDArray[Any]) -> None:
        if len(values) == 0:
            return
        self.held.append(np.ascontiguousarray(values, self.dtype))
        self.count += len(values)
        if self.count >= self.chunk:
            self._write(everything=False)

    def flush(self) -> None:
        if self.count:
            self._write(everything=True)

    def _write(self, everything: bool) -> None:
        whole = self.count - self.count % self.chunk
        n = self.count if everything else whole
        if self.start + n != self.length:
            self.dataset.resize(self.start + n, axis=0)
            self.length = self.start + n
        pieces = self.held
        if len(pieces) > 1:
            # Only the first chunk is put together (what was held, and the head of the newest array); the rest of
            # the newest (a whole queue chunk, megabytes) is written from where it lies.
            last = pieces[-1]
            take = min(len(last), self.chunk - (self.count - len(last)))
            pieces = [np.concatenate(pieces[:-1] + [last[:take]]), last[take:]]
        at = 0
        for piece in pieces:
            if at < n and len(piece):
                self._put(self.start + at, piece[:n - at])
            at += len(piece)
        rest = self.count - whole
        tail = pieces[-1]
        # A copy: a view would keep the whole array alive.
        kept = tail[len(tail) - rest:].copy() if len(tail) >= rest else np.concatenate(pieces)[whole:]
        self.held = [kept] if rest else []
        self.count = rest
        self.start += whole

    def _put(self, at: int, values: npt.NDArray[Any]) -> None:
        if not self.direct:
            self.dataset[at:at + len(values)] = values
            return
        for k in range(0, len(values), self.chunk):
            part = values[k:k + self.chunk]
            if len(part) < self.chunk:  # the partial last chunk is stored whole; rows past the extent are not read
                padded = np.zeros((self.chunk,) + self.rows, self.dtype)
                padded[:len(part)] = part
                part = padded
            self.dataset.id.write_direct_chunk((at + k,) + (0,) * len(self.rows), part)


class EventWriter:
    """Writes the chunks of `queue` to a NeXus event file at `path` on a thread of its own.

    The file is created, laid out and switched to SWMR mode here, before any acquisition starts, so an
    unwritable path fails now (OSError naming the path). Call :meth:`start` once the pipeline is attached and
    :meth:`close` once the acquisition is over.

    Args:
        path: the file to create; an existing file is refused unless `overwrite`.
        mode: the chip mode whose blocks the sink copies (``"0:raw-data"`` for the raw stream).
        queue: the sink's queue.
        metadata: the device's description (:func:`vrexsdk.record.describe`) and the recording's settings.
        mask: the pixel mask as ``getMask()`` returns it (``[x, y]``), or None.
        chunk_events: the HDF5 chunk length of the event datasets.
        compression: None, ``"gzip"``, or a filter of hdf5plugin (``"lz4"``, ``"zstd"``, ``"blosc"``).
        tick: the SDK's clock tick in seconds.
        on_error: called (from the writer thread) when writing fails, to stop the acquisition.
        clusters: the clusterer's settings (``window_ticks``, ``jitter_ticks``, ``radius``): the writer clusters
            the hits it writes and keeps the clusters in ``/entry/clusters``.
        cluster_labels: also give every hit the index of its cluster (``events/cluster_id``).
        calibration: a :class:`~vrexsdk.calibration.Calibration`: the clusters' energies in keV too.
    """

    def __init__(self, path: PathLike, mode: str, queue: ChunkQueue, *, metadata: Optional[Mapping[str, Any]] = None,
                 mask: Optional[npt.ArrayLike] = None, chunk_events: int = 131072, compression: Optional[str] = None,
                 tick: float = DEFAULT_TICK, overwrite: bool = False,
                 on_error: Optional[Callable[[BaseException], Any]] = None,
                 clusters: Optional[Mapping[str, Any]] = None, cluster_labels: bool = False,
                 calibration: Any = None) -> None:
        h5py = _import_h5py()
        self._clusters = _ClusterWriter(clusters, cluster_labels, calibration) if clusters is not None else None
        if self._clusters is None and cluster_labels:
            raise ValueError("cluster_labels needs clusters")
        if self._clusters is not None and not any(g == "events" and any(c == "toa" for c, _ in columns)
                                                  for g, columns in _stages._layout(mode)):
            raise ValueError(f"clusters are made of ToA/ToT hits; mode {mode!r} delivers none")
        if isinstance(chunk_events, bool) or not isinstance(chunk_events, int) or not 1024 <= chunk_events <= 1 << 24:
            raise ValueError(f"chunk_events must be an integer from 1024 to {1 << 24}, not {chunk_events!r}")
        if isinstance(tick, bool) or not isinstance(tick, (int, float)) or not 0 < tick < 1:
            raise ValueError(f"tick must be a positive number of seconds below 1, not {tick!r}")
        if not isinstance(queue, ChunkQueue):
            raise TypeError(f"queue must be a ChunkQueue, not {type(queue).__name__}")
        self._filter = _filter(compression)
        self.path = os.fspath(path)
        self.mode = mode
        self.queue = queue
        self.tick = float(tick)
        self.tick_units = f"{self.tick * 1e9:.12g} ns"
        self.chunk_events = chunk_events
        self.on_error = on_error
        self.error: Optional[BaseException] = None
        self.written_blocks = 0
        self.written_events = 0
        #: Blocks on disk as of the last flush: a reader (or a file left by a killed process) holds at least these.
        self.flushed_blocks = 0
        self._layout = _stages._layout(mode)
        self._thread: Optional[threading.Thread] = None
        self._pipeline: Optional[Pipeline] = None
        self._stop = threading.Event()
        self._positions: Dict[str, int] = {}
        self._columns: Dict[str, _Column] = {}
        self._started = datetime.datetime.now(datetime.timezone.utc)
        if os.path.exists(self.path) and not overwrite:
            raise FileExistsError(f"{self.path} exists: choose another name or allow overwriting it")
        try:
            # No chunk cache: each chunk goes to disk when written, so a reader sees it at the next flush, and a
            # write that fails (a full disk) fails there, leaving no dirty chunk that HDF5 would try again, and
            # crash on, when it closes the datasets at exit.
            self._file = h5py.File(self.path, "w", libver="latest", rdcc_nbytes=0)
        except OSError as e:
            raise OSError(f"cannot create the event file {self.path}: {e}") from None
        try:
            self._describe(metadata or {}, mask)
            self._create_streams()
            if self._clusters is not None:  # SWMR mode adds no dataset later: they are all made now
                self._clusters.create(self)
            self._file.swmr_mode = True
            self._file.flush()
        except BaseException:
            self._file.close()
            raise

    # ---- layout ------------------------------------------------------------------------------------------------

    def _group(self, path: str, nx_class: str) -> Any:
        group = self._file.require_group(path)
        group.attrs.setdefault("NX_class", nx_class)
        return group

    def _value(self, group: Any, name: str, value: Any, units: str = "dimensionless") -> None:
        if isinstance(value, str) or value is None:
            group.create_dataset(name, data=_text(value))
        elif isinstance(value, (list, tuple)) and all(isinstance(v, str) or v is None for v in value):
            group.create_dataset(name, data=[_text(v) for v in value], dtype=self._h5py().string_dtype())
        else:
            group.create_dataset(name, data=value)
            group[name].attrs["units"] = units

    @staticmethod
    def _h5py() -> Any:
        return _import_h5py()

    def _describe(self, meta: Mapping[str, Any], mask: Optional[npt.ArrayLike]) -> None:
        f = self._file
        f.attrs.update(NX_class="NXroot", default="entry", creator=f"vrexsdk {__version__}",
                       file_name=os.path.basename(self.path), file_time=self._started.isoformat(),
                       HDF5_Version=self._h5py().version.hdf5_version, h5py_version=self._h5py().version.version)
        entry = self._group("entry", "NXentry")
        entry.create_dataset("start_time", data=self._started.isoformat())
        program = entry.create_dataset("program_name", data="vrexsdk")
        program.attrs.update(version=__version__, sdk_version=_text(meta.get("sdk_version")))
        instrument = self._group("entry/instrument", "NXinstrument")
        device = meta.get("device") or {}
        instrument.create_dataset("name", data=_text(device.get("product")))
        det = self._group("entry/instrument/detector", "NXdetector")
        det.attrs["tick_length"] = self.tick
        det.attrs["tick_length_units"] = "s"
        self._value(det, "description", device.get("product"))
        self._value(det, "serial_number", device.get("serial_number"))
        self._value(det, "local_name", device.get("connection_string"))
        self._value(det, "manufacturer", device.get("manufacturer"))
        if device.get("usb_vid_pid"):
            self._value(det, "usb_vid_pid", np.asarray(device["usb_vid_pid"], np.int32))
        chips = meta.get("chips") or []
        self._value(det, "chip_id", [c.get("id") for c in chips])
        self._value(det, "chip_polarity", [c.get("polarity") for c in chips])
        self._value(det, "trigger_modes", list(meta.get("trigger_modes") or []))
        if mask is not None:
            m = np.asarray(mask)
            if m.ndim == 2:
                self._value(det, "pixel_mask", (m.T != 0).astype(np.int32))
        dacs = self._group("entry/instrument/detector/dacs", "NXcollection")
        for name, value in (meta.get("dacs") or {}).items():
            if value is not None:
                self._value(dacs, str(name), np.int32(value))
        thresholds = self._group("entry/instrument/detector/thresholds", "NXcollection")
        for name, t in (meta.get("thresholds") or {}).items():
            if t.get("kev") is not None:
                self._value(thresholds, f"{name}_energy", np.float32(t["kev"]), "keV")
            if t.get("raw") is not None:
                self._value(thresholds, f"{name}_raw", np.int32(t["raw"]))
            if t.get("calibrated") is not None:
                self._value(thresholds, f"{name}_calibrated", bool(t["calibrated"]))
        temperatures = self._group("entry/instrument/detector/temperatures", "NXcollection")
        for name, c in (meta.get("cooling") or {}).items():
            unit = _text(c.get("unit")).replace("°C", "degC") or "dimensionless"
            for key in ("actual", "desired"):
                if c.get(key) is not None:
                    self._value(temperatures, f"{name}_{key}", np.float32(c[key]), unit)
        revisions = self._group("entry/instrument/detector/revisions", "NXcollection")
        found = meta.get("revisions") or {}
        for name, version in found.items() if isinstance(found, Mapping) else found:
            if str(name) not in revisions:
                self._value(revisions, str(name), version)
        if meta.get("settings") is not None:
            # The set-up as vrexsdk.settings saves it: settings.apply(device, json.loads(...)) repeats it.
            self._value(det, "settings", json.dumps(meta["settings"], sort_keys=True))
            det["settings"].attrs["format"] = "vrexsdk.settings JSON"
        acq = self._group("entry/acquisition", "NXcollection")
        self._value(acq, "mode", self.mode)
        self._value(acq, "channel", meta.get("channel"))
        self._value(acq, "raw", bool(meta.get("raw", self.mode == "0:raw-data")))
        for name in ("requested_blocks", "requested_seconds"):
            if meta.get(name) is not None:
                self._value(acq, name, meta[name], "counts" if name == "requested_blocks" else "s")
        if meta.get("binning"):
            self._value(acq, "binning", np.asarray(meta["binning"], np.int64))

    def _create_streams(self) -> None:
        h5py = self._h5py()
        for group_name, columns in self._layout:
            place, nx_class = _PLACES[group_name]
            group = self._group(f"entry/{place}", nx_class)
            for column, dtype in columns:
                name, units = _dataset_of(group_name, column)
                shape: Tuple[int, ...] = (0,)
                maxshape: Tuple[Optional[int], ...] = (None,)
                chunks: Tuple[int, ...] = (self.chunk_events if group_name != "raw" else
                                           max(self.chunk_events * 8, 1 << 20),)
                if group_name == "frames":
                    shape, maxshape, chunks = (0, 256, 256), (None, 256, 256), (1, 256, 256)
                ds = group.create_dataset(name, shape=shape, maxshape=maxshape, chunks=chunks, dtype=dtype,
                                          **self._filter)
                ds.attrs["units"] = _units(units, self.tick_units)
                if units == "tick":
                    ds.attrs["tick_length"] = self.tick
                self._positions[f"{group_name}/{column}"] = 0
            per_block = [("block", "dimensionless"), (_index_name(group_name), "dimensionless")]
            if nx_class == "NXevent_data":
                per_block.append(("event_time_zero", self.tick_units))
            for name, units in per_block:
                if name in group:
                    continue
                ds = group.create_dataset(name, shape=(0,), maxshape=(None,), chunks=(4096,), dtype=np.uint64)
                ds.attrs["units"] = units
            if group_name == "frames":
                group.attrs.update(signal="counts", axes=["frame", "y", "x"])
            self._positions[group_name] = 0
        _ = h5py

    # ---- streaming -----------------------------------------------------------------------------------------------

    def start(self, pipeline: Optional[Pipeline] = None) -> None:
        """Starts the writer thread. With `pipeline`, a quiet queue makes its sinks hand over partial chunks."""
        if self._thread is not None:
            raise RuntimeError("the writer was started already")
        self._pipeline = pipeline
        self._thread = threading.Thread(target=self._run, name="vrexsdk-event-writer", daemon=True)
        self._thread.start()

    def _append(self, path: str, values: npt.NDArray[Any]) -> None:
        column = self._columns.get(path)
        if column is None:  # looked up once: finding a dataset through h5py costs more than writing to it
            column = self._columns[path] = _Column(self._file[path], direct=not self._filter)
        column.append(values)

    def next_acquisition(self, first_block: int) -> None:
        """Another acquisition begins with block `first_block`: its ToA starts again, so what was clustered ends
        before its first chunk (any thread)."""
        if self._clusters is not None:
            self._clusters.boundaries.append(int(first_block))

    def write(self, chunk: Mapping[str, Any]) -> None:
        """Appends one chunk (as :meth:`ChunkQueue.get` gives it)."""
        blocks = chunk["blocks"]
        numbered = set()  # the places whose "block" got this chunk's numbers (the binned parts share one)
        for group_name, columns in self._layout:
            part = chunk[group_name]
            place, nx_class = _PLACES[group_name]
            base = f"entry/{place}/"
            start = self._positions[group_name]
            counts = part["counts"].astype(np.uint64)
            for column, _dtype in columns:
                name, _units = _dataset_of(group_name, column)
                values = part[column]
                if group_name == "frames":
                    values = values.reshape(-1, 256, 256)
                self._append(base + name, values)
            scale = 65536 if group_name == "frames" else 1  # frames are indexed by frame, not by counter
            starts = np.concatenate([[0], np.cumsum(counts)[:-1]]).astype(np.uint64) // np.uint64(scale)
            self._append(base + _index_name(group_name), np.uint64(start) + starts)
            if place not in numbered:
                numbered.add(place)
                self._append(base + "block", blocks)
            if nx_class == "NXevent_data":
                self._append(base + "event_time_zero", chunk["shutter"])
            self._positions[group_name] = start + int(counts.sum()) // scale
        self.written_blocks += len(blocks)
        self.written_events += int(chunk[self._layout[0][0]]["counts"].sum())
        if self._clusters is not None:
            self._clusters.write(self, chunk)

    def _run(self) -> None:
        last_flush = time.monotonic()
        dirty = False
        try:
            while True:
                chunk = self.queue.get(_FLUSH_INTERVAL / 2)
                if chunk is not None:
                    self.write(chunk)
                    dirty = True
                elif self._stop.is_set() and self.queue.stats.queued_chunks == 0:
                    break
                elif self._pipeline is not None:
                    self._pipeline.flush(partial=True)  # a quiet queue: have the partial chunk handed over
                now = time.monotonic()
                if dirty and (chunk is None or now - last_flush >= _FLUSH_INTERVAL):
                    self._flush()
                    last_flush, dirty = now, False
            if self._clusters is not None:
                self._clusters.end(self)
            self._flush()  # always: whatever the columns still hold goes out
        except BaseException as e:  # a full disk, say: stop the acquisition, keep what is on disk
            # Kept without its traceback: its frames hold datasets of the file, which must not outlive it.
            e.with_traceback(None)
            if isinstance(e, OSError):
                self.error = e
            else:  # h5py reports some failed writes as RuntimeError
                self.error = OSError(f"writing the event file {self.path} failed: {e}")
                self.error.__cause__ = e
            self.queue.close()  # later chunks are dropped and counted, and no sink waits for room any more
            if self.on_error is not None:
                try:
                    self.on_error(e)
                except Exception:
                    pass

    def _flush(self) -> None:
        written = self.written_blocks
        for column in self._columns.values():
            column.flush()
        self._file.flush()
        self.flushed_blocks = written

    def close(self, reductions: Optional[Mapping[str, Any]] = None, *, counts: Optional[Mapping[str, int]] = None,
              interrupted: bool = False) -> None:
        """Drains the queue, closes the streams and writes the reductions and the closing counts.

        Call it once the acquisition is over: the pipeline's sinks are flushed and the queue closed here.
        Raises the writer's error (an OSError for a full disk, say) after closing the file, which then holds
        every chunk written before the failure.
        """
        if self._pipeline is not None:
            self._pipeline.flush()
        self.queue.close()
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        h5py = self._h5py()
        # The datasets this writer keeps open go first, while their file is still open: after a failed write
        # HDF5 cannot close the file cleanly, and a dataset closed later (by the collector at exit, say) would
        # touch what it freed.
        self._columns.clear()
        try:
            self._file.close()
        except Exception as e:  # noqa: BLE001 - the first error is the one to report
            self.error = self.error or e
        # Nor is the file object kept: the error raised below holds this writer through its traceback, and a
        # file object that HDF5 failed to close, freed after h5py has shut the library down at exit, crashes.
        self._file = None

        if self.error is not None:
            # The file could not be written: it holds what was flushed before, and is not touched again (HDF5
            # cannot close a file it failed to write, and would try again at exit).
            raise self.error
        ended = datetime.datetime.now(datetime.timezone.utc)
        try:
            with h5py.File(self.path, "r+") as f:
                entry = f["entry"]
                entry.create_dataset("end_time", data=ended.isoformat())
                entry.create_dataset("duration", data=(ended - self._started).total_seconds())
                entry["duration"].attrs["units"] = "s"
                acq = entry["acquisition"]
                stats = self.queue.stats
                values = {"written_blocks": self.written_blocks, "dropped_blocks": stats.dropped_blocks,
                          "dropped_events": stats.dropped_events, **(counts or {})}
                values.setdefault("lost_blocks", stats.dropped_blocks)
                for name, value in values.items():
                    acq.create_dataset(name, data=np.uint64(value))
                    acq[name].attrs["units"] = "counts"
                acq.create_dataset("complete", data=self.error is None)
                acq.create_dataset("interrupted", data=bool(interrupted))
                acq.create_dataset("error", data="" if self.error is None else f"{type(self.error).__name__}: "
                                                                                f"{self.error}")
                if self._clusters is not None:
                    self._clusters.close(entry)
                _write_reductions(entry, reductions or {}, self.tick_units)
        except Exception as e:  # noqa: BLE001
            self.error = self.error or e
        if self.error is not None:
            raise self.error


# ---- clusters ------------------------------------------------------------------------------------------------



class _ClusterWriter:
    """The clusters of the hits an :class:`EventWriter` writes, clustered on its thread as it writes them.

    Here rather than in a native sink on the SDK's thread: the file's clusters are then exactly those of the
    file's hits (a chunk the queue dropped is in neither), the clusterer runs with the GIL released on the
    writer's thread, so it costs the acquisition nothing beyond the writer's own queue rules (a writer that falls
    behind drops or waits as the queue says), and the SDK's thread is left to the reductions."""

    def __init__(self, settings: Mapping[str, Any], labels: bool, calibration: Any) -> None:
        from vrexsdk import clusters

        self.settings = {k: int(settings[k]) for k in ("window_ticks", "jitter_ticks", "radius")}
        self.stream = clusters._Labelled(window_ticks=self.settings["window_ticks"],
                                         jitter_ticks=self.settings["jitter_ticks"], radius=self.settings["radius"])
        self.dtype = clusters.CLUSTER_DTYPE
        self.hit_dtype = clusters.HIT_DTYPE
        self.labels = bool(labels)
        self.calibration = calibration
        #: Block numbers at which an acquisition began (EventWriter.next_acquisition), appended from any thread.
        self.boundaries: List[int] = []
        self._next = 0

    def create(self, writer: "EventWriter") -> None:
        group = writer._group("entry/clusters", "NXdata")
        names = list(self.dtype.names or ())
        if self.calibration is not None:
            names.append("energy")
        group.attrs.update(signal="tot_sum", auxiliary_signals=[n for n in names if n != "tot_sum"],
                           **{k: np.uint64(v) for k, v in self.settings.items()})
        for name in names:
            dtype = np.dtype(np.float64) if name == "energy" else self.dtype[name]
            ds = group.create_dataset(name, shape=(0,), maxshape=(None,), chunks=(_CLUSTER_CHUNK,), dtype=dtype,
                                      **writer._filter)
            units = "keV" if name == "energy" else _CLUSTER_UNITS[name]
            ds.attrs["units"] = _units(units, writer.tick_units)
            ds.attrs["long_name"] = _CLUSTER_NAMES[name]
            if units == "tick":
                ds.attrs["tick_length"] = writer.tick
        if self.labels:
            place = _PLACES["events"][0]
            ds = writer._file.require_group(f"entry/{place}").create_dataset(
                "cluster_id", shape=(0,), maxshape=(None,), chunks=(writer.chunk_events,), dtype=np.int64,
                **writer._filter)
            ds.attrs.update(units="dimensionless", target="/entry/clusters",
                            description="index of the hit's cluster in /entry/clusters; -1: outside the matrix")

    def write(self, writer: "EventWriter", chunk: Mapping[str, Any]) -> None:
        blocks = chunk["blocks"]
        while self._next < len(self.boundaries) and len(blocks) and int(blocks[0]) >= self.boundaries[self._next]:
            self._next += 1
            self._append(writer, self.stream.flush())
        events = chunk["events"]
        hits = np.empty(len(events["address"]), self.hit_dtype)
        for name in ("address", "toa", "tot"):
            hits[name] = events[name]
        values = None if self.calibration is None else self.calibration.energies(hits)
        self._append(writer, self.stream.push(hits, values))

    def end(self, writer: "EventWriter") -> None:
        self._append(writer, self.stream.flush())

    def _append(self, writer: "EventWriter", result: Tuple[Any, Any, Any]) -> None:
        # The writer's columns hold values until whole HDF5 chunks are full, so small results go straight there.
        found, sums, labels = result
        for name in self.dtype.names or ():
            writer._append(f"entry/clusters/{name}", found[name])
        if self.calibration is not None:
            writer._append("entry/clusters/energy", sums)
        if self.labels:
            writer._append(f"entry/{_PLACES['events'][0]}/cluster_id", labels)

    def close(self, entry: Any) -> None:
        group = entry["clusters"]
        for name, value in (("late_hits", self.stream.late), ("outside_hits", self.stream.outside)):
            group.attrs[name] = np.uint64(value)


#: The histograms written at close (the :class:`~vrexsdk.record.Recording` fields of the same names): the axis each
#: group's bin edges go under, and the axis's units ("tick" for the SDK's clock).
_HISTOGRAM_AXES = {"tot_histogram": ("tot", "dimensionless"), "toa_histogram": ("toa", "tick"),
                   "itot_histogram": ("itot", "dimensionless"), "cluster_size_histogram": ("size", "counts"),
                   "cluster_energy_histogram": ("tot_sum", "dimensionless"), "energy_spectrum": ("energy", "keV"),
                   "cluster_energy_spectrum": ("energy", "keV")}
# What the attributes of a histogram's group say, beside its counts and edges: Histogram's bins, or an
# EnergySpectrum's range and the hits (or clusters) it could not give an energy.
_HISTOGRAM_ATTRS = ("origin", "bin_width", "underflow", "overflow")
_SPECTRUM_ATTRS = ("low", "high", "underflow", "overflow", "uncalibrated")


def _write_reductions(entry: Any, reductions: Mapping[str, Any], tick_units: str) -> None:
    """The quick-look NXdata groups: 2-D maps with pixel axes, histograms with their bin edges."""
    default = None
    for name in ("hit_map", "itot_map", "summed_frame"):
        image = reductions.get(name)
        if image is None:
            continue
        group = entry.create_group(name)
        group.attrs.update(NX_class="NXdata", signal="data", axes=["y", "x"])
        group.create_dataset("data", data=np.asarray(image, np.uint64)).attrs["units"] = "counts"
        for axis in ("y", "x"):
            group.create_dataset(axis, data=np.arange(256, dtype=np.int32)).attrs["units"] = "dimensionless"
        default = default or name
    for name, (axis, units) in _HISTOGRAM_AXES.items():
        h = reductions.get(name)
        if h is None:
            continue
        group = entry.create_group(name)
        spectrum = hasattr(h, "uncalibrated")
        group.attrs.update(NX_class="NXdata", signal="counts", axes=[axis],
                           **{k: getattr(h, k) for k in (_SPECTRUM_ATTRS if spectrum else _HISTOGRAM_ATTRS)})
        if name == "cluster_size_histogram":  # every cluster, those beyond the last bin too
            group.attrs["clusters"] = np.uint64(reductions.get("clusters", h.total))
        group.create_dataset("counts", data=np.asarray(h.counts, np.uint64)).attrs["units"] = "counts"
        group.create_dataset(axis, data=h.edges).attrs["units"] = _units(units, tick_units)
        default = default or name
    for name in ("hit_sums", "itot_sums"):
        sums = reductions.get(name)
        if sums is None:
            continue
        group = entry.create_group(name)
        group.attrs.update(NX_class="NXdata", signal="data", axes=["bin"])
        group.create_dataset("data", data=np.asarray(sums, np.uint64)).attrs["units"] = "counts"
        group.create_dataset("bin", data=np.arange(len(sums), dtype=np.int64)).attrs["units"] = "dimensionless"
        default = default or name
    if default is not None:
        entry.attrs["default"] = default


# ---- reading -----------------------------------------------------------------------------------------------------


def open_hdf5(path: PathLike) -> Any:
    """An HDF5 file opened for reading, also one still being written, or left by a writer that was killed or
    stopped by a full disk (marked open for writing, or shorter than it says): those are opened in SWMR mode,
    which reads what was flushed."""
    h5py = _import_h5py()
    try:
        return h5py.File(path, "r")
    except OSError:
        pass
    fapl = h5py.h5p.create(h5py.h5p.FILE_ACCESS)
    _limit_read_attempts(fapl)
    fid = h5py.h5f.open(os.fsencode(path), h5py.h5f.ACC_RDONLY | h5py.h5f.ACC_SWMR_READ, fapl=fapl)
    return h5py.File(fid)


# A SWMR reader retries a metadata read that fails its checksum (a writer may be changing it), waiting twice as
# long each time: HDF5's 100 attempts would wait for ever on a file cut short, whose metadata lies beyond its end.
# 24 take about 60 ms in all, far more than a writer needs to finish what it was writing.
_READ_ATTEMPTS = 24


def _limit_read_attempts(fapl: Any) -> None:
    """Sets the attempts on h5py's own HDF5 library (found among the loaded ones; h5py has no call for it)."""
    import ctypes

    try:
        with open("/proc/self/maps") as maps:
            paths = {line.split()[-1] for line in maps if "libhdf5" in line}
    except OSError:  # not Linux: HDF5's own number of attempts
        return
    for path in sorted(paths):
        name = os.path.basename(path)
        if not name.startswith("libhdf5") or name.startswith("libhdf5_hl"):
            continue
        try:
            setter = ctypes.CDLL(path).H5Pset_metadata_read_attempts
        except (OSError, AttributeError):
            continue
        setter.argtypes, setter.restype = [ctypes.c_int64, ctypes.c_uint], ctypes.c_int
        setter(fapl.id, _READ_ATTEMPTS)
        return


class EventFile:
    """An event file opened for reading (also one whose writer was killed: SWMR mode is tried then).

    ``groups`` lists the streamed groups present (``"events"``, ``"tdc0"``, ``"frames"``, ...);
    :meth:`chunks` iterates one of them chunk by chunk; :attr:`acquisition` gives the closing counts.
    """

    def __init__(self, path: PathLike) -> None:
        h5py = _import_h5py()
        self.path = os.fspath(path)
        self._file = open_hdf5(self.path)
        entry = self._file["entry"]
        self.mode = entry["acquisition/mode"][()].decode()
        self.tick = float(entry["instrument/detector"].attrs["tick_length"])
        self.groups: List[str] = [g for g, (place, _) in _PLACES.items() if self._has(g)]

    def _has(self, group: str) -> bool:
        place, _ = _PLACES[group]
        if f"entry/{place}" not in self._file:
            return False
        names = [_dataset_of(g, c)[0] for (g, c) in _DATASETS if g == group]
        return any(n in self._file[f"entry/{place}"] for n in names)

    def __enter__(self) -> "EventFile":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        self._file.close()

    @property
    def complete(self) -> bool:
        """Whether the writer closed the file normally, after an interrupt too (False after a kill or a failure)."""
        node = self._file["entry/acquisition"].get("complete")
        return bool(node[()]) if node is not None else False

    @property
    def acquisition(self) -> Dict[str, Any]:
        """The recording's settings and closing counts (blocks, lost_blocks, dropped_blocks, ...)."""
        out: Dict[str, Any] = {}
        for name, node in self._file["entry/acquisition"].items():
            value = node[()]
            out[name] = value.decode() if isinstance(value, bytes) else value.item() if hasattr(value, "item") \
                else value
        return out

    def reduction(self, name: str) -> Optional[npt.NDArray[Any]]:
        """A reduction written at close (``"hit_map"``, ``"tot_histogram"``, ...), or None."""
        group = self._file["entry"].get(name)
        if group is None:
            return None
        return np.asarray(group[group.attrs["signal"]])

    def histogram(self, name: str) -> Union[Histogram, EnergySpectrum, None]:
        """A histogram written at close, as the recording had it: a :class:`~vrexsdk.record.Histogram`
        (``"tot_histogram"``, ``"toa_histogram"``, ``"itot_histogram"``, ``"cluster_size_histogram"``,
        ``"cluster_energy_histogram"``) or a :class:`~vrexsdk.calibration.EnergySpectrum` (``"energy_spectrum"``,
        ``"cluster_energy_spectrum"``); None when the file has none of that name."""
        if name not in _HISTOGRAM_AXES:
            raise KeyError(f"unknown histogram {name!r}; known: {', '.join(_HISTOGRAM_AXES)}")
        group = self._file["entry"].get(name)
        if group is None:
            return None
        counts = np.asarray(group["counts"], np.uint64)
        if "uncalibrated" in group.attrs:
            return EnergySpectrum(counts, float(group.attrs["low"]), float(group.attrs["high"]),
                                  *(int(group.attrs[k]) for k in _SPECTRUM_ATTRS[2:]))
        return Histogram(counts, *(int(group.attrs[k]) for k in _HISTOGRAM_ATTRS))

    @property
    def cluster_count(self) -> Optional[int]:
        """The clusters the recording counted on the SDK's thread (every block delivered: also those a full queue
        kept from the file, whose clusters :meth:`clusters` lacks), or None without clusters or before close."""
        group = self._file["entry"].get("cluster_size_histogram")
        return None if group is None else int(group.attrs["clusters"])

    def blocks(self, group: str = "events") -> Tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
        """The block numbers of `group` and where each block's entries start."""
        place, _ = _PLACES[group]
        g = self._file[f"entry/{place}"]
        index = np.asarray(g[_index_name(group)], np.uint64)
        return np.asarray(g["block"], np.uint64)[: len(index)], index

    def chunks(self, group: str = "events", columns: Optional[Sequence[str]] = None,
               size: Optional[int] = None) -> Iterator[Dict[str, npt.NDArray[Any]]]:
        """The datasets of `group` (all, or `columns` by dataset name) in slices of `size` entries (the HDF5 chunk
        length by default), as dicts of NumPy arrays, in order."""
        if group not in self.groups:
            raise KeyError(f"this file has no {group!r} data; it has {', '.join(self.groups) or 'none'}")
        place, _ = _PLACES[group]
        g = self._file[f"entry/{place}"]
        names = [_dataset_of(gr, c)[0] for (gr, c) in _DATASETS if gr == group and _dataset_of(gr, c)[0] in g]
        if columns is not None:
            unknown = [c for c in columns if c not in names]
            if unknown:
                raise KeyError(f"{group} has no {', '.join(unknown)}; it has {', '.join(names)}")
            names = list(columns)
        total = min(len(g[n]) for n in names)
        step = size or (g[names[0]].chunks or (65536,))[0]
        if isinstance(step, bool) or not isinstance(step, int) or step <= 0:
            raise ValueError(f"size must be a positive integer, not {size!r}")
        for at in range(0, total, step):
            yield {n: np.asarray(g[n][at:at + step]) for n in names}

    def clusters(self) -> npt.NDArray[np.void]:
        """Every cluster in the file, as an array of :data:`vrexsdk.clusters.CLUSTER_DTYPE` (mind the memory:
        ``chunks("clusters")`` reads piece by piece; the keV sums are in :meth:`cluster_energies`)."""
        from vrexsdk import clusters

        if "clusters" not in self.groups:
            raise KeyError("this file has no clusters: record them with clusters=True (acquire --clusters)")
        g = self._file["entry/clusters"]
        names = clusters.CLUSTER_DTYPE.names or ()
        out = np.zeros(min(len(g[n]) for n in names), clusters.CLUSTER_DTYPE)
        for name in names:
            out[name] = g[name][:len(out)]
        return out

    def cluster_energies(self) -> Optional[npt.NDArray[np.float64]]:
        """Each cluster's energy in keV (the sum of its hits' calibrated energies; NaN when a hit has none), or
        None when the recording had no calibration."""
        node = self._file["entry"].get("clusters/energy")
        return None if node is None else np.asarray(node)

    def cluster_labels(self) -> Optional[npt.NDArray[np.int64]]:
        """The cluster of every hit (its index in :meth:`clusters`; -1 outside the matrix), in the order of the
        events, or None when the recording kept no labels. A file whose writer was killed has labels for its
        first hits only."""
        node = self._file[f"entry/{_PLACES['events'][0]}"].get("cluster_id") if self._has("events") else None
        return None if node is None else np.asarray(node)

    def read(self, group: str = "events", columns: Optional[Sequence[str]] = None) -> Dict[str, npt.NDArray[Any]]:
        """Every entry of `group` at once (mind the memory: :meth:`chunks` reads piece by piece)."""
        parts = list(self.chunks(group, columns))
        if not parts:
            place, _ = _PLACES[group]
            g = self._file[f"entry/{place}"]
            names = columns or [_dataset_of(gr, c)[0] for (gr, c) in _DATASETS if gr == group
                                and _dataset_of(gr, c)[0] in g]
            return {n: np.asarray(g[n][:0]) for n in names}
        return {n: np.concatenate([p[n] for p in parts]) for n in parts[0]}


def open_events(path: PathLike) -> EventFile:
    """Opens an event file for reading (a context manager)."""
    return EventFile(path)
