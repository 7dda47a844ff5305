// The plain CPU reference path, through the entry points, against a second
// implementation and against what the arithmetic says.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "brick.h"
#include "byte_conversion.h"
#include "filter.h"
#include "naive_filter.h"
#include "progress_checks.h"
#include "scenes.h"

namespace voluna {
namespace {

std::vector<float> unitFloats(const std::vector<uint8_t>& bytes) {
  return bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size()));
}

FilterOptions plainPath(int threads = 0) {
  FilterOptions options;
  options.backend = Backend::CpuReference;
  options.threads = threads;
  return options;
}

std::vector<Vec3> fieldOf(const std::vector<float>& volume, Dims dims, int samples, int angle,
                          bool preserveEdges = false) {
  FilterParams params;
  params.samples = samples;
  params.angleStep = angle;
  params.preserveEdges = preserveEdges;
  std::vector<Vec3> field(static_cast<size_t>(dims.count()));
  EXPECT_TRUE(runDirectionField(volume.data(), dims, params, field.data(), plainPath()).ok());
  return field;
}

// runFilter without its stage lines on the test's output.
FilterOutcome quietRun(const std::vector<float>& volume, Dims dims, const FilterParams& params,
                       std::vector<float>& out, const FilterOptions& options) {
  testing::internal::CaptureStdout();
  const FilterOutcome outcome = runFilter(volume.data(), dims, params, out.data(), options);
  testing::internal::GetCapturedStdout();
  return outcome;
}

std::vector<float> filtered(const std::vector<float>& volume, Dims dims, const FilterParams& params,
                            const FilterOptions& options = plainPath(2)) {
  std::vector<float> out(volume.size());
  EXPECT_TRUE(quietRun(volume, dims, params, out, options).ok());
  return out;
}

// The same bits; two NaNs count as equal whatever their sign and payload
// (which NaN an operation passes on depends on the compiler's operand order).
bool sameBits(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// A constant volume with a noisy block and, optionally, a lone NaN: the
// constant-region shortcuts next to structure and next to a value that
// must not be mistaken for part of a constant region.
std::vector<float> mostlyConstant(Dims dims, bool withNaN) {
  std::vector<float> v(static_cast<size_t>(dims.count()), 77.0f / 255.0f);
  const std::vector<float> noise = unitFloats(noiseBytes(Dims{4, 3, 3}, 5));
  for (int z = 0; z < 3; ++z)
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 4; ++x) v[dims.index(x + 3, y + 2, z + 1)] = noise[x + 4 * (y + 3 * z)];
  if (withNaN) v[dims.index(dims.x - 3, dims.y - 2, dims.z - 2)] = std::nanf("");
  return v;
}

TEST(ReferencePath, AgreesBitForBitWithAPlainSecondImplementation) {
  struct Case {
    Dims dims;
    int samples, steps, angle;
    bool preserveEdges;
    int kind;  // 0 noise, 1 mostly constant, 2 mostly constant with a NaN
  };
  const Case cases[] = {
      {{9, 7, 5}, 3, 4, 30, false, 0}, {{13, 5, 1}, 5, 5, 45, false, 0},
      {{6, 6, 6}, 2, 3, 20, true, 0},  {{5, 4, 3}, 5, 5, 5, false, 0},
      {{1, 1, 1}, 4, 2, 60, false, 0}, {{11, 3, 4}, 1, 7, 90, true, 0},
      {{30, 20, 18}, 2, 2, 45, false, 1}, {{30, 20, 18}, 3, 2, 30, true, 2},
  };
  uint64_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.dims.x << "x" << c.dims.y << "x" << c.dims.z << " s" << c.samples
                                      << " n" << c.steps << " a" << c.angle << " e" << c.preserveEdges
                                      << " kind " << c.kind);
    const std::vector<float> volume =
        c.kind == 0 ? unitFloats(noiseBytes(c.dims, seed++)) : mostlyConstant(c.dims, c.kind == 2);
    const naive::Volume nv{c.dims.x, c.dims.y, c.dims.z, volume};
    const naive::Field nf = naive::vectorField(nv, c.samples, c.angle, c.preserveEdges);
    const std::vector<float> expected = naive::integrate(nv, nf, c.steps);

    const std::vector<Vec3> field = fieldOf(volume, c.dims, c.samples, c.angle, c.preserveEdges);
    for (size_t i = 0; i < field.size(); ++i) {
      ASSERT_TRUE(sameBits(field[i].x, nf.xyz[3 * i]) && sameBits(field[i].y, nf.xyz[3 * i + 1]) &&
                  sameBits(field[i].z, nf.xyz[3 * i + 2]))
          << "field differs at voxel " << i;
    }
    FilterParams params;
    params.samples = c.samples;
    params.integrationSteps = c.steps;
    params.angleStep = c.angle;
    params.preserveEdges = c.preserveEdges;
    const std::vector<float> out = filtered(volume, c.dims, params);
    for (size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(sameBits(out[i], expected[i])) << "voxel " << i;
  }
}

