// The direction search, vectorised across runs of consecutive x voxels.
//
// Where the search lives, by phase (each file holds its own part of the
// proofs below):
//   fast_search_job.cpp          the job: direction columns, copies, pruning factor
//   fast_search_layout-inl.h     a unit of rows: runs, chunks, groups, tables
//   fast_search_tables-inl.h     the tap tables of a group of directions
//   fast_search_copies-inl.h     which copies of a direction share its taps
//   fast_search_walk-inl.h       walking one direction of one run
//   fast_search_scoring-inl.h    scores, the choice rule, pruning and copies' credit
//   this file                    a unit of rows, phase by phase
//
// Proofs:
// 1. The fast search chooses what the plain search chooses: the four facts
//    below.
// 2. Copies of a direction may take their first's score unscored:
//    fast_search_copies-inl.h, at CopyTaps.
// 3. A direction whose lower bound exceeds the best score so far may be
//    dropped, and the bound holds: fast_search_pruning.cpp.
//
// Bit-identity with the plain search rests on four facts, each used below:
// - Every lane performs the plain search's float operations on its own
//   values, in the same order: positions stepped one sample at a time, the
//   sampler's axis arithmetic, eight fused taps in z, y, x corner order, the
//   accumulator updates and the choice rule.
// - The y and z coordinates of a sample are the same for every voxel of a
//   row, so their taps are computed once per row and direction, still with
//   the plain arithmetic.
// - The x taps of a run usually share one fraction and consecutive cells.
//   Where they do, the run reads its corners with two contiguous loads from
//   a copy of the volume widened by replicated edge voxels; where they do
//   not, the run falls back to the plain sampler lane by lane.
// - Corner weights are products of three multiples of 1/256, each at most 1,
//   so every partial product is a multiple of 2^-24 below 2^0 with at most 24
//   significant bits: exact in any order. The plain sampler forms
//   (wx * wy) * wz; forming wx * (wz * wy) gives the same float.

#include "fast_direction_search.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fast_direction_search.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "cpu_sampler.h"
#include "fast_search_copies-inl.h"
#include "fast_search_layout-inl.h"
#include "fast_search_scoring-inl.h"
#include "fast_search_tables-inl.h"

