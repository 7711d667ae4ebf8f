"""List the device's non-volatile memories, show one's layout, and program and read back a few bytes.

Programming writes the device's flash for good: on a real detector pick an address you own.
"""
from vrexsdk import vrex

device = vrex.Device()
device.open(device.enumerate()[0].connectionString)
vault = device.vault

ids = vault.getIds()
print("memories:", ids)
memory = vault.selectMemory(ids[0])  # a snapshot of the layout, read once
print(f"{memory.id} (part {memory.partNumber}):")
for number, region in enumerate(memory.regions):
    print(f"  region {number}: {len(region.sectors)} sectors of {region.sectorSize} bytes")
    for sector in region.sectors:
        print(f"    0x{sector.startingAddress:08x}..0x{sector.endingAddress:08x}")

# Use the first sector of the last region, and look at what it holds now (erased flash reads as 0xff).
address = memory.regions[-1].sectors[0].startingAddress
print("before:", memory.read(address, 16).hex(" "))

data = bytearray(b"gain map v2")  # program() takes a writable buffer and sends it without a copy
memory.program(address, data)
back = memory.read(address, len(data))
print("after: ", back.hex(" "), back)
assert back == data, "the memory holds other bytes than those programmed"

device.close()
device.finalize()
