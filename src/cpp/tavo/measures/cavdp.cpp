// Damage-potential CAV: a decision on precomputed CAVstd and spectral values.
#include "tavo/measures/measures.hpp"
#include "runtime/traceback.hpp"
#include "tavo/state.hpp"

namespace tavo::measures {
namespace {
// Cut-offs as the double products with g = 9.81, not the decimal values:
// 0.2 g is 1.9620000000000002, one ulp above the double nearest to 1.962.
constexpr double PSA_cutoff = 0.2 * 9.81;
constexpr double CAVstd_cutoff = 0.16 * 9.81;
constexpr double PSV_cutoff = 0.1534;
} // namespace

PyObject *get_CAVdp_cy(double CAVstd_gm, double max_CAVstd, double max_PSA, double max_PSV,
                       std::int32_t PSV_check) noexcept {
  // Strict comparisons: a NaN operand fails its test.
  const bool exceeds = max_PSA > PSA_cutoff && max_CAVstd > CAVstd_cutoff &&
                       (PSV_check == 0 || max_PSV > PSV_cutoff);
  if (!exceeds) return Py_NewRef(state.int_0);
  PyObject *result = PyFloat_FromDouble(CAVstd_gm);
  return result ? result : TAVO_FAIL("tavotools.tavo.get_CAVdp_cy");
}

} // namespace tavo::measures
