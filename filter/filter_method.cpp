#include "filter_method.h"

#include <algorithm>

#include "denoise.h"
#include "directional_filter.h"

namespace voluna {

namespace {

// The denoiser as a box method: it brings its own backends (denoise.h),
// and picks the GPU the way the orchestration does.
class Denoising : public BoxMethod {
 public:
  Denoising(const DenoiseParams& params, float* out) : params_(params), out_(out) {}

  // The widest axis: boxes grown by it hold what every axis needs.
  int64_t reach() const override {
    const Reach r = denoiseReach(params_);
    return std::max({r.x, r.y, r.z});
  }

  bool runOnCpu(CpuBoxRun& run, const Box& interior) const override {
    FilterOptions options;
    options.backend = run.simd ? Backend::Cpu : Backend::CpuReference;
    options.threads = run.threads;
    options.control = run.control;
    const FilterOutcome outcome =
        denoiseBox(run.input.data, run.input.box, run.input.whole, interior, params_, out_, options);
    return outcome.ok();
  }

  std::string withoutGpu() const override { return {}; }

  FilterOutcome runOnGpu(const BoxInput& input, const Box& interior, const RunControl* control) const override {
    FilterOptions options;
    options.backend = Backend::Cuda;
    options.control = control;
    return denoiseBox(input.data, input.box, input.whole, interior, params_, out_, options);
  }

 private:
  const DenoiseParams& params_;
  float* out_;
};

}  // namespace

std::unique_ptr<BoxMethod> filterMethod(const FilterParams& params, float* out) {
  if (params.denoise) return std::make_unique<Denoising>(params.denoising, out);
  return std::make_unique<DirectionalFilter>(params, out);
}

}  // namespace voluna
