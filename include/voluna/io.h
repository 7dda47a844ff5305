// Reading and writing volumes with their geometry, in every format Voluna's
// programs read and write. Every file is checked before anything is
// allocated for it, so broken or hostile files are refused with a message.
// Link Voluna::io.
#pragma once

#include <voluna/export.h>
#include <voluna/image.h>
#include <voluna/status.h>

#include <string>

namespace voluna::api {

struct ReadResult {
  Image image;    // empty unless status.ok()
  Status status;  // Code::ReadFailed with the file and the problem
};

// Reads NIfTI-1 or NIfTI-2 (.nii, .nii.gz), NRRD (.nrrd, or .nhdr with its
// data file), MetaImage (.mha, or .mhd with its data file), TIFF (.tif,
// .tiff, a page a slice) or a DICOM series (any one file of it: the whole
// series in its folder, ordered by position). The voxels keep their own type
// (NIfTI scaling applied); one value per voxel, fewer than 2^31 voxels.
VOLUNA_API ReadResult read(const std::string& path);

// Writes `image` in the format the extension picks: .nii, .nii.gz, .nrrd,
// .mha, .mhd (with a .raw beside it), .tif, and for .raw and any other name
// the bare voxels with a MetaImage header (.mhd) beside them. Geometry goes
// wherever the format holds it. Atomic: an existing file is replaced only
// once the new one is complete.
VOLUNA_API Status write(const std::string& path, const Image& image);

}  // namespace voluna::api
