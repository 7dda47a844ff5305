#include "direction_set.h"

#include <cmath>
#include <cstdint>
#include <numeric>
#include <unordered_map>

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

std::vector<int> firstNearCopies(const std::vector<Vec3>& directions, float tolerance) {
  const int count = static_cast<int>(directions.size());
  // Union-find over pairs found through a grid of cells one tolerance wide:
  // near vectors lie in the same or neighbouring cells.
  std::vector<int> root(directions.size());
  std::iota(root.begin(), root.end(), 0);
  auto find = [&](int i) {
    while (root[i] != i) i = root[i] = root[root[i]];
    return i;
  };
  auto cellOf = [&](float v) { return static_cast<int64_t>(std::floor(v / tolerance)); };
  auto key = [](int64_t a, int64_t b, int64_t c) {
    return static_cast<uint64_t>(((a & 0x1FFFFF) << 42) | ((b & 0x1FFFFF) << 21) | (c & 0x1FFFFF));
  };
  std::unordered_map<uint64_t, std::vector<int>> grid;
  for (int i = 0; i < count; ++i) {
    const Vec3 d = directions[i];
    const int64_t cx = cellOf(d.x), cy = cellOf(d.y), cz = cellOf(d.z);
    for (int64_t a = cx - 1; a <= cx + 1; ++a)
      for (int64_t b = cy - 1; b <= cy + 1; ++b)
        for (int64_t c = cz - 1; c <= cz + 1; ++c) {
          const auto found = grid.find(key(a, b, c));
          if (found == grid.end()) continue;
          for (int j : found->second) {
            const Vec3 e = directions[j];
            if (std::fabs(d.x - e.x) <= tolerance && std::fabs(d.y - e.y) <= tolerance &&
                std::fabs(d.z - e.z) <= tolerance) {
              const int ri = find(i), rj = find(j);
              // The smaller index stays the root, so each root is its set's first.
              if (ri < rj) root[rj] = ri; else root[ri] = rj;
            }
          }
        }
    grid[key(cx, cy, cz)].push_back(i);
  }
  std::vector<int> first(directions.size());
  for (int i = 0; i < count; ++i) {
    const int r = find(i);
    first[i] = r == i ? -1 : r;
  }
  return first;
}

}  // namespace voluna
