// Scoring a group of directions for one run and applying the choice rule
// lane by lane in set order, with the pruning check and the copies' credit.
//
// Included once per Highway target from fast_direction_search.cpp (the
// per-target include guard below), so it has no include guard of its own.
#if defined(VOLUNA_FILTER_FAST_SEARCH_SCORING_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef VOLUNA_FILTER_FAST_SEARCH_SCORING_INL_H_
#undef VOLUNA_FILTER_FAST_SEARCH_SCORING_INL_H_
#else
#define VOLUNA_FILTER_FAST_SEARCH_SCORING_INL_H_
#endif

#include <cstddef>
#include <cstdint>

#include "fast_direction_search.h"
#include "fast_search_copies-inl.h"
#include "fast_search_layout-inl.h"
#include "fast_search_pruning.h"
#include "fast_search_walk-inl.h"
#include "fast_simd-inl.h"
#include "hwy/highway.h"
#include "voxel_math.h"

HWY_BEFORE_NAMESPACE();
namespace voluna {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Scores the group's directions for one run of G chunks of row (y, z)
// and applies the choice rule lane by lane in set order. Returns whether
// some lane still searches.
template <int G, bool kEdges>
bool scoreGroup(const SearchJob& job, const UnitLayout& layout, const UnitTables& tables,
                const CopyTaps& copyTaps, int row, int run, int y, int z,
                const DirectionGroup& group, SearchStats& stats) {
  const DF df;
  const DI di;
  const size_t state = (size_t(row) * layout.runs + run) * layout.width;
  VF best[G], centre[G];
  VI chosen[G];
  MF active[G];
  for (int c = 0; c < G; ++c) {
    const size_t at = state + size_t(c) * layout.lanes;
    best[c] = hn::LoadU(df, tables.best + at);
    centre[c] = hn::LoadU(df, tables.centre + at);
    chosen[c] = hn::LoadU(di, tables.chosen + at);
    active[c] = hn::RebindMask(df, hn::MaskFromVec(hn::LoadU(di, tables.active + at)));
  }
  const int s = layout.samples;
  const VF total = hn::Set(df, static_cast<float>(kEdges ? 2 * s + 1 : 2 * s));
  const VF partialReciprocal = hn::Set(df, 1.0f / static_cast<float>(s + 1));
  const bool prune = job.pruneFactor > 0.0f;
  const VF pruneFactor = hn::Set(df, job.pruneFactor);
  const VF pruneFloor = hn::Set(df, kPruneFloor);
  const VF earlyStop = hn::Set(df, kEarlyStopScore);

  DirectionWalker walker;
  walker.job = &job;
  walker.origin = job.padded.origin();
  walker.stride = size_t(layout.groupSize) * 4;
  walker.lanes = layout.lanes;
  walker.x0 = layout.x0 + run * layout.width;
  walker.y = y;
  walker.z = z;
  walker.samples = s;
  walker.stats = &stats;

  const bool copies = !job.copies.empty();
  bool searching = true;
  for (int gi = 0; gi < group.count && searching; ++gi) {
    if (copies) {
      const int32_t p = job.copyOf[group.index[gi]];
      if (p >= 0 && copyTaps.shares(p)) {
        stats.copiedDirections += G;
        continue;
      }
    }
    const size_t x = (size_t(run) * layout.groupSize + gi) * layout.perDir;
    walker.cells = tables.xCell + x;
    walker.xWeights = tables.xWeight + 2 * x;
    walker.offsets = tables.yzOffset + size_t(gi) * 4;
    walker.weights = tables.yzWeight + size_t(gi) * 4;
    walker.weightsX0 = tables.yzWeightX0 + size_t(gi) * 4;
    walker.weightsX1 = tables.yzWeightX1 + size_t(gi) * 4;
    walker.direction = group.index[gi];

    Accumulators<G> acc;
    for (int c = 0; c < G; ++c) {
      acc.S[c] = hn::Zero(df);
      acc.Q[c] = hn::Zero(df);
      acc.reference[c] = centre[c];
    }
    stats.chunkDirections += G;
    walk<G, kEdges>(walker, 0, acc);
    if (prune && walker.direction > 0) {
      // Whether the score provably exceeds the best so far in every lane
      // that still searches (see fast_search_pruning.cpp). What limits
      // pruning is that all lanes of the run must be beaten, not how good
      // the best so far is; docs/search-performance.md has the figures and
      // the variants that were measured slower.
      bool beaten = true;
      for (int c = 0; c < G; ++c) {
        const VF deviations =
            hn::Sub(acc.Q[c], hn::Mul(hn::Mul(acc.S[c], acc.S[c]), partialReciprocal));
        const VF bound = hn::Mul(deviations, pruneFactor);
        const MF over = hn::And(hn::Gt(bound, best[c]), hn::Ge(bound, pruneFloor));
        beaten = beaten && hn::AllTrue(df, hn::Or(over, hn::Not(active[c])));
      }
      if (beaten) {
        stats.prunedDirections += G;
        stats.chunkSamples += uint64_t(s) * G;
        continue;
      }
    }
    walk<G, kEdges>(walker, 1, acc);
    stats.chunkSamples += uint64_t(2 * s) * G;

    bool any = false;
    VF scores[G];
    for (int c = 0; c < G; ++c) {
      const VF score =
          hn::Div(hn::Sub(acc.Q[c], hn::Div(hn::Mul(acc.S[c], acc.S[c]), total)), total);
      scores[c] = score;
      if (walker.direction == 0) {
        best[c] = score;
        chosen[c] = hn::Zero(di);
      } else {
        const MF better = hn::Lt(score, best[c]);
        const VF m = hn::IfThenElse(better, score, best[c]);
        // Of equal scores the later direction wins: this one, unless a
        // later copy already took the score.
        const VI index = hn::Set(di, walker.direction);
        const VI onTie = hn::Max(chosen[c], index);
        const VI taken = hn::IfThenElse(hn::RebindMask(di, better), index, onTie);
        const MF wins = hn::And(hn::Eq(m, score), active[c]);
        chosen[c] = hn::IfThenElse(hn::RebindMask(di, wins), taken, chosen[c]);
        best[c] = hn::IfThenElse(active[c], m, best[c]);
      }
      active[c] = hn::AndNot(hn::Le(best[c], earlyStop), active[c]);
      any = any || !hn::AllFalse(df, active[c]);
    }
    if (copies) {
      // The copies that share this direction's taps offer its score now.
      for (int32_t p = job.copyBegin[walker.direction]; p < job.copyBegin[walker.direction + 1];
           ++p) {
        if (!copyTaps.shares(p)) continue;
        const VI index = hn::Set(di, job.copies[p]);
        for (int c = 0; c < G; ++c) {
          const VF score = scores[c];
          const MF ties = hn::And(hn::Eq(score, best[c]), active[c]);
          chosen[c] =
              hn::IfThenElse(hn::RebindMask(di, ties), hn::Max(chosen[c], index), chosen[c]);
        }
      }
    }
    searching = any;
  }
  for (int c = 0; c < G; ++c) {
    const size_t at = state + size_t(c) * layout.lanes;
    hn::StoreU(best[c], df, tables.best + at);
    hn::StoreU(chosen[c], di, tables.chosen + at);
    hn::StoreU(hn::VecFromMask(di, hn::RebindMask(di, active[c])), di, tables.active + at);
  }
  return searching;
}

template <bool kEdges>
bool scoreGroupAnyWidth(int chunks, const SearchJob& job, const UnitLayout& layout,
                        const UnitTables& tables, const CopyTaps& copyTaps, int row, int run, int y,
                        int z, const DirectionGroup& group, SearchStats& stats) {
  static_assert(kMaxChunks == 6, "one instantiation per run width");
  switch (chunks) {
    case 1:
      return scoreGroup<1, kEdges>(job, layout, tables, copyTaps, row, run, y, z, group, stats);
    case 2:
      return scoreGroup<2, kEdges>(job, layout, tables, copyTaps, row, run, y, z, group, stats);
    case 3:
      return scoreGroup<3, kEdges>(job, layout, tables, copyTaps, row, run, y, z, group, stats);
    case 4:
      return scoreGroup<4, kEdges>(job, layout, tables, copyTaps, row, run, y, z, group, stats);
    case 5:
      return scoreGroup<5, kEdges>(job, layout, tables, copyTaps, row, run, y, z, group, stats);
    default:
      return scoreGroup<6, kEdges>(job, layout, tables, copyTaps, row, run, y, z, group, stats);
  }
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace voluna
HWY_AFTER_NAMESPACE();

#endif  // VOLUNA_FILTER_FAST_SEARCH_SCORING_INL_H_
