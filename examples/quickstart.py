"""Find the attached devices, open the first one, show what it is, and close it."""
from vrexsdk import vrex

device = vrex.Device()
enumerated = device.enumerate()
print(f"{len(enumerated)} device(s) attached")
for descriptor in enumerated:
    print(" ", descriptor)

device.open(enumerated[0].connectionString)
print("opened:", device.isOpened())
print("SDK built against", tuple(vrex.getCompileTimeVersion()), "running", tuple(vrex.getRuntimeVersion()))
device.close()
device.finalize()
