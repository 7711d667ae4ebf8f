"""Leaving the interpreter while acquisitions deliver: the expected exit code, no fatal error, no signal."""
import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent("""
    import atexit, os, sys, threading, time
    from vrexsdk import simulator
    # Runs last, after the package's own exit handlers.
    atexit.register(lambda: print("open at exit:", simulator.state()["open"], flush=True))
    from vrexsdk import vrex

    how, leave = sys.argv[1], sys.argv[2]
    simulator.configure({"devices": [{"acquisition": {"block_count": 10**9, "hits": 16}}]})
    device = vrex.Device()
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:tpx3-dd-toa-tot")
    started = threading.Event()

    def on_block(*args):  # module-level: the module's globals (and so the Device) outlive finalization
        started.set()
        if how == "sleep":
            time.sleep(7)
        elif how == "block":
            threading.Event().wait()
        elif how == "compute":
            end = time.monotonic() + 7
            while time.monotonic() < end:
                pass

    channel = device.acq.getChannelIds()[0]
    device.acq.setDataCallback(channel, on_block)
    device.acq.begin(channel)
    started.wait(10)
    if leave == "raise":
        raise RuntimeError("leaving with an exception")
    if leave == "exit":
        sys.exit(3)
""")

CASES = [("quick", "end", 0), ("sleep", "end", 0), ("sleep", "raise", 1), ("block", "exit", 3), ("compute", "end", 0)]


def test_exit_while_a_callable_is_busy_ends_cleanly_and_closes_the_device(tmp_path):
    script = tmp_path / "leave.py"
    script.write_text(SCRIPT)
    # In parallel: each case takes up to the exit's bound (about ten seconds).
    running = [(case, subprocess.Popen([sys.executable, str(script), case[0], case[1]], stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, text=True)) for case in CASES]
    for (how, leave, code), proc in running:
        out, err = proc.communicate(timeout=120)
        assert "Fatal Python error" not in err, (how, leave, err)
        assert proc.returncode == code, (how, leave, proc.returncode, err)
        if how in ("quick", "sleep", "compute"):  # the callable returns in time: the device was closed
            assert "open at exit: False" in out, (how, leave, out, err)
