"""Native stages: every mode's reductions against plain NumPy reductions of copies of the same blocks, the sink's
chunks against the blocks themselves, the queue's bound, failing getters, snapshots taken while running."""
import threading

import numpy as np
import pytest

from vrexsdk import stages, simulator
from vrexsdk.chip import BinningParams

HIT_MODES = ["0:tpx3-dd-toa-tot", "0:tpx3-dd-toa-tot-vec", "0:tpx3-sorted-dd-toa-tot", "0:tpx3-seq-toa-tot",
             "0:tpx3-seq-toa-tot-vec"]
ITOT_MODES = ["0:tpx3-seq-itot-event", "0:tpx3-seq-itot-event-vec"]
BINNED = ["0:tpx3-binned-packets", "0:tpx3-binned-count-sums", "0:tpx3-binned-itot-sums"]
# Blocks that must not upset a reduction: empty, null pointers with counts, TDC stamps only, and masked pixels.
EDGE_BLOCKS = [{"hits": 300}, {"hits": 0}, {"hits": 7, "null": True}, {"hits": 0, "tdc": [2, 0, 1]}, {"hits": 50}]


def settings(kind="tpx3", **acquisition):
    model = simulator.model()
    for d in model["devices"]:
        if d["kind"] == kind:
            d["acquisition"].update(acquisition)
    simulator.configure(model)


def stages_for(mode, queue, raw=False):
    if raw:
        chosen = []
    elif mode in HIT_MODES:
        chosen = [stages.HitMap(), stages.TotHistogram(), stages.ToaHistogram()]
    elif mode in ITOT_MODES:
        chosen = [stages.HitMap(), stages.ItotHistogram()]
    elif mode == "0:tpx-medipix":
        chosen = [stages.FrameSum()]
    elif mode == "0:tpx3-binned-packets":
        chosen = [stages.HitMap(), stages.BinnedSums()]
    elif mode in BINNED:
        chosen = [stages.BinnedSums()]
    else:
        chosen = []
    return chosen + [stages.Sink(queue, chunk_events=1000)]


def run(device, mode, stream=False, kind="tpx3", chosen=None, **acq):
    """One acquisition through the stages (`chosen`, or those stages_for() the mode), with a plain callable beside
    them copying every block."""
    if not device.isOpened():
        settings(kind, **acq)
        device.open({"tpx3": "usb:vrex-sim-0", "tpx": "usb:vrex-sim-1"}[kind])
    device.chip.selectMode(mode, BinningParams(4, 2, 1000) if mode in BINNED else None)
    copies = []
    queue = stages.ChunkQueue(1 << 30)
    pipe = stages.Pipeline(device, stages_for(mode, queue, stream) if chosen is None else chosen, raw=stream,
                           callable=lambda *args: copies.append([a.copy() if isinstance(a, np.ndarray) else
                                                                 {"tdcs": [t.copy() for t in a["tdcs"]]}
                                                                 for a in args]))
    device.acq.begin(pipe.channel)
    device.acq.end(pipe.channel)
    pipe.flush()
    queue.close()
    return pipe.snapshot(), copies, list(queue)


def fields(block, names):
    """A copied block's hits as the named fields (records) or vectors, in that order; empty for an empty block."""
    first = block[0]
    if first.size == 0:
        return [np.zeros(0, np.int64)] * len(names)
    if first.dtype.names:
        return [first[n].astype(np.int64) for n in names]
    return [v.astype(np.int64) for v in block[:3]]


