#include "nifti_placement.h"

#include <nifti1_io.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace voluna {

namespace {

// The rotation a qform's quaternion stands for, its third column turned by
// qfac (pixdim[0]) as NIfTI's own library does; in double precision, which
// NIfTI-2's fields have and NIfTI's library (floats) would lose.
void quaternionRotation(const NiftiPlacement& p, double m[3][3]) {
  double b = p.quatern[0], c = p.quatern[1], d = p.quatern[2];
  double a = 1.0 - (b * b + c * c + d * d);
  if (a < 1e-7) {
    // A quaternion of length above one: taken as a turn by 180 degrees.
    a = 1.0 / std::sqrt(b * b + c * c + d * d);
    b *= a;
    c *= a;
    d *= a;
    a = 0.0;
  } else {
    a = std::sqrt(a);
  }
  const double qfac = p.qfac < 0 ? -1.0 : 1.0;
  m[0][0] = a * a + b * b - c * c - d * d;
  m[0][1] = 2 * (b * c - a * d);
  m[0][2] = 2 * (b * d + a * c) * qfac;
  m[1][0] = 2 * (b * c + a * d);
  m[1][1] = a * a + c * c - b * b - d * d;
  m[1][2] = 2 * (c * d - a * b) * qfac;
  m[2][0] = 2 * (b * d - a * c);
  m[2][1] = 2 * (c * d + a * b);
  m[2][2] = (a * a + d * d - c * c - b * b) * qfac;
}

void sformMatrix(const NiftiPlacement& p, double m[3][3], double offset[3]) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m[r][c] = p.srow[r * 4 + c];
    offset[r] = p.srow[r * 4 + 3];
  }
}

// Whether the matrix's axes are at right angles: ITK passes over a sheared
// sform for the qform, which cannot shear.
bool rotatesAndScales(const double m[3][3]) {
  double axis[3][3];
  for (int c = 0; c < 3; ++c) {
    const double length = std::sqrt(m[0][c] * m[0][c] + m[1][c] * m[1][c] + m[2][c] * m[2][c]);
    if (length == 0) return false;
    for (int r = 0; r < 3; ++r) axis[c][r] = m[r][c] / length;
  }
  for (int a = 0; a < 3; ++a) {
    for (int b = a + 1; b < 3; ++b) {
      if (std::fabs(axis[a][0] * axis[b][0] + axis[a][1] * axis[b][1] + axis[a][2] * axis[b][2]) > 1e-4) return false;
    }
  }
  return true;
}

// ITK divides the sform's axes by pixdim and takes them only if that leaves
// them orthonormal: at right angles, and as long as pixdim says.
bool sformUsable(const NiftiPlacement& p, const double pixdim[3], int axes) {
  double m[3][3], offset[3];
  sformMatrix(p, m, offset);
  if (p.sformCode <= 0 || !rotatesAndScales(m)) return false;
  for (int c = 0; c < axes; ++c) {
    const double length = std::sqrt(m[0][c] * m[0][c] + m[1][c] * m[1][c] + m[2][c] * m[2][c]);
    if (std::fabs(length - std::fabs(pixdim[c])) > 1e-4 * length) return false;
  }
  return true;
}

// ITK 5.2 takes the sform when it is the scanner's own (code 1) or the only
// transform; any other sform gives way to a qform.
bool sformInUse(const NiftiPlacement& p, const double pixdim[3], int axes) {
  return sformUsable(p, pixdim, axes) && (p.sformCode == 1 || p.qformCode <= 0);
}

bool near(double a, double b, double tolerance) { return std::fabs(a - b) <= tolerance * std::max(1.0, std::fabs(b)); }

template <typename T>
void poke(std::string& bytes, size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

}  // namespace

std::string niftiGeometry(const NiftiPlacement& placement, const double pixdim[3], int axes, Geometry& g) {
  g = Geometry{};
  g.nifti = placement;
  g.nifti.axes = std::clamp(axes, 1, 3);
  const int n = g.nifti.axes;
  for (int i = 0; i < n; ++i) g.spacing[i] = pixdim[i];
  // Without either transform ITK keeps its own default placement.
  if (placement.sformCode <= 0 && placement.qformCode <= 0) return {};

  double m[3][3];
  double offset[3];
  if (placement.sformCode > 0 && !sformUsable(placement, pixdim, n) && placement.qformCode <= 0) {
    return shearedSform(placement)
               ? "places its voxels by a sheared sform and has no qform; Voluna, like ITK, takes only axes at "
                 "right angles to each other: resample the volume or give it a qform"
               : "places its voxels by an sform whose axes are not as long as its voxel sizes (pixdim) say, and "
                 "has no qform; Voluna, like ITK, does not guess which is right: correct pixdim or the sform";
  }
  if (sformInUse(placement, pixdim, n)) {
    sformMatrix(placement, m, offset);
  } else {
    quaternionRotation(placement, m);
    for (int r = 0; r < 3; ++r) offset[r] = placement.qoffset[r];
  }
  for (int i = 0; i < n; ++i) {
    // NIfTI places voxels in RAS, ITK in LPS: x and y change sign.
    g.origin[i] = i < 2 ? -offset[i] : offset[i];
    // ITK keeps only the axes the image has, each of unit length: the sform
    // scales them by the spacing, and a flat image drops the third row.
    double length = 0;
    for (int r = 0; r < n; ++r) length += m[r][i] * m[r][i];
    length = length > 0 ? std::sqrt(length) : 1.0;
    for (int r = 0; r < 3; ++r) {
      g.direction[r * 3 + i] = r < n ? (r < 2 ? -m[r][i] : m[r][i]) / length : 0.0;
    }
  }
  return {};
}

