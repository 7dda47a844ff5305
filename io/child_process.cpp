#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

namespace voluna {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

constexpr uint32_t kMaxNote = 64u << 20;

enum Frame : uint8_t { kMark = 'M', kNote = 'N', kBytes = 'B', kFinished = 'F', kThrew = 'X' };

int64_t addressSpaceInUse() {
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return 0;
  long long pages = 0;
  const int read = std::fscanf(statm, "%lld", &pages);
  std::fclose(statm);
  return read == 1 ? pages * ::sysconf(_SC_PAGESIZE) : 0;
}

std::string describeEnd(int status) {
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    const char* name = strsignal(signal);
    return "was stopped by signal " + std::to_string(signal) + " (" + (name ? name : "unknown") + ")";
  }
  if (WIFEXITED(status)) return "ended with status " + std::to_string(WEXITSTATUS(status)) + " before it finished";
  return "ended before it finished";
}

// Reads exactly `size` bytes, waiting at most `stall` between any two pieces.
enum class Got { All, End, Stalled, Failed };

Got readExact(int fd, void* into, size_t size, std::chrono::milliseconds stall) {
  auto* cursor = static_cast<uint8_t*>(into);
  while (size > 0) {
    pollfd poll{fd, POLLIN, 0};
    const int ready = ::poll(&poll, 1, static_cast<int>(stall.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Got::Failed;
    }
    if (ready == 0) return Got::Stalled;
    const ssize_t got = ::read(fd, cursor, size);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Got::Failed;
    }
    if (got == 0) return Got::End;
    cursor += got;
    size -= static_cast<size_t>(got);
  }
  return Got::All;
}

void childSetUp(int64_t baseAddressSpace, int64_t memoryBytes) {
  // The parent decides what a Ctrl-C means; the child just stops with it.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGPIPE, SIG_DFL);
  // The caller's crash handlers (Python's faulthandler, a window's crash
  // reporter) would report the child's end as the caller's own. A sanitizer
  // build keeps its handlers: they are how it reports.
  if (!kAddressSanitizer) {
    for (int crash : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) std::signal(crash, SIG_DFL);
  }
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // Standard output is the command line's progress channel: nothing of the
  // libraries may land there.
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    // A sanitizer build keeps standard error: its reports must reach the log.
    if (!kAddressSanitizer) ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  ChildChannel(-1, baseAddressSpace).allowMemory(memoryBytes);
}

}  // namespace

void ChildChannel::raw(const void* data, size_t size) {
  const auto* cursor = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd_, cursor, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      // The parent is gone or gave up on us: nothing left to do.
      ::_exit(3);
    }
    cursor += written;
    size -= static_cast<size_t>(written);
  }
}

void ChildChannel::mark(int64_t index) {
  uint8_t frame[9] = {kMark};
  std::memcpy(frame + 1, &index, 8);
  raw(frame, sizeof frame);
}

void ChildChannel::text(uint8_t type, const std::string& text) {
  const uint32_t size = static_cast<uint32_t>(std::min<size_t>(text.size(), kMaxNote));
  uint8_t frame[5] = {type};
  std::memcpy(frame + 1, &size, 4);
  raw(frame, sizeof frame);
  raw(text.data(), size);
}

void ChildChannel::note(const std::string& text) { this->text(kNote, text); }

void ChildChannel::bytes(uint64_t offset, const void* data, uint64_t size) {
  uint8_t frame[17] = {kBytes};
  std::memcpy(frame + 1, &offset, 8);
  std::memcpy(frame + 9, &size, 8);
  raw(frame, sizeof frame);
  raw(data, size);
}

void ChildChannel::finish() {
  const uint8_t frame = kFinished;
  raw(&frame, 1);
}

void ChildChannel::fail(const std::string& why) { text(kThrew, why); }

void ChildChannel::allowMemory(int64_t bytes) {
  // AddressSanitizer reserves terabytes of shadow memory up front; no limit
  // on address space can hold under it.
  if (kAddressSanitizer || bytes <= 0) return;
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) != 0) return;
  const rlim_t wanted = static_cast<rlim_t>(base_ + bytes);
  // Never beyond the caller's own hard limit.
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  ::setrlimit(RLIMIT_AS, &limit);
}

