from typing import List, NamedTuple

from vrexsdk.acquisition import __Acquisition
from vrexsdk.axi import __Axi
from vrexsdk.bias import __Bias
from vrexsdk.board import __Board
from vrexsdk.chip import __Chip
from vrexsdk.configuration import __Configuration
from vrexsdk.cooling import __Cooling
from vrexsdk.lockstep import __Lockstep
from vrexsdk.monitor import __Monitor
from vrexsdk.revisions import __Revisions
from vrexsdk.traits import __Traits
from vrexsdk.trigger import __Trigger
from vrexsdk.vault import __Vault

class DeviceDescriptor(NamedTuple):
    connectionString: str
    product: str
    manufacturer: str
    serialNumber: str
    usbVid: int
    usbPid: int
    usbInstancePath: str
    isHighSpeed: bool
    isSuperSpeed: bool

class SdkVersion(NamedTuple):
    major: int
    minor: int
    patch: int

def getCompileTimeVersion() -> SdkVersion: ...
def getRuntimeVersion() -> SdkVersion: ...

class Device:
    bias: __Bias | None
    board: __Board | None
    chip: __Chip | None
    config: __Configuration | None
    monitor: __Monitor | None
    trigger: __Trigger | None
    lockstep: __Lockstep | None
    cooling: __Cooling | None
    acq: __Acquisition | None
    revisions: __Revisions | None
    props: __Traits | None
    axi: __Axi | None
    vault: __Vault | None
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def open(self, locator: str) -> None: ...
    def close(self) -> None: ...
    def isOpened(self) -> bool: ...
    def enumerate(self) -> List[DeviceDescriptor]: ...
    def finalize(self) -> None: ...
