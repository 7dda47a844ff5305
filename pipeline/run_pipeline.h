// One filter run from input to result, the same for the command line, the
// window and Python: loading (or voxels the caller holds), the choice
// between a whole and a streamed run, the value mapping, the GPU fallback,
// progress and cancel, and the atomic write. Callers turn arguments into a
// RunRequest and the RunOutcome into what their people see.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "filter_engine.h"
#include "filter_params.h"
#include "run_control.h"
#include "streamed_run.h"
#include "value_mapping.h"
#include "volume.h"

namespace voluna {

// What a run filters: a file, or voxels the caller holds, which must stay
// unchanged until the run ends.
struct RunInput {
  std::string path;  // a file loadVolume reads; empty for voxels in memory
  std::string series;  // for a DICOMDIR or a folder: the Series Instance UID to read (empty: the largest)
  const void* voxels = nullptr;
  ScalarType type = ScalarType::UInt8;  // of the values, also when already on the unit scale
  Dims dims;
  Geometry geometry;
  // The voxels are floats the caller has already mapped onto the unit scale
  // with `range` (what the window keeps to show and filter without a second copy).
  bool onUnitScale = false;
  ValueRange range;
  std::string name = "the volume";  // how messages name voxels in memory

  static RunInput file(std::string path);
  static RunInput inMemory(const void* voxels, ScalarType type, Dims dims, const Geometry& geometry = {});
  static RunInput unitScale(const float* values, Dims dims, ScalarType type, ValueRange range,
                            const Geometry& geometry = {});
};

// A line for a person, said as the run goes. Each caller shows the kinds
// that mean something to its people.
struct Notice {
  enum class Kind {
    Input,      // what loading changed or found (a fixed spacing, say)
    Streamed,   // why and how the run goes brick by brick
    Precision,  // a type other than 8-bit, filtered at full precision
    Fallback,   // the GPU failed and the CPU did the run
    Method,     // what the filter method reports about the volume
    Strength,   // the denoiser's noise level, measured or given, in the input's units
  };
  Kind kind;
  std::string text;  // one line, or several joined by '\n'
};

struct RunRequest {
  RunInput input;
  FilterParams params;
  Backend backend = Backend::Auto;
  int threads = 0;  // 0: every core
  GpuFallback fallback = GpuFallback::Cpu;
  // Memory a run of a file may take before it is streamed; 0: half of the machine's.
  int64_t memoryBytes = 0;
  // Written atomically when set; the extension picks the format.
  std::string outputPath;
  // Unset: bytes for a .raw output, the values' own type otherwise.
  std::optional<ResultType> resultType;
  bool keepResult = false;      // RunOutcome::result holds the result (whole runs)
  bool keepUnitResult = false;  // RunOutcome::unit holds the filter's floats (whole runs)
  // Both are called on the thread that runs, never from two threads at once.
  RunControl::ProgressFn progress;
  std::function<void(const Notice&)> onNotice;
  FilterEngine engine = callFilter;
};

struct RunOutcome {
  enum class Status {
    Ok,
    Refused,      // parameters, output name or voxels the filter cannot take; nothing was read
    Failed,       // the input could not be read or streamed, or the filter failed
    OutOfMemory,  // too little memory for the run's arrays
    GpuFailed,    // the GPU failed and nothing fell back (Backend::Cuda, or GpuFallback::Ask)
    Cancelled,    // nothing was written
    WriteFailed,  // the result exists (kept where asked) but the file could not be written
  };
  Status status = Status::Ok;
  std::string message;  // what went wrong, for a person
  std::string backend;  // what ran, e.g. "CPU, 2 threads"
  bool streamed = false;
  std::vector<Notice> notices;  // every notice, in order
  Volume result;                // with keepResult: the result in its type, with the input's geometry
  std::vector<float> unit;      // with keepUnitResult: the filter's floats
  ValueRange range;             // the values' range the unit scale maps

  bool ok() const { return status == Status::Ok; }
};

// One run; cancel() may come from any thread, or a signal handler.
class PipelineRun {
 public:
  explicit PipelineRun(RunRequest request);
  PipelineRun(const PipelineRun&) = delete;
  PipelineRun& operator=(const PipelineRun&) = delete;

  // Runs on the calling thread; once.
  RunOutcome run();
  // The run stops at its next check and writes nothing.
  void cancel() { control_.cancel(); }
  bool cancelled() const { return control_.cancelled(); }

 private:
  void notify(RunOutcome& outcome, Notice::Kind kind, const std::string& text) const;
  void runChecked(RunOutcome& outcome);
  void runStreamedFile(const RunChoice& choice, ResultType resultType, RunOutcome& outcome);
  // `loaded` is null for voxels in memory; its voxels are freed once mapped.
  void runWhole(Volume* loaded, ResultType resultType, RunOutcome& outcome);
  FilterCall callFor(const float* input, Extent whole, const Box& inputBox, const Box& interior, float* out,
                     const Geometry& geometry, ValueRange range, RunOutcome& outcome, bool wholeRun);
  FilterOutcome filter(const FilterCall& call, Backend& backendNow, RunOutcome& outcome);

  RunRequest request_;
  BrickProgress bricks_;
  bool streaming_ = false;  // set before any progress can arrive
  int64_t voxels_ = 0;      // once known, for a message when memory runs out
  RunControl control_;
  std::optional<NoiseEstimate> estimate_;  // of a streamed denoising run's whole volume
};

// A box of a volume held elsewhere (a dask chunk): `block`, the voxels of
// `blockBox` of `type`, mapped with the whole volume's `range`; the voxels
// of `interior` come back in `resultType` (Input: `type`), identical to the
// same voxels of a whole run. Backend and fallback as for whole runs.
struct BoxRequest {
  const void* block = nullptr;
  ScalarType type = ScalarType::UInt8;
  Box blockBox;
  Extent whole;
  Box interior;
  ValueRange range;  // ignored for 8-bit values, which map as bytes / 255
  FilterParams params;
  Geometry geometry;        // its spacing, for the denoiser
  NoiseEstimate estimate;   // for the denoiser: the whole volume's, measured once
  Backend backend = Backend::Auto;
  int threads = 0;
  ResultType resultType = ResultType::Input;
  void* out = nullptr;  // interior.count() values of the result type
  FilterEngine engine = callFilter;
};

// Status Ok, Refused, OutOfMemory, GpuFailed or Failed; notices of the fallback.
RunOutcome runBox(const BoxRequest& request);

// The voxel type a result of `resultType` has for values of `valueType`.
ScalarType resultScalarType(ResultType resultType, ScalarType valueType);

}  // namespace voluna
