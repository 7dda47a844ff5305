#include "dicom_framing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "file_checks.h"

namespace voluna {

namespace {

// Far deeper than any scanner writes; GDCM reads nested sequences by
// recursion, and a file of nothing but nested items would exhaust its stack.
constexpr int kMaxDepth = 64;

constexpr uint32_t kUndefined = 0xffffffffu;

// The bytes of a file or of a buffer, read a few at a time.
class Source {
 public:
  virtual ~Source() = default;
  int64_t size() const { return size_; }
  // Exactly n bytes at offset, or false when they are not all there.
  virtual bool read(int64_t offset, size_t n, uint8_t* out) = 0;

 protected:
  int64_t size_ = 0;
};

class MemorySource : public Source {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) { size_ = static_cast<int64_t>(bytes.size()); }
  bool read(int64_t offset, size_t n, uint8_t* out) override {
    if (offset < 0 || offset > size_ || static_cast<int64_t>(n) > size_ - offset) return false;
    std::memcpy(out, bytes_.data() + offset, n);
    return true;
  }

 private:
  std::string_view bytes_;
};

// Element headers cluster; one window of the file serves most of them.
class FileSource : public Source {
 public:
  FileSource(int fd, int64_t size) : fd_(fd) { size_ = size; }
  bool read(int64_t offset, size_t n, uint8_t* out) override {
    if (offset < 0 || offset > size_ || static_cast<int64_t>(n) > size_ - offset) return false;
    if (offset < start_ || offset + static_cast<int64_t>(n) > start_ + static_cast<int64_t>(window_.size())) {
      start_ = offset;
      if (!readAt(fd_, offset, kWindow, window_).empty()) return false;
      if (window_.size() < n) return false;
    }
    std::memcpy(out, window_.data() + (offset - start_), n);
    return true;
  }

