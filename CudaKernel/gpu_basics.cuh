// The CUDA calls behind GpuBasics, shared by every real runtime.
#pragma once

#include <cuda_runtime.h>

#include "gpu_runtime.h"

namespace voluna {

// A failed allocation leaves its handle null, so that a driver never frees
// what it did not get.
template <class Interface>
class CudaBasics : public Interface {
 public:
  GpuCode memoryInfo(size_t* freeBytes, size_t* totalBytes) override {
    return cudaMemGetInfo(freeBytes, totalBytes);
  }
  GpuCode allocateManaged(void** buffer, size_t bytes) override {
    const cudaError_t code = cudaMallocManaged(buffer, bytes, cudaMemAttachGlobal);
    if (code != cudaSuccess) *buffer = nullptr;
    return code;
  }
  GpuCode freeManaged(void* buffer) override { return cudaFree(buffer); }
  GpuCode lastLaunchError() override { return cudaPeekAtLastError(); }
  GpuCode synchronize() override { return cudaDeviceSynchronize(); }
  const char* errorText(GpuCode code) override {
    return cudaGetErrorString(static_cast<cudaError_t>(code));
  }
};

}  // namespace voluna
