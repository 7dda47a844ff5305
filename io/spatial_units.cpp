#include "spatial_units.h"

#include <cctype>
#include <vector>

namespace voluna {

namespace {

// NIfTI-1's xyzt_units byte and its spatial codes.
constexpr size_t kUnitsOffset = 123;
constexpr int kMetre = 1, kMicrometre = 3;

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

void markNiftiUnits(std::string& header, LengthUnit unit) {
  if (header.size() <= kUnitsOffset || unit == LengthUnit::Millimetre) return;
  auto& units = reinterpret_cast<unsigned char&>(header[kUnitsOffset]);
  units = static_cast<unsigned char>((units & ~7u) | kMicrometre);
}

std::string nrrdUnitsLine(LengthUnit unit) {
  const std::string name = std::string("\"") + unitName(unit) + "\"";
  return "space units: " + name + " " + name + " " + name + "\n";
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
