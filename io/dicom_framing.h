// Voluna's own walk over the framing of a DICOM file (tags, value
// representations, lengths, sequence and item delimiters; never the values)
// before GDCM reads it. Debian's GDCM asserts, and so aborts the whole
// process, on files whose elements run past their end: the truncated file
// that every folder of real data holds sooner or later. The walk is bounded:
// one pass over the element headers, a fixed nesting depth, small reads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace voluna {

struct DicomFraming {
  enum class Verdict {
    Sound,     // every element, item and fragment lies within the file
    Unjudged,  // not DICOM as the walk knows it (no preamble, a broken VR, deflated): GDCM decides
    Broken,    // an element runs past the end of the file, or nests without end
  };
  Verdict verdict = Verdict::Unjudged;
  std::string problem;         // for Broken: what is wrong, without the file name
  bool dicomPrefix = false;    // "DICM" after a 128-byte preamble
  std::string transferSyntax;  // (0002,0010), trimmed
  std::string mediaStorage;    // (0002,0002), trimmed: a DICOMDIR is 1.2.840.10008.1.3.10

  bool broken() const { return verdict == Verdict::Broken; }
  bool isDicomdir() const { return mediaStorage == "1.2.840.10008.1.3.10"; }
};

// Walks the file at `path`. A file that cannot be opened is Unjudged (the
// reader after it says why).
DicomFraming checkDicomFraming(const std::string& path);

// The same walk over bytes in memory (the fuzz target's way in).
DicomFraming checkDicomFramingBytes(std::string_view bytes);

}  // namespace voluna
