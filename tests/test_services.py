"""The device-service modules against the simulated device: cooling, board, trigger, lockstep, revisions, traits
(device.props) and axi."""

import math
import struct
import threading
import time

import pytest

from vrexsdk import cooling, errors, simulator, traits

from argtypes import EncodesTo, IntReturns


def single(f):
    return struct.unpack("f", struct.pack("f", f))[0]


# ---- identifier lists, shared by four modules ---------------------------------------------------------------------

# attribute, list method, private count, private id, count SDK function, id SDK function, model key, entry, keyword
LISTS = [
    ("cooling", "getIds", "_Cooling__getCount", "_Cooling__getId", "vrex_cooling_count", "vrex_cooling_id",
     "cooling", lambda i: {"id": i}, "coolingIdx"),
    ("board", "getBoardIds", "_Board__getCount", "_Board__getId", "vrex_board_count", "vrex_board_id", "boards",
     lambda i: {"id": i}, "boardIdx"),
    ("trigger", "getModeIds", "_Trigger__getModeCount", "_Trigger__getModeId", "vrex_trigger_mode_count",
     "vrex_trigger_mode_id", "trigger_modes", lambda i: i, "modeIdx"),
    ("lockstep", "getOptionIds", "_Lockstep__getOptionCount", "_Lockstep__getOptionId",
     "vrex_lockstep_option_count", "vrex_lockstep_option_id", "lockstep_options", lambda i: i, "optionIdx"),
]
lists = pytest.mark.parametrize("attr,method,count_m,id_m,count_fn,id_fn,key,entry,keyword", LISTS,
                                ids=[x[0] for x in LISTS])


@lists
@pytest.mark.parametrize("ids", [["a", "b", "c"], ["", "µ-é"], []], ids=["three", "empty-and-utf8", "none"])
def test_identifier_list_calls_count_then_each_index(open_with, recording, attr, method, count_m, id_m, count_fn,
                                                     id_fn, key, entry, keyword, ids):
    service = getattr(open_with(**{key: [entry(i) for i in ids]}), attr)
    simulator.clear_calls()
    assert getattr(service, method)() == ids
    assert recording() == [(count_fn, ())] + [(id_fn, (i,)) for i in range(len(ids))]


@lists
def test_private_index_conversion(open_with, recording, attr, method, count_m, id_m, count_fn, id_fn, key, entry,
                                  keyword):
    service = getattr(open_with(**{key: [entry("a"), entry("b")]}), attr)
    assert getattr(service, count_m)() == 2
    assert getattr(service, id_m)(**{keyword: 1}) == "b"
    assert getattr(service, id_m)(1.9) == "b"  # truncated toward zero
    simulator.clear_calls()
    with pytest.raises(TypeError, match="^an integer is required$"):
        getattr(service, id_m)("1")
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        getattr(service, id_m)(2**31)
    assert recording() == []
    service = getattr(open_with(**{key: [entry(b"bad\xff")]}), attr)
    with pytest.raises(UnicodeDecodeError):
        getattr(service, method)()


@lists
def test_identifier_list_failure_discards_the_partial_list(opened, recording, attr, method, count_m, id_m, count_fn,
                                                           id_fn, key, entry, keyword):
    service = getattr(opened, attr)
    simulator.fail(id_fn, -3, "index gone", count=1)
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="^index gone$"):
        getattr(service, method)()
    assert recording()[-2:] == [(id_fn, (0,)), ("vrex_ctx_get_last_error", ())]


# ---- identifier arguments ----------------------------------------------------------------------------------------

ID_METHODS = [
    ("cooling", "getActualTemperature", ()), ("cooling", "setDesiredTemperature", ("bad",)),
    ("board", "powerOn", ()), ("board", "isPowered", ()), ("trigger", "selectMode", ()),
    ("lockstep", "selectOption", ()),
]


@pytest.mark.parametrize("attr,method,rest", ID_METHODS, ids=[m[1] for m in ID_METHODS])
@pytest.mark.parametrize(
    "given,error,message",
    [(5, AttributeError, None), (None, AttributeError, None), (b"x", AttributeError, None),
     (EncodesTo(bytearray(b"x")), TypeError, "^Expected bytes, got bytearray$"),
     (EncodesTo(None), TypeError, "^expected bytes, NoneType found$")],
    ids=["int", "None", "bytes", "bytearray", "encodes-None"],
)
def test_identifier_conversion_errors(opened, recording, attr, method, rest, given, error, message):
    # The identifier is converted first: its error wins over a bad temperature.
    with pytest.raises(error, match=message):
        getattr(getattr(opened, attr), method)(given, *rest)
    assert recording() == []


