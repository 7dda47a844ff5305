#include "brick_plan.h"

#include <algorithm>

#include "bisection.h"
#include "denoise.h"

namespace voluna {

namespace {

int64_t ceilDiv(int64_t a, int64_t b) { return (a + b - 1) / b; }

Extent clampedCube(int64_t edge, Extent whole) {
  return {std::min(edge, whole.x), std::min(edge, whole.y), std::min(edge, whole.z)};
}

// The input box of a brick away from the faces, clipped only by the volume's size.
int64_t haloCount(Extent brick, Extent whole, int64_t reach) {
  return std::min(brick.x + 2 * reach, whole.x) * std::min(brick.y + 2 * reach, whole.y) *
         std::min(brick.z + 2 * reach, whole.z);
}

}  // namespace

Box BrickPlan::interior(int64_t index) const {
  const int64_t i = index % bricks.x, j = (index / bricks.x) % bricks.y,
                k = index / (bricks.x * bricks.y);
  return {i * brick.x,
          j * brick.y,
          k * brick.z,
          std::min(whole.x, (i + 1) * brick.x),
          std::min(whole.y, (j + 1) * brick.y),
          std::min(whole.z, (k + 1) * brick.z)};
}

int64_t brickBytes(Extent brick, Extent whole, const FilterParams& params, StreamCosts costs) {
  const int64_t reach = filterReach(params);
  const int64_t halo = haloCount(brick, whole, reach);
  if (params.denoise) {
    // A brick in the middle of the volume, where its boxes are largest.
    const Box middle{(whole.x - brick.x) / 2, (whole.y - brick.y) / 2, (whole.z - brick.z) / 2,
                     (whole.x + brick.x) / 2, (whole.y + brick.y) / 2, (whole.z + brick.z) / 2};
    const int64_t inputPlane = std::min(brick.x + 2 * reach, whole.x) * std::min(brick.y + 2 * reach, whole.y);
    return halo * 4 + brick.count() * 4 + denoiseWorkingBytes(middle, whole, params.denoising) +
           inputPlane * costs.inputBytes + brick.x * brick.y * costs.outputBytes;
  }
  // runBrick's own buffers for a brick away from the faces, where they are largest.
  const int64_t field = haloCount(brick, whole, params.integrationSteps) * 2;
  const int64_t cells = ceilDiv(std::min(brick.x + 2 * reach, whole.x), 8) *
                        ceilDiv(std::min(brick.y + 2 * reach, whole.y), 8) *
                        ceilDiv(std::min(brick.z + 2 * reach, whole.z), 8);
  const int64_t inputPlane =
      std::min(brick.x + 2 * reach, whole.x) * std::min(brick.y + 2 * reach, whole.y);
  // The fast path's copy of the input with widened rows.
  const int64_t padded = (std::min(brick.x + 2 * reach, whole.x) + 2 * kMaxSearchMargin) *
                         std::min(brick.y + 2 * reach, whole.y) *
                         std::min(brick.z + 2 * reach, whole.z) * 4;
  const int64_t fieldCells = ceilDiv(std::min(brick.x + 2 * params.integrationSteps, whole.x), 8) *
                             ceilDiv(std::min(brick.y + 2 * params.integrationSteps, whole.y), 8) *
                             ceilDiv(std::min(brick.z + 2 * params.integrationSteps, whole.z), 8);
  return halo * 4 + padded + brick.count() * 4 + field + cells * 5 + fieldCells +
         inputPlane * costs.inputBytes +
         brick.x * brick.y * costs.outputBytes;
}

BrickPlan planBricks(Extent whole, const FilterParams& params, int64_t budgetBytes,
                     StreamCosts costs) {
  BrickPlan plan;
  plan.whole = whole;
  plan.error = checkExtent(whole);
  if (plan.error.empty()) plan.error = checkParams(params);
  if (!plan.error.empty()) return plan;

  const int64_t reach = filterReach(params);
  auto fits = [&](int64_t edge) {
    const Extent brick = clampedCube(edge, whole);
    return haloCount(brick, whole, reach) <= kMaxVoxels &&
           brickBytes(brick, whole, params, costs) <= budgetBytes;
  };
  const int64_t largest = std::max({whole.x, whole.y, whole.z});
  if (!fits(1)) {
    plan.error = "a memory budget of " + std::to_string(budgetBytes) +
                 " bytes is too small for even one voxel with its halo of " +
                 std::to_string(reach) + " voxels; it needs at least " +
                 std::to_string(brickBytes(clampedCube(1, whole), whole, params, costs)) + " bytes";
    return plan;
  }
  // The cost grows with the edge: the largest edge that fits.
  Extent brick = clampedCube(largestFitting(largest, fits), whole);
  // Spread the volume evenly: the same number of bricks, none thinner than needed.
  brick = {ceilDiv(whole.x, ceilDiv(whole.x, brick.x)), ceilDiv(whole.y, ceilDiv(whole.y, brick.y)),
           ceilDiv(whole.z, ceilDiv(whole.z, brick.z))};
  plan.brick = brick;
  plan.bricks = {ceilDiv(whole.x, brick.x), ceilDiv(whole.y, brick.y), ceilDiv(whole.z, brick.z)};
  plan.peakBytes = brickBytes(brick, whole, params, costs);
  return plan;
}

}  // namespace voluna
