#include "volume.h"

#include <algorithm>

namespace voluna {

namespace {

constexpr std::array<ScalarTypeInfo, 8> kScalarTypes{{
    {ScalarType::UInt8, "uint8", 1, false, "MET_UCHAR", 2, "unsigned_char"},
    {ScalarType::Int8, "int8", 1, false, "MET_CHAR", 256, "char"},
    {ScalarType::UInt16, "uint16", 2, false, "MET_USHORT", 512, "unsigned_short"},
    {ScalarType::Int16, "int16", 2, false, "MET_SHORT", 4, "short"},
    {ScalarType::UInt32, "uint32", 4, false, "MET_UINT", 768, "unsigned_int"},
    {ScalarType::Int32, "int32", 4, false, "MET_INT", 8, "int"},
    {ScalarType::Float32, "float32", 4, true, "MET_FLOAT", 16, "float"},
    {ScalarType::Float64, "float64", 8, true, "MET_DOUBLE", 64, "double"},
}};

template <typename Match>
const ScalarTypeInfo* find(Match match) {
  const auto* found = std::find_if(kScalarTypes.begin(), kScalarTypes.end(), match);
  return found == kScalarTypes.end() ? nullptr : found;
}

}  // namespace

const std::array<ScalarTypeInfo, 8>& scalarTypes() { return kScalarTypes; }

const ScalarTypeInfo& scalarInfo(ScalarType type) {
  const ScalarTypeInfo* info = find([&](const ScalarTypeInfo& i) { return i.type == type; });
  return info ? *info : kScalarTypes[0];
}

const ScalarTypeInfo* scalarTypeOfMetaImage(std::string_view elementType) {
  return find([&](const ScalarTypeInfo& i) { return elementType == i.metaImage; });
}

const ScalarTypeInfo* scalarTypeOfNifti(int datatype) {
  return find([&](const ScalarTypeInfo& i) { return datatype == i.niftiCode; });
}

const ScalarTypeInfo* scalarTypeOfItk(std::string_view component) {
  return find([&](const ScalarTypeInfo& i) { return component == i.itk; });
}

size_t scalarSize(ScalarType type) { return static_cast<size_t>(scalarInfo(type).size); }
const char* scalarName(ScalarType type) { return scalarInfo(type).name; }
bool isFloatingPoint(ScalarType type) { return scalarInfo(type).floating; }

}  // namespace voluna
