#include "volume.h"

namespace voluna {

size_t scalarSize(ScalarType type) {
  switch (type) {
    case ScalarType::UInt8:
    case ScalarType::Int8: return 1;
    case ScalarType::UInt16:
    case ScalarType::Int16: return 2;
    case ScalarType::UInt32:
    case ScalarType::Int32:
    case ScalarType::Float32: return 4;
    case ScalarType::Float64: return 8;
  }
  return 1;
}

const char* scalarName(ScalarType type) {
  switch (type) {
    case ScalarType::UInt8: return "uint8";
    case ScalarType::Int8: return "int8";
    case ScalarType::UInt16: return "uint16";
    case ScalarType::Int16: return "int16";
    case ScalarType::UInt32: return "uint32";
    case ScalarType::Int32: return "int32";
    case ScalarType::Float32: return "float32";
    case ScalarType::Float64: return "float64";
  }
  return "?";
}

const char* unitName(LengthUnit unit) { return unit == LengthUnit::Micrometre ? "um" : "mm"; }

bool isFloatingPoint(ScalarType type) { return type == ScalarType::Float32 || type == ScalarType::Float64; }

}  // namespace voluna
