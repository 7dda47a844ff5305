// DICOM series as users hand them over: a folder of files of which some are
// damaged, a folder of several series, a disc's DICOMDIR. No file can take
// the process down; what cannot be read is skipped with a notice, unless it
// is the file chosen.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "dicom_files.h"
#include "scratch_folder.h"
#include "volume_io.h"

namespace voluna {
namespace {

namespace fs = std::filesystem;
using test_support::writeDicomSlice;

const std::string kSeriesA = "1.2.826.0.1.3680043.2.1125.7.31";
const std::string kSeriesB = "1.2.826.0.1.3680043.2.1125.7.32";

void expectOneLine(const std::string& text) { EXPECT_EQ(text.find('\n'), std::string::npos) << text; }

class DicomFolders : public test_support::ScratchFolderTest {
 protected:
  // `count` slices of a series, 2 mm apart, in `folder`.
  void writeSeries(const std::string& folder, const std::string& uid, int count, const std::string& description) {
    fs::create_directories(path(folder));
    for (int k = 0; k < count; ++k) {
      writeDicomSlice(path(folder + "/s" + std::to_string(k) + ".dcm"), uid, k + 1, 2.0 * k, 4, 3,
                      static_cast<int16_t>(100 * k), description);
    }
  }
  void put(const std::string& name, const std::string& bytes) { std::ofstream(path(name), std::ios::binary) << bytes; }
};

TEST_F(DicomFolders, AFileThatAbortsGdcmIsSkippedAndTheSeriesStillLoads) {
  writeSeries("ct", kSeriesA, 3, "");
  put("ct/abort.dcm", test_support::gdcmAbortingBytes());
  writeDicomSlice(path("ct/whole.dcm"), kSeriesB, 1, 0.0, 40, 30, 0);
  const std::string whole = slurp(path("ct/whole.dcm"));
  put("ct/cut.dcm", whole.substr(0, whole.size() - 50));
  fs::remove(path("ct/whole.dcm"));

  const LoadResult loaded = loadVolume(path("ct/s1.dcm"));
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  EXPECT_EQ(loaded.volume.dims.z, 3);
  EXPECT_NEAR(loaded.volume.geometry.spacing[2], 2.0, 1e-9);
  EXPECT_NE(loaded.notice.find("skipped 2 files"), std::string::npos) << loaded.notice;
  EXPECT_NE(loaded.notice.find(path("ct/abort.dcm") + " could not be read: its reader was stopped by signal " +
                               std::to_string(SIGABRT)),
            std::string::npos)
      << loaded.notice;
  EXPECT_NE(loaded.notice.find(path("ct/cut.dcm") + " is cut short"), std::string::npos) << loaded.notice;
  expectOneLine(loaded.notice);

  // The files themselves, chosen, are refused with the same words.
  const LoadResult aborting = loadVolume(path("ct/abort.dcm"));
  ASSERT_FALSE(aborting.ok());
  EXPECT_EQ(aborting.error, path("ct/abort.dcm") + ": could not be read: its reader was stopped by signal " +
                                std::to_string(SIGABRT) + " (" + strsignal(SIGABRT) + ")");
  const LoadResult cut = loadVolume(path("ct/cut.dcm"));
  ASSERT_FALSE(cut.ok());
  EXPECT_NE(cut.error.find("is cut short or damaged: element (7FE0,0010)"), std::string::npos) << cut.error;
  expectOneLine(cut.error);

  const SeriesListing listing = listSeries(path("ct"));
  ASSERT_TRUE(listing.ok()) << listing.error;
  ASSERT_EQ(listing.series.size(), 1u);
  EXPECT_EQ(listing.series[0].images, 3);
  ASSERT_EQ(listing.notices.size(), 1u);
  EXPECT_NE(listing.notices[0].find("abort.dcm"), std::string::npos);
}

TEST_F(DicomFolders, AFolderOffersItsSeriesAndReadsTheLargestOrTheOneAskedFor) {
  writeSeries("study/small", kSeriesA, 2, "Scout");
  writeSeries("study/large", kSeriesB, 4, "Thorax 1.0");
  put("study/notes.txt", "not DICOM at all\n");

  const SeriesListing listing = listSeries(path("study"));
  ASSERT_TRUE(listing.ok()) << listing.error;
  EXPECT_TRUE(listing.notices.empty()) << "a file that is no DICOM is no notice";
  ASSERT_EQ(listing.series.size(), 2u);
  const SeriesInfo& large = listing.series[0].uid == kSeriesB ? listing.series[0] : listing.series[1];
  EXPECT_EQ(large.uid, kSeriesB);
  EXPECT_EQ(large.modality, "CT");
  EXPECT_EQ(large.description, "Thorax 1.0");
  EXPECT_EQ(large.images, 4);
  EXPECT_EQ(large.width, 4);
  EXPECT_EQ(large.height, 3);
  EXPECT_EQ(large.depth, 4);
  EXPECT_EQ(large.problem(), "");

  const LoadResult largest = loadVolume(path("study"));
  ASSERT_TRUE(largest.ok()) << largest.error;
  EXPECT_EQ(largest.volume.dims.z, 4);
  EXPECT_NE(largest.notice.find("holds 2 series; read " + kSeriesB + " (CT, 'Thorax 1.0', 4 images), the one with "
                                "the most images"),
            std::string::npos)
      << largest.notice;

  const LoadResult asked = loadVolume(path("study"), LoadOptions{kSeriesA});
  ASSERT_TRUE(asked.ok()) << asked.error;
  EXPECT_EQ(asked.volume.dims.z, 2);
  EXPECT_EQ(asked.notice, "");
  const auto* v = reinterpret_cast<const int16_t*>(asked.volume.data.data());
  EXPECT_EQ(v[12], 100) << "the second slice of the series asked for";

  const LoadResult unknown = loadVolume(path("study"), LoadOptions{"1.2.3"});
  ASSERT_FALSE(unknown.ok());
  EXPECT_NE(unknown.error.find("holds no series 1.2.3; its series are"), std::string::npos) << unknown.error;
  EXPECT_NE(unknown.error.find(kSeriesA), std::string::npos);

  // One file's folder holds only its own series; other formats hold none.
  const LoadResult elsewhere = loadVolume(path("study/small/s0.dcm"), LoadOptions{kSeriesB});
  ASSERT_FALSE(elsewhere.ok());
  EXPECT_NE(elsewhere.error.find("holds no series " + kSeriesB), std::string::npos) << elsewhere.error;
  Volume plain;
  plain.dims = {2, 2, 2};
  plain.data.assign(8, 1);
  ASSERT_EQ(writeVolume(path("plain.nii"), plain), "");
  const LoadResult notDicom = loadVolume(path("plain.nii"), LoadOptions{kSeriesA});
  ASSERT_FALSE(notDicom.ok());
  EXPECT_NE(notDicom.error.find("is not DICOM"), std::string::npos) << notDicom.error;

  fs::create_directories(path("empty"));
  const LoadResult empty = loadVolume(path("empty"));
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error, path("empty") + ": is a folder that holds no DICOM image series");
  EXPECT_FALSE(listSeries(path("empty")).ok());
}

// GDCM's sorter refuses a gantry tilt, which CT scanners write for heads;
// such series still load, ordered along their slices' normal.
TEST_F(DicomFolders, ASeriesWithAGantryTiltIsOrderedAllTheSame) {
  fs::create_directories(path("head"));
  const int order[] = {2, 0, 3, 1};
  for (int k : order) {
    writeDicomSlice(path("head/i" + std::to_string(k) + ".dcm"), kSeriesA, k + 1, 3.0 * k, 4, 3,
                    static_cast<int16_t>(100 * k), "", {{"0018|1120", "15"}});
  }
  const LoadResult loaded = loadVolume(path("head/i2.dcm"));
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  ASSERT_EQ(loaded.volume.dims.z, 4);
  const auto* v = reinterpret_cast<const int16_t*>(loaded.volume.data.data());
  for (int k = 0; k < 4; ++k) EXPECT_EQ(v[12 * k], 100 * k) << "slice " << k;
  EXPECT_NEAR(loaded.volume.geometry.spacing[2], 3.0, 1e-9);
}

// A disc's index cut short: its folder's own files still load.
TEST_F(DicomFolders, ADamagedDicomdirDoesNotHideTheFilesBesideIt) {
  writeSeries("disc/series", kSeriesA, 3, "");
  auto element = [](const char* tag, const char* vr, const std::string& value) {
    const uint16_t n = static_cast<uint16_t>(value.size());
    return std::string(tag, 4) + vr + std::string{static_cast<char>(n), static_cast<char>(n >> 8)} + value;
  };
  const std::string meta = element("\x02\x00\x02\x00", "UI", std::string("1.2.840.10008.1.3.10", 20)) +
                           element("\x02\x00\x10\x00", "UI", std::string("1.2.840.10008.1.2.1", 20));
  // The Directory Record Sequence claims 200 bytes; the file ends after 8.
  put("disc/DICOMDIR", std::string(128, '\0') + "DICM" + meta + std::string("\x04\x00\x20\x12SQ\0\0\xc8\0\0\0", 12) +
                           std::string(8, '\0'));

  const SeriesListing listing = listSeries(path("disc"));
  ASSERT_TRUE(listing.ok()) << listing.error;
  ASSERT_EQ(listing.series.size(), 1u);
  EXPECT_EQ(listing.series[0].images, 3);
  ASSERT_FALSE(listing.notices.empty());
  EXPECT_NE(listing.notices[0].find("DICOMDIR is cut short"), std::string::npos) << listing.notices[0];
  EXPECT_NE(listing.notices[0].find("the folder's files were scanned instead"), std::string::npos);
  const LoadResult loaded = loadVolume(path("disc"));
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  EXPECT_EQ(loaded.volume.dims.z, 3);
  // Chosen itself, the index is refused.
  EXPECT_FALSE(loadVolume(path("disc/DICOMDIR")).ok());
}

// ---------------------------------------------------------------------------
// pydicom's disc of three patients (python3-pydicom): one DICOMDIR in seven
// variants, 13 series, 31 image files.

const fs::path kDisc = fs::path(VOLUNA_PYDICOM_DATA) / "dicomdirtests";

class Dicomdir : public test_support::ScratchFolderTest {
 protected:
  void SetUp() override {
    if (!fs::exists(kDisc / "DICOMDIR")) GTEST_SKIP() << "python3-pydicom's test files are not installed";
    ScratchFolderTest::SetUp();
  }
  static std::vector<std::string> imageFiles() {
    std::vector<std::string> files;
    for (const char* patient : {"77654033", "98892001", "98892003"}) {
      for (const auto& entry : fs::recursive_directory_iterator(kDisc / patient)) {
        if (entry.is_regular_file()) files.push_back(entry.path().string());
      }
    }
    return files;
  }
};

TEST_F(Dicomdir, ItsThirteenSeriesAreListedWithTheirImages) {
  const SeriesListing listing = listSeries((kDisc / "DICOMDIR").string());
  ASSERT_TRUE(listing.ok()) << listing.error;
  ASSERT_EQ(listing.series.size(), 13u);
  std::set<std::string> uids, files;
  int images = 0;
  for (const SeriesInfo& s : listing.series) {
    uids.insert(s.uid);
    images += s.images;
    EXPECT_TRUE(s.modality == "CR" || s.modality == "CT" || s.modality == "MR") << s.modality;
    EXPECT_EQ(s.problem(), "") << s.uid;
    EXPECT_EQ(s.depth, s.images) << s.uid;
    ASSERT_EQ(static_cast<int>(s.files.size()), s.images);
    for (const std::string& file : s.files) {
      files.insert(file);
      EXPECT_EQ(fs::path(file).parent_path(), fs::path(s.files[0]).parent_path()) << "one folder a series";
    }
  }
  EXPECT_EQ(uids.size(), 13u);
  const std::vector<std::string> onDisc = imageFiles();
  EXPECT_EQ(images, static_cast<int>(onDisc.size()));
  EXPECT_EQ(files, std::set<std::string>(onDisc.begin(), onDisc.end()));
  const auto largest = std::max_element(listing.series.begin(), listing.series.end(),
                                        [](const SeriesInfo& a, const SeriesInfo& b) { return a.images < b.images; });
  EXPECT_EQ(largest->images, 7);

  // Given the disc's folder, the DICOMDIR in it is what is read.
  const SeriesListing folder = listSeries(kDisc.string());
  ASSERT_TRUE(folder.ok()) << folder.error;
  EXPECT_EQ(folder.series.size(), 13u);
}

TEST_F(Dicomdir, EveryVariantOfTheIndexGivesTheSameSeriesOrARefusal) {
  auto summary = [](const SeriesListing& listing) {
    std::vector<std::pair<std::string, int>> pairs;
    for (const SeriesInfo& s : listing.series) pairs.emplace_back(s.uid, s.images);
    std::sort(pairs.begin(), pairs.end());
    return pairs;
  };
  const auto expected = summary(listSeries((kDisc / "DICOMDIR").string()));
  // Big endian, implicit VR, records out of order, patients of a type no
  // reader knows: the same disc.
  for (const char* variant : {"DICOMDIR-bigEnd", "DICOMDIR-implicit", "DICOMDIR-reordered", "DICOMDIR-nopatient"}) {
    const SeriesListing listing = listSeries((kDisc / variant).string());
    ASSERT_TRUE(listing.ok()) << variant << ": " << listing.error;
    EXPECT_EQ(summary(listing), expected) << variant;
  }
  // Its last record runs past the end of the file: GDCM asserts on it.
  const SeriesListing broken = listSeries((kDisc / "DICOMDIR-nooffset").string());
  ASSERT_FALSE(broken.ok());
  EXPECT_NE(broken.error.find("is cut short or damaged"), std::string::npos) << broken.error;
  const LoadResult brokenLoad = loadVolume((kDisc / "DICOMDIR-nooffset").string());
  EXPECT_FALSE(brokenLoad.ok());
  expectOneLine(brokenLoad.error);

  const SeriesListing empty = listSeries((kDisc / "DICOMDIR-empty.dcm").string());
  ASSERT_FALSE(empty.ok());
  EXPECT_NE(empty.error.find("names no image series"), std::string::npos) << empty.error;
}

TEST_F(Dicomdir, EverySeriesLoadsOrIsRefusedInOneLine) {
  const std::string index = (kDisc / "DICOMDIR").string();
  const SeriesListing listing = listSeries(index);
  ASSERT_TRUE(listing.ok()) << listing.error;
  int loaded = 0;
  for (const SeriesInfo& s : listing.series) {
    const LoadResult result = loadVolume(index, LoadOptions{s.uid});
    if (result.ok()) {
      ++loaded;
      EXPECT_EQ(result.volume.dims.x, s.width) << s.uid;
      EXPECT_EQ(result.volume.dims.y, s.height) << s.uid;
      EXPECT_EQ(result.volume.dims.z, s.depth) << s.uid;
    } else {
      EXPECT_EQ(result.error.rfind(index + ": series " + s.uid + ": ", 0), 0u) << result.error;
      expectOneLine(result.error);
    }
  }
  EXPECT_GE(loaded, 8) << "the disc's single images and regular series load";
}

// A disc copied in part: series whose files are gone or whose references
// point outside the disc are listed as such, and the rest still loads.
TEST_F(Dicomdir, MissingAndOutsideReferencesAreListedNotFatal) {
  for (const char* part : {"77654033", "98892001", "98892003"}) {
    fs::copy(kDisc / part, folder_ / part, fs::copy_options::recursive);
  }
  std::string index = slurp((kDisc / "DICOMDIR").string());
  const std::string reference = "98892003\\MR700\\4648";
  const size_t at = index.find(reference);
  ASSERT_NE(at, std::string::npos);
  index.replace(at, reference.size(), "..\\..\\..\\..\\..\\..\\4");  // as long, and outside the disc
  std::ofstream(path("DICOMDIR"), std::ios::binary) << index;
  fs::remove(folder_ / "98892003" / "MR700" / "4558");
  fs::remove(folder_ / "98892003" / "MR700" / "4528");

  const SeriesListing listing = listSeries(path("DICOMDIR"));
  ASSERT_TRUE(listing.ok()) << listing.error;
  ASSERT_EQ(listing.series.size(), 13u);
  const auto mr700 = std::find_if(listing.series.begin(), listing.series.end(),
                                  [](const SeriesInfo& s) { return s.number == "700"; });
  ASSERT_NE(mr700, listing.series.end());
  EXPECT_EQ(mr700->images, 4);
  EXPECT_EQ(mr700->missing, 3);
  EXPECT_EQ(mr700->problem(), "3 of 7 files missing");
  std::string notices;
  for (const std::string& n : listing.notices) notices += n + "|";
  EXPECT_NE(notices.find("names 3 files that are not there"), std::string::npos) << notices;
  EXPECT_NE(notices.find("which is not a file in its folder"), std::string::npos) << notices;

  const LoadResult other = loadVolume(path("DICOMDIR"), LoadOptions{listing.series[0].uid});
  EXPECT_TRUE(other.ok()) << other.error;
}

}  // namespace
}  // namespace voluna
