// Voluna's structure-following filter on a volume in memory. For every voxel
// it finds the direction along which the volume varies least over a short
// line through the voxel, then averages the volume along the field of those
// directions. Link Voluna::filter.
//
// Both stages print a line on standard output as they begin
// ("Calculate vectorfield...", "Filtering data..."), as every Voluna program does.
#pragma once

#include <voluna/export.h>
#include <voluna/image.h>
#include <voluna/status.h>

#include <functional>
#include <string>

namespace voluna::api {

enum class Backend {
  Auto,          // CUDA where a usable GPU exists, else the CPU; a failed GPU run is redone on the CPU
  Cpu,           // the fast, vectorised CPU path
  CpuReference,  // the plain CPU path; the same result, far slower
  Cuda,          // the GPU only
};

// The defaults are those of the voluna-filter program.
struct FilterSettings {
  int samples = 5;  // samples on each side of a voxel when scoring a direction, 0 to 1000
  int steps = 5;    // integration steps against and along the direction field, 0 to 1000
  int angle = 5;    // angle step of the direction set, in whole degrees, 1 to 180
  // Score each line against the voxel's own value, so that the filter does
  // not average across edges. Off gives the original filter's result.
  bool preserveEdges = false;
  Backend backend = Backend::Auto;
  int threads = 0;  // CPU threads; 0 for every core
};

enum class Stage { Directions, Smoothing };

// Told how far a stage has come (0 to 1) from a thread of the run, never from
// two at once; returns false to stop the run, which then ends within about a
// second with Status::Code::Cancelled. Must not throw.
using Progress = std::function<bool(Stage stage, double fraction)>;

// Empty when the settings can be run, else what is wrong with them.
VOLUNA_API std::string checkSettings(const FilterSettings& settings);

// Filters size.count() floats, x fastest, into `out` (as many floats, not
// overlapping `volume`). The arithmetic is the filter's own, on the values
// as they are: Voluna's programs map a volume onto 0 to 1 first, so values
// on that scale give their results (see the Image overload for the mapping).
// On failure `out` holds nothing of use.
VOLUNA_API Status filter(const float* volume, Size size, float* out, const FilterSettings& settings = {},
                         const Progress& progress = {});

// Filters an image of any scalar type into one of the same type, value range
// and geometry, with the mapping of Voluna's programs: 8-bit unsigned voxels
// as byte / 255 and back in the historical byte conversion, every other type
// from its own range of finite values onto 0 to 1 and back, rounded to
// nearest for integer types. The result's bytes are those voluna-filter
// writes for the same volume. `output` may be `input`; it is changed only on
// success.
VOLUNA_API Status filter(const Image& input, Image& output, const FilterSettings& settings = {},
                         const Progress& progress = {});

// True when the CUDA backend can run here: built with it, and a usable GPU.
VOLUNA_API bool cudaAvailable();

}  // namespace voluna::api
