#include "brick.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "cpu_fast_filter.h"
#include "cpu_sampler.h"
#include "direction_set.h"
#include "fast_direction_search.h"
#include "fast_integration.h"
#include "padded_volume.h"
#include "parallel_rows.h"
#include "voxel_math.h"

#ifdef VOLUNA_HAVE_CUDA
#include "gpu_filter.h"
#endif

// The reach, derived from voxel_math.h and cpu_sampler.h.
//
// S = samples, T = integration steps. The axes are independent: the sampler
// taps each axis on its own, and every coordinate of a direction, and of a
// blended field value, lies in [-1, 1]. So take one axis and an output voxel
// at integer coordinate x. Coordinates stay below 2^23 (kMaxAxis), where
// integers and their halves are exact floats.
//
// (a) The sampler. At position p (texture coordinate p + 0.5) it reads the
//     voxels cell and cell + 1, clamped into the volume, where cell =
//     floor(round(256 (p + 0.5 - 0.5)) / 256). Every operation on the way is
//     monotone and integers are exact, so n - 1/512 <= p <= m + 1/512 for
//     integers n <= m gives n <= cell <= m: the reads stay in [n, m + 1].
//     The read of cell + 1 happens even when its weight is 0, and
//     fmaf(NaN or inf, 0, s) is NaN: every read counts, weighted or not.
//     Clamping at the volume's faces only moves reads inward.
// (b) The search at field voxel y walks y + k d and y - k d for k = 1..S,
//     one step of at most 1 at a time; rounding is monotone and y +- k is
//     exact, so every position lies in [y - S, y + S], and the field at y
//     reads the volume in [y - S, y + S + 1] (the edge-preserving centre
//     reads [y, y + 1]).
// (c) The integration from x. A field value is a blend of components in
//     [-1, 1] with weights that are multiples of 2^-24 and sum to 1; each
//     fused partial sum stays within the partial sum of the weights, so each
//     stage's slope lies in [-1, 1] and k1 + 2 k2 + 2 k3 + k4 in [-6, 6].
//     A step adds at most 6 kSixth = 1 + 2^-25, rounded once, so after k of
//     at most 1000 steps the position is within 1/512 of [x - k, x + k],
//     and a stage position p + k_i / 2 within half a voxel more. Steps
//     k = 0..T-1 sample the field within [x - T + 1/2, x + T - 1/2] (give
//     or take 1/512): cells x - T to x + T - 1, field voxels [x - T, x + T].
//     The volume is sampled at steps 0..T: reads in [x - T, x + T + 1].
// (d) So the output at x reads the field in [x - T, x + T], and through it
//     the volume in [x - T - S, x + T + S + 1], which also holds the
//     integration's own volume reads. The reach is S + T below and S + T + 1
//     above; filterReach gives S + T + 1 on both sides. Neither side can be
//     one less: an edge S + T below x changes the output at x, and so does
//     a NaN S + T + 1 above it, read with weight 0 (tests/filter/brick_test).
//
// A brick is exact because runBrick evaluates the same arithmetic at the
// same whole-volume coordinates; only the buffer index is taken relative to
// the boxes it holds, and its samplers clamp at those boxes' faces (the input
// box for the volume, the field box for the field). By (d) every read an
// interior voxel depends on lies inside those boxes, or beyond one of their
// faces that is also the volume's, where both clamps move it alike; reads of
// other voxels may clamp differently, and nothing depends on them. Positions
// relative to the brick would not do: float rounding depends on a
// coordinate's magnitude, so a shifted origin moves a walk's 8-bit weights
// now and then.
//
// Constant regions. Where every voxel that a field voxel's search reads
// holds the same finite value c, direction 0 (exactly (1, 0, -0)) walks
// whole voxels, every sample is exactly c, its score is 0 and the early
// stop keeps it (with S = 0 every score is NaN, which keeps direction 0 as
// well). Where every voxel an output voxel reads holds c, the whole field it
// samples is direction 0, its steps are +-1 to within 1/512 (sampled cells
// stay whole, weights 1 and 0), every volume sample is exactly c, and the
// output is c summed 2T + 1 times in the integration's order, times the mean
// factor, wherever the voxel lies. runBrick takes both shortcuts, tile by
// tile: mostly constant volumes are filtered at the speed of reading them.

