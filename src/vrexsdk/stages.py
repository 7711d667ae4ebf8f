"""Native stages: reduce or copy every data block on the SDK's thread, without the GIL.

A :class:`Pipeline` registers itself as a channel's data function. For every block the SDK's thread runs its
stages in order, in C++, and never takes the interpreter lock (unless a Python callable is delivered beside the
stages). Python reads a consistent :class:`Snapshot` of every stage at any time, while the acquisition runs, and
a writer thread drains the :class:`ChunkQueue` a :class:`Sink` fills with whole blocks::

    from vrexsdk import stages, vrex

    device = vrex.Device()
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:tpx3-dd-toa-tot")
    queue = stages.ChunkQueue(max_bytes=64 << 20)
    with stages.Pipeline(device, [stages.HitMap(), stages.TotHistogram(), stages.Sink(queue)]) as pipe:
        device.acq.begin(pipe.channel)
        device.acq.end(pipe.channel)
        pipe.flush()
    snap = pipe.snapshot()
    snap["hit_map"]["counts"].sum() == snap.hits

The stages:

- :class:`HitMap`: hits per pixel (``counts``, ``[y, x]``; events per pixel in the iToT/event modes, hit counts
  of binned packets), ``itot`` per pixel where the mode has it, and ``outside`` (addresses beyond the matrix).
- :class:`Histogram` (:class:`TotHistogram`, :class:`ToaHistogram`, :class:`ItotHistogram`): ``counts``,
  ``origin``, ``bin_width``, ``underflow``, ``overflow``; the ToA histogram takes its origin from the first hit
  and doubles its bin width as the run grows.
- :class:`FrameSum`: ``sum`` of every frame (``[y, x]``) and ``frames``.
- :class:`BinnedSums`: ``hit_sums`` and ``itot_sums`` added over the blocks, and ``packets``.
- :class:`Sink`: copies every block (hits, frames, raw bytes, binned arrays, TDC stamps) into chunks of about
  ``chunk_events`` entries for its :class:`ChunkQueue`; it reports ``copied_blocks``, ``lost_blocks`` and the
  queue's ``dropped_blocks``.

The queue's bound is explicit: when a chunk does not fit, it is dropped and counted (``on_full="drop"``) or the
SDK's thread waits for room (``on_full="wait"``). Drops are never silent: :attr:`ChunkQueue.stats` and every
snapshot count them.
"""

from __future__ import annotations

import copy
import dataclasses
from typing import Any, Callable, ClassVar, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

from vrexsdk import _stages

__all__ = [
    "BinnedSums",
    "ChunkQueue",
    "Clusters",
    "FrameSum",
    "Histogram",
    "HitMap",
    "ItotHistogram",
    "Pipeline",
    "QueueStats",
    "Sink",
    "Snapshot",
    "Stage",
    "ToaHistogram",
    "TotHistogram",
]

Chunk = Dict[str, Any]


class Stage:
    """A native stage: its kind (the name its C++ factory is registered under), a label, and its settings.

    Subclass it for a new native stage: set :attr:`kind` and pass the settings the factory reads.
    """

    kind: ClassVar[str] = ""

    def __init__(self, label: Optional[str] = None, **settings: Any) -> None:
        if label is not None and (not isinstance(label, str) or not label):
            raise ValueError(f"a stage label must be a non-empty str, not {label!r}")
        self.label = label or self.kind
        self.settings: Dict[str, Any] = settings

    def _queue(self) -> Optional["ChunkQueue"]:
        return None

    def _spec(self) -> Tuple[str, str, Dict[str, Any], Any]:
        queue = self._queue()
        return (self.kind, self.label, dict(self.settings), None if queue is None else queue._capsule)

    def __repr__(self) -> str:
        settings = "".join(f", {k}={v!r}" for k, v in self.settings.items())
        return f"{type(self).__name__}(label={self.label!r}{settings})"


class HitMap(Stage):
    """Hits per pixel (``counts``), integrated ToT per pixel (``itot``) where the mode has it, ``outside``."""

    kind = "hit_map"

    def __init__(self, label: Optional[str] = None) -> None:
        super().__init__(label)


