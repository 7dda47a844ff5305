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

// Which cells of 8^3 voxels of the input hold one finite value throughout,
// so that a box can be asked whether it is constant without reading it.
class ConstancyMap {
 public:
  static constexpr int64_t kCell = 8;

  ConstancyMap(const float* data, const Box& box, int threads)
      : box_(box),
        cx_((box.width() + kCell - 1) / kCell),
        cy_((box.height() + kCell - 1) / kCell),
        cz_((box.depth() + kCell - 1) / kCell),
        constant_(static_cast<size_t>(cx_ * cy_ * cz_)),
        bits_(constant_.size()) {
    const BoxIndex frame(box);
    const int64_t cells = cx_ * cy_ * cz_;
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int64_t c = 0; c < cells; ++c) {
      const int64_t i = c % cx_, j = (c / cx_) % cy_, k = c / (cx_ * cy_);
      const int64_t x0 = box_.x0 + i * kCell, y0 = box_.y0 + j * kCell, z0 = box_.z0 + k * kCell;
      const int64_t x1 = std::min(x0 + kCell, box_.x1), y1 = std::min(y0 + kCell, box_.y1),
                    z1 = std::min(z0 + kCell, box_.z1);
      const float first = data[frame(x0, y0, z0)];
      const uint32_t bits = bitsOf(first);
      bool same = std::isfinite(first);
      for (int64_t z = z0; z < z1 && same; ++z)
        for (int64_t y = y0; y < y1 && same; ++y) {
          const float* row = data + frame(x0, y, z);
          for (int64_t x = 0; x < x1 - x0; ++x) same = same && bitsOf(row[x]) == bits;
        }
      constant_[static_cast<size_t>(c)] = same;
      bits_[static_cast<size_t>(c)] = bits;
    }
  }

  // True, with the value, when every voxel of `query` (which must lie in the
  // input box) holds the same finite value.
  bool constant(const Box& query, float& value) const {
    const int64_t i0 = (query.x0 - box_.x0) / kCell, i1 = (query.x1 - 1 - box_.x0) / kCell;
    const int64_t j0 = (query.y0 - box_.y0) / kCell, j1 = (query.y1 - 1 - box_.y0) / kCell;
    const int64_t k0 = (query.z0 - box_.z0) / kCell, k1 = (query.z1 - 1 - box_.z0) / kCell;
    const uint32_t bits = bits_[cellIndex(i0, j0, k0)];
    for (int64_t k = k0; k <= k1; ++k)
      for (int64_t j = j0; j <= j1; ++j)
        for (int64_t i = i0; i <= i1; ++i) {
          const size_t c = cellIndex(i, j, k);
          if (!constant_[c] || bits_[c] != bits) return false;
        }
    std::memcpy(&value, &bits, sizeof value);
    return true;
  }

  static int64_t bytesFor(const Box& box) {
    const int64_t cells = ((box.width() + kCell - 1) / kCell) * ((box.height() + kCell - 1) / kCell) *
                          ((box.depth() + kCell - 1) / kCell);
    return cells * static_cast<int64_t>(sizeof(uint8_t) + sizeof(uint32_t));
  }

 private:
  size_t cellIndex(int64_t i, int64_t j, int64_t k) const {
    return static_cast<size_t>(i + cx_ * (j + cy_ * k));
  }

  Box box_;
  int64_t cx_, cy_, cz_;
  std::vector<uint8_t> constant_;
  std::vector<uint32_t> bits_;
};

// Tiles of 8^3 voxels over a box: small enough to find the constant parts
// of a mostly constant volume, large enough that asking costs little.
class Tiling {
 public:
  static constexpr int64_t kTile = 8;

  explicit Tiling(const Box& box)
      : box_(box),
        tx_((box.width() + kTile - 1) / kTile),
        ty_((box.height() + kTile - 1) / kTile),
        tz_((box.depth() + kTile - 1) / kTile) {}

  int64_t count() const { return tx_ * ty_ * tz_; }
  Box tile(int64_t t) const {
    const int64_t x0 = box_.x0 + (t % tx_) * kTile, y0 = box_.y0 + ((t / tx_) % ty_) * kTile,
                  z0 = box_.z0 + (t / (tx_ * ty_)) * kTile;
    return {x0, y0, z0, std::min(x0 + kTile, box_.x1), std::min(y0 + kTile, box_.y1),
            std::min(z0 + kTile, box_.z1)};
  }

