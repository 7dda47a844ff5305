// What every backend promises a caller that watches a run: progress in
// stage order that only grows and ends at 100 %, and a cancel that ends
// the run early, in the stage where it was asked for.
#pragma once

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "run_control.h"

namespace voluna::test_support {

// `run` filters one volume under the given control and returns whether it
// finished. Only one thread reports, so how many reports come before each
// stage's last depends on scheduling: `minReports` is what the caller's
// volume reliably gives (2 is each stage's end alone).
template <class Run>
void expectProgressInOrderAndCancelToStop(const Run& run, size_t minReports) {
  std::vector<std::pair<Stage, double>> reports;
  RunControl watch([&](Stage stage, double fraction) { reports.emplace_back(stage, fraction); });
  ASSERT_TRUE(run(&watch));
  ASSERT_GE(reports.size(), minReports);
  EXPECT_EQ(reports.front().first, Stage::VectorField);
  EXPECT_EQ(reports.back(), std::make_pair(Stage::Integration, 1.0));
  for (size_t i = 1; i < reports.size(); ++i) {
    if (reports[i].first == reports[i - 1].first) {
      EXPECT_GE(reports[i].second, reports[i - 1].second) << i;
    } else {
      EXPECT_EQ(reports[i - 1], std::make_pair(Stage::VectorField, 1.0)) << i;
    }
  }

  RunControl cancelledBefore;
  cancelledBefore.cancel();
  EXPECT_FALSE(run(&cancelledBefore));

  // Cancelling while the search runs ends it without integrating.
  bool integrated = false;
  RunControl* self = nullptr;
  RunControl cancelledDuring([&](Stage stage, double fraction) {
    if (stage == Stage::Integration) integrated = true;
    if (fraction > 0.2) self->cancel();
  });
  self = &cancelledDuring;
  EXPECT_FALSE(run(&cancelledDuring));
  EXPECT_FALSE(integrated);
}

}  // namespace voluna::test_support
