#include <voluna/filter.h>

#include <cstdint>
#include <functional>
#include <new>
#include <vector>

#include "api_conversions.h"
#include "filter.h"
#include "filter_engine.h"
#include "value_mapping.h"

namespace voluna::api {

namespace {

// The installed defaults are the program's: a change to one that misses the
// other stops the build here.
constexpr voluna::FilterParams kParams{};
constexpr voluna::FilterOptions kOptions{};
static_assert(FilterSettings{}.samples == kParams.samples && FilterSettings{}.steps == kParams.integrationSteps &&
                  FilterSettings{}.angle == kParams.angleStep &&
                  FilterSettings{}.preserveEdges == kParams.preserveEdges &&
                  FilterSettings{}.threads == kOptions.threads && kOptions.backend == voluna::Backend::Auto &&
                  FilterSettings{}.backend == Backend::Auto,
              "FilterSettings' defaults must be FilterParams' and FilterOptions'");

voluna::FilterParams paramsOf(const FilterSettings& settings) {
  voluna::FilterParams params;
  params.samples = settings.samples;
  params.integrationSteps = settings.steps;
  params.angleStep = settings.angle;
  params.preserveEdges = settings.preserveEdges;
  return params;
}

voluna::Backend backendOf(Backend backend) {
  switch (backend) {
    case Backend::Cpu:
      return voluna::Backend::Cpu;
    case Backend::CpuReference:
      return voluna::Backend::CpuReference;
    case Backend::Cuda:
      return voluna::Backend::Cuda;
    case Backend::Auto:
      break;
  }
  return voluna::Backend::Auto;
}

Status::Code codeOf(voluna::FilterOutcome::Status status) {
  using Internal = voluna::FilterOutcome::Status;
  switch (status) {
    case Internal::Ok:
      return Status::Code::Ok;
    case Internal::InvalidInput:
      return Status::Code::InvalidArgument;
    case Internal::BackendUnavailable:
      return Status::Code::BackendUnavailable;
    case Internal::BackendFailed:
      return Status::Code::BackendFailed;
    case Internal::Cancelled:
      return Status::Code::Cancelled;
  }
  return Status::Code::BackendFailed;
}

// One whole run under the programs' rule for a failed GPU run (with Auto
// the CPU redoes it); the success then says so.
Status run(const float* volume, voluna::Dims dims, const FilterSettings& settings, float* out,
           const Progress& progress) {
  voluna::RunControl* self = nullptr;
  voluna::RunControl::ProgressFn report;
  if (progress) {
    report = [&progress, &self](voluna::Stage stage, double fraction) {
      if (!progress(stage == voluna::Stage::VectorField ? Stage::Directions : Stage::Smoothing, fraction)) {
        self->cancel();
      }
    };
  }
  voluna::RunControl control(std::move(report));
  self = &control;
  voluna::FilterCall call;
  call.input = volume;
  call.whole = {dims.x, dims.y, dims.z};
  call.inputBox = call.interior = voluna::Box::of(call.whole);
  call.out = out;
  call.params = paramsOf(settings);
  call.options.backend = backendOf(settings.backend);
  call.options.threads = settings.threads;
  call.options.control = &control;
  call.wholeRun = true;
  voluna::Backend backendNow = call.options.backend;
  std::string notice;
  const voluna::FilterOutcome outcome =
      voluna::filterUnderPolicy(voluna::callFilter, call, voluna::GpuFallback::Cpu, backendNow,
                                [&notice](const std::string& text) { notice = text; });
  if (!outcome.ok()) return failure(codeOf(outcome.status), outcome.message);
  return {Status::Code::Ok, notice};
}

bool overlap(const float* a, const float* b, int64_t count) {
  const auto start = [](const float* p) { return reinterpret_cast<std::uintptr_t>(p); };
  const std::uintptr_t bytes = static_cast<std::uintptr_t>(count) * sizeof(float);
  return start(a) < start(b) + bytes && start(b) < start(a) + bytes;
}

}  // namespace

std::string checkSettings(const FilterSettings& settings) {
  const std::string problem = voluna::checkParams(paramsOf(settings));
  if (!problem.empty()) return problem;
  if (settings.threads < 0)
    return "the number of threads must be 0 (every core) or more (got " + std::to_string(settings.threads) + ")";
  return {};
}

Status filter(const float* volume, Size size, float* out, const FilterSettings& settings, const Progress& progress) {
  const std::string problem = checkSettings(settings);
  if (!problem.empty()) return failure(Status::Code::InvalidArgument, problem);
  const voluna::Dims dims = internalDims(size);
  const std::string dimsProblem = voluna::checkDimensions(dims);
  if (!dimsProblem.empty()) return failure(Status::Code::InvalidArgument, dimsProblem);
  if (!volume || !out) return failure(Status::Code::InvalidArgument, "the volume and the result need buffers");
  // The filter reads voxels around each one it writes, long after writing
  // some: a result over its own input would read half-filtered values.
  if (overlap(volume, out, dims.count())) {
    return failure(Status::Code::InvalidArgument, "the result's buffer overlaps the volume's: give it one of its own");
  }
  try {
    return run(volume, dims, settings, out, progress);
  } catch (const std::bad_alloc&) {
    return failure(Status::Code::OutOfMemory,
                   "there is not enough memory to filter " + std::to_string(dims.count()) + " voxels");
  }
}

Status filter(const Image& input, Image& output, const FilterSettings& settings, const Progress& progress) {
  const std::string problem = checkSettings(settings);
  if (!problem.empty()) return failure(Status::Code::InvalidArgument, problem);
  const std::string imageIssue = imageProblem(input);
  if (!imageIssue.empty()) return failure(Status::Code::InvalidArgument, imageIssue);
  const voluna::Dims dims = internalDims(input.size);
  const int64_t count = dims.count();
  const voluna::ScalarType type = internalType(input.type);
  try {
    // Unsigned bytes map as byte / 255 whatever the range, so one rule
    // serves every type.
    const voluna::ValueRange range = voluna::findValueRange(input.data.data(), type, count);
    std::vector<float> result(static_cast<size_t>(count));
    Status status;
    {
      std::vector<float> unit(static_cast<size_t>(count));
      voluna::mapToUnit(input.data.data(), type, count, range, unit.data());
      status = run(unit.data(), dims, settings, result.data(), progress);
    }
    if (!status.ok()) return status;
    Image filtered;
    filtered.size = input.size;
    filtered.type = input.type;
    filtered.geometry = input.geometry;
    filtered.data.resize(input.data.size());
    voluna::mapFromUnit(result.data(), count, range, type, filtered.data.data());
    output = std::move(filtered);
    return status;
  } catch (const std::bad_alloc&) {
    return failure(Status::Code::OutOfMemory,
                   "there is not enough memory to filter " + std::to_string(count) + " voxels");
  }
}

bool cudaAvailable() { return voluna::cudaUsable(); }

}  // namespace voluna::api
