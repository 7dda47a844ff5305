#include "dicom_series.h"

#include <gdcmDirectory.h>
#include <gdcmScanner.h>
#include <gdcmTag.h>
#include <itkGDCMImageIO.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "dims.h"
#include "itk_reading.h"

namespace voluna {

namespace fs = std::filesystem;

namespace {

const gdcm::Tag kSeriesUid(0x0020, 0x000e);
const gdcm::Tag kPosition(0x0020, 0x0032);
const gdcm::Tag kOrientation(0x0020, 0x0037);
const gdcm::Tag kRows(0x0028, 0x0010);
const gdcm::Tag kColumns(0x0028, 0x0011);
const gdcm::Tag kSamples(0x0028, 0x0002);
const gdcm::Tag kFrames(0x0028, 0x0008);
const gdcm::Tag kBitsAllocated(0x0028, 0x0100);
const gdcm::Tag kTransferSyntax(0x0002, 0x0010);

// Transfer syntaxes whose pixel data is stored as it is.
bool uncompressed(const std::string& syntax) {
  return syntax.empty() || syntax == "1.2.840.10008.1.2" || syntax == "1.2.840.10008.1.2.1" ||
         syntax == "1.2.840.10008.1.2.2";
}

std::string trimmed(const char* value) {
  std::string text = value ? value : "";
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  return text;
}

// "a\b\c" into numbers; false unless exactly `count` finite ones.
bool numbers(const char* value, int count, double* out) {
  const std::string text = trimmed(value);
  std::stringstream in(text);
  std::string item;
  int n = 0;
  while (std::getline(in, item, '\\')) {
    if (n == count) return false;
    char* end = nullptr;
    out[n] = std::strtod(item.c_str(), &end);
    if (end == item.c_str() || !std::isfinite(out[n])) return false;
    ++n;
  }
  return n == count;
}

}  // namespace

DicomSeries findDicomSeries(const std::string& path) {
  DicomSeries series;
  auto fail = [&](std::string why) {
    series.error = std::move(why);
    series.files.clear();
    return series;
  };
  const fs::path folder = fs::path(path).has_parent_path() ? fs::path(path).parent_path() : fs::path(".");
  gdcm::Directory directory;
  directory.Load(folder.string(), false);
  gdcm::Scanner scanner;
  for (const gdcm::Tag& tag :
       {kSeriesUid, kPosition, kOrientation, kRows, kColumns, kSamples, kFrames, kBitsAllocated, kTransferSyntax}) {
    scanner.AddTag(tag);
  }
  if (!scanner.Scan(directory.GetFilenames())) return fail("could not be scanned as DICOM");
  // The scanner names files as the directory listing does.
  std::string self;
  for (const std::string& file : directory.GetFilenames()) {
    std::error_code ec;
    if (fs::equivalent(file, path, ec)) self = file;
  }
  if (self.empty() || !scanner.IsKey(self.c_str())) return fail("is not a DICOM file that this reader understands");
  const std::string uid = trimmed(scanner.GetValue(self.c_str(), kSeriesUid));
  if (uid.empty()) return fail("is a DICOM file without a series (no Series Instance UID)");

  const std::string selfFrames = trimmed(scanner.GetValue(self.c_str(), kFrames));
  const bool multiFrame = !selfFrames.empty() && std::atoi(selfFrames.c_str()) > 1;

  struct Slice {
    std::string file;
    double position[3];
    double orientation[6];
    double along;
  };
  std::vector<Slice> slices;
  std::string rows, columns;
  for (const std::string& file : scanner.GetKeys()) {
    if (trimmed(scanner.GetValue(file.c_str(), kSeriesUid)) != uid) continue;
    const std::string samples = trimmed(scanner.GetValue(file.c_str(), kSamples));
    if (!samples.empty() && samples != "1") {
      return fail("belongs to a series of colour images (" + samples + " samples per pixel in " + file +
                  "); Voluna reads one value per voxel");
    }
    const std::string frames = trimmed(scanner.GetValue(file.c_str(), kFrames));
    const std::string r = trimmed(scanner.GetValue(file.c_str(), kRows));
    const std::string c = trimmed(scanner.GetValue(file.c_str(), kColumns));
    if (slices.empty()) {
      rows = r;
      columns = c;
    } else if (r != rows || c != columns) {
      return fail("belongs to a series whose slices differ in size: " + columns + " x " + rows + " in " +
                  slices.front().file + " but " + c + " x " + r + " in " + file);
    }
    // The reader allocates what Rows and Columns claim: uncompressed pixels
    // must be in the file before it may.
    const int64_t width = std::atoll(c.c_str()), height = std::atoll(r.c_str());
    const int64_t bits = std::max<int64_t>(8, std::atoll(trimmed(scanner.GetValue(file.c_str(), kBitsAllocated)).c_str()));
    const int64_t frameCount = std::max<int64_t>(1, std::atoll(frames.c_str()));
    if (width < 1 || height < 1 || width > kMaxVoxels || height > kMaxVoxels || width * height > kMaxVoxels ||
        width * height * frameCount > kMaxVoxels) {
      return fail("belongs to a series with slices of " + c + " x " + r + " pixels (" + file +
                  "); a volume holds at least 1 and at most 2^31 - 1 voxels");
    }
    std::error_code ec;
    const auto fileSize = static_cast<int64_t>(fs::file_size(file, ec));
    const int64_t pixelBytes = width * height * frameCount * ((bits + 7) / 8);
    if (!ec && uncompressed(trimmed(scanner.GetValue(file.c_str(), kTransferSyntax))) && pixelBytes > fileSize) {
      return fail("belongs to a series in which " + file + " claims " + c + " x " + r + " pixels (" +
                  std::to_string(pixelBytes) + " bytes) but holds only " + std::to_string(fileSize) + " bytes");
    }
    Slice slice{file, {0, 0, 0}, {1, 0, 0, 0, 1, 0}, 0};
    if (!numbers(scanner.GetValue(file.c_str(), kPosition), 3, slice.position) ||
        !numbers(scanner.GetValue(file.c_str(), kOrientation), 6, slice.orientation)) {
      slice.position[0] = std::nan("");
    }
    if (multiFrame || (!frames.empty() && std::atoi(frames.c_str()) > 1)) {
      // A file of several frames is a volume of its own.
      if (!multiFrame) return fail("belongs to a series with multi-frame files, which Voluna reads one file at a time");
      if (file != self) continue;
    }
    slices.push_back(slice);
  }
  if (slices.empty()) return fail("could not be found in its own folder's DICOM listing");

  if (slices.size() > 1) {
    for (const Slice& s : slices) {
      if (std::isnan(s.position[0])) {
        return fail("belongs to a series of " + std::to_string(slices.size()) + " slices, and " + s.file +
                    " has no position or orientation (Image Position/Orientation Patient): their order is unknown");
      }
    }
    const double* o = slices.front().orientation;
    for (const Slice& s : slices) {
      for (int i = 0; i < 6; ++i) {
        if (std::fabs(s.orientation[i] - o[i]) > 1e-4) {
          return fail("belongs to a series whose slices have different orientations (" + slices.front().file +
                      " and " + s.file + ")");
        }
      }
    }
  }
  const double* o = slices.front().orientation;
  const double normal[3] = {o[1] * o[5] - o[2] * o[4], o[2] * o[3] - o[0] * o[5], o[0] * o[4] - o[1] * o[3]};
  for (Slice& s : slices) {
    s.along = std::isnan(s.position[0]) ? 0.0
                                        : s.position[0] * normal[0] + s.position[1] * normal[1] + s.position[2] * normal[2];
  }
  std::stable_sort(slices.begin(), slices.end(), [](const Slice& a, const Slice& b) { return a.along < b.along; });

  double step = 1.0;
  if (slices.size() > 1) {
    std::vector<double> gaps;
    for (size_t i = 1; i < slices.size(); ++i) gaps.push_back(slices[i].along - slices[i - 1].along);
    std::vector<double> sorted = gaps;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    step = sorted[sorted.size() / 2];
    for (size_t i = 0; i < gaps.size(); ++i) {
      if (gaps[i] < 1e-6) {
        return fail("belongs to a series with two slices at one position (" + slices[i].file + " and " +
                    slices[i + 1].file + ")");
      }
    }
    if (step < 1e-6) return fail("belongs to a series whose slices mostly share a position");
    for (size_t i = 0; i < gaps.size(); ++i) {
      if (std::fabs(gaps[i] - step) > std::max(1e-3, 0.01 * step)) {
        std::ostringstream text;
        text << "belongs to a series with a gap: " << slices[i].file << " and " << slices[i + 1].file << " are "
             << gaps[i] << " apart where its slices are " << step
             << " apart; a slice is missing (or the series mixes spacings)";
        return fail(text.str());
      }
    }
  }
  if (static_cast<int64_t>(slices.size()) > kMaxVoxels) return fail("belongs to a series of too many slices");

  for (const Slice& s : slices) series.files.push_back(s.file);
  Geometry& g = series.geometry;
  if (!std::isnan(slices.front().position[0])) {
    for (int i = 0; i < 3; ++i) g.origin[i] = slices.front().position[i];
    for (int r = 0; r < 3; ++r) {
      g.direction[r * 3 + 0] = o[r];
      g.direction[r * 3 + 1] = o[3 + r];
      g.direction[r * 3 + 2] = normal[r];
    }
  }
  g.spacing[2] = step;
  return series;
}

std::string readDicomSeries(const DicomSeries& series, Volume& volume) {
  volume = Volume{};
  for (size_t i = 0; i < series.files.size(); ++i) {
    auto io = itk::GDCMImageIO::New();
    Volume slice;
    const std::string problem = readWithItk(io, series.files[i], slice);
    if (!problem.empty()) return series.files[i] + " " + problem;
    if (series.files.size() == 1) {
      volume = std::move(slice);
      if (volume.dims.z == 1) volume.geometry.spacing[2] = series.geometry.spacing[2];
      return {};
    }
    if (slice.dims.z != 1) return series.files[i] + " holds several frames; Voluna reads such files one at a time";
    if (i == 0) {
      volume.dims = Dims{slice.dims.x, slice.dims.y, static_cast<int>(series.files.size())};
      if (volume.dims.count() > kMaxVoxels) return "the series holds more than the 2^31 - 1 voxels Voluna can hold";
      volume.type = slice.type;
      volume.geometry = series.geometry;
      volume.geometry.spacing[0] = slice.geometry.spacing[0];
      volume.geometry.spacing[1] = slice.geometry.spacing[1];
      volume.data.resize(static_cast<size_t>(volume.dims.count()) * scalarSize(volume.type));
    } else if (slice.dims.x != volume.dims.x || slice.dims.y != volume.dims.y || slice.type != volume.type) {
      return "the series' slices differ: " + series.files[i] + " holds " + std::to_string(slice.dims.x) + " x " +
             std::to_string(slice.dims.y) + " " + scalarName(slice.type) + " voxels, the first slice " +
             std::to_string(volume.dims.x) + " x " + std::to_string(volume.dims.y) + " " + scalarName(volume.type);
    }
    std::memcpy(volume.data.data() + i * slice.data.size(), slice.data.data(), slice.data.size());
  }
  return {};
}

}  // namespace voluna
