"""The service wrappers a Device builds: construction, pickling, docstrings, module initialisation."""
import copy
import gc
import inspect
import json
import pickle
import sys

import pytest

from vrexsdk import context, errors, vrex

# Device attribute -> (module, class, first docstring line)
WRAPPERS = {
    "acq": ("acquisition", "__Acquisition", "Acquisition object."),
    "chip": ("chip", "__Chip", "Chip object."),
    "config": ("configuration", "__Configuration", "Configuration object."),
    "vault": ("vault", "__Vault", "Non-volatile memory object."),
    "cooling": ("cooling", "__Cooling", "Cooling object."),
    "board": ("board", "__Board", "Board object."),
    "trigger": ("trigger", "__Trigger", "Trigger object."),
    "lockstep": ("lockstep", "__Lockstep", "External synchronization object."),
    "revisions": ("revisions", "__Revisions", "Revisions object."),
    "props": ("traits", "__Traits", "Traits object."),
    "axi": ("axi", "__Axi", "Axi object."),
}
SIBLINGS = {"bias": ("bias", "__Bias"), "monitor": ("monitor", "__Monitor")}
ONE_ARG = [a for a in WRAPPERS if a != "acq"] + list(SIBLINGS)
REFUSED = "no default __reduce__ due to non-trivial __cinit__"


def wrapper_type(attr):
    module, name = (WRAPPERS.get(attr) or SIBLINGS[attr])[:2]
    return getattr(sys.modules[f"vrexsdk.{module}"], name)


@pytest.mark.parametrize("attr", list(WRAPPERS) + list(SIBLINGS))
def test_device_builds_one_wrapper_of_each_class_sharing_its_context(device, attr):
    module, name = (WRAPPERS.get(attr) or SIBLINGS[attr])[:2]
    cls = wrapper_type(attr)
    assert type(getattr(device, attr)) is cls
    assert cls.__module__ == f"vrexsdk.{module}" and cls.__name__ == name


@pytest.mark.parametrize("attr", WRAPPERS)
def test_class_docstring(attr):
    first = WRAPPERS[attr][2]
    second = "Should not be used on its own, access it via :obj:`~vrexsdk.vrex.Device`."
    doc = wrapper_type(attr).__doc__
    assert doc.startswith(f"\n    {first}\n    {second}\n")
    assert inspect.cleandoc(doc).splitlines() == [first, second]


@pytest.mark.parametrize("attr", ["device"] + list(WRAPPERS) + list(SIBLINGS))
@pytest.mark.parametrize(
    "how", [lambda o: copy.copy(o), lambda o: copy.deepcopy(o)]
    + [lambda o, p=p: pickle.dumps(o, protocol=p) for p in range(pickle.HIGHEST_PROTOCOL + 1)],
)
def test_pickling_and_copying_are_refused(device, attr, how):
    obj = device if attr == "device" else getattr(device, attr)
    with pytest.raises(TypeError, match=f"^{REFUSED}$"):
        how(obj)
    with pytest.raises(TypeError, match=f"^{REFUSED}$"):
        obj.__setstate__({})


@pytest.mark.parametrize("attr", ONE_ARG)
def test_construction_arguments(device, attr):
    cls = wrapper_type(attr)
    ctx = context._Context()
    assert type(cls(ctx)) is cls
    assert type(cls(ctx=ctx)) is cls
    assert type(cls(None)) is cls
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 1 positional argument \(0 given\)$"):
        cls()
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 1 positional argument \(2 given\)$"):
        cls(ctx, ctx)
    with pytest.raises(TypeError, match=r"^__cinit__\(\) got an unexpected keyword argument 'context'$"):
        cls(context=ctx)
    with pytest.raises(TypeError, match=r"^__cinit__\(\) got an unexpected keyword argument 'extra'$"):
        cls(ctx, extra=1)
    with pytest.raises(TypeError, match=r"^Cannot convert int to vrexsdk\.context\._Context$"):
        cls(1)
    with pytest.raises(TypeError, match=r"^Cannot convert vrexsdk\.vrex\.Device to vrexsdk\.context\._Context$"):
        cls(device)


