"""vrexsdk.vrex: Device, enumeration, the SDK log bridge, the SDK versions, interpreter exit."""
import gc
import logging
import threading
import traceback
import weakref

import pytest

from vrexsdk import errors, vrex

CS0 = "usb:vrex-sim-0"


def last_frame(exc):
    return traceback.extract_tb(exc.__traceback__)[-1].name


def calls_named(sim, name):
    return [c for c in sim.calls() if c[0] == name]


class Encodes:
    def __init__(self, result):
        self.result = result

    def encode(self):
        return self.result


# ---- open / close / isOpened ----------------------------------------------------------------------------------


def test_open_close_and_is_opened(sim, device):
    assert device.isOpened() is False
    assert device.open(CS0) is None
    assert device.isOpened() is True
    assert sim.state()["open"] and sim.state()["connection_string"] == CS0
    assert device.close() is None
    assert device.isOpened() is False
    device.open(locator=Encodes(CS0.encode()))
    assert device.isOpened() is True


def test_a_non_ascii_locator_round_trips_through_enumerate_and_open(sim, device):
    sim.configure({"devices": [{"connection_string": "usb:détecteur-µ"}]})
    [record] = device.enumerate()
    assert record.connectionString == "usb:détecteur-µ"
    device.open(record.connectionString)
    assert sim.state()["open"]


@pytest.mark.parametrize(
    "locator, exc, message",
    [
        (CS0.encode(), AttributeError, "encode"),
        (None, AttributeError, "encode"),
        (Encodes(None), TypeError, "^expected bytes, NoneType found$"),
        (Encodes(bytearray(CS0.encode())), TypeError, "^Expected bytes, got bytearray$"),
        (Encodes(CS0), TypeError, "^Expected bytes, got str$"),
        ("usb:\ud800", UnicodeEncodeError, "surrogates"),
    ],
    ids=["bytes", "None", "encode-None", "encode-bytearray", "encode-str", "surrogate"],
)
def test_open_rejects_bad_locators_before_any_sdk_call(sim, device, locator, exc, message):
    sim.record_calls()
    with pytest.raises(exc, match=message) as info:
        device.open(locator)
    assert last_frame(info.value) == "vrexsdk.vrex.Device.open"
    assert calls_named(sim, "vrex_dev_open") == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda d: d.open(), r"^open\(\) takes exactly 1 positional argument \(0 given\)$"),
        (lambda d: d.open(CS0, CS0), r"^open\(\) takes exactly 1 positional argument \(2 given\)$"),
        (lambda d: d.open(CS0, locator=CS0), r"^open\(\) got multiple values for keyword argument 'locator'$"),
        (lambda d: d.open(path=CS0), r"^open\(\) got an unexpected keyword argument 'path'$"),
        (lambda d: d.close(1), r"^close\(\) takes exactly 0 positional arguments \(1 given\)$"),
        (lambda d: d.isOpened(True), r"^isOpened\(\) takes exactly 0 positional arguments \(1 given\)$"),
        (lambda d: d.enumerate(x=1), r"^enumerate\(\) got an unexpected keyword argument 'x'$"),
        (lambda d: d.finalize(None), r"^finalize\(\) takes exactly 0 positional arguments \(1 given\)$"),
    ],
)
def test_argument_count_errors(device, call, message):
    with pytest.raises(TypeError, match=message):
        call(device)


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda d, other: d.open("usb:nothing-here"), errors.VrexSdkInvalidArgumentError),
        (lambda d, other: d.close(), errors.VrexSdkInvalidOperationError),
        (lambda d, other: (d.open(CS0), d.open(CS0)), errors.VrexSdkInvalidOperationError),
        (lambda d, other: (other.open(CS0), d.open(CS0)), errors.VrexSdkInvalidOperationError),  # busy
    ],
    ids=["unknown", "close-unopened", "open-twice", "busy"],
)
def test_sdk_refusals_raise_mapped_exceptions_with_a_traceback_entry(device, call, exc):
    other = vrex.Device()
    with pytest.raises(exc) as info:
        call(device, other)
    assert str(info.value)
    assert last_frame(info.value).startswith("vrexsdk.vrex.Device.")
    other.finalize()


