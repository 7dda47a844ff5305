// Software emulation of the GPU's trilinear, edge-clamping texture lookup.
//
// The texture unit keeps the interpolation weights in fixed point with 8
// fractional bits. Rounding the weights the same way (to nearest, ties up)
// and blending with one fused multiply-add per corner in a fixed order makes
// each tap round once, so the CPU reproduces the lookup as closely as the
// unpublished hardware rounding allows.
#pragma once

#include <cmath>
#include <cstdint>

#include "box.h"
#include "device.h"
#include "dims.h"

namespace voluna {

struct AxisTap {
  int i0, i1;      // clamped indices of the two neighbours
  float w0, w1;    // their weights, multiples of 1/256
};

// `u` is a texture coordinate: the centre of voxel i sits at i + 0.5. The
// taps clamp into [lo, lo + size), and come back relative to lo: a buffer
// holding part of a volume is sampled at whole-volume coordinates, with the
// part's faces standing in for the volume's.
inline AxisTap axisTap(float u, int size, int lo = 0) {
  const float a = u - 0.5f;
  const float q = std::floor(a * 256.0f + 0.5f);
  float cell = std::floor(q / 256.0f);
  const float f = q - 256.0f * cell;
  // A whole number below 2^24 minus another: exact, so the fraction and the
  // weights stay what they are at whole-volume coordinates.
  cell -= static_cast<float>(lo);
  // Clamping the cell before the integer conversion keeps far-away and
  // non-finite positions defined; both neighbours clamp the same way anyway.
  if (!(cell >= -1.0f)) cell = -1.0f;
  if (cell > static_cast<float>(size - 1)) cell = static_cast<float>(size - 1);
  const int i = static_cast<int>(cell);
  AxisTap tap;
  tap.i0 = i < 0 ? 0 : i;
  tap.i1 = i + 1 > size - 1 ? size - 1 : i + 1;
  tap.w0 = (256.0f - f) / 256.0f;
  tap.w1 = f / 256.0f;
  return tap;
}

// The texture unit's blend: for z-corner 0, 1, within it y-corner 0, 1,
// within it x-corner 0, 1, one fused multiply-add per corner with the exact
// weight product. `fetch(i, j, k)` returns the value stored at clamped
// indices; the taps are taken against `size`, the extent the clamping uses,
// starting at `lo` (indices come relative to it).
// Every software sampler goes through these two, so they cannot drift apart.
template <class Fetch>
float blendVolume(float u, float v, float w, const int (&size)[3], const int (&lo)[3], Fetch fetch) {
  const AxisTap tx = axisTap(u, size[0], lo[0]), ty = axisTap(v, size[1], lo[1]),
                tz = axisTap(w, size[2], lo[2]);
  const int xs[2] = {tx.i0, tx.i1}, ys[2] = {ty.i0, ty.i1}, zs[2] = {tz.i0, tz.i1};
  const float wxs[2] = {tx.w0, tx.w1}, wys[2] = {ty.w0, ty.w1}, wzs[2] = {tz.w0, tz.w1};
  float sum = 0.0f;
  for (int cz = 0; cz < 2; ++cz)
    for (int cy = 0; cy < 2; ++cy)
      for (int cx = 0; cx < 2; ++cx) {
        sum = fmaf(fetch(xs[cx], ys[cy], zs[cz]), (wxs[cx] * wys[cy]) * wzs[cz], sum);
      }
  return sum;
}

// The same blend per component for a field; `fetch` returns something with
// x, y and z members, and anything else it holds is dropped.
template <class Fetch>
Vec3 blendField(float u, float v, float w, const int (&size)[3], const int (&lo)[3], Fetch fetch) {
  const AxisTap tx = axisTap(u, size[0], lo[0]), ty = axisTap(v, size[1], lo[1]),
                tz = axisTap(w, size[2], lo[2]);
  const int xs[2] = {tx.i0, tx.i1}, ys[2] = {ty.i0, ty.i1}, zs[2] = {tz.i0, tz.i1};
  const float wxs[2] = {tx.w0, tx.w1}, wys[2] = {ty.w0, ty.w1}, wzs[2] = {tz.w0, tz.w1};
  Vec3 sum = {0.0f, 0.0f, 0.0f};
  for (int cz = 0; cz < 2; ++cz)
    for (int cy = 0; cy < 2; ++cy)
      for (int cx = 0; cx < 2; ++cx) {
        const auto& value = fetch(xs[cx], ys[cy], zs[cz]);
        const float weight = (wxs[cx] * wys[cy]) * wzs[cz];
        sum.x = fmaf(value.x, weight, sum.x);
        sum.y = fmaf(value.y, weight, sum.y);
        sum.z = fmaf(value.z, weight, sum.z);
      }
  return sum;
}

// Trilinear value of a float volume at texture coordinates (u, v, w).
class CpuVolumeSampler {
 public:
  CpuVolumeSampler(const float* data, Dims dims) : data_(data), dims_(dims) {}

