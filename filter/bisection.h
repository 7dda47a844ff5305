// The largest whole number in [1, most] that a monotone test accepts, for
// sizes chosen against a memory budget.
#pragma once

#include <cstdint>

namespace voluna {

// `fits(n)` must hold for n = 1 and fail from some n on, if at all; takes
// about log2(most) tests.
template <class Fits>
int64_t largestFitting(int64_t most, const Fits& fits) {
  int64_t lo = 1, hi = most;
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo + 1) / 2;
    if (fits(mid)) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return lo;
}

}  // namespace voluna
