// The noise estimate behind the denoiser's automatic strength: within 15 %
// on the structures the denoiser meets, whatever else the volume holds.
#include "noise_estimate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "byte_conversion.h"
#include "denoise.h"
#include "scenes.h"

namespace voluna {
namespace {

// The estimate in 8-bit units of a scene rounded to bytes, taken on the
// unit scale as a run takes it.
float estimateOfBytes(const Scene& scene) {
  const std::vector<uint8_t> bytes = toBytes(scene.noisy);
  const std::vector<float> unit = bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size()));
  const NoiseEstimate e = estimateNoise(unit.data(), scene.dims);
  EXPECT_TRUE(e.ok()) << e.problem;
  return static_cast<float>(inputNoise(e.sigma, 0, 255));
}

TEST(NoiseEstimate, IsWithin15PercentOfGaussianNoiseFrom5To40In8BitUnits) {
  for (const float sigma : {5.0f, 10.0f, 20.0f, 30.0f, 40.0f}) {
    const Scene scenes[] = {vessels(40, sigma, 1), curvedSheets(40, sigma, 2),
                            fibreBundles(40, sigma, 3), anisotropicVessels(40, sigma, 4),
                            crossingTubes(40, 4, sigma, 5)};
    const char* names[] = {"vessels", "sheets", "fibres", "1 x 1 x 2.5 vessels", "tubes"};
    for (int i = 0; i < 5; ++i) {
      const float estimate = estimateOfBytes(scenes[i]);
      EXPECT_NEAR(estimate / sigma, 1.0f, 0.15f) << names[i] << ", sigma " << sigma << ": " << estimate;
    }
  }
}

// An int16 CT-like volume: soft tissue, bone, air and a rim of padding at
// -3024, mapped onto the unit scale from its own range as io maps it.
TEST(NoiseEstimate, IsWithin15PercentOnInt16VolumesThroughTheUnitScale) {
  const Dims d{48, 48, 32};
  for (const double sigma : {8.0, 30.0, 90.0}) {
    std::mt19937 random(static_cast<uint32_t>(sigma));
    std::normal_distribution<double> noise(0.0, sigma);
    std::vector<int16_t> ct(static_cast<size_t>(d.count()));
    for (int z = 0; z < d.z; ++z)
      for (int y = 0; y < d.y; ++y)
        for (int x = 0; x < d.x; ++x) {
          const double r = std::hypot(x - 24.0, y - 24.0);
          double v = r < 8 ? 1200.0 : r < 20 ? 40.0 : -1000.0;
          v += noise(random);
          if (r > 23) v = -3024;  // outside the scanner's field of view
          ct[static_cast<size_t>(d.index(x, y, z))] = static_cast<int16_t>(std::lround(v));
        }
    double lo = 1e9, hi = -1e9;
    for (int16_t v : ct) lo = std::min<double>(lo, v), hi = std::max<double>(hi, v);
    std::vector<float> unit(ct.size());
    for (size_t i = 0; i < ct.size(); ++i) unit[i] = static_cast<float>((ct[i] - lo) / (hi - lo));
    const NoiseEstimate e = estimateNoise(unit.data(), d);
    ASSERT_TRUE(e.ok()) << e.problem;
    EXPECT_NEAR(inputNoise(e.sigma, lo, hi) / sigma, 1.0, 0.15) << "sigma " << sigma;
  }
}

// Two tissues in a cylinder of 16 voxels around the z axis, air around it:
// the layout of a head in an MRI.
std::vector<float> headInAir(Dims d) {
  std::vector<float> clean(static_cast<size_t>(d.count()));
  for (int z = 0; z < d.z; ++z)
    for (int y = 0; y < d.y; ++y)
      for (int x = 0; x < d.x; ++x) {
        const double r = std::hypot(x - d.x / 2.0, y - d.y / 2.0);
        clean[static_cast<size_t>(d.index(x, y, z))] = r < 16 ? (r < 10 ? 150.0f : 100.0f) : 0.0f;
      }
  return clean;
}

// In magnitude images the air reads as Rayleigh noise, 0.66 sigma wide: a
// head half surrounded by air must still give the tissue's sigma.
TEST(NoiseEstimate, LooksPastTheRayleighAirOfMagnitudeImages) {
  const Dims d{48, 48, 24};
  const float sigma = 12.0f;
  const std::vector<float> clean = headInAir(d);
  const double spacing[3] = {1, 1, 1};
  const Scene scene = sceneFromClean(d, spacing, clean, sigma, true, 20.0f, 6);
  EXPECT_NEAR(estimateOfBytes(scene) / sigma, 1.0f, 0.15f);
}

