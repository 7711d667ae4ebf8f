"""The recording as a result and as files: :class:`Recording`, :func:`load`, PNG quick looks.

Part of :mod:`vrexsdk.record`, which re-exports everything here.
"""

from __future__ import annotations

import dataclasses
import json
import math
import os
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from vrexsdk._files import open_replacing, replacing
from vrexsdk._optional import optional
from vrexsdk.calibration import EnergySpectrum

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
    #: The hits' energies (keV) when :func:`record` was given a calibration.
    energy_spectrum: Optional[EnergySpectrum] = None
    #: With ``record(..., clusters=True)``: the clusters counted, by their number of hits (bin i: clusters of i
    #: hits) and by their energy as ToT sum; with a calibration too, by their energy in keV (the sum of their hits'
    #: calibrated energies; ``uncalibrated`` counts clusters with a hit of a pixel without calibration).
    clusters: int = 0
    cluster_size_histogram: Optional[Histogram] = None
    cluster_energy_histogram: Optional[Histogram] = None
    cluster_energy_spectrum: Optional[EnergySpectrum] = None
    tdc_counts: Tuple[int, ...] = (0, 0, 0)
    raw: Optional[bytes] = None
    #: Hits whose pixel address lies outside the 256 x 256 matrix (not in the maps).
    outside: int = 0
    #: Blocks delivered but not accumulated: beyond the requested count, or after the recording stopped.
    ignored: int = 0
    #: Blocks delivered but missing from the results or the event file: failed getters, blocks dropped because the
    #: event writer fell behind, blocks lost for want of memory. Never silent: also a warning and in the file.
    lost_blocks: int = 0
    #: The event file written beside the reductions, or None.
    events_path: Optional[str] = None
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
        for name in _SPECTRA:
            e: Optional[EnergySpectrum] = getattr(self, name)
            if e is not None:
                arrays[name] = e.counts
                scalars[name] = {"low": e.low, "high": e.high, "underflow": e.underflow, "overflow": e.overflow,
                                 "uncalibrated": e.uncalibrated}
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
            try:
                np.savez_compressed(out, **entries)
            except ValueError as e:
                # A Ctrl-C inside zipfile's writing makes its close() refuse with a ValueError that hides the
                # interrupt: the interrupt is what happened, and what abandons the save.
                if isinstance(e.__context__, KeyboardInterrupt):
                    raise e.__context__ from None
                raise

    def save_png(self, path: PathLike, *, log: bool = True) -> None:
        """Writes :meth:`image` as a colour-mapped PNG with a colour scale (needs Pillow).

        ``log`` maps ``log(1 + counts)`` to the colours, so a few hot pixels do not wash out the rest; the scale
        is labelled in counts either way.
        """
        write_png(self.image(), path, log=log, histograms=self._png_histograms())

    def _png_histograms(self) -> List[Tuple[str, npt.NDArray[Any], npt.NDArray[np.float64]]]:
        # The cluster histograms, drawn under the image: (title, counts, edges), empty bins at the top trimmed.
        found: List[Tuple[str, npt.NDArray[Any], npt.NDArray[np.float64]]] = []
        for title, h in (("cluster size (hits)", self.cluster_size_histogram),
                         ("cluster energy (ToT sum)", self.cluster_energy_histogram),
                         ("cluster energy (keV)", self.cluster_energy_spectrum)):
            if h is not None:
                nonzero = np.flatnonzero(h.counts)
                last = int(nonzero[-1]) + 1 if nonzero.size else 1
                found.append((title, h.counts[:last], h.edges[:last + 1]))
        return found

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
        if self.energy_spectrum is not None:
            e = self.energy_spectrum
            lines.append(f"energy spectrum {e.low:g}..{e.high:g} keV: {int(e.counts.sum())} hits in range, "
                         f"{e.underflow} below, {e.overflow} above, {e.uncalibrated} without calibration")
        if self.cluster_size_histogram is not None:
            sizes = self.cluster_size_histogram
            counted = int(sizes.counts.sum())
            mean = float((sizes.counts * np.arange(len(sizes.counts))).sum()) / max(1, counted)
            lines.append(f"{self.clusters} clusters, {mean:.2f} hits each on average"
                         + (f", {sizes.overflow} larger than {len(sizes.counts) - 1} hits" if sizes.overflow else ""))
        if self.cluster_energy_spectrum is not None:
            e = self.cluster_energy_spectrum
            lines.append(f"cluster energies {e.low:g}..{e.high:g} keV: {int(e.counts.sum())} clusters in range, "
                         f"{e.underflow} below, {e.overflow} above, {e.uncalibrated} without calibration")
        if self.ignored:
            lines.append(f"{self.ignored} blocks delivered after the end were not counted")
        if self.lost_blocks:
            lines.append(f"{self.lost_blocks} delivered blocks were LOST (not in the results or the event file)")
        if self.events_path:
            lines.append(f"every block in {self.events_path}")
        return "\n".join(lines)


