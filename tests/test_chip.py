"""vrexsdk.chip against the simulated device: chips, polarity, modes, DACs, sense DACs and thresholds."""

import contextlib
import ctypes
import fractions
import gc
import struct
import threading
import traceback
import types

import pytest

from vrexsdk import chip, context, errors, simulator

from argtypes import EncodesTo, IntReturns
from conftest import recorded_calls as recording

Chip = chip.__Chip
BinningParams = chip.BinningParams
ChipPolarity = chip.ChipPolarity
MODE = "0:tpx3-binned-packets"
OTHER = "0:raw-data"
FLT_MAX = 3.4028234663852886e38


def selected_mode_field(c):
    """__Chip's selected-mode field as acquisition reads it: 30 bytes after the object header and the context."""
    raw = ctypes.string_at(id(c) + object.__basicsize__ + ctypes.sizeof(ctypes.c_void_p), 30)
    assert b"\0" in raw, "selected-mode field not terminated"
    return raw.split(b"\0", 1)[0].decode()


def single(f):
    return struct.unpack("f", struct.pack("f", f))[0]


def tb_names(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


@pytest.fixture
def c(opened):
    return opened.chip


# ---- identifier lists -------------------------------------------------------------------------------------------

# list method, count SDK function, identifier SDK function, model key, model entry, private methods, index keyword
LISTS = [
    ("getChipIds", "vrex_chip_count", "vrex_chip_id", "chips", lambda i: {"id": i}, "Chip", "chipIdx"),
    ("getModeIds", "vrex_chip_mode_count", "vrex_chip_mode_id", "modes", lambda i: i, "Mode", "modeIdx"),
    ("getSenseDacIds", "vrex_chip_sense_dac_count", "vrex_chip_sense_dac_name", "sense_dacs", lambda i: i,
     "SenseDac", "senseDacIdx"),
    ("getDacIds", "vrex_chip_dac_count", "vrex_chip_dac_name", "dacs", lambda i: {"id": i}, "Dac", "dacIdx"),
    ("getThresholdIds", "vrex_chip_threshold_count", "vrex_chip_threshold_id", "thresholds", lambda i: {"id": i},
     "Threshold", "threshIdx"),
]


def private_names(kind):
    return f"_Chip__get{kind}Count", f"_Chip__get{kind}" + ("Name" if "Dac" in kind else "Id")


lists = pytest.mark.parametrize("method,count_fn,id_fn,key,entry,kind,keyword", LISTS, ids=[m[0] for m in LISTS])


@lists
@pytest.mark.parametrize("ids", [["a", "b", "c"], ["", "µ-é"], [], [f"{i:02d}" + "x" * 60 for i in range(40)]],
                         ids=["three", "empty-and-utf8", "none", "longer-than-a-page"])
def test_identifier_list_calls_count_then_each_index(open_with, method, count_fn, id_fn, key, entry, kind, keyword,
                                                     ids):
    c = open_with(**{key: [entry(i) for i in ids]}).chip
    with recording() as calls:
        assert getattr(c, method)() == ids
    assert calls == [(count_fn, ())] + [(id_fn, (i,)) for i in range(len(ids))]


@lists
def test_identifier_list_failures(open_with, method, count_fn, id_fn, key, entry, kind, keyword):
    c = open_with(**{key: [entry("a"), entry(b"bad\xff"), entry("c")]}).chip
    with pytest.raises(UnicodeDecodeError):
        getattr(c, method)()
    simulator.fail(count_fn, -1, "count broke")
    with pytest.raises(errors.VrexSdkInternalException, match="^count broke$"):
        getattr(c, method)()
    simulator.fail(id_fn, -3, "no such index")
    with recording() as calls, pytest.raises(errors.VrexSdkInvalidArgumentError, match="^no such index$") as info:
        getattr(c, method)()
    assert calls == [(count_fn, ()), (id_fn, (0,)), ("vrex_ctx_get_last_error", ())]
    private = "vrexsdk.chip.__Chip.__" + private_names(kind)[1].split("__")[1]
    assert {private, f"vrexsdk.chip.__Chip.{method}"} <= set(tb_names(info.value))


@lists
def test_identifier_list_status_outside_the_table(open_with, method, count_fn, id_fn, key, entry, kind, keyword):
    c = open_with(**{key: [entry("a"), entry("b")]}).chip
    simulator.fail(id_fn, -6, "not in the table")  # raises nothing: the preset null reads as ""
    with recording() as calls:
        assert getattr(c, method)() == ["", "b"]
    assert calls == [(count_fn, ()), (id_fn, (0,)), ("vrex_ctx_get_last_error", ()), (id_fn, (1,))]


@lists
def test_private_identifier_methods(open_with, method, count_fn, id_fn, key, entry, kind, keyword):
    c = open_with(**{key: [entry("a"), entry("b")]}).chip
    count_method, id_method = private_names(kind)
    assert getattr(c, count_method)() == 2
    assert getattr(c, id_method)(**{keyword: 1}) == "b"
    assert getattr(c, id_method)(1.9) == "b"  # truncated toward zero
    with recording() as calls, pytest.raises(errors.VrexSdkInvalidArgumentError):
        getattr(c, id_method)(-1)  # passed unchanged; the SDK judges it
    assert calls[0] == (id_fn, (-1,))


@lists
def test_identifier_list_uses_the_private_methods_of_the_instance(method, count_fn, id_fn, key, entry, kind,
                                                                   keyword):
    count_method, id_method = private_names(kind)
    seen = []

    def identifier(self, index):
        seen.append(index)
        if index == 5:
            raise KeyError("sixth")
        return f"id{index}"

    def make(count):
        return type("Sub", (Chip,), {count_method: lambda self: count, id_method: identifier})(None)

    assert getattr(make(3), method)() == ["id0", "id1", "id2"]  # the SDK is never reached
    assert seen == [0, 1, 2]
    assert getattr(make(-4), method)() == []
    with pytest.raises(KeyError, match="sixth"):
        getattr(make(9), method)()


def test_a_private_method_replaced_on_the_type_after_a_list_is_heard(c, monkeypatch):
    assert c.getChipIds() == ["W0028_H05"]
    monkeypatch.setattr(Chip, "_Chip__getChipId", lambda self, index: f"replaced {index}")
    assert c.getChipIds() == ["replaced 0"]
    monkeypatch.undo()
    assert c.getChipIds() == ["W0028_H05"]


def test_overridden_count_with_the_real_identifier_method(opened):
    ctx = next(o for o in gc.get_referents(opened.chip) if isinstance(o, context._Context))
    c = type("Sub", (Chip,), {"_Chip__getDacCount": lambda self: 2})(ctx)
    assert c.getDacIds() == opened.chip.getDacIds()[:2]
    c._Chip__getModeCount = lambda: 1  # an instance attribute is found first
    assert c.getModeIds() == opened.chip.getModeIds()[:1]


# ---- chips and polarity ----------------------------------------------------------------------------------------------


def test_refresh(c):
    c.setDacValue("Vfbk", 17)
    assert c.refresh() is None
    assert simulator.state()["dacs"]["Vfbk"] == 164
    assert simulator.state()["refresh_count"] == 1


@pytest.mark.parametrize("raw,expected", [(0, ChipPolarity.positive), (1, ChipPolarity.negative), (2, None),
                                          (-1, None)])
def test_get_polarity(open_with, raw, expected):
    c = open_with(chips=[{"id": "x", "polarity": 0}, {"id": "y", "polarity": raw}]).chip
    if expected is None:
        with pytest.raises(ValueError, match="is not a valid ChipPolarity"):
            c.getPolarity(1)
    else:
        assert c.getPolarity(chipIdx=1) is expected
        assert c.getPolarity(1.9) is expected  # truncated toward zero: chip 1


class EqualsPositive:
    def __init__(self, result):
        self.result = result

    def __eq__(self, other):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class Untruthful:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    "given,expected",
    [(ChipPolarity.positive, 0), (ChipPolarity.negative, 1), (0, 1), (1, 1), (None, 1), ("positive", 1),
     (EqualsPositive(True), 0), (EqualsPositive("yes"), 0), (EqualsPositive(False), 1)],
    ids=repr,
)
def test_set_polarity_selects_positive_only_for_what_equals_positive(open_with, given, expected):
    c = open_with(chips=[{"id": "x", "polarity": 1 - expected}, {"id": "y", "polarity": 1 - expected}]).chip
    with recording() as calls:
        assert c.setPolarity(chipIdx=1, chipPolarity=given) is None
    assert calls == [("vrex_chip_set_polarity", (1, expected))]
    assert simulator.state()["polarity"] == [1 - expected, expected]


