#include "volume_io.h"

#include <itkGDCMImageIO.h>
#include <itkImageIORegion.h>
#include <itkMetaImageIO.h>
#include <itkNiftiImageIO.h>
#include <itkNrrdImageIO.h>
#include <itkTIFFImageIO.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dicom_series.h"
#include "file_checks.h"
#include "imagej_tiff.h"
#include "itk_reading.h"
#include "metaimage_header.h"
#include "nifti2_reading.h"
#include "nifti_header.h"
#include "nrrd_header.h"
#include "spatial_units.h"
#include "tiff_pages.h"

namespace voluna {

namespace fs = std::filesystem;

namespace {

std::string systemError() { return std::strerror(errno); }

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

enum class InputFormat { MetaImage, Nifti, Nrrd, Tiff, Dicom };

// By extension first; files without a known one by their first bytes, and
// anything else as MetaImage, whose checks say plainly what they found.
InputFormat inputFormatOf(const std::string& path) {
  const std::string name = lowerCase(fs::path(path).filename().string());
  if (endsWith(name, ".nii") || endsWith(name, ".nii.gz")) return InputFormat::Nifti;
  if (endsWith(name, ".nrrd") || endsWith(name, ".nhdr")) return InputFormat::Nrrd;
  if (endsWith(name, ".tif") || endsWith(name, ".tiff")) return InputFormat::Tiff;
  if (endsWith(name, ".mha") || endsWith(name, ".mhd")) return InputFormat::MetaImage;
  if (endsWith(name, ".dcm") || endsWith(name, ".ima")) return InputFormat::Dicom;
  const Opened file = openRegular(path);
  std::string start;
  if (file.state != Opened::Ok || !readAt(file.file->fd(), 0, 132, start).empty()) return InputFormat::MetaImage;
  if (start.rfind("NRRD000", 0) == 0) return InputFormat::Nrrd;
  if (start.rfind("II*", 0) == 0 || start.rfind(std::string("MM\0*", 4), 0) == 0) return InputFormat::Tiff;
  if (start.size() == 132 && start.compare(128, 4, "DICM") == 0) return InputFormat::Dicom;
  if (start.size() >= 4) {
    int32_t size = 0;
    std::memcpy(&size, start.data(), 4);
    if (size == 348 || size == 0x5c010000 || size == 540 || size == 0x1c020000) return InputFormat::Nifti;
  }
  return InputFormat::MetaImage;
}

// What VTK's reader used to be checked against, now ITK's: its reading of the
// header must be what ours found sound.
std::string checkedMetaImage(const std::string& path, Volume& volume) {
  const CheckedMetaImage checked = checkMetaImageFile(path);
  if (!checked.ok()) return checked.error;
  const MetaImageHeader& header = checked.header;
  auto io = itk::MetaImageIO::New();
  const std::string problem = readWithItk(io, path, volume);
  if (!problem.empty()) return problem;
  static const ScalarType kTypes[] = {ScalarType::Int8,  ScalarType::UInt8, ScalarType::Int16,   ScalarType::UInt16,
                                      ScalarType::Int32, ScalarType::UInt32, ScalarType::Float32, ScalarType::Float64};
  const ScalarType expected = kTypes[static_cast<int>(header.elementType)];
  if (volume.dims.x != header.dims.x || volume.dims.y != header.dims.y || volume.dims.z != header.dims.z ||
      volume.type != expected) {
    const std::string read = std::string(scalarName(volume.type)) + ", " + std::to_string(volume.dims.x) + " x " +
                             std::to_string(volume.dims.y) + " x " + std::to_string(volume.dims.z);
    volume = Volume{};
    return "was read as " + read + " voxels, not as its header says (" + elementTypeName(header.elementType) +
           ", " + std::to_string(header.dims.x) + " x " + std::to_string(header.dims.y) + " x " +
           std::to_string(header.dims.z) + ")";
  }
  return {};
}

// ITK applies a NIfTI file's scaling and hands back floats. Integers scaled
// by whole numbers (a CT stored as uint16 with intercept -1024) are still
// whole: they are given back as the smallest signed integer type that holds
// them, so that the result is written in a type like the scanner's.
void keepIntegersWhole(const NiftiHeader& header, Volume& volume) {
  if (volume.type != ScalarType::Float32 || !header.integerStored || header.slope == 0) return;
  if (header.slope != std::floor(header.slope) || header.intercept != std::floor(header.intercept)) return;
  const int64_t count = volume.dims.count();
  const auto* values = reinterpret_cast<const float*>(volume.data.data());
  float low = values[0], high = values[0];
  for (int64_t i = 0; i < count; ++i) {
    if (values[i] != std::floor(values[i])) return;
    low = std::min(low, values[i]);
    high = std::max(high, values[i]);
  }
  // Floats hold every integer up to 2^24 exactly; beyond that keep them as they are.
  if (low < -16777216.0f || high > 16777216.0f) return;
  const bool fitsShort = low >= -32768.0f && high <= 32767.0f;
  std::vector<uint8_t> data(static_cast<size_t>(count) * (fitsShort ? 2 : 4));
  for (int64_t i = 0; i < count; ++i) {
    if (fitsShort) {
      reinterpret_cast<int16_t*>(data.data())[i] = static_cast<int16_t>(values[i]);
    } else {
      reinterpret_cast<int32_t*>(data.data())[i] = static_cast<int32_t>(values[i]);
    }
  }
  volume.type = fitsShort ? ScalarType::Int16 : ScalarType::Int32;
  volume.data = std::move(data);
}

std::string readVolume(const std::string& path, InputFormat format, const LoadOptions& options, Volume& volume,
                       std::string& notice) {
  if (format != InputFormat::Dicom && !options.series.empty()) {
    return "is not DICOM: it holds no series to choose " + options.series + " from";
  }
  switch (format) {
    case InputFormat::MetaImage: return checkedMetaImage(path, volume);
    case InputFormat::Nifti: {
      const NiftiCheck checked = checkNiftiFile(path);
      if (!checked.ok()) return checked.error;
      std::string problem;
      if (checked.header.version == 2) {
        problem = readNiftiVoxels(path, checked.header, volume);
      } else {
        auto io = itk::NiftiImageIO::New();
        problem = readWithItk(io, path, volume);
      }
      if (problem.empty()) {
        keepIntegersWhole(checked.header, volume);
        niftiUnitsAfterRead(checked.header.spaceUnits, checked.header.version != 2, volume.geometry);
      }
      return problem;
    }
    case InputFormat::Nrrd: {
      const NrrdCheck checked = checkNrrdFile(path);
      if (!checked.ok()) return checked.error;
      auto io = itk::NrrdImageIO::New();
      const std::string problem = readWithItk(io, path, volume);
      if (problem.empty()) nrrdUnitsAfterRead(checked.header.spaceUnits, volume.geometry);
      return problem;
    }
    case InputFormat::Tiff: {
      std::error_code ec;
      const auto size = static_cast<int64_t>(fs::file_size(path, ec));
      if (ec) return "cannot be opened (" + ec.message() + ")";
      if (size == 0) return "is empty";
      std::string problem = checkTiffPages(path, size);
      if (!problem.empty()) return problem;
      const ImageJStack stack = readImageJStack(path);
      problem = checkImageJStack(stack);
      if (!problem.empty()) return problem;
      auto io = itk::TIFFImageIO::New();
      problem = readWithItk(io, path, volume);
      if (problem.empty()) applyImageJGeometry(stack, volume.geometry);
      return problem;
    }
    case InputFormat::Dicom: return readDicom(path, options.series, volume, notice);
  }
  return "has an unknown format";
}

}  // namespace

std::string makeDisplayable(Geometry& geometry) {
  std::string notice;
  static const char* const kAxes[3] = {"x", "y", "z"};
  for (int axis = 0; axis < 3; ++axis) {
    double& spacing = geometry.spacing[axis];
    if (std::fabs(spacing) >= 1e-6 && std::fabs(spacing) <= 1e6) continue;
    if (!notice.empty()) notice += "; ";
    std::ostringstream text;
    text << "spacing " << spacing << " along " << kAxes[axis] << " cannot be displayed, 1 is used";
    notice += text.str();
    spacing = 1.0;
  }
  for (double& value : geometry.origin) {
    if (!std::isfinite(value)) value = 0.0;
  }
  return notice;
}

LoadResult loadVolume(const std::string& path) { return loadVolume(path, LoadOptions{}); }

SeriesListing listSeries(const std::string& path) { return listDicomSeries(path); }

LoadResult loadVolume(const std::string& path, const LoadOptions& options) {
  LoadResult result;
  auto fail = [&](const std::string& why) {
    result.error = path + ": " + why;
    result.volume = Volume{};
    result.notice.clear();
    return result;
  };

  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) return fail("cannot be opened (" + ec.message() + ")");
  if (!fs::exists(status)) return fail("no such file");
  if (!fs::is_regular_file(status) && !fs::is_directory(status)) return fail("is not a regular file");

