"""Whole acquisitions in one call: :func:`record` runs an acquisition and returns a :class:`Recording`.

The data callables of :mod:`vrexsdk.acquisition` receive arrays that view the SDK's memory during the call only.
:func:`record` reduces every block on the spot, natively on the SDK's thread (:mod:`vrexsdk.stages`: a hit map
and histograms for Timepix3 hits, a summed image for frames, accumulated sums for binned modes, a byte count for
raw data), keeps nothing that points into the SDK's buffers, and with ``events="run.h5"`` also writes every
block to a NeXus event file (:mod:`vrexsdk.events`)::

    from vrexsdk import vrex
    from vrexsdk.record import record

    device = vrex.Device()
    device.open(device.enumerate()[0].connectionString)
    rec = record(device, "0:tpx3-dd-toa-tot", blocks=10)
    rec.hit_map.sum(), rec.tot_histogram.counts.argmax()
    rec.save("run.npz")             # or "run.h5" with h5py installed
    rec.save_png("run.png")         # with Pillow installed
    rec = record(device, "0:tpx3-dd-toa-tot", seconds=5, events="hits.h5")   # every hit, with h5py

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

The event file is then complete and closed too, holding every block delivered until the stop. Blocks that were
delivered but lost (a failed getter, an event writer that fell behind) are counted in
:attr:`Recording.lost_blocks`, in the file and on the progress line, and warned about: never silently.

The module is in three parts: running the acquisition (``_running``), reducing it (``_reducing``, with the
native stages) and the recording with its files (``_recording``); everything is re-exported here.
"""

from __future__ import annotations

import datetime
import functools
import logging
import math
import threading
import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from vrexsdk import __version__, stages
from vrexsdk._files import SaveInterrupted
from vrexsdk._recording import (BINNED_MODES, FRAME_MODES, HIT_MODES, MATRIX_HEIGHT, MATRIX_WIDTH, RAW_MODE,
                                Histogram, PathLike, Recording, RecordingInterrupted, _kind_of_mode, colormap, load,
                                write_png)
from vrexsdk._reducing import fields_from, reduction_stages
from vrexsdk._running import Progress, progress_of, run
from vrexsdk.calibration import Calibration, CalibrationStage, EnergySpectrum
from vrexsdk.chip import BinningParams
from vrexsdk.errors import VrexSdkException
from vrexsdk.vrex import Device

__all__ = [
    "BINNED_MODES",
    "FRAME_MODES",
    "HIT_MODES",
    "MATRIX_HEIGHT",
    "MATRIX_WIDTH",
    "RAW_MODE",
    "Histogram",
    "Progress",
    "Recording",
    "RecordingInterrupted",
    "SaveInterrupted",
    "colormap",
    "describe",
    "device_metadata",
    "load",
    "record",
    "write_png",
]


class LostBlocksWarning(RuntimeWarning):
    """A recording lost blocks that the device delivered (counted in :attr:`Recording.lost_blocks`)."""


# ---- settings at the start -----------------------------------------------------------------------------------------


def _try(getter: Callable[[], Any]) -> Any:
    # A failing getter (a real device may not report everything) leaves its entry None, never stops the run.
    try:
        return getter()
    except (VrexSdkException, ValueError, TypeError, OverflowError):  # refused, or not convertible
        return None


def _polarity_name(chip: Any, index: int) -> str:
    return str(chip.getPolarity(index).name)


def describe(device: Device) -> Dict[str, Any]:
    """The device's identity and settings, as :attr:`Recording.metadata` and the event files record them
    (JSON-compatible; an entry the device does not report is None)."""
    props, chip, revisions, config = device.props, device.chip, device.revisions, device.config
    meta: Dict[str, Any] = {"package_version": __version__}
    from vrexsdk import vrex  # noqa: F811

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
    cooling = getattr(device, "cooling", None)
    if cooling is not None:
        meta["cooling"] = {
            u: {"unit": _try(functools.partial(cooling.getValueUnit, u)),
                "actual": _try(functools.partial(cooling.getActualTemperature, u)),
                "desired": _try(functools.partial(cooling.getDesiredTemperature, u))}
            for u in (_try(cooling.getIds) or [])
        }
    trigger = getattr(device, "trigger", None)
    if trigger is not None:
        meta["trigger_modes"] = _try(trigger.getModeIds)
    from vrexsdk import settings

    # The whole set-up as vrexsdk.settings captures it (the selected trigger mode and shutter among it), so a
    # recording can be repeated with settings.apply.
    try:
        meta["settings"] = settings.capture(device)
    except (VrexSdkException, ValueError, TypeError, OverflowError, IndexError):  # e.g. a 0-wide pixel mask
        meta["settings"] = None
    return meta


