"""The vrexsdk command: every sub-command on the simulated devices, exit statuses, Ctrl-C and missing extras."""
import json
import os
import re
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vrexsdk import cli as cli_module, simulator, vrex
from vrexsdk.record import load

ENDLESS = {"block_count": 10**9, "interval_s": 0.002, "hits": 50}


def run_cli(argv, setup="", timeout=60, **popen):
    """`python -c` running the command with `argv` after `setup` (simulator settings, blocked modules)."""
    source = textwrap.dedent(setup) + f"\nimport sys\nfrom vrexsdk.cli import main\nsys.exit(main({list(argv)!r}))\n"
    popen.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([sys.executable, "-c", source], stderr=subprocess.PIPE, text=True, timeout=timeout, **popen)


def test_devices_lists_every_attached_device(cli):
    status, out, err = cli("devices")
    assert status == 0 and err == ""
    lines = out.splitlines()
    assert lines[0].split() == ["LOCATOR", "PRODUCT", "SERIAL", "MANUFACTURER", "USB", "SPEED"]
    assert "usb:vrex-sim-0" in lines[2] and "VX3-1000" in lines[2] and "1a2b:0003" in lines[2]
    assert "usb:vrex-sim-1" in lines[3] and "Vrex Timepix Detector" in lines[3]
    status, out, _ = cli("devices", "--json")
    assert [d["serialNumber"] for d in json.loads(out)] == ["VX3-1000", "VX1-1001"]


def test_devices_with_none_attached(cli):
    simulator.configure({"devices": []})
    assert cli("devices") == (0, "no device attached\n", "")
    status, _, err = cli("info")
    assert status == 2 and "no device attached" in err


@pytest.mark.parametrize("argv, expected", [
    (["info"], ["VX3-1000", "polarity positive", r"Vthreshold_fine\s+256\s+0\s+511", "THL0", r"2\.\.60",
                "peltier", "chipboard  False", "0:tpx3-binned-packets", "4 sectors of 65536 bytes at 0x4000..0x43fff",
                "firmware 1.4.2", "ch0, ch1", "256 x 256, 0 masked"]),
    (["info", "--device", "usb:vrex-sim-1"], ["VX1-1001", "polarity negative", "THLFine", "0:tpx-medipix",
                                              "cooling:\n  none", "memories:\n  none"]),
    (["--device", "usb:vrex-sim-1", "info"], ["VX1-1001"]),
])
def test_info_describes_the_device(cli, argv, expected):
    status, out, err = cli(*argv)
    assert status == 0 and err == ""
    for pattern in expected:
        assert re.search(pattern, out), pattern


def test_info_json_and_refused_getters(cli):
    simulator.fail("vrex_chip_dac_limits", -1, "limits lost", count=-1)
    status, out, _ = cli("info", "--json")
    simulator.clear_faults()
    info = json.loads(out)
    assert status == 0 and info["identity"]["serial_number"] == "VX3-1000"
    assert info["dacs"]["Vfbk"]["value"] == 164 and "limits lost" in info["dacs"]["Vfbk"]["limits"]
    assert info["memories"]["config"]["size"] == 278528 and info["thresholds"]["THL0"]["raw_range"] == [0, 4095]


def test_refused_getters_show_unavailable_in_text(cli):
    simulator.fail("vrex_chip_dac_count", -1, "no DAC table", count=-1)
    simulator.fail("vrex_cooling_get_actual", -1, "sensor lost", count=-1)
    status, out, _ = cli("info")
    simulator.clear_faults()
    assert status == 0
    assert "DACs:\n  unavailable (VrexSdkInternalException: no DAC table)" in out
    assert "unavailable (VrexSdkInternalException: sensor lost)" in out


@pytest.mark.parametrize("function, info_path, meta_path", [
    ("vrex_dev_prop_get_serial_number", ["identity", "serial_number"], ["device", "serial_number"]),
    ("vrex_chip_get_polarity", ["chips", 0, "polarity"], ["chips", 0, "polarity"]),
    ("vrex_chip_threshold_raw_get", ["thresholds", "THL0", "raw"], ["thresholds", "THL0", "raw"]),
    ("vrex_cooling_get_desired", ["cooling", "peltier", "desired"], ["cooling", "peltier", "desired"]),
    ("vrex_get_pixel_mask", ["mask", "masked_pixels"], ["masked_pixels"]),
])
def test_info_and_the_metadata_read_a_refused_getter_alike(cli, device, function, info_path, meta_path):
    from vrexsdk.record import describe

    def at(value, path):
        for key in path:
            value = value[key]
        return value

    simulator.fail(function, -1, "refused", count=-1)
    status, out, _ = cli("info", "--json")
    device.open("usb:vrex-sim-0")
    meta = describe(device)
    simulator.clear_faults()
    assert status == 0 and at(meta, meta_path) is None
    assert at(json.loads(out), info_path) == "unavailable (VrexSdkInternalException: refused)"
    assert at(describe(device), meta_path) is not None


