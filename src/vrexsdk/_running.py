"""Running one acquisition to its end: begin, wait interruptibly, stop at the block or time limit, report
progress, and leave nothing running whatever happens.

Part of :mod:`vrexsdk.record`.
"""

from __future__ import annotations

import dataclasses
import logging
import threading
import time
from typing import Any, Callable, Optional, Tuple

from vrexsdk.errors import VrexSdkException, VrexSdkInvalidOperationError
from vrexsdk.stages import Pipeline, Snapshot

_log = logging.getLogger("vrexsdk")


@dataclasses.dataclass(frozen=True)
class Progress:
    """How far a recording has come, handed to the ``progress`` callable of :func:`~vrexsdk.record.record`.

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
    #: Blocks delivered but lost so far (failed getters, blocks the event writer could not keep).
    lost_blocks: int = 0

    @property
    def rate(self) -> float:
        """Events per second so far (0.0 before any time has passed)."""
        return self.events / self.elapsed if self.elapsed > 0 else 0.0


def progress_of(snap: Snapshot, elapsed: float, total_blocks: Optional[int], total_seconds: Optional[float],
                kind: str) -> Progress:
    unit, events = {"frames": ("frames", snap.frames), "raw": ("bytes", snap.bytes)}.get(
        kind, ("packets", snap.packets) if snap.packets else ("hits", snap.hits))
    return Progress(snap.blocks, events, unit, elapsed, total_blocks, total_seconds, snap.lost_blocks)


class _Watcher(threading.Thread):
    """Stops the acquisition once enough blocks came or the time is up, and reports progress meanwhile."""

    def __init__(self, stop: Callable[[], None], pipeline: Pipeline, start: float, seconds: Optional[float],
                 blocks: Optional[int], report: Optional[Callable[[float], Any]], interval: float) -> None:
        super().__init__(name="vrexsdk-record-watcher", daemon=True)
        self.stop = stop
        self.pipeline = pipeline
        self.start_time = start
        self.seconds = seconds
        self.blocks = blocks
        self.report = report
        self.interval = interval
        self.finished = threading.Event()  # set by the main thread once end() returned
        self.aborted = False
        self.lock = threading.Lock()  # held while the acquisition is stopped, and while the next one begins

    def abort(self) -> None:
        with self.lock:  # no new acquisition starts while this one is stopped
            if not self.aborted:
                self.aborted = True
                self.stop()

    def wants_more(self, accepted: int) -> bool:
        """Whether the limits ask for more than the acquisitions so far delivered (`accepted` blocks)."""
        if self.aborted or (self.blocks is not None and accepted >= self.blocks):
            return False  # either limit reached ends the recording
        if self.seconds is not None and time.monotonic() >= self.start_time + self.seconds:
            return False
        return self.blocks is not None or self.seconds is not None

    def run(self) -> None:
        deadline = None if self.seconds is None else self.start_time + self.seconds
        next_report = self.start_time + self.interval
        while not self.finished.is_set():
            now = time.monotonic()
            if not self.aborted and (deadline is not None and now >= deadline):
                self.abort()
            if self.report is not None and now >= next_report:
                next_report = now + self.interval
                try:
                    self.report(now - self.start_time)
                except Exception:  # a failing progress display must not stop the acquisition
                    _log.exception("progress callable failed")
                    self.report = None
            waits = [next_report - now] if self.report is not None else [self.interval]
            if deadline is not None and not self.aborted:
                waits.append(deadline - now)
            timeout = max(0.001, min(waits))
            if self.aborted or self.blocks is None:
                self.finished.wait(timeout)
            elif self.pipeline.wait_full(timeout):  # woken early by the block limit
                self.abort()


def stop_quietly(acq: Any, channel: str) -> None:
    # Nothing may be left running, whatever state the run is in; "nothing to stop" is not an error here.
    for step in (acq.abort, acq.end):
        try:
            step(channel)
        except VrexSdkException:
            pass


def run(acq: Any, channel: str, pipeline: Pipeline, *, seconds: Optional[float], blocks: Optional[int],
        report: Optional[Callable[[float], Any]], interval: float,
        on_watcher: Optional[Callable[[Callable[[], None]], None]] = None,
        between: Optional[Callable[[], None]] = None) -> Tuple[bool, float, int]:
    """Runs the acquisition of `channel` until it ends, `blocks` were accepted or `seconds` passed.

    An acquisition that ends by itself before the limits were reached is followed by the next at once, as a
    detector is run for longer than one acquisition lasts; one that delivered nothing ends the run, since the next
    would not either. Returns (interrupted, duration, acquisitions). Ctrl-C stops it and returns interrupted=True; any other exception stops
    it and propagates. `on_watcher` receives the function that aborts the run (for a failing event writer);
    `between` is called after an acquisition ended by itself, before the next begins.
    """

    def stop_acquisition() -> None:
        try:
            acq.abort(channel)
        except VrexSdkInvalidOperationError:
            pass  # it ended by itself meanwhile
        except VrexSdkException as e:
            _log.warning("aborting the acquisition on channel %s failed: %s", channel, e)

    start = time.monotonic()
    watcher: Optional[_Watcher] = None
    interrupted = False
    acquisitions = 0
    waiting = False  # in end(), which stops the run itself when Ctrl-C interrupts it
    try:
        acq.begin(channel)
        acquisitions, delivered = 1, 0
        watcher = _Watcher(stop_acquisition, pipeline, start, seconds, blocks, report, interval)
        if on_watcher is not None:
            on_watcher(watcher.abort)
        watcher.start()
        while True:
            try:
                waiting = True
                acq.end(channel)
                waiting = False
            except VrexSdkInvalidOperationError:
                # After our own abort the run is over: the abort waited for the last delivery. An end() refused
                # then changes nothing for the data; any other refusal is the caller's to see.
                if not watcher.aborted:
                    raise
            with watcher.lock:
                accepted = pipeline.snapshot().blocks
                if accepted == delivered or not watcher.wants_more(accepted):
                    break
                delivered = accepted
                acquisitions += 1
                if between is not None:
                    between()
                acq.begin(channel)
    except KeyboardInterrupt:
        # end() on the main thread has aborted the run and waited for it already; Ctrl-C anywhere else (between
        # begin and end, say) leaves the run to stop here.
        interrupted = True
        if not waiting:
            stop_quietly(acq, channel)
    except BaseException:
        stop_quietly(acq, channel)
        raise
    finally:
        duration = time.monotonic() - start
        pipeline.detach()  # later blocks are ignored, whatever stopped the run
        if watcher is not None:
            watcher.finished.set()
            watcher.join()
    return interrupted, duration, acquisitions
