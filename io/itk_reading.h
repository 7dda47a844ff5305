// Reading voxels through one of ITK's image IO objects into a Volume, once
// Voluna's own checks have passed: header first, then what it says is
// checked, then the buffer, then the voxels.
#pragma once

#include <itkImageIOBase.h>

#include <string>

#include "volume.h"

namespace voluna {

// Empty on success, else what is wrong without the file name. Refuses
// several values per voxel and more than three dimensions (unless the extra
// ones are of size 1), and turns ITK's exceptions into messages.
std::string readWithItk(itk::ImageIOBase* io, const std::string& path, Volume& out);

}  // namespace voluna
