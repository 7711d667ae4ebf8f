"""vrexsdk.configuration against the simulated device: configuration loading and the pixel mask."""

import gc

import numpy as np
import pytest

from vrexsdk import configuration, context, errors, simulator

Configuration = configuration.__Configuration
CONTINUATION = " != \\\n" + " " * 16


@pytest.fixture
def cfg(opened):
    return opened.config


def mask_state():
    return simulator.state()["mask"]


class Flattens:
    """An array-like whose flatten() returns whatever the test needs."""

    def __init__(self, result):
        self.result = result

    def flatten(self):
        return self.result


# ---- the mask ---------------------------------------------------------------------------------------------------


def test_mask_round_trip_on_a_non_square_mask_keeps_the_column_layout(open_with, recording):
    c = open_with(pixel_mask={"width": 5, "height": 3}).config
    assert c.getMaskSize() == configuration.PixelMaskDimensions(5, 3)
    empty = c.getMask()
    assert empty.shape == (5, 3) and empty.dtype == np.uint8 and not empty.any()
    # Element [i, j] is SDK byte i * height + j.
    pattern = np.arange(15, dtype=np.uint8).reshape(5, 3) * 3 + 1
    c.setMask(pattern)
    assert mask_state() == bytes(pattern[i, j] for i in range(5) for j in range(3))
    back = c.getMask()
    assert np.array_equal(back, pattern)
    # A view on the array the SDK filled, not a further copy.
    assert back.base is not None and back.base.shape == (15,)
    recording_before = len(recording())
    c.setMask(back)
    sent = [args for name, args in recording()[recording_before:] if name == "vrex_set_pixel_mask"]
    assert sent == [(15,)] and mask_state() == pattern.tobytes()


def test_default_mask_is_256_by_256_and_survives_reopening(device):
    device.open(device.enumerate()[0].connectionString)
    mask = device.config.getMask()
    assert mask.shape == (256, 256)
    mask[10, 200] = 1
    device.config.setMask(mask)
    device.close()
    device.open(device.enumerate()[0].connectionString)
    assert device.config.getMask()[10, 200] == 1


@pytest.mark.parametrize("shape", [(15,), (3, 5), (1, 15, 1)], ids=["flat", "transposed", "three-d"])
def test_only_the_element_count_is_compared_and_elements_go_in_c_order(open_with, shape):
    c = open_with(pixel_mask={"width": 5, "height": 3}).config
    mask = np.arange(15, dtype=np.uint8).reshape(shape)
    c.setMask(mask)
    assert mask_state() == mask.tobytes()


def test_a_read_only_array_is_accepted_since_its_flattened_copy_is_sent(cfg):
    mask = np.ones((256, 256), dtype=np.uint8)
    mask.flags.writeable = False
    cfg.setMask(mask)
    assert mask_state() == b"\x01" * 65536


@pytest.mark.parametrize(
    "mask,error,message",
    [
        (np.zeros((256, 256), dtype=np.int32), ValueError, "Buffer dtype mismatch, expected 'uint8_t' but got 'int'"),
        (np.zeros(65536, dtype=np.int8), ValueError,
         "Buffer dtype mismatch, expected 'uint8_t' but got 'signed char'"),
        (Flattens(np.zeros((256, 256), dtype=np.uint8)), ValueError,
         "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (Flattens(memoryview(bytearray(131072))[::2]), BufferError,
         "memoryview: underlying buffer is not C-contiguous"),
        (Flattens(memoryview(bytes(65536))), BufferError, "memoryview: underlying buffer is not writable"),
        (Flattens(bytes(65536)), BufferError, None),
        (Flattens(42), TypeError, None),
        ([[0, 1], [1, 0]], AttributeError, "flatten"),
    ],
    ids=["int32", "int8", "two-d", "strided", "read-only-view", "bytes", "no-buffer", "list"],
)
def test_set_mask_refuses_what_is_not_a_byte_buffer_before_any_sdk_call(cfg, recording, mask, error, message):
    with pytest.raises(error) as info:
        cfg.setMask(mask)
    if message is not None:
        assert message in str(info.value)
    assert recording() == []
    assert mask_state() == bytes(65536)