HWY_BEFORE_NAMESPACE();
namespace voluna {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The rows of one unit: its row r is row begin + r of `area` (row y +
// height * z, counted from the area's corner).
struct UnitRows {
  const Box& area;
  int64_t begin;
  int count;

  int y(int r) const { return static_cast<int>(area.y0 + (begin + r) % area.height()); }
  int z(int r) const { return static_cast<int>(area.z0 + (begin + r) / area.height()); }
};

// Per copy of a direction (SearchJob::copies), whether its walks meet the
// taps of its first's.
struct SharedTaps {
  size_t copies;
  const uint8_t* sameX;       // [run][copy]
  const uint8_t* sameYZ;      // [row][copy]
  // [copy]: shares them in every run and row of the unit, and so needs no
  // tables and is never scored.
  const uint8_t* everywhere;
};

// Phase 1: every real lane of the unit searching with no score yet and, for
// the edge-preserving score, its voxel's own value.
HWY_INLINE void startLanes(const SearchJob& job, const UnitLayout& layout,
                           const UnitTables& tables, const UnitRows& rows) {
  const DF df;
  const DI di;
  for (int r = 0; r < rows.count; ++r) {
    const int y = rows.y(r), z = rows.z(r);
    for (int run = 0; run < layout.runs; ++run) {
      for (int c = 0; c < kMaxChunks; ++c) {
        const int x0 = layout.x0 + run * layout.width + c * layout.lanes;
        const size_t at = (size_t(r) * layout.runs + run) * layout.width + size_t(c) * layout.lanes;
        const int realLanes = layout.realLanes(run, c, layout.lanes);
        const MF real = hn::FirstN(df, static_cast<size_t>(realLanes));
        hn::StoreU(hn::VecFromMask(di, hn::RebindMask(di, real)), di, tables.active + at);
        hn::StoreU(hn::Zero(df), df, tables.best + at);
        hn::StoreU(hn::Zero(di), di, tables.chosen + at);
        HWY_ALIGN float values[kLaneCapacity] = {};
        if (job.preserveEdges) {
          // The centre goes through the full sampler like any sample: a
          // non-finite neighbour taints it through a zero weight.
          const BoxVolumeSampler sampler(job.volume, job.volumeBox);
          for (int l = 0; l < realLanes; ++l) {
            values[l] = sampler(static_cast<float>(x0 + l) + 0.5f, static_cast<float>(y) + 0.5f,
                                static_cast<float>(z) + 0.5f);
          }
        }
        hn::StoreU(hn::Load(df, values), df, tables.centre + at);
      }
      tables.runActive[size_t(r) * layout.runs + run] = 1;
    }
  }
}

// Phase 2: which copies share their first's taps, per run and per row.
HWY_INLINE SharedTaps findSharedTaps(const SearchJob& job, SearchScratch& scratch,
                                     const UnitLayout& layout, const UnitRows& rows) {
  const size_t P = job.copies.size();
  if (scratch.sameTaps.size() < (size_t(rows.count) + 3) * P) {
    scratch.sameTaps.resize((size_t(rows.count) + 3) * P);
  }
  // The x taps depend on the runs alone, the same for every unit of rows of
  // one search: they are kept from one call to the next.
  const bool xKnown = scratch.sameXJob == job.serial && scratch.sameXArea0 == rows.area.x0 &&
                      scratch.sameXArea1 == rows.area.x1;
  if (!xKnown) {
    scratch.sameX.assign(size_t(layout.runs) * P, 0);
    scratch.sameXJob = job.serial;
    scratch.sameXArea0 = rows.area.x0;
    scratch.sameXArea1 = rows.area.x1;
  }
  const uint8_t* sameX = scratch.sameX.data();
  uint8_t* sameYZ = scratch.sameTaps.data();
  uint8_t* sameY = sameYZ + size_t(rows.count) * P;
  uint8_t* sameZ = sameY + P;
  uint8_t* everywhere = sameZ + P;
  if (P > 0) {
    for (int run = 0; run < layout.runs && !xKnown; ++run) {
      for (size_t p = 0; p < P; ++p) {
        scratch.sameX[run * P + p] = sameXTaps(job, layout, run, job.copyFirst[p], job.copies[p]);
      }
    }
    for (int r = 0; r < rows.count; ++r) {
      sameAxisTaps(job, job.dirY, rows.y(r), sameY);
      if (r == 0 || rows.z(r) != rows.z(r - 1)) sameAxisTaps(job, job.dirZ, rows.z(r), sameZ);
      for (size_t p = 0; p < P; ++p) sameYZ[r * P + p] = sameY[p] && sameZ[p];
    }
    for (size_t p = 0; p < P; ++p) {
      bool all = true;
      for (int run = 0; run < layout.runs && all; ++run) all = sameX[run * P + p];
      for (int r = 0; r < rows.count && all; ++r) all = sameYZ[r * P + p];
      everywhere[p] = all;
    }
  }
  return {P, sameX, sameYZ, everywhere};
}

// Phase 3: the directions in set order, a group at a time, until no lane of
// the unit searches. Returns false when `control` asked to cancel.
HWY_INLINE bool searchGroups(const SearchJob& job, const UnitLayout& layout,
                             const UnitTables& tables, const SharedTaps& shared,
                             const UnitRows& rows, const RunControl* control,
                             SearchStats& stats) {
  const size_t P = shared.copies;
  for (int next = 0; next < job.count;) {
    if (control && control->cancelled()) return false;
    uint64_t activeChunks = 0;
    for (int r = 0; r < rows.count; ++r) {
      for (int run = 0; run < layout.runs; ++run) {
        if (tables.runActive[size_t(r) * layout.runs + run]) {
          activeChunks += uint64_t(layout.chunks(run));
        }
      }
    }
    DirectionGroup group;
    const int capacity = next == 0 ? 1 : layout.groupSize;
    for (; group.count < capacity && next < job.count; ++next) {
      const int32_t p = P > 0 ? job.copyOf[next] : -1;
      if (p < 0 || !shared.everywhere[p]) {
        group.add(job, next);
      } else {
        stats.copiedDirections += activeChunks;
      }
    }
    if (group.count == 0) break;
    group.pad();
    buildCommonFractions(layout, tables, group);
    std::fill(tables.xBuilt, tables.xBuilt + layout.runs, 0);
    bool searching = false;
    for (int r = 0; r < rows.count; ++r) {
      const int y = rows.y(r), z = rows.z(r);
      bool yzBuilt = false;
      for (int run = 0; run < layout.runs; ++run) {
        int32_t& runActive = tables.runActive[size_t(r) * layout.runs + run];
        if (!runActive) continue;
        if (!yzBuilt) {
          buildYZTable(job, layout, tables, y, z, group);
          yzBuilt = true;
        }
        if (!tables.xBuilt[run]) {
          buildXTable(job, layout, tables, run, group);
          tables.xBuilt[run] = 1;
        }
        const int chunks = layout.chunks(run);
        const CopyTaps copyTaps{shared.sameX + size_t(run) * P, shared.sameYZ + size_t(r) * P};
        runActive = job.preserveEdges
                        ? scoreGroupAnyWidth<true>(chunks, job, layout, tables, copyTaps, r, run,
                                                   y, z, group, stats)
                        : scoreGroupAnyWidth<false>(chunks, job, layout, tables, copyTaps, r, run,
                                                    y, z, group, stats);
        searching = searching || runActive;
      }
    }
    if (!searching) break;
  }
  return true;
}

// Phase 4: each lane's choice into the job's field, and the samples the
// plain search takes for the same voxels.
HWY_INLINE void storeChoices(const SearchJob& job, const UnitLayout& layout,
                             const UnitTables& tables, const UnitRows& rows, SearchStats& stats) {
  const uint64_t perDirection = static_cast<uint64_t>(layout.perDir);
  const BoxIndex chosenAt(job.chosenBox);
  for (int r = 0; r < rows.count; ++r) {
    for (int run = 0; run < layout.runs; ++run) {
      const int x0 = layout.x0 + run * layout.width;
      const size_t state = (size_t(r) * layout.runs + run) * layout.width;
      const int realLanes = layout.realLanes(run, 0, layout.width);
      uint16_t* out = job.chosen + chosenAt(x0, rows.y(r), rows.z(r));
      for (int l = 0; l < realLanes; ++l) {
        const int32_t chosen = tables.chosen[state + l];
        out[l] = static_cast<uint16_t>(chosen);
        // A lane that stopped early stopped at the direction it chose.
        const uint64_t scored =
            tables.active[state + l] ? uint64_t(job.count) : uint64_t(chosen) + 1;
        stats.referenceSamples += scored * perDirection;
      }
    }
  }
}

bool SearchRowsImpl(const SearchJob& job, SearchScratch& scratch, const Box& area,
                    int64_t rowBegin, int64_t rowEnd, const RunControl* control,
                    SearchStats& total) {
  // Counted here and added once: the threads' totals share cache lines.
  SearchStats stats;
  const UnitRows rows{area, rowBegin, static_cast<int>(rowEnd - rowBegin)};
  const UnitLayout layout = layoutFor(job, area, rows.count);
  const UnitTables tables = carve(layout, scratch);
  startLanes(job, layout, tables, rows);
  const SharedTaps shared = findSharedTaps(job, scratch, layout, rows);
  const bool finished = searchGroups(job, layout, tables, shared, rows, control, stats);
  if (finished) storeChoices(job, layout, tables, rows, stats);
  total.add(stats);
  return finished;
}

int SearchLanesImpl() { return kMaxChunks * static_cast<int>(hn::Lanes(DF())); }

int SearchChunkLanesImpl() { return static_cast<int>(hn::Lanes(DF())); }

const char* SearchTargetNameImpl() { return hwy::TargetName(HWY_TARGET); }

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace voluna
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace voluna {

HWY_EXPORT(SearchRowsImpl);
HWY_EXPORT(SearchLanesImpl);
HWY_EXPORT(SearchChunkLanesImpl);
HWY_EXPORT(SearchTargetNameImpl);

int searchLanes() { return HWY_DYNAMIC_DISPATCH(SearchLanesImpl)(); }

int searchChunkLanes() { return HWY_DYNAMIC_DISPATCH(SearchChunkLanesImpl)(); }

const char* searchTargetName() { return HWY_DYNAMIC_DISPATCH(SearchTargetNameImpl)(); }

int64_t searchTargets() { return hwy::SupportedTargets() & HWY_TARGETS; }

bool searchRows(const SearchJob& job, SearchScratch& scratch, const Box& area, int64_t rowBegin,
                int64_t rowEnd, const RunControl* control, SearchStats& stats) {
  return HWY_DYNAMIC_DISPATCH(SearchRowsImpl)(job, scratch, area, rowBegin, rowEnd, control,
                                              stats);
}

}  // namespace voluna
#endif  // HWY_ONCE
