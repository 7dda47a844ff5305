// Time-left estimates for a running stage, for progress displays.
#pragma once

#include <chrono>

namespace voluna {

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
