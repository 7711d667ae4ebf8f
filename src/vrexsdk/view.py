"""Watch an acquisition live in a browser: a small web server on this machine that pushes snapshots to a page.

``vrexsdk view`` (or :func:`serve` from Python) serves a page at ``http://127.0.0.1:8321/`` showing, while an
acquisition runs, the hit map or summed frame (linear or log colour scale, colour bar, pixel axes, the value under
the cursor), the ToT spectrum, the ToA histogram, hits/s, blocks/s, dropped blocks, the temperatures and the bias
(and with ``clusters``, clusters/s, the clusters counted and their sizes), with buttons to start and stop an
acquisition (mode, duration), save what was accumulated and reset it. Several tabs may watch one acquisition.
Detector PCs are often headless: open the page through an SSH tunnel (``ssh -L 8321:127.0.0.1:8321 host``) rather
than listening beyond loopback.

The server needs aiohttp (``pip install "vrexsdk[view]"``). Updates go out over one WebSocket per page at a
bounded rate (``rate`` per second), as one binary message holding every panel; a page that has not taken the
previous update yet skips the next, so a slow or stalled browser never holds back the others or the acquisition.

Use it from Python without blocking with :class:`Viewer`::

    with Viewer(device, port=0) as viewer:   # port 0: any free port
        print(viewer.url)
        ...
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import dataclasses
import datetime
import importlib.resources
import json
import logging
import math
import os
import struct
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Protocol, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from vrexsdk.errors import VrexSdkException, VrexSdkInvalidOperationError
from vrexsdk import stages
from vrexsdk._optional import optional
from vrexsdk.calibration import Calibration, CalibrationStage
from vrexsdk.record import (BINNED_MODES, Histogram, Recording, _binning_params, _cluster_fields, _cluster_stage,
                            _kind_of_mode, device_metadata)
from vrexsdk.vrex import Device

__all__ = ["DEFAULT_PORT", "NativeSource", "Series", "Snapshot", "SnapshotSource", "ViewError", "Viewer",
           "encode_update", "serve"]

_log = logging.getLogger("vrexsdk")

DEFAULT_PORT = 8321
_VIEW_HINT = 'the live view needs aiohttp: pip install "vrexsdk[view]"'
_DEFAULT_BINNING = (16, 16, 1000)
_MAX_CLIENTS = 32  # pages watching at once; more are refused rather than slowing every page down
_MAX_MESSAGE = 64 * 1024  # a control request is a few hundred bytes
_STATUS_INTERVAL = 0.5  # seconds between temperature readings: a device query, not free on real hardware
_RATE_WINDOW = 1.0  # seconds the hits/s and blocks/s figures average over


class ViewError(ValueError):
    """A request the viewer refused (unknown mode, a second start, a closed device, a malformed request).

    The acquisition is left as it was; the message is what the page shows.
    """


# ---- what the panels show --------------------------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Series:
    """A histogram as a panel shows it: bin ``i`` covers ``origin + i * bin_width`` onwards, in `unit`."""

    label: str
    counts: npt.NDArray[Any]
    origin: float = 0.0
    bin_width: float = 1.0
    underflow: int = 0
    overflow: int = 0
    unit: str = ""


@dataclasses.dataclass(frozen=True)
class Snapshot:
    """One consistent reading of the accumulation: every panel of the page comes from the same instant."""

    kind: str = ""
    #: The hit map, summed frame or binned sums, indexed ``[y, x]``; None before any block (or for raw data).
    image: Optional[npt.NDArray[Any]] = None
    #: ToT per hit (Timepix3 ToA/ToT modes), energy in keV with a calibration, or integrated ToT (iToT modes).
    spectrum: Optional[Series] = None
    #: Time of arrival, in SDK clock ticks.
    toa: Optional[Series] = None
    blocks: int = 0
    #: Hits, frames, packets or bytes accumulated, as :attr:`unit` says.
    events: int = 0
    unit: str = "hits"
    #: Blocks the accumulation could not take and counted as lost.
    dropped: int = 0
    #: With clusters (ToA/ToT hits only): the clusters counted, and their sizes (bin i: clusters of i hits); None
    #: without.
    clusters: Optional[int] = None
    cluster_sizes: Optional[Series] = None


class SnapshotSource(Protocol):
    """Where the viewer's snapshots come from: it accumulates one channel's blocks while the acquisition runs.

    :meth:`snapshot` is called from the server's thread while blocks keep arriving on the SDK's; it must return a
    consistent copy without stopping the accumulation.
    """

    def attach(self, device: Device, channel: str, mode: str,
               binning: Optional[Tuple[int, int, int]] = None) -> None:
        """Starts accumulating `channel`'s blocks of `mode` (already selected, with `binning`) from empty; called
        before ``begin``."""

    def detach(self) -> None:
        """Ignores any later block; what was accumulated stays readable."""

    def reset(self) -> None:
        """Empties the accumulation; blocks keep coming."""

    def snapshot(self) -> Snapshot:
        """The accumulation now."""

    def recording(self, **fields: Any) -> Recording:
        """The accumulation now as a :class:`~vrexsdk.record.Recording` (to save it)."""


def _series(label: str, unit: str, values: Optional[Dict[str, Any]]) -> Optional[Series]:
    if values is None:
        return None
    if "low" in values:  # an energy spectrum: float edges in keV
        width = (float(values["high"]) - float(values["low"])) / max(1, len(values["counts"]))
        return Series(label, values["counts"], float(values["low"]), width, int(values["underflow"]),
                      int(values["overflow"]), unit)
    return Series(label, values["counts"], int(values["origin"]), int(values["bin_width"]), int(values["underflow"]),
                  int(values["overflow"]), unit)


def _histogram(values: Optional[Dict[str, Any]]) -> Optional[Histogram]:
    if values is None:
        return None
    return Histogram(values["counts"], int(values["origin"]), int(values["bin_width"]), int(values["underflow"]),
                     int(values["overflow"]))


class NativeSource:
    """Accumulates in native stages (:mod:`vrexsdk.stages`) on the SDK's thread, without the GIL.

    A snapshot waits at most for the block in progress; the acquisition never waits for the page.
    """

    def __init__(self, calibration: Optional[Calibration] = None, energy_bins: int = 1000,
                 energy_range: Tuple[float, float] = (0.0, 100.0),
                 clusters: Union[bool, stages.Clusters] = False) -> None:
        # Made once, so bad settings are refused here rather than at the first start.
        self._energy = None if calibration is None else CalibrationStage(calibration, energy_bins, energy_range)
        #: The clusters stage beside the others for ToA/ToT hits (True: the clusterer's defaults); None without.
        self._clusters = _cluster_stage(clusters, raw=False)
        self._pipeline: Optional[stages.Pipeline] = None
        self._make: Optional[Callable[[], stages.Pipeline]] = None
        self._mode = ""
        self._binning: Optional[Tuple[int, int, int]] = None
        self._lock = threading.Lock()

    def _stages(self, kind: str) -> List[stages.Stage]:
        if kind == "hits":
            energy: List[stages.Stage] = [] if self._energy is None else [self._energy]
            clusters: List[stages.Stage] = [] if self._clusters is None else [self._clusters]
            return energy + [stages.HitMap(), stages.TotHistogram(), stages.ToaHistogram()] + clusters
        if kind == "itot-events":
            return [stages.HitMap(), stages.ItotHistogram()]
        if kind == "frames":
            return [stages.FrameSum()]
        if kind == "binned":
            return [stages.BinnedSums()]
        return []  # raw data: the pipeline's totals count the bytes

    def attach(self, device: Device, channel: str, mode: str,
               binning: Optional[Tuple[int, int, int]] = None) -> None:
        kind = _kind_of_mode(mode)
        chosen = self._stages(kind)

        def make() -> stages.Pipeline:
            return stages.Pipeline(device, chosen, channel=channel, raw=kind == "raw")

        with self._lock:
            self._mode, self._binning, self._make = mode, binning, make
            self._pipeline = make()

    def detach(self) -> None:
        with self._lock:
            if self._pipeline is not None:
                if self._clusters is not None:  # the acquisition is over: its clusters still open are complete
                    self._pipeline.flush()
                self._pipeline.detach()

    def reset(self) -> None:
        # A fresh pipeline replaces the registration while blocks keep coming: the SDK switches between two
        # blocks, so no block is counted twice or half.
        with self._lock:
            if self._make is None or self._pipeline is None:
                return
            old, self._pipeline = self._pipeline, self._make()
            old.detach()

    def _snap(self) -> Optional[stages.Snapshot]:
        with self._lock:
            pipeline = self._pipeline
        return None if pipeline is None else pipeline.snapshot()

    def _image(self, snap: stages.Snapshot) -> Optional[npt.NDArray[Any]]:
        values = snap.stages
        if "hit_map" in values:
            return values["hit_map"]["counts"]  # type: ignore[no-any-return]
        if "frame_sum" in values:
            return values["frame_sum"]["sum"] if values["frame_sum"]["frames"] else None  # type: ignore[no-any-return]
        sums = values.get("binned_sums", {})
        data = sums.get("hit_sums")
        if data is None:
            data = sums.get("itot_sums")
        if data is None or len(data) == 0:
            return None
        if self._binning is not None and self._binning[0] * self._binning[1] == len(data):
            return data.reshape(self._binning[1], self._binning[0])  # type: ignore[no-any-return]
        return data.reshape(1, -1)  # type: ignore[no-any-return]

    def _spectrum(self, snap: stages.Snapshot, itot: bool) -> Optional[Series]:
        if itot:
            return _series("iToT", "", snap.stages.get("itot_histogram"))
        if self._energy is not None and self._energy.label in snap.stages:
            return _series("Energy", "keV", snap.stages[self._energy.label])
        return _series("ToT", "", snap.stages.get("tot_histogram"))

    def snapshot(self) -> Snapshot:
        snap = self._snap()
        if snap is None:
            return Snapshot()
        kind = _kind_of_mode(snap.mode or self._mode)
        unit, events = {"frames": ("frames", snap.frames), "raw": ("bytes", snap.bytes)}.get(
            kind, ("packets", snap.packets) if snap.packets else ("hits", snap.hits))
        itot = kind == "itot-events"
        found = None if self._clusters is None else snap.stages.get(self._clusters.label)
        sizes = None if found is None else Series("Cluster size", found["size_counts"],
                                                  overflow=int(found["size_overflow"]), unit="hits")
        return Snapshot(kind=kind, image=self._image(snap),
                        spectrum=self._spectrum(snap, itot), toa=_series("ToA", "clock ticks",
                                                                        snap.stages.get("toa_histogram")),
                        blocks=snap.blocks, events=events, unit=unit, dropped=snap.lost_blocks,
                        clusters=None if found is None else int(found["clusters"]), cluster_sizes=sizes)

    def recording(self, **fields: Any) -> Recording:
        snap = self._snap()
        if snap is None:
            return Recording(**fields)
        values = snap.stages
        hit_map = values.get("hit_map", {})
        frame_sum = values.get("frame_sum", {})
        sums = values.get("binned_sums", {})
        rec = Recording(
            mode=self._mode, kind=_kind_of_mode(self._mode), blocks=snap.blocks, hits=snap.hits, frames=snap.frames,
            packets=snap.packets, byte_count=snap.bytes, hit_map=hit_map.get("counts"), itot_map=hit_map.get("itot"),
            summed_frame=frame_sum.get("sum") if frame_sum.get("frames") else None,
            hit_sums=sums.get("hit_sums"), itot_sums=sums.get("itot_sums"),
            tot_histogram=_histogram(values.get("tot_histogram")),
            toa_histogram=_histogram(values.get("toa_histogram")),
            itot_histogram=_histogram(values.get("itot_histogram")), tdc_counts=tuple(snap.tdc),
            energy_spectrum=None if self._energy is None or self._energy.label not in values
            else CalibrationStage.spectrum(values[self._energy.label]),
            outside=int(hit_map.get("outside", 0)), ignored=snap.ignored, **fields)
        if self._clusters is not None and self._clusters.label in values:
            _cluster_fields(rec, values[self._clusters.label])
        return rec


# ---- the acquisition the page controls -------------------------------------------------------------------------------


class _Session:
    """Starts and stops one acquisition for the pages; every call leaves it either idle or running, never between.

    Calls come from the server's control thread (one at a time); the thread waiting in ``end()`` changes the state
    back to idle when the run is over, and ``on_change`` tells the server.
    """

    def __init__(self, device: Device, source: SnapshotSource, channel: Optional[str], save_dir: str,
                 on_change: Callable[[], None]) -> None:
        self.device = device
        self.source = source
        self.requested_channel = channel
        self.save_dir = save_dir
        self.on_change = on_change
        self.lock = threading.Lock()
        self.running = False
        self.mode: Optional[str] = None
        self.channel: Optional[str] = None
        self.seconds: Optional[float] = None
        self.started = 0.0
        self.ended = ""  # why the last run ended: "stopped", "finished", "time is up" or an error
        self.binning: Optional[Tuple[int, int, int]] = None
        self.metadata: Dict[str, Any] = {}
        self._waiter: Optional[threading.Thread] = None
        self._timer: Optional[threading.Timer] = None
        self._aborted_by = ""

    # -- reading --

    def _opened(self) -> bool:
        try:
            return bool(self.device.isOpened())
        except (VrexSdkException, AttributeError):
            return False

    def modes(self) -> List[str]:
        if not self._opened():
            return []
        try:
            return [m for m in self.device.chip.getModeIds()]
        except VrexSdkException:
            return []

    def _channel(self) -> str:
        channels = self.device.acq.getChannelIds()
        if not channels:
            raise ViewError("the device has no acquisition channel")
        if self.requested_channel is None:
            return str(channels[0])
        if self.requested_channel not in channels:
            raise ViewError(f"unknown channel {self.requested_channel!r}; the device has {', '.join(channels)}")
        return self.requested_channel

    def state(self) -> Dict[str, Any]:
        with self.lock:
            return {"type": "state", "running": self.running, "mode": self.mode, "channel": self.channel,
                    "seconds": self.seconds, "ended": self.ended, "open": self._opened(), "modes": self.modes(),
                    "elapsed": time.monotonic() - self.started if self.running else None}

    def status(self) -> Dict[str, Any]:
        """Temperatures and bias: read from the device, so at a slower pace than the panels."""
        temperatures: List[Dict[str, Any]] = []
        supplies: List[Dict[str, Any]] = []
        if not self._opened():
            return {"temperatures": temperatures, "bias": supplies}
        # A build for an SDK without the bias or monitor functions raises NotImplementedError: nothing to show.
        missing = (VrexSdkException, NotImplementedError)
        monitor = self.device.monitor
        try:
            for name in monitor.getMonitorIds():
                if "temperature" in name and monitor.isAvailable(name):
                    temperatures.append({"id": name, "actual": monitor.getValue(name), "unit": monitor.getUnit(name)})
        except missing:
            pass
        bias = self.device.bias
        try:
            for supply in bias.getBiasIds():
                supplies.append({"id": supply, "voltage": bias.getVoltage(supply), "current": bias.getCurrent(supply),
                                 "on": bias.isOn(supply), "tripped": bias.isTripped(supply)})
        except missing:
            pass
        cooling = self.device.cooling
        try:
            units = cooling.getIds()
        except VrexSdkException:
            units = []
        for unit in units:
            entry: Dict[str, Any] = {"id": unit}
            try:
                entry.update(actual=cooling.getActualTemperature(unit),
                             desired=cooling.getDesiredTemperature(unit), unit=cooling.getValueUnit(unit))
            except VrexSdkException as e:
                entry["error"] = str(e)
            temperatures.append(entry)
        return {"temperatures": temperatures, "bias": supplies}

    # -- control --

    def start(self, mode: Any, seconds: Any = None, binning: Any = None) -> None:
        if not isinstance(mode, str) or not mode:
            raise ViewError(f"mode must be a mode name, not {mode!r}")
        if seconds is not None:
            if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not 0 < seconds < math.inf:
                raise ViewError(f"duration must be a positive number of seconds (or none), not {seconds!r}")
            seconds = float(seconds)
        with self.lock:
            if not self._opened():
                raise ViewError("the device is not open")
            modes = self.device.chip.getModeIds()
            if mode not in modes:
                raise ViewError(f"unknown mode {mode!r}; the device offers {', '.join(modes)}")
            params = None
            if mode in BINNED_MODES:
                try:
                    params = _binning_params(_DEFAULT_BINNING if binning is None else binning)
                except ValueError as e:
                    raise ViewError(str(e)) from None
            elif binning is not None:
                raise ViewError(f"mode {mode!r} takes no binning")
            channel = self._channel()
            if self.running:  # a well-formed request, at the wrong time
                raise ViewError(f"an acquisition is already running (mode {self.mode} on {self.channel}): "
                                f"stop it first")
            binned = None if params is None else (params.width, params.height, params.dwellTime)
            try:
                self.device.chip.selectMode(mode, params)
                self.source.attach(self.device, channel, mode, binned)
                self.metadata = device_metadata(self.device)
                self.device.acq.begin(channel)
            except (VrexSdkException, ValueError, TypeError) as e:  # the SDK, or the stages refusing the mode
                self.source.detach()
                raise ViewError(f"the acquisition did not start: {e}") from None
            self.running, self.mode, self.channel, self.seconds = True, mode, channel, seconds
            self.binning = binned
            self.started, self.ended, self._aborted_by = time.monotonic(), "", ""
            self.metadata.update(mode=mode, channel=channel, binning=self.binning, requested_seconds=seconds,
                                 start_time=datetime.datetime.now(datetime.timezone.utc).isoformat())
            self._waiter = threading.Thread(target=self._wait, args=(channel,), name="vrexsdk-view-end", daemon=True)
            self._waiter.start()
            if seconds is not None:
                self._timer = threading.Timer(seconds, self._abort, args=("time is up",))
                self._timer.daemon = True
                self._timer.start()
        self.on_change()

    def _abort(self, why: str) -> None:
        with self.lock:
            if not self.running or self.channel is None:
                return
            self._aborted_by = why
            channel = self.channel
        try:
            self.device.acq.abort(channel)
        except VrexSdkInvalidOperationError:
            pass  # it ended by itself meanwhile
        except VrexSdkException as e:
            _log.warning("aborting the acquisition on channel %s failed: %s", channel, e)

    def _wait(self, channel: str) -> None:
        ended = "finished"
        try:
            self.device.acq.end(channel)
        except VrexSdkInvalidOperationError:
            pass  # after an abort (ours, or a closed device) there is nothing left to wait for
        except VrexSdkException as e:
            ended = f"failed: {e}"
        except BaseException as e:  # nothing else may leave the state "running" for good
            ended = f"failed: {type(e).__name__}: {e}"
        finally:
            with self.lock:
                timer, self._timer = self._timer, None
                if timer is not None:
                    timer.cancel()
                self.source.detach()
                self.running = False
                self.metadata["duration"] = time.monotonic() - self.started
                self.ended = self._aborted_by or ended
            self.on_change()

    def stop(self, wait: float = 10.0) -> None:
        with self.lock:
            if not self.running:
                raise ViewError("no acquisition is running")
            waiter = self._waiter
        self._abort("stopped")
        if waiter is not None:
            waiter.join(wait)

    def reset(self) -> None:
        self.source.reset()

    def save(self, fmt: Any = None) -> str:
        fmt = "npz" if fmt is None else fmt
        if fmt not in ("npz", "h5"):
            raise ViewError(f"format must be 'npz' or 'h5', not {fmt!r}")
        with self.lock:
            if self.mode is None:
                raise ViewError("nothing to save: no acquisition was started")
            metadata = dict(self.metadata)
            duration = time.monotonic() - self.started if self.running else metadata.get("duration", 0.0)
            fields = dict(channel=self.channel or "", duration=duration, metadata=metadata)
        rec = self.source.recording(**fields)
        rec.metadata["blocks"] = rec.blocks
        # The name is the server's own choice: a page never names a path on this machine.
        stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S-%f")
        path = os.path.join(self.save_dir, f"view-{stamp}.{fmt}")
        try:
            rec.save(path)
        except (OSError, ModuleNotFoundError) as e:
            raise ViewError(f"saving {path} failed: {e}") from None
        return path

    def shutdown(self) -> None:
        """Leaves nothing running that the pages started."""
        with self.lock:
            running = self.running
        if running:
            self.stop()


# ---- the wire format -------------------------------------------------------------------------------------------------


_WIRE_TYPES = (("u1", 0xFF), ("u2", 0xFFFF), ("u4", 0xFFFFFFFF))


def _counts(array: npt.NDArray[Any]) -> Tuple[bytes, str]:
    # The narrowest type holding the largest count: a page's image is mostly small counts, and every byte is
    # copied by the server and read by each page 25 times a second. Counts beyond 4e9 saturate.
    top = int(array.max()) if array.size else 0
    name = next((n for n, limit in _WIRE_TYPES if top <= limit), "u4")
    if top > 0xFFFFFFFF:
        array = np.minimum(array, 0xFFFFFFFF)
    data = array.astype("<" + name, copy=False).tobytes()
    return data + b"\0" * (-len(data) % 4), name  # the next array starts at a multiple of 4 again


def encode_update(snapshot: Snapshot, fields: Dict[str, Any]) -> bytes:
    """One update message: a 4-byte little-endian header length, a JSON header, then the arrays of counts.

    Each array is unsigned, of the narrowest type that holds its largest count (``"u1"``, ``"u2"`` or ``"u4"``,
    little-endian), and starts at a multiple of 4 bytes (a JavaScript typed array over the message needs its
    alignment); each array's header entry gives its type, offset from the message start and length in elements.
    """
    parts: List[Tuple[str, bytes, Dict[str, Any]]] = []

    def add(name: str, array: npt.NDArray[Any], **extra: Any) -> None:
        data, wire = _counts(array)
        parts.append((name, data, {"type": wire, "length": int(array.size), **extra}))

    if snapshot.image is not None:
        h, w = snapshot.image.shape
        add("image", snapshot.image, width=int(w), height=int(h))
    for name, series in (("spectrum", snapshot.spectrum), ("toa", snapshot.toa),
                         ("clusterSizes", snapshot.cluster_sizes)):
        if series is not None:
            add(name, series.counts, origin=series.origin, binWidth=series.bin_width, underflow=series.underflow,
                overflow=series.overflow, label=series.label, unit=series.unit)
    header: Dict[str, Any] = {"type": "update", "kind": snapshot.kind, "blocks": snapshot.blocks,
                              "events": snapshot.events, "unit": snapshot.unit, "dropped": snapshot.dropped,
                              "clusters": snapshot.clusters,
                              **fields, "arrays": {}}

    def encoded(offset: int) -> bytes:
        position = offset
        for name, data, extra in parts:
            header["arrays"][name] = {"offset": position, **extra}
            position += len(data)
        return json.dumps(header, separators=(",", ":")).encode()

    # The offsets depend on the header's length, which depends on the offsets: two passes settle it, padding
    # the header to a fixed multiple of 4 so the second pass's (possibly longer) numbers still fit.
    text = encoded(0)
    size = 4 + len(text) + 64
    size += -size % 4
    text = encoded(size)
    text += b" " * (size - 4 - len(text))
    return b"".join([struct.pack("<I", len(text)), text] + [data for _, data, _ in parts])


class _Rates:
    """Counts per second (hits, blocks, clusters, ...) over the last second, from successive snapshots."""

    def __init__(self) -> None:
        self.history: List[Tuple[float, Tuple[int, ...]]] = []

    def __call__(self, now: float, *counts: int) -> Tuple[float, ...]:
        if self.history and any(c < last for c, last in zip(counts, self.history[-1][1])):
            self.history.clear()  # the accumulation was reset
        self.history.append((now, counts))
        while len(self.history) > 2 and now - self.history[1][0] >= _RATE_WINDOW:
            self.history.pop(0)
        t0, first = self.history[0]
        span = now - t0
        if span <= 0:
            return (0.0,) * len(counts)
        return tuple((c - f) / span for c, f in zip(counts, first))


# ---- the server ------------------------------------------------------------------------------------------------------


def _import_aiohttp() -> Any:
    return optional("aiohttp.web", _VIEW_HINT)


def _page(name: str) -> bytes:
    return (importlib.resources.files("vrexsdk") / "static" / name).read_bytes()


class Viewer:
    """The live-view server for one open `device`, running on a thread of its own until :meth:`close`.

    Args:
        device: an open :class:`~vrexsdk.vrex.Device` (the page can start acquisitions only while it is open).
        host: the address to listen on; loopback by default. Anything else lets other machines control the device.
        port: the TCP port; 0 picks a free one (see :attr:`url`).
        rate: updates per second pushed to each page, at most.
        channel: the acquisition channel; the device's first by default.
        save_dir: where the page's Save button writes its files (names chosen by the server).
        source: where snapshots come from (a :class:`SnapshotSource`); by default native stages accumulate every
            block on the SDK's thread.
        calibration: a :class:`~vrexsdk.calibration.Calibration` of the chip: the spectrum shows ToA/ToT hits'
            energies in keV (0 to 100 keV in 1000 bins; give a :class:`NativeSource` for others).
        clusters: True (the clusterer's defaults) or a :class:`~vrexsdk.stages.Clusters` stage: ToA/ToT hits are
            also clustered on the SDK's thread, and the page shows clusters/s, the clusters counted and their
            sizes.
    """

    def __init__(self, device: Device, *, host: str = "127.0.0.1", port: int = DEFAULT_PORT, rate: float = 25.0,
                 channel: Optional[str] = None, save_dir: str = ".", source: Optional[SnapshotSource] = None,
                 calibration: Optional[Calibration] = None, clusters: Union[bool, stages.Clusters] = False) -> None:
        self._web = _import_aiohttp()
        if not isinstance(device, Device):
            raise TypeError(f"device must be a vrexsdk.vrex.Device, not {type(device).__name__}")
        if not isinstance(host, str) or not host:
            raise ValueError(f"host must be an address, not {host!r}")
        if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
            raise ValueError(f"port must be an integer from 0 to 65535, not {port!r}")
        if isinstance(rate, bool) or not isinstance(rate, (int, float)) or not 0 < rate <= 100:
            raise ValueError(f"rate must be a number of updates per second above 0 and at most 100, not {rate!r}")
        if not os.path.isdir(save_dir):
            raise ValueError(f"save_dir {save_dir!r} is not a directory")
        self.host, self.port, self.rate = host, port, float(rate)
        if source is not None and calibration is not None:
            raise ValueError("give a calibration to the source, not beside it")
        if source is not None and clusters is not False:
            raise ValueError("give clusters to the source, not beside it")
        self.source: SnapshotSource = NativeSource(calibration, clusters=clusters) if source is None else source
        self._session = _Session(device, self.source, channel, save_dir, self._state_changed)
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._control = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="vrexsdk-view-control")
        self._clients: Dict[Any, Optional[asyncio.Future[None]]] = {}
        self._thread: Optional[threading.Thread] = None
        self._ready = threading.Event()
        self._failure: Optional[BaseException] = None
        self._stopping: Optional[asyncio.Event] = None
        self._status: Dict[str, Any] = {"temperatures": [], "bias": []}
        self.updates_sent = 0  # messages handed to pages, for the benchmark and tests

    # -- lifetime --

    @property
    def url(self) -> str:
        """The page's address (with the port actually bound)."""
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}/"

    def start(self) -> "Viewer":
        """Starts serving; returns once the port is bound (raises OSError if it cannot be)."""
        if self._thread is not None:
            raise RuntimeError("the viewer is already serving")
        self._thread = threading.Thread(target=self._serve, name="vrexsdk-view", daemon=True)
        self._thread.start()
        self._ready.wait()
        if self._failure is not None:
            self._thread.join()
            raise self._failure
        return self

    def close(self) -> None:
        """Stops an acquisition the pages started, disconnects the pages and stops serving."""
        if self._thread is None:
            return
        loop, stopping = self._loop, self._stopping
        if loop is not None and stopping is not None and not loop.is_closed():
            loop.call_soon_threadsafe(stopping.set)
        self._thread.join()
        self._thread = None
        try:
            self._session.shutdown()
        except ViewError:
            pass
        self._control.shutdown(wait=True)

    def __enter__(self) -> "Viewer":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _serve(self) -> None:
        try:
            asyncio.run(self._main())
        except BaseException as e:  # reported to start() if it happened before the port was bound
            if not self._ready.is_set():
                self._failure = e
            else:
                _log.exception("the live view server failed")
        finally:
            self._ready.set()

    async def _main(self) -> None:
        web = self._web
        self._loop = asyncio.get_running_loop()
        self._stopping = asyncio.Event()
        app = web.Application(client_max_size=_MAX_MESSAGE)
        app.router.add_get("/", self._index)
        app.router.add_get("/view.js", self._script)
        app.router.add_get("/ws", self._socket)
        runner = web.AppRunner(app, handle_signals=False, access_log=None)
        await runner.setup()
        try:
            site = web.TCPSite(runner, self.host, self.port)
            await site.start()
            if runner.addresses:
                self.port = int(runner.addresses[0][1])
            self._ready.set()
            tasks = [asyncio.ensure_future(self._push()), asyncio.ensure_future(self._poll_status())]
            await self._stopping.wait()
            for task in tasks:
                task.cancel()
            for ws in list(self._clients):
                await ws.close()
        finally:
            await runner.cleanup()

    # -- pages --

    async def _index(self, request: Any) -> Any:
        return self._web.Response(body=_page("view.html"), content_type="text/html", charset="utf-8",
                                  headers={"Cache-Control": "no-store"})

    async def _script(self, request: Any) -> Any:
        return self._web.Response(body=_page("view.js"), content_type="text/javascript", charset="utf-8",
                                  headers={"Cache-Control": "no-store"})

    async def _socket(self, request: Any) -> Any:
        web = self._web
        # A page from another site open in the same browser could reach this port too; only our own page may
        # control the device.
        origin = request.headers.get("Origin")
        if origin is not None and origin.split("://", 1)[-1] != request.host:
            raise web.HTTPForbidden(text=f"connections from {origin} are not accepted")
        if len(self._clients) >= _MAX_CLIENTS:
            raise web.HTTPServiceUnavailable(text=f"at most {_MAX_CLIENTS} pages may watch at once")
        ws = web.WebSocketResponse(heartbeat=10.0, max_msg_size=_MAX_MESSAGE)
        await ws.prepare(request)
        self._clients[ws] = None
        try:
            await ws.send_str(json.dumps(await self._run(self._session.state)))
            async for message in ws:
                if message.type == web.WSMsgType.TEXT:
                    await self._request(ws, message.data)
                elif message.type == web.WSMsgType.BINARY:
                    await self._error(ws, "requests are JSON text, not binary")
                elif message.type == web.WSMsgType.ERROR:
                    break
        finally:
            self._clients.pop(ws, None)
        return ws

    async def _error(self, ws: Any, message: str, request: Any = None) -> None:
        if not ws.closed:
            await ws.send_str(json.dumps({"type": "error", "message": message, "request": request}))

    async def _request(self, ws: Any, text: str) -> None:
        try:
            request = json.loads(text)
        except ValueError:
            await self._error(ws, f"malformed request (not JSON): {text[:80]!r}")
            return
        if not isinstance(request, dict) or not isinstance(request.get("cmd"), str):
            await self._error(ws, 'malformed request: expected an object with a "cmd" name')
            return
        cmd = request["cmd"]
        known: Dict[str, Tuple[Callable[..., Any], Sequence[str]]] = {
            "start": (self._session.start, ("mode", "seconds", "binning")),
            "stop": (self._session.stop, ()),
            "reset": (self._session.reset, ()),
            "save": (self._session.save, ("format",)),
        }
        if cmd not in known:
            await self._error(ws, f"unknown request {cmd!r}; known: {', '.join(known)}", cmd)
            return
        call, names = known[cmd]
        unexpected = sorted(set(request) - {"cmd", *names})
        if unexpected:
            await self._error(ws, f"{cmd}: unexpected field(s) {', '.join(unexpected)}", cmd)
            return
        try:
            result = await self._run(call, *[request.get(name) for name in names])
        except ViewError as e:
            await self._error(ws, str(e), cmd)
            return
        except VrexSdkException as e:
            await self._error(ws, f"{cmd} failed: {type(e).__name__}: {e}", cmd)
            return
        except Exception as e:  # a fault of ours: the page hears of it and stays connected; the log keeps it
            _log.exception("live view request %r failed", cmd)
            await self._error(ws, f"{cmd} failed unexpectedly: {type(e).__name__}: {e}", cmd)
            return
        if cmd == "save" and not ws.closed:
            await ws.send_str(json.dumps({"type": "saved", "path": result}))

    async def _run(self, call: Callable[..., Any], *args: Any) -> Any:
        # Device calls block (and take the GIL only between SDK calls): one control thread runs them in order.
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self._control, call, *args)

    def _state_changed(self) -> None:
        loop = self._loop
        if loop is not None and not loop.is_closed():
            try:
                loop.call_soon_threadsafe(lambda: asyncio.ensure_future(self._broadcast_state()))
            except RuntimeError:
                pass  # the loop closed meanwhile

    async def _broadcast_state(self) -> None:
        text = json.dumps(await self._run(self._session.state))
        for ws in list(self._clients):
            if not ws.closed:  # each page on its own, so a stalled one does not hold back the rest
                asyncio.ensure_future(self._send(ws, text))

    # -- updates --

    async def _push(self) -> None:
        rates = _Rates()
        period = 1.0 / self.rate
        loop = asyncio.get_running_loop()
        due = loop.time()
        while True:
            # On a fixed schedule, so a late wake-up (a busy machine) is made up at the next update, not lost.
            due = max(due + period, loop.time() - period)
            if self._clients:
                ready = [ws for ws, pending in self._clients.items()
                         if not ws.closed and (pending is None or pending.done())]
                if not ready:  # every page is still taking the last update: no snapshot until one is free
                    await asyncio.sleep(max(0.0, due - loop.time()))
                    continue
                try:
                    snapshot = self.source.snapshot()
                    hits_rate, block_rate, cluster_rate = rates(time.monotonic(), snapshot.events,
                                                                snapshot.blocks, snapshot.clusters or 0)
                    message = encode_update(snapshot, {"running": self._session.running, "eventsPerSecond": hits_rate,
                                                       "blocksPerSecond": block_rate, "rate": self.rate,
                                                       "clustersPerSecond": cluster_rate, **self._status})
                except Exception:  # the pages keep their last picture; the updates go on at the next tick
                    _log.exception("taking a snapshot for the live view failed")
                    await asyncio.sleep(max(0.0, due - loop.time()))
                    continue
                for ws in ready:  # a page still taking the last update misses this one
                    self._clients[ws] = asyncio.ensure_future(self._send(ws, message))
            await asyncio.sleep(max(0.0, due - loop.time()))

    async def _poll_status(self) -> None:
        # Apart from the updates: the readings wait for the control thread, which a start or stop may hold.
        while True:
            if self._clients:
                try:
                    self._status = await self._run(self._session.status)
                except Exception:
                    _log.exception("reading the device's temperatures and bias failed")
            await asyncio.sleep(_STATUS_INTERVAL)

    async def _send(self, ws: Any, message: Any) -> None:
        try:
            if isinstance(message, str):
                await ws.send_str(message)
            else:
                await ws.send_bytes(message)
                self.updates_sent += 1
        except ConnectionError:
            pass  # the page went away; its handler removes it


def serve(device: Device, host: str = "127.0.0.1", port: int = DEFAULT_PORT, *, rate: float = 25.0,
          channel: Optional[str] = None, save_dir: str = ".", source: Optional[SnapshotSource] = None,
          calibration: Optional[Calibration] = None, clusters: Union[bool, stages.Clusters] = False,
          ready: Optional[Callable[[str], Any]] = None) -> None:
    """Serves the live view of an open `device` until Ctrl-C; see :class:`Viewer` for the arguments.

    `ready` is called with the page's URL once the port is bound (by default it is printed). An acquisition the
    page started is stopped before this returns.
    """
    viewer = Viewer(device, host=host, port=port, rate=rate, channel=channel, save_dir=save_dir, source=source,
                    calibration=calibration, clusters=clusters)
    stop = threading.Event()
    with viewer:
        if host not in ("127.0.0.1", "::1", "localhost"):
            _log.warning("the live view listens on %s: other machines can reach it and control the device", host)
        (ready or (lambda url: print(f"live view at {url} (Ctrl-C to stop)", flush=True)))(viewer.url)
        try:
            while not stop.wait(0.2):  # short waits, so Ctrl-C is handled promptly on the main thread
                pass
        except KeyboardInterrupt:
            pass