namespace voluna {

std::string checkExtent(Extent whole) {
  const std::string shown =
      std::to_string(whole.x) + " x " + std::to_string(whole.y) + " x " + std::to_string(whole.z);
  if (whole.x < 1 || whole.y < 1 || whole.z < 1) {
    return "the volume has no voxels (dimensions " + shown + ")";
  }
  if (whole.x > kMaxAxis || whole.y > kMaxAxis || whole.z > kMaxAxis) {
    return "the volume is " + shown + " voxels; bricked runs take at most " +
           std::to_string(kMaxAxis) + " voxels along an axis";
  }
  if (whole.x * whole.y > kMaxWholeVoxels / whole.z) {
    return "the volume is " + shown + " voxels, more than the 2^50 a bricked run can address";
  }
  return {};
}

int filterReach(const FilterParams& params) { return params.samples + params.integrationSteps + 1; }

Box grownBox(const Box& interior, int64_t margin, Extent whole) {
  return {std::max<int64_t>(0, interior.x0 - margin), std::max<int64_t>(0, interior.y0 - margin),
          std::max<int64_t>(0, interior.z0 - margin), std::min(whole.x, interior.x1 + margin),
          std::min(whole.y, interior.y1 + margin), std::min(whole.z, interior.z1 + margin)};
}

Box haloBox(const Box& interior, Extent whole, const FilterParams& params) {
  return grownBox(interior, filterReach(params), whole);
}

namespace {

uint32_t bitsOf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// A box cut into cells of 8^3 voxels (smaller at its far faces): small
// enough to find the constant parts of a mostly constant volume, large
// enough that asking about them costs little. Cells are numbered x fastest.
class CellGrid {
 public:
  static constexpr int64_t kCell = 8;

  explicit CellGrid(const Box& box)
      : box_(box), cx_(cellsAlong(box.width())), cy_(cellsAlong(box.height())),
        cz_(cellsAlong(box.depth())) {}

  int64_t count() const { return cx_ * cy_ * cz_; }
  static int64_t countFor(const Box& box) {
    return cellsAlong(box.width()) * cellsAlong(box.height()) * cellsAlong(box.depth());
  }

  Box cell(int64_t c) const {
    const int64_t x0 = box_.x0 + (c % cx_) * kCell, y0 = box_.y0 + ((c / cx_) % cy_) * kCell,
                  z0 = box_.z0 + (c / (cx_ * cy_)) * kCell;
    return {x0, y0, z0, std::min(x0 + kCell, box_.x1), std::min(y0 + kCell, box_.y1),
            std::min(z0 + kCell, box_.z1)};
  }

  // The cell that holds voxel (x, y, z) of the box.
  size_t cellOf(int64_t x, int64_t y, int64_t z) const {
    return static_cast<size_t>((x - box_.x0) / kCell +
                               cx_ * ((y - box_.y0) / kCell + cy_ * ((z - box_.z0) / kCell)));
  }

  // Whether test(cell) holds for every cell that `query` (inside the box) touches.
  template <class Test>
  bool all(const Box& query, Test test) const {
    for (int64_t z = query.z0; z < query.z1 + kCell - 1; z += kCell)
      for (int64_t y = query.y0; y < query.y1 + kCell - 1; y += kCell)
        for (int64_t x = query.x0; x < query.x1 + kCell - 1; x += kCell) {
          if (!test(cellOf(std::min(x, query.x1 - 1), std::min(y, query.y1 - 1),
                           std::min(z, query.z1 - 1)))) {
            return false;
          }
        }
    return true;
  }

