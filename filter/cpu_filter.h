// The plain CPU backend: the reference for every other backend.
#pragma once

#include <vector>

#include "device.h"
#include "dims.h"
#include "filter_params.h"
#include "run_control.h"

namespace voluna {

// Runs the per-voxel arithmetic one voxel at a time with the software
// sampler, spread over all cores. Slow but simple; faster paths must match
// it bit for bit.
class CpuFilter {
 public:
  // threads <= 0 uses every core.
  explicit CpuFilter(int threads = 0) : threads_(threads) {}

  // Same contract as GpuFilter::run: fills `out` with X*Y*Z filtered values.
  void run(const float* volume, int X, int Y, int Z, int samples, int steps, int angleStep,
           float* out) const;
  // The same with every option. Returns false, with `out` in an unspecified
  // state, only when `control` asked to cancel.
  bool run(const float* volume, Dims dims, const FilterParams& params, float* out,
           const RunControl* control = nullptr) const;

  // The two stages, exposed for tests and benchmarks.
  bool createVectorField(const float* volume, Dims dims, int samples, bool preserveEdges,
                         const std::vector<Vec3>& directions, Float4* field,
                         const RunControl* control = nullptr) const;
  bool integrateVectorField(const float* volume, const Float4* field, Dims dims, int steps,
                            float* out, const RunControl* control = nullptr) const;

  int threadCount() const;

 private:
  int threads_;
};

}  // namespace voluna
