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

}  // namespace voluna
