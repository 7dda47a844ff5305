// The per-voxel arithmetic of the filter, written once for the CPU and the GPU.
//
// Everything here is templated over a sampler so that the CPU backend (which
// emulates the texture unit in software) and the CUDA kernels (which use the
// texture unit itself) run the very same sequence of float operations. Fused
// operations appear only as explicit fmaf calls; the translation units that
// include this header are compiled without floating-point contraction.
#pragma once

#include <cmath>

#include "device.h"

namespace voluna {

// The search stops once a direction scores at most 2^-23.
constexpr float kEarlyStopScore = 1.1920929e-07f;
// Float nearest to 1/6; a multiplication, never a division by 6.
constexpr float kSixth = 0.1666666716f;

// A volume sampler returns the trilinear value at texture coordinates
// (voxel centre i sits at i + 0.5), a field sampler the blended direction.
// Both are called with the coordinates the texture unit would receive.

VOLUNA_HD Vec3 negated(Vec3 v) { return {-v.x, -v.y, -v.z}; }

// One-pass population variance of differences from a reference, in a few
// scalars; no sample is stored.
struct VarianceAccumulator {
  float S = 0.0f, Q = 0.0f, N = 0.0f;

  VOLUNA_HD void add(float delta) {
    S = S + delta;
    Q = fmaf(delta, delta, Q);
    N = N + 1.0f;
  }
  // NaN (0/0) when nothing was added.
  VOLUNA_HD float variance() const { return (Q - (S * S) / N) / N; }
};

// Walks `samples` steps of `step` from p0, adding each sample's difference
// from the reference: the walk's own first sample when `ownReference`, else
// `reference`. Positions advance step by step, never recomputed from k;
// p + (-d) is bitwise p - d, so one walk serves both directions.
template <class VolumeSampler>
VOLUNA_HD void walkLine(const VolumeSampler& volume, Vec3 p0, Vec3 step, int samples,
                        bool ownReference, float reference, VarianceAccumulator& acc) {
  Vec3 p = p0;
  float R = reference;
  for (int k = 1; k <= samples; ++k) {
    p.x = p.x + step.x;
    p.y = p.y + step.y;
    p.z = p.z + step.z;
    const float v = volume(p.x + 0.5f, p.y + 0.5f, p.z + 0.5f);
    if (ownReference && k == 1) R = v;
    acc.add(v - R);
  }
}

// Line variance of direction d at voxel centre p0: 2 * samples values, each
// walk measured against its own first sample. A line that is constant on
// each side of the voxel therefore scores 0, even across an edge.
template <class VolumeSampler>
VOLUNA_HD float lineVariance(const VolumeSampler& volume, Vec3 p0, Vec3 d, int samples) {
  VarianceAccumulator acc;
  walkLine(volume, p0, negated(d), samples, true, 0.0f, acc);
  walkLine(volume, p0, d, samples, true, 0.0f, acc);
  return acc.variance();
}

// The edge-preserving score: the whole line, the voxel's own value `centre`
// included as the first value, measured against that one value. A line
// across an edge can no longer score 0.
template <class VolumeSampler>
VOLUNA_HD float centredLineVariance(const VolumeSampler& volume, Vec3 p0, Vec3 d, int samples,
                                    float centre) {
  VarianceAccumulator acc;
  acc.add(0.0f);
  walkLine(volume, p0, negated(d), samples, false, centre, acc);
  walkLine(volume, p0, d, samples, false, centre, acc);
  return acc.variance();
}

// Running minimum of the choice rule. Of equal scores the later direction
// wins; a NaN score never wins, and a NaN first score keeps direction 0 to
// the end (both fall out of the ordered comparison below).
struct DirectionChoice {
  float best;
  int chosen;

