// Time-left estimates for a running stage, for progress displays.
#pragma once

#include <algorithm>
#include <chrono>

#include "direction_set.h"
#include "filter_params.h"
#include "run_control.h"

namespace voluna {

// The share of a run's work that the first stage does, from the samples each
// stage takes per voxel: every direction walks 2 * samples steps in the
// first stage; in the second every integration step takes four field
// samples and one volume sample, both ways.
inline double vectorFieldShare(const FilterParams& params) {
  // The denoiser's first pass weighs about a quarter of what its second does
  // at the defaults (1330 patches of 27 voxels against 3071 and its lines).
  if (params.denoise) return 0.25;
  const double fieldWork =
      double(std::max(1, directionCount(std::max(1, params.angleStep)))) * (2.0 * params.samples + 1.0);
  const double integrationWork = 2.0 * params.integrationSteps * 5.0 + 1.0;
  return fieldWork / (fieldWork + integrationWork);
}

// One fraction over both stages that only grows as the run goes on.
inline double overallFraction(double vectorFieldShare, Stage stage, double stageFraction) {
  const double fraction = std::clamp(stageFraction, 0.0, 1.0);
  if (stage == Stage::VectorField) return vectorFieldShare * fraction;
  return vectorFieldShare + (1.0 - vectorFieldShare) * fraction;
}

// Extrapolates the time a stage has taken so far to the part still to do.
// Says nothing until the stage has run long enough for the rate to mean
// something, so a display shows no wild first guesses.
class ProgressEstimate {
 public:
  using Clock = std::chrono::steady_clock;

  void start(Clock::time_point now = Clock::now()) { started_ = now; }

  // Seconds left at `fraction` done, or a negative value while unknown.
  double secondsLeft(double fraction, Clock::time_point now = Clock::now()) const {
    const double elapsed = std::chrono::duration<double>(now - started_).count();
    if (fraction < 0.02 || elapsed < 1.0 || fraction >= 1.0) return fraction >= 1.0 ? 0.0 : -1.0;
    return elapsed * (1.0 - fraction) / fraction;
  }

 private:
  Clock::time_point started_ = Clock::now();
};

}  // namespace voluna
