// Synthetic volumes with known ground truth, for the sample data, tests and
// benchmarks. Deterministic for a given seed on every platform.
#pragma once

#include <cstdint>
#include <vector>

#include "dims.h"

namespace voluna {

struct Scene {
  Dims dims;
  std::vector<float> clean;  // ground truth, in byte units (0 to 255)
  std::vector<float> noisy;  // clean plus Gaussian noise, in byte units
  std::vector<uint8_t> inside;  // 1 where a structure is, 0 elsewhere
  std::vector<float> surfaceDistance;  // signed distance to the nearest surface, < 0 inside
};

// Two bright tubes of the given radius crossing at the centre of a cube of
// edge `size`: one along x, one along the (0, 1, 1) diagonal.
Scene crossingTubes(int size, float radius, float noiseSigma, uint64_t seed);

// Two thin tubes like crossingTubes, plus a third along (1, 1, 0) through
// the centre: thin structures in three orientations.
Scene thinTubes(int size, float radius, float noiseSigma, uint64_t seed);

// A spherical shell of the given mid radius and thickness around the centre.
Scene sphericalShell(int size, float radius, float thickness, float noiseSigma, uint64_t seed);

// A volume of one value everywhere.
std::vector<uint8_t> constantBytes(Dims dims, uint8_t value);

// Rounds to the nearest byte, clamping to 0 to 255.
std::vector<uint8_t> toBytes(const std::vector<float>& values);

// Uniform noise bytes, for stress tests.
std::vector<uint8_t> noiseBytes(Dims dims, uint64_t seed);

}  // namespace voluna