# ---- single-precision arguments -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call,fn",
    [(lambda d, v: d.cooling.setDesiredTemperature("peltier", v), "vrex_cooling_set_desired"),
     (lambda d, v: d.trigger.setShutterDuration(v), "vrex_trigger_set_shutter_duration")],
    ids=["temperature", "duration"],
)
def test_float_arguments(opened, recording, call, fn):
    for value, passed in [(20, 20.0), (0.1, single(0.1)), (1e40, math.inf)]:
        simulator.clear_calls()
        try:
            call(opened, value)
        except errors.VrexSdkInvalidArgumentError:
            assert math.isinf(passed)  # the SDK refuses infinity, but received it
        assert recording()[0] == (fn, ((b"peltier",) if "cooling" in fn else ()) + (passed,))
    simulator.clear_calls()
    with pytest.raises(TypeError):
        call(opened, "20")
    assert recording() == []


# ---- cooling -----------------------------------------------------------------------------------------------------


def test_cooling_queries(opened):
    c = opened.cooling
    assert c.getValueUnit(coolingId="peltier") == "DegreeCelsius"
    limits = c.getLimits("peltier")
    assert type(limits) is cooling.CoolingLimits and limits == (-10.0, 40.0)
    low, high = limits
    assert (low, high) == (limits.min, limits.max)
    assert c.getDesiredTemperature("peltier") == 20.0
    with pytest.raises(errors.VrexSdkInvalidArgumentError,
                       match=r"^Temperature 41 of cooling unit 'peltier' outside its limits \[-10, 40\]$"):
        c.setDesiredTemperature("peltier", 41)
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="^Unknown cooling unit 'nope'$"):
        c.getActualTemperature("nope")


def test_cooling_approaches_the_set_point(open_with):
    c = open_with(cooling=[{"id": "tec", "actual": 25.0, "desired": 25.0, "min": -20, "max": 40,
                            "time_constant_s": 0.2}]).cooling
    assert c.getActualTemperature("tec") == 25.0
    c.setDesiredTemperature("tec", 15)
    readings = []
    for _ in range(3):
        time.sleep(0.05)
        readings.append(c.getActualTemperature("tec"))
    assert 15.0 < readings[2] < readings[1] < readings[0] < 25.0
    assert c.getDesiredTemperature("tec") == 15.0
    time.sleep(0.1)
    reported = simulator.state()["actual"]["tec"]
    assert 15.0 < reported < readings[2]  # the snapshot shows the temperature reached by now
    deadline = time.monotonic() + 10
    while abs(c.getActualTemperature("tec") - 15.0) > 0.01 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert abs(c.getActualTemperature("tec") - 15.0) <= 0.01
    c.setDesiredTemperature("tec", 30)  # the next approach starts from where the unit got to
    assert c.getActualTemperature("tec") < 15.5


@pytest.mark.parametrize("tau,expected", [(float("inf"), 5.0), (0, -7.0)], ids=["holds", "instant"])
def test_cooling_time_constant_extremes(open_with, tau, expected):
    c = open_with(cooling=[{"id": "u", "actual": 5.0, "desired": 5.0, "min": -10, "max": 10,
                            "time_constant_s": tau}]).cooling
    c.setDesiredTemperature("u", -7)
    assert c.getActualTemperature("u") == expected


# ---- board -------------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("flag,expected", [(0, False), (1, True), (2, True), (-1, True)])
def test_is_powered_is_a_bool(open_with, flag, expected):
    assert open_with(boards=[{"id": "b", "powered": flag}]).board.isPowered("b") is expected


def test_board_power(opened):
    b = opened.board
    with pytest.raises(errors.VrexSdkInvalidOperationError, match="^Board 'chipboard' is not powered on$"):
        b.powerOff("chipboard")
    b.powerOn(boardId="chipboard")
    assert b.isPowered("chipboard") is True and simulator.state()["powered"]["chipboard"] == 1
    b.powerOff("chipboard")
    assert b.isPowered("chipboard") is False
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="^Unknown board 'nope'$"):
        b.powerOn("nope")


