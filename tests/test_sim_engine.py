"""The simulated SDK's acquisition engine, driven through its C interface (ctypes), as the binding relies on it."""

import ctypes
import os
import threading
from ctypes import POINTER, byref, c_char_p, c_int, c_uint64, c_ulonglong, c_void_p

import numpy as np
import pytest

import vrexsdk
import vrexsdk.vrex  # noqa: F401  (loads libVrexSdk; ctypes then shares the same simulator)
from vrexsdk import simulator

LIB = ctypes.CDLL(os.path.join(os.path.dirname(vrexsdk.__file__), "libVrexSdk.so"))
CALLBACK = ctypes.CFUNCTYPE(None, c_void_p, c_void_p)
for name in ("vrex_ctx_create", "vrex_ctx_destroy", "vrex_dev_open", "vrex_dev_close", "vrex_chip_mode_select",
             "vrex_acq_begin", "vrex_acq_end", "vrex_acq_abort", "vrex_acq_set_data_callback",
             "vrex_ctx_get_last_error", "vrex_acq_get_last_error"):
    getattr(LIB, name).restype = c_int
LIB.vrex_acq_set_data_callback.argtypes = [c_void_p, c_char_p, CALLBACK, c_void_p]

from layouts import BINNED, DESCRIPTOR, ITOT_EVENT, TOA_TOT  # noqa: E402
RECORDS = {"0:tpx3-dd-toa-tot": TOA_TOT, "0:tpx3-sorted-dd-toa-tot": TOA_TOT, "0:tpx3-seq-toa-tot": TOA_TOT,
           "0:tpx3-seq-itot-event": ITOT_EVENT, "0:tpx3-binned-packets": BINNED}


def buffer(pointer, count, dtype):
    """(count, array copy or None for a null pointer)."""
    if not pointer:
        return count, None
    return count, np.frombuffer(ctypes.string_at(pointer, count * np.dtype(dtype).itemsize), dtype=dtype).copy()


def read_block(acq, mode):
    """Everything the getters of one block hand out, copied."""
    n, p = c_ulonglong(), c_void_p()
    out = {}

    def get(count_fn, ptr_fn, dtype, *args):
        assert getattr(LIB, count_fn)(acq, *args, byref(n)) == 0
        assert getattr(LIB, ptr_fn)(acq, *args, byref(p)) == 0
        return buffer(p.value, n.value, dtype)

    out["frames"] = get("vrex_acq_tpx_get_frame_count", "vrex_acq_tpx_get_frames", ("<u2", 65536))
    out["packets"] = get("vrex_acq_tpx3_get_packet_count", "vrex_acq_tpx3_get_packets", RECORDS.get(mode, "u1"))
    out["descriptors"] = get("vrex_acq_meta_get_bin_descriptor_count", "vrex_acq_meta_get_bin_descriptors", DESCRIPTOR)
    out["hit_sums"] = get("vrex_acq_tpx3_get_binned_hitcounters_count", "vrex_acq_tpx3_get_binned_hitcounters", "<u8")
    out["itot_sums"] = get("vrex_acq_tpx3_get_binned_itots_count", "vrex_acq_tpx3_get_binned_itots", "<u8")
    for tdc in range(3):
        out[f"tdc{tdc}"] = get("vrex_acq_meta_get_tdc_toas_count", "vrex_acq_meta_get_tdc_toas", "<u8", c_int(tdc))
    assert LIB.vrex_acq_raw_get_data(acq, byref(p), byref(n)) == 0
    out["raw"] = buffer(p.value, n.value, "u1")
    assert LIB.vrex_acq_tpx3_get_vec_length(acq, byref(n)) == 0
    length = n.value
    widths = {"addresses": "<u4", "toa": "<u8" if mode == "0:tpx3-dd-toa-tot-vec" else "<u4", "tot": "<u2",
              "events": "<u2", "itots": "<u2"}
    getters = {"addresses": "pixel_address", "toa": "toa", "tot": "tot", "events": "event", "itots": "itot"}
    for name, getter in getters.items():
        assert getattr(LIB, f"vrex_acq_tpx3_get_{getter}_vec")(acq, byref(p)) == 0
        out[name] = buffer(p.value, length, widths[name])
    ticks = c_ulonglong()
    assert LIB.vrex_acq_meta_get_shutter_rising_time_ticks(acq, byref(ticks)) == 0
    out["shutter"] = ticks.value
    return out


