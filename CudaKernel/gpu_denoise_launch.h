// What one launch of the denoiser's kernels computes, and the per-voxel
// code the kernels run: host and device code, so that the driver's tests
// run the very same steps on the CPU without a GPU.
#pragma once

#include <cstdint>

#include "denoise_math.h"
#include "device.h"

namespace voluna {

// A buffer holding the voxels [lo, lo + size) of the volume, x fastest.
struct DeviceBox {
  float* data;
  int lo[3];
  int size[3];
};

// Reads a DeviceBox at whole-volume coordinates, clamping at its faces as
// the CPU paths clamp at their buffers' faces; `kFilled` reads holes as 0.
template <bool kFilled>
struct DeviceBoxFetch {
  const DeviceBox* box;

  VOLUNA_HD float operator()(int x, int y, int z) const {
    x = clampTo(x - box->lo[0], box->size[0]);
    y = clampTo(y - box->lo[1], box->size[1]);
    z = clampTo(z - box->lo[2], box->size[2]);
    const float v = box->data[x + int64_t{box->size[0]} * (y + int64_t{box->size[1]} * z)];
    if (kFilled) return finiteValue(v) ? v : 0.0f;
    return v;
  }

  VOLUNA_HD static int clampTo(int i, int size) { return i < 0 ? 0 : (i >= size ? size - 1 : i); }
};

// One launch: the pilot over z in [zBegin, zEnd) of `pilot`'s box from
// `input`, or the result over z in [zBegin, zEnd) of `out`'s box from
// `input` and `pilot`. Every box's x and y are whole; the stencil's arrays
// lie in memory the device reads.
struct DenoiseLaunch {
  DenoiseStencilView stencil;
  DeviceBox input;
  DeviceBox pilot;
  DeviceBox out;
  int zBegin, zEnd;
};

// Threads of a launch's block, along x and y: warps along rows.
constexpr int kDenoiseBlockX = 32;
constexpr int kDenoiseBlockY = 4;

// The pilot at whole-volume voxel (x, y, z) of the pilot's box.
VOLUNA_HD void denoisePilotAt(const DenoiseLaunch& l, int x, int y, int z) {
  const DeviceBoxFetch<false> input{&l.input};
  const DeviceBox& p = l.pilot;
  p.data[(x - p.lo[0]) + int64_t{p.size[0]} * ((y - p.lo[1]) + int64_t{p.size[1]} * (z - p.lo[2]))] =
      pilotVoxel(input, x, y, z, l.stencil);
}

// The result at whole-volume voxel (x, y, z) of the output's box.
VOLUNA_HD void denoiseResultAt(const DenoiseLaunch& l, int x, int y, int z) {
  const DeviceBoxFetch<true> filled{&l.input};
  const DeviceBoxFetch<false> raw{&l.input};
  const DeviceBoxFetch<false> pilot{&l.pilot};
  const DeviceBox& o = l.out;
  o.data[(x - o.lo[0]) + int64_t{o.size[0]} * ((y - o.lo[1]) + int64_t{o.size[1]} * (z - o.lo[2]))] =
      restoreAmplitude(finalVoxel(filled, pilot, x, y, z, raw(x, y, z), l.stencil), l.stencil);
}

}  // namespace voluna