def test_board_count_failure_goes_through_the_errors_module(opened, recording, monkeypatch):
    b = opened.board
    simulator.fail("vrex_board_count", -2, "not this")
    with pytest.raises(errors.VrexSdkInvalidOperationError, match="^getBoardCount failed with status -2$"):
        b.getBoardIds()
    assert recording() == [("vrex_board_count", ())]  # no last error fetched
    reported = []
    monkeypatch.setattr(errors, "_throwVrexError", lambda *args: reported.append(args) or "ignored")
    simulator.fail("vrex_board_count", -1)
    assert b.getBoardIds() == []  # the reporter returned: the preset count
    simulator.fail("vrex_board_count", -3, perform=True)
    assert b._Board__getCount() == 2  # the count as the SDK left it
    assert reported == [(-1, "getBoardCount"), (-3, "getBoardCount")]
    assert all(type(status) is int for status, _ in reported)
    monkeypatch.delattr(errors, "_throwVrexError")
    simulator.fail("vrex_board_count", -1)
    with pytest.raises(AttributeError, match="_throwVrexError"):
        b.getBoardIds()


# ---- trigger, shutter, synchronisation --------------------------------------------------------------------------


def test_selections_reach_the_device(opened):
    opened.trigger.selectMode("external-rising")
    opened.trigger.setShutterDuration(duration=0.25)
    opened.lockstep.selectOption(optionId="slave")
    state = simulator.state()
    assert (state["trigger_mode"], state["shutter_duration"], state["lockstep_option"]) == (
        "external-rising", 0.25, "slave")
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="^Unknown trigger mode 'nope'$"):
        opened.trigger.selectMode("nope")
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="^Unknown external synchronisation option 'x'$"):
        opened.lockstep.selectOption("x")
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="not a positive, finite duration"):
        opened.trigger.setShutterDuration(0)


@pytest.mark.parametrize("status,raised", [(-1, errors.VrexSdkInternalException), (-6, None)])
def test_failed_trigger_waits_before_raising(opened, status, raised):
    simulator.fail("vrex_trigger", status, "pulled too early")
    start = time.perf_counter()
    if raised:
        with pytest.raises(raised, match="^pulled too early$"):
            opened.trigger.trigger()
    else:
        assert opened.trigger.trigger() is None
    assert time.perf_counter() - start >= 0.01


def test_software_trigger_needs_its_mode(opened):
    with pytest.raises(errors.VrexSdkInvalidOperationError, match="trigger mode is not selected; select 'software'"):
        opened.trigger.trigger()
    opened.trigger.selectMode("internal")
    with pytest.raises(errors.VrexSdkInvalidOperationError, match="trigger mode is 'internal'"):
        opened.trigger.trigger()
    opened.trigger.selectMode("software")
    opened.trigger.trigger()
    assert simulator.state()["triggers"] == 1


def software_triggered_run(device, blocks):
    simulator.configure({"devices": [{"acquisition": {"blocks": [{"raw": 8}] * blocks}}]})
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:raw-data")
    device.trigger.selectMode("software")
    got = threading.Semaphore(0)
    device.acq.setDataCallback("ch0", lambda data: got.release())
    device.acq.begin("ch0")
    return got


def test_each_software_trigger_releases_one_block(device):
    got = software_triggered_run(device, 3)
    assert not got.acquire(timeout=0.2)  # nothing before a trigger
    device.trigger.trigger()
    assert got.acquire(timeout=10)
    assert not got.acquire(timeout=0.1)
    device.trigger.trigger()
    device.trigger.trigger()
    assert got.acquire(timeout=10) and got.acquire(timeout=10)
    device.acq.end("ch0")
    assert simulator.state()["blocks_delivered"] == 3


@pytest.mark.parametrize("stop", ["abort", "close"])
def test_stopping_ends_the_wait_for_a_trigger(device, stop):
    got = software_triggered_run(device, 2)
    if stop == "abort":
        device.acq.abort("ch0")
    else:
        device.close()
    assert not got.acquire(timeout=0.05)
    assert simulator.state(0)["blocks_delivered"] == 0


def test_frames_are_exposed_for_the_shutter_duration(open_with):
    d = open_with(kind="tpx", acquisition={"blocks": [{"frames": 2}, {"frames": 2}]})
    d.chip.selectMode("0:tpx-medipix")
    d.trigger.setShutterDuration(0.05)
    d.acq.setDataCallback("ch0", lambda *frames: None)
    start = time.perf_counter()
    d.acq.begin("ch0")
    d.acq.end("ch0")
    assert time.perf_counter() - start >= 4 * 0.05
    assert simulator.state()["blocks_delivered"] == 2


# ---- revisions ---------------------------------------------------------------------------------------------------


