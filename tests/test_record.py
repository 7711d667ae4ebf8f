"""record(): what a whole acquisition reduces to, checked against scripted blocks and the simulator's data."""
import datetime
import json
import numpy as np
import pytest

import vrexsdk
from vrexsdk import events, simulator
from vrexsdk.errors import VrexSdkInternalException, VrexSdkInvalidOperationError
from vrexsdk.chip import BinningParams
from vrexsdk.record import BINNED_MODES, HIT_MODES, Recording, RecordingInterrupted, load, record

ENDLESS = {"block_count": 10**9, "interval_s": 0.002, "hits": 50}


def acquisition(kind="tpx3", **settings):
    """The default model with the acquisition settings of the device of `kind` changed."""
    model = simulator.model()
    for d in model["devices"]:
        if d["kind"] == kind:
            d["acquisition"].update({"seed": 1, **settings})  # fixed: tests compare runs with plain copies
    simulator.configure(model)


def open_kind(device, kind):
    device.open({"tpx3": "usb:vrex-sim-0", "tpx": "usb:vrex-sim-1"}[kind])
    return device


def address(x, y):
    return y * 256 + x


# Scripted hits as (x, y, ToT or iToT, ToA or event count); each mode's record fields come in its own order.
HITS = [(0, 0, 5, 100), (3, 7, 5, 130), (3, 7, 9, 170), (255, 255, 1023, 4000), (10, 200, 2000, 90)]


def scripted_block(mode):
    itot = "itot-event" in mode
    if mode.endswith("-vec"):
        addresses = [address(x, y) for x, y, _, _ in HITS]
        if itot:
            return {"vectors": {"addresses": addresses, "events": [e for *_, e in HITS],
                                "itots": [min(v, 65535) for _, _, v, _ in HITS]}}
        return {"vectors": {"addresses": addresses, "toa": [t for *_, t in HITS], "tot": [v for _, _, v, _ in HITS]}}
    return {"records": [[address(x, y), v, t] for x, y, v, t in HITS]}


