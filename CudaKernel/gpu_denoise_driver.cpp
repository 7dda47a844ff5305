#include "gpu_denoise_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bisection.h"

namespace voluna {

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// A run's managed buffers, released in reverse by the destructor however
// the run ends; after the first failure only releases are attempted.
class DenoiseBuffers {
 public:
  explicit DenoiseBuffers(DenoiseRuntime& cuda) : cuda_(cuda) {}
  DenoiseBuffers(const DenoiseBuffers&) = delete;
  DenoiseBuffers& operator=(const DenoiseBuffers&) = delete;
  ~DenoiseBuffers() { release(); }

  bool check(GpuCode code, const char* file, int line) {
    if (code == 0) return true;
    if (error_.empty()) error_ = gpuFailureText(cuda_, code, file, line);
    return false;
  }
  const std::string& error() const { return error_; }

  // A buffer of `bytes`, or null after a failure (this one or an earlier).
  template <class T>
  T* allocate(size_t bytes) {
    void* made = nullptr;
    if (!error_.empty() || !check(cuda_.allocateManaged(&made, bytes), __FILE__, __LINE__)) {
      return nullptr;
    }
    held_.push_back(made);
    return static_cast<T*>(made);
  }

  void release() {
    for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
      check(cuda_.freeManaged(*it), __FILE__, __LINE__);
    }
    held_.clear();
  }

 private:
  DenoiseRuntime& cuda_;
  std::string error_;
  std::vector<void*> held_;
};

GpuOutcome failure(std::string message) {
  GpuOutcome outcome;
  outcome.status = GpuOutcome::Status::Failed;
  outcome.message = std::move(message);
  return outcome;
}

// The z range [z0, z1) of `box`: a slab of it.
Box slabOf(const Box& box, int64_t z0, int64_t z1) {
  return {box.x0, box.y0, std::max(box.z0, z0), box.x1, box.y1, std::min(box.z1, z1)};
}

int64_t plane(const Box& box) { return box.width() * box.height(); }

DeviceBox deviceBox(float* data, const Box& b) {
  return {data,
          {static_cast<int>(b.x0), static_cast<int>(b.y0), static_cast<int>(b.z0)},
          {static_cast<int>(b.width()), static_cast<int>(b.height()), static_cast<int>(b.depth())}};
}

// The buffers' depths for slabs `depth` deep. The pilot of a slab reads the
// input up to pilotReach beyond it; the result of a slab reads the pilot and
// the input up to finalReach beyond it (the reach derived in denoise.cpp).
struct SlabDepths {
  int64_t input, pilot, out;
};

SlabDepths depthsFor(int64_t depth, const Box& inputBox, const Box& pilotBox, const Box& interior,
                     const DenoiseStencil& s) {
  const int64_t reach = std::max(s.pilotReach.z, s.finalReach.z);
  return {std::min(inputBox.depth(), depth + 2 * reach),
          std::min(pilotBox.depth(), depth + 2 * int64_t{s.finalReach.z}),
          std::min(interior.depth(), depth)};
}

int64_t stencilBytes(const DenoiseStencil& s) {
  return static_cast<int64_t>(sizeof(Offset3) * (s.window.size() + s.ball.size()) +
                              sizeof(LineTap) * s.taps.size() + sizeof(float) * s.amplitude.size());
}

int64_t deviceBytesFor(int64_t depth, const Box& inputBox, const Box& pilotBox,
                       const Box& interior, const DenoiseStencil& s) {
  const SlabDepths d = depthsFor(depth, inputBox, pilotBox, interior, s);
  return static_cast<int64_t>(sizeof(float)) *
             (plane(inputBox) * d.input + plane(pilotBox) * d.pilot + plane(interior) * d.out) +
         stencilBytes(s);
}

}  // namespace

