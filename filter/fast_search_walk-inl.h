// Walking one direction of one run: the samples of both walks from the
// tap tables, blended in the plain sampler's order, and the running sums of
// the score.
//
// Included once per Highway target from fast_direction_search.cpp (the
// per-target include guard below), so it has no include guard of its own.
#if defined(VOLUNA_FILTER_FAST_SEARCH_WALK_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef VOLUNA_FILTER_FAST_SEARCH_WALK_INL_H_
#undef VOLUNA_FILTER_FAST_SEARCH_WALK_INL_H_
#else
#define VOLUNA_FILTER_FAST_SEARCH_WALK_INL_H_
#endif

#include <cstddef>
#include <cstdint>

#include "fast_direction_search.h"
#include "fast_search_layout-inl.h"
#include "fast_search_tables-inl.h"
#include "fast_simd-inl.h"
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace voluna {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// One direction of one run as the scorer walks it.
struct DirectionWalker {
  const SearchJob* job;
  const float* origin;     // padded volume, x = 0 of row 0
  const int32_t* cells;    // x-table entries of this direction, by sample
  const float* xWeights;   // their own x weights, by sample
  const int32_t* offsets;  // y/z-table entries of this direction; sample j at j * stride
  const float* weights;
  const float* weightsX0;
  const float* weightsX1;
  size_t stride;
  int lanes, x0, y, z, direction, samples;
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
HWY_NOINLINE void unusualSample(const DirectionWalker& walker, int j, VF (&v)[G]) {
  const int32_t cell = walker.cells[j];
  const size_t e = size_t(j) * walker.stride;
  const int walk = j < walker.samples ? 0 : 1, k = j < walker.samples ? j : j - walker.samples;
  if (cell == kMixedCell) {
    for (int c = 0; c < G; ++c) {
      v[c] = mixedSample(*walker.job, walker.x0 + c * walker.lanes, walker.y, walker.z,
                         walker.direction, walk, k);
      ++walker.stats->mixedSamples;
    }
    return;
  }
  walker.stats->ownFractionSamples += G;
  float w0[4], w1[4];
  for (int q = 0; q < 4; ++q) {
    w0[q] = walker.xWeights[2 * j] * walker.weights[e + q];
    w1[q] = walker.xWeights[2 * j + 1] * walker.weights[e + q];
  }
  blendOne<G>(walker.origin + (cell - kOwnFraction), walker.offsets + e, w0, w1, walker.lanes, v);
}

template <int G>
HWY_INLINE void sampleOne(const DirectionWalker& walker, int j, VF (&v)[G]) {
  const int32_t cell = walker.cells[j];
  const size_t e = size_t(j) * walker.stride;
  if (HWY_LIKELY(commonFraction(cell))) {
    blendOne<G>(walker.origin + cell, walker.offsets + e, walker.weightsX0 + e,
                walker.weightsX1 + e, walker.lanes, v);
  } else {
    unusualSample<G>(walker, j, v);
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
HWY_INLINE void blendBlock(const DirectionWalker& walker, int j, VF (&v)[K][G]) {
  const DF df;
  const float* HWY_RESTRICT origin[K];
  const int32_t* HWY_RESTRICT offsets[K];
  const float* HWY_RESTRICT w0[K];
  const float* HWY_RESTRICT w1[K];
  for (int i = 0; i < K; ++i) {
    const size_t e = size_t(j + i) * walker.stride;
    origin[i] = walker.origin + walker.cells[j + i];
    offsets[i] = walker.offsets + e;
    w0[i] = walker.weightsX0 + e;
    w1[i] = walker.weightsX1 + e;
    for (int c = 0; c < G; ++c) v[i][c] = hn::Zero(df);
  }
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
  // The corners one voxel right of chunk c's are lanes 1 to 7 of its own
  // load and lane 0 of the next chunk's: one shuffle instead of a load.
  // Loads limit the search here (a 32-byte load at a random offset crosses
  // a cache line almost half the time).
  if (walker.lanes == 8) {
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
      for (int c = 0; c < G; ++c) v[i][c] = Fused(hn::LoadU(df, r + c * walker.lanes), x0, v[i][c]);
    }
    for (int i = 0; i < K; ++i) {
      const float* r = origin[i] + offsets[i][q];
      const VF x1 = hn::Set(df, w1[i][q]);
      for (int c = 0; c < G; ++c) {
        v[i][c] = Fused(hn::LoadU(df, r + c * walker.lanes + 1), x1, v[i][c]);
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
HWY_INLINE void walkBlock(const DirectionWalker& walker, int j0, int k, Accumulators<G>& acc) {
  VF v[K][G];
  bool common = true;
  for (int i = 0; i < K; ++i) common = common && commonFraction(walker.cells[j0 + k + i]);
  if (HWY_LIKELY(common)) {
    blendBlock<G, K>(walker, j0 + k, v);
  } else {
    for (int i = 0; i < K; ++i) sampleOne<G>(walker, j0 + k + i, v[i]);
  }
  if (!kEdges && k == 0) {
    for (int c = 0; c < G; ++c) acc.reference[c] = v[0][c];
  }
  for (int i = 0; i < K; ++i) acc.add(v[i]);
}

template <int G, bool kEdges, int K = kBlock<G>>
HWY_INLINE void walkBlockOfSize(int size, const DirectionWalker& walker, int j0, int k,
                                Accumulators<G>& acc) {
  if constexpr (K > 1) {
    if (size < K) return walkBlockOfSize<G, kEdges, K - 1>(size, walker, j0, k, acc);
  }
  walkBlock<G, K, kEdges>(walker, j0, k, acc);
}

// One walk of one direction: samples [walk s, walk s + s), in blocks as
// even as kBlock allows.
template <int G, bool kEdges>
HWY_INLINE void walk(const DirectionWalker& walker, int walkIndex, Accumulators<G>& acc) {
  const int s = walker.samples;
  const int j0 = walkIndex * s;
  for (int k = 0; k < s;) {
    const int remaining = s - k;
    const int blocks = (remaining + kBlock<G> - 1) / kBlock<G>;
    const int size = (remaining + blocks - 1) / blocks;
    walkBlockOfSize<G, kEdges>(size, walker, j0, k, acc);
    k += size;
  }
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace voluna
HWY_AFTER_NAMESPACE();

#endif  // VOLUNA_FILTER_FAST_SEARCH_WALK_INL_H_