class Clusters(Stage):
    """Clusters of the ToA/ToT hits (:class:`vrexsdk.clusters.Clusterer`, with its window, jitter and radius) on
    the SDK's thread: ``size_counts`` (bin i: clusters of i hits; larger ones in ``size_overflow``),
    ``energy_counts`` (ToT sum per cluster in bins of ``energy_bin_width``; beyond in ``energy_overflow``), the
    counts ``clusters``, ``hits``, ``late``, ``open`` and ``pending``, and ``failed_blocks`` (blocks the stage had
    no memory for). Clusters still open when the acquisition ends are counted once the pipeline is flushed."""

    kind = "clusters"

    def __init__(self, window_ns: Optional[float] = None, window_ticks: Optional[int] = None,
                 jitter_ns: Optional[float] = None, jitter_ticks: Optional[int] = None, radius: int = 1,
                 size_bins: int = 256, energy_bins: int = 1000, energy_bin_width: int = 16,
                 label: Optional[str] = None) -> None:
        from vrexsdk import clusters

        # The clusterer's own checks and conversions, once.
        probe = clusters.Clusterer(window_ns, window_ticks, jitter_ns, jitter_ticks, radius)
        for name, value in (("size_bins", size_bins), ("energy_bins", energy_bins),
                            ("energy_bin_width", energy_bin_width)):
            if isinstance(value, bool) or not isinstance(value, int) or not 0 < value <= 1 << 20:
                raise ValueError(f"{name} must be a positive integer up to 1048576, not {value!r}")
        super().__init__(label, window_ticks=probe.window_ticks, jitter_ticks=probe.jitter_ticks, radius=probe.radius,
                         size_bins=size_bins + 1, energy_bins=energy_bins, energy_bin_width=energy_bin_width)

    def with_kev(self, bins: int = 1000, range: Tuple[float, float] = (0.0, 100.0)) -> "Clusters":
        """This stage with a spectrum of cluster energies in keV besides: placed after a
        :class:`~vrexsdk.calibration.CalibrationStage`, it sums the calibrated energies of each cluster's hits into
        ``kev_counts`` (`bins` bins over `range` keV; ``kev_underflow``, ``kev_overflow``, and
        ``kev_uncalibrated`` for clusters with a hit of a pixel without calibration)."""
        from vrexsdk.calibration import EnergySpectrum

        empty = EnergySpectrum.empty(bins, range)  # checks bins and range
        made = copy.copy(self)
        made.settings = {**self.settings, "kev_bins": len(empty.counts), "kev_low": empty.low,
                         "kev_high": empty.high}
        return made


class Histogram(Stage):
    """Counts of one hit quantity (``"tot"``, ``"toa"`` or ``"itot"``) in `bins` bins of `bin_width`.

    The ToA histogram is adaptive: its origin is the first hit's ToA and its bin width doubles, merging
    neighbours, whenever a block reaches past its last bin.
    """

    kind = "histogram"
    _defaults: ClassVar[Dict[str, Tuple[int, int]]] = {"tot": (1024, 1), "toa": (1024, 1), "itot": (4096, 16)}

    def __init__(self, quantity: str = "tot", bins: Optional[int] = None, bin_width: Optional[int] = None,
                 label: Optional[str] = None) -> None:
        if quantity not in self._defaults:
            raise ValueError(f"quantity must be one of {', '.join(map(repr, self._defaults))}, not {quantity!r}")
        default_bins, default_width = self._defaults[quantity]
        bins = default_bins if bins is None else bins
        bin_width = default_width if bin_width is None else bin_width
        for name, value in (("bins", bins), ("bin_width", bin_width)):
            if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
                raise ValueError(f"{name} must be a positive integer, not {value!r}")
        super().__init__(label or f"{quantity}_histogram", quantity=quantity, bins=bins, bin_width=bin_width)


class TotHistogram(Histogram):
    """ToT in 1024 bins of 1 (Timepix3 ToT is a 10-bit counter); larger values count as overflow."""

    def __init__(self, bins: int = 1024, bin_width: int = 1, label: Optional[str] = None) -> None:
        super().__init__("tot", bins, bin_width, label)


class ToaHistogram(Histogram):
    """ToA in SDK clock ticks from the first hit, 1024 bins whose width doubles as the run grows."""

    def __init__(self, bins: int = 1024, label: Optional[str] = None) -> None:
        super().__init__("toa", bins, 1, label)


class ItotHistogram(Histogram):
    """Integrated ToT in 4096 bins of 16."""

    def __init__(self, bins: int = 4096, bin_width: int = 16, label: Optional[str] = None) -> None:
        super().__init__("itot", bins, bin_width, label)


class FrameSum(Stage):
    """The sum of every frame (``sum``, ``[y, x]``, uint64) and the frame count (``frames``)."""

    kind = "frame_sum"

    def __init__(self, label: Optional[str] = None) -> None:
        super().__init__(label)


