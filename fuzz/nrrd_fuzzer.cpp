// libFuzzer target over Voluna's NRRD header checks: arbitrary bytes as a
// .nrrd or .nhdr file through the parser and the file check that decide
// whether ITK's reader may allocate. Headers may name the detached data
// files made at start-up (data.raw, data.gz, short.raw, folder).
#include <cstdint>
#include <string>

#include "dims.h"
#include "fuzz_files.h"
#include "nrrd_header.h"

namespace {

using namespace voluna::fuzzing;

std::string gInput;

void checkHeader(const voluna::NrrdCheck& checked) {
  if (!checked.ok()) {
    expectOneLine(checked.error);
    return;
  }
  const voluna::NrrdHeader& h = checked.header;
  if (h.count < 1 || h.count > voluna::kMaxVoxels) broken("count", std::to_string(h.count));
  if (h.bytesPerValue < 1 || h.bytesPerValue > 8) broken("value size", std::to_string(h.bytesPerValue));
  if (h.dimension < 1 || h.dimension > 16) broken("dimension", std::to_string(h.dimension));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string folder = scratchFolder("voluna-nrrd-fuzz");
  gInput = folder + "/input.nhdr";
  writeCompanions(folder, "data.gz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  checkHeader(voluna::parseNrrdHeader(bytes, true));
  writeFile(gInput, bytes);
  checkHeader(voluna::checkNrrdFile(gInput));
  return 0;
}
