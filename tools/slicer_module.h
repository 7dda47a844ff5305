// voluna-filter as a command-line module of 3D Slicer: the description that
// Slicer reads from `voluna-filter --xml` to build the module's panel, and
// progress in the tags that Slicer reads from a module's standard output.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "filter_params.h"
#include "run_control.h"

namespace voluna {

// The module description (Slicer's and CTK's execution model XML). Its flags,
// defaults and limits are the command line's own, taken from the same
// constants. Slicer allows no hyphen inside a long flag, so "--preserve-edges"
// appears as "preserve_edges": the command line takes either spelling.
std::string slicerModuleDescription();

// The long flag of the hidden parameter that turns module progress on; Slicer
// passes it because its default is true.
constexpr const char* kModuleProgressFlag = "--module-progress";

// Writes <filter-start> at once, <filter-progress> with one fraction for the
// whole run whenever it grows by a hundredth, and <filter-end> with the
// seconds taken when destroyed, flushing after each so that Slicer's progress
// bar moves while the run goes on. Called from one thread at a time, as
// RunControl promises.
class SlicerProgress {
 public:
  SlicerProgress(std::FILE* out, const FilterParams& params);
  ~SlicerProgress();
  SlicerProgress(const SlicerProgress&) = delete;
  SlicerProgress& operator=(const SlicerProgress&) = delete;

  // From now on the reports give the whole run's fraction (a run in bricks
  // reports it as one stage); until then the two stages are weighted by the
  // work each does with the run's parameters.
  void reportsWholeRun() { wholeRun_ = true; }
  void operator()(Stage stage, double fraction);

 private:
  std::FILE* out_;
  double vectorFieldShare_;
  bool wholeRun_ = false;
  int lastHundredths_ = -1;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace voluna
