"""pytest fixtures for testing your own acquisition scripts against the simulated detector.

Load them in your project's ``conftest.py`` (they are not loaded into other pytest sessions)::

    pytest_plugins = ["vrexsdk.testing"]

and use them in a test::

    def test_my_script_counts_hits(vrex_blocks):
        # Exactly these two hits reach the callable, then the acquisition ends.
        device = vrex_blocks([{"records": [[0, 5, 100], [257, 7, 200]]}], mode="0:tpx3-dd-toa-tot")
        assert my_script.count_hits(device, "ch0") == 2

    def test_my_script_reports_a_failing_begin(vrex_simulator, vrex_device):
        vrex_simulator.fail("vrex_acq_begin", -1, "USB link lost")
        with pytest.raises(VrexSdkInternalException, match="USB link lost"):
            my_script.run(vrex_device)

Fixtures:

``vrex_simulator``
    A :class:`SimulatedSdk`: the simulator at its default model (a Timepix3 device and a Timepix/Medipix one, no
    faults, an empty call log), reset again after the test.
``vrex_device``
    A :class:`vrexsdk.vrex.Device` opened on the first simulated device (the Timepix3 one), closed and finalized
    after the test, even when the test fails.
``vrex_tpx_device``
    The same, opened on the first Timepix/Medipix device.
``vrex_blocks``
    A :class:`BlockScript`: ``vrex_blocks(blocks, mode=...)`` makes the next acquisitions deliver exactly the
    given blocks (the ``acquisition.blocks`` schema of :mod:`vrexsdk.simulator`) and returns the device, open,
    with the mode selected.

Needs pytest, and a vrexsdk built against the bundled simulator (a build against a real SDK has no
:mod:`vrexsdk.simulator`).
"""

from __future__ import annotations

import copy
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

try:
    import pytest  # type: ignore[import-not-found, unused-ignore]
except ModuleNotFoundError as _exc:  # pragma: no cover - exercised in a subprocess
    if _exc.name != "pytest":
        raise
    raise ImportError(
        "vrexsdk.testing provides pytest fixtures and needs pytest: pip install pytest "
        "(or the package's test extra, vrexsdk[test])"
    ) from _exc

try:
    from vrexsdk import simulator
except ModuleNotFoundError as _exc:  # pragma: no cover - exercised in a subprocess
    if _exc.name != "vrexsdk.simulator":
        raise
    raise ImportError(
        "vrexsdk.testing needs the simulated SDK, but this vrexsdk was built against a real SDK (VREX_SDK was set "
        "at build time), which has no vrexsdk.simulator. Test against a build of the bundled simulator: "
        "pip install vrexsdk without VREX_SDK, e.g. in a separate virtual environment."
    ) from _exc

from vrexsdk import vrex

__all__ = [
    "SimulatedSdk",
    "BlockScript",
    "vrex_simulator",
    "vrex_device",
    "vrex_tpx_device",
    "vrex_blocks",
]

_Text = Union[str, bytes]


