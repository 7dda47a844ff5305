// Running a library's parsing where its failure cannot take the caller down:
// in a forked child, bounded in memory and stopped when it stalls, sending
// its results back over a pipe.
//
// Debian's GDCM is built with assertions on, and its data set parser (the
// fall-backs for broken encodings, sequences, encapsulated fragments, the
// codecs) asserts in places that no bounded check of ours can all foresee;
// it also allocates what damaged lengths claim. So every GDCM read of a
// DICOM file runs here, behind Voluna's own framing check, and an abort, a
// crash, a runaway allocation or a hang becomes a message about that file.
//
// The child is forked, not executed afresh, so nothing has to be installed
// beside the library for the window, the command line and Python alike. It
// runs only the reading code and ends with _exit. A lock that another thread
// of the caller held at the fork would leave it waiting: the stall limit
// turns that, too, into a message.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace voluna {

// What the work in the child sends back. Every message also tells the
// parent that the child is still making progress.
class ChildChannel {
 public:
  explicit ChildChannel(int fd, int64_t baseAddressSpace) : fd_(fd), base_(baseAddressSpace) {}

  // The child is about to work on item `index` (a file of a list): when it
  // dies, the last mark names the culprit.
  void mark(int64_t index);
  // A message of at most 64 MiB.
  void note(const std::string& text);
  // `size` bytes the parent places at `offset` of its destination.
  void bytes(uint64_t offset, const void* data, uint64_t size);
  // Lets the child's address space grow to `bytes` beyond what it inherited
  // (the limit the runner set first may be raised for a stage that needs more).
  void allowMemory(int64_t bytes);

  // How the runner ends the exchange: all done, or why not.
  void finish();
  void fail(const std::string& why);

 private:
  void raw(const void* data, size_t size);
  void text(uint8_t type, const std::string& text);
  int fd_;
  int64_t base_;
};

struct ChildLimits {
  double stallSeconds = 60;         // no word from the child for this long: it is stopped
  int64_t memoryBytes = int64_t{1} << 30;  // address space the child may add to what it inherited
};

struct ChildOutcome {
  bool finished = false;           // the work ran to its end
  // Else how it ended, worded to follow a file's name ("could not be read:
  // its reader was stopped by signal 6 (Aborted)"), or the work's own words.
  std::string failure;
  int64_t lastMark = -1;           // the last mark it sent
  std::vector<std::string> notes;  // in the order sent
};

// What the parent does with each note as it arrives (before any bytes sent
// after it): an empty string goes on, anything else stops the child with
// that as the failure.
using OnNote = std::function<std::string(const std::string& note)>;
// Where the parent puts `size` bytes sent for `offset`; nullptr refuses them
// and stops the child.
using PlaceBytes = std::function<uint8_t*(uint64_t offset, uint64_t size)>;

// Runs `work` in a child process and collects what it sends. Exceptions in
// the work end it with their message as the failure.
ChildOutcome runInChild(const std::function<void(ChildChannel&)>& work, const ChildLimits& limits = {},
                        const OnNote& onNote = {}, const PlaceBytes& placeBytes = {});

// Fields packed into one note, and back: file names may hold any byte.
std::string packFields(const std::vector<std::string>& fields);
bool unpackFields(const std::string& note, std::vector<std::string>& fields);

}  // namespace voluna
