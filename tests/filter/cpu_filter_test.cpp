#include "cpu_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "byte_conversion.h"
#include "direction_set.h"
#include "naive_filter.h"
#include "progress_checks.h"
#include "scenes.h"

namespace voluna {
namespace {

std::vector<float> unitFloats(const std::vector<uint8_t>& bytes) {
  return bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size()));
}

std::vector<Float4> fieldOf(const std::vector<float>& volume, Dims dims, int samples, int angle,
                            bool preserveEdges = false) {
  std::vector<Float4> field(static_cast<size_t>(dims.count()));
  EXPECT_TRUE(CpuFilter().createVectorField(volume.data(), dims, samples, preserveEdges,
                                            buildDirectionSet(angle), field.data()));
  return field;
}

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(CpuFilter, AgreesBitForBitWithAPlainSecondImplementation) {
  struct Case {
    Dims dims;
    int samples, steps, angle;
    bool preserveEdges;
  };
  const Case cases[] = {
      {{9, 7, 5}, 3, 4, 30, false}, {{13, 5, 1}, 5, 5, 45, false}, {{6, 6, 6}, 2, 3, 20, true},
      {{5, 4, 3}, 5, 5, 5, false},  {{1, 1, 1}, 4, 2, 60, false},  {{11, 3, 4}, 1, 7, 90, true},
  };
  uint64_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.dims.x << "x" << c.dims.y << "x" << c.dims.z << " s" << c.samples
                                      << " n" << c.steps << " a" << c.angle << " e" << c.preserveEdges);
    const std::vector<float> volume = unitFloats(noiseBytes(c.dims, seed++));
    const naive::Volume nv{c.dims.x, c.dims.y, c.dims.z, volume};
    const naive::Field nf = naive::vectorField(nv, c.samples, c.angle, c.preserveEdges);
    const std::vector<float> expected = naive::integrate(nv, nf, c.steps);

    const std::vector<Float4> field = fieldOf(volume, c.dims, c.samples, c.angle, c.preserveEdges);
    for (size_t i = 0; i < field.size(); ++i) {
      ASSERT_TRUE(sameBits(field[i].x, nf.xyz[3 * i]) && sameBits(field[i].y, nf.xyz[3 * i + 1]) &&
                  sameBits(field[i].z, nf.xyz[3 * i + 2]))
          << "field differs at voxel " << i;
      ASSERT_EQ(field[i].w, 0.0f);
    }
    FilterParams params;
    params.samples = c.samples;
    params.integrationSteps = c.steps;
    params.angleStep = c.angle;
    params.preserveEdges = c.preserveEdges;
    std::vector<float> out(volume.size());
    ASSERT_TRUE(CpuFilter(2).run(volume.data(), c.dims, params, out.data()));
    for (size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(sameBits(out[i], expected[i])) << "voxel " << i;
  }
}

TEST(CpuFilter, FieldEdgeCases) {
  const Dims dims{8, 3, 2};
  // A constant volume and samples = 0 both give (1, 0, 0, 0) everywhere.
  for (const auto& [volume, samples] :
       {std::pair{std::vector<float>(48, 0.4f), 5}, std::pair{unitFloats(noiseBytes(dims, 7)), 0}}) {
    for (const Float4& f : fieldOf(volume, dims, samples, 5)) {
      EXPECT_EQ(f.x, 1.0f);
      EXPECT_EQ(f.y, 0.0f);
      EXPECT_EQ(f.z, -0.0f);
      EXPECT_EQ(f.w, 0.0f);
    }
  }
  // A step between two planes: at x = 4 the line along x reads only 0s
  // backward and only 1s forward, scores 0 and is chosen at once.
  std::vector<float> step(48);
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 8; ++x) step[dims.index(x, y, z)] = x > 4 ? 1.0f : 0.0f;
  const std::vector<Float4> field = fieldOf(step, dims, 5, 5);
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < 3; ++y) EXPECT_EQ(field[dims.index(4, y, z)].x, 1.0f);
  // With the edge-preserving score the line across the step is not chosen.
  const std::vector<Float4> preserved = fieldOf(step, dims, 5, 5, true);
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < 3; ++y) EXPECT_LT(std::fabs(preserved[dims.index(4, y, z)].x), 0.5f);
}