 private:
  Box box_;
  int64_t tx_, ty_, tz_;
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

// The fast CPU path over a brick: its search and integration take
// whole-volume coordinates and clamp at the faces of the buffers they read
// (the input box, the field box). The reach argument above puts every read
// that a voxel of the interior depends on inside those boxes or on a face
// they share with the volume, where both clamps agree: so the interior is
// the whole run's, bit for bit, and so is every field voxel it samples.
bool runFast(const float* input, const Box& inputBox, Extent whole, const Box& interior,
             const FilterParams& params, float* out, int threads, const RunControl* control) {
  const int S = params.samples, T = params.integrationSteps;
  const std::vector<Vec3> directions = buildDirectionSet(params.angleStep);
  const ConstancyMap constancy(input, inputBox, threads);
  const Dims dims{static_cast<int>(inputBox.width()), static_cast<int>(inputBox.height()),
                  static_cast<int>(inputBox.depth())};
  std::vector<uint16_t> chosen;
  const Box fieldBox = grownBox(interior, T, whole);
  chosen.resize(static_cast<size_t>(fieldBox.count()));
  {
    const PaddedVolume padded(input, dims, searchLanes() + 1, threads);
    const SearchJob job(input, inputBox, padded, directions, S, params.preserveEdges, true,
                        chosen.data(), fieldBox);
    const int64_t rows = fieldBox.height() * fieldBox.depth();
    const int64_t rowsPerUnit = std::clamp<int64_t>(rows / (4 * threads), 1, 32);
    std::vector<SearchScratch> scratch(static_cast<size_t>(threads));
    std::vector<SearchStats> stats(static_cast<size_t>(threads));
    const BoxIndex fieldAt(fieldBox);
    const bool searched = forEachUnit(
        rows, rowsPerUnit, threads, Stage::VectorField, control,
        [&](int64_t begin, int64_t end, int thread) {
          const Box span = rowSpan(fieldBox, begin, end);
          float unused;
          if (!constancy.constant(grownBox(span, S + 1, whole), unused)) {
            return searchRows(job, scratch[thread], fieldBox, begin, end, control, stats[thread]);
          }
          for (int64_t row = begin; row < end; ++row) {
            uint16_t* at = chosen.data() + fieldAt(fieldBox.x0, fieldBox.y0 + row % fieldBox.height(),
                                                   fieldBox.z0 + row / fieldBox.height());
            std::fill(at, at + fieldBox.width(), uint16_t{0});
          }
          return true;
        });
    if (!searched) return false;
  }

  const std::vector<float> table4 = directionRows(directions);
  const IntegrationJob job{input, inputBox, chosen.data(), fieldBox, table4.data(), T, out, interior};
  const BoxIndex outAt(interior);
  const float r = meanFactor(T);
  const Tiling tiles(interior);
  return forEachUnit(tiles.count(), 1, threads, Stage::Integration, control,
                     [&](int64_t t, int64_t, int) {
                       const Box tile = tiles.tile(t);
                       float value;
                       if (!constancy.constant(grownBox(tile, S + T + 1, whole), value)) {
                         integrateRows(job, tile, 0, tile.height() * tile.depth());
                         return true;
                       }
                       const float result = constantResult(value, T, r);
                       for (int64_t z = tile.z0; z < tile.z1; ++z)
                         for (int64_t y = tile.y0; y < tile.y1; ++y) {
                           float* row = out + outAt(tile.x0, y, z);
                           std::fill(row, row + tile.width(), result);
                         }
                       return true;
                     });
}

// The plain per-voxel arithmetic over a brick, for the reference backend
// and for what the fast path does not take.
bool runOnCpu(const float* input, const Box& inputBox, Extent whole, const Box& interior,
              const FilterParams& params, float* out, int threads, const RunControl* control) {
  const int S = params.samples, T = params.integrationSteps;
  const std::vector<Vec3> directions = buildDirectionSet(params.angleStep);
  const Vec3* table = directions.data();
  const int count = static_cast<int>(directions.size());
  const ConstancyMap constancy(input, inputBox, threads);
  const BoxVolumeSampler volume(input, inputBox);

  const Box fieldBox = grownBox(interior, T, whole);
  const BoxIndex fieldFrame(fieldBox);
  std::vector<uint16_t> chosen(static_cast<size_t>(fieldBox.count()));
  const Tiling fieldTiles(fieldBox);
  const bool searched = forEachUnit(
      fieldTiles.count(), 1, threads, Stage::VectorField, control, [&](int64_t t, int64_t, int) {
        const Box tile = fieldTiles.tile(t);
        float unused;
        const bool flat = constancy.constant(grownBox(tile, S + 1, whole), unused);
        for (int64_t z = tile.z0; z < tile.z1; ++z)
          for (int64_t y = tile.y0; y < tile.y1; ++y) {
            uint16_t* row = chosen.data() + fieldFrame(tile.x0, y, z);
            if (flat) {
              std::fill(row, row + tile.width(), uint16_t{0});
              continue;
            }
            for (int64_t x = tile.x0; x < tile.x1; ++x) {
              if (control && control->cancelled()) return false;
              row[x - tile.x0] = static_cast<uint16_t>(chooseDirection(
                  volume, centreOf(x, y, z), table, count, S, params.preserveEdges));
            }
          }
        return true;
      });
  if (!searched) return false;

  const BoxFieldSampler field(chosen.data(), table, fieldBox);
  const BoxIndex outFrame(interior);
  const float r = meanFactor(T);
  const Tiling outTiles(interior);
  return forEachUnit(
      outTiles.count(), 1, threads, Stage::Integration, control, [&](int64_t t, int64_t, int) {
        const Box tile = outTiles.tile(t);
        float value;
        const bool flat = constancy.constant(grownBox(tile, S + T + 1, whole), value);
        const float flatResult = flat ? constantResult(value, T, r) : 0.0f;
        for (int64_t z = tile.z0; z < tile.z1; ++z)
          for (int64_t y = tile.y0; y < tile.y1; ++y) {
            float* row = out + outFrame(tile.x0, y, z);
            if (flat) {
              std::fill(row, row + tile.width(), flatResult);
              continue;
            }
            for (int64_t x = tile.x0; x < tile.x1; ++x) {
              if (control && control->cancelled()) return false;
              row[x - tile.x0] = integrateVoxel(volume, field, centreOf(x, y, z), T, r);
            }
          }
        return true;
      });
}

std::string describe(const Box& b) {
  return "[" + std::to_string(b.x0) + ", " + std::to_string(b.x1) + ") x [" +
         std::to_string(b.y0) + ", " + std::to_string(b.y1) + ") x [" + std::to_string(b.z0) +
         ", " + std::to_string(b.z1) + ")";
}

std::string checkBrick(const Box& inputBox, Extent whole, const Box& interior,
                       const FilterParams& params) {
  std::string problem = checkExtent(whole);
  if (problem.empty()) problem = checkParams(params);
  if (!problem.empty()) return problem;
  const Box volume = Box::of(whole);
  if (interior.empty() || !volume.contains(interior)) {
    return "the brick " + describe(interior) + " is empty or not inside the volume";
  }
  if (!volume.contains(inputBox)) {
    return "the input box " + describe(inputBox) + " is not inside the volume";
  }
  const Box needed = haloBox(interior, whole, params);
  if (!inputBox.contains(needed)) {
    return "the input box " + describe(inputBox) + " does not hold the brick's halo " +
           describe(needed) + " (the brick grown by " + std::to_string(filterReach(params)) +
           " voxels, clipped at the volume's faces)";
  }
  if (inputBox.count() > kMaxVoxels) {
    return "the input box " + describe(inputBox) + " has " + std::to_string(inputBox.count()) +
           " voxels; a brick's input holds at most 2^31 - 1";
  }
  return {};
}

}  // namespace

