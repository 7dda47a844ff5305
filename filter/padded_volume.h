// A copy of the volume whose rows are widened by replicated edge voxels, so
// that a run of consecutive x voxels can be read with one contiguous load even
// where the clamped sampler would read the face voxel.
#pragma once

#include <cstdint>
#include <vector>

#include "dims.h"

namespace voluna {

class PaddedVolume {
 public:
  // `margin` (at least 1) voxels are added on each side of every row. Voxel (x, y, z) lies at origin()[x + rowStride() * (y + Y * z)],
  // and origin()[i + rowStride() * row] for i in [-margin, X + margin) holds
  // the value of voxel clamp(i, 0, X - 1) of that row.
  PaddedVolume(const float* volume, Dims dims, int margin, int threads);

  // False when the padded copy would hold 2^31 elements or more, the limit
  // of the 32-bit offsets the search uses.
  static bool fits(Dims dims, int margin);

  const float* origin() const { return data_.data() + margin_; }
  int rowStride() const { return rowStride_; }
  int margin() const { return margin_; }

  // True when every voxel is finite and at most `bound` in magnitude; the
  // pruning of the direction search relies on it.
  bool boundedBy(float bound) const { return allFinite_ && maxMagnitude_ <= bound; }

 private:
  std::vector<float> data_;
  int margin_ = 0;
  int rowStride_ = 0;
  bool allFinite_ = true;
  float maxMagnitude_ = 0.0f;
};

}  // namespace voluna
