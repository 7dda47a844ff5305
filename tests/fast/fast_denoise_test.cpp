// The denoiser's fast CPU path against its plain one: every result float
// must agree bit for bit, on every SIMD target this machine runs, whole
// volumes and boxes alike.
#include "fast_denoise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "byte_conversion.h"
#include "denoise.h"
#include "hwy/targets.h"
#include "noise_estimate.h"
#include "scenes.h"

namespace voluna {
namespace {

enum class Kind { Tubes, Noise, NonFinite, Sheets };

struct Case {
  const char* name;
  Dims dims;
  Vec3 spacing;
  float searchRadius, averageRadius;
  int lineSamples;
  Kind kind;
};

std::vector<float> unitFloats(const std::vector<uint8_t>& bytes) {
  return bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size()));
}

std::vector<float> volumeOf(const Case& c) {
  switch (c.kind) {
    case Kind::Tubes:
      return unitFloats(toBytes(crossingTubes(c.dims.x, c.dims.x / 5.0f, 25.0f, 3).noisy));
    case Kind::Sheets: {
      const Scene s = curvedSheets(c.dims.x, 25.0f, 4);
      return unitFloats(toBytes(s.noisy));
    }
    case Kind::NonFinite: {
      std::vector<float> v = unitFloats(noiseBytes(c.dims, 8));
      const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                                std::numeric_limits<float>::infinity(),
                                -std::numeric_limits<float>::infinity(), 3e38f, -1e20f, 1e-40f,
                                -0.0f};
      for (size_t i = 0; i < v.size(); i += 13) v[i] = specials[(i / 13) % 7];
      return v;
    }
    case Kind::Noise:
      break;
  }
  return unitFloats(noiseBytes(c.dims, static_cast<uint64_t>(c.dims.count())));
}

// Rows no multiple of any vector width, volumes thinner than the stencil,
// anisotropic spacings, holes and values near the float range's end.
const Case kCases[] = {
    {"tubes, defaults", {16, 16, 16}, {1, 1, 1}, 5, 6, 5, Kind::Tubes},
    {"sheets", {20, 20, 20}, {1, 1, 1}, 3, 3, 3, Kind::Sheets},
    {"noise, odd sizes", {13, 7, 5}, {1, 1, 1}, 3, 4, 4, Kind::Noise},
    {"one voxel wide", {1, 9, 6}, {1, 1, 1}, 2, 3, 3, Kind::Noise},
    {"one slice", {23, 17, 1}, {1, 1, 1}, 3, 4, 4, Kind::Noise},
    {"thinner than the stencil", {3, 4, 2}, {1, 1, 1}, 5, 6, 5, Kind::Noise},
    {"1 x 1 x 2.5", {17, 11, 7}, {1, 1, 2.5f}, 4, 5, 5, Kind::Noise},
    {"0.7 x 2 x 1", {12, 10, 9}, {0.7f, 2, 1}, 3, 4, 4, Kind::Noise},
    {"holes and huge values", {15, 8, 6}, {1, 1, 1}, 3, 4, 4, Kind::NonFinite},
};

DenoiseParams paramsOf(const Case& c, const std::vector<float>& volume) {
  DenoiseParams p;
  p.spacing = c.spacing;
  p.searchRadius = c.searchRadius;
  p.averageRadius = c.averageRadius;
  p.lineSamples = c.lineSamples;
  const NoiseEstimate estimate = estimateNoise(volume.data(), c.dims);
  p.noise = estimate.ok() && estimate.sigma > 0 ? estimate.sigma : 0.1f;
  // The Rician step on every case but the tubes, which keep the plain one.
  p.rician = c.kind != Kind::Tubes;
  p.floor = 0.05f;
  return p;
}

std::vector<float> run(const Case& c, Backend backend) {
  const std::vector<float> volume = volumeOf(c);
  std::vector<float> out(volume.size());
  FilterOptions options;
  options.backend = backend;
  options.threads = 2;
  const FilterOutcome outcome = runDenoise(volume.data(), c.dims, paramsOf(c, volume), out.data(), options);
  EXPECT_TRUE(outcome.ok()) << outcome.message;
  return out;
}

