#include "nrrd_header.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <vector>

#include "dims.h"
#include "file_checks.h"
#include "header_text.h"
#include "volume.h"

namespace voluna {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxHeader = size_t{1} << 20;

// NRRD's spellings of each type; the 64-bit integers and blocks are known
// only to be refused by name.
struct TypeName {
  const char* name;
  std::optional<ScalarType> type;
};

constexpr ScalarType kI8 = ScalarType::Int8, kU8 = ScalarType::UInt8, kI16 = ScalarType::Int16,
                     kU16 = ScalarType::UInt16, kI32 = ScalarType::Int32, kU32 = ScalarType::UInt32;

const TypeName kTypes[] = {
    {"signed char", kI8},   {"int8", kI8},          {"int8_t", kI8},          {"uchar", kU8},
    {"unsigned char", kU8}, {"uint8", kU8},         {"uint8_t", kU8},         {"short", kI16},
    {"short int", kI16},    {"signed short", kI16}, {"signed short int", kI16}, {"int16", kI16},
    {"int16_t", kI16},      {"ushort", kU16},       {"unsigned short", kU16}, {"unsigned short int", kU16},
    {"uint16", kU16},       {"uint16_t", kU16},     {"int", kI32},            {"signed int", kI32},
    {"int32", kI32},        {"int32_t", kI32},      {"uint", kU32},           {"unsigned int", kU32},
    {"uint32", kU32},       {"uint32_t", kU32},     {"float", ScalarType::Float32}, {"double", ScalarType::Float64},
    {"longlong", {}},       {"long long", {}},      {"long long int", {}},    {"signed long long", {}},
    {"signed long long int", {}}, {"int64", {}},    {"int64_t", {}},          {"ulonglong", {}},
    {"unsigned long long", {}}, {"unsigned long long int", {}}, {"uint64", {}}, {"uint64_t", {}},
    {"block", {}},
};

}  // namespace