  float operator()(float u, float v, float w) const {
    return blendVolume(u, v, w, {dims_.x, dims_.y, dims_.z}, {0, 0, 0},
                       [this](int i, int j, int k) { return data_[dims_.index(i, j, k)]; });
  }

 private:
  const float* data_;
  Dims dims_;
};

// Trilinear direction of a float4 field at texture coordinates (u, v, w);
// each component is blended like a volume, and w is dropped.
class CpuFieldSampler {
 public:
  CpuFieldSampler(const Float4* data, Dims dims) : data_(data), dims_(dims) {}

  Vec3 operator()(float u, float v, float w) const {
    return blendField(u, v, w, {dims_.x, dims_.y, dims_.z}, {0, 0, 0},
                      [this](int i, int j, int k) -> const Float4& { return data_[dims_.index(i, j, k)]; });
  }

 private:
  const Float4* data_;
  Dims dims_;
};

// Trilinear value of a buffer holding the voxels of `box`, a part of a
// larger volume, at whole-volume texture coordinates, clamping at the box's
// faces. Where a sample's taps stay inside the box, or the box's faces are
// the volume's, it is the whole volume's sample bit for bit.
class BoxVolumeSampler {
 public:
  BoxVolumeSampler(const float* data, const Box& box)
      : data_(data),
        size_{static_cast<int>(box.width()), static_cast<int>(box.height()),
              static_cast<int>(box.depth())},
        lo_{static_cast<int>(box.x0), static_cast<int>(box.y0), static_cast<int>(box.z0)} {}

  float operator()(float u, float v, float w) const {
    return blendVolume(u, v, w, size_, lo_, [this](int i, int j, int k) {
      return data_[i + int64_t{size_[0]} * (j + int64_t{size_[1]} * k)];
    });
  }

 private:
  const float* data_;
  int size_[3], lo_[3];
};

// The same over a field of direction indices into `table`: the floats the
// float4 field holding table[index] gives.
class BoxFieldSampler {
 public:
  BoxFieldSampler(const uint16_t* chosen, const Vec3* table, const Box& box)
      : chosen_(chosen),
        table_(table),
        size_{static_cast<int>(box.width()), static_cast<int>(box.height()),
              static_cast<int>(box.depth())},
        lo_{static_cast<int>(box.x0), static_cast<int>(box.y0), static_cast<int>(box.z0)} {}

  Vec3 operator()(float u, float v, float w) const {
    return blendField(u, v, w, size_, lo_, [this](int i, int j, int k) -> const Vec3& {
      return table_[chosen_[i + int64_t{size_[0]} * (j + int64_t{size_[1]} * k)]];
    });
  }

 private:
  const uint16_t* chosen_;
  const Vec3* table_;
  int size_[3], lo_[3];
};

}  // namespace voluna
