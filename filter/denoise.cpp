#include "denoise.h"

#include <algorithm>
#include <cmath>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "brick.h"
#include "denoise_math.h"
#include "fast_denoise.h"
#include "parallel_rows.h"

#ifdef VOLUNA_HAVE_CUDA
#include "gpu_denoise.h"
#include "gpu_filter.h"
#endif

// The reach, derived from denoise_math.h and denoise_params.cpp.
//
// Every read of a voxel's two passes is at the voxel's coordinates plus a
// whole-number offset from the stencil, clamped into the buffer read, axis
// by axis: no read position is ever rounded, so the axes are independent
// and each is bounded by the stencil alone. Take one axis, a result voxel
// at x, and the stencil's widths along it: the pilot's search box half-width
// w, its patch radius r (1), the ball's half-width b and the line samples'
// cells c (each read at c and c + 1).
//
// (a) The pilot at y reads the input at y + o + k for every candidate
//     offset |o| <= w and patch offset |k| <= r: within pilotReach = w + r.
//     Every one of those reads counts: a candidate's weight is the kernel of
//     its whole patch distance, and a NaN or infinity anywhere in the patch
//     makes that weight 0.
// (b) The result at x reads the pilot and the input at x + o for the ball's
//     offsets |o| <= b, and at x + c and x + c + 1 for each line sample,
//     zero weights included (fmaf(NaN, 0, s) is NaN, and a NaN pilot sample
//     gives its sample the weight 0): within finalReach = max(b, max |c|,
//     max |c + 1|). The weights c3, c1 and c2 are constants of the run.
// (c) So the result at x depends on the input within [x - R, x + R], R =
//     finalReach + pilotReach, and on nothing else.
//
// A box is exact because denoiseBox evaluates the same arithmetic at the
// same whole-volume coordinates: it computes the pilot on the interior
// grown by finalReach (clipped to the volume), which by (b) holds every
// pilot value a result reads, except reads beyond a face of that box that
// is also the volume's face, where both clamp alike; and by (a) those pilot
// values read only input inside the interior grown by R, which the input
// box holds, or beyond its faces where they are the volume's. Reads of other
// voxels may clamp differently, and nothing depends on them.
//
// R is attained: along the axis of direction 0 of the line set the last
// sample falls on a whole voxel, with weight 0 on the corner beyond it,
// which is still read; a hole there changes the result (tests/filter/
// denoise_box_test). With a ball as wide as the lines, an edge at R changes
// it through the pilot.

namespace voluna {

float unitNoise(double sigma, double min, double max) {
  const double width = max - min;
  return width > 0.0 ? static_cast<float>(sigma / width) : 0.0f;
}

double inputNoise(float unitSigma, double min, double max) {
  return static_cast<double>(unitSigma) * (max - min);
}

void takeEstimate(const NoiseEstimate& estimate, DenoiseParams& params) {
  params.noise = estimate.sigma;
  params.rician = estimate.rician;
  params.floor = estimate.floor;
}

Reach denoiseReach(const DenoiseParams& params) {
  const DenoiseStencil s = buildDenoiseStencil(params);
  return {s.finalReach.x + s.pilotReach.x, s.finalReach.y + s.pilotReach.y,
          s.finalReach.z + s.pilotReach.z};
}

namespace {

Box grownBy(const Box& b, Reach r, Extent whole) {
  return {std::max<int64_t>(0, b.x0 - r.x), std::max<int64_t>(0, b.y0 - r.y),
          std::max<int64_t>(0, b.z0 - r.z), std::min(whole.x, b.x1 + r.x),
          std::min(whole.y, b.y1 + r.y), std::min(whole.z, b.z1 + r.z)};
}

}  // namespace

Box denoiseHaloBox(const Box& interior, Extent whole, const DenoiseParams& params) {
  return grownBy(interior, denoiseReach(params), whole);
}

namespace {

// Reads a buffer holding the voxels of a box at whole-volume coordinates,
// clamping at the box's faces as the sampler clamps at a volume's.
template <bool kFilled>
class BoxFetch {
 public:
  BoxFetch(const float* data, const Box& box)
      : data_(data),
        lo_{static_cast<int>(box.x0), static_cast<int>(box.y0), static_cast<int>(box.z0)},
        size_{static_cast<int>(box.width()), static_cast<int>(box.height()),
              static_cast<int>(box.depth())} {}

