"""The typing of the package: the stubs agree with the modules (stubtest), the README's code and the examples
type-check, annotated user code is accepted and wrong calls are caught, and the callable types of
vrexsdk.types describe what each mode really delivers."""

import importlib.machinery
import os
import re
import site
import subprocess
import sys
import sysconfig
import textwrap
import typing
from pathlib import Path

import numpy as np
import pytest

import vrexsdk
from vrexsdk import types as vtypes
from vrexsdk.chip import BinningParams

try:
    import mypy.version
except ImportError:  # pragma: no cover - depends on the environment
    pytest.skip("mypy is not installed (pip install '.[test]')", allow_module_level=True)

REPO = Path(__file__).resolve().parent.parent
ALLOWLIST = Path(__file__).resolve().parent / "stubtest_allowlist.txt"
# The directory holding the imported package: a staged build on PYTHONPATH or site-packages.
PACKAGE_ROOT = Path(vrexsdk.__file__).resolve().parent.parent

SUBPROCESS_TIMEOUT = 600


def _site_dirs():
    dirs = set(site.getsitepackages() + [site.getusersitepackages()])
    dirs.update(sysconfig.get_paths()[key] for key in ("purelib", "platlib"))
    return {Path(d).resolve() for d in dirs}


def _environment(for_mypy):
    """The environment of a mypy or stubtest run, finding the package that this interpreter imports.

    mypy looks up installed packages through --python-executable, but refuses site-packages in MYPYPATH: the
    package's directory goes there only when it is not one. mypy itself runs without the sanitizer's preload (it
    imports none of the package's modules); stubtest imports them, so it keeps the environment as it is."""
    env = dict(os.environ)
    if for_mypy:
        for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
            env.pop(name, None)
    if PACKAGE_ROOT not in _site_dirs():
        env["MYPYPATH"] = os.pathsep.join(p for p in (str(PACKAGE_ROOT), env.get("MYPYPATH")) if p)
    env.pop("MYPY_FORCE_COLOR", None)
    return env


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(files, cache, cwd):
    """mypy with its defaults and strict optional checking over `files`; returns (exit code, output)."""
    config = Path(cwd) / "mypy.ini"  # an empty configuration: none of a project's leaks in
    config.write_text("[mypy]\n", encoding="utf-8")
    cmd = [
        sys.executable,
        "-m",
        "mypy",
        "--strict-optional",
        "--python-executable",
        sys.executable,
        "--cache-dir",
        str(cache),
        "--config-file",
        str(config),
        "--no-color-output",
        "--no-error-summary",
        "--show-error-codes",
        *[str(f) for f in files],
    ]
    done = subprocess.run(
        cmd, cwd=cwd, env=_environment(True), capture_output=True, text=True, timeout=SUBPROCESS_TIMEOUT
    )
    return done.returncode, done.stdout + done.stderr


def readme_code():
    """Every ```python block of the README, in order, as one program: later blocks go on from earlier ones."""
    text = (REPO / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"^```python[ \t]*\n(.*?)^```", text, re.S | re.M)
    return "\n".join(blocks)


def extension_modules():
    """The package's extension modules, found in its directory (the bundled C library is none)."""
    suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)
    names = set()
    for path in Path(vrexsdk.__file__).parent.iterdir():
        suffix = next((s for s in suffixes if path.name.endswith(s)), None)
        if suffix is not None and not path.name.startswith("lib"):
            names.add(path.name[: -len(suffix)])
    return sorted(names)


def test_every_extension_module_has_a_stub():
    modules = extension_modules()
    assert len(modules) >= 16, modules
    stubs = {p.stem for p in Path(vrexsdk.__file__).parent.glob("*.pyi")}
    assert set(modules) <= stubs, set(modules) - stubs


