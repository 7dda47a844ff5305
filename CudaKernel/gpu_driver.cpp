#include "gpu_driver.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "device.h"
#include "direction_set.h"

namespace voluna {

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// One run's resources. Each is released by the destructor, in the order
// they were made in reverse, whether the run finished, was cancelled or
// failed; after the first failure only releases are attempted.
class GpuRun {
 public:
  explicit GpuRun(GpuRuntime& cuda) : cuda_(cuda) {}
  GpuRun(const GpuRun&) = delete;
  GpuRun& operator=(const GpuRun&) = delete;
  ~GpuRun() { release(); }

  // The text of a failed call in the format the driver has always printed.
  bool check(GpuCode code, const char* file, int line) {
    if (code == 0) return true;
    if (error_.empty()) error_ = gpuFailureText(cuda_, code, file, line);
    return false;
  }
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  // Releases everything; a release that fails is reported like any call,
  // unless an earlier failure is being reported already.
  void release() {
    if (fieldTextureMade_) check(cuda_.destroyTexture(fieldTexture), __FILE__, __LINE__);
    if (fieldArray) check(cuda_.freeArray(fieldArray), __FILE__, __LINE__);
    if (fieldBuffer) check(cuda_.freeManaged(fieldBuffer), __FILE__, __LINE__);
    if (volumeTextureMade_) check(cuda_.destroyTexture(volumeTexture), __FILE__, __LINE__);
    if (volumeArray) check(cuda_.freeArray(volumeArray), __FILE__, __LINE__);
    if (resultBuffer) check(cuda_.freeManaged(resultBuffer), __FILE__, __LINE__);
    if (table) check(cuda_.freeManaged(table), __FILE__, __LINE__);
    fieldTextureMade_ = volumeTextureMade_ = false;
    fieldArray = fieldBuffer = volumeArray = resultBuffer = table = nullptr;
  }

  bool makeVolumeTexture() {
    volumeTextureMade_ = check(cuda_.createTexture(&volumeTexture, volumeArray), __FILE__, __LINE__);
    return volumeTextureMade_;
  }
  bool makeFieldTexture() {
    fieldTextureMade_ = check(cuda_.createTexture(&fieldTexture, fieldArray), __FILE__, __LINE__);
    return fieldTextureMade_;
  }

  void* table = nullptr;
  void* fieldBuffer = nullptr;
  void* volumeArray = nullptr;
  void* fieldArray = nullptr;
  void* resultBuffer = nullptr;
  GpuRuntime::Texture volumeTexture = 0, fieldTexture = 0;

 private:
  GpuRuntime& cuda_;
  std::string error_;
  bool volumeTextureMade_ = false, fieldTextureMade_ = false;
};

#define GPU_CHECK(call) run.check((call), __FILE__, __LINE__)

GpuOutcome failure(std::string message) {
  GpuOutcome outcome;
  outcome.status = GpuOutcome::Status::Failed;
  outcome.message = std::move(message);
  return outcome;
}

}  // namespace

std::string gpuFailureText(GpuBasics& cuda, GpuCode code, const char* file, int line) {
  char text[512];
  std::snprintf(text, sizeof text, "GPUassert: %s %s %d", cuda.errorText(code), file, line);
  return text;
}

uint64_t gpuBytesNeeded(Dims dims, int angleStep) {
  return uint64_t(dims.count()) * 40u + uint64_t(directionCount(angleStep)) * sizeof(Vec3);
}

