// Volume dimensions and the shared voxel order.
#pragma once

#include <cstdint>
#include <string>

namespace voluna {

// Every per-voxel array is indexed x fastest, then y, then z, with signed
// 32-bit indices: a volume must hold fewer than 2^31 voxels.
struct Dims {
  int x = 0, y = 0, z = 0;

  int64_t count() const { return int64_t{x} * y * z; }
  int index(int i, int j, int k) const { return i + x * (j + y * k); }
};

constexpr int64_t kMaxVoxels = (int64_t{1} << 31) - 1;

// Empty when the dimensions are usable, else a sentence saying what is wrong.
std::string checkDimensions(const Dims& dims);

}  // namespace voluna
