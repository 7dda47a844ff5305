#include "value_mapping.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "byte_conversion.h"

namespace voluna {

namespace {

template <typename T>
ValueRange rangeOf(const T* values, int64_t count) {
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();
  if constexpr (std::is_floating_point_v<T>) {
    for (int64_t i = 0; i < count; ++i) {
      const T v = values[i];
      if (!std::isfinite(v)) continue;
      low = std::min<double>(low, v);
      high = std::max<double>(high, v);
    }
  } else {
    T tLow = std::numeric_limits<T>::max();
    T tHigh = std::numeric_limits<T>::lowest();
    for (int64_t i = 0; i < count; ++i) {
      tLow = std::min(tLow, values[i]);
      tHigh = std::max(tHigh, values[i]);
    }
    if (count > 0) {
      low = tLow;
      high = tHigh;
    }
  }
  if (low > high) return {};
  return {low, high};
}

// Doubles spanning more than the largest double have no finite width; the
// arithmetic is then done on halves, which is exact.
struct Span {
  double min, width, factor;
};

Span spanOf(ValueRange range) {
  const double width = range.max - range.min;
  if (std::isfinite(width)) return {range.min, width, 1.0};
  return {range.min * 0.5, range.max * 0.5 - range.min * 0.5, 0.5};
}

template <typename T>
void toUnit(const T* values, int64_t count, ValueRange range, float* out) {
  const Span span = spanOf(range);
  if (span.width == 0.0) {
    std::fill(out, out + count, 0.0f);
    return;
  }
  for (int64_t i = 0; i < count; ++i) {
    const T v = values[i];
    if constexpr (std::is_floating_point_v<T>) {
      if (!std::isfinite(v)) {
        out[i] = v > 0 ? 1.0f : 0.0f;
        continue;
      }
    }
    out[i] = static_cast<float>((static_cast<double>(v) * span.factor - span.min) / span.width);
  }
}

template <typename T>
T fromUnit(float r, const Span& span) {
  const double y = (span.min + static_cast<double>(r) * span.width) / span.factor;
  if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(y);
  } else {
    constexpr double kLow = static_cast<double>(std::numeric_limits<T>::lowest());
    constexpr double kHigh = static_cast<double>(std::numeric_limits<T>::max());
    if (std::isnan(y)) return static_cast<T>(std::clamp(span.min / span.factor, kLow, kHigh));
    if (y <= kLow) return std::numeric_limits<T>::lowest();
    if (y >= kHigh) return std::numeric_limits<T>::max();
    return static_cast<T>(std::round(y));
  }
}

}  // namespace

ValueRange findValueRange(const void* voxels, ScalarType type, int64_t count) {
  ValueRange range;
  withScalarType(type, [&](auto zero) {
    using T = decltype(zero);
    range = rangeOf(static_cast<const T*>(voxels), count);
  });
  return range;
}

ValueRange mergeRanges(ValueRange a, ValueRange b) { return {std::min(a.min, b.min), std::max(a.max, b.max)}; }

void mapToUnit(const void* voxels, ScalarType type, int64_t count, ValueRange range, float* out) {
  if (type == ScalarType::UInt8) {
    const auto* bytes = static_cast<const uint8_t*>(voxels);
    for (int64_t i = 0; i < count; ++i) out[i] = static_cast<float>(bytes[i]) / 255.0f;
    return;
  }
  withScalarType(type, [&](auto zero) {
    using T = decltype(zero);
    toUnit(static_cast<const T*>(voxels), count, range, out);
  });
}

void mapFromUnit(const float* r, int64_t count, ValueRange range, ScalarType type, void* out) {
  if (type == ScalarType::UInt8) {
    auto* bytes = static_cast<uint8_t*>(out);
    for (int64_t i = 0; i < count; ++i) bytes[i] = unitFloatToByte(r[i]);
    return;
  }
  const Span span = spanOf(range);
  withScalarType(type, [&](auto zero) {
    using T = decltype(zero);
    T* values = static_cast<T*>(out);
    for (int64_t i = 0; i < count; ++i) values[i] = fromUnit<T>(r[i], span);
  });
}

ValueRange unitRangeOf(const Volume& volume) {
  if (volume.type == ScalarType::UInt8) return {0.0, 255.0};
  return findValueRange(volume.data.data(), volume.type, volume.dims.count());
}

std::vector<uint8_t> displayBytes(const Volume& volume, ValueRange range) {
  const int64_t count = volume.dims.count();
  if (volume.type == ScalarType::UInt8) return {volume.data.begin(), volume.data.begin() + count};
  std::vector<uint8_t> bytes(static_cast<size_t>(count));
  const Span span = spanOf(range);
  if (span.width == 0.0) return bytes;
  const double scale = 255.0 / span.width;
  withScalarType(volume.type, [&](auto zero) {
    using T = decltype(zero);
    const T* values = reinterpret_cast<const T*>(volume.data.data());
    for (int64_t i = 0; i < count; ++i) {
      const double v = static_cast<double>(values[i]);
      const double scaled = std::isnan(v) ? 0.0 : std::floor((v * span.factor - span.min) * scale + 0.5);
      bytes[i] = static_cast<uint8_t>(std::clamp(scaled, 0.0, 255.0));
    }
  });
  return bytes;
}

std::string formatValue(double value) {
  char text[64];
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.6g", value);
  }
  return text;
}

}  // namespace voluna
