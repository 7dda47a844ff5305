// libFuzzer target over Voluna's walk of a DICOM file's framing, which
// decides what GDCM may read: arbitrary bytes, from memory and from a file
// (read through a window of it), must give the same verdict, and a broken
// file one line that says why. GDCM itself is not run here: an abort in it
// is the child process's to contain, and its coverage would not guide.
#include <cstdint>
#include <string>

#include "dicom_framing.h"
#include "fuzz_files.h"

namespace {

std::string gFile;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gFile = voluna::fuzzing::scratchFolder("voluna-dicom-fuzz") + "/input.dcm";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using voluna::fuzzing::broken;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const voluna::DicomFraming memory = voluna::checkDicomFramingBytes(bytes);
  if (memory.broken()) voluna::fuzzing::expectOneLine(memory.problem);
  if (!memory.broken() && !memory.problem.empty()) broken("a problem without a verdict", memory.problem);
  if (!memory.dicomPrefix && memory.verdict != voluna::DicomFraming::Verdict::Unjudged) {
    broken("judged without a preamble", memory.problem);
  }
  voluna::fuzzing::writeFile(gFile, bytes);
  const voluna::DicomFraming file = voluna::checkDicomFraming(gFile);
  if (file.verdict != memory.verdict || file.problem != memory.problem ||
      file.transferSyntax != memory.transferSyntax || file.mediaStorage != memory.mediaStorage) {
    broken("file and memory disagree", file.problem + " | " + memory.problem);
  }
  return 0;
}
