// The direction search of the fast CPU path: the same choice of direction as
// the plain search, made for a run of consecutive x voxels at once with SIMD
// code chosen at run time (Highway).
#pragma once

#include <cstdint>
#include <vector>

#include "box.h"
#include "device.h"
#include "dims.h"
#include "padded_volume.h"
#include "run_control.h"
#include "run_stats.h"

namespace voluna {

// Everything the search shares between threads; read only while the search
// runs, except `chosen`, of which every searched voxel is written once.
//
// The volume may be part of a larger one: positions are taken in the larger
// volume's coordinates and the sampler clamps at the part's faces, so a
// voxel whose samples stay inside the part, or reach only faces it shares
// with the larger volume, gets the larger volume's choice.
struct SearchJob {
  SearchJob(const float* volume, const Box& volumeBox, const PaddedVolume& padded,
            const std::vector<Vec3>& directions, int samples, bool preserveEdges, bool prune,
            uint16_t* chosen, const Box& chosenBox, bool shareCopies = true);

  const float* volume;  // the voxels of volumeBox, for the rare per-lane samples
  Box volumeBox;
  Dims dims;  // of volumeBox
  const PaddedVolume& padded;  // a padded copy of `volume`
  // The direction set as three columns, padded with copies of the first
  // direction to a whole number of direction groups.
  std::vector<float> dirX, dirY, dirZ;
  int count;
  int samples;
  bool preserveEdges;
  // A direction whose partial score times this factor exceeds the best score
  // so far cannot be chosen; 0 turns pruning off.
  float pruneFactor;
  // Directions that repeat an earlier one up to rounding: the set holds most
  // lines twice. Where a run's walks along such a copy meet the same texels
  // with the same weights as its first's, sample for sample, the copy scores
  // what the first scores, bit for bit, and takes that score unscored.
  // copies[copyBegin[i], copyBegin[i + 1]) are the later copies of direction
  // i, copyOf[j] is the place of j in `copies`, or -1, and copyFirst[p] the
  // first of copies[p]. Empty when `shareCopies` is off.
  std::vector<int32_t> copyBegin, copies, copyOf, copyFirst;
  uint16_t* chosen;  // per voxel of chosenBox, the index of its direction
  Box chosenBox;
  // Never 0 and never the same for two jobs of one process: scratch keeps
  // what depends on the job alone under it.
  uint64_t serial;
};

// Tables and per-voxel state of one thread; reused from one call to the next.
struct SearchScratch {
  std::vector<int32_t> ints;
  std::vector<float> floats;
  std::vector<uint8_t> sameTaps;
  // Whether copies share their first's x taps, per run, for the job with
  // serial sameXJob over x in [sameXArea0, sameXArea1).
  std::vector<uint8_t> sameX;
  uint64_t sameXJob = 0;
  int64_t sameXArea0 = 0, sameXArea1 = 0;
};

// The most directions a run can take from the set: at most 360/1 * 360/1 / 2.
constexpr int kMaxDirections = 64800;

// Voxels per run (a row's voxels searched together) on the SIMD target that
// the search uses now.
int searchLanes();
// Voxels per chunk of a run on that target (lanes of one vector, at most 8).
int searchChunkLanes();
// Name of that target, e.g. "AVX3".
const char* searchTargetName();
// Highway bits of the targets compiled into the search that this CPU runs.
int64_t searchTargets();

// Chooses the direction of every voxel in rows [rowBegin, rowEnd) (row
// y + height * z, counted from the box's corner) of `area`, which must lie
// inside both job.volumeBox and job.chosenBox. The padded copy must have a
// margin of searchLanes() + 1. Returns false, leaving some voxels unwritten,
// when `control` asks to cancel.
bool searchRows(const SearchJob& job, SearchScratch& scratch, const Box& area, int64_t rowBegin,
                int64_t rowEnd, const RunControl* control, SearchStats& stats);

}  // namespace voluna
