// What the fuzz targets share: a scratch folder of their own, the companion
// files a header in the input may name, and the report of a broken invariant.
#pragma once

#include <zlib.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace voluna::fuzzing {

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A fresh folder in memory where there is one: every input is written there.
inline std::string scratchFolder(const std::string& name) {
  const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string folder = base + "/" + name + "-XXXXXX";
  if (!mkdtemp(folder.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return folder;
}

// Data files a fuzzed header may name: data.raw (4096 bytes), short.raw (10),
// `packed` (data.raw through zlib) and a folder named "folder".
inline void writeCompanions(const std::string& folder, const std::string& packed) {
  std::string ramp(4096, '\0');
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<char>(i * 7 % 251);
  writeFile(folder + "/data.raw", ramp);
  writeFile(folder + "/short.raw", ramp.substr(0, 10));
  std::vector<Bytef> bytes(compressBound(ramp.size()));
  uLongf size = bytes.size();
  compress2(bytes.data(), &size, reinterpret_cast<const Bytef*>(ramp.data()), ramp.size(), 9);
  writeFile(folder + "/" + packed, std::string(reinterpret_cast<const char*>(bytes.data()), size));
  if (mkdir((folder + "/folder").c_str(), 0700) != 0) std::perror("mkdir");
}

[[noreturn]] inline void broken(const char* what, const std::string& detail) {
  std::fprintf(stderr, "invariant broken: %s: %s\n", what, detail.c_str());
  std::abort();
}

// A refusal is one line that says something.
inline void expectOneLine(const std::string& error) {
  if (error.empty() || error.find('\n') != std::string::npos) broken("message of more than one line", error);
}

}  // namespace voluna::fuzzing
