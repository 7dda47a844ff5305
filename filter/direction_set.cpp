#include "direction_set.h"

#include <cmath>

namespace voluna {

int directionCount(int angleStep) {
  if (angleStep < 1) return 0;
  const int n = 360 / angleStep;
  return (n * n) / 2;
}

std::vector<Vec3> buildDirectionSet(int angleStep) {
  const int count = directionCount(angleStep);
  std::vector<Vec3> directions;
  directions.reserve(static_cast<size_t>(count));
  const int n = 360 / angleStep;
  for (int i = 0; i < count; ++i) {
    const float theta = static_cast<float>((i / n) * angleStep) * kDegreesToRadians;
    const float phi = static_cast<float>((i % n) * angleStep) * kDegreesToRadians;
    const float cosTheta = std::cos(theta);
    directions.push_back({cosTheta * std::cos(phi), std::sin(theta), -(cosTheta * std::sin(phi))});
  }
  return directions;
}

}  // namespace voluna