class Sdk:
    """One SDK context with a device open and a mode selected."""

    def __init__(self, mode, locator=b"usb:vrex-sim-0"):
        self.ctx = c_void_p()
        assert LIB.vrex_ctx_create(byref(self.ctx)) == 0
        assert LIB.vrex_dev_open(self.ctx, locator) == 0
        if mode:
            assert LIB.vrex_chip_mode_select(self.ctx, mode.encode()) == 0
        self.mode, self.keep, self.errors = mode, [], []

    def on(self, fn, channel=b"ch0"):
        """Registers fn(acq) for `channel`; exceptions are kept and re-raised by check()."""

        def trampoline(acq, _user):
            try:
                fn(c_void_p(acq))  # as a pointer: a bare int would be passed as a C int
            except BaseException as e:  # noqa: BLE001  (a ctypes callback cannot raise)
                self.errors.append(e)

        cb = CALLBACK(trampoline) if fn else CALLBACK()
        self.keep.append(cb)
        return LIB.vrex_acq_set_data_callback(self.ctx, channel, cb, None)

    def collect(self, channel=b"ch0"):
        blocks = []
        assert self.on(lambda acq: blocks.append(read_block(acq, self.mode)), channel) == 0
        return blocks

    def call(self, fn, channel=b"ch0"):
        return getattr(LIB, f"vrex_acq_{fn}")(self.ctx, channel)

    def error(self):
        text = c_char_p()
        LIB.vrex_ctx_get_last_error(self.ctx, byref(text))
        return text.value

    def check(self):
        if self.errors:
            raise self.errors[0]

    def destroy(self):
        if self.ctx:
            assert LIB.vrex_ctx_destroy(self.ctx) == 0
            self.ctx = None


@pytest.fixture
def sdk():
    made = []

    def make(mode, acquisition=None, kind="tpx3"):
        simulator.configure({"devices": [{"kind": kind, "acquisition": acquisition or {}}]})
        made.append(Sdk(mode))
        return made[-1]

    yield make
    for s in made:
        s.destroy()
        s.check()


def run(sdk, mode, acquisition, kind="tpx3"):
    s = sdk(mode, acquisition, kind)
    blocks = s.collect()
    assert s.call("begin") == 0
    assert s.call("end") == 0
    s.check()
    return blocks


def values(entry):
    return None if entry[1] is None else entry[1].tolist()


RECORD_CASES = [
    ("0:tpx3-dd-toa-tot", [(1, 2, 3), (65535, 7, 2**40)], "packets"),
    ("0:tpx3-sorted-dd-toa-tot", [(9, 1, 50), (8, 1, 10)], "packets"),  # explicit records come as given
    ("0:tpx3-seq-itot-event", [(5, 300, 2)], "packets"),
    ("0:tpx3-binned-packets", [(1, 2, 3), (4, 5, 6), (7, 8, 9)], "packets"),
]


@pytest.mark.parametrize("mode,records,key", RECORD_CASES)
def test_scripted_records_metadata_and_raw_fallback(sdk, mode, records, key):
    block = {"records": records, "tdc": [2, 0, [7, 8]], "shutter": 99, "descriptors": 2, "hit_sums": [1, 2],
             "itot_sums": 3}
    (b,) = run(sdk, mode, {"blocks": [block]})
    assert [tuple(r) for r in values(b[key])] == records
    assert b["packets"][0] == len(records)
    assert b["raw"][1].tobytes() == b["packets"][1].tobytes()  # raw bytes of a packet mode: its records
    assert b["shutter"] == 99
    t0 = values(b["tdc0"])
    assert len(t0) == 2 and t0[0] < t0[1]
    assert b["tdc1"] == (0, None)
    assert values(b["tdc2"]) == [7, 8]
    assert b["descriptors"][0] == 2  # they split the binned packets, of which record modes have none
    assert sum(d[1] for d in values(b["descriptors"])) == (len(records) if mode.endswith("binned-packets") else 0)
    assert values(b["hit_sums"]) == [1, 2] and b["itot_sums"][0] == 3


