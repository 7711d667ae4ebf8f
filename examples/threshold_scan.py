"""Threshold scan on a Timepix3: count the hits at each setting of the fine threshold DAC and show the S-curve.

Usage: python threshold_scan.py [scurve.png]   (a PNG where matplotlib is installed, else a text plot)
"""
from __future__ import annotations

import sys
from typing import TYPE_CHECKING

from vrexsdk import vrex

if TYPE_CHECKING:  # what the callable receives in this mode, for the type checker
    from vrexsdk.types import HitsArray, Metadata

MODE, CHANNEL, DAC = "0:tpx3-dd-toa-tot", "ch0", "Vthreshold_fine"

try:  # Under the simulator, one short block per point keeps the scan quick; a real detector ignores this.
    from vrexsdk import simulator

    model = simulator.model()
    model["devices"][0]["acquisition"].update(block_count=1, hits=1000)
    simulator.configure(model)
except ImportError:
    pass

device = vrex.Device()
device.open(device.enumerate()[0].connectionString)
chip = device.chip
chip.selectMode(MODE)
hits = 0


def on_hits(records: HitsArray, metadata: Metadata) -> None:
    global hits
    hits += len(records)  # keep a count, not the array: it views SDK memory that is reused after this call


device.acq.setDataCallback(CHANNEL, on_hits)
limits, start = chip.getDacLimits(DAC), chip.getDacValue(DAC)
values, counts = list(range(limits.min, limits.max + 1, 8)), []
for value in values:
    chip.setDacValue(DAC, value)
    hits = 0
    device.acq.begin(CHANNEL)
    device.acq.end(CHANNEL)  # returns once every block of this point has been delivered
    counts.append(hits)
chip.setDacValue(DAC, start)  # leave the threshold where it was
device.close()
device.finalize()

# The noise edge: the first setting whose count is below half of the lowest setting's.
edge = next((v for v, c in zip(values, counts) if c < counts[0] / 2), None)  # None: no edge in range
print(f"{DAC} {values[0]}..{values[-1]}: {counts[0]} hits down to {counts[-1]}, noise edge at {edge}")


def save_plot(path: str) -> bool:
    try:
        import matplotlib.pyplot as plt  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        return False
    plt.semilogy(values, counts, ".-")
    plt.xlabel(DAC)
    plt.ylabel("hits per point")
    plt.savefig(path)
    return True


if len(sys.argv) > 1 and save_plot(sys.argv[1]):
    print("S-curve saved to", sys.argv[1])
else:  # no path given or no matplotlib: a text plot
    for value, count in zip(values, counts):
        print(f"{value:4d} {count:7d} {'#' * round(60 * count / counts[0])}")
