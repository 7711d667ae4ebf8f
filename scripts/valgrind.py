"""Runs the test suite under valgrind's memcheck and reports the errors that touch the package.

    python scripts/valgrind.py [pytest arguments ...]

Python's own allocator is turned off (PYTHONMALLOC=malloc) so that memcheck sees every allocation, and OpenBLAS
is kept to one thread. Processes the tests start themselves run without valgrind. memcheck also reports
errors that are not the package's: the dynamic loader's string reads while it maps libraries, and values CPython
reads before writing them (a build without valgrind support). So every error is classified by its stack: it is
the package's when one of its first frames lies in a vrexsdk module or in the simulated libVrexSdk. The script
prints both counts and exits with 1 when the package has any (the full reports are kept in the log directory),
else with pytest's status.

The leak checks run 200 calls per check here (VREX_LEAK_CALLS, unless set). Pass pytest arguments to run a part
of the suite.
"""
import glob
import os
import re
import subprocess
import sys
import tempfile
from collections import Counter

OURS = re.compile(r"(/vrexsdk/|libVrexSdk|/sdk/src/|/src/vrexsdk/)")
FRAMES_CHECKED = 6


def errors(log_text):
    """Each error record of a memcheck log: its lines, without the pid prefix."""
    record = []
    for line in log_text.splitlines():
        body = re.sub(r"^==\d+== ?", "", line)
        if not body.strip():
            if record:
                yield record
            record = []
        else:
            record.append(body)
    if record:
        yield record


def is_error(record):
    return bool(record) and re.match(r"(Invalid|Conditional jump|Use of uninitialised|Syscall param|Mismatched|"
                                     r"Source and destination overlap|Argument .* of function)", record[0])


def ours(record):
    frames = [line for line in record[1:] if re.match(r"\s+(at|by) 0x", line)][:FRAMES_CHECKED]
    return any(OURS.search(frame) for frame in frames)


def main():
    python = os.path.realpath(sys.executable)  # the interpreter itself: a launcher script would be traced instead
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    logs = tempfile.mkdtemp(prefix="vrex-valgrind-")
    env = dict(os.environ, PYTHONMALLOC="malloc", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    # The leak checks repeat each call thousands of times to see a slow growth, which memcheck does not need
    # (it sees a bad access the first time) and which takes it most of an hour; a few hundred keep every path.
    env.setdefault("VREX_LEAK_CALLS", "200")
    command = ["valgrind", "--tool=memcheck", "--leak-check=no", "--num-callers=30",
               f"--log-file={os.path.join(logs, 'memcheck.%p.log')}",
               python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *sys.argv[1:]]
    status = subprocess.call(command, cwd=root, env=env)
    theirs = Counter()
    mine = []
    for path in sorted(glob.glob(os.path.join(logs, "*.log"))):
        with open(path, errors="replace") as f:
            for record in errors(f.read()):
                if not is_error(record):
                    continue
                if ours(record):
                    mine.append("\n".join(record))
                else:
                    theirs[record[0]] += 1
    print(f"# valgrind memcheck over the suite (pytest status {status}); logs in {logs}")
    print(f"# error contexts (distinct stacks) with a frame of the package among their first {FRAMES_CHECKED}: {len(mine)}")
    print(f"# error contexts elsewhere (the loader, the interpreter): {sum(theirs.values())}")
    for kind, n in theirs.most_common():
        print(f"#   {n:>6}  {kind}")
    for record in mine[:20]:
        print(record, end="\n\n")
    return 1 if mine else status


if __name__ == "__main__":
    sys.exit(main())