NrrdCheck parseNrrdHeader(std::string_view text, bool wholeFile, int64_t maxVoxels) {
  NrrdCheck result;
  NrrdHeader& h = result.header;
  auto fail = [&](std::string why) {
    result.error = std::move(why);
    return result;
  };
  if (text.size() < 8 || text.substr(0, 7) != "NRRD000" || text[7] < '1' || text[7] > '9') {
    return fail("is not a NRRD file (it does not start with 'NRRD000')");
  }
  size_t pos = text.find('\n');
  if (pos == std::string_view::npos) return fail("has no header lines after its NRRD magic");
  ++pos;
  int line = 1;
  bool typeSeen = false, sizesSeen = false, ended = false;
  std::vector<int64_t> sizes;
  std::string encoding = "raw";
  while (pos < text.size()) {
    ++line;
    const size_t newline = text.find('\n', pos);
    if (newline == std::string_view::npos && !wholeFile) break;
    const size_t end = newline == std::string_view::npos ? text.size() : newline;
    const std::string_view raw = text.substr(pos, end - pos);
    pos = newline == std::string_view::npos ? text.size() : newline + 1;
    const std::string_view content = trim(raw);
    if (content.empty()) {
      ended = true;
      h.dataStart = static_cast<int64_t>(pos);
      break;
    }
    if (content.front() == '#') continue;
    for (char c : raw) {
      if (c == '\0') return fail("line " + std::to_string(line) + " of the header holds a NUL byte; a NRRD header is text");
    }
    if (raw.find(":=") != std::string_view::npos && raw.find(": ") == std::string_view::npos) continue;  // key/value pairs
    const size_t colon = raw.find(": ");
    if (colon == std::string_view::npos) {
      return fail("line " + std::to_string(line) + " of the header, " + excerpt(content) +
                  ", is not of the form 'field: value'");
    }
    const std::string field(trim(raw.substr(0, colon)));
    const std::string_view value = trim(raw.substr(colon + 2));
    const std::string at = "line " + std::to_string(line) + " of the header: ";
    if (field == "dimension") {
      int64_t d = 0;
      if (!parseWhole(value, d) || d < 1 || d > 16) return fail(at + "dimension " + excerpt(value) + " is not 1 to 16");
      h.dimension = static_cast<int>(d);
    } else if (field == "type") {
      const auto* type = std::find_if(std::begin(kTypes), std::end(kTypes),
                                      [&](const TypeName& t) { return value == t.name; });
      if (type == std::end(kTypes)) return fail(at + "unknown type " + excerpt(value));
      if (!type->type) {
        return fail("holds voxels of type " + excerpt(value) +
                    "; Voluna reads uint8, int8, uint16, int16, uint32, int32, float and double");
      }
      h.bytesPerValue = static_cast<int>(scalarSize(*type->type));
      typeSeen = true;
    } else if (field == "sizes") {
      if (h.dimension == 0) return fail(at + "sizes needs a dimension line before it");
      const std::vector<std::string_view> items = words(value);
      if (static_cast<int>(items.size()) != h.dimension) {
        return fail(at + "sizes has " + std::to_string(items.size()) + " values; " + std::to_string(h.dimension) +
                    " expected");
      }
      std::string shown;
      for (std::string_view item : items) shown += (shown.empty() ? "" : " x ") + std::string(item);
      int64_t product = 1;
      for (std::string_view item : items) {
        int64_t s = 0;
        if (!parseWhole(item, s)) return fail(at + "size " + excerpt(item) + " is not a whole number");
        if (s < 1) return fail("has sizes " + shown + "; every size must be at least 1");
        const std::string tooMany = maxVoxels == kMaxVoxels
                                        ? ", more than the 2^31 - 1 voxels Voluna can hold"
                                        : ", more voxels than Voluna can address";
        if (s > kMaxVoxels || product > maxVoxels / s) return fail("has sizes " + shown + tooMany);
        product *= s;
        sizes.push_back(s);
      }
      h.count = product;
      sizesSeen = true;
    } else if (field == "encoding") {
      if (value == "raw") {
        encoding = "raw";
      } else if (value == "gz" || value == "gzip") {
        encoding = "gzip";
      } else if (value == "txt" || value == "text" || value == "ascii") {
        encoding = "ascii";
      } else if (value == "hex") {
        encoding = "hex";
      } else if (value == "bz2" || value == "bzip2") {
        return fail("is compressed with bzip2, which this build's reader cannot inflate; save it raw or with gzip");
      } else {
        return fail(at + "unknown encoding " + excerpt(value));
      }
    } else if (field == "data file" || field == "datafile") {
      if (value.rfind("LIST", 0) == 0 || words(value).size() > 1) {
        return fail("spreads its voxels over several data files, which Voluna does not read; save the volume "
                    "with one data file");
      }
      if (value.empty()) return fail(at + "the data file has no name");
      h.dataFile = std::string(value);
    } else if (field == "endian") {
      if (value != "big" && value != "little") return fail(at + "endian " + excerpt(value) + " is not big or little");
      h.bigEndian = value == "big";
    } else if (field == "line skip" || field == "lineskip") {
      if (!parseWhole(value, h.lineSkip) || h.lineSkip < 0) return fail(at + "line skip " + excerpt(value) + " is not 0 or more");
    } else if (field == "byte skip" || field == "byteskip") {
      if (!parseWhole(value, h.byteSkip) || h.byteSkip < -1) {
        return fail(at + "byte skip " + excerpt(value) + " is not -1 or more");
      }
    }
  }
  if (!ended && h.dataFile.empty()) {
    if (!wholeFile) return fail("has no end of its header in the first 1024 KiB; not a NRRD file");
    return fail("has neither a data file nor a blank line after its header before the voxels");
  }
  if (h.dimension == 0) return fail("has no dimension line");
  if (!sizesSeen) return fail("has no sizes line");
  if (!typeSeen) return fail("has no type line");
  if (h.byteSkip == -1 && encoding != "raw") {
    return fail("says byte skip -1 (data at the end of the file), which only raw data can use");
  }
  h.encoding = encoding;
  if (h.dataFile.empty()) h.dataStart = std::max<int64_t>(h.dataStart, 0);
  return result;
}

