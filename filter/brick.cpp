#include "brick.h"

#include <algorithm>
#include <vector>

#include "box_run.h"
#include "constant_regions.h"
#include "direction_set.h"
#include "directional_filter.h"
#include "filter_method.h"

// The reach, derived from voxel_math.h and cpu_sampler.h.
//
// S = samples, T = integration steps. The axes are independent: the sampler
// taps each axis on its own, and every coordinate of a direction, and of a
// blended field value, lies in [-1, 1]. So take one axis and an output voxel
// at integer coordinate x. Coordinates stay below 2^23 (kMaxAxis), where
// integers and their halves are exact floats.
//
// (a) The sampler. At position p (texture coordinate p + 0.5) it reads the
//     voxels cell and cell + 1, clamped into the volume, where cell =
//     floor(round(256 (p + 0.5 - 0.5)) / 256). Every operation on the way is
//     monotone and integers are exact, so n - 1/512 <= p <= m + 1/512 for
//     integers n <= m gives n <= cell <= m: the reads stay in [n, m + 1].
//     The read of cell + 1 happens even when its weight is 0, and
//     fmaf(NaN or inf, 0, s) is NaN: every read counts, weighted or not.
//     Clamping at the volume's faces only moves reads inward.
// (b) The search at field voxel y walks y + k d and y - k d for k = 1..S,
//     one step of at most 1 at a time; rounding is monotone and y +- k is
//     exact, so every position lies in [y - S, y + S], and the field at y
//     reads the volume in [y - S, y + S + 1] (the edge-preserving centre
//     reads [y, y + 1]).
// (c) The integration from x. A field value is a blend of components in
//     [-1, 1] with weights that are multiples of 2^-24 and sum to 1; each
//     fused partial sum stays within the partial sum of the weights, so each
//     stage's slope lies in [-1, 1] and k1 + 2 k2 + 2 k3 + k4 in [-6, 6].
//     A step adds at most 6 kSixth = 1 + 2^-25, rounded once, so after k of
//     at most 1000 steps the position is within 1/512 of [x - k, x + k],
//     and a stage position p + k_i / 2 within half a voxel more. Steps
//     k = 0..T-1 sample the field within [x - T + 1/2, x + T - 1/2] (give
//     or take 1/512): cells x - T to x + T - 1, field voxels [x - T, x + T].
//     The volume is sampled at steps 0..T: reads in [x - T, x + T + 1].
// (d) So the output at x reads the field in [x - T, x + T], and through it
//     the volume in [x - T - S, x + T + S + 1], which also holds the
//     integration's own volume reads. The reach is S + T below and S + T + 1
//     above; filterReach gives S + T + 1 on both sides. Neither side can be
//     one less: an edge S + T below x changes the output at x, and so does
//     a NaN S + T + 1 above it, read with weight 0 (tests/filter/brick_test).
//
// A brick is exact because runBrick evaluates the same arithmetic at the
// same whole-volume coordinates; only the buffer index is taken relative to
// the boxes it holds, and its samplers clamp at those boxes' faces (the input
// box for the volume, the field box for the field). By (d) every read an
// interior voxel depends on lies inside those boxes, or beyond one of their
// faces that is also the volume's, where both clamps move it alike; reads of
// other voxels may clamp differently, and nothing depends on them. Positions
// relative to the brick would not do: float rounding depends on a
// coordinate's magnitude, so a shifted origin moves a walk's 8-bit weights
// now and then.

