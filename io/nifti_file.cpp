#include "nifti_file.h"

#include <itkNiftiImageIO.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include <unistd.h>

#include "atomic_file.h"
#include "file_checks.h"
#include "formats.h"
#include "itk_reading.h"
#include "nifti_header.h"
#include "nifti_placement.h"
#include "nifti_scaling.h"

namespace voluna {

namespace {

// gzread and gzwrite take unsigned counts: large volumes go in parts.
constexpr int64_t kGzipPart = int64_t{1} << 30;

std::string readStream(gzFile stream, uint8_t* into, int64_t size, int64_t& got) {
  got = 0;
  while (got < size) {
    const auto part = static_cast<unsigned>(std::min(size - got, kGzipPart));
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

// NIfTI-2's voxels, read as ITK reads NIfTI-1's: the same type, scaling and
// geometry.
std::string readNifti2(const std::string& path, const NiftiHeader& header, Volume& out) {
  Geometry geometry;
  const double pixdim[3] = {header.pixdim[1], header.pixdim[2], header.pixdim[3]};
  const std::string placement = niftiGeometry(header.placement, pixdim, header.spatialAxes, geometry);
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

  const size_t width = scalarSize(header.stored);
  if (header.swapped && width > 1) {
    for (size_t at = 0; at < raw.size(); at += width) std::reverse(raw.begin() + at, raw.begin() + at + width);
  }
  const NiftiScaling scaling = niftiScalingOf(header);
  const int64_t count = header.dims.count();
  if (scaling.scaled && width != scalarSize(scaling.valueType())) {
    std::vector<uint8_t> scaled;
    try {
      scaled.resize(static_cast<size_t>(count) * scalarSize(scaling.valueType()));
    } catch (const std::bad_alloc&) {
      return "needs more memory than is available for its scaled voxels";
    }
    scaling.apply(raw.data(), count, scaled.data());
    raw = std::move(scaled);
  } else if (scaling.scaled) {
    scaling.apply(raw.data(), count, raw.data());
  }
  out.type = scaling.valueType();
  out.data = std::move(raw);
  out.dims = header.dims;
  out.geometry = geometry;
  return {};
}

template <typename T>
void poke(std::string& bytes, size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

}  // namespace

std::string checkNifti(const std::string& path) { return checkNiftiFile(path).error; }

std::string readNifti(const std::string& path, Volume& out) {
  out = Volume{};
  const NiftiCheck checked = readNiftiHeader(path);
  if (!checked.ok()) return checked.error;
  const NiftiHeader& header = checked.header;
  std::string problem;
  if (header.version == 2) {
    problem = readNifti2(path, header, out);
  } else if (const Format* named = formatOfName(path); !named || named->id != FormatId::Nifti) {
    // ITK opens NIfTI-1 only under a NIfTI name, and says it is none.
    return "is a NIfTI-1 file without a .nii name, which ITK's reader does not open: rename it to .nii (or "
           ".nii.gz if it is compressed)";
  } else {
    problem = readWithItk(itk::NiftiImageIO::New(), path, out);
    // ITK places the voxels; the header's own fields are kept beside.
    out.geometry.nifti = header.placement;
    out.geometry.nifti.axes = header.spatialAxes;
  }
  if (!problem.empty()) {
    out = Volume{};
    return problem;
  }
  keepIntegersWhole(niftiScalingOf(header), out);
  return {};
}

std::string niftiFileHeader(const std::string& path, const int64_t sizes[3], ScalarType type,
                            const Geometry& geometry, std::string& header) {
  header.clear();
  // NIfTI-1 holds each size in 16 bits.
  if (std::max({sizes[0], sizes[1], sizes[2]}) > 32767) {
    return path + ": NIfTI-1 holds at most 32767 voxels along an axis; write .nrrd or .mhd instead";
  }
  // One voxel written by ITK gives every field that does not depend on the
  // sizes, which are then set: the rest of the header is the same for any size.
  std::string bytes;
  const std::string problem = itkHeaderOfOneVoxel(itk::NiftiImageIO::New(), path, ".nii", type, geometry, bytes);
  if (!problem.empty()) return problem;
  float offset = 0;
  if (bytes.size() >= 348) std::memcpy(&offset, bytes.data() + 108, 4);
  if (bytes.size() < 348 || offset != static_cast<float>(bytes.size())) {
    return path + ": cannot be written (ITK's NIfTI header is not where it is expected)";
  }
  for (int axis = 0; axis < 3; ++axis) poke<int16_t>(bytes, 42 + 2 * static_cast<size_t>(axis), static_cast<int16_t>(sizes[axis]));
  // ITK writes its own qform into both transforms, with code 1; a NIfTI
  // input's own ones, sheared or not, are what its result should say.
  if (niftiPlacementHolds(geometry)) storePlacement(geometry.nifti, bytes);
  header = std::move(bytes);
  return {};
}

std::string writeNifti(const std::string& path, bool gzip, const Volume& volume) {
  const int64_t sizes[3] = {volume.dims.x, volume.dims.y, volume.dims.z};
  std::string header;
  std::string problem = niftiFileHeader(path, sizes, volume.type, volume.geometry, header);
  if (!problem.empty()) return problem;
  AtomicFile file(path);
  if (!gzip) {
    file.append(header.data(), header.size());
    file.append(volume.data.data(), volume.data.size());
    return file.commit();
  }
  if (!file.error().empty()) return file.error();
  const int fd = ::dup(file.fd());
  gzFile stream = fd < 0 ? nullptr : gzdopen(fd, "wb");
  if (!stream) {
    if (fd >= 0) ::close(fd);
    return path + ": cannot be written (could not start compression)";
  }
  auto put = [&](const uint8_t* data, int64_t size) {
    for (int64_t done = 0; done < size;) {
      const auto part = static_cast<unsigned>(std::min(size - done, kGzipPart));
      if (gzwrite(stream, data + done, part) != static_cast<int>(part)) return false;
      done += part;
    }
    return true;
  };
  bool written = put(reinterpret_cast<const uint8_t*>(header.data()), static_cast<int64_t>(header.size())) &&
                 put(volume.data.data(), static_cast<int64_t>(volume.data.size()));
  int code = Z_OK;
  const std::string why = written ? std::string() : gzerror(stream, &code);
  written = gzclose(stream) == Z_OK && written;
  if (!written) return path + ": cannot be written (" + (why.empty() ? std::strerror(errno) : why) + ")";
  return file.commit();
}

}  // namespace voluna
