# Energy-calibration kernels over arrays; vrexsdk.calibration is the module to use.
from typing import Any, Tuple

import numpy as np
import numpy.typing as npt

def _fold(
    a: npt.NDArray[np.float32], b: npt.NDArray[np.float32], c: npt.NDArray[np.float32], t: npt.NDArray[np.float32]
) -> npt.NDArray[np.float32]: ...
def _energies(
    table: npt.NDArray[np.float32], addresses: npt.NDArray[np.uint32], tot: npt.NDArray[Any]
) -> npt.NDArray[np.float32]: ...
def _add_spectrum(
    table: npt.NDArray[np.float32],
    addresses: npt.NDArray[np.uint32],
    tot: npt.NDArray[Any],
    counts: npt.NDArray[np.uint64],
    low: float,
    high: float,
) -> Tuple[int, int, int]: ...
def _correct_time_walk(
    walk: npt.NDArray[np.float32],
    addresses: npt.NDArray[np.uint32],
    toa: npt.NDArray[np.uint64],
    energies: npt.NDArray[np.float32],
    tick_ns: float,
) -> npt.NDArray[np.float64]: ...
