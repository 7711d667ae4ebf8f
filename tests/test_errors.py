"""The status check every method applies: SDK status -> exception class of vrexsdk.errors, with the last error."""
import traceback

import pytest

from vrexsdk import errors

MAPPED = [
    (-1, errors.VrexSdkInternalException),
    (-2, errors.VrexSdkInvalidOperationError),
    (-3, errors.VrexSdkInvalidArgumentError),
    (-4, errors.VrexSdkNoMemoryException),
    (-5, errors.VrexSdkPointerException),
]


@pytest.mark.parametrize("status, cls", MAPPED)
def test_a_mapped_status_raises_its_class_with_the_last_error(sim, device, status, cls):
    sim.fail("vrex_dev_is_opened", status, "it went wrong: µ")
    with pytest.raises(cls) as info:
        device.isOpened()
    assert type(info.value) is cls
    assert info.value.args == ("it went wrong: µ",)
    assert isinstance(info.value, errors.VrexSdkException)
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "vrexsdk.vrex.Device.isOpened"
    assert device.isOpened() is False  # the fault was used up; nothing left pending


@pytest.mark.parametrize("status", [-6, -100, 102, 103, 1, 7])
@pytest.mark.parametrize("perform", [False, True])
def test_an_unmapped_status_raises_nothing_and_returns_what_the_out_values_hold(sim, opened, status, perform):
    sim.fail("vrex_dev_is_opened", status, "ignored", perform=perform)
    # Without perform the SDK writes nothing and the preset flag (0) is returned although a device is open.
    assert opened.isOpened() is perform


@pytest.mark.parametrize(
    "message, expected",
    [("", ""), (None, ""), ("plain", "plain"), ("Ωmega \u2603".encode(), "Ωmega \u2603")],
    ids=["empty", "null-pointer", "ascii", "utf8-bytes"],
)
def test_last_error_text(sim, device, message, expected):
    sim.fail("vrex_dev_close", -3, message)
    with pytest.raises(errors.VrexSdkInvalidArgumentError) as info:
        device.close()
    assert info.value.args == (expected,)


def test_a_last_error_that_is_not_utf8_surfaces_as_unicode_decode_error(sim, device):
    sim.fail("vrex_dev_is_opened", -1, b"bad \xff\xfe text")
    with pytest.raises(UnicodeDecodeError):
        device.isOpened()
    assert device.isOpened() is False


def test_a_failing_last_error_getter_still_raises_the_mapped_class_with_empty_text(sim, device):
    sim.fail("vrex_dev_close", -2, "never seen")
    sim.fail("vrex_ctx_get_last_error", -1)
    with pytest.raises(errors.VrexSdkInvalidOperationError) as info:
        device.close()
    assert info.value.args == ("",)


def test_exception_hierarchy():
    classes = [cls for _, cls in MAPPED] + [errors.VrexSdkAxiException]
    assert len(set(classes)) == 6
    for cls in classes:
        assert issubclass(cls, errors.VrexSdkException)
    assert issubclass(errors.VrexSdkException, Exception)
    assert set(errors.__all__) == {c.__name__ for c in classes} | {"VrexSdkException"}


@pytest.mark.parametrize("status, cls", MAPPED + [(102, errors.VrexSdkAxiException), (103, errors.VrexSdkAxiException)])
def test_throw_vrex_error_raises_the_mapped_class_naming_the_operation(status, cls):
    with pytest.raises(cls) as info:
        errors._throwVrexError(status, "getBoardCount")
    assert type(info.value) is cls
    assert "getBoardCount" in str(info.value)


@pytest.mark.parametrize("status", [0, 1, -6, 104])
def test_throw_vrex_error_ignores_unmapped_statuses(status):
    assert errors._throwVrexError(status, "getBoardCount") is None
