"""Select a Timepix3 data-driven mode, receive a few blocks of hits and histogram their pixel addresses."""
import threading

import numpy as np

from vrexsdk import vrex

device = vrex.Device()
device.open(device.enumerate()[0].connectionString)

chip = device.chip
print("chips:", chip.getChipIds())
print("modes:", chip.getModeIds())
chip.selectMode("0:tpx3-dd-toa-tot")

image = np.zeros(256 * 256, dtype=np.uint64)
lock = threading.Lock()


def on_hits(records, metadata):
    # `records` views the SDK's buffer during this call only: use it or copy it before returning.
    with lock:
        np.add.at(image, records["address"], 1)
    print(f"{len(records)} hits, shutter at {metadata['shutterStart']}, "
          f"TDC counts {[len(t) for t in metadata['tdcs']]}")


channel = device.acq.getChannelIds()[0]
device.acq.setDataCallback(channel, on_hits)
device.acq.begin(channel)
device.acq.end(channel)  # returns once every block has been delivered
print("total hits:", int(image.sum()))

device.close()
device.finalize()
