// Spreading the rows of a volume over all cores, with progress and cancel.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "run_control.h"

namespace voluna {

// Runs unitFn(rowBegin, rowEnd, threadIndex) over units of `rowsPerUnit`
// rows (row = y + Y * z) on `threads` threads, handed out dynamically: a
// voxel costs anywhere from one direction to thousands. Only thread 0
// reports progress, which keeps the callback single-threaded. Cancellation
// is polled between units; unitFn returns false when it stopped for a
// cancel itself. Returns false when the run was cancelled.
template <class UnitFn>
bool forEachUnit(int64_t rows, int64_t rowsPerUnit, int threads, Stage stage,
                 const RunControl* control, UnitFn unitFn) {
  const int64_t units = (rows + rowsPerUnit - 1) / rowsPerUnit;
  std::atomic<int64_t> rowsDone{0};
  std::atomic<bool> stop{false};
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
  for (int64_t unit = 0; unit < units; ++unit) {
    if (stop.load(std::memory_order_relaxed)) continue;
    if (control && control->cancelled()) {
      stop.store(true, std::memory_order_relaxed);
      continue;
    }
    const int64_t begin = unit * rowsPerUnit, end = std::min(rows, begin + rowsPerUnit);
#ifdef _OPENMP
    const int thread = omp_get_thread_num();
#else
    const int thread = 0;
#endif
    if (!unitFn(begin, end, thread)) {
      stop.store(true, std::memory_order_relaxed);
      continue;
    }
    const int64_t done = rowsDone.fetch_add(end - begin, std::memory_order_relaxed) + (end - begin);
    if (control && thread == 0) control->report(stage, done, rows);
  }
  if (stop.load()) return false;
  if (control) control->report(stage, rows, rows);
  return true;
}

}  // namespace voluna
