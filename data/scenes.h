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
  // Millimetres between voxel centres along x, y and z; distances above are
  // in millimetres too.
  double spacing[3] = {1, 1, 1};
};

// Two bright tubes of the given radius crossing at the centre of a cube of
// edge `size`: one along x, one along the (0, 1, 1) diagonal.
Scene crossingTubes(int size, float radius, float noiseSigma, uint64_t seed);

// Two thin tubes like crossingTubes, plus a third along (1, 1, 0) through
// the centre: thin structures in three orientations.
Scene thinTubes(int size, float radius, float noiseSigma, uint64_t seed);

// A spherical shell of the given mid radius and thickness around the centre.
Scene sphericalShell(int size, float radius, float thickness, float noiseSigma, uint64_t seed);

// Scenes of the kinds a structure-following denoiser is measured on. Each
// seed draws its own geometry (positions, orientations, bends) as well as its
// noise, so other seeds give unseen scenes of the same kind. Structures are
// 200 on 50, with partial volume: voxels the surface cuts hold the share of
// their extent that lies inside, sampled 4 x 4 x 4 times.

// Vessels: five tubes of radius 1, 1.5, 2, 2.5 and 3.5, some straight, some
// bent into circular arcs.
Scene vessels(int size, float noiseSigma, uint64_t seed);

// Three curved sheets 2 to 3 voxels thick (parts of large spheres and
// cylinders) that cross one another.
Scene curvedSheets(int size, float noiseSigma, uint64_t seed);

// Two bundles of parallel fibres of radius about 1, 3.5 to 4 voxels apart,
// crossing at 50 to 90 degrees.
Scene fibreBundles(int size, float noiseSigma, uint64_t seed);

// Vessels of radius 1.5 to 3.5 mm on a grid of 1 x 1 x 2.5 mm: `size`
// voxels along x and y and as many millimetres along z.
Scene anisotropicVessels(int size, float noiseSigma, uint64_t seed);

// A scene from a clean volume of real data: Gaussian noise, or the Rician
// noise of magnitude images (the modulus of the clean value plus complex
// Gaussian noise of `noiseSigma` per channel). Without a geometric surface,
// surfaceDistance holds the distance to the nearest voxel where the clean
// volume's gradient reaches `edgeGradient` (units per millimetre, central
// differences), in millimetres, where one lies within 3 voxels (+inf
// beyond), and `inside` marks those edge voxels.
Scene sceneFromClean(Dims dims, const double (&spacing)[3], std::vector<float> clean,
                     float noiseSigma, bool rician, float edgeGradient, uint64_t seed);

// A volume of one value everywhere.
std::vector<uint8_t> constantBytes(Dims dims, uint8_t value);

// Rounds to the nearest byte, clamping to 0 to 255.
std::vector<uint8_t> toBytes(const std::vector<float>& values);

// Uniform noise bytes, for stress tests.
std::vector<uint8_t> noiseBytes(Dims dims, uint64_t seed);

}  // namespace voluna