bool shearedSform(const NiftiPlacement& placement) {
  double m[3][3], offset[3];
  sformMatrix(placement, m, offset);
  return placement.present && placement.sformCode > 0 && !rotatesAndScales(m);
}

bool niftiPlacementHolds(const Geometry& geometry) {
  if (!geometry.nifti.present) return false;
  Geometry placed;
  if (!niftiGeometry(geometry.nifti, geometry.spacing, geometry.nifti.axes, placed).empty()) return false;
  // ITK reads the header's floats in single precision: what it placed and
  // what the same fields give here differ in the last float digits only.
  for (int i = 0; i < 3; ++i) {
    if (!near(geometry.origin[i], placed.origin[i], 1e-4)) return false;
  }
  for (int i = 0; i < 9; ++i) {
    if (std::fabs(geometry.direction[i] - placed.direction[i]) > 1e-4) return false;
  }
  return true;
}

void worldAffine(const Geometry& g, double a[16]) {
  std::fill(a, a + 16, 0.0);
  a[15] = 1.0;
  const NiftiPlacement& p = g.nifti;
  const bool kept = niftiPlacementHolds(g);
  if (kept && p.sformCode > 0) {
    std::copy(p.srow, p.srow + 12, a);
    return;
  }
  if (kept && p.qformCode > 0) {
    double m[3][3];
    quaternionRotation(p, m);
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) a[r * 4 + c] = m[r][c] * g.spacing[c];
      a[r * 4 + 3] = p.qoffset[r];
    }
    return;
  }
  // ITK's LPS turned into RAS: x and y change sign.
  for (int r = 0; r < 3; ++r) {
    const double sign = r < 2 ? -1.0 : 1.0;
    for (int c = 0; c < 3; ++c) a[r * 4 + c] = sign * g.direction[r * 3 + c] * g.spacing[c];
    a[r * 4 + 3] = sign * g.origin[r];
  }
}

std::string geometryFromAffine(const double affine[16], Geometry& geometry) {
  for (int i = 0; i < 16; ++i) {
    if (!std::isfinite(affine[i])) return "the affine holds a value that is not a finite number";
  }
  if (affine[12] != 0 || affine[13] != 0 || affine[14] != 0 || affine[15] != 1) {
    return "the affine's last row must be 0 0 0 1";
  }
  const double* a = affine;
  const double det = a[0] * (a[5] * a[10] - a[6] * a[9]) - a[1] * (a[4] * a[10] - a[6] * a[8]) +
                     a[2] * (a[4] * a[9] - a[5] * a[8]);
  double scale = 0;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) scale = std::max(scale, std::fabs(a[r * 4 + c]));
  }
  if (!(std::fabs(det) > 1e-9 * scale * scale * scale)) {
    return "the affine's 3 x 3 part is singular: its axes span no volume";
  }
  NiftiPlacement p;
  p.present = true;
  p.qformCode = 1;
  p.sformCode = 1;
  std::copy(affine, affine + 12, p.srow);
  // NIfTI's own library finds the qform nearest a matrix, as ITK's writer does.
  mat44 m{};
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) m.m[r][c] = static_cast<float>(affine[r * 4 + c]);
  }
  float qb, qc, qd, qx, qy, qz, dx, dy, dz, qfac;
  nifti_mat44_to_quatern(m, &qb, &qc, &qd, &qx, &qy, &qz, &dx, &dy, &dz, &qfac);
  p.quatern[0] = qb;
  p.quatern[1] = qc;
  p.quatern[2] = qd;
  p.qoffset[0] = qx;
  p.qoffset[1] = qy;
  p.qoffset[2] = qz;
  p.qfac = qfac;
  const double pixdim[3] = {dx, dy, dz};
  return niftiGeometry(p, pixdim, 3, geometry);
}

void storePlacement(const NiftiPlacement& p, std::string& header) {
  poke<float>(header, 76, static_cast<float>(p.qfac));
  poke<int16_t>(header, 252, static_cast<int16_t>(p.qformCode));
  poke<int16_t>(header, 254, static_cast<int16_t>(p.sformCode));
  for (int i = 0; i < 3; ++i) {
    poke<float>(header, 256 + 4 * i, static_cast<float>(p.quatern[i]));
    poke<float>(header, 268 + 4 * i, static_cast<float>(p.qoffset[i]));
  }
  for (int i = 0; i < 12; ++i) poke<float>(header, 280 + 4 * i, static_cast<float>(p.srow[i]));
}

}  // namespace voluna
