"""Elastic response spectra and RotD peaks: the oscillator and rotation kernels."""
from collections.abc import Buffer

import numpy as np
import numpy.typing as npt

# A one-dimensional float64 array, or any buffer of doubles.
_Doubles = npt.NDArray[np.float64] | Buffer
_Peaks = npt.NDArray[np.float64]

G: float
PI: float
CAVSTD_QUIET: float
PSA_CUTOFF: float
CAVSTD_CUTOFF: float
PSV_CUTOFF: float
MAX_SUBSTEPS: int

def response_peaks(
    accel: _Doubles, dt: float, periods: _Doubles, damping: float = 0.05, substeps: int = 1
) -> tuple[_Peaks, _Peaks, _Peaks]: ...
def recurrence_coefficients(
    dt: float, period: float, damping: float = 0.05
) -> tuple[tuple[float, float, float, float], tuple[float, float], tuple[float, float]]: ...
def rotated_peaks(
    accel1: _Doubles,
    accel2: _Doubles,
    dt: float,
    periods: _Doubles,
    damping: float,
    substeps: int,
    cos: _Doubles,
    sin: _Doubles,
) -> _Peaks: ...
