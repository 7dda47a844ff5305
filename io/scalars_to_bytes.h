// Turning the voxels of a one-component image of any scalar type into the
// unsigned bytes that the viewer and the filter work on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class vtkImageData;

namespace voluna {

struct ByteMapping {
  std::vector<uint8_t> bytes;
  std::string notice;  // set when the voxels were converted: from which type and range
  std::string error;   // set when VTK's filter gave no result
};

// Unsigned bytes are copied as they are. Any other type is mapped linearly,
// rounding to nearest, from its value range [min, max] onto [0, 255]; a
// constant image becomes 0. Floating-point voxels that are not finite take
// the end of the range they lean to (NaN and -inf the low end, +inf the high
// end) and do not widen the range. The image's own scalars may be changed in
// the process. May throw std::bad_alloc.
ByteMapping scalarsToBytes(vtkImageData* image);

}  // namespace voluna
