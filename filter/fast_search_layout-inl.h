// How one unit of rows lays out its work for the SIMD direction search:
// vector types, runs of chunks, groups of directions, the forms of x-table
// entries, and the per-thread tables and lane state carved from scratch.
//
// Included once per Highway target from fast_direction_search.cpp (the
// per-target include guard below), so it has no include guard of its own.
#if defined(VOLUNA_FILTER_FAST_SEARCH_LAYOUT_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef VOLUNA_FILTER_FAST_SEARCH_LAYOUT_INL_H_
#undef VOLUNA_FILTER_FAST_SEARCH_LAYOUT_INL_H_
#else
#define VOLUNA_FILTER_FAST_SEARCH_LAYOUT_INL_H_
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "fast_direction_search.h"
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace voluna {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Tables are built with full vectors, lanes running over directions.
using DT = hn::ScalableTag<float>;
using DTI = hn::RebindToSigned<DT>;
using VT = hn::Vec<DT>;
using VTI = hn::Vec<DTI>;
// The search itself works on chunks of at most eight lanes: its loads are
// unaligned, and wider ones cost more than they gave (docs/search-performance.md).
using DF = hn::CappedTag<float, 8>;
using DI = hn::RebindToSigned<DF>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;
using MF = hn::Mask<DF>;

constexpr size_t kLaneCapacity = HWY_MAX_BYTES / sizeof(float);
// A run is up to six chunks of consecutive voxels of one row. Its chunks
// share every table entry (and so the loads of offsets and weights) and
// every per-direction step (choice rule, pruning check, loop); six make a
// 48-voxel row one run.
constexpr int kMaxChunks = 6;
// Directions are taken in groups whose tables fit the first-level cache.
// The first group holds direction 0 alone: on flat data most searches end
// with it, and building tables for 16 directions would cost more than the
// search itself.
constexpr int kGroup = 16;

// Sizes of the tables of one unit of rows.
struct UnitLayout {
  int lanes;      // lanes per chunk
  int width;      // lanes per run, kMaxChunks * lanes
  int groupSize;  // directions per table group, a multiple of the table lanes
  int samples;    // samples per walk
  int perDir;     // 2 * samples samples per direction
  int x0;         // first voxel of every row, in the volume's coordinates
  int X;          // voxels per row
  int runs;       // runs per row
  int rows;       // rows of the unit
  size_t xEntries, yzEntries, states;

  // Chunks of run `run` that hold voxels of the row.
  int chunks(int run) const { return std::min(kMaxChunks, (X - run * width + lanes - 1) / lanes); }
  // Voxels of the row from chunk `chunk` of run `run` on, capped at `cap`.
  int realLanes(int run, int chunk, int cap) const {
    return std::max(0, std::min(cap, X - run * width - chunk * lanes));
  }
};

// Directions whose tables are built together, in set order: their indices,
// and their components as columns padded to whole vectors.
constexpr int kMaxGroup = kGroup > static_cast<int>(kLaneCapacity)
                              ? kGroup
                              : static_cast<int>(kLaneCapacity);
struct DirectionGroup {
  int count = 0;
  int32_t index[kMaxGroup];
  HWY_ALIGN float x[kMaxGroup];
  HWY_ALIGN float y[kMaxGroup];
  HWY_ALIGN float z[kMaxGroup];

  void add(const SearchJob& job, int32_t direction) {
    index[count] = direction;
    x[count] = job.dirX[direction];
    y[count] = job.dirY[direction];
    z[count] = job.dirZ[direction];
    ++count;
  }
  // Fills the columns past the last direction with copies of the first.
  void pad() {
    for (int i = count; i < kMaxGroup; ++i) x[i] = x[0], y[i] = y[0], z[i] = z[0];
  }
};

UnitLayout layoutFor(const SearchJob& job, const Box& area, int rows) {
  UnitLayout layout;
  layout.lanes = static_cast<int>(hn::Lanes(DF()));
  layout.width = kMaxChunks * layout.lanes;
  layout.groupSize = std::max(kGroup, static_cast<int>(hn::Lanes(DT())));
  layout.samples = job.samples;
  layout.perDir = 2 * job.samples;
  layout.x0 = static_cast<int>(area.x0);
  layout.X = static_cast<int>(area.width());
  layout.runs = (layout.X + layout.width - 1) / layout.width;
  layout.rows = rows;
  layout.xEntries = size_t(layout.runs) * layout.groupSize * layout.perDir;
  layout.yzEntries = size_t(layout.perDir) * layout.groupSize;
  layout.states = size_t(rows) * layout.runs * layout.width;
  return layout;
}

// x-table entries hold the cell of the run's first lane, relative to the
// volume's first x, in one of three forms: as is when the run's fraction is
// the group's common one (the corner weights then come ready from the y/z
// table), plus kOwnFraction when the run has a fraction of its own, and
// kMixedCell when its lanes disagree. Cells lie in [-(W + 1), X - 1] for a
// volume X wide, below 2^22, so the forms never meet.
constexpr int32_t kOwnFraction = 1 << 25;
constexpr int32_t kMixedCell = std::numeric_limits<int32_t>::max();

HWY_INLINE bool commonFraction(int32_t cell) { return cell < kOwnFraction / 2; }

// Per-thread tables, carved out of the scratch vectors.
struct UnitTables {
  int32_t* xCell;     // [run][direction in group][sample]
  float* xWeight;     // same entries, wx0 and wx1, for runs with a fraction of their own
  float* commonF;     // [sample][direction in group]: the common x fraction
  float* commonW0;    // its weights (256 - f) / 256
  float* commonW1;    // and f / 256
  int32_t* yzOffset;  // [sample][direction in group][corner row]: offset of the row
  float* yzWeight;    // same entries: wz * wy of the corner row
  float* yzWeightX0;  // same entries times the common wx0
  float* yzWeightX1;  // same entries times the common wx1
  float* best;        // [row][run][lane]: the choice rule's running minimum
  int32_t* chosen;    // [row][run][lane]
  int32_t* active;    // [row][run][lane]: all ones while the lane still searches
  float* centre;      // [row][run][lane]: the voxel's own value, for the edge-preserving score
  int32_t* runActive; // [row][run]: some lane of the run still searches
  int32_t* xBuilt;    // [run]: the run's x table holds the current group
};

UnitTables carve(const UnitLayout& layout, SearchScratch& scratch) {
  const size_t intCount = layout.xEntries + 4 * layout.yzEntries + 2 * layout.states +
                          size_t(layout.rows) * layout.runs + layout.runs;
  const size_t floatCount =
      2 * layout.xEntries + 3 * layout.yzEntries + 12 * layout.yzEntries + 2 * layout.states;
  if (scratch.ints.size() < intCount) scratch.ints.resize(intCount);
  if (scratch.floats.size() < floatCount) scratch.floats.resize(floatCount);
  UnitTables tables;
  int32_t* ip = scratch.ints.data();
  float* fp = scratch.floats.data();
  tables.xCell = ip, ip += layout.xEntries;
  tables.yzOffset = ip, ip += 4 * layout.yzEntries;
  tables.chosen = ip, ip += layout.states;
  tables.active = ip, ip += layout.states;
  tables.runActive = ip, ip += size_t(layout.rows) * layout.runs;
  tables.xBuilt = ip;
  tables.xWeight = fp, fp += 2 * layout.xEntries;
  tables.commonF = fp, fp += layout.yzEntries;
  tables.commonW0 = fp, fp += layout.yzEntries;
  tables.commonW1 = fp, fp += layout.yzEntries;
  tables.yzWeight = fp, fp += 4 * layout.yzEntries;
  tables.yzWeightX0 = fp, fp += 4 * layout.yzEntries;
  tables.yzWeightX1 = fp, fp += 4 * layout.yzEntries;
  tables.best = fp, fp += layout.states;
  tables.centre = fp;
  return tables;
}

// Lane positions x0, x0 + 1, ... as the plain search converts them.
HWY_INLINE VF laneOrigins(int x0) { return hn::ConvertTo(DF(), hn::Iota(DI(), x0)); }

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace voluna
HWY_AFTER_NAMESPACE();

#endif  // VOLUNA_FILTER_FAST_SEARCH_LAYOUT_INL_H_
