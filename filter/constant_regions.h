// The constant parts of a box, found once so that every run skips them:
// where every voxel a search reads holds one finite value, the search's
// choice is known, and where every voxel and field value an output reads
// is constant, so is the output (the argument is in constant_regions.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "box.h"

namespace voluna {

// A box cut into cells of 8^3 voxels (smaller at its far faces): small
// enough to find the constant parts of a mostly constant volume, large
// enough that asking about them costs little. Cells are numbered x fastest.
class CellGrid {
 public:
  static constexpr int64_t kCell = 8;

  explicit CellGrid(const Box& box);

  int64_t count() const { return cx_ * cy_ * cz_; }
  static int64_t countFor(const Box& box);

  Box cell(int64_t c) const;

  // The cell that holds voxel (x, y, z) of the box.
  size_t cellOf(int64_t x, int64_t y, int64_t z) const {
    return static_cast<size_t>((x - box_.x0) / kCell +
                               cx_ * ((y - box_.y0) / kCell + cy_ * ((z - box_.z0) / kCell)));
  }

  // Whether test(cell) holds for every cell that `query` (inside the box) touches.
  template <class Test>
  bool all(const Box& query, Test test) const {
    for (int64_t z = query.z0; z < query.z1 + kCell - 1; z += kCell)
      for (int64_t y = query.y0; y < query.y1 + kCell - 1; y += kCell)
        for (int64_t x = query.x0; x < query.x1 + kCell - 1; x += kCell) {
          if (!test(cellOf(std::min(x, query.x1 - 1), std::min(y, query.y1 - 1),
                           std::min(z, query.z1 - 1)))) {
            return false;
          }
        }
    return true;
  }

 private:
  Box box_;
  int64_t cx_, cy_, cz_;
};

// Which cells of an input box hold one finite value throughout, so that a
// part of it can be asked whether it is constant without reading it.
class ConstancyMap {
 public:
  // `data` holds the voxels of `box`, x fastest. Unless `mapped`, no part
  // counts as constant and nothing is read.
  ConstancyMap(const float* data, const Box& box, int threads, bool mapped = true);

  // True, with the value, when every voxel of `query` (which must lie in the
  // box) holds the same finite value.
  bool constant(const Box& query, float& value) const;
  // Whether any cell is constant: if none is, constant() is always false.
  bool anyConstant() const { return anyConstant_; }

  static int64_t bytesFor(const Box& box);

 private:
  CellGrid grid_;
  std::vector<uint8_t> constant_;
  std::vector<uint32_t> bits_;
  bool anyConstant_ = false;
};

// Which cells of a direction field hold direction 0 throughout: with a
// constant volume around them, their outputs are known.
class ZeroField {
 public:
  // `chosen` holds the direction indices of the voxels of `box`, x fastest.
  // Unless `mapped`, no part counts as direction 0 and nothing is read.
  ZeroField(const uint16_t* chosen, const Box& box, int threads, bool mapped = true);

  // Whether every voxel of `query` (inside the field's box) holds direction 0.
  bool allZero(const Box& query) const {
    return grid_.all(query, [&](size_t c) { return zero_[c] != 0; });
  }

  static int64_t bytesFor(const Box& box) { return CellGrid::countFor(box); }

 private:
  CellGrid grid_;
  std::vector<uint8_t> zero_;
};

// The output of a voxel whose every sample is exactly `value`: the
// integration's additions in its order, times the mean factor `r`.
float constantResult(float value, int steps, float r);

}  // namespace voluna