def test_stubtest_finds_the_stubs_true_to_the_modules():
    # The extension modules against their stubs. The pure-Python modules are their own stubs: mypy checks them
    # below (and stubtest of mypy 1.x misreads the typing names they import).
    modules = [f"vrexsdk.{name}" for name in extension_modules()]
    cmd = [sys.executable, "-m", "mypy.stubtest", *modules, "--allowlist", str(ALLOWLIST)]
    done = subprocess.run(
        cmd, cwd=REPO, env=_environment(False), capture_output=True, text=True, timeout=SUBPROCESS_TIMEOUT
    )
    assert done.returncode == 0, f"stubtest with mypy {mypy.version.__version__}:\n{done.stdout}{done.stderr}"


@pytest.mark.parametrize(
    "source",
    ["vrexsdk", "README.md"] + sorted(f"examples/{p.name}" for p in (REPO / "examples").glob("*.py")),
)
def test_package_and_user_code_type_check(source, mypy_cache, tmp_path):
    if source == "vrexsdk":  # the package as imported: its pure-Python modules and every stub
        targets = ["-p", "vrexsdk"]
    elif source == "README.md":
        code = readme_code()
        assert "vrex.Device()" in code, "the README's python blocks were not found"
        target = tmp_path / "readme_code.py"
        target.write_text(code, encoding="utf-8")
        targets = [target]
    else:
        targets = [REPO / source]
    status, output = run_mypy(targets, mypy_cache, tmp_path)
    assert status == 0, f"mypy {mypy.version.__version__} over {source}:\n{output}"


# Annotated user code that must be accepted, and calls that must each be refused on the line marked `# E`.
ACCEPTED = """
from typing import Any, Dict, Mapping

import numpy as np
import numpy.typing as npt

from vrexsdk import vrex
from vrexsdk.chip import BinningParams, ChipPolarity
from vrexsdk.types import (
    BinDescriptorsArray, BinnedPacketsArray, Chip, EventsArray, HitsArray, Metadata, ModeParams,
)

U16 = npt.NDArray[np.uint16]
U32 = npt.NDArray[np.uint32]
U64 = npt.NDArray[np.uint64]

def frames(frames: U16) -> None: ...
def raw(data: npt.NDArray[np.uint8]) -> int: return len(data)
def hits(records: HitsArray) -> None: ...
def hit_vectors(addresses: U32, toa: U32, tot: U16) -> None: ...
def events(records: EventsArray) -> None: ...
def event_vectors(addresses: U32, events: U16, itots: U16) -> None: ...
def dd_hits(records: HitsArray, metadata: Metadata) -> None:
    ticks: int = metadata["shutterStart"]
    stamps: U64 = metadata["tdcs"][1]
def dd_hits_dict(records: np.ndarray, metadata: Dict[str, Any]) -> None: ...
def dd_hits_mapping(records: np.ndarray, metadata: Mapping[str, Any]) -> None: ...
def dd_vectors(addresses: U32, toa: U64, tot: U16, metadata: Metadata) -> None: ...
def binned(packets: BinnedPacketsArray, descriptors: BinDescriptorsArray, hitSums: U64, itotSums: U64) -> None: ...
def sums(sums: U64) -> None: ...
def untyped(records, metadata): ...

with vrex.Device() as device:
    device.open(device.enumerate()[0].connectionString)
    channel = device.acq.getChannelIds()[0]
    for func in (frames, raw, hits, hit_vectors, events, event_vectors, dd_hits, dd_hits_dict, dd_hits_mapping,
                 dd_vectors, binned, sums, untyped, print):
        device.acq.setDataCallback(channel, func)
    device.acq.setDataCallback(channel, lambda records, metadata: print(len(records), metadata["tdcs"]))
    device.acq.setRawDataCallback(channel, raw)
    device.acq.setRawDataCallback(channel, lambda data: data.tobytes())

    class Scan:
        width = 64
        height = 64
        dwellTime = 500

    def tune(chip: Chip, params: ModeParams) -> None:
        chip.selectMode("0:tpx3-binned-packets", params)

    tune(device.chip, BinningParams(256, 256, 1000))
    tune(device.chip, Scan())
    device.chip.selectMode("0:tpx3-dd-toa-tot", None)
    device.chip.setPolarity(0, ChipPolarity.negative)
    device.chip.setThreshold("THL0", 4)
    limits: int = device.chip.getDacLimits("Vfbk").max
    memory = device.vault.selectMemory(device.vault.getIds()[0])
    first: int = memory.regions[0].sectors[0].startingAddress
    memory.program(0, bytearray(b"x"))
    memory.program(0, np.zeros(4, np.uint8))
    device.config.setMask(device.config.getMask())
    device.chip = None  # accepted: the attribute then reads None
    del device.trigger
"""

