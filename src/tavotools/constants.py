"""The physical constants and cut-offs that the package shares with its
compiled modules. The compiled side states the same values once in
`src/cpp/kernels/constants.hpp`; a test checks that the two agree.

Cut-offs stated in g are the double products with `G`, not the decimal
values: 0.2 * 9.81 is 1.9620000000000002, one ulp above the double
nearest to 1.962, and every threshold test is strict.
"""

#: Gravity in m/s², the value of every g-based threshold and of records in g.
G = 9.81

#: π as the double nearest to it (Arias intensity).
PI = 3.141592653589793

#: 0.025 g in m/s²: a one-second window whose peak stays below it is silenced (CAVstd).
CAVSTD_QUIET = 0.025 * G

#: 0.2 g in m/s²: the spectral-acceleration cut-off of the damage-potential CAV.
PSA_CUTOFF = 0.2 * G
#: 0.16 g·s in m/s: the standardized-CAV cut-off of the damage-potential CAV.
CAVSTD_CUTOFF = 0.16 * G
#: 15.34 cm/s in m/s: the spectral-velocity cut-off of the damage-potential CAV.
PSV_CUTOFF = 0.1534

#: The largest number of response samples per time step of the spectra.
MAX_SUBSTEPS = 10000
