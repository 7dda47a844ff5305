// A volume as it came from its file: voxels of their own scalar type and the
// geometry that places them in space.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "dims.h"

namespace voluna {

enum class ScalarType { UInt8, Int8, UInt16, Int16, UInt32, Int32, Float32, Float64 };

// Every name a scalar type goes by, in one table: each format's reader and
// writer looks its own column up here rather than keeping a list of its own.
struct ScalarTypeInfo {
  ScalarType type;
  const char* name;       // Voluna's and numpy's: "int16"
  int size;               // bytes
  bool floating;
  const char* metaImage;  // MetaImage's ElementType: "MET_SHORT"
  int niftiCode;          // NIfTI's datatype: 4
  const char* itk;        // ITK's component type, as ImageIOBase spells it: "short"
};

const std::array<ScalarTypeInfo, 8>& scalarTypes();
const ScalarTypeInfo& scalarInfo(ScalarType type);
// The type of that column's value; null when Voluna does not read it.
const ScalarTypeInfo* scalarTypeOfMetaImage(std::string_view elementType);
const ScalarTypeInfo* scalarTypeOfNifti(int datatype);
const ScalarTypeInfo* scalarTypeOfItk(std::string_view component);

size_t scalarSize(ScalarType type);
// "uint8", "int16", "float32", ...
const char* scalarName(ScalarType type);
bool isFloatingPoint(ScalarType type);

// Calls `f` with a value of the voxels' C++ type (its value is 0): the one
// switch from a ScalarType to code over its voxels.
template <typename F>
decltype(auto) withScalarType(ScalarType type, F&& f) {
  switch (type) {
    case ScalarType::UInt8: return f(uint8_t{});
    case ScalarType::Int8: return f(int8_t{});
    case ScalarType::UInt16: return f(uint16_t{});
    case ScalarType::Int16: return f(int16_t{});
    case ScalarType::UInt32: return f(uint32_t{});
    case ScalarType::Int32: return f(int32_t{});
    case ScalarType::Float32: return f(float{});
    case ScalarType::Float64: break;
  }
  return f(double{});
}

// A NIfTI file's own two placements of its voxels, as it stored them. Other
// formats hold one placement without shear (the geometry's spacing, origin
// and direction); these are kept beside it so that a NIfTI result says
// exactly what its NIfTI input said: sform and qform, their codes, a shear.
struct NiftiPlacement {
  bool present = false;        // read from a NIfTI header (even with both codes 0)
  int axes = 3;                // dim[0], at most 3: a flat image is placed in its plane
  int qformCode = 0, sformCode = 0;
  double qfac = 1;             // pixdim[0]: -1 for a left-handed qform
  double quatern[3] = {};      // b, c, d
  double qoffset[3] = {};
  double srow[12] = {};        // srow_x, srow_y, srow_z: voxel (i, j, k) to RAS millimetres
};

// ITK's conventions: the physical position of voxel (i, j, k) is
// origin + direction * diag(spacing) * (i, j, k), in LPS millimetres.
struct Geometry {
  double spacing[3] = {1, 1, 1};
  double origin[3] = {0, 0, 0};
  double direction[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // row-major 3x3; column j = axis j's direction
  // Written back to NIfTI only while it still places the voxels where the
  // fields above do: whoever moves a volume need not clear it.
  NiftiPlacement nifti;
};

// Voxels in x-fastest order, native byte order.
struct Volume {
  Dims dims;
  ScalarType type = ScalarType::UInt8;
  Geometry geometry;
  std::vector<uint8_t> data;  // dims.count() * scalarSize(type) bytes
};

}  // namespace voluna
