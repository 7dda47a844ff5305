#include "dicom_series.h"

#include <gdcmCommand.h>
#include <gdcmFileNameEvent.h>
#include <gdcmIPPSorter.h>
#include <gdcmScanner.h>
#include <gdcmTag.h>
#include <gdcmTrace.h>
#include <itkGDCMImageIO.h>
#include <itkObject.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "child_process.h"
#include "dicom_framing.h"
#include "dicomdir.h"
#include "dims.h"
#include "itk_reading.h"

namespace voluna {

namespace fs = std::filesystem;

namespace {

// A folder given whole is searched with its subfolders, up to this many
// files: enough for a CD, and a bound on a home folder chosen by mistake.
constexpr size_t kMaxFolderFiles = 20000;
// Skipped files a notice names one by one.
constexpr size_t kNamedSkips = 3;

// What a scan keeps of each file, in this order.
enum Field { kUid, kModality, kDescription, kNumber, kPosition, kOrientation, kRows, kColumns, kSamples, kFrames,
             kBits, kSyntax, kFieldCount };
const gdcm::Tag kFieldTags[kFieldCount] = {
    gdcm::Tag(0x0020, 0x000e), gdcm::Tag(0x0008, 0x0060), gdcm::Tag(0x0008, 0x103e), gdcm::Tag(0x0020, 0x0011),
    gdcm::Tag(0x0020, 0x0032), gdcm::Tag(0x0020, 0x0037), gdcm::Tag(0x0028, 0x0010), gdcm::Tag(0x0028, 0x0011),
    gdcm::Tag(0x0028, 0x0002), gdcm::Tag(0x0028, 0x0008), gdcm::Tag(0x0028, 0x0100), gdcm::Tag(0x0002, 0x0010)};

struct FileRecord {
  std::string file;
  std::string value[kFieldCount];
  const std::string& operator[](Field field) const { return value[field]; }
  bool image() const { return !value[kRows].empty() && !value[kColumns].empty(); }
  int64_t frames() const { return std::max<int64_t>(1, std::atoll(value[kFrames].c_str())); }
};

struct Skipped {
  std::string file;
  std::string why;
};

struct ScanResult {
  std::vector<FileRecord> records;  // files GDCM read
  std::vector<Skipped> skipped;     // files that looked like DICOM and could not be read
};

std::string trimmed(const std::string& value) {
  std::string text = value;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  return text;
}

// "a\b\c" into numbers; false unless exactly `count` finite ones.
bool numbers(const std::string& value, int count, double* out) {
  std::stringstream in(trimmed(value));
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

// Transfer syntaxes whose pixel data is stored as it is.
bool uncompressed(const std::string& syntax) {
  return syntax.empty() || syntax == "1.2.840.10008.1.2" || syntax == "1.2.840.10008.1.2.1" ||
         syntax == "1.2.840.10008.1.2.2";
}

// In the child: GDCM and ITK would print their complaints; the parent's
// message says what matters.
void quietLibraries() {
  gdcm::Trace::WarningOff();
  gdcm::Trace::ErrorOff();
  gdcm::Trace::DebugOff();
  itk::Object::GlobalWarningDisplayOff();
}

// Tells the parent about each file as soon as the scanner is done with it.
class FileDone : public gdcm::Command {
 public:
  std::function<void(const char*)> done;
  void Execute(gdcm::Subject*, const gdcm::Event& event) override {
    if (const auto* named = dynamic_cast<const gdcm::FileNameEvent*>(&event)) done(named->GetFileName());
  }
  void Execute(const gdcm::Subject*, const gdcm::Event&) override {}
};

void scanInChild(const std::vector<std::string>& files, ChildChannel& channel) {
  quietLibraries();
  std::vector<std::string> toScan;
  std::vector<size_t> indexOf;
  std::vector<bool> prefixed;
  for (size_t i = 0; i < files.size(); ++i) {
    const DicomFraming framing = checkDicomFraming(files[i]);
    if (framing.broken()) {
      channel.note(packFields({"B", std::to_string(i), framing.problem}));
    } else if (framing.isDicomdir()) {
      channel.note(packFields({"D", std::to_string(i)}));
    } else {
      toScan.push_back(files[i]);
      indexOf.push_back(i);
      prefixed.push_back(framing.dicomPrefix);
    }
  }
  gdcm::Scanner scanner;
  for (const gdcm::Tag& tag : kFieldTags) scanner.AddTag(tag);
  size_t next = 0;
  gdcm::SmartPointer<FileDone> observer = new FileDone;
  observer->done = [&](const char* name) {
    if (next >= toScan.size()) return;
    const std::string index = std::to_string(indexOf[next]);
    if (scanner.IsKey(name)) {
      std::vector<std::string> fields = {"R", index};
      for (const gdcm::Tag& tag : kFieldTags) {
        const char* value = scanner.GetValue(name, tag);
        fields.push_back(trimmed(value ? value : ""));
      }
      channel.note(packFields(fields));
    } else {
      channel.note(packFields({"U", index, prefixed[next] ? "1" : "0"}));
    }
    ++next;
  };
  scanner.AddObserver(gdcm::FileNameEvent(), observer);
  scanner.Scan(toScan);
}

// Scans `files` with GDCM's scanner in a child; a file that takes the
// scanner down is skipped and the scan goes on after it in a new child.
ScanResult scanFiles(const std::vector<std::string>& files) {
  ScanResult result;
  size_t next = 0;
  while (next < files.size()) {
    const std::vector<std::string> batch(files.begin() + static_cast<std::ptrdiff_t>(next), files.end());
    std::vector<char> accounted(batch.size(), 0);
    // What this child found, by the index of its file in the batch.
    std::vector<std::pair<size_t, FileRecord>> records;
    std::vector<std::pair<size_t, Skipped>> skipped;
    const OnNote onNote = [&](const std::string& note) -> std::string {
      std::vector<std::string> fields;
      if (!unpackFields(note, fields) || fields.size() < 2) return "could not be read: its reader sent what it should not";
      const size_t i = std::strtoull(fields[1].c_str(), nullptr, 10);
      if (i >= batch.size()) return "could not be read: its reader sent what it should not";
      accounted[i] = 1;
      if (fields[0] == "B" && fields.size() == 3) {
        skipped.push_back({i, {batch[i], fields[2]}});
      } else if (fields[0] == "U" && fields.size() == 3 && fields[2] == "1") {
        skipped.push_back({i, {batch[i], "could not be read as DICOM"}});
      } else if (fields[0] == "R" && fields.size() == 2 + kFieldCount) {
        FileRecord record;
        record.file = batch[i];
        for (int f = 0; f < kFieldCount; ++f) record.value[f] = fields[2 + f];
        records.push_back({i, std::move(record)});
      }
      return {};
    };
    const ChildOutcome outcome = runInChild([&](ChildChannel& channel) { scanInChild(batch, channel); }, ChildLimits{},
                                            onNote);
    // The scanner goes through the files in order: the first one it did not
    // finish took it down. What came after is scanned again by the next child.
    const size_t culprit = outcome.finished ? batch.size()
                                            : static_cast<size_t>(std::find(accounted.begin(), accounted.end(), 0) -
                                                                  accounted.begin());
    for (auto& [i, record] : records) {
      if (i < culprit) result.records.push_back(std::move(record));
    }
    for (auto& [i, skip] : skipped) {
      if (i < culprit) result.skipped.push_back(std::move(skip));
    }
    if (culprit >= batch.size()) break;
    result.skipped.push_back({batch[culprit], outcome.failure});
    next += culprit + 1;
  }
  return result;
}

std::vector<std::string> sortedFiles(std::vector<std::string> files) {
  std::sort(files.begin(), files.end());
  return files;
}

// The regular files of a folder; with `deep`, of its subfolders too
// (symbolic links to folders are not followed, so no cycle can hold a scan).
std::string folderFiles(const fs::path& folder, bool deep, std::vector<std::string>& files) {
  std::error_code ec;
  auto add = [&](const fs::directory_entry& entry) {
    std::error_code status;
    if (entry.is_regular_file(status)) files.push_back(entry.path().string());
    return !deep || files.size() <= kMaxFolderFiles;
  };
  if (deep) {
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      if (!add(*it)) break;
    }
  } else {
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      if (!add(*it)) break;
    }
  }
  if (ec) return "cannot be listed (" + ec.message() + ")";
  if (deep && files.size() > kMaxFolderFiles) {
    return "holds more than " + std::to_string(kMaxFolderFiles) +
           " files; choose the folder of one series, or the DICOMDIR of the disc";
  }
  files = sortedFiles(std::move(files));
  return {};
}

std::string skippedNotice(const std::vector<Skipped>& skipped) {
  if (skipped.empty()) return {};
  std::string text = "skipped " + std::to_string(skipped.size()) + (skipped.size() == 1 ? " file" : " files") +
                     " that could not be read: ";
  for (size_t i = 0; i < skipped.size() && i < kNamedSkips; ++i) {
    if (i) text += "; ";
    text += skipped[i].file + " " + skipped[i].why;
  }
  if (skipped.size() > kNamedSkips) text += "; and " + std::to_string(skipped.size() - kNamedSkips) + " more";
  return text;
}

SeriesInfo& seriesFor(std::vector<SeriesInfo>& series, const std::string& uid) {
  for (SeriesInfo& s : series) {
    if (s.uid == uid) return s;
  }
  series.emplace_back();
  series.back().uid = uid;
  return series.back();
}

void addImage(SeriesInfo& series, const FileRecord& record) {
  if (series.images == 0) {
    series.width = std::atoi(record[kColumns].c_str());
    series.height = std::atoi(record[kRows].c_str());
  }
  if (series.modality.empty()) series.modality = record[kModality];
  if (series.description.empty()) series.description = record[kDescription];
  if (series.number.empty()) series.number = record[kNumber];
  ++series.images;
  series.depth += static_cast<int>(std::min<int64_t>(record.frames(), kMaxVoxels));
  series.files.push_back(record.file);
}

struct Collection {
  SeriesListing listing;
  std::map<std::string, FileRecord> records;  // by file
};

Collection collectFromFolder(const fs::path& folder) {
  Collection collection;
  std::vector<std::string> files;
  const std::string problem = folderFiles(folder, true, files);
  if (!problem.empty()) {
    collection.listing.error = problem;
    return collection;
  }
  ScanResult scan = scanFiles(files);
  for (const FileRecord& record : scan.records) {
    if (!record.image()) continue;
    if (record[kUid].empty()) {
      scan.skipped.push_back({record.file, "is an image without a Series Instance UID"});
      continue;
    }
    addImage(seriesFor(collection.listing.series, record[kUid]), record);
    collection.records[record.file] = record;
  }
  if (!scan.skipped.empty()) collection.listing.notices.push_back(skippedNotice(scan.skipped));
  return collection;
}

Collection collectFromDicomdir(const std::string& path) {
  Collection collection;
  const DirectoryIndex index = readDirectoryIndex(path);
  if (!index.error.empty()) {
    collection.listing.error = index.error;
    return collection;
  }
  std::vector<std::string> present;
  for (const DirectoryIndex::Series& s : index.series) {
    for (const std::string& file : s.files) {
      if (!file.empty()) present.push_back(file);
    }
  }
  const ScanResult scan = scanFiles(present);
  std::map<std::string, const FileRecord*> byFile;
  for (const FileRecord& record : scan.records) byFile[record.file] = &record;
  std::vector<SeriesInfo>& series = collection.listing.series;
  // The index's series first, in its order; a file whose own Series
  // Instance UID says otherwise joins that series (an index written out of
  // order is still read right).
  for (const DirectoryIndex::Series& s : index.series) {
    if (s.uid.empty()) continue;
    SeriesInfo& info = seriesFor(series, s.uid);
    info.modality = s.modality;
    info.description = s.description;
    info.number = s.number;
  }
  for (const DirectoryIndex::Series& s : index.series) {
    for (const std::string& file : s.files) {
      if (file.empty()) {
        if (!s.uid.empty()) ++seriesFor(series, s.uid).missing;
        continue;
      }
      const auto found = byFile.find(file);
      if (found == byFile.end() || !found->second->image() || (*found->second)[kUid].empty()) {
        if (!s.uid.empty()) ++seriesFor(series, s.uid).unreadable;
        continue;
      }
      const FileRecord& record = *found->second;
      addImage(seriesFor(series, record[kUid]), record);
      collection.records[record.file] = record;
    }
  }
  collection.listing.notices = index.notices;
  if (!scan.skipped.empty()) collection.listing.notices.push_back(skippedNotice(scan.skipped));
  return collection;
}

Collection collect(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    // A disc's DICOMDIR knows its series better than a walk over its files.
    std::vector<std::string> top;
    folderFiles(path, false, top);
    for (const std::string& file : top) {
      std::string name = fs::path(file).filename().string();
      for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (name != "DICOMDIR" || !checkDicomFraming(file).isDicomdir()) continue;
      Collection indexed = collectFromDicomdir(file);
      if (indexed.listing.ok()) return indexed;
      // A damaged index must not hide the files beside it.
      Collection scanned = collectFromFolder(path);
      scanned.listing.notices.insert(scanned.listing.notices.begin(),
                                     file + " " + indexed.listing.error + "; the folder's files were scanned instead");
      return scanned;
    }
    return collectFromFolder(path);
  }
  return collectFromDicomdir(path);
}