@pytest.mark.parametrize("mode", HIT_MODES)
def test_scripted_hits_give_exact_maps_and_histograms(opened, mode):
    acquisition(blocks=[scripted_block(mode)] * 3)  # closes the device: open it again
    opened.open("usb:vrex-sim-0")
    rec = record(opened, mode)
    assert rec.blocks == 3 and rec.hits == 3 * len(HITS) and rec.ignored == 0 and rec.outside == 0
    if "itot-event" in mode:
        assert rec.kind == "itot-events"
        expected = np.zeros((256, 256), np.uint64)
        for x, y, _, events in HITS:
            expected[y, x] += 3 * events  # the hit map counts events
        np.testing.assert_array_equal(rec.hit_map, expected)
        assert rec.itot_map[7, 3] == 3 * (5 + 9)
        assert rec.itot_histogram.total == 3 * len(HITS)
    else:
        assert rec.kind == "hits"
        assert rec.hit_map[7, 3] == 6 and rec.hit_map[0, 0] == 3 and rec.hit_map[255, 255] == 3
        assert rec.hit_map[200, 10] == 3 and rec.hit_map.sum() == 3 * len(HITS)
        tot = rec.tot_histogram
        assert tot.counts[5] == 6 and tot.counts[9] == 3 and tot.counts[1023] == 3 and tot.overflow == 3
        toa = rec.toa_histogram
        assert toa.origin == 90 and toa.total == 3 * len(HITS) and toa.underflow == toa.overflow == 0
        assert toa.counts.sum() == 3 * len(HITS) and len(toa.counts) == 1024
        # every ToA falls in the bin its edges say
        edges = toa.edges
        for _, _, _, t in HITS:
            i = int((t - toa.origin) // toa.bin_width)
            assert edges[i] <= t < edges[i + 1] and toa.counts[i] >= 3


def test_addresses_outside_the_matrix_are_counted_apart(opened):
    acquisition(blocks=[{"records": [[65536, 1, 1], [address(1, 2), 1, 2], [2**32 - 1, 1, 3]]}])
    opened.open("usb:vrex-sim-0")
    rec = record(opened, "0:tpx3-dd-toa-tot")
    assert rec.hits == 3 and rec.outside == 2 and rec.hit_map.sum() == 1 and rec.hit_map[2, 1] == 1


def test_empty_blocks_count_as_blocks(opened):
    acquisition(blocks=[{"records": []}, {"records": [[5, 1, 1]]}, {}])
    opened.open("usb:vrex-sim-0")
    rec = record(opened, "0:tpx3-dd-toa-tot")
    assert rec.blocks == 3 and rec.hits == 1


def test_masked_pixels_stay_empty_in_hit_maps(opened):
    acquisition(hits=2000, block_count=3)
    opened.open("usb:vrex-sim-0")
    mask = opened.config.getMask()
    mask[:128, 50:60] = 1  # x < 128, 50 <= y < 60
    opened.config.setMask(mask)
    rec = record(opened, "0:tpx3-dd-toa-tot")
    assert rec.hit_map[50:60, :128].sum() == 0
    assert rec.hit_map[50:60, 128:].sum() > 0 and rec.hit_map.sum() == rec.hits
    assert np.all(rec.image()[mask.T != 0] == 0)
    assert rec.metadata["masked_pixels"] == 128 * 10


def test_masked_pixels_stay_empty_in_summed_frames(device):
    acquisition("tpx", block_count=2, frames=2)
    open_kind(device, "tpx")
    mask = device.config.getMask()
    mask[200:, :] = 1
    device.config.setMask(mask)
    rec = record(device, "0:tpx-medipix")
    assert rec.kind == "frames" and rec.frames == 4 and rec.blocks == 2
    live = ~simulator.pixel_parameters()["dead"]  # dead pixels count nothing either
    assert rec.summed_frame[:, 200:].sum() == 0 and rec.summed_frame[:, :200][live[:, :200]].min() > 0


def plain_copies(device, mode, params=None, raw=False):
    """Every block of one acquisition, copied by a plain callable: what record() must reduce."""
    device.chip.selectMode(mode, params)
    blocks = []

    def keep(*args):
        blocks.append([a.copy() for a in args if isinstance(a, np.ndarray)])

    (device.acq.setRawDataCallback if raw else device.acq.setDataCallback)("ch0", keep)
    device.acq.begin("ch0")
    device.acq.end("ch0")
    return blocks


def test_summed_frames_are_the_sum_of_the_frames(device):
    acquisition("tpx", block_count=3, frames=2)
    open_kind(device, "tpx")
    copies = plain_copies(device, "0:tpx-medipix")  # generated data repeat for the same seed and block
    expected = sum(b[0].reshape(-1, 256, 256).sum(axis=0, dtype=np.uint64) for b in copies)
    rec = record(device, "0:tpx-medipix")
    np.testing.assert_array_equal(rec.summed_frame, expected)
    np.testing.assert_array_equal(rec.image(), expected)


@pytest.mark.parametrize("mode", BINNED_MODES)
def test_binned_sums_accumulate_over_blocks(opened, mode):
    acquisition(block_count=3)
    opened.open("usb:vrex-sim-0")
    params = BinningParams(4, 2, 1000)
    copies = plain_copies(opened, mode, params)
    rec = record(opened, mode, binning=(4, 2, 1000))
    assert rec.kind == "binned" and rec.blocks == 3 and rec.metadata["binning"] == [4, 2, 1000]
    if mode == "0:tpx3-binned-packets":
        np.testing.assert_array_equal(rec.hit_sums, sum(b[2] for b in copies))
        np.testing.assert_array_equal(rec.itot_sums, sum(b[3] for b in copies))
        assert rec.packets == sum(len(b[0]) for b in copies)
        assert rec.hit_map.sum() == sum(int(b[0]["count"].sum()) for b in copies)
    else:
        sums = rec.itot_sums if mode.endswith("itot-sums") else rec.hit_sums
        np.testing.assert_array_equal(sums, sum(b[0] for b in copies))
        assert rec.image().shape == (2, 4)


def test_raw_bytes_are_counted_and_kept_on_request(opened):
    acquisition(block_count=2, raw=1000)
    opened.open("usb:vrex-sim-0")
    copies = plain_copies(opened, "0:tpx3-dd-toa-tot", raw=True)
    rec = record(opened, "0:tpx3-dd-toa-tot", raw=True, keep_raw=True)
    assert rec.kind == "raw" and rec.byte_count == sum(len(b[0]) for b in copies) > 0
    assert rec.raw == b"".join(b[0].tobytes() for b in copies)
    assert record(opened, "0:raw-data").raw is None
    with pytest.raises(ValueError, match="no image"):
        rec.image()


@pytest.mark.parametrize("mode, kind", [("0:tpx3-dd-toa-tot-vec", "hits"), ("0:tpx3-seq-itot-event", "itot-events"),
                                        ("0:tpx3-binned-packets", "binned"), ("0:raw-data", "raw")])
def test_without_a_mode_the_selected_one_is_recognised(opened, mode, kind):
    opened.chip.selectMode(mode)
    rec = record(opened)
    assert rec.kind == kind and rec.blocks > 0 and rec.mode is None


@pytest.mark.parametrize("limit", [1, 5])
def test_blocks_stop_an_endless_acquisition_after_exactly_that_many(opened, limit):
    acquisition(**ENDLESS)
    opened.open("usb:vrex-sim-0")
    seen = []
    rec = record(opened, "0:tpx3-dd-toa-tot", blocks=limit, progress=seen.append)
    assert rec.blocks == limit and rec.hits == limit * 50 and not rec.interrupted
    assert seen and seen[-1].blocks == limit and seen[-1].events == rec.hits and seen[-1].unit == "hits"
    assert [p.blocks for p in seen] == sorted(p.blocks for p in seen)
    with pytest.raises(VrexSdkInvalidOperationError, match="No acquisition was begun"):
        opened.acq.end("ch0")  # nothing left to end: the run was stopped and ended


def test_seconds_stop_an_endless_acquisition(opened):
    acquisition(**ENDLESS)
    opened.open("usb:vrex-sim-0")
    rec = record(opened, "0:tpx3-dd-toa-tot", seconds=0.2, channel="ch1")
    assert rec.blocks > 0 and rec.channel == "ch1" and not rec.interrupted
    # the channel is free again, and a block delivered to the finished recording's callable changes nothing
    before = rec.hit_map.copy()
    again = record(opened, "0:tpx3-dd-toa-tot", blocks=2, channel="ch1")
    assert again.blocks == 2
    np.testing.assert_array_equal(rec.hit_map, before)


@pytest.mark.parametrize("limits, blocks, acquisitions", [({}, 3, 1), ({"blocks": 7, "seconds": 60}, 7, 3)])
def test_an_acquisition_ending_by_itself_ends_the_recording_unless_limits_ask_for_more(opened, limits, blocks,
                                                                                       acquisitions):
    acquisition(block_count=3)
    opened.open("usb:vrex-sim-0")
    rec = record(opened, "0:tpx3-seq-toa-tot", **limits)
    assert rec.blocks == blocks and rec.metadata["acquisitions"] == acquisitions


def test_metadata_records_the_settings_at_the_start(opened):
    opened.chip.setDacValue("Vfbk", 160)
    opened.chip.setThreshold("THL0", 6.5)
    rec = record(opened, "0:tpx3-dd-toa-tot", blocks=2)
    meta = rec.metadata
    assert meta["mode"] == "0:tpx3-dd-toa-tot" and meta["channel"] == "ch0" and meta["blocks"] == 2
    assert meta["dacs"]["Vfbk"] == 160 and len(meta["dacs"]) == len(opened.chip.getDacIds())
    assert meta["thresholds"]["THL0"]["kev"] == pytest.approx(6.5)
    assert meta["thresholds"]["THL0"]["raw"] == opened.chip.getRawThreshold("THL0")
    assert meta["device"]["serial_number"] == "VX3-1000" and meta["device"]["connection_string"] == "usb:vrex-sim-0"
    assert meta["revisions"] == {"firmware": "1.4.2", "hardware": "rev-B", "fpga": "0x2A11"}
    assert meta["chips"] == [{"id": "W0028_H05", "polarity": "positive"}]
    assert meta["package_version"] == vrexsdk.__version__
    assert datetime.datetime.fromisoformat(meta["start_time"]).tzinfo is not None
    assert meta["duration"] == rec.duration >= 0


def test_a_failing_getter_leaves_its_entry_empty(opened):
    simulator.fail("vrex_chip_dac_value_get", -1, "refused", count=-1)
    rec = record(opened, "0:tpx3-dd-toa-tot", blocks=1)
    simulator.clear_faults()
    assert rec.blocks == 1 and set(rec.metadata["dacs"].values()) == {None}


@pytest.mark.parametrize("kwargs, message", [
    ({"mode": "0:nope"}, "unknown mode"),
    ({"mode": "0:tpx3-dd-toa-tot", "channel": "ch9"}, "unknown channel"),
    ({"mode": "0:tpx3-dd-toa-tot", "blocks": 0}, "blocks"),
    ({"mode": "0:tpx3-dd-toa-tot", "blocks": 2.5}, "blocks"),
    ({"mode": "0:tpx3-dd-toa-tot", "seconds": -1}, "seconds"),
    ({"mode": "0:tpx3-dd-toa-tot", "seconds": float("nan")}, "seconds"),
    ({"mode": "0:tpx3-dd-toa-tot", "binning": (2, 2, 10)}, "takes no binning"),
    ({"binning": (2, 2, 10)}, "binning needs"),
    ({"mode": "0:tpx3-binned-count-sums", "binning": (0, 2, 10)}, "positive"),
    ({"mode": "0:tpx3-binned-count-sums", "binning": "big"}, "three integers"),
])
def test_bad_arguments_raise_before_anything_runs(opened, kwargs, message):
    simulator.clear_calls()
    simulator.record_calls()
    with pytest.raises(ValueError, match=message):
        record(opened, **kwargs)
    simulator.record_calls(False)
    assert not [c for c in simulator.calls() if c[0] in ("vrex_acq_begin", "vrex_acq_set_data_callback")]


def test_a_closed_device_is_refused(device):
    with pytest.raises(ValueError, match="not open"):
        record(device, "0:tpx3-dd-toa-tot")


def test_an_sdk_refusal_to_begin_propagates_and_leaves_nothing_running(opened):
    simulator.fail("vrex_acq_begin", -1, "no sensor power")
    with pytest.raises(VrexSdkInternalException, match="no sensor power"):
        record(opened, "0:tpx3-dd-toa-tot", blocks=1)
    assert record(opened, "0:tpx3-dd-toa-tot", blocks=1).blocks == 1


@pytest.mark.parametrize("suffix", [".npz", ".data", ".h5"])
def test_save_and_load_round_trip(opened, tmp_path, suffix):
    if suffix == ".h5":
        pytest.importorskip("h5py")
    rec = record(opened, "0:tpx3-dd-toa-tot", blocks=3)
    path = tmp_path / ("run" + suffix)
    rec.save(path)
    assert path.exists() and len(list(tmp_path.iterdir())) == 1  # written at exactly that path
    back = load(path)
    assert isinstance(back, Recording)
    for name in ("mode", "channel", "kind", "blocks", "hits", "tdc_counts", "interrupted", "duration"):
        assert getattr(back, name) == getattr(rec, name), name
    np.testing.assert_array_equal(back.hit_map, rec.hit_map)
    for name in ("tot_histogram", "toa_histogram"):
        a, b = getattr(rec, name), getattr(back, name)
        np.testing.assert_array_equal(a.counts, b.counts)
        assert (a.origin, a.bin_width, a.underflow, a.overflow) == (b.origin, b.bin_width, b.underflow, b.overflow)
    assert back.metadata == json.loads(json.dumps(rec.metadata))


def test_npz_holds_the_metadata_as_json(opened, tmp_path):
    record(opened, "0:tpx3-seq-toa-tot", blocks=1).save(tmp_path / "r.npz")
    with np.load(tmp_path / "r.npz") as f:
        assert json.loads(f["metadata"].item())["mode"] == "0:tpx3-seq-toa-tot"
        assert f["hit_map"].shape == (256, 256)


def test_png_is_colour_mapped(opened, tmp_path):
    Image = pytest.importorskip("PIL.Image")
    rec = record(opened, "0:tpx3-dd-toa-tot", blocks=2)
    for log in (True, False):
        rec.save_png(tmp_path / "map.png", log=log)
        with Image.open(tmp_path / "map.png") as picture:
            assert picture.format == "PNG" and picture.width > 256 and picture.height >= 256
            colours = picture.convert("RGB").getcolors(maxcolors=1 << 20)
            assert len(colours) > 10  # the map, the scale bar and its labels


@pytest.mark.parametrize("blocked, call, hint", [
    ("PIL", "rec.save_png(path + '.png')", 'pip install "vrexsdk[cli]"'),
    ("h5py", "rec.save(path + '.h5')", 'pip install "vrexsdk[hdf5]"'),
])
def test_missing_extras_are_named(run_python, tmp_path, blocked, call, hint):
    result = run_python(f"""
        import sys
        sys.modules[{blocked!r}] = None
        from vrexsdk import vrex
        from vrexsdk.record import record
        d = vrex.Device()
        d.open(d.enumerate()[0].connectionString)
        rec = record(d, "0:tpx3-dd-toa-tot", blocks=1)
        path = {str(tmp_path / "out")!r}
        try:
            {call}
        except ModuleNotFoundError as e:
            print("refused:", e)
        d.close()
        d.finalize()
    """)
    assert result.returncode == 0, result.stderr
    assert "refused:" in result.stdout and hint in result.stdout
    assert list(tmp_path.iterdir()) == []


def test_ctrl_c_keeps_what_was_accumulated(run_python):
    result = run_python(f"""
        import os, signal
        from vrexsdk import simulator, vrex
        from vrexsdk.record import RecordingInterrupted, record
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even if the suite runs with SIGINT ignored
        model = simulator.model()
        model["devices"][0]["acquisition"].update({ENDLESS!r})
        simulator.configure(model)
        d = vrex.Device()
        d.open("usb:vrex-sim-0")

        fired = []

        def interrupt(progress):  # Ctrl-C once a few blocks are in
            if progress.blocks >= 5 and not fired:
                fired.append(True)
                os.kill(os.getpid(), signal.SIGINT)

        try:
            record(d, "0:tpx3-dd-toa-tot", progress=interrupt, progress_interval=0.02)
        except RecordingInterrupted as stopped:
            rec = stopped.recording
            print("interrupted", rec.interrupted, rec.blocks >= 5, rec.hits == 50 * rec.blocks,
                  isinstance(stopped, KeyboardInterrupt))
        print("again", record(d, "0:tpx3-dd-toa-tot", blocks=2).blocks)
        d.close()
        d.finalize()
    """)
    assert result.returncode == 0, result.stderr
    assert "interrupted True True True True" in result.stdout and "again 2" in result.stdout


@pytest.mark.parametrize("kind, mode", [("tpx3", "0:tpx3-dd-toa-tot"), ("tpx3", "0:tpx3-seq-itot-event"),
                                        ("tpx", "0:tpx-medipix")])
def test_record_leaves_no_accumulators_behind(device, kind, mode):
    # Each call registers its own callable, which the SDK keeps until another replaces it: what stays behind
    # must be the callable's bookkeeping, not its maps and histograms (half a megabyte and more).
    import gc
    import tracemalloc

    open_kind(device, kind)
    calls = 20
    record(device, mode, blocks=1)
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        results = [record(device, mode, blocks=1).blocks for _ in range(calls)]
        gc.collect()
        per_call = (tracemalloc.get_traced_memory()[0] - start) / calls
    finally:
        tracemalloc.stop()
    assert results == [1] * calls and per_call < 16384, per_call


# ---- the native path: event files, lost blocks, failures --------------------------------------------------------

def test_a_run_without_hits_gives_an_all_zero_hit_map(opened, tmp_path):
    acquisition(blocks=[{"hits": 0}, {"hits": 0, "tdc": [1, 0, 0]}])
    opened.open("usb:vrex-sim-0")
    rec = record(opened, "0:tpx3-dd-toa-tot")
    assert rec.hits == 0 and rec.hit_map.shape == (256, 256) and not rec.hit_map.any() and rec.tdc_counts[0] == 1
    rec.save_png(tmp_path / "empty.png")
    assert (tmp_path / "empty.png").stat().st_size > 0


def test_events_go_to_the_file_beside_the_reductions(opened, tmp_path):
    acquisition(block_count=4)
    opened.open("usb:vrex-sim-0")
    reports = []
    rec = record(opened, "0:tpx3-dd-toa-tot", events=tmp_path / "run.h5", progress=reports.append)
    with events.open_events(tmp_path / "run.h5") as f:
        assert f.complete and f.acquisition["blocks"] == rec.blocks == 4 and f.acquisition["lost_blocks"] == 0
        ids = f.read()["event_id"]
        np.testing.assert_array_equal(np.bincount(ids, minlength=65536).reshape(256, 256), rec.hit_map)
        np.testing.assert_array_equal(f.reduction("hit_map"), rec.hit_map)
    assert rec.events_path == str(tmp_path / "run.h5") and reports[-1].lost_blocks == 0


def test_a_writer_that_falls_behind_loses_blocks_counted_everywhere(opened, tmp_path, monkeypatch):
    import time
    from vrexsdk.record import LostBlocksWarning

    acquisition(hits=1000, block_count=40)
    opened.open("usb:vrex-sim-0")
    write = events.EventWriter.write

    def slow_write(self, chunk):  # held until the full queue has dropped a chunk
        for _ in range(3000):
            if self.queue.stats.dropped_blocks or self.queue.stats.closed:
                break
            time.sleep(0.01)
        write(self, chunk)

    monkeypatch.setattr(events.EventWriter, "write", slow_write)
    reports = []
    with pytest.warns(LostBlocksWarning, match="blocks were lost"):
        rec = record(opened, "0:tpx3-dd-toa-tot", events=tmp_path / "slow.h5", queue_bytes=40000, chunk_events=1024,
                     progress=reports.append)
    with events.open_events(tmp_path / "slow.h5") as f:
        written, lost = f.acquisition["written_blocks"], f.acquisition["lost_blocks"]
    assert lost == rec.lost_blocks == reports[-1].lost_blocks > 0 and written + lost == rec.blocks == 40
    assert "LOST" in rec.summary()


def test_an_unwritable_event_file_fails_before_the_acquisition(opened, tmp_path, recording):
    with pytest.raises(OSError, match="cannot create the event file"):
        record(opened, "0:tpx3-dd-toa-tot", events=tmp_path / "missing" / "run.h5")
    assert "vrex_acq_begin" not in [name for name, _ in recording()]


@pytest.mark.parametrize("stop", ["ctrl-c", "full disk"])
def test_a_stopped_recording_leaves_a_readable_file(run_python, tmp_path, stop):
    path = tmp_path / "run.h5"
    done = run_python(f"""
        import os, resource, signal, threading, time
        from vrexsdk import events, simulator, vrex
        from vrexsdk.record import RecordingInterrupted, record
        model = simulator.model()
        model["devices"][0]["acquisition"].update(block_count=10**9, interval_s=0.002, hits=2000)
        simulator.configure(model)
        d = vrex.Device(); d.open("usb:vrex-sim-0")
        sent, started = [], time.monotonic()
        def progress(p):
            if p.blocks >= 20 and {stop!r} == "ctrl-c" and not sent:
                sent.append(os.kill(os.getpid(), signal.SIGINT))
            if {stop!r} == "full disk" and not sent and time.monotonic() - started > 1.5:
                # Once the writer has flushed a few times, writes 1 MiB beyond the file's size fail as on a full disk.
                size = os.path.getsize({str(path)!r}) + (1 << 20)
                sent.append(resource.setrlimit(resource.RLIMIT_FSIZE, (size, size)))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            rec = record(d, "0:tpx3-dd-toa-tot", events={str(path)!r}, chunk_events=4096, progress=progress)
        except RecordingInterrupted as e:
            print("interrupted", e.recording.blocks)
        except OSError as e:
            print("failed", e.recording.blocks, flush=True)
        d.close()  # and the interpreter exits as usual: nothing of the failed file is left for HDF5 to crash on
    """)
    assert done.returncode == 0, done.stderr
    outcome, blocks, *_ = done.stdout.split()
    with events.open_events(path) as f:
        acq = f.acquisition
        if stop == "ctrl-c":
            assert outcome == "interrupted" and f.complete and acq["interrupted"]
            assert acq["written_blocks"] == acq["blocks"] == int(blocks) and acq["lost_blocks"] == 0
        else:
            # Stopped with a clear error, the file opens and says it is incomplete; what HDF5 had extended past
            # the last good flush may read back as zeros.
            assert outcome == "failed" and not f.complete and int(blocks) > 0
            assert len(f.read()["event_id"]) > 0
