#include "filter_params.h"

#include <cmath>

namespace voluna {

std::string checkParams(const FilterParams& params) {
  // The denoiser's own parameters only: samples, steps and angle play no part in it.
  if (params.denoise) {
    if (!std::isfinite(params.noise)) return "the noise level must be a finite number (got " + std::to_string(params.noise) + ")";
    return checkDenoiseParams(params.denoising);
  }
  if (params.angleStep < kMinAngleStep || params.angleStep > kMaxAngleStep) {
    return "the angle step must be " + std::to_string(kMinAngleStep) + " to " + std::to_string(kMaxAngleStep) +
           " degrees (got " + std::to_string(params.angleStep) + ")";
  }
  if (params.samples < 0 || params.samples > kMaxSamples) {
    return "the number of samples must be 0 to " + std::to_string(kMaxSamples) + " (got " +
           std::to_string(params.samples) + ")";
  }
  if (params.integrationSteps < 0 || params.integrationSteps > kMaxIntegrationSteps) {
    return "the number of integration steps must be 0 to " +
           std::to_string(kMaxIntegrationSteps) + " (got " +
           std::to_string(params.integrationSteps) + ")";
  }
  return {};
}

}  // namespace voluna
