// What a NIfTI file's scl_slope and scl_inter do to its stored values, for
// every reader of NIfTI voxels: ITK's rule, which ITK applies to NIfTI-1 and
// Voluna to NIfTI-2 and to voxels read a box at a time.
#pragma once

#include <cstdint>

#include "nifti_header.h"
#include "volume.h"

namespace voluna {

struct NiftiScaling {
  // A non-finite factor counts as 0, a slope of 0 as 1.
  double slope = 1, intercept = 0;
  bool scaled = false;        // the values change: they load as float32 (float64 stays)
  // Integers scaled by whole numbers are still whole, and load as the
  // smallest signed integer type that holds them when every value is.
  bool wholeFactors = false;
  ScalarType stored = ScalarType::UInt8;

  ScalarType valueType() const;
  // `count` stored values (native byte order) as values of valueType().
  void apply(const void* stored, int64_t count, void* out) const;
};

NiftiScaling niftiScalingOf(const NiftiHeader& header);

// Factors on which ITK's reading of a NIfTI-1 file might differ from the
// rule above (non-finite, or next to zero): only ITK's own whole load may
// read them.
bool scalingLeftToItk(const NiftiHeader& header);

// The integer type whole values from `low` to `high` load as: int16 or
// int32, or false beyond 2^24, where float32 no longer holds every integer.
bool wholeValueType(float low, float high, ScalarType& type);

// A whole load's values, float32 from scaling, turned into that integer type
// when the factors and every value are whole.
void keepIntegersWhole(const NiftiScaling& scaling, Volume& volume);

}  // namespace voluna
