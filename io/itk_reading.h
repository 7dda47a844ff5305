// Reading voxels through one of ITK's image IO objects into a Volume, once
// Voluna's own checks have passed: header first, then what it says is
// checked, then the buffer, then the voxels.
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

}  // namespace voluna
