// The full-precision mapping on values worked out by hand, and what it buys:
// a 16-bit volume keeps far more than 256 levels through the filter.
#include "value_mapping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <vector>

#include "byte_conversion.h"
#include "filter.h"

namespace voluna {
namespace {

template <typename T>
std::vector<float> toUnit(const std::vector<T>& values, ScalarType type, ValueRange* rangeOut = nullptr) {
  const ValueRange range = findValueRange(values.data(), type, static_cast<int64_t>(values.size()));
  if (rangeOut) *rangeOut = range;
  std::vector<float> unit(values.size());
  mapToUnit(values.data(), type, static_cast<int64_t>(values.size()), range, unit.data());
  return unit;
}

template <typename T>
std::vector<T> fromUnit(const std::vector<float>& unit, ValueRange range, ScalarType type) {
  std::vector<T> out(unit.size());
  mapFromUnit(unit.data(), static_cast<int64_t>(unit.size()), range, type, out.data());
  return out;
}

TEST(ValueMapping, SignedShortsWithNegativesSpanTheUnitScale) {
  ValueRange range;
  const std::vector<float> unit = toUnit<int16_t>({-1024, 0, 1000, 3071, -1024}, ScalarType::Int16, &range);
  EXPECT_EQ(range.min, -1024.0);
  EXPECT_EQ(range.max, 3071.0);
  // 1024 / 4095 and 2024 / 4095, rounded to float.
  EXPECT_EQ(unit, (std::vector<float>{0.0f, 0.25006105006105f, 0.49426129426129f, 1.0f, 0.0f}));
  EXPECT_EQ(fromUnit<int16_t>(unit, range, ScalarType::Int16), (std::vector<int16_t>{-1024, 0, 1000, 3071, -1024}));

  // -1024 + 0.5 * 4095 = 1023.5 and -1024 + 0.25 * 4095 = -0.25: halves go
  // away from zero, the rest to the nearest integer.
  EXPECT_EQ(fromUnit<int16_t>({0.5f, 0.25f}, range, ScalarType::Int16), (std::vector<int16_t>{1024, 0}));
  // -2 + 0.375 * 4 = -0.5 -> -1; -2 + 0.125 * 4 = -1.5 -> -2; -2 + 0.625 * 4 = 0.5 -> 1.
  EXPECT_EQ(fromUnit<int16_t>({0.375f, 0.125f, 0.625f}, {-2, 2}, ScalarType::Int16),
            (std::vector<int16_t>{-1, -2, 1}));
}

TEST(ValueMapping, ResultsBeyondTheTypeAreClampedNotWrapped) {
  const ValueRange range{-30000, 30000};
  // -30000 + 1.5 * 60000 = 60000 and -30000 - 0.5 * 60000 = -60000.
  EXPECT_EQ(fromUnit<int16_t>({1.5f, -0.5f, std::nanf("")}, range, ScalarType::Int16),
            (std::vector<int16_t>{32767, -32768, -30000}));
  EXPECT_EQ(fromUnit<uint16_t>({-0.1f, 2.0f}, {0, 65535}, ScalarType::UInt16), (std::vector<uint16_t>{0, 65535}));
  EXPECT_EQ(fromUnit<uint32_t>({1.0f, 2.0f}, {0, 4294967295.0}, ScalarType::UInt32),
            (std::vector<uint32_t>{4294967295u, 4294967295u}));
}

TEST(ValueMapping, EveryUnsignedAndSignedShortSurvivesTheRoundTrip) {
  // 16 bits fit a float's 24-bit mantissa: mapping in and out is lossless.
  std::vector<uint16_t> u(65536);
  std::vector<int16_t> s(65536);
  for (int i = 0; i < 65536; ++i) {
    u[i] = static_cast<uint16_t>(i);
    s[i] = static_cast<int16_t>(i - 32768);
  }
  ValueRange ur, sr;
  const std::vector<float> uUnit = toUnit(u, ScalarType::UInt16, &ur);
  const std::vector<float> sUnit = toUnit(s, ScalarType::Int16, &sr);
  EXPECT_EQ(uUnit[300], 300.0f / 65535.0f);
  EXPECT_EQ(fromUnit<uint16_t>(uUnit, ur, ScalarType::UInt16), u);
  EXPECT_EQ(fromUnit<int16_t>(sUnit, sr, ScalarType::Int16), s);
}

TEST(ValueMapping, FloatsOfATinyRangeKeepTheirSteps) {
  // 1, 1 + 2^-23 and 1 + 2^-22: a range of two float steps.
  const float one = 1.0f, next = std::nextafter(one, 2.0f), nextNext = std::nextafter(next, 2.0f);
  ValueRange range;
  const std::vector<float> unit = toUnit<float>({one, next, nextNext}, ScalarType::Float32, &range);
  EXPECT_EQ(unit, (std::vector<float>{0.0f, 0.5f, 1.0f}));
  EXPECT_EQ(fromUnit<float>(unit, range, ScalarType::Float32), (std::vector<float>{one, next, nextNext}));

  // 1e-30 to 3e-30: tiny values, not only a tiny width.
  const std::vector<float> small = toUnit<float>({1e-30f, 3e-30f}, ScalarType::Float32);
  EXPECT_EQ(small, (std::vector<float>{0.0f, 1.0f}));
}

TEST(ValueMapping, ConstantVolumesGiveZeroAndComeBackAsTheirValue) {
  ValueRange range;
  EXPECT_EQ(toUnit<int16_t>({7, 7, 7}, ScalarType::Int16, &range), (std::vector<float>(3, 0.0f)));
  EXPECT_EQ(fromUnit<int16_t>({0.0f, 0.3f, 1.0f}, range, ScalarType::Int16), (std::vector<int16_t>(3, 7)));
  EXPECT_EQ(toUnit<double>({-2.5, -2.5}, ScalarType::Float64, &range), (std::vector<float>(2, 0.0f)));
  EXPECT_EQ(fromUnit<double>({0.7f}, range, ScalarType::Float64), (std::vector<double>{-2.5}));
}

TEST(ValueMapping, NonFiniteFloatsTakeTheEndTheyLeanTo) {
  const float inf = std::numeric_limits<float>::infinity();
  ValueRange range;
  const std::vector<float> unit = toUnit<float>({std::nanf(""), -inf, inf, 0.0f, 2.0f, 0.5f}, ScalarType::Float32, &range);
  EXPECT_EQ(range.min, 0.0);
  EXPECT_EQ(range.max, 2.0);
  EXPECT_EQ(unit, (std::vector<float>{0.0f, 0.0f, 1.0f, 0.0f, 1.0f, 0.25f}));

  const std::vector<float> none = toUnit<float>({std::nanf(""), inf}, ScalarType::Float32, &range);
  EXPECT_EQ(range.min, 0.0);
  EXPECT_EQ(range.max, 0.0);
  EXPECT_EQ(none, (std::vector<float>{0.0f, 0.0f}));
}

TEST(ValueMapping, ExtremeIntegersAndDoublesWiderThanTheLargestDouble) {
  ValueRange range;
  const std::vector<int32_t> ints = {std::numeric_limits<int32_t>::min(), 0, std::numeric_limits<int32_t>::max()};
  const std::vector<float> unit = toUnit(ints, ScalarType::Int32, &range);
  EXPECT_EQ(unit.front(), 0.0f);
  EXPECT_EQ(unit.back(), 1.0f);
  const std::vector<int32_t> back = fromUnit<int32_t>(unit, range, ScalarType::Int32);
  EXPECT_EQ(back.front(), ints.front());
  EXPECT_EQ(back.back(), ints.back());

  const std::vector<float> wide = toUnit<double>({-1.5e308, 0.0, 1.5e308}, ScalarType::Float64, &range);
  EXPECT_EQ(wide, (std::vector<float>{0.0f, 0.5f, 1.0f}));
  EXPECT_EQ(fromUnit<double>(wide, range, ScalarType::Float64), (std::vector<double>{-1.5e308, 0.0, 1.5e308}));
}

TEST(ValueMapping, UnsignedBytesKeepTheHistoricalConversions) {
  // byte / 255 whatever the range, and truncation (not rounding) on the way out.
  const std::vector<uint8_t> bytes = {10, 20, 255};
  std::vector<float> unit(3);
  mapToUnit(bytes.data(), ScalarType::UInt8, 3, {10, 20}, unit.data());
  EXPECT_EQ(unit, bytesToUnitFloats(bytes.data(), 3));
  EXPECT_EQ(fromUnit<uint8_t>({0.999f, 0.5f, 1.0f}, {0, 255}, ScalarType::UInt8),
            (std::vector<uint8_t>{254, 127, 255}));
}

TEST(ValueMapping, RangesOfPartsMergeIntoTheWhole) {
  const std::vector<int16_t> whole = {5, -3, 9, 2, 100, -40};
  const ValueRange a = findValueRange(whole.data(), ScalarType::Int16, 3);
  const ValueRange b = findValueRange(whole.data() + 3, ScalarType::Int16, 3);
  const ValueRange merged = mergeRanges(a, b);
  EXPECT_EQ(merged.min, -40.0);
  EXPECT_EQ(merged.max, 100.0);
}

TEST(ValueMapping, DisplayBytesRoundAsTheViewerAlwaysDid) {
  Volume v;
  v.dims = {4, 1, 1};
  v.type = ScalarType::Int16;
  const int16_t values[] = {-1024, 0, 1000, 3071};
  v.data.resize(sizeof values);
  std::memcpy(v.data.data(), values, sizeof values);
  // (v + 1024) * 255 / 4095: 0, 63.77, 126.04, 255.
  EXPECT_EQ(displayBytes(v, unitRangeOf(v)), (std::vector<uint8_t>{0, 64, 126, 255}));
}

// A ramp of 16-bit values through the filter: mapped back into its own type
// it keeps many more levels than the 256 that a byte path could give.
TEST(FullPrecision, A16BitRampKeepsMoreThan256LevelsThroughTheFilter) {
  const Dims dims{40, 24, 6};
  std::vector<int16_t> ramp(static_cast<size_t>(dims.count()));
  for (int z = 0; z < dims.z; ++z) {
    for (int y = 0; y < dims.y; ++y) {
      for (int x = 0; x < dims.x; ++x) ramp[dims.index(x, y, z)] = static_cast<int16_t>(-1000 + 100 * x + 7 * y + z);
    }
  }
  ValueRange range;
  const std::vector<float> unit = toUnit(ramp, ScalarType::Int16, &range);
  std::vector<float> filtered(unit.size());
  FilterParams params{2, 2, 30, false};
  FilterOptions options;
  options.backend = Backend::CpuReference;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(runFilter(unit.data(), dims, params, filtered.data(), options).ok());
  testing::internal::GetCapturedStdout();
  const std::vector<int16_t> back = fromUnit<int16_t>(filtered, range, ScalarType::Int16);
  const std::set<int16_t> levels(back.begin(), back.end());
  EXPECT_GT(levels.size(), 1000u);
  EXPECT_GE(*levels.begin(), -1000);
  EXPECT_LE(*levels.rbegin(), -1000 + 100 * 39 + 7 * 23 + 5);
  const std::vector<uint8_t> bytes = unitFloatsToBytes(filtered.data(), dims.count());
  EXPECT_LE(std::set<uint8_t>(bytes.begin(), bytes.end()).size(), 256u);
}

}  // namespace
}  // namespace voluna
