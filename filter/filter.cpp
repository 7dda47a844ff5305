#include "filter.h"

#include "cpu_filter.h"

#ifdef VOLUNA_HAVE_CUDA
#include "gpu_filter.h"
#endif

namespace voluna {

std::string checkParams(const FilterParams& params) {
  if (params.angleStep < 1 || params.angleStep > 180) {
    return "the angle step must be 1 to 180 degrees (got " + std::to_string(params.angleStep) + ")";
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

bool cudaUsable() {
#ifdef VOLUNA_HAVE_CUDA
  static const bool usable = gpuUsable();
  return usable;
#else
  return false;
#endif
}

FilterOutcome runFilter(const float* volume, Dims dims, const FilterParams& params, float* out,
                        const FilterOptions& options) {
  using Status = FilterOutcome::Status;
  FilterOutcome outcome;
  std::string problem = checkDimensions(dims);
  if (problem.empty()) problem = checkParams(params);
  if (!problem.empty()) {
    outcome.status = Status::InvalidInput;
    outcome.message = problem;
    return outcome;
  }

  Backend backend = options.backend;
  if (backend == Backend::Auto) backend = cudaUsable() ? Backend::Cuda : Backend::Cpu;

  if (backend == Backend::Cuda) {
#ifdef VOLUNA_HAVE_CUDA
    if (cudaUsable()) {
      outcome.backend = "GPU, " + gpuName();
      GpuFilter().run(volume, dims.x, dims.y, dims.z, params.samples, params.integrationSteps,
                      params.angleStep, out);
      return outcome;
    }
    outcome.message = "no usable CUDA device was found";
#else
    outcome.message = "this build of Voluna has no CUDA support";
#endif
    outcome.status = Status::BackendUnavailable;
    return outcome;
  }

  const CpuFilter cpu(options.threads);
  outcome.backend = "CPU, " + std::to_string(cpu.threadCount()) + " threads";
  if (!cpu.run(volume, dims.x, dims.y, dims.z, params.samples, params.integrationSteps,
               params.angleStep, out, options.control)) {
    outcome.status = Status::Cancelled;
    outcome.message = "the run was cancelled";
  }
  return outcome;
}

}  // namespace voluna
