// The filter as a run calls it, and the one rule for a GPU run that fails:
// under Backend::Auto the CPU redoes it (or the caller asks a person first);
// an explicitly chosen Backend::Cuda reports the failure.
#pragma once

#include <functional>
#include <string>

#include "box.h"
#include "filter.h"
#include "filter_params.h"
#include "noise_estimate.h"
#include "value_mapping.h"
#include "volume.h"

namespace voluna {

// One call of the filter. A whole run (`wholeRun`) covers the volume and
// says its stages on standard output; a brick's box lies inside a larger
// volume, as runBrick takes it.
struct FilterCall {
  const float* input = nullptr;  // the voxels of inputBox on the unit scale, x fastest
  Box inputBox;
  Extent whole;
  Box interior;  // the voxels `out` receives, x fastest
  float* out = nullptr;
  FilterParams params;
  FilterOptions options{};
  bool wholeRun = false;
  // Where the voxels lie and what the unit scale stands for, for methods
  // that measure in millimetres or in the input's own values; a method
  // hands what it found out (an estimate, say) to `notice`, on the thread
  // that made the call.
  Geometry geometry{};
  ValueRange range{0, 255};
  std::function<void(const std::string&)> notice{};
  // Told the noise level a whole denoising run takes (noiseNotice).
  std::function<void(const std::string&)> strength{};
  // The denoiser's noise estimate of the whole volume, measured once for
  // every brick of a run; null: a whole run measures it itself.
  const NoiseEstimate* estimate = nullptr;
};

// What runs a call: callFilter, or a test's stand-in.
using FilterEngine = std::function<FilterOutcome(const FilterCall&)>;

// runFilter for a whole run, runBrick for a brick. A denoising call gets its
// unit-scale parameters here: the noise level given in the input's units,
// or the estimate's, the volume's spacing, and a notice that says which.
FilterOutcome callFilter(const FilterCall& call);

// The line that says what noise level a denoising run takes, in the input's units.
std::string noiseNotice(const DenoiseParams& params, bool given, ValueRange range);

// What a failed GPU run under Backend::Auto leads to.
enum class GpuFallback {
  Cpu,  // the CPU redoes it; a notice says so
  Ask,  // the failure is handed back: the caller asks a person and, if they
        // agree, runs again with Backend::Cpu
};

// One filter call under the fallback rule. `call.options.backend` is the
// backend asked for; after a fallback `backendNow` is Backend::Cpu, so that
// the bricks of a streamed run that follow go straight to the CPU.
// `fallbackNotice` receives the lines that say a fallback happened. Nothing
// is redone once the run is cancelled.
FilterOutcome filterUnderPolicy(const FilterEngine& engine, const FilterCall& call, GpuFallback policy,
                                Backend& backendNow, const std::function<void(const std::string&)>& fallbackNotice);

// For tests of the rule on machines without a GPU: while on, every call that
// would go to a GPU (Backend::Cuda, and Backend::Auto as if a GPU were
// usable) fails the way a GPU out of memory does, without touching a device.
void simulateGpuFailure(bool on);
bool gpuFailureSimulated();

}  // namespace voluna
