// Reading volumes of every supported format into their own scalar type, with
// their geometry, and writing them back in the format a name's extension
// picks. Every file is checked by Voluna before a library allocates voxels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dims.h"
#include "atomic_file.h"
#include "formats.h"
#include "volume.h"

namespace voluna {

struct LoadResult {
  Volume volume;
  std::string error;   // empty on success; names the file and what is wrong
  std::string notice;  // on success, what a person should know

  bool ok() const { return error.empty(); }
};

// Reads a volume: NIfTI-1 or NIfTI-2 (.nii, .nii.gz), NRRD (.nrrd, .nhdr with its data
// file), MetaImage (.mha, .mhd with its data file), TIFF (.tif, .tiff, one
// page per slice) or a DICOM series (any one file of it: every slice of that
// series in the file's folder, ordered by position). The extension picks the
// format, else the file's first bytes, else MetaImage, whose checks say
// plainly what they found. Refuses, with a message, anything that is not a
// non-empty volume of one scalar component with fewer than 2^31 voxels.
LoadResult loadVolume(const std::string& path);

// The filter ignores spacing, but a zero or absurd one leaves the views
// empty with no word why: such spacings become 1 and non-finite origins 0,
// as every load does. Returns what was changed, for a person ("" if nothing).
std::string makeDisplayable(Geometry& geometry);

// The format `path`'s extension picks: .nii, .nii.gz, .nrrd, .mha, .mhd,
// .tif/.tiff, and raw for .raw and every other name. False with a message
// saying what to write instead for the names of formats Voluna reads but
// does not write (.dcm, .ima, .nhdr).
bool outputFormatFor(const std::string& path, OutputFormat& format, std::string& error);

// Writes `volume` with its type and geometry in the format the extension
// picks. .raw writes the bare voxels and a MetaImage header (.mhd) beside
// them; .mhd the header and its data file (.raw) beside it. A NIfTI result
// of a NIfTI volume keeps its sform and qform with their codes. Atomic:
// every file is written to a temporary file in the same folder and renamed
// over the old one, so readers never see a torn file and on failure the old
// files stay. Returns an empty string on success, else a message naming the
// file.
std::string writeVolume(const std::string& path, const Volume& volume);

// What writing `geometry` to `path` loses, for a line on standard error:
// a sheared placement (a NIfTI sform) that only NIfTI holds. Empty when
// nothing is lost.
std::string geometryLossNotice(const std::string& path, const Geometry& geometry);

// The bytes that writeVolume writes before the voxels of a .nii or .nrrd
// (`format` Nifti or Nrrd) of these sizes, type and geometry; the voxels
// follow them raw, x fastest, in native byte order, so a result written
// around them is the one writeVolume writes. Empty on success, else what is
// wrong, naming `path`.
std::string singleFileHeader(const std::string& path, OutputFormat format, const int64_t sizes[3], ScalarType type,
                             const Geometry& geometry, std::string& header);

// The MetaImage header text that names rawPath as the data file of a volume
// of volume's dimensions, type and geometry (its voxels are not used).
std::string rawHeaderText(const std::string& rawPath, const Volume& volume);

// The MetaImage header written beside a raw result: same folder and base
// name, extension .mhd ("Output.raw" -> "Output.mhd").
std::string headerPathFor(const std::string& rawPath);

// Writes `dims.count()` bytes in voxel order to rawPath and a MetaImage
// header describing them (unit spacing) beside it, atomically.
std::string writeResult(const std::string& rawPath, const uint8_t* bytes, Dims dims);

}  // namespace voluna
