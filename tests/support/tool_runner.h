// Runs voluna-filter as a user meets it, under limits of memory and time:
// for tests that a refused file ends in status 1 and one line, never a signal.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace voluna::test_support {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

struct Outcome {
  bool exited = false;
  int status = -1;  // exit status, or the signal when not exited
  std::string err;
  std::string out;
};

inline std::string slurpFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Runs `binary` in `folder` with at most 1 GiB of address space (well under
// the 8 GiB a user's ulimit -v may set; not where a sanitizer needs more)
// and 20 seconds of CPU.
inline Outcome runTool(const std::filesystem::path& folder, const std::vector<std::string>& args,
                       const std::string& binary = VOLUNA_FILTER_BINARY) {
  const std::filesystem::path errFile = folder / ".stderr";
  const std::filesystem::path outFile = folder / ".stdout";
  const pid_t child = ::fork();
  if (child == 0) {
    if (::chdir(folder.c_str()) != 0) ::_exit(120);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0 || out < 0) ::_exit(121);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!kAddressSanitizer) {
      const rlimit memory{1u << 30, 1u << 30};
      ::setrlimit(RLIMIT_AS, &memory);
    }
    const rlimit cpu{20, 20};
    ::setrlimit(RLIMIT_CPU, &cpu);
    std::vector<char*> argv;
    std::string program = binary;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(122);
  }
  Outcome run;
  int status = 0;
  ::waitpid(child, &status, 0);
  run.exited = WIFEXITED(status);
  run.status = run.exited ? WEXITSTATUS(status) : WTERMSIG(status);
  run.err = slurpFile(errFile);
  run.out = slurpFile(outFile);
  std::filesystem::remove(errFile);
  std::filesystem::remove(outFile);
  return run;
}

struct ShellOutcome {
  int code;  // exit status, -1 when ended by a signal
  std::string out, err;
};

// Runs `binary arguments` through the shell in `folder`, as a script would,
// with no input and both streams captured.
inline ShellOutcome runInShell(const std::filesystem::path& folder, const std::string& arguments,
                               const std::string& binary = VOLUNA_FILTER_BINARY) {
  const std::filesystem::path out = folder / ".stdout", err = folder / ".stderr";
  const std::string command = "cd '" + folder.string() + "' && '" + binary + "' " + arguments + " >'" +
                              out.string() + "' 2>'" + err.string() + "' </dev/null";
  const int status = std::system(command.c_str());
  ShellOutcome result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurpFile(out), slurpFile(err)};
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return result;
}

}  // namespace voluna::test_support