def test_set_mask_with_a_wrong_element_count_names_both_sizes(cfg, recording):
    with pytest.raises(errors.VrexSdkInternalException) as info:
        cfg.setMask(np.zeros(65535, dtype=np.uint8))
    assert info.value.args == ("Provided mask size (== 65535)" + CONTINUATION + "expected mask size (== 65536)",)
    assert [name for name, _ in recording()] == ["vrex_get_pixel_mask_size"]


def test_the_size_mismatch_message_reads_width_and_height_again(opened):
    class Drifting:  # a record whose width grows at every read
        reads = 0
        height = 256

        @property
        def width(self):
            Drifting.reads += 1
            return 255 + Drifting.reads

    ctx = next(o for o in gc.get_referents(opened.config) if isinstance(o, context._Context))
    sub = type("Sub", (Configuration,), {"getMaskSize": lambda self: Drifting()})(ctx)
    with pytest.raises(errors.VrexSdkInternalException) as info:
        sub.setMask(np.zeros(100, dtype=np.uint8))
    assert info.value.args == ("Provided mask size (== 100)" + CONTINUATION + "expected mask size (== 65792)",)


def test_get_mask_refuses_a_length_the_sdk_reports_otherwise(open_with):
    c = open_with(pixel_mask={"width": 256, "height": 256, "reported_length": 1000}).config
    with pytest.raises(errors.VrexSdkInternalException) as info:
        c.getMask()
    assert info.value.args == ("Pixel mask real size (== 1000)" + CONTINUATION + "expected size (== 65536)",)


@pytest.mark.parametrize("width,height", [(0, 256), (256, 0), (0, 0)])
def test_an_empty_mask_raises_index_error_without_asking_for_contents(open_with, recording, width, height):
    c = open_with(pixel_mask={"width": width, "height": height}).config
    with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
        c.getMask()
    with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
        c.setMask(np.zeros((width, height), dtype=np.uint8))
    # A non-empty mask for an empty device mask is a size disagreement.
    with pytest.raises(errors.VrexSdkInternalException, match=r"Provided mask size \(== 1\)"):
        c.setMask(np.zeros(1, dtype=np.uint8))
    names = {name for name, _ in recording()}
    assert "vrex_get_pixel_mask" not in names and "vrex_set_pixel_mask" not in names


def test_a_mask_too_large_to_allocate_fails_in_numpy_not_in_the_sdk(open_with, recording):
    c = open_with(pixel_mask={"width": 2**40, "height": 2**40}).config
    with pytest.raises((ValueError, MemoryError)):
        c.getMask()
    assert "vrex_get_pixel_mask" not in {name for name, _ in recording()}


@pytest.mark.parametrize("function", ["vrex_get_pixel_mask_size", "vrex_get_pixel_mask", "vrex_set_pixel_mask"])
def test_sdk_failures_of_the_mask_calls_carry_the_sdk_message(cfg, function):
    simulator.fail(function, -1, "mask broke")
    with pytest.raises(errors.VrexSdkInternalException, match="^mask broke$"):
        cfg.setMask(cfg.getMask())


def test_a_wrapper_without_context_raises_instead_of_calling_the_sdk(recording):
    c = Configuration(None)
    for call in (c.getMaskSize, c.getMask, lambda: c.load("xml", ""),
                 lambda: c.setMask(np.zeros(4, dtype=np.uint8))):
        with pytest.raises(errors.VrexSdkInvalidOperationError):
            call()
    assert recording() == []


def test_mask_calls_need_an_open_device(device):
    with pytest.raises(errors.VrexSdkInvalidOperationError, match="No device is open"):
        device.config.getMaskSize()


# ---- loading ----------------------------------------------------------------------------------------------------


class EncodesTo:
    def __init__(self, value):
        self.value = value

    def encode(self, codec):
        assert codec == "utf-8"
        return self.value


