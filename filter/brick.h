// Filtering a volume brick by brick: the reach of the filter, the input a
// brick needs, and the run of one brick whose voxels come out identical,
// bit for bit, to the same voxels of a run over the whole volume.
//
// Every output voxel depends only on input voxels within the reach, so a
// volume of any size can be cut into bricks, each brick filtered from its
// interior grown by the reach ("halo", clipped at the volume's faces), and
// the interiors put back together.
#pragma once

#include <cstdint>
#include <string>

#include "box.h"
#include "dims.h"
#include "filter.h"
#include "filter_params.h"

namespace voluna {


// Voxel centres must be exact floats with room to spare for the positions
// the filter walks to (the reach argument in brick.cpp needs coordinates
// below 2^23); the fast CPU path has the same bound on rows.
constexpr int64_t kMaxAxis = (int64_t{1} << 22) - 1;
// Far beyond any disk, and keeps every count and byte offset in 64 bits.
constexpr int64_t kMaxWholeVoxels = int64_t{1} << 50;

// Empty when a whole volume of these dimensions can be filtered in bricks,
// else a sentence saying what is wrong.
std::string checkExtent(Extent whole);

// How far, in voxels along each axis, an output voxel looks into the input:
// samples + steps + 1 (derived in brick.cpp). Growing a brick by this much
// on every side makes its interior exact.
int filterReach(const FilterParams& params);

// `interior` grown by `margin` on every side and clipped to the volume.
Box grownBox(const Box& interior, int64_t margin, Extent whole);

// The input a brick needs: grownBox(interior, filterReach(params), whole).
Box haloBox(const Box& interior, Extent whole, const FilterParams& params);

// Filters the voxels of `interior` into `out` (interior.count() floats, x
// fastest) from `input`, the voxels of `inputBox` (x fastest), which must
// contain haloBox(interior) and lie inside the whole volume.
//
// Every CPU backend gives floats identical to the same voxels of a whole run
// (runFilter over the whole volume, which brick runs make unnecessary). The
// CUDA backend filters the input box as a volume of its own and copies out
// the interior: the texture unit then clamps at the box's faces, which are
// the volume's faces wherever the halo was clipped, so it agrees with a
// whole GPU run as closely as GPU runs agree with each other (positions are
// taken relative to the box).
//
// Checks everything before any work; reports, rather than runs, what it
// cannot do. Prints nothing: a caller running many bricks says what runs.
// Progress goes to options.control per stage of this brick.
FilterOutcome runBrick(const float* input, const Box& inputBox, Extent whole, const Box& interior,
                       const FilterParams& params, float* out, const FilterOptions& options = {});

// A bricked run in two stages, for callers that can pass direction fields
// between neighbouring bricks (a dask graph, say): every voxel is then
// searched once, where runBrick searches each brick's interior grown by the
// integration steps again. Both stages run on the CPU backends and give the
// whole run's values, bit for bit.

// How far the search of a voxel looks into the input: samples + 1.
int searchReach(const FilterParams& params);

// The directions of the voxels of `interior` (interior.count() indices into
// buildDirectionSet(params.angleStep), x fastest) from `input`, the voxels
// of `inputBox`, which must hold `interior` grown by searchReach(params).
FilterOutcome searchBrick(const float* input, const Box& inputBox, Extent whole,
                          const Box& interior, const FilterParams& params, uint16_t* chosen,
                          const FilterOptions& options = {});

// The output of the voxels of `interior` from `input` (the voxels of
// `inputBox`, which must hold `interior` grown by steps + 1) and `chosen`,
// the directions searchBrick gives for the voxels of `fieldBox`, which must
// hold `interior` grown by steps. Indices beyond the direction set are
// refused before any work.
FilterOutcome integrateBrick(const float* input, const Box& inputBox, const uint16_t* chosen,
                             const Box& fieldBox, Extent whole, const Box& interior,
                             const FilterParams& params, float* out,
                             const FilterOptions& options = {});

// The widest margin the fast CPU path pads each row of a brick's input
// with, on either side: the search's runs of up to 48 voxels, plus one.
constexpr int64_t kMaxSearchMargin = 49;

// Bytes runBrick itself allocates on the CPU for a brick of `interior`
// (its direction field and the constancy map of its input), at most.
int64_t brickWorkingBytes(const Box& interior, Extent whole, const FilterParams& params);

}  // namespace voluna
