#include "denoise_params.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "direction_set.h"

namespace voluna {

namespace {

// Beyond these a run reads thousands of voxels per voxel, or a line more
// than a thousand voxels away: no setting worth running.
constexpr float kMaxRadius = 16.0f;
constexpr int kMaxLineSamples = 64;
constexpr float kMaxSpacingRatio = 1000.0f;

bool finitePositive(float v) { return std::isfinite(v) && v > 0.0f; }

std::string shown(float v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(v));
  return text;
}

// Voxels along an axis of spacing s (in units of the finest) within `radius`.
int halfWidth(float radius, float s) {
  return static_cast<int>(std::floor(static_cast<double>(radius) / s + 1e-6));
}

// The whole number of voxels nearest to `radius` along that axis: the
// search box keeps a slice or two across coarse slices rather than none.
int nearestWidth(float radius, float s) {
  return static_cast<int>(std::floor(static_cast<double>(radius) / s + 0.5));
}

}  // namespace

std::string checkDenoiseParams(const DenoiseParams& p) {
  if (!std::isfinite(p.noise) || p.noise < 0.0f) {
    return "the noise level must be a finite number of at least 0 (got " + shown(p.noise) + ")";
  }
  const float s[3] = {p.spacing.x, p.spacing.y, p.spacing.z};
  for (float v : s) {
    if (!finitePositive(v)) {
      return "the spacing must be three finite lengths above 0 (got " + shown(s[0]) + " x " +
             shown(s[1]) + " x " + shown(s[2]) + ")";
    }
  }
  if (*std::max_element(s, s + 3) > kMaxSpacingRatio * *std::min_element(s, s + 3)) {
    return "the spacing " + shown(s[0]) + " x " + shown(s[1]) + " x " + shown(s[2]) +
           " is more than 1000 times coarser along one axis than along another";
  }
  if (!finitePositive(p.searchRadius) || p.searchRadius > kMaxRadius ||
      !finitePositive(p.averageRadius) || p.averageRadius > kMaxRadius) {
    return "the search and average radii must be above 0 and at most 16 (got " +
           shown(p.searchRadius) + " and " + shown(p.averageRadius) + ")";
  }
  if (!finitePositive(p.pilotStrength) || !finitePositive(p.finalStrength)) {
    return "the strengths must be above 0 (got " + shown(p.pilotStrength) + " and " +
           shown(p.finalStrength) + ")";
  }
  if (p.lineAngleStep < 1 || p.lineAngleStep > 180) {
    return "the lines' angle step must be 1 to 180 degrees (got " + std::to_string(p.lineAngleStep) + ")";
  }
  if (p.lineSamples < 0 || p.lineSamples > kMaxLineSamples) {
    return "the samples along each line must be 0 to 64 (got " + std::to_string(p.lineSamples) + ")";
  }
  if (!finitePositive(p.lineStep) || p.lineStep * static_cast<float>(p.lineSamples) > kMaxRadius) {
    return "the line step must be above 0, and samples times step at most 16 (got " +
           shown(p.lineStep) + ")";
  }
  return {};
}

std::vector<Vec3> uniqueLines(int angleStep) {
  const std::vector<Vec3> all = buildDirectionSet(angleStep);
  std::vector<Vec3> lines;
  // Table entries that are one line agree to within rounding, far below
  // the angle step.
  constexpr float kSame = 1e-3f;
  auto near = [](Vec3 a, Vec3 b) {
    return std::fabs(a.x - b.x) <= kSame && std::fabs(a.y - b.y) <= kSame && std::fabs(a.z - b.z) <= kSame;
  };
  for (const Vec3& d : all) {
    const bool seen = std::any_of(lines.begin(), lines.end(), [&](const Vec3& e) {
      return near(d, e) || near(d, {-e.x, -e.y, -e.z});
    });
    if (!seen) lines.push_back(d);
  }
  return lines;
}