// ---------------------------------------------------------------------------
// One series into one volume.

struct Slice {
  const FileRecord* record;
  double position[3];
  double orientation[6];
  double along = 0;
};

// The size checks, on what the scan read before any pixel is: the reader
// allocates what Rows and Columns claim.
std::string checkSizes(const std::vector<const FileRecord*>& records) {
  const std::string& rows = (*records.front())[kRows];
  const std::string& columns = (*records.front())[kColumns];
  for (const FileRecord* r : records) {
    const FileRecord& record = *r;
    const std::string& samples = record[kSamples];
    if (!samples.empty() && samples != "1") {
      return "belongs to a series of colour images (" + samples + " samples per pixel in " + record.file +
             "); Voluna reads one value per voxel";
    }
    const std::string& r2 = record[kRows];
    const std::string& c2 = record[kColumns];
    if (r2 != rows || c2 != columns) {
      return "belongs to a series whose slices differ in size: " + columns + " x " + rows + " in " +
             records.front()->file + " but " + c2 + " x " + r2 + " in " + record.file;
    }
    const int64_t width = std::atoll(c2.c_str()), height = std::atoll(r2.c_str());
    const int64_t bits = std::max<int64_t>(8, std::atoll(record[kBits].c_str()));
    const int64_t frames = record.frames();
    if (width < 1 || height < 1 || width > kMaxVoxels || height > kMaxVoxels || width * height > kMaxVoxels ||
        width * height * frames > kMaxVoxels) {
      return "belongs to a series with slices of " + c2 + " x " + r2 + " pixels (" + record.file +
             "); a volume holds at least 1 and at most 2^31 - 1 voxels";
    }
    std::error_code ec;
    const auto fileSize = static_cast<int64_t>(fs::file_size(record.file, ec));
    const int64_t pixelBytes = width * height * frames * ((bits + 7) / 8);
    if (!ec && uncompressed(record[kSyntax]) && pixelBytes > fileSize) {
      return "belongs to a series in which " + record.file + " claims " + c2 + " x " + r2 + " pixels (" +
             std::to_string(pixelBytes) + " bytes) but holds only " + std::to_string(fileSize) + " bytes";
    }
  }
  return {};
}

