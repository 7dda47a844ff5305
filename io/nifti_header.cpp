#include "nifti_header.h"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <sstream>

#include "file_checks.h"

namespace voluna {

namespace {

constexpr size_t kNifti1Size = 348;
constexpr size_t kNifti2Size = 540;

// Where each field lies in a header of either version, and how wide it is.
struct Layout {
  size_t size;
  size_t magic, magicLength;
  const char *ownMagic, *pairMagic;  // voxels in this file; voxels in a separate .img
  size_t dim, dimBytes;
  size_t datatype, bitpix;            // 16-bit integers in both
  size_t pixdim, voxOffset, slope, intercept;
  size_t qformCode, sformCode, codeBytes;
  size_t quatern, qoffset, srow;
  size_t realBytes;                   // float or double
};

constexpr Layout kNifti1{kNifti1Size, 344, 4, "n+1\0", "ni1\0", 40, 2, 70, 72, 76, 108, 112, 116,
                         252, 254, 2, 256, 268, 280, 4};
constexpr Layout kNifti2{kNifti2Size, 4, 8, "n+2\0\r\n\032\n", "ni2\0\r\n\032\n", 16, 8, 12, 14, 104, 168,
                         176, 184, 344, 348, 4, 352, 376, 400, 8};

template <typename T>
T readValue(std::string_view bytes, size_t offset, bool swap) {
  T value;
  char raw[sizeof(T)];
  std::memcpy(raw, bytes.data() + offset, sizeof(T));
  if (swap) {
    for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(raw[i], raw[sizeof(T) - 1 - i]);
  }
  std::memcpy(&value, raw, sizeof(T));
  return value;
}

// Fields of either version, read in the header's byte order.
struct Fields {
  std::string_view bytes;
  const Layout& at;
  bool swap;

