// A way of filtering a box of a volume, as the one orchestration (box_run.h)
// runs it. The orchestration picks the backend, counts threads, maps the
// input's constant regions, announces and times the stages and says what
// ran; a method brings its reach, its stages and, where it has one, its GPU
// run, and fills its output.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "box.h"
#include "constant_regions.h"
#include "filter.h"
#include "run_control.h"
#include "run_stats.h"

namespace voluna {

// The input of a run: the voxels of `box` (x fastest), a part of a volume
// of size `whole`, or all of it.
struct BoxInput {
  const float* data;
  Box box;
  Extent whole;
};

// What one CPU run gives the stages of a method.
class CpuBoxRun {
 public:
  // `simd` says that the SIMD path is asked for (Backend::Cpu) rather than
  // the plain one; a method takes its plain path wherever its SIMD path
  // cannot take the box, with the same results.
  CpuBoxRun(const BoxInput& input, int threads, bool simd, const FilterOptions& options,
            bool announce);

  const BoxInput& input;
  const int threads;
  const bool simd;
  const bool pruning;  // FilterOptions::pruning
  const RunControl* const control;
  const ConstancyMap constancy;  // of the input box

  // Where the search counts what it did; null when nobody asked.
  SearchStats* searchStats() const { return stats_ ? &stats_->search : nullptr; }

  // Called as each stage begins and once the last has ended: prints the
  // stage's line when the caller asked for it, and times the stages.
  void beginStage(Stage stage);
  void end();

 private:
  using Clock = std::chrono::steady_clock;

  bool announce_;
  RunStats* stats_;
  Clock::time_point started_, integrationStarted_;
  bool integrating_ = false;
};

class BoxMethod {
 public:
  virtual ~BoxMethod() = default;

  // How far, in voxels along each axis, an output voxel looks into the
  // input: the input box must hold the interior grown by this much, clipped
  // at the volume's faces.
  virtual int64_t reach() const = 0;

  // The stages over `interior` on the CPU, into the method's output.
  // Returns false when run.control cancelled.
  virtual bool runOnCpu(CpuBoxRun& run, const Box& interior) const = 0;

  // Empty when the method runs on the GPU; else what to tell a person who
  // asked for the GPU.
  virtual std::string withoutGpu() const = 0;

  // The method over `interior` on the GPU, asked for only where
  // withoutGpu() is empty and a device is usable: Ok, Cancelled or
  // BackendFailed.
  virtual FilterOutcome runOnGpu(const BoxInput& input, const Box& interior,
                                 const RunControl* control) const;
};

}  // namespace voluna
