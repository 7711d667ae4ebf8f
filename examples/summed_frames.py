"""Frames from the Timepix/Medipix device, summed into one image.

    python examples/summed_frames.py [summed.png]

The simulated model attaches a Timepix3 device and a Timepix/Medipix one: this opens the first device that
offers the frame mode "0:tpx-medipix". Without an argument the PNG goes to a temporary folder; without Pillow
it is skipped.
"""
import os
import sys
import tempfile

from vrexsdk import vrex
from vrexsdk.record import record

FRAMES = "0:tpx-medipix"
path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.mkdtemp(prefix="vrexsdk-"), "summed.png")

device = vrex.Device()
for descriptor in device.enumerate():
    device.open(descriptor.connectionString)
    if FRAMES in device.chip.getModeIds():
        print("using", descriptor.product, descriptor.connectionString)
        break
    device.close()
else:
    sys.exit("no attached device offers " + FRAMES)

try:
    rec = record(device, FRAMES, blocks=4)
    image = rec.summed_frame                # 256 x 256, uint64, indexed [y, x]
    assert image is not None                # a frame mode fills it (None in the other kinds)
    print(f"{rec.frames} frames summed: mean {image.mean():.1f} counts per pixel, max {int(image.max())}")
    try:
        rec.save_png(path, log=False)
        print("summed image written to", path)
    except ModuleNotFoundError as e:
        print("PNG skipped:", e)
finally:
    device.close()
    device.finalize()