# ---- attributes -----------------------------------------------------------------------------------------------

ATTRIBUTES = ["bias", "board", "chip", "config", "monitor", "trigger", "lockstep", "cooling", "acq", "revisions",
              "props", "axi", "vault"]


@pytest.mark.parametrize("attr", ATTRIBUTES)
def test_attribute_assignment(device, attr):
    cls = type(getattr(device, attr))
    Sub = type("Sub", (cls,), {})
    replacement = Sub(None, None) if attr == "acq" else Sub(None)
    setattr(device, attr, replacement)
    assert getattr(device, attr) is replacement
    setattr(device, attr, None)
    assert getattr(device, attr) is None
    with pytest.raises(TypeError, match=rf"^Cannot convert int to {cls.__module__}\.{cls.__name__}$"):
        setattr(device, attr, 1)
    other = "chip" if attr != "chip" else "board"
    with pytest.raises(TypeError, match="^Cannot convert vrexsdk"):
        setattr(device, attr, getattr(device, other))
    setattr(device, attr, replacement)
    delattr(device, attr)
    assert getattr(device, attr) is None


def test_finalize_with_wrappers_reassigned_or_removed(device):
    device.acq = None
    device.monitor = None
    assert device.finalize() is None


# ---- lifetime --------------------------------------------------------------------------------------------------


def test_finalize_twice_without_callables(device):
    assert device.finalize() is None
    assert device.finalize() is None


def test_finalize_releases_the_registered_data_callable_once(opened):
    opened.chip.selectMode("0:tpx3-dd-toa-tot")

    class Sink:
        def __call__(self, *args):
            pass

    func = Sink()
    ref = weakref.ref(func)
    opened.acq.setDataCallback("ch0", func)
    del func
    assert ref() is not None
    opened.finalize()
    assert ref() is None
    opened.finalize()


def test_dropping_an_open_device_closes_it(sim):
    d = vrex.Device()
    d.open(CS0)
    assert sim.state(0)["open"]
    del d
    assert not sim.state(0)["open"]


def test_a_device_in_a_reference_cycle_is_closed_by_the_collector(sim):
    class Sub(vrex.Device):
        pass

    d = Sub()
    d.me = d
    d.open(CS0)
    del d
    gc.collect()
    assert not sim.state(0)["open"]


def test_the_finalizer_uses_the_subclass_overrides(sim):
    seen = []

    class Sub(vrex.Device):
        def isOpened(self):
            seen.append("isOpened")
            return 1  # any true value

        def close(self):
            seen.append("close")

    d = Sub()
    d.open(CS0)
    del d
    assert seen == ["isOpened", "close"]


@pytest.mark.parametrize("where", ["isOpened", "close", "truth"])
def test_finalizer_errors_are_reported_as_unraisable(sim, unraisable, where):
    class Falsy:
        def __bool__(self):
            raise ArithmeticError("no truth")

    class Sub(vrex.Device):
        def isOpened(self):
            if where == "isOpened":
                raise LookupError("from isOpened")
            return Falsy() if where == "truth" else True

        def close(self):
            raise KeyError("from close")

    d = Sub()
    del d  # does not raise
    [u] = unraisable
    assert u.exc_type is {"isOpened": LookupError, "close": KeyError, "truth": ArithmeticError}[where]
    assert u.object == "vrexsdk.vrex.Device.__del__"


def test_a_failing_sdk_call_in_the_finalizer_is_unraisable(sim, unraisable):
    d = vrex.Device()
    d.open(CS0)
    sim.fail("vrex_dev_close", -1, "stuck")
    del d
    [u] = unraisable
    assert u.exc_type is errors.VrexSdkInternalException and str(u.exc_value) == "stuck"