# What a file holds of a recording, derived from the field list above: arrays by name, histograms as counts plus
# their scalars, energy spectra likewise, everything plain in the summary. metadata, tdc_counts and raw have their own
# handling.
_FIELDS = {f.name: str(f.type) for f in dataclasses.fields(Recording)}
_ARRAYS = tuple(n for n, t in _FIELDS.items() if t == "Optional[ArrayU64]")
_HISTOGRAMS = tuple(n for n, t in _FIELDS.items() if t == "Optional[Histogram]")
_SCALARS = tuple(n for n, t in _FIELDS.items() if t in ("int", "float", "bool", "str", "Optional[str]"))
_SPECTRA = tuple(n for n, t in _FIELDS.items() if t == "Optional[EnergySpectrum]")


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
    for name in _SPECTRA:
        if name in arrays and name in scalars:
            fields[name] = EnergySpectrum(arrays[name].astype(np.uint64, copy=False), **scalars[name])
    if "raw" in arrays:
        fields["raw"] = arrays["raw"].tobytes()
    return Recording(metadata=json.loads(metadata), **fields)


def _is_hdf5(path: PathLike) -> bool:
    return os.fspath(path).lower().endswith((".h5", ".hdf5"))


def _import_h5py() -> Any:
    return optional("h5py", _HDF5_HINT)


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
    return tuple(optional(f"PIL.{name}", _PNG_HINT) for name in ("Image", "ImageDraw", "ImageFont"))


_Panel = Tuple[str, npt.NDArray[Any], npt.NDArray[np.float64]]


def write_png(image: npt.ArrayLike, path: PathLike, *, log: bool = True, histograms: Sequence[_Panel] = ()) -> None:
    """Writes a 2-D array as a colour-mapped PNG with a labelled colour scale on its right (needs Pillow), and
    under it one panel per histogram in `histograms`, given as ``(title, counts, edges)``."""
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
    if histograms:
        panel = 96
        framed = Image.new("RGB", (canvas.width, canvas.height + panel * len(histograms)), (255, 255, 255))
        framed.paste(canvas, (0, 0))
        draw = ImageDraw.Draw(framed)
        for i, (title, counts, edges) in enumerate(histograms):
            _draw_histogram(draw, font, (0, canvas.height + i * panel, framed.width, panel), title,
                            np.asarray(counts, np.float64), np.asarray(edges, np.float64), table[200])
        canvas = framed
    with open_replacing(path) as out:
        canvas.save(out, format="PNG")


def _draw_histogram(draw: Any, font: Any, box: Tuple[int, int, int, int], title: str, counts: npt.NDArray[np.float64],
                    edges: npt.NDArray[np.float64], colour: npt.NDArray[np.uint8]) -> None:
    """Bars of log(1 + counts) in `box` (x, y, width, height): the title above, the first and last edge below."""
    x, y, width, height = box
    top, bottom = y + 14, y + height - 14
    draw.text((x + 4, y + 2), title, fill=(0, 0, 0), font=font)
    draw.line([(x, bottom), (x + width - 1, bottom)], fill=(0, 0, 0))
    if counts.size == 0:
        return
    # Bins share the panel's pixel columns: each column shows the largest bin that falls in it.
    columns = np.minimum((np.arange(counts.size) * width) // counts.size, width - 1)
    tallest = np.zeros(width)
    np.maximum.at(tallest, columns, counts)
    peak = math.log1p(float(tallest.max()))
    step = max(1, width // counts.size)
    for c in np.flatnonzero(tallest):
        h = int(round(math.log1p(float(tallest[c])) / peak * (bottom - top))) if peak > 0 else 0
        draw.rectangle([(x + int(c), bottom - h), (x + int(c) + step - 1, bottom)], fill=tuple(int(v) for v in colour))
    draw.text((x + 2, bottom + 1), _label(float(edges[0])), fill=(0, 0, 0), font=font)
    last = _label(float(edges[-1]))
    draw.text((x + width - 6 * len(last) - 2, bottom + 1), last, fill=(0, 0, 0), font=font)


def _label(value: float) -> str:
    if value >= 1e4:
        return f"{value:.2g}"
    return f"{value:.0f}" if value >= 10 or value == 0 else f"{value:.2g}"

