#include "filter.h"

#include <gtest/gtest.h>

#include <vector>

#include "byte_conversion.h"
#include "cpu_filter.h"
#include "direction_set.h"
#include "scenes.h"

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
  std::vector<float> out(volume.size()), reference(volume.size());
  FilterOptions options;
  options.backend = Backend::CpuReference;
  testing::internal::CaptureStdout();
  const FilterOutcome outcome = runFilter(volume.data(), dims, params, out.data(), options);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Calculate vectorfield...\nFiltering data...\n");
  ASSERT_TRUE(outcome.ok()) << outcome.message;
  EXPECT_EQ(outcome.backend.rfind("CPU, ", 0), 0u) << outcome.backend;
  testing::internal::CaptureStdout();
  CpuFilter().run(volume.data(), dims.x, dims.y, dims.z, 5, 5, 45, reference.data());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, reference);
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

TEST(EntryPoint, DirectionFieldIsThePlainBackendsFieldOnBothCpuPaths) {
  const Dims dims{7, 5, 4};
  const std::vector<float> volume = [&] {
    const std::vector<uint8_t> bytes = noiseBytes(dims, 11);
    return bytesToUnitFloats(bytes.data(), dims.count());
  }();
  FilterParams params;
  params.samples = 3;
  params.angleStep = 30;
  params.preserveEdges = true;
  std::vector<Float4> expected(volume.size());
  ASSERT_TRUE(CpuFilter().createVectorField(volume.data(), dims, params.samples, params.preserveEdges,
                                            buildDirectionSet(params.angleStep), expected.data()));
  for (const Backend backend : {Backend::Auto, Backend::Cpu, Backend::CpuReference}) {
    FilterOptions options;
    options.backend = backend;
    std::vector<Vec3> field(volume.size(), Vec3{9, 9, 9});
    testing::internal::CaptureStdout();
    const FilterOutcome outcome = runDirectionField(volume.data(), dims, params, field.data(), options);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_TRUE(outcome.ok()) << outcome.message;
    for (size_t i = 0; i < field.size(); ++i) {
      ASSERT_EQ(field[i].x, expected[i].x) << i;
      ASSERT_EQ(field[i].y, expected[i].y) << i;
      ASSERT_EQ(field[i].z, expected[i].z) << i;
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
