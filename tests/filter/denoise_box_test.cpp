// Denoising box by box: the reach, bricks that must equal the whole run bit
// for bit, and what a box call refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "denoise.h"
#include "test_volumes.h"

namespace voluna {
namespace {

Extent extentOf(Dims d) { return {d.x, d.y, d.z}; }

using test_support::copyBox;

// Smooth structure plus noise, in whole bytes, with a few holes.
std::vector<float> structuredVolume(Dims d, uint32_t seed, bool holes) {
  return test_support::structuredVolume(d, seed, 25, holes);
}

DenoiseParams smallParams(Vec3 spacing = {1, 1, 1}) { return test_support::smallDenoiseParams(spacing); }


std::vector<float> wholeRun(const std::vector<float>& v, Dims d, const DenoiseParams& p, Backend b) {
  std::vector<float> out(v.size());
  FilterOptions options;
  options.backend = b;
  EXPECT_TRUE(runDenoise(v.data(), d, p, out.data(), options).ok());
  return out;
}

// Denoises `v` in bricks of `size` voxels, each from exactly its halo.
std::vector<float> brickedRun(const std::vector<float>& v, Dims d, const DenoiseParams& p,
                              Dims size, Backend b) {
  std::vector<float> out(v.size(), -1.0f);
  const Extent whole = extentOf(d);
  for (int z0 = 0; z0 < d.z; z0 += size.z)
    for (int y0 = 0; y0 < d.y; y0 += size.y)
      for (int x0 = 0; x0 < d.x; x0 += size.x) {
        const Box interior{x0, y0, z0, std::min(d.x, x0 + size.x), std::min(d.y, y0 + size.y),
                           std::min(d.z, z0 + size.z)};
        const Box inputBox = denoiseHaloBox(interior, whole, p);
        const std::vector<float> input = copyBox(v, d, inputBox);
        std::vector<float> part(static_cast<size_t>(interior.count()));
        FilterOptions options;
        options.backend = b;
        options.threads = 1;  // hundreds of tiny bricks: threads would only wait
        const FilterOutcome outcome = denoiseBox(input.data(), inputBox, whole, interior, p, part.data(), options);
        EXPECT_TRUE(outcome.ok()) << outcome.message;
        size_t i = 0;
        for (int64_t z = interior.z0; z < interior.z1; ++z)
          for (int64_t y = interior.y0; y < interior.y1; ++y)
            for (int64_t x = interior.x0; x < interior.x1; ++x)
              out[static_cast<size_t>(d.index(int(x), int(y), int(z)))] = part[i++];
      }
  return out;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return false;
  }
  return true;
}

TEST(DenoiseReach, IsThePilotsReachPlusTheResults) {
  DenoiseParams p;
  p.noise = 0.1f;
  // Defaults: a search box of 5 and 3^3 patches (6), a ball of 9 whose
  // samples are weighed by 3^3 patches of the pilot (10); the lines, whose
  // last sample along x falls on a whole voxel read with its neighbour (6),
  // reach less.
  const Reach iso = denoiseReach(p);
  EXPECT_EQ(iso.x, 16);
  EXPECT_EQ(iso.y, 16);
  EXPECT_EQ(iso.z, 16);
  // Across slices 2.5 times as thick: 2 slices of search and 1 of patch,
  // a ball of 3 slices and 1 of patch.
  p.spacing = {1, 1, 2.5f};
  const Reach aniso = denoiseReach(p);
  EXPECT_EQ(aniso.x, 16);
  EXPECT_EQ(aniso.z, 7);
  const Extent whole{100, 100, 40};
  EXPECT_EQ(denoiseHaloBox({50, 50, 20, 51, 51, 21}, whole, p), (Box{34, 34, 13, 67, 67, 28}));
  EXPECT_EQ(denoiseHaloBox({0, 0, 0, 2, 2, 2}, whole, p), (Box{0, 0, 0, 18, 18, 9}));
}

struct TightCase {
  const char* name;
  DenoiseParams params;
  int axis;  // 0 x, 2 z
};

class DenoiseReachIsTight : public ::testing::TestWithParam<Backend> {};

// The result at a voxel changes with the input R voxels away along an axis
// and not with the input R + 1 away. Here the ball's patches reach beyond
// the lines (4 + 1 against 4), so a change 5 + 3 away reaches the result
// through the pilot.
TEST_P(DenoiseReachIsTight, AChangeAtTheReachChangesTheResultAndOneBeyondDoesNot) {
  // A low noise level and a strict result keep every weight on the way
  // steep, so that even the small shift a far change makes in one pilot
  // value, seen through one of 27 terms of one patch distance, shows.
  DenoiseParams iso = smallParams();
  iso.averageRadius = 4;
  iso.noise = 0.02f;
  iso.finalStrength = 0.1f;
  DenoiseParams aniso = smallParams({1, 1, 2});
  aniso.averageRadius = 4;
  aniso.noise = 0.02f;
  aniso.finalStrength = 0.1f;
  for (const TightCase& c : {TightCase{"along x", iso, 0}, TightCase{"along z, 1 x 1 x 2", aniso, 2}}) {
    SCOPED_TRACE(c.name);
    const Reach reach = denoiseReach(c.params);
    const int R = c.axis == 0 ? reach.x : reach.z;
    const Dims d = c.axis == 0 ? Dims{2 * R + 6, 5, 5} : Dims{5, 5, 2 * R + 6};
    // A gently noisy flat volume: every weight on the way is above 0.
    std::vector<float> base(static_cast<size_t>(d.count()));
    std::mt19937 random(3);
    for (float& x : base) x = static_cast<float>(120 + random() % 9) / 255.0f;
    const std::vector<float> before = wholeRun(base, d, c.params, GetParam());
    const int at = 2;
    auto index = [&](int along) {
      return static_cast<size_t>(c.axis == 0 ? d.index(along, 2, 2) : d.index(2, 2, along));
    };
    for (const float changed : {std::numeric_limits<float>::quiet_NaN(), 100.0f}) {
      std::vector<float> v = base;
      v[index(at + R)] = changed;
      EXPECT_NE(wholeRun(v, d, c.params, GetParam())[index(at)], before[index(at)])
          << "a change " << R << " away was not seen";
      v = base;
      v[index(at + R + 1)] = changed;
      EXPECT_EQ(wholeRun(v, d, c.params, GetParam())[index(at)], before[index(at)])
          << "a change " << R + 1 << " away was seen";
    }
  }
}

// With lines that reach beyond the ball, their last sample's far corner is
// read with weight 0, and a hole there still takes that sample away.
TEST_P(DenoiseReachIsTight, AHoleReadWithWeightZeroAtTheLinesEndCounts) {
  const DenoiseParams p = smallParams();  // ball 3, lines 3 read up to 4
  const DenoiseStencil s = buildDenoiseStencil(p);
  ASSERT_EQ(s.finalReach.x, 4);
  const Dims d{16, 5, 5};
  const std::vector<float> base = structuredVolume(d, 5, false);
  std::vector<float> v = base;
  v[static_cast<size_t>(d.index(3 + 4, 2, 2))] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_NE(wholeRun(v, d, p, GetParam())[static_cast<size_t>(d.index(3, 2, 2))],
            wholeRun(base, d, p, GetParam())[static_cast<size_t>(d.index(3, 2, 2))]);
}

INSTANTIATE_TEST_SUITE_P(CpuBackends, DenoiseReachIsTight, ::testing::Values(Backend::Cpu, Backend::CpuReference),
                         [](const auto& info) { return info.param == Backend::Cpu ? "fast" : "plain"; });

class DenoiseBricks : public ::testing::TestWithParam<Backend> {};

TEST_P(DenoiseBricks, MatchTheWholeRunForEveryBrickSizeAndSpacing) {
  const Dims d{10, 9, 7};
  const std::vector<float> v = structuredVolume(d, 7, true);
  for (const Vec3 spacing : {Vec3{1, 1, 1}, Vec3{1, 1, 2.5f}, Vec3{3, 1, 1.5f}}) {
    const DenoiseParams p = smallParams(spacing);
    const std::vector<float> whole = wholeRun(v, d, p, GetParam());
    for (const Dims size : {Dims{1, 1, 1}, Dims{3, 2, 2}, Dims{10, 9, 1}, Dims{4, 9, 7}}) {
      SCOPED_TRACE(::testing::Message() << "spacing " << spacing.x << " x " << spacing.y << " x "
                                        << spacing.z << ", bricks " << size.x << " x " << size.y
                                        << " x " << size.z);
      EXPECT_TRUE(sameBits(brickedRun(v, d, p, size, GetParam()), whole));
    }
  }
}

TEST_P(DenoiseBricks, AnyInputBoxThatHoldsTheHaloGivesTheSameVoxels) {
  const Dims d{24, 22, 16};
  const std::vector<float> v = structuredVolume(d, 9, true);
  const DenoiseParams p = smallParams({1, 1, 2});
  const std::vector<float> whole = wholeRun(v, d, p, GetParam());
  const Extent e = extentOf(d);
  const Box interior{10, 9, 6, 12, 11, 8};
  const Box halo = denoiseHaloBox(interior, e, p);
  ASSERT_EQ(halo, (Box{3, 2, 2, 19, 18, 12}));
  const Box wider{3, 1, 0, 20, 18, 16};
  for (const Box inputBox : {halo, Box::of(e), wider}) {
    const std::vector<float> input = copyBox(v, d, inputBox);
    std::vector<float> out(static_cast<size_t>(interior.count()));
    FilterOptions options;
    options.backend = GetParam();
    ASSERT_TRUE(denoiseBox(input.data(), inputBox, e, interior, p, out.data(), options).ok());
    const std::vector<float> expected = copyBox(whole, d, interior);
    EXPECT_TRUE(sameBits(out, expected));
  }
}

INSTANTIATE_TEST_SUITE_P(CpuBackends, DenoiseBricks, ::testing::Values(Backend::Cpu, Backend::CpuReference),
                         [](const auto& info) { return info.param == Backend::Cpu ? "fast" : "plain"; });

TEST(DenoiseBox, RefusesWhatItCannotRunBeforeAnyWork) {
  const Dims d{20, 20, 20};
  const Extent e = extentOf(d);
  const std::vector<float> v = structuredVolume(d, 1, false);
  const DenoiseParams p = smallParams();
  const Box interior{8, 8, 8, 10, 10, 10};
  const Box halo = denoiseHaloBox(interior, e, p);
  struct Bad {
    Box inputBox, interior;
    Extent whole;
    const char* says;
  };
  const Bad bad[] = {
      {{halo.x0 + 1, halo.y0, halo.z0, halo.x1, halo.y1, halo.z1}, interior, e, "halo"},
      {{halo.x0, halo.y0, halo.z0, halo.x1, halo.y1, halo.z1 - 1}, interior, e, "halo"},
      {halo, {8, 8, 8, 8, 10, 10}, e, "empty"},
      {halo, {18, 18, 18, 21, 20, 20}, e, "not inside"},
      {{-1, 0, 0, 20, 20, 20}, interior, e, "not inside"},
      {halo, interior, {20, 20, 0}, "no voxels"},
  };
  for (const Bad& b : bad) {
    std::vector<float> input(static_cast<size_t>(std::max<int64_t>(b.inputBox.count(), 1)), 0.5f);
    std::vector<float> out(8, -3.0f);
    const FilterOutcome outcome = denoiseBox(input.data(), b.inputBox, b.whole, b.interior, p, out.data());
    EXPECT_EQ(outcome.status, FilterOutcome::Status::InvalidInput) << b.says;
    EXPECT_NE(outcome.message.find(b.says), std::string::npos) << outcome.message;
    for (float x : out) ASSERT_EQ(x, -3.0f);
  }
}

}  // namespace
}  // namespace voluna
