#include "terminal_progress.h"

#include <gtest/gtest.h>

namespace voluna {
namespace {

TEST(TerminalProgress, DrawsStagePercentAndTimeLeft) {
  EXPECT_EQ(TerminalProgress::line(Stage::VectorField, 0.42, 31.4, 10),
            "[####------]  42 %  Calculate vectorfield...  about 0:31 left");
  EXPECT_EQ(TerminalProgress::line(Stage::Integration, 0.0, -1.0, 4), "[----]   0 %  Filtering data...");
  EXPECT_EQ(TerminalProgress::line(Stage::Integration, 0.999, 125.0, 4), "[###-]  99 %  Filtering data...  about 2:05 left");
  // Fractions outside [0, 1] never draw outside the bar.
  EXPECT_EQ(TerminalProgress::line(Stage::VectorField, 1.7, -1.0, 4), "[####] 100 %  Calculate vectorfield...");
}

TEST(ProgressEstimate, ExtrapolatesOnlyOnceTheRateMeansSomething) {
  ProgressEstimate estimate;
  const auto t0 = ProgressEstimate::Clock::now();
  estimate.start(t0);
  EXPECT_LT(estimate.secondsLeft(0.5, t0 + std::chrono::milliseconds(500)), 0.0);  // too early
  EXPECT_LT(estimate.secondsLeft(0.01, t0 + std::chrono::seconds(30)), 0.0);      // too little done
  EXPECT_DOUBLE_EQ(estimate.secondsLeft(0.25, t0 + std::chrono::seconds(10)), 30.0);
  EXPECT_DOUBLE_EQ(estimate.secondsLeft(1.0, t0 + std::chrono::seconds(10)), 0.0);
}

}  // namespace
}  // namespace voluna
