#include "cpu_fast_filter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "cpu_filter.h"
#include "direction_set.h"
#include "fast_integration.h"
#include "padded_volume.h"
#include "parallel_rows.h"

namespace voluna {

namespace {

// Lane positions x0 + l must be exact floats, and so must cell indices
// compared across lanes.
constexpr int kMaxFastWidth = 1 << 22;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int CpuFastFilter::threadCount() const {
#ifdef _OPENMP
  return threads_ > 0 ? threads_ : omp_get_max_threads();
#else
  return 1;
#endif
}

bool CpuFastFilter::handles(Dims dims) {
  return dims.x < kMaxFastWidth && PaddedVolume::fits(dims, searchLanes() + 1);
}

bool CpuFastFilter::chooseDirections(const float* volume, Dims dims, int samples,
                                     bool preserveEdges, const std::vector<Vec3>& directions,
                                     uint16_t* chosen, const RunControl* control,
                                     SearchStats* stats) const {
  const int threads = threadCount();
  const PaddedVolume padded(volume, dims, searchLanes() + 1, threads);
  const Box whole = Box::of({dims.x, dims.y, dims.z});
  const SearchJob job(volume, whole, padded, directions, samples, preserveEdges, pruning_, chosen,
                      whole);
  const int64_t rows = int64_t{dims.y} * dims.z;
  // Each unit builds its x tables once per direction group and uses them in
  // all its rows: 32 rows keep that below a few percent, while enough units
  // remain to balance the threads on small volumes.
  const int64_t rowsPerUnit = std::clamp<int64_t>(rows / (4 * threads), 1, 32);
  std::vector<SearchScratch> scratch(static_cast<size_t>(threads));
  std::vector<SearchStats> threadStats(static_cast<size_t>(threads));
  const bool finished = forEachUnit(rows, rowsPerUnit, threads, Stage::VectorField, control,
                                    [&](int64_t begin, int64_t end, int thread) {
                                      return searchRows(job, scratch[thread], whole, begin, end,
                                                        control, threadStats[thread]);
                                    });
  if (stats) {
    for (const SearchStats& s : threadStats) stats->add(s);
  }
  return finished;
}

bool CpuFastFilter::integrate(const float* volume, Dims dims, const std::vector<Vec3>& directions,
                              const uint16_t* chosen, int steps, float* out,
                              const RunControl* control) const {
  const int64_t rows = int64_t{dims.y} * dims.z;
  const std::vector<float> table4 = directionRows(directions);
  const Box whole = Box::of({dims.x, dims.y, dims.z});
  const IntegrationJob job{volume, whole, chosen, whole, table4.data(), steps, out, whole};
  return forEachUnit(rows, 1, threadCount(), Stage::Integration, control,
                     [&](int64_t begin, int64_t end, int) {
                       integrateRows(job, whole, begin, end);
                       return true;
                     });
}

bool CpuFastFilter::createVectorField(const float* volume, Dims dims, int samples,
                                      bool preserveEdges, const std::vector<Vec3>& directions,
                                      Float4* field, const RunControl* control,
                                      SearchStats* stats) const {
  if (!handles(dims) || directions.size() > kMaxDirections) {
    return CpuFilter(threads_).createVectorField(volume, dims, samples, preserveEdges,
                                                 directions, field, control);
  }
  std::vector<uint16_t> chosen(static_cast<size_t>(dims.count()));
  if (!chooseDirections(volume, dims, samples, preserveEdges, directions, chosen.data(), control,
                        stats)) {
    return false;
  }
  for (size_t i = 0; i < chosen.size(); ++i) {
    const Vec3& d = directions[chosen[i]];
    field[i] = {d.x, d.y, d.z, 0.0f};
  }
  return true;
}

bool CpuFastFilter::run(const float* volume, Dims dims, const FilterParams& params, float* out,
                        const RunControl* control, FastRunStats* stats) const {
  if (!handles(dims)) return CpuFilter(threads_).run(volume, dims, params, out, control);
  std::printf("Calculate vectorfield...\n");
  std::fflush(stdout);
  const std::vector<Vec3> directions = buildDirectionSet(params.angleStep);
  // Two bytes a voxel instead of the plain path's sixteen.
  std::vector<uint16_t> chosen(static_cast<size_t>(dims.count()));
  auto start = std::chrono::steady_clock::now();
  if (!chooseDirections(volume, dims, params.samples, params.preserveEdges, directions,
                        chosen.data(), control, stats ? &stats->search : nullptr)) {
    return false;
  }
  if (stats) stats->searchSeconds = secondsSince(start);
  std::printf("Filtering data...\n");
  std::fflush(stdout);
  start = std::chrono::steady_clock::now();
  const bool finished =
      integrate(volume, dims, directions, chosen.data(), params.integrationSteps, out, control);
  if (stats) stats->integrationSeconds = secondsSince(start);
  return finished;
}

}  // namespace voluna
