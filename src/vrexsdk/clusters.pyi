# Hits to particles: clusters of neighbouring hits close in time.
from typing import Any, Literal, Optional, Tuple, Union, overload

import numpy as np
import numpy.typing as npt
from typing_extensions import Self, final

CLUSTER_DTYPE: np.dtype[np.void]
HIT_DTYPE: np.dtype[np.void]
TICK_NS: float
DEFAULT_WINDOW_NS: float
DEFAULT_JITTER_NS: float

_Records = npt.NDArray[Any]

@overload
def cluster(
    hits: _Records,
    window_ns: Optional[float] = None,
    window_ticks: Optional[int] = None,
    radius: Optional[int] = None,
    width: Optional[int] = None,
    height: Optional[int] = None,
    labels: Literal[False, None] = None,
) -> npt.NDArray[np.void]: ...
@overload
def cluster(
    hits: _Records,
    window_ns: Optional[float] = None,
    window_ticks: Optional[int] = None,
    radius: Optional[int] = None,
    width: Optional[int] = None,
    height: Optional[int] = None,
    *,
    labels: Literal[True],
) -> Tuple[npt.NDArray[np.void], npt.NDArray[np.int64]]: ...
@overload
def cluster(
    hits: _Records,
    window_ns: Optional[float] = None,
    window_ticks: Optional[int] = None,
    radius: Optional[int] = None,
    width: Optional[int] = None,
    height: Optional[int] = None,
    labels: Optional[bool] = None,
) -> Union[npt.NDArray[np.void], Tuple[npt.NDArray[np.void], npt.NDArray[np.int64]]]: ...
@final
class Clusterer:
    def __new__(
        cls,
        window_ns: Optional[float] = None,
        window_ticks: Optional[int] = None,
        jitter_ns: Optional[float] = None,
        jitter_ticks: Optional[int] = None,
        radius: Optional[int] = None,
        width: Optional[int] = None,
        height: Optional[int] = None,
    ) -> Self: ...
    def push(self, hits: _Records) -> npt.NDArray[np.void]: ...
    def flush(self) -> npt.NDArray[np.void]: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, *args: Any, **kwargs: Any) -> Any: ...
    @property
    def hits(self) -> int: ...
    @property
    def late(self) -> int: ...
    @property
    def emitted(self) -> int: ...
    @property
    def pending(self) -> int: ...
    @property
    def open(self) -> int: ...
    @property
    def window_ticks(self) -> int: ...
    @property
    def jitter_ticks(self) -> int: ...
    @property
    def radius(self) -> int: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...

@final
class _Labelled:
    def __new__(
        cls,
        window_ns: Optional[float] = None,
        window_ticks: Optional[int] = None,
        jitter_ns: Optional[float] = None,
        jitter_ticks: Optional[int] = None,
        radius: Optional[int] = None,
        width: Optional[int] = None,
        height: Optional[int] = None,
    ) -> Self: ...
    def push(
        self, hits: _Records, values: Optional[npt.ArrayLike] = None
    ) -> Tuple[npt.NDArray[np.void], npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
    def flush(self) -> Tuple[npt.NDArray[np.void], npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, *args: Any, **kwargs: Any) -> Any: ...
    @property
    def hits(self) -> int: ...
    @property
    def late(self) -> int: ...
    @property
    def outside(self) -> int: ...
    @property
    def emitted(self) -> int: ...
    @property
    def unlabelled(self) -> int: ...
