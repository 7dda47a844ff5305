// SIMD building blocks of the fast CPU path, shared by its per-target code:
// the fused multiply-add that every target must round once, and the
// sampler's axis arithmetic for one coordinate per lane.
//
// Included once per Highway target (the per-target include guard below), so
// it has no include guard of its own.
#if defined(VOLUNA_FILTER_FAST_SIMD_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef VOLUNA_FILTER_FAST_SIMD_INL_H_
#undef VOLUNA_FILTER_FAST_SIMD_INL_H_
#else
#define VOLUNA_FILTER_FAST_SIMD_INL_H_
#endif

#include <cmath>

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace voluna {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// a * b + c rounded once. Targets without fused vector instructions take it
// lane by lane from the C library, which rounds correctly everywhere.
template <class V>
HWY_INLINE V Fused(V a, V b, V c) {
#if HWY_NATIVE_FMA
  return hn::MulAdd(a, b, c);
#else
  const hn::DFromV<V> d;
  constexpr size_t kCapacity = HWY_MAX_BYTES / sizeof(float);
  HWY_ALIGN float A[kCapacity], B[kCapacity], C[kCapacity];
  hn::Store(a, d, A);
  hn::Store(b, d, B);
  hn::Store(c, d, C);
  for (size_t l = 0; l < hn::Lanes(d); ++l) C[l] = std::fmaf(A[l], B[l], C[l]);
  return hn::Load(d, C);
#endif
}

// The sampler divides whole numbers of 1/256 steps by 256. Those quotients
// are exact, so multiplying by 2^-8 gives the same floats, far cheaper.
constexpr float kInv256 = 0x1p-8f;

// The sampler's axis arithmetic up to the fraction, for one texture
// coordinate per lane: cell index (a float, unclamped) and fraction in 1/256
// steps.
template <class D, class V = hn::Vec<D>>
HWY_INLINE void axisCells(D d, V u, V& cell, V& fraction) {
  const V k256 = hn::Set(d, 256.0f);
  const V half = hn::Set(d, 0.5f);
  const V a = hn::Sub(u, half);
  const V q = hn::Floor(hn::Add(hn::Mul(a, k256), half));
  cell = hn::Floor(hn::Mul(q, hn::Set(d, kInv256)));
  fraction = hn::Sub(q, hn::Mul(k256, cell));
}

template <class D>
struct AxisTaps {
  hn::Vec<hn::RebindToSigned<D>> i0, i1;  // the two neighbours, clamped into the volume
  hn::Vec<D> w0, w1;                      // their weights
};

// The sampler's full axis tap, one texture coordinate per lane, clamped
// into [lo, lo + size) and relative to lo (the sampler's axisTap). Positions
// are always finite in the filter, so Max is the sampler's !(cell >= -1).
template <class D, class V = hn::Vec<D>>
HWY_INLINE AxisTaps<D> axisTaps(D d, V u, int size, int lo) {
  const hn::RebindToSigned<D> di;
  V cell, f;
  axisCells(d, u, cell, f);
  cell = hn::Sub(cell, hn::Set(d, static_cast<float>(lo)));
  cell = hn::Max(cell, hn::Set(d, -1.0f));
  cell = hn::Min(cell, hn::Set(d, static_cast<float>(size - 1)));
  const auto i = hn::ConvertTo(di, cell);
  AxisTaps<D> t;
  t.i0 = hn::Max(i, hn::Zero(di));
  t.i1 = hn::Min(hn::Add(i, hn::Set(di, 1)), hn::Set(di, size - 1));
  t.w0 = hn::Mul(hn::Sub(hn::Set(d, 256.0f), f), hn::Set(d, kInv256));
  t.w1 = hn::Mul(f, hn::Set(d, kInv256));
  return t;
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace voluna
HWY_AFTER_NAMESPACE();

#endif  // VOLUNA_FILTER_FAST_SIMD_INL_H_
