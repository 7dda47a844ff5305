// ImageJ's TIFF stacks, the everyday format of microscopy: their spacing and
// unit live in the first page's description ("ImageJ=...", "spacing=",
// "unit=") and its resolution tags. A TIFF without that description is read
// as any other.
#pragma once

#include <cstdint>
#include <string>

#include "volume.h"

namespace voluna {

struct ImageJStack {
  bool present = false;  // the first page's description starts with "ImageJ="
  int64_t pages = 0;     // directories in the file
  int64_t images = 0, channels = 1, slices = 0, frames = 1;
  double spacing = 0;  // between slices; 0 when not given
  std::string unit;    // as written ("micron", "um", "\u00B5m", "pixel", ...)
  double resolution[2] = {0, 0};  // XResolution, YResolution: pixels per unit
  int resolutionUnit = 1;         // 1 none, 2 inch, 3 centimetre
};

// Reads the description and tags of `path`'s first page (libtiff only).
ImageJStack readImageJStack(const std::string& path);

// "" when Voluna reads the stack as one volume, else why not: several
// channels or time points, or images past the first page (ImageJ's layout
// for stacks over 4 GB).
std::string checkImageJStack(const ImageJStack& stack);

// The stack's spacing and unit in `geometry`: x and y from the resolution
// tags, z from spacing=, in the unit of unit= (or of the resolution unit).
void applyImageJGeometry(const ImageJStack& stack, Geometry& geometry);

// The bytes of `volume` as an ImageJ stack: one page a slice, ImageJ's
// description with its spacing and unit, and the resolution tags. uint8,
// int8, uint16, int16 and float32 voxels. "" or what is wrong.
std::string imageJTiffBytes(const Volume& volume, std::string& bytes);

}  // namespace voluna
