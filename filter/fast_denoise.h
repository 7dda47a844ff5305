// The fast CPU path of the denoiser: the plain path's floats, bit for bit,
// from SIMD code (chosen at run time with Highway) on all cores.
#pragma once

#include <cstdint>

#include "box.h"
#include "denoise_params.h"
#include "run_control.h"

namespace voluna {

// The widest x margin the fast path pads rows with: the stencil's reach
// (at most 17 for the radii checkDenoiseParams allows) plus a vector.
constexpr int kMaxDenoiseMargin = 17 + 64;

// Whether the fast path takes an input box with this stencil.
bool fastDenoiseTakes(const Box& inputBox, const DenoiseStencil& stencil);

// The pilot over `pilotBox` and then the result over `interior` (into
// `out`, interior.count() floats, x fastest) from `input`, the voxels of
// `inputBox`: the arithmetic of denoise_math.h, with the clamping of the
// plain path. Returns false when `control` asked to cancel.
bool fastDenoise(const float* input, const Box& inputBox, const Box& pilotBox, const Box& interior,
                 const DenoiseStencil& stencil, int threads, const RunControl* control, float* out);

// Voxels a vector of the fast path holds on the SIMD target in use, its
// name, and the Highway bits of the targets compiled in that this CPU runs
// (for tests that run the path on each).
int denoiseLanes();
const char* denoiseTargetName();
int64_t denoiseTargets();

}  // namespace voluna
