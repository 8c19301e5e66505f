"""Ground-motion intensity measures from acceleration records."""
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
    "get_PGA_cy",
    "get_PGV_cy",
    "get_Ia_cy",
    "get_Ia_times_cy",
    "get_CAV_cy",
    "get_CAVn_cy",
    "get_CAVstd_cy",
    "get_CAVdp_cy",
]