def test_set_polarity_comparison_errors_propagate(c):
    with recording() as calls:
        with pytest.raises(RuntimeError, match="cannot compare"):
            c.setPolarity(0, EqualsPositive(RuntimeError("cannot compare")))
        with pytest.raises(ZeroDivisionError, match="no truth"):
            c.setPolarity(0, EqualsPositive(Untruthful()))
        with pytest.raises(OverflowError):  # the index is converted first
            c.setPolarity(2**31, EqualsPositive(RuntimeError("cannot compare")))
    assert calls == []


# ---- modes ---------------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "params,block",
    [
        (None, None),
        (BinningParams(256, 256, 1000), (256, 256, 1000)),
        (BinningParams(256, 256, 2**64 - 1), (256, 256, 2**64 - 1)),
        (types.SimpleNamespace(width=3.9, height=IntReturns(4), dwellTime=True, extra="ignored"), (3, 4, 1)),
    ],
    ids=["none", "binning", "maxima", "any-object"],
)
def test_select_mode(c, params, block):
    assert selected_mode_field(c) == ""
    with recording() as calls:
        assert c.selectMode(modeId=MODE, modeParams=params) is None
        if params is None:
            c.selectMode(MODE)
    if params is None:
        assert calls == [("vrex_chip_mode_select", (MODE.encode(),))] * 2
    else:
        assert calls == [("vrex_chip_mode_select_ex", (MODE.encode(), block))]
    assert simulator.state()["mode_params"] == block
    assert simulator.state()["selected_mode"] == MODE
    assert selected_mode_field(c) == MODE