TEST(CpuFilter, OfEqualScoresTheLaterDirectionIsStored) {
  // Varies along x by a little and along y and z by a lot: the x line wins,
  // and at 90 degrees it is in the set twice, as (1, 0, 0) and (-1, 0, ~0);
  // both score the same, so the second is stored.
  const Dims dims{5, 5, 5};
  std::vector<float> volume(125);
  for (int z = 0; z < 5; ++z)
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 5; ++x) volume[dims.index(x, y, z)] = 0.01f * (x % 2) + 0.3f * y + 0.2f * z * z;
  const Float4 f = fieldOf(volume, dims, 2, 90)[dims.index(2, 2, 2)];
  EXPECT_EQ(f.x, -1.0f);
  EXPECT_EQ(f.y, 0.0f);
}

TEST(CpuFilter, IntegrationEdgeCases) {
  const Dims dims{7, 2, 3};
  const std::vector<float> volume = unitFloats(noiseBytes(dims, 3));
  const CpuFilter cpu;
  std::vector<float> out(volume.size());

  // No steps: every output is its voxel's value, exactly.
  const std::vector<Float4> anyField = fieldOf(volume, dims, 3, 45);
  ASSERT_TRUE(cpu.integrateVectorField(volume.data(), anyField.data(), dims, 0, out.data()));
  EXPECT_EQ(out, volume);

  // A zero field keeps every path at its centre: 2s + 1 equal additions.
  const std::vector<Float4> zero(volume.size(), Float4{0, 0, 0, 0});
  ASSERT_TRUE(cpu.integrateVectorField(volume.data(), zero.data(), dims, 3, out.data()));
  for (size_t i = 0; i < out.size(); ++i) {
    float acc = volume[i];
    for (int k = 0; k < 6; ++k) acc = acc + volume[i];
    EXPECT_EQ(out[i], acc * (1.0f / 7.0f));
  }

  // A uniform (1, 0, 0) field moves one voxel per step: the mean along x of
  // the clamped neighbours, centre first, then against, then along.
  const std::vector<Float4> alongX(volume.size(), Float4{1, 0, 0, 0});
  const int s = 4;
  ASSERT_TRUE(cpu.integrateVectorField(volume.data(), alongX.data(), dims, s, out.data()));
  for (int z = 0; z < dims.z; ++z)
    for (int y = 0; y < dims.y; ++y)
      for (int x = 0; x < dims.x; ++x) {
        auto at = [&](int xx) { return volume[dims.index(std::clamp(xx, 0, dims.x - 1), y, z)]; };
        float acc = at(x);
        for (int m = 1; m <= s; ++m) acc = acc + at(x - m);
        for (int m = 1; m <= s; ++m) acc = acc + at(x + m);
        EXPECT_EQ(out[dims.index(x, y, z)], acc * (1.0f / 9.0f)) << x << "," << y << "," << z;
      }
}

TEST(CpuFilter, ResultsStayWithinTheInputRangeAndRepeat) {
  const Scene scene = crossingTubes(12, 3.0f, 20.0f, 42);
  const Dims dims = scene.dims;
  const std::vector<float> volume = unitFloats(toBytes(scene.noisy));
  FilterParams params;
  params.angleStep = 20;
  std::vector<float> first(volume.size()), second(volume.size());
  ASSERT_TRUE(CpuFilter(1).run(volume.data(), dims, params, first.data()));
  ASSERT_TRUE(CpuFilter(2).run(volume.data(), dims, params, second.data()));
  EXPECT_EQ(first, second);  // thread count and scheduling change nothing
  const auto [lo, hi] = std::minmax_element(volume.begin(), volume.end());
  for (float v : first) {
    EXPECT_GE(v, *lo * (1 - 1e-6f));
    EXPECT_LE(v, *hi * (1 + 1e-6f));
  }
}

TEST(CpuFilter, ProgressIsMonotoneAndCancelStops) {
  const Dims dims{6, 6, 6};
  const std::vector<float> volume = unitFloats(noiseBytes(dims, 11));
  FilterParams params;
  params.angleStep = 30;
  std::vector<float> out(volume.size());
  test_support::expectProgressInOrderAndCancelToStop([&](RunControl* control) {
    return CpuFilter(2).run(volume.data(), dims, params, out.data(), control);
  }, 2);
}

}  // namespace
}  // namespace voluna