 private:
  static int64_t cellsAlong(int64_t length) { return (length + kCell - 1) / kCell; }

  Box box_;
  int64_t cx_, cy_, cz_;
};

// Which cells of the input hold one finite value throughout, so that a box
// can be asked whether it is constant without reading it.
class ConstancyMap {
 public:
  ConstancyMap(const float* data, const Box& box, int threads)
      : grid_(box), constant_(static_cast<size_t>(grid_.count())), bits_(constant_.size()) {
    const BoxIndex at(box);
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int64_t c = 0; c < grid_.count(); ++c) {
      const Box cell = grid_.cell(c);
      const float first = data[at(cell.x0, cell.y0, cell.z0)];
      const uint32_t bits = bitsOf(first);
      bool same = std::isfinite(first);
      for (int64_t z = cell.z0; z < cell.z1 && same; ++z)
        for (int64_t y = cell.y0; y < cell.y1 && same; ++y) {
          const float* row = data + at(cell.x0, y, z);
          for (int64_t x = 0; x < cell.width(); ++x) same = same && bitsOf(row[x]) == bits;
        }
      constant_[static_cast<size_t>(c)] = same;
      bits_[static_cast<size_t>(c)] = bits;
    }
  }

  // True, with the value, when every voxel of `query` (which must lie in the
  // input box) holds the same finite value.
  bool constant(const Box& query, float& value) const {
    const uint32_t bits = bits_[grid_.cellOf(query.x0, query.y0, query.z0)];
    if (!grid_.all(query, [&](size_t c) { return constant_[c] && bits_[c] == bits; })) return false;
    std::memcpy(&value, &bits, sizeof value);
    return true;
  }

  static int64_t bytesFor(const Box& box) {
    return CellGrid::countFor(box) * static_cast<int64_t>(sizeof(uint8_t) + sizeof(uint32_t));
  }

 private:
  CellGrid grid_;
  std::vector<uint8_t> constant_;
  std::vector<uint32_t> bits_;
};

Vec3 centreOf(int64_t x, int64_t y, int64_t z) {
  return {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
}

// integrateVoxel where every sample is exactly `value`: the same additions
// in the same order.
float constantResult(float value, int steps, float r) {
  float acc = value;
  for (int k = 0; k < 2 * steps; ++k) acc = acc + value;
  return acc * r;
}

int threadsFor(const FilterOptions& options) {
#ifdef _OPENMP
  return options.threads > 0 ? options.threads : omp_get_max_threads();
#else
  (void)options;
  return 1;
#endif
}

// The box of rows [rowBegin, rowEnd) (row y + height * z from the corner)
// of `area`, and any rows between them: what those rows span.
// The box of rows [rowBegin, rowEnd) (row y + height * z from the corner)
// of `area`, and any rows between them: what those rows span.
Box rowSpan(const Box& area, int64_t rowBegin, int64_t rowEnd) {
  const int64_t height = area.height();
  Box span = area;
  span.z0 = area.z0 + rowBegin / height;
  span.z1 = area.z0 + (rowEnd - 1) / height + 1;
  if (span.z1 - span.z0 == 1) {
    span.y0 = area.y0 + rowBegin % height;
    span.y1 = area.y0 + (rowEnd - 1) % height + 1;
  }
  return span;
}

// Which cells of a direction field hold direction 0 throughout: with a
// constant volume around them, their outputs are known.
class ZeroField {
 public:
  ZeroField(const uint16_t* chosen, const Box& box, int threads)
      : grid_(box), zero_(static_cast<size_t>(grid_.count())) {
    const BoxIndex at(box);
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int64_t c = 0; c < grid_.count(); ++c) {
      const Box cell = grid_.cell(c);
      bool zero = true;
      for (int64_t z = cell.z0; z < cell.z1 && zero; ++z)
        for (int64_t y = cell.y0; y < cell.y1 && zero; ++y) {
          const uint16_t* row = chosen + at(cell.x0, y, z);
          for (int64_t x = 0; x < cell.width(); ++x) zero = zero && row[x] == 0;
        }
      zero_[static_cast<size_t>(c)] = zero;
    }
  }

  // Whether every voxel of `query` (inside the field's box) holds direction 0.
  bool allZero(const Box& query) const {
    return grid_.all(query, [&](size_t c) { return zero_[c] != 0; });
  }

  static int64_t bytesFor(const Box& box) { return CellGrid::countFor(box); }

 private:
  CellGrid grid_;
  std::vector<uint8_t> zero_;
};

// What both stages of a brick share: the parameters, the direction set,
// which CPU path runs, and the input with its constant regions mapped.
//
// The fast path's search and integration take whole-volume coordinates and
// clamp at the faces of the buffers they read (the input box, the field
// box), like the plain path's samplers. The reach argument above puts every
// read that an output voxel depends on inside those boxes, or beyond one of
// their faces that is also the volume's, where both clamps agree: so each
// stage gives the whole run's values, bit for bit, on the voxels it is
// asked for.
struct BrickWork {
  BrickWork(const float* input_, const Box& inputBox_, Extent whole_, const FilterParams& params_,
            bool fast_, int threads_, const RunControl* control_)
      : input(input_),
        inputBox(inputBox_),
        whole(whole_),
        params(params_),
        directions(buildDirectionSet(params_.angleStep)),
        fast(fast_),
        threads(threads_),
        control(control_),
        constancy(input_, inputBox_, threads_) {}

