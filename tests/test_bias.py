"""The sensor's bias supply and the monitored quantities, against the simulated device."""
import gc
import os
import signal
import sys
import threading
import time
import weakref

import pytest

from vrexsdk import errors, simulator, vrex
from vrexsdk.chip import BinningParams

HV = "hv"


def open_with(device, **tpx3):
    simulator.configure({"devices": [dict(kind="tpx3", **tpx3)]})
    device.open(device.enumerate()[0].connectionString)
    return device


@pytest.fixture
def fast(device):
    """The default Timepix3 device with a supply that ramps at up to 1000 V/s."""
    return open_with(device, bias=[dict(id=HV, rate=1000.0, max_rate=2000.0)])


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u))
    return seen


def test_a_ramp_reaches_its_set_point(fast):
    b = fast.bias
    assert b.getBiasIds() == [HV] and b.getPolarity(HV) == "negative"
    assert tuple(b.getLimits(HV)) == (-200.0, 0.0)
    assert b.rampTo(HV, -80) is True
    assert (b.getVoltage(HV), b.getTargetVoltage(HV), b.isOn(HV), b.isRamping(HV)) == (-80.0, -80.0, True, False)
    # The leakage current of the sensor: 0.5 uA at 100 V and 20 degrees, sqrt in V, x2 per 7 degrees (24.5 here).
    assert b.getCurrent(HV) == pytest.approx(0.5 * (80 / 100) ** 0.5 * 2 ** (4.5 / 7), rel=1e-3)
    b.turnOff(HV)
    assert b.waitRamp(HV) is True and b.getVoltage(HV) == 0.0 and not b.isOn(HV)


def test_a_wait_times_out_while_the_ramp_runs(device):
    b = open_with(device, bias=[dict(id=HV, rate=0.01)]).bias  # 100 s per volt
    b.setVoltage(HV, -100)
    b.turnOn(HV)
    assert b.waitRamp(HV, timeout=0.05) is False and b.isRamping(HV)
    assert -1.0 < b.getVoltage(HV) < 0.0


@pytest.mark.parametrize("call, args, message", [
    ("setVoltage", (50,), "Bias voltage 50 V has the wrong polarity for bias source 'hv', which is negative"),
    ("setVoltage", (-250,), "Bias voltage -250 V of bias source 'hv' outside its limits [-200, 0]"),
    ("setVoltage", (float("nan"),), "Bias voltage nan V of bias source 'hv' is not finite"),
    ("setRampRate", (0,), "Ramp rate 0 V/s of bias source 'hv' outside (0, 2000]"),
    ("setCurrentLimit", (500,), "Current limit 500 uA of bias source 'hv' outside (0, 100]"),
])
def test_a_refused_setting_names_the_value_and_changes_nothing(fast, call, args, message):
    fast.bias.rampTo(HV, -20)
    before = simulator.state()["bias"]
    with pytest.raises(errors.VrexSdkInvalidArgumentError) as raised:
        getattr(fast.bias, call)(HV, *args)
    assert raised.value.args == (message,)
    assert simulator.state()["bias"] == before and fast.bias.getVoltage(HV) == -20.0


@pytest.mark.parametrize("how", ["ramp", "limit"])
def test_a_trip_switches_the_output_off_until_cleared(fast, how):
    b = fast.bias
    if how == "ramp":  # the current crosses 1 uA on the way to -200 V
        b.setCurrentLimit(HV, 1.0)
        with pytest.raises(errors.VrexSdkInvalidOperationError, match="has tripped .* above its limit of 1 uA"):
            b.rampTo(HV, -200)
    else:  # a limit below the present current trips at once
        b.rampTo(HV, -100)
        b.setCurrentLimit(HV, 0.1)
    assert (b.isTripped(HV), b.isOn(HV), b.getVoltage(HV), b.getCurrent(HV)) == (True, False, 0.0, 0.0)
    for refused in (lambda: b.turnOn(HV), lambda: b.setVoltage(HV, -10)):
        with pytest.raises(errors.VrexSdkInvalidOperationError, match="clear the trip first"):
            refused()
    b.clearTrip(HV)
    assert not b.isTripped(HV) and b.getVoltage(HV) == 0.0 and not b.isOn(HV)


@pytest.mark.parametrize("timeout", [None, 300])
def test_a_signal_stops_the_ramp_where_it_is(device, timeout):
    class Stop(Exception):
        pass

    def raise_stop(*_):
        raise Stop()

    b = open_with(device, bias=[dict(id=HV, rate=2.0)]).bias
    previous = signal.signal(signal.SIGUSR1, raise_stop)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1))
    try:
        timer.start()
        with pytest.raises(Stop):
            b.rampTo(HV, -200, timeout)  # 100 s at 2 V/s
    finally:
        timer.cancel()
        signal.signal(signal.SIGUSR1, previous)
    held = b.getVoltage(HV)
    assert -200.0 < held < 0.0 and b.getTargetVoltage(HV) == held and not b.isRamping(HV) and b.isOn(HV)


@pytest.mark.parametrize("call, args", [("waitRamp", (HV, -1)), ("waitRamp", (HV, "1")), ("getVoltage", (5,))])
def test_bad_arguments_raise_before_the_sdk_is_called(fast, recording, call, args):
    with pytest.raises((ValueError, TypeError, AttributeError)):
        getattr(fast.bias, call)(*args)
    assert recording() == []


# ---- monitored quantities -----------------------------------------------------------------------------------------

