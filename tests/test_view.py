"""The live view: its server's requests and update messages, and the page in a real (headless) browser."""
import asyncio
import json
import os
import pathlib
import shutil
import struct

import numpy as np
import pytest

import vrexsdk
from vrexsdk.calibration import Calibration
from vrexsdk.record import load
from vrexsdk.view import Series, Snapshot, Viewer, encode_update

aiohttp = pytest.importorskip("aiohttp")

MODE = "0:tpx3-dd-toa-tot"
# Blocks keep coming until stopped, slowly enough for a loaded test machine.
LONG_RUN = {"devices": [{"acquisition": {"block_count": 10**7, "hits": 2000, "interval_s": 0.01}}]}


def decode(message):
    """The reference reader of an update: header, then each array of its type at its offset."""
    (length,) = struct.unpack_from("<I", message)
    header = json.loads(message[4:4 + length])
    arrays = {name: np.frombuffer(message, "<" + a["type"], a["length"], a["offset"])
              for name, a in header["arrays"].items()}
    return header, arrays


@pytest.mark.parametrize("image, wire", [
    (None, None), (np.arange(15, dtype=np.uint64).reshape(3, 5), "u1"), (np.full((2, 3), 300), "u2"),
    (np.full((256, 256), 2**40), "u4"),
])
def test_update_messages_carry_every_panel_aligned_and_saturated(image, wire):
    tot = Series("Energy", np.array([0, 5, 7], dtype=np.uint64), origin=0.5, bin_width=0.1, unit="keV")
    header, arrays = decode(encode_update(Snapshot(kind="hits", image=image, spectrum=tot, blocks=3, events=12),
                                          {"running": True}))
    assert (header["blocks"], header["events"], header["running"]) == (3, 12, True)
    assert all(a["offset"] % 4 == 0 for a in header["arrays"].values())
    assert arrays["spectrum"].tolist() == [0, 5, 7] and "toa" not in arrays
    assert {k: header["arrays"]["spectrum"][k] for k in ("label", "unit", "origin", "binWidth")} == {
        "label": "Energy", "unit": "keV", "origin": 0.5, "binWidth": 0.1}
    if image is None:
        assert "image" not in arrays
    else:
        entry = header["arrays"]["image"]
        assert (entry["height"], entry["width"], entry["type"]) == (*image.shape, wire)
        assert arrays["image"].tolist() == np.minimum(image, 2**32 - 1).ravel().tolist()


@pytest.mark.parametrize("kwargs, error", [
    ({"port": 70000}, ValueError), ({"port": "80"}, ValueError), ({"rate": 0}, ValueError),
    ({"rate": 1000}, ValueError), ({"host": ""}, ValueError), ({"save_dir": "/nonexistent/dir"}, ValueError),
    ({"clusters": "yes"}, TypeError),
])
def test_bad_viewer_arguments_are_refused(opened, kwargs, error):
    with pytest.raises(error):
        Viewer(opened, **kwargs)


@pytest.fixture
def long_run(sim, device):
    sim.configure(LONG_RUN)
    device.open(device.enumerate()[0].connectionString)
    return device


@pytest.fixture
def viewer(long_run, tmp_path):
    with Viewer(long_run, port=0, save_dir=str(tmp_path)) as v:
        yield v


class Page:
    """A WebSocket client standing in for a page: sends requests, reads what comes back."""

    def __init__(self, ws):
        self.ws = ws
        self.state = None

    async def request(self, **fields):
        await self.ws.send_str(json.dumps(fields))

    async def next(self, kind):
        while True:
            message = await self.ws.receive(timeout=60)
            if message.type == aiohttp.WSMsgType.BINARY:
                if kind == "update":
                    return decode(message.data)[0]
                continue
            data = json.loads(message.data)
            if data["type"] == "state":
                self.state = data
            if data["type"] == kind:
                return data

    async def until(self, predicate):
        while not predicate(await self.next("update")):
            pass


def talk(viewer, script, origin=None):
    async def main():
        headers = {} if origin is None else {"Origin": origin}
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect(viewer.url + "ws", headers=headers) as ws:
                page = Page(ws)
                await page.next("state")
                return await script(page)

    return asyncio.run(main())


def test_the_server_listens_on_loopback_only(viewer):
    assert viewer.url.startswith("http://127.0.0.1:") and viewer.port > 0


def test_pages_from_another_site_are_refused(viewer):
    with pytest.raises(aiohttp.WSServerHandshakeError):
        talk(viewer, lambda page: None, origin="http://example.com")


