// Volumes too large to hold: read from disk a box at a time, and results
// written a box at a time into a file that appears only once complete.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "brick.h"
#include "nifti_scaling.h"
#include "value_mapping.h"
#include "volume.h"

namespace voluna {

class AtomicFile;

// Where the voxels of an uncompressed volume on disk are, read from its
// header alone: no voxel is read and any size is accepted.
struct StreamSource {
  Extent dims;
  ScalarType stored = ScalarType::UInt8;  // as the file holds the voxels
  bool compressed = false;  // the voxels cannot be read a box at a time
  std::string uncompress;   // for a person: how to store the volume so that they can be
  std::string dataPath;     // the file that holds the voxels
  int64_t dataOffset = 0;   // of the first voxel in dataPath
  bool swapped = false;     // stored in the other byte order
  // NIfTI scaling, applied as a whole load applies it: values become
  // float32 (float64 stays), and the first pass finds which type a whole
  // load gives them.
  NiftiScaling scaling;
  Geometry geometry;        // as a whole load places the voxels
  std::string notice;       // what a whole load would tell a person about the geometry
  std::string error;        // empty when usable; else names the file and what is wrong
  bool wholeOnly = false;   // the file is sound, but only a whole load reads it (error says why)

  bool ok() const { return error.empty(); }
  // The type of the values before any first pass: stored, or scaled.
  ScalarType valueType() const;
};

// True for the file names a StreamSource can be made from: MetaImage
// (.mhd, .mha), NIfTI (.nii, .nii.gz) and NRRD (.nrrd, .nhdr).
bool streamable(const std::string& path);

// Reads and checks the header of a volume of any size; for uncompressed
// data also that its data file holds every voxel. Compressed data is only
// recognised (dims and type known, `compressed` set), not checked.
StreamSource inspectVolume(const std::string& path);

// What a whole load of the volume holds: its values' type and the range
// that maps them onto the filter's unit scale.
struct ValueScan {
  ScalarType type = ScalarType::UInt8;
  ValueRange range{0, 255};
  bool stopped = false;  // the caller asked to stop
  std::string error;     // names the file and what is wrong
};

// Reads boxes of a volume of any scalar type as the filter's floats, mapped
// exactly as a whole load and run map them.
class BoxReader {
 public:
  explicit BoxReader(const StreamSource& source);
  ~BoxReader();
  BoxReader(const BoxReader&) = delete;
  BoxReader& operator=(const BoxReader&) = delete;

  // Empty when the data file is open, else why not.
  const std::string& error() const { return error_; }

  // One pass over every voxel, a few planes' worth at a time: the type a
  // whole load gives the values and their finite range. 8-bit volumes need
  // no pass. `keepGoing(fraction done)` is asked between parts; false stops.
  ValueScan scan(const std::function<bool(double)>& keepGoing);

  // Fills `out` with the voxels of `box` (inside the volume), x fastest,
  // mapped onto the unit scale with `range` (what scan() found). Holds one
  // plane of the box at a time. Empty string on success.
  std::string read(const Box& box, ValueRange range, float* out);

 private:
  // The voxels of `box` in one z-plane, as values of valueType() in native
  // order, valid until the next call; null on failure, with `problem` set.
  const uint8_t* readValues(const Box& box, std::string& problem);

  StreamSource source_;
  int fd_ = -1;
  std::string error_;
  std::vector<uint8_t> stored_, values_;
};

// Empty when a streamed result can be written to `path` (by its extension:
// .mhd with its .raw, .raw or any other name with a .mhd beside it, .nii,
// .nrrd), else a message naming `path` and what works.
std::string streamedOutputProblem(const std::string& path, Extent dims);

// The result of a streamed run, written as writeVolume writes `path`: voxels
// of `type` in voxel order, box by box, into a temporary file beside the
// data file, which commit() completes (a .nii's or .nrrd's header last) and
// renames over it, then writes a MetaImage header where the format has one.
// Until then an existing result stays as it was; a result never committed
// leaves nothing behind.
class StreamedResult {
 public:
  StreamedResult(const std::string& path, Extent dims, ScalarType type, const Geometry& geometry);
  ~StreamedResult();
  StreamedResult(const StreamedResult&) = delete;
  StreamedResult& operator=(const StreamedResult&) = delete;

  // Empty when the temporary file was made, else why not (naming the file).
  const std::string& error() const { return error_; }

  // Writes `values`, the voxels of `box` x fastest. Empty string on success.
  std::string write(const Box& box, const void* values);
  // Makes the result visible. Empty string on success.
  std::string commit();

 private:
  std::string dataPath_, headerPath_;
  std::string prefix_;  // a single file's own header, before the voxels
  Extent dims_;
  ScalarType type_;
  Geometry geometry_;
  std::unique_ptr<AtomicFile> file_;
  std::string error_;
};

}  // namespace voluna
