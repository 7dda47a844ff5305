// A one-line progress bar for a terminal.
#pragma once

#include <cstdio>
#include <string>

#include "progress_estimate.h"
#include "run_control.h"

namespace voluna {

// Redraws "[#####-----]  42 %  Calculate vectorfield...  about 0:31 left" in
// place, at most ten times a second, and clears the line when done.
class TerminalProgress {
 public:
  explicit TerminalProgress(std::FILE* stream) : stream_(stream) {}

  void update(Stage stage, double fraction);
  void finish();

  // The text of one redraw; public for tests.
  static std::string line(Stage stage, double fraction, double secondsLeft, int width = 30);

 private:
  std::FILE* stream_;
  bool started_ = false;
  Stage stage_ = Stage::VectorField;
  ProgressEstimate estimate_;
  ProgressEstimate::Clock::time_point lastDraw_{};
  size_t lastLength_ = 0;
};

}  // namespace voluna