  try {
    // A folder is a way to the DICOM series in it.
    const InputFormat format = fs::is_directory(status) ? InputFormat::Dicom : inputFormatOf(path);
    const std::string problem = readVolume(path, format, options, result.volume, result.notice);
    if (!problem.empty()) return fail(problem);
  } catch (const std::bad_alloc&) {
    return fail("needs more memory than is available to be read");
  } catch (const itk::ExceptionObject& error) {
    return fail(std::string("could not be read (") + error.GetDescription() + ")");
  } catch (const std::exception& error) {
    return fail(std::string("could not be read (") + error.what() + ")");
  }

  const std::string displayable = makeDisplayable(result.volume.geometry);
  if (!displayable.empty()) result.notice += (result.notice.empty() ? "" : "; ") + displayable;
  return result;
}

std::string headerPathFor(const std::string& rawPath) {
  fs::path header(rawPath);
  header.replace_extension(".mhd");
  return header.string();
}

std::string writeFileAtomically(const std::string& path, const void* data, size_t size) {
  const fs::path target(path);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string temporary = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return path + ": cannot be written (" + systemError() + ")";

  auto abandon = [&](const std::string& why) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return path + ": cannot be written (" + why + ")";
  };
  const auto* cursor = static_cast<const char*>(data);
  size_t left = size;
  while (left > 0) {
    const ssize_t written = ::write(fd, cursor, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return abandon(systemError());
    }
    cursor += written;
    left -= static_cast<size_t>(written);
  }
  // mkstemp creates the file private to its owner; give it the usual rights.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd, 0666 & ~mask) != 0 || ::fsync(fd) != 0) return abandon(systemError());
  if (::close(fd) != 0) {
    ::unlink(temporary.c_str());
    return path + ": cannot be written (" + systemError() + ")";
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string why = systemError();
    ::unlink(temporary.c_str());
    return path + ": cannot be written (" + why + ")";
  }
  return {};
}