// GDCM's sorter, in a child. An empty order: it refused the series (or
// could not be run, which comes to the same).
std::vector<std::string> sortByPosition(const std::vector<std::string>& files) {
  std::vector<std::string> order;
  const OnNote onNote = [&](const std::string& note) -> std::string {
    order.push_back(note);
    return {};
  };
  // The sorter reads every file again and says nothing until it is done.
  ChildLimits limits;
  limits.stallSeconds += 0.05 * static_cast<double>(files.size());
  const ChildOutcome outcome = runInChild(
      [&](ChildChannel& channel) {
        quietLibraries();
        gdcm::IPPSorter sorter;
        sorter.SetComputeZSpacing(false);
        // Orientations were compared already, component by component.
        sorter.SetDirectionCosinesTolerance(1e-6);
        if (!sorter.Sort(files)) return;
        for (const std::string& file : sorter.GetFilenames()) channel.note(file);
      },
      limits, onNote);
  if (!outcome.finished) order.clear();
  return order;
}

// Orders the slices along their normal and measures the distance between
// them; refuses two slices at one position and a gap.
std::string orderSlices(std::vector<Slice>& slices, double& step) {
  step = 1.0;
  if (slices.size() < 2) return {};
  for (const Slice& s : slices) {
    if (std::isnan(s.position[0])) {
      return "belongs to a series of " + std::to_string(slices.size()) + " slices, and " + s.record->file +
             " has no position or orientation (Image Position/Orientation Patient): their order is unknown";
    }
  }
  const double* o = slices.front().orientation;
  for (const Slice& s : slices) {
    for (int i = 0; i < 6; ++i) {
      if (std::fabs(s.orientation[i] - o[i]) > 1e-4) {
        return "belongs to a series whose slices have different orientations (" + slices.front().record->file +
               " and " + s.record->file + ")";
      }
    }
  }
  const double normal[3] = {o[1] * o[5] - o[2] * o[4], o[2] * o[3] - o[0] * o[5], o[0] * o[4] - o[1] * o[3]};
  for (Slice& s : slices) s.along = s.position[0] * normal[0] + s.position[1] * normal[1] + s.position[2] * normal[2];

  std::vector<std::string> files;
  for (const Slice& s : slices) files.push_back(s.record->file);
  const std::vector<std::string> order = sortByPosition(files);
  if (order.size() == slices.size()) {
    std::map<std::string, size_t> rank;
    for (size_t i = 0; i < order.size(); ++i) rank[order[i]] = i;
    std::vector<Slice> sorted(slices.size());
    for (const Slice& s : slices) {
      const auto found = rank.find(s.record->file);
      if (found == rank.end()) return "could not be ordered by position (GDCM's sorter lost a slice)";
      sorted[found->second] = s;
    }
    slices = std::move(sorted);
  } else {
    // GDCM's sorter also refuses a gantry tilt and frames of reference that
    // disagree, which scanners write and earlier Voluna read; the position
    // along the slices' normal orders those as well.
    std::stable_sort(slices.begin(), slices.end(), [](const Slice& a, const Slice& b) { return a.along < b.along; });
  }

  std::vector<double> gaps;
  for (size_t i = 1; i < slices.size(); ++i) gaps.push_back(slices[i].along - slices[i - 1].along);
  for (size_t i = 0; i < gaps.size(); ++i) {
    if (std::fabs(gaps[i]) < 1e-6) {
      return "belongs to a series with two slices at one position (" + slices[i].record->file + " and " +
             slices[i + 1].record->file + ")";
    }
  }
  std::vector<double> sorted = gaps;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
  step = sorted[sorted.size() / 2];
  if (step < 1e-6) return "belongs to a series whose slices mostly share a position";
  for (size_t i = 0; i < gaps.size(); ++i) {
    if (std::fabs(gaps[i] - step) > std::max(1e-3, 0.01 * step)) {
      std::ostringstream text;
      text << "belongs to a series with a gap: " << slices[i].record->file << " and " << slices[i + 1].record->file
           << " are " << gaps[i] << " apart where its slices are " << step
           << " apart; a slice is missing (or the series mixes spacings)";
      return text.str();
    }
  }
  return {};
}

