// The parts of a streamed run's choice that need no volume: sizes as people
// write them, and what a whole run takes.
#include "streamed_run.h"

#include <gtest/gtest.h>

namespace voluna {
namespace {

TEST(MemorySize, ReadsBytesWithBinarySuffixes) {
  EXPECT_EQ(parseMemorySize("64M"), int64_t{64} << 20);
  EXPECT_EQ(parseMemorySize("1g"), int64_t{1} << 30);
  EXPECT_EQ(parseMemorySize("8GiB"), int64_t{8} << 30);
  EXPECT_EQ(parseMemorySize("512k"), int64_t{512} << 10);
  EXPECT_EQ(parseMemorySize("2MB"), int64_t{2} << 20);
  EXPECT_EQ(parseMemorySize("3T"), int64_t{3} << 40);
  EXPECT_EQ(parseMemorySize("100"), 100);
  EXPECT_EQ(parseMemorySize("100B"), 100);
  for (const char* bad : {"", "0", "0M", "M", "-1", "1.5G", "5X", "5 M", "5MM", "99999999999999999999", "9000000T"}) {
    EXPECT_EQ(parseMemorySize(bad), -1) << bad;
  }
  EXPECT_GT(defaultMemoryBudget(), int64_t{64} << 20);
}

TEST(WholeRunBytes, CountsAboutSeventeenBytesAVoxelOnTheFastPath) {
  EXPECT_EQ(wholeRunBytes(1000, 1, Backend::Cpu), 17000);
  EXPECT_EQ(wholeRunBytes(1000, 2, Backend::CpuReference), 28000);
  EXPECT_GT(wholeRunBytes(int64_t{1} << 32, 1, Backend::Cpu), int64_t{1} << 36);
}

}  // namespace
}  // namespace voluna
