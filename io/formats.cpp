#include "formats.h"

#include <itkMetaImageIO.h>
#include <itkNrrdImageIO.h>
#include <itkTIFFImageIO.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

#include "dicom_series.h"
#include "file_checks.h"
#include "itk_reading.h"
#include "metaimage_header.h"
#include "nifti_file.h"
#include "nrrd_header.h"
#include "tiff_pages.h"
#include "volume_io.h"

namespace voluna {

namespace fs = std::filesystem;

namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// --- MetaImage ------------------------------------------------------------

std::string checkMetaImage(const std::string& path) { return checkMetaImageFile(path).error; }

// ITK's reading of the header must be what ours found sound.
std::string readMetaImage(const std::string& path, Volume& volume) {
  const CheckedMetaImage checked = checkMetaImageFile(path);
  if (!checked.ok()) return checked.error;
  const MetaImageHeader& header = checked.header;
  const std::string problem = readWithItk(itk::MetaImageIO::New(), path, volume);
  if (!problem.empty()) return problem;
  if (volume.dims.x != header.dims.x || volume.dims.y != header.dims.y || volume.dims.z != header.dims.z ||
      volume.type != header.type) {
    const std::string read = std::string(scalarName(volume.type)) + ", " + std::to_string(volume.dims.x) + " x " +
                             std::to_string(volume.dims.y) + " x " + std::to_string(volume.dims.z);
    volume = Volume{};
    return "was read as " + read + " voxels, not as its header says (" + scalarInfo(header.type).metaImage + ", " +
           std::to_string(header.dims.x) + " x " + std::to_string(header.dims.y) + " x " +
           std::to_string(header.dims.z) + ")";
  }
  return {};
}

// The raw voxels and a MetaImage header naming them, data first so that the
// header never names data that is not there yet.
std::string writeRawWithHeader(const std::string& rawPath, const std::string& headerPath, const Volume& volume) {
  std::string error = writeFileAtomically(rawPath, volume.data.data(), volume.data.size());
  if (!error.empty()) return error;
  const std::string text = rawHeaderText(rawPath, volume);
  return writeFileAtomically(headerPath, text.data(), text.size());
}

std::string writeMetaImage(const std::string& path, OutputFormat output, const Volume& volume) {
  if (output == OutputFormat::MetaImage) {
    auto io = itk::MetaImageIO::New();
    io->SetUseCompression(false);
    return writeWithItk(io, path, ".mha", volume);
  }
  return writeRawWithHeader(fs::path(path).replace_extension(".raw").string(), path, volume);
}

// .raw, and any other name: the bare voxels, as results always were.
std::string writeRaw(const std::string& path, OutputFormat, const Volume& volume) {
  return writeRawWithHeader(path, headerPathFor(path), volume);
}

// --- NIfTI ----------------------------------------------------------------

bool niftiMagic(std::string_view start) {
  if (start.size() < 4) return false;
  int32_t size = 0;
  std::memcpy(&size, start.data(), 4);
  return size == 348 || size == 0x5c010000 || size == 540 || size == 0x1c020000;
}

std::string writeNiftiFile(const std::string& path, OutputFormat output, const Volume& volume) {
  return writeNifti(path, output == OutputFormat::NiftiGzip, volume);
}

// --- NRRD -----------------------------------------------------------------

bool nrrdMagic(std::string_view start) { return start.substr(0, 7) == "NRRD000"; }

std::string checkNrrd(const std::string& path) { return checkNrrdFile(path).error; }

std::string readNrrd(const std::string& path, Volume& volume) {
  return readWithItk(itk::NrrdImageIO::New(), path, volume);
}

std::string writeNrrd(const std::string& path, OutputFormat, const Volume& volume) {
  return writeWithItk(itk::NrrdImageIO::New(), path, ".nrrd", volume);
}

// --- TIFF -----------------------------------------------------------------

bool tiffMagic(std::string_view start) {
  return start.substr(0, 3) == "II*" || start.substr(0, 4) == std::string_view("MM\0*", 4);
}

std::string checkTiff(const std::string& path) {
  std::error_code ec;
  const auto size = static_cast<int64_t>(fs::file_size(path, ec));
  if (ec) return "cannot be opened (" + ec.message() + ")";
  if (size == 0) return "is empty";
  return checkTiffPages(path, size);
}

std::string readTiff(const std::string& path, Volume& volume) {
  return readWithItk(itk::TIFFImageIO::New(), path, volume);
}

std::string writeTiff(const std::string& path, OutputFormat, const Volume& volume) {
  const ScalarType t = volume.type;
  if (t != ScalarType::UInt8 && t != ScalarType::Int8 && t != ScalarType::UInt16 && t != ScalarType::Int16 &&
      t != ScalarType::Float32) {
    return path + ": cannot be written as TIFF with " + scalarName(t) +
           " voxels; TIFF takes uint8, int8, uint16, int16 and float32 (use --output-type float32, or NIfTI)";
  }
  return writeWithItk(itk::TIFFImageIO::New(), path, ".tif", volume);
}

// --- DICOM ----------------------------------------------------------------

bool dicomMagic(std::string_view start) { return start.size() >= 132 && start.substr(128, 4) == "DICM"; }

std::string readDicom(const std::string& path, Volume& volume) {
  const DicomSeries series = findDicomSeries(path);
  if (!series.ok()) return series.error;
  return readDicomSeries(series, volume);
}

// ---------------------------------------------------------------------------

using O = OutputFormat;

const std::vector<Format> kFormats{
    {FormatId::Nifti, "NIfTI", {{".nii.gz", O::NiftiGzip}, {".nii", O::Nifti, true}}, niftiMagic, checkNifti,
     readNifti, writeNiftiFile, "", true, true},
    {FormatId::Nrrd, "NRRD", {{".nrrd", O::Nrrd, true}, {".nhdr", std::nullopt}}, nrrdMagic, checkNrrd, readNrrd,
     writeNrrd, "Voluna writes NRRD as a single file with its voxels: name the result .nrrd", true, false},
    {FormatId::MetaImage, "MetaImage", {{".mha", O::MetaImage}, {".mhd", O::MetaImageHeader, true}}, nullptr,
     checkMetaImage, readMetaImage, writeMetaImage, "", true, false},
    {FormatId::Tiff, "TIFF", {{".tif", O::Tiff}, {".tiff", O::Tiff}}, tiffMagic, checkTiff, readTiff, writeTiff, "",
     false, false},
    {FormatId::Dicom, "DICOM", {{".dcm", std::nullopt}, {".ima", std::nullopt}}, dicomMagic, nullptr, readDicom,
     nullptr,
     "Voluna does not write DICOM (a series needs the scanner's patient and study data); write NIfTI (.nii or "
     ".nii.gz) instead, which keeps the type, spacing, origin and orientation",
     false, false},
    {FormatId::Raw, "raw voxels", {{".raw", O::Raw, true}}, nullptr, nullptr, nullptr, writeRaw, "", false, false},
};

}  // namespace

