#include "metaimage_header.h"

#include "file_checks.h"
#include "header_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <vector>

namespace voluna {

namespace fs = std::filesystem;

namespace {

// The list of accepted types, for messages, in the table's order.
std::string supportedTypes() {
  std::string list;
  const auto& types = scalarTypes();
  for (size_t i = 0; i < types.size(); ++i) {
    list += i == 0 ? "" : i + 1 == types.size() ? " and " : ", ";
    list += types[i].metaImage;
  }
  return list;
}

// MetaIO copies keys and the values of its string fields into buffers of 255
// bytes and overruns them on longer ones (the C library then aborts the
// process). Real headers stay far below this.
constexpr size_t kMaxKeyOrValue = 200;
constexpr size_t kMaxLine = 64 * 1024;

bool asciiEqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Finite decimal numbers only: from_chars would also take "nan", "inf" and
// hexadecimal forms, which MetaIO reads differently or not at all.
bool parseReal(std::string_view word, double& value) {
  if (word.empty()) return false;
  for (char c : word) {
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) return false;
  }
  std::string_view body = word;
  if (body.front() == '+') body.remove_prefix(1);
  const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
  return ec == std::errc() && end == body.data() + body.size() && std::isfinite(value);
}

enum class Kind { Whole, Real, Boolean, Text };

// The keys MetaIO interprets. Numeric ones take a fixed count of numbers (0:
// one per dimension, -1: one per matrix element) and, given fewer on the
// line, MetaIO takes the rest from the lines below: a header where the counts
// do not match is not read the same way by both.
struct KeyRule {
  const char* key;
  Kind kind;
  int count;
};

constexpr std::array<KeyRule, 35> kKeys{{
    {"Comment", Kind::Text, 1},
    {"AcquisitionDate", Kind::Text, 1},
    {"ObjectType", Kind::Text, 1},
    {"ObjectSubType", Kind::Text, 1},
    {"Name", Kind::Text, 1},
    {"ParentName", Kind::Text, 1},
    {"AnatomicalOrientation", Kind::Text, 1},
    {"DistanceUnits", Kind::Text, 1},
    {"Modality", Kind::Text, 1},
    {"ElementType", Kind::Text, 1},
    {"ElementDataFile", Kind::Text, 1},
    {"NDims", Kind::Whole, 1},
    {"ID", Kind::Real, 1},
    {"ParentID", Kind::Real, 1},
    {"HeaderSize", Kind::Whole, 1},
    {"CompressedDataSize", Kind::Whole, 1},
    {"ElementNumberOfChannels", Kind::Whole, 1},
    {"ElementMin", Kind::Real, 1},
    {"ElementMax", Kind::Real, 1},
    {"Color", Kind::Real, 4},
    {"DimSize", Kind::Whole, 0},
    {"Position", Kind::Real, 0},
    {"Origin", Kind::Real, 0},
    {"Offset", Kind::Real, 0},
    {"CenterOfRotation", Kind::Real, 0},
    {"ElementSpacing", Kind::Real, 0},
    {"ElementSize", Kind::Real, 0},
    {"SequenceID", Kind::Real, 0},
    {"TransformMatrix", Kind::Real, -1},
    {"Rotation", Kind::Real, -1},
    {"Orientation", Kind::Real, -1},
    {"BinaryData", Kind::Boolean, 1},
    {"CompressedData", Kind::Boolean, 1},
    {"ElementByteOrderMSB", Kind::Boolean, 1},
    {"BinaryDataByteOrderMSB", Kind::Boolean, 1},
}};

const KeyRule* ruleFor(std::string_view key) {
  for (const KeyRule& rule : kKeys) {
    if (key == rule.key) return &rule;
  }
  return nullptr;
}

// MetaIO takes any value starting with T, t or 1 as true; only the spellings
// on which it cannot differ from us are accepted.
bool parseBoolean(std::string_view value, bool& out) {
  if (asciiEqualNoCase(value, "true") || value == "1") {
    out = true;
    return true;
  }
  if (asciiEqualNoCase(value, "false") || value == "0") {
    out = false;
    return true;
  }
  return false;
}

class Parser {
 public:
  Parser(std::string_view text, bool wholeFile, int64_t maxVoxels)
      : text_(text), wholeFile_(wholeFile), maxVoxels_(maxVoxels) {}

