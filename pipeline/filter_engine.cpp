#include "filter_engine.h"

#include <atomic>

#include "brick.h"

namespace voluna {

namespace {

std::atomic<bool> simulatedGpuFailure{false};

bool goesToGpu(Backend backend) {
  return backend == Backend::Cuda || (backend == Backend::Auto && (gpuFailureSimulated() || cudaUsable()));
}

bool cancelled(const FilterCall& call) { return call.options.control && call.options.control->cancelled(); }

}  // namespace

FilterOutcome callFilter(const FilterCall& call) {
  if (call.wholeRun) {
    const Dims dims{static_cast<int>(call.whole.x), static_cast<int>(call.whole.y), static_cast<int>(call.whole.z)};
    if (dims.x != call.whole.x || dims.y != call.whole.y || dims.z != call.whole.z) {
      FilterOutcome refused;
      refused.status = FilterOutcome::Status::InvalidInput;
      refused.message = "the volume has " + std::to_string(call.whole.count()) +
                        " voxels; at most 2147483647 (2^31 - 1) are supported in one piece";
      return refused;
    }
    return runFilter(call.input, dims, call.params, call.out, call.options);
  }
  return runBrick(call.input, call.inputBox, call.whole, call.interior, call.params, call.out, call.options);
}

FilterOutcome filterUnderPolicy(const FilterEngine& engine, const FilterCall& call, GpuFallback policy,
                                Backend& backendNow, const std::function<void(const std::string&)>& fallbackNotice) {
  FilterCall attempt = call;
  attempt.options.backend = backendNow;
  FilterOutcome outcome;
  if (gpuFailureSimulated() && goesToGpu(backendNow)) {
    outcome.status = FilterOutcome::Status::BackendFailed;
    outcome.message = "GPUassert: out of memory (a simulated failure; no GPU was used)";
  } else {
    outcome = engine(attempt);
  }
  if (outcome.status != FilterOutcome::Status::BackendFailed || backendNow != Backend::Auto ||
      policy != GpuFallback::Cpu || cancelled(call)) {
    return outcome;
  }
  // Only a GPU run fails this way, and the CPU gives the same picture.
  if (fallbackNotice) fallbackNotice("the GPU run failed: " + outcome.message + "\nfiltering on the CPU instead");
  backendNow = Backend::Cpu;
  attempt.options.backend = Backend::Cpu;
  return engine(attempt);
}

void simulateGpuFailure(bool on) { simulatedGpuFailure.store(on); }

bool gpuFailureSimulated() { return simulatedGpuFailure.load(); }

}  // namespace voluna