namespace {

// The sampler's axis arithmetic (cpu_sampler.h) for an offset from a voxel
// centre instead of a texture coordinate: the same 8-bit fraction wherever
// the voxel lies, so every backend reads a line sample from one table.
void axisOffset(float delta, int& cell, float& w0, float& w1) {
  const float q = std::floor(delta * 256.0f + 0.5f);
  const float c = std::floor(q / 256.0f);
  const float f = q - 256.0f * c;
  cell = static_cast<int>(c);
  w0 = (256.0f - f) / 256.0f;
  w1 = f / 256.0f;
}

LineTap tapAt(Vec3 delta) {
  LineTap tap;
  float wx[2], wy[2], wz[2];
  axisOffset(delta.x, tap.cell[0], wx[0], wx[1]);
  axisOffset(delta.y, tap.cell[1], wy[0], wy[1]);
  axisOffset(delta.z, tap.cell[2], wz[0], wz[1]);
  for (int cz = 0; cz < 2; ++cz)
    for (int cy = 0; cy < 2; ++cy)
      for (int cx = 0; cx < 2; ++cx) tap.weight[cz * 4 + cy * 2 + cx] = (wx[cx] * wy[cy]) * wz[cz];
  return tap;
}

// The Rician table covers means up to this many sigma, in this many steps;
// beyond, the mean is within 0.1 % of sigma of sqrt(A^2 + sigma^2).
constexpr double kAmplitudeEnd = 8.0;
constexpr double kPi = 3.14159265358979323846;
constexpr int kAmplitudeSteps = 512;

// The mean of a Rician magnitude of signal a and noise 1:
// sqrt(pi / 2) L(-a^2 / 2), L the Laguerre polynomial of order 1/2.
double ricianMean(double a) {
  const double x = -0.5 * a * a;
  const double e = std::exp(x / 2.0);
  return std::sqrt(kPi / 2.0) * e * ((1.0 - x) * std::cyl_bessel_i(0.0, -x / 2.0) - x * std::cyl_bessel_i(1.0, -x / 2.0));
}

// amplitude(t): the signal whose mean magnitude is t (noise 1), 0 below the
// mean of pure noise; the mean rises with the signal, so bisection finds it.
std::vector<float> ricianAmplitudeTable() {
  std::vector<float> table(kAmplitudeSteps + 1);
  for (int i = 0; i <= kAmplitudeSteps; ++i) {
    const double t = kAmplitudeEnd * i / kAmplitudeSteps;
    double lo = 0.0, hi = t + 1.0;
    if (ricianMean(0.0) >= t) {
      table[i] = 0.0f;
      continue;
    }
    for (int k = 0; k < 60; ++k) {
      const double mid = 0.5 * (lo + hi);
      (ricianMean(mid) < t ? lo : hi) = mid;
    }
    table[i] = static_cast<float>(0.5 * (lo + hi));
  }
  return table;
}

float clampedReciprocal(double v) { return static_cast<float>(std::min(1.0 / v, double{FLT_MAX})); }

}  // namespace

DenoiseStencil buildDenoiseStencil(const DenoiseParams& p) {
  DenoiseStencil st;
  const float finest = std::min({p.spacing.x, p.spacing.y, p.spacing.z});
  const float s[3] = {p.spacing.x / finest, p.spacing.y / finest, p.spacing.z / finest};

  const int hw[3] = {nearestWidth(p.searchRadius, s[0]), nearestWidth(p.searchRadius, s[1]),
                     nearestWidth(p.searchRadius, s[2])};
  for (int z = -hw[2]; z <= hw[2]; ++z)
    for (int y = -hw[1]; y <= hw[1]; ++y)
      for (int x = -hw[0]; x <= hw[0]; ++x)
        if (x != 0 || y != 0 || z != 0) st.window.push_back({x, y, z});

  const int bw[3] = {halfWidth(p.averageRadius, s[0]), halfWidth(p.averageRadius, s[1]),
                     halfWidth(p.averageRadius, s[2])};
  const double r2 = static_cast<double>(p.averageRadius) * p.averageRadius + 1e-6;
  for (int z = -bw[2]; z <= bw[2]; ++z)
    for (int y = -bw[1]; y <= bw[1]; ++y)
      for (int x = -bw[0]; x <= bw[0]; ++x) {
        const double dx = x * double{s[0]}, dy = y * double{s[1]}, dz = z * double{s[2]};
        if (dx * dx + dy * dy + dz * dz <= r2) st.ball.push_back({x, y, z});
      }

  int tapReach[3] = {0, 0, 0};
  for (const Vec3& d : uniqueLines(p.lineAngleStep)) {
    const Vec3 step = {p.lineStep * d.x / s[0], p.lineStep * d.y / s[1], p.lineStep * d.z / s[2]};
    // Step by step in each direction, as the filter's walks go.
    for (const float sign : {-1.0f, 1.0f}) {
      Vec3 delta = {0.0f, 0.0f, 0.0f};
      for (int k = 1; k <= p.lineSamples; ++k) {
        delta = {delta.x + sign * step.x, delta.y + sign * step.y, delta.z + sign * step.z};
        const LineTap tap = tapAt(delta);
        for (int a = 0; a < 3; ++a) {
          tapReach[a] = std::max({tapReach[a], std::abs(tap.cell[a]), std::abs(tap.cell[a] + 1)});
        }
        st.taps.push_back(tap);
      }
    }
  }

  st.patchRadius = 1;
  const double sigma = p.noise;
  const double h1 = p.pilotStrength * sigma, h2 = p.finalStrength * sigma;
  const int patch = 2 * st.patchRadius + 1;
  st.c1 = clampedReciprocal(patch * patch * patch * h1 * h1);
  st.c2 = static_cast<float>(2.0 / (double{p.pilotStrength} * p.pilotStrength));
  st.c3 = clampedReciprocal(2.0 * h2 * h2);
  st.c4 = clampedReciprocal(patch * patch * patch * 2.0 * h2 * h2);
  st.pilotReach = {hw[0] + st.patchRadius, hw[1] + st.patchRadius, hw[2] + st.patchRadius};
  const int r = st.patchRadius;
  st.finalReach = {std::max(bw[0] + r, tapReach[0]), std::max(bw[1] + r, tapReach[1]),
                   std::max(bw[2] + r, tapReach[2])};
  if (p.rician) {
    st.amplitude = ricianAmplitudeTable();
    st.amplitudeScale = static_cast<float>(kAmplitudeSteps / kAmplitudeEnd);
    st.sigma = p.noise;
    st.floor = p.floor;
  }
  return st;
}

}  // namespace voluna