int64_t brickWorkingBytes(const Box& interior, Extent whole, const FilterParams& params) {
  const Box fieldBox = grownBox(interior, params.integrationSteps, whole);
  const Box input = haloBox(interior, whole, params);
  const int64_t padded =
      (input.width() + 2 * kMaxSearchMargin) * input.height() * input.depth() *
      static_cast<int64_t>(sizeof(float));
  return fieldBox.count() * static_cast<int64_t>(sizeof(uint16_t)) + padded +
         ConstancyMap::bytesFor(input);
}

FilterOutcome runBrick(const float* input, const Box& inputBox, Extent whole, const Box& interior,
                       const FilterParams& params, float* out, const FilterOptions& options) {
  using Status = FilterOutcome::Status;
  FilterOutcome outcome;
  const std::string problem = checkBrick(inputBox, whole, interior, params);
  if (!problem.empty()) {
    outcome.status = Status::InvalidInput;
    outcome.message = problem;
    return outcome;
  }

  Backend backend = options.backend;
  if (backend == Backend::Auto) backend = cudaUsable() ? Backend::Cuda : Backend::Cpu;
  bool finished = false;
  if (backend == Backend::Cuda) {
#ifdef VOLUNA_HAVE_CUDA
    if (!cudaUsable()) {
      outcome.status = Status::BackendUnavailable;
      outcome.message = "no usable CUDA device was found";
      return outcome;
    }
    outcome.backend = "GPU, " + gpuName();
    const Dims dims{static_cast<int>(inputBox.width()), static_cast<int>(inputBox.height()),
                    static_cast<int>(inputBox.depth())};
    std::vector<float> result(static_cast<size_t>(inputBox.count()));
    const GpuOutcome gpu = GpuFilter().run(input, dims, params, result.data(), options.control);
    if (gpu.status == GpuOutcome::Status::Failed) {
      outcome.status = Status::BackendFailed;
      outcome.message = gpu.message;
      return outcome;
    }
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
    outcome.status = Status::BackendUnavailable;
    outcome.message = "this build of Voluna has no CUDA support";
    return outcome;
#endif
  } else {
    const int threads = threadsFor(options);
    outcome.backend = "CPU, " + std::to_string(threads) + " threads";
    const Dims dims{static_cast<int>(inputBox.width()), static_cast<int>(inputBox.height()),
                    static_cast<int>(inputBox.depth())};
    const bool fast = backend == Backend::Cpu && CpuFastFilter::handles(dims) &&
                      searchLanes() + 1 <= kMaxSearchMargin &&
                      directionCount(params.angleStep) <= kMaxDirections;
    finished = fast ? runFast(input, inputBox, whole, interior, params, out, threads, options.control)
                    : runOnCpu(input, inputBox, whole, interior, params, out, threads,
                               options.control);
  }
  if (!finished) {
    outcome.status = Status::Cancelled;
    outcome.message = "the run was cancelled";
  }
  return outcome;
}

}  // namespace voluna
