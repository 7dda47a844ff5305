// The denoiser's whole-volume entry: what it gives back, what it refuses,
// how it treats holes, spacing and the noise level, progress and cancel.
#include "denoise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "byte_conversion.h"
#include "denoise_math.h"
#include "direction_set.h"
#include "noise_estimate.h"
#include "progress_checks.h"
#include "scenes.h"

namespace voluna {
namespace {

std::vector<float> unitFloats(const std::vector<float>& bytesAsFloats) {
  const std::vector<uint8_t> bytes = toBytes(bytesAsFloats);
  return bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size()));
}

FilterOptions on(Backend backend) {
  FilterOptions options;
  options.backend = backend;
  options.threads = 2;
  return options;
}

double psnrNear(const std::vector<float>& unit, const Scene& scene) {
  double sum = 0;
  int64_t n = 0;
  for (size_t i = 0; i < unit.size(); ++i) {
    if (std::fabs(scene.surfaceDistance[i]) > 2.0f) continue;
    const double d = 255.0 * unit[i] - scene.clean[i];
    sum += d * d;
    ++n;
  }
  return 10.0 * std::log10(255.0 * 255.0 / (sum / static_cast<double>(n)));
}

TEST(Denoise, TakesMostOfTheNoiseAwayAndKeepsThinStructures) {
  // Thin tubes of radius 1.5 in noise of sigma 25: the structure most easily
  // blurred away, at its automatic strength.
  const Scene scene = thinTubes(32, 1.5f, 25.0f, 11);
  const std::vector<float> input = unitFloats(scene.noisy);
  DenoiseParams params;
  params.noise = estimateNoise(input.data(), scene.dims).sigma;
  std::vector<float> out(input.size());
  ASSERT_TRUE(runDenoise(input.data(), scene.dims, params, out.data(), on(Backend::Cpu)).ok());
  const double before = psnrNear(input, scene), after = psnrNear(out, scene);
  EXPECT_GT(after, before + 7.0) << before << " dB before, " << after << " dB after";
  // The tubes' cores keep most of their contrast.
  double core = 0;
  int n = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (scene.surfaceDistance[i] < -0.5f) core += 255.0 * out[i], ++n;
  }
  EXPECT_GT(core / n, 170.0);
}

// Magnitude noise lifts an average where the signal is weak: by 1.25 sigma
// where there is none, by 0.3 sigma at a signal of 3 sigma. The correction
// takes most of that away, where the signal lies well above the noise too.
TEST(Denoise, TakesRicianMagnitudesBackTowardsTheSignal) {
  const Dims d{40, 40, 24};
  std::vector<float> clean(static_cast<size_t>(d.count()));
  for (int z = 0; z < d.z; ++z)
    for (int y = 0; y < d.y; ++y)
      for (int x = 0; x < d.x; ++x) {
        const double r = std::hypot(x - 20.0, y - 20.0);
        clean[static_cast<size_t>(d.index(x, y, z))] = r < 14 ? (r < 7 ? 160.0f : 60.0f) : 0.0f;
      }
  const double spacing[3] = {1, 1, 1};
  const float sigma = 20.0f;
  const Scene scene = sceneFromClean(d, spacing, clean, sigma, true, 20.0f, 9);
  const std::vector<float> input = unitFloats(scene.noisy);
  const NoiseEstimate estimate = estimateNoise(input.data(), d);
  ASSERT_TRUE(estimate.rician);
  DenoiseParams params;
  takeEstimate(estimate, params);
  // The mean error of a level, away from its edges.
  auto bias = [&](const std::vector<float>& unit, float level) {
    double sum = 0;
    int n = 0;
    for (size_t i = 0; i < unit.size(); ++i) {
      if (scene.clean[i] == level && std::fabs(scene.surfaceDistance[i]) > 2.0f) {
        sum += 255.0 * unit[i] - level;
        ++n;
      }
    }
    return sum / n;
  };
  std::vector<float> corrected(input.size()), plain(input.size());
  ASSERT_TRUE(runDenoise(input.data(), d, params, corrected.data(), on(Backend::Cpu)).ok());
  params.rician = false;
  ASSERT_TRUE(runDenoise(input.data(), d, params, plain.data(), on(Backend::Cpu)).ok());
  EXPECT_GT(bias(plain, 0.0f), 1.0 * sigma);
  EXPECT_LT(std::fabs(bias(corrected, 0.0f)), 0.5 * bias(plain, 0.0f));
  EXPECT_GT(bias(plain, 60.0f), 0.1 * sigma);
  EXPECT_LT(std::fabs(bias(corrected, 60.0f)), 0.5 * bias(plain, 60.0f));
  EXPECT_LT(std::fabs(bias(corrected, 160.0f)), 0.1 * sigma);
}

