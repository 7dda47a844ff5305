#include "scenes.h"

#include <algorithm>
#include <cmath>

namespace voluna {

namespace {

// splitmix64: tiny, and the same stream on every platform, unlike the
// standard library's distributions.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}

  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in (0, 1].
  double uniform() { return (static_cast<double>(next() >> 11) + 1.0) * 0x1.0p-53; }
  // Box-Muller; one value per call keeps the stream simple.
  double gaussian() {
    return std::sqrt(-2.0 * std::log(uniform())) * std::cos(6.283185307179586 * uniform());
  }

 private:
  uint64_t state_;
};

double distanceToLine(double px, double py, double pz, double cx, double cy, double cz,
                      double dx, double dy, double dz) {
  const double vx = px - cx, vy = py - cy, vz = pz - cz;
  const double along = vx * dx + vy * dy + vz * dz;
  const double ox = vx - along * dx, oy = vy - along * dy, oz = vz - along * dz;
  return std::sqrt(ox * ox + oy * oy + oz * oz);
}

}  // namespace

// Bright structure (200) on a darker background (50), structure where the
// signed distance is at most 0, noise added voxel by voxel in voxel order.
template <class SignedDistance>
Scene sceneFrom(int size, float noiseSigma, uint64_t seed, SignedDistance signedDistance) {
  constexpr float kBackground = 50.0f, kStructure = 200.0f;
  Scene scene;
  scene.dims = {size, size, size};
  const size_t count = static_cast<size_t>(scene.dims.count());
  scene.clean.resize(count);
  scene.noisy.resize(count);
  scene.inside.resize(count);
  scene.surfaceDistance.resize(count);
  Random random(seed);
  for (int z = 0; z < size; ++z)
    for (int y = 0; y < size; ++y)
      for (int x = 0; x < size; ++x) {
        const double distance = signedDistance(x, y, z);
        const bool in = distance <= 0.0;
        const size_t i = static_cast<size_t>(scene.dims.index(x, y, z));
        scene.inside[i] = in ? 1 : 0;
        scene.surfaceDistance[i] = static_cast<float>(distance);
        scene.clean[i] = in ? kStructure : kBackground;
        scene.noisy[i] = scene.clean[i] + noiseSigma * static_cast<float>(random.gaussian());
      }
  return scene;
}

Scene crossingTubes(int size, float radius, float noiseSigma, uint64_t seed) {
  const double c = 0.5 * (size - 1);
  const double diagonal = std::sqrt(0.5);
  return sceneFrom(size, noiseSigma, seed, [&](int x, int y, int z) {
    const double d1 = distanceToLine(x, y, z, c, c, c, 1, 0, 0);
    const double d2 = distanceToLine(x, y, z, c, c, c, 0, diagonal, diagonal);
    return std::min(d1, d2) - radius;
  });
}

Scene thinTubes(int size, float radius, float noiseSigma, uint64_t seed) {
  const double c = 0.5 * (size - 1);
  const double diagonal = std::sqrt(0.5);
  return sceneFrom(size, noiseSigma, seed, [&](int x, int y, int z) {
    const double d1 = distanceToLine(x, y, z, c, c, c, 1, 0, 0);
    const double d2 = distanceToLine(x, y, z, c, c, c, 0, diagonal, diagonal);
    const double d3 = distanceToLine(x, y, z, c, c, c, diagonal, diagonal, 0);
    return std::min({d1, d2, d3}) - radius;
  });
}

Scene sphericalShell(int size, float radius, float thickness, float noiseSigma, uint64_t seed) {
  const double c = 0.5 * (size - 1);
  return sceneFrom(size, noiseSigma, seed, [&](int x, int y, int z) {
    const double r = std::sqrt((x - c) * (x - c) + (y - c) * (y - c) + (z - c) * (z - c));
    return std::fabs(r - radius) - 0.5 * thickness;
  });
}

std::vector<uint8_t> constantBytes(Dims dims, uint8_t value) {
  return std::vector<uint8_t>(static_cast<size_t>(dims.count()), value);
}

std::vector<uint8_t> toBytes(const std::vector<float>& values) {
  std::vector<uint8_t> bytes(values.size());
  std::transform(values.begin(), values.end(), bytes.begin(), [](float v) {
    return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
  });
  return bytes;
}

std::vector<uint8_t> noiseBytes(Dims dims, uint64_t seed) {
  Random random(seed);
  std::vector<uint8_t> bytes(static_cast<size_t>(dims.count()));
  for (auto& b : bytes) b = static_cast<uint8_t>(random.next() >> 56);
  return bytes;
}

}  // namespace voluna
