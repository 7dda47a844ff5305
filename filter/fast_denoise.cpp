// The denoiser's two passes, vectorised across consecutive x voxels of a row.
//
// Bit-identity with the plain path rests on two facts:
// - Every stencil offset is a whole number of voxels, the same for every
//   voxel, so a vector of consecutive voxels reads each of its inputs with
//   one contiguous load, from copies whose rows are widened by replicated
//   edge voxels: the x clamp of the plain path. The y and z clamps are the
//   same for every voxel of a row and pick the row read.
// - Every lane performs the plain path's float operations on its own values
//   in the plain path's order (denoise_math.h), fused where it says fmaf
//   and nowhere else; selects stand where it branches.

#include "fast_denoise.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "denoise_math.h"
#include "parallel_rows.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fast_denoise.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "fast_simd-inl.h"

// Highway compiles this file once per target; what follows is shared.
#ifndef VOLUNA_FAST_DENOISE_SHARED
#define VOLUNA_FAST_DENOISE_SHARED
namespace voluna {
namespace {

// A copy of a box's voxels whose rows are widened by `margin` replicated
// edge voxels on each side, optionally with holes read as 0.
class PaddedRows {
 public:
  PaddedRows(const float* data, const Box& box, int margin, bool filled, int threads)
      : box_(box), margin_(margin), stride_(box.width() + 2 * margin) {
    const int64_t rows = box.height() * box.depth();
    data_.resize(static_cast<size_t>(stride_ * rows));
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int64_t row = 0; row < rows; ++row) fill(row, data + row * box.width(), filled);
  }

  // An uninitialised copy to be written row by row through rowAt, then
  // widened with widen().
  PaddedRows(const Box& box, int margin)
      : box_(box), margin_(margin), stride_(box.width() + 2 * margin) {
    data_.resize(static_cast<size_t>(stride_ * box.height() * box.depth()));
  }

  // Voxel (box.x0, y, z) of the row at whole-volume (y, z), clamped into the box.
  const float* rowAt(int64_t y, int64_t z) const {
    y = std::clamp(y, box_.y0, box_.y1 - 1) - box_.y0;
    z = std::clamp(z, box_.z0, box_.z1 - 1) - box_.z0;
    return data_.data() + (y + box_.height() * z) * stride_ + margin_;
  }
  float* rowAt(int64_t y, int64_t z) { return const_cast<float*>(std::as_const(*this).rowAt(y, z)); }

  void widen(int64_t row) {
    float* r = data_.data() + row * stride_;
    std::fill(r, r + margin_, r[margin_]);
    std::fill(r + margin_ + box_.width(), r + stride_, r[margin_ + box_.width() - 1]);
  }

 private:
  void fill(int64_t row, const float* in, bool filled) {
    float* r = data_.data() + row * stride_ + margin_;
    for (int64_t x = 0; x < box_.width(); ++x) r[x] = filled && !finiteValue(in[x]) ? 0.0f : in[x];
    widen(row);
  }

  Box box_;
  int64_t margin_, stride_;
  std::vector<float> data_;
};

}  // namespace
}  // namespace voluna
#endif  // VOLUNA_FAST_DENOISE_SHARED

