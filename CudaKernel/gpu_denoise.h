// The denoiser's CUDA backend, for denoise.cpp.
#pragma once

#include "box.h"
#include "denoise_params.h"
#include "gpu_driver.h"
#include "run_control.h"

namespace voluna {

// denoiseOnGpu (gpu_denoise_driver.h) on the current device: the fast CPU
// path's arguments and floats. A failed run leaves no CUDA error behind for
// the next one.
GpuOutcome gpuDenoise(const float* input, const Box& inputBox, const Box& pilotBox,
                      const Box& interior, const DenoiseStencil& stencil, float* out,
                      const RunControl* control);

}  // namespace voluna
