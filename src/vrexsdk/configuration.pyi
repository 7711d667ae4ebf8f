from typing import NamedTuple, Optional

import numpy as np
import numpy.typing as npt

from vrexsdk.context import _Context

class PixelMaskDimensions(NamedTuple):
    width: int
    height: int

class __Configuration:
    def __init__(self, ctx: Optional[_Context]) -> None: ...
    def load(self, configType: str, content: str) -> None: ...
    def getMaskSize(self) -> PixelMaskDimensions: ...
    def getMask(self) -> npt.NDArray[np.uint8]: ...
    def setMask(self, mask: npt.ArrayLike) -> None: ...
