// The integration stage of the fast CPU path: the plain per-voxel arithmetic
// over the index field (per voxel the index of its direction in the set),
// several voxels at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "box.h"
#include "device.h"
#include "dims.h"

namespace voluna {

// The direction set as the integration reads it: four floats a direction,
// x, y, z and 0.
std::vector<float> directionRows(const std::vector<Vec3>& directions);

// What the integration of one volume reads and writes. Each buffer holds the
// voxels of its box, x fastest; boxes are parts of one volume, in its
// coordinates. The samplers clamp at each buffer's faces, so an output voxel
// whose samples stay inside the buffers, or reach only faces they share
// with the volume, is the whole volume's result.
struct IntegrationJob {
  const float* volume;
  Box volumeBox;
  const uint16_t* chosen;  // per voxel the index of its row in table4
  Box chosenBox;
  const float* table4;
  int steps;
  float* out;
  Box outBox;
};

// Writes the output of every voxel in rows [rowBegin, rowEnd) (row
// y + height * z, counted from the box's corner) of `area`, which must lie
// inside job.outBox.
void integrateRows(const IntegrationJob& job, const Box& area, int64_t rowBegin, int64_t rowEnd);

}  // namespace voluna