ChildOutcome runInChild(const std::function<void(ChildChannel&)>& work, const ChildLimits& limits,
                        const OnNote& onNote, const PlaceBytes& placeBytes) {
  ChildOutcome outcome;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    outcome.failure = std::string("could not be read: no pipe to a reading process (") + std::strerror(errno) + ")";
    return outcome;
  }
  const int64_t base = addressSpaceInUse();
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    outcome.failure = std::string("could not be read: no process to read it in (") + std::strerror(errno) + ")";
    ::close(fds[0]);
    ::close(fds[1]);
    return outcome;
  }
  if (child == 0) {
    ::close(fds[0]);
    if (::getppid() != parent) ::_exit(4);
    childSetUp(base, limits.memoryBytes);
    ChildChannel channel(fds[1], base);
    try {
      work(channel);
      channel.finish();
    } catch (const std::bad_alloc&) {
      channel.fail("needs more memory than its size allows: it is damaged or lies about its sizes");
    } catch (const std::exception& error) {
      channel.fail(std::string("could not be read (") + error.what() + ")");
    } catch (...) {
      channel.fail("could not be read (an unknown error)");
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  const int fd = fds[0];
  const auto stall = std::chrono::milliseconds(static_cast<int64_t>(limits.stallSeconds * 1000));
  bool killed = false;
  auto stop = [&](std::string why) {
    if (!killed) ::kill(child, SIGKILL);
    killed = true;
    outcome.failure = std::move(why);
  };
  auto gotFailure = [&](Got got) {
    if (got == Got::Stalled) {
      char text[96];
      std::snprintf(text, sizeof text, "could not be read: its reader gave no sign of progress for %g seconds",
                    limits.stallSeconds);
      stop(text);
    } else if (got == Got::Failed) {
      stop(std::string("could not be read: the reading process could not be heard (") + std::strerror(errno) + ")");
    }
  };
  while (outcome.failure.empty() && !outcome.finished) {
    uint8_t type = 0;
    const Got got = readExact(fd, &type, 1, stall);
    if (got == Got::End) break;
    if (got != Got::All) {
      gotFailure(got);
      break;
    }
    Got body = Got::All;
    if (type == kMark) {
      body = readExact(fd, &outcome.lastMark, 8, stall);
    } else if (type == kNote || type == kThrew) {
      uint32_t size = 0;
      body = readExact(fd, &size, 4, stall);
      std::string text(body == Got::All ? size : 0, '\0');
      if (body == Got::All) body = readExact(fd, text.data(), size, stall);
      if (body == Got::All && type == kNote) {
        const std::string refused = onNote ? onNote(text) : std::string();
        outcome.notes.push_back(std::move(text));
        if (!refused.empty()) stop(refused);
      }
      if (body == Got::All && type == kThrew) stop(text);
    } else if (type == kBytes) {
      uint64_t header[2];
      body = readExact(fd, header, sizeof header, stall);
      uint8_t* into = body == Got::All && placeBytes ? placeBytes(header[0], header[1]) : nullptr;
      if (body == Got::All && !into) {
        stop("could not be read: its reader sent data that does not fit what it announced");
      } else if (body == Got::All) {
        body = readExact(fd, into, header[1], stall);
      }
    } else if (type == kFinished) {
      outcome.finished = true;
    } else {
      stop("could not be read: its reader sent what it should not");
    }
    if (body == Got::End) break;
    if (body != Got::All) gotFailure(body);
  }
  ::close(fd);
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (!outcome.finished && outcome.failure.empty()) {
    // A caller that ignores SIGCHLD leaves no status to tell.
    outcome.failure = "could not be read: its reader " + (waited == child ? describeEnd(status)
                                                                          : std::string("ended before it finished"));
  }
  return outcome;
}

std::string packFields(const std::vector<std::string>& fields) {
  std::string packed;
  for (const std::string& field : fields) {
    const uint32_t size = static_cast<uint32_t>(field.size());
    packed.append(reinterpret_cast<const char*>(&size), 4);
    packed += field;
  }
  return packed;
}

bool unpackFields(const std::string& note, std::vector<std::string>& fields) {
  fields.clear();
  size_t at = 0;
  while (at < note.size()) {
    uint32_t size = 0;
    if (note.size() - at < 4) return false;
    std::memcpy(&size, note.data() + at, 4);
    at += 4;
    if (note.size() - at < size) return false;
    fields.emplace_back(note, at, size);
    at += size;
  }
  return true;
}

}  // namespace voluna