TEST(ReferencePath, FieldEdgeCases) {
  const Dims dims{8, 3, 2};
  // A constant volume and samples = 0 both give (1, 0, -0) everywhere.
  for (const auto& [volume, samples] :
       {std::pair{std::vector<float>(48, 0.4f), 5}, std::pair{unitFloats(noiseBytes(dims, 7)), 0}}) {
    for (const Vec3& f : fieldOf(volume, dims, samples, 5)) {
      EXPECT_EQ(f.x, 1.0f);
      EXPECT_EQ(f.y, 0.0f);
      EXPECT_EQ(f.z, -0.0f);
    }
  }
  // A step between two planes: at x = 4 the line along x reads only 0s
  // backward and only 1s forward, scores 0 and is chosen at once.
  std::vector<float> step(48);
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 8; ++x) step[dims.index(x, y, z)] = x > 4 ? 1.0f : 0.0f;
  const std::vector<Vec3> field = fieldOf(step, dims, 5, 5);
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < 3; ++y) EXPECT_EQ(field[dims.index(4, y, z)].x, 1.0f);
  // With the edge-preserving score the line across the step is not chosen.
  const std::vector<Vec3> preserved = fieldOf(step, dims, 5, 5, true);
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < 3; ++y) EXPECT_LT(std::fabs(preserved[dims.index(4, y, z)].x), 0.5f);
}

TEST(ReferencePath, OfEqualScoresTheLaterDirectionIsStored) {
  // Varies along x by a little and along y and z by a lot: the x line wins,
  // and at 90 degrees it is in the set twice, as (1, 0, 0) and (-1, 0, ~0);
  // both score the same, so the second is stored.
  const Dims dims{5, 5, 5};
  std::vector<float> volume(125);
  for (int z = 0; z < 5; ++z)
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 5; ++x) volume[dims.index(x, y, z)] = 0.01f * (x % 2) + 0.3f * y + 0.2f * z * z;
  const Vec3 f = fieldOf(volume, dims, 2, 90)[dims.index(2, 2, 2)];
  EXPECT_EQ(f.x, -1.0f);
  EXPECT_EQ(f.y, 0.0f);
}

TEST(ReferencePath, IntegrationEdgeCases) {
  const Dims dims{7, 2, 3};
  const Extent whole{dims.x, dims.y, dims.z};
  const Box all = Box::of(whole);
  const std::vector<float> volume = unitFloats(noiseBytes(dims, 3));
  FilterParams params;
  params.samples = 3;
  params.angleStep = 45;

  for (const Backend backend : {Backend::CpuReference, Backend::Cpu}) {
    SCOPED_TRACE(backend == Backend::Cpu ? "SIMD path" : "plain path");
    FilterOptions options = plainPath(2);
    options.backend = backend;
    // No steps: every output is its voxel's value, exactly.
    params.integrationSteps = 0;
    EXPECT_EQ(filtered(volume, dims, params, options), volume);

    // A uniform field of direction 0, (1, 0, -0), moves one voxel per step:
    // the mean along x of the clamped neighbours, centre first, then
    // against, then along.
    const int s = 4;
    params.integrationSteps = s;
    const std::vector<uint16_t> alongX(volume.size(), 0);
    std::vector<float> out(volume.size());
    ASSERT_TRUE(integrateBrick(volume.data(), all, alongX.data(), all, whole, all, params,
                               out.data(), options)
                    .ok());
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
}

TEST(ReferencePath, ResultsStayWithinTheInputRangeAndRepeat) {
  const Scene scene = crossingTubes(12, 3.0f, 20.0f, 42);
  const Dims dims = scene.dims;
  const std::vector<float> volume = unitFloats(toBytes(scene.noisy));
  FilterParams params;
  params.angleStep = 20;
  const std::vector<float> first = filtered(volume, dims, params, plainPath(1));
  const std::vector<float> second = filtered(volume, dims, params, plainPath(2));
  EXPECT_EQ(first, second);  // thread count and scheduling change nothing
  const auto [lo, hi] = std::minmax_element(volume.begin(), volume.end());
  for (float v : first) {
    EXPECT_GE(v, *lo * (1 - 1e-6f));
    EXPECT_LE(v, *hi * (1 + 1e-6f));
  }
}

TEST(ReferencePath, ProgressIsMonotoneAndCancelStops) {
  const Dims dims{6, 6, 6};
  const std::vector<float> volume = unitFloats(noiseBytes(dims, 11));
  const FilterParams params{5, 5, 30};
  std::vector<float> out(volume.size());
  test_support::expectProgressInOrderAndCancelToStop([&](RunControl* control) {
    FilterOptions options = plainPath(2);
    options.control = control;
    return quietRun(volume, dims, params, out, options).ok();
  }, 2);
}

}  // namespace
}  // namespace voluna
