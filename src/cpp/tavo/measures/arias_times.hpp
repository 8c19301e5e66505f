// The Arias times from a cumulative intensity, shared by the fused and by-name
// paths, which differ only in where the time axis comes from.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernels/vector.hpp"
#include "runtime/view.hpp"

namespace tavo::measures {

/// times[i] = time_at(k) for the first k where Ia[k] > percentages[i] * Ia[-1], NaN when
/// no k below n_axis has it (or Ia is empty); for i < min(percentages.n, times.n). Every
/// index stays below the length of the array actually read: a substitute np.zeros in
/// the namespace may have returned other lengths.
template <class TimeAt>
void fill_level_times(kernels::Span Ia, std::int64_t n_axis, const runtime::DoubleView &percentages,
                      const runtime::DoubleView &times, TimeAt time_at) noexcept {
  const std::int64_t n_series = Ia.n < n_axis ? Ia.n : n_axis;
  const std::int64_t n_times = percentages.n < times.n ? percentages.n : times.n;
  const bool sorted = kernels::is_nondecreasing(Ia);
  for (std::int64_t i = 0; i < n_times; ++i) {
    double t = NAN;
    if (Ia.n > 0) {
      const double val = percentages.get(i) * kernels::at(Ia, Ia.n - 1);
      const std::int64_t indx = sorted ? kernels::first_greater_sorted(Ia, val)
                                       : kernels::first_greater(Ia, val);
      if (indx < n_series) t = time_at(indx);
    }
    times.set(i, t);
  }
}

} // namespace tavo::measures