  VOLUNA_HD void first(float score) {
    best = score;
    chosen = 0;
  }
  VOLUNA_HD void offer(int index, float score) {
    const float m = (score < best) ? score : best;
    if (m == score) chosen = index;
    best = m;
  }
  // False for a NaN best, so a NaN never ends the search early.
  VOLUNA_HD bool done() const { return best <= kEarlyStopScore; }
};

// Direction of least line variance over the first `count` entries of the
// direction table. Returns the index of the chosen direction.
template <class VolumeSampler>
VOLUNA_HD int chooseDirection(const VolumeSampler& volume, Vec3 p0, const Vec3* directions,
                              int count, int samples, bool preserveEdges) {
  if (count <= 0) return 0;
  const float centre = preserveEdges ? volume(p0.x + 0.5f, p0.y + 0.5f, p0.z + 0.5f) : 0.0f;
  auto score = [&](int i) {
    return preserveEdges ? centredLineVariance(volume, p0, directions[i], samples, centre)
                         : lineVariance(volume, p0, directions[i], samples);
  };
  DirectionChoice choice;
  choice.first(score(0));
  for (int i = 1; i < count && !choice.done(); ++i) choice.offer(i, score(i));
  return choice.chosen;
}

// 1 / (2 steps + 1): the denominator by one fused multiply-add, then the
// correctly rounded reciprocal.
VOLUNA_HD float meanFactor(int steps) {
  return 1.0f / fmaf(2.0f, static_cast<float>(steps), 1.0f);
}

// One four-stage step of length one field vector. `sign` is +1 along the
// field and -1 against it; negating a slope is exact, so the pass against the
// field is the pass along it with every slope negated.
template <class FieldSampler>
VOLUNA_HD Vec3 integrationStep(const FieldSampler& field, Vec3 p, float sign) {
  Vec3 k1 = field(p.x + 0.5f, p.y + 0.5f, p.z + 0.5f);
  k1 = {sign * k1.x, sign * k1.y, sign * k1.z};
  Vec3 q = {p.x + 0.5f * k1.x, p.y + 0.5f * k1.y, p.z + 0.5f * k1.z};
  Vec3 k2 = field(q.x + 0.5f, q.y + 0.5f, q.z + 0.5f);
  k2 = {sign * k2.x, sign * k2.y, sign * k2.z};
  q = {p.x + 0.5f * k2.x, p.y + 0.5f * k2.y, p.z + 0.5f * k2.z};
  Vec3 k3 = field(q.x + 0.5f, q.y + 0.5f, q.z + 0.5f);
  k3 = {sign * k3.x, sign * k3.y, sign * k3.z};
  // The fourth stage samples at half a step, like the second and third.
  q = {p.x + 0.5f * k3.x, p.y + 0.5f * k3.y, p.z + 0.5f * k3.z};
  Vec3 k4 = field(q.x + 0.5f, q.y + 0.5f, q.z + 0.5f);
  k4 = {sign * k4.x, sign * k4.y, sign * k4.z};

  Vec3 t;
  t.x = fmaf(2.0f, k2.x, k1.x);
  t.y = fmaf(2.0f, k2.y, k1.y);
  t.z = fmaf(2.0f, k2.z, k1.z);
  t.x = fmaf(2.0f, k3.x, t.x);
  t.y = fmaf(2.0f, k3.y, t.y);
  t.z = fmaf(2.0f, k3.z, t.z);
  t.x = t.x + k4.x;
  t.y = t.y + k4.y;
  t.z = t.z + k4.z;
  return {fmaf(t.x, kSixth, p.x), fmaf(t.y, kSixth, p.y), fmaf(t.z, kSixth, p.z)};
}

// Mean of the volume along the field through voxel centre p0: the centre,
// `steps` samples against the field, then `steps` samples along it.
template <class VolumeSampler, class FieldSampler>
VOLUNA_HD float integrateVoxel(const VolumeSampler& volume, const FieldSampler& field, Vec3 p0,
                               int steps, float r) {
  float acc = volume(p0.x + 0.5f, p0.y + 0.5f, p0.z + 0.5f);
  Vec3 p = p0;
  for (int k = 0; k < steps; ++k) {
    p = integrationStep(field, p, -1.0f);
    acc = acc + volume(p.x + 0.5f, p.y + 0.5f, p.z + 0.5f);
  }
  p = p0;
  for (int k = 0; k < steps; ++k) {
    p = integrationStep(field, p, 1.0f);
    acc = acc + volume(p.x + 0.5f, p.y + 0.5f, p.z + 0.5f);
  }
  return acc * r;
}

}  // namespace voluna
