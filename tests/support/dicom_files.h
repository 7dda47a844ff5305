// DICOM files made with ITK's own writer (GDCM underneath): one slice a file
// with the tags a series needs, and the bytes of hand-made ones.
#pragma once

#include <itkGDCMImageIO.h>
#include <itkImageIORegion.h>
#include <itkMetaDataObject.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace voluna::test_support {

// A slice of `width` x `height` int16 pixels, marker + i at pixel i, at
// height z of the series `seriesUid` (0.5 x 0.75 mm pixels).
inline void writeDicomSlice(const std::string& file, const std::string& seriesUid, int instance, double z, int width,
                            int height, int16_t marker, const std::string& description = "",
                            const std::vector<std::pair<std::string, std::string>>& moreTags = {}) {
  auto io = itk::GDCMImageIO::New();
  io->KeepOriginalUIDOn();
  itk::MetaDataDictionary& tags = io->GetMetaDataDictionary();
  itk::EncapsulateMetaData<std::string>(tags, "0020|000e", seriesUid);
  itk::EncapsulateMetaData<std::string>(tags, "0020|000d", "1.2.826.0.1.3680043.2.1125.7");
  itk::EncapsulateMetaData<std::string>(tags, "0008|0018", seriesUid + "." + std::to_string(instance));
  itk::EncapsulateMetaData<std::string>(tags, "0020|0013", std::to_string(instance));
  itk::EncapsulateMetaData<std::string>(tags, "0008|0060", "CT");
  if (!description.empty()) itk::EncapsulateMetaData<std::string>(tags, "0008|103e", description);
  for (const auto& [tag, value] : moreTags) itk::EncapsulateMetaData<std::string>(tags, tag, value);
  io->SetNumberOfDimensions(3);
  io->SetPixelType(itk::IOPixelEnum::SCALAR);
  io->SetComponentType(itk::IOComponentEnum::SHORT);
  io->SetNumberOfComponents(1);
  const unsigned size[3] = {static_cast<unsigned>(width), static_cast<unsigned>(height), 1};
  const double origin[3] = {-20.0, 10.0, z};
  itk::ImageIORegion region(3);
  for (unsigned axis = 0; axis < 3; ++axis) {
    io->SetDimensions(axis, size[axis]);
    io->SetSpacing(axis, axis == 2 ? 1.0 : 0.5 + 0.25 * axis);
    io->SetOrigin(axis, origin[axis]);
    std::vector<double> direction(3, 0.0);
    direction[axis] = 1.0;
    io->SetDirection(axis, direction);
    region.SetSize(axis, size[axis]);
  }
  io->SetIORegion(region);
  io->SetFileName(file);
  std::vector<int16_t> pixels(static_cast<size_t>(width * height));
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<int16_t>(marker + static_cast<int>(i));
  io->WriteImageInformation();
  io->Write(pixels.data());
}

// 50 bytes without a preamble that Debian's GDCM aborts on: an element
// (0000,0000) of length 4 sends its reader into a second look at the start,
// which finds an explicit file meta group and fails an assertion.
inline std::string gdcmAbortingBytes() {
  const std::string syntax("1.2.840.10008.1.2.1\0", 20);
  std::string bytes(12, '\0');
  bytes[4] = 4;
  bytes += std::string("\x02\x00\x10\x00UI\x14\x00", 8) + syntax;
  bytes += std::string("\x08\x00\x60\x00" "CS\x02\x00" "CT", 10);
  return bytes;
}

}  // namespace voluna::test_support
