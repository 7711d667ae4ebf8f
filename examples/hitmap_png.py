"""A data-driven Timepix3 acquisition into a hit map, drawn as a PNG with a colour scale.

    python examples/hitmap_png.py [hitmap.png]

Without an argument the image goes to a temporary folder. A block of pixels is masked first, so the picture
shows the mask as a dark rectangle. Writing the PNG needs Pillow (pip install "vrexsdk[cli]").
"""
import os
import sys
import tempfile

from vrexsdk import vrex
from vrexsdk.record import record

path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.mkdtemp(prefix="vrexsdk-"), "hitmap.png")

device = vrex.Device()
device.open(device.enumerate()[0].connectionString)
try:
    mask = device.config.getMask()          # indexed [x, y]; non-zero masks the pixel
    mask[96:160, 96:160] = 1
    device.config.setMask(mask)

    rec = record(device, "0:tpx3-dd-toa-tot", blocks=4)
    print(rec.summary())
    hit_map, tot = rec.hit_map, rec.tot_histogram
    assert hit_map is not None and tot is not None  # a hit mode fills them (None in the other kinds)
    print("hits in the masked block:", int(hit_map[96:160, 96:160].sum()))  # indexed [y, x]
    print("most frequent ToT:", int(tot.counts.argmax()))
    try:
        rec.save_png(path)
        print("hit map written to", path)
    except ModuleNotFoundError as e:        # Pillow is optional
        print("PNG skipped:", e)
finally:
    device.close()
    device.finalize()