const ScalarType kTypes[] = {ScalarType::UInt8, ScalarType::Int8,  ScalarType::UInt16,  ScalarType::Int16,
                             ScalarType::UInt32, ScalarType::Int32, ScalarType::Float32, ScalarType::Float64};

// Reads the files, in order, through ITK's GDCM reader in a child; each
// becomes slices of `volume`. With one file, its own geometry is kept.
std::string readSlices(const std::vector<std::string>& files, const Geometry* seriesGeometry, int64_t pixelBytes,
                       Volume& volume) {
  volume = Volume{};
  size_t sliceBytes = 0;
  std::string problem;
  const OnNote onNote = [&](const std::string& note) -> std::string {
    std::vector<std::string> f;
    if (!unpackFields(note, f) || f.size() != 20) return "could not be read: its reader sent what it should not";
    const size_t i = std::strtoull(f[0].c_str(), nullptr, 10);
    const Dims dims{std::atoi(f[1].c_str()), std::atoi(f[2].c_str()), std::atoi(f[3].c_str())};
    const int typeIndex = std::atoi(f[4].c_str());
    if (i >= files.size() || typeIndex < 0 || typeIndex > 7 || dims.x < 1 || dims.y < 1 || dims.z < 1) {
      return "could not be read: its reader sent what it should not";
    }
    const ScalarType type = kTypes[typeIndex];
    if (i == 0) {
      if (files.size() > 1 && dims.z != 1) {
        return files[0] + " holds several frames; Voluna reads such files one at a time";
      }
      volume.dims = Dims{dims.x, dims.y, dims.z * static_cast<int>(files.size())};
      if (volume.dims.count() > kMaxVoxels) return "the series holds more than the 2^31 - 1 voxels Voluna can hold";
      volume.type = type;
      for (int k = 0; k < 3; ++k) {
        volume.geometry.spacing[k] = std::strtod(f[5 + k].c_str(), nullptr);
        volume.geometry.origin[k] = std::strtod(f[8 + k].c_str(), nullptr);
      }
      for (int k = 0; k < 9; ++k) volume.geometry.direction[k] = std::strtod(f[11 + k].c_str(), nullptr);
      sliceBytes = static_cast<size_t>(dims.count()) * scalarSize(type);
      volume.data.resize(sliceBytes * files.size());
    } else if (dims.x != volume.dims.x || dims.y != volume.dims.y || dims.z != 1 || type != volume.type) {
      if (dims.z != 1) return files[i] + " holds several frames; Voluna reads such files one at a time";
      return "the series' slices differ: " + files[i] + " holds " + std::to_string(dims.x) + " x " +
             std::to_string(dims.y) + " " + scalarName(type) + " voxels, the first slice " +
             std::to_string(volume.dims.x) + " x " + std::to_string(volume.dims.y) + " " + scalarName(volume.type);
    }
    return {};
  };
  const PlaceBytes place = [&](uint64_t offset, uint64_t size) -> uint8_t* {
    if (size != sliceBytes || offset % sliceBytes != 0 || offset + size > volume.data.size()) return nullptr;
    return volume.data.data() + offset;
  };
  ChildLimits limits;
  // GDCM holds a file's pixels, decoded and as stored, beside ITK's buffer.
  limits.memoryBytes += 4 * pixelBytes;
  // One file gives no sign of progress while it is decoded: a large
  // compressed one may take minutes (at 8 MiB a second, slower than any codec).
  limits.stallSeconds += static_cast<double>(pixelBytes) / (8 << 20);
  const ChildOutcome outcome = runInChild(
      [&](ChildChannel& channel) {
        quietLibraries();
        for (size_t i = 0; i < files.size(); ++i) {
          channel.mark(static_cast<int64_t>(i));
          auto io = itk::GDCMImageIO::New();
          Volume slice;
          const std::string why = readWithItk(io, files[i], slice);
          if (!why.empty()) {
            channel.fail(files[i] + " " + why);
            return;
          }
          const Geometry& g = slice.geometry;
          std::vector<std::string> fields = {std::to_string(i), std::to_string(slice.dims.x),
                                             std::to_string(slice.dims.y), std::to_string(slice.dims.z),
                                             std::to_string(std::find(std::begin(kTypes), std::end(kTypes),
                                                                      slice.type) - std::begin(kTypes))};
          char number[32];
          for (const double* values : {g.spacing, g.origin}) {
            for (int k = 0; k < 3; ++k) {
              std::snprintf(number, sizeof number, "%.17g", values[k]);
              fields.push_back(number);
            }
          }
          for (double d : g.direction) {
            std::snprintf(number, sizeof number, "%.17g", d);
            fields.push_back(number);
          }
          channel.note(packFields(fields));
          channel.bytes(i * slice.data.size(), slice.data.data(), slice.data.size());
        }
      },
      limits, onNote, place);
  if (!outcome.finished) {
    const std::string& failure = outcome.failure;
    const bool named = outcome.lastMark >= 0 && outcome.lastMark < static_cast<int64_t>(files.size()) &&
                       failure.rfind(files[static_cast<size_t>(outcome.lastMark)], 0) != 0 &&
                       failure.rfind("the series", 0) != 0;
    problem = named ? files[static_cast<size_t>(outcome.lastMark)] + " " + failure : failure;
    volume = Volume{};
    return problem;
  }
  if (seriesGeometry) {
    const double sx = volume.geometry.spacing[0], sy = volume.geometry.spacing[1];
    volume.geometry = *seriesGeometry;
    volume.geometry.spacing[0] = sx;
    volume.geometry.spacing[1] = sy;
  } else if (volume.dims.z == 1) {
    volume.geometry.spacing[2] = 1.0;
  }
  return {};
}