def test_a_binning_at_the_converters_maxima_reaches_the_device_and_is_refused(c):
    with recording() as calls, pytest.raises(errors.VrexSdkInvalidArgumentError, match="does not fit"):
        c.selectMode(MODE, BinningParams(2**32 - 1, 2**32 - 1, 2**64 - 1))
    assert calls[0] == ("vrex_chip_mode_select_ex", (MODE.encode(), (2**32 - 1, 2**32 - 1, 2**64 - 1)))


class Recorded:
    """Mode parameters that log each attribute read."""

    def __init__(self, log, **values):
        self._log = log
        self._values = values

    def __getattr__(self, name):
        self._log.append(name)
        if name not in self._values:
            raise AttributeError(name)
        return self._values[name]


@pytest.mark.parametrize(
    "values,error,message",
    [
        ({"width": -1}, OverflowError, "can't convert negative value to uint32_t"),
        ({"width": 2**32}, OverflowError, "value too large to convert to uint32_t"),
        ({"width": 1, "height": -(2**70)}, OverflowError, "can't convert negative value to uint32_t"),
        ({"width": 1, "height": 2**70}, OverflowError, "value too large to convert to uint32_t"),
        ({"width": 1, "height": 1, "dwellTime": -1}, OverflowError, "can't convert negative value to uint64_t"),
        ({"width": 1, "height": 1, "dwellTime": 2**64}, OverflowError, None),
        ({"width": "1"}, TypeError, "an integer is required"),
        ({"width": 1, "height": IntReturns("2")}, TypeError, "__int__ returned non-int (type str)"),
        ({"width": 1, "height": 1}, AttributeError, None),
    ],
    ids=["w-neg", "w-big", "h-neg", "h-big", "d-neg", "d-big", "w-str", "h-int-str", "no-dwell"],
)
def test_select_mode_parameter_errors(c, values, error, message):
    c.selectMode(OTHER)
    log = []
    with recording() as calls, pytest.raises(error) as e:
        c.selectMode(MODE, Recorded(log, **values))
    assert message is None or str(e.value) == message
    assert log == ["width", "height", "dwellTime"][: len(values) + (error is AttributeError)]  # one at a time
    assert calls == []
    assert selected_mode_field(c) == OTHER


@pytest.mark.parametrize("params", [None, BinningParams(1, 2, 3)], ids=["plain", "params"])
def test_selected_mode_is_written_only_after_success(c, params):
    fn = "vrex_chip_mode_select" if params is None else "vrex_chip_mode_select_ex"
    c.selectMode(OTHER, params)
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="^Unknown acquisition mode 'nope'$"):
        c.selectMode("nope", params)
    assert selected_mode_field(c) == OTHER
    simulator.fail(fn, -1, "selected, then failed", perform=True)  # the SDK selected, yet reports failure
    with pytest.raises(errors.VrexSdkInternalException):
        c.selectMode(MODE, params)
    assert simulator.state()["selected_mode"] == MODE
    assert selected_mode_field(c) == OTHER
    simulator.fail(fn, -6)  # outside the mapping: raises nothing, counts as a selection
    assert c.selectMode(MODE, params) is None
    assert selected_mode_field(c) == MODE


