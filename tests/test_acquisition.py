import gc
import threading
import time
import traceback
import weakref

import numpy as np
import pytest

from vrexsdk import errors, simulator

from layouts import BINNED, DESCRIPTOR as DESCRIPTORS, ITOT_EVENT, TOA_TOT


def snapshot(value):
    """What a delivered argument held during the call (arrays view SDK memory only then)."""
    if isinstance(value, np.ndarray):
        return value.copy()
    if isinstance(value, dict):
        return {"shutterStart": value["shutterStart"], "tdcs": [t.copy() for t in value["tdcs"]],
                "keys": list(value)}
    return value


class Collector:
    def __init__(self):
        self.blocks = []
        self.threads = set()

    def __call__(self, *args):
        self.threads.add(threading.get_ident())
        self.blocks.append([snapshot(a) for a in args])


def configure(acquisition, kind="tpx3", **device):
    simulator.configure({"devices": [dict(kind=kind, acquisition=acquisition, **device)]})


def run(device, mode, func, channel="ch0", raw=False):
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode(mode)
    if raw:
        device.acq.setRawDataCallback(channel, func)
    else:
        device.acq.setDataCallback(channel, func)
    device.acq.begin(channel)
    device.acq.end(channel)


def acquire(device, mode, blocks, kind="tpx3", **kw):
    configure({"blocks": blocks}, kind=kind)
    collected = Collector()
    run(device, mode, collected, **kw)
    return collected.blocks


def records(dtype, rows):
    return np.array([tuple(r) for r in rows], dtype=dtype)


def assert_array(a, dtype, values):
    assert a.dtype == np.dtype(dtype)
    assert a.dtype.names == np.dtype(dtype).names
    np.testing.assert_array_equal(a, np.array(values, dtype=dtype))


# ---- what each mode delivers ----------------------------------------------------------------------------------

ROWS = [(1, 10, 100), (65535, 20, 2**40), (3, 2**32 - 1, 2**64 - 1)]
TDC = [[5, 6], 0, [7]]


def check_meta(meta, shutter=77):
    assert meta["keys"] == ["shutterStart", "tdcs"]
    assert meta["shutterStart"] == shutter
    assert [t.dtype for t in meta["tdcs"]] == [np.uint64, np.float64, np.uint64]
    assert [t.tolist() for t in meta["tdcs"]] == [[5, 6], [], [7]]


@pytest.mark.parametrize("mode, dtype", [
    ("0:tpx3-seq-toa-tot", TOA_TOT),
    ("0:tpx3-seq-itot-event", ITOT_EVENT),
])
def test_sequential_record_modes_pass_one_record_array(device, mode, dtype):
    (block,) = acquire(device, mode, [{"records": ROWS}])
    (array,) = block
    assert array.dtype.itemsize == 16
    assert_array(array, dtype, [tuple(r) for r in ROWS])


@pytest.mark.parametrize("mode", ["0:tpx3-dd-toa-tot", "0:tpx3-sorted-dd-toa-tot"])
def test_data_driven_record_modes_pass_records_and_metadata(device, mode):
    (block,) = acquire(device, mode, [{"records": ROWS, "shutter": 77, "tdc": TDC}])
    array, meta = block
    assert_array(array, TOA_TOT, [tuple(r) for r in sorted(ROWS, key=lambda r: r[2])]
                 if "sorted" in mode else [tuple(r) for r in ROWS])
    check_meta(meta)


VECTORS = {"addresses": [1, 2, 65535], "toa": [100, 200, 300], "tot": [10, 20, 1023],
           "events": [1, 2, 3], "itots": [7, 8, 9]}


@pytest.mark.parametrize("mode, names, dtypes", [
    ("0:tpx3-seq-toa-tot-vec", ["addresses", "toa", "tot"], [np.uint32, np.uint32, np.uint16]),
    ("0:tpx3-seq-itot-event-vec", ["addresses", "events", "itots"], [np.uint32, np.uint16, np.uint16]),
    ("0:tpx3-dd-toa-tot-vec", ["addresses", "toa", "tot"], [np.uint32, np.uint64, np.uint16]),
])
def test_vector_modes_pass_one_array_per_quantity(device, mode, names, dtypes):
    block = {"vectors": {n: VECTORS[n] for n in names}, "shutter": 77, "tdc": TDC}
    (delivered,) = acquire(device, mode, [block])
    arrays = delivered[:3]
    assert [a.dtype for a in arrays] == dtypes
    for a, n in zip(arrays, names):
        assert a.tolist() == VECTORS[n]
    if "dd" in mode:
        assert len(delivered) == 4
        check_meta(delivered[3])
    else:
        assert len(delivered) == 3


