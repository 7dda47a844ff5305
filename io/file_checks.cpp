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

// Inflates the stream only as far as the voxels need, into a small scratch
// buffer: checking costs no memory, however much the stream claims.
std::string checkCompressedStream(int fd, int64_t offset, int64_t length, int64_t needed, const std::string& where) {
  z_stream stream{};
  // 15 + 32: zlib or gzip, detected from the stream's own header, as VTK's reader does.
  if (inflateInit2(&stream, 15 + 32) != Z_OK) return "could not start zlib to check " + where;
  struct End {
    z_stream* s;
    ~End() { inflateEnd(s); }
  } end{&stream};

  constexpr size_t kChunk = 256 * 1024;
  std::vector<unsigned char> in(kChunk), out(kChunk);
  int64_t consumed = 0;
  int64_t produced = 0;
  int status = Z_OK;
  while (produced < needed) {
    if (stream.avail_in == 0) {
      if (consumed == length) break;
      const size_t want = static_cast<size_t>(std::min<int64_t>(kChunk, length - consumed));
      const ssize_t got = ::pread(fd, in.data(), want, static_cast<off_t>(offset + consumed));
      if (got < 0) {
        if (errno == EINTR) continue;
        return where + " cannot be read (" + std::strerror(errno) + ")";
      }
      if (got == 0) break;
      consumed += got;
      stream.next_in = in.data();
      stream.avail_in = static_cast<uInt>(got);
    }
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(std::min<int64_t>(kChunk, needed - produced));
    status = inflate(&stream, Z_NO_FLUSH);
    produced += static_cast<int64_t>(stream.next_out - out.data());
    if (status == Z_STREAM_END) break;
    if (status != Z_OK && status != Z_BUF_ERROR) {
      return "holds corrupt compressed data in " + where + " (zlib: " +
             (stream.msg ? std::string(stream.msg) : std::string("error ") + std::to_string(status)) + ")";
    }
  }
  if (produced < needed) {
    return "holds compressed data in " + where + " that " +
           (status == Z_STREAM_END ? "ends" : "breaks off") + " after " + std::to_string(produced) +
           " bytes; the voxels need " + std::to_string(needed);
  }
  return {};
}

std::string describeShortage(const std::string& where, int64_t have, int64_t needed) {
  return where + " is too short by " + std::to_string(needed - have) + " bytes: the voxels need " +
         std::to_string(needed) + ", it has " + std::to_string(std::max<int64_t>(have, 0));
}

std::string inflatePrefix(int fd, int64_t offset, int64_t length, size_t size, std::string& out) {
  out.clear();
  z_stream stream{};
  if (inflateInit2(&stream, 15 + 32) != Z_OK) return "could not start zlib";
  struct End {
    z_stream* s;
    ~End() { inflateEnd(s); }
  } end{&stream};
  constexpr size_t kChunk = 64 * 1024;
  std::vector<unsigned char> in(kChunk);
  out.resize(size);
  int64_t consumed = 0;
  size_t produced = 0;
  while (produced < size) {
    if (stream.avail_in == 0) {
      if (consumed == length) break;
      const size_t want = static_cast<size_t>(std::min<int64_t>(kChunk, length - consumed));
      const ssize_t got = ::pread(fd, in.data(), want, static_cast<off_t>(offset + consumed));
      if (got < 0) {
        if (errno == EINTR) continue;
        return std::strerror(errno);
      }
      if (got == 0) break;
      consumed += got;
      stream.next_in = in.data();
      stream.avail_in = static_cast<uInt>(got);
    }
    stream.next_out = reinterpret_cast<unsigned char*>(out.data()) + produced;
    stream.avail_out = static_cast<uInt>(size - produced);
    const int status = inflate(&stream, Z_NO_FLUSH);
    produced = size - stream.avail_out;
    if (status == Z_STREAM_END) break;
    if (status != Z_OK && status != Z_BUF_ERROR) {
      out.resize(produced);
      return "corrupt compressed data (zlib: " + std::string(stream.msg ? stream.msg : "error") + ")";
    }
    if (status == Z_BUF_ERROR && stream.avail_in != 0) break;
  }
  out.resize(produced);
  return {};
}

}  // namespace voluna
