// The fast CPU path against the plain one: every field, float result and
// result byte must agree bit for bit, on every SIMD target this machine runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "brick.h"
#include "byte_conversion.h"
#include "fast_direction_search.h"
#include "filter.h"
#include "hwy/targets.h"
#include "progress_checks.h"
#include "run_stats.h"
#include "scenes.h"

namespace voluna {
namespace {

std::vector<float> unitFloats(const std::vector<uint8_t>& bytes) {
  return bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size()));
}

enum class Kind { Noise, Tubes, Plateaus, HalfFlat, NonFinite, AlongY };

// Flat patches with steps between them: searches stop early at many
// different directions, and equal scores are common.
std::vector<float> plateaus(Dims dims) {
  std::vector<float> v(static_cast<size_t>(dims.count()));
  for (int z = 0; z < dims.z; ++z)
    for (int y = 0; y < dims.y; ++y)
      for (int x = 0; x < dims.x; ++x) v[dims.index(x, y, z)] = ((x / 5 + y / 4 + z) % 3) * 0.4f;
  return v;
}

// Flat below the middle slice, a checkerboard of two values above it. Near
// the middle many lines are flat on one side only, so their scores come
// entirely from one walk: the pruning bound, which sees only the backward
// walk and the forward walk's leading zero, then lies just below the score,
// and equal scores are common.
std::vector<float> halfFlat(Dims dims) {
  std::vector<float> v(static_cast<size_t>(dims.count()));
  for (int z = 0; z < dims.z; ++z)
    for (int y = 0; y < dims.y; ++y)
      for (int x = 0; x < dims.x; ++x)
        v[dims.index(x, y, z)] = 2 * z < dims.z ? 0.5f : ((x + y + z) % 2) * 0.6f;
  return v;
}

// Noise with NaNs, infinities, huge and tiny values and negative zeros
// scattered through it: what the float entry point may be handed.
std::vector<float> nonFinite(Dims dims, uint64_t seed) {
  std::vector<float> v = unitFloats(noiseBytes(dims, seed));
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            3e38f,
                            -1e20f,
                            1e-40f,
                            -0.0f};
  for (size_t i = 0; i < v.size(); i += 11) v[i] = specials[(i / 11) % 7];
  return v;
}

// Noise that is constant along y: lines along y score 0, and the first of
// them in set order heads the row theta = 90, whose every other direction
// repeats it.
std::vector<float> alongY(Dims dims) {
  const std::vector<float> slice = unitFloats(noiseBytes(Dims{dims.x, 1, dims.z}, 4));
  std::vector<float> v(static_cast<size_t>(dims.count()));
  for (int z = 0; z < dims.z; ++z)
    for (int y = 0; y < dims.y; ++y)
      for (int x = 0; x < dims.x; ++x) v[dims.index(x, y, z)] = slice[x + size_t(dims.x) * z];
  return v;
}

struct Case {
  const char* name;
  Dims dims;
  int samples, steps, angle;
  Kind kind;
};

std::vector<float> volumeOf(const Case& c) {
  switch (c.kind) {
    case Kind::Tubes:
      return unitFloats(toBytes(crossingTubes(c.dims.x, c.dims.x / 6.0f, 25.0f, 5).noisy));
    case Kind::Plateaus:
      return plateaus(c.dims);
    case Kind::HalfFlat:
      return halfFlat(c.dims);
    case Kind::NonFinite:
      return nonFinite(c.dims, 9);
    case Kind::AlongY:
      return alongY(c.dims);
    case Kind::Noise:
      break;
  }
  return unitFloats(noiseBytes(c.dims, static_cast<uint64_t>(c.dims.count())));
}

