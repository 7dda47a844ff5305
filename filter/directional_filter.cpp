// The stages of the directional filter over a box. Both CPU paths take
// whole-volume coordinates and clamp at the faces of the buffers they read
// (the input box, the field box). The reach argument in brick.cpp puts every
// read that an output voxel depends on inside those boxes, or beyond one of
// their faces that is also the volume's, where both clamps agree: so each
// stage gives the whole run's values, bit for bit, on the voxels it is asked
// for, and a whole run is the box run whose interior is the volume.

#include "directional_filter.h"

#include <algorithm>
#include <vector>

#include "brick.h"
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

namespace voluna {

const char* const kBrickStagesOnCpu =
    "a brick's stages run on the CPU backends; filter the brick whole (runBrick) for the GPU";

namespace {

// Lane positions x0 + l must be exact floats, and so must cell indices
// compared across lanes.
constexpr int64_t kMaxSimdWidth = int64_t{1} << 22;

Dims dimsOf(const Box& box) {
  return {static_cast<int>(box.width()), static_cast<int>(box.height()),
          static_cast<int>(box.depth())};
}

// Whether the SIMD path takes an input box: wider boxes, and padded copies
// that outgrow its 32-bit offsets, go to the plain path (same results,
// slowly).
bool simdPathTakes(const Box& inputBox, const FilterParams& params) {
  return inputBox.width() < kMaxSimdWidth &&
         PaddedVolume::fits(dimsOf(inputBox), searchLanes() + 1) &&
         searchLanes() + 1 <= kMaxSearchMargin &&
         directionCount(params.angleStep) <= kMaxDirections;
}

Vec3 centreOf(int64_t x, int64_t y, int64_t z) {
  return {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
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

// Runs tileFn(tile) for every 8^3 tile of `area` on the run's threads; the
// plain path and every constant-region shortcut work tile by tile.
template <class TileFn>
bool forEachTile(const CpuBoxRun& run, const Box& area, Stage stage, TileFn tileFn) {
  const CellGrid tiles(area);
  return forEachUnit(tiles.count(), 1, run.threads, stage, run.control,
                     [&](int64_t t, int64_t, int) { return tileFn(tiles.cell(t)); });
}

// Sets every voxel of `tile` in `out`, a buffer of the voxels of `box`.
template <class T>
void fillTile(T* out, const Box& box, const Box& tile, T value) {
  const BoxIndex at(box);
  for (int64_t z = tile.z0; z < tile.z1; ++z)
    for (int64_t y = tile.y0; y < tile.y1; ++y) {
      T* row = out + at(tile.x0, y, z);
      std::fill(row, row + tile.width(), value);
    }
}

// Sets every voxel of `tile` in `out`, a buffer of the voxels of `box`, to
// voxelFn(its centre). Polls for a cancel between voxels: on the plain path
// one voxel at a fine angle step takes a while.
template <class T, class VoxelFn>
bool computeTile(T* out, const Box& box, const Box& tile, const RunControl* control,
                 VoxelFn voxelFn) {
  const BoxIndex at(box);
  for (int64_t z = tile.z0; z < tile.z1; ++z)
    for (int64_t y = tile.y0; y < tile.y1; ++y) {
      T* row = out + at(tile.x0, y, z);
      for (int64_t x = tile.x0; x < tile.x1; ++x) {
        if (control && control->cancelled()) return false;
        row[x - tile.x0] = voxelFn(centreOf(x, y, z));
      }
    }
  return true;
}

// The directions of every voxel of `area` into `chosen` (area.count()
// values, x fastest). The input must hold `area` grown by samples + 1.
bool searchStage(const CpuBoxRun& run, const FilterParams& params,
                 const std::vector<Vec3>& directions, const Box& area, uint16_t* chosen) {
  const int S = params.samples;
  const BoxInput& in = run.input;
  const BoxIndex at(area);
  if (run.simd && simdPathTakes(in.box, params)) {
    const PaddedVolume padded(in.data, dimsOf(in.box), searchLanes() + 1, run.threads);
    const SearchJob job(in.data, in.box, padded, directions, S, params.preserveEdges, run.pruning,
                        chosen, area);
    const int64_t rows = area.height() * area.depth();
    // Each unit builds its x tables once per direction group and uses them in
    // all its rows: 32 rows keep that below a few percent, while enough units
    // remain to balance the threads on small volumes.
    const int64_t rowsPerUnit = std::clamp<int64_t>(rows / (4 * run.threads), 1, 32);
    std::vector<SearchScratch> scratch(static_cast<size_t>(run.threads));
    std::vector<SearchStats> stats(static_cast<size_t>(run.threads));
    const bool finished = forEachUnit(
        rows, rowsPerUnit, run.threads, Stage::VectorField, run.control,
        [&](int64_t begin, int64_t end, int thread) {
          float unused;
          const Box span = rowSpan(area, begin, end);
          if (!run.constancy.constant(grownBox(span, S + 1, in.whole), unused)) {
            return searchRows(job, scratch[thread], area, begin, end, run.control, stats[thread]);
          }
          for (int64_t row = begin; row < end; ++row) {
            uint16_t* first =
                chosen + at(area.x0, area.y0 + row % area.height(), area.z0 + row / area.height());
            std::fill(first, first + area.width(), uint16_t{0});
          }
          // The plain search scores direction 0 alone here.
          stats[thread].referenceSamples +=
              static_cast<uint64_t>((end - begin) * area.width() * 2 * S);
          return true;
        });
    if (SearchStats* total = run.searchStats()) {
      for (const SearchStats& s : stats) total->add(s);
    }
    return finished;
  }
  const BoxVolumeSampler volume(in.data, in.box);
  const int count = static_cast<int>(directions.size());
  return forEachTile(run, area, Stage::VectorField, [&](const Box& tile) {
    float unused;
    if (run.constancy.constant(grownBox(tile, S + 1, in.whole), unused)) {
      fillTile(chosen, area, tile, uint16_t{0});
      return true;
    }
    return computeTile(chosen, area, tile, run.control, [&](Vec3 centre) {
      return static_cast<uint16_t>(
          chooseDirection(volume, centre, directions.data(), count, S, params.preserveEdges));
    });
  });
}

// The output of every voxel of `interior` into `out` (interior.count()
// floats, x fastest), from the directions of `fieldBox`, which must hold
// `interior` grown by steps, and the input, which must hold it grown by
// steps + 1.
bool integrateStage(const CpuBoxRun& run, const FilterParams& params,
                    const std::vector<Vec3>& directions, const uint16_t* chosen,
                    const Box& fieldBox, const Box& interior, float* out) {
  const int T = params.integrationSteps;
  const BoxInput& in = run.input;
  const bool simd = run.simd && simdPathTakes(in.box, params);
  // Without a constant part of the input no output is known in advance.
  const ZeroField zeros(chosen, fieldBox, run.threads, run.constancy.anyConstant());
  const std::vector<float> table4 = directionRows(directions);
  const IntegrationJob job{in.data, in.box, chosen, fieldBox, table4.data(), T, out, interior};
  const BoxVolumeSampler volume(in.data, in.box);
  const BoxFieldSampler field(chosen, directions.data(), fieldBox);
  const float r = meanFactor(T);
  return forEachTile(run, interior, Stage::Integration, [&](const Box& tile) {
    float value;
    if (zeros.allZero(grownBox(tile, T, in.whole)) &&
        run.constancy.constant(grownBox(tile, T + 1, in.whole), value)) {
      fillTile(out, interior, tile, constantResult(value, T, r));
      return true;
    }
    if (simd) {
      integrateRows(job, tile, 0, tile.height() * tile.depth());
      return true;
    }
    return computeTile(out, interior, tile, run.control, [&](Vec3 centre) {
      return integrateVoxel(volume, field, centre, T, r);
    });
  });
}

}  // namespace

int64_t DirectionalFilter::reach() const {
  // Derived in brick.cpp.
  return int64_t{params_.samples} + params_.integrationSteps + 1;
}

bool DirectionalFilter::runOnCpu(CpuBoxRun& run, const Box& interior) const {
  run.beginStage(Stage::VectorField);
  const std::vector<Vec3> directions = buildDirectionSet(params_.angleStep);
  // The field of the interior grown by the steps: all that its integration
  // samples, two bytes a voxel.
  const Box fieldBox = grownBox(interior, params_.integrationSteps, run.input.whole);
  std::vector<uint16_t> chosen(static_cast<size_t>(fieldBox.count()));
  if (!searchStage(run, params_, directions, fieldBox, chosen.data())) return false;
  run.beginStage(Stage::Integration);
  return integrateStage(run, params_, directions, chosen.data(), fieldBox, interior, out_);
}

std::string DirectionalFilter::withoutGpu() const { return {}; }

FilterOutcome DirectionalFilter::runOnGpu(const BoxInput& input, const Box& interior,
                                          const RunControl* control) const {
#ifdef VOLUNA_HAVE_CUDA
  using Status = FilterOutcome::Status;
  const bool whole = interior == input.box;
  std::vector<float> result(whole ? 0 : static_cast<size_t>(input.box.count()));
  const GpuOutcome gpu = GpuFilter().run(input.data, dimsOf(input.box), params_,
                                         whole ? out_ : result.data(), control);
  FilterOutcome outcome;
  if (gpu.status == GpuOutcome::Status::Cancelled) {
    outcome.status = Status::Cancelled;
    outcome.message = "the run was cancelled";
  } else if (gpu.status == GpuOutcome::Status::Failed) {
    outcome.status = Status::BackendFailed;
    outcome.message = gpu.message;
  } else if (!whole) {
    const BoxIndex from(input.box), to(interior);
    for (int64_t z = interior.z0; z < interior.z1; ++z)
      for (int64_t y = interior.y0; y < interior.y1; ++y) {
        std::copy_n(result.data() + from(interior.x0, y, z), interior.width(),
                    out_ + to(interior.x0, y, z));
      }
  }
  return outcome;
#else
  return BoxMethod::runOnGpu(input, interior, control);
#endif
}

int64_t DirectionSearch::reach() const { return searchReach(params_); }

bool DirectionSearch::runOnCpu(CpuBoxRun& run, const Box& interior) const {
  run.beginStage(Stage::VectorField);
  return searchStage(run, params_, buildDirectionSet(params_.angleStep), interior, chosen_);
}

int64_t FieldIntegration::reach() const { return int64_t{params_.integrationSteps} + 1; }

bool FieldIntegration::runOnCpu(CpuBoxRun& run, const Box& interior) const {
  run.beginStage(Stage::Integration);
  return integrateStage(run, params_, buildDirectionSet(params_.angleStep), chosen_, fieldBox_,
                        interior, out_);
}

std::string FieldIntegration::withoutGpu() const { return kBrickStagesOnCpu; }

}  // namespace voluna
