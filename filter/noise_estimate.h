// How much noise a volume holds, measured from the volume itself: what
// sets the denoiser's strength when the user gives none.
//
// The noise of a voxel shows in its difference from the mean of its axis
// neighbours; structure shows there too, but mostly where the volume's local
// mean changes. So the estimate takes that difference (scaled to the noise's
// standard deviation for white noise) at the half of the voxels where a 3^3
// mean changes least, and measures its spread robustly (median absolute
// deviation). Voxels in a constant neighbourhood (padding, clipped or
// masked regions) carry no noise and are left out; so are voxels whose
// local mean lies within twice the estimate of the volume's lowest value,
// where the Rician noise of magnitude images is no longer Gaussian and reads
// low, as long as enough others remain.
//
// Linear in the volume: scaling the values scales the estimate, so it can
// be taken on the filter's unit scale and converted with inputNoise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dims.h"

namespace voluna {

struct NoiseEstimate {
  float sigma = 0.0f;    // the noise's standard deviation, in the volume's units
  int64_t voxels = 0;    // voxels the estimate rests on
  std::string problem;   // why there is no estimate; empty when there is one
  // Whether the volume looks like a magnitude image with Rician noise: its
  // darkest regions hold noise alone, with the mean and spread of a
  // Rayleigh distribution above `floor` (the lowest value) and, unlike
  // Gaussian noise clipped at a floor, almost no voxel at the floor itself.
  bool rician = false;
  float floor = 0.0f;

  bool ok() const { return problem.empty(); }
};

// The estimate over a whole volume in memory.
NoiseEstimate estimateNoise(const float* volume, Dims dims);

// The same estimate from a volume read in slabs of whole slices, for
// volumes that do not fit in memory: equal to estimateNoise on the whole
// volume when the slabs' evaluated slices cover it once.
class NoiseEstimator {
 public:
  // `width` x `height` x `depth` voxels in all. Keeps at most about 2^22
  // voxels' measurements, spread evenly over the volume.
  NoiseEstimator(int64_t width, int64_t height, int64_t depth);

  // Measures slices [zBegin, zEnd) of the volume from `slab`, which holds
  // slices [slabZ0, slabZ0 + slabDepth) (x fastest). The slab must hold two
  // slices beyond the measured ones on each side, or reach the volume's
  // face there.
  void add(const float* slab, int64_t slabZ0, int64_t slabDepth, int64_t zBegin, int64_t zEnd);

  NoiseEstimate finish() const;

 private:
  struct Sample {
    float change;    // how much the local mean changes
    float residual;  // the voxel's scaled difference from its neighbours' mean
    float mean;      // the local mean
    float value;     // the voxel's own
  };
  int64_t nx_, ny_, nz_;
  int64_t stride_;  // measure one voxel in `stride_`, in voxel order
  float lowest_;    // the lowest finite value seen
  bool anyFinite_ = false;
  std::vector<Sample> samples_;

  bool looksRician(float sigma) const;
};

}  // namespace voluna
