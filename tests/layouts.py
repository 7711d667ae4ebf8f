"""The record layouts of the data blocks as the tests expect them, written out once (not taken from the package)."""

import numpy as np

TOA_TOT = np.dtype([("address", "<u4"), ("tot", "<u4"), ("toa", "<u8")])
ITOT_EVENT = np.dtype([("address", "<u4"), ("itot", "<u4"), ("event", "<u8")])
BINNED = np.dtype([("address", "<u4"), ("count", "<u4"), ("itot", "<u4")])
DESCRIPTOR = np.dtype([("offset", "<u4"), ("packet_count", "<u4")])