def test_a_failed_context_creation_raises_and_the_half_built_device_makes_no_sdk_call(sim, unraisable):
    sim.record_calls()
    sim.fail("vrex_ctx_create", -1, "no context")
    with pytest.raises(errors.VrexSdkInternalException):
        vrex.Device()
    gc.collect()
    assert [name for name, _ in sim.calls()] == ["vrex_ctx_create"]
    assert unraisable == []


def test_a_failing_set_logger_override_propagates_from_construction(sim, unraisable):
    class Sub(vrex.Device):
        def _Device__setLogger(self):
            raise RuntimeError("no logger")

    with pytest.raises(RuntimeError, match="no logger"):
        Sub()
    gc.collect()
    assert unraisable == []


def test_the_context_is_released_with_the_last_wrapper(sim):
    sim.record_calls()
    d = vrex.Device()
    chip = d.chip
    del d
    gc.collect()
    assert calls_named(sim, "vrex_ctx_destroy") == []
    del chip
    gc.collect()
    assert len(calls_named(sim, "vrex_ctx_destroy")) == 1


# ---- enumeration ------------------------------------------------------------------------------------------------


def descriptor(cs, product="P", manufacturer="M", serial="S", vid=1, pid=2, path="I", hs=1, ss=0):
    model = {"connection_string": cs, "product": product, "manufacturer": manufacturer, "serial_number": serial,
             "vid": vid, "pid": pid, "instance_path": path, "high_speed": hs, "super_speed": ss}
    return model, vrex.DeviceDescriptor(cs, product, manufacturer, serial, vid, pid, path, hs, ss)


def test_descriptor_fields():
    assert vrex.DeviceDescriptor._fields == (
        "connectionString", "product", "manufacturer", "serialNumber", "usbVid", "usbPid", "usbInstancePath",
        "isHighSpeed", "isSuperSpeed")
    assert vrex.DeviceDescriptor.__module__ == "vrexsdk.vrex"


@pytest.mark.parametrize(
    "devices",
    [
        [],
        [descriptor("a")],
        [descriptor("first", "Alpha", "Acme", "001", 0xFFFF, 0, "p0", 2, -7), descriptor("second", vid=0, pid=0xFFFF)],
        [descriptor("", "", "", "", 0, 0, "", 0, 0)],
    ],
    ids=["none", "one", "two", "empty-strings"],
)
def test_enumerate_lists_the_attached_devices_in_callback_order(sim, device, devices):
    sim.configure({"devices": [m for m, _ in devices]})
    records = device.enumerate()
    assert records == [d for _, d in devices]
    for r in records:
        assert type(r) is vrex.DeviceDescriptor
        assert type(r.isHighSpeed) is int and type(r.isSuperSpeed) is int


def test_each_connection_string_opens_its_device(sim):
    for index, record in enumerate(vrex.Device().enumerate()):
        d = vrex.Device()
        d.open(record.connectionString)
        assert sim.state()["device"] == index
        d.close()
        d.finalize()


GETTERS = [
    ("vrex_enum_get_connection_string", "connectionString", ""),
    ("vrex_enum_get_product", "product", ""),
    ("vrex_enum_get_manufacturer", "manufacturer", ""),
    ("vrex_enum_get_serial_number", "serialNumber", ""),
    ("vrex_enum_usb_get_vid_pid", ("usbVid", "usbPid"), 0),
    ("vrex_enum_usb_get_instance_path", "usbInstancePath", ""),
    ("vrex_enum_usb_is_high_speed", "isHighSpeed", 0),
    ("vrex_enum_usb_is_super_speed", "isSuperSpeed", 0),
]
STATUS_CLASSES = [(-1, errors.VrexSdkInternalException), (-2, errors.VrexSdkInvalidOperationError),
                  (-3, errors.VrexSdkInvalidArgumentError), (-4, errors.VrexSdkNoMemoryException),
                  (-5, errors.VrexSdkPointerException)]


@pytest.mark.parametrize("getter, status, cls",
                         [(g[0], *STATUS_CLASSES[i % 5]) for i, g in enumerate(GETTERS)])
