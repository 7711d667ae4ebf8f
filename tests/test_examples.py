"""The example programs run as a user runs them (no arguments, a fresh interpreter) and say what they should."""
import importlib.util
import os
import pathlib
import re
import site
import subprocess
import sys

import pytest

import vrexsdk

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run_example(script, *args):
    result = subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True, text=True,
                            timeout=120, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr
    return result.stdout


def check_threshold_scan(out):
    table = [tuple(map(int, line.split()[:2])) for line in out.splitlines() if re.match(r"\s*\d+\s+\d+", line)]
    values, counts = zip(*table)
    assert list(values) == sorted(values) and len(values) > 20
    assert counts[0] > 10 * counts[-1]  # the noise below the edge, a falling beam tail above it
    quarter = len(counts) // 4
    assert sum(counts[:quarter]) > sum(counts[quarter:2 * quarter]) > sum(counts[-quarter:])
    edge = int(re.search(r"noise edge at (\d+)", out).group(1))
    assert values[0] < edge < values[-1]
    below, above = counts[values.index(edge) - 1], counts[values.index(edge)]
    assert below >= counts[0] / 2 > above


def check_mask_roundtrip(out):
    assert "32768 pixels masked" in out
    hits, on_masked = map(int, re.search(r"(\d+) hits, (\d+) of them on masked pixels", out).groups())
    assert hits > 0 and on_masked == 0


def check_memory_layout(out):
    assert "memories: ['config']" in out
    assert "region 1: 4 sectors of 65536 bytes" in out and "0x00004000..0x00013fff" in out
    assert "before: " + " ".join(["ff"] * 16) in out  # erased
    assert "b'gain map v2'" in out


def check_cooling(out):
    lines = out.splitlines()
    assert lines[0].startswith("peltier: 24.50 DegreeCelsius now, set point 15.0")
    reached = float(re.search(r"peltier at (-?[\d.]+)", lines[-1]).group(1))
    assert abs(reached - 15.0) <= 0.1
    polled = [float(line.split()[0]) for line in lines[1:-1]]
    assert polled == sorted(polled, reverse=True)  # cooling down all the way


CHECKS = {
    "threshold_scan.py": check_threshold_scan,
    "mask_roundtrip.py": check_mask_roundtrip,
    "memory_layout.py": check_memory_layout,
    "cooling.py": check_cooling,
}


@pytest.mark.parametrize("script", sorted(p.name for p in EXAMPLES.glob("*.py")))
def test_example_runs(script):
    out = run_example(script)
    if script in CHECKS:
        CHECKS[script](out)


def test_threshold_scan_to_a_png(tmp_path):
    png = tmp_path / "scurve.png"
    out = run_example("threshold_scan.py", str(png))
    if importlib.util.find_spec("matplotlib") is None:
        check_threshold_scan(out)  # the text plot instead
    else:
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_mask_roundtrip_keeps_the_file_where_asked(tmp_path):
    check_mask_roundtrip(run_example("mask_roundtrip.py", str(tmp_path)))
    assert (tmp_path / "mask.npy").stat().st_size > 256 * 256


@pytest.mark.parametrize("args, message", [
    (["100"], "100.0 is outside the limits of 'peltier': -10.0..40.0"),
    (["warm"], "the set point must be a number, not 'warm'"),
])
def test_cooling_refuses_a_bad_set_point(args, message):
    result = subprocess.run([sys.executable, str(EXAMPLES / "cooling.py"), *args], capture_output=True, text=True,
                            timeout=60, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert result.returncode == 1
    assert message in result.stderr and "Traceback" not in result.stderr


def test_fixtures_module_type_checks_strictly(tmp_path):
    """vrexsdk.testing is fully annotated (the examples are type-checked in test_typing.py)."""
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    package_root = str(pathlib.Path(vrexsdk.__file__).resolve().parent.parent)
    env = dict(os.environ)
    if package_root not in map(os.path.realpath, site.getsitepackages() + [site.getusersitepackages()]):
        env["MYPYPATH"] = package_root  # a staged build, not an installed one
    # A copy outside the package: mypy given a file inside site-packages takes site-packages for a source root
    # (and refuses it as shadowing the installed libraries).
    testing = tmp_path / "vrexsdk_testing_copy.py"
    testing.write_text((pathlib.Path(vrexsdk.__file__).parent / "testing.py").read_text(encoding="utf-8"),
                       encoding="utf-8")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--python-executable", sys.executable,
                             "--cache-dir", str(tmp_path / "cache"), str(testing)],
                            capture_output=True, text=True, timeout=300, env=env, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
