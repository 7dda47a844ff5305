// Volumes the box and backend tests share.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "box.h"
#include "denoise_params.h"
#include "dims.h"

namespace voluna::test_support {

// Smooth structure plus noise of up to `noise` bytes, in whole bytes like
// every real input, so that the search scores many directions and the
// field bends. With `holes`, a NaN and an infinity, which must stay holes
// and count for nothing.
inline std::vector<float> structuredVolume(Dims d, uint32_t seed, int noise, bool holes) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> draw(-noise, noise);
  std::vector<float> v(static_cast<size_t>(d.count()));
  for (int z = 0; z < d.z; ++z)
    for (int y = 0; y < d.y; ++y)
      for (int x = 0; x < d.x; ++x) {
        const double s = 120 + 90 * std::sin(0.7 * x + 0.3 * y) * std::cos(0.45 * z - 0.2 * y);
        const int byte = std::clamp(static_cast<int>(s) + draw(random), 0, 255);
        v[static_cast<size_t>(d.index(x, y, z))] = static_cast<float>(byte) / 255.0f;
      }
  if (holes) {
    v[static_cast<size_t>(d.index(1, 2, 1))] = std::numeric_limits<float>::quiet_NaN();
    v[static_cast<size_t>(d.index(d.x - 3, d.y / 2, d.z - 2))] = std::numeric_limits<float>::infinity();
  }
  return v;
}

// The voxels of `b` from a whole volume, x fastest.
inline std::vector<float> copyBox(const std::vector<float>& v, Dims d, const Box& b) {
  std::vector<float> out;
  out.reserve(static_cast<size_t>(b.count()));
  for (int64_t z = b.z0; z < b.z1; ++z)
    for (int64_t y = b.y0; y < b.y1; ++y)
      for (int64_t x = b.x0; x < b.x1; ++x)
        out.push_back(v[static_cast<size_t>(d.index(int(x), int(y), int(z)))]);
  return out;
}

// Small denoiser stencils keep the plain path quick; the arithmetic is the
// same as at full size.
inline DenoiseParams smallDenoiseParams(Vec3 spacing = {1, 1, 1}) {
  DenoiseParams p;
  p.noise = 0.08f;
  p.spacing = spacing;
  p.searchRadius = 2;
  p.averageRadius = 3;
  p.lineSamples = 3;
  p.lineAngleStep = 45;
  return p;
}

}  // namespace voluna::test_support
