// The integration stage of the fast CPU path: the plain per-voxel arithmetic
// over the index field (per voxel the index of its direction in the set),
// several voxels at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "device.h"
#include "dims.h"

namespace voluna {

// The direction set as the integration reads it: four floats a direction,
// x, y, z and 0.
std::vector<float> directionRows(const std::vector<Vec3>& directions);

// Writes out[i] for every voxel of rows [rowBegin, rowEnd) (row y + Y * z),
// `chosen` holding per voxel the index of its row in `table4`.
void integrateRows(const float* volume, Dims dims, const uint16_t* chosen, const float* table4,
                   int steps, int64_t rowBegin, int64_t rowEnd, float* out);

}  // namespace voluna