NrrdCheck checkNrrdFile(const std::string& path, int64_t maxVoxels) {
  NrrdCheck result;
  auto fail = [&](std::string why) {
    result.error = std::move(why);
    return result;
  };
  const Opened headerFile = openRegular(path);
  std::string text;
  std::string problem = readHeaderStart(headerFile, kMaxHeader, text);
  if (!problem.empty()) return fail(problem);
  result = parseNrrdHeader(text, static_cast<int64_t>(text.size()) == headerFile.size, maxVoxels);
  if (!result.ok()) return result;
  const NrrdHeader& h = result.header;

  const Opened* data = &headerFile;
  Opened dataFile;
  std::string where = "the data after the header";
  int64_t start = h.dataStart;
  if (!h.dataFile.empty()) {
    fs::path dataPath(h.dataFile);
    if (dataPath.is_relative()) dataPath = fs::path(path).parent_path() / dataPath;
    where = "its data file " + dataPath.string();
    dataFile = openRegular(dataPath.string());
    if (dataFile.state == Opened::Missing) return fail(where + " is missing");
    if (dataFile.state != Opened::Ok) return fail(where + " " + dataFile.problem());
    data = &dataFile;
    start = 0;
  }
  // Line skips are counted in the data file, as ITK's reader does.
  if (h.lineSkip > 0) {
    std::string chunk;
    int64_t lines = 0;
    int64_t offset = start;
    while (lines < h.lineSkip) {
      problem = readAt(data->file->fd(), offset, 64 * 1024, chunk);
      if (!problem.empty()) return fail(where + " cannot be read (" + problem + ")");
      if (chunk.empty()) return fail(where + " has fewer than the " + std::to_string(h.lineSkip) + " lines to skip");
      size_t used = chunk.size();
      for (size_t i = 0; i < chunk.size(); ++i) {
        if (chunk[i] == '\n' && ++lines == h.lineSkip) {
          used = i + 1;
          break;
        }
      }
      offset += static_cast<int64_t>(used);
    }
    start = offset;
  }
  const int64_t needed = h.count * h.bytesPerValue;
  const int64_t available = data->size - start;
  result.dataPath = h.dataFile.empty() ? path : (fs::path(path).parent_path() / h.dataFile).string();
  if (h.encoding == "raw") {
    if (h.byteSkip == -1) {
      if (available < needed) return fail(describeShortage(where, available, needed));
      result.dataOffset = data->size - needed;
      return result;
    }
    if (h.byteSkip > available) {
      return fail("says byte skip " + std::to_string(h.byteSkip) + " but " + where + " has only " +
                  std::to_string(std::max<int64_t>(available, 0)) + " bytes");
    }
    if (available - h.byteSkip < needed) return fail(describeShortage(where, available - h.byteSkip, needed));
    result.dataOffset = start + h.byteSkip;
    return result;
  }
  if (h.encoding == "gzip") {
    if (h.byteSkip > available) return fail("says byte skip " + std::to_string(h.byteSkip) + " beyond the end of " + where);
    problem = checkCompressedStream(data->file->fd(), start + h.byteSkip, available - h.byteSkip, needed, where);
    if (!problem.empty()) return fail(problem);
    return result;
  }
  // Text: every value takes at least one character and a separator; hex two characters a byte.
  const int64_t least = h.encoding == "hex" ? 2 * needed : 2 * h.count - 1;
  if (available < least) {
    return fail(where + " holds " + std::to_string(std::max<int64_t>(available, 0)) + " characters, too few for " +
                std::to_string(h.count) + " values as " + h.encoding + " text");
  }
  return result;
}

}  // namespace voluna