class SimulatedSdk:
    """A thin handle on :mod:`vrexsdk.simulator` for one test.

    Every function of the simulator module is here under the same name (``fail``, ``calls``, ``state``,
    ``emit_log``...), plus :meth:`update` to change a few keys of one device. Changing the model closes every open
    device (the simulated devices are replaced); the devices the fixtures opened are opened again afterwards, in
    their state at open (no mode selected, no callable registered).
    """

    def __init__(self) -> None:
        self._fixture_devices: List[vrex.Device] = []

    # -- the model --------------------------------------------------------------------------------------------
    def model(self) -> Dict[str, Any]:
        """The current model as a dict (see the schema in :mod:`vrexsdk.simulator`)."""
        return simulator.model()

    def configure(self, model: Dict[str, Any]) -> None:
        """Replace the simulated devices by ``model``; the fixtures' devices are opened again."""
        reopen = self._close_fixture_devices()
        simulator.configure(model)
        self._reopen(reopen)

    def update(self, device: int = 0, **keys: Any) -> Dict[str, Any]:
        """Change some keys of simulated device number ``device`` and return its new model.

        A dict value is merged into the device's dict of that name, anything else replaces it::

            vrex_simulator.update(acquisition={"block_count": 2, "hits": 100})
            vrex_simulator.update(cooling=[{"id": "peltier", "time_constant_s": 0.0}])
        """
        model = self.model()
        devices = model["devices"]
        if not isinstance(device, int) or isinstance(device, bool):
            raise TypeError(f"device must be the index of a simulated device, not {type(device).__name__}")
        if not 0 <= device < len(devices):
            raise IndexError(f"no simulated device {device}: the model has {len(devices)}")
        target = devices[device]
        for key, value in keys.items():
            if isinstance(value, dict) and isinstance(target.get(key), dict):
                target[key] = {**target[key], **copy.deepcopy(value)}
            else:
                target[key] = copy.deepcopy(value)
        self.configure(model)
        updated: Dict[str, Any] = simulator.model()["devices"][device]
        return updated

    def reset(self) -> None:
        """Back to the default model, no faults, an empty call log; the fixtures' devices are opened again."""
        reopen = self._close_fixture_devices()
        simulator.reset()
        self._reopen(reopen)

    # -- faults, call log, state ------------------------------------------------------------------------------
    def fail(self, function: str, status: int, message: Optional[_Text] = "", count: int = 1,
             perform: bool = False) -> None:
        """Make the next ``count`` calls (-1: all) of the SDK function ``function`` return ``status``."""
        simulator.fail(function, status, message, count, perform)

    def clear_faults(self) -> None:
        """Drop every pending fault."""
        simulator.clear_faults()

    def record_calls(self, enabled: bool = True) -> None:
        """Switch the SDK call log on or off (off at the start of a test)."""
        simulator.record_calls(enabled)

    def calls(self) -> List[Tuple[str, Tuple[Any, ...]]]:
        """The SDK calls recorded since the last clear, as (name, args) tuples."""
        return simulator.calls()

    def called(self, function: str) -> List[Tuple[Any, ...]]:
        """The arguments of each recorded call of the SDK function ``function``, in order."""
        return [args for name, args in simulator.calls() if name == function]

    def clear_calls(self) -> None:
        """Empty the call log."""
        simulator.clear_calls()

    def emit_log(self, severity: int, message: _Text, thread: str = "sdk") -> None:
        """Make the SDK log ``message`` (to the ``"vrexsdk"`` logger once a device is set up)."""
        simulator.emit_log(severity, message, thread)

    def state(self, device: Union[None, int, _Text] = None) -> Dict[str, Any]:
        """A snapshot of a simulated device's state (the first open device by default)."""
        return simulator.state(device)

    # -- devices opened by the fixtures -----------------------------------------------------------------------
    def open_device(self, kind: Optional[str] = None) -> vrex.Device:
        """A new Device opened on the first simulated device (of ``kind``, "tpx3" or "tpx", if given).

        It is closed and finalized when the test ends."""
        locator = self._locator(kind)
        device = vrex.Device()
        self._fixture_devices.append(device)
        device.open(locator)
        return device

    def _locator(self, kind: Optional[str]) -> str:
        devices = self.model()["devices"]
        for entry in devices:
            if kind is None or entry["kind"] == kind:
                return str(entry["connection_string"])
        kinds = sorted({str(entry["kind"]) for entry in devices})
        raise LookupError(f"the simulated model has no {kind!r} device (kinds present: {kinds})")

    def _close_fixture_devices(self) -> List[Tuple[vrex.Device, str]]:
        reopen = []
        for device in self._fixture_devices:
            if device.isOpened():
                reopen.append((device, device.props.getConnectionString()))
        return reopen

    def _reopen(self, devices: Sequence[Tuple[vrex.Device, str]]) -> None:
        for device, locator in devices:
            if not device.isOpened():
                device.open(locator)

    def _teardown(self) -> None:
        errors: List[BaseException] = []
        for device in reversed(self._fixture_devices):
            try:
                if device.isOpened():
                    device.close()
            except Exception as exc:  # the test may have left a fault armed; finalize all the same
                errors.append(exc)
            finally:
                device.finalize()
        self._fixture_devices.clear()
        simulator.reset()
        simulator.record_calls(False)
        if errors:
            raise errors[0]


