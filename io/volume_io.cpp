#include "volume_io.h"

#include "metaimage_header.h"
#include "scalars_to_bytes.h"

#include <vtkCallbackCommand.h>
#include <vtkCommand.h>
#include <vtkDataArray.h>
#include <vtkExecutive.h>
#include <vtkImageData.h>
#include <vtkMetaImageReader.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkType.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace voluna {

namespace fs = std::filesystem;

namespace {

// Collects VTK's error text instead of letting it go to the console.
// Keeps what VTK says, without the source location it puts first
// ("ERROR: In file, line N\nclass (address): what"), on one line.
void collectError(vtkObject*, unsigned long, void* clientData, void* callData) {
  auto* messages = static_cast<std::string*>(clientData);
  if (!callData) return;
  std::string text = static_cast<const char*>(callData);
  const size_t located = text.find("): ");
  if (located != std::string::npos) text.erase(0, located + 3);
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (!messages->empty()) *messages += "; ";
  *messages += text;
}

std::string systemError() { return std::strerror(errno); }

}  // namespace

LoadResult loadVolume(const std::string& path) {
  LoadResult result;
  auto fail = [&](const std::string& why) {
    result.error = path + ": " + why;
    result.volume = ByteVolume{};
    result.notice.clear();
    return result;
  };

  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) return fail("cannot be opened (" + ec.message() + ")");
  if (!fs::exists(status)) return fail("no such file");
  if (fs::is_directory(status)) return fail("is a folder, not a MetaImage file");
  if (!fs::is_regular_file(status)) return fail("is not a regular file");

  // VTK's reader believes whatever the header says; nothing reaches it that
  // our own reading of the header and the data has not found sound.
  const CheckedMetaImage checked = checkMetaImageFile(path);
  if (!checked.ok()) return fail(checked.error);
  const MetaImageHeader& header = checked.header;

  try {
    vtkNew<vtkMetaImageReader> reader;
    std::string vtkErrors;
    vtkNew<vtkCallbackCommand> onError;
    onError->SetCallback(collectError);
    onError->SetClientData(&vtkErrors);
    reader->AddObserver(vtkCommand::ErrorEvent, onError);
    reader->GetExecutive()->AddObserver(vtkCommand::ErrorEvent, onError);
    reader->SetFileName(path.c_str());
    reader->Update();
    if (!vtkErrors.empty() || reader->GetErrorCode() != 0) {
      return fail("could not be read (" + (vtkErrors.empty() ? std::string("reader error") : vtkErrors) + ")");
    }

    // The file could change between our check and VTK's read, and VTK's
    // reading of a header may differ from ours: what it made must be what the
    // header promised.
    vtkImageData* image = reader->GetOutput();
    vtkDataArray* scalars = image ? image->GetPointData()->GetScalars() : nullptr;
    if (!scalars) return fail("holds no voxel data that VTK could read");
    int extent[6];
    image->GetExtent(extent);
    const Dims dims{extent[1] - extent[0] + 1, extent[3] - extent[2] + 1, extent[5] - extent[4] + 1};
    if (dims.x != header.dims.x || dims.y != header.dims.y || dims.z != header.dims.z ||
        scalars->GetNumberOfComponents() != 1 || scalars->GetDataType() != vtkScalarTypeOf(header.elementType) ||
        scalars->GetNumberOfTuples() != header.dims.count()) {
      return fail("was read by VTK as " + std::to_string(scalars->GetNumberOfComponents()) + " component(s) of " +
                  scalars->GetDataTypeAsString() + " in " + std::to_string(dims.x) + " x " + std::to_string(dims.y) +
                  " x " + std::to_string(dims.z) + " voxels, not as its header says (" +
                  elementTypeName(header.elementType) + ", " + std::to_string(header.dims.x) + " x " +
                  std::to_string(header.dims.y) + " x " + std::to_string(header.dims.z) + ")");
    }

    ByteMapping mapping = scalarsToBytes(image);
    if (!mapping.error.empty()) return fail(mapping.error);
    result.volume.dims = dims;
    image->GetSpacing(result.volume.spacing);
    image->GetOrigin(result.volume.origin);
    // The reader keeps the file's own voxel order (x fastest), which is ours.
    result.volume.voxels = std::move(mapping.bytes);
    result.notice = std::move(mapping.notice);
    // The filter ignores spacing, but a zero or absurd one leaves the views
    // empty with no word why: show such volumes with unit spacing instead.
    static const char* const kAxes[3] = {"x", "y", "z"};
    for (int axis = 0; axis < 3; ++axis) {
      double& spacing = result.volume.spacing[axis];
      if (std::fabs(spacing) >= 1e-6 && std::fabs(spacing) <= 1e6) continue;
      if (!result.notice.empty()) result.notice += "; ";
      std::ostringstream text;
      text << "spacing " << spacing << " along " << kAxes[axis] << " cannot be displayed, 1 is used";
      result.notice += text.str();
      spacing = 1.0;
    }
  } catch (const std::bad_alloc&) {
    // VTK's reader allocates with new[] and lets the exception through.
    return fail("needs more memory than is available for its " + std::to_string(header.dims.count()) +
                " voxels (" + std::to_string(header.voxelBytes()) + " bytes as stored)");
  }
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

std::string resultHeader(const std::string& rawPath, Dims dims) {
  std::ostringstream header;
  header << "ObjectType = Image\n"
         << "NDims = 3\n"
         << "BinaryData = True\n"
         << "BinaryDataByteOrderMSB = False\n"
         << "CompressedData = False\n"
         << "Offset = 0 0 0\n"
         << "ElementSpacing = 1 1 1\n"
         << "DimSize = " << dims.x << ' ' << dims.y << ' ' << dims.z << '\n'
         << "ElementType = MET_UCHAR\n"
         << "ElementDataFile = " << fs::path(rawPath).filename().string() << '\n';
  return header.str();
}

std::string writeResult(const std::string& rawPath, const uint8_t* bytes, Dims dims) {
  const std::string headerPath = headerPathFor(rawPath);
  if (fs::path(headerPath) == fs::path(rawPath)) {
    return rawPath + ": the result needs a name that does not end in .mhd, so its header can sit beside it";
  }
  std::string error = writeFileAtomically(rawPath, bytes, static_cast<size_t>(dims.count()));
  if (!error.empty()) return error;
  const std::string text = resultHeader(rawPath, dims);
  return writeFileAtomically(headerPath, text.data(), text.size());
}

}  // namespace voluna