HWY_BEFORE_NAMESPACE();
namespace voluna {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;

HWY_INLINE VF kernelV(VF t) {
  const DF d;
  const VF zero = hn::Zero(d), one = hn::Set(d, 1.0f);
  VF u = hn::Sub(one, hn::Mul(t, hn::Set(d, 0.125f)));
  u = hn::IfThenElse(hn::Gt(u, zero), u, zero);
  u = hn::IfThenElse(hn::Lt(u, one), u, one);
  const VF u2 = hn::Mul(u, u);
  const VF u4 = hn::Mul(u2, u2);
  return hn::Mul(u4, u4);
}

HWY_INLINE hn::Mask<DF> finiteV(VF v) { return hn::Eq(hn::Sub(v, v), hn::Zero(DF())); }

// Stores the first `count` lanes of v at `to`.
HWY_INLINE void storeFirst(VF v, int count, float* to) {
  const DF d;
  HWY_ALIGN float lanes[HWY_MAX_BYTES / sizeof(float)];
  hn::Store(v, d, lanes);
  std::copy(lanes, lanes + count, to);
}

// pilotVoxel for the voxels x0 .. x0 + lanes - 1 of row (y, z).
HWY_INLINE VF pilotChunk(const PaddedRows& in, int64_t x0, int64_t y, int64_t z, int64_t inX0,
                         const DenoiseStencilView& s) {
  const DF d;
  const int r = s.patchRadius;
  const int64_t cx = x0 - inX0;
  // The voxels' own patches, the same for every candidate.
  constexpr int kMaxPatch = 27;
  VF own[kMaxPatch];
  int n = 0;
  for (int kz = -r; kz <= r; ++kz)
    for (int ky = -r; ky <= r; ++ky) {
      const float* row = in.rowAt(y + ky, z + kz) + cx;
      for (int kx = -r; kx <= r; ++kx) own[n++] = hn::LoadU(d, row + kx);
    }
  const VF c1 = hn::Set(d, s.c1), c2 = hn::Set(d, s.c2);
  VF sum = hn::Zero(d), weights = hn::Zero(d), most = hn::Zero(d);
  for (int i = 0; i < s.windowCount; ++i) {
    const Offset3 o = s.window[i];
    VF distance = hn::Zero(d);
    int k = 0;
    for (int kz = -r; kz <= r; ++kz)
      for (int ky = -r; ky <= r; ++ky) {
        const float* row = in.rowAt(y + o.y + ky, z + o.z + kz) + cx + o.x;
        for (int kx = -r; kx <= r; ++kx) {
          const VF diff = hn::Sub(own[k++], hn::LoadU(d, row + kx));
          distance = Fused(diff, diff, distance);
        }
      }
    const VF w = kernelV(hn::Sub(hn::Mul(distance, c1), c2));
    VF v = hn::LoadU(d, in.rowAt(y + o.y, z + o.z) + cx + o.x);
    v = hn::IfThenElseZero(finiteV(v), v);
    sum = Fused(w, v, sum);
    weights = hn::Add(weights, w);
    most = hn::IfThenElse(hn::Gt(w, most), w, most);
  }
  const VF one = hn::Set(d, 1.0f);
  const VF self = hn::IfThenElse(hn::Gt(most, hn::Zero(d)), most, one);
  const VF centre = hn::LoadU(d, in.rowAt(y, z) + cx);
  const VF pilot = hn::Div(Fused(self, centre, sum), hn::Add(weights, self));
  return hn::IfThenElse(finiteV(centre), pilot, hn::Sub(centre, centre));
}

HWY_INLINE VF tapV(const PaddedRows& rows, int64_t cx, int64_t y, int64_t z, const LineTap& tap) {
  const DF d;
  VF sum = hn::Zero(d);
  for (int cz = 0; cz < 2; ++cz)
    for (int cy = 0; cy < 2; ++cy) {
      const float* row = rows.rowAt(y + tap.cell[1] + cy, z + tap.cell[2] + cz) + cx + tap.cell[0];
      for (int c = 0; c < 2; ++c) {
        sum = Fused(hn::LoadU(d, row + c), hn::Set(d, tap.weight[cz * 4 + cy * 2 + c]), sum);
      }
    }
  return sum;
}

// finalVoxel for the voxels x0 .. x0 + lanes - 1 of row (y, z).
template <bool kTame>
HWY_INLINE VF finalChunk(const PaddedRows& raw, const PaddedRows& filled, const PaddedRows& pilot,
                         int64_t x0, int64_t y, int64_t z, int64_t inX0, int64_t pilotX0,
                         const DenoiseStencilView& s) {
  const DF d;
  const int64_t cx = x0 - inX0, px = x0 - pilotX0;
  const VF own = hn::LoadU(d, pilot.rowAt(y, z) + px);
  const VF c3 = hn::Set(d, s.c3), c4 = hn::Set(d, s.c4);
  const int r = s.patchRadius;
  // The voxels' own patches of the pilot, the same for every sample.
  constexpr int kMaxPatch = 27;
  VF patch[kMaxPatch];
  int n = 0;
  for (int kz = -r; kz <= r; ++kz)
    for (int ky = -r; ky <= r; ++ky) {
      const float* row = pilot.rowAt(y + ky, z + kz) + px;
      for (int kx = -r; kx <= r; ++kx) patch[n++] = hn::LoadU(d, row + kx);
    }
  const int middle = n / 2;
  VF sum = hn::Zero(d), weights = hn::Zero(d);
  for (int i = 0; i < s.ballCount; ++i) {
    const Offset3 o = s.ball[i];
    VF distance = hn::Zero(d);
    int k = 0;
    for (int kz = -r; kz <= r; ++kz)
      for (int ky = -r; ky <= r; ++ky) {
        const float* row = pilot.rowAt(y + o.y + ky, z + o.z + kz) + px + o.x;
        for (int kx = -r; kx <= r; ++kx, ++k) {
          VF diff = hn::Sub(hn::LoadU(d, row + kx), patch[k]);
          // A tame pilot (finite, far from the float range's end) has only
          // finite differences, which the plain path keeps as they are.
          if (!kTame && k != middle) diff = hn::IfThenElseZero(finiteV(diff), diff);
          distance = Fused(diff, diff, distance);
        }
      }
    const VF w = kernelV(hn::Mul(distance, c4));
    sum = Fused(w, hn::LoadU(d, filled.rowAt(y + o.y, z + o.z) + cx + o.x), sum);
    weights = hn::Add(weights, w);
  }
  for (int i = 0; i < s.tapCount; ++i) {
    const VF diff = hn::Sub(tapV(pilot, px, y, z, s.taps[i]), own);
    const VF w = kernelV(hn::Mul(hn::Mul(diff, diff), c3));
    sum = Fused(w, tapV(filled, cx, y, z, s.taps[i]), sum);
    weights = hn::Add(weights, w);
  }
  const VF centre = hn::LoadU(d, raw.rowAt(y, z) + cx);
  const VF result = hn::IfThenElse(hn::Gt(weights, hn::Zero(d)), hn::Div(sum, weights), centre);
  return hn::IfThenElse(finiteV(centre), result, centre);
}

void PilotRowsImpl(const PaddedRows& in, const Box& inputBox, PaddedRows& pilot,
                   const Box& pilotBox, const DenoiseStencilView& s, int64_t rowBegin,
                   int64_t rowEnd) {
  const int lanes = static_cast<int>(hn::Lanes(DF()));
  for (int64_t row = rowBegin; row < rowEnd; ++row) {
    const int64_t y = pilotBox.y0 + row % pilotBox.height(), z = pilotBox.z0 + row / pilotBox.height();
    float* to = pilot.rowAt(y, z);
    for (int64_t x0 = pilotBox.x0; x0 < pilotBox.x1; x0 += lanes) {
      const int count = static_cast<int>(std::min<int64_t>(lanes, pilotBox.x1 - x0));
      storeFirst(pilotChunk(in, x0, y, z, inputBox.x0, s), count, to + (x0 - pilotBox.x0));
    }
    pilot.widen(row);
  }
}

void FinalRowsImpl(const PaddedRows& raw, const PaddedRows& filled, const Box& inputBox,
                   const PaddedRows& pilot, const Box& pilotBox, const Box& interior,
                   const DenoiseStencilView& s, bool tame, int64_t rowBegin, int64_t rowEnd, float* out) {
  const int lanes = static_cast<int>(hn::Lanes(DF()));
  const BoxIndex at(interior);
  for (int64_t row = rowBegin; row < rowEnd; ++row) {
    const int64_t y = interior.y0 + row % interior.height(), z = interior.z0 + row / interior.height();
    for (int64_t x0 = interior.x0; x0 < interior.x1; x0 += lanes) {
      const int count = static_cast<int>(std::min<int64_t>(lanes, interior.x1 - x0));
      float* to = out + at(x0, y, z);
      const VF result = tame ? finalChunk<true>(raw, filled, pilot, x0, y, z, inputBox.x0, pilotBox.x0, s)
                             : finalChunk<false>(raw, filled, pilot, x0, y, z, inputBox.x0, pilotBox.x0, s);
      storeFirst(result, count, to);
      if (s.amplitude != nullptr) {
        for (int i = 0; i < count; ++i) to[i] = restoreAmplitude(to[i], s);
      }
    }
  }
}

int LanesImpl() { return static_cast<int>(hn::Lanes(DF())); }
const char* TargetNameImpl() { return hwy::TargetName(HWY_TARGET); }

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace voluna
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace voluna {

HWY_EXPORT(PilotRowsImpl);
HWY_EXPORT(FinalRowsImpl);
HWY_EXPORT(LanesImpl);
HWY_EXPORT(TargetNameImpl);

int denoiseLanes() { return HWY_DYNAMIC_DISPATCH(LanesImpl)(); }
const char* denoiseTargetName() { return HWY_DYNAMIC_DISPATCH(TargetNameImpl)(); }
int64_t denoiseTargets() { return hwy::SupportedTargets() & HWY_TARGETS; }

namespace {

int marginFor(const DenoiseStencil& s) {
  const int reach = std::max({s.pilotReach.x, s.finalReach.x});
  return reach + denoiseLanes();
}

}  // namespace

bool fastDenoiseTakes(const Box& inputBox, const DenoiseStencil& stencil) {
  (void)inputBox;
  return marginFor(stencil) <= kMaxDenoiseMargin;
}

bool fastDenoise(const float* input, const Box& inputBox, const Box& pilotBox, const Box& interior,
                 const DenoiseStencil& stencil, int threads, const RunControl* control, float* out) {
  const DenoiseStencilView view = viewOf(stencil);
  const int margin = marginFor(stencil);
  const PaddedRows raw(input, inputBox, margin, false, threads);
  PaddedRows pilot(pilotBox, margin);
  auto rowsPerUnit = [&](const Box& b) {
    return std::clamp<int64_t>(b.height() * b.depth() / (8 * threads), 1, 8);
  };
  const bool pilotDone = forEachUnit(
      pilotBox.height() * pilotBox.depth(), rowsPerUnit(pilotBox), threads, Stage::VectorField,
      control, [&](int64_t begin, int64_t end, int) {
        HWY_DYNAMIC_DISPATCH(PilotRowsImpl)(raw, inputBox, pilot, pilotBox, view, begin, end);
        return true;
      });
  if (!pilotDone) return false;
  // Whether every pilot value is finite and below 1e38 in size, so that no
  // difference of two of them can be anything but finite.
  bool tame = true;
#pragma omp parallel for schedule(static) num_threads(threads) reduction(&& : tame)
  for (int64_t row = 0; row < pilotBox.height() * pilotBox.depth(); ++row) {
    const float* values = pilot.rowAt(pilotBox.y0 + row % pilotBox.height(), pilotBox.z0 + row / pilotBox.height());
    for (int64_t x = 0; x < pilotBox.width(); ++x) tame = tame && std::fabs(values[x]) <= 1e38f;
  }
  const PaddedRows filled(input, inputBox, margin, true, threads);
  return forEachUnit(interior.height() * interior.depth(), rowsPerUnit(interior), threads,
                     Stage::Integration, control, [&](int64_t begin, int64_t end, int) {
                       HWY_DYNAMIC_DISPATCH(FinalRowsImpl)(raw, filled, inputBox, pilot, pilotBox,
                                                           interior, view, tame, begin, end, out);
                       return true;
                     });
}

}  // namespace voluna
#endif  // HWY_ONCE
