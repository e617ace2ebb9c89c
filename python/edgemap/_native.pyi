# Types of the compiled module; the docstrings are in the module itself.
import os
from typing import Literal, Optional, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Buffer = Union[bytes, bytearray, memoryview, npt.NDArray[np.generic]]
_Format = Optional[Literal["auto", "bmp", "png", "tiff"]]
_Bits = Optional[Literal[0, 1, 8, 24]]

OK: int
ERROR_OPEN_SOURCE: int
ERROR_HEADER: int
ERROR_BIT_COUNT: int
ERROR_TOO_LARGE: int
ERROR_NO_MEMORY: int
ERROR_TRUNCATED: int
ERROR_OPEN_TARGET: int
ERROR_WRITE: int
ERROR_ARGUMENT: int
ERROR_UNSUPPORTED: int
ERROR_PIXEL_LIMIT: int
ERROR_CORRUPT: int
DEFAULT_THRESHOLD: float
ERROR_NOT_IMAGE: int
ERROR_TARGET_TOO_LARGE: int

def detect(
    image: npt.ArrayLike,
    threshold: float = 90.0,
    *,
    out: Optional[npt.NDArray[np.uint8]] = None,
    threads: int = 0,
) -> npt.NDArray[np.uint8]: ...
def mask(
    image: npt.ArrayLike,
    threshold: float = 90.0,
    *,
    out: Optional[npt.NDArray[np.bool_]] = None,
    threads: int = 0,
) -> npt.NDArray[np.bool_]: ...
def convert(
    source: _Path,
    target: _Path,
    threshold: float = 90.0,
    *,
    threads: int = 0,
    format: _Format = None,
    bits: _Bits = None,
    max_pixels: Optional[int] = None,
    orient: bool = False,
) -> None: ...
def convert_bytes(
    data: _Buffer,
    threshold: float = 90.0,
    *,
    threads: int = 0,
    format: _Format = None,
    bits: _Bits = None,
    max_pixels: Optional[int] = None,
    orient: bool = False,
) -> bytes: ...
def version() -> str: ...
def strerror(status: int) -> str: ...
