// The direction search of the fast CPU path: the same choice of direction as
// the plain search, made for a run of consecutive x voxels at once with SIMD
// code chosen at run time (Highway).
#pragma once

#include <cstdint>
#include <vector>

#include "device.h"
#include "dims.h"
#include "padded_volume.h"
#include "run_control.h"

namespace voluna {

// Counters of one search, for benchmarks and tests.
struct SearchStats {
  uint64_t referenceSamples = 0;  // samples the plain search takes for the same voxels
  uint64_t chunkSamples = 0;      // samples taken, each for a chunk of up to eight lanes
  uint64_t mixedSamples = 0;      // of those, samples that needed the per-lane sampler
  uint64_t ownFractionSamples = 0;  // and samples whose run had an x fraction of its own
  uint64_t chunkDirections = 0;   // (chunk, direction) pairs begun
  uint64_t prunedDirections = 0;  // of those, dropped after the backward walk

  void add(const SearchStats& other);
};

// Everything the search of one volume shares between threads; read only
// while the search runs, except `chosen`, of which every voxel is written
// once.
struct SearchJob {
  SearchJob(const float* volume, Dims dims, const PaddedVolume& padded,
            const std::vector<Vec3>& directions, int samples, bool preserveEdges, bool prune,
            uint16_t* chosen);

  const float* volume;  // the volume itself, for the rare per-lane samples
  Dims dims;
  const PaddedVolume& padded;
  // The direction set as three columns, padded with copies of the first
  // direction to a whole number of direction groups.
  std::vector<float> dirX, dirY, dirZ;
  int count;
  int samples;
  bool preserveEdges;
  // A direction whose partial score times this factor exceeds the best score
  // so far cannot be chosen; 0 turns pruning off.
  float pruneFactor;
  uint16_t* chosen;  // per voxel, the index of the chosen direction
};

// Tables and per-voxel state of one thread; reused from one call to the next.
struct SearchScratch {
  std::vector<int32_t> ints;
  std::vector<float> floats;
};

// The most directions a run can take from the set: at most 360/1 * 360/1 / 2.
constexpr int kMaxDirections = 64800;

// Voxels per run (a row's voxels searched together) on the SIMD target that
// the search uses now.
int searchLanes();
// Name of that target, e.g. "AVX3".
const char* searchTargetName();
// Highway bits of the targets compiled into the search that this CPU runs.
int64_t searchTargets();

// Chooses the direction of every voxel in rows [rowBegin, rowEnd) (row
// y + Y * z), writing job.chosen. The padded copy must have a margin of
// searchLanes() + 1. Returns false, leaving some voxels unwritten, when
// `control` asks to cancel.
bool searchRows(const SearchJob& job, SearchScratch& scratch, int64_t rowBegin, int64_t rowEnd,
                const RunControl* control, SearchStats& stats);

}  // namespace voluna
