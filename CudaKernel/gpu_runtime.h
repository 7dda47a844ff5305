// The CUDA runtime operations the GPU drivers make, behind interfaces: each
// driver's allocation, clean-up and failure handling are the same code
// against the real runtime (gpu_filter.cu, gpu_denoise.cu) and against the
// fault-injecting ones of the tests, which need no GPU.
#pragma once

#include <cstddef>

#include "dims.h"

namespace voluna {

// A CUDA result code; 0 is success.
using GpuCode = int;

struct GpuGrid {
  unsigned x, y, z;
};

// What every driver needs: memory, and word of how launches went.
class GpuBasics {
 public:
  virtual ~GpuBasics() = default;

  virtual GpuCode memoryInfo(size_t* freeBytes, size_t* totalBytes) = 0;
  virtual GpuCode allocateManaged(void** buffer, size_t bytes) = 0;
  virtual GpuCode freeManaged(void* buffer) = 0;
  virtual GpuCode lastLaunchError() = 0;  // without clearing it
  virtual GpuCode synchronize() = 0;
  virtual const char* errorText(GpuCode code) = 0;
};

// The filter's: textures over arrays, and its two kernels.
class GpuRuntime : public GpuBasics {
 public:
  using Texture = unsigned long long;  // cudaTextureObject_t

  // A 3D array of dims.x * dims.y * dims.z elements of `channels` floats.
  virtual GpuCode allocateArray(void** array, int channels, Dims dims) = 0;
  virtual GpuCode freeArray(void* array) = 0;
  // Fills the array from host or managed memory in voxel order.
  virtual GpuCode upload(void* array, const void* source, int channels, Dims dims) = 0;
  // A texture object with linear filtering over the array.
  virtual GpuCode createTexture(Texture* texture, void* array) = 0;
  virtual GpuCode destroyTexture(Texture texture) = 0;
  // Managed memory holding the direction table the field kernels search.
  virtual GpuCode setDirectionTable(const void* table) = 0;
  // The z range [begin, end) that the next launches cover.
  virtual GpuCode setSlab(int begin, int end) = 0;
  // Launches return nothing: a launch that failed shows in lastLaunchError.
  virtual void launchVectorField(GpuGrid grid, Texture volume, Dims dims, int samples,
                                 int angleStep, bool preserveEdges, void* field) = 0;
  virtual void launchIntegration(GpuGrid grid, Texture volume, Texture field, Dims dims,
                                 int steps, void* result) = 0;
};

}  // namespace voluna
