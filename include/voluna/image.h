// A volume in memory: voxels of one scalar type and the geometry that places
// them in space. Voluna's filter and io libraries both take and give it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace voluna::api {

enum class ScalarType { UInt8, Int8, UInt16, Int16, UInt32, Int32, Float32, Float64 };

// Bytes a voxel of `type` takes.
constexpr std::size_t scalarSize(ScalarType type) noexcept {
  switch (type) {
    case ScalarType::UInt8:
    case ScalarType::Int8:
      return 1;
    case ScalarType::UInt16:
    case ScalarType::Int16:
      return 2;
    case ScalarType::UInt32:
    case ScalarType::Int32:
    case ScalarType::Float32:
      return 4;
    case ScalarType::Float64:
      return 8;
  }
  return 0;
}

// Voxels along x, y and z. Voluna filters volumes of fewer than 2^31 voxels
// in one call.
struct Size {
  int x = 0, y = 0, z = 0;

  std::int64_t count() const noexcept { return std::int64_t{x} * y * z; }
};

// A NIfTI file's own two placements of its voxels as it stored them: its
// qform and sform with their codes, a shear included, which spacing, origin
// and direction cannot all say. read() fills it for NIfTI files; write()
// puts it back into a NIfTI result while it still places the voxels where
// spacing, origin and direction do, and other formats ignore it. Keep it as
// read, or leave it empty.
struct NiftiPlacement {
  bool present = false;  // read from a NIfTI header
  int axes = 3;          // dim[0], at most 3
  int qformCode = 0, sformCode = 0;
  double qfac = 1;         // pixdim[0]: -1 for a left-handed qform
  double quatern[3] = {};  // quatern_b, c, d
  double qoffset[3] = {};
  double srow[12] = {};  // srow_x, srow_y, srow_z: voxel (i, j, k) to RAS millimetres
};

// ITK's and DICOM's convention: voxel (i, j, k) lies at
// origin + direction * diag(spacing) * (i, j, k), in LPS millimetres for
// medical images.
struct Geometry {
  double spacing[3] = {1, 1, 1};
  double origin[3] = {0, 0, 0};
  double direction[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // row-major 3x3; column j is axis j's direction
  NiftiPlacement nifti;
};

struct Image {
  Size size;
  ScalarType type = ScalarType::UInt8;
  Geometry geometry;
  // size.count() * scalarSize(type) bytes: x fastest, then y, then z, in
  // the machine's byte order.
  std::vector<std::uint8_t> data;
};

}  // namespace voluna::api
