"""vrexsdk: Python binding of the Vrex detector SDK for Timepix, Timepix3 and Medipix hybrid-pixel detectors.

Start from :class:`vrexsdk.vrex.Device`::

    from vrexsdk import vrex

    device = vrex.Device()
    enumerated = device.enumerate()
    device.open(enumerated[0].connectionString)
    ...
    device.close()
    device.finalize()
"""

__version__ = "0.2.1"