  int64_t integer(size_t offset, size_t width) const {
    switch (width) {
      case 2: return readValue<int16_t>(bytes, offset, swap);
      case 4: return readValue<int32_t>(bytes, offset, swap);
      default: return readValue<int64_t>(bytes, offset, swap);
    }
  }
  double real(size_t offset) const {
    return at.realBytes == 4 ? readValue<float>(bytes, offset, swap) : readValue<double>(bytes, offset, swap);
  }
  void reals(size_t offset, int count, double* out) const {
    for (int i = 0; i < count; ++i) out[i] = real(offset + static_cast<size_t>(i) * at.realBytes);
  }
};

// The datatypes Voluna does not read, named for the message that refuses them.
struct Unsupported {
  int code;
  const char* name;
};

constexpr Unsupported kUnsupported[] = {
    {1, "binary (1 bit)"}, {32, "complex64"},   {128, "RGB colour"}, {1024, "int64"},       {1280, "uint64"},
    {1536, "float128"},    {1792, "complex128"}, {2048, "complex256"}, {2304, "RGBA colour"},
};

}  // namespace

NiftiCheck parseNiftiHeader(std::string_view bytes, int64_t maxVoxels) {
  NiftiCheck result;
  auto fail = [&](std::string why) {
    result.error = std::move(why);
    return result;
  };
  if (bytes.size() < 4) return fail("is too short for a NIfTI header (" + std::to_string(bytes.size()) + " bytes)");
  const int32_t size = readValue<int32_t>(bytes, 0, false);
  const int32_t swappedSize = readValue<int32_t>(bytes, 0, true);
  int version = 0;
  bool swap = false;
  if (size == 348 || swappedSize == 348) {
    version = 1;
    swap = size != 348;
  } else if (size == 540 || swappedSize == 540) {
    version = 2;
    swap = size != 540;
  } else {
    return fail("is not a NIfTI file (its first four bytes give a header size of " + std::to_string(size) +
                ", not 348 or 540)");
  }
  const Layout& layout = version == 1 ? kNifti1 : kNifti2;
  if (bytes.size() < layout.size) {
    return fail("ends inside its NIfTI header (" + std::to_string(bytes.size()) + " of " +
                std::to_string(layout.size) + " bytes)");
  }
  const std::string_view magic = bytes.substr(layout.magic, layout.magicLength);
  if (magic == std::string_view(layout.pairMagic, layout.magicLength)) {
    return fail(std::string("is a ") + (version == 1 ? "NIfTI" : "NIfTI-2") +
                " header whose voxels are in a separate .img file, which Voluna does not read" +
                (version == 1 ? "; save the volume as a single .nii file" : ""));
  }
  if (magic != std::string_view(layout.ownMagic, layout.magicLength)) {
    return fail(version == 1 ? "is not a NIfTI-1 file (its magic is not 'n+1')"
                             : "is not a NIfTI-2 file (its magic is not 'n+2')");
  }

  const Fields f{bytes, layout, swap};
  int64_t dim[8];
  for (int i = 0; i < 8; ++i) dim[i] = f.integer(layout.dim + layout.dimBytes * static_cast<size_t>(i), layout.dimBytes);
  const auto datatype = static_cast<int>(f.integer(layout.datatype, 2));
  const auto bitpix = static_cast<int>(f.integer(layout.bitpix, 2));
  const double voxOffset = version == 1 ? f.real(layout.voxOffset) : static_cast<double>(f.integer(layout.voxOffset, 8));
  const double slope = f.real(layout.slope), intercept = f.real(layout.intercept);

  NiftiHeader& h = result.header;
  h.swapped = swap;
  f.reals(layout.pixdim, 8, h.pixdim);
  NiftiPlacement& p = h.placement;
  p.present = true;
  p.qformCode = static_cast<int>(f.integer(layout.qformCode, layout.codeBytes));
  p.sformCode = static_cast<int>(f.integer(layout.sformCode, layout.codeBytes));
  p.qfac = h.pixdim[0];
  f.reals(layout.quatern, 3, p.quatern);
  f.reals(layout.qoffset, 3, p.qoffset);
  f.reals(layout.srow, 12, p.srow);

  if (dim[0] < 1 || dim[0] > 7) {
    return fail("has " + std::to_string(dim[0]) + " dimensions (dim[0]); a NIfTI file has 1 to 7");
  }
  std::string shown;
  for (int i = 1; i <= dim[0]; ++i) shown += (i > 1 ? " x " : "") + std::to_string(dim[i]);
  for (int i = 1; i <= dim[0]; ++i) {
    if (dim[i] < 1) return fail("has dimensions " + shown + "; every size must be at least 1");
  }
  for (int i = dim[0] + 1; i < 8; ++i) dim[i] = 1;
  // NIfTI-2 sizes are 64-bit: each is bounded before any product is formed.
  for (int i = 1; i < 8; ++i) {
    if (dim[i] > kMaxVoxels) return fail("has dimensions " + shown + ", more than the 2^31 - 1 voxels Voluna can hold");
  }
  if (dim[5] > 1) {
    return fail("holds " + std::to_string(dim[5]) + " values per voxel (dimensions " + shown +
                "); Voluna reads volumes of one value per voxel");
  }
  if (dim[4] > 1 || dim[6] > 1 || dim[7] > 1) {
    const int64_t partial = dim[4] * dim[6];  // each below 2^31: no overflow
    const std::string volumes = partial <= INT64_MAX / dim[7] ? std::to_string(partial * dim[7]) : "more than 2^63";
    return fail("holds a series of " + volumes + " volumes (dimensions " + shown +
                "); Voluna reads a single 3D volume: extract one volume first");
  }
  int64_t count = 1;
  for (int i = 1; i <= 3; ++i) {
    count *= dim[i];  // each below 2^31 and the product so far below 2^50: no overflow
    if (count > maxVoxels) {
      return fail("has dimensions " + shown +
                  (maxVoxels == kMaxVoxels ? ", more than the 2^31 - 1 voxels Voluna can hold"
                                           : ", more voxels than Voluna can address"));
    }
  }

  const ScalarTypeInfo* type = scalarTypeOfNifti(datatype);
  if (!type) {
    for (const Unsupported& u : kUnsupported) {
      if (u.code != datatype) continue;
      return fail("holds " + std::string(u.name) +
                  " voxels; Voluna reads one scalar per voxel of type uint8, int8, uint16, int16, uint32, int32, "
                  "float32 or float64");
    }
    return fail("has the unknown datatype code " + std::to_string(datatype));
  }
  const int bits = 8 * type->size;
  if (bitpix != bits) {
    return fail("says its voxels are " + std::string(type->name) + " but " + std::to_string(bitpix) +
                " bits wide (bitpix); " + type->name + " has " + std::to_string(bits));
  }
  if (!std::isfinite(voxOffset) || voxOffset < static_cast<double>(layout.size) || voxOffset > 1e15 ||
      voxOffset != std::floor(voxOffset)) {
    // Printed, not converted: a float far beyond any integer type is possible here.
    std::ostringstream offset;
    offset << voxOffset;
    return fail("has a data offset (vox_offset) of " + offset.str() + "; it must be a whole number of at least " +
                std::to_string(layout.size));
  }

  result.header.version = version;
  result.header.stored = type->type;
  result.header.spatialAxes = static_cast<int>(std::min<int64_t>(dim[0], 3));
  result.header.dims = Dims{static_cast<int>(dim[1]), static_cast<int>(dim[2]), static_cast<int>(dim[3])};
  result.header.bytesPerVoxel = type->size;
  result.header.voxelBytes = count * result.header.bytesPerVoxel;
  result.header.dataOffset = static_cast<int64_t>(voxOffset);
  result.header.integerStored = !type->floating;
  result.header.slope = slope;
  result.header.intercept = intercept;
  return result;
}

namespace {

// The header of an opened file, inflated from a .nii.gz (`gzip` says so).
NiftiCheck readHeader(int64_t maxVoxels, const Opened& file, bool& gzip) {
  NiftiCheck result;
  auto fail = [&](std::string why) {
    result.error = std::move(why);
    return result;
  };
  std::string start;
  std::string problem = readHeaderStart(file, kNifti2Size, start);
  if (!problem.empty()) return fail(problem);
  gzip = start.size() >= 2 && static_cast<unsigned char>(start[0]) == 0x1f &&
         static_cast<unsigned char>(start[1]) == 0x8b;
  if (gzip) {
    problem = inflatePrefix(file.file->fd(), 0, file.size, kNifti2Size, start);
    if (!problem.empty()) return fail("holds " + problem + " in its header");
    if (start.size() < kNifti1Size) {
      return fail("holds compressed data that breaks off inside its NIfTI header (after " +
                  std::to_string(start.size()) + " bytes)");
    }
  }
  NiftiCheck parsed = parseNiftiHeader(start, maxVoxels);
  parsed.header.gzip = gzip;
  return parsed;
}

}  // namespace

NiftiCheck readNiftiHeader(const std::string& path, int64_t maxVoxels) {
  bool gzip = false;
  return readHeader(maxVoxels, openRegular(path), gzip);
}

NiftiCheck checkNiftiFile(const std::string& path, int64_t maxVoxels) {
  const Opened file = openRegular(path);
  bool gzip = false;
  NiftiCheck result = readHeader(maxVoxels, file, gzip);
  if (!result.ok()) return result;
  auto fail = [&](std::string why) {
    result.error = std::move(why);
    return result;
  };
  const int64_t needed = result.header.dataOffset + result.header.voxelBytes;
  if (gzip) {
    const std::string problem = checkCompressedStream(file.file->fd(), 0, file.size, needed, "the file");
    if (!problem.empty()) return fail(problem);
    return result;
  }
  if (file.size < needed) {
    return fail(describeShortage("the data after its header (vox_offset " +
                                     std::to_string(result.header.dataOffset) + ")",
                                 file.size - result.header.dataOffset, result.header.voxelBytes));
  }
  return result;
}

}  // namespace voluna
