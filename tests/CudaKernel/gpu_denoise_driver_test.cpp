// The denoiser's GPU driver: its slabs, copies, launches, progress, cancel
// and failure handling, through a runtime that keeps its "device" memory
// on the host, runs the kernels' own per-voxel code there, and fails the
// call it is told to fail. No GPU is needed: the floats must be the plain
// CPU path's, bit for bit, however the box is cut into slabs.
#include "gpu_denoise_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "denoise.h"
#include "faulty_basics.h"
#include "progress_checks.h"
#include "test_volumes.h"

namespace voluna {
namespace {

class HostDenoiseGpu : public FaultyBasics<DenoiseRuntime> {
 public:
  // The z ranges each kernel was launched over, in order.
  std::vector<std::pair<int, int>> pilotLaunches, resultLaunches;

  size_t live() const { return liveBuffers(); }

  void launchPilot(const DenoiseLaunch& l) override {
    if (!launch("launchPilot")) return;
    pilotLaunches.emplace_back(l.zBegin, l.zEnd);
    forEachVoxel(l.pilot, l, denoisePilotAt);
  }
  void launchResult(const DenoiseLaunch& l) override {
    if (!launch("launchResult")) return;
    resultLaunches.emplace_back(l.zBegin, l.zEnd);
    forEachVoxel(l.out, l, denoiseResultAt);
  }