GpuOutcome denoiseOnGpu(DenoiseRuntime& cuda, const float* input, const Box& inputBox,
                        const Box& pilotBox, const Box& interior, const DenoiseStencil& stencil,
                        float* out, const RunControl* control) {
  DenoiseBuffers run(cuda);
#define GPU_CHECK(call) run.check((call), __FILE__, __LINE__)

  // The deepest slab that fits, with an eighth to spare for the runtime's
  // pages, as the filter's driver reckons.
  int64_t depth = 0;
  {
    size_t freeBytes = 0, totalBytes = 0;
    if (!GPU_CHECK(cuda.memoryInfo(&freeBytes, &totalBytes))) return failure(run.error());
    const int64_t spare = static_cast<int64_t>(freeBytes - freeBytes / 9);
    int64_t budget = std::min(kMaxDenoiseDeviceBytes, spare);
    // The cap keeps runs small, not wide boxes off a device they fit on.
    if (deviceBytesFor(1, inputBox, pilotBox, interior, stencil) > budget) budget = spare;
    auto fits = [&](int64_t d) {
      return deviceBytesFor(d, inputBox, pilotBox, interior, stencil) <= budget;
    };
    if (!fits(1)) {
      const int64_t needed = deviceBytesFor(1, inputBox, pilotBox, interior, stencil);
      char text[320];
      std::snprintf(text, sizeof text,
                    "the GPU has %.0f MiB free of %.0f MiB, and denoising this volume needs "
                    "about %.0f MiB on it even in slabs one voxel deep; denoise it on the CPU "
                    "instead",
                    freeBytes / kMiB, totalBytes / kMiB, (needed + needed / 8) / kMiB);
      return failure(text);
    }
    // The bytes grow with the depth: the deepest that fits.
    depth = largestFitting(pilotBox.depth(), fits);
  }
  const SlabDepths capacity = depthsFor(depth, inputBox, pilotBox, interior, stencil);
  const bool onePilotSlab = depth >= pilotBox.depth();

  // The stencil, in one buffer the kernels read.
  char* table = run.allocate<char>(static_cast<size_t>(stencilBytes(stencil)));
  float* inputSlab = run.allocate<float>(sizeof(float) * plane(inputBox) * capacity.input);
  float* pilotSlab = run.allocate<float>(sizeof(float) * plane(pilotBox) * capacity.pilot);
  float* outSlab = run.allocate<float>(sizeof(float) * plane(interior) * capacity.out);
  if (!outSlab) {
    run.release();
    return failure(run.error());
  }
  DenoiseStencilView view = viewOf(stencil);
  {
    char* at = table;
    auto place = [&](const void* from, size_t bytes) {
      if (bytes > 0) std::memcpy(at, from, bytes);
      const void* placed = at;
      at += bytes;
      return placed;
    };
    view.window = static_cast<const Offset3*>(
        place(stencil.window.data(), sizeof(Offset3) * stencil.window.size()));
    view.ball = static_cast<const Offset3*>(
        place(stencil.ball.data(), sizeof(Offset3) * stencil.ball.size()));
    view.taps = static_cast<const LineTap*>(
        place(stencil.taps.data(), sizeof(LineTap) * stencil.taps.size()));
    if (!stencil.amplitude.empty()) {
      view.amplitude = static_cast<const float*>(
          place(stencil.amplitude.data(), sizeof(float) * stencil.amplitude.size()));
    }
  }

  // The input slab held on the device. Any range that holds a slab's needs
  // and lies inside the input box gives the same floats: reads beyond the
  // needs are clamped at faces the range shares with the input box.
  Box heldInput{};
  auto holdInput = [&](const Box& needed) {
    if (!heldInput.empty() && heldInput.contains(needed)) return heldInput;
    std::memcpy(inputSlab, input + (needed.z0 - inputBox.z0) * plane(inputBox),
                sizeof(float) * static_cast<size_t>(needed.count()));
    heldInput = needed;
    return needed;
  };

  // About 32 launches a stage, as in the filter's driver: progress and a
  // cancel request act between them.
  enum class Slabs { Done, Cancelled, Failed };
  auto launchSlab = [&](Stage stage, int64_t z0, int64_t z1, int64_t stageBegin,
                        int64_t stageDepth, DenoiseLaunch launch, auto launchFn) {
    const int64_t step = std::min<int64_t>(65535, std::max<int64_t>(1, (stageDepth + 31) / 32));
    for (int64_t begin = z0; begin < z1; begin += step) {
      if (control && control->cancelled()) return Slabs::Cancelled;
      const int64_t end = std::min(z1, begin + step);
      launch.zBegin = static_cast<int>(begin);
      launch.zEnd = static_cast<int>(end);
      launchFn(launch);
      if (!GPU_CHECK(cuda.lastLaunchError()) || !GPU_CHECK(cuda.synchronize())) {
        return Slabs::Failed;
      }
      if (control) control->report(stage, end - stageBegin, stageDepth);
    }
    return Slabs::Done;
  };

  // The pilot, slab by slab; kept on the host between the stages unless one
  // slab holds all of it.
  std::vector<float> hostPilot(onePilotSlab ? 0 : static_cast<size_t>(pilotBox.count()));
  Slabs state = Slabs::Done;
  for (int64_t z0 = pilotBox.z0; z0 < pilotBox.z1 && state == Slabs::Done; z0 += depth) {
    const Box slab = slabOf(pilotBox, z0, z0 + depth);
    const Box in = holdInput(slabOf(inputBox, slab.z0 - stencil.pilotReach.z,
                                    slab.z1 + stencil.pilotReach.z));
    const DenoiseLaunch launch{view, deviceBox(inputSlab, in), deviceBox(pilotSlab, slab),
                               DeviceBox{}, 0, 0};
    state = launchSlab(Stage::VectorField, slab.z0, slab.z1, pilotBox.z0, pilotBox.depth(), launch,
                       [&](const DenoiseLaunch& l) { cuda.launchPilot(l); });
    if (state == Slabs::Done && !onePilotSlab) {
      std::memcpy(hostPilot.data() + (slab.z0 - pilotBox.z0) * plane(pilotBox), pilotSlab,
                  sizeof(float) * static_cast<size_t>(slab.count()));
    }
  }

  for (int64_t z0 = interior.z0; z0 < interior.z1 && state == Slabs::Done; z0 += depth) {
    const Box slab = slabOf(interior, z0, z0 + depth);
    const int64_t reach = stencil.finalReach.z;
    const Box in = holdInput(slabOf(inputBox, slab.z0 - reach, slab.z1 + reach));
    Box pilot = pilotBox;
    if (!onePilotSlab) {
      pilot = slabOf(pilotBox, slab.z0 - reach, slab.z1 + reach);
      std::memcpy(pilotSlab, hostPilot.data() + (pilot.z0 - pilotBox.z0) * plane(pilotBox),
                  sizeof(float) * static_cast<size_t>(pilot.count()));
    }
    const DenoiseLaunch launch{view, deviceBox(inputSlab, in), deviceBox(pilotSlab, pilot),
                               deviceBox(outSlab, slab), 0, 0};
    state = launchSlab(Stage::Integration, slab.z0, slab.z1, interior.z0, interior.depth(), launch,
                       [&](const DenoiseLaunch& l) { cuda.launchResult(l); });
    if (state == Slabs::Done) {
      // A slab of whole planes of the interior is one run of `out`.
      std::memcpy(out + (slab.z0 - interior.z0) * plane(interior), outSlab,
                  sizeof(float) * static_cast<size_t>(slab.count()));
    }
  }
#undef GPU_CHECK

  run.release();
  if (!run.error().empty()) return failure(run.error());
  GpuOutcome outcome;
  if (state == Slabs::Cancelled) outcome.status = GpuOutcome::Status::Cancelled;
  return outcome;
}

}  // namespace voluna