TEST(Denoise, ANoiseLevelOfZeroGivesTheInputBackBitForBit) {
  const Dims dims{9, 7, 5};
  std::vector<float> input = unitFloats(crossingTubes(9, 2, 20, 1).noisy);
  input.resize(static_cast<size_t>(dims.count()), 0.25f);
  input[3] = std::numeric_limits<float>::quiet_NaN();
  input[4] = -std::numeric_limits<float>::infinity();
  std::vector<float> out(input.size(), 9.0f);
  for (Backend b : {Backend::Cpu, Backend::CpuReference}) {
    ASSERT_TRUE(runDenoise(input.data(), dims, DenoiseParams(), out.data(), on(b)).ok());
    EXPECT_EQ(std::memcmp(input.data(), out.data(), input.size() * sizeof(float)), 0);
  }
}

TEST(Denoise, AConstantVolumeComesBackUnchanged) {
  // 0.5 times any whole number below 2^24 is exact, so every sum is.
  const Dims dims{12, 10, 8};
  const std::vector<float> input(static_cast<size_t>(dims.count()), 0.5f);
  DenoiseParams params;
  params.noise = 0.05f;
  params.spacing = {1.0f, 1.0f, 2.5f};
  for (Backend b : {Backend::Cpu, Backend::CpuReference}) {
    std::vector<float> out(input.size());
    ASSERT_TRUE(runDenoise(input.data(), dims, params, out.data(), on(b)).ok());
    for (float v : out) ASSERT_EQ(v, 0.5f);
  }
}

TEST(Denoise, HolesStayHolesAndNeverSpread) {
  const Scene scene = crossingTubes(14, 3, 20, 2);
  std::vector<float> input = unitFloats(scene.noisy);
  const size_t nan = 100, inf = 700, huge = 1500;
  input[nan] = std::numeric_limits<float>::quiet_NaN();
  input[inf] = std::numeric_limits<float>::infinity();
  input[huge] = 3e38f;
  DenoiseParams params;
  params.noise = 20.0f / 255.0f;
  std::vector<float> out(input.size());
  ASSERT_TRUE(runDenoise(input.data(), scene.dims, params, out.data(), on(Backend::Cpu)).ok());
  EXPECT_TRUE(std::isnan(out[nan]));
  EXPECT_EQ(out[inf], std::numeric_limits<float>::infinity());
  for (size_t i = 0; i < out.size(); ++i) {
    if (i == nan || i == inf) continue;
    ASSERT_TRUE(std::isfinite(out[i])) << i;
    // No one else takes anything from the huge voxel.
    if (i != huge) {
      ASSERT_LT(out[i], 2.0f) << i;
    }
  }
}

TEST(Denoise, OnlyTheRatiosOfTheSpacingCount) {
  const Scene scene = anisotropicVessels(16, 25, 5);
  const std::vector<float> input = unitFloats(scene.noisy);
  DenoiseParams params;
  params.noise = 0.1f;
  params.spacing = {1.0f, 1.0f, 2.5f};
  std::vector<float> a(input.size()), b(input.size()), iso(input.size());
  ASSERT_TRUE(runDenoise(input.data(), scene.dims, params, a.data(), on(Backend::Cpu)).ok());
  params.spacing = {2.0f, 2.0f, 5.0f};
  ASSERT_TRUE(runDenoise(input.data(), scene.dims, params, b.data(), on(Backend::Cpu)).ok());
  EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
  // ...and they do count: the same voxels taken as isotropic come out otherwise.
  params.spacing = {1.0f, 1.0f, 1.0f};
  ASSERT_TRUE(runDenoise(input.data(), scene.dims, params, iso.data(), on(Backend::Cpu)).ok());
  EXPECT_NE(std::memcmp(a.data(), iso.data(), a.size() * sizeof(float)), 0);
}

