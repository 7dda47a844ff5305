#include "file_checks.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace voluna {

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

std::string Opened::problem() const {
  switch (state) {
    case Folder: return "is a folder";
    case NotRegular: return "is not a regular file";
    case Failed: return "cannot be opened (" + why + ")";
    default: return {};
  }
}

// Opens without blocking on a FIFO and refuses anything but a regular file.
Opened openRegular(const std::string& path) {
  Opened opened;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    opened.state = errno == ENOENT ? Opened::Missing : Opened::Failed;
    opened.why = std::strerror(errno);
    return opened;
  }
  opened.file = std::make_unique<File>(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    opened.why = std::strerror(errno);
    return opened;
  }
  opened.state = S_ISDIR(info.st_mode) ? Opened::Folder : !S_ISREG(info.st_mode) ? Opened::NotRegular : Opened::Ok;
  opened.size = info.st_size;
  return opened;
}

// Reads exactly `size` bytes at `offset`, or fewer at the end of the file.
std::string readAt(int fd, int64_t offset, size_t size, std::string& out) {
  out.resize(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, out.data() + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::strerror(errno);
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  out.resize(done);
  return {};
}

namespace {

template <class Transfer>
std::string transferAll(Transfer transfer, int fd, char* data, size_t size, int64_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = transfer(fd, data + done, size - done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::strerror(errno);
    }
    if (n == 0) return "the file ends early";
    done += static_cast<size_t>(n);
  }
  return {};
}

}  // namespace

std::string readExactly(int fd, void* data, size_t size, int64_t offset) {
  return transferAll([](int f, char* d, size_t n, off_t o) { return ::pread(f, d, n, o); }, fd,
                     static_cast<char*>(data), size, offset);
}

std::string writeExactly(int fd, const void* data, size_t size, int64_t offset) {
  return transferAll([](int f, char* d, size_t n, off_t o) { return ::pwrite(f, d, n, o); }, fd,
                     static_cast<char*>(const_cast<void*>(data)), size, offset);
}

namespace {

struct Inflated {
  bool started = true;    // zlib could begin
  int64_t produced = 0;
  bool ended = false;     // the stream's own end came
  std::string readError;  // the system's words
  std::string corrupt;    // zlib's words
};

// Inflates the zlib or gzip stream of `length` bytes at `offset` (either,
// told by the stream's own header) until `wanted` bytes come out, the
// stream ends or its bytes do: into `keep` when given (room for `wanted`),
// else through a small scratch buffer, so that checking costs no memory
// however much the stream claims.
Inflated inflateUpTo(int fd, int64_t offset, int64_t length, int64_t wanted, unsigned char* keep) {
  Inflated result;
  z_stream stream{};
  if (inflateInit2(&stream, 15 + 32) != Z_OK) {
    result.started = false;
    return result;
  }
  struct End {
    z_stream* s;
    ~End() { inflateEnd(s); }
  } end{&stream};
  constexpr int64_t kChunk = 256 * 1024;
  std::vector<unsigned char> in(kChunk), scratch(keep ? 0 : kChunk);
  int64_t consumed = 0;
  while (result.produced < wanted) {
    if (stream.avail_in == 0) {
      if (consumed == length) break;
      const auto want = static_cast<size_t>(std::min(kChunk, length - consumed));
      const ssize_t got = ::pread(fd, in.data(), want, static_cast<off_t>(offset + consumed));
      if (got < 0) {
        if (errno == EINTR) continue;
        result.readError = std::strerror(errno);
        return result;
      }
      if (got == 0) break;
      consumed += got;
      stream.next_in = in.data();
      stream.avail_in = static_cast<uInt>(got);
    }
    unsigned char* into = keep ? keep + result.produced : scratch.data();
    stream.next_out = into;
    stream.avail_out = static_cast<uInt>(std::min(keep ? wanted : kChunk, wanted - result.produced));
    const int status = inflate(&stream, Z_NO_FLUSH);
    result.produced += stream.next_out - into;
    if (status == Z_STREAM_END) {
      result.ended = true;
      break;
    }
    if (status != Z_OK && status != Z_BUF_ERROR) {
      result.corrupt = stream.msg ? std::string(stream.msg) : "error " + std::to_string(status);
      break;
    }
    // No progress is possible with input left: the stream is stuck.
    if (status == Z_BUF_ERROR && stream.avail_in != 0) break;
  }
  return result;
}

}  // namespace

std::string checkCompressedStream(int fd, int64_t offset, int64_t length, int64_t needed, const std::string& where) {
  const Inflated inflated = inflateUpTo(fd, offset, length, needed, nullptr);
  if (!inflated.started) return "could not start zlib to check " + where;
  if (!inflated.readError.empty()) return where + " cannot be read (" + inflated.readError + ")";
  if (!inflated.corrupt.empty()) return "holds corrupt compressed data in " + where + " (zlib: " + inflated.corrupt + ")";
  if (inflated.produced < needed) {
    return "holds compressed data in " + where + " that " + (inflated.ended ? "ends" : "breaks off") + " after " +
           std::to_string(inflated.produced) + " bytes; the voxels need " + std::to_string(needed);
  }
  return {};
}

std::string describeShortage(const std::string& where, int64_t have, int64_t needed) {
  return where + " is too short by " + std::to_string(needed - have) + " bytes: the voxels need " +
         std::to_string(needed) + ", it has " + std::to_string(std::max<int64_t>(have, 0));
}

std::string inflatePrefix(int fd, int64_t offset, int64_t length, size_t size, std::string& out) {
  out.assign(size, '\0');
  const Inflated inflated =
      inflateUpTo(fd, offset, length, static_cast<int64_t>(size), reinterpret_cast<unsigned char*>(out.data()));
  out.resize(static_cast<size_t>(inflated.produced));
  if (!inflated.started) return "could not start zlib";
  if (!inflated.readError.empty()) return inflated.readError;
  if (!inflated.corrupt.empty()) return "corrupt compressed data (zlib: " + inflated.corrupt + ")";
  return {};
}

std::string unreadable(const Opened& file) {
  if (file.state == Opened::Missing) return "no such file";
  if (file.state != Opened::Ok) return file.problem();
  if (file.size == 0) return "is empty";
  return {};
}

std::string readHeaderStart(const Opened& file, size_t limit, std::string& text) {
  text.clear();
  std::string problem = unreadable(file);
  if (!problem.empty()) return problem;
  problem = readAt(file.file->fd(), 0, std::min<size_t>(limit, static_cast<size_t>(file.size)), text);
  if (!problem.empty()) return "cannot be read (" + problem + ")";
  return {};
}

}  // namespace voluna