def test_revisions(open_with, recording):
    r = open_with(revisions=[["fw", "1"], ["hw", "B"], ["fw", "2"], ["µ", ""]]).revisions
    simulator.clear_calls()
    result = r.get()
    assert result == {"fw": "2", "hw": "B", "µ": ""} and list(result) == ["fw", "hw", "µ"]
    assert recording()[:3] == [("vrex_revisions_count", ()), ("vrex_revisions_id", (0,)),
                               ("vrex_revisions_string", (b"fw",))]
    simulator.fail("vrex_revisions_string", -3, "gone", perform=True)
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="^gone$"):
        r.get()


def test_revisions_edge_cases(open_with, recording):
    r = open_with(revisions=[]).revisions
    simulator.clear_calls()
    assert r.get() == {}
    assert recording() == [("vrex_revisions_count", ())]
    r = type("Sub", (type(r),), {"_Revisions__getCount": lambda self: 1,
                                 "_Revisions__getId": lambda self, i: b"fw"})(None)
    with pytest.raises(AttributeError):
        r.get()  # an identifier must encode to bytes


def test_revision_version_must_be_utf8(open_with):
    with pytest.raises(UnicodeDecodeError):
        open_with(revisions=[["fw", b"\xff"]]).revisions.get()


# ---- device properties -------------------------------------------------------------------------------------------

PROPS = ["getManufacturer", "getProduct", "getSerialNumber", "getConnectionString", "getUsbVidPid",
         "getUsbInstancePath", "isUsbHighSpeed", "isUsbSuperSpeed"]


def test_properties(open_with):
    p = open_with(manufacturer="", product="Det µ", vid=65535, pid=0, high_speed=0, super_speed=2,
                  connection_string="usb:x").props
    assert (p.getManufacturer(), p.getProduct(), p.getConnectionString()) == ("", "Det µ", "usb:x")
    ids = p.getUsbVidPid()
    vendor, product = ids
    assert type(ids) is traits.VidPid and (vendor, product) == (ids.vendorId, ids.productId) == (65535, 0)
    assert p.isUsbHighSpeed() is False and p.isUsbSuperSpeed() is True


@pytest.mark.parametrize("method", PROPS)
def test_properties_need_an_open_device(device, method):
    with pytest.raises(errors.VrexSdkInvalidOperationError, match="^No device is open$"):
        getattr(device.props, method)()


# ---- AXI ---------------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "address,error,message",
    [(-1, OverflowError, "can't convert negative value to uint32_t"),
     (2**32, OverflowError, "value too large to convert to uint32_t"),
     ("16", TypeError, "an integer is required"),
     (IntReturns("16"), TypeError, r"__int__ returned non-int \(type str\)")],
)
def test_axi_conversions(opened, recording, address, error, message):
    for call in (lambda: opened.axi.read(address), lambda: opened.axi.write(address, 1),
                 lambda: opened.axi.write(0x10, address)):
        with pytest.raises(error, match=f"^{message}$"):
            call()
    assert recording() == []


def test_axi_register_file(opened, recording):
    a = opened.axi
    assert a.read(address=0x40) == 0x80000001  # top bit set: never negative
    a.write(0x10, 1.9)
    a.write(address=0x10, data=0xFFFFFFFF)
    assert a.read(0x10) == 0xFFFFFFFF
    a.write(0x20, 7)
    assert a.read(0x20) == 0 and simulator.state()["registers"][0x20] == 7  # write-only
    assert recording()[1] == ("vrex_axi_write", (0x10, 1))
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="^AXI register 0x00000000 is read-only$"):
        a.write(0, 1)
    with pytest.raises(errors.VrexSdkAxiException, match="^AXI slave error at address 0x00001004$"):
        a.read(0x1004)
    simulator.clear_calls()
    with pytest.raises(errors.VrexSdkAxiException, match="^AXI decode error: no slave answers at address 0xFFFFFFFF$"):
        a.write(0xFFFFFFFF, 0)
    assert recording()[0] == ("vrex_axi_write", (0xFFFFFFFF, 0))


@pytest.mark.parametrize("status,raised", [(102, errors.VrexSdkAxiException), (103, errors.VrexSdkAxiException),
                                           (-3, errors.VrexSdkInvalidArgumentError), (1, None), (101, None),
                                           (-6, None)])
def test_axi_status_rules(opened, status, raised):
    for fn, call in [("vrex_axi_read", lambda: opened.axi.read(0x40)),
                     ("vrex_axi_write", lambda: opened.axi.write(0x14, 5))]:
        simulator.fail(fn, status, "bus says no", perform=True)
        if raised:
            with pytest.raises(raised, match="^bus says no$"):
                call()
        else:
            assert call() == (0x80000001 if fn == "vrex_axi_read" else None)