TEST(DenoiseStencil, MeasuresNeighbourhoodsAndLinesInUnitsOfTheFinestSpacing) {
  DenoiseParams params;
  params.noise = 0.1f;
  params.spacing = {1.0f, 1.0f, 2.5f};
  const DenoiseStencil s = buildDenoiseStencil(params);
  // A search box of 5 mm: 5 columns and rows, 2 slices either way.
  EXPECT_EQ(s.window.size(), 11u * 11u * 5u - 1u);
  EXPECT_EQ(s.pilotReach.x, 6);
  EXPECT_EQ(s.pilotReach.z, 3);
  int ballZ = 0;
  for (const Offset3& o : s.ball) {
    EXPECT_LE(o.x * o.x + o.y * o.y + 6.25 * o.z * o.z, 81.0 + 1e-6);
    ballZ = std::max(ballZ, std::abs(o.z));
  }
  EXPECT_EQ(ballZ, 3);
  // The ball of 9 mm, 3 slices, read with 3^3 patches of the pilot; lines
  // of 5 samples 1 mm apart reach less: 5 mm, 2 slices plus a tap.
  EXPECT_EQ(s.finalReach.x, 10);
  EXPECT_EQ(s.finalReach.z, 4);
  for (const LineTap& t : s.taps) {
    float sum = 0;
    for (float w : t.weight) {
      EXPECT_EQ(w * 16777216.0f, std::floor(w * 16777216.0f)) << "weights are multiples of 2^-24";
      sum += w;
    }
    EXPECT_EQ(sum, 1.0f);
  }
  EXPECT_EQ(s.taps.size(), 2u * 5u * uniqueLines(30).size());
}

TEST(DenoiseStencil, TheLinesAreTheDirectionSetEachOnce) {
  auto gap = [](Vec3 a, Vec3 b) {
    const float same = std::max({std::fabs(a.x - b.x), std::fabs(a.y - b.y), std::fabs(a.z - b.z)});
    const float opposite = std::max({std::fabs(a.x + b.x), std::fabs(a.y + b.y), std::fabs(a.z + b.z)});
    return std::min(same, opposite);
  };
  for (int step : {5, 30, 90}) {
    const std::vector<Vec3> lines = uniqueLines(step);
    for (size_t i = 0; i < lines.size(); ++i)
      for (size_t j = 0; j < i; ++j) ASSERT_GT(gap(lines[i], lines[j]), 1e-3f) << step << ": " << i << " repeats " << j;
    // Every direction of the set lies on one of them.
    for (const Vec3& d : buildDirectionSet(step)) {
      float nearest = 2.0f;
      for (const Vec3& l : lines) nearest = std::min(nearest, gap(d, l));
      ASSERT_LE(nearest, 1e-3f) << step;
    }
  }
  // At 90 degrees the set holds the three axes and nothing else.
  EXPECT_EQ(uniqueLines(90).size(), 3u);
}

TEST(DenoiseKernel, FallsLikeAnExponentialAndEndsAtEight) {
  EXPECT_EQ(denoiseKernel(0.0f), 1.0f);
  EXPECT_EQ(denoiseKernel(-3.0f), 1.0f);
  EXPECT_NEAR(denoiseKernel(1.0f), std::exp(-1.0f), 0.03f);
  EXPECT_EQ(denoiseKernel(8.0f), 0.0f);
  EXPECT_EQ(denoiseKernel(std::numeric_limits<float>::infinity()), 0.0f);
  EXPECT_EQ(denoiseKernel(std::numeric_limits<float>::quiet_NaN()), 0.0f);
}

