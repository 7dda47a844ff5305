// The one entry point that callers use to filter a volume.
#pragma once

#include <string>

#include "dims.h"
#include "run_control.h"

namespace voluna {

struct FilterParams {
  int samples = 5;           // sampling steps on each side of a voxel
  int integrationSteps = 5;  // integration steps against and along the field
  int angleStep = 5;         // whole degrees between searched directions
};

// Upper bounds on what the command line accepts for samples and steps; the
// window's spin boxes stop at 99. Beyond them a run takes days, not minutes.
constexpr int kMaxSamples = 1000;
constexpr int kMaxIntegrationSteps = 1000;

enum class Backend {
  Auto,          // CUDA when a usable device exists, else the CPU
  Cpu,           // the default CPU path
  CpuReference,  // the plain CPU reference path
  Cuda,
};

struct FilterOptions {
  Backend backend = Backend::Auto;
  int threads = 0;                       // CPU threads; 0 = every core
  const RunControl* control = nullptr;   // progress and cancel, optional
};

struct FilterOutcome {
  enum class Status { Ok, InvalidInput, BackendUnavailable, Cancelled };
  Status status = Status::Ok;
  std::string message;  // what went wrong, for a person
  std::string backend;  // what ran, e.g. "CPU, 2 threads"

  bool ok() const { return status == Status::Ok; }
};

// Empty when the parameters can be run, else a sentence saying what is wrong.
std::string checkParams(const FilterParams& params);

// True when a CUDA device that supports managed memory exists. Asked once
// per process and cached; false in builds without CUDA.
bool cudaUsable();

// Filters `volume` (dims.count() floats in voxel order) into `out`. Checks
// the dimensions and parameters before any work and reports rather than
// runs what it cannot do. Prints "Calculate vectorfield..." and "Filtering
// data..." on standard output as the two stages begin.
FilterOutcome runFilter(const float* volume, Dims dims, const FilterParams& params, float* out,
                        const FilterOptions& options = {});

}  // namespace voluna