 private:
  static constexpr size_t kWindow = 64 * 1024;
  int fd_;
  int64_t start_ = 0;
  std::string window_;
};

bool longLength(const char vr[2]) {
  static const char* const kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT", "UV"};
  for (const char* v : kLong) {
    if (vr[0] == v[0] && vr[1] == v[1]) return true;
  }
  return false;
}

bool knownVr(const char vr[2]) {
  static const char* const kAll[] = {"AE", "AS", "AT", "CS", "DA", "DS", "DT", "FD", "FL", "IS", "LO", "LT", "OB",
                                     "OD", "OF", "OL", "OV", "OW", "PN", "SH", "SL", "SQ", "SS", "ST", "SV", "TM",
                                     "UC", "UI", "UL", "UN", "UR", "US", "UT", "UV"};
  for (const char* v : kAll) {
    if (vr[0] == v[0] && vr[1] == v[1]) return true;
  }
  return false;
}

std::string tagName(uint16_t group, uint16_t element) {
  char text[16];
  std::snprintf(text, sizeof text, "(%04X,%04X)", group, element);
  return text;
}

std::string trimmedValue(const std::string& value) {
  std::string text = value;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

enum class Step { Ok, Stop, Broken };

struct Encoding {
  bool explicitVr = true;
  bool bigEndian = false;
};

class Walker {
 public:
  Walker(Source& source, DicomFraming& out) : source_(source), out_(out) {}

  void run() {
    const int64_t size = source_.size();
    uint8_t magic[4];
    if (size < 132 || !source_.read(128, 4, magic) || std::memcmp(magic, "DICM", 4) != 0) {
      // Without the preamble GDCM guesses among old encodings; the walk does not.
      out_.verdict = DicomFraming::Verdict::Unjudged;
      return;
    }
    out_.dicomPrefix = true;
    int64_t pos = 132;
    const Step meta = walkMeta(pos);
    if (meta != Step::Ok) {
      out_.verdict = meta == Step::Broken ? DicomFraming::Verdict::Broken : DicomFraming::Verdict::Unjudged;
      return;
    }
    Encoding encoding;
    const std::string& syntax = out_.transferSyntax;
    if (syntax == "1.2.840.10008.1.2") {
      encoding.explicitVr = false;
    } else if (syntax == "1.2.840.10008.1.2.2") {
      encoding.bigEndian = true;
    } else if (syntax == "1.2.840.10008.1.2.1.99" || syntax.rfind("1.2.840.10008.1.2.", 0) != 0) {
      // Deflated data sets cannot be walked without inflating them, and an
      // unknown syntax is GDCM's to guess at.
      out_.verdict = DicomFraming::Verdict::Unjudged;
      return;
    }
    const Step data = walkDataSet(pos, size, encoding, false, 0, true);
    out_.verdict = data == Step::Ok       ? DicomFraming::Verdict::Sound
                   : data == Step::Broken ? DicomFraming::Verdict::Broken
                                          : DicomFraming::Verdict::Unjudged;
  }

 private:
  uint16_t u16(const uint8_t* p, bool big) const {
    return big ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
  }
  uint32_t u32(const uint8_t* p, bool big) const {
    return big ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
               : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
  }

  Step broken(std::string why) {
    out_.problem = std::move(why);
    return Step::Broken;
  }

  std::string beyondEnd(const std::string& what, int64_t at, int64_t claims) const {
    return "is cut short or damaged: " + what + " at byte " + std::to_string(at) + " claims " +
           std::to_string(claims) + " bytes, but the file ends " + std::to_string(source_.size() - at) +
           " bytes after it starts";
  }

  // The file meta information: explicit little endian, group 0002 only. GDCM
  // asserts on a sequence, an undefined length or a value cut short here,
  // and on a file that ends right after it.
  Step walkMeta(int64_t& pos) {
    const int64_t size = source_.size();
    while (true) {
      uint8_t head[12];
      if (!source_.read(pos, 8, head)) {
        return broken("is cut short: it ends " + std::string(pos == size ? "right after" : "inside") +
                      " its file meta information, before any data set");
      }
      const uint16_t group = u16(head, false), element = u16(head + 2, false);
      if (group != 0x0002) return Step::Ok;
      const char vr[2] = {static_cast<char>(head[4]), static_cast<char>(head[5])};
      if (!knownVr(vr)) return Step::Stop;
      int64_t length = u16(head + 6, false);
      int64_t header = 8;
      if (longLength(vr)) {
        if (!source_.read(pos, 12, head)) return broken("is cut short inside its file meta information");
        length = u32(head + 8, false);
        header = 12;
      }
      if (vr[0] == 'S' && vr[1] == 'Q') {
        return broken("has a sequence in its file meta information " + tagName(group, element) +
                      ", which DICOM does not allow there");
      }
      if (length == kUndefined) {
        return broken("has an element of undefined length in its file meta information " + tagName(group, element));
      }
      if (pos + header + length > size) {
        return broken(beyondEnd("file meta information element " + tagName(group, element), pos, header + length));
      }
      if (element == 0x0010 || element == 0x0002) {
        std::string value(static_cast<size_t>(std::min<int64_t>(length, 64)), '\0');
        if (!value.empty() && !source_.read(pos + header, value.size(), reinterpret_cast<uint8_t*>(value.data()))) {
          return Step::Stop;
        }
        (element == 0x0010 ? out_.transferSyntax : out_.mediaStorage) = trimmedValue(value);
      }
      pos += header + length;
    }
  }

  // Elements from pos up to `end`; in an item of undefined length, up to its
  // delimiter instead. Defined lengths that overrun the file are broken; one
  // that only overruns its enclosing item is left to GDCM, which copes with
  // some such writers.
  Step walkDataSet(int64_t& pos, int64_t end, Encoding encoding, bool untilDelimiter, int depth, bool topLevel) {
    const int64_t size = source_.size();
    while (true) {
      if (!untilDelimiter && pos >= end) return Step::Ok;
      uint8_t head[12];
      if (!source_.read(pos, 8, head)) {
        if (untilDelimiter) return broken("is cut short: an item that starts before byte " + std::to_string(pos) +
                                          " has no end");
        // A few bytes of padding after the last element are harmless.
        return topLevel ? Step::Ok : Step::Stop;
      }
      if (!untilDelimiter && end - pos < 8) return topLevel ? Step::Ok : Step::Stop;
      const uint16_t group = u16(head, encoding.bigEndian), element = u16(head + 2, encoding.bigEndian);
      if (group == 0xfffe) {
        if (element == 0xe00d && untilDelimiter) {
          pos += 8;
          return Step::Ok;
        }
        return Step::Stop;
      }
      int64_t length;
      int64_t header = 8;
      bool sequence = false, fragments = false;
      Encoding inside = encoding;
      if (encoding.explicitVr) {
        const char vr[2] = {static_cast<char>(head[4]), static_cast<char>(head[5])};
        if (!knownVr(vr)) return Step::Stop;
        if (longLength(vr)) {
          if (!source_.read(pos, 12, head)) {
            return broken("is cut short: element " + tagName(group, element) + " at byte " + std::to_string(pos) +
                          " has no length");
          }
          length = u32(head + 8, encoding.bigEndian);
          header = 12;
        } else {
          length = u16(head + 6, encoding.bigEndian);
        }
        const bool sq = vr[0] == 'S' && vr[1] == 'Q';
        if (length == kUndefined) {
          if (sq) {
            sequence = true;
          } else if (vr[0] == 'U' && vr[1] == 'N') {
            // A sequence of an unknown VR is stored implicit little endian.
            sequence = true;
            inside = Encoding{false, false};
          } else if (vr[0] == 'O') {
            fragments = true;
          } else {
            return Step::Stop;
          }
        } else {
          sequence = sq;
        }
      } else {
        length = u32(head + 4, encoding.bigEndian);
        if (length == kUndefined) {
          fragments = group == 0x7fe0 && element == 0x0010;
          sequence = !fragments;
        } else {
          // Implicit sequences of known length look like any other value;
          // their items lie within it, and so within the file.
          sequence = false;
        }
      }
      const std::string what = "element " + tagName(group, element);
      const int64_t valueStart = pos + header;
      if (length == kUndefined) {
        pos = valueStart;
        const Step step = fragments ? walkFragments(pos, what)
                                    : walkItems(pos, size, true, inside, depth + 1, what);
        if (step != Step::Ok) return step;
        continue;
      }
      if (valueStart + length > size) return broken(beyondEnd(what, pos, header + length));
      if (!untilDelimiter && valueStart + length > end) return Step::Stop;
      if (sequence) {
        int64_t inner = valueStart;
        const Step step = walkItems(inner, valueStart + length, false, inside, depth + 1, what);
        if (step == Step::Broken) return step;
      }
      pos = valueStart + length;
    }
  }

  // The items of a sequence: of known total length up to `end`, or up to
  // the sequence delimiter.
  Step walkItems(int64_t& pos, int64_t end, bool untilDelimiter, Encoding encoding, int depth,
                 const std::string& what) {
    if (depth > kMaxDepth) {
      return broken("nests sequences more than " + std::to_string(kMaxDepth) + " deep (" + what + " at byte " +
                    std::to_string(pos) + ")");
    }
    const int64_t size = source_.size();
    while (true) {
      if (!untilDelimiter && pos >= end) return Step::Ok;
      uint8_t head[8];
      if (!source_.read(pos, 8, head)) {
        if (untilDelimiter) return broken("is cut short: the sequence " + what + " has no end");
        return Step::Stop;
      }
      const uint16_t group = u16(head, encoding.bigEndian), element = u16(head + 2, encoding.bigEndian);
      const uint32_t length = u32(head + 4, encoding.bigEndian);
      if (group != 0xfffe) return Step::Stop;
      if (element == 0xe0dd) {
        if (!untilDelimiter) return Step::Stop;
        pos += 8;
        return Step::Ok;
      }
      if (element != 0xe000) return Step::Stop;
      const int64_t itemStart = pos + 8;
      if (length == kUndefined) {
        pos = itemStart;
        const Step step = walkDataSet(pos, size, encoding, true, depth, false);
        if (step != Step::Ok) return step;
        continue;
      }
      if (itemStart + length > size) return broken(beyondEnd("an item of the sequence in " + what, pos, 8 + int64_t{length}));
      if (!untilDelimiter && itemStart + length > end) return Step::Stop;
      int64_t inner = itemStart;
      const Step step = walkDataSet(inner, itemStart + length, encoding, false, depth, false);
      if (step == Step::Broken) return step;
      pos = itemStart + length;
    }
  }

  // Encapsulated pixel data: an offset table and fragments, each an item of
  // known length, up to the sequence delimiter.
  Step walkFragments(int64_t& pos, const std::string& what) {
    while (true) {
      uint8_t head[8];
      if (!source_.read(pos, 8, head)) return broken("is cut short: the encapsulated data of " + what + " has no end");
      // Fragments are always little endian: only explicit little endian syntaxes encapsulate.
      const uint16_t group = u16(head, false), element = u16(head + 2, false);
      const uint32_t length = u32(head + 4, false);
      if (group != 0xfffe) return Step::Stop;
      if (element == 0xe0dd) {
        pos += 8;
        return Step::Ok;
      }
      if (element != 0xe000 || length == kUndefined) return Step::Stop;
      if (pos + 8 + int64_t{length} > source_.size()) {
        return broken(beyondEnd("a fragment of " + what, pos, 8 + int64_t{length}));
      }
      pos += 8 + int64_t{length};
    }
  }

  Source& source_;
  DicomFraming& out_;
};

DicomFraming walk(Source& source) {
  DicomFraming framing;
  Walker(source, framing).run();
  if (!framing.broken()) framing.problem.clear();
  return framing;
}

}  // namespace

DicomFraming checkDicomFraming(const std::string& path) {
  const Opened opened = openRegular(path);
  if (opened.state != Opened::Ok) return {};
  FileSource source(opened.file->fd(), opened.size);
  return walk(source);
}

DicomFraming checkDicomFramingBytes(std::string_view bytes) {
  MemorySource source(bytes);
  return walk(source);
}

}  // namespace voluna
