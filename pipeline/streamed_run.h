// A run over a volume larger than its memory budget: read from disk,
// filtered and written brick by brick, slab by slab.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "brick_plan.h"
#include "filter.h"
#include "noise_estimate.h"
#include "run_control.h"
#include "volume_stream.h"

namespace voluna {

// Bytes of memory a whole run of `voxels` voxels of `elementBytes` bytes
// each takes on `backend` (Auto as it resolves here): the loaded volume,
// its floats, the result, the backend's own arrays and the result's bytes.
int64_t wholeRunBytes(int64_t voxels, int elementBytes, Backend backend);

// "64M", "2G", "512k", "1048576": a whole number of bytes with an optional
// binary suffix K, M, G or T (case-insensitive, "B" or "iB" may follow).
// Returns -1 for anything else or for 0.
int64_t parseMemorySize(const std::string& text);

// Half of the machine's memory.
int64_t defaultMemoryBudget();

// The result's voxel type: bytes as always, the values' own type as a whole
// load gives it, or floats on the values' scale.
enum class ResultType { UInt8, Input, Float32 };

// Whether a run of `input` fits `memoryBytes` whole, or how to stream it.
struct RunChoice {
  bool streamed = false;
  StreamSource source;
  BrickPlan plan;
  std::string error;  // the run cannot be done within the budget, and why
  std::string reason; // why a whole run does not do
  std::string note;   // for a person: why and how the run is streamed
};

// Reads headers only. Inputs that fit, and inputs that cannot be streamed
// but fit, are left to the whole path (which reports broken files).
RunChoice chooseRun(const std::string& input, const FilterParams& params, Backend backend,
                    int64_t memoryBytes, ResultType resultType = ResultType::UInt8);

// Maps the two stages of each brick onto one fraction of the whole run,
// shown as filtering ("Filtering data...").
class BrickProgress {
 public:
  explicit BrickProgress(RunControl::ProgressFn show) : show_(std::move(show)) {}

  // A first pass over the file takes the first share of the bar.
  void scanning(double fraction) const;
  void start(int64_t totalVoxels, bool scanned) {
    total_ = totalVoxels;
    scanShare_ = scanned ? kScanShare : 0.0;
  }
  void brick(int64_t voxelsBefore, int64_t voxels) {
    before_ = voxelsBefore;
    voxels_ = voxels;
  }
  void operator()(Stage stage, double fraction) const;

 private:
  // Reading the file once costs little beside filtering it.
  static constexpr double kScanShare = 0.05;
  RunControl::ProgressFn show_;
  int64_t total_ = 0, before_ = 0, voxels_ = 0;
  double scanShare_ = 0;
};

struct StreamOutcome {
  enum class Status { Ok, Failed, Cancelled };
  Status status = Status::Ok;
  std::string message;
  FilterOutcome::Status filterStatus = FilterOutcome::Status::Ok;  // of the brick that failed
};

// Filters the voxels of `interior` from `input`, the voxels of `halo` on the
// unit scale, into `out`, as runBrick does.
using BrickFilter = std::function<FilterOutcome(const float* input, const Box& halo, const Box& interior, float* out)>;

// Filters choice.source brick by brick into `output` (as writeVolume writes
// it: see streamedOutputProblem for the formats) through `filterBrick`,
// atomically: the output appears only when every brick is written. Volumes
// of other types than 8-bit are first read once for their value range;
// `scanned` is told what it found before any brick is filtered. `control`
// cancels during that pass and between bricks (`filterBrick` within them);
// `progress` is told where the run stands. A denoising run reads the
// volume once more in slabs to measure its noise, which `measured` is told
// before any brick is filtered.
StreamOutcome runStreamed(const RunChoice& choice, const std::string& output, ResultType resultType,
                          const FilterParams& params, const RunControl* control, BrickProgress& progress,
                          const BrickFilter& filterBrick,
                          const std::function<void(const ValueScan&)>& scanned = {},
                          const std::function<void(const NoiseEstimate&)>& measured = {});

}  // namespace voluna