def test_a_registered_command_is_parsed_and_run(cli, monkeypatch):
    monkeypatch.setattr(cli_module, "_COMMANDS", dict(cli_module._COMMANDS))
    monkeypatch.setattr(cli_module, "_GROUPS", dict(cli_module._GROUPS))
    cli_module.group("demo", help="a demo group", description="Demo actions.")

    @cli_module.command("demo echo", help="print the words", options=[cli_module.option("words", nargs="+")])
    def echo(args, out, err):
        print(" ".join(args.words), args.device, file=out)
        return 3

    assert cli("demo", "echo", "a", "b", "--device", "usb:x") == (3, "a b usb:x\n", "")
    assert "needs an action: echo" in cli("demo")[2]
    assert "Print the words." in cli("demo", "echo", "--help")[1]
    with pytest.raises(ValueError, match="registered twice"):
        cli_module.command("demo echo", help="again")(echo)


@pytest.mark.parametrize("argv", [["info"], ["devices", "--json"], ["--help"]])
def test_a_closed_pipe_ends_quietly(argv):
    read_end, write_end = os.pipe()
    os.close(read_end)  # the reader is gone before anything is written: every write fails
    try:
        result = run_cli(argv, stdout=write_end)
    finally:
        os.close(write_end)
    assert result.returncode == 0 and result.stderr == ""


@pytest.mark.parametrize("suffix", [".npz", ".h5"])
def test_acquire_saves_and_draws(cli, tmp_path, suffix):
    if suffix == ".h5":
        pytest.importorskip("h5py")
    Image = pytest.importorskip("PIL.Image")
    out_file, png = tmp_path / ("run" + suffix), tmp_path / "run.png"
    status, out, err = cli("acquire", "--mode", "0:tpx3-dd-toa-tot", "--blocks", 3, "--output", out_file,
                           "--png", png, "--dac", "Vfbk=150", "--threshold", "THL0=5.5")
    assert status == 0, err
    assert "3 blocks" in out and "hits" in out and f"saved {out_file}" in out
    rec = load(out_file)
    assert rec.blocks == 3 and rec.hit_map.sum() == rec.hits > 0
    assert rec.metadata["dacs"]["Vfbk"] == 150 and rec.metadata["thresholds"]["THL0"]["kev"] == pytest.approx(5.5)
    with Image.open(png) as picture:
        assert len(picture.convert("RGB").getcolors(maxcolors=1 << 20)) > 1


@pytest.mark.parametrize("argv, check", [
    (["--device", "usb:vrex-sim-1", "acquire", "--mode", "0:tpx-medipix", "--blocks", "2"],
     lambda r: r.kind == "frames" and r.frames == 2),
    (["acquire", "--mode", "0:tpx3-binned-count-sums", "--binning", "4", "2", "500", "--blocks", "2"],
     lambda r: r.kind == "binned" and r.hit_sums.shape == (8,) and r.metadata["binning"] == [4, 2, 500]),
    (["acquire", "--raw", "--blocks", "2", "--channel", "ch1"],
     lambda r: r.kind == "raw" and r.byte_count > 0 and r.channel == "ch1"),
    (["acquire"], lambda r: r.mode == "0:tpx3-dd-toa-tot" and r.metadata["acquisitions"] == 1),  # first mode, to the end
])
def test_acquire_modes(cli, tmp_path, argv, check):
    status, out, err = cli(*argv, "-q", "--output", tmp_path / "r.npz")
    assert status == 0, err
    assert check(load(tmp_path / "r.npz"))


def test_acquire_applies_a_mask_file(cli, tmp_path):
    mask = np.zeros((256, 256), np.uint8)
    mask[:, :128] = 1  # y < 128
    np.save(tmp_path / "m.npy", mask)
    status, _, err = cli("acquire", "--mask", tmp_path / "m.npy", "--blocks", 2, "-q", "-o", tmp_path / "r.npz")
    rec = load(tmp_path / "r.npz")
    assert status == 0, err
    assert rec.hit_map[:128].sum() == 0 and rec.hit_map[128:].sum() > 0


def test_acquire_progress_and_summary(cli):
    status, out, err = cli("acquire", "--blocks", 2)
    assert status == 0 and "block" in err and "hits/s" in err  # the bar, with the hit rate
    assert out.splitlines()[0].startswith("mode 0:tpx3-dd-toa-tot on channel ch0: 2 blocks")


