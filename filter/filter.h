// The one entry point that callers use to filter a volume.
#pragma once

#include <cstdint>
#include <string>

#include "device.h"
#include "dims.h"
#include "filter_params.h"
#include "run_control.h"

namespace voluna {

enum class Backend {
  Auto,          // CUDA when a usable device exists, else the CPU
  Cpu,           // the default CPU path
  CpuReference,  // the plain CPU reference path
  Cuda,
};

struct RunStats;  // run_stats.h

struct FilterOptions {
  Backend backend = Backend::Auto;
  int threads = 0;                       // CPU threads; 0 = every core
  const RunControl* control = nullptr;   // progress and cancel, optional
  // For benchmarks and tests: when set, a CPU run says here what it did.
  RunStats* stats = nullptr;
  // The SIMD search drops directions that provably cannot be chosen;
  // switching that off shows what it saves and that it changes nothing.
  bool pruning = true;
};

struct FilterOutcome {
  // BackendFailed: the GPU run failed or was refused (too little free
  // memory); nothing of it is left on the device, and the CPU can run it.
  enum class Status { Ok, InvalidInput, BackendUnavailable, BackendFailed, Cancelled };
  Status status = Status::Ok;
  std::string message;  // what went wrong, for a person
  std::string backend;  // what ran, e.g. "CPU, 2 threads"

  bool ok() const { return status == Status::Ok; }
};

// An outcome that says why a run did not happen.
FilterOutcome refusedOutcome(FilterOutcome::Status status, std::string message);

// The CPU threads a run of `options` takes: options.threads, or every core.
int threadCount(const FilterOptions& options);

// True when a CUDA device that supports managed memory exists. Asked once
// per process and cached; false in builds without CUDA.
bool cudaUsable();

// Bytes free on the CUDA device that runs the filter; 0 without one.
int64_t cudaFreeBytes();

// Filters `volume` (dims.count() floats in voxel order) into `out`. Checks
// the dimensions and parameters before any work and reports rather than
// runs what it cannot do. Prints "Calculate vectorfield..." and "Filtering
// data..." on standard output as the two stages begin. The run is the brick
// run (brick.h) whose interior is the whole volume: the same backends,
// constant regions filtered at the speed of reading them; on the GPU the
// volume is filtered whole.
FilterOutcome runFilter(const float* volume, Dims dims, const FilterParams& params, float* out,
                        const FilterOptions& options = {});

// The first stage alone: the unit direction the filter chooses at each voxel,
// dims.count() vectors in voxel order, a structure-orientation field of its
// own use. Same checks as runFilter; the two CPU backends give the same field
// bit for bit. The CUDA backend keeps its field on the device, so Auto means
// the CPU here and Cuda is reported unavailable.
FilterOutcome runDirectionField(const float* volume, Dims dims, const FilterParams& params,
                                Vec3* out, const FilterOptions& options = {});

}  // namespace voluna
