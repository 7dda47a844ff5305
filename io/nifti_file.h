// NIfTI files in and out. NIfTI-1 is read by ITK; NIfTI-2, which ITK 5.2
// cannot open, by Voluna the way ITK reads the same fields of NIfTI-1, so
// that one volume stored either way loads alike. Results are NIfTI-1 with
// ITK's own header, which keeps the input's sform and qform where it had them.
#pragma once

#include <cstdint>
#include <string>

#include "volume.h"

namespace voluna {

// The checks before allocation (checkNiftiFile), as the format table wants them.
std::string checkNifti(const std::string& path);

// Reads a .nii or .nii.gz whose checks passed. Empty on success, else what
// is wrong without the file name; `out` is left empty on failure.
std::string readNifti(const std::string& path, Volume& out);

// The bytes before the voxels of a NIfTI-1 file (.nii) of these sizes, type
// and geometry: ITK's header, with the geometry's kept sform and qform
// while they hold. Empty on success, else a message naming `path`.
std::string niftiFileHeader(const std::string& path, const int64_t sizes[3], ScalarType type,
                            const Geometry& geometry, std::string& header);

// Writes a .nii, or a .nii.gz when `gzip`, atomically.
std::string writeNifti(const std::string& path, bool gzip, const Volume& volume);

}  // namespace voluna
