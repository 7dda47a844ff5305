// libFuzzer target over Voluna's NIfTI-1 and NIfTI-2 header checks: arbitrary bytes as a
// .nii file (or, when they start like one, a .nii.gz), through the parser
// and the file check that decide whether ITK's reader may allocate.
#include <cstdint>
#include <string>

#include "dims.h"
#include "fuzz_files.h"
#include "nifti_header.h"

namespace {

using namespace voluna::fuzzing;

std::string gInput;

void checkHeader(const voluna::NiftiCheck& checked, int64_t fileSize, bool compressed) {
  if (!checked.ok()) {
    expectOneLine(checked.error);
    return;
  }
  const voluna::NiftiHeader& h = checked.header;
  const voluna::Dims d = h.dims;
  if (d.x < 1 || d.y < 1 || d.z < 1 || d.count() > voluna::kMaxVoxels) broken("dims", std::to_string(d.count()));
  if (h.voxelBytes != d.count() * h.bytesPerVoxel) broken("voxel bytes", std::to_string(h.voxelBytes));
  if (h.dataOffset < (h.version == 2 ? 540 : 348)) broken("data offset", std::to_string(h.dataOffset));
  if (h.spatialAxes < 1 || h.spatialAxes > 3) broken("axes", std::to_string(h.spatialAxes));
  if (fileSize >= 0 && !compressed && h.dataOffset + h.voxelBytes > fileSize) broken("file too short", "");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gInput = scratchFolder("voluna-nifti-fuzz") + "/input.nii";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  checkHeader(voluna::parseNiftiHeader(bytes), -1, false);
  writeFile(gInput, bytes);
  const bool gzip = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
  checkHeader(voluna::checkNiftiFile(gInput), static_cast<int64_t>(size), gzip);
  return 0;
}
