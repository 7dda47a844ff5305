#include "padded_volume.h"

#include <algorithm>
#include <cmath>

namespace voluna {

bool PaddedVolume::fits(Dims dims, int margin) {
  const int64_t stride = int64_t{dims.x} + 2 * int64_t{margin};
  return stride * dims.y * dims.z < (int64_t{1} << 31);
}

PaddedVolume::PaddedVolume(const float* volume, Dims dims, int margin, int threads)
    : margin_(margin), rowStride_(dims.x + 2 * margin) {
  const int64_t rows = int64_t{dims.y} * dims.z;
  data_.resize(static_cast<size_t>(rowStride_ * rows));
  bool allFinite = true;
  float maxMagnitude = 0.0f;
#pragma omp parallel for schedule(static) num_threads(threads) reduction(&& : allFinite) \
    reduction(max : maxMagnitude)
  for (int64_t row = 0; row < rows; ++row) {
    const float* in = volume + row * dims.x;
    float* out = data_.data() + row * rowStride_;
    std::fill(out, out + margin, in[0]);
    std::copy(in, in + dims.x, out + margin);
    std::fill(out + margin + dims.x, out + rowStride_, in[dims.x - 1]);
    for (int x = 0; x < dims.x; ++x) {
      if (!std::isfinite(in[x])) {
        allFinite = false;
      } else {
        maxMagnitude = std::max(maxMagnitude, std::fabs(in[x]));
      }
    }
  }
  allFinite_ = allFinite;
  maxMagnitude_ = maxMagnitude;
}

}  // namespace voluna
