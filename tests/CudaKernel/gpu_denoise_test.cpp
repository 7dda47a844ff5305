// The denoiser's CUDA backend against the CPU paths, bit for bit. Part of
// voluna_cuda_tests, which skips itself (exit 77) without a usable GPU.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "byte_conversion.h"
#include "denoise.h"
#include "noise_estimate.h"
#include "progress_checks.h"
#include "scenes.h"
#include "test_volumes.h"

namespace voluna {
namespace {

FilterOptions on(Backend backend) {
  FilterOptions options;
  options.backend = backend;
  options.threads = 4;
  return options;
}

std::vector<float> noisyTubes(int size, uint64_t seed) {
  const Scene scene = crossingTubes(size, 4.0f, 25.0f, seed);
  const std::vector<uint8_t> bytes = toBytes(scene.noisy);
  return bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size()));
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(float) * a.size()) == 0;
}

TEST(GpuDenoise, EqualsBothCpuPathsOnNoisyTubesAtTheirEstimatedStrength) {
  const Dims dims{32, 32, 32};
  const std::vector<float> input = noisyTubes(32, 21);
  DenoiseParams params;
  params.noise = estimateNoise(input.data(), dims).sigma;
  std::vector<float> gpu(input.size()), fast(input.size()), plain(input.size());
  const FilterOutcome outcome = runDenoise(input.data(), dims, params, gpu.data(), on(Backend::Cuda));
  ASSERT_TRUE(outcome.ok()) << outcome.message;
  EXPECT_EQ(outcome.backend.rfind("GPU", 0), 0u) << outcome.backend;
  ASSERT_TRUE(runDenoise(input.data(), dims, params, fast.data(), on(Backend::Cpu)).ok());
  ASSERT_TRUE(runDenoise(input.data(), dims, params, plain.data(), on(Backend::CpuReference)).ok());
  EXPECT_TRUE(sameBits(fast, plain));
  EXPECT_TRUE(sameBits(gpu, plain));
}

TEST(GpuDenoise, EqualsTheCpuOnABoxWithCoarseSlicesAndHoles) {
  const Dims dims{30, 26, 20};
  std::vector<float> volume = noisyTubes(30, 5);
  volume.resize(static_cast<size_t>(dims.count()));
  volume[static_cast<size_t>(dims.index(12, 10, 9))] = std::numeric_limits<float>::quiet_NaN();
  volume[static_cast<size_t>(dims.index(3, 20, 4))] = std::numeric_limits<float>::infinity();
  volume[static_cast<size_t>(dims.index(25, 1, 17))] = -std::numeric_limits<float>::infinity();
  DenoiseParams params;
  params.noise = 0.1f;
  params.spacing = {0.8f, 0.8f, 2.0f};
  const Extent whole{dims.x, dims.y, dims.z};
  const Box interior{4, 3, 5, 27, 22, 16};
  const Box inputBox = denoiseHaloBox(interior, whole, params);
  const std::vector<float> input = test_support::copyBox(volume, dims, inputBox);
  const size_t n = static_cast<size_t>(interior.count());
  std::vector<float> gpu(n), plain(n);
  const FilterOutcome outcome = denoiseBox(input.data(), inputBox, whole, interior, params,
                                           gpu.data(), on(Backend::Cuda));
  ASSERT_TRUE(outcome.ok()) << outcome.message;
  ASSERT_TRUE(denoiseBox(input.data(), inputBox, whole, interior, params, plain.data(),
                         on(Backend::CpuReference)).ok());
  EXPECT_TRUE(sameBits(gpu, plain));
  // The holes are their own values still.
  EXPECT_TRUE(std::isnan(gpu[static_cast<size_t>((12 - 4) + 23 * ((10 - 3) + 19 * (9 - 5)))]));
}

TEST(GpuDenoise, ReportsPilotThenResultAndStopsWhenCancelled) {
  const Dims dims{24, 24, 40};
  const std::vector<float> tubes = noisyTubes(40, 8);
  std::vector<float> input(tubes.begin(), tubes.begin() + dims.count());
  DenoiseParams params;
  params.noise = 0.1f;
  std::vector<float> out(input.size());
  test_support::expectProgressInOrderAndCancelToStop(
      [&](const RunControl* control) {
        FilterOptions options = on(Backend::Cuda);
        options.control = control;
        const FilterOutcome outcome = runDenoise(input.data(), dims, params, out.data(), options);
        EXPECT_TRUE(outcome.ok() || outcome.status == FilterOutcome::Status::Cancelled)
            << outcome.message;
        return outcome.ok();
      },
      8);
}

}  // namespace
}  // namespace voluna
