import gc
import subprocess
import sys
import textwrap

import pytest

from vrexsdk import simulator, vrex


@pytest.fixture(autouse=True)
def sim():
    """Every test starts from the default model: two devices, fresh state, no faults, no call log."""
    simulator.reset()
    yield simulator
    simulator.reset()


@pytest.fixture
def device():
    d = vrex.Device()
    yield d
    try:
        if d.isOpened():
            d.close()
    finally:
        d.finalize()


@pytest.fixture
def opened(device):
    """A Device with the default Timepix3 device open."""
    device.open(device.enumerate()[0].connectionString)
    return device


@pytest.fixture
def run_python():
    """Runs a script in a fresh interpreter with a timeout; returns the CompletedProcess."""

    def run(source, timeout=60):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(source)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run


@pytest.fixture
def recording():
    """Records the SDK calls from here to the end of the test; `recording()` returns them so far.

    Devices left over from earlier tests are collected first and the collector is paused, so no finalizer of
    theirs adds its own calls to the log."""
    gc.collect()
    gc.disable()
    simulator.clear_calls()
    simulator.record_calls()
    yield simulator.calls
    simulator.record_calls(False)
    gc.enable()
