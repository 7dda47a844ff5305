// Voluna's walk over a DICOM file's framing, before GDCM reads it: what runs
// past the end of the file or nests without end is broken, what GDCM copes
// with in its own ways is left to it, and a sound file passes.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "dicom_files.h"
#include "dicom_framing.h"
#include "scratch_folder.h"

namespace voluna {
namespace {

using Verdict = DicomFraming::Verdict;

std::string u16(uint16_t v, bool big = false) {
  return big ? std::string{static_cast<char>(v >> 8), static_cast<char>(v)}
             : std::string{static_cast<char>(v), static_cast<char>(v >> 8)};
}
std::string u32(uint32_t v, bool big = false) {
  return big ? u16(static_cast<uint16_t>(v >> 16), true) + u16(static_cast<uint16_t>(v), true)
             : u16(static_cast<uint16_t>(v)) + u16(static_cast<uint16_t>(v >> 16));
}

bool longForm(const std::string& vr) { return vr == "OB" || vr == "OW" || vr == "SQ" || vr == "UN" || vr == "UT"; }

// An explicit VR element; `length` overrides the value's own length.
std::string element(uint16_t group, uint16_t tag, const std::string& vr, const std::string& value, bool big = false,
                    int64_t length = -1) {
  const uint32_t n = length < 0 ? static_cast<uint32_t>(value.size()) : static_cast<uint32_t>(length);
  std::string e = u16(group, big) + u16(tag, big) + vr;
  e += longForm(vr) ? std::string(2, '\0') + u32(n, big) : u16(static_cast<uint16_t>(n), big);
  return e + value;
}

std::string implicitElement(uint16_t group, uint16_t tag, const std::string& value, int64_t length = -1) {
  return u16(group) + u16(tag) + u32(length < 0 ? static_cast<uint32_t>(value.size()) : static_cast<uint32_t>(length)) +
         value;
}

std::string item(const std::string& content, bool undefined = false, bool big = false) {
  return u16(0xfffe, big) + u16(0xe000, big) + u32(undefined ? 0xffffffffu : static_cast<uint32_t>(content.size()), big) +
         content + (undefined ? u16(0xfffe, big) + u16(0xe00d, big) + u32(0, big) : "");
}

std::string sequenceEnd(bool big = false) { return u16(0xfffe, big) + u16(0xe0dd, big) + u32(0, big); }

std::string padded(std::string uid) {
  if (uid.size() % 2) uid += '\0';
  return uid;
}

// Preamble, "DICM" and a file meta group naming `syntax`.
std::string meta(const std::string& syntax, const std::string& storage = "1.2.840.10008.5.1.4.1.1.2") {
  const std::string group = element(0x0002, 0x0002, "UI", padded(storage)) + element(0x0002, 0x0010, "UI", padded(syntax));
  return std::string(128, '\0') + "DICM" + element(0x0002, 0x0000, "UL", u32(static_cast<uint32_t>(group.size()))) +
         group;
}

const std::string kExplicit = "1.2.840.10008.1.2.1";
const std::string kImplicit = "1.2.840.10008.1.2";
const std::string kBigEndian = "1.2.840.10008.1.2.2";

std::string soundImage(const std::string& syntax = kExplicit) {
  const bool big = syntax == kBigEndian;
  return meta(syntax) + element(0x0008, 0x0060, "CS", "CT", big) + element(0x0028, 0x0010, "US", u16(2, big), big) +
         element(0x7fe0, 0x0010, "OW", std::string(8, '\x11'), big);
}

TEST(DicomFraming, SoundFilesPassInEveryUncompressedEncoding) {
  for (const std::string& syntax : {kExplicit, kBigEndian}) {
    const DicomFraming f = checkDicomFramingBytes(soundImage(syntax));
    EXPECT_EQ(f.verdict, Verdict::Sound) << syntax << ": " << f.problem;
    EXPECT_EQ(f.transferSyntax, syntax);
    EXPECT_TRUE(f.dicomPrefix);
    EXPECT_FALSE(f.isDicomdir());
  }
  const std::string implicit = meta(kImplicit) + implicitElement(0x0008, 0x0060, "CT") +
                               implicitElement(0x7fe0, 0x0010, std::string(8, 'x'));
  EXPECT_EQ(checkDicomFramingBytes(implicit).verdict, Verdict::Sound);

  // Sequences of either length form, items of either form, and encapsulated
  // pixel data with its offset table and fragments.
  const std::string nested = element(0x0010, 0x0010, "PN", "AB");
  const std::string sequences =
      meta("1.2.840.10008.1.2.4.50") + element(0x0008, 0x1140, "SQ", item(nested) + item(nested, true)) +
      element(0x0008, 0x1115, "SQ", item(element(0x0008, 0x1140, "SQ", item(nested, true) + sequenceEnd(), false,
                                                 0xffffffff)), false) +
      element(0x0009, 0x1000, "UN", item(implicitElement(0x0010, 0x0010, "AB")) + sequenceEnd(), false, 0xffffffff) +
      element(0x7fe0, 0x0010, "OB", item("") + item(std::string(6, 'j')) + sequenceEnd(), false, 0xffffffff);
  const DicomFraming f = checkDicomFramingBytes(sequences);
  EXPECT_EQ(f.verdict, Verdict::Sound) << f.problem;

  EXPECT_TRUE(checkDicomFramingBytes(meta(kExplicit, "1.2.840.10008.1.3.10") + element(0x0004, 0x1130, "CS", "")).isDicomdir());
}

TEST(DicomFraming, WhatRunsPastTheEndIsBrokenAndSaysWhere) {
  struct Case {
    std::string name, bytes, fragment;
  };
  const std::string image = soundImage();
  const std::string nested = element(0x0010, 0x0010, "PN", "AB");
  const std::string implicitImage = meta(kImplicit) + implicitElement(0x7fe0, 0x0010, std::string(8, 'x'));
  const Case cases[] = {
      {"pixel data cut short", image.substr(0, image.size() - 3), "element (7FE0,0010) at byte"},
      {"implicit pixel data cut short", implicitImage.substr(0, implicitImage.size() - 1), "(7FE0,0010)"},
      {"meta value cut short", meta(kExplicit).substr(0, 150), "file meta information"},
      {"nothing after the meta group", meta(kExplicit), "right after its file meta information"},
      {"sequence without its end", meta(kExplicit) + element(0x0008, 0x1140, "SQ", item(nested), false, 0xffffffff),
       "has no end"},
      {"item without its end", meta(kExplicit) + element(0x0008, 0x1140, "SQ", u16(0xfffe) + u16(0xe000) +
                                                                                u32(0xffffffff) + nested,
                                                     false, 0xffffffff),
       "has no end"},
      {"item longer than the file", meta(kExplicit) + element(0x0008, 0x1140, "SQ", u16(0xfffe) + u16(0xe000) +
                                                                                      u32(400) + nested),
       "an item of the sequence"},
      {"fragment longer than the file",
       meta("1.2.840.10008.1.2.4.50") + element(0x7fe0, 0x0010, "OB", item("") + u16(0xfffe) + u16(0xe000) + u32(99),
                                                false, 0xffffffff),
       "a fragment"},
      {"meta group with a sequence", std::string(128, '\0') + "DICM" + element(0x0002, 0x0001, "SQ", ""),
       "sequence in its file meta information"},
  };
  for (const Case& c : cases) {
    const DicomFraming f = checkDicomFramingBytes(c.bytes);
    ASSERT_EQ(f.verdict, Verdict::Broken) << c.name;
    EXPECT_NE(f.problem.find(c.fragment), std::string::npos) << c.name << ": " << f.problem;
    EXPECT_EQ(f.problem.find('\n'), std::string::npos) << c.name;
  }
  // Nesting without bound would take GDCM's recursive reader past its stack.
  std::string deep = element(0x0010, 0x0010, "PN", "AB");
  for (int i = 0; i < 70; ++i) deep = element(0x0008, 0x1140, "SQ", item(deep, true) + sequenceEnd(), false, 0xffffffff);
  const DicomFraming f = checkDicomFramingBytes(meta(kExplicit) + deep);
  EXPECT_EQ(f.verdict, Verdict::Broken);
  EXPECT_NE(f.problem.find("more than 64 deep"), std::string::npos) << f.problem;
}

// The walk judges only what it knows; GDCM has its own ways with the rest.
TEST(DicomFraming, OddButPossiblyReadableFilesAreLeftToGdcm) {
  const std::string nested = element(0x0010, 0x0010, "PN", "AB");
  const std::string cases[] = {
      test_support::gdcmAbortingBytes(),                                                 // no preamble
      meta("1.2.840.10008.1.2.1.99") + std::string(16, '\x5a'),                  // deflated
      meta(kExplicit) + std::string("\x08\x00\x60\x00zz\x02\x00" "CT", 10),     // a VR that is none
      // An item longer than its sequence, within the file: some writers do that.
      meta(kExplicit) + element(0x0008, 0x1140, "SQ", u16(0xfffe) + u16(0xe000) + u32(20) + nested, false, 12) +
          std::string(16, '\0'),
  };
  for (const std::string& bytes : cases) {
    const DicomFraming f = checkDicomFramingBytes(bytes);
    EXPECT_NE(f.verdict, Verdict::Broken) << f.problem;
    EXPECT_TRUE(f.problem.empty());
  }
}

class DicomFramingFile : public test_support::ScratchFolderTest {};

// Files are read through a window of the file: a slice larger than it, and
// a copy cut short, come out as their bytes do.
TEST_F(DicomFramingFile, FilesAreJudgedAsTheirBytes) {
  test_support::writeDicomSlice(path("big.dcm"), "1.2.826.0.1.3680043.2.1125.9", 1, 0.0, 300, 200, 7);
  const std::string bytes = slurp(path("big.dcm"));
  ASSERT_GT(bytes.size(), 100000u);
  const DicomFraming whole = checkDicomFraming(path("big.dcm"));
  EXPECT_EQ(whole.verdict, Verdict::Sound) << whole.problem;
  EXPECT_EQ(whole.transferSyntax, checkDicomFramingBytes(bytes).transferSyntax);

  std::ofstream(path("cut.dcm"), std::ios::binary) << bytes.substr(0, bytes.size() - 100);
  const DicomFraming cut = checkDicomFraming(path("cut.dcm"));
  EXPECT_EQ(cut.verdict, Verdict::Broken);
  EXPECT_EQ(cut.problem, checkDicomFramingBytes(bytes.substr(0, bytes.size() - 100)).problem);
  EXPECT_NE(cut.problem.find("(7FE0,0010)"), std::string::npos) << cut.problem;

  EXPECT_EQ(checkDicomFraming(path("missing.dcm")).verdict, Verdict::Unjudged);
}

}  // namespace
}  // namespace voluna
