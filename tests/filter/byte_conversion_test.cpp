#include "byte_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace voluna {
namespace {

TEST(ByteConversion, ResultsInTheUnitRangeTruncate) {
  EXPECT_EQ(unitFloatToByte(1.0f), 255);
  EXPECT_EQ(unitFloatToByte(0.999f), 254);
  EXPECT_EQ(unitFloatToByte(0.5f), 127);
  EXPECT_EQ(unitFloatToByte(0.0f), 0);
  EXPECT_EQ(unitFloatToByte(-0.0f), 0);
}

TEST(ByteConversion, OutOfRangeValuesWrapRatherThanClamp) {
  EXPECT_EQ(unitFloatToByte(2.0f), 254);        // 510 mod 256
  EXPECT_EQ(unitFloatToByte(1.5f), 126);        // 382.5 -> 382 mod 256
  EXPECT_EQ(unitFloatToByte(-0.1f), 231);       // -25.5 -> -25 -> 231
  EXPECT_EQ(unitFloatToByte(-1.0f / 255.0f), 255);
  EXPECT_EQ(unitFloatToByte(1e30f), static_cast<uint8_t>(std::fmod(std::trunc(double(1e30f * 255.0f)), 256.0)));
  EXPECT_EQ(unitFloatToByte(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(unitFloatToByte(std::numeric_limits<float>::infinity()), 0);
}

TEST(ByteConversion, LoadedBytesBecomeExactQuotients) {
  std::vector<uint8_t> bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
  const std::vector<float> values = bytesToUnitFloats(bytes.data(), 256);
  EXPECT_EQ(values[0], 0.0f);
  EXPECT_EQ(values[255], 1.0f);
  EXPECT_EQ(values[128], 128.0f / 255.0f);
  const std::vector<uint8_t> back = unitFloatsToBytes(values.data(), 256);
  for (int i = 0; i < 256; ++i) EXPECT_TRUE(back[i] == i || back[i] == i - 1) << i;
}

}  // namespace
}  // namespace voluna