REJECTED = """
import numpy as np
import numpy.typing as npt

from vrexsdk import vrex
from vrexsdk.chip import BinningParams

device = vrex.Device()
acq = device.acq

def floats(frames: npt.NDArray[np.float32]) -> None: ...
def three_ints(a: int, b: int, c: int) -> None: ...
def hits_and_meta(records: np.ndarray, metadata: dict) -> None: ...
def too_many(a: np.ndarray, b: np.ndarray, c: np.ndarray, d: np.ndarray, e: np.ndarray) -> None: ...

acq.setDataCallback("0", floats)  # E
acq.setDataCallback("0", three_ints)  # E
acq.setDataCallback("0", too_many)  # E
acq.setRawDataCallback("0", hits_and_meta)  # E
acq.setDataCallback(0, print)  # E
acq.begin(b"0")  # E
device.chip.selectMode("0:tpx3-binned-packets", (256, 256, 1000))  # E
device.chip.selectMode("0:tpx3-binned-packets", {"width": 256})  # E
device.chip.setPolarity(0, 1)  # E
device.chip.setDacValue("Vfbk", 1.5)  # E
device.chip = device.acq  # E
device.config.setMask([[0, 1], [1, 0]])  # E
device.vault.selectMemory("config").program(0, b"bytes are read-only")  # E
device.vault.selectMemory("config").regions = []  # E
device.axi.write(0x10, "1")  # E
vrex.Device("usb:0")  # E
BinningParams(256, 256)  # E
"""


def test_annotated_code_is_accepted_and_wrong_calls_are_refused(mypy_cache, tmp_path):
    accepted = tmp_path / "accepted.py"
    rejected = tmp_path / "rejected.py"
    accepted.write_text(textwrap.dedent(ACCEPTED), encoding="utf-8")
    rejected.write_text(textwrap.dedent(REJECTED), encoding="utf-8")
    _, output = run_mypy([accepted, rejected], mypy_cache, tmp_path)
    errors = {}
    for line in output.splitlines():
        found = re.match(r"(?:.*[/\\])?(\w+)\.py:(\d+): error: ", line)
        if found:
            errors.setdefault((found.group(1), int(found.group(2))), []).append(line)
    assert not [e for (name, _), e in errors.items() if name == "accepted"], output
    marked = {i for i, text in enumerate(rejected.read_text().splitlines(), 1) if text.endswith("# E")}
    assert {n for name, n in errors if name == "rejected"} == marked, output


# ---- the callable types against the deliveries ----------------------------------------------------------------------

MODES = [
    ("tpx", "0:tpx-medipix", "FramesCallback"),
    ("tpx", "0:raw-data", "RawCallback"),
    ("tpx3", "0:raw-data", "RawCallback"),
    ("tpx3", "0:tpx3-seq-toa-tot", "HitRecordsCallback"),
    ("tpx3", "0:tpx3-seq-toa-tot-vec", "HitVectorsCallback"),
    ("tpx3", "0:tpx3-seq-itot-event", "EventRecordsCallback"),
    ("tpx3", "0:tpx3-seq-itot-event-vec", "EventVectorsCallback"),
    ("tpx3", "0:tpx3-dd-toa-tot", "DataDrivenHitsCallback"),
    ("tpx3", "0:tpx3-sorted-dd-toa-tot", "DataDrivenHitsCallback"),
    ("tpx3", "0:tpx3-dd-toa-tot-vec", "DataDrivenVectorsCallback"),
    ("tpx3", "0:tpx3-binned-packets", "BinnedPacketsCallback"),
    ("tpx3", "0:tpx3-binned-count-sums", "BinnedSumsCallback"),
    ("tpx3", "0:tpx3-binned-itot-sums", "BinnedSumsCallback"),
]