START = json.dumps({"cmd": "start", "mode": MODE})
BAD_REQUESTS = [  # (request, the error it gets, whether it is sent while an acquisition runs)
    *[(text, message, running) for running in (False, True) for text, message in [
        ("not json", "malformed request"),
        ("[1, 2]", "malformed request"),
        (json.dumps({"cmd": "fly"}), "unknown request 'fly'"),
        (json.dumps({"cmd": "start", "mode": "0:no-such-mode"}), "unknown mode '0:no-such-mode'"),
        (json.dumps({"cmd": "start", "mode": 5}), "mode must be a mode name"),
        (json.dumps({"cmd": "start", "mode": MODE, "seconds": -1}), "duration must be a positive number"),
        (json.dumps({"cmd": "start", "mode": MODE, "path": "/etc"}), "unexpected field(s) path"),
        (json.dumps({"cmd": "save", "format": "../x"}), "format must be 'npz' or 'h5'"),
    ]],
    (json.dumps({"cmd": "start", "mode": MODE, "binning": [4, 4, 10]}), "takes no binning", False),
    (json.dumps({"cmd": "stop"}), "no acquisition is running", False),
    (json.dumps({"cmd": "save"}), "nothing to save", False),
    (START, "already running", True),
]


@pytest.mark.parametrize("text, message, while_running", BAD_REQUESTS)
def test_bad_requests_are_answered_with_an_error_and_change_nothing(viewer, text, message, while_running):
    async def script(page):
        if while_running:
            await page.request(cmd="start", mode=MODE)
            await page.until(lambda h: h["running"] and h["events"] > 0)
        await page.ws.send_str(text)
        error = await page.next("error")
        await page.ws.send_str(json.dumps({"cmd": "fly"}))  # a known answer, after any state change
        await page.next("error")
        running = viewer._session.running
        if while_running:
            await page.request(cmd="stop")
        return error, running

    error, running = talk(viewer, script)
    assert message in error["message"]
    assert running == while_running


def test_a_closed_device_is_reported_on_the_page(viewer, long_run):
    long_run.close()

    async def script(page):
        await page.request(cmd="start", mode=MODE)
        return (await page.next("error"))["message"], page.state

    message, state = talk(viewer, script)
    assert message == "the device is not open" and not state["open"]


def test_start_stop_reset_and_save_round_trip(viewer, tmp_path):
    async def script(page):
        await page.request(cmd="start", mode=MODE, seconds=600)
        await page.until(lambda h: h["running"] and h["blocks"] > 20)
        await page.request(cmd="reset")
        await page.until(lambda h: h["blocks"] < 20)
        await page.request(cmd="stop")
        stopped = await page.next("state")
        await page.request(cmd="save", format="npz")
        saved = await page.next("saved")
        final = await page.next("update")
        while not final["temperatures"]:  # the device's readings come at their own, slower pace
            final = await page.next("update")
        return stopped, saved["path"], final

    stopped, path, final = talk(viewer, script)
    assert not stopped["running"] and stopped["ended"] == "stopped"
    assert {"peltier", "sensor_temperature"} <= {t["id"] for t in final["temperatures"]}
    assert [b["id"] for b in final["bias"]] == ["hv"]
    assert os.path.dirname(path) == str(tmp_path)
    rec = load(path)
    assert rec.mode == MODE and rec.hits == final["events"] > 0
    assert int(rec.hit_map.sum()) == rec.hits


def test_a_calibration_turns_the_spectrum_into_energies(long_run, tmp_path):
    calibration = Calibration.uniform(1.6, 25.0, 120.0, 2.0)

    async def script(page):
        await page.request(cmd="start", mode=MODE)
        header = await page.next("update")
        while not (header["running"] and header["events"] > 0):
            header = await page.next("update")
        await page.request(cmd="stop")
        await page.next("state")
        await page.request(cmd="save")
        return header["arrays"]["spectrum"], (await page.next("saved"))["path"]

    with Viewer(long_run, port=0, save_dir=str(tmp_path), calibration=calibration) as viewer:
        spectrum, path = talk(viewer, script)
    assert (spectrum["label"], spectrum["unit"], spectrum["origin"], spectrum["binWidth"]) == ("Energy", "keV", 0, 0.1)
    rec = load(path)
    e = rec.energy_spectrum
    assert e is not None and int(e.counts.sum()) + e.underflow + e.overflow + e.uncalibrated == rec.hits > 0


def test_several_pages_watch_one_acquisition(viewer):
    async def main():
        async with aiohttp.ClientSession() as session:
            sockets = [await session.ws_connect(viewer.url + "ws") for _ in range(3)]
            pages = [Page(ws) for ws in sockets]
            await pages[0].request(cmd="start", mode=MODE)
            for page in pages:
                await page.until(lambda h: h["running"] and h["events"] > 0)
            await pages[1].request(cmd="stop")
            states = [await page.next("state") for page in pages]
            for ws in sockets:
                await ws.close()
            return states

    states = asyncio.run(main())
    assert [s["running"] for s in states] == [False, False, False]


# ---- vrexsdk view ----------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("argv, message", [
    (["view", "--port", "70000"], "must be from 0 to 65535"),
    (["view", "--rate", "500"], "at most 100 updates per second"),
    (["view", "--save-dir", "/nonexistent/dir"], "not a directory"),
    (["view", "--cluster-radius", "2"], "--cluster-radius needs --clusters"),
])
def test_view_usage_errors(argv, message, capsys):
    from vrexsdk.cli import main

    assert main(argv) == 2
    assert message in capsys.readouterr().err


