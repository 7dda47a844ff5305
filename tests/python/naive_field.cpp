// Writes the direction field of the C++ tests' plain second implementation
// (tests/filter/naive_filter.h), so the Python tests can hold the package's
// field against it.
//   naive-field IN.f32 X Y Z SAMPLES ANGLE PRESERVE_EDGES OUT.f32
// IN holds X*Y*Z floats on the unit scale, x fastest; OUT gets three floats
// (x, y, z) per voxel in the same order.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "naive_filter.h"

int main(int argc, char** argv) {
  if (argc != 9) {
    std::fprintf(stderr, "usage: naive-field IN X Y Z SAMPLES ANGLE PRESERVE_EDGES OUT\n");
    return 2;
  }
  naive::Volume volume{std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), {}};
  volume.v.resize(static_cast<size_t>(volume.X) * volume.Y * volume.Z);
  std::ifstream in(argv[1], std::ios::binary);
  in.read(reinterpret_cast<char*>(volume.v.data()), static_cast<std::streamsize>(volume.v.size() * sizeof(float)));
  if (!in) {
    std::fprintf(stderr, "naive-field: cannot read %zu floats from %s\n", volume.v.size(), argv[1]);
    return 1;
  }
  const naive::Field field = naive::vectorField(volume, std::atoi(argv[5]), std::atoi(argv[6]),
                                                std::atoi(argv[7]) != 0);
  std::ofstream out(argv[8], std::ios::binary);
  out.write(reinterpret_cast<const char*>(field.xyz.data()),
            static_cast<std::streamsize>(field.xyz.size() * sizeof(float)));
  return out ? 0 : 1;
}
