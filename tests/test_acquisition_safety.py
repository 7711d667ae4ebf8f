"""Acquisition that cannot crash or hang: kept arrays, Ctrl-C during end(), the arrays' `np`, blocks read with the
wrong layout, the simulated detector's physics."""

import threading
import traceback
import warnings

import numpy as np
import pytest

from vrexsdk import acquisition, errors, simulator
from vrexsdk.acquisition import DeliveredArrayWarning
from vrexsdk.chip import BinningParams


def configure(acquisition_settings, kind="tpx3", **device):
    # A fixed seed: these tests compare runs with each other.
    acquisition_settings = {"seed": 1, **acquisition_settings}
    simulator.configure({"devices": [dict(kind=kind, acquisition=acquisition_settings, **device)]})


def run(device, mode, func, channel="ch0"):
    if not device.isOpened():
        device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode(mode)
    device.acq.setDataCallback(channel, func)
    device.acq.begin(channel)
    device.acq.end(channel)


def names(tb):
    return [frame.name for frame in traceback.extract_tb(tb)]


# ---- arrays kept beyond their callback ----------------------------------------------------------------------------

DD = {"hits": 4, "tdc": [2, 2, 2], "shutter": 9}

KEEPERS = {
    "the array": lambda kept, args: kept.append(args[0]),
    "a slice": lambda kept, args: kept.append(args[0][1:]),
    "a field": lambda kept, args: kept.append(args[0]["toa"]),
    "a memoryview": lambda kept, args: kept.append(memoryview(args[0])),
    "a TDC array of the metadata": lambda kept, args: kept.append(args[1]["tdcs"][0]),
    "the metadata dict": lambda kept, args: kept.append(args[1]),
    "the argument tuple": lambda kept, args: kept.append(args),
}


@pytest.mark.parametrize("keeper", KEEPERS, ids=list(KEEPERS))
def test_a_kept_array_or_view_warns_once_per_registration(device, keeper):
    configure({"blocks": [DD] * 3})
    kept = []
    with pytest.warns(DeliveredArrayWarning) as caught:
        run(device, "0:tpx3-dd-toa-tot", lambda *args: KEEPERS[keeper](kept, args))
    assert len(caught) == 1
    message = str(caught[0].message)
    assert "outlived its callback" in message and "array.copy()" in message
    # A new registration is told again.
    with pytest.warns(DeliveredArrayWarning) as again:
        run(device, "0:tpx3-dd-toa-tot", lambda *args: KEEPERS[keeper](kept, args))
    assert len(again) == 1


@pytest.mark.parametrize("mode, block", [
    ("0:tpx3-dd-toa-tot", DD),
    ("0:tpx3-dd-toa-tot-vec", DD),
    ("0:tpx3-binned-packets", {"packets": 4, "descriptors": 2, "hit_sums": 2, "itot_sums": 2}),
])
def test_copies_and_arrays_dropped_in_time_do_not_warn(device, mode, block):
    configure({"blocks": [block] * 3})
    kept = []

    def keep_copies(*args):
        kept.append([a.copy() for a in args if isinstance(a, np.ndarray)])

    with warnings.catch_warnings():
        warnings.simplefilter("error", DeliveredArrayWarning)
        run(device, mode, keep_copies)
    assert len(kept) == 3


def test_the_warning_turned_into_an_error_is_reported_like_a_failing_delivery(device, unraisable):
    configure({"blocks": [{"hits": 2}] * 2})
    kept = []
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeliveredArrayWarning)
        run(device, "0:tpx3-seq-toa-tot", kept.append)
    assert len(kept) == 2  # both blocks delivered; the error does not stop the acquisition
    assert [e[0] for e in unraisable] == [DeliveredArrayWarning]
    assert "vrexsdk.acquisition.seq_toatot_data_cb" in names(unraisable[0][2])


def test_the_warning_can_be_filtered_and_is_a_runtime_warning(device):
    assert issubclass(DeliveredArrayWarning, RuntimeWarning)
    assert DeliveredArrayWarning.__module__ == "vrexsdk.acquisition"
    configure({"blocks": [{"hits": 2}] * 2})
    kept = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.filterwarnings("ignore", category=DeliveredArrayWarning)
        run(device, "0:tpx3-seq-toa-tot", kept.append)
    assert caught == []


