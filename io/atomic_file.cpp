#include "atomic_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_checks.h"

namespace voluna {

namespace fs = std::filesystem;

AtomicFile::AtomicFile(std::string path, const std::string& suffix) : path_(std::move(path)) {
  const fs::path target(path_);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  temporary_ = (folder / ("." + target.filename().string() + ".XXXXXX" + suffix)).string();
  fd_ = ::mkstemps(temporary_.data(), static_cast<int>(suffix.size()));
  if (fd_ < 0) {
    temporary_.clear();
    fail(std::strerror(errno));
  }
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

std::string AtomicFile::fail(const std::string& why) {
  if (error_.empty()) error_ = path_ + ": cannot be written (" + why + ")";
  return error_;
}

std::string AtomicFile::writeAt(const void* data, size_t size, int64_t offset) {
  if (!error_.empty()) return error_;
  const std::string problem = writeExactly(fd_, data, size, offset);
  if (!problem.empty()) return fail(problem);
  end_ = std::max(end_, offset + static_cast<int64_t>(size));
  return {};
}

std::string AtomicFile::append(const void* data, size_t size) { return writeAt(data, size, end_); }

std::string AtomicFile::resize(int64_t size) {
  if (!error_.empty()) return error_;
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return fail(std::strerror(errno));
  return {};
}

std::string AtomicFile::commit() {
  if (!error_.empty()) return error_;
  // mkstemps makes the file private to its owner; give it the usual rights.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  int durable = fd_;
  // A library that wrote by name may have put another file there: sync that one.
  struct stat ours {}, named {};
  if (::fstat(fd_, &ours) != 0 || ::stat(temporary_.c_str(), &named) != 0) return fail(std::strerror(errno));
  if (ours.st_ino != named.st_ino || ours.st_dev != named.st_dev) {
    durable = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
    if (durable < 0) return fail(std::strerror(errno));
  }
  const bool synced = ::fchmod(durable, 0666 & ~mask) == 0 && ::fsync(durable) == 0;
  const std::string why = synced ? std::string() : std::strerror(errno);
  if (durable != fd_) ::close(durable);
  if (!synced) return fail(why);
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) return fail(std::strerror(errno));
  if (std::rename(temporary_.c_str(), path_.c_str()) != 0) return fail(std::strerror(errno));
  temporary_.clear();
  return {};
}

std::string writeFileAtomically(const std::string& path, const void* data, size_t size) {
  AtomicFile file(path);
  file.append(data, size);
  return file.commit();
}

}  // namespace voluna
