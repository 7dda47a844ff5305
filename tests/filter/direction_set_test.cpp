#include "direction_set.h"

#include <gtest/gtest.h>

#include <cmath>

namespace voluna {
namespace {

TEST(DirectionSet, SizeFollowsTheHalvedSquareOfTheStepCount) {
  EXPECT_EQ(directionCount(5), 2592);
  EXPECT_EQ(directionCount(7), 1300);
  EXPECT_EQ(directionCount(90), 8);
  EXPECT_EQ(directionCount(99), 4);
  EXPECT_EQ(directionCount(1), 64800);
  EXPECT_EQ(directionCount(180), 2);
  EXPECT_EQ(directionCount(181), 0);
  EXPECT_EQ(directionCount(0), 0);
  for (int step : {1, 5, 7, 90, 99, 180}) {
    EXPECT_EQ(buildDirectionSet(step).size(), static_cast<size_t>(directionCount(step))) << step;
  }
}

TEST(DirectionSet, RightAnglesGiveTheAxesInThetaMajorOrder) {
  const std::vector<Vec3> d = buildDirectionSet(90);
  ASSERT_EQ(d.size(), 8u);
  const float expected[8][3] = {{1, 0, 0}, {0, 0, -1}, {-1, 0, 0}, {0, 0, 1},
                                {0, 1, 0}, {0, 1, 0},  {0, 1, 0},  {0, 1, 0}};
  for (int i = 0; i < 8; ++i) {
    // Exact up to the float rounding of cos 90 degrees (about 4.4e-8).
    EXPECT_NEAR(d[i].x, expected[i][0], 1e-7f) << i;
    EXPECT_NEAR(d[i].y, expected[i][1], 1e-7f) << i;
    EXPECT_NEAR(d[i].z, expected[i][2], 1e-7f) << i;
  }
  // The first direction is exactly the x axis, whatever the step.
  for (int step : {1, 7, 90, 99}) {
    const Vec3 first = buildDirectionSet(step)[0];
    EXPECT_EQ(first.x, 1.0f);
    EXPECT_EQ(first.y, 0.0f);
    EXPECT_EQ(first.z, -0.0f);
  }
}

TEST(DirectionSet, OddStepCountsCutTheLastThetaRowShort) {
  // 99 degrees: theta 0 with phi 0, 99, 198, then theta 99 with phi 0 only.
  const std::vector<Vec3> d = buildDirectionSet(99);
  const float rad = 0.0174532924f;
  const float thetas[4] = {0, 0, 0, 99}, phis[4] = {0, 99, 198, 0};
  for (int i = 0; i < 4; ++i) {
    const float t = thetas[i] * rad, p = phis[i] * rad;
    EXPECT_EQ(d[i].x, std::cos(t) * std::cos(p)) << i;
    EXPECT_EQ(d[i].y, std::sin(t)) << i;
    EXPECT_EQ(d[i].z, -(std::cos(t) * std::sin(p))) << i;
  }
  // 7 degrees: 51 phi values per theta row; the theta = 175 row stops at phi = 168.
  const std::vector<Vec3> seven = buildDirectionSet(7);
  const Vec3 last = seven.back();
  const float t = 175.0f * rad, p = 168.0f * rad;
  EXPECT_EQ(last.x, std::cos(t) * std::cos(p));
  EXPECT_EQ(last.y, std::sin(t));
  EXPECT_EQ(last.z, -(std::cos(t) * std::sin(p)));
}

TEST(DirectionSet, EveryDirectionIsAUnitVectorInTheUpperHalf) {
  for (const Vec3& d : buildDirectionSet(5)) {
    EXPECT_GE(d.y, 0.0f);
    EXPECT_NEAR(std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z), 1.0f, 1e-6f);
  }
}

// Theta and 180 - theta with phi and phi + 180 name one vector, and the
// theta = 90 row is one vector throughout: at 5 degrees, 36 theta rows of 72
// hold 17 mirrored pairs of rows and the row at 90, so 17 * 72 + 71 of the
// 2592 directions repeat an earlier one.
TEST(DirectionSet, NearCopiesPointToTheFirstOfTheirSet) {
  const std::vector<Vec3> d = buildDirectionSet(5);
  const std::vector<int> first = firstNearCopies(d, 0x1p-14f);
  ASSERT_EQ(first.size(), d.size());
  int copies = 0;
  for (size_t j = 0; j < d.size(); ++j) {
    if (first[j] < 0) continue;
    ++copies;
    const int i = first[j];
    ASSERT_LT(i, static_cast<int>(j));
    EXPECT_EQ(first[i], -1) << "the first of a set is no copy itself";
    // Within one tolerance or, for the theta = 90 row, a chain of them.
    EXPECT_NEAR(d[i].x, d[j].x, 1e-6f) << j;
    EXPECT_NEAR(d[i].y, d[j].y, 1e-6f) << j;
    EXPECT_NEAR(d[i].z, d[j].z, 1e-6f) << j;
  }
  EXPECT_EQ(copies, 17 * 72 + 71);
  const int n = 72;
  EXPECT_EQ(first[(180 / 5 - 1) * n + (0 + 36)], 1 * n + 0) << "175, 180 repeats 5, 0";
  for (int phi = 1; phi < n; ++phi) EXPECT_EQ(first[18 * n + phi], 18 * n) << phi;
  // Odd step counts have no mirrored rows; a coarse tolerance links neighbours.
  EXPECT_EQ(firstNearCopies(buildDirectionSet(7), 0x1p-14f)[51 * 10 + 3], -1);
  const std::vector<int> coarse = firstNearCopies(buildDirectionSet(45), 0.8f);
  for (size_t j = 1; j < coarse.size(); ++j) EXPECT_EQ(coarse[j], 0) << j;
}

}  // namespace
}  // namespace voluna