def test_binned_packets_pass_four_arrays_of_their_own_lengths(device):
    rows = [(1, 2, 3), (4, 5, 6)]
    (block,) = acquire(device, "0:tpx3-binned-packets",
                       [{"records": rows, "descriptors": 3, "hit_sums": [9, 8, 7, 6], "itot_sums": [2**63]}])
    packets, descriptors, hits, itots = block
    assert packets.dtype.itemsize == 12 and packets.dtype.names == ("address", "count", "itot")
    assert_array(packets, BINNED, rows)
    assert descriptors.dtype.itemsize == 8 and descriptors.dtype.names == ("offset", "packet_count")
    assert len(descriptors) == 3
    assert hits.dtype == np.uint64 and hits.tolist() == [9, 8, 7, 6]
    assert itots.dtype == np.uint64 and itots.tolist() == [2**63]


@pytest.mark.parametrize("mode, key", [("0:tpx3-binned-count-sums", "hit_sums"),
                                       ("0:tpx3-binned-itot-sums", "itot_sums")])
def test_binned_sums_pass_one_uint64_array(device, mode, key):
    (block,) = acquire(device, mode, [{key: [1, 2, 2**64 - 1]}])
    (sums,) = block
    assert sums.dtype == np.uint64 and sums.tolist() == [1, 2, 2**64 - 1]


def test_frames_are_one_flat_uint16_array(device):
    (block,) = acquire(device, "0:tpx-medipix", [{"frames": 2}], kind="tpx")
    (frames,) = block
    assert frames.dtype == np.uint16 and frames.shape == (2 * 65536,)


def test_raw_registration_delivers_bytes_in_any_listed_mode(device):
    (block,) = acquire(device, "0:tpx3-dd-toa-tot", [{"raw": 100}], raw=True)
    (data,) = block
    assert data.dtype == np.uint8 and data.shape == (100,)


def test_raw_flag_must_be_true_itself(device):
    configure({"blocks": [{"records": ROWS, "raw": 5, "shutter": 1, "tdc": [0, 0, 0]}]})
    got = Collector()
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:tpx3-dd-toa-tot")
    device.acq._Acquisition__setDataCallback("ch0", got, raw=1)  # 1 is not True: the mode's delivery
    device.acq.begin("ch0")
    device.acq.end("ch0")
    assert len(got.blocks[0]) == 2


# ---- empty blocks, zero copy ------------------------------------------------------------------------------------

@pytest.mark.parametrize("block", [{"records": []}, {"hits": 3, "null": True}])
def test_empty_or_null_block_gives_an_empty_float64_array(device, block):
    (delivered,) = acquire(device, "0:tpx3-dd-toa-tot", [dict(block, shutter=1, tdc=[0, 0, 0])])
    array, meta = delivered
    assert array.dtype == np.float64 and array.shape == (0,) and array.dtype.names is None
    assert [t.dtype for t in meta["tdcs"]] == [np.float64] * 3


def test_arrays_view_sdk_memory_and_writes_reach_it(device, recording):
    configure({"blocks": [{"records": ROWS}]})
    seen = {}

    def poke(array):
        seen["writable"] = array.flags.writeable
        seen["owns"] = array.flags.owndata
        seen["base"] = memoryview(array.base).format
        array["tot"][0] = 4242

    run(device, "0:tpx3-seq-toa-tot", poke)
    assert seen == {"writable": True, "owns": False, "base": "T{I:address:I:tot:Q:toa:}"}
    buffer = np.frombuffer(simulator.state()["last_block"]["packets"], dtype=TOA_TOT)
    assert buffer["tot"][0] == 4242


def test_sorted_mode_delivers_the_unsorted_hits_sorted_by_toa(device):
    configure({"seed": 7, "block_count": 2, "hits": 300})
    unsorted, in_order = Collector(), Collector()
    run(device, "0:tpx3-dd-toa-tot", lambda r, m: unsorted(r))
    device.close()
    run(device, "0:tpx3-sorted-dd-toa-tot", lambda r, m: in_order(r))
    assert len(unsorted.blocks) == len(in_order.blocks) == 2
    for (a,), (b,) in zip(unsorted.blocks, in_order.blocks):
        assert len(a) == 300
        np.testing.assert_array_equal(np.sort(a, order="toa", kind="stable"), b)