  float operator()(int x, int y, int z) const {
    x = std::clamp(x - lo_[0], 0, size_[0] - 1);
    y = std::clamp(y - lo_[1], 0, size_[1] - 1);
    z = std::clamp(z - lo_[2], 0, size_[2] - 1);
    const float v = data_[x + int64_t{size_[0]} * (y + int64_t{size_[1]} * z)];
    if (kFilled) return finiteValue(v) ? v : 0.0f;
    return v;
  }

 private:
  const float* data_;
  int lo_[3], size_[3];
};

std::string describe(const Box& b) {
  return "[" + std::to_string(b.x0) + ", " + std::to_string(b.x1) + ") x [" +
         std::to_string(b.y0) + ", " + std::to_string(b.y1) + ") x [" + std::to_string(b.z0) +
         ", " + std::to_string(b.z1) + ")";
}

std::string checkBox(const Box& inputBox, Extent whole, const Box& interior,
                     const DenoiseParams& params) {
  std::string problem = checkExtent(whole);
  if (problem.empty()) problem = checkDenoiseParams(params);
  if (!problem.empty()) return problem;
  if (interior.empty() || !Box::of(whole).contains(interior)) {
    return "the box " + describe(interior) + " is empty or not inside the volume";
  }
  if (!Box::of(whole).contains(inputBox)) {
    return "the input box " + describe(inputBox) + " is not inside the volume";
  }
  const Box needed = denoiseHaloBox(interior, whole, params);
  if (!inputBox.contains(needed)) {
    const Reach r = denoiseReach(params);
    return "the input box " + describe(inputBox) + " does not hold the box's halo " +
           describe(needed) + " (the box grown by " + std::to_string(r.x) + ", " +
           std::to_string(r.y) + " and " + std::to_string(r.z) +
           " voxels along x, y and z, clipped at the volume's faces)";
  }
  if (inputBox.count() > kMaxVoxels) {
    return "the input box " + describe(inputBox) + " has " + std::to_string(inputBox.count()) +
           " voxels; a box's buffer holds at most 2^31 - 1";
  }
  return {};
}

// Runs rowFn(y, z) over the rows of `area` on all threads.
template <class RowFn>
bool forEachRowOf(const Box& area, int threads, Stage stage, const RunControl* control,
                  RowFn rowFn) {
  const int64_t h = area.height();
  return forEachUnit(area.height() * area.depth(), 1, threads, stage, control,
                     [&](int64_t row, int64_t, int) {
                       return rowFn(area.y0 + row % h, area.z0 + row / h);
                     });
}

// The plain path: one voxel at a time through denoise_math.h.
bool plainPilot(const float* input, const Box& inputBox, const Box& pilotBox,
                const DenoiseStencilView& view, int threads, const RunControl* control,
                float* pilot) {
  const BoxFetch<false> fetch(input, inputBox);
  const BoxIndex at(pilotBox);
  return forEachRowOf(pilotBox, threads, Stage::VectorField, control, [&](int64_t y, int64_t z) {
    for (int64_t x = pilotBox.x0; x < pilotBox.x1; ++x) {
      if (control && control->cancelled()) return false;
      pilot[at(x, y, z)] = pilotVoxel(fetch, static_cast<int>(x), static_cast<int>(y),
                                      static_cast<int>(z), view);
    }
    return true;
  });
}

bool plainFinal(const float* input, const Box& inputBox, const float* pilot, const Box& pilotBox,
                const Box& interior, const DenoiseStencilView& view, int threads,
                const RunControl* control, float* out) {
  const BoxFetch<true> filled(input, inputBox);
  const BoxFetch<false> raw(input, inputBox);
  const BoxFetch<false> pilotFetch(pilot, pilotBox);
  const BoxIndex at(interior);
  return forEachRowOf(interior, threads, Stage::Integration, control, [&](int64_t y, int64_t z) {
    for (int64_t x = interior.x0; x < interior.x1; ++x) {
      if (control && control->cancelled()) return false;
      const int xi = static_cast<int>(x), yi = static_cast<int>(y), zi = static_cast<int>(z);
      out[at(x, y, z)] =
          restoreAmplitude(finalVoxel(filled, pilotFetch, xi, yi, zi, raw(xi, yi, zi), view), view);
    }
    return true;
  });
}

void copyInterior(const float* input, const Box& inputBox, const Box& interior, float* out) {
  const BoxIndex from(inputBox), to(interior);
  for (int64_t z = interior.z0; z < interior.z1; ++z)
    for (int64_t y = interior.y0; y < interior.y1; ++y)
      std::copy_n(input + from(interior.x0, y, z), interior.width(), out + to(interior.x0, y, z));
}

}  // namespace

int64_t denoiseWorkingBytes(const Box& interior, Extent whole, const DenoiseParams& params) {
  const DenoiseStencil s = buildDenoiseStencil(params);
  const Box pilotBox = grownBy(interior, s.finalReach, whole);
  const Box inputBox = denoiseHaloBox(interior, whole, params);
  // The fast path pads rows of the pilot and of the filled input.
  const int64_t margin = 2 * (kMaxDenoiseMargin + 1);
  return static_cast<int64_t>(sizeof(float)) *
         ((pilotBox.width() + margin) * pilotBox.height() * pilotBox.depth() +
          2 * (inputBox.width() + margin) * inputBox.height() * inputBox.depth());
}

FilterOutcome denoiseBox(const float* input, const Box& inputBox, Extent whole,
                         const Box& interior, const DenoiseParams& params, float* out,
                         const FilterOptions& options) {
  using Status = FilterOutcome::Status;
  const std::string problem = checkBox(inputBox, whole, interior, params);
  if (!problem.empty()) return refusedOutcome(Status::InvalidInput, problem);

  Backend backend = options.backend;
  if (backend == Backend::Auto) backend = cudaUsable() ? Backend::Cuda : Backend::Cpu;
  FilterOutcome outcome;
  if (params.noise == 0.0f) {
    // No noise to take away: the input as it is, whatever the backend.
    outcome.backend = "none (noise level 0)";
    copyInterior(input, inputBox, interior, out);
    return outcome;
  }
  const DenoiseStencil stencil = buildDenoiseStencil(params);
  const Box pilotBox = grownBy(interior, stencil.finalReach, whole);

  bool finished = false;
  if (backend == Backend::Cuda) {
#ifdef VOLUNA_HAVE_CUDA
    if (!cudaUsable()) return refusedOutcome(Status::BackendUnavailable, "no usable CUDA device was found");
    outcome.backend = "GPU, " + gpuName();
    const GpuOutcome gpu = gpuDenoise(input, inputBox, pilotBox, interior, stencil, out,
                                      options.control);
    if (gpu.status == GpuOutcome::Status::Failed) return refusedOutcome(Status::BackendFailed, gpu.message);
    finished = gpu.status == GpuOutcome::Status::Ok;
#else
    return refusedOutcome(Status::BackendUnavailable, "this build of Voluna has no CUDA support");
#endif
  } else {
    const int threads = threadCount(options);
    outcome.backend = "CPU, " + std::to_string(threads) + " threads";
    const DenoiseStencilView view = viewOf(stencil);
    if (backend == Backend::Cpu && fastDenoiseTakes(inputBox, stencil)) {
      finished = fastDenoise(input, inputBox, pilotBox, interior, stencil, threads,
                             options.control, out);
    } else {
      std::vector<float> pilot(static_cast<size_t>(pilotBox.count()));
      finished = plainPilot(input, inputBox, pilotBox, view, threads, options.control,
                            pilot.data()) &&
                 plainFinal(input, inputBox, pilot.data(), pilotBox, interior, view, threads,
                            options.control, out);
    }
  }
  if (!finished) {
    outcome.status = Status::Cancelled;
    outcome.message = "the run was cancelled";
  }
  return outcome;
}

FilterOutcome runDenoise(const float* volume, Dims dims, const DenoiseParams& params, float* out,
                         const FilterOptions& options) {
  const std::string problem = checkDimensions(dims);
  if (!problem.empty()) return refusedOutcome(FilterOutcome::Status::InvalidInput, problem);
  const Extent whole{dims.x, dims.y, dims.z};
  return denoiseBox(volume, Box::of(whole), whole, Box::of(whole), params, out, options);
}

}  // namespace voluna