def _parameters(alias):
    """The parameter types of a callable alias (the first form of a union: they differ in the metadata's)."""
    if typing.get_origin(alias) is typing.Union:
        alias = typing.get_args(alias)[0]
    params, _ = typing.get_args(alias)
    return params


def _scalar(array_type):
    """np.uint16 for NDArray[np.uint16], whatever NumPy's NDArray expands to (an alias of ndarray[shape,
    dtype[scalar]] up to NumPy 2.4, a type alias whose one argument is the scalar type from 2.5)."""
    for arg in typing.get_args(array_type):
        if isinstance(arg, type) and issubclass(arg, np.generic):
            return arg
        found = _scalar(arg)
        if found is not None:
            return found
    return None


@pytest.mark.parametrize("kind, mode, alias_name", MODES)
def test_each_callable_type_matches_the_delivery(kind, mode, alias_name, device):
    alias = getattr(vtypes, alias_name)
    assert alias_name in vtypes.__all__ and mode in vtypes.__doc__
    params = _parameters(alias)
    located = [d for d in device.enumerate() if ("Timepix3" in d.product) == (kind == "tpx3")]
    device.open(located[0].connectionString)
    device.chip.selectMode(mode, BinningParams(16, 16, 1000) if "binned" in mode else None)
    received = []
    channel = device.acq.getChannelIds()[0]
    device.acq.setDataCallback(channel, lambda *args: received.append([_describe(a) for a in args]))
    device.acq.begin(channel)
    device.acq.end(channel)
    assert received, f"no block delivered in {mode}"
    args = received[0]
    assert len(args) == len(params)
    for value, param in zip(args, params):
        if param is vtypes.Metadata:
            keys, shutter, tdcs = value
            assert keys == list(typing.get_type_hints(vtypes.Metadata))
            assert shutter is int and len(tdcs) == 3
            assert all(dtype == np.uint64 for dtype, length in tdcs if length)
        else:
            ndim, length, dtype = value
            assert ndim == 1 and length > 0
            assert dtype.type is _scalar(param), (mode, dtype, param)
            if dtype.fields is not None:  # records: the fields the alias's documentation names
                doc = _array_docs()[_record_alias(dtype)]
                assert all(f"``{field}``" in doc for field in dtype.names), (mode, dtype)


def _describe(value):
    """What a delivered argument is, taken during the call (the arrays are valid only then)."""
    if isinstance(value, dict):
        return list(value), type(value["shutterStart"]), [(t.dtype, len(t)) for t in value["tdcs"]]
    assert isinstance(value, np.ndarray)
    return value.ndim, len(value), value.dtype


def _record_alias(dtype):
    return {
        ("address", "tot", "toa"): "HitsArray",
        ("address", "itot", "event"): "EventsArray",
        ("address", "count", "itot"): "BinnedPacketsArray",
        ("offset", "packet_count"): "BinDescriptorsArray",
    }[dtype.names]


def _array_docs():
    """The docstrings of the record-array aliases, as written under them in the module's source."""
    source = Path(vtypes.__file__).read_text(encoding="utf-8")
    return dict(re.findall(r'^(\w+Array) = npt\.NDArray\[np\.void\]\n"""(.*?)"""', source, re.S | re.M))


def test_raw_registration_delivers_what_its_type_says(opened):
    received = []
    channel = opened.acq.getChannelIds()[0]
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    opened.acq.setRawDataCallback(channel, lambda *args: received.append([_describe(a) for a in args]))
    opened.acq.begin(channel)
    opened.acq.end(channel)
    (param,) = _parameters(vtypes.RawCallback)
    assert received and [dtype for _, _, dtype in received[0]] == [np.dtype(_scalar(param))]