namespace voluna {

std::string checkExtent(Extent whole) {
  const std::string shown =
      std::to_string(whole.x) + " x " + std::to_string(whole.y) + " x " + std::to_string(whole.z);
  if (whole.x < 1 || whole.y < 1 || whole.z < 1) {
    return "the volume has no voxels (dimensions " + shown + ")";
  }
  if (whole.x > kMaxAxis || whole.y > kMaxAxis || whole.z > kMaxAxis) {
    return "the volume is " + shown + " voxels; bricked runs take at most " +
           std::to_string(kMaxAxis) + " voxels along an axis";
  }
  if (whole.x * whole.y > kMaxWholeVoxels / whole.z) {
    return "the volume is " + shown + " voxels, more than the 2^50 a bricked run can address";
  }
  return {};
}

int filterReach(const FilterParams& params) {
  return static_cast<int>(filterMethod(params, nullptr)->reach());
}

Box grownBox(const Box& interior, int64_t margin, Extent whole) {
  return {std::max<int64_t>(0, interior.x0 - margin), std::max<int64_t>(0, interior.y0 - margin),
          std::max<int64_t>(0, interior.z0 - margin), std::min(whole.x, interior.x1 + margin),
          std::min(whole.y, interior.y1 + margin), std::min(whole.z, interior.z1 + margin)};
}

Box haloBox(const Box& interior, Extent whole, const FilterParams& params) {
  return grownBox(interior, filterReach(params), whole);
}

namespace {

std::string describe(const Box& b) {
  return "[" + std::to_string(b.x0) + ", " + std::to_string(b.x1) + ") x [" +
         std::to_string(b.y0) + ", " + std::to_string(b.y1) + ") x [" + std::to_string(b.z0) +
         ", " + std::to_string(b.z1) + ")";
}

// Empty when `box`, a buffer called `what`, lies in the volume, holds
// `interior` grown by `margin` and fits a brick's buffer; else why not.
std::string checkHolds(const Box& box, const char* what, Extent whole, const Box& interior,
                       int64_t margin) {
  if (!Box::of(whole).contains(box)) {
    return std::string("the ") + what + " " + describe(box) + " is not inside the volume";
  }
  const Box needed = grownBox(interior, margin, whole);
  if (!box.contains(needed)) {
    return std::string("the ") + what + " " + describe(box) + " does not hold the brick's halo " +
           describe(needed) + " (the brick grown by " + std::to_string(margin) +
           " voxels, clipped at the volume's faces)";
  }
  if (box.count() > kMaxVoxels) {
    return std::string("the ") + what + " " + describe(box) + " has " +
           std::to_string(box.count()) + " voxels; a brick's buffer holds at most 2^31 - 1";
  }
  return {};
}

// Checks what every brick call shares, and the input box against `margin`.
std::string checkBrick(const Box& inputBox, Extent whole, const Box& interior,
                       const FilterParams& params, int64_t margin) {
  std::string problem = checkExtent(whole);
  if (problem.empty()) problem = checkParams(params);
  if (!problem.empty()) return problem;
  if (interior.empty() || !Box::of(whole).contains(interior)) {
    return "the brick " + describe(interior) + " is empty or not inside the volume";
  }
  return checkHolds(inputBox, "input box", whole, interior, margin);
}


}  // namespace

int searchReach(const FilterParams& params) { return params.samples + 1; }

int64_t brickWorkingBytes(const Box& interior, Extent whole, const FilterParams& params) {
  const Box fieldBox = grownBox(interior, params.integrationSteps, whole);
  const Box input = haloBox(interior, whole, params);
  const int64_t padded =
      (input.width() + 2 * kMaxSearchMargin) * input.height() * input.depth() *
      static_cast<int64_t>(sizeof(float));
  return fieldBox.count() * static_cast<int64_t>(sizeof(uint16_t)) + padded +
         ConstancyMap::bytesFor(input) + ZeroField::bytesFor(fieldBox);
}

FilterOutcome runBrick(const float* input, const Box& inputBox, Extent whole, const Box& interior,
                       const FilterParams& params, float* out, const FilterOptions& options) {
  const std::unique_ptr<BoxMethod> method = filterMethod(params, out);
  const std::string problem = checkBrick(inputBox, whole, interior, params, method->reach());
  if (!problem.empty()) return refusedOutcome(FilterOutcome::Status::InvalidInput, problem);
  return runOnBox(*method, {input, inputBox, whole}, interior, options, false);
}

FilterOutcome searchBrick(const float* input, const Box& inputBox, Extent whole,
                          const Box& interior, const FilterParams& params, uint16_t* chosen,
                          const FilterOptions& options) {
  const DirectionSearch method(params, chosen, kBrickStagesOnCpu);
  const std::string problem = checkBrick(inputBox, whole, interior, params, method.reach());
  if (!problem.empty()) return refusedOutcome(FilterOutcome::Status::InvalidInput, problem);
  return runOnBox(method, {input, inputBox, whole}, interior, options, false);
}

FilterOutcome integrateBrick(const float* input, const Box& inputBox, const uint16_t* chosen,
                             const Box& fieldBox, Extent whole, const Box& interior,
                             const FilterParams& params, float* out, const FilterOptions& options) {
  using Status = FilterOutcome::Status;
  const FieldIntegration method(params, chosen, fieldBox, out);
  std::string problem = checkBrick(inputBox, whole, interior, params, method.reach());
  if (problem.empty()) {
    problem = checkHolds(fieldBox, "field box", whole, interior, params.integrationSteps);
  }
  if (!problem.empty()) return refusedOutcome(Status::InvalidInput, problem);
  // The indices come from outside: one beyond the set would read past its table.
  const int count = directionCount(params.angleStep);
  const uint16_t* last = chosen + fieldBox.count();
  const uint16_t* stray = std::find_if(chosen, last, [&](uint16_t i) { return i >= count; });
  if (stray != last) {
    return refusedOutcome(Status::InvalidInput,
                   "the direction field holds index " + std::to_string(*stray) + ", beyond the " +
                       std::to_string(count) + " directions of angle step " +
                       std::to_string(params.angleStep) +
                       "; it must come from searchBrick with the same parameters");
  }
  return runOnBox(method, {input, inputBox, whole}, interior, options, false);
}

}  // namespace voluna
