#include "volume_io.h"

#include <itkNrrdImageIO.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <sstream>

#include "file_checks.h"
#include "itk_reading.h"
#include "nifti_file.h"
#include "nifti_placement.h"

namespace voluna {

namespace fs = std::filesystem;

namespace {

// By extension first; files without a known one by their first bytes, and
// anything else as MetaImage, whose checks say plainly what they found.
const Format& readingFormatOf(const std::string& path) {
  const Format* named = formatOfName(path);
  if (named && named->read) return *named;
  const Opened file = openRegular(path);
  std::string start;
  if (file.state == Opened::Ok && readAt(file.file->fd(), 0, 540, start).empty()) {
    const Format* shown = formatOfContent(start);
    if (shown && shown->read) return *shown;
  }
  return formatOf(FormatId::MetaImage);
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

LoadResult loadVolume(const std::string& path) {
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
  if (fs::is_directory(status)) return fail("is a folder, not a volume file");
  if (!fs::is_regular_file(status)) return fail("is not a regular file");

  try {
    const Format& format = readingFormatOf(path);
    std::string problem = format.check ? format.check(path) : std::string();
    if (problem.empty()) problem = format.read(path, result.volume);
    if (!problem.empty()) return fail(problem);
  } catch (const std::bad_alloc&) {
    return fail("needs more memory than is available to be read");
  } catch (const itk::ExceptionObject& error) {
    return fail(std::string("could not be read (") + error.GetDescription() + ")");
  } catch (const std::exception& error) {
    return fail(std::string("could not be read (") + error.what() + ")");
  }

  result.notice = makeDisplayable(result.volume.geometry);
  return result;
}

std::string headerPathFor(const std::string& rawPath) {
  fs::path header(rawPath);
  header.replace_extension(".mhd");
  return header.string();
}

std::string rawHeaderText(const std::string& rawPath, const Volume& volume) {
  const Geometry& g = volume.geometry;
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
         << "ElementType = " << scalarInfo(volume.type).metaImage << '\n'
         << "ElementDataFile = " << fs::path(rawPath).filename().string() << '\n';
  return header.str();
}

bool outputFormatFor(const std::string& path, OutputFormat& format, std::string& error) {
  const FormatExtension* extension = nullptr;
  const Format* named = formatOfName(path, &extension);
  if (!named) {
    // .raw, and any other name: the bare voxels, as results always were.
    format = OutputFormat::Raw;
    return true;
  }
  if (!extension->output) {
    error = "'" + path + "': " + named->notWritten;
    return false;
  }
  format = *extension->output;
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
  return formatWriting(format).write(path, format, volume);
}

std::string geometryLossNotice(const std::string& path, const Geometry& geometry) {
  OutputFormat format;
  std::string error;
  if (!outputFormatFor(path, format, error)) return {};
  const Format& writer = formatWriting(format);
  if (writer.holdsShear || !shearedSform(geometry.nifti) || !niftiPlacementHolds(geometry)) return {};
  return path + ": " + writer.name +
         " holds no shear: the input's sheared sform is not kept, and the result is placed by its qform, as "
         "Voluna shows it; write NIfTI (.nii, .nii.gz) to keep both";
}

std::string singleFileHeader(const std::string& path, OutputFormat format, const int64_t sizes[3], ScalarType type,
                             const Geometry& geometry, std::string& header) {
  header.clear();
  if (format == OutputFormat::Nifti) return niftiFileHeader(path, sizes, type, geometry, header);
  if (format != OutputFormat::Nrrd) return path + ": has no header of its own";
  // ITK's header of one voxel, its sizes then set: the rest is the same for any size.
  std::string bytes;
  const std::string problem = itkHeaderOfOneVoxel(itk::NrrdImageIO::New(), path, ".nrrd", type, geometry, bytes);
  if (!problem.empty()) return problem;
  const std::string ones = "\nsizes: 1 1 1\n";
  const size_t at = bytes.find(ones);
  if (at == std::string::npos || bytes.find("\nencoding: raw\n") == std::string::npos ||
      bytes.compare(bytes.size() - 2, 2, "\n\n") != 0) {
    return path + ": cannot be written (ITK's NRRD header is not what is expected)";
  }
  bytes.replace(at, ones.size(),
                "\nsizes: " + std::to_string(sizes[0]) + ' ' + std::to_string(sizes[1]) + ' ' +
                    std::to_string(sizes[2]) + '\n');
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
  return formatOf(FormatId::Raw).write(rawPath, OutputFormat::Raw, volume);
}

}  // namespace voluna
