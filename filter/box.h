// Parts of a volume in whole-volume coordinates.
#pragma once

#include <cstdint>

namespace voluna {

// Dimensions of a whole volume. Unlike Dims they may multiply to 2^31
// voxels or more; only a brick's own buffers must stay below that.
struct Extent {
  int64_t x = 0, y = 0, z = 0;

  int64_t count() const { return x * y * z; }
};

// The voxels [x0, x1) x [y0, y1) x [z0, z1) of a volume, in whole-volume
// coordinates. A buffer holding a box stores its voxels x fastest.
struct Box {
  int64_t x0 = 0, y0 = 0, z0 = 0;
  int64_t x1 = 0, y1 = 0, z1 = 0;

  int64_t width() const { return x1 - x0; }
  int64_t height() const { return y1 - y0; }
  int64_t depth() const { return z1 - z0; }
  int64_t count() const { return empty() ? 0 : width() * height() * depth(); }
  bool empty() const { return x1 <= x0 || y1 <= y0 || z1 <= z0; }
  bool contains(const Box& inner) const {
    return inner.x0 >= x0 && inner.y0 >= y0 && inner.z0 >= z0 && inner.x1 <= x1 &&
           inner.y1 <= y1 && inner.z1 <= z1;
  }
  // The box of a whole volume.
  static Box of(Extent whole) { return {0, 0, 0, whole.x, whole.y, whole.z}; }
};

inline bool operator==(const Box& a, const Box& b) {
  return a.x0 == b.x0 && a.y0 == b.y0 && a.z0 == b.z0 && a.x1 == b.x1 && a.y1 == b.y1 &&
         a.z1 == b.z1;
}

// Where the voxels of a box lie in the buffer that holds it.
class BoxIndex {
 public:
  explicit BoxIndex(const Box& box)
      : box_(box), nx_(box.width()), nxy_(box.width() * box.height()) {}
  int64_t operator()(int64_t i, int64_t j, int64_t k) const {
    return (i - box_.x0) + nx_ * (j - box_.y0) + nxy_ * (k - box_.z0);
  }

 private:
  Box box_;
  int64_t nx_, nxy_;
};

}  // namespace voluna
