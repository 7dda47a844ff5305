// Conversions between the loaded bytes, the filter's floats and result bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace voluna {

// byte / 255, a single-precision division: 0 -> 0.0, 255 -> 1.0.
std::vector<float> bytesToUnitFloats(const uint8_t* bytes, int64_t count);

// The integer part of value * 255 (a float product), truncated toward zero and
// taken modulo 256: results in [0, 1] give 0 to 255 without rounding, and
// out-of-range values wrap rather than clamp. NaN and infinities give 0.
uint8_t unitFloatToByte(float value);
std::vector<uint8_t> unitFloatsToBytes(const float* values, int64_t count);

}  // namespace voluna