class BinnedSums(Stage):
    """The binned modes' per-bin sums added up (``hit_sums``, ``itot_sums``) and the packet count."""

    kind = "binned_sums"

    def __init__(self, label: Optional[str] = None) -> None:
        super().__init__(label)


@dataclasses.dataclass(frozen=True)
class QueueStats:
    """Counts of a :class:`ChunkQueue`. ``dropped_blocks`` and ``dropped_events`` never go back down."""

    queued_chunks: int
    queued_bytes: int
    peak_bytes: int
    pushed_blocks: int
    dropped_blocks: int
    dropped_events: int
    dropped_chunks: int
    max_bytes: int
    closed: bool
    wait: bool


class ChunkQueue:
    """The bounded queue between a :class:`Sink` (on the SDK's thread) and a writer (a Python thread).

    Args:
        max_bytes: the bound on the bytes of the chunks waiting in the queue (a chunk larger than the bound still
            enters an empty queue).
        on_full: ``"drop"`` drops a chunk that does not fit and counts its blocks; ``"wait"`` makes the SDK's
            thread wait for room (back-pressure).
    """

    def __init__(self, max_bytes: int = 256 << 20, on_full: str = "drop") -> None:
        if isinstance(max_bytes, bool) or not isinstance(max_bytes, int) or max_bytes <= 0:
            raise ValueError(f"max_bytes must be a positive integer, not {max_bytes!r}")
        if on_full not in ("drop", "wait"):
            raise ValueError(f"on_full must be 'drop' or 'wait', not {on_full!r}")
        self.max_bytes = max_bytes
        self.on_full = on_full
        self._capsule = _stages._queue(max_bytes, on_full == "wait")

    def get(self, timeout: Optional[float] = None) -> Optional[Chunk]:
        """The oldest chunk; None after `timeout` seconds (None: wait for one) or once closed and drained.

        A chunk is a dict: ``"mode"``, ``"blocks"`` (the block numbers, from 0), ``"shutter"`` (per block), and one
        dict per group (``"events"``, ``"tdc0"``..``"tdc2"``, ``"frames"``, ``"raw"``, ``"packets"``,
        ``"descriptors"``, ``"hit_sums"``, ``"itot_sums"``, as the mode has them) holding ``"counts"`` (entries per
        block) and its columns. The arrays own their memory.
        """
        if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))):
            raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
        chunk: Optional[Chunk] = _stages._queue_pop(self._capsule, timeout)
        return chunk

    def __iter__(self) -> Iterator[Chunk]:
        """Every chunk until the queue is closed and drained."""
        while True:
            chunk = self.get(0.25)
            if chunk is not None:
                yield chunk
            elif self.stats.closed and self.stats.queued_chunks == 0:
                return

    def close(self) -> None:
        """No more chunks: waiting sinks and readers are woken; a chunk pushed later is dropped and counted."""
        _stages._queue_close(self._capsule)

    @property
    def stats(self) -> QueueStats:
        return QueueStats(**_stages._queue_stats(self._capsule))

    def __repr__(self) -> str:
        s = self.stats
        return (f"<ChunkQueue {s.queued_chunks} chunks, {s.queued_bytes}/{s.max_bytes} bytes, "
                f"on_full={self.on_full!r}, dropped_blocks={s.dropped_blocks}>")


class Sink(Stage):
    """Copies every block into chunks of about `chunk_events` entries for `queue` (hits, frame counters, raw bytes
    or binned entries, per mode); a chunk older than `max_age` seconds is handed over with the next block."""

    kind = "sink"

    def __init__(self, queue: ChunkQueue, chunk_events: int = 131072, max_age: float = 0.5,
                 label: Optional[str] = None) -> None:
        if not isinstance(queue, ChunkQueue):
            raise TypeError(f"queue must be a ChunkQueue, not {type(queue).__name__}")
        if isinstance(chunk_events, bool) or not isinstance(chunk_events, int) or not 0 < chunk_events <= 1 << 26:
            raise ValueError(f"chunk_events must be an integer from 1 to {1 << 26}, not {chunk_events!r}")
        if isinstance(max_age, bool) or not isinstance(max_age, (int, float)) or not 0 < max_age <= 3600:
            raise ValueError(f"max_age must be a positive number of seconds, not {max_age!r}")
        self.queue = queue
        super().__init__(label, chunk_events=chunk_events, max_age_s=float(max_age))

    def _queue(self) -> Optional[ChunkQueue]:
        return self.queue


