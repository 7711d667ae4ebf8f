"""Leaves the interpreter in every way a script can while two channels deliver at full rate, many times over,
and counts the runs that did not end as expected (exit code, no fatal error, no signal, within the bound).

    python scripts/shutdown_matrix.py [--runs N] [--slow-runs M] [--jobs J] [--leave WAY ...]

Fast cases (the callable returns at once or raises) run N times each; slow ones (the callable sleeps past the
exit's wait, or blocks for good) M times each, since each takes up to the exit's bound of about ten seconds.
J runs go on at once (default 1); the slow ones mostly wait, so many jobs suit them, while the fast ones load
the processor, which lengthens every exit measured.
"""
import argparse
import concurrent.futures
import itertools
import os
import signal
import subprocess
import sys
import tempfile
import time

SCRIPT = r"""
import os, signal, sys, threading, time
# Python's own Ctrl-C handler, as in a script started from a terminal, even when this matrix runs as a
# background job (which starts with SIGINT ignored, and its children with it).
signal.signal(signal.SIGINT, signal.default_int_handler)
from vrexsdk import simulator, vrex
callable_kind, leave, cleanup = sys.argv[1:4]
simulator.configure({"devices": [{"acquisition": {"block_count": 10**9, "hits": 64}}]})
device = vrex.Device()
device.open(device.enumerate()[0].connectionString)
device.chip.selectMode("0:tpx3-dd-toa-tot")
started = threading.Event()
def on_block(*args):
    started.set()
    if callable_kind == "raise":
        raise ValueError("from the callable")
    if callable_kind == "sleep":
        time.sleep(12)
    if callable_kind == "block":
        threading.Event().wait()
if leave == "term-handler":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(5))
for channel in device.acq.getChannelIds():
    device.acq.setDataCallback(channel, on_block)
    device.acq.begin(channel)
if cleanup == "end-thread":  # a daemon thread blocked in end() at exit
    threading.Thread(target=device.acq.end, args=(device.acq.getChannelIds()[0],), daemon=True).start()
started.wait(10)
if cleanup in ("close", "close-finalize"):
    device.close()
if cleanup == "close-finalize":
    device.finalize()
if cleanup == "drop":
    del device
print("ready", flush=True)
if leave == "exit":
    sys.exit(3)
if leave == "raise":
    raise RuntimeError("leaving")
if leave in ("sigint", "sigterm", "term-handler"):
    # The signal comes from outside. Short sleeps in a loop: a signal that lands between the print above and the
    # start of a sleep is handled by Python only once that sleep returns, so one long sleep would hide it.
    for _ in range(600):
        time.sleep(0.05)
"""

# An unhandled KeyboardInterrupt ends CPython by SIGINT itself (so the parent sees the signal), as for any script.
EXPECTED = {"end": 0, "exit": 3, "raise": 1, "sigint": -signal.SIGINT, "sigterm": -signal.SIGTERM, "term-handler": 5}
SIGNALS = {"sigint": signal.SIGINT, "sigterm": signal.SIGTERM, "term-handler": signal.SIGTERM}
BOUND_S = 30


def run_once(path, kind, leave, cleanup):
    # stderr goes to a file: a callable that raises on every block writes tracebacks faster than a pipe is read.
    err_file = tempfile.TemporaryFile(mode="w+")
    proc = subprocess.Popen([sys.executable, path, kind, leave, cleanup], stdout=subprocess.PIPE,
                            stderr=err_file, text=True)
    start = time.monotonic()
    if leave in SIGNALS:
        line = proc.stdout.readline()
        if line.strip() == "ready":
            proc.send_signal(SIGNALS[leave])
    try:
        proc.communicate(timeout=BOUND_S)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        return "hang", time.monotonic() - start
    err_file.seek(0)
    err = err_file.read()
    err_file.close()
    if "Fatal Python error" in err:
        return "fatal", time.monotonic() - start
    if proc.returncode != EXPECTED[leave]:
        return f"exit {proc.returncode}", time.monotonic() - start
    return "ok", time.monotonic() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--slow-runs", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=1, help="runs at once (default 1)")
    parser.add_argument("--leave", nargs="*", choices=list(EXPECTED), help="only these ways of leaving")
    options = parser.parse_args()
    if options.jobs < 1:
        parser.error("--jobs must be at least 1")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "leave.py")
        with open(path, "w") as f:
            f.write(SCRIPT)
        failures = total = 0
        slowest = 0.0
        for kind, leave, cleanup in itertools.product(
                ["quick", "raise", "sleep", "block"], options.leave or list(EXPECTED),
                ["none", "close", "close-finalize", "drop", "end-thread"]):
            if kind in ("sleep", "block") and cleanup in ("close", "close-finalize", "drop"):
                continue  # closing (or dropping the Device, which closes it) waits for the callable: not an exit case
            runs = options.slow_runs if kind in ("sleep", "block") else options.runs
            outcomes = {}
            with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
                for outcome, seconds in pool.map(lambda _: run_once(path, kind, leave, cleanup), range(runs)):
                    slowest = max(slowest, seconds)
                    outcomes[outcome] = outcomes.get(outcome, 0) + 1
            if not runs:
                continue
            total += runs
            bad = runs - outcomes.get("ok", 0)
            failures += bad
            print(f"{kind:<6} {leave:<13} {cleanup:<15} {runs:>4} runs  "
                  + ", ".join(f"{k}: {v}" for k, v in sorted(outcomes.items())), flush=True)
        print(f"# {total} runs, {failures} not as expected; slowest exit {slowest:.1f} s")
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
