// The direction search, vectorised across runs of consecutive x voxels.
//
// Bit-identity with the plain search rests on four facts, each used below:
// - Every lane performs the plain search's float operations on its own
//   values, in the same order: positions stepped one sample at a time, the
//   sampler's axis arithmetic, eight fused taps in z, y, x corner order, the
//   accumulator updates and the choice rule.
// - The y and z coordinates of a sample are the same for every voxel of a
//   row, so their taps are computed once per row and direction, still with
//   the plain arithmetic.
// - The x taps of a run usually share one fraction and consecutive cells.
//   Where they do, the run reads its corners with two contiguous loads from
//   a copy of the volume widened by replicated edge voxels; where they do
//   not, the run falls back to the plain sampler lane by lane.
// - Corner weights are products of three multiples of 1/256, each at most 1,
//   so every partial product is a multiple of 2^-24 below 2^0 with at most 24
//   significant bits: exact in any order. The plain sampler forms
//   (wx * wy) * wz; forming wx * (wz * wy) gives the same float.

#include "fast_direction_search.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fast_direction_search.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "cpu_sampler.h"
#include "direction_set.h"
#include "fast_simd-inl.h"
#include "voxel_math.h"

HWY_BEFORE_NAMESPACE();
namespace voluna {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Tables are built with full vectors, lanes running over directions.
using DT = hn::ScalableTag<float>;
using DTI = hn::RebindToSigned<DT>;
using VT = hn::Vec<DT>;
using VTI = hn::Vec<DTI>;
// The search itself works on chunks of at most eight lanes. Its loads are
// unaligned; on the AVX-512 machine we measured, unaligned 32-byte loads
// cost no more than aligned ones while 64-byte ones cost 1.6 times as much,
// and the search ran as fast with 8-lane chunks as with 16-lane ones.
using DF = hn::CappedTag<float, 8>;
using DI = hn::RebindToSigned<DF>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;
using MF = hn::Mask<DF>;

constexpr size_t kLaneCapacity = HWY_MAX_BYTES / sizeof(float);
// A run is up to six chunks of consecutive voxels of one row. Its chunks
// share every table entry (and so the loads of offsets and weights) and
// every per-direction step (choice rule, pruning check, loop). With runs of
// four chunks a 48-voxel row took a run of four and one of two, and the
// search of noisy 48^3 ran 10 % slower (median of six alternating runs on
// the AVX-512 machine).
constexpr int kMaxChunks = 6;
// Directions are taken in groups whose tables fit the first-level cache.
// The first group holds direction 0 alone: on flat data most searches end
// with it, and building tables for 16 directions would cost more than the
// search itself.
constexpr int kGroup = 16;
// Lower bounds below this are not trusted for pruning (see pruneFactorFor).
constexpr float kPruneFloor = 0x1p-90f;

// Sizes of the tables of one unit of rows.
struct Layout {
  int lanes;   // L, lanes per chunk
  int width;   // lanes per run, kMaxChunks * L
  int group;   // directions per table group, a multiple of the table lanes
  int s;       // samples per walk
  int perDir;  // 2 s samples per direction
  int x0;      // first voxel of every row, in the volume's coordinates
  int X;       // voxels per row
  int runs;    // runs per row
  int rows;    // rows of the unit
  size_t xEntries, yzEntries, states;

  // Chunks of run `run` that hold voxels of the row.
  int chunks(int run) const { return std::min(kMaxChunks, (X - run * width + lanes - 1) / lanes); }
  // Voxels of the row from chunk `chunk` of run `run` on, capped at `cap`.
  int realLanes(int run, int chunk, int cap) const {
    return std::max(0, std::min(cap, X - run * width - chunk * lanes));
  }
};

// Directions whose tables are built together, in set order: their indices,
// and their components as columns padded to whole vectors.
constexpr int kMaxGroup = kGroup > static_cast<int>(kLaneCapacity) ? kGroup : static_cast<int>(kLaneCapacity);
struct Group {
  int count = 0;
  int32_t index[kMaxGroup];
  HWY_ALIGN float x[kMaxGroup];
  HWY_ALIGN float y[kMaxGroup];
  HWY_ALIGN float z[kMaxGroup];