def test_load_passes_both_strings_utf8_encoded(cfg, recording):
    text = "# détecteur µ\ndac Vfbk 100\n"
    cfg.load("xml", text)
    assert recording() == [("vrex_load_configuration", (b"xml", text.encode("utf-8")))]
    assert simulator.state()["configurations"] == [("xml", text)]
    assert simulator.state()["dacs"]["Vfbk"] == 100


def test_load_accepts_bytes_and_bytearray_encodings_and_refuses_others(cfg):
    cfg.load(EncodesTo(b"yml"), EncodesTo(bytearray(b"dac Vfbk 101")))
    assert simulator.state()["dacs"]["Vfbk"] == 101
    with pytest.raises(TypeError, match="expected bytes, str found"):
        cfg.load(EncodesTo("yml"), "")
    with pytest.raises(AttributeError, match="encode"):
        cfg.load("yml", 5)


def test_configuration_statements_set_dacs_thresholds_and_mask_regions(open_with):
    c = open_with(pixel_mask={"width": 4, "height": 3}).config
    c.load("yml", "\r\n".join([
        "  # a comment, then a blank line",
        "",
        "dac Ibias_Ikrum 20",
        "threshold THL0 7.25",
        "raw_threshold THL0 1200",
        "mask 1 0 2 2 5",
        "mask 3 2 1 1 255",
    ]))
    state = simulator.state()
    assert state["dacs"]["Ibias_Ikrum"] == 20
    assert state["thresholds"]["THL0"] == {"kev": 7.25, "raw": 1200}
    expected = np.zeros((4, 3), dtype=np.uint8)
    expected[1:3, 0:2] = 5
    expected[3, 2] = 255
    assert np.array_equal(c.getMask(), expected)


@pytest.mark.parametrize(
    "line,message",
    [
        ("frobnicate 1", "unknown statement 'frobnicate'"),
        ("dac Vfbk", "expected 'dac <id> <int>'"),
        ("dac Vfbk 1 2", "expected 'dac <id> <int>'"),
        ("dac Nope 1", "unknown DAC 'Nope'"),
        ("dac Vfbk 1.5", "DAC value '1.5' is not an integer"),
        ("dac Vfbk 256", "value 256 of DAC 'Vfbk' outside its limits [0, 255]"),
        ("threshold THL0 hot", "threshold 'hot' is not a number"),
        ("threshold THL0 99", "threshold 'THL0' value 99 keV outside its range"),
        ("raw_threshold THL0 5000", "raw threshold 'THL0' value 5000 outside its range [0, 4095]"),
        ("raw_threshold NOPE 1", "unknown threshold 'NOPE'"),
        ("mask 250 0 7 1 1", "mask region 250,0 of 7x1 outside the 256x256 mask"),
        ("mask 0 0 1 18446744073709551615 1", "mask region 0,0 of 1x18446744073709551615 outside the 256x256 mask"),
        ("mask 0 0 1 1 256", "mask flag '256' is not an integer in [0, 255]"),
        ("mask 0 -1 1 1 1", "mask bound '-1' is not a non-negative integer"),
    ],
)
def test_malformed_configuration_is_refused_with_its_line_and_changes_nothing(cfg, line, message):
    before = simulator.state()
    text = "dac Vfbk 100\r\nmask 0 0 1 1 9\n\n   # comment\n" + line + "\ndac Vfbk 1\n"
    with pytest.raises(errors.VrexSdkInvalidArgumentError) as info:
        cfg.load("xml", text)
    assert info.value.args == ("Configuration line 5: " + message,)
    after = simulator.state()
    assert after["dacs"] == before["dacs"] and after["mask"] == before["mask"]
    assert after["configurations"] == []


@pytest.mark.parametrize("config_type", ["json", "XML", ""])
def test_an_unknown_configuration_type_is_refused(cfg, config_type):
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="Unknown configuration type"):
        cfg.load(config_type, "dac Vfbk 100")
    assert simulator.state()["dacs"]["Vfbk"] == 164
