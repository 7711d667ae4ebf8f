"""Types for annotating code that uses vrexsdk: what each acquisition mode hands the data callable, the mode
parameters ``chip.selectMode`` reads, and names for the service classes of a ``Device``.

What the callable registered with ``device.acq.setDataCallback(channel, func)`` receives depends on the chip
mode selected when it is registered; ``setRawDataCallback`` always delivers raw bytes:

=============================  =============================  ===============================================
Mode                           Callable type                  Arguments, in order
=============================  =============================  ===============================================
``0:tpx-medipix``              ``FramesCallback``             frames ``uint16``, 65536 pixels a frame, flat
``0:raw-data``, and raw        ``RawCallback``                data ``uint8``, the bytes the device sent
``0:tpx3-seq-toa-tot``         ``HitRecordsCallback``         records (``address``, ``tot``, ``toa``)
``0:tpx3-seq-toa-tot-vec``     ``HitVectorsCallback``         addresses ``uint32``, ToA ``uint32``,
                                                              ToT ``uint16``
``0:tpx3-seq-itot-event``      ``EventRecordsCallback``       records (``address``, ``itot``, ``event``)
``0:tpx3-seq-itot-event-vec``  ``EventVectorsCallback``       addresses ``uint32``, events ``uint16``,
                                                              iToT ``uint16``
``0:tpx3-dd-toa-tot``          ``DataDrivenHitsCallback``     records (``address``, ``tot``, ``toa``),
                                                              ``Metadata``
``0:tpx3-sorted-dd-toa-tot``   ``DataDrivenHitsCallback``     the same
``0:tpx3-dd-toa-tot-vec``      ``DataDrivenVectorsCallback``  addresses ``uint32``, ToA ``uint64``,
                                                              ToT ``uint16``, ``Metadata``
``0:tpx3-binned-packets``      ``BinnedPacketsCallback``      packets (``address``, ``count``, ``itot``),
                                                              bin descriptors (``offset``, ``packet_count``),
                                                              hit-count sums and iToT sums ``uint64``
``0:tpx3-binned-count-sums``   ``BinnedSumsCallback``         hit-count sums ``uint64``
``0:tpx3-binned-itot-sums``    ``BinnedSumsCallback``         integrated-ToT sums ``uint64``
=============================  =============================  ===============================================

``DataCallback`` is the union of them all: a function annotated with any one of these shapes may be registered.
Every array is one-dimensional and views the SDK's buffer during the call only: keep ``array.copy()``, not the
array. The record arrays have structured dtypes of unsigned fields (``address`` and ``tot``/``itot``/``count``
32-bit, ``toa``/``event`` 64-bit; 16 bytes per hit record, 12 per binned packet, 8 per bin descriptor). A part of
a block that is empty (no hits, no timestamps on a TDC channel, no bin descriptors) arrives as an empty
``float64`` array with no fields: the annotations name the dtype of the data, test ``len()`` before indexing
fields. The callable's return value is ignored.

Example::

    from vrexsdk.types import HitsArray, Metadata

    def on_hits(records: HitsArray, metadata: Metadata) -> None:
        print(len(records), metadata["shutterStart"], [len(t) for t in metadata["tdcs"]])

    device.chip.selectMode("0:tpx3-dd-toa-tot")
    device.acq.setDataCallback(channel, on_hits)
"""

from typing import Any, Callable, Dict, List, Protocol, TypedDict, Union

import numpy as np
import numpy.typing as npt

from vrexsdk.acquisition import __Acquisition as Acquisition
from vrexsdk.axi import __Axi as Axi
from vrexsdk.bias import __Bias as Bias
from vrexsdk.board import __Board as Board
from vrexsdk.chip import __Chip as Chip
from vrexsdk.configuration import __Configuration as Configuration
from vrexsdk.cooling import __Cooling as Cooling
from vrexsdk.lockstep import __Lockstep as Lockstep
from vrexsdk.monitor import __Monitor as Monitor
from vrexsdk.revisions import __Revisions as Revisions
from vrexsdk.traits import __Traits as Traits
from vrexsdk.trigger import __Trigger as Trigger
from vrexsdk.vault import __Vault as Vault

__all__ = [
    "Acquisition",
    "Axi",
    "Bias",
    "BinDescriptorsArray",
    "BinnedPacketsArray",
    "BinnedPacketsCallback",
    "BinnedSumsCallback",
    "Board",
    "Chip",
    "Configuration",
    "Cooling",
    "DataCallback",
    "DataDrivenHitsCallback",
    "DataDrivenVectorsCallback",
    "EventRecordsCallback",
    "EventVectorsCallback",
    "EventsArray",
    "FramesCallback",
    "HitRecordsCallback",
    "HitVectorsCallback",
    "HitsArray",
    "Lockstep",
    "Metadata",
    "ModeParams",
    "Monitor",
    "RawCallback",
    "Revisions",
    "Traits",
    "Trigger",
    "Vault",
]

# ---- the service classes -------------------------------------------------------------------------------------------
# The classes behind Device.chip, Device.acq, ... are named with two leading underscores (vrexsdk.chip.__Chip),
# which a class body cannot name; the names imported above are the same classes, for annotating code that takes
# a service (``def tune(chip: vrexsdk.types.Chip) -> None``).

# ---- arrays --------------------------------------------------------------------------------------------------------

HitsArray = npt.NDArray[np.void]
"""Hit records with the fields ``address`` (uint32), ``tot`` (uint32) and ``toa`` (uint64), 16 bytes each."""