@pytest.mark.parametrize("argv, message", [
    (["acquire", "--mode", "0:nope"], "unknown mode '0:nope'; choose from: 0:tpx3-dd-toa-tot"),
    (["acquire", "--channel", "ch7"], "unknown channel 'ch7'"),
    (["acquire", "--threshold", "THL9=4"], "unknown threshold 'THL9'; choose from: THL0"),
    (["acquire", "--threshold", "THL0=400"], "threshold THL0 takes 2..60 keV"),
    (["acquire", "--threshold", "THL0"], "expected NAME=VALUE"),
    (["acquire", "--dac", "Vfbk=999"], "DAC Vfbk takes 0..255"),
    (["acquire", "--dac", "Nope=1"], "unknown DAC 'Nope'"),
    (["acquire", "--blocks", "0"], "argument --blocks: must be positive"),
    (["acquire", "--seconds", "soon"], "argument --seconds: not a number"),
    (["acquire", "--binning", "4", "4"], "--binning"),
    (["acquire", "--binning", "4", "4", "10"], "--binning needs a binned mode"),
    (["acquire", "--png", "/nonexistent-dir/x.png"], "does not exist"),
    (["acquire", "--mask", "/nonexistent-dir/m.npy"], "cannot read mask file"),
    (["acquire", "--bogus"], "unrecognized arguments: --bogus"),
    (["--device", "usb:nowhere", "info"], "cannot open device 'usb:nowhere'"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
    (["mask"], "mask needs an action"),
    (["mask", "get", "m.bmp"], "use .npy, .txt or .png"),
    (["mask", "set", "/nonexistent-dir/m.npy"], "cannot read mask file"),
    (["flash", "read", "nope", "0", "4"], "unknown memory 'nope'; choose from: config"),
    (["flash", "read", "config", "0x43ff0", "32"], "reach beyond memory config"),
    (["flash", "read", "config", "-1", "4"], "argument ADDRESS"),
    (["flash", "program", "config", "0", "/nonexistent-dir/blob"], "cannot read /nonexistent-dir/blob"),
])
def test_usage_errors_exit_2_with_one_line(cli, argv, message):
    status, out, err = cli(*argv)
    assert status == 2
    assert err.count("\n") == 1 and err.startswith("vrexsdk") and message in err
    assert "Traceback" not in err


def test_usage_errors_start_nothing(cli):
    simulator.record_calls()
    cli("acquire", "--threshold", "THL0=400")
    simulator.record_calls(False)
    assert not [name for name, _ in simulator.calls()
                if name in ("vrex_acq_begin", "vrex_acq_set_data_callback", "vrex_chip_threshold_set")]


@pytest.mark.parametrize("function, argv", [
    ("vrex_acq_begin", ["acquire", "--blocks", "1"]),
    ("vrex_chip_dac_value_set", ["acquire", "--dac", "Vfbk=10"]),
    ("vrex_flash_read", ["flash", "read", "config", "0", "4"]),
])
def test_sdk_failures_exit_1(cli, function, argv):
    simulator.fail(function, -1, "the sensor is unpowered")
    status, _, err = cli(*argv)
    assert status == 1
    assert err.splitlines()[-1] == "vrexsdk: error: VrexSdkInternalException: the sensor is unpowered"
    assert "Traceback" not in err


@pytest.mark.parametrize("suffix", [".npy", ".txt", ".png"])
def test_mask_round_trip(cli, tmp_path, suffix):
    if suffix == ".png":
        pytest.importorskip("PIL.Image")
    mask = np.zeros((256, 256), np.uint8)
    mask[3, 200] = 1
    mask[10:20, 0:5] = 7
    path = tmp_path / ("mask" + suffix)
    np.save(tmp_path / "in.npy", mask)
    status, out, err = cli("mask", "set", tmp_path / "in.npy")
    assert status == 0 and "51 of 65536 pixels masked" in out, err
    device = vrex.Device()
    try:
        device.open("usb:vrex-sim-0")
        np.testing.assert_array_equal(device.config.getMask(), mask)
        device.close()
    finally:
        device.finalize()
    status, out, err = cli("mask", "get", path)
    assert status == 0 and path.exists(), err
    cli("mask", "set", tmp_path / "in.npy")  # unchanged device, then the file back
    assert cli("mask", "set", path)[0] == 0
    status, _, _ = cli("mask", "get", tmp_path / "again.npy")
    np.testing.assert_array_equal(np.load(tmp_path / "again.npy"), mask)
    if suffix == ".png":  # rows are y in the picture
        from PIL import Image

        with Image.open(path) as picture:
            assert picture.getpixel((3, 200)) == 1 and picture.getpixel((200, 3)) == 0


@pytest.mark.parametrize("content, message", [
    (np.zeros((10, 10), np.uint8), "holds 10 x 10 values; the device's mask is 256 x 256"),
    (np.full((256, 256), 300), "values must be 0..255"),
    (np.zeros((256, 256), np.float32), "not integers"),
])
def test_mask_set_refuses_wrong_files(cli, tmp_path, content, message):
    np.save(tmp_path / "m.npy", content)
    status, _, err = cli("mask", "set", tmp_path / "m.npy")
    assert status == 2 and message in err
    (tmp_path / "bad.npy").write_bytes(b"not numpy")
    status, _, err = cli("mask", "set", tmp_path / "bad.npy")
    assert status == 2 and "is not a mask" in err


def test_flash_program_and_read(cli, tmp_path):
    blob = bytes(range(40))
    (tmp_path / "blob").write_bytes(blob)
    status, out, err = cli("flash", "program", "config", "0x1000", tmp_path / "blob")
    assert status == 0 and "programmed 40 bytes at 0x1000 of config" in out, err
    status, out, _ = cli("flash", "read", "config", 4096, 40, "-o", tmp_path / "back")
    assert status == 0 and (tmp_path / "back").read_bytes() == blob
    status, out, _ = cli("flash", "read", "config", "0x1000", "20")
    assert out.splitlines() == [
        "00001000  00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f  ................",
        "00001010  10 11 12 13                                      ....",
    ]


@pytest.mark.parametrize("argv, text", [
    ([], "devices"), (["devices"], "List the attached devices"), (["info"], "thresholds"),
    (["acquire"], "--binning W H DWELL"), (["mask"], "get"), (["mask", "set"], "FILE"),
    (["flash"], "program"), (["flash", "read"], "LENGTH"),
])
def test_help_everywhere(cli, argv, text):
    status, out, _ = cli(*argv, "--help")
    assert status == 0 and text in out and "usage: vrexsdk" in out


def test_version_and_module_entry_point():
    import vrexsdk

    result = subprocess.run([sys.executable, "-m", "vrexsdk", "--version"], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0 and result.stdout.strip() == f"vrexsdk {vrexsdk.__version__}"


@pytest.mark.parametrize("blocked, argv, hint", [
    ("PIL", ["acquire", "--png", "out.png"], 'pip install "vrexsdk[cli]"'),
    ("h5py", ["acquire", "--output", "out.h5"], 'pip install "vrexsdk[hdf5]"'),
    ("PIL", ["mask", "get", "out.png"], 'pip install "vrexsdk[cli]"'),
])
def test_missing_extras_fail_before_acquiring(tmp_path, blocked, argv, hint):
    argv = argv[:-1] + [str(tmp_path / argv[-1])]
    result = run_cli(argv, setup=f"""
        import sys
        sys.modules[{blocked!r}] = None
        from vrexsdk import simulator
        simulator.record_calls()
        import atexit
        atexit.register(lambda: print("begun:", any(c[0] == "vrex_acq_begin" for c in simulator.calls())))
    """)
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert hint in result.stderr and "begun: False" in result.stdout
    assert list(tmp_path.iterdir()) == []


def test_without_tqdm_progress_is_plain_text(tmp_path):
    result = run_cli(["acquire", "--blocks", "3", "--seconds", "30"], setup=f"""
        import sys
        sys.modules["tqdm"] = None
        from vrexsdk import simulator
        model = simulator.model()
        model["devices"][0]["acquisition"].update({{"block_count": 10**9, "interval_s": 0.4, "hits": 5}})
        simulator.configure(model)
    """)
    assert result.returncode == 0, result.stderr
    assert 'pip install "vrexsdk[cli]"' in result.stderr and result.stderr.count("pip install") == 1
    assert "blocks" in result.stderr and "hits/s" in result.stderr  # at least one plain progress line
    assert "3 blocks" in result.stdout


def test_ctrl_c_stops_and_saves(tmp_path):
    output = tmp_path / "run.npz"
    setup = f"""
        from vrexsdk import simulator
        model = simulator.model()
        model["devices"][0]["acquisition"].update({ENDLESS!r})
        simulator.configure(model)
    """
    # Python's own SIGINT handler even when the suite was started with SIGINT ignored (a background job).
    source = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n" + textwrap.dedent(setup) + (
        f"\nimport sys\nfrom vrexsdk.cli import main\nsys.exit(main(['acquire', '--output', {str(output)!r}]))\n")
    proc = subprocess.Popen([sys.executable, "-c", source], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        # The bar shows the hit count once blocks come in; then Ctrl-C.
        seen = ""
        while "hits/s" not in seen:
            chunk = proc.stderr.read(1)
            assert chunk, "the command ended before acquiring"
            seen += chunk
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 130, err
    assert "Traceback" not in err and "interrupted" in err and f"saved {output}" in out
    rec = load(output)
    assert rec.interrupted and rec.hit_map.sum() == rec.hits == 50 * rec.blocks


def test_acquire_writes_an_event_file_and_refuses_to_overwrite_it(cli, tmp_path):
    from vrexsdk import events

    path = tmp_path / "run.h5"
    status, out, err = cli("acquire", "--mode", "0:tpx3-dd-toa-tot", "--events", path, "--compression", "gzip", "-q")
    assert status == 0 and f"every block in {path}" in out, err
    with events.open_events(path) as f:
        assert f.complete and len(f.read()["event_id"]) == f.acquisition["blocks"] * 1024
    status, _, err = cli("acquire", "--events", path, "-q")
    assert status == 2 and "--overwrite" in err
    assert cli("acquire", "--events", path, "--overwrite", "-q")[0] == 0

def device_with(**changes):
    """The default model with the first device's entries changed (a callable changes the entry in place)."""
    model = simulator.model()
    for key, change in changes.items():
        if callable(change):
            change(model["devices"][0][key])
        else:
            model["devices"][0][key] = change
    simulator.configure(model)


def far_sector(flash):
    flash[0]["regions"][0]["sectors"][0] = [2**31 + 16, 2**31 + 31]


def unknown_polarity(chips):
    chips[0]["polarity"] = 7


@pytest.mark.parametrize("changes, argv, status, expected", [
    ({}, ["flash", "read", "config", "0", "0"], 2, "LENGTH: must be positive, not 0"),
    ({}, ["flash", "program", "config", "0", "EMPTY"], 2, "EMPTY is empty: nothing to program"),
    ({"pixel_mask": {"width": 0, "height": 256}}, ["info"], 0, "0 x 256, 0 masked"),
    ({"pixel_mask": {"width": 256, "height": 0}}, ["mask", "get", "OUT.npy"], 1, "pixel mask is empty (256 x 0)"),
    ({"pixel_mask": {"width": 0, "height": 0}}, ["acquire", "--blocks", "1"], 0, "1 blocks"),
    ({"pixel_mask": {"width": 0, "height": 256}}, ["settings", "save", "OUT.json"], 0, "saved"),
    ({"product": b"\xffVX3"}, ["devices"], 1, "cannot list the devices: one reports a value that cannot be read "
                                              "(UnicodeDecodeError"),
    ({"serial_number": b"\xff"}, ["info"], 1, "cannot list the devices"),
    ({"serial_number": b"\xff"}, ["info", "--device", "usb:vrex-sim-0"], 0, "serial unavailable (UnicodeDecodeError"),
    ({"serial_number": b"\xff"}, ["acquire", "--device", "usb:vrex-sim-0", "--blocks", "1"], 0, "1 blocks"),
    ({"chips": unknown_polarity}, ["info"], 0, "polarity unavailable (ValueError"),
    ({"chips": unknown_polarity}, ["acquire", "--blocks", "1"], 0, "1 blocks"),
    ({"flash": far_sector}, ["info"], 0, "unavailable (OverflowError"),
    ({"flash": far_sector}, ["flash", "read", "config", "0", "4"], 1, "memory config: its layout reports a value "
                                                                     "that cannot be read (OverflowError"),
])
def test_what_the_binding_cannot_take_gives_a_message_and_the_documented_status(cli, tmp_path, changes, argv,
                                                                                status, expected):
    (tmp_path / "EMPTY").write_bytes(b"")
    device_with(**changes)
    got, out, err = cli(*[str(tmp_path / a) if a in ("EMPTY", "OUT.npy", "OUT.json") else a for a in argv])
    assert got == status and "Traceback" not in err and expected in out + err, (out, err)
    assert not (tmp_path / "OUT.npy").exists()


def test_ctrl_c_before_the_data_are_in_says_nothing_was_saved(cli, tmp_path, monkeypatch):
    import vrexsdk.record

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(vrexsdk.record, "record", interrupted)
    output = tmp_path / "run.npz"
    status, _, err = cli("acquire", "--output", output)
    assert status == 1 and err.endswith(f"\nvrexsdk: interrupted: nothing saved to {output}\n")
    assert cli("acquire")[0] == 130 and not output.exists()
