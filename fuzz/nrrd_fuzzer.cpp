// libFuzzer target over Voluna's NRRD header checks: arbitrary bytes as a
// .nrrd or .nhdr file through the parser and the file check that decide
// whether ITK's reader may allocate. Headers may name the detached data
// files made at start-up (data.raw, data.gz, short.raw, folder).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "dims.h"
#include "nrrd_header.h"

namespace {

std::string gFolder;
std::string gInput;

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

[[noreturn]] void broken(const char* what, const std::string& detail) {
  std::fprintf(stderr, "invariant broken: %s: %s\n", what, detail.c_str());
  std::abort();
}

void checkHeader(const voluna::NrrdCheck& checked) {
  if (!checked.ok()) {
    if (checked.error.empty() || checked.error.find('\n') != std::string::npos) broken("message", checked.error);
    return;
  }
  const voluna::NrrdHeader& h = checked.header;
  if (h.count < 1 || h.count > voluna::kMaxVoxels) broken("count", std::to_string(h.count));
  if (h.bytesPerValue < 1 || h.bytesPerValue > 8) broken("value size", std::to_string(h.bytesPerValue));
  if (h.dimension < 1 || h.dimension > 16) broken("dimension", std::to_string(h.dimension));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string folder = base + "/voluna-nrrd-fuzz-XXXXXX";
  if (!mkdtemp(folder.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  gFolder = folder;
  gInput = gFolder + "/input.nhdr";
  std::string ramp(4096, '\0');
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<char>(i * 7 % 251);
  writeFile(gFolder + "/data.raw", ramp);
  writeFile(gFolder + "/short.raw", ramp.substr(0, 10));
  std::vector<Bytef> packed(compressBound(ramp.size()));
  uLongf packedSize = packed.size();
  compress2(packed.data(), &packedSize, reinterpret_cast<const Bytef*>(ramp.data()), ramp.size(), 9);
  writeFile(gFolder + "/data.gz", std::string(reinterpret_cast<const char*>(packed.data()), packedSize));
  if (mkdir((gFolder + "/folder").c_str(), 0700) != 0) std::perror("mkdir");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  checkHeader(voluna::parseNrrdHeader(bytes, true));
  writeFile(gInput, bytes);
  checkHeader(voluna::checkNrrdFile(gInput));
  return 0;
}
