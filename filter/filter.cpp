#include "filter.h"

#include <vector>

#include "cpu_fast_filter.h"
#include "cpu_filter.h"
#include "direction_set.h"

#ifdef VOLUNA_HAVE_CUDA
#include "gpu_filter.h"
#include "gpu_memory.h"
#endif

namespace voluna {

bool cudaUsable() {
#ifdef VOLUNA_HAVE_CUDA
  static const bool usable = gpuUsable();
  return usable;
#else
  return false;
#endif
}

int64_t cudaFreeBytes() {
#ifdef VOLUNA_HAVE_CUDA
  return cudaUsable() ? gpuFreeBytes() : 0;
#else
  return 0;
#endif
}

namespace {

// What neither entry point can run, said before any work.
FilterOutcome refusal(Dims dims, const FilterParams& params) {
  FilterOutcome outcome;
  std::string problem = checkDimensions(dims);
  if (problem.empty()) problem = checkParams(params);
  if (!problem.empty()) {
    outcome.status = FilterOutcome::Status::InvalidInput;
    outcome.message = problem;
  }
  return outcome;
}

}  // namespace

FilterOutcome runFilter(const float* volume, Dims dims, const FilterParams& params, float* out,
                        const FilterOptions& options) {
  using Status = FilterOutcome::Status;
  FilterOutcome outcome = refusal(dims, params);
  if (!outcome.ok()) return outcome;

  Backend backend = options.backend;
  if (backend == Backend::Auto) backend = cudaUsable() ? Backend::Cuda : Backend::Cpu;

  if (backend == Backend::Cuda) {
#ifdef VOLUNA_HAVE_CUDA
    if (cudaUsable()) {
      outcome.backend = "GPU, " + gpuName();
      const GpuOutcome gpu = GpuFilter().run(volume, dims, params, out, options.control);
      if (gpu.status == GpuOutcome::Status::Cancelled) {
        outcome.status = Status::Cancelled;
        outcome.message = "the run was cancelled";
      } else if (gpu.status == GpuOutcome::Status::Failed) {
        outcome.status = Status::BackendFailed;
        outcome.message = gpu.message;
      }
      return outcome;
    }
    outcome.message = "no usable CUDA device was found";
#else
    outcome.message = "this build of Voluna has no CUDA support";
#endif
    outcome.status = Status::BackendUnavailable;
    return outcome;
  }

  bool finished;
  if (backend == Backend::CpuReference) {
    const CpuFilter cpu(options.threads);
    outcome.backend = "CPU, " + std::to_string(cpu.threadCount()) + " threads";
    finished = cpu.run(volume, dims, params, out, options.control);
  } else {
    const CpuFastFilter cpu(options.threads);
    outcome.backend = "CPU, " + std::to_string(cpu.threadCount()) + " threads";
    finished = cpu.run(volume, dims, params, out, options.control);
  }
  if (!finished) {
    outcome.status = Status::Cancelled;
    outcome.message = "the run was cancelled";
  }
  return outcome;
}

FilterOutcome runDirectionField(const float* volume, Dims dims, const FilterParams& params,
                                Vec3* out, const FilterOptions& options) {
  using Status = FilterOutcome::Status;
  FilterOutcome outcome = refusal(dims, params);
  if (!outcome.ok()) return outcome;
  if (options.backend == Backend::Cuda) {
    outcome.status = Status::BackendUnavailable;
    outcome.message = "the direction field is computed on the CPU only; use the auto or cpu backend";
    return outcome;
  }

  const std::vector<Vec3> directions = buildDirectionSet(params.angleStep);
  std::vector<Float4> field(static_cast<size_t>(dims.count()));
  bool finished;
  if (options.backend == Backend::CpuReference) {
    const CpuFilter cpu(options.threads);
    outcome.backend = "CPU, " + std::to_string(cpu.threadCount()) + " threads";
    finished = cpu.createVectorField(volume, dims, params.samples, params.preserveEdges,
                                     directions, field.data(), options.control);
  } else {
    const CpuFastFilter cpu(options.threads);
    outcome.backend = "CPU, " + std::to_string(cpu.threadCount()) + " threads";
    finished = cpu.createVectorField(volume, dims, params.samples, params.preserveEdges,
                                     directions, field.data(), options.control);
  }
  if (!finished) {
    outcome.status = Status::Cancelled;
    outcome.message = "the run was cancelled";
    return outcome;
  }
  for (size_t i = 0; i < field.size(); ++i) out[i] = {field[i].x, field[i].y, field[i].z};
  return outcome;
}

}  // namespace voluna
