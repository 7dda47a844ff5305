#include "filter_engine.h"

#include <atomic>
#include <cstdio>

#include "denoise.h"

#include "brick.h"

namespace voluna {

namespace {

std::atomic<bool> simulatedGpuFailure{false};

bool goesToGpu(Backend backend) {
  return backend == Backend::Cuda || (backend == Backend::Auto && (gpuFailureSimulated() || cudaUsable()));
}

bool cancelled(const FilterCall& call) { return call.options.control && call.options.control->cancelled(); }

std::string shown(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", v);
  return text;
}

FilterOutcome refusedCall(std::string message) {
  FilterOutcome refused;
  refused.status = FilterOutcome::Status::InvalidInput;
  refused.message = std::move(message);
  return refused;
}

// Fills call.params.denoising; empty, or why the call cannot run.
std::string prepareDenoising(FilterCall& call) {
  DenoiseParams& d = call.params.denoising;
  d.spacing = {static_cast<float>(call.geometry.spacing[0]), static_cast<float>(call.geometry.spacing[1]),
               static_cast<float>(call.geometry.spacing[2])};
  NoiseEstimate estimate;
  if (call.estimate) {
    estimate = *call.estimate;
  } else if (call.wholeRun) {
    estimate = estimateNoise(call.input, {static_cast<int>(call.whole.x), static_cast<int>(call.whole.y),
                                          static_cast<int>(call.whole.z)});
  } else {
    estimate.problem = "a brick cannot measure the noise of the whole volume";
  }
  const bool given = call.params.noise >= 0.0;
  if (given) {
    d.noise = unitNoise(call.params.noise, call.range.min, call.range.max);
    d.rician = estimate.ok() && estimate.rician;
    d.floor = estimate.floor;
  } else {
    if (!estimate.ok()) return estimate.problem;
    takeEstimate(estimate, d);
  }
  if (call.wholeRun && call.strength) call.strength(noiseNotice(d, given, call.range));
  return checkDenoiseParams(d);
}

}  // namespace

std::string noiseNotice(const DenoiseParams& params, bool given, ValueRange range) {
  return std::string("noise level ") + shown(inputNoise(params.noise, range.min, range.max)) +
         (given ? " (given)" : " (estimated from the volume)") +
         (params.rician ? "; Rician, as in a magnitude image: results are taken back to the signal" : "");
}

namespace {

FilterOutcome callMethod(const FilterCall& call) {
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

}  // namespace

FilterOutcome callFilter(const FilterCall& call) {
  if (!call.params.denoise) return callMethod(call);
  FilterCall prepared = call;
  const std::string problem = prepareDenoising(prepared);
  if (!problem.empty()) return refusedCall(problem);
  return callMethod(prepared);
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
