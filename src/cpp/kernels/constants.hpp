// The physical constants and cut-offs of the compiled modules, stated once.
// src/tavotools/constants.py holds the same values for the Python package;
// tavotools._spectra exports these and a test checks that the two agree.
#pragma once

#include <cstdint>

namespace tavo::constants {

/// Gravity in m/s²: the divisor of the Arias intensity and the unit of every g-based cut-off.
inline constexpr double gravity = 9.81;
/// π as the double nearest to it.
inline constexpr double pi = 3.141592653589793;
/// 2π; doubling is exact, so this is also the double nearest to 2π.
inline constexpr double two_pi = 2.0 * pi;

// Cut-offs stated in g are the double products with gravity, not the decimal
// values: 0.2 g is 1.9620000000000002, one ulp above the double nearest to 1.962.

/// 0.025 g: a one-second window whose peak stays below it is silenced (CAVstd).
inline constexpr double CAVstd_quiet = 0.025 * gravity;
/// 0.2 g: the spectral-acceleration cut-off of the damage-potential CAV.
inline constexpr double PSA_cutoff = 0.2 * gravity;
/// 0.16 g·s in m/s: the standardized-CAV cut-off of the damage-potential CAV.
inline constexpr double CAVstd_cutoff = 0.16 * gravity;
/// 15.34 cm/s in m/s: the spectral-velocity cut-off of the damage-potential CAV.
inline constexpr double PSV_cutoff = 0.1534;

/// The most response samples per time step of the spectra: dt / 10000 samples
/// every oscillator finely, and the weight table stays small.
inline constexpr std::int64_t max_substeps = 10000;

}  // namespace tavo::constants