const std::vector<Format>& formats() { return kFormats; }

const Format& formatOf(FormatId id) {
  return *std::find_if(kFormats.begin(), kFormats.end(), [&](const Format& f) { return f.id == id; });
}

const Format* formatOfName(const std::string& path, const FormatExtension** extension) {
  const std::string name = lowerCase(fs::path(path).filename().string());
  // Longest first: ".nii.gz" before ".gz" were there one.
  const Format* found = nullptr;
  const FormatExtension* which = nullptr;
  for (const Format& format : kFormats) {
    for (const FormatExtension& e : format.extensions) {
      if (endsWith(name, e.suffix) && (!which || std::strlen(e.suffix) > std::strlen(which->suffix))) {
        found = &format;
        which = &e;
      }
    }
  }
  if (extension) *extension = which;
  return found;
}

const Format* formatOfContent(std::string_view start) {
  for (const Format& format : kFormats) {
    if (format.hasMagic && format.hasMagic(start)) return &format;
  }
  return nullptr;
}

const Format& formatWriting(OutputFormat output) {
  for (const Format& format : kFormats) {
    for (const FormatExtension& e : format.extensions) {
      if (e.output == output) return format;
    }
  }
  return formatOf(FormatId::Raw);
}

bool isVolumeFileName(const std::string& path) {
  const Format* format = formatOfName(path);
  if (format) return format->read != nullptr;
  const std::string name = fs::path(path).filename().string();
  const size_t dot = name.rfind('.');
  std::error_code ec;
  return (dot == std::string::npos || dot + 1 == name.size()) && fs::is_regular_file(path, ec);
}

}  // namespace voluna
