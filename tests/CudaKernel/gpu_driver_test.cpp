// The GPU driver's allocation, release and failure handling, through a
// runtime that keeps its "device" memory on the host and fails the call it
// is told to fail. No GPU is needed.
#include "gpu_driver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "device.h"
#include "faulty_basics.h"

namespace voluna {
namespace {

class FaultyGpu : public FaultyBasics<GpuRuntime> {
 public:
  size_t live() const { return liveBuffers() + arrays_.size() + textures_.size(); }

  GpuCode allocateArray(void** array, int channels, Dims dims) override {
    if (const GpuCode code = step("allocateArray")) return code;
    std::vector<float>& a = arrays_[++next_];
    a.assign(static_cast<size_t>(dims.count()) * channels, 0.0f);
    *array = a.data();
    owner_[a.data()] = next_;
    return 0;
  }
  GpuCode freeArray(void* array) override {
    arrays_.erase(owner_.at(array));
    return step("freeArray");
  }
  GpuCode upload(void* array, const void* source, int channels, Dims dims) override {
    if (const GpuCode code = step("upload")) return code;
    std::memcpy(array, source, sizeof(float) * channels * static_cast<size_t>(dims.count()));
    return 0;
  }
  GpuCode createTexture(Texture* texture, void* array) override {
    if (const GpuCode code = step("createTexture")) return code;
    textures_[++next_] = static_cast<float*>(array);
    *texture = next_;
    return 0;
  }
  GpuCode destroyTexture(Texture texture) override {
    textures_.erase(texture);
    return step("destroyTexture");
  }
  GpuCode setDirectionTable(const void*) override { return step("setDirectionTable"); }
  GpuCode setSlab(int begin, int end) override {
    slab_[0] = begin;
    slab_[1] = end;
    return step("setSlab");
  }
  // The field kernel stores the direction (1, 0, 0); the integration kernel
  // writes twice the volume plus the field's x, through the textures.
  void launchVectorField(GpuGrid, Texture, Dims dims, int, int, bool, void* field) override {
    if (!launch("launchVectorField")) return;
    Float4* f = static_cast<Float4*>(field);
    for (int64_t i = plane(dims) * slab_[0]; i < plane(dims) * slab_[1]; ++i) f[i] = {1, 0, 0, 0};
  }
  void launchIntegration(GpuGrid, Texture volume, Texture field, Dims dims, int,
                         void* result) override {
    if (!launch("launchIntegration")) return;
    const float* v = textures_.at(volume);
    const float* f = textures_.at(field);
    float* r = static_cast<float*>(result);
    for (int64_t i = plane(dims) * slab_[0]; i < plane(dims) * slab_[1]; ++i) {
      r[i] = 2 * v[i] + f[4 * i];
    }
  }

 private:
  static int64_t plane(Dims dims) { return int64_t{dims.x} * dims.y; }

