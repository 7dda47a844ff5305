// The host side of the denoiser's CUDA backend: which slabs of a box go to
// the device in turn, their copies, launches, progress and cancel, and what
// happens when a CUDA call fails. Builds without CUDA, so that all of it is
// tested on machines without a GPU.
#pragma once

#include <cstdint>

#include "box.h"
#include "denoise_params.h"
#include "gpu_denoise_launch.h"
#include "gpu_driver.h"
#include "gpu_runtime.h"
#include "run_control.h"

namespace voluna {

class DenoiseRuntime : public GpuBasics {
 public:
  // Each computes the voxels of z in [zBegin, zEnd) over the whole x-y
  // plane of the box it writes (the pilot's, the result's). Launches return
  // nothing: a launch that failed shows in lastLaunchError.
  virtual void launchPilot(const DenoiseLaunch& launch) = 0;
  virtual void launchResult(const DenoiseLaunch& launch) = 0;
};

// The most device memory one run takes, whatever the device has free: a
// larger box goes in slabs along z, unless even its thinnest slab is larger
// (then that slab, if the device has room for it).
constexpr int64_t kMaxDenoiseDeviceBytes = int64_t{1} << 30;

// The pilot over `pilotBox`, then the result over `interior` into `out`
// (interior.count() floats, x fastest), from `input`, the voxels of
// `inputBox`: the arguments fastDenoise takes, with the same floats. Both
// stages go in slabs along z as deep as the device's free memory (and
// kMaxDenoiseDeviceBytes) allow; a box whose thinnest slab cannot fit is
// refused before anything is allocated. The pilot stage reports as
// Stage::VectorField, the result as Stage::Integration. When the outcome is
// not Ok, `out` may hold some slabs and must not be used.
GpuOutcome denoiseOnGpu(DenoiseRuntime& cuda, const float* input, const Box& inputBox,
                        const Box& pilotBox, const Box& interior, const DenoiseStencil& stencil,
                        float* out, const RunControl* control);

}  // namespace voluna
