// libFuzzer target over Voluna's walk of a DICOM file's framing, which
// decides what GDCM may read: arbitrary bytes, from memory and from a file
// (read through a window of it), must give the same verdict, and a broken
// file one line that says why. GDCM itself is not run here: an abort in it
// is the child process's to contain, and its coverage would not guide.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

#include "dicom_framing.h"

namespace {

std::string gFile;

[[noreturn]] void broken(const char* what, const std::string& detail) {
  std::fprintf(stderr, "invariant broken: %s: %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  gFile = base + "/voluna-dicom-fuzz-" + std::to_string(getpid()) + ".dcm";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const voluna::DicomFraming memory = voluna::checkDicomFramingBytes(bytes);
  if (memory.broken() && (memory.problem.empty() || memory.problem.find('\n') != std::string::npos)) {
    broken("message", memory.problem);
  }
  if (!memory.broken() && !memory.problem.empty()) broken("a problem without a verdict", memory.problem);
  if (!memory.dicomPrefix && memory.verdict != voluna::DicomFraming::Verdict::Unjudged) {
    broken("judged without a preamble", memory.problem);
  }
  {
    std::ofstream out(gFile, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  const voluna::DicomFraming file = voluna::checkDicomFraming(gFile);
  if (file.verdict != memory.verdict || file.problem != memory.problem ||
      file.transferSyntax != memory.transferSyntax || file.mediaStorage != memory.mediaStorage) {
    broken("file and memory disagree", file.problem + " | " + memory.problem);
  }
  return 0;
}