# ---- failures inside deliveries ----------------------------------------------------------------------------------

def test_raising_callable_is_reported_and_the_next_block_still_arrives(device, unraisable):
    calls = []

    def flaky(array):
        calls.append(len(array))
        if len(calls) == 1:
            raise RuntimeError("boom")

    configure({"blocks": [{"records": ROWS}, {"records": ROWS[:1]}]})
    run(device, "0:tpx3-seq-toa-tot", flaky)
    assert calls == [3, 1]
    (report,) = unraisable
    assert report.exc_type is RuntimeError
    assert traceback.extract_tb(report.exc_traceback)[0].name == "vrexsdk.acquisition.seq_toatot_data_cb"


@pytest.mark.parametrize("register", ["setDataCallback", "setRawDataCallback", "_Acquisition__setDataCallback"])
@pytest.mark.parametrize("func", [None, 5, "print"])
def test_a_callback_that_is_not_callable_is_refused_at_registration(opened, recording, register, func):
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    calls_before = len(recording())
    with pytest.raises(TypeError, match=f"func must be callable, not '{type(func).__name__}'"):
        getattr(opened.acq, register)("ch0", func)
    assert recording()[calls_before:] == []


@pytest.mark.parametrize("getter, mode", [
    ("vrex_acq_tpx3_get_packets", "0:tpx3-dd-toa-tot"),
    ("vrex_acq_meta_get_tdc_toas_count", "0:tpx3-dd-toa-tot"),
    ("vrex_acq_tpx3_get_binned_itots", "0:tpx3-binned-packets"),
    ("vrex_acq_tpx_get_frames", "0:tpx-medipix"),
])
def test_failing_getter_skips_that_block_only(device, unraisable, getter, mode):
    kind = "tpx" if "medipix" in mode else "tpx3"
    block = {"records": ROWS[:1], "frames": 1, "shutter": 1, "tdc": [1, 1, 1]}
    got = acquire(device, mode, [dict(block, fail={getter: (-2, "bad block")}), block], kind=kind)
    assert len(got) == 1
    (report,) = unraisable
    assert report.exc_type is errors.VrexSdkInvalidOperationError
    assert report.exc_value.args == ("bad block",)
    name = traceback.extract_tb(report.exc_traceback)[-1].name
    assert name.startswith("vrexsdk.acquisition.") and name.endswith("_cb")


def test_getter_status_outside_the_table_is_not_a_failure(device, unraisable):
    got = acquire(device, "0:tpx3-seq-toa-tot", [{"records": ROWS, "fail": {"vrex_acq_tpx3_get_packet_count": -9}}])
    assert len(got) == 1 and unraisable == []


# ---- registration --------------------------------------------------------------------------------------------------

def test_registration_before_any_mode_is_refused(opened):
    for register in (opened.acq.setDataCallback, opened.acq.setRawDataCallback):
        with pytest.raises(errors.VrexSdkInvalidOperationError) as info:
            register("ch0", print)
        assert info.value.args == (" is not supported!",)


def test_mode_the_table_lacks_is_refused_instead_of_registered_without_a_function(device, recording):
    simulator.configure({"devices": [{"modes": ["0:tpx3-dd-toa-tot", "0:custom"]}]})
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:custom")
    with pytest.raises(errors.VrexSdkInvalidOperationError, match="^0:custom is not supported!$"):
        device.acq.setDataCallback("ch0", print)
    assert "vrex_acq_set_data_callback" not in [name for name, _ in recording()]
    device.acq.setRawDataCallback("ch0", print)  # raw data are still available


def test_unknown_channel_is_the_sdks_error(opened):
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    with pytest.raises(errors.VrexSdkInvalidArgumentError):
        opened.acq.setDataCallback("nope", print)


@pytest.mark.parametrize("channel, error", [(b"ch0", AttributeError), (5, AttributeError)])
def test_channel_argument_errors(opened, channel, error):
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    with pytest.raises(error):
        opened.acq.setDataCallback(channel, print)
    with pytest.raises(error):
        opened.acq.begin(channel)


