// Why pruning changes nothing. With the first score not NaN, the choice
// rule picks the first direction in set order that scores at most 2^-23, if
// any, else the last of the smallest scores. A direction whose score exceeds
// the best so far changes nothing when offered (the minimum stays, the
// choice stays, the early stop stays), and neither does a NaN score. So a
// direction may be dropped as soon as its score is known to exceed the best
// so far; the check is in fast_search_scoring-inl.h.
//
// The bound. Let the n partial differences and the N = 2s (or 2s + 1)
// final ones be the floats the accumulators receive. The partial set is the
// backward walk's s differences plus one 0: for the default score the
// forward walk's first difference, v - v, exactly 0 for a finite v; for the
// edge-preserving score the centre's 0. So n = s + 1 either way, the final
// set contains the partial one, and adding that 0 to the sums changes no
// float, so the accumulators after the backward walk hold exactly the float
// sums of the partial set. Both sets contain a 0. Write u = 2^-24,
// g_m = m u / (1 - m u), M for the largest |difference| of a set, var for
// the exact population variance of the final set and D for the exact sum of
// squared deviations of the partial set from its mean.
// 1. A set of m values with range r has variance at least r^2 / (2m) (its
//    largest and smallest value alone contribute that much), and r >= M
//    because 0 lies in the range. So M^2 <= 2N var, and M_n^2 <= 2D.
// 2. Summing m values in float, |S' - S| <= g_(m-1) m M and |Q' - Q| <=
//    g_(m-1) m M^2 (the squares are exact inside the fused operation).
//    Squaring S' and scaling it by 1/m (a division, or a product with the
//    rounded reciprocal) adds a relative error of at most 3u. Hence
//    Q' - S'S'/m is within m K_m M^2 of its exact value, with K_m =
//    3 g_(m-1) + 3u plus higher-order terms, below 4 (m + 1) u.
// 3. The score, two more roundings: score >= (1 - u)^2 (var - K_N M^2)
//    >= (1 - u)^2 (1 - 2N K_N) var.
// 4. The partial figure the search computes, D' = Q' - S'S' fl(1/n) with one
//    more rounding: D' <= (1 + u)(D + n K_n M_n^2) <= (1 + u)(1 + 2n K_n) D.
// 5. The final set contains the partial one, and the sum of squared
//    deviations from the final mean is at least that from the partial mean:
//    N var >= D.
// Hence score >= D' (1 - u)^2 (1 - 2N K_N) / (N (1 + u) (1 + 2n K_n)), and
// with one rounding of the product, fl(D' c) stays at or below the score for
// c = (1 - u)^2 (1 - 2N K_N) / (N (1 + u)^2 (1 + 2n K_n)) (1 - 2^-20),
// rounded down.
//
// This needs 1 - 2N K_N > 0 (N up to about a thousand) and arithmetic that
// neither overflows nor underflows. Every voxel finite and at most 2^50 in
// magnitude keeps (N M)^2 far inside the float range. Underflow adds at most
// 2^-149 per operation, below 2^-130 in all; the slack of 2^-20 covers that
// for any bound of at least 2^-90 (kPruneFloor), so smaller bounds never prune.

#include "fast_search_pruning.h"

#include <cmath>

namespace voluna {

float pruneFactorFor(int samples, bool preserveEdges, const PaddedVolume& padded) {
  if (samples < 1 || !padded.boundedBy(0x1p50f)) return 0.0f;
  const double u = 0x1p-24;
  const double n = samples + 1;
  const double N = preserveEdges ? 2.0 * samples + 1 : 2.0 * samples;
  const double kN = 4.0 * (N + 1.0) * u, kn = 4.0 * (n + 1.0) * u;
  if (2.0 * N * kN >= 0.5) return 0.0f;
  const double c = (1 - u) * (1 - u) * (1 - 2.0 * N * kN) /
                   (N * (1 + u) * (1 + u) * (1 + 2.0 * n * kn)) * (1.0 - 0x1p-20);
  float f = static_cast<float>(c);
  if (static_cast<double>(f) > c) f = std::nextafter(f, 0.0f);
  return f;
}

}  // namespace voluna