std::string loadSeries(std::vector<const FileRecord*> records, Volume& volume) {
  const std::string sizes = checkSizes(records);
  if (!sizes.empty()) return sizes;
  int64_t pixelBytes = 0;
  for (const FileRecord* r : records) {
    const int64_t bits = std::max<int64_t>(8, std::atoll((*r)[kBits].c_str()));
    pixelBytes = std::max<int64_t>(pixelBytes, std::atoll((*r)[kRows].c_str()) * std::atoll((*r)[kColumns].c_str()) *
                                          r->frames() * ((bits + 7) / 8));
  }
  if (records.size() == 1) return readSlices({records.front()->file}, nullptr, pixelBytes, volume);
  for (const FileRecord* r : records) {
    if (r->frames() > 1) return "belongs to a series with multi-frame files, which Voluna reads one file at a time";
  }
  if (static_cast<int64_t>(records.size()) > kMaxVoxels) return "belongs to a series of too many slices";
  std::vector<Slice> slices;
  for (const FileRecord* r : records) {
    Slice slice{r, {0, 0, 0}, {1, 0, 0, 0, 1, 0}, 0};
    if (!numbers((*r)[kPosition], 3, slice.position) || !numbers((*r)[kOrientation], 6, slice.orientation)) {
      slice.position[0] = std::nan("");
    }
    slices.push_back(slice);
  }
  double step = 1.0;
  const std::string order = orderSlices(slices, step);
  if (!order.empty()) return order;
  Geometry geometry;
  const double* o = slices.front().orientation;
  const double normal[3] = {o[1] * o[5] - o[2] * o[4], o[2] * o[3] - o[0] * o[5], o[0] * o[4] - o[1] * o[3]};
  for (int i = 0; i < 3; ++i) geometry.origin[i] = slices.front().position[i];
  for (int r = 0; r < 3; ++r) {
    geometry.direction[r * 3 + 0] = o[r];
    geometry.direction[r * 3 + 1] = o[3 + r];
    geometry.direction[r * 3 + 2] = normal[r];
  }
  geometry.spacing[2] = step;
  std::vector<std::string> files;
  for (const Slice& s : slices) files.push_back(s.record->file);
  return readSlices(files, &geometry, pixelBytes, volume);
}

