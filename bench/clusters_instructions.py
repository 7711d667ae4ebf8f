"""Instructions and branch mispredictions per hit of vrexsdk.clusters.Clusterer, against NumPy's stable argsort of
the same ToAs counted in the same run.

bench/clusters.py times the clusterer; on a shared machine its rates move by tens of percent from day to day (the
copy of the same bytes with them). This counts instead, with valgrind's callgrind and its branch predictor model,
which give the same figures for the same binary and inputs whatever else the machine is doing, so two builds (or
two commits) can be compared on any machine. Mispredictions are the model's, not a CPU's: compare them between
builds, not with hardware counters. Valgrind counts each step of a string instruction (the rep movsb of a large
memcpy) as one instruction, so copies weigh more here than they cost.

A child process pushes N hits (64k-hit blocks) into a Clusterer, and again N/4, counting only what runs inside
Clusterer.push; (I(N) - I(N/4)) / (3N/4) is the count per hit, the set-up and what the stream still holds at the
end left out. The floor is NumPy's stable argsort of the same ToAs (np.argsort(toa, kind="stable")), counted the
same way: the ToA order alone, which a clusterer of data-driven read-out has to find among its work. Data: the
mixed particles of bench/clusters.py (80 Mhits/s, out of order by up to 2 us) and the simulator's particles.

    python bench/clusters_instructions.py [--hits N]

Needs valgrind on PATH and vrexsdk built with its simulated device library (installed or on PYTHONPATH).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))

# The hits are made once, by this process (under valgrind their making would take most of the time); the short
# run takes the beginning of the long run's.
CHILD = r"""
import sys
import numpy as np
path, what, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
hits = np.load(path)[:n]
if what == "clusterer":
    from vrexsdk import clusters
    stream = clusters.Clusterer()
    for i in range(0, len(hits), 65536):
        stream.push(hits[i:i + 65536])
else:
    toa = np.ascontiguousarray(hits["toa"])
    for i in range(0, len(toa), 65536):
        np.argsort(toa[i:i + 65536], kind="stable")
"""

# Only what runs inside these is counted.
COLLECT = {"clusterer": "*clusterer_push*", "argsort": "array_argsort*"}


def count(python, path, what, n):
    """(instructions, mispredicted conditional and indirect branches) of one child run on the hits in `path`."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    with tempfile.TemporaryDirectory() as tmp:
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", "--branch-sim=yes", f"--callgrind-out-file={os.path.join(tmp, 'out')}",
             f"--toggle-collect={COLLECT[what]}", python, "-c", CHILD, path, what, str(n)],
            capture_output=True, text=True, env=env)
    # Events: Ir Bc Bcm Bi Bim.
    found = re.search(r"Collected : (\d+) \d+ (\d+) \d+ (\d+)", result.stderr)
    if result.returncode != 0 or found is None or int(found.group(1)) == 0:
        raise SystemExit(f"{path} ({what}, {n} hits) failed under valgrind:\n{result.stderr[-3000:]}")
    return int(found.group(1)), int(found.group(2)) + int(found.group(3))


def made(data, n):
    """n hits of the mixed particles of bench/clusters.py ("mix") or of the simulator's ("sim")."""
    if data == "mix":
        sys.path.insert(0, HERE)
        import clusters as bench

        return bench.generate(n)[0][:n]
    from vrexsdk import simulator

    mix = {"photon": 1, "electron": 1, "mip": 1, "alpha": 1}
    return simulator.generate_hits(n, seed=2, particles=mix, overlap=True)[0][:n]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--hits", type=int, default=1_000_000, help="hits of the long run (default 1000000)")
    options = parser.parse_args()
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not on PATH")
    long_n, short_n = options.hits, options.hits // 4
    if long_n - short_n < 65536:
        parser.error("--hits must be at least 87382")
    # The interpreter itself, not a launcher script (pyenv's shims are shell scripts valgrind would not follow).
    python = os.path.realpath(sys.executable)
    print(f"# per hit: (I({long_n}) - I({short_n})) / {long_n - short_n}, callgrind --branch-sim=yes, "
          f"{sys.implementation.name} {sys.version.split()[0]}, blocks of 65536")
    head = f"{'data':<12}{'instructions':>14}{'mispredicts':>13}{'argsort':>10}{'x argsort':>11}"
    print(head)
    print("-" * len(head))
    for data, label in (("mix", "mix"), ("sim", "simulator")):
        per = {}
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "hits.npy")
            np.save(path, made(data, long_n))
            for what in ("clusterer", "argsort"):
                (i1, b1), (i0, b0) = (count(python, path, what, n) for n in (long_n, short_n))
                per[what] = ((i1 - i0) / (long_n - short_n), (b1 - b0) / (long_n - short_n))
        ins, miss = per["clusterer"]
        print(f"{label:<12}{ins:>14.1f}{miss:>13.3f}{per['argsort'][0]:>10.1f}{ins / per['argsort'][0]:>11.2f}",
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
