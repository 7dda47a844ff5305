// Voluna's own reading of a NIfTI header, made before ITK's reader touches
// the file: ITK allocates whatever the header claims.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dims.h"
#include "volume.h"

namespace voluna {

struct NiftiHeader {
  int version = 1;         // 1 or 2
  Dims dims;               // the first three axes; missing ones are 1
  int64_t voxelBytes = 0;  // of the first three axes, as stored
  int64_t dataOffset = 0;  // vox_offset
  bool gzip = false;       // a .nii.gz: its voxels cannot be read a box at a time
  int bytesPerVoxel = 0;
  bool integerStored = false;     // the stored datatype is an integer type
  double slope = 0, intercept = 0;  // scl_slope and scl_inter as stored (slope 0: none)

  // What a reader of the voxels needs beyond the checks (NIfTI-2 is read by
  // Voluna itself: ITK 5.2 knows NIfTI-1 only).
  bool swapped = false;  // stored in the other byte order
  ScalarType stored = ScalarType::UInt8;
  int spatialAxes = 3;  // dim[0], at most 3 once checked
  double pixdim[8] = {};
  NiftiPlacement placement;  // qform and sform as stored
};

struct NiftiCheck {
  NiftiHeader header;
  std::string error;  // empty when ITK may read the file; else what is wrong, without the file name
  bool ok() const { return error.empty(); }
};

// The bytes at the start of a NIfTI file (after inflation for .nii.gz); at
// least 348, or 540 for NIfTI-2. Refuses what Voluna cannot hold: no
// voxels, a 4D series, several values per voxel, colour or complex voxels,
// a datatype whose bit width is not its own, more than `maxVoxels` voxels
// (streamed runs allow more than a whole volume in memory may hold).
NiftiCheck parseNiftiHeader(std::string_view bytes, int64_t maxVoxels = kMaxVoxels);

// The header of `path` (.nii or .nii.gz) and its checks, without the data's.
NiftiCheck readNiftiHeader(const std::string& path, int64_t maxVoxels = kMaxVoxels);

// Parses the header of `path` (.nii or .nii.gz) and checks that the file
// holds the data it claims: enough bytes after vox_offset, or a gzip stream
// that inflates soundly to that many.
NiftiCheck checkNiftiFile(const std::string& path, int64_t maxVoxels = kMaxVoxels);

}  // namespace voluna