def test_quantities_with_units_values_and_availability(opened):
    m = opened.monitor
    units = {i: m.getUnit(i) for i in m.getMonitorIds()}
    assert units == {"sensor_temperature": "DegreeCelsius", "fpga_temperature": "DegreeCelsius", "chip_vdd": "Volt",
                     "bias_voltage": "Volt", "bias_current": "MicroAmpere"}
    assert m.getValue("sensor_temperature") == pytest.approx(opened.cooling.getActualTemperature("peltier"))
    assert not m.isAvailable("chip_vdd")  # its board is off by default
    with pytest.raises(errors.VrexSdkInvalidOperationError, match="board 'chipboard' is not powered"):
        m.getValue("chip_vdd")


class Seen:
    """Calls received, with the thread each came on; `wait_for(*args)` until such a call has come (a missing call fails
    the test, never hangs it)."""

    def __init__(self):
        self.calls, self.cond = [], threading.Condition()

    def __call__(self, *args):
        with self.cond:
            self.calls.append((*args, threading.get_ident()))
            self.cond.notify_all()

    def wait_for(self, *args):
        with self.cond:
            assert self.cond.wait_for(lambda: any(c[:len(args)] == args for c in self.calls), 60), self.calls
            return list(self.calls)


@pytest.mark.parametrize("kind", ["value", "avail"])
def test_callbacks_fire_on_the_sdk_thread_and_stop_after_finalize(kind):
    device = vrex.Device()
    open_with(device, bias=[dict(id=HV, rate=1000.0)])
    seen = Seen()
    if kind == "value":
        device.monitor.setValueChangedCallback("bias_voltage", seen)
        device.bias.rampTo(HV, -50)
        calls = seen.wait_for("bias_voltage", -50.0)
    else:
        device.monitor.setAvailChangedCallback("chip_vdd", seen)
        device.board.powerOn("chipboard")
        calls = seen.wait_for("chip_vdd", True)
    assert all(ident != threading.get_ident() for *_, ident in calls)
    ref = weakref.ref(seen)
    device.finalize()
    del seen
    gc.collect()
    assert ref() is None  # released by finalize while the SDK still holds its pointer
    # Changes keep coming and reach nothing: the SDK's pointer names a freed object.
    device.bias.rampTo(HV, -10) if kind == "value" else device.board.powerOff("chipboard")
    time.sleep(0.1)
    device.close()


def test_a_raising_callable_is_reported_and_later_changes_still_come(opened, unraisable):
    seen = Seen()

    def fails(monitor_id, value):
        seen(monitor_id, value)
        raise ValueError("bad callback")

    opened.monitor.setValueChangedCallback("bias_voltage", fails)
    opened.bias.setRampRate(HV, 100)
    opened.bias.rampTo(HV, -10)
    seen.wait_for("bias_voltage", -10.0)
    assert len(seen.calls) >= 2 and unraisable and unraisable[0].exc_type is ValueError
    assert "vrexsdk.monitor.value_changed_cb" in repr(unraisable[0].object)


def test_a_replaced_or_removed_callable_is_released(opened):
    first, second = Seen(), Seen()
    ref = weakref.ref(first)
    opened.monitor.setValueChangedCallback("bias_voltage", first)
    opened.monitor.setValueChangedCallback("bias_voltage", second)
    del first
    gc.collect()
    assert ref() is None
    opened.bias.setRampRate(HV, 100)
    opened.bias.rampTo(HV, -5)
    second.wait_for("bias_voltage", -5.0)
    ref = weakref.ref(second)
    opened.monitor.setValueChangedCallback("bias_voltage", None)
    del second
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("monitor_id, func, error", [
    ("bias_voltage", 5, TypeError), ("no_such", print, errors.VrexSdkInvalidArgumentError), (None, print, AttributeError)])
def test_a_refused_registration_keeps_nothing(opened, monitor_id, func, error):
    with pytest.raises(error):
        opened.monitor.setValueChangedCallback(monitor_id, func)


def test_a_callback_is_safe_at_interpreter_exit(run_python):
    result = run_python("""
        import time
        from vrexsdk import simulator, vrex
        simulator.configure({"devices": [dict(kind="tpx3", monitor_interval_s=0.001)]})
        d = vrex.Device()
        d.open(d.enumerate()[0].connectionString)
        d.cooling.setDesiredTemperature("peltier", -5)  # the temperature moves on every look
        d.monitor.setValueChangedCallback("sensor_temperature", lambda i, v: time.sleep(0.001))
        time.sleep(0.2)
        print("exiting")
    """)
    assert result.returncode == 0 and result.stdout == "exiting\n", result.stderr


# ---- read-back of the selections ----------------------------------------------------------------------------------

def test_the_selections_are_read_back(opened):
    assert (opened.chip.getSelectedMode(), opened.chip.getModeParams(), opened.trigger.getSelectedMode(),
            opened.trigger.getShutterDuration(), opened.lockstep.getSelectedOption()) == ("", None, "", 0.0, "")
    opened.chip.selectMode("0:tpx3-binned-packets", BinningParams(16, 8, 1000))
    opened.trigger.selectMode("software")
    opened.trigger.setShutterDuration(0.25)
    opened.lockstep.selectOption("master")
    assert (opened.chip.getSelectedMode(), opened.chip.getModeParams(), opened.trigger.getSelectedMode(),
            opened.trigger.getShutterDuration(), opened.lockstep.getSelectedOption()) == (
        "0:tpx3-binned-packets", (16, 8, 1000), "software", 0.25, "master")