def test_a_context_subclass_is_accepted():
    class MyContext(context._Context):
        pass

    assert type(wrapper_type("chip")(MyContext())) is wrapper_type("chip")


def test_acquisition_takes_context_and_chip(device):
    acq, chip = wrapper_type("acq"), wrapper_type("chip")
    assert type(acq(None, None)) is acq
    assert type(acq(ctx=context._Context(), chip=chip(None))) is acq
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 2 positional arguments \(1 given\)$"):
        acq(None)
    with pytest.raises(TypeError, match=r"^Cannot convert int to vrexsdk\.context\._Context$"):
        acq(1, None)
    with pytest.raises(TypeError, match=r"^Cannot convert int to vrexsdk\.chip\.__Chip$"):
        acq(None, 1)


def test_a_wrapper_without_context_raises_instead_of_reaching_the_sdk(sim):
    sim.record_calls()
    chip = wrapper_type("chip")(None)
    with pytest.raises(errors.VrexSdkInvalidOperationError):
        chip.getChipIds()
    assert sim.calls() == []


def test_a_wrapper_in_a_reference_cycle_is_collected():
    import weakref

    class Sub(wrapper_type("chip")):
        pass

    s = Sub(context._Context())
    s.me = s
    ref = weakref.ref(s)
    del s
    gc.collect()
    assert ref() is None


def test_constructing_and_dropping_devices_leaks_no_type_references():
    class Sub(vrex.Device):
        pass

    types = [vrex.Device, Sub, context._Context] + [wrapper_type(a) for a in list(WRAPPERS) + list(SIBLINGS)]
    for _ in range(3):
        Sub().finalize()
    gc.collect()
    before = [sys.getrefcount(t) for t in types]
    for _ in range(50):
        d = Sub()
        d.finalize()
        del d
        vrex.Device.__new__(Sub)
    gc.collect()
    after = [sys.getrefcount(t) for t in types]
    assert all(a - b <= 2 for a, b in zip(after, before)), list(zip(types, before, after))


def test_device_new_of_a_subclass():
    class Sub(vrex.Device):
        def __init__(self, label):
            self.label = label

    d = vrex.Device.__new__(Sub)
    assert type(d) is Sub and type(d.chip) is wrapper_type("chip")
    assert Sub("x").label == "x"
    assert type(vrex.Device(1, 2, key=3)) is vrex.Device  # arguments are ignored


MODULES = ["vrex", "acquisition", "chip", "configuration", "vault", "cooling", "board", "trigger", "lockstep",
           "revisions", "traits", "axi", "context", "bias", "monitor"]


def test_a_second_initialisation_of_a_module_raises_import_error(run_python):
    result = run_python(
        f"""
        import importlib, json, sys
        import vrexsdk.vrex
        out = {{}}
        for name in {MODULES!r}:
            full = "vrexsdk." + name
            first = sys.modules.pop(full)
            try:
                importlib.import_module(full)
                out[name] = None
            except ImportError as e:
                out[name] = str(e)
            sys.modules[full] = first
        vrexsdk.vrex.Device().finalize()  # the first initialisations are still intact
        print(json.dumps(out))
        """
    )
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout)
    for name in MODULES:
        assert out[name] == f"Module '{name}' has already been imported. Re-initialisation is not supported."


@pytest.mark.parametrize("first, second", [("chip", "acquisition"), ("acquisition", "chip")])
def test_chip_and_acquisition_import_in_either_order(run_python, first, second):
    result = run_python(
        f"""
        import sys
        import vrexsdk.{first}
        assert "vrexsdk.{second}" in sys.modules
        import vrexsdk.{second}
        from vrexsdk import vrex
        vrex.Device().finalize()
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