KEEP_EVERYTHING = """
    import gc, sys, warnings
    import numpy as np
    from vrexsdk import simulator, vrex
    from vrexsdk.chip import BinningParams
    warnings.simplefilter("ignore")
    BLOCKS = {BLOCKS}
    MODES = [
        ("0:tpx3-seq-toa-tot", dict(hits=70000)),
        ("0:tpx3-dd-toa-tot-vec", dict(hits=70000)),
        ("0:tpx3-binned-packets", dict(hits=90000)),
        ("0:raw-data", dict(raw=1 << 20)),
    ]
    kept = []
    def keep(*args):
        for a in args:
            if isinstance(a, dict):
                kept.extend(a["tdcs"])
                continue
            kept.append(a)
            kept.append(a[1:])
            kept.append(memoryview(a))
            if a.dtype.names:
                kept.append(a[a.dtype.names[-1]])
    device = vrex.Device()
    for mode, settings in MODES:
        simulator.configure({{"devices": [dict(kind="tpx3", acquisition=dict(block_count=BLOCKS, **settings))]}})
        device.open(device.enumerate()[0].connectionString)
        device.chip.selectMode(mode)
        if mode == "0:raw-data":
            device.acq.setRawDataCallback("ch0", keep)
        else:
            device.acq.setDataCallback("ch0", keep)
        device.acq.begin("ch0")
        device.acq.end("ch0")
        device.close()
    device.finalize()
    del device
    gc.collect()
    simulator.reset()
    total = 0
    for a in kept:
        b = np.asarray(a)
        if b.dtype.names:
            b = b[b.dtype.names[0]]
        total += int(b.sum())  # reads every element
    print("read", len(kept), "views", total > 0)
"""