@pytest.mark.parametrize("params", [None, BinningParams(1, 2, 3)], ids=["plain", "params"])
def test_mode_identifier_length_limit(open_with, params):
    longest, wide = "m" * 29, "é" * 14 + "m"  # 29 bytes each
    c = open_with(modes=[longest, wide, "m" * 30, "é" * 15, "m"]).chip
    c.selectMode(longest, params)
    assert selected_mode_field(c) == longest
    c.selectMode(wide, params)
    assert selected_mode_field(c) == wide
    with recording() as calls:
        for too_long in ("m" * 30, "é" * 15, "m" * 1000, "m\0" + "x" * 40):
            with pytest.raises(ValueError, match="mode identifier too long"):
                c.selectMode(too_long, params)
    assert calls == []
    assert selected_mode_field(c) == wide
    c.selectMode("m\0tail", params)  # the SDK, and the field, see the identifier up to the NUL
    assert simulator.state()["selected_mode"] == "m"
    assert selected_mode_field(c) == "m"


def test_select_mode_calls_the_private_methods_of_the_instance():
    seen = []
    Sub = type("Sub", (Chip,), {
        "_Chip__selectModeWithParams": lambda self, modeId, modeParams: seen.append(("with", modeId, modeParams)),
        "_Chip__selectModeWithoutParams": lambda self, modeId: seen.append(("without", modeId)) or "ignored",
    })
    c = Sub(None)
    params = BinningParams(1, 2, 3)
    for args in [("a",), ("b", None), ("c", params), ("d", 0), (5, ())]:
        assert c.selectMode(*args) is None
    assert seen == [("without", "a"), ("without", "b"), ("with", "c", params), ("with", "d", 0), ("with", 5, ())]


def test_select_mode_honours_methods_patched_on_the_class(c, monkeypatch):
    seen = []
    monkeypatch.setattr(Chip, "_Chip__selectModeWithoutParams", lambda self, modeId: seen.append(modeId))
    monkeypatch.setattr(Chip, "_Chip__selectModeWithParams", lambda self, modeId, p: seen.append((modeId, p)))
    c.selectMode(MODE)
    c.selectMode(OTHER, 7)
    assert seen == [MODE, (OTHER, 7)]
    assert selected_mode_field(c) == ""
    monkeypatch.undo()
    c.selectMode(MODE)
    assert selected_mode_field(c) == MODE


# ---- DACs and sense DACs -----------------------------------------------------------------------------------------


def test_dacs(c):
    assert c.getDacValue("Vfbk") == 164
    assert c.setDacValue(dacValue=200, dacId="Vfbk") is None
    assert simulator.state()["dacs"]["Vfbk"] == 200
    assert c.getDacValue(dacId="Vfbk") == 200
    limits = c.getDacLimits("Vthreshold_fine")
    assert type(limits) is chip.DacLimits and limits == (0, 511) and (limits.min, limits.max) == (0, 511)
    with recording() as calls, pytest.raises(errors.VrexSdkInvalidArgumentError) as e:
        c.setDacValue("Vfbk", -1)  # no limit check before the SDK
    assert e.value.args == ("Value -1 of DAC 'Vfbk' outside its limits [0, 255]",)
    assert calls == [("vrex_chip_dac_value_set", (b"Vfbk", -1)), ("vrex_ctx_get_last_error", ())]
    assert simulator.state()["dacs"]["Vfbk"] == 200


@pytest.mark.parametrize("value,passed", [(7.9, 7), (1.9, 1), (-0.9, 0), (IntReturns(42), 42), (True, 1)])
def test_dac_value_goes_through_int(c, value, passed):
    with recording() as calls:
        c.setDacValue("Vfbk", value)
    assert calls == [("vrex_chip_dac_value_set", (b"Vfbk", passed))]
    assert simulator.state()["dacs"]["Vfbk"] == passed


def test_identifier_is_what_encode_gives_up_to_a_nul(c):
    class Name(str):
        pass

    with recording() as calls:
        assert c.getDacValue("Vfbk\0junk") == 164
        assert c.getDacValue(Name("Vfbk")) == 164
        assert c.getDacValue(EncodesTo(b"Vfbk")) == 164
    assert calls == [("vrex_chip_dac_value_get", (b"Vfbk",))] * 3