GpuOutcome runOnGpu(GpuRuntime& cuda, const float* volume, Dims dims, const FilterParams& params,
                    float* out, const RunControl* control) {
  const int X = dims.x, Y = dims.y, Z = dims.z;
  const size_t n = static_cast<size_t>(dims.count());
  std::printf("Calculate vectorfield...\n");
  std::fflush(stdout);

  GpuRun run(cuda);
  {
    // Refuse a run that cannot fit rather than fail halfway: arrays are
    // padded and the runtime allocates in pages, hence an eighth more.
    size_t freeBytes = 0, totalBytes = 0;
    if (!GPU_CHECK(cuda.memoryInfo(&freeBytes, &totalBytes))) return failure(run.error());
    const uint64_t needed = gpuBytesNeeded(dims, params.angleStep);
    if (needed + needed / 8 > freeBytes) {
      char text[256];
      std::snprintf(text, sizeof text,
                    "the GPU has %.0f MiB free of %.0f MiB, and this volume needs about %.0f MiB "
                    "on it; filter it on the CPU instead",
                    freeBytes / kMiB, totalBytes / kMiB, (needed + needed / 8) / kMiB);
      return failure(text);
    }
  }

  const std::vector<Vec3> directions = buildDirectionSet(params.angleStep);
  const size_t tableBytes = directions.size() * sizeof(Vec3);
  if (!GPU_CHECK(cuda.allocateManaged(&run.table, tableBytes))) return failure(run.error());
  std::memcpy(run.table, directions.data(), tableBytes);
  if (!GPU_CHECK(cuda.setDirectionTable(run.table))) return failure(run.error());

  if (!GPU_CHECK(cuda.allocateManaged(&run.fieldBuffer, n * sizeof(Float4))) ||
      !GPU_CHECK(cuda.allocateArray(&run.volumeArray, 1, dims)) ||
      !GPU_CHECK(cuda.upload(run.volumeArray, volume, 1, dims)) || !run.makeVolumeTexture()) {
    run.release();
    return failure(run.error());
  }

  // Each launch covers a slab of z; between launches progress is reported
  // and a cancel request honoured. About 32 launches a stage keep the
  // overhead negligible and the wait for a cancel short.
  const int slab = Z < 32 ? 1 : (Z + 31) / 32;
  enum class Slabs { Done, Cancelled, Failed };
  auto inSlabs = [&](Stage stage, auto launch) {
    for (int begin = 0; begin < Z; begin += slab) {
      if (control && control->cancelled()) return Slabs::Cancelled;
      const int end = begin + slab < Z ? begin + slab : Z;
      if (!GPU_CHECK(cuda.setSlab(begin, end))) return Slabs::Failed;
      const GpuGrid grid{(static_cast<unsigned>(X) + 7u) / 8u, (static_cast<unsigned>(Y) + 7u) / 8u,
                         static_cast<unsigned>(end - begin)};
      launch(grid);
      if (!GPU_CHECK(cuda.lastLaunchError()) || !GPU_CHECK(cuda.synchronize())) {
        return Slabs::Failed;
      }
      if (control) control->report(stage, end, Z);
    }
    return Slabs::Done;
  };

  Slabs state = inSlabs(Stage::VectorField, [&](GpuGrid grid) {
    cuda.launchVectorField(grid, run.volumeTexture, dims, params.samples, params.angleStep,
                           params.preserveEdges, run.fieldBuffer);
  });
  if (state == Slabs::Done) {
    std::printf("Filtering data...\n");
    std::fflush(stdout);
    if (!GPU_CHECK(cuda.allocateArray(&run.fieldArray, 4, dims)) ||
        !GPU_CHECK(cuda.upload(run.fieldArray, run.fieldBuffer, 4, dims)) ||
        !run.makeFieldTexture() ||
        !GPU_CHECK(cuda.allocateManaged(&run.resultBuffer, n * sizeof(float)))) {
      state = Slabs::Failed;
    } else {
      state = inSlabs(Stage::Integration, [&](GpuGrid grid) {
        cuda.launchIntegration(grid, run.volumeTexture, run.fieldTexture, dims,
                               params.integrationSteps, run.resultBuffer);
      });
    }
  }
  if (state == Slabs::Done) {
    std::memcpy(out, run.resultBuffer, n * sizeof(float));
  }
  run.release();
  if (run.failed()) return failure(run.error());
  GpuOutcome outcome;
  if (state == Slabs::Cancelled) {
    outcome.status = GpuOutcome::Status::Cancelled;
    return outcome;
  }
  return outcome;
}

}  // namespace voluna
