// NIfTI-2 files made field for field from NIfTI-1 files that ITK wrote:
// ITK 5.2 writes NIfTI-1 only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace voluna::test_support {

template <typename T>
inline T get(const std::string& b, size_t offset) {
  T value;
  std::memcpy(&value, b.data() + offset, sizeof value);
  return value;
}

// Writes into a NIfTI-2 header in either byte order.
struct Header2 {
  std::string bytes = std::string(544, '\0');  // 540 and the empty extension flag
  bool swap = false;
  template <typename T>
  void put(size_t offset, T value) {
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    if (swap) std::reverse(raw, raw + sizeof(T));
    std::memcpy(bytes.data() + offset, raw, sizeof(T));
  }
};

// The same volume as a NIfTI-2 file: every field the NIfTI-1 header has, at
// its NIfTI-2 place and width, and the voxels after a 544-byte start.
inline std::string nifti2From(const std::string& n1, bool swap = false) {
  Header2 h;
  h.swap = swap;
  h.put<int32_t>(0, 540);
  h.bytes.replace(4, 8, std::string("n+2\0\r\n\032\n", 8));
  h.put<int16_t>(12, get<int16_t>(n1, 70));  // datatype
  h.put<int16_t>(14, get<int16_t>(n1, 72));  // bitpix
  for (int i = 0; i < 8; ++i) h.put<int64_t>(16 + 8 * i, get<int16_t>(n1, 40 + 2 * i));
  for (int i = 0; i < 8; ++i) h.put<double>(104 + 8 * i, get<float>(n1, 76 + 4 * i));
  h.put<int64_t>(168, 544);
  h.put<double>(176, get<float>(n1, 112));  // scl_slope
  h.put<double>(184, get<float>(n1, 116));  // scl_inter
  h.put<int32_t>(344, get<int16_t>(n1, 252));  // qform_code
  h.put<int32_t>(348, get<int16_t>(n1, 254));  // sform_code
  for (int i = 0; i < 6; ++i) h.put<double>(352 + 8 * i, get<float>(n1, 256 + 4 * i));  // quatern, qoffset
  for (int i = 0; i < 12; ++i) h.put<double>(400 + 8 * i, get<float>(n1, 280 + 4 * i));  // srow_x, y, z
  std::string data = n1.substr(static_cast<size_t>(get<float>(n1, 108)));
  const int width = get<int16_t>(n1, 72) / 8;
  if (swap && width > 1) {
    for (size_t at = 0; at + width <= data.size(); at += width) std::reverse(data.begin() + at, data.begin() + at + width);
  }
  return h.bytes + data;
}

}  // namespace voluna::test_support
