"""Numeric blocks of record files, parsed straight from bytes."""
from collections.abc import Buffer, Callable
from typing import TypeVar

import numpy as np
import numpy.typing as npt

_T = TypeVar("_T")

class ParseError(ValueError):
    offset: int
    text: str
    index: int
    reason: str
    kind: str
    found: int

def floats(
    data: Buffer, start: int, count: int = -1, stop: int = -1, delimiters: Buffer | None = None
) -> tuple[npt.NDArray[np.float64], int]: ...
def fixed(
    data: Buffer, start: int, count: int, width: int, per_line: int, integers: bool = False
) -> tuple[npt.NDArray[np.float64], int]: ...
def columns(
    data: Buffer,
    start: int,
    n_columns: int,
    count: int = -1,
    stop: int = -1,
    delimiters: Buffer | None = None,
) -> tuple[npt.NDArray[np.float64], int]: ...
def lone_cr(data: Buffer) -> int: ...
def rounding_to_nearest(func: Callable[[], _T]) -> _T: ...