def test_a_failing_getter_inside_the_callback_surfaces_from_enumerate(sim, device, getter, status, cls):
    sim.fail(getter, status, f"{getter} failed")
    with pytest.raises(cls) as info:
        device.enumerate()
    assert info.value.args == (f"{getter} failed",)
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == ["vrexsdk.vrex.Device.enumerate", "vrexsdk.vrex.__enum_func_callback"]
    assert len(device.enumerate()) == 2  # nothing left over from the failed enumeration


@pytest.mark.parametrize("getter", [g[0] for g in GETTERS[::3]])
def test_a_failing_getter_with_a_null_last_error_gives_an_empty_message(sim, device, getter):
    sim.fail(getter, -2, None)
    with pytest.raises(errors.VrexSdkInvalidOperationError, match="^$"):
        device.enumerate()


@pytest.mark.parametrize("getter, fields, preset", GETTERS)
def test_a_getter_failing_with_an_unmapped_status_leaves_its_preset_value(sim, device, getter, fields, preset):
    sim.fail(getter, -6, "ignored")
    first, second = device.enumerate()
    for field in (fields if isinstance(fields, tuple) else (fields,)):
        assert getattr(first, field) == preset
    assert second == vrex.Device().enumerate()[1]


def test_the_enumeration_itself_failing_raises_with_the_context_message(sim, device):
    sim.fail("vrex_dev_enumerate", -4, "out of memory")
    with pytest.raises(errors.VrexSdkNoMemoryException, match="^out of memory$"):
        device.enumerate()


@pytest.mark.parametrize("key", ["connection_string", "product", "manufacturer", "serial_number", "instance_path"])
def test_a_string_that_is_not_utf8_surfaces_from_enumerate(sim, device, key):
    sim.configure({"devices": [{}, {key: b"\xc3\x28 broken"}]})
    with pytest.raises(UnicodeDecodeError):
        device.enumerate()
    sim.reset()
    assert len(device.enumerate()) == 2


# ---- log bridge ------------------------------------------------------------------------------------------------


@pytest.fixture
def logged(caplog):
    caplog.set_level(logging.DEBUG, logger="vrexsdk")

    def records():
        return [r for r in caplog.records if r.name == "vrexsdk"]

    return records


@pytest.mark.parametrize("thread", ["sdk", "caller"])
@pytest.mark.parametrize(
    "severity, level",
    [(9, "DEBUG"), (0, "INFO"), (-1, "WARNING"), (-2, "ERROR"), (-3, "CRITICAL"), (5, "CRITICAL"),
     (-1000, "CRITICAL")],
)
def test_sdk_messages_reach_the_vrexsdk_logger_at_their_level(sim, device, logged, severity, level, thread):
    sim.emit_log(severity, f"  message {severity} \n", thread=thread)
    records = logged()
    assert records and {(r.levelname, r.getMessage()) for r in records} == {(level, f"message {severity}")}
    on_caller = {r.thread == threading.get_ident() for r in records}
    assert on_caller == {thread == "caller"}


@pytest.mark.parametrize("message, expected", [("", ""), (" \t\n", ""), ("ok", "ok"), ("Ω µ\n".encode(), "Ω µ")])
def test_message_text(sim, device, logged, message, expected):
    sim.emit_log(0, message)
    assert {r.getMessage() for r in logged()} == {expected}


def test_the_sdk_logs_while_opening_on_the_calling_thread(device, logged):
    device.open(CS0)
    [record] = [r for r in logged() if r.getMessage().startswith("Device opened")]
    assert record.levelname == "INFO" and record.thread == threading.get_ident()


class Raising(logging.Handler):
    def emit(self, record):
        raise OSError("handler broke")


