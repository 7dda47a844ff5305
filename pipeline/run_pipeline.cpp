#include "run_pipeline.h"

#include "denoise.h"

#include <algorithm>
#include <new>
#include <tuple>

#include "volume_io.h"

namespace voluna {

namespace {

using Status = RunOutcome::Status;

Status statusFor(FilterOutcome::Status filter) {
  switch (filter) {
    case FilterOutcome::Status::Ok: return Status::Ok;
    case FilterOutcome::Status::InvalidInput: return Status::Refused;
    case FilterOutcome::Status::BackendUnavailable:
    case FilterOutcome::Status::BackendFailed: return Status::GpuFailed;
    case FilterOutcome::Status::Cancelled: return Status::Cancelled;
  }
  return Status::Failed;
}

void end(RunOutcome& outcome, Status status, std::string message) {
  outcome.status = status;
  outcome.message = std::move(message);
}

// Bytes keep byte / 255 whatever range they come with.
ValueRange unitRangeFor(ScalarType type, ValueRange range) {
  return type == ScalarType::UInt8 ? ValueRange{0.0, 255.0} : range;
}

std::string precisionText(const std::string& name, ScalarType type, ValueRange range) {
  return name + " holds " + scalarName(type) + " voxels, values " + formatValue(range.min) + " to " +
         formatValue(range.max) + ": filtered at full precision";
}

}  // namespace

RunInput RunInput::file(std::string path) {
  RunInput input;
  input.path = std::move(path);
  input.name = input.path;
  return input;
}

RunInput RunInput::inMemory(const void* voxels, ScalarType type, Dims dims, const Geometry& geometry) {
  RunInput input;
  std::tie(input.voxels, input.type, input.dims, input.geometry) = std::tie(voxels, type, dims, geometry);
  return input;
}

RunInput RunInput::unitScale(const float* values, Dims dims, ScalarType type, ValueRange range,
                             const Geometry& geometry) {
  RunInput input = inMemory(values, type, dims, geometry);
  input.onUnitScale = true;
  input.range = range;
  return input;
}

ScalarType resultScalarType(ResultType resultType, ScalarType valueType) {
  switch (resultType) {
    case ResultType::UInt8: return ScalarType::UInt8;
    case ResultType::Float32: return ScalarType::Float32;
    case ResultType::Input: break;
  }
  return valueType;
}

PipelineRun::PipelineRun(RunRequest request)
    : request_(std::move(request)),
      bricks_(request_.progress),
      control_([this](Stage stage, double fraction) {
        if (streaming_) {
          bricks_(stage, fraction);
        } else if (request_.progress) {
          request_.progress(stage, fraction);
        }
      }) {}

void PipelineRun::notify(RunOutcome& outcome, Notice::Kind kind, const std::string& text) const {
  if (text.empty()) return;
  outcome.notices.push_back({kind, text});
  if (request_.onNotice) request_.onNotice(outcome.notices.back());
}

RunOutcome PipelineRun::run() {
  RunOutcome outcome;
  try {
    runChecked(outcome);
  } catch (const std::bad_alloc&) {
    // A volume that loads may still not fit twice more: a message, not an abort.
    const RunInput& in = request_.input;
    const std::string voxels = std::to_string(voxels_) + " voxels";
    end(outcome, Status::OutOfMemory,
        voxels_ == 0 ? "there is not enough memory for the run; close other programs and try again"
        : in.path.empty()
            ? "there is not enough memory to filter " + voxels + "; close other programs or use a smaller volume"
            : in.path + ": there is not enough memory to filter its " + voxels +
                  "; close other programs or use a smaller volume");
  }
  // A run that did not finish after a cancel stopped for it, whatever else
  // it met on the way (a read that the signal interrupted, say).
  if (!outcome.ok() && outcome.status != Status::Refused && cancelled()) {
    end(outcome, Status::Cancelled, "the run was cancelled");
  }
  return outcome;
}

void PipelineRun::runChecked(RunOutcome& outcome) {
  const RunRequest& r = request_;
  std::string problem = checkParams(r.params);
  if (!problem.empty()) return end(outcome, Status::Refused, problem);
  OutputFormat format = OutputFormat::Raw;
  if (!r.outputPath.empty() && !outputFormatFor(r.outputPath, format, problem)) {
    return end(outcome, Status::Refused, problem);
  }
  const ResultType resultType =
      r.resultType.value_or(!r.outputPath.empty() && format == OutputFormat::Raw ? ResultType::UInt8
                                                                                 : ResultType::Input);
  if (r.input.path.empty()) return runWhole(nullptr, resultType, outcome);

  // Only a file can take a result that never is whole in memory.
  if (!r.outputPath.empty() && !r.keepResult && !r.keepUnitResult) {
    const int64_t memory = r.memoryBytes > 0 ? r.memoryBytes : defaultMemoryBudget();
    const RunChoice choice = chooseRun(r.input.path, r.params, r.backend, memory, resultType);
    if (!choice.error.empty()) return end(outcome, Status::Failed, choice.error);
    if (choice.streamed) {
      problem = streamedOutputProblem(r.outputPath, choice.source.dims);
      if (!problem.empty()) return end(outcome, Status::Failed, choice.reason + "; " + problem);
      return runStreamedFile(choice, resultType, outcome);
    }
  }
  LoadResult loaded = loadVolume(r.input.path, LoadOptions{r.input.series});
  if (cancelled()) return end(outcome, Status::Cancelled, "the run was cancelled");
  if (!loaded.ok()) return end(outcome, Status::Failed, loaded.error);
  notify(outcome, Notice::Kind::Input, loaded.notice);
  runWhole(&loaded.volume, resultType, outcome);
}

FilterCall PipelineRun::callFor(const float* input, Extent whole, const Box& inputBox, const Box& interior, float* out,
                                const Geometry& geometry, ValueRange range, RunOutcome& outcome, bool wholeRun) {
  FilterOptions options;
  options.backend = request_.backend;
  options.threads = request_.threads;
  options.control = &control_;
  FilterCall call{input, inputBox, whole, interior, out, request_.params, options, wholeRun, geometry, range};
  call.notice = [this, &outcome](const std::string& text) { notify(outcome, Notice::Kind::Method, text); };
  call.strength = [this, &outcome](const std::string& text) { notify(outcome, Notice::Kind::Strength, text); };
  if (estimate_) call.estimate = &*estimate_;
  return call;
}

FilterOutcome PipelineRun::filter(const FilterCall& call, Backend& backendNow, RunOutcome& outcome) {
  const FilterOutcome filtered =
      filterUnderPolicy(request_.engine, call, request_.fallback, backendNow,
                        [&](const std::string& text) { notify(outcome, Notice::Kind::Fallback, text); });
  if (!filtered.backend.empty()) outcome.backend = filtered.backend;
  return filtered;
}

void PipelineRun::runStreamedFile(const RunChoice& choice, ResultType resultType, RunOutcome& outcome) {
  outcome.streamed = true;
  notify(outcome, Notice::Kind::Streamed, choice.note);
  notify(outcome, Notice::Kind::Input, choice.source.notice);
  notify(outcome, Notice::Kind::Input, geometryLossNotice(request_.outputPath, choice.source.geometry));
  streaming_ = true;
  const Extent whole = choice.source.dims;
  Backend backendNow = request_.backend;
  ValueRange range{0.0, 255.0};
  const BrickFilter filterBrick = [&](const float* input, const Box& halo, const Box& interior, float* out) {
    return filter(callFor(input, whole, halo, interior, out, choice.source.geometry, range, outcome, false),
                  backendNow, outcome);
  };
  const StreamOutcome streamed = runStreamed(
      choice, request_.outputPath, resultType, request_.params, &control_, bricks_, filterBrick,
      [&](const ValueScan& scan) {
        range = scan.range;
        outcome.range = scan.range;
        if (scan.type != ScalarType::UInt8) {
          notify(outcome, Notice::Kind::Precision, precisionText(request_.input.name, scan.type, scan.range));
        }
      },
      [&](const NoiseEstimate& estimate) {
        estimate_ = estimate;
        if (!estimate.ok() && request_.params.noise < 0) return;
        DenoiseParams d;
        if (request_.params.noise >= 0) {
          d.noise = unitNoise(request_.params.noise, range.min, range.max);
          d.rician = estimate.ok() && estimate.rician;
        } else {
          takeEstimate(estimate, d);
        }
        notify(outcome, Notice::Kind::Strength, noiseNotice(d, request_.params.noise >= 0, range));
      });
  switch (streamed.status) {
    case StreamOutcome::Status::Ok: return;
    case StreamOutcome::Status::Cancelled: return end(outcome, Status::Cancelled, "the run was cancelled");
    case StreamOutcome::Status::Failed: break;
  }
  const Status status = statusFor(streamed.filterStatus);
  end(outcome, status == Status::Ok ? Status::Failed : status, streamed.message);
}

void PipelineRun::runWhole(Volume* loaded, ResultType resultType, RunOutcome& outcome) {
  const RunInput& in = request_.input;
  const Dims dims = loaded ? loaded->dims : in.dims;
  const ScalarType type = loaded ? loaded->type : in.type;
  const Geometry geometry = loaded ? loaded->geometry : in.geometry;
  const std::string problem = checkDimensions(dims);
  if (!problem.empty()) return end(outcome, Status::Refused, problem);
  if (!loaded && !in.voxels) return end(outcome, Status::Refused, "no voxels were given to filter");
  const int64_t count = dims.count();
  voxels_ = count;
  const ValueRange range = loaded            ? unitRangeOf(*loaded)
                           : in.onUnitScale ? unitRangeFor(type, in.range)
                                            : unitRangeFor(type, findValueRange(in.voxels, type, count));
  outcome.range = range;
  if (type != ScalarType::UInt8) notify(outcome, Notice::Kind::Precision, precisionText(in.name, type, range));
  if (!request_.outputPath.empty()) {
    notify(outcome, Notice::Kind::Input, geometryLossNotice(request_.outputPath, geometry));
  }

  std::vector<float> result(static_cast<size_t>(count));
  FilterOutcome filtered;
  {
    std::vector<float> mapped;
    const float* unit = static_cast<const float*>(in.voxels);
    if (loaded || !in.onUnitScale) {
      mapped.resize(static_cast<size_t>(count));
      mapToUnit(loaded ? loaded->data.data() : in.voxels, type, count, range, mapped.data());
      unit = mapped.data();
      // Only the floats are needed from here on.
      if (loaded) loaded->data = std::vector<uint8_t>();
    }
    const Box box = Box::of({dims.x, dims.y, dims.z});
    Backend backendNow = request_.backend;
    filtered = filter(callFor(unit, {dims.x, dims.y, dims.z}, box, box, result.data(), geometry, range, outcome, true),
                      backendNow, outcome);
  }
  // Cancel pressed after the last voxel still changes nothing.
  if (cancelled()) return end(outcome, Status::Cancelled, "the run was cancelled");
  if (!filtered.ok()) return end(outcome, statusFor(filtered.status), filtered.message);

  Volume output;
  output.dims = dims;
  output.type = resultScalarType(resultType, type);
  output.geometry = geometry;
  output.data.resize(static_cast<size_t>(count) * scalarSize(output.type));
  mapFromUnit(result.data(), count, range, output.type, output.data.data());
  if (request_.keepUnitResult) {
    outcome.unit = std::move(result);
  } else {
    result = std::vector<float>();
  }
  if (cancelled()) return end(outcome, Status::Cancelled, "the run was cancelled");
  if (!request_.outputPath.empty()) {
    const std::string writeProblem = writeVolume(request_.outputPath, output);
    if (!writeProblem.empty()) end(outcome, Status::WriteFailed, writeProblem);
  }
  if (request_.keepResult) outcome.result = std::move(output);
}

RunOutcome runBox(const BoxRequest& request) {
  RunOutcome outcome;
  try {
    const std::string problem = checkParams(request.params);
    if (!problem.empty()) {
      end(outcome, Status::Refused, problem);
      return outcome;
    }
    const ValueRange range = unitRangeFor(request.type, request.range);
    outcome.range = range;
    std::vector<float> unit(static_cast<size_t>(request.blockBox.count()));
    std::vector<float> filtered(static_cast<size_t>(request.interior.count()));
    mapToUnit(request.block, request.type, request.blockBox.count(), range, unit.data());
    FilterCall call;
    call.input = unit.data();
    call.inputBox = request.blockBox;
    call.whole = request.whole;
    call.interior = request.interior;
    call.out = filtered.data();
    call.params = request.params;
    call.options.threads = request.threads;
    call.range = range;
    call.geometry = request.geometry;
    call.estimate = &request.estimate;
    call.notice = [&](const std::string& text) { outcome.notices.push_back({Notice::Kind::Method, text}); };
    Backend backendNow = request.backend;
    const FilterOutcome result = filterUnderPolicy(
        request.engine, call, GpuFallback::Cpu, backendNow,
        [&](const std::string& text) { outcome.notices.push_back({Notice::Kind::Fallback, text}); });
    outcome.backend = result.backend;
    if (!result.ok()) {
      end(outcome, statusFor(result.status), result.message);
      return outcome;
    }
    mapFromUnit(filtered.data(), request.interior.count(), range,
                resultScalarType(request.resultType, request.type), request.out);
  } catch (const std::bad_alloc&) {
    end(outcome, Status::OutOfMemory,
        "there is not enough memory to filter a brick of " + std::to_string(request.blockBox.count()) +
            " voxels; use smaller chunks");
  }
  return outcome;
}

}  // namespace voluna
