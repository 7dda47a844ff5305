// libFuzzer target over Voluna's checks of a TIFF before ITK reads it: the
// pages' sizes and data (tiff_pages) and ImageJ's description. Arbitrary
// bytes as a file; what passes must hold what it claims, every refusal is
// one line, and an ImageJ stack's geometry is finite and positive.
#include <tiffio.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

#include "imagej_tiff.h"
#include "tiff_pages.h"

namespace {

std::string gFile;

[[noreturn]] void broken(const char* what, const std::string& detail) {
  std::fprintf(stderr, "invariant broken: %s: %s\n", what, detail.c_str());
  std::abort();
}

void oneLine(const char* what, const std::string& message) {
  if (message.find('\n') != std::string::npos) broken(what, message);
}

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
  const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  gFile = base + "/voluna-tiff-fuzz-" + std::to_string(getpid()) + ".tif";
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::ofstream out(gFile, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const std::string pages = voluna::checkTiffPages(gFile, static_cast<int64_t>(size));
  oneLine("pages", pages);
  if (!pages.empty()) return 0;
  stripsWithinFile(static_cast<int64_t>(size));
  const voluna::ImageJStack stack = voluna::readImageJStack(gFile);
  const std::string refusal = voluna::checkImageJStack(stack);
  oneLine("ImageJ", refusal);
  if (!refusal.empty()) return 0;
  voluna::Geometry geometry;
  voluna::applyImageJGeometry(stack, geometry);
  for (double s : geometry.spacing) {
    if (!std::isfinite(s) || s <= 0) broken("spacing", std::to_string(s));
  }
  return 0;
}