def test_kept_views_of_large_blocks_stay_readable_after_close_and_finalize(run_python):
    result = run_python(KEEP_EVERYTHING.replace("{BLOCKS}", "250").replace("{{", "{").replace("}}", "}"),
                        timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    assert "views True" in result.stdout


# ---- Ctrl-C during end() --------------------------------------------------------------------------------------------

INTERRUPTED_END = """
    import os, signal, sys, threading, time
    from vrexsdk import simulator, vrex

    class Stop(Exception):
        pass

    def raise_stop(signum, frame):
        raise Stop()

    if {SIGNAL} != signal.SIGINT:
        signal.signal({SIGNAL}, raise_stop)
    else:  # Python's own handler even when the suite was started with SIGINT ignored (a background job)
        signal.signal(signal.SIGINT, signal.default_int_handler)
    simulator.configure({"devices": [dict(kind="tpx3", acquisition={ACQUISITION})]})
    device = vrex.Device()
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:tpx3-seq-toa-tot")
    delivered = []
    device.acq.setDataCallback("ch0", lambda records: delivered.append(len(records)))
    simulator.record_calls()
    device.acq.begin("ch0")
    threading.Timer(0.5, os.kill, (os.getpid(), {SIGNAL})).start()
    start = time.monotonic()
    try:
        device.acq.end("ch0")
    except BaseException as e:
        print("raised", type(e).__name__, round(time.monotonic() - start, 2))
    at_raise = len(delivered)
    time.sleep(0.3)
    print("after", len(delivered) - at_raise)
    print("aborted", any(name == "vrex_acq_abort" for name, args in simulator.calls()))
    device.close()
    device.finalize()
"""

ENDLESS = {
    "blocks that keep coming": "dict(block_count=10**12, hits=8, interval_s=0.005)",
    "a block that never comes": "dict(blocks=[dict(hits=8), dict(hits=8, delay_s=10**6)])",
}


@pytest.mark.parametrize("endless", ENDLESS, ids=list(ENDLESS))
@pytest.mark.parametrize("signal_name, raised", [("SIGINT", "KeyboardInterrupt"), ("SIGUSR1", "Stop")])
def test_a_signal_during_end_aborts_the_acquisition_and_raises(run_python, endless, signal_name, raised):
    source = (INTERRUPTED_END.replace("{SIGNAL}", f"signal.{signal_name}")
              .replace("{ACQUISITION}", ENDLESS[endless]))
    result = run_python(source, timeout=60)
    assert result.returncode == 0, result.stderr[-3000:]
    lines = dict(line.split(" ", 1) for line in result.stdout.splitlines())
    name, elapsed = lines["raised"].split()
    assert name == raised
    assert float(elapsed) < 10  # the signal comes after 0.5 s; the acquisition would never end on its own
    assert lines["after"] == "0"
    assert lines["aborted"] == "True"


def test_a_signal_handler_that_does_not_raise_leaves_end_waiting(run_python):
    result = run_python("""
        import os, signal, threading
        from vrexsdk import simulator, vrex
        handled = []
        signal.signal(signal.SIGUSR1, lambda *a: handled.append(1))
        simulator.configure({"devices": [dict(kind="tpx3", acquisition=dict(
            blocks=[dict(hits=1), dict(hits=2, delay_s=0.6), dict(hits=3)]))]})
        device = vrex.Device()
        device.open(device.enumerate()[0].connectionString)
        device.chip.selectMode("0:tpx3-seq-toa-tot")
        delivered = []
        device.acq.setDataCallback("ch0", lambda records: delivered.append(len(records)))
        device.acq.begin("ch0")
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        device.acq.end("ch0")
        print(delivered, len(handled))
        device.close()
        device.finalize()
    """)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["[1,", "2,", "3]", "1"]


# ---- the module global `np` ---------------------------------------------------------------------------------------

class RecordingNumpy:
    """Stands in for numpy as the module's `np`, recording what the wrapping asks of it."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def asarray(self, exporter):
        self.calls.append(("asarray", type(exporter).__name__))
        return self.result if self.result is not None else np.asarray(exporter)

    def empty(self, n):
        self.calls.append(("empty", n))
        return self.result if self.result is not None else np.empty(n)


def test_a_replaced_np_makes_the_arrays(device, monkeypatch):
    stand_in = RecordingNumpy()
    monkeypatch.setattr(acquisition, "np", stand_in)
    configure({"blocks": [{"records": [(1, 2, 3), (4, 5, 6)]}, {"records": []}]})
    got = []
    run(device, "0:tpx3-seq-toa-tot", lambda r: got.append(r.copy()))
    assert stand_in.calls == [("asarray", "_SdkBuffer"), ("empty", 0)]
    assert got[0].dtype.names == ("address", "tot", "toa")
    assert got[0].tolist() == [(1, 2, 3), (4, 5, 6)]
    assert got[1].dtype == np.float64 and got[1].shape == (0,)


@pytest.mark.parametrize("block, wrapper", [
    ({"records": [(1, 2, 3)]}, "vrexsdk.acquisition.wrapcBufferToaTotStruct"),
    ({"records": []}, "vrexsdk.acquisition.wrapcBufferToaTotStruct"),
])
@pytest.mark.parametrize("np_value, error, message", [
    (RecordingNumpy(result=[1, 2]), TypeError, "Cannot convert list to numpy.ndarray"),
    (None, NameError, "name 'np' is not defined"),
])
def test_np_missing_or_making_no_ndarray_fails_the_delivery(device, monkeypatch, unraisable, block, wrapper,
                                                            np_value, error, message):
    if np_value is None:
        monkeypatch.delattr(acquisition, "np")
    else:
        monkeypatch.setattr(acquisition, "np", np_value)
    configure({"blocks": [block]})
    got = []
    run(device, "0:tpx3-seq-toa-tot", got.append)
    assert got == []
    [(exc_type, exc, tb, *_)] = unraisable
    assert exc_type is error and str(exc) == message
    assert {wrapper, "vrexsdk.acquisition.seq_toatot_data_cb"} <= set(names(tb))


def test_restored_np_takes_the_fast_path_again(device, monkeypatch):
    stand_in = RecordingNumpy()
    monkeypatch.setattr(acquisition, "np", stand_in)
    monkeypatch.setattr(acquisition, "np", np)
    configure({"blocks": [{"records": [(1, 2, 3)]}]})
    got = []
    run(device, "0:tpx3-seq-toa-tot", lambda r: got.append(r.copy()))
    assert stand_in.calls == [] and got[0].tolist() == [(1, 2, 3)]


@pytest.mark.parametrize("how", ["attribute", "namespace dict", "dict update"])
def test_np_replaced_after_deliveries_on_the_fast_path_is_seen(device, monkeypatch, how):
    # Deliveries skip the lookup of `np` while nothing changed it; a change made afterwards, by any route into
    # the module's namespace, must still be taken up by the very next block.
    configure({"blocks": [{"records": [(1, 2, 3)]}]})
    got = []
    run(device, "0:tpx3-seq-toa-tot", lambda r: got.append(r.copy()))
    stand_in = RecordingNumpy()

    def put(value):  # each route restores np on teardown by itself (monkeypatch undoes attributes before items)
        if how == "attribute":
            monkeypatch.setattr(acquisition, "np", value)
        elif how == "namespace dict":
            monkeypatch.setitem(vars(acquisition), "np", value)
        else:
            monkeypatch.setitem(vars(acquisition), "np", np)
            vars(acquisition).update(np=value)

    put(stand_in)
    run(device, "0:tpx3-seq-toa-tot", lambda r: got.append(r.copy()))
    assert stand_in.calls == [("asarray", "_SdkBuffer")]
    put(np)
    run(device, "0:tpx3-seq-toa-tot", lambda r: got.append(r.copy()))
    assert len(stand_in.calls) == 1 and [g.tolist() for g in got] == [[(1, 2, 3)]] * 3


# ---- registration and the exporter type ---------------------------------------------------------------------------

def test_front_registration_methods_return_none_whatever_the_private_method_returns():
    class Acquisition(acquisition.__Acquisition):
        def _Acquisition__setDataCallback(self, channelId, func, raw=False):
            return ("registered", channelId, raw)

    a = Acquisition(None, None)
    assert a.setDataCallback("ch0", print) is None
    assert a.setRawDataCallback("ch0", print) is None


def test_the_buffer_exporter_cannot_be_made_from_python(device):
    configure({"blocks": [{"records": [(1, 2, 3)]}]})
    types = []
    run(device, "0:tpx3-seq-toa-tot", lambda r: types.append(type(r.base)))
    with pytest.raises(TypeError):
        types[0]()


# ---- a mode selected between registration and begin -----------------------------------------------------------

@pytest.mark.parametrize("registered, run_in, block", [
    ("0:tpx3-dd-toa-tot", "0:tpx3-binned-packets", {"packets": 5}),
    ("0:tpx3-seq-toa-tot", "0:tpx3-binned-packets", {"packets": 5}),
    ("0:tpx3-dd-toa-tot-vec", "0:tpx3-seq-toa-tot-vec", {"hits": 5}),
])
def test_blocks_of_another_layout_are_refused_not_misread(device, unraisable, registered, run_in, block):
    configure({"blocks": [block] * 2})
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode(registered)
    got = []
    device.acq.setDataCallback("ch0", lambda *args: got.append(args))
    device.chip.selectMode(run_in)
    device.acq.begin("ch0")
    device.acq.end("ch0")
    assert got == []
    assert [e[0] for e in unraisable] == [errors.VrexSdkInvalidOperationError] * 2
    assert "register the callback after selecting the mode" in str(unraisable[0][1])


# ---- the simulated detector's physics -----------------------------------------------------------------------------

def hit_counts(device, settings, steps, **model):
    """Hits of one generated block after each `step(device)`."""
    configure(dict(block_count=1, hits=500, **settings), **model)
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:tpx3-seq-toa-tot")
    counts = []
    device.acq.setDataCallback("ch0", lambda records: counts.append(len(records)))
    for step in steps:
        step(device)
        device.acq.begin("ch0")
        device.acq.end("ch0")
    device.close()
    return counts


def fine_dac(value):
    def step(device):
        device.chip.setThreshold("THL0", 2.0)
        device.chip.setDacValue("Vthreshold_fine", value)
    return step


def threshold(kev):
    return lambda device: device.chip.setThreshold("THL0", kev)


@pytest.mark.parametrize("model, steps", [
    ({}, [fine_dac(v) for v in range(0, 512, 4)]),
    ({"thresholds": [{"id": "THL0", "kev": 5.0, "min": 2.0, "max": 60.0, "noise": 4.0}]},
     [threshold(2.0 + 0.25 * i) for i in range(25)]),
], ids=["Vthreshold_fine", "threshold keV"])
def test_a_threshold_scan_falls_from_the_noise_to_the_beam_across_the_noise_edge(device, model, steps):
    counts = hit_counts(device, {}, steps, **model)
    assert all(later <= earlier for earlier, later in zip(counts, counts[1:])), counts
    noise_floor, beam = counts[0], counts[-1]
    assert noise_floor > 10 * beam > 0
    # An S-curve: some threshold between the plateau of the noise and the beam's rate.
    assert any(2 * beam < c < noise_floor / 2 for c in counts), counts


def test_generated_data_are_the_same_for_the_same_seed_and_settings(device):
    steps = [fine_dac(180), fine_dac(200), fine_dac(180)]
    first = hit_counts(device, {"seed": 7}, steps)
    assert first[0] == first[2] and first[0] > first[1]


def test_scripted_blocks_ignore_the_threshold(device):
    configure({"blocks": [{"hits": 5}]})
    device.open(device.enumerate()[0].connectionString)
    device.chip.setDacValue("Vthreshold_fine", 0)
    got = []
    run(device, "0:tpx3-seq-toa-tot", lambda records: got.append(len(records)))
    assert got == [5]


@pytest.mark.parametrize("mode", ["0:tpx3-seq-toa-tot", "0:tpx3-dd-toa-tot-vec", "0:tpx3-binned-packets"])
def test_masked_pixels_deliver_no_hits(device, mode):
    configure(dict(block_count=2, hits=4000))
    device.open(device.enumerate()[0].connectionString)
    mask = np.zeros((256, 256), dtype=np.uint8)  # [x, y]
    mask[:128, :] = 1  # the left half
    mask[200, 17] = 1
    device.config.setMask(mask)
    addresses = []
    run(device, mode, lambda first, *rest: addresses.append(
        (first["address"] if first.dtype.names else first).copy()))
    hit = np.concatenate(addresses)
    assert hit.size > 1000
    x, y = hit % 256, hit // 256
    assert not mask[x, y].any()


def test_masked_pixels_count_nothing_in_frames(device):
    configure(dict(block_count=1, frames=2), kind="tpx")
    device.open(device.enumerate()[0].connectionString)
    mask = np.zeros((256, 256), dtype=np.uint8)
    mask[10:20, 30:40] = 1
    device.config.setMask(mask)
    frames = []
    run(device, "0:tpx-medipix", lambda f: frames.append(f.reshape(2, 256, 256).copy()))
    [f] = frames
    assert not f[:, 30:40, 10:20].any()  # rows are y, columns x
    assert f[:, :30, :].sum() > 0


@pytest.mark.parametrize("width, height", [(4, 3), (1, 1), (64, 64)])
def test_binned_modes_deliver_the_bins_of_the_binning_parameters(device, width, height):
    configure(dict(block_count=1, hits=2000))
    device.open(device.enumerate()[0].connectionString)
    sums = {}
    for dwell in (1000, 2000):
        device.chip.selectMode("0:tpx3-binned-packets", BinningParams(width, height, dwell))
        got = []
        device.acq.setDataCallback("ch0", lambda *arrays: got.append([a.copy() for a in arrays]))
        device.acq.begin("ch0")
        device.acq.end("ch0")
        [(packets, descriptors, hit_sums, itot_sums)] = got
        assert len(descriptors) == len(hit_sums) == len(itot_sums) == width * height
        assert int(descriptors["packet_count"].sum()) == len(packets)
        sums[dwell] = int(hit_sums.sum())
    assert sums[2000] == 2 * sums[1000] > 0  # twice the dwell, twice the hits


# ---- ending after an abort ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("end_on", ["this thread", "a new thread"])
def test_end_after_abort_is_not_taken_for_a_call_from_the_data_callback(device, end_on):
    # The aborted run's worker has ended, and the system may give its thread id to the next thread it starts
    # (end() starts one on the main thread): that thread must not be taken for the worker.
    configure(dict(block_count=10**12, hits=8, interval_s=0.001))
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:tpx3-dd-toa-tot")
    device.acq.setDataCallback("ch0", lambda *args: None)
    for _ in range(5):
        device.acq.begin("ch0")
        device.acq.abort("ch0")
        if end_on == "this thread":
            device.acq.end("ch0")
        else:
            failures = []

            def end():
                try:
                    device.acq.end("ch0")
                except Exception as e:  # reported below, on the test's thread
                    failures.append(e)

            thread = threading.Thread(target=end)
            thread.start()
            thread.join()
            assert failures == []