def test_registration_argument_counts(opened):
    with pytest.raises(TypeError, match=r"setDataCallback\(\) takes exactly 2 positional arguments \(1 given\)"):
        opened.acq.setDataCallback("ch0")
    with pytest.raises(TypeError, match=r"takes at most 3 positional arguments \(4 given\)"):
        opened.acq._Acquisition__setDataCallback("ch0", print, True, 1)


def test_chip_mode_is_read_at_registration(opened):
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    opened.acq.setDataCallback("ch0", print)
    with pytest.raises(errors.VrexSdkInvalidArgumentError):
        opened.chip.selectMode("0:nope")  # a failed selection keeps the registered mode
    opened.acq.setDataCallback("ch0", print)


def test_objects_built_without_context_or_chip_raise(opened):
    acq = type(opened.acq)(None, None)
    with pytest.raises(errors.VrexSdkInvalidOperationError):
        acq.getChannelIds()
    with pytest.raises(errors.VrexSdkInvalidOperationError):
        acq.setDataCallback("ch0", print)
    with pytest.raises(TypeError, match="Cannot convert int to vrexsdk.chip.__Chip"):
        type(opened.acq)(None, 5)


# ---- callable lifetime ---------------------------------------------------------------------------------------------

class Callable:
    def __call__(self, *args):
        pass


def alive(ref):
    gc.collect()
    return ref() is not None


@pytest.mark.parametrize("ran", [False, True])
@pytest.mark.parametrize("second_channel, first_kept", [("ch0", False), ("ch1", True)])
def test_a_replaced_callable_is_released_once_its_channel_is_idle(device, ran, second_channel, first_kept):
    # Replaced on its own channel while no run can deliver, a callable is let go of at once; registered on the
    # other channel, the first stays registered and alive until finalize().
    configure({"block_count": 2, "hits": 4})
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:tpx3-dd-toa-tot")
    first, second = Collector(), Collector()
    refs = weakref.ref(first), weakref.ref(second)
    device.acq.setDataCallback("ch0", first)
    if ran:
        device.acq.begin("ch0")
        device.acq.end("ch0")
    device.acq.setDataCallback(second_channel, second)
    del first, second
    assert [alive(r) for r in refs] == [first_kept, True]
    device.finalize()
    assert [alive(r) for r in refs] == [False, False]
    device.finalize()  # nothing left to release


def test_a_callable_replaced_during_a_delivery_completes_it_and_is_released_after_the_run(device):
    configure({"burst": 10**9, "hits": 16})
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:tpx3-seq-toa-tot")
    entered, go_on, completed, second_called = (threading.Event() for _ in range(4))

    class Blocking:
        def __call__(self, records):
            if not entered.is_set():
                entered.set()
                assert go_on.wait(30)
                completed.set()

    first = Blocking()
    ref = weakref.ref(first)
    device.acq.setDataCallback("ch0", first)
    device.acq.begin("ch0")
    try:
        assert entered.wait(30)
        device.acq.setDataCallback("ch0", lambda records: second_called.set())
        del first
        assert alive(ref)  # its delivery is still running
        go_on.set()
        assert completed.wait(30) and second_called.wait(30)
        assert alive(ref)  # the run may still hand its pointer to a delivery
    finally:
        go_on.set()
        device.acq.abort("ch0")
    assert not alive(ref)


def test_finalize_during_deliveries_stops_calls_to_the_released_callable(device):
    configure({"burst": 10**9, "hits": 16})
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:tpx3-seq-toa-tot")
    seen = threading.Event()
    device.acq.setDataCallback("ch0", lambda r: seen.set())
    device.acq.begin("ch0")
    assert seen.wait(10)
    device.finalize()
    before = simulator.state()["blocks_delivered"]
    time.sleep(0.05)
    assert simulator.state()["blocks_delivered"] > before  # the SDK goes on; nothing is called
    device.acq.abort("ch0")


# ---- control -------------------------------------------------------------------------------------------------------

def test_channels(opened, recording):
    assert opened.acq.getChannelIds() == ["ch0", "ch1"]
    simulator.configure({"devices": [{"channels": []}]})
    opened.open(opened.enumerate()[0].connectionString)
    simulator.clear_calls()
    assert opened.acq.getChannelIds() == []
    assert [n for n, _ in recording()] == ["vrex_acq_ch_count"]
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        opened.acq._Acquisition__getChannelId(2**31)


