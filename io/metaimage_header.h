// Voluna's own reading of a MetaImage header, and the checks of the data it
// points to, made before ITK's reader touches the file. ITK reads MetaImage
// through MetaIO, which trusts the header: it overruns its buffers on long
// keys and values, allocates whatever DimSize claims, reads another header
// than the one written where lines are ambiguous, and returns garbage for
// data that is short or does not inflate. The checks below are what reading
// and allocating safely needs, and no more.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dims.h"
#include "volume.h"

namespace voluna {

// What a header says about its voxels and where they are.
struct MetaImageHeader {
  int ndims = 0;
  Dims dims;  // a two-dimensional image is one slice: z = 1
  ScalarType type = ScalarType::UInt8;
  std::string dataFile;         // ElementDataFile as written
  bool local = false;           // voxels follow the header in the same file
  int64_t localDataStart = 0;   // offset of the byte after the ElementDataFile line
  int64_t headerSize = 0;       // bytes to skip in a separate data file; -1: data at its end
  bool headerSizeGiven = false;
  bool compressed = false;
  int64_t compressedSize = -1;  // -1: not given

  int64_t voxelBytes() const { return dims.count() * static_cast<int64_t>(scalarSize(type)); }
};

struct HeaderParse {
  MetaImageHeader header;
  std::string error;  // empty when the header is usable; else what is wrong, without the file name
  bool ok() const { return error.empty(); }
};

// The most of a file that is read as header: enough for any real header,
// little enough to refuse a huge text file at once.
constexpr size_t kMaxHeaderBytes = size_t{1} << 20;

// Reads header text: `text` is the start of the file (at most
// kMaxHeaderBytes), `wholeFile` says whether it is all of it. Reads nothing
// from disk. Volumes beyond `maxVoxels` are refused; streamed runs allow more
// than the 2^31 - 1 a whole volume in memory may hold.
HeaderParse parseMetaImageHeader(std::string_view text, bool wholeFile, int64_t maxVoxels = kMaxVoxels);

struct CheckedMetaImage {
  MetaImageHeader header;
  std::string dataPath;  // the file that holds the voxels (the header file itself for LOCAL data)
  std::string error;     // empty when ITK may read the file; else what is wrong, without the file name
  bool ok() const { return error.empty(); }
};

// Reads and parses the header of `path` and checks the data against it: the
// data file exists and is a regular file, holds the bytes the voxels need
// (after HeaderSize, or after the header for LOCAL data), and compressed data
// is a sound zlib or gzip stream giving at least that many bytes.
CheckedMetaImage checkMetaImageFile(const std::string& path, int64_t maxVoxels = kMaxVoxels);

}  // namespace voluna
