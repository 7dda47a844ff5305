// Between the installed headers' types and the internal ones they mirror.
// The public types are declared apart so that the internals can change
// without breaking a program built against an earlier release.
#pragma once

#include <voluna/image.h>
#include <voluna/status.h>

#include <string>

#include "dims.h"
#include "volume.h"

namespace voluna::api {

static_assert(int(ScalarType::UInt8) == int(voluna::ScalarType::UInt8) &&
                  int(ScalarType::Int8) == int(voluna::ScalarType::Int8) &&
                  int(ScalarType::UInt16) == int(voluna::ScalarType::UInt16) &&
                  int(ScalarType::Int16) == int(voluna::ScalarType::Int16) &&
                  int(ScalarType::UInt32) == int(voluna::ScalarType::UInt32) &&
                  int(ScalarType::Int32) == int(voluna::ScalarType::Int32) &&
                  int(ScalarType::Float32) == int(voluna::ScalarType::Float32) &&
                  int(ScalarType::Float64) == int(voluna::ScalarType::Float64),
              "the public scalar types must name the internal ones in the same order");

inline voluna::ScalarType internalType(ScalarType type) { return static_cast<voluna::ScalarType>(type); }
inline ScalarType publicType(voluna::ScalarType type) { return static_cast<ScalarType>(type); }

inline voluna::Dims internalDims(Size size) { return {size.x, size.y, size.z}; }
inline Size publicSize(voluna::Dims dims) { return {dims.x, dims.y, dims.z}; }

// Both ways: the public fields have the internal ones' names and meanings.
template <typename From, typename To>
void copyGeometry(const From& from, To& to) {
  for (int i = 0; i < 3; ++i) {
    to.spacing[i] = from.spacing[i];
    to.origin[i] = from.origin[i];
    to.nifti.quatern[i] = from.nifti.quatern[i];
    to.nifti.qoffset[i] = from.nifti.qoffset[i];
  }
  for (int i = 0; i < 9; ++i) to.direction[i] = from.direction[i];
  for (int i = 0; i < 12; ++i) to.nifti.srow[i] = from.nifti.srow[i];
  to.nifti.present = from.nifti.present;
  to.nifti.axes = from.nifti.axes;
  to.nifti.qformCode = from.nifti.qformCode;
  to.nifti.sformCode = from.nifti.sformCode;
  to.nifti.qfac = from.nifti.qfac;
}

inline Status failure(Status::Code code, std::string message) { return {code, std::move(message)}; }

// Empty when `image` holds the bytes its size and type need, and a size
// that Voluna handles; else what is wrong.
inline std::string imageProblem(const Image& image) {
  const std::string dims = checkDimensions(internalDims(image.size));
  if (!dims.empty()) return dims;
  const auto needed = static_cast<size_t>(image.size.count()) * scalarSize(image.type);
  if (image.data.size() != needed) {
    return "the image holds " + std::to_string(image.data.size()) + " bytes of voxels, not the " +
           std::to_string(needed) + " its size and type need";
  }
  return {};
}

}  // namespace voluna::api
