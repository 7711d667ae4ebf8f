from typing import NamedTuple, Optional

import numpy as np
import numpy.typing as npt
from typing_extensions import Self, disjoint_base

from vrexsdk.context import _Context

class PixelMaskDimensions(NamedTuple):
    width: int
    height: int

@disjoint_base
class __Configuration:
    def __new__(cls, ctx: Optional[_Context]) -> Self: ...
    def load(self, configType: str, content: str) -> None: ...
    def getMaskSize(self) -> PixelMaskDimensions: ...
    def getMask(self) -> npt.NDArray[np.uint8]: ...
    # An array of the mask's size (any shape): it is flattened and must then give a buffer of uint8.
    def setMask(self, mask: npt.NDArray[np.uint8]) -> None: ...
