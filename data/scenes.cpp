#include "scenes.h"

#include <algorithm>
#include <cmath>
#include <limits>

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

namespace voluna {

namespace {

struct Point {
  double x, y, z;
};

Point operator+(Point a, Point b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Point operator-(Point a, Point b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Point operator*(double s, Point a) { return {s * a.x, s * a.y, s * a.z}; }
double dot(Point a, Point b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double norm(Point a) { return std::sqrt(dot(a, a)); }
Point unit(Point a) { return (1.0 / norm(a)) * a; }

Point randomDirection(Random& random) {
  for (;;) {
    const Point p = {random.gaussian(), random.gaussian(), random.gaussian()};
    if (norm(p) > 1e-3) return unit(p);
  }
}

// A unit vector at right angles to u, otherwise random.
Point randomNormalTo(Point u, Random& random) {
  for (;;) {
    const Point p = randomDirection(random);
    const Point q = p - dot(p, u) * u;
    if (norm(q) > 1e-3) return unit(q);
  }
}

double between(Random& random, double lo, double hi) { return lo + (hi - lo) * random.uniform(); }

// A tube of radius r around a straight line or around a circle.
struct Tube {
  Point centre;      // a point of the line, or the circle's centre
  Point axis;        // the line's direction, or the normal of the circle's plane
  double bend = 0;   // the circle's radius; 0 for a straight line
  double radius = 1;

  double signedDistance(Point p) const {
    const Point v = p - centre;
    const double along = dot(v, axis);
    const Point across = v - along * axis;
    if (bend == 0) return norm(across) - radius;
    const double inPlane = norm(across) - bend;
    return std::sqrt(inPlane * inPlane + along * along) - radius;
  }
};

// A shell of thickness t around a sphere (radius about a point) or a
// cylinder (radius about a line).
struct Shell {
  Point centre;
  Point axis;  // the cylinder's axis; zero for a sphere
  double radius = 10, thickness = 2;

  double signedDistance(Point p) const {
    const Point v = p - centre;
    const double r = norm(v - dot(v, axis) * axis);
    return std::fabs(r - radius) - 0.5 * thickness;
  }
};

// Structure 200 on background 50 where the signed distance (of a point in
// millimetres) is at most 0, with partial volume at the surface: voxels
// closer to it than half their diagonal take the share of 4^3 points of
// their extent that lie inside. Noise is drawn in voxel order.
template <class SignedDistance>
Scene partialVolumeScene(Dims dims, const double (&spacing)[3], float noiseSigma, uint64_t seed,
                         SignedDistance signedDistance) {
  constexpr float kBackground = 50.0f, kStructure = 200.0f;
  constexpr int kSub = 4;
  Scene scene;
  scene.dims = dims;
  std::copy(spacing, spacing + 3, scene.spacing);
  const size_t count = static_cast<size_t>(dims.count());
  scene.clean.resize(count);
  scene.noisy.resize(count);
  scene.inside.resize(count);
  scene.surfaceDistance.resize(count);
  const double halfDiagonal =
      0.5 * std::sqrt(spacing[0] * spacing[0] + spacing[1] * spacing[1] + spacing[2] * spacing[2]);
  Random random(seed);
  for (int z = 0; z < dims.z; ++z)
    for (int y = 0; y < dims.y; ++y)
      for (int x = 0; x < dims.x; ++x) {
        const Point centre = {x * spacing[0], y * spacing[1], z * spacing[2]};
        const double distance = signedDistance(centre);
        double share = distance <= 0.0 ? 1.0 : 0.0;
        if (std::fabs(distance) < halfDiagonal) {
          int in = 0;
          for (int k = 0; k < kSub; ++k)
            for (int j = 0; j < kSub; ++j)
              for (int i = 0; i < kSub; ++i) {
                const Point offset = {((i + 0.5) / kSub - 0.5) * spacing[0],
                                      ((j + 0.5) / kSub - 0.5) * spacing[1],
                                      ((k + 0.5) / kSub - 0.5) * spacing[2]};
                in += signedDistance(centre + offset) <= 0.0;
              }
          share = in / double(kSub * kSub * kSub);
        }
        const size_t i = static_cast<size_t>(dims.index(x, y, z));
        scene.inside[i] = distance <= 0.0 ? 1 : 0;
        scene.surfaceDistance[i] = static_cast<float>(distance);
        scene.clean[i] = kBackground + static_cast<float>(share) * (kStructure - kBackground);
        scene.noisy[i] = scene.clean[i] + noiseSigma * static_cast<float>(random.gaussian());
      }
  return scene;
}

template <class Shape>
double nearest(const std::vector<Shape>& shapes, Point p) {
  double best = 1e30;
  for (const Shape& s : shapes) best = std::min(best, s.signedDistance(p));
  return best;
}

// Geometry comes from its own stream, so a seed's noise does not depend on
// how many numbers its geometry drew.
Random geometryRandom(uint64_t seed) { return Random(seed ^ 0x5DEECE66DA3B1F27ull); }

// Five tubes of the given radii through the middle of a cube of edge
// `extent` millimetres, straight or bent, at random orientations.
std::vector<Tube> randomVessels(double extent, const double (&radii)[5], Random& random) {
  std::vector<Tube> tubes;
  for (double radius : radii) {
    Tube t;
    t.radius = radius;
    if (random.uniform() < 0.5) {
      t.centre = {between(random, 0.3, 0.7) * extent, between(random, 0.3, 0.7) * extent,
                  between(random, 0.3, 0.7) * extent};
      t.axis = randomDirection(random);
    } else {
      t.centre = {between(random, 0.25, 0.75) * extent, between(random, 0.25, 0.75) * extent,
                  between(random, 0.25, 0.75) * extent};
      t.axis = randomDirection(random);
      t.bend = between(random, 0.25, 0.45) * extent;
    }
    tubes.push_back(t);
  }
  return tubes;
}

}  // namespace

Scene vessels(int size, float noiseSigma, uint64_t seed) {
  Random random = geometryRandom(seed);
  const std::vector<Tube> tubes = randomVessels(size, {1.0, 1.5, 2.0, 2.5, 3.5}, random);
  return partialVolumeScene(Dims{size, size, size}, {1, 1, 1}, noiseSigma, seed,
                            [&](Point p) { return nearest(tubes, p); });
}

Scene curvedSheets(int size, float noiseSigma, uint64_t seed) {
  Random random = geometryRandom(seed);
  const Point middle = {0.5 * (size - 1), 0.5 * (size - 1), 0.5 * (size - 1)};
  std::vector<Shell> shells;
  for (int s = 0; s < 3; ++s) {
    Shell shell;
    shell.thickness = between(random, 2.0, 3.0);
    // Centres far outside make gently curved sheets through the middle.
    const double away = between(random, 0.7, 1.4) * size;
    shell.centre = middle + away * randomDirection(random);
    if (s == 1) {
      shell.axis = randomNormalTo(unit(shell.centre - middle), random);
    } else {
      shell.axis = {0, 0, 0};
    }
    const Point toMiddle = middle - shell.centre;
    const double reach = norm(toMiddle - dot(toMiddle, shell.axis) * shell.axis);
    shell.radius = reach + between(random, -0.15, 0.15) * size;
    shells.push_back(shell);
  }
  return partialVolumeScene(Dims{size, size, size}, {1, 1, 1}, noiseSigma, seed,
                            [&](Point p) { return nearest(shells, p); });
}

Scene fibreBundles(int size, float noiseSigma, uint64_t seed) {
  Random random = geometryRandom(seed);
  const Point middle = {0.5 * (size - 1), 0.5 * (size - 1), 0.5 * (size - 1)};
  const Point first = randomDirection(random);
  const double angle = between(random, 50.0, 90.0) * 3.14159265358979 / 180.0;
  const Point second = std::cos(angle) * first + std::sin(angle) * randomNormalTo(first, random);
  std::vector<Tube> fibres;
  for (const Point axis : {first, second}) {
    const Point e1 = randomNormalTo(axis, random);
    const Point e2 = {axis.y * e1.z - axis.z * e1.y, axis.z * e1.x - axis.x * e1.z,
                      axis.x * e1.y - axis.y * e1.x};
    const double pitch = between(random, 3.5, 4.0);
    const double bundleRadius = between(random, 0.18, 0.24) * size;
    const Point centre = middle + (between(random, -0.05, 0.05) * size) * e1;
    const int n = static_cast<int>(bundleRadius / pitch);
    for (int a = -n; a <= n; ++a)
      for (int b = -n; b <= n; ++b) {
        if (std::hypot(a, b) * pitch > bundleRadius) continue;
        Tube t;
        t.centre = centre + (a * pitch) * e1 + (b * pitch) * e2;
        t.axis = axis;
        t.radius = between(random, 0.9, 1.1);
        fibres.push_back(t);
      }
  }
  return partialVolumeScene(Dims{size, size, size}, {1, 1, 1}, noiseSigma, seed,
                            [&](Point p) { return nearest(fibres, p); });
}

Scene anisotropicVessels(int size, float noiseSigma, uint64_t seed) {
  Random random = geometryRandom(seed);
  const std::vector<Tube> tubes = randomVessels(size, {1.5, 2.0, 2.5, 3.0, 3.5}, random);
  const int slices = static_cast<int>(std::lround(size / 2.5));
  return partialVolumeScene(Dims{size, size, slices}, {1.0, 1.0, 2.5}, noiseSigma, seed,
                            [&](Point p) { return nearest(tubes, p); });
}

Scene sceneFromClean(Dims dims, const double (&spacing)[3], std::vector<float> clean,
                     float noiseSigma, bool rician, float edgeGradient, uint64_t seed) {
  Scene scene;
  scene.dims = dims;
  std::copy(spacing, spacing + 3, scene.spacing);
  const size_t count = static_cast<size_t>(dims.count());
  scene.noisy.resize(count);
  Random random(seed);
  for (size_t i = 0; i < count; ++i) {
    const double real = clean[i] + noiseSigma * random.gaussian();
    if (rician) {
      const double imaginary = noiseSigma * random.gaussian();
      scene.noisy[i] = static_cast<float>(std::sqrt(real * real + imaginary * imaginary));
    } else {
      scene.noisy[i] = static_cast<float>(real);
    }
  }
  // Edge voxels: central differences, one-sided at the faces.
  scene.inside.assign(count, 0);
  auto at = [&](int x, int y, int z) { return clean[static_cast<size_t>(dims.index(x, y, z))]; };
  for (int z = 0; z < dims.z; ++z)
    for (int y = 0; y < dims.y; ++y)
      for (int x = 0; x < dims.x; ++x) {
        auto derivative = [&](int dx, int dy, int dz, int extent, int pos, double h) {
          const int lo = pos > 0 ? -1 : 0, hi = pos + 1 < extent ? 1 : 0;
          if (hi == lo) return 0.0;
          return (at(x + hi * dx, y + hi * dy, z + hi * dz) - at(x + lo * dx, y + lo * dy, z + lo * dz)) /
                 ((hi - lo) * h);
        };
        const double gx = derivative(1, 0, 0, dims.x, x, spacing[0]);
        const double gy = derivative(0, 1, 0, dims.y, y, spacing[1]);
        const double gz = derivative(0, 0, 1, dims.z, z, spacing[2]);
        scene.inside[static_cast<size_t>(dims.index(x, y, z))] =
            std::sqrt(gx * gx + gy * gy + gz * gz) >= edgeGradient;
      }
  constexpr int kReach = 3;
  scene.surfaceDistance.assign(count, std::numeric_limits<float>::infinity());
  for (int z = 0; z < dims.z; ++z)
    for (int y = 0; y < dims.y; ++y)
      for (int x = 0; x < dims.x; ++x) {
        float best = std::numeric_limits<float>::infinity();
        for (int k = std::max(0, z - kReach); k <= std::min(dims.z - 1, z + kReach); ++k)
          for (int j = std::max(0, y - kReach); j <= std::min(dims.y - 1, y + kReach); ++j)
            for (int i = std::max(0, x - kReach); i <= std::min(dims.x - 1, x + kReach); ++i) {
              if (!scene.inside[static_cast<size_t>(dims.index(i, j, k))]) continue;
              const double d = std::sqrt(std::pow((i - x) * spacing[0], 2) +
                                         std::pow((j - y) * spacing[1], 2) +
                                         std::pow((k - z) * spacing[2], 2));
              best = std::min(best, static_cast<float>(d));
            }
        scene.surfaceDistance[static_cast<size_t>(dims.index(x, y, z))] = best;
      }
  scene.clean = std::move(clean);
  return scene;
}

}  // namespace voluna
