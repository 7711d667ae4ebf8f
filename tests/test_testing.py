"""vrexsdk.testing as a user loads it: a small project of its own, run by pytest in a fresh interpreter."""

import os
import subprocess
import sys
import textwrap

import pytest

CONFTEST = 'pytest_plugins = ["vrexsdk.testing"]\n'

USER_TESTS = '''
import pytest
from vrexsdk import errors, simulator


def test_device_is_the_timepix3_one(vrex_device):
    assert vrex_device.isOpened()
    assert vrex_device.props.getSerialNumber() == "VX3-1000"


def test_tpx_device(vrex_tpx_device):
    assert vrex_tpx_device.chip.getModeIds() == ["0:tpx-medipix", "0:raw-data"]


def test_both_devices_at_once(vrex_device, vrex_tpx_device):
    assert simulator.state(0)["open"] and simulator.state(1)["open"]


def test_scripted_blocks_are_delivered_exactly(vrex_blocks):
    device = vrex_blocks([{"records": [[1, 2, 3], [70000, 5, 6]]}, {"records": []}], mode="0:tpx3-dd-toa-tot")
    got = []
    device.acq.setDataCallback("ch0", lambda records, metadata: got.append(records.tolist()))
    device.acq.begin("ch0")
    device.acq.end("ch0")
    assert got == [[(1, 2, 3), (70000, 5, 6)], []]


def test_blocks_on_the_tpx_device_keep_the_other_device_open(vrex_device, vrex_tpx_device, vrex_blocks):
    device = vrex_blocks([{"frames": 2}], mode="0:tpx-medipix", device=vrex_tpx_device)
    assert device is vrex_tpx_device
    frames = []
    device.acq.setDataCallback("ch0", lambda f: frames.append(f.size))
    device.acq.begin("ch0")
    device.acq.end("ch0")
    assert frames == [2 * 65536]
    assert vrex_device.isOpened()


def test_update_reopens_the_fixture_device(vrex_simulator, vrex_device):
    vrex_simulator.update(serial_number="SIM-42", acquisition={"block_count": 1})
    assert vrex_device.isOpened()
    assert vrex_device.props.getSerialNumber() == "SIM-42"
    assert vrex_simulator.model()["devices"][0]["acquisition"]["hits"] == 1024  # merged, not replaced


@pytest.mark.parametrize("call, exc, match", [
    (lambda s: s.update(device=5), IndexError, "no simulated device 5"),
    (lambda s: s.update(acquisition={"bogus": 1}), ValueError, "unknown key 'bogus'"),
    (lambda s: s.open_device("medipix4"), LookupError, "no 'medipix4' device"),
])
def test_bad_input(vrex_simulator, call, exc, match):
    with pytest.raises(exc, match=match):
        call(vrex_simulator)


def test_bad_blocks(vrex_blocks):
    with pytest.raises(TypeError, match="list of block dicts"):
        vrex_blocks({"hits": 1})
    with pytest.raises(ValueError, match="unknown key"):
        vrex_blocks([{"hitz": 1}])


def test_faults_and_calls(vrex_simulator, vrex_device):
    vrex_simulator.record_calls()
    vrex_simulator.fail("vrex_chip_mode_select", -3, "no such mode here")
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="no such mode here"):
        vrex_device.chip.selectMode("0:tpx3-dd-toa-tot")
    assert vrex_simulator.called("vrex_chip_mode_select")


def test_a_failing_test_leaves_things_dirty(vrex_simulator, vrex_device, vrex_blocks):
    vrex_simulator.update(serial_number="DIRTY")
    vrex_blocks([{"hits": 1, "delay_s": 0.05}] * 100, mode="0:tpx3-dd-toa-tot")
    vrex_device.acq.setDataCallback("ch0", lambda records, metadata: None)
    vrex_device.acq.begin("ch0")                 # still delivering when the test fails
    vrex_simulator.fail("vrex_dev_open", -1, "armed", count=-1)
    assert False, "deliberate failure"


def test_after_the_failure_everything_is_clean(vrex_simulator):
    assert not simulator.state(0)["open"]
    first = vrex_simulator.model()["devices"][0]
    assert first["serial_number"] == "VX3-1000" and "blocks" not in first["acquisition"]
    from vrexsdk import vrex
    d = vrex.Device()
    d.open(d.enumerate()[0].connectionString)    # the armed fault is gone
    d.close()
    d.finalize()
'''


def run_pytest(project, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "no:randomly", *args],
        cwd=project, env=env, capture_output=True, text=True, timeout=120,
    )


def test_user_project(tmp_path):
    (tmp_path / "conftest.py").write_text(CONFTEST)
    (tmp_path / "test_user.py").write_text(USER_TESTS)
    result = run_pytest(tmp_path)
    out = result.stdout + result.stderr
    assert result.returncode == 1, out
    assert "1 failed, 12 passed" in out, out
    assert "FAILED test_user.py::test_a_failing_test_leaves_things_dirty" in out, out
    assert "deliberate failure" in out
    assert " error" not in out.lower().split("short test summary")[-1], out  # no teardown error


def test_fixtures_are_not_loaded_unless_asked(tmp_path):
    (tmp_path / "test_user.py").write_text("def test_x(vrex_device):\n    pass\n")
    result = run_pytest(tmp_path)
    assert "fixture 'vrex_device' not found" in result.stdout, result.stdout


@pytest.mark.parametrize("blocked, message", [
    ("pytest", "needs pytest: pip install pytest"),
    ("vrexsdk.simulator", "built against a real SDK"),
])
def test_import_without_what_it_needs(blocked, message):
    source = f"""
        import sys
        import vrexsdk, vrexsdk.vrex
        assert "pytest" not in sys.modules  # the package itself never imports pytest
        sys.modules[{blocked!r}] = None  # as if not installed / not built
        try:
            import vrexsdk.testing
        except ImportError as e:
            print("ImportError:", e)
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], env=env, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert message in result.stdout, result.stdout