def test_sense_dac_selection(c):
    assert c.selectSenseDac("Vfbk") is None
    assert simulator.state()["sense_dac"] == "Vfbk"
    with recording() as calls, pytest.raises(errors.VrexSdkInvalidArgumentError, match="Unknown sense DAC ''"):
        c.selectSenseDac(senseDacId="")
    assert calls[0] == ("vrex_chip_sense_dac_sel", (b"",))
    assert simulator.state()["sense_dac"] == "Vfbk"


# ---- thresholds ----------------------------------------------------------------------------------------------------

THRESHOLD = {"id": "T", "kev": 5.0, "min": 0.0, "max": 100.0, "noise": 0.75, "raw": 7, "raw_min": -10,
             "raw_max": 4095, "calibrated": 1}


@pytest.mark.parametrize(
    "given,passed,accepted",
    [
        (5, 5.0, True),
        (0.1, 0.10000000149011612, True),
        (12.3456789, single(12.3456789), True),
        (fractions.Fraction(1, 4), 0.25, True),  # anything float() takes
        (1e-50, 0.0, True),
        (1e40, float("inf"), False),  # beyond the single range: an infinity, which the SDK judges
        (-1e40, float("-inf"), False),
        (FLT_MAX, FLT_MAX, False),
        (float.fromhex("0x1.fffffefffffffp127"), FLT_MAX, False),  # just below halfway to 2**128: rounds down
        (float.fromhex("0x1.ffffffp127"), float("inf"), False),  # halfway: rounds to even, which is infinity
        (float.fromhex("-0x1.ffffffp127"), float("-inf"), False),
    ],
    ids=["int", "0.1", "rounded", "fraction", "underflow", "1e40", "-1e40", "flt-max", "below-half", "half",
         "-half"],
)
def test_set_threshold_passes_single_precision(open_with, given, passed, accepted):
    c = open_with(thresholds=[THRESHOLD]).chip
    with recording() as calls, contextlib.ExitStack() as stack:
        if not accepted:
            stack.enter_context(pytest.raises(errors.VrexSdkInvalidArgumentError, match="outside its range"))
        c.setThreshold(threshId="T", threshValue=given)
    assert calls[0] == ("vrex_chip_threshold_set", (b"T", passed))
    assert simulator.state()["thresholds"]["T"]["kev"] == (passed if accepted else 5.0)
    assert c.getThreshold("T") == (passed if accepted else 5.0)


def test_thresholds(open_with):
    c = open_with(thresholds=[dict(THRESHOLD, min=0.1, max=60.5, noise=0.7)]).chip
    r = c.getThresholdRange("T")
    assert type(r) is chip.ThresholdRange and r == (single(0.1), 60.5, single(0.7))
    raw = c.getRawThresholdRange(threshId="T")
    assert type(raw) is chip.RawThresholdRange and raw == (-10, 4095)
    assert c.getRawThreshold("T") == 7
    c.setRawThreshold("T", -1)  # negative values pass unchanged
    c.setRawThreshold("T", 99.9)
    assert simulator.state()["thresholds"]["T"] == {"kev": 5.0, "raw": 99}
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="outside its range"):
        c.setRawThreshold("T", 4096)
    with recording() as calls, pytest.raises(errors.VrexSdkInvalidArgumentError):
        c.setThreshold("T", float("nan"))
    assert calls[0][1][1] != calls[0][1][1]  # NaN reaches the SDK


@pytest.mark.parametrize("flag,expected", [(0, False), (1, True), (-1, True), (7, True)])
def test_is_threshold_calibrated(open_with, flag, expected):
    assert open_with(thresholds=[dict(THRESHOLD, calibrated=flag)]).chip.isThresholdCalibrated("T") is expected


# ---- conversion errors, before any SDK call ------------------------------------------------------------------------