// A magnitude image (air around tissue) told apart from the same image with
// Gaussian noise, clipped at 0 as bytes clip it or left unclipped above
// a floor; and from the synthetic scenes, whose background lies 2 sigma up.
TEST(NoiseEstimate, TellsRicianMagnitudeNoiseFromGaussianNoise) {
  const Dims d{48, 48, 24};
  const std::vector<float> clean = headInAir(d);
  const double spacing[3] = {1, 1, 1};
  auto rician = [&](const Scene& scene) {
    const std::vector<uint8_t> bytes = toBytes(scene.noisy);
    const std::vector<float> unit = bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size()));
    const NoiseEstimate e = estimateNoise(unit.data(), scene.dims);
    EXPECT_TRUE(e.ok()) << e.problem;
    return e.rician;
  };
  for (const float sigma : {5.0f, 12.0f, 25.0f, 40.0f}) {
    SCOPED_TRACE(sigma);
    EXPECT_TRUE(rician(sceneFromClean(d, spacing, clean, sigma, true, 20.0f, 6)));
    EXPECT_FALSE(rician(sceneFromClean(d, spacing, clean, sigma, false, 20.0f, 6)));
    // Unclipped: the air lifted above 0 so no voxel falls below it.
    std::vector<float> lifted = clean;
    for (float& v : lifted) v += 5.0f * sigma;
    Scene gaussian = sceneFromClean(d, spacing, lifted, sigma, false, 20.0f, 7);
    const NoiseEstimate e = estimateNoise(gaussian.noisy.data(), gaussian.dims);
    EXPECT_FALSE(e.rician);
    EXPECT_FALSE(rician(vessels(40, sigma, 1)));
    EXPECT_FALSE(rician(curvedSheets(40, sigma, 2)));
  }
}

TEST(NoiseEstimate, IgnoresConstantPaddingAndHoles) {
  Scene scene = vessels(40, 20.0f, 7);
  // A third of the volume padded with one value, and scattered holes.
  for (size_t i = 0; i < scene.noisy.size() / 3; ++i) scene.noisy[i] = 0.0f;
  const std::vector<uint8_t> bytes = toBytes(scene.noisy);
  std::vector<float> unit = bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size()));
  for (size_t i = 5; i < unit.size(); i += 97) unit[i] = std::numeric_limits<float>::quiet_NaN();
  const NoiseEstimate e = estimateNoise(unit.data(), scene.dims);
  ASSERT_TRUE(e.ok()) << e.problem;
  EXPECT_NEAR(inputNoise(e.sigma, 0, 255) / 20.0, 1.0, 0.15);
}

TEST(NoiseEstimate, ScalesWithTheValues) {
  const Scene scene = curvedSheets(32, 15.0f, 8);
  const NoiseEstimate a = estimateNoise(scene.noisy.data(), scene.dims);
  std::vector<float> scaled(scene.noisy.size());
  for (size_t i = 0; i < scaled.size(); ++i) scaled[i] = 1000.0f - 4.0f * scene.noisy[i];
  const NoiseEstimate b = estimateNoise(scaled.data(), scene.dims);
  EXPECT_NEAR(b.sigma / a.sigma, 4.0f, 4e-4f);
}

TEST(NoiseEstimate, SlabsGiveTheWholeVolumesEstimate) {
  const Scene scene = fibreBundles(32, 20.0f, 9);
  const Dims d = scene.dims;
  const float whole = estimateNoise(scene.noisy.data(), d).sigma;
  for (const int64_t depth : {1, 3, 7, 32}) {
    NoiseEstimator estimator(d.x, d.y, d.z);
    for (int64_t z0 = 0; z0 < d.z; z0 += depth) {
      // Each slab carries two slices of context on either side.
      const int64_t z1 = std::min<int64_t>(d.z, z0 + depth);
      const int64_t s0 = std::max<int64_t>(0, z0 - 2), s1 = std::min<int64_t>(d.z, z1 + 2);
      estimator.add(scene.noisy.data() + s0 * d.x * d.y, s0, s1 - s0, z0, z1);
    }
    EXPECT_EQ(estimator.finish().sigma, whole) << "slabs of " << depth;
  }
}

TEST(NoiseEstimate, SaysWhyWhenItCannotMeasure) {
  const std::vector<float> tiny(4 * 4 * 4, 0.5f);
  NoiseEstimate e = estimateNoise(tiny.data(), Dims{4, 4, 4});
  EXPECT_FALSE(e.ok());
  EXPECT_NE(e.problem.find("give the noise level"), std::string::npos) << e.problem;
  // A constant volume holds no measurable noise either.
  const std::vector<float> flat(32 * 32 * 32, 0.25f);
  e = estimateNoise(flat.data(), Dims{32, 32, 32});
  EXPECT_FALSE(e.ok());
  // A noise-free ramp measures as noise-free.
  std::vector<float> ramp(32 * 32 * 8);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i % 32) / 64.0f;
  e = estimateNoise(ramp.data(), Dims{32, 32, 8});
  ASSERT_TRUE(e.ok()) << e.problem;
  EXPECT_EQ(e.sigma, 0.0f);
  // One slice: the estimate uses the two axes it has.
  const Scene slice = crossingTubes(64, 6, 20.0f, 10);
  const Dims one{64, 64, 1};
  const NoiseEstimate flatSlice = estimateNoise(slice.noisy.data() + 32 * 64 * 64, one);
  ASSERT_TRUE(flatSlice.ok()) << flatSlice.problem;
  EXPECT_NEAR(flatSlice.sigma / 20.0f, 1.0f, 0.15f);
}

}  // namespace
}  // namespace voluna