  const float* input;
  Box inputBox;
  Extent whole;
  const FilterParams& params;
  std::vector<Vec3> directions;
  bool fast;
  int threads;
  const RunControl* control;
  ConstancyMap constancy;
};

// The directions of every voxel of `area` into `chosen` (area.count()
// values, x fastest). The input must hold `area` grown by samples + 1.
bool searchStage(const BrickWork& w, const Box& area, uint16_t* chosen) {
  const int S = w.params.samples;
  const BoxIndex at(area);
  if (w.fast) {
    const Dims dims{static_cast<int>(w.inputBox.width()), static_cast<int>(w.inputBox.height()),
                    static_cast<int>(w.inputBox.depth())};
    const PaddedVolume padded(w.input, dims, searchLanes() + 1, w.threads);
    const SearchJob job(w.input, w.inputBox, padded, w.directions, S, w.params.preserveEdges, true,
                        chosen, area);
    const int64_t rows = area.height() * area.depth();
    const int64_t rowsPerUnit = std::clamp<int64_t>(rows / (4 * w.threads), 1, 32);
    std::vector<SearchScratch> scratch(static_cast<size_t>(w.threads));
    std::vector<SearchStats> stats(static_cast<size_t>(w.threads));
    return forEachUnit(rows, rowsPerUnit, w.threads, Stage::VectorField, w.control,
                       [&](int64_t begin, int64_t end, int thread) {
                         float unused;
                         const Box span = rowSpan(area, begin, end);
                         if (!w.constancy.constant(grownBox(span, S + 1, w.whole), unused)) {
                           return searchRows(job, scratch[thread], area, begin, end, w.control,
                                             stats[thread]);
                         }
                         for (int64_t row = begin; row < end; ++row) {
                           uint16_t* first = chosen + at(area.x0, area.y0 + row % area.height(),
                                                         area.z0 + row / area.height());
                           std::fill(first, first + area.width(), uint16_t{0});
                         }
                         return true;
                       });
  }
  const BoxVolumeSampler volume(w.input, w.inputBox);
  const int count = static_cast<int>(w.directions.size());
  const CellGrid tiles(area);
  return forEachUnit(
      tiles.count(), 1, w.threads, Stage::VectorField, w.control, [&](int64_t t, int64_t, int) {
        const Box tile = tiles.cell(t);
        float unused;
        const bool flat = w.constancy.constant(grownBox(tile, S + 1, w.whole), unused);
        for (int64_t z = tile.z0; z < tile.z1; ++z)
          for (int64_t y = tile.y0; y < tile.y1; ++y) {
            uint16_t* row = chosen + at(tile.x0, y, z);
            if (flat) {
              std::fill(row, row + tile.width(), uint16_t{0});
              continue;
            }
            for (int64_t x = tile.x0; x < tile.x1; ++x) {
              if (w.control && w.control->cancelled()) return false;
              row[x - tile.x0] = static_cast<uint16_t>(chooseDirection(
                  volume, centreOf(x, y, z), w.directions.data(), count, S, w.params.preserveEdges));
            }
          }
        return true;
      });
}

// The output of every voxel of `interior` into `out` (interior.count()
// floats, x fastest), from the directions of `fieldBox`, which must hold
// `interior` grown by steps, and the input, which must hold it grown by
// steps + 1.
bool integrateStage(const BrickWork& w, const uint16_t* chosen, const Box& fieldBox,
                    const Box& interior, float* out) {
  const int T = w.params.integrationSteps;
  const ZeroField zeros(chosen, fieldBox, w.threads);
  const std::vector<float> table4 = directionRows(w.directions);
  const IntegrationJob job{w.input, w.inputBox, chosen, fieldBox, table4.data(), T, out, interior};
  const BoxVolumeSampler volume(w.input, w.inputBox);
  const BoxFieldSampler field(chosen, w.directions.data(), fieldBox);
  const BoxIndex at(interior);
  const float r = meanFactor(T);
  const CellGrid tiles(interior);
  return forEachUnit(
      tiles.count(), 1, w.threads, Stage::Integration, w.control, [&](int64_t t, int64_t, int) {
        const Box tile = tiles.cell(t);
        float value;
        if (zeros.allZero(grownBox(tile, T, w.whole)) &&
            w.constancy.constant(grownBox(tile, T + 1, w.whole), value)) {
          const float result = constantResult(value, T, r);
          for (int64_t z = tile.z0; z < tile.z1; ++z)
            for (int64_t y = tile.y0; y < tile.y1; ++y) {
              float* row = out + at(tile.x0, y, z);
              std::fill(row, row + tile.width(), result);
            }
          return true;
        }
        if (w.fast) {
          integrateRows(job, tile, 0, tile.height() * tile.depth());
          return true;
        }
        for (int64_t z = tile.z0; z < tile.z1; ++z)
          for (int64_t y = tile.y0; y < tile.y1; ++y) {
            float* row = out + at(tile.x0, y, z);
            for (int64_t x = tile.x0; x < tile.x1; ++x) {
              if (w.control && w.control->cancelled()) return false;
              row[x - tile.x0] = integrateVoxel(volume, field, centreOf(x, y, z), T, r);
            }
          }
        return true;
      });
}

// Whether the fast path takes a brick whose input is `inputBox`.
bool fastPathTakes(const Box& inputBox, const FilterParams& params) {
  const Dims dims{static_cast<int>(inputBox.width()), static_cast<int>(inputBox.height()),
                  static_cast<int>(inputBox.depth())};
  return CpuFastFilter::handles(dims) && searchLanes() + 1 <= kMaxSearchMargin &&
         directionCount(params.angleStep) <= kMaxDirections;
}

std::string describe(const Box& b) {
  return "[" + std::to_string(b.x0) + ", " + std::to_string(b.x1) + ") x [" +
         std::to_string(b.y0) + ", " + std::to_string(b.y1) + ") x [" + std::to_string(b.z0) +
         ", " + std::to_string(b.z1) + ")";
}

// Empty when `box`, a buffer called `what`, lies in the volume, holds
// `interior` grown by `margin` and fits a brick's buffer; else why not.
std::string checkHolds(const Box& box, const char* what, Extent whole, const Box& interior,
                       int64_t margin) {
  if (!Box::of(whole).contains(box)) {
    return std::string("the ") + what + " " + describe(box) + " is not inside the volume";
  }
  const Box needed = grownBox(interior, margin, whole);
  if (!box.contains(needed)) {
    return std::string("the ") + what + " " + describe(box) + " does not hold the brick's halo " +
           describe(needed) + " (the brick grown by " + std::to_string(margin) +
           " voxels, clipped at the volume's faces)";
  }
  if (box.count() > kMaxVoxels) {
    return std::string("the ") + what + " " + describe(box) + " has " + std::to_string(box.count()) +
           " voxels; a brick's buffer holds at most 2^31 - 1";
  }
  return {};
}

// Checks what every brick call shares, and the input box against `margin`.
std::string checkBrick(const Box& inputBox, Extent whole, const Box& interior,
                       const FilterParams& params, int64_t margin) {
  std::string problem = checkExtent(whole);
  if (problem.empty()) problem = checkParams(params);
  if (!problem.empty()) return problem;
  if (interior.empty() || !Box::of(whole).contains(interior)) {
    return "the brick " + describe(interior) + " is empty or not inside the volume";
  }
  return checkHolds(inputBox, "input box", whole, interior, margin);
}

FilterOutcome refused(FilterOutcome::Status status, std::string message) {
  FilterOutcome outcome;
  outcome.status = status;
  outcome.message = std::move(message);
  return outcome;
}

FilterOutcome finish(FilterOutcome outcome, bool finished) {
  if (!finished) {
    outcome.status = FilterOutcome::Status::Cancelled;
    outcome.message = "the run was cancelled";
  }
  return outcome;
}

// Runs `stage` on the CPU backend the options pick: what both stage calls
// do once their own checks have passed.
template <class Stage>
FilterOutcome onCpu(const float* input, const Box& inputBox, Extent whole,
                    const FilterParams& params, const FilterOptions& options, Stage stage) {
  const Backend backend = options.backend == Backend::Auto ? Backend::Cpu : options.backend;
  if (backend == Backend::Cuda) {
    return refused(FilterOutcome::Status::BackendUnavailable,
                   "a brick's stages run on the CPU backends; filter the brick whole (runBrick) for "
                   "the GPU");
  }
  FilterOutcome outcome;
  const int threads = threadsFor(options);
  outcome.backend = "CPU, " + std::to_string(threads) + " threads";
  const BrickWork work(input, inputBox, whole, params,
                       backend == Backend::Cpu && fastPathTakes(inputBox, params), threads,
                       options.control);
  return finish(outcome, stage(work));
}

}  // namespace

