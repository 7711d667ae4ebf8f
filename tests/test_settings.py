"""A device's set-up captured, saved, applied back and compared."""
import copy
import json
import re

import numpy as np
import pytest

from vrexsdk import settings, simulator, vrex
from vrexsdk.chip import BinningParams, ChipPolarity
from vrexsdk.settings import SettingsError

# What the device's state holds besides its set-up: history, measurements, memory contents.
NOT_SET_UP = {"refresh_count", "configurations", "triggers", "blocks_delivered", "last_block", "actual", "flash",
              "registers", "sense_dac", "device", "connection_string", "open"}


def set_up(state):
    return {k: v for k, v in state.items() if k not in NOT_SET_UP}


def fast_model():
    model = simulator.model()
    for d in model["devices"]:
        d["bias"][0].update(rate=1000.0, max_rate=2000.0)
    return model


@pytest.fixture
def device_factory():
    """Opens the first simulated device on new Devices, closed and finalized at the end."""
    made = []

    def make():
        made.append(vrex.Device())
        made[-1].open("usb:vrex-sim-0")
        return made[-1]

    yield make
    for d in made:
        if d.isOpened():
            d.close()
        d.finalize()


@pytest.fixture
def tuned(device):
    """The Timepix3 device with every kind of setting moved away from its default."""
    simulator.configure(fast_model())
    device.open("usb:vrex-sim-0")
    chip = device.chip
    chip.selectMode("0:tpx3-binned-packets", BinningParams(32, 16, 500))
    chip.setPolarity(0, ChipPolarity.negative)
    chip.setDacValue("Vfbk", 200)
    chip.setThreshold("THL0", 7.5)
    chip.setRawThreshold("THL0", 1234)
    mask = np.zeros((256, 256), np.uint8)
    mask[3, 200] = 1
    mask[255, 0] = 7
    device.config.setMask(mask)
    device.trigger.selectMode("external-rising")
    device.trigger.setShutterDuration(0.125)
    device.lockstep.selectOption("slave")
    device.cooling.setDesiredTemperature("peltier", 12.5)
    device.board.powerOn("chipboard")
    device.board.powerOff("readout")
    device.bias.setRampRate("hv", 1500)
    device.bias.setCurrentLimit("hv", 20)
    device.bias.rampTo("hv", -60)
    return device


def test_a_captured_set_up_reproduces_the_state_on_a_fresh_device(tuned, tmp_path, device_factory):
    expected = set_up(simulator.state())
    path = tmp_path / "setup.json"
    settings.save(settings.capture(tuned), path)
    assert json.loads(path.read_text())["bias"]["hv"] == {"voltage": -60.0, "rate": 1500.0, "current_limit": 20.0,
                                                         "on": True}
    tuned.close()
    simulator.configure(fast_model())  # the device back at its defaults
    fresh = device_factory()
    changes = settings.apply(fresh, settings.load(path))
    assert set_up(simulator.state()) == expected
    assert {c.path for c in changes} >= {"chip.dacs.Vfbk", "mask.pixels", "bias.hv.voltage", "boards.readout"}
    assert settings.apply(fresh, settings.load(path)) == []  # nothing left to change


def test_bias_is_ramped_last_and_boards_powered_first(tuned, recording, device_factory):
    setup = settings.capture(tuned)
    tuned.close()
    simulator.configure(fast_model())
    fresh = device_factory()
    recording()
    settings.apply(fresh, setup)
    names = [name for name, _ in recording() if not name.endswith(("_get", "_count", "_id", "_limits", "_range",
                                                                   "_is_powered", "get_last_error"))]
    writes = [n for n in names if "power" in n or "bias" in n or "dac_value_set" in n]
    assert writes.index("vrex_board_power_on") < writes.index("vrex_chip_dac_value_set")
    assert writes.index("vrex_board_power_off") < writes.index("vrex_bias_set_voltage") < writes.index("vrex_bias_on")


MUTATIONS = {
    "DAC beyond its limits": (("chip", "dacs", "Vfbk"), 300, "chip.dacs.Vfbk: 300 is outside [0, 255]"),
    "unknown DAC": (("chip", "dacs", "NoSuchDac"), 1, "chip.dacs.NoSuchDac: 'NoSuchDac' is not a DAC"),
    "DAC not an integer": (("chip", "dacs", "Vfbk"), 1.5, "chip.dacs.Vfbk: 1.5 is not an integer"),
    "threshold out of range": (("chip", "thresholds", "THL0", "kev"), 99.0, "chip.thresholds.THL0.kev: 99.0"),
    "unknown mode": (("chip", "mode"), "0:nope", "chip.mode: '0:nope' is not a mode"),
    "bias of the wrong polarity": (("bias", "hv", "voltage"), 50.0, "bias.hv.voltage: 50.0 is outside [-200, 0]"),
    "cooling beyond its limits": (("cooling", "peltier", "desired"), 80.0, "cooling.peltier.desired: 80.0"),
    "pixel outside the mask": (("mask", "pixels"), [[256, 0, 1]], "mask.pixels[0]: [256, 0, 1] is not"),
    "board flag not a bool": (("boards", "readout"), "on", "boards.readout: 'on' is not true or false"),
    "another kind of device": (("device", "product"), "Vrex Timepix Detector", "the settings are for a 'Vrex Timepix"),
}


