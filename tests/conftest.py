import contextlib
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
def open_with(device):
    """Attaches one device with the given model keys instead of the default ones, opens it, returns the Device."""

    def open_(**model):
        simulator.configure({"devices": [model]})
        device.open(device.enumerate()[0].connectionString)
        return device

    return open_


@pytest.fixture
def unraisable(monkeypatch):
    """What reaches sys.unraisablehook during the test, one UnraisableHookArgs each (indexable: type, value, tb)."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


@pytest.fixture
def cli(capsys):
    """Runs the vrexsdk command's main(argv) in this process; returns (status, stdout, stderr)."""
    from vrexsdk.cli import main

    def run(*argv):
        status = main([str(a) for a in argv])
        captured = capsys.readouterr()
        return status, captured.out, captured.err

    return run


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


@contextlib.contextmanager
def recorded_calls():
    """Records the SDK calls made inside the block; the list it yields is filled when the block ends.

    Devices left over from earlier code are collected first and the collector is paused, so no finalizer of
    theirs adds its own calls to the log."""
    gc.collect()
    gc.disable()
    simulator.clear_calls()
    simulator.record_calls()
    calls = []
    try:
        yield calls
    finally:
        simulator.record_calls(False)
        gc.enable()
        calls.extend(simulator.calls())


@pytest.fixture
def recording():
    """Records the SDK calls from here to the end of the test; `recording()` returns them so far."""
    with recorded_calls():
        yield simulator.calls
