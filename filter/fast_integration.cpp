// The integration stage, vectorised across consecutive x voxels of a row.
//
// Every lane follows its own path through the field, so the samplers gather
// their corners; each lane still performs the plain per-voxel arithmetic
// (the sampler's taps and fused blend in z, y, x corner order, the
// four-stage step, the running sum) in the same order as the plain path.

#include "fast_integration.h"

#include <algorithm>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fast_integration.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "fast_simd-inl.h"
#include "voxel_math.h"

HWY_BEFORE_NAMESPACE();
namespace voluna {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::CappedTag<float, 8>;
using DI = hn::RebindToSigned<DF>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;

struct PositionV {
  VF x, y, z;
};

// Where a buffer's voxels lie in the volume: its first voxel and its size.
struct Placement {
  int lo[3];
  int size[3];

  explicit Placement(const Box& box)
      : lo{static_cast<int>(box.x0), static_cast<int>(box.y0), static_cast<int>(box.z0)},
        size{static_cast<int>(box.width()), static_cast<int>(box.height()),
             static_cast<int>(box.depth())} {}
};

struct Sources {
  const float* volume;
  Placement volumeAt;
  const uint16_t* chosen;
  Placement chosenAt;
  const float* table4;  // the direction set, four floats per direction (x, y, z, 0)
};

// Visits the eight corners of each lane's cell at texture coordinates
// (u, v, w) of a buffer placed at `at` with their indices in it and
// trilinear weights, in the fixed order that both samplers' fused sums
// depend on.
template <class Corner>
HWY_INLINE void forEachCorner(const Placement& at, VF u, VF v, VF w, const Corner& corner) {
  const DF df;
  const DI di;
  const AxisTaps<DF> tx = axisTaps(df, u, at.size[0], at.lo[0]),
                     ty = axisTaps(df, v, at.size[1], at.lo[1]),
                     tz = axisTaps(df, w, at.size[2], at.lo[2]);
  const VI X = hn::Set(di, at.size[0]), Y = hn::Set(di, at.size[1]);
  for (int cz = 0; cz < 2; ++cz) {
    const VI iz = cz ? tz.i1 : tz.i0;
    const VF wz = cz ? tz.w1 : tz.w0;
    for (int cy = 0; cy < 2; ++cy) {
      const VI row = hn::Mul(hn::Add(hn::Mul(iz, Y), cy ? ty.i1 : ty.i0), X);
      const VF wy = cy ? ty.w1 : ty.w0;
      for (int cx = 0; cx < 2; ++cx) {
        corner(hn::Add(row, cx ? tx.i1 : tx.i0), hn::Mul(hn::Mul(cx ? tx.w1 : tx.w0, wy), wz));
      }
    }
  }
}

// Trilinear value of the volume at texture coordinates (u, v, w).
HWY_INLINE VF sampleVolume(const Sources& s, VF u, VF v, VF w) {
  const DF df;
  VF sum = hn::Zero(df);
  forEachCorner(s.volumeAt, u, v, w, [&](VI index, VF weight) HWY_ATTR {
    sum = Fused(hn::GatherIndex(df, s.volume, index), weight, sum);
  });
  return sum;
}

// The directions of the given voxels, one voxel per lane. Gathering each
// component would cost three gathers per corner; reading each lane's table
// row whole and transposing them costs a third of that.
template <class D>
HWY_INLINE PositionV directionsAt(D df, const Sources& s, VI voxel) {
  HWY_ALIGN int32_t at[HWY_MAX_BYTES / sizeof(float)];
  hn::Store(voxel, DI(), at);
#if HWY_CAP_GE256
  if constexpr (hn::MaxLanes(D()) == 8) {
    const hn::Full128<float> d4;
    const hn::Repartition<double, D> dd;
    auto row = [&](int l) { return hn::LoadU(d4, s.table4 + 4 * size_t(s.chosen[at[l]])); };
    const auto a = hn::Combine(df, row(4), row(0)), b = hn::Combine(df, row(5), row(1));
    const auto c = hn::Combine(df, row(6), row(2)), e = hn::Combine(df, row(7), row(3));
    // Within each half: t0 = x0 x1 y0 y1, t1 = x2 x3 y2 y3, t2 = z0 z1 w0 w1, t3 = z2 z3 w2 w3.
    const auto t0 = hn::BitCast(dd, hn::InterleaveLower(df, a, b));
    const auto t1 = hn::BitCast(dd, hn::InterleaveLower(df, c, e));
    const auto t2 = hn::BitCast(dd, hn::InterleaveUpper(df, a, b));
    const auto t3 = hn::BitCast(dd, hn::InterleaveUpper(df, c, e));
    return {hn::BitCast(df, hn::InterleaveLower(dd, t0, t1)),
            hn::BitCast(df, hn::InterleaveUpper(dd, t0, t1)),
            hn::BitCast(df, hn::InterleaveLower(dd, t2, t3))};
  } else
#endif
  {
    HWY_ALIGN float xs[HWY_MAX_BYTES / sizeof(float)], ys[HWY_MAX_BYTES / sizeof(float)],
        zs[HWY_MAX_BYTES / sizeof(float)];
    for (size_t l = 0; l < hn::Lanes(df); ++l) {
      const float* d = s.table4 + 4 * size_t(s.chosen[at[l]]);
      xs[l] = d[0];
      ys[l] = d[1];
      zs[l] = d[2];
    }
    return {hn::Load(df, xs), hn::Load(df, ys), hn::Load(df, zs)};
  }
}

// Trilinear direction of the index field at texture coordinates (u, v, w):
// each corner's direction blended per component like a volume.
HWY_INLINE PositionV sampleField(const Sources& s, VF u, VF v, VF w) {
  const DF df;
  PositionV sum = {hn::Zero(df), hn::Zero(df), hn::Zero(df)};
  forEachCorner(s.chosenAt, u, v, w, [&](VI index, VF weight) HWY_ATTR {
    const PositionV d = directionsAt(df, s, index);
    sum.x = Fused(d.x, weight, sum.x);
    sum.y = Fused(d.y, weight, sum.y);
    sum.z = Fused(d.z, weight, sum.z);
  });
  return sum;
}

HWY_INLINE PositionV lookupAt(const Sources& s, PositionV p) {
  const VF half = hn::Set(DF(), 0.5f);
  return sampleField(s, hn::Add(p.x, half), hn::Add(p.y, half), hn::Add(p.z, half));
}

HWY_INLINE PositionV halfStep(PositionV p, PositionV k) {
  const VF half = hn::Set(DF(), 0.5f);
  return {hn::Add(p.x, hn::Mul(half, k.x)), hn::Add(p.y, hn::Mul(half, k.y)),
          hn::Add(p.z, hn::Mul(half, k.z))};
}

HWY_INLINE PositionV signed3(VF sign, PositionV k) {
  return {hn::Mul(sign, k.x), hn::Mul(sign, k.y), hn::Mul(sign, k.z)};
}

// integrationStep of voxel_math.h, lane by lane.
HWY_INLINE PositionV stepV(const Sources& s, PositionV p, VF sign) {
  const DF df;
  const PositionV k1 = signed3(sign, lookupAt(s, p));
  const PositionV k2 = signed3(sign, lookupAt(s, halfStep(p, k1)));
  const PositionV k3 = signed3(sign, lookupAt(s, halfStep(p, k2)));
  const PositionV k4 = signed3(sign, lookupAt(s, halfStep(p, k3)));
  const VF two = hn::Set(df, 2.0f), sixth = hn::Set(df, kSixth);
  PositionV t;
  t.x = Fused(two, k2.x, k1.x);
  t.y = Fused(two, k2.y, k1.y);
  t.z = Fused(two, k2.z, k1.z);
  t.x = Fused(two, k3.x, t.x);
  t.y = Fused(two, k3.y, t.y);
  t.z = Fused(two, k3.z, t.z);
  t.x = hn::Add(t.x, k4.x);
  t.y = hn::Add(t.y, k4.y);
  t.z = hn::Add(t.z, k4.z);
  return {Fused(t.x, sixth, p.x), Fused(t.y, sixth, p.y), Fused(t.z, sixth, p.z)};
}

HWY_INLINE VF volumeAt(const Sources& s, PositionV p) {
  const VF half = hn::Set(DF(), 0.5f);
  return sampleVolume(s, hn::Add(p.x, half), hn::Add(p.y, half), hn::Add(p.z, half));
}

void IntegrateRowsImpl(const IntegrationJob& job, const Box& area, int64_t rowBegin,
                       int64_t rowEnd) {
  const DF df;
  const DI di;
  const int lanes = static_cast<int>(hn::Lanes(df));
  const Sources s{job.volume, Placement(job.volumeBox), job.chosen, Placement(job.chosenBox),
                  job.table4};
  const BoxIndex outAt(job.outBox);
  const VF r = hn::Set(df, meanFactor(job.steps));
  const VF against = hn::Set(df, -1.0f), along = hn::Set(df, 1.0f);
  const int steps = job.steps;
  const int xBegin = static_cast<int>(area.x0), xEnd = static_cast<int>(area.x1);
  for (int64_t row = rowBegin; row < rowEnd; ++row) {
    const int y = static_cast<int>(area.y0 + row % area.height()),
              z = static_cast<int>(area.z0 + row / area.height());
    for (int x0 = xBegin; x0 < xEnd; x0 += lanes) {
      const PositionV p0 = {hn::ConvertTo(df, hn::Iota(di, x0)),
                            hn::Set(df, static_cast<float>(y)), hn::Set(df, static_cast<float>(z))};
      VF acc = volumeAt(s, p0);
      PositionV p = p0;
      for (int k = 0; k < steps; ++k) {
        p = stepV(s, p, against);
        acc = hn::Add(acc, volumeAt(s, p));
      }
      p = p0;
      for (int k = 0; k < steps; ++k) {
        p = stepV(s, p, along);
        acc = hn::Add(acc, volumeAt(s, p));
      }
      HWY_ALIGN float result[HWY_MAX_BYTES / sizeof(float)];
      hn::Store(hn::Mul(acc, r), df, result);
      std::copy(result, result + std::min(lanes, xEnd - x0), job.out + outAt(x0, y, z));
    }
  }
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace voluna
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace voluna {

HWY_EXPORT(IntegrateRowsImpl);

std::vector<float> directionRows(const std::vector<Vec3>& directions) {
  std::vector<float> table4(4 * directions.size(), 0.0f);
  for (size_t i = 0; i < directions.size(); ++i) {
    table4[4 * i] = directions[i].x;
    table4[4 * i + 1] = directions[i].y;
    table4[4 * i + 2] = directions[i].z;
  }
  return table4;
}

void integrateRows(const IntegrationJob& job, const Box& area, int64_t rowBegin, int64_t rowEnd) {
  HWY_DYNAMIC_DISPATCH(IntegrateRowsImpl)(job, area, rowBegin, rowEnd);
}

}  // namespace voluna
#endif  // HWY_ONCE
