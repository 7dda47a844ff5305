// The full-precision mapping between a volume's own values and the unit scale
// the filter works on. Unsigned 8-bit volumes keep the historical byte / 255
// in and the truncating byte conversion out, so their results stay byte for
// byte what they were.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "volume.h"

namespace voluna {

// Over finite values only; a volume without any finite value has [0, 0].
struct ValueRange {
  double min = 0, max = 0;
};

ValueRange findValueRange(const void* voxels, ScalarType type, int64_t count);
// The range of the union, for passes over a volume in parts. An empty part
// is not special: pass only ranges of parts that hold finite values.
ValueRange mergeRanges(ValueRange a, ValueRange b);

// v = (float)(((double)x - min) / ((double)max - min)); a constant volume
// gives 0. Non-finite values take the end they lean to: NaN and -inf 0,
// +inf 1. Unsigned 8-bit voxels give byte / 255 whatever the range.
void mapToUnit(const void* voxels, ScalarType type, int64_t count, ValueRange range, float* out);

// y = min + (double)r * ((double)max - min). Integer types: rounded to
// nearest, halves away from zero, clamped to the type (NaN gives min); float
// types: cast. Unsigned 8-bit: the historical byte conversion of r, whatever
// the range.
void mapFromUnit(const float* r, int64_t count, ValueRange range, ScalarType type, void* out);

// The range that maps a volume onto the unit scale and back: [0, 255] for
// unsigned bytes (byte / 255), the finite range of the voxels otherwise.
ValueRange unitRangeOf(const Volume& volume);

// Bytes for display: unsigned bytes as they are, any other type rounded to
// nearest from [min, max] onto [0, 255] (a constant volume gives 0;
// non-finite values take the end they lean to).
std::vector<uint8_t> displayBytes(const Volume& volume, ValueRange range);

// "-1024", "0.25", "1e+300": a value as a person reads it in a message.
std::string formatValue(double value);

}  // namespace voluna
