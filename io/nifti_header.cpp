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

struct Datatype {
  int code;
  int bits;
  const char* name;
  bool supported;
};

constexpr Datatype kDatatypes[] = {
    {1, 1, "binary (1 bit)", false},       {2, 8, "uint8", true},
    {4, 16, "int16", true},                {8, 32, "int32", true},
    {16, 32, "float32", true},             {32, 64, "complex64", false},
    {64, 64, "float64", true},             {128, 24, "RGB colour", false},
    {256, 8, "int8", true},                {512, 16, "uint16", true},
    {768, 32, "uint32", true},             {1024, 64, "int64", false},
    {1280, 64, "uint64", false},           {1536, 128, "float128", false},
    {1792, 128, "complex128", false},      {2048, 256, "complex256", false},
    {2304, 32, "RGBA colour", false},
};

const Datatype* datatypeOf(int code) {
  for (const Datatype& d : kDatatypes) {
    if (d.code == code) return &d;
  }
  return nullptr;
}

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
  const size_t headerSize = version == 1 ? kNifti1Size : kNifti2Size;
  if (bytes.size() < headerSize) {
    return fail("ends inside its NIfTI header (" + std::to_string(bytes.size()) + " of " +
                std::to_string(headerSize) + " bytes)");
  }

  int64_t dim[8];
  int datatype = 0, bitpix = 0;
  double voxOffset = 0, slope = 0, intercept = 0;
  if (version == 1) {
    const std::string_view magic = bytes.substr(344, 4);
    if (magic == std::string_view("ni1\0", 4)) {
      return fail("is a NIfTI header whose voxels are in a separate .img file, which Voluna does not read; "
                  "save the volume as a single .nii file");
    }
    if (magic != std::string_view("n+1\0", 4)) return fail("is not a NIfTI-1 file (its magic is not 'n+1')");
    for (int i = 0; i < 8; ++i) dim[i] = readValue<int16_t>(bytes, 40 + 2 * i, swap);
    datatype = readValue<int16_t>(bytes, 70, swap);
    bitpix = readValue<int16_t>(bytes, 72, swap);
    voxOffset = readValue<float>(bytes, 108, swap);
    slope = readValue<float>(bytes, 112, swap);
    intercept = readValue<float>(bytes, 116, swap);
  } else {
    const std::string_view magic = bytes.substr(4, 8);
    if (magic == std::string_view("ni2\0\r\n\032\n", 8)) {
      return fail("is a NIfTI-2 header whose voxels are in a separate .img file, which Voluna does not read");
    }
    if (magic != std::string_view("n+2\0\r\n\032\n", 8)) return fail("is not a NIfTI-2 file (its magic is not 'n+2')");
    for (int i = 0; i < 8; ++i) dim[i] = readValue<int64_t>(bytes, 16 + 8 * i, swap);
    datatype = readValue<int16_t>(bytes, 12, swap);
    bitpix = readValue<int16_t>(bytes, 14, swap);
    voxOffset = static_cast<double>(readValue<int64_t>(bytes, 168, swap));
    slope = readValue<double>(bytes, 176, swap);
    intercept = readValue<double>(bytes, 184, swap);
  }

  NiftiHeader& h = result.header;
  h.swapped = swap;
  if (version == 1) {
    for (int i = 0; i < 8; ++i) h.pixdim[i] = readValue<float>(bytes, 76 + 4 * i, swap);
    h.spaceUnits = static_cast<uint8_t>(bytes[123]) & 7;
    h.qformCode = readValue<int16_t>(bytes, 252, swap);
    h.sformCode = readValue<int16_t>(bytes, 254, swap);
    for (int i = 0; i < 3; ++i) {
      h.quatern[i] = readValue<float>(bytes, 256 + 4 * i, swap);
      h.qoffset[i] = readValue<float>(bytes, 268 + 4 * i, swap);
    }
    for (int i = 0; i < 12; ++i) h.srow[i] = readValue<float>(bytes, 280 + 4 * i, swap);
  } else {
    for (int i = 0; i < 8; ++i) h.pixdim[i] = readValue<double>(bytes, 104 + 8 * i, swap);
    h.spaceUnits = readValue<int32_t>(bytes, 500, swap) & 7;
    h.qformCode = readValue<int32_t>(bytes, 344, swap);
    h.sformCode = readValue<int32_t>(bytes, 348, swap);
    for (int i = 0; i < 3; ++i) {
      h.quatern[i] = readValue<double>(bytes, 352 + 8 * i, swap);
      h.qoffset[i] = readValue<double>(bytes, 376 + 8 * i, swap);
    }
    for (int i = 0; i < 12; ++i) h.srow[i] = readValue<double>(bytes, 400 + 8 * i, swap);
  }

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

  const Datatype* type = datatypeOf(datatype);
  if (!type) return fail("has the unknown datatype code " + std::to_string(datatype));
  if (!type->supported) {
    return fail("holds " + std::string(type->name) +
                " voxels; Voluna reads one scalar per voxel of type uint8, int8, uint16, int16, uint32, int32, "
                "float32 or float64");
  }
  if (bitpix != type->bits) {
    return fail("says its voxels are " + std::string(type->name) + " but " + std::to_string(bitpix) +
                " bits wide (bitpix); " + type->name + " has " + std::to_string(type->bits));
  }
  if (!std::isfinite(voxOffset) || voxOffset < static_cast<double>(headerSize) || voxOffset > 1e15 ||
      voxOffset != std::floor(voxOffset)) {
    // Printed, not converted: a float far beyond any integer type is possible here.
    std::ostringstream offset;
    offset << voxOffset;
    return fail("has a data offset (vox_offset) of " + offset.str() + "; it must be a whole number of at least " +
                std::to_string(headerSize));
  }

  result.header.version = version;
  result.header.datatype = datatype;
  result.header.spatialAxes = static_cast<int>(std::min<int64_t>(dim[0], 3));
  result.header.dims = Dims{static_cast<int>(dim[1]), static_cast<int>(dim[2]), static_cast<int>(dim[3])};
  result.header.bytesPerVoxel = type->bits / 8;
  result.header.voxelBytes = count * result.header.bytesPerVoxel;
  result.header.dataOffset = static_cast<int64_t>(voxOffset);
  result.header.integerStored = datatype != 16 && datatype != 64;
  result.header.slope = slope;
  result.header.intercept = intercept;
  return result;
}

