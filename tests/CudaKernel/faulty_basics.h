// What the GPU drivers' fake runtimes share: "device" memory kept on the
// host, every call recorded in order, and the one call they are told to
// fail failing. No GPU is needed.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "gpu_runtime.h"

namespace voluna {

template <class Runtime>
class FaultyBasics : public Runtime {
 public:
  int failAt = -1;  // index of the call that fails
  GpuCode failCode = 2;
  size_t freeBytes = size_t{1} << 30;
  std::vector<std::string> calls;  // every call, in order
  size_t peakBytes = 0;            // managed bytes held at once, at most

  GpuCode memoryInfo(size_t* freeOut, size_t* totalOut) override {
    *freeOut = freeBytes;
    *totalOut = 2 * freeBytes;
    return step("memoryInfo");
  }
  GpuCode allocateManaged(void** buffer, size_t bytes) override {
    if (const GpuCode code = step("allocateManaged")) return code;
    const size_t floats = (bytes + sizeof(float) - 1) / sizeof(float);
    Buffer& b = buffers_[++nextBuffer_];
    // A guard after the buffer shows writes beyond it when it is freed.
    b.data.assign(floats + kGuard, kGuardValue);
    std::fill_n(b.data.begin(), floats, 0.0f);
    b.bytes = bytes;
    *buffer = b.data.data();
    bufferOwner_[b.data.data()] = nextBuffer_;
    heldBytes_ += bytes;
    peakBytes = std::max(peakBytes, heldBytes_);
    return 0;
  }
  GpuCode freeManaged(void* buffer) override {
    const auto owner = bufferOwner_.find(buffer);
    if (owner == bufferOwner_.end()) {
      ADD_FAILURE() << "freed a buffer that was never allocated";
      return step("freeManaged");
    }
    const Buffer& b = buffers_.at(owner->second);
    EXPECT_TRUE(std::all_of(b.data.end() - kGuard, b.data.end(),
                            [](float v) { return v == kGuardValue; }))
        << "a write beyond a buffer of " << b.bytes << " bytes";
    heldBytes_ -= b.bytes;
    buffers_.erase(owner->second);  // released even when the call reports a fault
    bufferOwner_.erase(owner);
    return step("freeManaged");
  }
  GpuCode lastLaunchError() override {
    if (const GpuCode code = step("lastLaunchError")) return code;
    return launchError_;
  }
  GpuCode synchronize() override { return step("synchronize"); }
  const char* errorText(GpuCode code) override {
    text_ = "fake failure " + std::to_string(code);
    return text_.c_str();
  }

 protected:
  // Records the call; its failure code when it is the one to fail.
  GpuCode step(const char* name) {
    calls.push_back(name);
    return static_cast<int>(calls.size()) - 1 == failAt ? failCode : 0;
  }
  // A launch records its call and, when it is the one to fail, keeps the
  // code for lastLaunchError; true when it may run.
  bool launch(const char* name) { return (launchError_ = step(name)) == 0; }
  size_t liveBuffers() const { return buffers_.size(); }

 private:
  struct Buffer {
    std::vector<float> data;
    size_t bytes = 0;
  };
  static constexpr std::ptrdiff_t kGuard = 1024;
  static constexpr float kGuardValue = -12345.0f;

  std::map<unsigned, Buffer> buffers_;
  std::map<const void*, unsigned> bufferOwner_;
  unsigned nextBuffer_ = 0;
  size_t heldBytes_ = 0;
  GpuCode launchError_ = 0;
  std::string text_;
};

}  // namespace voluna
