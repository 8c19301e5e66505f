// Damage-potential CAV: a decision on precomputed CAVstd and spectral values.
#include "kernels/constants.hpp"
#include "tavo/measures/measures.hpp"
#include "tavo/state.hpp"

namespace tavo::measures {

PyObject *get_CAVdp_cy(double CAVstd_gm, double max_CAVstd, double max_PSA, double max_PSV,
                       std::int32_t PSV_check) noexcept {
  using constants::PSA_cutoff, constants::CAVstd_cutoff, constants::PSV_cutoff;
  // Strict comparisons: a NaN operand fails its test.
  const bool exceeds = max_PSA > PSA_cutoff && max_CAVstd > CAVstd_cutoff &&
                       (PSV_check == 0 || max_PSV > PSV_cutoff);
  if (!exceeds) return Py_NewRef(state.int_0);
  return PyFloat_FromDouble(CAVstd_gm);
}

} // namespace tavo::measures