 private:
  // What a launch's grid covers: the box's whole x-y plane, its z range.
  template <class PerVoxel>
  static void forEachVoxel(const DeviceBox& box, const DenoiseLaunch& l, PerVoxel perVoxel) {
    ASSERT_GE(l.zBegin, box.lo[2]);
    ASSERT_LE(l.zEnd, box.lo[2] + box.size[2]);
    for (int z = l.zBegin; z < l.zEnd; ++z)
      for (int y = box.lo[1]; y < box.lo[1] + box.size[1]; ++y)
        for (int x = box.lo[0]; x < box.lo[0] + box.size[0]; ++x) perVoxel(l, x, y, z);
  }
};

// Holes must stay holes and count for nothing, on every backend.
std::vector<float> structuredVolume(Dims d, uint32_t seed) {
  return test_support::structuredVolume(d, seed, 25, true);
}

DenoiseParams smallParams(Vec3 spacing) { return test_support::smallDenoiseParams(spacing); }

// One box run's arguments, as denoiseBox makes them.
struct BoxRun {
  Extent whole;
  Box interior, inputBox, pilotBox;
  std::vector<float> input;  // the voxels of inputBox
  DenoiseStencil stencil;
};

BoxRun boxRun(const std::vector<float>& volume, Dims d, const Box& interior, const DenoiseParams& p) {
  BoxRun r;
  r.whole = {d.x, d.y, d.z};
  r.interior = interior;
  r.inputBox = denoiseHaloBox(interior, r.whole, p);
  r.stencil = buildDenoiseStencil(p);
  const Reach f = r.stencil.finalReach;
  r.pilotBox = {std::max<int64_t>(0, interior.x0 - f.x), std::max<int64_t>(0, interior.y0 - f.y),
                std::max<int64_t>(0, interior.z0 - f.z), std::min(r.whole.x, interior.x1 + f.x),
                std::min(r.whole.y, interior.y1 + f.y), std::min(r.whole.z, interior.z1 + f.z)};
  r.input = test_support::copyBox(volume, d, r.inputBox);
  return r;
}

std::vector<float> onCpu(const BoxRun& r, const DenoiseParams& p) {
  FilterOptions options;
  options.backend = Backend::CpuReference;
  options.threads = 2;
  std::vector<float> out(static_cast<size_t>(r.interior.count()));
  EXPECT_TRUE(denoiseBox(r.input.data(), r.inputBox, r.whole, r.interior, p, out.data(), options).ok());
  return out;
}

GpuOutcome onHostGpu(HostDenoiseGpu& gpu, const BoxRun& r, std::vector<float>& out,
                     const RunControl* control = nullptr) {
  out.assign(static_cast<size_t>(r.interior.count()), -7.0f);
  return denoiseOnGpu(gpu, r.input.data(), r.inputBox, r.pilotBox, r.interior, r.stencil, out.data(),
                      control);
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(float) * a.size()) == 0;
}

// Every z of a stage launched exactly once, in order, within [begin, end).
void expectCoveredOnce(const std::vector<std::pair<int, int>>& launches, int64_t begin, int64_t end) {
  int64_t next = begin;
  for (const auto& [z0, z1] : launches) {
    EXPECT_EQ(z0, next);
    EXPECT_LT(z0, z1);
    next = z1;
  }
  EXPECT_EQ(next, end);
}

TEST(GpuDenoiseDriver, EqualsThePlainCpuPathWholeAndInSlabsOfEveryDepth) {
  const Dims d{17, 13, 22};
  const std::vector<float> volume = structuredVolume(d, 5);
  struct Case {
    const char* name;
    Box interior;
    Vec3 spacing;
  };
  const Case cases[] = {
      {"whole volume", {0, 0, 0, d.x, d.y, d.z}, {1, 1, 1}},
      {"inner box, coarse slices", {3, 2, 6, 14, 11, 15}, {1, 1, 2.5f}},
      {"box at the far faces, fine z", {5, 4, 10, d.x, d.y, d.z}, {1.5f, 1, 0.7f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DenoiseParams p = smallParams(c.spacing);
    const BoxRun r = boxRun(volume, d, c.interior, p);
    const std::vector<float> cpu = onCpu(r, p);
    // Free memory from plenty down to a slab one voxel deep.
    const size_t wholeBytes =
        sizeof(float) * static_cast<size_t>(r.inputBox.count() + r.pilotBox.count() + r.interior.count());
    // Slabs hold less than the three boxes whole.
    size_t previousPeak = 0;
    int sliced = 0;
    for (const double share : {2.0, 0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3, 0.2}) {
      const size_t freeBytes = static_cast<size_t>(share * static_cast<double>(wholeBytes));
      SCOPED_TRACE(freeBytes);
      HostDenoiseGpu gpu;
      gpu.freeBytes = freeBytes;
      std::vector<float> out;
      const GpuOutcome outcome = onHostGpu(gpu, r, out);
      if (outcome.status == GpuOutcome::Status::Failed) {
        // Only a box whose thinnest slab cannot fit may be refused.
        EXPECT_NE(outcome.message.find("MiB free"), std::string::npos) << outcome.message;
        EXPECT_EQ(gpu.calls, std::vector<std::string>{"memoryInfo"});
        continue;
      }
      ASSERT_EQ(outcome.status, GpuOutcome::Status::Ok) << outcome.message;
      EXPECT_TRUE(sameBits(out, cpu));
      EXPECT_EQ(gpu.live(), 0u);
      EXPECT_LE(gpu.peakBytes + gpu.peakBytes / 8, freeBytes);
      if (previousPeak) {
        EXPECT_LE(gpu.peakBytes, previousPeak);
      }
      previousPeak = gpu.peakBytes;
      sliced += gpu.peakBytes < wholeBytes;  // the stencil's table aside
      expectCoveredOnce(gpu.pilotLaunches, r.pilotBox.z0, r.pilotBox.z1);
      expectCoveredOnce(gpu.resultLaunches, r.interior.z0, r.interior.z1);
    }
    EXPECT_GE(sliced, 2) << "too few runs went in slabs to test them";
  }
}

TEST(GpuDenoiseDriver, RefusesABoxNoSlabOfWhichFitsBeforeAllocating) {
  const Dims d{12, 12, 12};
  const DenoiseParams p = smallParams({1, 1, 1});
  const BoxRun r = boxRun(structuredVolume(d, 2), d, {0, 0, 0, d.x, d.y, d.z}, p);
  HostDenoiseGpu gpu;
  gpu.freeBytes = 4096;
  std::vector<float> out;
  const GpuOutcome outcome = onHostGpu(gpu, r, out);
  EXPECT_EQ(outcome.status, GpuOutcome::Status::Failed);
  EXPECT_NE(outcome.message.find("on the CPU"), std::string::npos) << outcome.message;
  EXPECT_EQ(gpu.calls, std::vector<std::string>{"memoryInfo"});
}

TEST(GpuDenoiseDriver, EveryFailingCallEndsTheRunFailedWithEverythingReleased) {
  const Dims d{10, 9, 14};
  const DenoiseParams p = smallParams({1, 1, 1});
  const BoxRun r = boxRun(structuredVolume(d, 9), d, {0, 0, 0, d.x, d.y, d.z}, p);
  for (const size_t freeBytes : {size_t{1} << 30, size_t{30000}}) {
    HostDenoiseGpu clean;
    clean.freeBytes = freeBytes;
    std::vector<float> out;
    ASSERT_EQ(onHostGpu(clean, r, out).status, GpuOutcome::Status::Ok);
    for (size_t i = 0; i < clean.calls.size(); ++i) {
      SCOPED_TRACE(std::to_string(freeBytes) + " bytes free, call " + std::to_string(i) + ": " +
                   clean.calls[i]);
      HostDenoiseGpu gpu;
      gpu.freeBytes = freeBytes;
      gpu.failAt = static_cast<int>(i);
      const GpuOutcome outcome = onHostGpu(gpu, r, out);
      EXPECT_EQ(outcome.status, GpuOutcome::Status::Failed);
      EXPECT_NE(outcome.message.find("GPUassert: fake failure 2"), std::string::npos)
          << outcome.message;
      EXPECT_EQ(gpu.live(), 0u);
      // After a failure nothing but releases, once a failed launch has been
      // asked about.
      auto failed = gpu.calls.begin() + static_cast<std::ptrdiff_t>(i) + 1;
      if (clean.calls[i].rfind("launch", 0) == 0) {
        ASSERT_EQ(*failed, "lastLaunchError");
        ++failed;
      }
      EXPECT_TRUE(std::all_of(failed, gpu.calls.end(),
                              [](const std::string& c) { return c == "freeManaged"; }));
    }
  }
}

TEST(GpuDenoiseDriver, ReportsPilotThenResultAndStopsWhenCancelled) {
  const Dims d{12, 10, 40};
  const DenoiseParams p = smallParams({1, 1, 1});
  const BoxRun r = boxRun(structuredVolume(d, 4), d, {0, 0, 0, d.x, d.y, d.z}, p);
  for (const size_t freeBytes : {size_t{1} << 30, size_t{60000}}) {
    SCOPED_TRACE(freeBytes);
    test_support::expectProgressInOrderAndCancelToStop(
        [&](const RunControl* control) {
          HostDenoiseGpu gpu;
          gpu.freeBytes = freeBytes;
          std::vector<float> out;
          const GpuOutcome outcome = onHostGpu(gpu, r, out, control);
          EXPECT_NE(outcome.status, GpuOutcome::Status::Failed) << outcome.message;
          EXPECT_EQ(gpu.live(), 0u);
          return outcome.status == GpuOutcome::Status::Ok;
        },
        8);
  }
}

}  // namespace
}  // namespace voluna