  HeaderParse run() {
    HeaderParse result;
    result.error = readLines();
    if (result.error.empty()) result.error = finish();
    result.header = header_;
    return result;
  }

 private:
  std::string at(const std::string& what) const {
    if (line_ == 1) return "is not a MetaImage header: its first line " + what;
    return "line " + std::to_string(line_) + " of the header: " + what;
  }

  std::string readLines() {
    size_t pos = 0;
    while (true) {
      if (pos >= text_.size()) {
        if (line_ == 0) return "is empty";
        if (!wholeFile_) {
          return "has no ElementDataFile line in its first " + std::to_string(kMaxHeaderBytes / 1024) +
                 " KiB; not a MetaImage header";
        }
        return "has no ElementDataFile line; a MetaImage header ends with one naming the voxel data";
      }
      ++line_;
      const size_t newline = text_.find('\n', pos);
      const size_t end = newline == std::string_view::npos ? text_.size() : newline;
      if (end - pos > kMaxLine) {
        return at("longer than " + std::to_string(kMaxLine / 1024) + " KiB; not a MetaImage header");
      }
      const std::string_view line = text_.substr(pos, end - pos);
      const size_t next = newline == std::string_view::npos ? text_.size() : newline + 1;
      bool done = false;
      const std::string problem = readLine(line, next, done);
      if (!problem.empty()) return problem;
      if (done) return {};
      pos = next;
    }
  }

  std::string readLine(std::string_view line, size_t next, bool& done) {
    for (size_t i = 0; i < line.size(); ++i) {
      const auto c = static_cast<unsigned char>(line[i]);
      if (c == 0) return at("holds a NUL byte; a MetaImage header is text");
      const bool lineEnd = c == '\r' && i + 1 == line.size();
      if ((c < 0x20 && c != '\t' && !lineEnd) || c == 0x7f) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02x", c);
        return at(std::string("holds the control byte ") + hex + "; a MetaImage header is text");
      }
    }
    if (trim(line).empty()) return {};
    const size_t separator = line.find_first_of("=:");
    const std::string_view key = separator == std::string_view::npos ? std::string_view() : trim(line.substr(0, separator));
    if (key.empty()) {
      return line_ == 1 ? std::string("is not a MetaImage header (its first line is not 'Key = value')")
                        : at(excerpt(trim(line)) + " is not of the form 'Key = value'");
    }
    const std::string_view value = trim(line.substr(separator + 1));
    if (key.size() > kMaxKeyOrValue) {
      return at("the key is " + std::to_string(key.size()) + " characters long; at most " +
                std::to_string(kMaxKeyOrValue) + " are accepted");
    }
    if (value.size() > kMaxKeyOrValue) {
      return at("the value of " + excerpt(key) + " is " + std::to_string(value.size()) +
                " characters long; at most " + std::to_string(kMaxKeyOrValue) + " are accepted");
    }
    const KeyRule* rule = ruleFor(key);
    if (!rule) return {};  // metadata of others' programs; MetaIO skips it too
    if (!seen_.insert({std::string(key), line_}).second) {
      return at(std::string(key) + " appears a second time (first on line " +
                std::to_string(seen_[std::string(key)]) + ")");
    }
    if (!value.empty() && (value.front() == '=' || value.front() == ':')) {
      return at("the value of " + std::string(key) + " starts with '" + value.front() + "'");
    }
    if (rule->kind == Kind::Boolean) return readBoolean(key, value);
    if (rule->kind == Kind::Text) {
      if (key == "ElementType") return readElementType(value);
      if (key == "ElementDataFile") {
        if (value.empty()) return at("ElementDataFile names no file");
        header_.dataFile = std::string(value);
        header_.localDataStart = static_cast<int64_t>(next);
        done = true;
      }
      return {};
    }
    return readNumbers(*rule, value);
  }

  std::string readBoolean(std::string_view key, std::string_view value) {
    bool flag = false;
    if (!parseBoolean(value, flag)) {
      return at(std::string(key) + " is " + excerpt(value) + "; write True or False");
    }
    if (key == "CompressedData") header_.compressed = flag;
    if (key == "BinaryData" && !flag) {
      return "stores its voxels as text (BinaryData = False), which Voluna does not read; save the volume "
             "with binary data";
    }
    return {};
  }

