"""Mask a region of pixels, keep the mask in a .npy file, send it back, and see that masked pixels deliver nothing.

Usage: python mask_roundtrip.py [directory]   (where mask.npy is kept; by default a temporary one)
"""
from __future__ import annotations

import pathlib
import sys
import tempfile
from typing import TYPE_CHECKING

import numpy as np

from vrexsdk import vrex

if TYPE_CHECKING:
    from vrexsdk.types import HitsArray, Metadata

device = vrex.Device()
device.open(device.enumerate()[0].connectionString)
config = device.config

mask = config.getMask()  # uint8, shape (width, height): element [x, y] is pixel (x, y); non-zero masks it
print("mask size:", config.getMaskSize(), "masked now:", np.count_nonzero(mask))
mask[:, :128] = 1  # mask the lower half of the chip: rows y = 0..127

with tempfile.TemporaryDirectory() as scratch:
    path = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else scratch) / "mask.npy"
    np.save(path, mask)
    config.setMask(np.load(path))
assert np.array_equal(config.getMask(), mask), "the device holds another mask"
print(f"saved to {path}, loaded back and set: {np.count_nonzero(mask)} pixels masked")

# Acquire and count the hits that land on masked pixels. A hit's address is y * 256 + x.
device.chip.selectMode("0:tpx3-dd-toa-tot")
hits = on_masked = 0


def on_hits(records: HitsArray, metadata: Metadata) -> None:
    global hits, on_masked
    if len(records):
        address = records["address"]
        hits += len(address)
        on_masked += int(np.count_nonzero(mask[address % 256, address // 256]))


device.acq.setDataCallback("ch0", on_hits)
device.acq.begin("ch0")
device.acq.end("ch0")
print(f"{hits} hits, {on_masked} of them on masked pixels")
device.close()
device.finalize()