CONVERSION_ERRORS = [
    ("setDacValue", ("Vfbk", 2**31), OverflowError, "value too large to convert to int"),
    ("setDacValue", ("Vfbk", -(2**31) - 1), OverflowError, "value too large to convert to int"),
    ("setDacValue", ("Vfbk", "7"), TypeError, "an integer is required"),
    ("setDacValue", ("Vfbk", IntReturns("7")), TypeError, "__int__ returned non-int (type str)"),
    ("setDacValue", (5, 1), AttributeError, None),
    ("setDacValue", (5, "not an int either"), AttributeError, None),  # the identifier goes first
    ("setDacValue", (b"Vfbk", 1), AttributeError, None),
    ("getDacValue", (EncodesTo(None),), TypeError, "expected bytes, NoneType found"),
    ("getDacValue", (EncodesTo(bytearray(b"Vfbk")),), TypeError, "Expected bytes, got bytearray"),
    ("getDacLimits", (EncodesTo("Vfbk"),), TypeError, "Expected bytes, got str"),
    ("selectSenseDac", ("\ud800",), UnicodeEncodeError, None),
    ("selectMode", (b"0:raw-data",), AttributeError, None),
    ("selectMode", (b"0:raw-data", BinningParams(1, 1, 1)), AttributeError, None),
    ("getPolarity", (2**31,), OverflowError, "value too large to convert to int"),
    ("getPolarity", ("0",), TypeError, "an integer is required"),
    ("isThresholdCalibrated", (7,), AttributeError, None),
    ("getThreshold", (None,), AttributeError, None),
    ("setThreshold", ("THL0", "5"), TypeError, None),
    ("setThreshold", ("THL0", IntReturns(5)), TypeError, None),  # float() wants __float__
    ("setThreshold", ("THL0", 2**1024), OverflowError, None),
    ("getThresholdRange", (EncodesTo(None),), TypeError, "expected bytes, NoneType found"),
    ("getRawThreshold", (EncodesTo(1),), TypeError, "Expected bytes, got int"),
    ("setRawThreshold", ("THL0", 2**31), OverflowError, "value too large to convert to int"),
    ("getRawThresholdRange", (b"THL0",), AttributeError, None),
]


@pytest.mark.parametrize("method,args,error,message", CONVERSION_ERRORS,
                         ids=[f"{m}-{i}" for i, (m, *_) in enumerate(CONVERSION_ERRORS)])
def test_conversion_errors_come_before_any_sdk_call(c, method, args, error, message):
    before = simulator.state()
    with recording() as calls, pytest.raises(error) as e:
        getattr(c, method)(*args)
    assert calls == []
    assert message is None or str(e.value) == message
    assert simulator.state() == before
    assert f"vrexsdk.chip.__Chip.{method}" in tb_names(e.value)


# ---- SDK failures ------------------------------------------------------------------------------------------------

STATUS_CLASSES = [
    (-1, errors.VrexSdkInternalException),
    (-2, errors.VrexSdkInvalidOperationError),
    (-3, errors.VrexSdkInvalidArgumentError),
    (-4, errors.VrexSdkNoMemoryException),
    (-5, errors.VrexSdkPointerException),
]

# method, args, SDK function, the result when the failure is outside the mapping (out-values left as preset)
CALLS = [
    ("refresh", (), "vrex_chip_refresh", None),
    ("_Chip__getChipCount", (), "vrex_chip_count", 0),
    ("_Chip__getChipId", (0,), "vrex_chip_id", ""),
    ("getPolarity", (0,), "vrex_chip_get_polarity", ChipPolarity.positive),
    ("setPolarity", (0, ChipPolarity.negative), "vrex_chip_set_polarity", None),
    ("_Chip__getSenseDacCount", (), "vrex_chip_sense_dac_count", 0),
    ("_Chip__getSenseDacName", (0,), "vrex_chip_sense_dac_name", ""),
    ("selectSenseDac", ("Vfbk",), "vrex_chip_sense_dac_sel", None),
    ("_Chip__getModeCount", (), "vrex_chip_mode_count", 0),
    ("_Chip__getModeId", (0,), "vrex_chip_mode_id", ""),
    ("selectMode", (MODE,), "vrex_chip_mode_select", None),
    ("selectMode", (MODE, BinningParams(1, 2, 3)), "vrex_chip_mode_select_ex", None),
    ("_Chip__getDacCount", (), "vrex_chip_dac_count", 0),
    ("_Chip__getDacName", (0,), "vrex_chip_dac_name", ""),
    ("getDacValue", ("Vfbk",), "vrex_chip_dac_value_get", 0),
    ("setDacValue", ("Vfbk", 1), "vrex_chip_dac_value_set", None),
    ("getDacLimits", ("Vfbk",), "vrex_chip_dac_limits", (0, 0)),
    ("_Chip__getThresholdCount", (), "vrex_chip_threshold_count", 0),
    ("_Chip__getThresholdId", (0,), "vrex_chip_threshold_id", ""),
    ("isThresholdCalibrated", ("THL0",), "vrex_chip_threshold_is_calibrated", False),
    ("getThreshold", ("THL0",), "vrex_chip_threshold_get", 0.0),
    ("setThreshold", ("THL0", 5.5), "vrex_chip_threshold_set", None),
    ("getThresholdRange", ("THL0",), "vrex_chip_threshold_range", (0.0, 0.0, 0.0)),
    ("getRawThreshold", ("THL0",), "vrex_chip_threshold_raw_get", 0),
    ("setRawThreshold", ("THL0", 5), "vrex_chip_threshold_raw_set", None),
    ("getRawThresholdRange", ("THL0",), "vrex_chip_threshold_raw_range", (0, 0)),
]
sdk_calls = pytest.mark.parametrize("method,args,fn,unmapped", CALLS, ids=[f"{m}-{fn}" for m, _, fn, _ in CALLS])


