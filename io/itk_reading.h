// Reading and writing through ITK's image IO objects. Reading comes once
// Voluna's own checks have passed: header first, then what it says is
// checked, then the buffer, then the voxels. Writing goes through an
// AtomicFile.
#pragma once

#include <itkImageIOBase.h>

#include <cstdint>
#include <string>

#include "volume.h"

namespace voluna {

// What ITK makes of a header alone: the same checks and conventions as a
// whole read, for volumes of any size.
struct ItkHeader {
  int64_t size[3] = {1, 1, 1};
  ScalarType type = ScalarType::UInt8;
  Geometry geometry;
  std::string shown;       // the sizes as the file gives them, "64 x 64 x 32"
};

// Empty on success, else what is wrong without the file name. Volumes beyond
// `maxVoxels` are refused.
std::string readItkHeader(itk::ImageIOBase* io, const std::string& path, int64_t maxVoxels, ItkHeader& out);

// Empty on success, else what is wrong without the file name. Refuses
// several values per voxel and more than three dimensions (unless the extra
// ones are of size 1), and turns ITK's exceptions into messages.
std::string readWithItk(itk::ImageIOBase* io, const std::string& path, Volume& out);

// Writes `volume` with its type and geometry (spacing, origin, direction)
// atomically to `path`; `suffix` is the extension ITK picks its behaviour by.
// Empty on success, else a message naming `path`.
std::string writeWithItk(itk::ImageIOBase* io, const std::string& path, const std::string& suffix,
                         const Volume& volume);

// The bytes ITK's writer puts before the voxels of a single file of one
// voxel of `type` and `geometry` (a header that is the same for any size
// but its sizes), made in a scratch file beside `path`.
std::string itkHeaderOfOneVoxel(itk::ImageIOBase* io, const std::string& path, const std::string& suffix,
                                ScalarType type, const Geometry& geometry, std::string& header);

}  // namespace voluna
