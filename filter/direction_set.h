// The fixed set of line directions searched at every voxel.
#pragma once

#include <vector>

#include "device.h"

namespace voluna {

// Degrees to radians, the float with bits 0x3C8EFA35.
constexpr float kDegreesToRadians = 0.0174532924f;

// Number of directions for an angle step: (n*n)/2 with n = 360/step.
// Zero for steps above 180; the step must be at least 1.
int directionCount(int angleStep);

// The set in search order, theta-major: the unit x vector rotated about z by
// theta, then about y by phi. Built once per run on the host and handed to
// every backend, so all backends choose from bit-identical directions.
std::vector<Vec3> buildDirectionSet(int angleStep);

// For each direction, the first of the directions it is linked to by a chain
// of neighbours whose components differ by at most `tolerance`, or -1 when
// it is that first one. The set covers most lines twice (theta and 180 -
// theta with phi and phi + 180 give the same vector up to rounding), and the
// column theta = 90 is one vector 360 / step times over.
std::vector<int> firstNearCopies(const std::vector<Vec3>& directions, float tolerance);

}  // namespace voluna
