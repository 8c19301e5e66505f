"""Ground-motion intensity measures from acceleration records."""

#: The package's version; pyproject.toml reads it from here.
__version__ = "0.1.0"

from .tavo import (
    get_CAV_cy,
    get_CAVdp_cy,
    get_CAVn_cy,
    get_CAVstd_cy,
    get_Ia_cy,
    get_Ia_times_cy,
    get_PGA_cy,
    get_PGV_cy,
)

__all__ = [
    "__version__",
    "get_PGA_cy",
    "get_PGV_cy",
    "get_Ia_cy",
    "get_Ia_times_cy",
    "get_CAV_cy",
    "get_CAVn_cy",
    "get_CAVstd_cy",
    "get_CAVdp_cy",
]
