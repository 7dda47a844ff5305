#include "volume_stream.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <itkMetaImageIO.h>
#include <itkNiftiImageIO.h>
#include <itkNrrdImageIO.h>

#include <fcntl.h>
#include <unistd.h>

#include "atomic_file.h"
#include "file_checks.h"
#include "formats.h"
#include "itk_reading.h"
#include "metaimage_header.h"
#include "nifti_header.h"
#include "nifti_placement.h"
#include "nifti_scaling.h"
#include "nrrd_header.h"
#include "volume_io.h"

namespace fs = std::filesystem;

namespace voluna {

namespace {

std::string systemError() { return std::strerror(errno); }

constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

void metaImageSource(const std::string& path, StreamSource& source) {
  source.uncompress = "save it uncompressed (MetaImage with CompressedData = False, for example with ITK's or "
                      "SimpleITK's image writer without compression) and run again";
  // The header alone first: a compressed stream is not inflated just to
  // find out that it cannot be streamed.
  std::string text(kMaxHeaderBytes, '\0');
  std::ifstream file(path, std::ios::binary);
  if (file) {
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    const HeaderParse parsed = parseMetaImageHeader(text, file.eof(), kMaxWholeVoxels);
    if (parsed.ok() && parsed.header.compressed) {
      const Dims d = parsed.header.dims;
      source.dims = {d.x, d.y, d.z};
      source.stored = parsed.header.type;
      source.compressed = true;
      return;
    }
  }
  const CheckedMetaImage checked = checkMetaImageFile(path, kMaxWholeVoxels);
  const MetaImageHeader& header = checked.header;
  // Known whenever the header was read, even if its data is not sound.
  source.dims = {header.dims.x, header.dims.y, header.dims.z};
  source.stored = header.type;
  if (!checked.ok()) {
    source.error = path + ": " + checked.error;
    return;
  }
  source.dataPath = checked.dataPath;
  ItkHeader itk;
  auto io = itk::MetaImageIO::New();
  const std::string problem = readItkHeader(io, path, kMaxWholeVoxels, itk);
  if (!problem.empty()) {
    source.error = path + ": its header " + problem;
    return;
  }
  source.geometry = itk.geometry;
  // ITK's image IO gives the byte order only once it reads voxels; MetaIO
  // has it from the header.
  source.swapped =
      scalarSize(source.stored) > 1 && io->GetMetaImagePointer()->BinaryDataByteOrderMSB() != kHostBigEndian;
  if (header.local) {
    source.dataOffset = header.localDataStart;
  } else if (header.headerSize == -1) {
    std::error_code ec;
    source.dataOffset = static_cast<int64_t>(fs::file_size(checked.dataPath, ec)) - header.voxelBytes();
    if (ec) source.error = checked.dataPath + ": cannot be read (" + ec.message() + ")";
  } else {
    source.dataOffset = header.headerSize;
  }
}

// Scaling as a whole load applies it. Factors on which ITK's reading of a
// NIfTI-1 file could differ from a plain reading of the header are refused.
std::string niftiScaling(const NiftiHeader& h, StreamSource& source) {
  if (scalingLeftToItk(h)) {
    std::ostringstream factors;
    factors << "scl_slope " << h.slope << ", scl_inter " << h.intercept;
    source.wholeOnly = true;
    return "its scaling (" + factors.str() + ") is read only by a whole load";
  }
  source.scaling = niftiScalingOf(h);
  return {};
}

void niftiSource(const std::string& path, StreamSource& source) {
  source.uncompress = "decompress it with 'gunzip -k " + path + "' and filter the .nii that writes";
  const NiftiCheck header = readNiftiHeader(path, kMaxWholeVoxels);
  if (!header.ok()) {
    source.error = path + ": " + header.error;
    return;
  }
  if (header.header.gzip) {
    source.dims = {header.header.dims.x, header.header.dims.y, header.header.dims.z};
    source.stored = header.header.stored;
    source.compressed = true;
    return;
  }
  const NiftiCheck checked = checkNiftiFile(path, kMaxWholeVoxels);
  if (!checked.ok()) {
    source.error = path + ": " + checked.error;
    return;
  }
  const NiftiHeader& h = checked.header;
  source.dims = {h.dims.x, h.dims.y, h.dims.z};
  source.stored = h.stored;
  std::string problem;
  if (h.version == 2) {
    const double pixdim[3] = {h.pixdim[1], h.pixdim[2], h.pixdim[3]};
    problem = niftiGeometry(h.placement, pixdim, h.spatialAxes, source.geometry);
  } else {
    ItkHeader itk;
    problem = readItkHeader(itk::NiftiImageIO::New(), path, kMaxWholeVoxels, itk);
    if (problem.empty()) {
      // ITK places the voxels, as in a whole load; the header's own fields are kept beside.
      source.geometry = itk.geometry;
      source.geometry.nifti = h.placement;
      source.geometry.nifti.axes = h.spatialAxes;
    } else {
      problem = "its header " + problem;
    }
  }
  if (problem.empty()) problem = niftiScaling(h, source);
  if (!problem.empty()) {
    source.error = path + ": " + problem;
    return;
  }
  source.dataPath = path;
  source.dataOffset = h.dataOffset;
  source.swapped = h.swapped;
}

void nrrdSource(const std::string& path, StreamSource& source) {
  source.uncompress = "save it again with raw encoding (the header line 'encoding: raw') and run again";
  const Opened file = openRegular(path);
  std::string text;
  std::string problem = readHeaderStart(file, size_t{1} << 20, text);
  if (!problem.empty()) {
    source.error = path + ": " + problem;
    return;
  }
  const NrrdCheck parsed = parseNrrdHeader(text, static_cast<int64_t>(text.size()) == file.size, kMaxWholeVoxels);
  if (!parsed.ok()) {
    source.error = path + ": " + parsed.error;
    return;
  }
  // ITK decides which axes are the volume's and which hold components, and
  // places it: the header alone, as a whole load reads it.
  ItkHeader itk;
  problem = readItkHeader(itk::NrrdImageIO::New(), path, kMaxWholeVoxels, itk);
  if (!problem.empty()) {
    source.error = path + ": " + problem;
    return;
  }
  source.dims = {itk.size[0], itk.size[1], itk.size[2]};
  source.stored = itk.type;
  source.geometry = itk.geometry;
  if (parsed.header.encoding != "raw") {
    source.compressed = true;
    return;
  }
  const NrrdCheck checked = checkNrrdFile(path, kMaxWholeVoxels);
  if (!checked.ok()) {
    source.error = path + ": " + checked.error;
    return;
  }
  source.dataPath = checked.dataPath;
  source.dataOffset = checked.dataOffset;
  source.swapped = scalarSize(source.stored) > 1 && checked.header.bigEndian != kHostBigEndian;
}

}  // namespace

ScalarType StreamSource::valueType() const { return scaling.scaled ? scaling.valueType() : stored; }

bool streamable(const std::string& path) {
  const Format* format = formatOfName(path);
  return format && format->streams;
}

StreamSource inspectVolume(const std::string& path) {
  StreamSource source;
  const Format* format = formatOfName(path);
  switch (format && format->streams ? format->id : FormatId::Raw) {
    case FormatId::MetaImage: metaImageSource(path, source); break;
    case FormatId::Nifti: niftiSource(path, source); break;
    case FormatId::Nrrd: nrrdSource(path, source); break;
    default: source.error = path + ": only MetaImage, NIfTI and NRRD volumes are read a part at a time"; break;
  }
  if (source.ok() && !source.compressed) source.notice = makeDisplayable(source.geometry);
  return source;
}

BoxReader::BoxReader(const StreamSource& source) : source_(source) {
  if (source.compressed) {
    error_ = source.dataPath + ": compressed voxels cannot be read a part at a time";
    return;
  }
  fd_ = ::open(source.dataPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) error_ = source.dataPath + ": cannot be opened (" + systemError() + ")";
}

BoxReader::~BoxReader() {
  if (fd_ >= 0) ::close(fd_);
}

const uint8_t* BoxReader::readValues(const Box& box, std::string& problem) {
  const Extent& d = source_.dims;
  const auto size = static_cast<int64_t>(scalarSize(source_.stored));
  const int64_t width = box.width(), height = box.height();
  stored_.resize(static_cast<size_t>(width * height * size));
  const int64_t planeStart = source_.dataOffset + box.z0 * d.y * d.x * size;
  // Whole rows of the volume lie one after another: one read per plane.
  if (box.x0 == 0 && box.x1 == d.x) {
    problem = readExactly(fd_, stored_.data(), stored_.size(), planeStart + box.y0 * d.x * size);
  } else {
    for (int64_t y = box.y0; y < box.y1 && problem.empty(); ++y) {
      problem = readExactly(fd_, stored_.data() + (y - box.y0) * width * size, static_cast<size_t>(width * size),
                            planeStart + (y * d.x + box.x0) * size);
    }
  }
  if (!problem.empty()) {
    problem = source_.dataPath + ": cannot be read (" + problem + ")";
    return nullptr;
  }
  if (source_.swapped && size > 1) {
    for (size_t at = 0; at < stored_.size(); at += static_cast<size_t>(size)) {
      std::reverse(stored_.begin() + static_cast<std::ptrdiff_t>(at),
                   stored_.begin() + static_cast<std::ptrdiff_t>(at) + size);
    }
  }
  if (!source_.scaling.scaled) return stored_.data();
  values_.resize(static_cast<size_t>(width * height) * scalarSize(source_.valueType()));
  source_.scaling.apply(stored_.data(), width * height, values_.data());
  return values_.data();
}

ValueScan BoxReader::scan(const std::function<bool(double)>& keepGoing) {
  ValueScan result;
  result.type = source_.valueType();
  if (!error_.empty()) {
    result.error = error_;
    return result;
  }
  if (result.type == ScalarType::UInt8) return result;
  const Extent& d = source_.dims;
  // A few MiB at most, whatever the plane size and budget.
  const int64_t rows = std::clamp<int64_t>((int64_t{1} << 18) / d.x, 1, d.y);
  const bool floating = isFloatingPoint(result.type);
  // A whole load turns integers scaled by whole numbers back into the
  // smallest signed type that holds them, when every value is whole.
  bool whole = source_.scaling.wholeFactors && result.type == ScalarType::Float32;
  float low = 0, high = 0;
  bool found = false, first = true;
  ValueRange range;
  const double planes = static_cast<double>(d.z);
  for (int64_t z = 0; z < d.z; ++z) {
    for (int64_t y = 0; y < d.y; y += rows) {
      const double fraction = (static_cast<double>(z) + static_cast<double>(y) / static_cast<double>(d.y)) / planes;
      if (keepGoing && !keepGoing(fraction)) {
        result.stopped = true;
        return result;
      }
      const Box part{0, y, z, d.x, std::min(y + rows, d.y), z + 1};
      const uint8_t* values = readValues(part, result.error);
      if (!values) return result;
      const int64_t count = part.count();
      const ValueRange partRange = findValueRange(values, result.type, count);
      // A part without any finite value gives [0, 0], which must not count.
      bool finite = !floating || partRange.min != 0 || partRange.max != 0;
      if (!finite) {
        if (result.type == ScalarType::Float32) {
          const auto* v = reinterpret_cast<const float*>(values);
          finite = std::any_of(v, v + count, [](float x) { return std::isfinite(x); });
        } else {
          const auto* v = reinterpret_cast<const double*>(values);
          finite = std::any_of(v, v + count, [](double x) { return std::isfinite(x); });
        }
      }
      if (finite) {
        range = found ? mergeRanges(range, partRange) : partRange;
        found = true;
      }
      if (whole) {
        const auto* v = reinterpret_cast<const float*>(values);
        for (int64_t i = 0; i < count && whole; ++i) {
          if (v[i] != std::floor(v[i])) {
            whole = false;
          } else {
            low = first ? v[i] : std::min(low, v[i]);
            high = first ? v[i] : std::max(high, v[i]);
            first = false;
          }
        }
      }
    }
  }
  ScalarType wholeType;
  if (whole && wholeValueType(low, high, wholeType)) result.type = wholeType;
  result.range = found ? range : ValueRange{};
  // The bricks that follow count their own planes, not the pass's.
  stored_ = {};
  values_ = {};
  return result;
}

std::string BoxReader::read(const Box& box, ValueRange range, float* out) {
  if (!error_.empty()) return error_;
  const int64_t planeVoxels = box.width() * box.height();
  for (int64_t z = box.z0; z < box.z1; ++z) {
    Box plane = box;
    plane.z0 = z;
    plane.z1 = z + 1;
    std::string problem;
    const uint8_t* values = readValues(plane, problem);
    if (!values) return problem;
    mapToUnit(values, source_.valueType(), planeVoxels, range, out + (z - box.z0) * planeVoxels);
  }
  return {};
}

std::string streamedOutputProblem(const std::string& path, Extent dims) {
  OutputFormat format;
  std::string error;
  if (!outputFormatFor(path, format, error)) return error;
  const FormatExtension* extension = nullptr;
  // Names of no format are raw results, which are written a box at a time.
  if (formatOfName(path, &extension) && !extension->brickwise) {
    return path + ": results filtered in bricks are written uncompressed as .mhd (with its .raw), .raw (with a "
                  ".mhd beside it), .nii or .nrrd";
  }
  if (format == OutputFormat::Nifti && std::max({dims.x, dims.y, dims.z}) > 32767) {
    return path + ": NIfTI-1 holds at most 32767 voxels along an axis; write .nrrd or .mhd instead";
  }
  return {};
}

StreamedResult::StreamedResult(const std::string& path, Extent dims, ScalarType type, const Geometry& geometry)
    : dataPath_(path), dims_(dims), type_(type), geometry_(geometry) {
  error_ = streamedOutputProblem(path, dims);
  if (!error_.empty()) return;
  OutputFormat format;
  outputFormatFor(path, format, error_);
  if (format == OutputFormat::Raw) {
    headerPath_ = headerPathFor(path);
  } else if (format == OutputFormat::MetaImageHeader) {
    dataPath_ = fs::path(path).replace_extension(".raw").string();
    headerPath_ = path;
  } else {
    const int64_t sizes[3] = {dims.x, dims.y, dims.z};
    error_ = singleFileHeader(path, format, sizes, type, geometry, prefix_);
    if (!error_.empty()) return;
  }
  file_ = std::make_unique<AtomicFile>(dataPath_);
  // Sized at once, so that a full disk shows before the work where the
  // file system reserves space, and each box lands at its own offset.
  error_ = file_->resize(static_cast<int64_t>(prefix_.size()) + dims.count() * static_cast<int64_t>(scalarSize(type)));
}

StreamedResult::~StreamedResult() = default;

std::string StreamedResult::write(const Box& box, const void* values) {
  if (!error_.empty()) return error_;
  const auto size = static_cast<int64_t>(scalarSize(type_));
  const int64_t width = box.width(), height = box.height();
  const bool wholeRows = box.x0 == 0 && box.x1 == dims_.x;
  for (int64_t z = box.z0; z < box.z1; ++z) {
    const int64_t planeStart = static_cast<int64_t>(prefix_.size()) + z * dims_.y * dims_.x * size;
    const auto* from = static_cast<const uint8_t*>(values) + (z - box.z0) * width * height * size;
    if (wholeRows) {
      error_ = file_->writeAt(from, static_cast<size_t>(width * height * size), planeStart + box.y0 * dims_.x * size);
    } else {
      for (int64_t y = box.y0; y < box.y1 && error_.empty(); ++y) {
        error_ = file_->writeAt(from + (y - box.y0) * width * size, static_cast<size_t>(width * size),
                                planeStart + (y * dims_.x + box.x0) * size);
      }
    }
    if (!error_.empty()) return error_;
  }
  return {};
}

std::string StreamedResult::commit() {
  if (!error_.empty()) return error_;
  // The header last: a file that ends before its voxels are all written
  // never looks like a volume.
  if (!prefix_.empty() && !(error_ = file_->writeAt(prefix_.data(), prefix_.size(), 0)).empty()) return error_;
  if (!(error_ = file_->commit()).empty()) return error_;
  if (headerPath_.empty()) return {};
  Volume described;
  described.dims = {static_cast<int>(dims_.x), static_cast<int>(dims_.y), static_cast<int>(dims_.z)};
  described.type = type_;
  described.geometry = geometry_;
  const std::string text = rawHeaderText(dataPath_, described);
  return writeFileAtomically(headerPath_, text.data(), text.size());
}

}  // namespace voluna
