// How far a filter run has come, for a person watching it: one fraction that
// only grows across both stages, and the time left once it can be guessed.
#pragma once

#include <QString>

#include "filter_params.h"
#include "run_control.h"

class FilterProgress {
 public:
  explicit FilterProgress(const voluna::FilterParams& params);

  // The backends report each stage from 0 to 1; the first stage's share of
  // the whole comes from the work per voxel of each stage.
  double overall(voluna::Stage stage, double stageFraction) const;

  // "about 1 min 05 s left", or empty while too little has been done for
  // the guess to mean anything.
  static QString timeLeft(double elapsedSeconds, double overallFraction);

  // The line the filter prints as the stage begins.
  static QString stageName(voluna::Stage stage);

 private:
  double vectorFieldShare_;
};