class BlockScript:
    """The ``vrex_blocks`` fixture: script the blocks the next acquisitions deliver.

    ::

        device = vrex_blocks([{"records": [[0, 5, 100]]}, {"hits": 50}], mode="0:tpx3-dd-toa-tot")
        device.acq.setDataCallback("ch0", on_hits)   # on_hits gets one hit, then 50 generated ones
        device.acq.begin("ch0"); device.acq.end("ch0")
    """

    def __init__(self, sim: SimulatedSdk, request: pytest.FixtureRequest) -> None:
        self._sim = sim
        self._request = request

    def __call__(self, blocks: Sequence[Dict[str, Any]], *, mode: Optional[str] = None,
                 device: Optional[vrex.Device] = None, **settings: Any) -> vrex.Device:
        """Make every acquisition of ``device`` deliver ``blocks``, in order, and nothing else.

        ``blocks`` follows the simulator's ``acquisition.blocks`` schema (``records``, ``hits``, ``frames``,
        ``tdc``, ``fail``, ``delay_s``...); ``settings`` are other keys of the acquisition engine
        (``burst``, ``seed``...). ``device`` is the ``vrex_device`` fixture unless given; it is open when this
        returns, with ``mode`` selected if given. Reconfiguring the simulator closes and reopens the device, so
        select a mode and register callables after this call.
        """
        if isinstance(blocks, (str, bytes, dict)) or not isinstance(blocks, Sequence):
            raise TypeError(f"blocks must be a list of block dicts, not {type(blocks).__name__}")
        if device is None:
            device = self._request.getfixturevalue("vrex_device")
        elif not isinstance(device, vrex.Device):
            raise TypeError(f"device must be a vrexsdk.vrex.Device, not {type(device).__name__}")
        locator: Optional[str] = None
        if device.isOpened():
            locator = device.props.getConnectionString()
        model = self._sim.model()
        entries = model["devices"]
        if not entries:
            raise LookupError("the simulated model has no device to script")
        index = next((i for i, e in enumerate(entries) if e["connection_string"] == locator), 0)
        entries[index]["acquisition"] = {**entries[index]["acquisition"], **settings, "blocks": list(blocks)}
        self._sim.configure(model)
        if not device.isOpened():
            device.open(locator or str(entries[index]["connection_string"]))
        if mode is not None:
            device.chip.selectMode(mode)
        return device


@pytest.fixture
def vrex_simulator() -> Iterator[SimulatedSdk]:
    """The simulator at its default model with no faults and an empty call log; reset again after the test."""
    simulator.reset()
    simulator.record_calls(False)
    sim = SimulatedSdk()
    try:
        yield sim
    finally:
        sim._teardown()


@pytest.fixture
def vrex_device(vrex_simulator: SimulatedSdk) -> vrex.Device:
    """A Device opened on the first simulated device (a Timepix3), closed and finalized after the test."""
    return vrex_simulator.open_device()


@pytest.fixture
def vrex_tpx_device(vrex_simulator: SimulatedSdk) -> vrex.Device:
    """A Device opened on the first simulated Timepix/Medipix device, closed and finalized after the test."""
    return vrex_simulator.open_device("tpx")


@pytest.fixture
def vrex_blocks(vrex_simulator: SimulatedSdk, request: pytest.FixtureRequest) -> BlockScript:
    """``vrex_blocks(blocks, mode=None, device=None, **settings)``: the next acquisitions deliver these blocks."""
    return BlockScript(vrex_simulator, request)
