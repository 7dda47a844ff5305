// The parameters of one filter run.
#pragma once

#include <string>

#include "denoise_params.h"

namespace voluna {

struct FilterParams {
  int samples = 5;           // sampling steps on each side of a voxel
  int integrationSteps = 5;  // integration steps against and along the field
  int angleStep = 5;         // whole degrees between searched directions
  // Score each line against the voxel's own value instead of each walk's
  // first sample, so lines across an edge are not chosen. Off by default.
  bool preserveEdges = false;

  // Denoise instead (denoise.h): the structure-following denoiser, which
  // measures in millimetres and follows the noise. `noise` is its level in
  // the input's own units as a person gives it, below 0 for one measured
  // from the volume; `denoising` is what the denoiser runs with, on the
  // unit scale, which the run pipeline fills in from the noise, the
  // volume's spacing and its estimate. The samples, steps and angle above
  // play no part in it.
  bool denoise = false;
  double noise = -1.0;
  DenoiseParams denoising{};
};

// Upper bounds on what the command line accepts for samples and steps; the
// window's spin boxes stop at 99. Beyond them a run takes days, not minutes.
constexpr int kMaxSamples = 1000;
constexpr int kMaxIntegrationSteps = 1000;
// The angle step in whole degrees: at 180 the set still holds two directions,
// below 1 it holds none.
constexpr int kMinAngleStep = 1;
constexpr int kMaxAngleStep = 180;

// Empty when the parameters can be run, else a sentence saying what is wrong.
std::string checkParams(const FilterParams& params);

}  // namespace voluna
