// The directional filter as box methods: the direction search, the
// integration along the chosen directions, and both together. Each runs on
// the SIMD and the plain CPU path, bit for bit alike; both together also run
// on the GPU.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "box_method.h"
#include "filter_params.h"

namespace voluna {

// What the stages alone say to a request for the GPU.
extern const char* const kBrickStagesOnCpu;

// Both stages: the filter's output for the interior, interior.count()
// floats x fastest into `out`.
class DirectionalFilter : public BoxMethod {
 public:
  DirectionalFilter(const FilterParams& params, float* out) : params_(params), out_(out) {}

  int64_t reach() const override;  // samples + steps + 1
  bool runOnCpu(CpuBoxRun& run, const Box& interior) const override;
  std::string withoutGpu() const override;
  // The GPU filters the input box as a volume of its own (the whole volume
  // straight into the output) and the interior is copied out.
  FilterOutcome runOnGpu(const BoxInput& input, const Box& interior,
                         const RunControl* control) const override;

 private:
  const FilterParams& params_;
  float* out_;
};

// The search alone: per voxel of the interior the index of its direction in
// buildDirectionSet(params.angleStep), x fastest into `chosen`. CPU only:
// the GPU keeps its field on the device; `withoutGpu` says so to the caller.
class DirectionSearch : public BoxMethod {
 public:
  DirectionSearch(const FilterParams& params, uint16_t* chosen, std::string withoutGpu)
      : params_(params), chosen_(chosen), withoutGpu_(std::move(withoutGpu)) {}

  int64_t reach() const override;  // samples + 1
  bool runOnCpu(CpuBoxRun& run, const Box& interior) const override;
  std::string withoutGpu() const override { return withoutGpu_; }

 private:
  const FilterParams& params_;
  uint16_t* chosen_;
  std::string withoutGpu_;
};

// The integration alone, from the directions `chosen` of the voxels of
// `fieldBox`, which must hold the interior grown by the steps, and hold
// indices within the direction set. CPU only.
class FieldIntegration : public BoxMethod {
 public:
  FieldIntegration(const FilterParams& params, const uint16_t* chosen, const Box& fieldBox,
                   float* out)
      : params_(params), chosen_(chosen), fieldBox_(fieldBox), out_(out) {}

  int64_t reach() const override;  // steps + 1
  bool runOnCpu(CpuBoxRun& run, const Box& interior) const override;
  std::string withoutGpu() const override;

 private:
  const FilterParams& params_;
  const uint16_t* chosen_;
  Box fieldBox_;
  float* out_;
};

}  // namespace voluna