std::string describe(const SeriesInfo& s) {
  std::string text = s.uid + " (";
  if (!s.modality.empty()) text += s.modality + ", ";
  if (!s.description.empty()) text += "'" + s.description + "', ";
  return text + std::to_string(s.images) + (s.images == 1 ? " image)" : " images)");
}

std::string seriesNames(const std::vector<SeriesInfo>& series) {
  std::string names;
  for (size_t i = 0; i < series.size() && i < 5; ++i) names += (i ? ", " : "") + series[i].uid;
  if (series.size() > 5) names += " and " + std::to_string(series.size() - 5) + " more";
  return names;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (!text.empty()) text += "; ";
    text += part;
  }
  return text;
}

}  // namespace

std::string SeriesInfo::problem() const {
  std::vector<std::string> parts;
  const int named = images + missing + unreadable;
  if (missing) parts.push_back(std::to_string(missing) + " of " + std::to_string(named) + " files missing");
  if (unreadable) parts.push_back(std::to_string(unreadable) + " of " + std::to_string(named) + " files unreadable");
  return joined(parts);
}

bool isSeriesCollection(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return true;
  return checkDicomFraming(path).isDicomdir();
}

SeriesListing listDicomSeries(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  SeriesListing listing;
  if (!fs::exists(status)) {
    listing.error = path + ": no such file or folder";
    return listing;
  }
  if (!isSeriesCollection(path)) {
    // A single DICOM file stands for the series of its folder.
    const fs::path folder = fs::path(path).has_parent_path() ? fs::path(path).parent_path() : fs::path(".");
    std::vector<std::string> files;
    const std::string problem = folderFiles(folder, false, files);
    if (!problem.empty()) {
      listing.error = folder.string() + ": " + problem;
      return listing;
    }
    const DicomFraming framing = checkDicomFraming(path);
    if (framing.broken()) {
      listing.error = path + ": " + framing.problem;
      return listing;
    }
    ScanResult scan = scanFiles(files);
    for (const FileRecord& record : scan.records) {
      if (record.image() && !record[kUid].empty()) addImage(seriesFor(listing.series, record[kUid]), record);
    }
    if (!scan.skipped.empty()) listing.notices.push_back(skippedNotice(scan.skipped));
  } else {
    listing = collect(path).listing;
    if (!listing.error.empty()) listing.error = path + ": " + listing.error;
  }
  if (listing.ok() && listing.series.empty()) {
    listing.error = path + ": " + (fs::is_directory(status) ? "is a folder that holds no DICOM image series"
                                                            : "names no image series that can be read");
    const std::string notes = joined(listing.notices);
    if (!notes.empty()) listing.error += " (" + notes + ")";
  }
  return listing;
}

