#include "voxel_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "byte_conversion.h"
#include "cpu_sampler.h"
#include "direction_set.h"

namespace voluna {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Counts lookups, to see where the search stops.
struct CountingSampler {
  CpuVolumeSampler inner;
  int* calls;
  float operator()(float u, float v, float w) const {
    ++*calls;
    return inner(u, v, w);
  }
};

TEST(LineVariance, MeasuresEachWalkAgainstItsOwnFirstSample) {
  // Along x: backward samples 2 then 4, forward samples 7 and 7. The
  // differences are 0, 2, 0, 0, so the score is (4 - 4/4)/4 = 0.75, not the
  // 4.5 of the values themselves.
  const std::vector<float> line = {4, 2, 0, 7, 7};
  const CpuVolumeSampler sampler(line.data(), Dims{5, 1, 1});
  EXPECT_EQ(lineVariance(sampler, Vec3{2, 0, 0}, Vec3{1, 0, 0}, 2), 0.75f);
  // Constant on each side of the voxel scores 0 even across a step.
  const std::vector<float> step = {0, 0, 0, 1, 1};
  const CpuVolumeSampler stepSampler(step.data(), Dims{5, 1, 1});
  EXPECT_EQ(lineVariance(stepSampler, Vec3{2, 0, 0}, Vec3{1, 0, 0}, 2), 0.0f);
  // The edge-preserving score sees the step: values 0 | 0 0 | 1 1 about 0.
  EXPECT_GT(centredLineVariance(stepSampler, Vec3{2, 0, 0}, Vec3{1, 0, 0}, 2, 0.0f), 0.2f);
  // No samples: 0/0.
  EXPECT_TRUE(std::isnan(lineVariance(sampler, Vec3{2, 0, 0}, Vec3{1, 0, 0}, 0)));
  EXPECT_EQ(centredLineVariance(sampler, Vec3{2, 0, 0}, Vec3{1, 0, 0}, 0, 0.0f), 0.0f);
}

TEST(LineVariance, WalksPastTheFacesReadTheEdgeVoxels) {
  // At x = 0 the backward walk along x reads voxel 0 every time.
  const std::vector<float> line = {3, 5, 9};
  const CpuVolumeSampler sampler(line.data(), Dims{3, 1, 1});
  // Backward: 3, 3, 3 (differences 0); forward: 5, 9, 9 (0, 4, 4).
  const float S = 8, Q = 32, N = 6;
  EXPECT_EQ(lineVariance(sampler, Vec3{0, 0, 0}, Vec3{1, 0, 0}, 3), (Q - (S * S) / N) / N);
}

TEST(DirectionChoice, LaterTiesWinAndNaNsNeverDo) {
  DirectionChoice choice;
  choice.first(0.5f);
  choice.offer(1, 0.3f);
  choice.offer(2, 0.3f);
  EXPECT_EQ(choice.chosen, 2);
  choice.offer(3, kNaN);
  EXPECT_EQ(choice.chosen, 2);
  EXPECT_EQ(choice.best, 0.3f);
  choice.offer(4, 0.4f);
  EXPECT_EQ(choice.chosen, 2);

  // A NaN first score keeps direction 0 to the end and never stops early.
  choice.first(kNaN);
  choice.offer(1, 0.0f);
  choice.offer(2, 1.0f);
  EXPECT_EQ(choice.chosen, 0);
  EXPECT_FALSE(choice.done());
}

TEST(DirectionChoice, StopsAtExactlyTwoToTheMinus23) {
  DirectionChoice choice;
  choice.first(std::ldexp(1.0f, -23));
  EXPECT_TRUE(choice.done());
  choice.first(std::nextafter(std::ldexp(1.0f, -23), 1.0f));
  EXPECT_FALSE(choice.done());
  choice.first(0.0f);
  EXPECT_TRUE(choice.done());
}

TEST(ChooseDirection, ConstantRegionsStopAfterTheFirstDirection) {
  const std::vector<float> flat(27, 0.25f);
  int calls = 0;
  const CountingSampler sampler{CpuVolumeSampler(flat.data(), Dims{3, 3, 3}), &calls};
  const std::vector<Vec3> d = buildDirectionSet(5);
  EXPECT_EQ(chooseDirection(sampler, Vec3{1, 1, 1}, d.data(), 2592, 5, false), 0);
  EXPECT_EQ(calls, 10);  // one direction, 2 x 5 samples
  calls = 0;
  EXPECT_EQ(chooseDirection(sampler, Vec3{1, 1, 1}, d.data(), 2592, 5, true), 0);
  EXPECT_EQ(calls, 11);  // the centre, then one direction
}

TEST(ChooseDirection, WithoutSamplesEveryDirectionIsScoredAndTheFirstKept) {
  const std::vector<float> ramp = {0, 1, 2, 3, 4, 5, 6, 7};
  int calls = 0;
  const CountingSampler sampler{CpuVolumeSampler(ramp.data(), Dims{2, 2, 2}), &calls};
  const std::vector<Vec3> d = buildDirectionSet(90);
  EXPECT_EQ(chooseDirection(sampler, Vec3{0, 0, 0}, d.data(), 8, 0, false), 0);
}

TEST(Integration, MeanFactorIsOneOverTwoStepsPlusOne) {
  EXPECT_EQ(meanFactor(0), 1.0f);
  EXPECT_EQ(meanFactor(5), 1.0f / 11.0f);
  EXPECT_EQ(meanFactor(99), 1.0f / 199.0f);
}

TEST(Integration, AConstantByteComesBackAsItselfOrOneLess) {
  // 11 equal float additions, a multiplication by 1/11 and truncation: with
  // five steps, 46 of the 256 byte values come back one lower.
  const std::vector<Float4> field(1, Float4{1, 0, 0, 0});
  int lower = 0;
  for (int k = 0; k < 256; ++k) {
    const float value = static_cast<float>(k) / 255.0f;
    const CpuVolumeSampler volume(&value, Dims{1, 1, 1});
    const CpuFieldSampler sampler(field.data(), Dims{1, 1, 1});
    const uint8_t byte = unitFloatToByte(integrateVoxel(volume, sampler, Vec3{0, 0, 0}, 5, meanFactor(5)));
    ASSERT_TRUE(byte == k || byte == k - 1) << k;
    lower += byte != k;
  }
  EXPECT_EQ(lower, 46);
}

TEST(Integration, AZeroFieldKeepsEveryPathAtItsCentre) {
  // 2s + 1 equal additions of the voxel's own value, then the mean factor.
  const Dims dims{3, 2, 2};
  const std::vector<float> volume = {0.1f, 0.7f, 0.3f, 0.9f, 0.2f, 0.5f,
                                     0.4f, 0.8f, 0.6f, 0.05f, 0.95f, 0.15f};
  const std::vector<Float4> zero(volume.size(), Float4{0, 0, 0, 0});
  const CpuVolumeSampler sampler(volume.data(), dims);
  const CpuFieldSampler field(zero.data(), dims);
  for (int z = 0; z < dims.z; ++z)
    for (int y = 0; y < dims.y; ++y)
      for (int x = 0; x < dims.x; ++x) {
        const float v = volume[dims.index(x, y, z)];
        float acc = v;
        for (int k = 0; k < 6; ++k) acc = acc + v;
        const Vec3 p = {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
        EXPECT_EQ(integrateVoxel(sampler, field, p, 3, meanFactor(3)), acc * (1.0f / 7.0f));
      }
}

TEST(Sampler, WeightsAreRoundedToEightFractionalBits) {
  const std::vector<float> line = {0.0f, 1.0f};
  const CpuVolumeSampler sampler(line.data(), Dims{2, 1, 1});
  // At whole positions the lookup returns the voxel itself.
  EXPECT_EQ(sampler(0.5f, 0.5f, 0.5f), 0.0f);
  EXPECT_EQ(sampler(1.5f, 0.5f, 0.5f), 1.0f);
  // 0.3 lies between 76/256 and 77/256 and rounds to the nearer, 77/256.
  EXPECT_EQ(sampler(0.8f, 0.5f, 0.5f), 77.0f / 256.0f);
  // Exactly half a step rounds up.
  EXPECT_EQ(sampler(0.5f + 0.5f / 256.0f, 0.5f, 0.5f), 1.0f / 256.0f);
  // Beyond the faces the edge voxels are read.
  EXPECT_EQ(sampler(-7.0f, 0.5f, 0.5f), 0.0f);
  EXPECT_EQ(sampler(40.0f, -3.0f, 9.0f), 1.0f);
}

}  // namespace
}  // namespace voluna
