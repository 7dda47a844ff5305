#include "filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "brick.h"
#include "byte_conversion.h"
#include "naive_filter.h"
#include "run_stats.h"
#include "scenes.h"
#include "voxel_math.h"

namespace voluna {
namespace {

TEST(EntryPoint, RefusesWhatItCannotRunBeforeAnyWork) {
  std::vector<float> volume(8, 0.5f), out(8, -1.0f);
  const Dims dims{2, 2, 2};
  struct Case {
    FilterParams params;
    const char* fragment;
  };
  FilterParams zeroAngle, bigAngle, negativeSamples, negativeSteps, hugeSamples;
  zeroAngle.angleStep = 0;
  bigAngle.angleStep = 181;
  negativeSamples.samples = -1;
  negativeSteps.integrationSteps = -3;
  hugeSamples.samples = kMaxSamples + 1;
  for (const Case& c : {Case{zeroAngle, "angle step"}, Case{bigAngle, "angle step"},
                        Case{negativeSamples, "samples"}, Case{negativeSteps, "integration steps"},
                        Case{hugeSamples, "samples"}}) {
    testing::internal::CaptureStdout();
    const FilterOutcome outcome = runFilter(volume.data(), dims, c.params, out.data());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no stage began
    EXPECT_EQ(outcome.status, FilterOutcome::Status::InvalidInput);
    EXPECT_NE(outcome.message.find(c.fragment), std::string::npos) << outcome.message;
    EXPECT_EQ(out, std::vector<float>(8, -1.0f));
  }
  for (const Dims bad : {Dims{0, 2, 2}, Dims{2, -1, 2}, Dims{65536, 65536, 1}}) {
    const FilterOutcome outcome = runFilter(volume.data(), bad, FilterParams{}, out.data());
    EXPECT_EQ(outcome.status, FilterOutcome::Status::InvalidInput) << outcome.message;
  }
  EXPECT_TRUE(checkParams(FilterParams{}).empty());
  EXPECT_TRUE(checkDimensions(Dims{1, 1, 1}).empty());
}

TEST(EntryPoint, PrintsBothStagesAndMatchesTheBackendItPicked) {
  const Dims dims{5, 4, 3};
  const std::vector<float> volume = [&] {
    const std::vector<uint8_t> bytes = noiseBytes(dims, 5);
    return bytesToUnitFloats(bytes.data(), dims.count());
  }();
  FilterParams params;
  params.angleStep = 45;
  const naive::Volume nv{dims.x, dims.y, dims.z, volume};
  const std::vector<float> reference =
      naive::integrate(nv, naive::vectorField(nv, params.samples, params.angleStep), 5);
  for (const Backend backend : {Backend::CpuReference, Backend::Cpu}) {
    std::vector<float> out(volume.size());
    FilterOptions options;
    options.backend = backend;
    testing::internal::CaptureStdout();
    const FilterOutcome outcome = runFilter(volume.data(), dims, params, out.data(), options);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Calculate vectorfield...\nFiltering data...\n");
    ASSERT_TRUE(outcome.ok()) << outcome.message;
    EXPECT_EQ(outcome.backend.rfind("CPU, ", 0), 0u) << outcome.backend;
    EXPECT_EQ(out, reference);
  }
}

// A whole run is a box run: constant regions are known without a search,
// on the SIMD path as on the plain one.
TEST(EntryPoint, WholeRunsSkipTheSearchOfConstantRegions) {
  const Dims dims{64, 40, 24};
  const float value = 0.3f;
  const std::vector<float> volume(static_cast<size_t>(dims.count()), value);
  FilterParams params;
  params.angleStep = 30;
  float expected = value;
  for (int k = 0; k < 2 * params.integrationSteps; ++k) expected = expected + value;
  expected = expected * meanFactor(params.integrationSteps);
  for (const Backend backend : {Backend::Cpu, Backend::CpuReference}) {
    RunStats stats;
    FilterOptions options;
    options.backend = backend;
    options.stats = &stats;
    std::vector<float> out(volume.size());
    testing::internal::CaptureStdout();
    ASSERT_TRUE(runFilter(volume.data(), dims, params, out.data(), options).ok());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, std::vector<float>(volume.size(), expected));
    EXPECT_EQ(stats.search.chunkSamples, 0u);
    EXPECT_EQ(stats.search.chunkDirections, 0u);
    if (backend == Backend::Cpu) {
      // What the plain search would have taken: direction 0 alone, per voxel.
      EXPECT_EQ(stats.search.referenceSamples,
                static_cast<uint64_t>(dims.count()) * 2 * params.samples);
    }
  }
}

// Bricked runs take at most kMaxAxis voxels along an axis; a whole run of a
// longer row is no brick and still runs.
TEST(EntryPoint, WholeRunsBeyondTheBrickAxisLimitStillRun) {
  const Dims dims{static_cast<int>(kMaxAxis) + 1, 1, 1};
  std::vector<float> volume(static_cast<size_t>(dims.count()));
  for (size_t i = 0; i < volume.size(); ++i) volume[i] = static_cast<float>(i % 7) / 8.0f;
  std::vector<float> out(volume.size(), -1.0f);
  // Without steps every output is its voxel's value, whatever the search chose.
  const FilterParams params{0, 0, 90};
  testing::internal::CaptureStdout();
  const FilterOutcome outcome = runFilter(volume.data(), dims, params, out.data());
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(outcome.ok()) << outcome.message;
  EXPECT_EQ(out, volume);
}

TEST(EntryPoint, ACudaRequestWithoutAUsableDeviceIsRefusedNotFaked) {
  if (cudaUsable()) GTEST_SKIP() << "a CUDA device is usable here";
  std::vector<float> volume(8, 0.5f), out(8, -1.0f);
  FilterOptions options;
  options.backend = Backend::Cuda;
  const FilterOutcome outcome = runFilter(volume.data(), Dims{2, 2, 2}, FilterParams{}, out.data(), options);
  EXPECT_EQ(outcome.status, FilterOutcome::Status::BackendUnavailable);
  EXPECT_FALSE(outcome.message.empty());
  EXPECT_EQ(out, std::vector<float>(8, -1.0f));
}

TEST(EntryPoint, DirectionFieldIsTheSecondImplementationsFieldOnBothCpuPaths) {
  const Dims dims{7, 5, 4};
  const std::vector<float> volume = [&] {
    const std::vector<uint8_t> bytes = noiseBytes(dims, 11);
    return bytesToUnitFloats(bytes.data(), dims.count());
  }();
  FilterParams params;
  params.samples = 3;
  params.angleStep = 30;
  params.preserveEdges = true;
  const naive::Field nf = naive::vectorField(naive::Volume{dims.x, dims.y, dims.z, volume},
                                             params.samples, params.angleStep, true);
  for (const Backend backend : {Backend::Auto, Backend::Cpu, Backend::CpuReference}) {
    FilterOptions options;
    options.backend = backend;
    std::vector<Vec3> field(volume.size(), Vec3{9, 9, 9});
    testing::internal::CaptureStdout();
    const FilterOutcome outcome = runDirectionField(volume.data(), dims, params, field.data(), options);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_TRUE(outcome.ok()) << outcome.message;
    for (size_t i = 0; i < field.size(); ++i) {
      ASSERT_EQ(field[i].x, nf.xyz[3 * i]) << i;
      ASSERT_EQ(field[i].y, nf.xyz[3 * i + 1]) << i;
      ASSERT_EQ(field[i].z, nf.xyz[3 * i + 2]) << i;
    }
  }
}

TEST(EntryPoint, DirectionFieldRefusesBadInputTheCudaBackendAndACancelledRun) {
  std::vector<float> volume(8, 0.5f);
  std::vector<Vec3> field(8, Vec3{9, 9, 9});
  FilterParams badAngle;
  badAngle.angleStep = 0;
  FilterOutcome outcome = runDirectionField(volume.data(), Dims{2, 2, 2}, badAngle, field.data());
  EXPECT_EQ(outcome.status, FilterOutcome::Status::InvalidInput);
  EXPECT_NE(outcome.message.find("angle step"), std::string::npos) << outcome.message;
  outcome = runDirectionField(volume.data(), Dims{2, 0, 2}, FilterParams{}, field.data());
  EXPECT_EQ(outcome.status, FilterOutcome::Status::InvalidInput);

  FilterOptions cuda;
  cuda.backend = Backend::Cuda;
  outcome = runDirectionField(volume.data(), Dims{2, 2, 2}, FilterParams{}, field.data(), cuda);
  EXPECT_EQ(outcome.status, FilterOutcome::Status::BackendUnavailable);
  EXPECT_NE(outcome.message.find("CPU"), std::string::npos) << outcome.message;

  RunControl control;
  control.cancel();
  FilterOptions cancelled;
  cancelled.control = &control;
  outcome = runDirectionField(volume.data(), Dims{2, 2, 2}, FilterParams{}, field.data(), cancelled);
  EXPECT_EQ(outcome.status, FilterOutcome::Status::Cancelled);
  for (const Vec3& v : field) EXPECT_EQ(v.x, 9.0f);
}

}  // namespace
}  // namespace voluna