  void add(const SearchJob& job, int32_t direction) {
    index[count] = direction;
    x[count] = job.dirX[direction];
    y[count] = job.dirY[direction];
    z[count] = job.dirZ[direction];
    ++count;
  }
  // Fills the columns past the last direction with copies of the first.
  void pad() {
    for (int i = count; i < kMaxGroup; ++i) x[i] = x[0], y[i] = y[0], z[i] = z[0];
  }
};

Layout layoutFor(const SearchJob& job, const Box& area, int rows) {
  Layout L;
  L.lanes = static_cast<int>(hn::Lanes(DF()));
  L.width = kMaxChunks * L.lanes;
  L.group = std::max(kGroup, static_cast<int>(hn::Lanes(DT())));
  L.s = job.samples;
  L.perDir = 2 * job.samples;
  L.x0 = static_cast<int>(area.x0);
  L.X = static_cast<int>(area.width());
  L.runs = (L.X + L.width - 1) / L.width;
  L.rows = rows;
  L.xEntries = size_t(L.runs) * L.group * L.perDir;
  L.yzEntries = size_t(L.perDir) * L.group;
  L.states = size_t(rows) * L.runs * L.width;
  return L;
}

// x-table entries hold the cell of the run's first lane, relative to the
// volume's first x, in one of three forms: as is when the run's fraction is
// the group's common one (the corner weights then come ready from the y/z
// table), plus kOwnFraction when the run has a fraction of its own, and
// kMixedCell when its lanes disagree. Cells lie in [-(W + 1), X - 1] for a
// volume X wide, below 2^22, so the forms never meet.
constexpr int32_t kOwnFraction = 1 << 25;
constexpr int32_t kMixedCell = std::numeric_limits<int32_t>::max();

HWY_INLINE bool commonFraction(int32_t cell) { return cell < kOwnFraction / 2; }

// Per-thread tables, carved out of the scratch vectors.
struct Tables {
  int32_t* xCell;     // [run][direction in group][sample]
  float* xWeight;     // same entries, wx0 and wx1, for runs with a fraction of their own
  float* commonF;     // [sample][direction in group]: the common x fraction
  float* commonW0;    // its weights (256 - f) / 256
  float* commonW1;    // and f / 256
  int32_t* yzOffset;  // [sample][direction in group][corner row]: offset of the row
  float* yzWeight;    // same entries: wz * wy of the corner row
  float* yzWeightX0;  // same entries times the common wx0
  float* yzWeightX1;  // same entries times the common wx1
  float* best;        // [row][run][lane]: the choice rule's running minimum
  int32_t* chosen;    // [row][run][lane]
  int32_t* active;    // [row][run][lane]: all ones while the lane still searches
  float* centre;      // [row][run][lane]: the voxel's own value, for the edge-preserving score
  int32_t* runActive; // [row][run]: some lane of the run still searches
  int32_t* xBuilt;    // [run]: the run's x table holds the current group
};

Tables carve(const Layout& L, SearchScratch& scratch) {
  const size_t intCount = L.xEntries + 4 * L.yzEntries + 2 * L.states +
                          size_t(L.rows) * L.runs + L.runs;
  const size_t floatCount = 2 * L.xEntries + 3 * L.yzEntries + 12 * L.yzEntries + 2 * L.states;
  if (scratch.ints.size() < intCount) scratch.ints.resize(intCount);
  if (scratch.floats.size() < floatCount) scratch.floats.resize(floatCount);
  Tables t;
  int32_t* ip = scratch.ints.data();
  float* fp = scratch.floats.data();
  t.xCell = ip, ip += L.xEntries;
  t.yzOffset = ip, ip += 4 * L.yzEntries;
  t.chosen = ip, ip += L.states;
  t.active = ip, ip += L.states;
  t.runActive = ip, ip += size_t(L.rows) * L.runs;
  t.xBuilt = ip;
  t.xWeight = fp, fp += 2 * L.xEntries;
  t.commonF = fp, fp += L.yzEntries;
  t.commonW0 = fp, fp += L.yzEntries;
  t.commonW1 = fp, fp += L.yzEntries;
  t.yzWeight = fp, fp += 4 * L.yzEntries;
  t.yzWeightX0 = fp, fp += 4 * L.yzEntries;
  t.yzWeightX1 = fp, fp += 4 * L.yzEntries;
  t.best = fp, fp += L.states;
  t.centre = fp;
  return t;
}

// Lane positions x0, x0 + 1, ... as the plain search converts them.
HWY_INLINE VF laneOrigins(int x0) { return hn::ConvertTo(DF(), hn::Iota(DI(), x0)); }

// The x fraction that most runs share for each direction of the group and
// sample: the one of a walk from x = 0. Any choice would be correct, since
// every run compares its own fraction with it.
void buildCommonFractions(const Layout& L, const Tables& t, const Group& g) {
  const DT dt;
  const int N = static_cast<int>(hn::Lanes(dt));
  const VT half = hn::Set(dt, 0.5f), k256 = hn::Set(dt, 256.0f), inv256 = hn::Set(dt, kInv256);
  for (int dv = 0; dv < g.count; dv += N) {
    const VT dx = hn::Load(dt, g.x + dv);
    for (int walk = 0; walk < 2; ++walk) {
      const VT step = walk == 0 ? hn::Neg(dx) : dx;
      VT px = hn::Zero(dt);
      for (int k = 0; k < L.s; ++k) {
        px = hn::Add(px, step);
        VT cell, f;
        axisCells(dt, hn::Add(px, half), cell, f);
        const size_t e = (size_t(walk) * L.s + k) * L.group + dv;
        hn::StoreU(f, dt, t.commonF + e);
        hn::StoreU(hn::Mul(hn::Sub(k256, f), inv256), dt, t.commonW0 + e);
        hn::StoreU(hn::Mul(f, inv256), dt, t.commonW1 + e);
      }
    }
  }
}

// The x taps of run `run` for the group's directions, every sample of
// both walks. An entry keeps the cell of the run's first lane, moved into
// the padding margin where that changes no value read, provided every real
// lane l reads what lane 0 + l reads in the padded row, with the same
// fraction; else it is marked mixed.
void buildXTable(const SearchJob& job, const Layout& L, const Tables& t, int run, const Group& g) {
  const DF df;
  const int x0 = L.x0 + run * L.width;
  const int chunks = L.chunks(run);
  MF real[kMaxChunks];
  VF origins[kMaxChunks], laneOffsets[kMaxChunks];
  for (int c = 0; c < chunks; ++c) {
    real[c] = hn::FirstN(df, static_cast<size_t>(L.realLanes(run, c, L.lanes)));
    origins[c] = laneOrigins(x0 + c * L.lanes);
    laneOffsets[c] = laneOrigins(c * L.lanes);
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
  const float lowest = low - static_cast<float>(L.width + 1);
  auto clampX = [&](VF v) { return hn::Min(hn::Max(v, first), last); };
  for (int gi = 0; gi < g.count; ++gi) {
    const float dx = g.x[gi];
    for (int walk = 0; walk < 2; ++walk) {
      // p + (-d) is bitwise p - d: the plain search steps the same way.
      const VF step = hn::Set(df, walk == 0 ? -dx : dx);
      VF px[kMaxChunks];
      for (int c = 0; c < chunks; ++c) px[c] = origins[c];
      for (int k = 0; k < L.s; ++k) {
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
        const int j = walk * L.s + k;
        const size_t e = (size_t(run) * L.group + gi) * L.perDir + j;
        // Whole numbers below 2^23: the difference is exact.
        const int32_t cell = static_cast<int32_t>(start - low);
        if (!same) {
          t.xCell[e] = kMixedCell;
        } else if (f0 == t.commonF[size_t(j) * L.group + gi]) {
          t.xCell[e] = cell;
        } else {
          t.xCell[e] = cell + kOwnFraction;
          t.xWeight[2 * e] = (256.0f - f0) / 256.0f;
          t.xWeight[2 * e + 1] = f0 / 256.0f;
        }
      }
    }
  }
}

// The y and z taps of row (y, z) for the group's directions, lanes
// running over directions: per entry the offsets of the four corner rows and
// their weights, alone and times each common x weight.
void buildYZTable(const SearchJob& job, const Layout& L, const Tables& t, int y, int z,
                  const Group& g) {
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
  for (int dv = 0; dv < g.count; dv += N) {
    const VT dy = hn::Load(dt, g.y + dv);
    const VT dz = hn::Load(dt, g.z + dv);
    for (int walk = 0; walk < 2; ++walk) {
      const VT sy = walk == 0 ? hn::Neg(dy) : dy;
      const VT sz = walk == 0 ? hn::Neg(dz) : dz;
      VT py = hn::Set(dt, static_cast<float>(y));
      VT pz = hn::Set(dt, static_cast<float>(z));
      for (int k = 0; k < L.s; ++k) {
        py = hn::Add(py, sy);
        pz = hn::Add(pz, sz);
        const AxisTaps<DT> ty = axisTaps(dt, hn::Add(py, half), Y, y0);
        const AxisTaps<DT> tz = axisTaps(dt, hn::Add(pz, half), Z, z0);
        const VTI slice0 = hn::Mul(tz.i0, rowsPerSlice), slice1 = hn::Mul(tz.i1, rowsPerSlice);
        const size_t e = (size_t(walk) * L.s + k) * L.group + dv;
        hn::StoreInterleaved4(hn::Mul(hn::Add(slice0, ty.i0), stride),
                              hn::Mul(hn::Add(slice0, ty.i1), stride),
                              hn::Mul(hn::Add(slice1, ty.i0), stride),
                              hn::Mul(hn::Add(slice1, ty.i1), stride), dti, t.yzOffset + e * 4);
        const VT w00 = hn::Mul(tz.w0, ty.w0), w01 = hn::Mul(tz.w0, ty.w1);
        const VT w10 = hn::Mul(tz.w1, ty.w0), w11 = hn::Mul(tz.w1, ty.w1);
        store4(w00, w01, w10, w11, t.yzWeight + e * 4);
        const VT wx0 = hn::LoadU(dt, t.commonW0 + e), wx1 = hn::LoadU(dt, t.commonW1 + e);
        store4(hn::Mul(wx0, w00), hn::Mul(wx0, w01), hn::Mul(wx0, w10), hn::Mul(wx0, w11),
               t.yzWeightX0 + e * 4);
        store4(hn::Mul(wx1, w00), hn::Mul(wx1, w01), hn::Mul(wx1, w10), hn::Mul(wx1, w11),
               t.yzWeightX1 + e * 4);
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
  for (size_t l = 0; l < hn::Lanes(df); ++l) values[l] = sampler(xs[l] + 0.5f, py + 0.5f, pz + 0.5f);
  return hn::Load(df, values);
}

// Copies of a direction (see SearchJob::copies) whose walks meet the same
// texels as their first's. The sampler reads a texel pair and weighs it by
// the fraction, both fixed by the quantised coordinate: equal cells and
// fractions on every axis, sample for sample, give equal samples, whatever
// path (contiguous, own fraction or per lane) then computes them, since
// every path gives the plain sampler's value. Positions are stepped exactly
// as the search steps them.

// Per lane, whether walks from `origin` by steps sa and sb meet the same
// cells with the same fractions at each of `samples` samples.
template <class D, class V = hn::Vec<D>>
HWY_INLINE hn::Mask<D> sameWalk(D d, V origin, V sa, V sb, int samples) {
  const V half = hn::Set(d, 0.5f);
  auto agree = hn::FirstN(d, hn::Lanes(d));
  V pa = origin, pb = origin;
  for (int k = 0; k < samples; ++k) {
    pa = hn::Add(pa, sa);
    pb = hn::Add(pb, sb);
    V cellA, fA, cellB, fB;
    axisCells(d, hn::Add(pa, half), cellA, fA);
    axisCells(d, hn::Add(pb, half), cellB, fB);
    agree = hn::And(agree, hn::And(hn::Eq(cellA, cellB), hn::Eq(fA, fB)));
  }
  return agree;
}

// Whether direction b's walks from every voxel of run `run` meet the x cells
// and fractions of direction a's.
bool sameXTaps(const SearchJob& job, const Layout& L, int run, int a, int b) {
  if (job.dirX[a] == job.dirX[b]) return true;
  const DF df;
  const int x0 = L.x0 + run * L.width;
  for (int c = 0; c < L.chunks(run); ++c) {
    const MF real = hn::FirstN(df, static_cast<size_t>(L.realLanes(run, c, L.lanes)));
    const VF origin = laneOrigins(x0 + c * L.lanes);
    for (int walk = 0; walk < 2; ++walk) {
      const VF sa = hn::Set(df, walk == 0 ? -job.dirX[a] : job.dirX[a]);
      const VF sb = hn::Set(df, walk == 0 ? -job.dirX[b] : job.dirX[b]);
      const MF agree = sameWalk(df, origin, sa, sb, L.s);
      if (!hn::AllTrue(df, hn::Or(agree, hn::Not(real)))) return false;
    }
  }
  return true;
}

// For every copy p, same[p] says whether its walks from coordinate `at` of
// the axis whose components `column` holds meet the cells and fractions of
// its first's; lanes run over copies.
void sameAxisTaps(const SearchJob& job, const std::vector<float>& column, int at, uint8_t* same) {
  const DT dt;
  const DTI dti;
  const int N = static_cast<int>(hn::Lanes(dt));
  const int P = static_cast<int>(job.copies.size());
  HWY_ALIGN int32_t agreed[kLaneCapacity];
  for (int p0 = 0; p0 < P; p0 += N) {
    const int n = std::min(N, P - p0);
    HWY_ALIGN int32_t firstIdx[kLaneCapacity] = {}, copyIdx[kLaneCapacity] = {};
    for (int l = 0; l < n; ++l) {
      firstIdx[l] = job.copyFirst[p0 + l];
      copyIdx[l] = job.copies[p0 + l];
    }
    const VT da = hn::GatherIndex(dt, column.data(), hn::Load(dti, firstIdx));
    const VT db = hn::GatherIndex(dt, column.data(), hn::Load(dti, copyIdx));
    const VT origin = hn::Set(dt, static_cast<float>(at));
    const auto walksAgree = hn::And(sameWalk(dt, origin, hn::Neg(da), hn::Neg(db), job.samples),
                                    sameWalk(dt, origin, da, db, job.samples));
    // Equal components step through equal positions.
    const auto agree = hn::Or(hn::Eq(da, db), walksAgree);
    hn::Store(hn::VecFromMask(dti, hn::RebindMask(dti, agree)), dti, agreed);
    for (int l = 0; l < n; ++l) same[p0 + l] = agreed[l] != 0;
  }
}

// Which copies take their first's score in one run of one row.
//
// Why crediting a copy j with its first i's score, right after i, and
// never scoring j gives the choice of the plain search. With s_0 not NaN,
// the choice rule in set order picks the first direction scoring at most
// 2^-23 if there is one, else the last of the smallest scores (NaNs never
// count). The scorer keeps, per lane, the smallest score so far and the
// largest index offered with it: a smaller score takes its index, an equal
// one the larger of the two. That state does not depend on the order of
// the offers, and in set order it is the plain rule's.
// - Where the taps agree, s_j is s_i bit for bit (see sameXTaps).
// - A lane that stops at i or before chose an index <= i; credits skip
//   stopped lanes, so j changes nothing, as in set order.
// - A NaN s_i equals nothing: no credit, as the plain rule ignores a NaN.
// - Otherwise s_i > 2^-23, so j can matter only through the smallest
//   score, where the order of offers does not count. A stop at k between i
//   and j (s_k <= 2^-23, below every score offered before) takes k, as in
//   set order; j then lies past the stop.
// - A pruned i scores above the best so far, and so does j, since the best
//   only falls: offering j at its turn would change nothing.
// At j's turn the copy is skipped, so it is never offered twice.
struct CopyTaps {
  const uint8_t* sameX;   // by copy, for the run
  const uint8_t* sameYZ;  // by copy, for the row
  bool shares(int32_t p) const { return sameX[p] && sameYZ[p]; }
};

// One direction of one run as the scorer walks it.
struct Walker {
  const SearchJob* job;
  const float* origin;     // padded volume, x = 0 of row 0
  const int32_t* cells;    // x-table entries of this direction, by sample
  const float* xWeights;   // their own x weights, by sample
  const int32_t* offsets;  // y/z-table entries of this direction; sample j at j * stride
  const float* weights;
  const float* weightsX0;
  const float* weightsX1;
  size_t stride;
  int lanes, x0, y, z, direction, s;
  SearchStats* stats;
};

template <int G>
HWY_INLINE void blendOne(const float* HWY_RESTRICT p, const int32_t* HWY_RESTRICT off,
                         const float* HWY_RESTRICT w0, const float* HWY_RESTRICT w1, int lanes,
                         VF (&v)[G]) {
  const DF df;
  for (int c = 0; c < G; ++c) v[c] = hn::Zero(df);
  for (int q = 0; q < 4; ++q) {
    const float* r = p + off[q];
    const VF x0 = hn::Set(df, w0[q]);
    for (int c = 0; c < G; ++c) v[c] = Fused(hn::LoadU(df, r + c * lanes), x0, v[c]);
    const VF x1 = hn::Set(df, w1[q]);
    for (int c = 0; c < G; ++c) v[c] = Fused(hn::LoadU(df, r + c * lanes + 1), x1, v[c]);
  }
}

// Sample j for every chunk of the run, whatever form its x entry takes.
template <int G>
HWY_NOINLINE void unusualSample(const Walker& w, int j, VF (&v)[G]) {
  const int32_t cell = w.cells[j];
  const size_t e = size_t(j) * w.stride;
  const int walk = j < w.s ? 0 : 1, k = j < w.s ? j : j - w.s;
  if (cell == kMixedCell) {
    for (int c = 0; c < G; ++c) {
      v[c] = mixedSample(*w.job, w.x0 + c * w.lanes, w.y, w.z, w.direction, walk, k);
      ++w.stats->mixedSamples;
    }
    return;
  }
  w.stats->ownFractionSamples += G;
  float w0[4], w1[4];
  for (int q = 0; q < 4; ++q) {
    w0[q] = w.xWeights[2 * j] * w.weights[e + q];
    w1[q] = w.xWeights[2 * j + 1] * w.weights[e + q];
  }
  blendOne<G>(w.origin + (cell - kOwnFraction), w.offsets + e, w0, w1, w.lanes, v);
}

template <int G>
HWY_INLINE void sampleOne(const Walker& w, int j, VF (&v)[G]) {
  const int32_t cell = w.cells[j];
  const size_t e = size_t(j) * w.stride;
  if (HWY_LIKELY(commonFraction(cell))) {
    blendOne<G>(w.origin + cell, w.offsets + e, w.weightsX0 + e, w.weightsX1 + e, w.lanes, v);
  } else {
    unusualSample<G>(w, j, v);
  }
}

// Samples taken at once for a run of G chunks. Each sample of each chunk is
// one chain of eight fused taps that the plain sampler's order keeps
// sequential; a fused operation takes four cycles and two issue each cycle
// on the machines we measured, so about eight chains must overlap.
template <int G>
constexpr int kBlock = G == 1 ? 8 : G == 2 ? 5 : G == 3 ? 3 : G == 4 ? 2 : 1;

// The taps of samples j .. j + K - 1 for every chunk of the run, all of
// whose x entries take the common fraction: per sample and chunk the plain
// sampler's order (z, then y, then x corner), the samples and chunks
// interleaved.
template <int G, int K>
HWY_INLINE void blendBlock(const Walker& w, int j, VF (&v)[K][G]) {
  const DF df;
  const float* HWY_RESTRICT origin[K];
  const int32_t* HWY_RESTRICT offsets[K];
  const float* HWY_RESTRICT w0[K];
  const float* HWY_RESTRICT w1[K];
  for (int i = 0; i < K; ++i) {
    const size_t e = size_t(j + i) * w.stride;
    origin[i] = w.origin + w.cells[j + i];
    offsets[i] = w.offsets + e;
    w0[i] = w.weightsX0 + e;
    w1[i] = w.weightsX1 + e;
    for (int c = 0; c < G; ++c) v[i][c] = hn::Zero(df);
  }
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
  // The corners one voxel right of chunk c's are lanes 1 to 7 of its own
  // load and lane 0 of the next chunk's: one shuffle instead of a load.
  // Loads limit the search here (a 32-byte load at a random offset crosses
  // a cache line almost half the time); this made noisy 48^3 at the
  // defaults 7 % faster on the AVX-512 machine (median of four alternating
  // runs).
  if (w.lanes == 8) {
    for (int q = 0; q < 4; ++q) {
      for (int i = 0; i < K; ++i) {
        const float* r = origin[i] + offsets[i][q];
        VF a[G];
        for (int c = 0; c < G; ++c) a[c] = hn::LoadU(df, r + c * 8);
        const VF x0 = hn::Set(df, w0[i][q]);
        for (int c = 0; c < G; ++c) v[i][c] = Fused(a[c], x0, v[i][c]);
        const VF x1 = hn::Set(df, w1[i][q]);
        for (int c = 0; c + 1 < G; ++c) {
          const __m256i next = _mm256_alignr_epi32(_mm256_castps_si256(a[c + 1].raw),
                                                   _mm256_castps_si256(a[c].raw), 1);
          v[i][c] = Fused(VF{_mm256_castsi256_ps(next)}, x1, v[i][c]);
        }
        v[i][G - 1] = Fused(hn::LoadU(df, r + (G - 1) * 8 + 1), x1, v[i][G - 1]);
      }
    }
    return;
  }
#endif
  for (int q = 0; q < 4; ++q) {
    for (int i = 0; i < K; ++i) {
      const float* r = origin[i] + offsets[i][q];
      const VF x0 = hn::Set(df, w0[i][q]);
      for (int c = 0; c < G; ++c) v[i][c] = Fused(hn::LoadU(df, r + c * w.lanes), x0, v[i][c]);
    }
    for (int i = 0; i < K; ++i) {
      const float* r = origin[i] + offsets[i][q];
      const VF x1 = hn::Set(df, w1[i][q]);
      for (int c = 0; c < G; ++c) {
        v[i][c] = Fused(hn::LoadU(df, r + c * w.lanes + 1), x1, v[i][c]);
      }
    }
  }
}

// Running sums of one direction's score, per chunk.
template <int G>
struct Accumulators {
  VF S[G], Q[G], reference[G];

  HWY_INLINE void add(const VF (&v)[G]) {
    for (int c = 0; c < G; ++c) {
      const VF delta = hn::Sub(v[c], reference[c]);
      S[c] = hn::Add(S[c], delta);
      Q[c] = Fused(delta, delta, Q[c]);
    }
  }
};

// Samples k .. k + K - 1 of one walk, added in order. The walk's first
// sample is its reference for the default score, and still counts as v - v.
template <int G, int K, bool kEdges>
HWY_INLINE void walkBlock(const Walker& w, int j0, int k, Accumulators<G>& acc) {
  VF v[K][G];
  bool common = true;
  for (int i = 0; i < K; ++i) common = common && commonFraction(w.cells[j0 + k + i]);
  if (HWY_LIKELY(common)) {
    blendBlock<G, K>(w, j0 + k, v);
  } else {
    for (int i = 0; i < K; ++i) sampleOne<G>(w, j0 + k + i, v[i]);
  }
  if (!kEdges && k == 0) {
    for (int c = 0; c < G; ++c) acc.reference[c] = v[0][c];
  }
  for (int i = 0; i < K; ++i) acc.add(v[i]);
}

template <int G, bool kEdges, int K = kBlock<G>>
HWY_INLINE void walkBlockOfSize(int size, const Walker& w, int j0, int k, Accumulators<G>& acc) {
  if constexpr (K > 1) {
    if (size < K) return walkBlockOfSize<G, kEdges, K - 1>(size, w, j0, k, acc);
  }
  walkBlock<G, K, kEdges>(w, j0, k, acc);
}

// One walk of one direction: samples [walk s, walk s + s), in blocks as
// even as kBlock allows.
template <int G, bool kEdges>
HWY_INLINE void walk(const Walker& w, int walkIndex, Accumulators<G>& acc) {
  const int s = w.s;
  const int j0 = walkIndex * s;
  for (int k = 0; k < s;) {
    const int remaining = s - k;
    const int blocks = (remaining + kBlock<G> - 1) / kBlock<G>;
    const int size = (remaining + blocks - 1) / blocks;
    walkBlockOfSize<G, kEdges>(size, w, j0, k, acc);
    k += size;
  }
}

// Scores the group's directions for one run of G chunks of row (y, z)
// and applies the choice rule lane by lane in set order. Returns whether
// some lane still searches.
template <int G, bool kEdges>
bool scoreGroup(const SearchJob& job, const Layout& L, const Tables& t, const CopyTaps& copyTaps,
                int row, int run, int y, int z, const Group& g, SearchStats& stats) {
  const DF df;
  const DI di;
  const size_t state = (size_t(row) * L.runs + run) * L.width;
  VF best[G], centre[G];
  VI chosen[G];
  MF active[G];
  for (int c = 0; c < G; ++c) {
    const size_t at = state + size_t(c) * L.lanes;
    best[c] = hn::LoadU(df, t.best + at);
    centre[c] = hn::LoadU(df, t.centre + at);
    chosen[c] = hn::LoadU(di, t.chosen + at);
    active[c] = hn::RebindMask(df, hn::MaskFromVec(hn::LoadU(di, t.active + at)));
  }
  const int s = L.s;
  const VF total = hn::Set(df, static_cast<float>(kEdges ? 2 * s + 1 : 2 * s));
  const VF partialReciprocal = hn::Set(df, 1.0f / static_cast<float>(s + 1));
  const bool prune = job.pruneFactor > 0.0f;
  const VF pruneFactor = hn::Set(df, job.pruneFactor);
  const VF pruneFloor = hn::Set(df, kPruneFloor);
  const VF earlyStop = hn::Set(df, kEarlyStopScore);

  Walker w;
  w.job = &job;
  w.origin = job.padded.origin();
  w.stride = size_t(L.group) * 4;
  w.lanes = L.lanes;
  w.x0 = L.x0 + run * L.width;
  w.y = y;
  w.z = z;
  w.s = s;
  w.stats = &stats;

  const bool copies = !job.copies.empty();
  bool searching = true;
  for (int gi = 0; gi < g.count && searching; ++gi) {
    if (copies) {
      const int32_t p = job.copyOf[g.index[gi]];
      if (p >= 0 && copyTaps.shares(p)) {
        stats.copiedDirections += G;
        continue;
      }
    }
    const size_t x = (size_t(run) * L.group + gi) * L.perDir;
    w.cells = t.xCell + x;
    w.xWeights = t.xWeight + 2 * x;
    w.offsets = t.yzOffset + size_t(gi) * 4;
    w.weights = t.yzWeight + size_t(gi) * 4;
    w.weightsX0 = t.yzWeightX0 + size_t(gi) * 4;
    w.weightsX1 = t.yzWeightX1 + size_t(gi) * 4;
    w.direction = g.index[gi];

    Accumulators<G> acc;
    for (int c = 0; c < G; ++c) {
      acc.S[c] = hn::Zero(df);
      acc.Q[c] = hn::Zero(df);
      acc.reference[c] = centre[c];
    }
    stats.chunkDirections += G;
    walk<G, kEdges>(w, 0, acc);
    if (prune && w.direction > 0) {
      // Whether the score provably exceeds the best so far in every lane
      // that still searches (see pruneFactorFor). What limits pruning is
      // that all lanes of the run must be beaten, not how good the best so
      // far is: on noisy 48^3 at the defaults 88 % of (lane, direction)
      // pairs are beaten after the backward walk, 90 % with each voxel's
      // final score known in advance, while only 6 % of 48-voxel runs are
      // (19 % of 32-voxel runs, 48 % of 8-lane chunks). So scoring likely
      // winners first (the neighbours' choices) hardly pays. Tried and
      // measured slower on the AVX-512 machine: dropping only the beaten
      // chunks of a run (39 % of (chunk, direction) pairs dropped, 20 % of
      // the samples, yet 11 % slower than no pruning at all: the walk of
      // the chunks left is dispatched on their number, a branch no
      // predictor learns), and a second check halfway through the forward
      // walk (81 % of the samples, 10 % slower: the branch on a long chain
      // of taps is hard to predict).
      bool beaten = true;
      for (int c = 0; c < G; ++c) {
        const VF deviations =
            hn::Sub(acc.Q[c], hn::Mul(hn::Mul(acc.S[c], acc.S[c]), partialReciprocal));
        const VF bound = hn::Mul(deviations, pruneFactor);
        const MF over = hn::And(hn::Gt(bound, best[c]), hn::Ge(bound, pruneFloor));
        beaten = beaten && hn::AllTrue(df, hn::Or(over, hn::Not(active[c])));
      }
      if (beaten) {
        stats.prunedDirections += G;
        stats.chunkSamples += uint64_t(s) * G;
        continue;
      }
    }
    walk<G, kEdges>(w, 1, acc);
    stats.chunkSamples += uint64_t(2 * s) * G;

    bool any = false;
    VF scores[G];
    for (int c = 0; c < G; ++c) {
      const VF score =
          hn::Div(hn::Sub(acc.Q[c], hn::Div(hn::Mul(acc.S[c], acc.S[c]), total)), total);
      scores[c] = score;
      if (w.direction == 0) {
        best[c] = score;
        chosen[c] = hn::Zero(di);
      } else {
        const MF better = hn::Lt(score, best[c]);
        const VF m = hn::IfThenElse(better, score, best[c]);
        // Of equal scores the later direction wins: this one, unless a
        // later copy already took the score.
        const VI index = hn::Set(di, w.direction);
        const VI onTie = hn::Max(chosen[c], index);
        const VI taken = hn::IfThenElse(hn::RebindMask(di, better), index, onTie);
        const MF wins = hn::And(hn::Eq(m, score), active[c]);
        chosen[c] = hn::IfThenElse(hn::RebindMask(di, wins), taken, chosen[c]);
        best[c] = hn::IfThenElse(active[c], m, best[c]);
      }
      active[c] = hn::AndNot(hn::Le(best[c], earlyStop), active[c]);
      any = any || !hn::AllFalse(df, active[c]);
    }
    if (copies) {
      // The copies that share this direction's taps offer its score now.
      for (int32_t p = job.copyBegin[w.direction]; p < job.copyBegin[w.direction + 1]; ++p) {
        if (!copyTaps.shares(p)) continue;
        const VI index = hn::Set(di, job.copies[p]);
        for (int c = 0; c < G; ++c) {
          const VF score = scores[c];
          const MF ties = hn::And(hn::Eq(score, best[c]), active[c]);
          chosen[c] = hn::IfThenElse(hn::RebindMask(di, ties), hn::Max(chosen[c], index), chosen[c]);
        }
      }
    }
    searching = any;
  }
  for (int c = 0; c < G; ++c) {
    const size_t at = state + size_t(c) * L.lanes;
    hn::StoreU(best[c], df, t.best + at);
    hn::StoreU(chosen[c], di, t.chosen + at);
    hn::StoreU(hn::VecFromMask(di, hn::RebindMask(di, active[c])), di, t.active + at);
  }
  return searching;
}

template <bool kEdges>
bool scoreGroupAnyWidth(int chunks, const SearchJob& job, const Layout& L, const Tables& t,
                        const CopyTaps& copyTaps, int row, int run, int y, int z,
                        const Group& g, SearchStats& stats) {
  static_assert(kMaxChunks == 6, "one instantiation per run width");
  switch (chunks) {
    case 1:
      return scoreGroup<1, kEdges>(job, L, t, copyTaps, row, run, y, z, g, stats);
    case 2:
      return scoreGroup<2, kEdges>(job, L, t, copyTaps, row, run, y, z, g, stats);
    case 3:
      return scoreGroup<3, kEdges>(job, L, t, copyTaps, row, run, y, z, g, stats);
    case 4:
      return scoreGroup<4, kEdges>(job, L, t, copyTaps, row, run, y, z, g, stats);
    case 5:
      return scoreGroup<5, kEdges>(job, L, t, copyTaps, row, run, y, z, g, stats);
    default:
      return scoreGroup<6, kEdges>(job, L, t, copyTaps, row, run, y, z, g, stats);
  }
}

bool SearchRowsImpl(const SearchJob& job, SearchScratch& scratch, const Box& area,
                    int64_t rowBegin, int64_t rowEnd, const RunControl* control,
                    SearchStats& total) {
  // Counted here and added once: the threads' totals share cache lines, and
  // updating them per direction made two threads slower than one.
  SearchStats stats;
  const DF df;
  const DI di;
  const int rows = static_cast<int>(rowEnd - rowBegin);
  const Layout L = layoutFor(job, area, rows);
  const Tables t = carve(L, scratch);
  const int64_t height = area.height();
  auto yOf = [&](int64_t row) { return static_cast<int>(area.y0 + row % height); };
  auto zOf = [&](int64_t row) { return static_cast<int>(area.z0 + row / height); };

  for (int r = 0; r < rows; ++r) {
    const int64_t row = rowBegin + r;
    const int y = yOf(row), z = zOf(row);
    for (int run = 0; run < L.runs; ++run) {
      for (int c = 0; c < kMaxChunks; ++c) {
        const int x0 = L.x0 + run * L.width + c * L.lanes;
        const size_t at = (size_t(r) * L.runs + run) * L.width + size_t(c) * L.lanes;
        const int realLanes = L.realLanes(run, c, L.lanes);
        const MF real = hn::FirstN(df, static_cast<size_t>(realLanes));
        hn::StoreU(hn::VecFromMask(di, hn::RebindMask(di, real)), di, t.active + at);
        hn::StoreU(hn::Zero(df), df, t.best + at);
        hn::StoreU(hn::Zero(di), di, t.chosen + at);
        HWY_ALIGN float values[kLaneCapacity] = {};
        if (job.preserveEdges) {
          // The centre goes through the full sampler like any sample: a
          // non-finite neighbour taints it through a zero weight.
          const BoxVolumeSampler sampler(job.volume, job.volumeBox);
          for (int l = 0; l < realLanes; ++l) {
            values[l] = sampler(static_cast<float>(x0 + l) + 0.5f, static_cast<float>(y) + 0.5f,
                                static_cast<float>(z) + 0.5f);
          }
        }
        hn::StoreU(hn::Load(df, values), df, t.centre + at);
      }
      t.runActive[size_t(r) * L.runs + run] = 1;
    }
  }

  // Which copies share their first's taps, per run and per row.
  const size_t P = job.copies.size();
  if (scratch.sameTaps.size() < (size_t(rows) + 3) * P) {
    scratch.sameTaps.resize((size_t(rows) + 3) * P);
  }
  // The x taps depend on the runs alone, the same for every unit of rows of
  // one search: they are kept from one call to the next.
  const bool xKnown = scratch.sameXJob == job.serial && scratch.sameXArea0 == area.x0 &&
                      scratch.sameXArea1 == area.x1;
  if (!xKnown) {
    scratch.sameX.assign(size_t(L.runs) * P, 0);
    scratch.sameXJob = job.serial;
    scratch.sameXArea0 = area.x0;
    scratch.sameXArea1 = area.x1;
  }
  const uint8_t* sameX = scratch.sameX.data();
  uint8_t* sameYZ = scratch.sameTaps.data();
  uint8_t* sameY = sameYZ + size_t(rows) * P;
  uint8_t* sameZ = sameY + P;
  // Copies that share their first's taps in every run and row of the unit
  // need no tables: they are never scored.
  uint8_t* everywhere = sameZ + P;
  if (P > 0) {
    for (int run = 0; run < L.runs && !xKnown; ++run) {
      for (size_t p = 0; p < P; ++p) {
        scratch.sameX[run * P + p] = sameXTaps(job, L, run, job.copyFirst[p], job.copies[p]);
      }
    }
    for (int r = 0; r < rows; ++r) {
      const int64_t row = rowBegin + r;
      sameAxisTaps(job, job.dirY, yOf(row), sameY);
      if (r == 0 || zOf(row) != zOf(row - 1)) sameAxisTaps(job, job.dirZ, zOf(row), sameZ);
      for (size_t p = 0; p < P; ++p) sameYZ[r * P + p] = sameY[p] && sameZ[p];
    }
    for (size_t p = 0; p < P; ++p) {
      bool all = true;
      for (int run = 0; run < L.runs && all; ++run) all = sameX[run * P + p];
      for (int r = 0; r < rows && all; ++r) all = sameYZ[r * P + p];
      everywhere[p] = all;
    }
  }

  for (int next = 0; next < job.count;) {
    if (control && control->cancelled()) {
      total.add(stats);
      return false;
    }
    uint64_t activeChunks = 0;
    for (int r = 0; r < rows; ++r) {
      for (int run = 0; run < L.runs; ++run) {
        if (t.runActive[size_t(r) * L.runs + run]) activeChunks += uint64_t(L.chunks(run));
      }
    }
    Group g;
    const int capacity = next == 0 ? 1 : L.group;
    for (; g.count < capacity && next < job.count; ++next) {
      const int32_t p = P > 0 ? job.copyOf[next] : -1;
      if (p < 0 || !everywhere[p]) {
        g.add(job, next);
      } else {
        stats.copiedDirections += activeChunks;
      }
    }
    if (g.count == 0) break;
    g.pad();
    buildCommonFractions(L, t, g);
    std::fill(t.xBuilt, t.xBuilt + L.runs, 0);
    bool searching = false;
    for (int r = 0; r < rows; ++r) {
      const int64_t row = rowBegin + r;
      const int y = yOf(row), z = zOf(row);
      bool yzBuilt = false;
      for (int run = 0; run < L.runs; ++run) {
        int32_t& runActive = t.runActive[size_t(r) * L.runs + run];
        if (!runActive) continue;
        if (!yzBuilt) {
          buildYZTable(job, L, t, y, z, g);
          yzBuilt = true;
        }
        if (!t.xBuilt[run]) {
          buildXTable(job, L, t, run, g);
          t.xBuilt[run] = 1;
        }
        const int chunks = L.chunks(run);
        const CopyTaps copyTaps{sameX + size_t(run) * P, sameYZ + size_t(r) * P};
        runActive = job.preserveEdges
                        ? scoreGroupAnyWidth<true>(chunks, job, L, t, copyTaps, r, run, y, z, g,
                                                   stats)
                        : scoreGroupAnyWidth<false>(chunks, job, L, t, copyTaps, r, run, y, z, g,
                                                    stats);
        searching = searching || runActive;
      }
    }
    if (!searching) break;
  }

  const uint64_t perDirection = static_cast<uint64_t>(L.perDir);
  const BoxIndex chosenAt(job.chosenBox);
  for (int r = 0; r < rows; ++r) {
    const int64_t row = rowBegin + r;
    for (int run = 0; run < L.runs; ++run) {
      const int x0 = L.x0 + run * L.width;
      const size_t state = (size_t(r) * L.runs + run) * L.width;
      const int realLanes = L.realLanes(run, 0, L.width);
      uint16_t* out = job.chosen + chosenAt(x0, yOf(row), zOf(row));
      for (int l = 0; l < realLanes; ++l) {
        const int32_t chosen = t.chosen[state + l];
        out[l] = static_cast<uint16_t>(chosen);
        // A lane that stopped early stopped at the direction it chose.
        const uint64_t scored = t.active[state + l] ? uint64_t(job.count) : uint64_t(chosen) + 1;
        stats.referenceSamples += scored * perDirection;
      }
    }
  }
  total.add(stats);
  return true;
}

int SearchLanesImpl() { return kMaxChunks * static_cast<int>(hn::Lanes(DF())); }

int SearchChunkLanesImpl() { return static_cast<int>(hn::Lanes(DF())); }

const char* SearchTargetNameImpl() { return hwy::TargetName(HWY_TARGET); }

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace voluna
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace voluna {

HWY_EXPORT(SearchRowsImpl);
HWY_EXPORT(SearchLanesImpl);
HWY_EXPORT(SearchChunkLanesImpl);
HWY_EXPORT(SearchTargetNameImpl);

namespace {

uint64_t nextJobSerial() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}

// Pruning. With the first score not NaN, the choice rule picks the first
// direction in set order that scores at most 2^-23, if any, else the last of
// the smallest scores. A direction whose score exceeds the best so far
// changes nothing when offered (the minimum stays, the choice stays, the
// early stop stays), and neither does a NaN score. So a direction may be
// dropped as soon as its score is known to exceed the best so far.
//
// The bound. Let the n partial differences and the N = 2s (or 2s + 1)
// final ones be the floats the accumulators receive. The partial set is the
// backward walk's s differences plus one 0: for the default score the
// forward walk's first difference, v - v, exactly 0 for a finite v; for the
// edge-preserving score the centre's 0. So n = s + 1 either way, the final
// set contains the partial one, and adding that 0 to the sums changes no
// float, so the accumulators after the backward walk hold exactly the float
// sums of the partial set. Both sets contain a 0. Write u = 2^-24,
// g_m = m u / (1 - m u), M for the largest |difference| of a set, var for
// the exact population variance of the final set and D for the exact sum of
// squared deviations of the partial set from its mean.
// 1. A set of m values with range r has variance at least r^2 / (2m) (its
//    largest and smallest value alone contribute that much), and r >= M
//    because 0 lies in the range. So M^2 <= 2N var, and M_n^2 <= 2D.
// 2. Summing m values in float, |S' - S| <= g_(m-1) m M and |Q' - Q| <=
//    g_(m-1) m M^2 (the squares are exact inside the fused operation).
//    Squaring S' and scaling it by 1/m (a division, or a product with the
//    rounded reciprocal) adds a relative error of at most 3u. Hence
//    Q' - S'S'/m is within m K_m M^2 of its exact value, with K_m =
//    3 g_(m-1) + 3u plus higher-order terms, below 4 (m + 1) u.
// 3. The score, two more roundings: score >= (1 - u)^2 (var - K_N M^2)
//    >= (1 - u)^2 (1 - 2N K_N) var.
// 4. The partial figure the search computes, D' = Q' - S'S' fl(1/n) with one
//    more rounding: D' <= (1 + u)(D + n K_n M_n^2) <= (1 + u)(1 + 2n K_n) D.
// 5. The final set contains the partial one, and the sum of squared
//    deviations from the final mean is at least that from the partial mean:
//    N var >= D.
// Hence score >= D' (1 - u)^2 (1 - 2N K_N) / (N (1 + u) (1 + 2n K_n)), and
// with one rounding of the product, fl(D' c) stays at or below the score for
// c = (1 - u)^2 (1 - 2N K_N) / (N (1 + u)^2 (1 + 2n K_n)) (1 - 2^-20),
// rounded down.
//
// This needs 1 - 2N K_N > 0 (N up to about a thousand) and arithmetic that
// neither overflows nor underflows. Every voxel finite and at most 2^50 in
// magnitude keeps (N M)^2 far inside the float range. Underflow adds at most
// 2^-149 per operation, below 2^-130 in all; the slack of 2^-20 covers that
// for any bound of at least 2^-90 (kPruneFloor), so smaller bounds never prune.
float pruneFactorFor(int samples, bool preserveEdges, const PaddedVolume& padded) {
  if (samples < 1 || !padded.boundedBy(0x1p50f)) return 0.0f;
  const double u = 0x1p-24;
  const double n = samples + 1;
  const double N = preserveEdges ? 2.0 * samples + 1 : 2.0 * samples;
  const double kN = 4.0 * (N + 1.0) * u, kn = 4.0 * (n + 1.0) * u;
  if (2.0 * N * kN >= 0.5) return 0.0f;
  const double c = (1 - u) * (1 - u) * (1 - 2.0 * N * kN) /
                   (N * (1 + u) * (1 + u) * (1 + 2.0 * n * kn)) * (1.0 - 0x1p-20);
  float f = static_cast<float>(c);
  if (static_cast<double>(f) > c) f = std::nextafter(f, 0.0f);
  return f;
}

}  // namespace

SearchJob::SearchJob(const float* volume_, const Box& volumeBox_, const PaddedVolume& padded_,
                     const std::vector<Vec3>& directions, int samples_, bool preserveEdges_,
                     bool prune, uint16_t* chosen_, const Box& chosenBox_, bool shareCopies)
    : volume(volume_),
      volumeBox(volumeBox_),
      dims{static_cast<int>(volumeBox_.width()), static_cast<int>(volumeBox_.height()),
           static_cast<int>(volumeBox_.depth())},
      padded(padded_),
      count(static_cast<int>(directions.size())),
      samples(samples_),
      preserveEdges(preserveEdges_),
      pruneFactor(prune ? pruneFactorFor(samples_, preserveEdges_, padded_) : 0.0f),
      chosen(chosen_),
      chosenBox(chosenBox_),
      serial(nextJobSerial()) {
  // Columns long enough for whole vectors of any target past the last group.
  const size_t columns = directions.size() + 2 * 64;
  dirX.assign(columns, directions.empty() ? 0.0f : directions[0].x);
  dirY.assign(columns, directions.empty() ? 0.0f : directions[0].y);
  dirZ.assign(columns, directions.empty() ? 0.0f : directions[0].z);
  for (size_t i = 0; i < directions.size(); ++i) {
    dirX[i] = directions[i].x;
    dirY[i] = directions[i].y;
    dirZ[i] = directions[i].z;
  }
  if (!shareCopies) return;
  // Only vectors this close can meet the same texels on a walk of a few
  // steps; whether they do is checked per run and row.
  const std::vector<int> first = firstNearCopies(directions, 0x1p-14f);
  copyBegin.assign(directions.size() + 1, 0);
  for (int f : first) {
    if (f >= 0) ++copyBegin[f + 1];
  }
  for (size_t i = 0; i < directions.size(); ++i) copyBegin[i + 1] += copyBegin[i];
  copies.resize(copyBegin.back());
  copyFirst.resize(copies.size());
  copyOf.assign(directions.size(), -1);
  std::vector<int32_t> next(copyBegin.begin(), copyBegin.end() - 1);
  for (size_t j = 0; j < first.size(); ++j) {
    if (first[j] < 0) continue;
    const int32_t p = next[first[j]]++;
    copies[p] = static_cast<int32_t>(j);
    copyFirst[p] = first[j];
    copyOf[j] = p;
  }
}

int searchLanes() { return HWY_DYNAMIC_DISPATCH(SearchLanesImpl)(); }

int searchChunkLanes() { return HWY_DYNAMIC_DISPATCH(SearchChunkLanesImpl)(); }

const char* searchTargetName() { return HWY_DYNAMIC_DISPATCH(SearchTargetNameImpl)(); }

int64_t searchTargets() { return hwy::SupportedTargets() & HWY_TARGETS; }

bool searchRows(const SearchJob& job, SearchScratch& scratch, const Box& area, int64_t rowBegin,
                int64_t rowEnd, const RunControl* control, SearchStats& stats) {
  return HWY_DYNAMIC_DISPATCH(SearchRowsImpl)(job, scratch, area, rowBegin, rowEnd, control,
                                              stats);
}

}  // namespace voluna
#endif  // HWY_ONCE
