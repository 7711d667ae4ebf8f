"""What a user meets in a REPL: signatures, the Device as a context manager, its repr."""
import inspect

import pytest

from vrexsdk import cooling, vrex


def public_methods(obj):
    return [getattr(obj, n) for n in dir(obj) if not n.startswith("_") and callable(getattr(obj, n))]


@pytest.mark.parametrize("attr", [None, "chip", "acq", "trigger", "config", "cooling", "board", "lockstep",
                                  "revisions", "props", "axi", "vault"])
def test_every_public_method_has_a_signature(device, attr):
    target = device if attr is None else getattr(device, attr)
    for method in public_methods(target):
        if inspect.isclass(method):
            continue
        inspect.signature(method)  # raises ValueError when there is none


def test_signatures_name_the_parameters_and_leave_the_docstrings(device):
    assert str(inspect.signature(device.chip.setDacValue)) == "(dacId, dacValue)"
    assert str(inspect.signature(device.chip.selectMode)) == "(modeId, modeParams=None)"
    assert device.chip.getDacValue.__doc__.startswith("Retrieves value of the specified DAC.")
    assert device.chip._Chip__getChipId.__doc__ is None
    assert "--" not in cooling.__dict__["__Cooling"].setDesiredTemperature.__doc__


def test_setMask_is_annotated_with_the_string_None_and_keeps_its_names(device):
    setMask = device.config.setMask
    assert setMask.__annotations__ == {"return": "None"}
    assert str(inspect.signature(setMask)) == "(mask) -> 'None'"
    assert (setMask.__qualname__, setMask.__module__) == ("__Configuration.setMask", "vrexsdk.configuration")
    assert setMask.__doc__.startswith("Sets pixel mask.")


def test_with_closes_and_finalizes_also_when_the_body_raises(sim, recording):
    with pytest.raises(KeyError):
        with vrex.Device() as device:
            device.open(device.enumerate()[0].connectionString)
            raise KeyError("body")
    assert not device.isOpened()
    assert ("vrex_dev_close", ()) in recording()
    with vrex.Device() as unopened:  # nothing open: no close, still no error
        pass
    assert not unopened.isOpened()


def test_repr_says_which_device_is_open(device):
    assert repr(device) == "<vrexsdk.vrex.Device closed>"
    device.open(device.enumerate()[0].connectionString)
    assert repr(device) == "<vrexsdk.vrex.Device usb:vrex-sim-0 open>"

    class Mine(vrex.Device):
        pass

    assert repr(Mine()).startswith(f"<{__name__}.test_repr_says_which_device_is_open.<locals>.Mine closed")
