// The tap tables of a group of directions: the common x fractions, each
// run's x taps and each row's y and z taps, built with the plain sampler's
// arithmetic; and the per-lane sampler for the runs whose lanes disagree.
//
// Included once per Highway target from fast_direction_search.cpp (the
// per-target include guard below), so it has no include guard of its own.
#if defined(VOLUNA_FILTER_FAST_SEARCH_TABLES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef VOLUNA_FILTER_FAST_SEARCH_TABLES_INL_H_
#undef VOLUNA_FILTER_FAST_SEARCH_TABLES_INL_H_
#else
#define VOLUNA_FILTER_FAST_SEARCH_TABLES_INL_H_
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "cpu_sampler.h"
#include "fast_direction_search.h"
#include "fast_search_layout-inl.h"
#include "fast_simd-inl.h"
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace voluna {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The x fraction that most runs share for each direction of the group and
// sample: the one of a walk from x = 0. Any choice would be correct, since
// every run compares its own fraction with it.
void buildCommonFractions(const UnitLayout& layout, const UnitTables& tables,
                          const DirectionGroup& group) {
  const DT dt;
  const int N = static_cast<int>(hn::Lanes(dt));
  const VT half = hn::Set(dt, 0.5f), k256 = hn::Set(dt, 256.0f), inv256 = hn::Set(dt, kInv256);
  for (int dv = 0; dv < group.count; dv += N) {
    const VT dx = hn::Load(dt, group.x + dv);
    for (int walk = 0; walk < 2; ++walk) {
      const VT step = walk == 0 ? hn::Neg(dx) : dx;
      VT px = hn::Zero(dt);
      for (int k = 0; k < layout.samples; ++k) {
        px = hn::Add(px, step);
        VT cell, f;
        axisCells(dt, hn::Add(px, half), cell, f);
        const size_t e = (size_t(walk) * layout.samples + k) * layout.groupSize + dv;
        hn::StoreU(f, dt, tables.commonF + e);
        hn::StoreU(hn::Mul(hn::Sub(k256, f), inv256), dt, tables.commonW0 + e);
        hn::StoreU(hn::Mul(f, inv256), dt, tables.commonW1 + e);
      }
    }
  }
}

// The x taps of run `run` for the group's directions, every sample of
// both walks. An entry keeps the cell of the run's first lane, moved into
// the padding margin where that changes no value read, provided every real
// lane l reads what lane 0 + l reads in the padded row, with the same
// fraction; else it is marked mixed.
void buildXTable(const SearchJob& job, const UnitLayout& layout, const UnitTables& tables, int run,
                 const DirectionGroup& group) {
  const DF df;
  const int x0 = layout.x0 + run * layout.width;
  const int chunks = layout.chunks(run);
  MF real[kMaxChunks];
  VF origins[kMaxChunks], laneOffsets[kMaxChunks];
  for (int c = 0; c < chunks; ++c) {
    real[c] = hn::FirstN(df, static_cast<size_t>(layout.realLanes(run, c, layout.lanes)));
    origins[c] = laneOrigins(x0 + c * layout.lanes);
    laneOffsets[c] = laneOrigins(c * layout.lanes);
  }
  // The volume's faces in x, in its own coordinates.
  const float low = static_cast<float>(job.volumeBox.x0);
  const float high = low + static_cast<float>(job.dims.x - 1);
  const VF first = hn::Set(df, low), last = hn::Set(df, high);
  const VF one = hn::Set(df, 1.0f), half = hn::Set(df, 0.5f);
  // The run may start anywhere in [first - (W + 1), last] for a run of W
  // lanes: its corners then lie in the margin of W + 1 voxels on either
  // side. A run whose lanes all lie beyond a face reads that face's voxel
  // everywhere, and so does the run moved to the edge of this range.
  const float lowest = low - static_cast<float>(layout.width + 1);
  auto clampX = [&](VF v) { return hn::Min(hn::Max(v, first), last); };
  for (int gi = 0; gi < group.count; ++gi) {
    const float dx = group.x[gi];
    for (int walk = 0; walk < 2; ++walk) {
      // p + (-d) is bitwise p - d: the plain search steps the same way.
      const VF step = hn::Set(df, walk == 0 ? -dx : dx);
      VF px[kMaxChunks];
      for (int c = 0; c < chunks; ++c) px[c] = origins[c];
      for (int k = 0; k < layout.samples; ++k) {
        bool same = true;
        float start = 0.0f, f0 = 0.0f;
        for (int c = 0; c < chunks; ++c) {
          px[c] = hn::Add(px[c], step);
          VF cell, f;
          axisCells(df, hn::Add(px[c], half), cell, f);
          if (c == 0) {
            const float cell0 = hn::GetLane(cell);
            f0 = hn::GetLane(f);
            start = std::min(std::max(cell0, lowest), high);
          }
          const VF expected = hn::Add(hn::Set(df, start), laneOffsets[c]);
          const MF agree = hn::And(
              hn::And(hn::Eq(clampX(cell), clampX(expected)),
                      hn::Eq(clampX(hn::Add(cell, one)), clampX(hn::Add(expected, one)))),
              hn::Eq(f, hn::Set(df, f0)));
          same = same && hn::AllTrue(df, hn::Or(agree, hn::Not(real[c])));
        }
        const int j = walk * layout.samples + k;
        const size_t e = (size_t(run) * layout.groupSize + gi) * layout.perDir + j;
        // Whole numbers below 2^23: the difference is exact.
        const int32_t cell = static_cast<int32_t>(start - low);
        if (!same) {
          tables.xCell[e] = kMixedCell;
        } else if (f0 == tables.commonF[size_t(j) * layout.groupSize + gi]) {
          tables.xCell[e] = cell;
        } else {
          tables.xCell[e] = cell + kOwnFraction;
          tables.xWeight[2 * e] = (256.0f - f0) / 256.0f;
          tables.xWeight[2 * e + 1] = f0 / 256.0f;
        }
      }
    }
  }
}

// The y and z taps of row (y, z) for the group's directions, lanes
// running over directions: per entry the offsets of the four corner rows and
// their weights, alone and times each common x weight.
void buildYZTable(const SearchJob& job, const UnitLayout& layout, const UnitTables& tables, int y,
                  int z, const DirectionGroup& group) {
  const DT dt;
  const DTI dti;
  const int N = static_cast<int>(hn::Lanes(dt));
  const int Y = job.dims.y, Z = job.dims.z;
  const int y0 = static_cast<int>(job.volumeBox.y0), z0 = static_cast<int>(job.volumeBox.z0);
  const VTI stride = hn::Set(dti, job.padded.rowStride());
  const VTI rowsPerSlice = hn::Set(dti, Y);
  const VT half = hn::Set(dt, 0.5f);
  auto store4 = [&](VT a, VT b, VT c, VT d, float* to) {
    hn::StoreInterleaved4(hn::BitCast(dti, a), hn::BitCast(dti, b), hn::BitCast(dti, c),
                          hn::BitCast(dti, d), dti, reinterpret_cast<int32_t*>(to));
  };
  for (int dv = 0; dv < group.count; dv += N) {
    const VT dy = hn::Load(dt, group.y + dv);
    const VT dz = hn::Load(dt, group.z + dv);
    for (int walk = 0; walk < 2; ++walk) {
      const VT sy = walk == 0 ? hn::Neg(dy) : dy;
      const VT sz = walk == 0 ? hn::Neg(dz) : dz;
      VT py = hn::Set(dt, static_cast<float>(y));
      VT pz = hn::Set(dt, static_cast<float>(z));
      for (int k = 0; k < layout.samples; ++k) {
        py = hn::Add(py, sy);
        pz = hn::Add(pz, sz);
        const AxisTaps<DT> ty = axisTaps(dt, hn::Add(py, half), Y, y0);
        const AxisTaps<DT> tz = axisTaps(dt, hn::Add(pz, half), Z, z0);
        const VTI slice0 = hn::Mul(tz.i0, rowsPerSlice), slice1 = hn::Mul(tz.i1, rowsPerSlice);
        const size_t e = (size_t(walk) * layout.samples + k) * layout.groupSize + dv;
        hn::StoreInterleaved4(
            hn::Mul(hn::Add(slice0, ty.i0), stride), hn::Mul(hn::Add(slice0, ty.i1), stride),
            hn::Mul(hn::Add(slice1, ty.i0), stride), hn::Mul(hn::Add(slice1, ty.i1), stride), dti,
            tables.yzOffset + e * 4);
        const VT w00 = hn::Mul(tz.w0, ty.w0), w01 = hn::Mul(tz.w0, ty.w1);
        const VT w10 = hn::Mul(tz.w1, ty.w0), w11 = hn::Mul(tz.w1, ty.w1);
        store4(w00, w01, w10, w11, tables.yzWeight + e * 4);
        const VT wx0 = hn::LoadU(dt, tables.commonW0 + e), wx1 = hn::LoadU(dt, tables.commonW1 + e);
        store4(hn::Mul(wx0, w00), hn::Mul(wx0, w01), hn::Mul(wx0, w10), hn::Mul(wx0, w11),
               tables.yzWeightX0 + e * 4);
        store4(hn::Mul(wx1, w00), hn::Mul(wx1, w01), hn::Mul(wx1, w10), hn::Mul(wx1, w11),
               tables.yzWeightX1 + e * 4);
      }
    }
  }
}

// One chunk of one sample through the plain sampler, lane by lane, its
// positions stepped afresh from the voxel centres.
HWY_NOINLINE VF mixedSample(const SearchJob& job, int x0, int y, int z, int direction, int walk,
                            int k) {
  const DF df;
  const float sign = walk == 0 ? -1.0f : 1.0f;
  const float sx = sign * job.dirX[direction], sy = sign * job.dirY[direction],
              sz = sign * job.dirZ[direction];
  VF px = laneOrigins(x0);
  float py = static_cast<float>(y), pz = static_cast<float>(z);
  for (int step = 0; step <= k; ++step) {
    px = hn::Add(px, hn::Set(df, sx));
    py = py + sy;
    pz = pz + sz;
  }
  HWY_ALIGN float xs[kLaneCapacity], values[kLaneCapacity];
  hn::Store(px, df, xs);
  const BoxVolumeSampler sampler(job.volume, job.volumeBox);
  for (size_t l = 0; l < hn::Lanes(df); ++l)
    values[l] = sampler(xs[l] + 0.5f, py + 0.5f, pz + 0.5f);
  return hn::Load(df, values);
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace voluna
HWY_AFTER_NAMESPACE();

#endif  // VOLUNA_FILTER_FAST_SEARCH_TABLES_INL_H_
