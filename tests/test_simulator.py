"""The control API of the simulated SDK, which every other test relies on."""
import logging
import threading

import pytest

from vrexsdk import _bench, errors, vrex

CS0, CS1 = "usb:vrex-sim-0", "usb:vrex-sim-1"
STATE_KEYS = {
    "device", "connection_string", "open", "dacs", "thresholds", "polarity", "selected_mode", "mode_params",
    "sense_dac", "refresh_count", "mask", "powered", "desired", "actual", "registers", "trigger_mode",
    "shutter_duration", "triggers", "lockstep_option", "configurations", "flash", "blocks_delivered", "last_block",
}


def test_reset_restores_the_default_model_and_drops_faults_calls_and_open_devices(sim, opened):
    default = sim.model()
    assert [d["connection_string"] for d in default["devices"]] == [CS0, CS1]
    assert [d["kind"] for d in default["devices"]] == ["tpx3", "tpx"]
    sim.configure({"devices": [{"connection_string": "x"}]})
    sim.fail("vrex_dev_is_opened", -1, count=-1)
    sim.record_calls()
    sim.reset()
    assert sim.model() == default
    assert opened.isOpened() is False  # closed by the reset; no fault left
    assert sim.calls() == []  # and recording is off again
    assert not sim.state()["open"]


def test_configure_closes_open_devices(sim, opened):
    sim.configure(sim.model())
    assert opened.isOpened() is False


def test_model_round_trip(sim):
    sim.configure({"devices": [
        {"kind": "tpx", "connection_string": "cs", "product": b"valid utf-8 \xc2\xb5", "manufacturer": b"\xff\xfe",
         "vid": 0xFFFF, "high_speed": 2, "chips": [{"id": "c0", "polarity": 7}]},
        {},
    ]})
    model = sim.model()
    first, second = model["devices"]
    assert first["kind"] == "tpx" and first["connection_string"] == "cs"
    assert first["product"] == "valid utf-8 µ"  # valid UTF-8 comes back as str
    assert first["manufacturer"] == b"\xff\xfe"  # anything else as the bytes given
    assert (first["vid"], first["high_speed"], first["chips"]) == (0xFFFF, 2, [{"id": "c0", "polarity": 7}])
    assert first["modes"] == ["0:tpx-medipix", "0:raw-data"]  # left out: the template's default
    assert second["kind"] == "tpx3"
    sim.configure(model)
    assert sim.model() == model


class NoTruth:
    def __bool__(self):
        raise ArithmeticError("no truth value")


@pytest.mark.parametrize(
    "model, exc, where",
    [
        ({"device": []}, ValueError, "unknown key 'device'"),
        ({"devices": [{"bogus": 1}]}, ValueError, r"devices\[0\]: unknown key 'bogus'"),
        ({"devices": [{}, {"chips": [{"id": "c", "size": 1}]}]}, ValueError, "unknown key 'size'"),
        ({"devices": [{"acquisition": {"blocks": [{"frame": 1}]}}]}, ValueError, "unknown key 'frame'"),
        ({"devices": [{"kind": "medipix"}]}, ValueError, "kind"),
        ({"devices": [{"vid": 65536}]}, ValueError, "0..65535"),
        ({"devices": [{"pid": -1}]}, ValueError, "0..65535"),
        ({"devices": [{"vid": "1"}]}, TypeError, "expected int"),
        ({"devices": [{"product": 5}]}, TypeError, "expected str or bytes"),
        ({"devices": {}}, TypeError, "expected a list"),
        ({"devices": [{1: 2}]}, TypeError, "keys must be str"),
        ({"devices": [{"\ud800": 1}]}, UnicodeEncodeError, "surrogates"),
        ({"devices": [{"product": "\udcff"}]}, UnicodeEncodeError, "surrogates"),
        ({"devices": [{"acquisition": {"blocks": [{"fail": {"vrex_nothing": -1}}]}}]}, ValueError, "vrex_nothing"),
        ({"devices": [{"acquisition": {"blocks": [{"null": NoTruth()}]}}]}, ArithmeticError, "no truth"),
        ([], TypeError, "expected a dict"),
        ({"devices": [{"dacs": [{"id": "d", "value": 2**32 + 5}]}]}, ValueError, r"dacs\[0\]\.value: expected"),
        ({"devices": [{"chips": [{"id": "c", "polarity": 2**63}]}]}, ValueError, r"chips\[0\]\.polarity"),
        ({"devices": [{"pixel_mask": {"width": -1}}]}, ValueError, r"pixel_mask\.width"),
        ({"devices": [{"acquisition": {"seed": 2**64}}]}, ValueError, r"acquisition\.seed"),
    ],
)
def test_configure_rejects_bad_models_and_keeps_the_current_one(sim, model, exc, where):
    before = sim.model()
    with pytest.raises(exc, match=where):
        sim.configure(model)
    assert sim.model() == before


