// Where a NIfTI file puts its voxels: its qform and sform as ITK reads them
// into a geometry, kept as stored for NIfTI results, and as the 4 x 4
// voxel-to-world matrix other NIfTI readers (nibabel, FSL) use.
#pragma once

#include <string>

#include "volume.h"

namespace voluna {

// The geometry ITK 5.2 gives a NIfTI file of these fields: spacing from
// pixdim; orientation and origin from the sform where its code is 1 (the
// scanner's) or the qform's is 0, else from the qform (qform_code > 0),
// turned from NIfTI's RAS into ITK's LPS, each axis of unit length over the
// `axes` the image has (dim[0], at most 3); with neither, ITK's default
// (identity, origin 0). A sheared sform gives way to the qform; without one
// it is refused, as ITK refuses it: the message says why. `geometry.nifti`
// is set to `placement`.
std::string niftiGeometry(const NiftiPlacement& placement, const double pixdim[3], int axes, Geometry& geometry);

// Whether the sform is in use and is more than a rotation and scaling: the
// placement no format but NIfTI holds.
bool shearedSform(const NiftiPlacement& placement);

// Whether `geometry.nifti` still places the voxels where spacing, origin and
// direction do: false once a caller moved the volume, or with nothing kept.
bool niftiPlacementHolds(const Geometry& geometry);

// The 4 x 4 voxel-to-world matrix (row-major, RAS millimetres, voxel
// indices i, j, k along x, y, z) that nibabel gives the file the volume came
// from: the kept sform, else the kept qform, else the geometry's own.
void worldAffine(const Geometry& geometry, double affine[16]);

// The geometry of a NIfTI file written with `affine` as its sform (code 1)
// and its nearest rotation and scaling as its qform (code 1), as NIfTI's own
// library makes it. Empty on success, else why the matrix places no volume.
std::string geometryFromAffine(const double affine[16], Geometry& geometry);

// Puts a kept placement into the bytes of a NIfTI-1 header (at least 348).
void storePlacement(const NiftiPlacement& placement, std::string& header);

}  // namespace voluna
