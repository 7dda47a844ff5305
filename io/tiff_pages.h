// Voluna's check of a TIFF file's pages before ITK's reader allocates a
// volume for them: ITK takes every page to be the size of the first.
#pragma once

#include <cstdint>
#include <string>

namespace voluna {

// Empty when every page is a single-sample image of the first page's size
// and bit width, the voxels fit Voluna's limit, and the file holds the bytes
// they need; else what is wrong, without the file name.
std::string checkTiffPages(const std::string& path, int64_t fileSize);

}  // namespace voluna
