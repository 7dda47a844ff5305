#include "dicomdir.h"

#include <gdcmDataSet.h>
#include <gdcmReader.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmTrace.h>

#include <cctype>
#include <filesystem>

#include "child_process.h"
#include "dicom_framing.h"

namespace voluna {

namespace fs = std::filesystem;

namespace {

const gdcm::Tag kRecords(0x0004, 0x1220);
const gdcm::Tag kRecordType(0x0004, 0x1430);
const gdcm::Tag kFileId(0x0004, 0x1500);
const gdcm::Tag kSeriesUid(0x0020, 0x000e);
const gdcm::Tag kModality(0x0008, 0x0060);
const gdcm::Tag kDescription(0x0008, 0x103e);
const gdcm::Tag kSeriesNumber(0x0020, 0x0011);

std::string text(const gdcm::DataSet& set, const gdcm::Tag& tag) {
  if (!set.FindDataElement(tag)) return {};
  const gdcm::ByteValue* value = set.GetDataElement(tag).GetByteValue();
  if (!value || !value->GetPointer()) return {};
  std::string out(value->GetPointer(), value->GetLength());
  while (!out.empty() && (out.back() == ' ' || out.back() == '\0')) out.pop_back();
  while (!out.empty() && out.front() == ' ') out.erase(0, 1);
  return out;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// In the child: one note a record, in the index's order.
void readInChild(const std::string& path, ChildChannel& channel) {
  gdcm::Trace::WarningOff();
  gdcm::Trace::ErrorOff();
  gdcm::Trace::DebugOff();
  gdcm::Reader reader;
  reader.SetFileName(path.c_str());
  if (!reader.Read()) {
    channel.fail("could not be read as a DICOMDIR");
    return;
  }
  const gdcm::DataSet& set = reader.GetFile().GetDataSet();
  if (!set.FindDataElement(kRecords)) {
    channel.fail("is a DICOMDIR without a Directory Record Sequence (0004,1220)");
    return;
  }
  const gdcm::DataElement& element = set.GetDataElement(kRecords);
  // A disc without images has an empty sequence: no records, no series.
  if (element.IsEmpty()) return;
  const gdcm::SmartPointer<gdcm::SequenceOfItems> records = element.GetValueAsSQ();
  if (!records) {
    channel.fail("is a DICOMDIR whose Directory Record Sequence (0004,1220) cannot be read");
    return;
  }
  for (gdcm::SequenceOfItems::SizeType i = 1; i <= records->GetNumberOfItems(); ++i) {
    const gdcm::DataSet& record = records->GetItem(i).GetNestedDataSet();
    const std::string type = text(record, kRecordType);
    if (type == "SERIES") {
      channel.note(packFields({"S", text(record, kSeriesUid), text(record, kModality), text(record, kDescription),
                               text(record, kSeriesNumber)}));
    } else if (record.FindDataElement(kFileId)) {
      channel.note(packFields({"I", text(record, kFileId)}));
    } else {
      // A patient or a study ends the series before it.
      channel.note(packFields({"O"}));
    }
  }
}

}  // namespace

bool resolveFileId(const std::string& folder, const std::string& fileId, std::string& path, std::string& why) {
  fs::path at(folder);
  size_t start = 0;
  while (start <= fileId.size()) {
    size_t end = fileId.find('\\', start);
    if (end == std::string::npos) end = fileId.size();
    const std::string part = fileId.substr(start, end - start);
    start = end + 1;
    // The index may name nothing outside its own folder.
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos ||
        part.find('\0') != std::string::npos) {
      why = "names '" + fileId + "', which is not a file in its folder";
      return false;
    }
    std::error_code ec;
    fs::path next = at / part;
    if (!fs::exists(next, ec)) {
      bool found = false;
      for (fs::directory_iterator it(at, ec), last; !ec && it != last; it.increment(ec)) {
        if (lower(it->path().filename().string()) == lower(part)) {
          next = it->path();
          found = true;
          break;
        }
      }
      if (!found) {
        why = "names '" + fileId + "', which is missing";
        return false;
      }
    }
    at = next;
  }
  std::error_code ec;
  if (!fs::is_regular_file(at, ec)) {
    why = "names '" + fileId + "', which is not a file";
    return false;
  }
  path = at.string();
  return true;
}

DirectoryIndex readDirectoryIndex(const std::string& path) {
  DirectoryIndex index;
  const DicomFraming framing = checkDicomFraming(path);
  if (framing.broken()) {
    index.error = framing.problem;
    return index;
  }
  const fs::path folder = fs::path(path).has_parent_path() ? fs::path(path).parent_path() : fs::path(".");
  std::vector<std::string> unsafe;
  int missing = 0;
  DirectoryIndex::Series orphans;
  int current = -1;
  const OnNote onNote = [&](const std::string& note) -> std::string {
    std::vector<std::string> f;
    if (!unpackFields(note, f) || f.empty()) return "could not be read: its reader sent what it should not";
    if (f[0] == "S" && f.size() == 5) {
      index.series.push_back({f[1], f[2], f[3], f[4], {}});
      current = static_cast<int>(index.series.size()) - 1;
    } else if (f[0] == "I" && f.size() == 2) {
      std::string file, why;
      if (!resolveFileId(folder.string(), f[1], file, why)) {
        if (why.find("missing") == std::string::npos) unsafe.push_back(why);
        ++missing;
      }
      (current < 0 ? orphans : index.series[static_cast<size_t>(current)]).files.push_back(file);
    } else {
      current = -1;
    }
    return {};
  };
  const ChildOutcome outcome = runInChild([&](ChildChannel& channel) { readInChild(path, channel); }, {}, onNote);
  if (!outcome.finished) {
    index = DirectoryIndex{};
    index.error = outcome.failure;
    return index;
  }
  if (!orphans.files.empty()) index.series.insert(index.series.begin(), std::move(orphans));
  if (missing) {
    index.notices.push_back("the index names " + std::to_string(missing) + (missing == 1 ? " file" : " files") +
                            " that " + (missing == 1 ? "is" : "are") + " not there");
  }
  if (!unsafe.empty()) index.notices.push_back(unsafe.front() + (unsafe.size() > 1 ? " (and more such)" : ""));
  return index;
}

}  // namespace voluna
