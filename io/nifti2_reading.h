// Reading the voxels and geometry of a NIfTI-2 file, which ITK 5.2's NIfTI
// reader cannot open, the way ITK reads the same fields of a NIfTI-1 file:
// the same voxel type, scaling and geometry, so that one volume stored either
// way loads alike.
#pragma once

#include <string>

#include "nifti_header.h"
#include "volume.h"

namespace voluna {

// The geometry ITK 5.2 gives a NIfTI-1 file of the same fields: spacing from
// pixdim; orientation and origin from the sform (sform_code > 0), else the
// qform (qform_code > 0), turned from NIfTI's RAS into ITK's LPS, each axis
// of unit length over the axes the image has; with neither, ITK's default
// (identity, origin 0). A sheared sform gives way to the qform; without one
// it is refused, as ITK refuses it: the message says why.
std::string niftiGeometry(const NiftiHeader& header, Geometry& geometry);

// The type of a NIfTI datatype code as stored; false for codes Voluna does not read.
bool niftiScalarType(int datatype, ScalarType& type);

// Reads a .nii or .nii.gz whose header checkNiftiFile has passed. Empty on
// success, else what is wrong without the file name; `out` is left empty on
// failure.
std::string readNiftiVoxels(const std::string& path, const NiftiHeader& header, Volume& out);

}  // namespace voluna