// Sizes that are no multiple of any vector width, faces closer than the
// padding, and the parameter extremes. Small enough for the plain path.
const Case kCases[] = {
    {"noise", {11, 9, 5}, 5, 5, 5, Kind::Noise},
    {"tubes", {14, 14, 14}, 5, 5, 15, Kind::Tubes},
    {"one slice", {37, 23, 1}, 5, 5, 10, Kind::Noise},
    {"walks past the margin", {2, 3, 4}, 40, 3, 20, Kind::Noise},
    {"long walks", {70, 3, 2}, 40, 2, 30, Kind::Noise},
    {"one voxel wide", {1, 6, 5}, 7, 4, 15, Kind::Noise},
    {"no samples", {9, 5, 4}, 0, 5, 10, Kind::Noise},
    {"one sample", {10, 6, 3}, 1, 5, 5, Kind::Noise},
    {"99 samples", {6, 4, 3}, 99, 5, 20, Kind::Noise},
    {"angle 1", {4, 3, 2}, 1, 5, 1, Kind::Noise},
    {"angle 90", {11, 7, 5}, 5, 5, 90, Kind::Noise},
    {"angle 180", {11, 7, 5}, 5, 5, 180, Kind::Noise},
    {"no steps", {12, 9, 6}, 4, 0, 15, Kind::Noise},
    {"20 steps", {12, 9, 6}, 4, 20, 15, Kind::Noise},
    {"plateaus", {20, 9, 4}, 5, 5, 10, Kind::Plateaus},
    {"flat on one side", {19, 7, 12}, 5, 5, 10, Kind::HalfFlat},
    {"non-finite voxels", {13, 6, 5}, 3, 5, 15, Kind::NonFinite},
    {"constant along y", {17, 5, 6}, 4, 3, 10, Kind::AlongY},
};

FilterParams paramsOf(const Case& c, bool preserveEdges) {
  FilterParams p;
  p.samples = c.samples;
  p.integrationSteps = c.steps;
  p.angleStep = c.angle;
  p.preserveEdges = preserveEdges;
  return p;
}

struct Outputs {
  std::vector<Vec3> field;
  std::vector<float> result;
  std::vector<uint8_t> bytes;
};

// Both entry points on one CPU path, on two threads.
Outputs outputsOf(const Case& c, bool preserveEdges, Backend backend, bool pruning = true,
                  SearchStats* stats = nullptr) {
  const std::vector<float> volume = volumeOf(c);
  const FilterParams params = paramsOf(c, preserveEdges);
  FilterOptions options;
  options.backend = backend;
  options.threads = 2;
  options.pruning = pruning;
  RunStats run;
  options.stats = &run;
  Outputs o;
  o.field.resize(volume.size());
  o.result.resize(volume.size());
  EXPECT_TRUE(runDirectionField(volume.data(), c.dims, params, o.field.data(), options).ok());
  if (stats) *stats = run.search;
  options.stats = nullptr;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(runFilter(volume.data(), c.dims, params, o.result.data(), options).ok());
  testing::internal::GetCapturedStdout();
  o.bytes = unitFloatsToBytes(o.result.data(), static_cast<int64_t>(o.result.size()));
  return o;
}

// The plain path's outputs, computed once for all targets.
const Outputs& reference(const Case& c, bool preserveEdges) {
  static std::map<std::string, Outputs> cache;
  const std::string key = std::string(c.name) + (preserveEdges ? "/edges" : "");
  auto found = cache.find(key);
  if (found != cache.end()) return found->second;
  return cache.emplace(key, outputsOf(c, preserveEdges, Backend::CpuReference)).first->second;
}

Outputs fast(const Case& c, bool preserveEdges, SearchStats* stats = nullptr,
             bool pruning = true) {
  return outputsOf(c, preserveEdges, Backend::Cpu, pruning, stats);
}

// Index of the first element whose bits differ, or -1.
template <class T>
long firstDifference(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::memcmp(&a[i], &b[i], sizeof(T)) != 0) return static_cast<long>(i);
  }
  return -1;
}

// Results agree bit for bit, except that two NaNs count as equal whatever
// their sign and payload: which NaN operand an x86 instruction passes on
// depends on the operand order the compiler picks for a commutative
// operation, in the plain path as much as in the fast one (an -O1 build of
// both disagreed on the sign of NaN results that an -O3 build agrees on).
long firstDifferentResult(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return static_cast<long>(i);
  }
  return -1;
}

void expectSame(const Outputs& expected, const Outputs& actual) {
  EXPECT_EQ(firstDifference(expected.field, actual.field), -1) << "first differing field record";
  EXPECT_EQ(firstDifferentResult(expected.result, actual.result), -1) << "first differing result";
  EXPECT_EQ(firstDifference(expected.bytes, actual.bytes), -1) << "first differing byte";
}

std::vector<int64_t> targetsHere() {
  std::vector<int64_t> targets;
  for (int64_t bits = searchTargets(); bits != 0; bits &= bits - 1) targets.push_back(bits & -bits);
  return targets;
}