namespace {

const char* metaElementType(ScalarType type) {
  switch (type) {
    case ScalarType::UInt8: return "MET_UCHAR";
    case ScalarType::Int8: return "MET_CHAR";
    case ScalarType::UInt16: return "MET_USHORT";
    case ScalarType::Int16: return "MET_SHORT";
    case ScalarType::UInt32: return "MET_UINT";
    case ScalarType::Int32: return "MET_INT";
    case ScalarType::Float32: return "MET_FLOAT";
    case ScalarType::Float64: return "MET_DOUBLE";
  }
  return "MET_UCHAR";
}

itk::IOComponentEnum itkComponentOf(ScalarType type) {
  using C = itk::IOComponentEnum;
  switch (type) {
    case ScalarType::UInt8: return C::UCHAR;
    case ScalarType::Int8: return C::CHAR;
    case ScalarType::UInt16: return C::USHORT;
    case ScalarType::Int16: return C::SHORT;
    case ScalarType::UInt32: return C::UINT;
    case ScalarType::Int32: return C::INT;
    case ScalarType::Float32: return C::FLOAT;
    case ScalarType::Float64: return C::DOUBLE;
  }
  return C::UCHAR;
}

// Shortest text that reads back as the same double.
std::string exact(double value) {
  char text[40];
  for (int digits = 6; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

// The raw voxels and a MetaImage header naming them, data first so that the
// header never names data that is not there yet.
}  // namespace

std::string rawHeaderText(const std::string& rawPath, const Volume& volume) {
  const Geometry g = inMillimetres(volume.geometry);
  std::ostringstream header;
  header << "ObjectType = Image\n"
         << "NDims = 3\n"
         << "BinaryData = True\n"
         << "BinaryDataByteOrderMSB = False\n"
         << "CompressedData = False\n"
         << "TransformMatrix =";
  // MetaImage lists the axes' directions one after the other.
  for (int axis = 0; axis < 3; ++axis) {
    for (int r = 0; r < 3; ++r) header << ' ' << exact(g.direction[r * 3 + axis]);
  }
  header << "\nOffset = " << exact(g.origin[0]) << ' ' << exact(g.origin[1]) << ' ' << exact(g.origin[2]) << '\n'
         << "ElementSpacing = " << exact(g.spacing[0]) << ' ' << exact(g.spacing[1]) << ' ' << exact(g.spacing[2])
         << '\n'
         << "DimSize = " << volume.dims.x << ' ' << volume.dims.y << ' ' << volume.dims.z << '\n'
         << "ElementType = " << metaElementType(volume.type) << '\n'
         << "ElementDataFile = " << fs::path(rawPath).filename().string() << '\n';
  return header.str();
}

namespace {

std::string writeRawWithHeader(const std::string& rawPath, const std::string& headerPath, const Volume& volume) {
  std::string error = writeFileAtomically(rawPath, volume.data.data(), volume.data.size());
  if (!error.empty()) return error;
  const std::string text = rawHeaderText(rawPath, volume);
  return writeFileAtomically(headerPath, text.data(), text.size());
}

// ITK writes into a temporary file of the same extension beside the target,
// which is then renamed over it.
std::string writeWithItk(itk::ImageIOBase* io, const std::string& path, const std::string& extension,
                         const Volume& volume, const Geometry& geometry,
                         const std::function<std::string(const std::string&)>& finish = {}) {
  const fs::path target(path);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string temporary = (folder / ("." + target.filename().string() + ".XXXXXX" + extension)).string();
  const int fd = mkstemps(temporary.data(), static_cast<int>(extension.size()));
  if (fd < 0) return path + ": cannot be written (" + systemError() + ")";
  ::close(fd);
  auto abandon = [&](const std::string& why) {
    ::unlink(temporary.c_str());
    return path + ": cannot be written (" + why + ")";
  };
  try {
    const Geometry& g = geometry;
    io->SetNumberOfDimensions(3);
    io->SetPixelType(itk::IOPixelEnum::SCALAR);
    io->SetNumberOfComponents(1);
    io->SetComponentType(itkComponentOf(volume.type));
    const int size[3] = {volume.dims.x, volume.dims.y, volume.dims.z};
    itk::ImageIORegion region(3);
    for (unsigned axis = 0; axis < 3; ++axis) {
      io->SetDimensions(axis, static_cast<itk::SizeValueType>(size[axis]));
      io->SetSpacing(axis, g.spacing[axis]);
      io->SetOrigin(axis, g.origin[axis]);
      io->SetDirection(axis, std::vector<double>{g.direction[axis], g.direction[3 + axis], g.direction[6 + axis]});
      region.SetIndex(axis, 0);
      region.SetSize(axis, static_cast<itk::SizeValueType>(size[axis]));
    }
    io->SetIORegion(region);
    io->SetFileName(temporary);
    io->WriteImageInformation();
    io->Write(volume.data.data());
  } catch (const itk::ExceptionObject& error) {
    std::string text = error.GetDescription();
    for (char& c : text) {
      if (c == '\n') c = ' ';
    }
    return abandon(text);
  } catch (const std::exception& error) {
    return abandon(error.what());
  }
  if (finish) {
    const std::string problem = finish(temporary);
    if (!problem.empty()) return abandon(problem);
  }
  // ITK closes without syncing: make the data durable before it replaces the old file.
  const int sync = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
  if (sync < 0 || ::fsync(sync) != 0) {
    const std::string why = systemError();
    if (sync >= 0) ::close(sync);
    return abandon(why);
  }
  ::close(sync);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::chmod(temporary.c_str(), 0666 & ~mask);
  if (std::rename(temporary.c_str(), path.c_str()) != 0) return abandon(systemError());
  return {};
}

}  // namespace

bool outputFormatFor(const std::string& path, OutputFormat& format, std::string& error) {
  const std::string name = lowerCase(fs::path(path).filename().string());
  if (endsWith(name, ".nii.gz")) {
    format = OutputFormat::NiftiGzip;
  } else if (endsWith(name, ".nii")) {
    format = OutputFormat::Nifti;
  } else if (endsWith(name, ".nrrd")) {
    format = OutputFormat::Nrrd;
  } else if (endsWith(name, ".mha")) {
    format = OutputFormat::MetaImage;
  } else if (endsWith(name, ".mhd")) {
    format = OutputFormat::MetaImageHeader;
  } else if (endsWith(name, ".tif") || endsWith(name, ".tiff")) {
    format = OutputFormat::Tiff;
  } else if (endsWith(name, ".dcm")) {
    error = "'" + path + "': Voluna does not write DICOM (a series needs the scanner's patient and study data); "
            "write NIfTI (.nii or .nii.gz) instead, which keeps the type, spacing, origin and orientation";
    return false;
  } else {
    // .raw, and any other name: the bare voxels, as results always were.
    format = OutputFormat::Raw;
  }
  return true;
}

std::string writeVolume(const std::string& path, const Volume& volume) {
  OutputFormat format;
  std::string error;
  if (!outputFormatFor(path, format, error)) return error;
  if (volume.data.size() != static_cast<size_t>(volume.dims.count()) * scalarSize(volume.type)) {
    return path + ": cannot be written (the volume holds " + std::to_string(volume.data.size()) +
           " bytes, not the " + std::to_string(volume.dims.count() * static_cast<int64_t>(scalarSize(volume.type))) +
           " its size and type need)";
  }
  switch (format) {
    case OutputFormat::Raw: return writeRawWithHeader(path, headerPathFor(path), volume);
    case OutputFormat::MetaImageHeader: {
      fs::path raw(path);
      raw.replace_extension(".raw");
      return writeRawWithHeader(raw.string(), path, volume);
    }
    case OutputFormat::MetaImage: {
      // MetaImage has no unit: its readers take millimetres.
      auto io = itk::MetaImageIO::New();
      io->SetUseCompression(false);
      return writeWithItk(io, path, ".mha", volume, inMillimetres(volume.geometry));
    }
    case OutputFormat::Nifti:
    case OutputFormat::NiftiGzip: {
      // ITK writes every NIfTI in millimetres.
      const bool micrometres = volume.geometry.unit == LengthUnit::Micrometre;
      return writeWithItk(itk::NiftiImageIO::New(), path, format == OutputFormat::Nifti ? ".nii" : ".nii.gz", volume,
                          volume.geometry, micrometres ? markNiftiMicrometres : std::function<std::string(const std::string&)>());
    }
    case OutputFormat::Nrrd: {
      const LengthUnit unit = volume.geometry.unit;
      return writeWithItk(itk::NrrdImageIO::New(), path, ".nrrd", volume, volume.geometry,
                          [unit](const std::string& written) {
                            return unit == LengthUnit::Millimetre ? std::string() : markNrrdUnits(written, unit);
                          });
    }
    case OutputFormat::Tiff: {
      std::string bytes;
      const std::string problem = imageJTiffBytes(volume, bytes);
      if (!problem.empty()) return path + ": " + problem;
      return writeFileAtomically(path, bytes.data(), bytes.size());
    }
  }
  return path + ": cannot be written (unknown format)";
}

std::string singleFileHeader(const std::string& path, OutputFormat format, const int64_t sizes[3], ScalarType type,
                             const Geometry& geometry, std::string& header) {
  header.clear();
  if (format != OutputFormat::Nifti && format != OutputFormat::Nrrd) return path + ": has no header of its own";
  // NIfTI-1 holds each size in 16 bits.
  if (format == OutputFormat::Nifti && std::max({sizes[0], sizes[1], sizes[2]}) > 32767) {
    return path + ": NIfTI-1 holds at most 32767 voxels along an axis; write .nrrd or .mhd instead";
  }
  // One voxel written by ITK gives every field that does not depend on the
  // sizes, which are then set: the rest of the header is the same for any size.
  const fs::path target(path);
  const std::string extension = format == OutputFormat::Nifti ? ".nii" : ".nrrd";
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const std::string sample =
      (folder / ("." + target.filename().string() + ".header-" + std::to_string(::getpid()) + extension)).string();
  Volume one;
  one.dims = {1, 1, 1};
  one.type = type;
  one.geometry = geometry;
  one.data.assign(scalarSize(type), 0);
  const std::string problem = writeVolume(sample, one);
  if (!problem.empty()) return problem;
  std::string bytes;
  {
    std::ifstream in(sample, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  ::unlink(sample.c_str());
  if (bytes.size() <= scalarSize(type)) return path + ": cannot be written (its header could not be made)";
  bytes.resize(bytes.size() - scalarSize(type));
  if (format == OutputFormat::Nifti) {
    float offset = 0;
    if (bytes.size() >= 348) std::memcpy(&offset, bytes.data() + 108, 4);
    if (bytes.size() < 348 || offset != static_cast<float>(bytes.size())) {
      return path + ": cannot be written (ITK's NIfTI header is not where it is expected)";
    }
    for (int axis = 0; axis < 3; ++axis) {
      const auto size = static_cast<int16_t>(sizes[axis]);
      std::memcpy(bytes.data() + 42 + 2 * axis, &size, 2);
    }
  } else {
    const std::string ones = "\nsizes: 1 1 1\n";
    const size_t at = bytes.find(ones);
    if (at == std::string::npos || bytes.find("\nencoding: raw\n") == std::string::npos ||
        bytes.compare(bytes.size() - 2, 2, "\n\n") != 0) {
      return path + ": cannot be written (ITK's NRRD header is not what is expected)";
    }
    bytes.replace(at, ones.size(),
                  "\nsizes: " + std::to_string(sizes[0]) + ' ' + std::to_string(sizes[1]) + ' ' +
                      std::to_string(sizes[2]) + '\n');
  }
  header = std::move(bytes);
  return {};
}

std::string writeResult(const std::string& rawPath, const uint8_t* bytes, Dims dims) {
  if (fs::path(headerPathFor(rawPath)) == fs::path(rawPath)) {
    return rawPath + ": the result needs a name that does not end in .mhd, so its header can sit beside it";
  }
  Volume volume;
  volume.dims = dims;
  volume.data.assign(bytes, bytes + dims.count());
  return writeRawWithHeader(rawPath, headerPathFor(rawPath), volume);
}

}  // namespace voluna