TEST(Denoise, RefusesWhatItCannotRunAndWritesNothing) {
  const Dims dims{6, 5, 4};
  const std::vector<float> input(static_cast<size_t>(dims.count()), 0.3f);
  struct Bad {
    DenoiseParams params;
    const char* says;
  };
  std::vector<Bad> bad;
  auto add = [&](auto change, const char* says) {
    DenoiseParams p;
    p.noise = 0.1f;
    change(p);
    bad.push_back({p, says});
  };
  add([](DenoiseParams& p) { p.noise = -0.1f; }, "noise level");
  add([](DenoiseParams& p) { p.noise = std::numeric_limits<float>::quiet_NaN(); }, "noise level");
  add([](DenoiseParams& p) { p.spacing = {1, 0, 1}; }, "spacing");
  add([](DenoiseParams& p) { p.spacing = {1, 1, std::numeric_limits<float>::infinity()}; }, "spacing");
  add([](DenoiseParams& p) { p.spacing = {0.001f, 1, 2}; }, "1000 times");
  add([](DenoiseParams& p) { p.searchRadius = 40; }, "radii");
  add([](DenoiseParams& p) { p.pilotStrength = 0; }, "strengths");
  add([](DenoiseParams& p) { p.lineAngleStep = 0; }, "angle step");
  add([](DenoiseParams& p) { p.lineSamples = 65; }, "samples");
  add([](DenoiseParams& p) { p.lineStep = 5; }, "step");
  for (const Bad& b : bad) {
    std::vector<float> out(input.size(), -7.0f);
    const FilterOutcome outcome = runDenoise(input.data(), dims, b.params, out.data());
    EXPECT_EQ(outcome.status, FilterOutcome::Status::InvalidInput) << b.says;
    EXPECT_NE(outcome.message.find(b.says), std::string::npos) << outcome.message;
    for (float v : out) ASSERT_EQ(v, -7.0f);
  }
  std::vector<float> out(4);
  EXPECT_EQ(runDenoise(input.data(), Dims{0, 2, 2}, DenoiseParams(), out.data()).status,
            FilterOutcome::Status::InvalidInput);
#ifndef VOLUNA_HAVE_CUDA
  DenoiseParams p;
  p.noise = 0.1f;
  std::vector<float> result(input.size());
  EXPECT_EQ(runDenoise(input.data(), dims, p, result.data(), on(Backend::Cuda)).status,
            FilterOutcome::Status::BackendUnavailable);
#endif
}

TEST(Denoise, ReportsPilotThenResultAndStopsWhenCancelled) {
  const Scene scene = crossingTubes(20, 4, 25, 3);
  const std::vector<float> input = unitFloats(scene.noisy);
  DenoiseParams params;
  params.noise = 0.1f;
  params.searchRadius = 3;
  params.averageRadius = 3;
  for (Backend b : {Backend::Cpu, Backend::CpuReference}) {
    SCOPED_TRACE(b == Backend::Cpu ? "fast" : "plain");
    std::vector<float> out(input.size());
    test_support::expectProgressInOrderAndCancelToStop(
        [&](const RunControl* control) {
          FilterOptions options = on(b);
          options.control = control;
          const FilterOutcome outcome = runDenoise(input.data(), scene.dims, params, out.data(), options);
          EXPECT_TRUE(outcome.ok() || outcome.status == FilterOutcome::Status::Cancelled);
          return outcome.ok();
        },
        2);
  }
}

TEST(DenoiseNoise, ConvertsBetweenTheInputsUnitsAndTheUnitScale) {
  // An int16 CT mapped from [-1024, 3071]: 40 HU of noise.
  EXPECT_FLOAT_EQ(unitNoise(40.0, -1024.0, 3071.0), 40.0f / 4095.0f);
  EXPECT_NEAR(inputNoise(unitNoise(40.0, -1024.0, 3071.0), -1024.0, 3071.0), 40.0, 1e-4);
  // Bytes: byte / 255.
  EXPECT_FLOAT_EQ(unitNoise(25.5, 0.0, 255.0), 0.1f);
  // A constant volume maps everything to 0: no scale, no noise.
  EXPECT_EQ(unitNoise(3.0, 7.0, 7.0), 0.0f);
}

}  // namespace
}  // namespace voluna
