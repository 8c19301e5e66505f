"""A suite of codes to compute ground motion intensity measures (TAVOs) based on ground motion records."""
from types import ModuleType
from typing import Any

import numpy as _np
import numpy.typing as npt
from collections.abc import Buffer

__author__: str
__test__: dict[str, Any]
np: ModuleType
integrate: ModuleType

# Any writable one-dimensional float64 buffer, or None for an empty record.
_Record = npt.NDArray[_np.float64] | Buffer | None
_Real = float | int | _np.floating[Any] | _np.integer[Any]

def get_PGA_cy(accel: _Record) -> float: ...
def get_PGV_cy(accel: _Record, dt: _Real) -> float: ...
def get_Ia_cy(accel: _Record, dt: _Real) -> tuple[float, npt.NDArray[_np.float64]]: ...
def get_Ia_times_cy(accel: _Record, dt: _Real, percentages: _Record) -> npt.NDArray[_np.float64]: ...
def get_CAV_cy(accel: _Record, dt: _Real) -> float: ...
def get_CAVn_cy(accel: _Record, dt: _Real, threshold: _Real) -> float: ...
def get_CAVstd_cy(accel: _Record, dt: _Real) -> float: ...
def get_CAVdp_cy(
    CAVstd_gm: _Real, max_CAVstd: _Real, max_PSA: _Real, max_PSV: _Real, PSV_check: int = 1
) -> float | int: ...