@pytest.mark.parametrize("method", ["begin", "abort", "end"])
@pytest.mark.parametrize("message", ["it broke", ""])
def test_control_failures_wait_then_raise(opened, method, message):
    simulator.fail(f"vrex_acq_{method}", -1, message)
    start = time.monotonic()
    with pytest.raises(errors.VrexSdkInternalException) as info:
        getattr(opened.acq, method)("ch0")
    assert time.monotonic() - start >= 0.09
    assert info.value.args == (message,)
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == f"vrexsdk.acquisition.__Acquisition.{method}"


def test_bytes_channel_fails_before_the_sdk_and_so_without_the_delay(opened, recording):
    simulator.clear_calls()
    with pytest.raises(AttributeError):
        opened.acq.begin(b"ch0")
    assert recording() == []


def test_end_lets_deliveries_run_on_sdk_threads(device):
    configure({"block_count": 5, "hits": 10, "interval_s": 0.01})
    got = Collector()
    run(device, "0:tpx3-seq-toa-tot", got)
    assert len(got.blocks) == 5
    assert threading.get_ident() not in got.threads


def test_two_channels_deliver_concurrently(device):
    configure({"block_count": 20, "hits": 50, "interval_s": 0.002})
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:tpx3-seq-toa-tot")
    a, b = Collector(), Collector()
    device.acq.setDataCallback("ch0", a)
    device.acq.setDataCallback("ch1", b)
    device.acq.begin("ch0")
    device.acq.begin("ch1")
    device.acq.end("ch0")
    device.acq.end("ch1")
    assert len(a.blocks) == len(b.blocks) == 20
    assert a.threads.isdisjoint(b.threads)


# ---- shutdown while delivering at full rate -----------------------------------------------------------------------

SHUTDOWN = """
import threading
from vrexsdk import simulator, vrex
simulator.configure({{"devices": [{{"acquisition": {{"burst": 10**9, "hits": 64}}}}]}})
d = vrex.Device()
d.open(d.enumerate()[0].connectionString)
d.chip.selectMode("0:tpx3-dd-toa-tot")
seen = threading.Event()
count = [0]
def on_hits(records, meta):
    count[0] += 1
    if count[0] > 200:
        seen.set()
d.acq.setDataCallback("ch0", on_hits)
d.acq.begin("ch0")
assert seen.wait(30)
{action}
print("done", flush=True)
"""


@pytest.mark.parametrize("action", [
    "pass  # interpreter exit with the acquisition running",
    "d.close()",
    "d.finalize()",
    "d.finalize(); d.close()",
    "del d",
    "d.acq.abort('ch0'); d.close()",
])
def test_shutdown_while_delivering(run_python, action):
    result = run_python(SHUTDOWN.format(action=action), timeout=60)
    assert result.returncode == 0, result.stderr
    assert "done" in result.stdout
    assert "Fatal Python error" not in result.stderr


def test_device_closed_from_inside_its_own_callback(run_python):
    result = run_python("""
        import threading
        from vrexsdk import simulator, vrex
        simulator.configure({"devices": [{"acquisition": {"burst": 10**6, "hits": 8}}]})
        d = vrex.Device()
        d.open(d.enumerate()[0].connectionString)
        d.chip.selectMode("0:tpx3-seq-toa-tot")
        closed = threading.Event()
        def on_hits(records):
            if not closed.is_set():
                d.close()
                closed.set()
        d.acq.setDataCallback("ch0", on_hits)
        d.acq.begin("ch0")
        assert closed.wait(30)
        assert not d.isOpened()
        print("done", flush=True)
    """)
    assert result.returncode == 0, result.stderr
    assert "done" in result.stdout


def test_exporters_of_arrays_kept_by_the_callable_are_never_reused(device):
    sizes = [1 + i % 5 for i in range(40)]
    kept = []
    acquire_blocks = [{"records": ROWS[:1] * n} for n in sizes]
    configure({"blocks": acquire_blocks})
    run(device, "0:tpx3-seq-toa-tot", lambda a: kept.append(a) if len(kept) % 2 == 0 else kept.append(None))
    for n, array in zip(sizes, kept):
        if array is not None:  # only metadata: the memory itself was the SDK's during the call only
            assert len(array) == n and memoryview(array.base).shape == (n,)
    assert len({id(a.base) for a in kept if a is not None}) == len([a for a in kept if a is not None])
