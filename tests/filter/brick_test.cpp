#include "brick.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "brick_plan.h"
#include "byte_conversion.h"
#include "direction_set.h"
#include "filter.h"
#include "scenes.h"
#include "test_volumes.h"

namespace voluna {
namespace {

Extent extentOf(Dims d) { return {d.x, d.y, d.z}; }

std::vector<float> structuredVolume(Dims d, uint32_t seed) {
  return test_support::structuredVolume(d, seed, 20, false);
}

// A constant volume with a small noisy block and a lone spike: constant
// tiles, tiles next to structure, and structure itself.
std::vector<float> mostlyConstantVolume(Dims d) {
  std::vector<float> v(static_cast<size_t>(d.count()), 77.0f / 255.0f);
  const std::vector<float> blob = structuredVolume(Dims{6, 5, 4}, 9);
  for (int z = 0; z < 4; ++z)
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 6; ++x) {
        v[static_cast<size_t>(d.index(x + d.x / 3, y + 1, z + d.z / 2))] =
            blob[static_cast<size_t>(x + 6 * (y + 5 * z))];
      }
  v[static_cast<size_t>(d.index(d.x - 2, d.y - 1, 1))] = 1.0f;
  return v;
}

std::vector<float> wholeRun(const std::vector<float>& v, Dims d, const FilterParams& params,
                            Backend backend) {
  std::vector<float> out(v.size());
  FilterOptions options;
  options.backend = backend;
  testing::internal::CaptureStdout();
  const FilterOutcome outcome = runFilter(v.data(), d, params, out.data(), options);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(outcome.ok()) << outcome.message;
  return out;
}

// The voxels of `box` copied out of a whole volume into a buffer of their own,
// so that a read outside the box cannot go unnoticed (AddressSanitizer).
std::vector<float> cutOut(const std::vector<float>& v, Dims d, const Box& box) {
  std::vector<float> part;
  part.reserve(static_cast<size_t>(box.count()));
  for (int64_t z = box.z0; z < box.z1; ++z)
    for (int64_t y = box.y0; y < box.y1; ++y)
      for (int64_t x = box.x0; x < box.x1; ++x) {
        part.push_back(v[static_cast<size_t>(d.index(static_cast<int>(x), static_cast<int>(y),
                                                     static_cast<int>(z)))]);
      }
  return part;
}

// Filters every brick of edge `edge` from exactly its clipped halo and puts
// the interiors back together.
std::vector<float> brickedRun(const std::vector<float>& v, Dims d, const FilterParams& params,
                              Extent edge, Backend backend = Backend::Cpu) {
  std::vector<float> out(v.size(), -7.0f);
  const Extent whole = extentOf(d);
  FilterOptions options;
  options.backend = backend;
  // Many tiny bricks: one thread spares each its thread start-up.
  options.threads = 1;
  for (int64_t z0 = 0; z0 < d.z; z0 += edge.z)
    for (int64_t y0 = 0; y0 < d.y; y0 += edge.y)
      for (int64_t x0 = 0; x0 < d.x; x0 += edge.x) {
        const Box interior{x0, y0, z0, std::min<int64_t>(d.x, x0 + edge.x),
                           std::min<int64_t>(d.y, y0 + edge.y), std::min<int64_t>(d.z, z0 + edge.z)};
        const Box halo = haloBox(interior, whole, params);
        const std::vector<float> input = cutOut(v, d, halo);
        std::vector<float> result(static_cast<size_t>(interior.count()));
        const FilterOutcome outcome =
            runBrick(input.data(), halo, whole, interior, params, result.data(), options);
        EXPECT_TRUE(outcome.ok()) << outcome.message;
        size_t at = 0;
        for (int64_t z = interior.z0; z < interior.z1; ++z)
          for (int64_t y = interior.y0; y < interior.y1; ++y)
            for (int64_t x = interior.x0; x < interior.x1; ++x) {
              out[static_cast<size_t>(d.index(static_cast<int>(x), static_cast<int>(y),
                                              static_cast<int>(z)))] = result[at++];
            }
      }
  return out;
}

// Identical floats; NaNs count as equal whatever their sign or payload.
::testing::AssertionResult sameFloats(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes differ";
  int64_t differing = 0, first = -1;
  for (size_t i = 0; i < a.size(); ++i) {
    const bool same = (std::isnan(a[i]) && std::isnan(b[i])) ||
                      std::memcmp(&a[i], &b[i], sizeof(float)) == 0;
    if (!same && differing++ == 0) first = static_cast<int64_t>(i);
  }
  if (differing == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << differing << " of " << a.size() << " voxels differ, the first at index " << first
         << ": " << a[static_cast<size_t>(first)] << " vs " << b[static_cast<size_t>(first)];
}

FilterParams smallParams(int samples, int steps, int angle = 30, bool edges = false) {
  FilterParams p;
  p.samples = samples;
  p.integrationSteps = steps;
  p.angleStep = angle;
  p.preserveEdges = edges;
  return p;
}

TEST(BrickReach, IsSamplesPlusStepsPlusOne) {
  EXPECT_EQ(filterReach(FilterParams{}), 11);
  EXPECT_EQ(filterReach(smallParams(0, 0)), 1);
  EXPECT_EQ(filterReach(smallParams(7, 2)), 10);
  const Extent whole{20, 10, 5};
  EXPECT_EQ(haloBox(Box{0, 4, 2, 3, 5, 3}, whole, smallParams(1, 1)), (Box{0, 1, 0, 6, 8, 5}));
}

// One row of the volume varies along y and z only (so along x direction 0,
// exactly (1, 0, -0), scores 0 and the integration walks whole voxels), and
// an edge in x stops direction 0 at one field voxel. Changing one voxel at
// exactly the reach from the output voxel then changes that voxel's output,
// on both sides; a halo one voxel smaller than the reach cannot be exact.
class ReachIsTight : public ::testing::TestWithParam<Backend> {
 protected:
  static constexpr int S = 2, T = 3;
  Dims d{32, 5, 5};
  int y0 = 2, z0 = 2;

  std::vector<float> rows(int edgeFrom, int edgeTo) const {
    std::mt19937 random(3);
    std::vector<float> across(25);
    for (float& a : across) a = static_cast<float>(random() % 256) / 255.0f;
    std::vector<float> v(static_cast<size_t>(d.count()));
    for (int z = 0; z < d.z; ++z)
      for (int y = 0; y < d.y; ++y)
        for (int x = 0; x < d.x; ++x) {
          const bool edge = x >= edgeFrom && x <= edgeTo;
          v[static_cast<size_t>(d.index(x, y, z))] = edge ? 40.0f : across[static_cast<size_t>(y + 5 * z)];
        }
    return v;
  }
  float& at(std::vector<float>& v, int x) const {
    return v[static_cast<size_t>(d.index(x, y0, z0))];
  }
  float outputAt(const std::vector<float>& v, int x) const {
    return wholeRun(v, d, smallParams(S, T, 45), GetParam())[static_cast<size_t>(d.index(x, y0, z0))];
  }
};

TEST_P(ReachIsTight, AnEdgeSamplesPlusStepsBelowChangesTheOutput) {
  const int x = 20, edge = x - S - T;  // the reach below is S + T
  const std::vector<float> withEdge = rows(0, edge);
  std::vector<float> withoutIt = withEdge;
  at(withoutIt, edge) = at(withoutIt, edge + 1);
  EXPECT_NE(outputAt(withEdge, x), outputAt(withoutIt, x));
  // One voxel farther is beyond the reach: nothing changes.
  std::vector<float> farther = withEdge;
  at(farther, edge - 1) = at(farther, edge + 1);
  EXPECT_EQ(outputAt(withEdge, x), outputAt(farther, x));
}

TEST_P(ReachIsTight, ANaNReadWithWeightZeroOneBeyondAboveChangesTheOutput) {
  const int x = 10, edge = x + T + S;  // the reach above is S + T + 1
  std::vector<float> withEdge = rows(edge, d.x - 1);
  std::vector<float> withNaN = withEdge;
  at(withNaN, edge + 1) = std::nanf("");
  const float plain = outputAt(withEdge, x), poisoned = outputAt(withNaN, x);
  EXPECT_TRUE(std::isfinite(plain) && std::isfinite(poisoned));
  EXPECT_NE(plain, poisoned);
  std::vector<float> farther = withEdge;
  at(farther, edge + 2) = std::nanf("");
  EXPECT_EQ(plain, outputAt(farther, x));
  // The brick that holds just its halo sees the NaN as well and agrees.
  for (const std::vector<float>* v : {&withEdge, &withNaN}) {
    EXPECT_TRUE(sameFloats(brickedRun(*v, d, smallParams(S, T, 45), Extent{1, 5, 5}),
                           wholeRun(*v, d, smallParams(S, T, 45), GetParam())));
  }
}

INSTANTIATE_TEST_SUITE_P(CpuBackends, ReachIsTight,
                         ::testing::Values(Backend::CpuReference, Backend::Cpu));

struct BrickCase {
  Dims dims;
  FilterParams params;
  std::vector<Extent> edges;
};

// Bricked against whole, bit for bit, for both CPU paths' whole runs: odd
// sizes, bricks smaller than the reach, bricks at every face, edge and
// corner, thin volumes, and the constant-region shortcut next to structure.
TEST(BrickRun, MatchesTheWholeRunForEveryBrickSize) {
  const std::vector<BrickCase> cases = {
      {Dims{7, 6, 5}, smallParams(2, 2, 45), {{1, 1, 1}, {2, 3, 1}}},
      {Dims{13, 11, 9}, smallParams(3, 3, 30), {{3, 2, 5}, {4, 4, 4}, {6, 11, 2}, {13, 11, 9}}},
      {Dims{13, 11, 9}, smallParams(2, 4, 45, true), {{3, 4, 3}, {5, 2, 7}, {8, 8, 8}}},
      {Dims{12, 10, 8}, smallParams(5, 5, 60), {{2, 3, 4}, {7, 7, 7}, {11, 9, 1}}},
      {Dims{12, 10, 8}, smallParams(0, 2, 60), {{1, 2, 1}, {5, 4, 3}}},
      {Dims{10, 9, 7}, smallParams(3, 0, 40), {{3, 4, 2}, {9, 9, 9}}},
      {Dims{17, 1, 1}, smallParams(4, 4, 30), {{1, 1, 1}, {2, 1, 1}, {5, 1, 1}}},
      {Dims{1, 15, 1}, smallParams(3, 5, 30), {{1, 4, 1}, {1, 7, 1}}},
      {Dims{9, 1, 11}, smallParams(2, 3, 30, true), {{2, 1, 3}, {4, 1, 4}}},
      {Dims{1, 1, 1}, smallParams(5, 5, 30), {{1, 1, 1}}},
  };
  for (const BrickCase& c : cases) {
    const std::vector<float> v = structuredVolume(c.dims, static_cast<uint32_t>(c.dims.count()));
    // The fast path's whole run; the plain path's is the same, bit for bit (tests/fast).
    const std::vector<float> reference = wholeRun(v, c.dims, c.params, Backend::Cpu);
    for (const Extent& edge : c.edges) {
      for (const Backend backend : {Backend::Cpu, Backend::CpuReference}) {
        EXPECT_TRUE(sameFloats(brickedRun(v, c.dims, c.params, edge, backend), reference))
            << c.dims.x << "x" << c.dims.y << "x" << c.dims.z << " in bricks of " << edge.x
            << "x" << edge.y << "x" << edge.z << ", samples " << c.params.samples << ", steps "
            << c.params.integrationSteps
            << (backend == Backend::Cpu ? ", fast path" : ", plain path");
      }
    }
  }
}

TEST(BrickRun, ConstantRegionsAndNonFiniteVoxelsMatchTheWholeRun) {
  const Dims d{40, 26, 30};
  const FilterParams params = smallParams(3, 4, 45);
  std::vector<float> v = mostlyConstantVolume(d);
  const std::vector<float> reference = wholeRun(v, d, params, Backend::CpuReference);
  EXPECT_TRUE(sameFloats(wholeRun(v, d, params, Backend::Cpu), reference));
  for (const Extent edge : {Extent{40, 26, 30}, Extent{8, 8, 8}, Extent{13, 5, 17}, Extent{3, 26, 4}}) {
    EXPECT_TRUE(sameFloats(brickedRun(v, d, params, edge), reference)) << edge.x;
    EXPECT_TRUE(sameFloats(brickedRun(v, d, params, edge, Backend::CpuReference), reference))
        << edge.x;
  }
  // The shortcut's other scores: against the voxel's own value, and none at all.
  for (const FilterParams& other : {smallParams(3, 4, 45, true), smallParams(0, 3, 45)}) {
    EXPECT_TRUE(sameFloats(brickedRun(v, d, other, Extent{9, 10, 11}), wholeRun(v, d, other, Backend::Cpu)))
        << "samples " << other.samples << ", edges " << other.preserveEdges;
  }
  // A constant volume of every kind of value that reaches the filter.
  for (const float value : {0.0f, 1.0f, 200.0f / 255.0f, -3.25f, 1e30f}) {
    std::fill(v.begin(), v.end(), value);
    EXPECT_TRUE(sameFloats(brickedRun(v, d, params, Extent{16, 16, 16}),
                           wholeRun(v, d, params, Backend::Cpu)))
        << value;
  }
  // Infinities and NaNs are never taken for constant regions.
  v = mostlyConstantVolume(d);
  v[static_cast<size_t>(d.index(30, 20, 25))] = std::numeric_limits<float>::infinity();
  v[static_cast<size_t>(d.index(5, 3, 2))] = std::nanf("");
  EXPECT_TRUE(sameFloats(brickedRun(v, d, params, Extent{9, 9, 9}),
                         wholeRun(v, d, params, Backend::CpuReference)));
}

TEST(BrickRun, AcceptsAnyInputBoxThatHoldsTheHalo) {
  const Dims d{12, 10, 9};
  const FilterParams params = smallParams(2, 2, 45);
  const std::vector<float> v = structuredVolume(d, 4);
  const std::vector<float> reference = wholeRun(v, d, params, Backend::CpuReference);
  const Box interior{7, 3, 2, 10, 6, 5};
  const Box input{1, 0, 0, 12, 10, 9};  // more than the halo, unevenly
  ASSERT_TRUE(input.contains(haloBox(interior, extentOf(d), params)));
  const std::vector<float> part = cutOut(v, d, input);
  std::vector<float> out(static_cast<size_t>(interior.count()));
  ASSERT_TRUE(runBrick(part.data(), input, extentOf(d), interior, params, out.data()).ok());
  EXPECT_TRUE(sameFloats(out, cutOut(reference, d, interior)));
}

TEST(BrickRun, RefusesWhatItCannotRunBeforeAnyWork) {
  const Extent whole{10, 10, 10};
  const FilterParams params = smallParams(2, 2);
  std::vector<float> input(1000, 0.5f), out(27, -1.0f);
  struct Case {
    Box input, interior;
    Extent whole;
    FilterParams params;
    const char* fragment;
  };
  FilterParams badAngle = params;
  badAngle.angleStep = 0;
  const Box all = Box::of(whole);
  for (const Case& c : {
           Case{Box{1, 0, 0, 10, 10, 10}, Box{2, 2, 2, 5, 5, 5}, whole, params, "halo"},
           Case{Box{0, 0, 0, 10, 10, 9}, Box{5, 5, 5, 8, 8, 8}, whole, params, "halo"},
           Case{all, Box{8, 8, 8, 11, 11, 11}, whole, params, "not inside"},
           Case{all, Box{3, 3, 3, 3, 6, 6}, whole, params, "empty"},
           Case{Box{-1, 0, 0, 9, 10, 10}, Box{2, 2, 2, 5, 5, 5}, whole, params, "not inside"},
           Case{all, Box{2, 2, 2, 5, 5, 5}, whole, badAngle, "angle step"},
           Case{all, Box{2, 2, 2, 5, 5, 5}, Extent{10, 10, 0}, params, "no voxels"},
           Case{all, Box{2, 2, 2, 5, 5, 5}, Extent{10, kMaxAxis + 1, 10}, params, "along an axis"},
       }) {
    const FilterOutcome outcome = runBrick(input.data(), c.input, c.whole, c.interior, c.params, out.data());
    EXPECT_EQ(outcome.status, FilterOutcome::Status::InvalidInput);
    EXPECT_NE(outcome.message.find(c.fragment), std::string::npos) << outcome.message;
    EXPECT_EQ(out, std::vector<float>(27, -1.0f));
  }
  FilterOptions cuda;
  cuda.backend = Backend::Cuda;
  if (!cudaUsable()) {
    EXPECT_EQ(runBrick(input.data(), all, whole, Box{2, 2, 2, 5, 5, 5}, params, out.data(), cuda).status,
              FilterOutcome::Status::BackendUnavailable);
  }
}

// The two stages over a grid of bricks: each brick searches only its own
// voxels, from its input grown by samples + 1; the assembled field then
// feeds each brick's integration from its input grown by steps + 1.
std::vector<float> twoStageRun(const std::vector<float>& v, Dims d, const FilterParams& params,
                               Extent edge, Backend backend) {
  const Extent whole = extentOf(d);
  FilterOptions options;
  options.backend = backend;
  options.threads = 1;
  auto forEachBrick = [&](auto visit) {
    for (int64_t z0 = 0; z0 < d.z; z0 += edge.z)
      for (int64_t y0 = 0; y0 < d.y; y0 += edge.y)
        for (int64_t x0 = 0; x0 < d.x; x0 += edge.x) {
          visit(Box{x0, y0, z0, std::min<int64_t>(d.x, x0 + edge.x),
                    std::min<int64_t>(d.y, y0 + edge.y), std::min<int64_t>(d.z, z0 + edge.z)});
        }
  };
  std::vector<uint16_t> field(v.size(), 65535);
  forEachBrick([&](const Box& interior) {
    const Box input = grownBox(interior, searchReach(params), whole);
    std::vector<uint16_t> part(static_cast<size_t>(interior.count()));
    const FilterOutcome outcome =
        searchBrick(cutOut(v, d, input).data(), input, whole, interior, params, part.data(), options);
    EXPECT_TRUE(outcome.ok()) << outcome.message;
    size_t at = 0;
    for (int64_t z = interior.z0; z < interior.z1; ++z)
      for (int64_t y = interior.y0; y < interior.y1; ++y)
        for (int64_t x = interior.x0; x < interior.x1; ++x) {
          field[static_cast<size_t>(d.index(static_cast<int>(x), static_cast<int>(y), static_cast<int>(z)))] =
              part[at++];
        }
  });
  std::vector<float> out(v.size(), -7.0f);
  forEachBrick([&](const Box& interior) {
    const Box input = grownBox(interior, params.integrationSteps + 1, whole);
    const Box fieldBox = grownBox(interior, params.integrationSteps, whole);
    std::vector<uint16_t> fieldPart;
    for (int64_t z = fieldBox.z0; z < fieldBox.z1; ++z)
      for (int64_t y = fieldBox.y0; y < fieldBox.y1; ++y)
        for (int64_t x = fieldBox.x0; x < fieldBox.x1; ++x) {
          fieldPart.push_back(field[static_cast<size_t>(
              d.index(static_cast<int>(x), static_cast<int>(y), static_cast<int>(z)))]);
        }
    std::vector<float> result(static_cast<size_t>(interior.count()));
    const FilterOutcome outcome = integrateBrick(cutOut(v, d, input).data(), input, fieldPart.data(), fieldBox,
                                                 whole, interior, params, result.data(), options);
    EXPECT_TRUE(outcome.ok()) << outcome.message;
    size_t at = 0;
    for (int64_t z = interior.z0; z < interior.z1; ++z)
      for (int64_t y = interior.y0; y < interior.y1; ++y)
        for (int64_t x = interior.x0; x < interior.x1; ++x) {
          out[static_cast<size_t>(d.index(static_cast<int>(x), static_cast<int>(y), static_cast<int>(z)))] =
              result[at++];
        }
  });
  return out;
}

TEST(BrickStages, MatchTheWholeRunWithEachVoxelSearchedOnce) {
  struct StageCase {
    Dims dims;
    FilterParams params;
    Extent edge;
    bool mostlyConstant;
  };
  for (const StageCase& c : {StageCase{Dims{13, 11, 9}, smallParams(3, 3, 30), {4, 5, 3}, false},
                             StageCase{Dims{13, 11, 9}, smallParams(2, 4, 45, true), {1, 11, 2}, false},
                             StageCase{Dims{17, 1, 1}, smallParams(4, 4, 30), {2, 1, 1}, false},
                             StageCase{Dims{12, 10, 8}, smallParams(0, 2, 60), {5, 4, 3}, false},
                             StageCase{Dims{40, 26, 30}, smallParams(3, 4, 45), {9, 10, 11}, true}}) {
    const std::vector<float> v = c.mostlyConstant ? mostlyConstantVolume(c.dims)
                                                  : structuredVolume(c.dims, static_cast<uint32_t>(c.dims.count()));
    const std::vector<float> reference = wholeRun(v, c.dims, c.params, Backend::Cpu);
    for (const Backend backend : {Backend::Cpu, Backend::CpuReference}) {
      EXPECT_TRUE(sameFloats(twoStageRun(v, c.dims, c.params, c.edge, backend), reference))
          << c.dims.x << "x" << c.dims.y << "x" << c.dims.z << " in bricks of " << c.edge.x << "x"
          << c.edge.y << "x" << c.edge.z << (backend == Backend::Cpu ? ", fast path" : ", plain path");
    }
  }
}

// Constant for more than steps + 1 around the first bricks, structure within
// samples + steps of them along x: their fields bend while every voxel
// their integration reads holds one value. Blends of that value round off
// the value itself, so only the directions tell whether an output is known.
TEST(BrickStages, AConstantNeighbourhoodIsNotEnoughWhereTheFieldBends) {
  const Dims d{48, 12, 12};
  std::vector<float> v(static_cast<size_t>(d.count()), 1.0f / 3.0f);
  const std::vector<float> noise = structuredVolume(d, 5);
  for (int z = 0; z < d.z; ++z)
    for (int y = 0; y < d.y; ++y)
      for (int x = 24; x < d.x; ++x) {
        v[static_cast<size_t>(d.index(x, y, z))] = noise[static_cast<size_t>(d.index(x, y, z))];
      }
  const FilterParams params = smallParams(12, 3, 15);
  const std::vector<float> reference = wholeRun(v, d, params, Backend::CpuReference);
  for (const Backend backend : {Backend::Cpu, Backend::CpuReference}) {
    EXPECT_TRUE(sameFloats(twoStageRun(v, d, params, Extent{8, 12, 12}, backend), reference));
    EXPECT_TRUE(sameFloats(brickedRun(v, d, params, Extent{8, 12, 12}, backend), reference));
  }
}

TEST(BrickStages, RefuseShortHalosForeignIndicesAndTheGpu) {
  const Dims d{10, 10, 10};
  const Extent whole = extentOf(d);
  const FilterParams params = smallParams(2, 3, 45);
  const std::vector<float> v = structuredVolume(d, 2);
  const Box all = Box::of(whole), interior{3, 3, 3, 6, 6, 6};
  std::vector<uint16_t> field(1000, 0), chosen(27, 9);
  std::vector<float> out(27, -1.0f);
  // The search needs samples + 1 around the brick, the integration steps + 1 of input and steps of field.
  const Box searchShort = grownBox(interior, searchReach(params) - 1, whole);
  EXPECT_NE(searchBrick(v.data(), searchShort, whole, interior, params, chosen.data()).message.find("halo"),
            std::string::npos);
  const Box inputShort = grownBox(interior, params.integrationSteps, whole);
  EXPECT_NE(integrateBrick(v.data(), inputShort, field.data(), all, whole, interior, params, out.data())
                .message.find("input box"),
            std::string::npos);
  const Box fieldShort = grownBox(interior, params.integrationSteps - 1, whole);
  EXPECT_NE(integrateBrick(v.data(), all, field.data(), fieldShort, whole, interior, params, out.data())
                .message.find("field box"),
            std::string::npos);
  field[555] = static_cast<uint16_t>(directionCount(params.angleStep));
  const FilterOutcome stray = integrateBrick(v.data(), all, field.data(), all, whole, interior, params, out.data());
  EXPECT_EQ(stray.status, FilterOutcome::Status::InvalidInput);
  EXPECT_NE(stray.message.find("index"), std::string::npos) << stray.message;
  FilterOptions gpu;
  gpu.backend = Backend::Cuda;
  EXPECT_EQ(searchBrick(v.data(), all, whole, interior, params, chosen.data(), gpu).status,
            FilterOutcome::Status::BackendUnavailable);
  EXPECT_EQ(out, std::vector<float>(27, -1.0f));
  EXPECT_EQ(chosen, std::vector<uint16_t>(27, 9));
}

TEST(BrickRun, StopsWhenCancelledAndReportsBothStages) {
  const Dims d{24, 20, 16};
  const std::vector<float> v = structuredVolume(d, 8);
  std::vector<Stage> stages;
  RunControl watched([&](Stage stage, double) { stages.push_back(stage); });
  std::vector<float> out(static_cast<size_t>(d.count()));
  FilterOptions options;
  options.threads = 1;
  options.control = &watched;
  const Box all = Box::of(extentOf(d));
  ASSERT_TRUE(runBrick(v.data(), all, extentOf(d), all, smallParams(2, 2, 45), out.data(), options).ok());
  ASSERT_FALSE(stages.empty());
  EXPECT_EQ(stages.front(), Stage::VectorField);
  EXPECT_EQ(stages.back(), Stage::Integration);

  RunControl cancelling([&](Stage, double fraction) {
    if (fraction > 0.2) cancelling.cancel();
  });
  options.control = &cancelling;
  const FilterOutcome outcome =
      runBrick(v.data(), all, extentOf(d), all, smallParams(2, 2, 45), out.data(), options);
  EXPECT_EQ(outcome.status, FilterOutcome::Status::Cancelled);
}

// The planner works on volumes far beyond 2^31 voxels without touching a
// voxel: its bricks tile the volume exactly and each fits the budget.
TEST(BrickPlan, TilesHugeVolumesWithinTheBudget) {
  const FilterParams params;  // reach 11
  struct Case {
    Extent whole;
    int64_t budget;
  };
  for (const Case& c : {Case{{2048, 2048, 1000}, int64_t{1} << 30}, Case{{2048, 2048, 600}, 64 << 20},
                        Case{{100000, 300, 200}, 256 << 20}, Case{{256, 256, 256}, 64 << 20},
                        Case{{3, 5000, 1}, 1 << 20}, Case{{4000000, 1, 1000}, 512 << 20}}) {
    const BrickPlan plan = planBricks(c.whole, params, c.budget);
    ASSERT_TRUE(plan.ok()) << plan.error;
    EXPECT_LE(plan.peakBytes, c.budget);
    EXPECT_EQ(plan.peakBytes, brickBytes(plan.brick, c.whole, params, {}));
    // Bricks as large as the budget allows, give or take the even spread: twice the edge does not fit.
    const Extent doubled{std::min(c.whole.x, 2 * plan.brick.x), std::min(c.whole.y, 2 * plan.brick.y),
                         std::min(c.whole.z, 2 * plan.brick.z)};
    if (doubled.x != plan.brick.x || doubled.y != plan.brick.y || doubled.z != plan.brick.z) {
      EXPECT_GT(brickBytes(doubled, c.whole, params, {}), c.budget);
    }
    int64_t covered = 0;
    for (const int64_t index : {int64_t{0}, plan.count() / 2, plan.count() - 1}) {
      const Box b = plan.interior(index);
      EXPECT_TRUE(Box::of(c.whole).contains(b));
      EXPECT_LE(haloBox(b, c.whole, params).count(), kMaxVoxels);
      EXPECT_LE(haloBox(b, c.whole, params).count() * 4 + b.count() * 4 +
                    brickWorkingBytes(b, c.whole, params),
                plan.peakBytes);
    }
    for (int64_t index = 0; index < plan.count(); ++index) covered += plan.interior(index).count();
    EXPECT_EQ(covered, c.whole.count());
    const Box last = plan.interior(plan.count() - 1);
    EXPECT_EQ(last.x1, c.whole.x);
    EXPECT_EQ(last.y1, c.whole.y);
    EXPECT_EQ(last.z1, c.whole.z);
  }
  EXPECT_GT(Extent({2048, 2048, 1000}).count(), kMaxVoxels);
}

TEST(BrickPlan, SaysWhatIsWrongWhenNothingFits) {
  const BrickPlan tiny = planBricks({512, 512, 512}, FilterParams{}, 4096);
  EXPECT_FALSE(tiny.ok());
  EXPECT_NE(tiny.error.find("too small"), std::string::npos) << tiny.error;
  EXPECT_NE(tiny.error.find(std::to_string(brickBytes({1, 1, 1}, {512, 512, 512}, FilterParams{}, {}))),
            std::string::npos)
      << tiny.error;
  EXPECT_FALSE(planBricks({kMaxAxis + 1, 1, 1}, FilterParams{}, int64_t{1} << 30).ok());
  EXPECT_FALSE(planBricks({kMaxAxis, kMaxAxis, kMaxAxis}, FilterParams{}, int64_t{1} << 30).ok());
  FilterParams bad;
  bad.samples = -1;
  EXPECT_FALSE(planBricks({10, 10, 10}, bad, int64_t{1} << 30).ok());
}

}  // namespace
}  // namespace voluna
