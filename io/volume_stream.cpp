#include "volume_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <itkMetaImageIO.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "volume_io.h"

namespace fs = std::filesystem;

namespace voluna {

namespace {

std::string systemError() { return std::strerror(errno); }

std::string lowerExtension(const std::string& path) {
  std::string extension = fs::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

// Reads or writes exactly `size` bytes at `offset`.
template <class Transfer>
std::string transferAll(Transfer transfer, int fd, char* data, size_t size, int64_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = transfer(fd, data + done, size - done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return systemError();
    }
    if (n == 0) return "the file ends early";
    done += static_cast<size_t>(n);
  }
  return {};
}

std::string readAll(int fd, void* data, size_t size, int64_t offset) {
  return transferAll([](int f, char* d, size_t n, off_t o) { return ::pread(f, d, n, o); }, fd,
                     static_cast<char*>(data), size, offset);
}

std::string writeAll(int fd, const void* data, size_t size, int64_t offset) {
  return transferAll([](int f, char* d, size_t n, off_t o) { return ::pwrite(f, d, n, o); }, fd,
                     static_cast<char*>(const_cast<void*>(data)), size, offset);
}

}  // namespace

bool streamable(const std::string& path) {
  const std::string extension = lowerExtension(path);
  return extension == ".mhd" || extension == ".mha";
}

namespace {

// The header's spacing, origin and axes as ITK reads them for a whole run,
// from the header alone.
std::string readGeometry(const std::string& path, Geometry& geometry) {
  try {
    auto io = itk::MetaImageIO::New();
    io->SetFileName(path);
    io->ReadImageInformation();
    const unsigned axes = std::min(io->GetNumberOfDimensions(), 3u);
    for (unsigned i = 0; i < axes; ++i) {
      geometry.spacing[i] = io->GetSpacing(i);
      geometry.origin[i] = io->GetOrigin(i);
      const std::vector<double> axis = io->GetDirection(i);
      for (unsigned r = 0; r < std::min<size_t>(axis.size(), 3); ++r) geometry.direction[r * 3 + i] = axis[r];
    }
  } catch (const itk::ExceptionObject& e) {
    return e.GetDescription();
  }
  return {};
}

}  // namespace

StreamSource inspectVolume(const std::string& path) {
  StreamSource source;
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
      source.type = parsed.header.elementType;
      source.compressed = true;
      return source;
    }
  }
  const CheckedMetaImage checked = checkMetaImageFile(path, kMaxWholeVoxels);
  const MetaImageHeader& header = checked.header;
  // Known whenever the header was read, even if its data is not sound.
  source.dims = {header.dims.x, header.dims.y, header.dims.z};
  source.type = header.elementType;
  if (!checked.ok()) {
    source.error = path + ": " + checked.error;
    return source;
  }
  source.dataPath = checked.dataPath;
  const std::string problem = readGeometry(path, source.geometry);
  if (!problem.empty()) {
    source.error = path + ": its geometry cannot be read (" + problem + ")";
    return source;
  }
  if (header.local) {
    source.dataOffset = header.localDataStart;
  } else if (header.headerSize == -1) {
    std::error_code ec;
    source.dataOffset = static_cast<int64_t>(fs::file_size(checked.dataPath, ec)) - header.voxelBytes();
    if (ec) source.error = checked.dataPath + ": cannot be read (" + ec.message() + ")";
  } else {
    source.dataOffset = header.headerSize;
  }
  return source;
}

BoxReader::BoxReader(const StreamSource& source) : source_(source) {
  if (source.compressed || source.type != ElementType::UChar) {
    error_ = source.dataPath + ": only uncompressed 8-bit voxels are read a box at a time";
    return;
  }
  fd_ = ::open(source.dataPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) error_ = source.dataPath + ": cannot be opened (" + systemError() + ")";
}

BoxReader::~BoxReader() {
  if (fd_ >= 0) ::close(fd_);
}

