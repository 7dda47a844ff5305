#include "imagej_tiff.h"

#include <tiffio.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <sstream>

#include "spatial_units.h"

namespace voluna {

namespace {

struct Closer {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};

std::string number(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

int64_t wholeNumber(const std::string& text, int64_t fallback) {
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  return end != text.c_str() && value > 0 ? value : fallback;
}

// A TIFF written into memory: libtiff seeks back to patch offsets, which a
// stream cannot, and the caller writes the file atomically.
struct MemoryFile {
  std::string bytes;
  uint64_t at = 0;
};

tmsize_t readMemory(thandle_t handle, void* buffer, tmsize_t size) {
  auto* file = static_cast<MemoryFile*>(handle);
  const uint64_t left = file->at < file->bytes.size() ? file->bytes.size() - file->at : 0;
  const auto n = static_cast<size_t>(std::min<uint64_t>(left, static_cast<uint64_t>(size)));
  std::memcpy(buffer, file->bytes.data() + file->at, n);
  file->at += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t writeMemory(thandle_t handle, void* buffer, tmsize_t size) {
  auto* file = static_cast<MemoryFile*>(handle);
  const auto n = static_cast<uint64_t>(size);
  if (file->at + n > file->bytes.size()) file->bytes.resize(file->at + n);
  std::memcpy(file->bytes.data() + file->at, buffer, n);
  file->at += n;
  return size;
}

toff_t seekMemory(thandle_t handle, toff_t offset, int whence) {
  auto* file = static_cast<MemoryFile*>(handle);
  const uint64_t base = whence == SEEK_CUR ? file->at : whence == SEEK_END ? file->bytes.size() : 0;
  file->at = base + offset;
  return file->at;
}

int closeMemory(thandle_t) { return 0; }
toff_t sizeMemory(thandle_t handle) { return static_cast<MemoryFile*>(handle)->bytes.size(); }
int mapMemory(thandle_t, void**, toff_t*) { return 0; }
void unmapMemory(thandle_t, void*, toff_t) {}

}  // namespace

ImageJStack readImageJStack(const std::string& path) {
  ImageJStack stack;
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  std::unique_ptr<TIFF, Closer> tif(TIFFOpen(path.c_str(), "rm"));
  if (!tif) return stack;
  const char* description = nullptr;
  if (!TIFFGetField(tif.get(), TIFFTAG_IMAGEDESCRIPTION, &description) || !description ||
      std::strncmp(description, "ImageJ=", 7) != 0) {
    return stack;
  }
  stack.present = true;
  float resolution = 0;
  if (TIFFGetField(tif.get(), TIFFTAG_XRESOLUTION, &resolution)) stack.resolution[0] = resolution;
  if (TIFFGetField(tif.get(), TIFFTAG_YRESOLUTION, &resolution)) stack.resolution[1] = resolution;
  uint16_t unit = RESUNIT_NONE;
  if (TIFFGetField(tif.get(), TIFFTAG_RESOLUTIONUNIT, &unit)) stack.resolutionUnit = unit;
  std::istringstream lines(description);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "images") stack.images = wholeNumber(value, 0);
    if (key == "channels") stack.channels = wholeNumber(value, 1);
    if (key == "slices") stack.slices = wholeNumber(value, 0);
    if (key == "frames") stack.frames = wholeNumber(value, 1);
    if (key == "unit") stack.unit = value;
    if (key == "spacing") {
      char* end = nullptr;
      const double spacing = std::strtod(value.c_str(), &end);
      if (end != value.c_str() && std::isfinite(spacing) && spacing > 0) stack.spacing = spacing;
    }
  }
  // Counting directories walks the file's chain, which checkTiffPages has
  // already found sound when this is asked.
  stack.pages = TIFFNumberOfDirectories(tif.get());
  return stack;
}

std::string checkImageJStack(const ImageJStack& stack) {
  if (!stack.present) return {};
  if (stack.channels > 1 || stack.frames > 1) {
    return "is an ImageJ hyperstack of " + std::to_string(stack.channels) + " channels and " +
           std::to_string(stack.frames) + " time points; Voluna reads one channel at one time point: "
           "save a single channel and time point from ImageJ (Image > Duplicate)";
  }
  if (stack.images > stack.pages && stack.pages == 1) {
    return "holds " + std::to_string(stack.images) +
           " images in ImageJ's layout for stacks over 4 GB (one page, the images after it), which Voluna "
           "does not read; save the stack as NIfTI or as a TIFF of under 4 GB";
  }
  return {};
}

void applyImageJGeometry(const ImageJStack& stack, Geometry& geometry) {
  if (!stack.present) return;
  LengthUnit unit = LengthUnit::Millimetre;
  double factor = 1.0;
  bool known = parseLengthUnit(stack.unit, unit, factor);
  if (!known && stack.resolutionUnit == RESUNIT_INCH) known = parseLengthUnit("inch", unit, factor);
  if (!known && stack.resolutionUnit == RESUNIT_CENTIMETER) known = parseLengthUnit("cm", unit, factor);
  for (int axis = 0; axis < 2; ++axis) {
    const double r = stack.resolution[axis];
    geometry.spacing[axis] = r > 0 && std::isfinite(r) ? 1.0 / r : 1.0;
  }
  geometry.spacing[2] = stack.spacing > 0 ? stack.spacing : 1.0;
  for (double& o : geometry.origin) o = 0.0;
  scaleGeometry(geometry, factor);
  // A spacing of 1e308 inches is no length; the views need a finite one.
  for (double& s : geometry.spacing) {
    if (!std::isfinite(s) || s <= 0) s = 1.0;
  }
  geometry.unit = known ? unit : LengthUnit::Millimetre;
}

std::string imageJTiffBytes(const Volume& volume, std::string& bytes) {
  bytes.clear();
  uint16_t bits = 8, format = SAMPLEFORMAT_UINT;
  switch (volume.type) {
    case ScalarType::UInt8: break;
    case ScalarType::Int8: format = SAMPLEFORMAT_INT; break;
    case ScalarType::UInt16: bits = 16; break;
    case ScalarType::Int16: bits = 16; format = SAMPLEFORMAT_INT; break;
    case ScalarType::Float32: bits = 32; format = SAMPLEFORMAT_IEEEFP; break;
    default:
      return std::string("cannot be written as TIFF with ") + scalarName(volume.type) +
             " voxels; TIFF takes uint8, int8, uint16, int16 and float32 (use --output-type float32, or NIfTI)";
  }
  const Geometry& g = volume.geometry;
  const bool micrometres = g.unit == LengthUnit::Micrometre;
  const std::string description = "ImageJ=1.11a\nimages=" + std::to_string(volume.dims.z) +
                                  "\nslices=" + std::to_string(volume.dims.z) +
                                  "\nunit=" + (micrometres ? "micron" : "mm") +
                                  "\nspacing=" + number(g.spacing[2]) + "\nloop=false\n";
  const size_t sliceBytes = static_cast<size_t>(volume.dims.x) * volume.dims.y * (bits / 8);
  MemoryFile memory;
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  // Classic TIFF holds offsets of 32 bits; larger stacks need BigTIFF.
  const bool big = volume.data.size() > (uint64_t{1} << 32) - (uint64_t{1} << 24);
  std::unique_ptr<TIFF, Closer> tif(TIFFClientOpen("memory", big ? "w8" : "w", &memory, readMemory, writeMemory,
                                                   seekMemory, closeMemory, sizeMemory, mapMemory, unmapMemory));
  if (!tif) return "cannot be written (libtiff could not start a TIFF)";
  for (int z = 0; z < volume.dims.z; ++z) {
    TIFF* t = tif.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(volume.dims.x));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(volume.dims.y));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, format);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(1));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(volume.dims.y));
    TIFFSetField(t, TIFFTAG_XRESOLUTION, 1.0 / g.spacing[0]);
    TIFFSetField(t, TIFFTAG_YRESOLUTION, 1.0 / g.spacing[1]);
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_NONE);
    if (z == 0) TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    const auto* slice = volume.data.data() + static_cast<size_t>(z) * sliceBytes;
    if (TIFFWriteEncodedStrip(t, 0, const_cast<uint8_t*>(slice), static_cast<tmsize_t>(sliceBytes)) < 0 ||
        !TIFFWriteDirectory(t)) {
      return "cannot be written (libtiff could not write page " + std::to_string(z + 1) + ")";
    }
  }
  tif.reset();
  bytes = std::move(memory.bytes);
  return {};
}

}  // namespace voluna
