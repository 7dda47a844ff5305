#include "nifti2_reading.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#include <unistd.h>

#include "file_checks.h"

namespace voluna {

namespace {

bool scalarTypeOf(int datatype, ScalarType& type) {
  switch (datatype) {
    case 2: type = ScalarType::UInt8; return true;
    case 4: type = ScalarType::Int16; return true;
    case 8: type = ScalarType::Int32; return true;
    case 16: type = ScalarType::Float32; return true;
    case 64: type = ScalarType::Float64; return true;
    case 256: type = ScalarType::Int8; return true;
    case 512: type = ScalarType::UInt16; return true;
    case 768: type = ScalarType::UInt32; return true;
    default: return false;
  }
}

// The rotation a qform's quaternion stands for, its third column turned by
// qfac (pixdim[0]) as NIfTI's own library does.
void quaternionRotation(const NiftiHeader& h, double m[3][3]) {
  double b = h.quatern[0], c = h.quatern[1], d = h.quatern[2];
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
  const double qfac = h.pixdim[0] < 0 ? -1.0 : 1.0;
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

template <typename T>
void applyScaling(const std::vector<uint8_t>& raw, int64_t count, double slope, double intercept, float* out) {
  for (int64_t i = 0; i < count; ++i) {
    T value;
    std::memcpy(&value, raw.data() + i * sizeof(T), sizeof(T));
    // ITK converts the stored value to float before it scales.
    out[i] = static_cast<float>(static_cast<double>(static_cast<float>(value)) * slope + intercept);
  }
}

void scaleDoubles(std::vector<uint8_t>& data, int64_t count, double slope, double intercept) {
  for (int64_t i = 0; i < count; ++i) {
    double value;
    std::memcpy(&value, data.data() + i * sizeof(double), sizeof value);
    value = value * slope + intercept;
    std::memcpy(data.data() + i * sizeof(double), &value, sizeof value);
  }
}

void scaleToFloat(const std::vector<uint8_t>& raw, ScalarType type, int64_t count, double slope, double intercept,
                  float* out) {
  switch (type) {
    case ScalarType::UInt8: applyScaling<uint8_t>(raw, count, slope, intercept, out); break;
    case ScalarType::Int8: applyScaling<int8_t>(raw, count, slope, intercept, out); break;
    case ScalarType::UInt16: applyScaling<uint16_t>(raw, count, slope, intercept, out); break;
    case ScalarType::Int16: applyScaling<int16_t>(raw, count, slope, intercept, out); break;
    case ScalarType::UInt32: applyScaling<uint32_t>(raw, count, slope, intercept, out); break;
    case ScalarType::Int32: applyScaling<int32_t>(raw, count, slope, intercept, out); break;
    case ScalarType::Float32: applyScaling<float>(raw, count, slope, intercept, out); break;
    case ScalarType::Float64: applyScaling<double>(raw, count, slope, intercept, out); break;
  }
}

// gzread takes an unsigned count: large volumes are read in parts.
std::string readStream(gzFile stream, uint8_t* into, int64_t size, int64_t& got) {
  got = 0;
  while (got < size) {
    const auto part = static_cast<unsigned>(std::min<int64_t>(size - got, 1 << 30));
    const int n = gzread(stream, into + got, part);
    if (n < 0) {
      int code = 0;
      const char* why = gzerror(stream, &code);
      return code == Z_DATA_ERROR ? std::string("corrupt compressed data (") + why + ")"
                                  : std::string("a read error (") + why + ")";
    }
    if (n == 0) break;
    got += n;
  }
  return {};
}

// Whether the sform's axes are at right angles: ITK passes over a sheared
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

}  // namespace

bool niftiScalarType(int datatype, ScalarType& type) { return scalarTypeOf(datatype, type); }

std::string niftiGeometry(const NiftiHeader& h, Geometry& g) {
  g = Geometry{};
  const int n = std::clamp(h.spatialAxes, 1, 3);
  for (int i = 0; i < n; ++i) g.spacing[i] = h.pixdim[i + 1];
  // Without either transform ITK keeps its own default placement.
  if (h.sformCode <= 0 && h.qformCode <= 0) return {};

  double m[3][3];
  double offset[3];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m[r][c] = h.srow[r * 4 + c];
    offset[r] = h.srow[r * 4 + 3];
  }
  const bool sformUsable = h.sformCode > 0 && rotatesAndScales(m);
  if (h.sformCode > 0 && !sformUsable && h.qformCode <= 0) {
    return "places its voxels by a sheared sform and has no qform; Voluna, like ITK, takes only axes at right "
           "angles to each other: resample the volume or give it a qform";
  }
  if (!sformUsable) {
    quaternionRotation(h, m);
    for (int r = 0; r < 3; ++r) offset[r] = h.qoffset[r];
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

std::string readNiftiVoxels(const std::string& path, const NiftiHeader& header, Volume& out) {
  out = Volume{};
  ScalarType stored;
  if (!scalarTypeOf(header.datatype, stored) || static_cast<int>(scalarSize(stored)) != header.bytesPerVoxel) {
    return "has the unsupported datatype code " + std::to_string(header.datatype);
  }
  Geometry geometry;
  const std::string placement = niftiGeometry(header, geometry);
  if (!placement.empty()) return placement;
  const Opened file = openRegular(path);
  if (file.state == Opened::Missing) return "no such file";
  if (file.state != Opened::Ok) return file.problem();
  // zlib reads uncompressed files as they are, so one path serves .nii and .nii.gz.
  const int fd = ::dup(file.file->fd());
  if (fd < 0) return "cannot be read (" + std::string(std::strerror(errno)) + ")";
  gzFile stream = gzdopen(fd, "rb");
  if (!stream) {
    ::close(fd);
    return "cannot be read (out of memory for decompression)";
  }
  struct Closer {
    gzFile stream;
    ~Closer() { gzclose(stream); }
  } closer{stream};

  std::vector<uint8_t> raw;
  try {
    raw.resize(static_cast<size_t>(header.voxelBytes));
  } catch (const std::bad_alloc&) {
    return "needs more memory than is available for its voxels (" + std::to_string(header.voxelBytes) + " bytes)";
  }
  std::vector<uint8_t> skipped(static_cast<size_t>(std::min<int64_t>(header.dataOffset, 1 << 20)));
  int64_t toSkip = header.dataOffset;
  while (toSkip > 0) {
    int64_t got = 0;
    const int64_t part = std::min<int64_t>(toSkip, static_cast<int64_t>(skipped.size()));
    const std::string problem = readStream(stream, skipped.data(), part, got);
    if (!problem.empty()) return "holds " + problem;
    if (got < part) {
      return "breaks off before its data begins (vox_offset " + std::to_string(header.dataOffset) + ")";
    }
    toSkip -= got;
  }
  int64_t got = 0;
  const std::string problem = readStream(stream, raw.data(), header.voxelBytes, got);
  if (!problem.empty()) return "holds " + problem;
  if (got < header.voxelBytes) {
    return describeShortage("the data after its header (vox_offset " + std::to_string(header.dataOffset) + ")", got,
                            header.voxelBytes);
  }

  const size_t width = scalarSize(stored);
  if (header.swapped && width > 1) {
    for (size_t at = 0; at < raw.size(); at += width) std::reverse(raw.begin() + at, raw.begin() + at + width);
  }

  // As ITK reads NIfTI-1: a non-finite factor counts as 0, a slope of 0 as
  // 1, and factors that change the values make float32 voxels, or keep
  // float64 ones.
  double slope = std::isfinite(header.slope) ? header.slope : 0.0;
  const double intercept = std::isfinite(header.intercept) ? header.intercept : 0.0;
  if (slope == 0.0) slope = 1.0;
  const int64_t count = header.dims.count();
  if ((slope != 1.0 || intercept != 0.0) && stored == ScalarType::Float64) {
    scaleDoubles(raw, count, slope, intercept);
    out.type = stored;
    out.data = std::move(raw);
  } else if (slope != 1.0 || intercept != 0.0) {
    std::vector<uint8_t> scaled;
    try {
      scaled.resize(static_cast<size_t>(count) * sizeof(float));
    } catch (const std::bad_alloc&) {
      return "needs more memory than is available for its scaled voxels";
    }
    scaleToFloat(raw, stored, count, slope, intercept, reinterpret_cast<float*>(scaled.data()));
    out.type = ScalarType::Float32;
    out.data = std::move(scaled);
  } else {
    out.type = stored;
    out.data = std::move(raw);
  }
  out.dims = header.dims;
  out.geometry = geometry;
  return {};
}

}  // namespace voluna