// Each test runs with the search and integration restricted to one target.
class FastFilterOnTarget : public ::testing::TestWithParam<int64_t> {
 protected:
  void SetUp() override { hwy::SetSupportedTargetsForTest(GetParam()); }
  void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

TEST_P(FastFilterOnTarget, RunsOnTheTargetUnderTest) {
  EXPECT_STREQ(searchTargetName(), hwy::TargetName(GetParam()));
}

TEST_P(FastFilterOnTarget, MatchesThePlainPathBitForBit) {
  for (const Case& c : kCases) {
    for (bool edges : {false, true}) {
      SCOPED_TRACE(::testing::Message() << c.name << (edges ? ", edge-preserving" : ""));
      expectSame(reference(c, edges), fast(c, edges));
    }
  }
}

// Far from x = 0 positions round differently from the walk that sets the
// common x fraction, and lanes on either side of x = 65536 round differently
// from each other: runs there take their own weights or sample lane by lane.
TEST_P(FastFilterOnTarget, RunsThatDisagreeTakeTheSlowerPaths) {
  const Case wide = {"one wide row", {70000, 1, 1}, 2, 2, 45, Kind::Noise};
  SearchStats stats;
  expectSame(reference(wide, false), fast(wide, false, &stats));
  EXPECT_GT(stats.mixedSamples, 0u);
  EXPECT_GT(stats.ownFractionSamples, 0u);
}

TEST_P(FastFilterOnTarget, PruningDropsDirectionsAndChangesNothing) {
  const Case& tubes = kCases[1];
  ASSERT_EQ(tubes.kind, Kind::Tubes);
  for (bool edges : {false, true}) {
    SCOPED_TRACE(edges ? "edge-preserving" : "default score");
    SearchStats pruned, unpruned;
    const Outputs withPruning = fast(tubes, edges, &pruned);
    const Outputs without = fast(tubes, edges, &unpruned, false);
    expectSame(without, withPruning);
    expectSame(reference(tubes, edges), without);
    EXPECT_GT(pruned.prunedDirections, 0u);
    EXPECT_EQ(unpruned.prunedDirections, 0u);
    EXPECT_LT(pruned.chunkSamples, unpruned.chunkSamples);
    EXPECT_EQ(pruned.referenceSamples, unpruned.referenceSamples);
  }
}

// Most directions of the set repeat an earlier one. These cases stop early
// at the first of a set of copies (constant along y), tie often (plateaus)
// and score NaN (non-finite voxels), and must take copies' scores
// unscored while giving the plain path's choice.
TEST_P(FastFilterOnTarget, CopiesOfADirectionTakeItsScoreAndChangeNothing) {
  for (const char* name : {"plateaus", "constant along y", "non-finite voxels", "tubes"}) {
    const Case* c = nullptr;
    for (const Case& k : kCases) {
      if (std::string(k.name) == name) c = &k;
    }
    ASSERT_NE(c, nullptr) << name;
    for (bool edges : {false, true}) {
      SCOPED_TRACE(::testing::Message() << name << (edges ? ", edge-preserving" : ""));
      SearchStats stats;
      expectSame(reference(*c, edges), fast(*c, edges, &stats));
      EXPECT_GT(stats.copiedDirections, 0u);
    }
  }
}

// A brick's voxels searched and integrated at whole-volume coordinates from
// a buffer of its halo alone: the runs start anywhere in a row, and their
// loads meet the buffer's own faces rather than the volume's.
std::vector<float> bricked(const Case& c, bool preserveEdges, Extent edge) {
  const std::vector<float> volume = volumeOf(c);
  const FilterParams params = paramsOf(c, preserveEdges);
  const Extent whole{c.dims.x, c.dims.y, c.dims.z};
  std::vector<float> out(volume.size());
  FilterOptions options;
  options.backend = Backend::Cpu;
  options.threads = 2;
  for (int64_t z0 = 0; z0 < whole.z; z0 += edge.z)
    for (int64_t y0 = 0; y0 < whole.y; y0 += edge.y)
      for (int64_t x0 = 0; x0 < whole.x; x0 += edge.x) {
        const Box interior{x0, y0, z0, std::min(whole.x, x0 + edge.x),
                           std::min(whole.y, y0 + edge.y), std::min(whole.z, z0 + edge.z)};
        const Box halo = haloBox(interior, whole, params);
        std::vector<float> input;
        for (int64_t z = halo.z0; z < halo.z1; ++z)
          for (int64_t y = halo.y0; y < halo.y1; ++y) {
            const float* row = volume.data() + c.dims.index(static_cast<int>(halo.x0),
                                                           static_cast<int>(y), static_cast<int>(z));
            input.insert(input.end(), row, row + halo.width());
          }
        std::vector<float> result(static_cast<size_t>(interior.count()));
        const FilterOutcome outcome =
            runBrick(input.data(), halo, whole, interior, params, result.data(), options);
        EXPECT_TRUE(outcome.ok()) << outcome.message;
        const float* from = result.data();
        for (int64_t z = interior.z0; z < interior.z1; ++z)
          for (int64_t y = interior.y0; y < interior.y1; ++y, from += interior.width()) {
            std::copy(from, from + interior.width(),
                      out.begin() + c.dims.index(static_cast<int>(interior.x0), static_cast<int>(y),
                                                 static_cast<int>(z)));
          }
      }
  return out;
}

TEST_P(FastFilterOnTarget, BricksMatchTheWholeRunBitForBit) {
  struct BrickCase {
    Case c;
    Extent edge;
  };
  const BrickCase cases[] = {
      {kCases[0], {6, 4, 5}},
      {kCases[1], {5, 14, 3}},
      {kCases[3], {1, 1, 1}},
      {kCases[4], {9, 1, 1}},
      {kCases[4], {33, 3, 2}},
      {kCases[16], {7, 3, 5}},
      // Bricks near x = 65536, where runs take their own weights and lanes.
      {{"one wide row", {70000, 1, 1}, 2, 2, 45, Kind::Noise}, {1000, 1, 1}},
  };
  for (const BrickCase& b : cases) {
    for (bool edges : {false, true}) {
      SCOPED_TRACE(::testing::Message() << b.c.name << " in bricks of " << b.edge.x << "x"
                                        << b.edge.y << "x" << b.edge.z
                                        << (edges ? ", edge-preserving" : ""));
      EXPECT_EQ(firstDifferentResult(reference(b.c, edges).result, bricked(b.c, edges, b.edge)), -1);
    }
  }
}

std::string targetName(const ::testing::TestParamInfo<int64_t>& info) {
  return hwy::TargetName(info.param);
}

INSTANTIATE_TEST_SUITE_P(SimdTargets, FastFilterOnTarget, ::testing::ValuesIn(targetsHere()),
                         targetName);

TEST(FastFilter, IsTheDefaultCpuPathOfTheEntryPoint) {
  const Case c = {"non-finite voxels", {13, 6, 5}, 3, 5, 15, Kind::NonFinite};
  const std::vector<float> volume = volumeOf(c);
  for (bool edges : {false, true}) {
    SCOPED_TRACE(edges ? "edge-preserving" : "default score");
    std::vector<float> plain(volume.size()), fastOut(volume.size());
    FilterOptions options;
    options.threads = 2;
    options.backend = Backend::CpuReference;
    const FilterOutcome a = runFilter(volume.data(), c.dims, paramsOf(c, edges), plain.data(), options);
    options.backend = Backend::Cpu;
    const FilterOutcome b = runFilter(volume.data(), c.dims, paramsOf(c, edges), fastOut.data(), options);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(b.backend, "CPU, 2 threads");
    EXPECT_EQ(firstDifferentResult(plain, fastOut), -1);
    EXPECT_EQ(firstDifference(
                  unitFloatsToBytes(plain.data(), static_cast<int64_t>(plain.size())),
                  unitFloatsToBytes(fastOut.data(), static_cast<int64_t>(fastOut.size()))),
              -1);
  }
}

TEST(FastFilter, ReportsProgressInOrderAndStopsWhenCancelled) {
  const Dims dims{40, 24, 16};
  const std::vector<float> volume = unitFloats(noiseBytes(dims, 3));
  FilterParams params;
  params.angleStep = 30;
  std::vector<float> out(volume.size());
  FilterOptions options;
  options.backend = Backend::Cpu;
  options.threads = 2;
  test_support::expectProgressInOrderAndCancelToStop([&](RunControl* control) {
    options.control = control;
    testing::internal::CaptureStdout();
    const bool finished = runFilter(volume.data(), dims, params, out.data(), options).ok();
    testing::internal::GetCapturedStdout();
    return finished;
  }, 3);
}

}  // namespace
}  // namespace voluna
