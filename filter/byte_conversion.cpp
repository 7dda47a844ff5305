#include "byte_conversion.h"

#include <cmath>

namespace voluna {

std::vector<float> bytesToUnitFloats(const uint8_t* bytes, int64_t count) {
  std::vector<float> values(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) values[i] = static_cast<float>(bytes[i]) / 255.0f;
  return values;
}

uint8_t unitFloatToByte(float value) {
  const float scaled = value * 255.0f;
  if (!std::isfinite(scaled)) return 0;
  // fmod is exact, so this is the low 8 bits of the truncated integer for
  // every finite float, without the undefined conversion of huge values.
  double wrapped = std::fmod(std::trunc(static_cast<double>(scaled)), 256.0);
  if (wrapped < 0.0) wrapped += 256.0;
  return static_cast<uint8_t>(wrapped);
}

std::vector<uint8_t> unitFloatsToBytes(const float* values, int64_t count) {
  std::vector<uint8_t> bytes(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) bytes[i] = unitFloatToByte(values[i]);
  return bytes;
}

}  // namespace voluna
