// Writes the bundled sample volume: noisy crossing tubes, 48^3 bytes.
//   make-sample OUTPUT.raw   (the .mhd header is written beside it)
#include <cstdio>

#include "scenes.h"
#include "volume_io.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-sample OUTPUT.raw\n");
    return 2;
  }
  const voluna::Scene scene = voluna::crossingTubes(48, 4.0f, 25.0f, 20261207);
  const std::vector<uint8_t> bytes = voluna::toBytes(scene.noisy);
  const std::string error = voluna::writeResult(argv[1], bytes.data(), scene.dims);
  if (!error.empty()) {
    std::fprintf(stderr, "make-sample: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
