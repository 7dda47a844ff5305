// The placement fields of a NIfTI-1 header, read from a .nii or .nii.gz and
// written into header bytes: what a test compares, field for field, as the
// file stores them.
#pragma once

#include <zlib.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>

namespace voluna::test_support {

struct NiftiFields {
  int16_t qformCode = 0, sformCode = 0;
  float qfac = 0;
  std::array<float, 6> quatern{};  // quatern_b, c, d and qoffset_x, y, z
  std::array<float, 12> srow{};

  bool operator==(const NiftiFields& o) const {
    // Bit for bit: a field that changed in its last digit changed.
    return qformCode == o.qformCode && sformCode == o.sformCode &&
           std::memcmp(&qfac, &o.qfac, 4) == 0 && std::memcmp(quatern.data(), o.quatern.data(), 24) == 0 &&
           std::memcmp(srow.data(), o.srow.data(), 48) == 0;
  }
  bool operator!=(const NiftiFields& o) const { return !(*this == o); }
};

inline std::ostream& operator<<(std::ostream& out, const NiftiFields& f) {
  out << "qform_code " << f.qformCode << ", sform_code " << f.sformCode << ", qfac " << f.qfac << ", quatern/qoffset";
  for (float v : f.quatern) out << ' ' << v;
  out << ", srow";
  for (float v : f.srow) out << ' ' << v;
  return out;
}

inline NiftiFields fieldsOfHeader(const std::string& h) {
  NiftiFields f;
  std::memcpy(&f.qfac, h.data() + 76, 4);
  std::memcpy(&f.qformCode, h.data() + 252, 2);
  std::memcpy(&f.sformCode, h.data() + 254, 2);
  std::memcpy(f.quatern.data(), h.data() + 256, 24);
  std::memcpy(f.srow.data(), h.data() + 280, 48);
  return f;
}

inline void putFields(const NiftiFields& f, std::string& h) {
  std::memcpy(h.data() + 76, &f.qfac, 4);
  std::memcpy(h.data() + 252, &f.qformCode, 2);
  std::memcpy(h.data() + 254, &f.sformCode, 2);
  std::memcpy(h.data() + 256, f.quatern.data(), 24);
  std::memcpy(h.data() + 280, f.srow.data(), 48);
}

// The first 348 bytes of a .nii or .nii.gz (zlib reads either); empty if shorter.
inline std::string niftiHeaderOf(const std::string& file) {
  std::string header(348, '\0');
  gzFile in = gzopen(file.c_str(), "rb");
  if (!in) return {};
  const int got = gzread(in, header.data(), 348);
  gzclose(in);
  return got == 348 ? header : std::string();
}

inline NiftiFields niftiFieldsOf(const std::string& file) { return fieldsOfHeader(niftiHeaderOf(file)); }

}  // namespace voluna::test_support
