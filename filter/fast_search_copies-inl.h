// Copies of a direction: which later directions of the set meet the same
// texels as an earlier one along a run's or a row's walks, and so take its
// score unscored.
//
// Included once per Highway target from fast_direction_search.cpp (the
// per-target include guard below), so it has no include guard of its own.
#if defined(VOLUNA_FILTER_FAST_SEARCH_COPIES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef VOLUNA_FILTER_FAST_SEARCH_COPIES_INL_H_
#undef VOLUNA_FILTER_FAST_SEARCH_COPIES_INL_H_
#else
#define VOLUNA_FILTER_FAST_SEARCH_COPIES_INL_H_
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fast_direction_search.h"
#include "fast_search_layout-inl.h"
#include "fast_simd-inl.h"
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace voluna {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Copies of a direction (see SearchJob::copies) whose walks meet the same
// texels as their first's. The sampler reads a texel pair and weighs it by
// the fraction, both fixed by the quantised coordinate: equal cells and
// fractions on every axis, sample for sample, give equal samples, whatever
// path (contiguous, own fraction or per lane) then computes them, since
// every path gives the plain sampler's value. Positions are stepped exactly
// as the search steps them.

// Per lane, whether walks from `origin` by steps sa and sb meet the same
// cells with the same fractions at each of `samples` samples.
template <class D, class V = hn::Vec<D>>
HWY_INLINE hn::Mask<D> sameWalk(D d, V origin, V sa, V sb, int samples) {
  const V half = hn::Set(d, 0.5f);
  auto agree = hn::FirstN(d, hn::Lanes(d));
  V pa = origin, pb = origin;
  for (int k = 0; k < samples; ++k) {
    pa = hn::Add(pa, sa);
    pb = hn::Add(pb, sb);
    V cellA, fA, cellB, fB;
    axisCells(d, hn::Add(pa, half), cellA, fA);
    axisCells(d, hn::Add(pb, half), cellB, fB);
    agree = hn::And(agree, hn::And(hn::Eq(cellA, cellB), hn::Eq(fA, fB)));
  }
  return agree;
}

// Whether direction b's walks from every voxel of run `run` meet the x cells
// and fractions of direction a's.
bool sameXTaps(const SearchJob& job, const UnitLayout& layout, int run, int a, int b) {
  if (job.dirX[a] == job.dirX[b]) return true;
  const DF df;
  const int x0 = layout.x0 + run * layout.width;
  for (int c = 0; c < layout.chunks(run); ++c) {
    const MF real = hn::FirstN(df, static_cast<size_t>(layout.realLanes(run, c, layout.lanes)));
    const VF origin = laneOrigins(x0 + c * layout.lanes);
    for (int walk = 0; walk < 2; ++walk) {
      const VF sa = hn::Set(df, walk == 0 ? -job.dirX[a] : job.dirX[a]);
      const VF sb = hn::Set(df, walk == 0 ? -job.dirX[b] : job.dirX[b]);
      const MF agree = sameWalk(df, origin, sa, sb, layout.samples);
      if (!hn::AllTrue(df, hn::Or(agree, hn::Not(real)))) return false;
    }
  }
  return true;
}

// For every copy p, same[p] says whether its walks from coordinate `at` of
// the axis whose components `column` holds meet the cells and fractions of
// its first's; lanes run over copies.
void sameAxisTaps(const SearchJob& job, const std::vector<float>& column, int at, uint8_t* same) {
  const DT dt;
  const DTI dti;
  const int N = static_cast<int>(hn::Lanes(dt));
  const int P = static_cast<int>(job.copies.size());
  HWY_ALIGN int32_t agreed[kLaneCapacity];
  for (int p0 = 0; p0 < P; p0 += N) {
    const int n = std::min(N, P - p0);
    HWY_ALIGN int32_t firstIdx[kLaneCapacity] = {}, copyIdx[kLaneCapacity] = {};
    for (int l = 0; l < n; ++l) {
      firstIdx[l] = job.copyFirst[p0 + l];
      copyIdx[l] = job.copies[p0 + l];
    }
    const VT da = hn::GatherIndex(dt, column.data(), hn::Load(dti, firstIdx));
    const VT db = hn::GatherIndex(dt, column.data(), hn::Load(dti, copyIdx));
    const VT origin = hn::Set(dt, static_cast<float>(at));
    const auto walksAgree = hn::And(sameWalk(dt, origin, hn::Neg(da), hn::Neg(db), job.samples),
                                    sameWalk(dt, origin, da, db, job.samples));
    // Equal components step through equal positions.
    const auto agree = hn::Or(hn::Eq(da, db), walksAgree);
    hn::Store(hn::VecFromMask(dti, hn::RebindMask(dti, agree)), dti, agreed);
    for (int l = 0; l < n; ++l) same[p0 + l] = agreed[l] != 0;
  }
}

// Which copies take their first's score in one run of one row.
//
// Why crediting a copy j with its first i's score, right after i, and
// never scoring j gives the choice of the plain search. With s_0 not NaN,
// the choice rule in set order picks the first direction scoring at most
// 2^-23 if there is one, else the last of the smallest scores (NaNs never
// count). The scorer keeps, per lane, the smallest score so far and the
// largest index offered with it: a smaller score takes its index, an equal
// one the larger of the two. That state does not depend on the order of
// the offers, and in set order it is the plain rule's.
// - Where the taps agree, s_j is s_i bit for bit (see sameXTaps).
// - A lane that stops at i or before chose an index <= i; credits skip
//   stopped lanes, so j changes nothing, as in set order.
// - A NaN s_i equals nothing: no credit, as the plain rule ignores a NaN.
// - Otherwise s_i > 2^-23, so j can matter only through the smallest
//   score, where the order of offers does not count. A stop at k between i
//   and j (s_k <= 2^-23, below every score offered before) takes k, as in
//   set order; j then lies past the stop.
// - A pruned i scores above the best so far, and so does j, since the best
//   only falls: offering j at its turn would change nothing.
// At j's turn the copy is skipped, so it is never offered twice.
struct CopyTaps {
  const uint8_t* sameX;   // by copy, for the run
  const uint8_t* sameYZ;  // by copy, for the row
  bool shares(int32_t p) const { return sameX[p] && sameYZ[p]; }
};

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace voluna
HWY_AFTER_NAMESPACE();

#endif  // VOLUNA_FILTER_FAST_SEARCH_COPIES_INL_H_