EventsArray = npt.NDArray[np.void]
"""Hit records with the fields ``address`` (uint32), ``itot`` (uint32) and ``event`` (uint64), 16 bytes each."""

BinnedPacketsArray = npt.NDArray[np.void]
"""Binned packets with the fields ``address``, ``count`` and ``itot`` (uint32 each), 12 bytes each."""

BinDescriptorsArray = npt.NDArray[np.void]
"""Bin descriptors with the fields ``offset`` and ``packet_count`` (uint32 each), 8 bytes each."""


class Metadata(TypedDict):
    """The dict that the data-driven modes pass after the hits, a new one per block (the callable may keep it).

    Annotate the callable's parameter with it for typed keys, or as ``Dict[str, Any]``; both are accepted."""

    shutterStart: int
    """The shutter's rising-edge time in SDK clock ticks."""
    tdcs: List[npt.NDArray[np.uint64]]
    """Three arrays, for TDC channels 0, 1 and 2: the ToA timestamps of the block on that channel."""


# ---- callables, one per delivery -----------------------------------------------------------------------------------

FramesCallback = Callable[[npt.NDArray[np.uint16]], object]
"""``0:tpx-medipix``: ``func(frames)``, all frames of the block as one flat uint16 array of 65536 pixels per frame
(``frames.reshape(-1, 256, 256)``)."""

RawCallback = Callable[[npt.NDArray[np.uint8]], object]
"""``setRawDataCallback``, or ``setDataCallback`` in mode ``0:raw-data``: ``func(data)``, the block's undecoded
bytes as one uint8 array."""

HitRecordsCallback = Callable[[HitsArray], object]
"""``0:tpx3-seq-toa-tot``: ``func(records)``, one record per hit (``address``, ``tot``, ``toa``)."""

HitVectorsCallback = Callable[[npt.NDArray[np.uint32], npt.NDArray[np.uint32], npt.NDArray[np.uint16]], object]
"""``0:tpx3-seq-toa-tot-vec``: ``func(addresses, toa, tot)``, three arrays of one length: uint32 pixel addresses,
uint32 ToA, uint16 ToT."""

EventRecordsCallback = Callable[[EventsArray], object]
"""``0:tpx3-seq-itot-event``: ``func(records)``, one record per pixel (``address``, ``itot``, ``event``)."""

EventVectorsCallback = Callable[[npt.NDArray[np.uint32], npt.NDArray[np.uint16], npt.NDArray[np.uint16]], object]
"""``0:tpx3-seq-itot-event-vec``: ``func(addresses, events, itots)``, three arrays of one length: uint32 pixel
addresses, uint16 event counts, uint16 integrated ToT."""

# The metadata is a plain dict: a callable may take it as Metadata (typed keys) or as Dict[str, Any].
DataDrivenHitsCallback = Union[
    Callable[[HitsArray, Metadata], object],
    Callable[[HitsArray, Dict[str, Any]], object],
]
"""``0:tpx3-dd-toa-tot`` and ``0:tpx3-sorted-dd-toa-tot``: ``func(records, metadata)``, one record per hit
(``address``, ``tot``, ``toa``) and the block's :class:`Metadata`."""

DataDrivenVectorsCallback = Union[
    Callable[[npt.NDArray[np.uint32], npt.NDArray[np.uint64], npt.NDArray[np.uint16], Metadata], object],
    Callable[[npt.NDArray[np.uint32], npt.NDArray[np.uint64], npt.NDArray[np.uint16], Dict[str, Any]], object],
]
"""``0:tpx3-dd-toa-tot-vec``: ``func(addresses, toa, tot, metadata)``: uint32 pixel addresses, uint64 ToA and
uint16 ToT of one length, and the block's :class:`Metadata`."""

BinnedPacketsCallback = Callable[
    [BinnedPacketsArray, BinDescriptorsArray, npt.NDArray[np.uint64], npt.NDArray[np.uint64]], object
]
"""``0:tpx3-binned-packets``: ``func(packets, descriptors, hitSums, itotSums)``, four arrays of their own
lengths: packets (``address``, ``count``, ``itot``), bin descriptors (``offset``, ``packet_count``), uint64
hit-count sums and uint64 integrated-ToT sums."""

BinnedSumsCallback = Callable[[npt.NDArray[np.uint64]], object]
"""``0:tpx3-binned-count-sums`` and ``0:tpx3-binned-itot-sums``: ``func(sums)``, the block's per-bin hit-count or
integrated-ToT sums as one uint64 array."""

DataCallback = Union[
    FramesCallback,
    RawCallback,
    HitRecordsCallback,
    HitVectorsCallback,
    EventRecordsCallback,
    EventVectorsCallback,
    DataDrivenHitsCallback,
    DataDrivenVectorsCallback,
    BinnedPacketsCallback,
    BinnedSumsCallback,
]
"""Any of the callables above: what ``setDataCallback`` takes. Register the one that fits the selected mode; a
block of another mode's layout is refused (reported through ``sys.unraisablehook``), not misread."""


# ---- mode parameters -----------------------------------------------------------------------------------------------


class ModeParams(Protocol):
    """What ``chip.selectMode(modeId, modeParams)`` reads: any object with these three integer attributes, such as
    :class:`vrexsdk.chip.BinningParams`."""

    @property
    def width(self) -> int:
        """Bins across (uint32)."""
        ...

    @property
    def height(self) -> int:
        """Bins down (uint32)."""
        ...

    @property
    def dwellTime(self) -> int:
        """Dwell time (uint64)."""
        ...
