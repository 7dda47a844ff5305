// The structure-following denoiser: what callers use to denoise a volume,
// whole or box by box.
//
// Its strength follows the noise: DenoiseParams::noise is the noise level on
// the filter's unit scale, which estimateNoise (noise_estimate.h) measures
// from the volume; unitNoise converts a level in the input's own units.
// Its neighbourhoods follow the volume's spacing (DenoiseParams::spacing).
// Backends: the plain CPU path (Backend::CpuReference), the fast CPU path
// (Backend::Cpu, the same floats bit for bit) and CUDA; Auto picks CUDA when
// a usable device exists.
#pragma once

#include <cstdint>
#include <string>

#include "box.h"
#include "denoise_params.h"
#include "dims.h"
#include "filter.h"
#include "noise_estimate.h"

namespace voluna {

// A noise level in the input's units, on the unit scale of a volume mapped
// from [min, max] (io's value mapping; 8-bit volumes map [0, 255]), and back.
float unitNoise(double sigma, double min, double max);
double inputNoise(float unitSigma, double min, double max);

// What an estimate of the volume's noise (noise_estimate.h) sets: the noise
// level and, for magnitude images, the Rician correction with its floor.
void takeEstimate(const NoiseEstimate& estimate, DenoiseParams& params);

// How far, in voxels along each axis, a result looks into the input: the
// pilot's reach plus the result's reach into the pilot (derived in
// denoise.cpp). Growing a box by this much makes its interior exact.
Reach denoiseReach(const DenoiseParams& params);

// `interior` grown by denoiseReach(params) and clipped to the volume: the
// input a box needs.
Box denoiseHaloBox(const Box& interior, Extent whole, const DenoiseParams& params);

// Denoises the voxels of `interior` into `out` (interior.count() floats, x
// fastest) from `input`, the voxels of `inputBox` (x fastest), which must
// hold denoiseHaloBox(interior) and lie inside the whole volume. Every
// backend gives floats identical to the same voxels of a whole run, for any
// box, with the noise level (measured once on the whole volume) the same.
//
// The first stage reported to options.control is the pilot, the second the
// result. Checks everything before any work; reports, rather than runs, what
// it cannot do. Prints nothing.
FilterOutcome denoiseBox(const float* input, const Box& inputBox, Extent whole,
                         const Box& interior, const DenoiseParams& params, float* out,
                         const FilterOptions& options = {});

// The whole volume (dims.count() floats) into `out`: the box whose interior
// is the volume.
FilterOutcome runDenoise(const float* volume, Dims dims, const DenoiseParams& params, float* out,
                         const FilterOptions& options = {});

// Bytes denoiseBox allocates on the CPU for a box of `interior`, at most:
// for callers that plan boxes against a memory budget.
int64_t denoiseWorkingBytes(const Box& interior, Extent whole, const DenoiseParams& params);

}  // namespace voluna
