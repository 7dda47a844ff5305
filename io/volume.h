// A volume as it came from its file: voxels of their own scalar type and the
// geometry that places them in space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dims.h"

namespace voluna {

enum class ScalarType { UInt8, Int8, UInt16, Int16, UInt32, Int32, Float32, Float64 };

size_t scalarSize(ScalarType type);
// "uint8", "int16", "float32", ...
const char* scalarName(ScalarType type);
bool isFloatingPoint(ScalarType type);

// The length unit of a geometry's spacing and origin: millimetres for
// medical volumes, micrometres for microscopy stacks.
enum class LengthUnit { Millimetre, Micrometre };

// "mm", "um"
const char* unitName(LengthUnit unit);

// ITK's conventions: the physical position of voxel (i, j, k) is
// origin + direction * diag(spacing) * (i, j, k).
struct Geometry {
  double spacing[3] = {1, 1, 1};
  double origin[3] = {0, 0, 0};
  double direction[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // row-major 3x3; column j = axis j's direction
  LengthUnit unit = LengthUnit::Millimetre;            // of spacing and origin
};

// Voxels in x-fastest order, native byte order.
struct Volume {
  Dims dims;
  ScalarType type = ScalarType::UInt8;
  Geometry geometry;
  std::vector<uint8_t> data;  // dims.count() * scalarSize(type) bytes
};

}  // namespace voluna