@dataclasses.dataclass(frozen=True)
class Snapshot:
    """The state of a pipeline at one moment: totals, and every stage's values by label (``snap["hit_map"]``).

    Every stage has seen exactly the blocks counted in :attr:`blocks`. Arrays are copies the caller owns.
    """

    mode: str
    #: Blocks run through the stages.
    blocks: int
    #: Blocks delivered after the limit or after :meth:`Pipeline.detach`.
    ignored: int
    #: Blocks whose getters failed: no stage saw them (:attr:`error` holds the SDK's last error text).
    failed: int
    hits: int
    frames: int
    bytes: int
    packets: int
    #: Blocks that held nothing.
    empty: int
    tdc: Tuple[int, int, int]
    error: Optional[str]
    #: The block limit was reached.
    full: bool
    stages: Mapping[str, Dict[str, Any]]

    def __getitem__(self, label: str) -> Dict[str, Any]:
        return self.stages[label]

    @property
    def lost_blocks(self) -> int:
        """Blocks delivered but missing from some output: failed getters, and blocks the sinks lost or dropped."""
        lost = self.failed
        for values in self.stages.values():
            lost += int(values.get("dropped_blocks", 0)) + int(values.get("lost_blocks", 0))
        return lost


class Pipeline:
    """Native stages registered as the data function of a channel of an open `device`.

    Args:
        device: an open :class:`~vrexsdk.vrex.Device` whose chip mode is selected.
        stages: the stages, run in this order for every block; their labels must differ.
        channel: the acquisition channel; the device's first by default.
        raw: take the undecoded byte stream (as ``setRawDataCallback`` does), in whatever mode.
        limit: accept at most this many blocks; later ones are counted as ignored, and :meth:`wait_full`
            returns True.
        callable: a Python callable delivered every accepted block beside the stages, with the arguments
            ``setDataCallback`` would give it (it takes the GIL; the stages do not).

    Registering replaces the channel's data callable, as ``setDataCallback`` does. Every stage must take the
    mode's blocks (a :class:`FrameSum` takes no hits, say): a ValueError says which does not.
    """

    def __init__(self, device: Any, stages: Sequence[Stage], *, channel: Optional[str] = None, raw: bool = False,
                 limit: Optional[int] = None, callable: Optional[Callable[..., Any]] = None) -> None:
        acq = getattr(device, "acq", None)
        if acq is None or not device.isOpened():
            raise ValueError("the device is not open: call device.open(connectionString) first")
        stages = list(stages)
        labels = set()
        for stage in stages:
            if not isinstance(stage, Stage):
                raise TypeError(f"stages must be Stage objects, not {type(stage).__name__}")
            if stage.label in labels:
                raise ValueError(f"two stages are labelled {stage.label!r}: give one another label")
            labels.add(stage.label)
        if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int) or limit <= 0):
            raise ValueError(f"limit must be a positive integer, not {limit!r}")
        channels = acq.getChannelIds()
        if channel is None:
            if not channels:
                raise ValueError("the device has no acquisition channel")
            channel = channels[0]
        elif channel not in channels:
            raise ValueError(f"unknown channel {channel!r}; the device has {', '.join(channels)}")
        self.device = device
        self.channel: str = channel
        self.stages: List[Stage] = stages
        self._capsule = _stages._pipeline(acq, channel, [s._spec() for s in stages], bool(raw), limit or 0,
                                          callable)

    def snapshot(self) -> Snapshot:
        """Every stage's state and the totals, taken together (the SDK's thread waits at most one block)."""
        raw = _stages._snapshot(self._capsule)
        return Snapshot(**raw)

    def flush(self, *, partial: bool = False) -> None:
        """Makes every sink hand its partial chunk to its queue and ends what spans blocks (the clusters still
        open are counted): call it once the acquisition is over. With `partial` (a writer wanting what is pending
        while the acquisition goes on) the sinks hand over, and the open clusters stay open."""
        _stages._flush(self._capsule, bool(partial))

    def wait_full(self, timeout: Optional[float] = None) -> bool:
        """Waits until `limit` blocks were accepted (at most `timeout` seconds); whether they were."""
        return bool(_stages._wait_full(self._capsule, timeout))

    def detach(self) -> None:
        """Later blocks are ignored (and counted); the SDK keeps delivering to the channel until re-registered."""
        _stages._detach(self._capsule)

    def __enter__(self) -> "Pipeline":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.detach()
        self.flush()

    def __repr__(self) -> str:
        return f"<Pipeline channel={self.channel!r} stages={[s.label for s in self.stages]}>"
