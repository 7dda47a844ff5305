#include "filter.h"

#include <vector>

#include "box_run.h"
#include "direction_set.h"
#include "directional_filter.h"
#include "filter_method.h"

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

BoxInput wholeOf(const float* volume, Dims dims) {
  const Extent whole{dims.x, dims.y, dims.z};
  return {volume, Box::of(whole), whole};
}

}  // namespace

FilterOutcome runFilter(const float* volume, Dims dims, const FilterParams& params, float* out,
                        const FilterOptions& options) {
  const FilterOutcome outcome = refusal(dims, params);
  if (!outcome.ok()) return outcome;
  const BoxInput input = wholeOf(volume, dims);
  return runOnBox(*filterMethod(params, out), input, input.box, options, true);
}

FilterOutcome runDirectionField(const float* volume, Dims dims, const FilterParams& params,
                                Vec3* out, const FilterOptions& options) {
  FilterOutcome outcome = refusal(dims, params);
  if (!outcome.ok()) return outcome;
  const BoxInput input = wholeOf(volume, dims);
  std::vector<uint16_t> chosen(static_cast<size_t>(dims.count()));
  const DirectionSearch search(
      params, chosen.data(),
      "the direction field is computed on the CPU only; use the auto or cpu backend");
  outcome = runOnBox(search, input, input.box, options, false);
  if (!outcome.ok()) return outcome;
  const std::vector<Vec3> directions = buildDirectionSet(params.angleStep);
  for (size_t i = 0; i < chosen.size(); ++i) out[i] = directions[chosen[i]];
  return outcome;
}

}  // namespace voluna
