// Low-level checks of files before any library reads them: opening only
// regular files without blocking, reading a few bytes, and walking a
// compressed stream without keeping what it inflates; and the reads and
// writes at an offset that io's own readers and writers make.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace voluna {

// An open file descriptor that closes itself.
class File {
 public:
  explicit File(int fd) : fd_(fd) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();
  int fd() const { return fd_; }

 private:
  int fd_;
};

// A file opened for reading, or why it could not be.
struct Opened {
  enum State { Ok, Missing, Folder, NotRegular, Failed } state = Failed;
  std::unique_ptr<File> file;
  int64_t size = 0;
  std::string why;  // the system's words, for Failed

  // "is a folder", "cannot be opened (Permission denied)", ...; Missing is
  // worded by the caller.
  std::string problem() const;
};

// Opens without blocking on a FIFO and refuses anything but a regular file.
Opened openRegular(const std::string& path);

// Why a header file opened so cannot be read: "no such file", "is empty",
// "is a folder", ...; empty when it can.
std::string unreadable(const Opened& file);

// The start of such a file, at most `limit` bytes: empty on success, else
// why not.
std::string readHeaderStart(const Opened& file, size_t limit, std::string& text);

// Reads exactly `size` bytes at `offset`, or fewer at the end of the file;
// returns the system's words on failure.
std::string readAt(int fd, int64_t offset, size_t size, std::string& out);

// Reads or writes exactly `size` bytes at `offset`: empty on success, else
// the system's words ("the file ends early" for a read past its end).
std::string readExactly(int fd, void* data, size_t size, int64_t offset);
std::string writeExactly(int fd, const void* data, size_t size, int64_t offset);

// Inflates a zlib or gzip stream only as far as `needed` bytes, into a small
// scratch buffer: checking costs no memory, however much the stream claims.
// `where` names the data in the message ("its data file x.raw").
std::string checkCompressedStream(int fd, int64_t offset, int64_t length, int64_t needed, const std::string& where);

// The first bytes (at most `size`) that a gzip or zlib stream inflates to.
std::string inflatePrefix(int fd, int64_t offset, int64_t length, size_t size, std::string& out);

std::string describeShortage(const std::string& where, int64_t have, int64_t needed);

}  // namespace voluna
