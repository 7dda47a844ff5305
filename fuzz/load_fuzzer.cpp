// libFuzzer target over Voluna's MetaImage checks: arbitrary bytes as a
// MetaImage file, through the header parser and the checks of the data it
// names. Headers in the input may name the companion files made at start-up
// (data.raw, data.zraw, short.raw, folder), so separate data files are
// exercised too. Debian's ITK 5.2 headers build with GCC only, so ITK's
// reader behind the checks cannot be part of a clang-built target; the
// tests run it on the hostile corpus.
#include <cstdint>
#include <string>

#include "fuzz_files.h"
#include "metaimage_header.h"

namespace {

using namespace voluna::fuzzing;

std::string gInput;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string folder = scratchFolder("voluna-fuzz");
  gInput = folder + "/input.mha";
  writeCompanions(folder, "data.zraw");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // The parser alone, on the bytes as they are.
  const voluna::HeaderParse parsed = voluna::parseMetaImageHeader(bytes, true);
  if (parsed.ok() && parsed.header.dims.count() > voluna::kMaxVoxels) broken("parse", "too many voxels");

  // The whole check of the file and the data it names, which decides whether
  // ITK's reader may allocate.
  writeFile(gInput, bytes);
  const voluna::CheckedMetaImage checked = voluna::checkMetaImageFile(gInput);
  if (checked.ok()) {
    const voluna::Dims d = checked.header.dims;
    if (d.x < 1 || d.y < 1 || d.z < 1 || d.count() > voluna::kMaxVoxels) broken("dims", std::to_string(d.count()));
    if (!parsed.ok()) broken("passed what the parser refused", parsed.error);
  } else {
    expectOneLine(checked.error);
  }
  return 0;
}
