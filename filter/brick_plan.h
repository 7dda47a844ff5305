// Cutting a volume of any size into bricks that fit a memory budget.
#pragma once

#include <cstdint>
#include <string>

#include "brick.h"
#include "filter_params.h"

namespace voluna {

// Bytes per voxel that a caller streaming bricks spends beside runBrick's
// own buffers: the float input box and float result that runBrick reads and
// writes are counted by the plan; these are the caller's file-side buffers,
// which hold one plane (x-y slice) of a box at a time.
struct StreamCosts {
  int inputBytes = 1;   // one input voxel in the file's type
  int outputBytes = 1;  // one output voxel in the file's type
};

// Bricks of equal interior size (smaller at the far faces), numbered x
// fastest, then y, then z: the bricks of one z-layer form a slab.
struct BrickPlan {
  Extent whole;
  Extent brick;            // interior size of a full brick
  Extent bricks;           // how many along each axis
  int64_t peakBytes = 0;   // the most one brick needs, its buffers and runBrick's together
  std::string error;       // empty when the plan is usable; else what is wrong

  bool ok() const { return error.empty(); }
  int64_t count() const { return bricks.x * bricks.y * bricks.z; }
  // The interior of brick `index` (0 <= index < count()).
  Box interior(int64_t index) const;
};

// Memory for filtering one brick of interior size `brick` (at worst, away
// from the faces): its float input box and result, runBrick's own buffers
// and the caller's plane buffers.
int64_t brickBytes(Extent brick, Extent whole, const FilterParams& params, StreamCosts costs);

// The largest near-cubic bricks whose run fits in `budgetBytes`: fewer,
// larger bricks re-read less halo. Arithmetic only, for any size of volume;
// the plan's error says why nothing fits.
BrickPlan planBricks(Extent whole, const FilterParams& params, int64_t budgetBytes,
                     StreamCosts costs = {});

}  // namespace voluna
