#include "gpu_denoise.h"

#include <cuda_runtime.h>

#include <algorithm>

#include "gpu_basics.cuh"
#include "gpu_denoise_driver.h"
#include "gpu_denoise_launch.h"

// One thread a voxel: x from the blocks' x, z from the grid's z, and y
// grid-strided, since a box may have more rows than a grid has blocks.
// kPilot: the pilot over the pilot's box, else the result over the output's.
template <bool kPilot>
__global__ void denoiseVoxels(voluna::DenoiseLaunch launch) {
  const voluna::DeviceBox& box = kPilot ? launch.pilot : launch.out;
  const int x = box.lo[0] + static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  const int z = launch.zBegin + static_cast<int>(blockIdx.z);
  if (x >= box.lo[0] + box.size[0] || z >= launch.zEnd) return;
  for (int y = box.lo[1] + static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
       y < box.lo[1] + box.size[1]; y += static_cast<int>(gridDim.y * blockDim.y)) {
    if (kPilot) {
      voluna::denoisePilotAt(launch, x, y, z);
    } else {
      voluna::denoiseResultAt(launch, x, y, z);
    }
  }
}

namespace voluna {

namespace {

dim3 gridOver(const DeviceBox& box, const DenoiseLaunch& launch) {
  const unsigned columns = (static_cast<unsigned>(box.size[0]) + kDenoiseBlockX - 1) / kDenoiseBlockX;
  const unsigned rows = (static_cast<unsigned>(box.size[1]) + kDenoiseBlockY - 1) / kDenoiseBlockY;
  return dim3(columns, std::min(rows, 65535u), static_cast<unsigned>(launch.zEnd - launch.zBegin));
}

class CudaDenoiseRuntime : public CudaBasics<DenoiseRuntime> {
 public:
  void launchPilot(const DenoiseLaunch& launch) override {
    denoiseVoxels<true><<<gridOver(launch.pilot, launch), block()>>>(launch);
  }
  void launchResult(const DenoiseLaunch& launch) override {
    denoiseVoxels<false><<<gridOver(launch.out, launch), block()>>>(launch);
  }

 private:
  static dim3 block() { return dim3(kDenoiseBlockX, kDenoiseBlockY, 1); }
};

}  // namespace

GpuOutcome gpuDenoise(const float* input, const Box& inputBox, const Box& pilotBox,
                      const Box& interior, const DenoiseStencil& stencil, float* out,
                      const RunControl* control) {
  CudaDenoiseRuntime cuda;
  GpuOutcome outcome =
      denoiseOnGpu(cuda, input, inputBox, pilotBox, interior, stencil, out, control);
  // A failed launch leaves its error to be read again; the next run must
  // not inherit it.
  if (outcome.status == GpuOutcome::Status::Failed) cudaGetLastError();
  return outcome;
}

}  // namespace voluna