std::string BoxReader::read(const Box& box, float* out) {
  if (!error_.empty()) return error_;
  const Extent& d = source_.dims;
  const int64_t width = box.width(), height = box.height();
  // Whole rows of the volume lie one after another: one read per plane.
  const bool wholeRows = box.x0 == 0 && box.x1 == d.x;
  plane_.resize(static_cast<size_t>(width * height));
  for (int64_t z = box.z0; z < box.z1; ++z) {
    const int64_t rowStart = source_.dataOffset + (z * d.y) * d.x;
    std::string problem;
    if (wholeRows) {
      problem = readAll(fd_, plane_.data(), plane_.size(), rowStart + box.y0 * d.x);
    } else {
      for (int64_t y = box.y0; y < box.y1 && problem.empty(); ++y) {
        problem = readAll(fd_, plane_.data() + (y - box.y0) * width, static_cast<size_t>(width),
                          rowStart + y * d.x + box.x0);
      }
    }
    if (!problem.empty()) return source_.dataPath + ": cannot be read (" + problem + ")";
    float* to = out + (z - box.z0) * width * height;
    for (size_t i = 0; i < plane_.size(); ++i) to[i] = static_cast<float>(plane_[i]) / 255.0f;
  }
  return {};
}

StreamedResult::StreamedResult(const std::string& rawPath, Extent dims, const Geometry& geometry)
    : rawPath_(rawPath), dims_(dims), geometry_(geometry) {
  const fs::path target(rawPath);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  temporary_ = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  fd_ = ::mkstemp(temporary_.data());
  if (fd_ < 0) {
    temporary_.clear();
    error_ = rawPath + ": cannot be written (" + systemError() + ")";
    return;
  }
  // Sized at once, so that a full disk shows before the work where the
  // file system reserves space, and each box lands at its own offset.
  if (::ftruncate(fd_, static_cast<off_t>(dims.count())) != 0) {
    error_ = rawPath + ": cannot be written (" + systemError() + ")";
  }
}

StreamedResult::~StreamedResult() {
  if (fd_ >= 0) ::close(fd_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

std::string StreamedResult::write(const Box& box, const uint8_t* bytes) {
  if (!error_.empty()) return error_;
  const int64_t width = box.width(), height = box.height();
  const bool wholeRows = box.x0 == 0 && box.x1 == dims_.x;
  for (int64_t z = box.z0; z < box.z1; ++z) {
    const int64_t rowStart = (z * dims_.y) * dims_.x;
    const uint8_t* from = bytes + (z - box.z0) * width * height;
    std::string problem;
    if (wholeRows) {
      problem = writeAll(fd_, from, static_cast<size_t>(width * height), rowStart + box.y0 * dims_.x);
    } else {
      for (int64_t y = box.y0; y < box.y1 && problem.empty(); ++y) {
        problem = writeAll(fd_, from + (y - box.y0) * width, static_cast<size_t>(width),
                           rowStart + y * dims_.x + box.x0);
      }
    }
    if (!problem.empty()) return error_ = rawPath_ + ": cannot be written (" + problem + ")";
  }
  return {};
}

std::string StreamedResult::commit() {
  if (!error_.empty()) return error_;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd_, 0666 & ~mask) != 0 || ::fsync(fd_) != 0 || ::close(fd_) != 0) {
    fd_ = -1;
    return error_ = rawPath_ + ": cannot be written (" + systemError() + ")";
  }
  fd_ = -1;
  if (std::rename(temporary_.c_str(), rawPath_.c_str()) != 0) {
    return error_ = rawPath_ + ": cannot be written (" + systemError() + ")";
  }
  temporary_.clear();
  Volume described;
  described.dims = {static_cast<int>(dims_.x), static_cast<int>(dims_.y), static_cast<int>(dims_.z)};
  described.geometry = geometry_;
  const std::string text = rawHeaderText(rawPath_, described);
  return writeFileAtomically(headerPathFor(rawPath_), text.data(), text.size());
}

}  // namespace voluna