  std::string readElementType(std::string_view value) {
    if (const ScalarTypeInfo* info = scalarTypeOfMetaImage(value)) {
      header_.type = info->type;
      typeSeen_ = true;
      return {};
    }
    if (value == "MET_LONG" || value == "MET_ULONG") {
      return "has element type " + std::string(value) +
             ", whose width programs disagree on (4 bytes to MetaIO, 8 to a 64-bit C long): one of them misreads "
             "the file; save the volume as MET_INT or MET_UINT";
    }
    return "has the unsupported element type " + excerpt(value) + "; Voluna reads single scalars of type " +
           supportedTypes();
  }

  std::string readNumbers(const KeyRule& rule, std::string_view value) {
    const std::string key = rule.key;
    int count = rule.count;
    if (count <= 0) {
      if (header_.ndims == 0) return at(key + " needs an NDims line before it");
      count = rule.count == 0 ? header_.ndims : header_.ndims * header_.ndims;
    }
    const std::vector<std::string_view> items = words(value);
    if (static_cast<int>(items.size()) != count) {
      return at(key + " has " + std::to_string(items.size()) + (items.size() == 1 ? " value" : " values") +
                "; " + std::to_string(count) + " expected");
    }
    std::vector<int64_t> whole(items.size(), 0);
    for (size_t i = 0; i < items.size(); ++i) {
      if (rule.kind == Kind::Whole) {
        if (tooLongForWhole(items[i])) return at(key + " value " + excerpt(items[i]) + " is far too large");
        if (!parseWhole(items[i], whole[i])) {
          return at(key + " value " + excerpt(items[i]) + " is not a whole number");
        }
      } else {
        double real = 0.0;
        if (!parseReal(items[i], real)) {
          return at(key + " value " + excerpt(items[i]) + " is not a finite decimal number");
        }
      }
    }
    if (key == "NDims") return takeNDims(whole[0]);
    if (key == "DimSize") return takeDimSize(whole);
    if (key == "ElementNumberOfChannels" && whole[0] != 1) {
      return "has " + std::to_string(whole[0]) +
             " channels per voxel (ElementNumberOfChannels); Voluna reads volumes of one channel only";
    }
    if (key == "HeaderSize") {
      if (whole[0] < -1) return at("HeaderSize is " + std::to_string(whole[0]) + "; it must be -1 or more");
      header_.headerSize = whole[0];
      header_.headerSizeGiven = true;
    }
    if (key == "CompressedDataSize") {
      if (whole[0] < 1) return at("CompressedDataSize is " + std::to_string(whole[0]) + "; it must be 1 or more");
      header_.compressedSize = whole[0];
    }
    return {};
  }

  std::string takeNDims(int64_t ndims) {
    if (ndims != 2 && ndims != 3) {
      return "has NDims = " + std::to_string(ndims) + "; Voluna reads volumes (3) and single images (2)";
    }
    header_.ndims = static_cast<int>(ndims);
    return {};
  }

  std::string takeDimSize(const std::vector<int64_t>& sizes) {
    std::string shown;
    for (int64_t s : sizes) shown += (shown.empty() ? "" : " x ") + std::to_string(s);
    int64_t product = 1;
    for (int64_t size : sizes) {
      if (size < 1) return "has DimSize " + shown + "; every size must be at least 1";
      if (size > kMaxVoxels) return "has DimSize " + shown + "; a volume holds at most 2^31 - 1 voxels";
      // Checked before multiplying: no overflow, whatever the limit.
      if (size > maxVoxels_ / product) {
        if (maxVoxels_ == kMaxVoxels) return "has DimSize " + shown + ", more than the 2^31 - 1 voxels Voluna can hold";
        return "has DimSize " + shown + ", more than the " + std::to_string(maxVoxels_) + " voxels Voluna can address";
      }
      product *= size;
    }
    header_.dims = Dims{static_cast<int>(sizes[0]), static_cast<int>(sizes[1]),
                        sizes.size() == 3 ? static_cast<int>(sizes[2]) : 1};
    dimsSeen_ = true;
    return {};
  }

  std::string finish() {
    if (header_.ndims == 0) return "has no NDims line";
    if (!dimsSeen_) return "has no DimSize line";
    if (!typeSeen_) return "has no ElementType line";
    return {};
  }

  std::string_view text_;
  bool wholeFile_;
  int64_t maxVoxels_;
  int line_ = 0;
  bool dimsSeen_ = false;
  bool typeSeen_ = false;
  std::map<std::string, int> seen_;
  MetaImageHeader header_;
};

}  // namespace