int searchReach(const FilterParams& params) { return params.samples + 1; }

int64_t brickWorkingBytes(const Box& interior, Extent whole, const FilterParams& params) {
  const Box fieldBox = grownBox(interior, params.integrationSteps, whole);
  const Box input = haloBox(interior, whole, params);
  const int64_t padded =
      (input.width() + 2 * kMaxSearchMargin) * input.height() * input.depth() *
      static_cast<int64_t>(sizeof(float));
  return fieldBox.count() * static_cast<int64_t>(sizeof(uint16_t)) + padded +
         ConstancyMap::bytesFor(input) + ZeroField::bytesFor(fieldBox);
}

FilterOutcome runBrick(const float* input, const Box& inputBox, Extent whole, const Box& interior,
                       const FilterParams& params, float* out, const FilterOptions& options) {
  using Status = FilterOutcome::Status;
  FilterOutcome outcome;
  const std::string problem = checkBrick(inputBox, whole, interior, params, filterReach(params));
  if (!problem.empty()) return refused(Status::InvalidInput, problem);

  Backend backend = options.backend;
  if (backend == Backend::Auto) backend = cudaUsable() ? Backend::Cuda : Backend::Cpu;
  bool finished = false;
  if (backend == Backend::Cuda) {
#ifdef VOLUNA_HAVE_CUDA
    if (!cudaUsable()) return refused(Status::BackendUnavailable, "no usable CUDA device was found");
    outcome.backend = "GPU, " + gpuName();
    const Dims dims{static_cast<int>(inputBox.width()), static_cast<int>(inputBox.height()),
                    static_cast<int>(inputBox.depth())};
    std::vector<float> result(static_cast<size_t>(inputBox.count()));
    const GpuOutcome gpu = GpuFilter().run(input, dims, params, result.data(), options.control);
    if (gpu.status == GpuOutcome::Status::Failed) return refused(Status::BackendFailed, gpu.message);
    finished = gpu.status == GpuOutcome::Status::Ok;
    if (finished) {
      const BoxIndex from(inputBox), to(interior);
      for (int64_t z = interior.z0; z < interior.z1; ++z)
        for (int64_t y = interior.y0; y < interior.y1; ++y) {
          std::copy_n(result.data() + from(interior.x0, y, z), interior.width(),
                      out + to(interior.x0, y, z));
        }
    }
#else
    return refused(Status::BackendUnavailable, "this build of Voluna has no CUDA support");
#endif
  } else {
    const int threads = threadsFor(options);
    outcome.backend = "CPU, " + std::to_string(threads) + " threads";
    const BrickWork work(input, inputBox, whole, params,
                         backend == Backend::Cpu && fastPathTakes(inputBox, params), threads,
                         options.control);
    // The field of the interior grown by the steps: all that its
    // integration samples.
    const Box fieldBox = grownBox(interior, params.integrationSteps, whole);
    std::vector<uint16_t> chosen(static_cast<size_t>(fieldBox.count()));
    finished = searchStage(work, fieldBox, chosen.data()) &&
               integrateStage(work, chosen.data(), fieldBox, interior, out);
  }
  return finish(outcome, finished);
}