def test_view_serves_the_page_until_ctrl_c(tmp_path):
    import signal
    import subprocess
    import sys
    import urllib.request

    # Python's own SIGINT handler, also when the suite runs as a background job (SIGINT ignored, and inherited).
    source = ("import signal, sys\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
              "from vrexsdk.cli import main\nsys.exit(main(['view', '--port', '0']))\n")
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(vrexsdk.__file__)))  # also when staged
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")])))
    proc = subprocess.Popen([sys.executable, "-c", source], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, cwd=tmp_path, env=env)
    try:
        line = proc.stdout.readline()
        url = line.split(" at ", 1)[1].split()[0]
        assert url.startswith("http://127.0.0.1:")
        with urllib.request.urlopen(url, timeout=60) as page:
            assert b"vrexsdk live view" in page.read()
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=60) == 0
    finally:
        proc.kill()
        proc.wait()


# ---- the page in a real browser -------------------------------------------------------------------------------------

CHROMEDRIVER = shutil.which("chromedriver")
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.fixture
def browser():
    if not (CHROMEDRIVER and CHROMIUM) and not os.environ.get("CI"):
        pytest.skip("needs Debian's chromium and chromium-driver (.ci/run installs them)")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,900"):
        options.add_argument(argument)
    # The browser is not the package: a sanitizer run's preloaded runtime stays out of it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
    yield driver
    driver.quit()


# The drawn image's pixels: how many distinct colours, and a digest that changes when any pixel does.
PROBE = """
const c = document.getElementById(arguments[0]), d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
const colours = new Set(); let digest = 0;
for (let i = 0; i < d.length; i += 4) { const v = d[i] << 16 | d[i + 1] << 8 | d[i + 2]; colours.add(v);
  digest = (digest * 31 + v) >>> 0; }
return [colours.size, digest, window.vrexView.drawn];
"""


def test_the_page_shows_a_live_acquisition(viewer, browser, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait

    wait = WebDriverWait(browser, 60).until
    browser.get(viewer.url)
    wait(lambda b: len(Select(b.find_element(By.ID, "mode")).options) > 0)
    Select(browser.find_element(By.ID, "mode")).select_by_value(MODE)
    browser.find_element(By.ID, "start").click()
    wait(lambda b: b.execute_script("const h = vrexView.header; return h && h.running && h.events > 0"))

    wait(lambda b: b.execute_script(PROBE, "image")[0] > 20)  # viridis levels, not one flat colour
    first = browser.execute_script(PROBE, "image")
    wait(lambda b: b.execute_script(PROBE, "image")[1] != first[1])  # a later update drew another image
    wait(lambda b: b.execute_script("return vrexView.spectrum.data.reduce((a, v) => a + v, 0)") > 0)
    assert browser.execute_script(PROBE, "spectrum")[0] > 2  # bars drawn on the white plot
    assert not browser.find_element(By.ID, "clusters").is_displayed()  # not asked for
    # Kept as a test artifact: in the test's temporary directory, and where CI collects them (VREX_ARTIFACTS).
    screenshot = pathlib.Path(os.environ.get("VREX_ARTIFACTS") or tmp_path) / "live-view.png"
    screenshot.parent.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(screenshot))
    print(f"live view screenshot: {screenshot}")

    browser.find_element(By.ID, "stop").click()
    wait(lambda b: not b.execute_script("return vrexView.state.running"))
    wait(lambda b: b.execute_script("return !vrexView.header.running"))
    events, updates = browser.execute_script("return [vrexView.header.events, vrexView.updates]")
    wait(lambda b: b.execute_script("return vrexView.updates") > updates + 5)
    assert browser.execute_script("return vrexView.header.events") == events  # stopped: nothing more arrives

    browser.execute_script("vrexView.send({cmd: 'start', mode: '0:no-such-mode'})")
    wait(lambda b: "unknown mode" in b.find_element(By.ID, "error").text)
    assert not viewer._session.running


def test_the_page_shows_clusters(long_run, browser, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    wait = WebDriverWait(browser, 60).until
    with Viewer(long_run, port=0, save_dir=str(tmp_path), clusters=True) as viewer:
        browser.get(viewer.url)
        wait(lambda b: b.execute_script("return vrexView.state !== null"))
        browser.execute_script("vrexView.send({cmd: 'start', mode: arguments[0]})", MODE)
        wait(lambda b: b.execute_script("const h = vrexView.header; return h && h.running && h.clusters > 0"))
        shown = browser.find_element(By.ID, "clusters")
        wait(lambda b: shown.is_displayed() and shown.text not in ("", "–"))
        rate = browser.find_element(By.ID, "clustersPerSecond")
        wait(lambda b: rate.text not in ("", "–", "0"))
        assert browser.execute_script(PROBE, "cluster-sizes")[0] > 2  # the sizes' bars
        browser.execute_script("vrexView.send({cmd: 'save', format: 'npz'})")
        notice = browser.find_element(By.ID, "notice")
        wait(lambda b: notice.text.startswith("saved "))
        rec = load(notice.text[len("saved "):])
    assert rec.clusters > 0 and rec.cluster_size_histogram.total == rec.clusters
