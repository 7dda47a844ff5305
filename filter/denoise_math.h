// The per-voxel arithmetic of the denoiser, written once for every backend.
//
// A voxel's result comes from two passes. The pilot averages the input over
// a search box, each candidate weighted by how alike the 3^3 patches around
// it and around the voxel are. The result averages the input again, over a
// ball and along the lines of the direction set through the voxel (read with
// the texture unit's trilinear arithmetic), each sample weighted by how close
// the pilot is there to the pilot at the voxel: the pilot, far less noisy
// than the input, decides what belongs together, and the input gives the
// values, so the pilot's own blur does not reach the result.
//
// Templates over `fetch(x, y, z)`, which returns the value at whole-volume
// voxel coordinates, clamped into the buffer it reads the way the sampler
// clamps. Only IEEE operations appear (fused ones as explicit fmaf), in a
// fixed order: every backend that keeps the order gives the same floats.
//
// Voxels that are NaN or infinite are holes: their results are their own
// values, they count for nothing in anyone else's, and a candidate whose
// patch touches one, or a line sample whose taps do, weighs nothing.
#pragma once

#include <cmath>

#include "denoise_params.h"
#include "device.h"

namespace voluna {

// The stencil as the per-voxel code reads it: plain pointers, so that the
// same view serves host and device memory.
struct DenoiseStencilView {
  const Offset3* window;
  int windowCount;
  const Offset3* ball;
  int ballCount;
  const LineTap* taps;
  int tapCount;
  int patchRadius;
  float c1, c2, c3, c4;
  const float* amplitude;  // null unless the noise is Rician
  int amplitudeCount;
  float amplitudeScale, sigma, floor;
};

inline DenoiseStencilView viewOf(const DenoiseStencil& s) {
  return {s.window.data(), static_cast<int>(s.window.size()), s.ball.data(),
          static_cast<int>(s.ball.size()), s.taps.data(), static_cast<int>(s.taps.size()),
          s.patchRadius, s.c1, s.c2, s.c3, s.c4,
          s.amplitude.empty() ? nullptr : s.amplitude.data(), static_cast<int>(s.amplitude.size()),
          s.amplitudeScale, s.sigma, s.floor};
}

// False for NaN and both infinities, without a library call.
VOLUNA_HD bool finiteValue(float v) { return v - v == 0.0f; }

// A weight of t >= 0: (1 - t / 8)^8, close to exp(-t) where it matters,
// exactly 0 from t = 8 on and for a NaN t, and made of multiplications only,
// so every backend rounds it alike.
VOLUNA_HD float denoiseKernel(float t) {
  float u = 1.0f - t * 0.125f;
  u = u > 0.0f ? u : 0.0f;  // a NaN t lands here as 0
  u = u < 1.0f ? u : 1.0f;
  const float u2 = u * u;
  const float u4 = u2 * u2;
  return u4 * u4;
}

// The pilot at voxel (x, y, z) of the input: NaN for a hole.
template <class Fetch>
VOLUNA_HD float pilotVoxel(const Fetch& input, int x, int y, int z, const DenoiseStencilView& s) {
  const float centre = input(x, y, z);
  if (!finiteValue(centre)) return centre - centre;
  const int r = s.patchRadius;
  float sum = 0.0f, weights = 0.0f, most = 0.0f;
  for (int i = 0; i < s.windowCount; ++i) {
    const Offset3 o = s.window[i];
    float distance = 0.0f;
    for (int kz = -r; kz <= r; ++kz)
      for (int ky = -r; ky <= r; ++ky)
        for (int kx = -r; kx <= r; ++kx) {
          const float d = input(x + kx, y + ky, z + kz) - input(x + o.x + kx, y + o.y + ky, z + o.z + kz);
          distance = fmaf(d, d, distance);
        }
    const float w = denoiseKernel(distance * s.c1 - s.c2);
    float v = input(x + o.x, y + o.y, z + o.z);
    v = finiteValue(v) ? v : 0.0f;
    sum = fmaf(w, v, sum);
    weights = weights + w;
    most = w > most ? w : most;
  }
  // The voxel counts as much as its most alike candidate, or alone when no
  // candidate is alike at all.
  const float own = most > 0.0f ? most : 1.0f;
  return fmaf(own, centre, sum) / (weights + own);
}

// The texture unit's blend of the eight voxels around an offset.
template <class Fetch>
VOLUNA_HD float tapValue(const Fetch& volume, int x, int y, int z, const LineTap& tap) {
  float sum = 0.0f;
  for (int cz = 0; cz < 2; ++cz)
    for (int cy = 0; cy < 2; ++cy)
      for (int cx = 0; cx < 2; ++cx) {
        sum = fmaf(volume(x + tap.cell[0] + cx, y + tap.cell[1] + cy, z + tap.cell[2] + cz),
                   tap.weight[cz * 4 + cy * 2 + cx], sum);
      }
  return sum;
}

// The result at voxel (x, y, z), whose input value is `centre`. `filled`
// reads the input with holes as 0, `pilot` the pilot (NaN at holes).
template <class Fetch, class PilotFetch>
VOLUNA_HD float finalVoxel(const Fetch& filled, const PilotFetch& pilot, int x, int y, int z,
                           float centre, const DenoiseStencilView& s) {
  if (!finiteValue(centre)) return centre;
  const float own = pilot(x, y, z);
  const int r = s.patchRadius;
  float sum = 0.0f, weights = 0.0f;
  for (int i = 0; i < s.ballCount; ++i) {
    const Offset3 o = s.ball[i];
    // Patches of the pilot, not single values, decide what belongs
    // together: one voxel of the pilot still carries some noise, and near
    // an edge its neighbours say on which side it lies. A hole beside the
    // sample only shortens the sum; a hole at the sample leaves it NaN, so
    // that the sample weighs nothing.
    float distance = 0.0f;
    for (int kz = -r; kz <= r; ++kz)
      for (int ky = -r; ky <= r; ++ky)
        for (int kx = -r; kx <= r; ++kx) {
          float d = pilot(x + o.x + kx, y + o.y + ky, z + o.z + kz) - pilot(x + kx, y + ky, z + kz);
          const bool centre = kx == 0 && ky == 0 && kz == 0;
          d = centre || finiteValue(d) ? d : 0.0f;
          distance = fmaf(d, d, distance);
        }
    const float w = denoiseKernel(distance * s.c4);
    sum = fmaf(w, filled(x + o.x, y + o.y, z + o.z), sum);
    weights = weights + w;
  }
  for (int i = 0; i < s.tapCount; ++i) {
    const float d = tapValue(pilot, x, y, z, s.taps[i]) - own;
    const float w = denoiseKernel((d * d) * s.c3);
    sum = fmaf(w, tapValue(filled, x, y, z, s.taps[i]), sum);
    weights = weights + w;
  }
  // Only values near the float range's end can leave nothing weighed.
  return weights > 0.0f ? sum / weights : centre;
}

// A result of finalVoxel taken back from a mean of Rician magnitudes to the
// signal it stands for (the stencil's table); any other result unchanged.
VOLUNA_HD float restoreAmplitude(float m, const DenoiseStencilView& s) {
  if (s.amplitude == nullptr || !finiteValue(m)) return m;
  const float e = m - s.floor;
  const float t = e / s.sigma;
  const float u = t * s.amplitudeScale;
  if (!(u > 0.0f)) return s.floor;
  const int last = s.amplitudeCount - 1;
  if (u >= static_cast<float>(last)) return s.floor + sqrtf(fmaf(e, e, -(s.sigma * s.sigma)));
  const int i = static_cast<int>(u);
  const float f = u - static_cast<float>(i);
  const float a = fmaf(f, s.amplitude[i + 1] - s.amplitude[i], s.amplitude[i]);
  return fmaf(a, s.sigma, s.floor);
}

}  // namespace voluna
