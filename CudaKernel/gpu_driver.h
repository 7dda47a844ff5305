// The host side of the CUDA backend: one run's GPU resources, in order, and
// what happens when a CUDA call fails (every resource made so far released,
// the failure handed back, never the process ended).
#pragma once

#include <cstdint>
#include <string>

#include "dims.h"
#include "filter_params.h"
#include "gpu_runtime.h"
#include "run_control.h"

namespace voluna {

struct GpuOutcome {
  enum class Status { Ok, Cancelled, Failed };
  Status status = Status::Ok;
  // For Failed: "GPUassert: <CUDA's text> <source file> <line>", or why the
  // run was refused before anything was allocated.
  std::string message;
};

// The text of a failed CUDA call: "GPUassert: <CUDA's text> <file> <line>".
std::string gpuFailureText(GpuBasics& cuda, GpuCode code, const char* file, int line);

// Device bytes a run holds at its peak: the volume array, the field buffer
// and array and the result buffer (40 bytes a voxel), and the direction
// table.
uint64_t gpuBytesNeeded(Dims dims, int angleStep);

// Filters `volume` into `out` through `cuda`. `out` is left untouched unless
// both kernels finished; even then a failure to release a resource makes
// the run Failed, and the caller must not use `out`. Prints "Calculate vectorfield..." and "Filtering
// data..." on standard output as the stages begin.
GpuOutcome runOnGpu(GpuRuntime& cuda, const float* volume, Dims dims, const FilterParams& params,
                    float* out, const RunControl* control);

}  // namespace voluna
