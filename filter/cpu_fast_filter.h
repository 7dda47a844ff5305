// The fast CPU backend: the plain CPU backend's results, bit for bit, from
// SIMD code on all cores. The default CPU path.
#pragma once

#include <cstdint>
#include <vector>

#include "device.h"
#include "dims.h"
#include "fast_direction_search.h"
#include "filter_params.h"
#include "run_control.h"

namespace voluna {

// What one run did, for benchmarks and tests.
struct FastRunStats {
  SearchStats search;
  double searchSeconds = 0.0;
  double integrationSeconds = 0.0;
};

class CpuFastFilter {
 public:
  // threads <= 0 uses every core.
  explicit CpuFastFilter(int threads = 0) : threads_(threads) {}

  // Pruning skips directions that provably cannot be chosen. On by default;
  // switching it off shows what it saves and that it changes nothing.
  void setPruning(bool on) { pruning_ = on; }

  // Same contract as CpuFilter::run. Returns false, with `out` in an
  // unspecified state, only when `control` asked to cancel.
  bool run(const float* volume, Dims dims, const FilterParams& params, float* out,
           const RunControl* control = nullptr, FastRunStats* stats = nullptr) const;

  // The first stage alone, in the plain backend's field format, for tests
  // and benchmarks.
  bool createVectorField(const float* volume, Dims dims, int samples, bool preserveEdges,
                         const std::vector<Vec3>& directions, Float4* field,
                         const RunControl* control = nullptr, SearchStats* stats = nullptr) const;

  int threadCount() const;

  // Volumes whose padded copy or lane positions outgrow 32-bit indices and
  // exact floats go to the plain path instead (same results, slowly).
  static bool handles(Dims dims);

 private:
  bool chooseDirections(const float* volume, Dims dims, int samples, bool preserveEdges,
                        const std::vector<Vec3>& directions, uint16_t* chosen,
                        const RunControl* control, SearchStats* stats) const;
  bool integrate(const float* volume, Dims dims, const std::vector<Vec3>& directions,
                 const uint16_t* chosen, int steps, float* out, const RunControl* control) const;

  int threads_;
  bool pruning_ = true;
};

}  // namespace voluna
