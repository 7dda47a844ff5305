// Progress reporting and cancellation for a filter run that may take minutes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace voluna {

enum class Stage { VectorField, Integration };

// Shared between the thread that runs the filter and the one that watches it.
// Backends poll cancelled() between small units of work and report the
// fraction of voxels done; the callback is never called from two threads at
// once.
class RunControl {
 public:
  using ProgressFn = std::function<void(Stage, double fraction)>;

  RunControl() = default;
  explicit RunControl(ProgressFn onProgress) : onProgress_(std::move(onProgress)) {}

  void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
  bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

  void report(Stage stage, int64_t done, int64_t total) const {
    if (onProgress_ && total > 0) onProgress_(stage, static_cast<double>(done) / static_cast<double>(total));
  }

 private:
  ProgressFn onProgress_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace voluna
