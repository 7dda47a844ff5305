#include "dims.h"

namespace voluna {

std::string checkDimensions(const Dims& dims) {
  if (dims.x < 1 || dims.y < 1 || dims.z < 1) {
    return "the volume has no voxels (dimensions " + std::to_string(dims.x) + " x " +
           std::to_string(dims.y) + " x " + std::to_string(dims.z) + ")";
  }
  if (dims.count() > kMaxVoxels) {
    return "the volume has " + std::to_string(dims.count()) +
           " voxels; at most 2147483647 (2^31 - 1) are supported";
  }
  return {};
}

}  // namespace voluna