def test_the_docstring_names_every_key_of_the_model(sim):
    device = sim.model()["devices"][0]
    nested = [device, device["chips"][0], device["dacs"][0], device["thresholds"][0], device["cooling"][0],
              device["boards"][0], device["pixel_mask"], device["flash"][0], device["acquisition"]]
    for keys in nested:
        for key in keys:
            assert f"``{key}``" in sim.__doc__


def test_an_empty_model_has_no_devices(sim, device):
    sim.configure({"devices": []})
    assert device.enumerate() == []
    with pytest.raises(ValueError):
        sim.state()


def test_fail_count_order_and_clearing(sim, device):
    sim.fail("vrex_dev_close", -1, "first", count=2)
    sim.fail("vrex_dev_close", -3, b"then")
    for cls, text in [(errors.VrexSdkInternalException, "first")] * 2 + [(errors.VrexSdkInvalidArgumentError, "then")]:
        with pytest.raises(cls, match=f"^{text}$"):
            device.close()
    with pytest.raises(errors.VrexSdkInvalidOperationError, match="No device is open"):  # the real refusal again
        device.close()
    sim.fail("vrex_dev_is_opened", -2, "forever", count=-1)
    for _ in range(3):
        with pytest.raises(errors.VrexSdkInvalidOperationError, match="^forever$"):
            device.isOpened()
    sim.clear_faults()
    assert device.isOpened() is False
    sim.fail("vrex_dev_is_opened", -2, count=0)  # nothing to inject
    assert device.isOpened() is False


def test_fail_with_perform_does_the_work_first(sim, device):
    sim.fail("vrex_dev_open", -6, perform=True)
    device.open(CS0)  # -6 maps to nothing
    assert device.isOpened() is True and sim.state()["open"]
    sim.fail("vrex_dev_close", -6)
    device.close()
    assert device.isOpened() is True  # without perform the close never happened


@pytest.mark.parametrize(
    "args, exc, match",
    [
        (("vrex_no_such_function", -1), ValueError, "vrex_no_such_function"),
        ((b"vrex_dev_open", -1), TypeError, "str"),
        (("vrex_\ud800", -1), UnicodeEncodeError, "surrogates"),
        (("vrex_dev_open", "x"), TypeError, "integer"),
        (("vrex_dev_open", 2**40), OverflowError, "int"),
        (("vrex_dev_open", -1, 5), TypeError, "str or bytes"),
    ],
)
def test_fail_rejects_bad_arguments(sim, args, exc, match):
    with pytest.raises(exc, match=match):
        sim.fail(*args)


def test_call_log(sim, device):
    device.enumerate()
    assert sim.calls() == []  # off by default
    sim.record_calls()
    device.open(CS0)
    _bench._noop("µ")
    device.chip._Chip__getChipId(0)
    device.isOpened()
    assert sim.calls() == [
        ("vrex_dev_open", (CS0.encode(),)),
        ("vrex_sim_noop", ("µ".encode(),)),
        ("vrex_chip_id", (0,)),
        ("vrex_dev_is_opened", ()),
    ]
    sim.clear_calls()
    assert sim.calls() == []
    sim.record_calls(False)
    device.close()
    assert sim.calls() == []


def test_state_selects_the_first_open_device_else_device_zero(sim, device):
    assert sim.state()["device"] == 0 and not sim.state()["open"]
    device.open(CS1)
    snap = sim.state()
    assert STATE_KEYS <= set(snap)
    assert (snap["device"], snap["connection_string"], snap["open"]) == (1, CS1, True)
    assert sim.state(0)["device"] == 0
    assert sim.state(CS1)["device"] == sim.state(CS1.encode())["device"] == 1


@pytest.mark.parametrize("selector", [2, -1, "usb:none", b"usb:none"])
def test_state_rejects_unknown_devices(sim, selector):
    with pytest.raises(ValueError):
        sim.state(selector)


@pytest.mark.parametrize("thread", ["sdk", "caller"])
def test_emit_log_delivers_before_returning_from_the_chosen_thread(sim, device, caplog, thread):
    caplog.set_level(logging.DEBUG, logger="vrexsdk")
    sim.emit_log(-2, b"raw bytes", thread=thread)
    records = [r for r in caplog.records if r.name == "vrexsdk"]
    assert records and {r.getMessage() for r in records} == {"raw bytes"}
    assert {r.thread == threading.get_ident() for r in records} == {thread == "caller"}


@pytest.mark.parametrize("thread", ["main", "", None, b"sdk"])
def test_emit_log_rejects_unknown_threads(sim, thread):
    with pytest.raises(ValueError, match="thread"):
        sim.emit_log(0, "x", thread=thread)

