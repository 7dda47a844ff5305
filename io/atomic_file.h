// Files that appear whole or not at all: written under a temporary name
// beside their target, made durable, then renamed over it. Until commit() an
// existing file of that name stays as it was, so readers never see a torn
// file; one never committed leaves nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace voluna {

class AtomicFile {
 public:
  // `suffix` ends the temporary name (".nii.gz"): libraries that choose how
  // to write by a name's extension write it as they would write `path`.
  explicit AtomicFile(std::string path, const std::string& suffix = "");
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Empty while all is well, else a message naming the target and why.
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }
  // For a library that writes by name; it must write into this file, not
  // replace it with another.
  const std::string& temporaryPath() const { return temporary_; }
  int fd() const { return fd_; }

  // Each returns error(): writes at an offset, after what was appended so
  // far, or sets the size (a full disk shows before the work where the file
  // system reserves the space).
  std::string writeAt(const void* data, size_t size, int64_t offset);
  std::string append(const void* data, size_t size);
  std::string resize(int64_t size);
  // Gives the file the usual rights, makes it durable and renames it over
  // the target.
  std::string commit();

 private:
  std::string fail(const std::string& why);

  std::string path_, temporary_, error_;
  int fd_ = -1;
  int64_t end_ = 0;
};

// One buffer written atomically to `path`.
std::string writeFileAtomically(const std::string& path, const void* data, size_t size);

}  // namespace voluna
