// libFuzzer target over Voluna's checks of a TIFF before ITK reads it: the
// pages' sizes and data (tiff_pages) and ImageJ's description. Arbitrary
// bytes as a file; what passes must hold what it claims, every refusal is
// one line, and an ImageJ stack's geometry is finite and positive.
#include <tiffio.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz_files.h"
#include "imagej_tiff.h"
#include "tiff_pages.h"

namespace {

using voluna::fuzzing::broken;

std::string gFile;

// What checkTiffPages promises for uncompressed strips: they lie in the file.
void stripsWithinFile(int64_t size) {
  TIFF* tif = TIFFOpen(gFile.c_str(), "rm");
  if (!tif) broken("passed, but libtiff cannot open it", gFile);
  do {
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    const uint64_t* offsets = nullptr;
    const uint64_t* counts = nullptr;
    if (compression == COMPRESSION_NONE && !TIFFIsTiled(tif) && TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) &&
        TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts) && offsets && counts) {
      for (uint32_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
        if (offsets[s] > static_cast<uint64_t>(size) || counts[s] > static_cast<uint64_t>(size) - offsets[s]) {
          broken("passed with a strip beyond the file", std::to_string(offsets[s]));
        }
      }
    }
  } while (TIFFReadDirectory(tif));
  TIFFClose(tif);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gFile = voluna::fuzzing::scratchFolder("voluna-tiff-fuzz") + "/input.tif";
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  voluna::fuzzing::writeFile(gFile, std::string(reinterpret_cast<const char*>(data), size));
  const std::string pages = voluna::checkTiffPages(gFile, static_cast<int64_t>(size));
  if (!pages.empty()) {
    voluna::fuzzing::expectOneLine(pages);
    return 0;
  }
  stripsWithinFile(static_cast<int64_t>(size));
  const voluna::ImageJStack stack = voluna::readImageJStack(gFile);
  const std::string refusal = voluna::checkImageJStack(stack);
  if (!refusal.empty()) {
    voluna::fuzzing::expectOneLine(refusal);
    return 0;
  }
  voluna::Geometry geometry;
  voluna::applyImageJGeometry(stack, geometry);
  for (double s : geometry.spacing) {
    if (!std::isfinite(s) || s <= 0) broken("spacing", std::to_string(s));
  }
  return 0;
}