def adaptive(values, bins):
    """The ToA histogram's reference: origin at the first value, width doubled until the block's values fit."""
    counts, width, origin = np.zeros(bins, np.uint64), 1, None
    for v in values:
        if v.size == 0:
            continue
        origin = int(v.min()) if origin is None else origin
        while int(v.max()) - origin >= bins * width:
            counts = np.concatenate([counts.reshape(-1, 2).sum(1, dtype=np.uint64), np.zeros(bins // 2, np.uint64)])
            width *= 2
        counts += np.bincount(((v - origin) // width).astype(np.intp), minlength=bins).astype(np.uint64)
    return counts, width, origin or 0


def pixel_map(addresses, weights=None):
    return np.bincount(addresses.astype(np.intp), weights, minlength=65536)[:65536].astype(np.uint64).reshape(256, 256)


@pytest.mark.parametrize("mode", HIT_MODES + ITOT_MODES)
@pytest.mark.parametrize("script", [None, "long", EDGE_BLOCKS], ids=["generated", "long", "edges"])
def test_hit_reductions_equal_numpy_over_copies(device, mode, script):
    # "long": blocks of many more hits than the histograms have bins, which count them in private copies
    acq = {"hits": 40000 if script else 4000, "block_count": 5} if script in (None, "long") else {"blocks": script}
    if script in (None, "long"):  # masked pixels deliver nothing
        settings(**acq)
        device.open("usb:vrex-sim-0")
        mask = device.config.getMask()
        mask[:100, 40:50] = 1
        device.config.setMask(mask)
    snap, copies, _ = run(device, mode, **acq)
    assert snap.blocks == len(copies) == 5 and snap.failed == snap.ignored == 0
    if mode in ITOT_MODES:
        address, events, itot = (np.concatenate(c) for c in zip(*(fields(b, ["address", "event", "itot"])
                                                                    for b in copies)))
        np.testing.assert_array_equal(snap["hit_map"]["counts"], pixel_map(address, events))
        np.testing.assert_array_equal(snap["hit_map"]["itot"], pixel_map(address, itot))
        hist = snap["itot_histogram"]
        np.testing.assert_array_equal(hist["counts"], np.bincount(itot // 16, minlength=4096)[:4096])
        return
    per_block = [fields(b, ["address", "toa", "tot"]) for b in copies]
    address, toa, tot = (np.concatenate(c) for c in zip(*per_block))
    np.testing.assert_array_equal(snap["hit_map"]["counts"], pixel_map(address))
    assert snap.hits == len(address) == snap["hit_map"]["counts"].sum()
    np.testing.assert_array_equal(snap["tot_histogram"]["counts"], np.bincount(tot, minlength=1024)[:1024])
    assert snap["tot_histogram"]["overflow"] == int((tot >= 1024).sum())
    counts, width, origin = adaptive([b[1] for b in per_block], 1024)
    toa_hist = snap["toa_histogram"]
    np.testing.assert_array_equal(toa_hist["counts"], counts)
    assert (toa_hist["bin_width"], toa_hist["origin"]) == (width, origin)
    if "dd" in mode:
        assert snap.tdc == tuple(sum(len(b[-1]["tdcs"][i]) for b in copies) for i in range(3))
    if script in (None, "long"):
        assert snap["hit_map"]["counts"][40:50, :100].sum() == 0 and snap.hits > 0


@pytest.mark.parametrize("mode", ["0:tpx3-dd-toa-tot", "0:tpx3-seq-toa-tot-vec"])
@pytest.mark.parametrize("chosen", [
    lambda: [stages.HitMap(), stages.TotHistogram(bins=100, bin_width=3)],
    lambda: [stages.ToaHistogram(bins=64), stages.TotHistogram(bins=512, bin_width=2)],
    lambda: [stages.ToaHistogram(), stages.HitMap(), stages.HitMap(label="again"), stages.TotHistogram(bins=8192)],
], ids=["map-tot", "toa-tot", "second-map-wide-tot"])
def test_stages_sharing_a_pass_reduce_as_alone(device, mode, chosen):
    # Long blocks: the hit map and the ToT/ToA histograms of one pipeline count them in one shared pass
    snap, copies, _ = run(device, mode, chosen=chosen(), hits=40000, block_count=4)
    per_block = [fields(b, ["address", "toa", "tot"]) for b in copies]
    address, toa, tot = (np.concatenate(c) for c in zip(*per_block))
    for stage in chosen():
        got = snap[stage.label]
        if isinstance(stage, stages.HitMap):
            np.testing.assert_array_equal(got["counts"], pixel_map(address))
        elif stage.settings["quantity"] == "tot":
            bins, index = stage.settings["bins"], tot // stage.settings["bin_width"]
            np.testing.assert_array_equal(got["counts"], np.bincount(index, minlength=bins)[:bins])
            assert got["overflow"] == int((index >= bins).sum())
        else:
            counts, width, origin = adaptive([b[1] for b in per_block], stage.settings["bins"])
            np.testing.assert_array_equal(got["counts"], counts)
            assert (got["bin_width"], got["origin"]) == (width, origin)


@pytest.mark.parametrize("mode,kind,raw", [("0:tpx-medipix", "tpx", False), ("0:tpx3-binned-packets", "tpx3", False),
                                           ("0:tpx3-binned-count-sums", "tpx3", False),
                                           ("0:tpx3-binned-itot-sums", "tpx3", False),
                                           ("0:tpx3-dd-toa-tot", "tpx3", True)])
def test_frame_binned_and_raw_reductions_equal_numpy_over_copies(device, mode, kind, raw):
    snap, copies, chunks = run(device, mode, stream=raw, kind=kind, block_count=3, frames=2, raw=3000)
    assert snap.blocks == len(copies) == 3
    if mode == "0:tpx-medipix":
        frames = np.concatenate([b[0] for b in copies]).reshape(-1, 256, 256)
        np.testing.assert_array_equal(snap["frame_sum"]["sum"], frames.sum(0, dtype=np.uint64))
        assert snap.frames == snap["frame_sum"]["frames"] == 6
    elif raw:
        assert snap.bytes == sum(b[0].size for b in copies) > 0
    else:
        sums = snap["binned_sums"]
        for name, index in (("hit_sums", -2), ("itot_sums", -1)):
            expected = [b[index] for b in copies if mode == "0:tpx3-binned-packets" or name[:3] in mode]
            if expected:
                np.testing.assert_array_equal(sums[name], np.sum(expected, axis=0, dtype=np.uint64))
        if mode == "0:tpx3-binned-packets":
            packets = np.concatenate([b[0] for b in copies])
            np.testing.assert_array_equal(snap["hit_map"]["counts"], pixel_map(packets["address"], packets["count"]))
            assert sums["packets"] == len(packets)


@pytest.mark.parametrize("mode,kind,raw", [("0:tpx3-dd-toa-tot", "tpx3", False), ("0:tpx3-seq-toa-tot-vec", "tpx3", False),
                                           ("0:tpx3-seq-itot-event", "tpx3", False), ("0:tpx-medipix", "tpx", False),
                                           ("0:tpx3-binned-packets", "tpx3", False), ("0:tpx3-dd-toa-tot", "tpx3", True)])
def test_sink_chunks_hold_every_block_exactly(device, mode, kind, raw):
    snap, copies, chunks = run(device, mode, stream=raw, kind=kind, block_count=6, hits=700, frames=1, raw=500)
    assert np.concatenate([c["blocks"] for c in chunks]).tolist() == list(range(6))
    assert snap["sink"]["copied_blocks"] == 6 and snap.lost_blocks == 0
    group, columns = {"0:tpx-medipix": ("frames", ["counts"]), "0:tpx3-binned-packets": ("packets", ["address", "count", "itot"]),
                      "0:tpx3-seq-itot-event": ("events", ["address", "event", "itot"])}.get(
        mode, ("events", ["address", "toa", "tot"]))
    if raw:
        group, columns = "raw", ["bytes"]
    for i, name in enumerate(columns):
        stored = np.concatenate([c[group][name] for c in chunks])
        if mode == "0:tpx-medipix" or raw:
            delivered = np.concatenate([b[0] for b in copies])
        elif copies[0][0].dtype.names:
            delivered = np.concatenate([b[0][name] for b in copies])
        else:
            delivered = np.concatenate([b[i] for b in copies])
        np.testing.assert_array_equal(stored, delivered)
    if mode == "0:tpx3-dd-toa-tot" and not raw:
        for tdc in range(3):
            stored = np.concatenate([c[f"tdc{tdc}"]["time"] for c in chunks])
            np.testing.assert_array_equal(stored, np.concatenate([b[1]["tdcs"][tdc] for b in copies]).astype(np.uint64))


@pytest.mark.parametrize("on_full", ["drop", "wait"])
def test_a_full_queue_drops_and_counts_or_waits(opened, on_full):
    settings(hits=1000, block_count=40)
    opened.open("usb:vrex-sim-0")
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    queue = stages.ChunkQueue(max_bytes=40000, on_full=on_full)  # about two blocks
    received = []
    reader = threading.Thread(target=lambda: received.extend(queue))
    if on_full == "wait":
        reader.start()
    pipe = stages.Pipeline(opened, [stages.Sink(queue, chunk_events=1000)])
    opened.acq.begin(pipe.channel)
    opened.acq.end(pipe.channel)
    pipe.flush()
    queue.close()
    if on_full == "drop":
        reader.start()
    reader.join()
    s, snap = queue.stats, pipe.snapshot()
    kept = sum(len(c["blocks"]) for c in received)
    assert kept + s.dropped_blocks == 40 == snap.blocks
    assert snap.lost_blocks == s.dropped_blocks == snap["sink"]["dropped_blocks"]
    assert (s.dropped_blocks > 0) == (on_full == "drop") and s.peak_bytes <= 40000


def test_a_failing_getter_is_counted_with_its_message(opened):
    settings(block_count=4)
    opened.open("usb:vrex-sim-0")
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    pipe = stages.Pipeline(opened, [stages.HitMap()])
    simulator.fail("vrex_acq_tpx3_get_packets", -2, "link lost")
    opened.acq.begin(pipe.channel)
    opened.acq.end(pipe.channel)
    snap = pipe.snapshot()
    assert (snap.failed, snap.blocks, snap.error, snap.lost_blocks) == (1, 3, "link lost", 1)


def test_snapshots_while_running_agree_across_stages(opened):
    settings(hits=2000, block_count=400)
    opened.open("usb:vrex-sim-0")
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    pipe = stages.Pipeline(opened, [stages.HitMap(), stages.TotHistogram(), stages.ToaHistogram()])
    opened.acq.begin(pipe.channel)
    seen = []
    while len(seen) < 400 and (not seen or seen[-1].blocks < 400):
        snap = pipe.snapshot()
        seen.append(snap)
        hist = snap["tot_histogram"]
        assert snap["hit_map"]["counts"].sum() == snap.hits == hist["counts"].sum() + hist["overflow"]
        assert snap["toa_histogram"]["counts"].sum() == snap.hits
    opened.acq.end(pipe.channel)
    assert pipe.snapshot().blocks == 400


def test_limit_ignores_later_blocks_and_dropping_the_pipeline_stops_it(opened):
    settings(block_count=4)
    opened.open("usb:vrex-sim-0")
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    pipe = stages.Pipeline(opened, [stages.HitMap()], limit=2)
    opened.acq.begin(pipe.channel)
    assert pipe.wait_full(30)
    opened.acq.end(pipe.channel)
    snap = pipe.snapshot()
    assert (snap.blocks, snap.ignored, snap.full) == (2, 2, True)
    del pipe  # the SDK still delivers to the channel's registration: nothing is run, nothing breaks
    opened.acq.begin("ch0")
    opened.acq.end("ch0")


@pytest.mark.parametrize("make,error,match", [
    (lambda q: [stages.FrameSum()], ValueError, "takes no blocks of mode '0:tpx3-dd-toa-tot'"),
    (lambda q: [stages.HitMap(), stages.HitMap()], ValueError, "two stages are labelled 'hit_map'"),
    (lambda q: [object()], TypeError, "Stage objects"),
    (lambda q: [stages.Histogram("energy")], ValueError, "quantity must be one of"),
    (lambda q: [stages.TotHistogram(bins=0)], ValueError, "bins must be a positive integer"),
    (lambda q: [stages.Sink("queue")], TypeError, "must be a ChunkQueue"),
    (lambda q: [stages.Sink(q, chunk_events=0)], ValueError, "chunk_events"),
    (lambda q: [type("Custom", (stages.Stage,), {"kind": "nope"})()], ValueError, "unknown stage kind 'nope'"),
])
def test_bad_stages_are_refused_before_any_block(opened, make, error, match):
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    with pytest.raises(error, match=match):
        stages.Pipeline(opened, make(stages.ChunkQueue()))


@pytest.mark.parametrize("args,match", [({"max_bytes": 0}, "max_bytes"), ({"on_full": "block"}, "on_full")])
def test_bad_queue_settings_are_refused(args, match):
    with pytest.raises(ValueError, match=match):
        stages.ChunkQueue(**args)


def test_a_closed_device_or_unknown_channel_is_refused(device, opened):
    with pytest.raises(ValueError, match="unknown channel"):
        stages.Pipeline(opened, [], channel="ch9")
    opened.close()
    with pytest.raises(ValueError, match="not open"):
        stages.Pipeline(opened, [])


@pytest.mark.parametrize("then", ["pipeline", "setDataCallback", "finalize"])
def test_a_replaced_registration_releases_its_callables(device, then):
    # A pipeline's registration replaces the channel's callable as setDataCallback does, and is replaced the same
    # way: once the channel is idle, nothing keeps a replaced callable alive.
    import gc
    import weakref

    class Callable:
        def __call__(self, *args):
            pass

    settings(hits=10, block_count=2)
    device.open("usb:vrex-sim-0")
    device.chip.selectMode("0:tpx3-dd-toa-tot")
    plain, beside = Callable(), Callable()
    refs = weakref.ref(plain), weakref.ref(beside)
    device.acq.setDataCallback("ch0", plain)
    pipe = stages.Pipeline(device, [stages.HitMap()], channel="ch0", callable=beside)
    device.acq.begin("ch0")
    device.acq.end("ch0")
    del plain, beside, pipe
    gc.collect()
    assert [r() is None for r in refs] == [True, False]
    {"pipeline": lambda: stages.Pipeline(device, [stages.HitMap()], channel="ch0"),
     "setDataCallback": lambda: device.acq.setDataCallback("ch0", print),
     "finalize": device.finalize}[then]()
    gc.collect()
    assert [r() is None for r in refs] == [True, True]