HeaderParse parseMetaImageHeader(std::string_view text, bool wholeFile, int64_t maxVoxels) {
  return Parser(text, wholeFile, maxVoxels).run();
}

CheckedMetaImage checkMetaImageFile(const std::string& path, int64_t maxVoxels) {
  CheckedMetaImage result;
  auto fail = [&](std::string why) {
    result.error = std::move(why);
    return result;
  };

  const Opened headerFile = openRegular(path);
  const int64_t headerFileSize = headerFile.size;
  std::string text;
  std::string problem = readHeaderStart(headerFile, kMaxHeaderBytes, text);
  if (!problem.empty()) return fail(problem);

  HeaderParse parsed = parseMetaImageHeader(text, static_cast<int64_t>(text.size()) == headerFileSize, maxVoxels);
  if (!parsed.ok()) return fail(parsed.error);
  const MetaImageHeader& header = parsed.header;
  result.header = header;
  const int64_t needed = header.voxelBytes();

  const std::string& name = header.dataFile;
  if (name.rfind("LIST", 0) == 0) {
    return fail("spreads its voxels over a list of files (ElementDataFile = LIST), which Voluna does not read; "
                "save the volume as one data file");
  }
  if (name.find('%') != std::string::npos) {
    return fail("spreads its voxels over numbered files (ElementDataFile = " + excerpt(name) +
                "), which Voluna does not read; save the volume as one data file");
  }

  // MetaIO knows these three spellings, and no other ("lOCAL" is a file name to it).
  if (name == "LOCAL" || name == "Local" || name == "local") {
    result.header.local = true;
    result.dataPath = path;
    if (header.headerSizeGiven) {
      return fail("gives HeaderSize for data that follows the header (LOCAL); leave HeaderSize out");
    }
    const int64_t start = header.localDataStart;
    const int64_t available = headerFileSize - start;
    if (header.compressed) {
      if (header.compressedSize < 0) {
        return fail("has compressed data after the header but no CompressedDataSize line saying how long it is");
      }
      if (header.compressedSize > available) {
        return fail("says CompressedDataSize = " + std::to_string(header.compressedSize) + " but only " +
                    std::to_string(available) + " bytes follow the header");
      }
      problem = checkCompressedStream(headerFile.file->fd(), start, header.compressedSize, needed, "the data after the header");
      if (!problem.empty()) return fail(problem);
      return result;
    }
    if (available < needed) return fail(describeShortage("the data after the header", available, needed));
    return result;
  }

  fs::path dataPath(name);
  if (dataPath.is_relative()) dataPath = fs::path(path).parent_path() / dataPath;
  result.dataPath = dataPath.string();
  const std::string where = "its data file " + result.dataPath;
  const Opened dataFile = openRegular(result.dataPath);
  if (dataFile.state == Opened::Missing) return fail(where + " is missing");
  if (dataFile.state != Opened::Ok) return fail(where + " " + dataFile.problem());
  const int64_t dataSize = dataFile.size;

  if (header.compressed) {
    if (header.headerSizeGiven) {
      return fail("gives HeaderSize for compressed data, where readers do not agree on what it skips; leave "
                  "HeaderSize out");
    }
    int64_t length = dataSize;
    if (header.compressedSize >= 0) {
      if (header.compressedSize > dataSize) {
        return fail("says CompressedDataSize = " + std::to_string(header.compressedSize) + " but " + where +
                    " has only " + std::to_string(dataSize) + " bytes");
      }
      length = header.compressedSize;
    }
    if (length == 0) return fail(where + " is empty");
    problem = checkCompressedStream(dataFile.file->fd(), 0, length, needed, where);
    if (!problem.empty()) return fail(problem);
    return result;
  }

  if (header.headerSize == -1) {
    if (dataSize < needed) return fail(describeShortage(where, dataSize, needed));
    return result;
  }
  if (header.headerSize > dataSize) {
    return fail("says HeaderSize = " + std::to_string(header.headerSize) + " but " + where + " has only " +
                std::to_string(dataSize) + " bytes");
  }
  if (dataSize - header.headerSize < needed) {
    const std::string after =
        header.headerSize > 0 ? where + " (after its " + std::to_string(header.headerSize) + " header bytes)" : where;
    return fail(describeShortage(after, dataSize - header.headerSize, needed));
  }
  return result;
}

}  // namespace voluna