@pytest.mark.parametrize("thread", ["sdk", "caller"])
@pytest.mark.parametrize("fault", ["invalid-utf8", "raising-handler", "no-logging-global"])
def test_log_failures_are_reported_as_unraisable_and_cleared(sim, device, unraisable, monkeypatch, thread, fault):
    message = b"bad \xff" if fault == "invalid-utf8" else "fine"
    if fault == "raising-handler":
        handler = Raising()
        logging.getLogger("vrexsdk").addHandler(handler)
    if fault == "no-logging-global":
        monkeypatch.delattr(vrex, "logging")
    try:
        assert sim.emit_log(-3, message, thread=thread) is None  # Fatal: passes any logger level
    finally:
        if fault == "raising-handler":
            logging.getLogger("vrexsdk").removeHandler(handler)
    expected = {"invalid-utf8": UnicodeDecodeError, "raising-handler": OSError, "no-logging-global": NameError}
    assert unraisable and {u.exc_type for u in unraisable} == {expected[fault]}
    assert {u.object for u in unraisable} == {"vrexsdk.vrex.__log_func_callback"}
    frames = traceback.extract_tb(unraisable[0].exc_traceback)
    assert frames[0].name == "vrexsdk.vrex.__log_func_callback"
    monkeypatch.undo()
    unraisable.clear()
    device.open(CS0)  # logs on this thread: nothing pending, nothing reported
    assert device.isOpened() is True
    assert unraisable == []


def test_every_device_attaches_its_own_sink(sim, device, logged):
    def count():
        before = len(logged())
        sim.emit_log(0, "count me")
        return len(logged()) - before

    one = count()
    second = vrex.Device()
    assert count() == one + 1
    second._Device__setLogger()  # attaching again adds another sink
    assert count() == one + 2
    second.finalize()


def test_a_subclass_can_replace_set_logger(sim):
    class Quiet(vrex.Device):
        def _Device__setLogger(self):
            pass

    sim.record_calls()
    Quiet().finalize()
    assert calls_named(sim, "vrex_log_set_func") == []
    vrex.Device().finalize()
    assert len(calls_named(sim, "vrex_log_set_func")) == 1


# ---- versions -----------------------------------------------------------------------------------------------------


def test_versions():
    assert vrex.SdkVersion._fields == ("major", "minor", "patch")
    runtime, compiled = vrex.getRuntimeVersion(), vrex.getCompileTimeVersion()
    assert type(runtime) is vrex.SdkVersion and runtime == (0, 2, 3)
    assert type(compiled) is vrex.SdkVersion and compiled == vrex.SdkVersion(major=0, minor=2, patch=1)


@pytest.mark.parametrize("func", [vrex.getRuntimeVersion, vrex.getCompileTimeVersion])
def test_versions_take_no_arguments(func):
    with pytest.raises(TypeError):
        func(1)
    with pytest.raises(TypeError):
        func(major=0)


# ---- interpreter exit -------------------------------------------------------------------------------------------

EXIT_SCRIPTS = {
    "device-open": """
        import logging
        from vrexsdk import vrex
        logging.basicConfig(level=logging.DEBUG)
        device = vrex.Device()
        device.open(device.enumerate()[0].connectionString)
    """,
    "sdk-thread-logging": """
        import logging, threading, time
        from vrexsdk import simulator, vrex
        logging.basicConfig(level=logging.DEBUG)
        device = vrex.Device()
        device.open(device.enumerate()[0].connectionString)
        def spam():
            while True:
                simulator.emit_log(0, "tick", thread="sdk")
        for _ in range(4):
            threading.Thread(target=spam, daemon=True).start()
        time.sleep(0.2)
    """,
    "daemon-thread-in-a-method": """
        import threading, time
        from vrexsdk import vrex
        device = vrex.Device()
        device.open(device.enumerate()[0].connectionString)
        def poll():
            while True:
                device.isOpened()
        for _ in range(4):
            threading.Thread(target=poll, daemon=True).start()
        time.sleep(0.2)
    """,
}


@pytest.mark.parametrize("script", EXIT_SCRIPTS)
def test_interpreter_exit_neither_hangs_nor_crashes(run_python, script):
    for _ in range(3):
        result = run_python(EXIT_SCRIPTS[script], timeout=60)
        assert result.returncode == 0, result.stderr[-2000:]
        assert "Fatal Python error" not in result.stderr
        assert "terminate called" not in result.stderr