FilterOutcome searchBrick(const float* input, const Box& inputBox, Extent whole,
                          const Box& interior, const FilterParams& params, uint16_t* chosen,
                          const FilterOptions& options) {
  using Status = FilterOutcome::Status;
  const std::string problem = checkBrick(inputBox, whole, interior, params, searchReach(params));
  if (!problem.empty()) return refused(Status::InvalidInput, problem);
  return onCpu(input, inputBox, whole, params, options,
               [&](const BrickWork& work) { return searchStage(work, interior, chosen); });
}

FilterOutcome integrateBrick(const float* input, const Box& inputBox, const uint16_t* chosen,
                             const Box& fieldBox, Extent whole, const Box& interior,
                             const FilterParams& params, float* out, const FilterOptions& options) {
  using Status = FilterOutcome::Status;
  const int64_t T = params.integrationSteps;
  std::string problem = checkBrick(inputBox, whole, interior, params, T + 1);
  if (problem.empty()) problem = checkHolds(fieldBox, "field box", whole, interior, T);
  if (!problem.empty()) return refused(Status::InvalidInput, problem);
  // The indices come from outside: one beyond the set would read past its table.
  const int count = directionCount(params.angleStep);
  const uint16_t* last = chosen + fieldBox.count();
  const uint16_t* stray = std::find_if(chosen, last, [&](uint16_t i) { return i >= count; });
  if (stray != last) {
    return refused(Status::InvalidInput,
                   "the direction field holds index " + std::to_string(*stray) +
                       ", beyond the " + std::to_string(count) + " directions of angle step " +
                       std::to_string(params.angleStep) + "; it must come from searchBrick with the same parameters");
  }
  return onCpu(input, inputBox, whole, params, options, [&](const BrickWork& work) {
    return integrateStage(work, chosen, fieldBox, interior, out);
  });
}

}  // namespace voluna
