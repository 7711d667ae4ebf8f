"""What a recording reduces each mode's blocks to, natively: the stages per kind of mode, and the snapshot's values
as the fields of a :class:`~vrexsdk.record.Recording`.

Part of :mod:`vrexsdk.record`.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional

from vrexsdk import stages
from vrexsdk._recording import _ITOT_BINS, _ITOT_WIDTH, _TOA_BINS, _TOT_BINS, Histogram

#: The stages of each kind of recording, by label; the fields below read them by the same labels.
_KIND_STAGES: Dict[str, Callable[[], List[stages.Stage]]] = {
    "hits": lambda: [stages.HitMap(), stages.TotHistogram(_TOT_BINS), stages.ToaHistogram(_TOA_BINS)],
    "itot-events": lambda: [stages.HitMap(), stages.ItotHistogram(_ITOT_BINS, _ITOT_WIDTH)],
    "frames": lambda: [stages.FrameSum()],
    "binned": lambda: [stages.BinnedSums()],
    "binned-packets": lambda: [stages.HitMap(), stages.BinnedSums()],
    "raw": lambda: [],
}


def reduction_stages(kind: str, mode: Optional[str]) -> List[stages.Stage]:
    """The native stages reducing a recording of `kind` (the binned packets mode also maps its packets)."""
    if kind == "binned" and mode == "0:tpx3-binned-packets":
        kind = "binned-packets"
    make = _KIND_STAGES.get(kind)
    return [] if make is None else make()


def _histogram(values: Optional[Dict[str, Any]]) -> Optional[Histogram]:
    if values is None:
        return None
    return Histogram(values["counts"], int(values["origin"]), int(values["bin_width"]), int(values["underflow"]),
                     int(values["overflow"]))


def fields_from(snap: stages.Snapshot, kind: str) -> Dict[str, Any]:
    """The Recording fields of a snapshot of the stages :func:`reduction_stages` gave."""
    s = snap.stages
    hit_map = s.get("hit_map", {})
    sums = s.get("binned_sums", {})
    frame_sum = s.get("frame_sum", {})
    return {
        "kind": kind,
        "blocks": snap.blocks,
        "hits": snap.hits,
        "frames": snap.frames,
        "packets": snap.packets,
        "byte_count": snap.bytes,
        "hit_map": hit_map.get("counts"),
        "itot_map": hit_map.get("itot"),
        "summed_frame": frame_sum.get("sum"),
        "hit_sums": sums.get("hit_sums"),
        "itot_sums": sums.get("itot_sums"),
        "tot_histogram": _histogram(s.get("tot_histogram")),
        "toa_histogram": _histogram(s.get("toa_histogram")),
        "itot_histogram": _histogram(s.get("itot_histogram")),
        "tdc_counts": tuple(snap.tdc),
        "outside": int(hit_map.get("outside", 0)),
        "ignored": snap.ignored,
        "lost_blocks": snap.lost_blocks,
    }