// The plain path's results, computed once for all targets.
const std::vector<float>& reference(const Case& c) {
  static std::map<std::string, std::vector<float>> cache;
  auto found = cache.find(c.name);
  if (found == cache.end()) found = cache.emplace(c.name, run(c, Backend::CpuReference)).first;
  return found->second;
}

// Bit for bit, except that two NaNs count as equal whatever their sign and
// payload (which operand's NaN an instruction passes on is the compiler's
// choice, in either path).
long firstDifference(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return static_cast<long>(i);
  }
  return -1;
}

std::vector<int64_t> targetsHere() {
  std::vector<int64_t> targets;
  for (int64_t bits = denoiseTargets(); bits != 0; bits &= bits - 1) targets.push_back(bits & -bits);
  return targets;
}

class FastDenoiseOnTarget : public ::testing::TestWithParam<int64_t> {
 protected:
  void SetUp() override { hwy::SetSupportedTargetsForTest(GetParam()); }
  void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

TEST_P(FastDenoiseOnTarget, RunsOnTheTargetUnderTest) {
  EXPECT_STREQ(denoiseTargetName(), hwy::TargetName(GetParam()));
}

TEST_P(FastDenoiseOnTarget, MatchesThePlainPathBitForBit) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::vector<float> fast = run(c, Backend::Cpu);
    const long at = firstDifference(reference(c), fast);
    EXPECT_EQ(at, -1) << "first differing result, " << (at >= 0 ? reference(c)[at] : 0.0f)
                      << " against " << (at >= 0 ? fast[at] : 0.0f);
  }
}

// A box is the same voxels of the whole run on either path: the fast path's
// row padding must clamp where the plain path clamps, at the box's faces.
TEST_P(FastDenoiseOnTarget, BoxesMatchTheWholeRunBitForBit) {
  const Case& c = kCases[6];  // anisotropic, so the reach differs by axis
  const std::vector<float> volume = volumeOf(c);
  const DenoiseParams params = paramsOf(c, volume);
  const Extent whole{c.dims.x, c.dims.y, c.dims.z};
  const std::vector<float>& expected = reference(c);
  const Box interiors[] = {{0, 0, 0, 4, 3, 2}, {5, 2, 3, 6, 3, 4}, {9, 4, 1, 17, 11, 7},
                           {2, 0, 0, 15, 11, 7}};
  for (const Box& interior : interiors) {
    const Box inputBox = denoiseHaloBox(interior, whole, params);
    std::vector<float> input;
    for (int64_t z = inputBox.z0; z < inputBox.z1; ++z)
      for (int64_t y = inputBox.y0; y < inputBox.y1; ++y)
        for (int64_t x = inputBox.x0; x < inputBox.x1; ++x)
          input.push_back(volume[static_cast<size_t>(c.dims.index(int(x), int(y), int(z)))]);
    std::vector<float> out(static_cast<size_t>(interior.count()));
    FilterOptions options;
    options.backend = Backend::Cpu;
    ASSERT_TRUE(denoiseBox(input.data(), inputBox, whole, interior, params, out.data(), options).ok());
    size_t i = 0;
    for (int64_t z = interior.z0; z < interior.z1; ++z)
      for (int64_t y = interior.y0; y < interior.y1; ++y)
        for (int64_t x = interior.x0; x < interior.x1; ++x, ++i) {
          const float e = expected[static_cast<size_t>(c.dims.index(int(x), int(y), int(z)))];
          ASSERT_EQ(std::memcmp(&e, &out[i], sizeof e), 0) << x << ", " << y << ", " << z;
        }
  }
}

std::string targetName(const ::testing::TestParamInfo<int64_t>& info) {
  return hwy::TargetName(info.param);
}

INSTANTIATE_TEST_SUITE_P(SimdTargets, FastDenoiseOnTarget, ::testing::ValuesIn(targetsHere()),
                         targetName);

}  // namespace
}  // namespace voluna
