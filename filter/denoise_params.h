// The parameters of the structure-following denoiser, and the stencils they
// make: every offset a voxel's two passes read, built once on the host and
// handed to every backend so that all of them walk the same neighbourhoods
// in the same order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device.h"

namespace voluna {

struct DenoiseParams {
  // Standard deviation of the noise on the filter's unit scale (the scale the
  // values are mapped onto; unitNoise converts from the input's units). 0
  // returns the input unchanged.
  float noise = 0.0f;
  // Distance between voxel centres along x, y and z. Only their ratios
  // matter: every length below is measured in units of the finest spacing,
  // so a 1 x 1 x 2.5 mm scan reaches 2.5 times fewer slices than columns,
  // and a 0.5 mm isotropic scan the same voxels as a 1 mm one.
  Vec3 spacing = {1.0f, 1.0f, 1.0f};

  // The pilot: a non-local average whose weights compare the 3^3 patches
  // around two voxels, over a box of this half-width.
  float searchRadius = 5.0f;
  // Pilot weights fall to 1/e where the mean squared patch difference
  // exceeds the expected 2 sigma^2 by (pilotStrength sigma)^2.
  float pilotStrength = 1.1f;
  // The result: an average of the input over a ball of this radius and along
  // the lines of the direction set through the voxel, weighted by how close
  // the pilot is there to the pilot at the voxel (over the ball, the mean
  // over their 3^3 patches of the pilot): 1/e at a difference of
  // sqrt(2) * finalStrength * sigma.
  float averageRadius = 9.0f;
  float finalStrength = 0.4f;
  int lineAngleStep = 30;  // degrees between the lines' directions (the filter's direction set)
  int lineSamples = 5;     // samples on each side of the voxel along each line
  float lineStep = 1.0f;   // distance between them

  // Magnitude images (MRI) carry Rician noise: where the signal is weak an
  // average of magnitudes lies above the signal, by 1.25 sigma where there
  // is none. When set, each result is taken back from that mean to the
  // signal it stands for, measured from `floor`, the value of no signal on
  // the unit scale. estimateNoise says whether a volume looks so.
  bool rician = false;
  float floor = 0.0f;
};

// Empty when the parameters can be run, else a sentence saying what is wrong.
std::string checkDenoiseParams(const DenoiseParams& params);

// Per axis, how far a computation reaches, in voxels.
struct Reach {
  int x = 0, y = 0, z = 0;
};

// One sample of a line: the texture unit's trilinear lookup at an offset
// from a voxel centre, with its cell and 8-bit weights worked out once for
// every voxel (the offset is the same for all of them). The eight corner
// weights are in the blend's order: z-corner 0, 1, within it y-corner 0, 1,
// within it x-corner 0, 1.
struct LineTap {
  int cell[3];
  float weight[8];
};

struct Offset3 {
  int x, y, z;
};

// Everything a voxel's two passes read, relative to the voxel.
struct DenoiseStencil {
  int patchRadius = 1;          // the pilot's patches: (2 r + 1)^3 voxels, z, y, x order
  std::vector<Offset3> window;  // the pilot's candidates, the voxel itself left out
  std::vector<Offset3> ball;    // the result's ball, the voxel itself included
  std::vector<LineTap> taps;    // the result's line samples
  // The pilot's weight of a squared patch distance D is kernel(D c1 - c2);
  // the result's weight of a pilot difference d along a line is
  // kernel(d d c3), and of a squared patch distance P of the pilot over
  // the ball kernel(P c4).
  float c1 = 0, c2 = 0, c3 = 0, c4 = 0;
  // The signal behind a mean of Rician magnitudes m, when params.rician:
  // floor + sigma * amplitude(t) at t = (m - floor) / sigma, the table
  // holding amplitude at t = i / amplitudeScale (linear between), and
  // sqrt((m - floor)^2 - sigma^2) beyond its end. Empty otherwise.
  std::vector<float> amplitude;
  float amplitudeScale = 0, sigma = 0, floor = 0;
  Reach pilotReach;   // what a pilot value reads of the input
  Reach finalReach;   // what a result reads of the pilot (and of the input)
};

// The stencil of `params`, which must pass checkDenoiseParams and have a
// positive noise level.
DenoiseStencil buildDenoiseStencil(const DenoiseParams& params);

// The unit lines of the direction set of `angleStep`, each line once: the
// set holds most of them twice (d and -d) and the pole many times.
std::vector<Vec3> uniqueLines(int angleStep);

}  // namespace voluna
