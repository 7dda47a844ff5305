#include "cpu_filter.h"

#include <cstdint>
#include <cstdio>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "cpu_sampler.h"
#include "direction_set.h"
#include "parallel_rows.h"
#include "voxel_math.h"

namespace voluna {

namespace {

// Runs rowFn(y, z) for every row of the volume on all threads, one row at a
// time. Rows poll for cancellation between voxels too (a wide row at a fine
// angle step can take many seconds), so a cancel lands within about one
// voxel's work.
template <class RowFn>
bool forEachRow(Dims dims, int threads, Stage stage, const RunControl* control, RowFn rowFn) {
  return forEachUnit(int64_t{dims.y} * dims.z, 1, threads, stage, control,
                     [&](int64_t row, int64_t, int) {
                       return rowFn(static_cast<int>(row % dims.y), static_cast<int>(row / dims.y));
                     });
}

}  // namespace

int CpuFilter::threadCount() const {
#ifdef _OPENMP
  return threads_ > 0 ? threads_ : omp_get_max_threads();
#else
  return 1;
#endif
}

bool CpuFilter::createVectorField(const float* volume, Dims dims, int samples,
                                  bool preserveEdges, const std::vector<Vec3>& directions, Float4* field,
                                  const RunControl* control) const {
  const CpuVolumeSampler sampler(volume, dims);
  const Vec3* table = directions.data();
  const int count = static_cast<int>(directions.size());
  return forEachRow(dims, threadCount(), Stage::VectorField, control, [&](int y, int z) {
    for (int x = 0; x < dims.x; ++x) {
      if (control && control->cancelled()) return false;
      const Vec3 p0 = {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
      const Vec3 d = table[chooseDirection(sampler, p0, table, count, samples, preserveEdges)];
      field[dims.index(x, y, z)] = {d.x, d.y, d.z, 0.0f};
    }
    return true;
  });
}

bool CpuFilter::integrateVectorField(const float* volume, const Float4* field, Dims dims,
                                     int steps, float* out, const RunControl* control) const {
  const CpuVolumeSampler volumeSampler(volume, dims);
  const CpuFieldSampler fieldSampler(field, dims);
  const float r = meanFactor(steps);
  return forEachRow(dims, threadCount(), Stage::Integration, control, [&](int y, int z) {
    for (int x = 0; x < dims.x; ++x) {
      if (control && control->cancelled()) return false;
      const Vec3 p0 = {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
      out[dims.index(x, y, z)] = integrateVoxel(volumeSampler, fieldSampler, p0, steps, r);
    }
    return true;
  });
}

void CpuFilter::run(const float* volume, int X, int Y, int Z, int samples, int steps,
                    int angleStep, float* out) const {
  run(volume, Dims{X, Y, Z}, FilterParams{samples, steps, angleStep}, out);
}

bool CpuFilter::run(const float* volume, Dims dims, const FilterParams& params, float* out,
                    const RunControl* control) const {
  std::printf("Calculate vectorfield...\n");
  std::fflush(stdout);
  const std::vector<Vec3> directions = buildDirectionSet(params.angleStep);
  std::vector<Float4> field(static_cast<size_t>(dims.count()));
  if (!createVectorField(volume, dims, params.samples, params.preserveEdges, directions,
                         field.data(), control)) {
    return false;
  }
  std::printf("Filtering data...\n");
  std::fflush(stdout);
  return integrateVectorField(volume, field.data(), dims, params.integrationSteps, out, control);
}

}  // namespace voluna
