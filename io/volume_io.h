// Reading MetaImage volumes into bytes and writing filter results.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dims.h"

namespace voluna {

// A loaded volume: one unsigned byte per voxel in voxel order.
struct ByteVolume {
  Dims dims;
  double spacing[3] = {1.0, 1.0, 1.0};
  double origin[3] = {0.0, 0.0, 0.0};
  std::vector<uint8_t> voxels;
};

struct LoadResult {
  ByteVolume volume;
  std::string error;   // empty on success; names the file and what is wrong
  std::string notice;  // on success, what a person should know (e.g. a conversion)

  bool ok() const { return error.empty(); }
};

// Reads a MetaImage (.mhd header with its data file, or .mha) with VTK's
// reader. Refuses, with a message, anything that is not a non-empty volume of
// one unsigned 8-bit component with fewer than 2^31 voxels.
LoadResult loadVolume(const std::string& path);

// The MetaImage header written beside a raw result: same folder and base
// name, extension .mhd ("Output.raw" -> "Output.mhd").
std::string headerPathFor(const std::string& rawPath);

// Writes `dims.count()` bytes in voxel order to rawPath and a MetaImage
// header describing them beside it, so any viewer can reopen the result.
// Each file is written to a temporary file in the same folder and renamed
// over the old one: readers never see a torn file, and on failure the old
// files stay as they were. Returns an empty string on success, else a
// message naming the file and the reason.
std::string writeResult(const std::string& rawPath, const uint8_t* bytes, Dims dims);

// The MetaImage header text that describes a raw result of `dims` bytes.
std::string resultHeader(const std::string& rawPath, Dims dims);

// The same atomic write for one file of raw bytes.
std::string writeFileAtomically(const std::string& path, const void* data, size_t size);

}  // namespace voluna
