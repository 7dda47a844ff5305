// libFuzzer target over the whole loading path: arbitrary bytes as a
// MetaImage file, through Voluna's header checks and, where they pass,
// ITK's MetaImage reader. Headers in the input may name the
// companion files made at start-up (data.raw, data.zraw, short.raw, folder),
// so separate data files are exercised too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "metaimage_header.h"
#include "volume_io.h"

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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string folder = base + "/voluna-fuzz-XXXXXX";
  if (!mkdtemp(folder.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  gFolder = folder;
  gInput = gFolder + "/input.mha";
  std::string ramp(4096, '\0');
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<char>(i * 7 % 251);
  writeFile(gFolder + "/data.raw", ramp);
  writeFile(gFolder + "/short.raw", ramp.substr(0, 10));
  std::vector<Bytef> packed(compressBound(ramp.size()));
  uLongf packedSize = packed.size();
  compress2(packed.data(), &packedSize, reinterpret_cast<const Bytef*>(ramp.data()), ramp.size(), 9);
  writeFile(gFolder + "/data.zraw", std::string(reinterpret_cast<const char*>(packed.data()), packedSize));
  if (mkdir((gFolder + "/folder").c_str(), 0700) != 0) std::perror("mkdir");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // The parser alone, on the bytes as they are.
  const voluna::HeaderParse parsed = voluna::parseMetaImageHeader(bytes, true);
  if (parsed.ok() && parsed.header.dims.count() > voluna::kMaxVoxels) broken("parse", "too many voxels");

  writeFile(gInput, bytes);
  const voluna::LoadResult loaded = voluna::loadVolume(gInput);
  if (loaded.ok()) {
    const voluna::Dims d = loaded.volume.dims;
    if (d.x < 1 || d.y < 1 || d.z < 1 || d.count() > voluna::kMaxVoxels) broken("dims", std::to_string(d.count()));
    if (loaded.volume.data.size() != static_cast<size_t>(d.count()) * voluna::scalarSize(loaded.volume.type)) {
      broken("voxel count", loaded.notice);
    }
    if (!parsed.ok()) broken("loaded what the parser refused", parsed.error);
  } else {
    if (loaded.error.rfind(gInput + ": ", 0) != 0) broken("message does not name the file", loaded.error);
    if (loaded.error.find('\n') != std::string::npos) broken("message of more than one line", loaded.error);
    if (!loaded.volume.data.empty()) broken("voxels beside an error", loaded.error);
  }
  return 0;
}