@pytest.mark.parametrize("name", MUTATIONS)
def test_a_bad_entry_changes_nothing_and_is_named(tuned, name):
    where, value, message = MUTATIONS[name]
    setup = copy.deepcopy(settings.capture(tuned))
    setup["chip"]["dacs"]["Vfbk"] = 10  # a valid change that must not be made either
    entry = setup
    for key in where[:-1]:
        entry = entry[key]
    entry[where[-1]] = value
    before = simulator.state()
    with pytest.raises(SettingsError) as raised:
        settings.apply(tuned, setup)
    assert message in str(raised.value)
    assert set_up(simulator.state()) == set_up(before)


@pytest.mark.parametrize("text, message", [("{", "not a settings file"), ('{"format": "other"}', "not a settings file"),
                                           ('{"format": "vrexsdk-settings", "version": 9}', "version 9")])
def test_a_file_that_is_not_a_set_up_is_refused(tmp_path, text, message):
    path = tmp_path / "bad.json"
    path.write_text(text)
    with pytest.raises(SettingsError, match=message):
        settings.load(path)


def test_diff_lists_what_differs(tuned):
    a = settings.capture(tuned)
    b = copy.deepcopy(a)
    b["chip"]["dacs"]["Vfbk"] = 5
    b["mask"]["pixels"] = []
    assert settings.diff(a, b) == [settings.Change("chip.dacs.Vfbk", 200, 5),
                                   settings.Change("mask.pixels", [(3, 200, 1), (255, 0, 7)], [])]
    assert settings.describe(settings.diff(a, b)).splitlines() == ["chip.dacs.Vfbk: 200 -> 5",
                                                                   "mask.pixels: 2 masked pixels -> 0 masked pixels"]


# ---- the command line -----------------------------------------------------------------------------------------------

def test_settings_save_diff_and_load(cli, tmp_path):
    path, other = tmp_path / "a.json", tmp_path / "b.json"
    assert cli("settings", "save", path)[0] == 0
    assert cli("settings", "diff", path) == (0, "no differences\n", "")
    setup = json.loads(path.read_text())
    setup["chip"]["dacs"]["Vfbk"] = 99
    setup["bias"]["hv"].update(voltage=-1.0, on=True)
    other.write_text(json.dumps(setup))
    assert cli("settings", "diff", path, other)[1].splitlines() == [
        "bias.hv.on: false -> true", "bias.hv.voltage: 0.0 -> -1.0", "chip.dacs.Vfbk: 164 -> 99"]
    assert cli("settings", "load", other)[:2] == (0, "bias.hv.on: false -> true\nbias.hv.voltage: 0.0 -> -1.0\n"
                                                     "chip.dacs.Vfbk: 164 -> 99\n")
    assert simulator.state()["dacs"]["Vfbk"] == 99 and simulator.state()["bias"]["hv"]["on"] is True


@pytest.mark.parametrize("argv, message", [
    (("settings",), "settings needs an action"),
    (("settings", "load", "{missing}"), "cannot read"),
    (("settings", "load", "{bad}"), "chip.dacs.Vfbk: 999 is outside [0, 255]"),
])
def test_settings_usage_errors(cli, tmp_path, argv, message):
    bad = tmp_path / "bad.json"
    cli("settings", "save", bad)
    setup = json.loads(bad.read_text())
    setup["chip"]["dacs"]["Vfbk"] = 999
    bad.write_text(json.dumps(setup))
    argv = [a.format(missing=tmp_path / "none.json", bad=bad) for a in argv]
    status, out, err = cli(*argv)
    assert status == 2 and message in err


def test_info_shows_bias_and_monitored_values(cli):
    status, out, _ = cli("info")
    assert status == 0
    assert re.search(r"^bias:\n  SOURCE .*\n  -.*\n  hv +0 +0 +False", out, re.M)
    assert re.search(r"^  chip_vdd +unavailable +Volt$", out, re.M) and "bias_current" in out
    info = json.loads(cli("info", "--json")[1])
    assert info["bias"]["hv"]["polarity"] == "negative" and info["monitor"]["chip_vdd"]["value"] == "unavailable"