@sdk_calls
@pytest.mark.parametrize("status,cls", STATUS_CLASSES, ids=[str(s) for s, _ in STATUS_CLASSES])
def test_sdk_failure_raises_the_mapped_exception_with_the_last_error(c, method, args, fn, unmapped, status, cls):
    simulator.fail(fn, status, f"{fn} said no ✗")
    with recording() as calls, pytest.raises(cls) as e:
        getattr(c, method)(*args)
    assert type(e.value) is cls and e.value.args == (f"{fn} said no ✗",)
    assert [name for name, _ in calls] == [fn, "vrex_ctx_get_last_error"]
    assert "vrexsdk.chip.__Chip." + method.replace("_Chip__", "__") in tb_names(e.value)


@sdk_calls
def test_sdk_failure_edge_cases(c, method, args, fn, unmapped):
    simulator.fail(fn, -3, b"bad \xff text")
    with pytest.raises(UnicodeDecodeError):
        getattr(c, method)(*args)
    simulator.fail(fn, -1, None)  # the last-error getter hands back a null pointer
    with pytest.raises(errors.VrexSdkInternalException) as e:
        getattr(c, method)(*args)
    assert e.value.args == ("",)
    simulator.fail(fn, -6, "ignored")  # outside the mapping: the preset result
    assert getattr(c, method)(*args) == unmapped


@sdk_calls
def test_without_an_open_device_or_a_context(device, method, args, fn, unmapped):
    with pytest.raises(errors.VrexSdkInvalidOperationError, match="^No device is open$"):
        getattr(device.chip, method)(*args)
    with recording() as calls, pytest.raises(errors.VrexSdkInvalidOperationError):
        getattr(Chip(ctx=None), method)(*args)
    assert calls == []


# ---- calling convention and names ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda c: c.getDacValue(), "getDacValue() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.setDacValue("Vfbk"), "setDacValue() takes exactly 2 positional arguments (1 given)"),
        (lambda c: c.setDacValue(dacValue=1), "setDacValue() takes exactly 2 positional arguments (0 given)"),
        (lambda c: c.getChipIds(1), "getChipIds() takes exactly 0 positional arguments (1 given)"),
        (lambda c: c.refresh(now=True), "refresh() got an unexpected keyword argument 'now'"),
        (lambda c: c.getDacValue(dacID="Vfbk"), "getDacValue() got an unexpected keyword argument 'dacID'"),
        (lambda c: c.selectMode(), "selectMode() takes at least 1 positional argument (0 given)"),
        (lambda c: c.selectMode("a", None, None), "selectMode() takes at most 2 positional arguments (3 given)"),
        (lambda c: c._Chip__getChipId(), "__getChipId() takes exactly 1 positional argument (0 given)"),
        (lambda c: c._Chip__selectModeWithParams("m"),
         "__selectModeWithParams() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_argument_errors(c, call, message):
    with recording() as calls, pytest.raises(TypeError) as e:
        call(c)
    assert str(e.value) == message
    assert calls == []


def test_private_methods_keep_their_written_names(open_with):
    for _, _, _, _, _, kind, _ in LISTS:
        for attr in private_names(kind):
            written = attr[len("_Chip"):]
            method = getattr(Chip, attr)
            assert (method.__name__, method.__qualname__) == (written, "__Chip." + written)
            assert not hasattr(Chip, written)
    assert Chip._Chip__selectModeWithParams.__qualname__ == "__Chip.__selectModeWithParams"
    assert Chip.getDacValue.__qualname__ == "__Chip.getDacValue"
    c = open_with(chips=[{"id": "ok"}, {"id": b"\xff"}]).chip
    with pytest.raises(UnicodeDecodeError) as e:
        c.getChipIds()
    assert tb_names(e.value)[-2:] == ["vrexsdk.chip.__Chip.getChipIds", "vrexsdk.chip.__Chip.__getChipId"]
    assert traceback.extract_tb(e.value.__traceback__)[-1].filename == "vrexsdk/chip.cpp"


def test_construction_and_pickling(opened):
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 1 positional argument \(0 given\)$"):
        Chip()
    with pytest.raises(TypeError, match="^Cannot convert int to vrexsdk.context._Context$"):
        Chip(5)
    ctx = next(o for o in gc.get_referents(opened.chip) if isinstance(o, context._Context))
    c = Chip(ctx=ctx)
    c.selectMode(MODE)  # each wrapper keeps its own selected mode
    assert selected_mode_field(c) == MODE and selected_mode_field(opened.chip) == ""
    for refuse in (c.__reduce__, lambda: c.__setstate__(None)):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            refuse()


# ---- records and module --------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "record,fields",
    [
        (chip.DacLimits, {"min": "int", "max": "int"}),
        (chip.ThresholdRange, {"min": "float", "max": "float", "noise": "float"}),
        (chip.RawThresholdRange, {"min": "int", "max": "int"}),
        (chip.BinningParams, {"width": "int", "height": "int", "dwellTime": "int"}),
    ],
    ids=lambda r: getattr(r, "__name__", ""),
)
def test_records(record, fields):
    assert issubclass(record, tuple) and record._fields == tuple(fields) and record._field_defaults == {}
    # The class body annotates with strings ("int", not int); typing may wrap them as forward references.
    assert {k: getattr(v, "__forward_arg__", v) for k, v in record.__annotations__.items()} == fields
    assert (record.__module__, record.__qualname__) == ("vrexsdk.chip", record.__name__)
    assert record(*range(len(fields))) == tuple(range(len(fields)))


