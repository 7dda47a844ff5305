// The parameters of one filter run.
#pragma once

#include <string>

namespace voluna {

struct FilterParams {
  int samples = 5;           // sampling steps on each side of a voxel
  int integrationSteps = 5;  // integration steps against and along the field
  int angleStep = 5;         // whole degrees between searched directions
  // Score each line against the voxel's own value instead of each walk's
  // first sample, so lines across an edge are not chosen. Off by default.
  bool preserveEdges = false;
};

// Upper bounds on what the command line accepts for samples and steps; the
// window's spin boxes stop at 99. Beyond them a run takes days, not minutes.
constexpr int kMaxSamples = 1000;
constexpr int kMaxIntegrationSteps = 1000;
// The angle step in whole degrees: at 180 the set still holds two directions,
// below 1 it holds none.
constexpr int kMinAngleStep = 1;
constexpr int kMaxAngleStep = 180;

// Empty when the parameters can be run, else a sentence saying what is wrong.
std::string checkParams(const FilterParams& params);

}  // namespace voluna