std::string readDicomSeries(const std::string& path, const std::string& seriesUid, Volume& volume,
                            std::string& notice) {
  volume = Volume{};
  notice.clear();
  if (isSeriesCollection(path)) {
    const Collection collection = collect(path);
    const SeriesListing& listing = collection.listing;
    if (!listing.ok()) return listing.error;
    const SeriesInfo* chosen = nullptr;
    if (!seriesUid.empty()) {
      for (const SeriesInfo& s : listing.series) {
        if (s.uid == seriesUid) chosen = &s;
      }
      if (!chosen) {
        return "holds no series " + seriesUid +
               (listing.series.empty() ? std::string() : "; its series are " + seriesNames(listing.series));
      }
      if (chosen->images == 0) {
        return "names series " + seriesUid + ", but none of its files can be read (" + chosen->problem() + ")";
      }
    } else {
      for (const SeriesInfo& s : listing.series) {
        if (s.images > 0 && (!chosen || s.images > chosen->images)) chosen = &s;
      }
      if (!chosen) {
        const std::string why = joined(listing.notices);
        return fs::is_directory(path) ? "is a folder that holds no DICOM image series" + (why.empty() ? "" : " (" + why + ")")
                                      : "names no image series that can be read" + (why.empty() ? "" : " (" + why + ")");
      }
    }
    std::vector<const FileRecord*> records;
    for (const std::string& file : chosen->files) records.push_back(&collection.records.at(file));
    const std::string problem = loadSeries(records, volume);
    if (!problem.empty()) return "series " + chosen->uid + ": " + problem;
    std::vector<std::string> parts;
    if (seriesUid.empty() && listing.series.size() > 1) {
      parts.push_back("holds " + std::to_string(listing.series.size()) + " series; read " + describe(*chosen) +
                      ", the one with the most images (choose another by its Series Instance UID)");
    }
    if (!chosen->problem().empty()) parts.push_back("series " + chosen->uid + ": " + chosen->problem());
    parts.insert(parts.end(), listing.notices.begin(), listing.notices.end());
    notice = joined(parts);
    return {};
  }

  // One file: its own series (or the one asked for) among its folder's files.
  const DicomFraming framing = checkDicomFraming(path);
  if (framing.broken()) return framing.problem;
  const fs::path folder = fs::path(path).has_parent_path() ? fs::path(path).parent_path() : fs::path(".");
  std::vector<std::string> files;
  const std::string listProblem = folderFiles(folder, false, files);
  if (!listProblem.empty()) return "is in a folder that " + listProblem;
  ScanResult scan = scanFiles(files);
  const FileRecord* self = nullptr;
  for (const FileRecord& record : scan.records) {
    std::error_code ec;
    if (fs::equivalent(record.file, path, ec)) self = &record;
  }
  std::vector<Skipped> others;
  for (const Skipped& skipped : scan.skipped) {
    std::error_code ec;
    if (fs::equivalent(skipped.file, path, ec)) return skipped.why;
    others.push_back(skipped);
  }
  if (!self) return "is not a DICOM file that this reader understands";
  if (!self->image()) return "is a DICOM file without an image (no Rows and Columns)";
  const std::string uid = seriesUid.empty() ? (*self)[kUid] : seriesUid;
  if (uid.empty()) return "is a DICOM file without a series (no Series Instance UID)";
  std::vector<const FileRecord*> records;
  if (seriesUid.empty() && self->frames() > 1) {
    // A file of several frames is a volume of its own.
    records.push_back(self);
  } else {
    for (const FileRecord& record : scan.records) {
      if (record.image() && record[kUid] == uid) records.push_back(&record);
    }
    if (records.empty()) return "is in a folder that holds no series " + uid;
  }
  const std::string problem = loadSeries(records, volume);
  if (!problem.empty()) return problem;
  notice = skippedNotice(others);
  return {};
}

}  // namespace voluna
