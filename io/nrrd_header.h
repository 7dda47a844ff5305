// Voluna's own reading of a NRRD header (.nrrd with attached data, or .nhdr
// with a detached data file), made before ITK's reader touches the file:
// ITK allocates whatever the header claims.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dims.h"

namespace voluna {

struct NrrdHeader {
  int dimension = 0;
  int64_t count = 0;        // voxels times values per voxel, over every axis
  int bytesPerValue = 0;
  std::string encoding;     // "raw", "gzip", "ascii" or "hex"
  std::string dataFile;     // empty: the data follows the header
  int64_t dataStart = 0;    // for attached data: the byte after the blank line
  int64_t lineSkip = 0;
  int64_t byteSkip = 0;     // -1: the data is at the end of the file
  bool bigEndian = false;   // as the endian field says; raw data of wider types only
  std::string spaceUnits;   // the "space units" field as written ("\"um\" \"um\" \"um\""), if any
};

struct NrrdCheck {
  NrrdHeader header;
  std::string error;  // empty when ITK may read the file; else what is wrong, without the file name
  // Where raw voxels lie, after every skip, once checkNrrdFile has passed them.
  std::string dataPath;
  int64_t dataOffset = -1;
  bool ok() const { return error.empty(); }
};

// Reads header text: `text` is the start of the file (at most 1 MiB),
// `wholeFile` says whether it is all of it. Reads nothing from disk. More
// than `maxVoxels` values are refused; streamed runs allow more than the
// 2^31 - 1 a whole volume in memory may hold.
NrrdCheck parseNrrdHeader(std::string_view text, bool wholeFile, int64_t maxVoxels = kMaxVoxels);

// Parses the header of `path` and checks the data against it: the data file
// exists and is a regular file, raw data is long enough after the skips,
// gzip data inflates soundly to the size needed, text data is not
// obviously too short.
NrrdCheck checkNrrdFile(const std::string& path, int64_t maxVoxels = kMaxVoxels);

}  // namespace voluna