@pytest.mark.parametrize("mode,vectors,length", [
    ("0:tpx3-seq-toa-tot-vec", {"addresses": [1, 2, 3], "toa": [10, 20, 2**32 - 1], "tot": [4, 5, 6]}, 3),
    ("0:tpx3-dd-toa-tot-vec", {"addresses": [1, 2], "toa": [2**40, 2**41], "tot": [4, 5]}, 2),
    ("0:tpx3-seq-itot-event-vec", {"addresses": [1], "events": [3], "itots": [900]}, 1),
    ("0:tpx3-seq-toa-tot-vec", {"addresses": [1, 2, 3], "tot": [4]}, 3),  # a short vector is padded with zeros
])
def test_scripted_vectors(sdk, mode, vectors, length):
    (b,) = run(sdk, mode, {"blocks": [{"vectors": vectors, "hits": 50}]})
    for name, given in vectors.items():
        assert values(b[name]) == given + [0] * (length - len(given))
    assert b["addresses"][0] == length and b["packets"] == (0, None)
    assert b["raw"][1].tobytes() == b["addresses"][1].tobytes()


def test_scripted_counts_frames_raw_and_empty_block(sdk):
    b1, b2 = run(sdk, "0:tpx-medipix", {"blocks": [{"frames": 2, "raw": 10}, {}]}, kind="tpx")
    assert b1["frames"][1].shape == (2, 65536) and b1["raw"][0] == 10
    assert b2["frames"] == (0, None) and b2["raw"] == (0, None) and b2["tdc0"] == (0, None)


def test_null_block_keeps_counts(sdk):
    (b,) = run(sdk, "0:tpx3-dd-toa-tot", {"blocks": [{"hits": 5, "frames": 1, "tdc": [1, 2, 3], "hit_sums": 4,
                                                       "null": True}]})
    assert [b[k] for k in ("packets", "frames", "tdc0", "tdc2", "hit_sums")] == [(5, None), (1, None), (1, None),
                                                                                  (3, None), (4, None)]
    assert b["raw"] == (80, None)


def acq_error(acq):
    text = c_char_p(b"unset")
    assert LIB.vrex_acq_get_last_error(acq, byref(text)) == 0
    return text.value


@pytest.mark.parametrize("fault,expected", [
    ({"vrex_acq_tpx3_get_packets": (-2, "scripted")}, (-2, b"scripted")),
    ({"vrex_acq_tpx3_get_packets": (-4, None)}, (-4, None)),
    (None, (-3, b"global")),
])
def test_block_and_global_faults_set_the_handle_error(sdk, fault, expected):
    blocks = [{"hits": 2, "fail": fault} if fault else {"hits": 2}, {"hits": 2}]
    s = sdk("0:tpx3-dd-toa-tot", {"blocks": blocks})
    if fault is None:
        simulator.fail("vrex_acq_tpx3_get_packets", -3, "global")
    seen = []

    def cb(acq):
        p = c_void_p()
        status = LIB.vrex_acq_tpx3_get_packets(acq, byref(p))
        seen.append((status, acq_error(acq) if status else p.value is not None))

    assert s.on(cb) == 0
    assert s.call("begin") == 0 and s.call("end") == 0
    assert seen == [expected, (0, True)]


def test_getter_argument_errors(sdk):
    s = sdk("0:tpx3-dd-toa-tot", {"blocks": [{"tdc": [1, 1, 1]}]})
    seen = []

    def cb(acq):
        n, p = c_uint64(), POINTER(c_uint64)()
        seen.append([LIB.vrex_acq_meta_get_tdc_toas_count(acq, c_int(3), byref(n)),
                     LIB.vrex_acq_meta_get_tdc_toas(acq, c_int(-1), byref(p)),
                     LIB.vrex_acq_tpx3_get_packet_count(acq, None),
                     LIB.vrex_acq_raw_get_data(acq, byref(p), None)])

    s.on(cb)
    assert s.call("begin") == 0 and s.call("end") == 0
    assert seen == [[-3, -3, -5, -5]]


def hits(b, mode):
    if mode.endswith("-vec"):
        return [tuple(v) for v in zip(values(b["addresses"]), values(b["tot"]), values(b["toa"]))]
    return [tuple(r) for r in values(b["packets"])]


