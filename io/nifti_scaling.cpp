#include "nifti_scaling.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

namespace voluna {

ScalarType NiftiScaling::valueType() const {
  if (!scaled) return stored;
  return stored == ScalarType::Float64 ? ScalarType::Float64 : ScalarType::Float32;
}

void NiftiScaling::apply(const void* raw, int64_t count, void* out) const {
  const auto* from = static_cast<const uint8_t*>(raw);
  auto* to = static_cast<uint8_t*>(out);
  if (!scaled) {
    std::memmove(to, from, static_cast<size_t>(count) * scalarSize(stored));
    return;
  }
  withScalarType(stored, [&](auto zero) {
    using T = decltype(zero);
    for (int64_t i = 0; i < count; ++i) {
      T value;
      std::memcpy(&value, from + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
      if constexpr (std::is_same_v<T, double>) {
        const double result = value * slope + intercept;
        std::memcpy(to + i * 8, &result, 8);
      } else {
        // ITK makes the stored value a float before it scales.
        const auto result = static_cast<float>(static_cast<double>(static_cast<float>(value)) * slope + intercept);
        std::memcpy(to + i * 4, &result, 4);
      }
    }
  });
}

NiftiScaling niftiScalingOf(const NiftiHeader& h) {
  NiftiScaling s;
  s.stored = h.stored;
  double slope = std::isfinite(h.slope) ? h.slope : 0.0;
  const double intercept = std::isfinite(h.intercept) ? h.intercept : 0.0;
  if (slope == 0.0) slope = 1.0;
  s.scaled = slope != 1.0 || intercept != 0.0;
  if (!s.scaled) return s;
  s.slope = slope;
  s.intercept = intercept;
  s.wholeFactors = h.integerStored && h.slope != 0 && h.slope == std::floor(h.slope) &&
                   h.intercept == std::floor(h.intercept);
  return s;
}

bool scalingLeftToItk(const NiftiHeader& h) {
  if (h.version != 1 || (h.slope == 0 && h.intercept == 0)) return false;
  const bool plain = std::isfinite(h.slope) && std::isfinite(h.intercept) && std::fabs(h.slope) >= 1e-10 &&
                     (h.intercept == 0 || std::fabs(h.intercept) >= 1e-10);
  return !plain;
}

bool wholeValueType(float low, float high, ScalarType& type) {
  if (low < -16777216.0f || high > 16777216.0f) return false;
  type = low >= -32768.0f && high <= 32767.0f ? ScalarType::Int16 : ScalarType::Int32;
  return true;
}

void keepIntegersWhole(const NiftiScaling& scaling, Volume& volume) {
  if (volume.type != ScalarType::Float32 || !scaling.wholeFactors) return;
  const int64_t count = volume.dims.count();
  const auto* values = reinterpret_cast<const float*>(volume.data.data());
  float low = values[0], high = values[0];
  for (int64_t i = 0; i < count; ++i) {
    if (values[i] != std::floor(values[i])) return;
    low = std::min(low, values[i]);
    high = std::max(high, values[i]);
  }
  ScalarType type;
  if (!wholeValueType(low, high, type)) return;
  std::vector<uint8_t> data(static_cast<size_t>(count) * scalarSize(type));
  for (int64_t i = 0; i < count; ++i) {
    if (type == ScalarType::Int16) {
      reinterpret_cast<int16_t*>(data.data())[i] = static_cast<int16_t>(values[i]);
    } else {
      reinterpret_cast<int32_t*>(data.data())[i] = static_cast<int32_t>(values[i]);
    }
  }
  volume.type = type;
  volume.data = std::move(data);
}

}  // namespace voluna
