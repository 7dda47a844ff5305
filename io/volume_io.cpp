#include "volume_io.h"

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
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace voluna {

namespace fs = std::filesystem;

namespace {

// Collects VTK's error text instead of letting it go to the console.
void collectError(vtkObject*, unsigned long, void* clientData, void* callData) {
  auto* messages = static_cast<std::string*>(clientData);
  if (callData) {
    if (!messages->empty()) *messages += "; ";
    *messages += static_cast<const char*>(callData);
  }
}

std::string systemError() { return std::strerror(errno); }

}  // namespace

LoadResult loadVolume(const std::string& path) {
  LoadResult result;
  auto fail = [&](const std::string& why) {
    result.error = path + ": " + why;
    result.volume = ByteVolume{};
    return result;
  };

  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) return fail("no such file");
  if (fs::is_directory(status)) return fail("is a folder, not a MetaImage file");
  if (!fs::is_regular_file(status)) return fail("is not a regular file");

  vtkNew<vtkMetaImageReader> reader;
  if (!reader->CanReadFile(path.c_str())) {
    return fail("not a MetaImage header (.mhd or .mha) that VTK can read");
  }
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

  vtkImageData* image = reader->GetOutput();
  vtkDataArray* scalars = image ? image->GetPointData()->GetScalars() : nullptr;
  if (!scalars) return fail("holds no voxel data");
  if (scalars->GetNumberOfComponents() != 1) {
    return fail("has " + std::to_string(scalars->GetNumberOfComponents()) +
                " components per voxel; only one is supported");
  }
  if (scalars->GetDataType() != VTK_UNSIGNED_CHAR) {
    return fail(std::string("has voxels of type ") + scalars->GetDataTypeAsString() +
                "; only unsigned 8-bit (MET_UCHAR) volumes are supported");
  }
  int extent[6];
  image->GetExtent(extent);
  Dims dims{extent[1] - extent[0] + 1, extent[3] - extent[2] + 1, extent[5] - extent[4] + 1};
  const std::string dimsProblem = checkDimensions(dims);
  if (!dimsProblem.empty()) return fail(dimsProblem);
  if (scalars->GetNumberOfTuples() != dims.count()) return fail("holds fewer voxels than its header claims");

  result.volume.dims = dims;
  image->GetSpacing(result.volume.spacing);
  image->GetOrigin(result.volume.origin);
  const auto* bytes = static_cast<const uint8_t*>(scalars->GetVoidPointer(0));
  // The reader keeps the file's own voxel order (x fastest), which is ours.
  result.volume.voxels.assign(bytes, bytes + dims.count());
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

std::string writeResult(const std::string& rawPath, const uint8_t* bytes, Dims dims) {
  const std::string headerPath = headerPathFor(rawPath);
  if (fs::path(headerPath) == fs::path(rawPath)) {
    return rawPath + ": the result needs a name that does not end in .mhd, so its header can sit beside it";
  }
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
  std::string error = writeFileAtomically(rawPath, bytes, static_cast<size_t>(dims.count()));
  if (!error.empty()) return error;
  const std::string text = header.str();
  return writeFileAtomically(headerPath, text.data(), text.size());
}

}  // namespace voluna