def test_generated_hits_same_in_every_form_and_deterministic(sdk):
    acq = {"seed": 7, "block_count": 2, "hits": 300}
    dd = run(sdk, "0:tpx3-dd-toa-tot", acq)
    assert [hits(b, "dd") for b in dd] == [hits(b, "dd") for b in run(sdk, "0:tpx3-dd-toa-tot", acq)]
    assert hits(dd[0], "dd") != hits(run(sdk, "0:tpx3-dd-toa-tot", {**acq, "seed": 8})[0], "dd")
    for b, s in zip(dd, run(sdk, "0:tpx3-sorted-dd-toa-tot", acq)):
        unsorted = hits(b, "dd")
        assert unsorted != sorted(unsorted, key=lambda h: h[2])  # the readout order is only roughly in time
        assert hits(s, "sorted") == sorted(unsorted, key=lambda h: (h[2], h[0], h[1]))  # same ToA: by address
    for b, v in zip(dd, run(sdk, "0:tpx3-dd-toa-tot-vec", acq)):
        assert hits(v, "0:tpx3-dd-toa-tot-vec") == hits(b, "dd")
    seq = run(sdk, "0:tpx3-seq-toa-tot-vec", acq)
    assert [h[:2] for h in hits(seq[0], "-vec")] == [h[:2] for h in hits(dd[0], "dd")]
    itot = run(sdk, "0:tpx3-seq-itot-event", acq)
    assert [r[0] for r in hits(itot[0], "x")] == [h[0] for h in hits(dd[0], "dd")]
    # plausible: addresses on the chip, shutter and TDC stamps increasing
    assert all(h[0] < 65536 and h[1] > 0 for h in hits(dd[0], "dd"))
    assert dd[0]["shutter"] < dd[1]["shutter"]
    assert all(np.all(np.diff(b[f"tdc{i}"][1].astype(np.int64)) > 0) for b in dd for i in range(3))


def test_generated_binned_data_consistent(sdk):
    (b,) = run(sdk, "0:tpx3-binned-packets", {"block_count": 1, "hits": 500, "seed": 1})
    packets, bins = b["packets"][1], b["descriptors"][1]
    assert bins["packet_count"].sum() == len(packets) == 500
    assert list(bins["offset"]) == list(np.concatenate([[0], np.cumsum(bins["packet_count"])[:-1]]))
    counts = [int(packets["count"][o:o + n].sum()) for o, n in bins.tolist()]
    assert values(b["hit_sums"]) == counts
    assert values(b["itot_sums"]) == [int(packets["itot"][o:o + n].sum()) for o, n in bins.tolist()]
    (s,) = run(sdk, "0:tpx3-binned-count-sums", {"block_count": 1, "hits": 500, "seed": 1})  # the same packets
    assert values(s["hit_sums"]) == counts and s["packets"] == (0, None) and s["itot_sums"] == (0, None)


@pytest.mark.parametrize("setup,call,status,message", [
    ("", ("begin", b"nope"), -3, b"Unknown acquisition channel 'nope'"),
    ("no-mode", ("begin", b"ch0"), -2, b"No acquisition mode is selected on the chip"),
    ("closed", ("begin", b"ch0"), -2, b"No device is open"),
    ("", ("begin", None), -5, b"Channel identifier is null"),
    ("", ("end", b"ch0"), -2, b"No acquisition was begun on channel 'ch0'"),
    ("", ("abort", b"ch1"), -2, b"No acquisition is running on channel 'ch1'"),
    ("running", ("begin", b"ch0"), -2, b"An acquisition is already running on channel 'ch0'"),
    ("aborted", ("abort", b"ch0"), -2, b"No acquisition is running on channel 'ch0'"),
    ("huge", ("begin", b"ch0"), -4, None),
    ("short-record", ("begin", b"ch0"), -3, b"Block 0 record 1 has 2 fields; this mode's records are "
                                              b"(address, tot, toa)"),
])
def test_control_errors(sdk, setup, call, status, message):
    blocks = {"huge": [{"frames": 2**40}], "short-record": [{"records": [(1, 2, 3), (1, 2)]}]}.get(
        setup, [{"delay_s": 60}])
    s = sdk(None if setup == "no-mode" else "0:tpx3-dd-toa-tot", {"blocks": blocks})
    s.on(lambda acq: None)
    if setup == "closed":
        assert LIB.vrex_dev_close(s.ctx) == 0
    if setup in ("running", "aborted"):
        assert s.call("begin") == 0
    if setup == "aborted":
        assert s.call("abort") == 0
    assert s.call(*call) == status
    if message:
        assert s.error() == message
    if setup == "aborted":
        assert s.call("end") == 0 and s.call("begin") == 0  # an aborted run is ended and replaced normally