  std::map<Texture, std::vector<float>> arrays_;
  std::map<const void*, Texture> owner_;
  std::map<Texture, const float*> textures_;
  Texture next_ = 0;
  int slab_[2] = {0, 0};
};

bool isRelease(const std::string& call) {
  return call == "freeManaged" || call == "freeArray" || call == "destroyTexture";
}

struct Fixture {
  Dims dims{13, 5, 3};
  FilterParams params;
  std::vector<float> volume;
  Fixture() {
    params.angleStep = 30;
    for (int64_t i = 0; i < dims.count(); ++i) volume.push_back(static_cast<float>(i % 7));
  }
  std::vector<float> sentinel() const {
    return std::vector<float>(volume.size(), std::numeric_limits<float>::quiet_NaN());
  }
};

TEST(GpuDriver, FinishedRunHandsBackTheResultAndReleasesEverything) {
  Fixture f;
  FaultyGpu gpu;
  std::vector<float> out = f.sentinel();
  const GpuOutcome outcome = runOnGpu(gpu, f.volume.data(), f.dims, f.params, out.data(), nullptr);
  ASSERT_EQ(outcome.status, GpuOutcome::Status::Ok) << outcome.message;
  for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 2 * f.volume[i] + 1) << i;
  EXPECT_EQ(gpu.live(), 0u);
  EXPECT_EQ(gpu.calls.front(), "memoryInfo") << "free memory is asked before any allocation";
}

// Every call of a run fails in turn, the releases included: the run comes
// back Failed with the runtime's text in the driver's message format, makes
// no call after the failure but releases, releases everything it made, and leaves `out`
// untouched when the failure came before the result was complete.
TEST(GpuDriver, EachFailingCallEndsTheRunAndReleasesWhatItMade) {
  Fixture f;
  FaultyGpu clean;
  std::vector<float> out = f.sentinel();
  ASSERT_EQ(runOnGpu(clean, f.volume.data(), f.dims, f.params, out.data(), nullptr).status,
            GpuOutcome::Status::Ok);
  const std::vector<std::string> all = clean.calls;
  size_t firstRelease = 0;
  while (firstRelease < all.size() && !isRelease(all[firstRelease])) ++firstRelease;
  ASSERT_LT(firstRelease, all.size());

  for (size_t k = 0; k < all.size(); ++k) {
    SCOPED_TRACE(::testing::Message() << "call " << k << ", " << all[k] << ", fails");
    FaultyGpu gpu;
    gpu.failAt = static_cast<int>(k);
    gpu.failCode = 700 + static_cast<int>(k);
    std::vector<float> result = f.sentinel();
    const GpuOutcome outcome =
        runOnGpu(gpu, f.volume.data(), f.dims, f.params, result.data(), nullptr);
    EXPECT_EQ(outcome.status, GpuOutcome::Status::Failed);
    const std::string expected = "GPUassert: fake failure " + std::to_string(700 + k) + " ";
    EXPECT_EQ(outcome.message.rfind(expected, 0), 0u) << outcome.message;
    EXPECT_NE(outcome.message.find("CudaKernel/gpu_driver.cpp "), std::string::npos)
        << outcome.message;
    EXPECT_GT(std::atoi(outcome.message.substr(outcome.message.rfind(' ')).c_str()), 0);
    EXPECT_EQ(gpu.live(), 0u);
    // A launch reports its failure through the call that follows it.
    const size_t reported = all[k].rfind("launch", 0) == 0 ? k + 1 : k;
    ASSERT_LT(reported, gpu.calls.size());
    EXPECT_EQ(gpu.calls[reported], reported == k ? all[k] : "lastLaunchError");
    for (size_t later = reported + 1; later < gpu.calls.size(); ++later) {
      EXPECT_TRUE(isRelease(gpu.calls[later])) << gpu.calls[later] << " after the failure";
    }
    if (k < firstRelease) {
      EXPECT_TRUE(std::isnan(result[0]) && std::isnan(result.back())) << "out was written";
    }
  }
}

TEST(GpuDriver, VolumeBeyondTheFreeMemoryIsRefusedBeforeAnyAllocation) {
  Fixture f;
  f.dims = {256, 256, 256};
  FaultyGpu gpu;
  gpu.freeBytes = gpuBytesNeeded(f.dims, f.params.angleStep);  // no room for the padding
  const GpuOutcome outcome = runOnGpu(gpu, nullptr, f.dims, f.params, nullptr, nullptr);
  EXPECT_EQ(outcome.status, GpuOutcome::Status::Failed);
  EXPECT_NE(outcome.message.find("MiB free"), std::string::npos) << outcome.message;
  EXPECT_NE(outcome.message.find("CPU"), std::string::npos) << outcome.message;
  EXPECT_EQ(gpu.calls, std::vector<std::string>{"memoryInfo"});
  EXPECT_EQ(gpuBytesNeeded(f.dims, 30), uint64_t{256 * 256 * 256} * 40 + 72 * sizeof(Vec3));
}

TEST(GpuDriver, CancelledRunReleasesEverythingAndLeavesOutAlone) {
  Fixture f;
  FaultyGpu gpu;
  RunControl control;
  control.cancel();
  std::vector<float> out = f.sentinel();
  const GpuOutcome outcome = runOnGpu(gpu, f.volume.data(), f.dims, f.params, out.data(), &control);
  EXPECT_EQ(outcome.status, GpuOutcome::Status::Cancelled);
  EXPECT_EQ(gpu.live(), 0u);
  EXPECT_TRUE(std::isnan(out[0]));
}

}  // namespace
}  // namespace voluna