#: The former name of :func:`describe`.
device_metadata = describe


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
    events: Optional[PathLike] = None,
    overwrite: bool = False,
    compression: Optional[str] = None,
    chunk_events: int = 131072,
    queue_bytes: int = 256 << 20,
    on_full: str = "drop",
    tick: Optional[float] = None,
    clusters: Union[bool, stages.Clusters] = False,
    cluster_labels: bool = False,
) -> Recording:
    """Acquires on an open `device` and returns what it delivered, reduced.

    Args:
        device: an open :class:`~vrexsdk.vrex.Device`.
        mode: the chip mode to select first (one of ``device.chip.getModeIds()``); None keeps the mode selected
            before.
        blocks: stop after this many blocks (later ones, delivered before the stop took effect, are not counted).
        seconds: stop after this long. With neither, the acquisition runs until it ends by itself (or Ctrl-C).
        channel: the acquisition channel; the device's first by default.
        binning: :class:`~vrexsdk.chip.BinningParams` (or ``(width, height, dwellTime)``) for a binned mode.
        raw: receive the undecoded byte stream (``setRawDataCallback``) in whatever mode; implied by
            ``"0:raw-data"``.
        keep_raw: keep the raw bytes themselves in :attr:`Recording.raw`, not only their count.
        progress: called with a :class:`Progress` about every `progress_interval` seconds and once at the end, from
            a helper thread of this call (never from an SDK thread).
        calibration: a :class:`~vrexsdk.calibration.Calibration` of the chip: every ToA/ToT hit's energy is
            found on the SDK's thread (a native stage, without the GIL) and binned into
            :attr:`Recording.energy_spectrum`, `energy_bins` bins over `energy_range` keV.
        events: write every block (hits, TDC stamps, frames, raw bytes, binned arrays) to this NeXus event file
            as it arrives (needs h5py; see :mod:`vrexsdk.events`); an existing file is refused unless
            `overwrite`.
        compression: the event file's compression: None, ``"gzip"``, or ``"lz4"``/``"zstd"``/``"blosc"``
            (hdf5plugin).
        chunk_events: entries per HDF5 chunk of the event file.
        queue_bytes, on_full: the bound of the queue between the SDK's thread and the event writer, and what a
            full queue does: ``"drop"`` (count the lost blocks) or ``"wait"`` (hold the SDK's thread).
        tick: the SDK's clock tick in seconds, recorded in the event file (:data:`vrexsdk.events.DEFAULT_TICK`).
        clusters: True (the clusterer's defaults) or a :class:`~vrexsdk.stages.Clusters` stage (its window,
            jitter, radius and bins): the ToA/ToT hits are clustered on the SDK's thread into
            :attr:`Recording.cluster_size_histogram`, :attr:`Recording.cluster_energy_histogram` (ToT sum) and,
            with `calibration`, :attr:`Recording.cluster_energy_spectrum` (keV, `energy_bins` over
            `energy_range`); with `events`, the event file holds every cluster too (see :mod:`vrexsdk.events`).
        cluster_labels: with `clusters` and `events`, the event file also gives every hit the index of its cluster.

    The reductions run natively on the SDK's thread (:mod:`vrexsdk.stages`); the calling thread waits in
    ``acq.end``; a helper thread aborts the acquisition when `blocks` or `seconds` are reached. An acquisition that
    ends by itself before then (its length is the device's) is followed by the next at once, so `blocks` and
    `seconds` get all they ask for; ``metadata["acquisitions"]`` counts them. When this returns (or raises) the
    acquisition has ended, later blocks are ignored, and the event file is complete and closed.

    Raises:
        ValueError: a closed device, an unknown mode or channel, binning with a mode that takes none, or a
            count or duration that is not positive.
        FileExistsError, OSError: the event file cannot be created (before the acquisition starts).
        RecordingInterrupted: Ctrl-C (a :class:`KeyboardInterrupt`); its ``recording`` holds the data so far.
        OSError: writing the event file failed (a full disk): the acquisition was stopped, the file holds every
            block written before the failure, and the exception's ``recording`` attribute the reductions.
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
    if on_full not in ("drop", "wait"):
        raise ValueError(f"on_full must be 'drop' or 'wait', not {on_full!r}")
    if calibration is not None and raw:
        raise ValueError("a calibration gives energies to ToA/ToT hits, not to raw data")
    cluster_stage = _cluster_stage(clusters, raw)
    if cluster_labels and (cluster_stage is None or events is None):
        raise ValueError("cluster_labels needs clusters and an event file (events=...)")

    # The selected mode's layout decides the stages: a pipeline without stages learns it as the SDK sees it.
    probe = stages.Pipeline(device, [], channel=channel, raw=raw)
    shape_mode = probe.snapshot().mode
    probe.detach()
    kind = _kind_of_mode(RAW_MODE if raw else (mode or shape_mode))
    if cluster_stage is not None and not _has_toa_tot_hits(shape_mode):
        raise ValueError(f"clusters are made of ToA/ToT hits; mode {mode or shape_mode!r} delivers none")
    chosen = reduction_stages(kind, mode or shape_mode)
    metadata = describe(device)
    metadata.update(mode=mode, channel=channel, raw=raw, binning=None if params is None else list(params),
                    requested_blocks=blocks, requested_seconds=seconds)
    energy: Optional[CalibrationStage] = None
    if calibration is not None:
        energy = CalibrationStage(calibration, energy_bins, energy_range)
        chosen.append(energy)
        metadata.update(calibration=calibration.metadata())
    if cluster_stage is not None:
        if calibration is not None:  # after the calibration stage, whose per-hit energies it sums
            cluster_stage = cluster_stage.with_kev(energy_bins, energy_range)
        chosen.append(cluster_stage)
        metadata.update(clusters={k: cluster_stage.settings[k] for k in _CLUSTER_SETTINGS})

    writer: Any = None
    stopper: List[Callable[[], None]] = []
    raw_chunks: List[bytes] = []
    collector: Optional[threading.Thread] = None
    if events is not None:
        from vrexsdk import events as event_files

        queue = stages.ChunkQueue(queue_bytes, on_full)
        writer = event_files.EventWriter(
            events, shape_mode, queue, metadata=metadata, mask=_mask(device), chunk_events=chunk_events,
            compression=compression, tick=event_files.DEFAULT_TICK if tick is None else tick, overwrite=overwrite,
            on_error=lambda e: [stop() for stop in stopper],
            clusters=None if cluster_stage is None else {k: cluster_stage.settings[k] for k in _CLUSTER_SETTINGS},
            cluster_labels=cluster_labels, calibration=calibration)
        # The sink hands over a few HDF5 chunks at a time: the writer's cost is per append, not per byte.
        chosen.append(stages.Sink(queue, chunk_events=min(4 * chunk_events, 1 << 24), label="events"))
    if keep_raw and raw:
        kept = stages.ChunkQueue(queue_bytes, "wait")
        chosen.append(stages.Sink(kept, label="keep_raw"))

        def collect() -> None:
            for chunk in kept:
                raw_chunks.append(chunk["raw"]["bytes"].tobytes())

        collector = threading.Thread(target=collect, name="vrexsdk-record-raw", daemon=True)
    try:
        pipeline = stages.Pipeline(device, chosen, channel=channel, raw=raw, limit=blocks)
    except BaseException:
        if writer is not None:
            writer.close()
        raise
    if writer is not None:
        writer.start(pipeline)
    if collector is not None:
        collector.start()

    def between() -> None:
        # The next acquisition counts its ToA from 0 again: what spans blocks (open clusters) ends with this one.
        pipeline.flush()
        if writer is not None:
            writer.next_acquisition(pipeline.snapshot().blocks)

    def report(elapsed: float) -> None:
        assert progress is not None
        progress(progress_of(pipeline.snapshot(), elapsed, blocks, seconds, kind))

    started_at = datetime.datetime.now(datetime.timezone.utc)
    failure: Optional[BaseException] = None
    interrupted, duration, acquisitions = False, 0.0, 0
    try:
        interrupted, duration, acquisitions = run(acq, channel, pipeline, seconds=seconds, blocks=blocks,
                                    report=None if progress is None else report, interval=progress_interval,
                                    on_watcher=stopper.append, between=between)
    except BaseException as e:  # the files are closed below whatever stopped the run
        failure = e
    pipeline.flush()
    snap = pipeline.snapshot()
    fields = fields_from(snap, kind)
    metadata.update(start_time=started_at.isoformat(), duration=duration, blocks=snap.blocks,
                    acquisitions=acquisitions)
    result = Recording(mode=mode, channel=channel, metadata=metadata, interrupted=interrupted, duration=duration,
                       events_path=None if events is None else str(events), **fields)
    if energy is not None:
        result.energy_spectrum = CalibrationStage.spectrum(snap[energy.label])
    if cluster_stage is not None:
        _cluster_fields(result, snap[cluster_stage.label])
    if collector is not None:
        kept.close()
        collector.join()
        result.raw = b"".join(raw_chunks)
    if writer is not None:
        try:
            writer.close(_reductions(result), interrupted=interrupted,
                         counts={"blocks": snap.blocks, "lost_blocks": snap.lost_blocks,
                                 "failed_blocks": snap.failed, "ignored_blocks": snap.ignored})
        except BaseException as e:
            failure = failure or e
    if failure is not None:
        if not isinstance(failure, KeyboardInterrupt):
            try:  # what was recorded until the failure, for a caller that wants it
                failure.recording = result  # type: ignore[attr-defined]
            except AttributeError:
                pass
        raise failure
    if result.lost_blocks:
        warnings.warn(f"{result.lost_blocks} of {snap.blocks + snap.failed} delivered blocks were lost "
                      f"({snap.failed} failed getters{_last_error(snap)}, "
                      f"{result.lost_blocks - snap.failed} not written: the event writer fell behind)",
                      LostBlocksWarning, stacklevel=2)
    if progress is not None:
        try:
            progress(progress_of(snap, duration, blocks, seconds, kind))
        except Exception:
            logging.getLogger("vrexsdk").exception("progress callable failed")
    if interrupted:
        raise RecordingInterrupted(result)
    return result


def _has_toa_tot_hits(shape_mode: str) -> bool:
    # Derived from the sinks' one table of groups and columns: ToA/ToT hits are events with a ToA.
    from vrexsdk import _stages

    return any(group == "events" and any(column == "toa" for column, _ in columns)
               for group, columns in _stages._layout(shape_mode))


#: The clusterer's settings, as the recording's metadata and the event file keep them.
_CLUSTER_SETTINGS = ("window_ticks", "jitter_ticks", "radius")


def _cluster_stage(clusters: Any, raw: bool) -> Optional[stages.Clusters]:
    if clusters is False or clusters is None:
        return None
    if clusters is True:
        stage = stages.Clusters()
    elif isinstance(clusters, stages.Clusters):
        stage = clusters
    else:
        raise TypeError(f"clusters must be True, False or a vrexsdk.stages.Clusters, not {type(clusters).__name__}")
    if raw:
        raise ValueError("clusters are made of ToA/ToT hits, not of raw data")
    return stage


def _cluster_fields(rec: Recording, values: Dict[str, Any]) -> None:
    """The clusters stage's snapshot values as the recording's cluster fields."""
    rec.clusters = int(values["clusters"])
    rec.cluster_size_histogram = Histogram(np.asarray(values["size_counts"], np.uint64), 0, 1, 0,
                                           int(values["size_overflow"]))
    rec.cluster_energy_histogram = Histogram(np.asarray(values["energy_counts"], np.uint64), 0,
                                             int(values["energy_bin_width"]), 0, int(values["energy_overflow"]))
    if "kev_counts" in values:
        rec.cluster_energy_spectrum = EnergySpectrum(np.asarray(values["kev_counts"], np.uint64),
                                                     float(values["kev_low"]), float(values["kev_high"]),
                                                     int(values["kev_underflow"]), int(values["kev_overflow"]),
                                                     int(values["kev_uncalibrated"]))
    clusters = rec.metadata.setdefault("clusters", {})
    clusters.update({name: int(values[name]) for name in ("late", "outside", "failed_blocks")})


def _last_error(snap: stages.Snapshot) -> str:
    return f": {snap.error}" if snap.error else ""


def _reductions(rec: Recording) -> Dict[str, Any]:
    names = ("hit_map", "itot_map", "summed_frame", "hit_sums", "itot_sums", "tot_histogram", "toa_histogram",
             "itot_histogram", "energy_spectrum", "clusters", "cluster_size_histogram", "cluster_energy_histogram",
             "cluster_energy_spectrum")
    return {name: getattr(rec, name) for name in names}


def _mask(device: Device) -> Any:
    config = getattr(device, "config", None)
    return None if config is None else _try(config.getMask)