@pytest.mark.parametrize("inside", ["end", "abort", "close", "destroy"])
def test_control_from_inside_the_callback(sdk, inside):
    s = sdk("0:tpx3-dd-toa-tot", {"blocks": [{"hits": 1}] * 5})
    statuses, called = [], threading.Event()

    def cb(acq):
        if inside in ("end", "abort"):
            statuses.append((s.call(inside), s.error()))
        elif inside == "close":
            statuses.append(LIB.vrex_dev_close(s.ctx))
        else:
            ctx, s.ctx = s.ctx, None
            statuses.append(LIB.vrex_ctx_destroy(ctx))
        called.set()

    s.on(cb)
    assert s.call("begin") == 0
    if inside in ("end", "abort"):
        assert s.call("end") == 0
    else:  # the worker stops its own run; nothing is left to end
        assert called.wait(30)
    expected = {"end": [(-2, b"Cannot end the acquisition on channel 'ch0' from its own data callback (it would wait "
                             b"for itself); abort it instead")] * 5,
                "abort": [(0, b"")], "close": [0], "destroy": [0]}[inside]
    assert statuses == expected
    assert simulator.state(0)["blocks_delivered"] == {"end": 5, "abort": 1}.get(inside, 1)
    if inside in ("close", "destroy"):  # the stopped worker may still be finishing: it must not count on a new model
        simulator.configure({"devices": [{}]})
        assert simulator.state(0)["blocks_delivered"] == 0


def test_close_while_delivering_joins_and_stops(sdk):
    s = sdk("0:tpx3-dd-toa-tot", {"blocks": [{"hits": 1}, {"hits": 1, "delay_s": 60}]})
    entered, release, finished = threading.Event(), threading.Event(), []

    def cb(acq):
        entered.set()
        release.wait(30)
        finished.append(True)

    s.on(cb)
    assert s.call("begin") == 0
    assert entered.wait(30)
    closer = threading.Thread(target=lambda: finished.append(LIB.vrex_dev_close(s.ctx)))
    closer.start()
    release.set()
    closer.join()
    assert finished == [True, 0]  # close returned after the callback, and the delayed block never came
    assert simulator.state(0)["blocks_delivered"] == 1


def test_two_channels_deliver_concurrently_and_registration_switches(sdk):
    s = sdk("0:tpx3-dd-toa-tot", {"blocks": [{"hits": 1}] * 3})
    both = threading.Barrier(2, timeout=30)
    seen = {b"ch0": [], b"ch1": []}

    def on(channel):
        def cb(acq):
            both.wait()  # both workers are inside a callback at the same time
            seen[channel].append("first")
            s.on(lambda acq: seen[channel].append("second"), channel)

        s.on(cb, channel)

    on(b"ch0")
    on(b"ch1")
    assert s.call("begin", b"ch0") == 0 and s.call("begin", b"ch1") == 0
    assert s.call("end", b"ch0") == 0 and s.call("end", b"ch1") == 0
    assert seen == {b"ch0": ["first", "second", "second"], b"ch1": ["first", "second", "second"]}
    assert simulator.state(0)["blocks_delivered"] == 6


def test_burst_delivers_one_prepared_block(sdk):
    s = sdk("0:tpx3-dd-toa-tot", {"burst": 500, "hits": 64, "interval_s": 60})
    pointers = set()

    def cb(acq):
        p = c_void_p()
        LIB.vrex_acq_tpx3_get_packets(acq, byref(p))
        pointers.add(p.value)

    s.on(cb)
    assert s.call("begin") == 0 and s.call("end") == 0
    assert len(pointers) == 1 and simulator.state(0)["blocks_delivered"] == 500


def test_last_block_shows_writes_made_in_the_callback(sdk):
    s = sdk("0:tpx3-dd-toa-tot", {"blocks": [{"records": [(1, 2, 3)], "tdc": [[5], 0, 0]}]})
    simulator.record_calls()

    def cb(acq):
        p, t = c_void_p(), POINTER(c_uint64)()
        LIB.vrex_acq_tpx3_get_packets(acq, byref(p))
        ctypes.memmove(p, np.array([(42, 43, 44)], dtype=TOA_TOT).tobytes(), 16)
        LIB.vrex_acq_meta_get_tdc_toas(acq, c_int(0), byref(t))
        t[0] = 6

    s.on(cb)
    assert s.call("begin") == 0 and s.call("end") == 0
    last = simulator.state(0)["last_block"]
    assert np.frombuffer(last["packets"], TOA_TOT).tolist() == [(42, 43, 44)]
    assert np.frombuffer(last["tdc0"], "<u8").tolist() == [6] and "tdc1" not in last
    assert [c[0] for c in simulator.calls()].count("vrex_acq_tpx3_get_packets") == 1
