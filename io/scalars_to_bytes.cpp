#include "scalars_to_bytes.h"

#include <vtkDataArray.h>
#include <vtkImageData.h>
#include <vtkImageShiftScale.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkType.h>

#include <cmath>
#include <cstdio>
#include <limits>

namespace voluna {

namespace {

struct Range {
  double low = 0.0;
  double high = 0.0;
  int64_t nonFinite = 0;
};

// The finite range of floating-point voxels; the others are then set to its
// ends, so that VTK's filter sees only finite values (its conversion of a NaN
// to a byte is undefined behaviour).
template <typename T>
Range settleNonFinite(T* values, int64_t count) {
  Range range;
  range.low = std::numeric_limits<double>::infinity();
  range.high = -std::numeric_limits<double>::infinity();
  for (int64_t i = 0; i < count; ++i) {
    const T v = values[i];
    if (std::isfinite(v)) {
      range.low = std::min<double>(range.low, v);
      range.high = std::max<double>(range.high, v);
    } else {
      ++range.nonFinite;
    }
  }
  if (range.nonFinite == count) {
    range.low = range.high = 0.0;
  }
  if (range.nonFinite > 0) {
    for (int64_t i = 0; i < count; ++i) {
      if (std::isfinite(values[i])) continue;
      values[i] = values[i] > 0 ? static_cast<T>(range.high) : static_cast<T>(range.low);
    }
  }
  return range;
}

std::string number(double value) {
  char text[64];
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.6g", value);
  }
  return text;
}

}  // namespace

ByteMapping scalarsToBytes(vtkImageData* image) {
  ByteMapping mapping;
  vtkDataArray* scalars = image->GetPointData()->GetScalars();
  const int64_t count = scalars->GetNumberOfTuples();
  if (scalars->GetDataType() == VTK_UNSIGNED_CHAR) {
    const auto* bytes = static_cast<const uint8_t*>(scalars->GetVoidPointer(0));
    mapping.bytes.assign(bytes, bytes + count);
    return mapping;
  }

  Range range;
  if (scalars->GetDataType() == VTK_FLOAT) {
    range = settleNonFinite(static_cast<float*>(scalars->GetVoidPointer(0)), count);
  } else if (scalars->GetDataType() == VTK_DOUBLE) {
    range = settleNonFinite(static_cast<double*>(scalars->GetVoidPointer(0)), count);
  } else {
    double r[2];
    scalars->GetRange(r, 0);
    range.low = r[0];
    range.high = r[1];
  }
  if (range.nonFinite > 0) scalars->Modified();

  mapping.notice = std::string("converted from ") + scalars->GetDataTypeAsString() + ", range [" +
                   number(range.low) + ", " + number(range.high) + "], to 8 bits";
  if (range.nonFinite > 0) {
    mapping.notice += "; " + std::to_string(range.nonFinite) +
                      (range.nonFinite == 1 ? " voxel was" : " voxels were") +
                      " NaN or infinite and took an end of the range";
  }
  if (range.high == range.low) {
    mapping.bytes.assign(static_cast<size_t>(count), 0);
    return mapping;
  }

  double low = range.low;
  double high = range.high;
  if (!std::isfinite(high - low)) {
    // Doubles spanning more than the largest double: halve them (exact) so
    // that the width, and every value minus the low end, stays finite.
    auto* values = static_cast<double*>(scalars->GetVoidPointer(0));
    for (int64_t i = 0; i < count; ++i) values[i] *= 0.5;
    scalars->Modified();
    low *= 0.5;
    high *= 0.5;
  }
  // VTK's filter computes (v + shift) * scale and truncates; half a step in
  // the shift makes that a rounding to nearest of (v - low) * scale.
  const double scale = 255.0 / (high - low);
  vtkNew<vtkImageShiftScale> shiftScale;
  shiftScale->SetInputData(image);
  shiftScale->SetShift(0.5 / scale - low);
  shiftScale->SetScale(scale);
  shiftScale->SetOutputScalarTypeToUnsignedChar();
  shiftScale->ClampOverflowOn();
  shiftScale->Update();
  vtkDataArray* out = shiftScale->GetOutput()->GetPointData()->GetScalars();
  if (!out || out->GetNumberOfTuples() != count) {
    // VTK reports a failed allocation this way rather than by throwing.
    mapping.error = "could not be converted to 8 bits (VTK's filter gave no result; is memory short?)";
    return mapping;
  }
  const auto* bytes = static_cast<const uint8_t*>(out->GetVoidPointer(0));
  mapping.bytes.assign(bytes, bytes + count);
  return mapping;
}

}  // namespace voluna
