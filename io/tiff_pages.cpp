#include "tiff_pages.h"

#include <tiffio.h>

#include <memory>

#include "dims.h"

namespace voluna {

namespace {

// The widest expansion of the codecs a TIFF may use (LZW's 12-bit codes stand
// for up to 4096 bytes): data claiming more than this per stored byte is a lie.
constexpr int64_t kMaxExpansion = 4096;

struct Closer {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};

}  // namespace

std::string checkTiffPages(const std::string& path, int64_t fileSize) {
  // libtiff would print its complaints; the message we return says enough.
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  std::unique_ptr<TIFF, Closer> tif(TIFFOpen(path.c_str(), "rm"));
  if (!tif) return "is not a TIFF file that can be opened";
  uint32_t firstWidth = 0, firstHeight = 0;
  uint16_t firstBits = 0;
  int64_t pages = 0, needed = 0;
  bool compressed = false;
  do {
    ++pages;
    uint32_t width = 0, height = 0;
    uint16_t samples = 1, bits = 1, compression = COMPRESSION_NONE;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_COMPRESSION, &compression);
    const std::string page = "page " + std::to_string(pages);
    if (width < 1 || height < 1) {
      return "has " + page + " of " + std::to_string(width) + " x " + std::to_string(height) +
             " pixels; every size must be at least 1";
    }
    if (samples != 1) {
      return "holds " + std::to_string(samples) + " samples per pixel on " + page +
             " (colour or vector pixels); Voluna reads one value per voxel";
    }
    if (bits != 8 && bits != 16 && bits != 32 && bits != 64) {
      return "has " + std::to_string(bits) + "-bit samples on " + page + "; Voluna reads 8, 16, 32 and 64 bits";
    }
    if (pages == 1) {
      firstWidth = width;
      firstHeight = height;
      firstBits = bits;
    } else if (width != firstWidth || height != firstHeight || bits != firstBits) {
      return "has pages that differ in size: page 1 is " + std::to_string(firstWidth) + " x " +
             std::to_string(firstHeight) + " (" + std::to_string(firstBits) + "-bit), " + page + " is " +
             std::to_string(width) + " x " + std::to_string(height) + " (" + std::to_string(bits) +
             "-bit); a volume needs pages of one size";
    }
    const int64_t count = int64_t{width} * height * pages;
    if (int64_t{width} * height > kMaxVoxels || count > kMaxVoxels) {
      return "has " + std::to_string(pages) + " pages of " + std::to_string(width) + " x " + std::to_string(height) +
             ", more than the 2^31 - 1 voxels Voluna can hold";
    }
    const int64_t pageBytes = int64_t{width} * height * (bits / 8);
    needed += pageBytes;
    if (compression == COMPRESSION_NONE) {
      const uint64_t* counts = nullptr;
      int64_t stored = 0;
      const uint32_t strips = TIFFIsTiled(tif.get()) ? TIFFNumberOfTiles(tif.get()) : TIFFNumberOfStrips(tif.get());
      const ttag_t tag = TIFFIsTiled(tif.get()) ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS;
      if (TIFFGetField(tif.get(), tag, &counts) && counts) {
        for (uint32_t s = 0; s < strips; ++s) stored += static_cast<int64_t>(counts[s]);
      }
      if (stored < pageBytes && !TIFFIsTiled(tif.get())) {
        return "has " + page + " of " + std::to_string(width) + " x " + std::to_string(height) + " that stores " +
               std::to_string(stored) + " bytes where its pixels need " + std::to_string(pageBytes);
      }
      const uint64_t* offsets = nullptr;
      const ttag_t offsetTag = TIFFIsTiled(tif.get()) ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS;
      if (TIFFGetField(tif.get(), offsetTag, &offsets) && offsets && counts) {
        for (uint32_t s = 0; s < strips; ++s) {
          if (offsets[s] > static_cast<uint64_t>(fileSize) || counts[s] > static_cast<uint64_t>(fileSize) - offsets[s]) {
            return "has " + page + " whose pixels lie beyond the end of the file: the file is cut short or damaged";
          }
        }
      }
      if (stored > fileSize) {
        return "has " + page + " claiming " + std::to_string(stored) + " bytes of pixels in a file of " +
               std::to_string(fileSize);
      }
    } else {
      compressed = true;
    }
    if (TIFFLastDirectory(tif.get())) break;
    if (!TIFFReadDirectory(tif.get())) {
      return "has a directory after page " + std::to_string(pages) +
             " that cannot be read: the file is cut short or damaged";
    }
  } while (true);
  if (compressed && needed > fileSize * kMaxExpansion) {
    return "claims " + std::to_string(needed) + " bytes of pixels, more than its " + std::to_string(fileSize) +
           " compressed bytes can hold";
  }
  return {};
}

}  // namespace voluna
