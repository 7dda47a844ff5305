// Volumes too large to hold: read from disk a box at a time, and results
// written a box at a time into a file that appears only once complete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "brick.h"
#include "metaimage_header.h"
#include "volume.h"

namespace voluna {

// Where the voxels of an uncompressed volume on disk are, read from its
// header alone: no voxel is read and any size is accepted.
struct StreamSource {
  Extent dims;
  ElementType type = ElementType::UChar;
  bool compressed = false;   // the voxels cannot be read a box at a time
  std::string dataPath;      // the file that holds the voxels
  int64_t dataOffset = 0;    // of the first voxel in dataPath
  Geometry geometry;         // as the header places the voxels
  std::string error;         // empty when usable; else names the file and what is wrong

  bool ok() const { return error.empty(); }
};

// True for the file names a StreamSource can be made from (.mhd, .mha).
bool streamable(const std::string& path);

// Reads and checks the header of a MetaImage volume of any size; for
// uncompressed data also that its data file holds every voxel.
StreamSource inspectVolume(const std::string& path);

// Reads boxes of an 8-bit volume as the filter's floats (byte / 255).
class BoxReader {
 public:
  explicit BoxReader(const StreamSource& source);
  ~BoxReader();
  BoxReader(const BoxReader&) = delete;
  BoxReader& operator=(const BoxReader&) = delete;

  // Empty when the data file is open, else why not.
  const std::string& error() const { return error_; }

  // Fills `out` with the voxels of `box` (inside the volume), x fastest.
  // Holds one plane of the box at a time. Empty string on success.
  std::string read(const Box& box, float* out);

 private:
  StreamSource source_;
  int fd_ = -1;
  std::string error_;
  std::vector<uint8_t> plane_;
};

// The result of a streamed run: bytes in voxel order written box by box
// into a temporary file beside `rawPath`, renamed over it by commit(), with
// a MetaImage header beside it like writeResult's. Until then an existing
// result stays as it was; a result never committed leaves nothing behind.
class StreamedResult {
 public:
  StreamedResult(const std::string& rawPath, Extent dims, const Geometry& geometry);
  ~StreamedResult();
  StreamedResult(const StreamedResult&) = delete;
  StreamedResult& operator=(const StreamedResult&) = delete;

  // Empty when the temporary file was made, else why not (naming the file).
  const std::string& error() const { return error_; }

  // Writes `bytes`, the voxels of `box` x fastest. Empty string on success.
  std::string write(const Box& box, const uint8_t* bytes);
  // Makes the result visible: data file, then header. Empty string on success.
  std::string commit();

 private:
  std::string rawPath_, temporary_;
  Extent dims_;
  Geometry geometry_;
  int fd_ = -1;
  std::string error_;
};

}  // namespace voluna