NiftiCheck checkNiftiFile(const std::string& path, int64_t maxVoxels) {
  NiftiCheck result;
  auto fail = [&](std::string why) {
    result.error = std::move(why);
    return result;
  };
  const Opened file = openRegular(path);
  if (file.state == Opened::Missing) return fail("no such file");
  if (file.state != Opened::Ok) return fail(file.problem());
  if (file.size == 0) return fail("is empty");

  std::string start;
  std::string problem = readAt(file.file->fd(), 0, kNifti2Size, start);
  if (!problem.empty()) return fail("cannot be read (" + problem + ")");
  const bool gzip = start.size() >= 2 && static_cast<unsigned char>(start[0]) == 0x1f &&
                    static_cast<unsigned char>(start[1]) == 0x8b;
  if (gzip) {
    problem = inflatePrefix(file.file->fd(), 0, file.size, kNifti2Size, start);
    if (!problem.empty()) return fail("holds " + problem + " in its header");
    if (start.size() < kNifti1Size) {
      return fail("holds compressed data that breaks off inside its NIfTI header (after " +
                  std::to_string(start.size()) + " bytes)");
    }
  }
  result = parseNiftiHeader(start, maxVoxels);
  if (!result.ok()) return result;
  const int64_t needed = result.header.dataOffset + result.header.voxelBytes;
  if (gzip) {
    problem = checkCompressedStream(file.file->fd(), 0, file.size, needed, "the file");
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