def test_chip_polarity_and_module_globals():
    assert [(m.name, m.value) for m in ChipPolarity] == [("positive", 0), ("negative", 1)]
    assert ChipPolarity.__module__ == "vrexsdk.chip"
    assert ChipPolarity.__doc__.strip() == "Contains polarity of a chip."
    assert BinningParams.__doc__.strip() == "Contains binning parameters."
    assert chip.errors is errors
    assert (Chip.__module__, Chip.__name__) == ("vrexsdk.chip", "__Chip")


@pytest.mark.parametrize(
    "name,call",
    [
        ("DacLimits", lambda c: c.getDacLimits("Vfbk")),
        ("ThresholdRange", lambda c: c.getThresholdRange("THL0")),
        ("RawThresholdRange", lambda c: c.getRawThresholdRange("THL0")),
        ("ChipPolarity", lambda c: c.getPolarity(0)),
    ],
)
def test_module_globals_are_looked_up_at_call_time(c, monkeypatch, name, call):
    monkeypatch.setattr(chip, name, lambda *values: ("patched",) + values)
    assert call(c)[0] == "patched"
    if name == "ChipPolarity":
        monkeypatch.setattr(chip, name, types.SimpleNamespace(positive="P"))
        c.setPolarity(0, "P")
        assert simulator.state()["polarity"] == [0]
        c.setPolarity(0, ChipPolarity.positive)  # no longer equal to the global's positive
        assert simulator.state()["polarity"] == [1]


@pytest.mark.parametrize("first,second", [("chip", "acquisition"), ("acquisition", "chip")])
def test_chip_and_acquisition_import_each_other_in_either_order(run_python, first, second):
    result = run_python(
        f"""
        import sys
        import vrexsdk.{first}
        assert "vrexsdk.{second}" in sys.modules, "importing one imports the other"
        from vrexsdk import acquisition, chip
        assert chip.DacLimits(1, 2) == (1, 2) and hasattr(chip.__Chip, "selectMode")
        assert hasattr(acquisition, "__Acquisition")
        del sys.modules["vrexsdk.chip"]
        try:
            import vrexsdk.chip
        except ImportError as e:
            print("second:", e)
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert "second:" in result.stdout and result.stdout.endswith("ok\n")


def test_concurrent_calls_on_one_chip(open_with):
    modes = [f"mode-{i}" for i in range(4)]
    c = open_with(modes=modes).chip
    failures = []

    def work(i):
        try:
            for n in range(300):
                c.selectMode(modes[i], None if n % 2 else BinningParams(1 + n % 256, 1 + i, n * i))  # bins that fit
                c.setDacValue("Vfbk", n % 256)
                c.getDacValue("Vfbk")
                c.getModeIds()
        except Exception as e:  # reported below
            failures.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(modes))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert selected_mode_field(c) in modes
