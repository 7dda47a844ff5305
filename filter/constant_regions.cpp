// Why the shortcuts are exact (S = samples, T = integration steps; the
// reads each stage makes are derived in brick.cpp).
//
// Where every voxel that a field voxel's search reads (the voxel grown by
// S + 1) holds the same finite value c, direction 0 (exactly (1, 0, -0))
// walks whole voxels, every sample is exactly c, its score is 0 and the
// early stop keeps it (with S = 0 every score is NaN, which keeps direction
// 0 as well). Where every voxel an output voxel reads (grown by T + 1) holds
// c and every field voxel it samples (grown by T) holds direction 0, its
// steps are +-1 to within 1/512 (sampled cells stay whole, weights 1 and 0),
// every volume sample is exactly c, and the output is c summed 2T + 1 times
// in the integration's order, times the mean factor, wherever the voxel
// lies. A search alone cannot tell the integration's second condition from
// the first: near structure the field bends even where the volume is flat.
// Both CPU paths take both shortcuts tile by tile, whole runs and bricks
// alike: mostly constant volumes are filtered at the speed of reading them.

#include "constant_regions.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace voluna {

namespace {

int64_t cellsAlong(int64_t length) { return (length + CellGrid::kCell - 1) / CellGrid::kCell; }

uint32_t bitsOf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

CellGrid::CellGrid(const Box& box)
    : box_(box), cx_(cellsAlong(box.width())), cy_(cellsAlong(box.height())),
      cz_(cellsAlong(box.depth())) {}

int64_t CellGrid::countFor(const Box& box) {
  return cellsAlong(box.width()) * cellsAlong(box.height()) * cellsAlong(box.depth());
}

Box CellGrid::cell(int64_t c) const {
  const int64_t x0 = box_.x0 + (c % cx_) * kCell, y0 = box_.y0 + ((c / cx_) % cy_) * kCell,
                z0 = box_.z0 + (c / (cx_ * cy_)) * kCell;
  return {x0, y0, z0, std::min(x0 + kCell, box_.x1), std::min(y0 + kCell, box_.y1),
          std::min(z0 + kCell, box_.z1)};
}

ConstancyMap::ConstancyMap(const float* data, const Box& box, int threads, bool mapped)
    : grid_(box), constant_(static_cast<size_t>(grid_.count())), bits_(constant_.size()) {
  if (!mapped) return;
  const BoxIndex at(box);
  // A cell whose first row already varies is no candidate. On structured
  // data that rules out nearly every cell after a few reads, on one thread:
  // a noisy volume is mapped without a parallel pass, whose start and end
  // cost more than the map on a busy machine.
  int64_t candidates = 0;
  for (int64_t c = 0; c < grid_.count(); ++c) {
    const Box cell = grid_.cell(c);
    const float* row = data + at(cell.x0, cell.y0, cell.z0);
    const uint32_t bits = bitsOf(row[0]);
    bool same = std::isfinite(row[0]);
    for (int64_t x = 1; x < cell.width() && same; ++x) same = bitsOf(row[x]) == bits;
    constant_[static_cast<size_t>(c)] = same;
    bits_[static_cast<size_t>(c)] = bits;
    candidates += same;
  }
  if (candidates == 0) return;
#pragma omp parallel for schedule(static) num_threads(threads) if (candidates > 64)
  for (int64_t c = 0; c < grid_.count(); ++c) {
    if (!constant_[static_cast<size_t>(c)]) continue;
    const Box cell = grid_.cell(c);
    const uint32_t bits = bits_[static_cast<size_t>(c)];
    bool same = true;
    for (int64_t z = cell.z0; z < cell.z1 && same; ++z)
      for (int64_t y = cell.y0; y < cell.y1 && same; ++y) {
        const float* row = data + at(cell.x0, y, z);
        for (int64_t x = 0; x < cell.width(); ++x) same = same && bitsOf(row[x]) == bits;
      }
    constant_[static_cast<size_t>(c)] = same;
  }
  for (uint8_t c : constant_) anyConstant_ = anyConstant_ || c;
}

bool ConstancyMap::constant(const Box& query, float& value) const {
  const uint32_t bits = bits_[grid_.cellOf(query.x0, query.y0, query.z0)];
  if (!grid_.all(query, [&](size_t c) { return constant_[c] && bits_[c] == bits; })) return false;
  std::memcpy(&value, &bits, sizeof value);
  return true;
}

int64_t ConstancyMap::bytesFor(const Box& box) {
  return CellGrid::countFor(box) * static_cast<int64_t>(sizeof(uint8_t) + sizeof(uint32_t));
}

ZeroField::ZeroField(const uint16_t* chosen, const Box& box, int threads, bool mapped)
    : grid_(box), zero_(static_cast<size_t>(grid_.count())) {
  if (!mapped) return;
  const BoxIndex at(box);
#pragma omp parallel for schedule(static) num_threads(threads)
  for (int64_t c = 0; c < grid_.count(); ++c) {
    const Box cell = grid_.cell(c);
    bool zero = true;
    for (int64_t z = cell.z0; z < cell.z1 && zero; ++z)
      for (int64_t y = cell.y0; y < cell.y1 && zero; ++y) {
        const uint16_t* row = chosen + at(cell.x0, y, z);
        for (int64_t x = 0; x < cell.width(); ++x) zero = zero && row[x] == 0;
      }
    zero_[static_cast<size_t>(c)] = zero;
  }
}

float constantResult(float value, int steps, float r) {
  float acc = value;
  for (int k = 0; k < 2 * steps; ++k) acc = acc + value;
  return acc * r;
}

}  // namespace voluna
