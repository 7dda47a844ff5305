#include "spatial_units.h"

#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace voluna {

namespace {

// NIfTI-1's xyzt_units byte and its spatial codes.
constexpr size_t kUnitsOffset = 123;
constexpr int kMetre = 1, kMicrometre = 3;

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

bool parseLengthUnit(const std::string& text, LengthUnit& unit, double& factor) {
  std::string t;
  for (char c : text) {
    if (c != ' ' && c != '"') t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  factor = 1.0;
  // "\u00B5m" is how ImageJ escapes the micro sign; UTF-8 and Latin-1 spell it directly.
  if (t == "um" || t == "micron" || t == "microns" || t == "micrometer" || t == "micrometre" ||
      t == "\\u00b5m" || t == "\xc2\xb5m" || t == "\xb5m" || t == "\xce\xbcm") {
    unit = LengthUnit::Micrometre;
  } else if (t == "nm" || t == "nanometer" || t == "nanometre") {
    unit = LengthUnit::Micrometre;
    factor = 0.001;
  } else if (t == "mm" || t == "millimeter" || t == "millimetre") {
    unit = LengthUnit::Millimetre;
  } else if (t == "cm" || t == "centimeter" || t == "centimetre") {
    unit = LengthUnit::Millimetre;
    factor = 10.0;
  } else if (t == "m" || t == "meter" || t == "metre") {
    unit = LengthUnit::Millimetre;
    factor = 1000.0;
  } else if (t == "inch" || t == "in") {
    unit = LengthUnit::Millimetre;
    factor = 25.4;
  } else {
    return false;
  }
  return true;
}

void scaleGeometry(Geometry& geometry, double factor) {
  if (factor == 1.0) return;
  for (int i = 0; i < 3; ++i) {
    geometry.spacing[i] *= factor;
    geometry.origin[i] *= factor;
  }
}

Geometry inMillimetres(const Geometry& geometry) {
  Geometry g = geometry;
  if (g.unit == LengthUnit::Micrometre) scaleGeometry(g, 0.001);
  g.unit = LengthUnit::Millimetre;
  return g;
}

void niftiUnitsAfterRead(int spaceUnits, bool convertedByItk, Geometry& geometry) {
  // ITK scales the spacing of metre and micrometre files into millimetres
  // but leaves their origin in the file's unit.
  if (spaceUnits == kMicrometre) {
    if (convertedByItk) {
      for (double& s : geometry.spacing) s *= 1000.0;
    }
    geometry.unit = LengthUnit::Micrometre;
  } else if (spaceUnits == kMetre) {
    for (double& o : geometry.origin) o *= 1000.0;
    if (!convertedByItk) {
      for (double& s : geometry.spacing) s *= 1000.0;
    }
  }
}

std::string markNiftiMicrometres(const std::string& path) {
  auto mark = [](std::string& bytes) -> bool {
    if (bytes.size() < 348) return false;
    int32_t size = 0;
    std::memcpy(&size, bytes.data(), 4);
    if (size != 348 && size != 0x5c010000) return false;
    auto& units = reinterpret_cast<unsigned char&>(bytes[kUnitsOffset]);
    units = static_cast<unsigned char>((units & ~7u) | kMicrometre);
    return true;
  };
  if (endsWith(path, ".gz")) {
    gzFile in = gzopen(path.c_str(), "rb");
    if (!in) return "cannot be reopened to record its unit";
    std::string bytes;
    char buffer[1 << 16];
    int got;
    while ((got = gzread(in, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(got));
    const bool ended = got == 0;
    gzclose(in);
    if (!ended || !mark(bytes)) return "has no NIfTI-1 header to record its unit in";
    gzFile out = gzopen(path.c_str(), "wb");
    if (!out) return "cannot be rewritten to record its unit";
    const bool written = gzwrite(out, bytes.data(), static_cast<unsigned>(bytes.size())) ==
                         static_cast<int>(bytes.size());
    if (gzclose(out) != Z_OK || !written) return "could not be rewritten to record its unit";
    return {};
  }
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  std::string head(348, '\0');
  if (!file.read(head.data(), 348) || !mark(head)) return "has no NIfTI-1 header to record its unit in";
  file.seekp(static_cast<std::streamoff>(kUnitsOffset));
  file.put(head[kUnitsOffset]);
  if (!file.flush()) return "could not be rewritten to record its unit";
  return {};
}

std::string markNrrdUnits(const std::string& path, LengthUnit unit) {
  std::ifstream in(path, std::ios::binary);
  std::string header;
  // The header ends at its first empty line; ITK's are a few hundred bytes.
  std::string line;
  while (header.size() < (1u << 20) && std::getline(in, line)) {
    header += line + "\n";
    if (line.empty()) break;
  }
  const size_t end = header.rfind("\n\n");
  if (!in || end == std::string::npos || header.compare(0, 4, "NRRD") != 0) {
    return "has no NRRD header to record its unit in";
  }
  const std::string name = unitName(unit);
  header.insert(end + 1, "space units: \"" + name + "\" \"" + name + "\" \"" + name + "\"\n");
  const std::string rewritten = path + ".units";
  {
    std::ofstream out(rewritten, std::ios::binary | std::ios::trunc);
    out << header << in.rdbuf();
    if (!out.flush()) {
      std::remove(rewritten.c_str());
      return "could not be rewritten to record its unit";
    }
  }
  if (std::rename(rewritten.c_str(), path.c_str()) != 0) {
    std::remove(rewritten.c_str());
    return "could not be rewritten to record its unit";
  }
  return {};
}

void nrrdUnitsAfterRead(const std::string& spaceUnits, Geometry& geometry) {
  // Quoted names, one an axis of space; units that differ between axes, or
  // are no length, leave the numbers as they are.
  std::vector<std::string> names;
  size_t at = 0;
  while ((at = spaceUnits.find('"', at)) != std::string::npos) {
    const size_t end = spaceUnits.find('"', at + 1);
    if (end == std::string::npos) return;
    names.push_back(spaceUnits.substr(at + 1, end - at - 1));
    at = end + 1;
  }
  if (names.empty()) return;
  LengthUnit unit = LengthUnit::Millimetre;
  double factor = 1.0;
  for (size_t i = 0; i < names.size(); ++i) {
    LengthUnit axisUnit;
    double axisFactor;
    if (!parseLengthUnit(names[i], axisUnit, axisFactor)) return;
    if (i > 0 && (axisUnit != unit || axisFactor != factor)) return;
    unit = axisUnit;
    factor = axisFactor;
  }
  scaleGeometry(geometry, factor);
  geometry.unit = unit;
}

}  // namespace voluna
