// The CUDA backend: moves a volume to the GPU, runs both kernels, brings the
// result back.
#pragma once

#include <string>

#include "dims.h"
#include "filter_params.h"
#include "gpu_driver.h"
#include "run_control.h"

namespace voluna {

// Memberless host driver. Every GPU resource lives only inside one call of
// run. A failing CUDA call ends the run, not the process: what the run made
// is released and the outcome carries "GPUassert: <CUDA's text> <file>
// <line>". A volume that cannot fit in the device's free memory is refused
// before anything is allocated.
class GpuFilter {
 public:
  GpuOutcome run(const float* volume, Dims dims, const FilterParams& params, float* out,
                 const RunControl* control = nullptr);
};

// True when cudaGetDeviceCount succeeds and some device supports managed
// memory; that device becomes the current one. Silent when there is none.
bool gpuUsable();

// Name of the current device, for status lines.
std::string gpuName();

}  // namespace voluna
