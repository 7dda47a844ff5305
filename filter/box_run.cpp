#include "box_run.h"

#include <cstdio>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "brick.h"

#ifdef VOLUNA_HAVE_CUDA
#include "gpu_filter.h"
#endif

namespace voluna {

namespace {

// The lines the original tool printed as its stages began; scripts and
// tests read them.
const char* stageLine(Stage stage) {
  return stage == Stage::VectorField ? "Calculate vectorfield...\n" : "Filtering data...\n";
}

// The constant-region shortcuts rest on the reach argument, which needs
// coordinates that are exact floats with room to spare; whole runs of
// longer axes, which bricked runs refuse, compute every voxel.
bool shortcutsExact(Extent whole) {
  return whole.x <= kMaxAxis && whole.y <= kMaxAxis && whole.z <= kMaxAxis;
}

double secondsBetween(std::chrono::steady_clock::time_point from,
                      std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

}  // namespace

CpuBoxRun::CpuBoxRun(const BoxInput& input_, int threads_, bool simd_,
                     const FilterOptions& options, bool announce)
    : input(input_),
      threads(threads_),
      simd(simd_),
      pruning(options.pruning),
      control(options.control),
      constancy(input_.data, input_.box, threads_, shortcutsExact(input_.whole)),
      announce_(announce),
      stats_(options.stats),
      started_(Clock::now()) {}

void CpuBoxRun::beginStage(Stage stage) {
  if (announce_) {
    std::fputs(stageLine(stage), stdout);
    std::fflush(stdout);
  }
  if (stage == Stage::Integration && !integrating_) {
    integrating_ = true;
    integrationStarted_ = Clock::now();
    if (stats_) stats_->searchSeconds = secondsBetween(started_, integrationStarted_);
  }
}

void CpuBoxRun::end() {
  if (!stats_) return;
  const Clock::time_point now = Clock::now();
  if (integrating_) {
    stats_->integrationSeconds = secondsBetween(integrationStarted_, now);
  } else {
    stats_->searchSeconds = secondsBetween(started_, now);
  }
}

FilterOutcome refusedOutcome(FilterOutcome::Status status, std::string message) {
  FilterOutcome outcome;
  outcome.status = status;
  outcome.message = std::move(message);
  return outcome;
}

int threadCount(const FilterOptions& options) {
#ifdef _OPENMP
  return options.threads > 0 ? options.threads : omp_get_max_threads();
#else
  (void)options;
  return 1;
#endif
}

FilterOutcome BoxMethod::runOnGpu(const BoxInput&, const Box&, const RunControl*) const {
  return refusedOutcome(FilterOutcome::Status::BackendUnavailable, withoutGpu());
}

FilterOutcome runOnBox(const BoxMethod& method, const BoxInput& input, const Box& interior,
                       const FilterOptions& options, bool announce) {
  using Status = FilterOutcome::Status;
  const std::string noGpuPath = method.withoutGpu();
  Backend backend = options.backend;
  if (backend == Backend::Auto) {
    backend = noGpuPath.empty() && cudaUsable() ? Backend::Cuda : Backend::Cpu;
  }

  if (backend == Backend::Cuda) {
    if (!noGpuPath.empty()) return refusedOutcome(Status::BackendUnavailable, noGpuPath);
#ifdef VOLUNA_HAVE_CUDA
    if (!cudaUsable())
      return refusedOutcome(Status::BackendUnavailable, "no usable CUDA device was found");
    FilterOutcome outcome = method.runOnGpu(input, interior, options.control);
    outcome.backend = "GPU, " + gpuName();
    return outcome;
#else
    return refusedOutcome(Status::BackendUnavailable, "this build of Voluna has no CUDA support");
#endif
  }

  const int threads = threadCount(options);
  FilterOutcome outcome;
  outcome.backend = "CPU, " + std::to_string(threads) + " threads";
  CpuBoxRun run(input, threads, backend == Backend::Cpu, options, announce);
  const bool finished = method.runOnCpu(run, interior);
  run.end();
  if (!finished) {
    outcome.status = Status::Cancelled;
    outcome.message = "the run was cancelled";
  }
  return outcome;
}

}  // namespace voluna
