// voluna-filter on a disc's DICOMDIR, as a script uses it: --list-series
// prints one line a series, --series picks each of them, and every run ends
// in a volume or in one line that says why.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "scratch_folder.h"
#include "tool_runner.h"

namespace voluna {
namespace {

namespace fs = std::filesystem;
using test_support::Outcome;
using test_support::runTool;

const fs::path kIndex = fs::path(VOLUNA_PYDICOM_DATA) / "dicomdirtests" / "DICOMDIR";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    out.push_back(line.substr(start, tab - start));
  }
  out.push_back(line.substr(start));
  return out;
}

class SeriesCli : public test_support::ScratchFolderTest {
 protected:
  void SetUp() override {
    if (!fs::exists(kIndex)) GTEST_SKIP() << "python3-pydicom's test files are not installed";
    ScratchFolderTest::SetUp();
  }
};

TEST_F(SeriesCli, ListSeriesPrintsOneTabSeparatedLineASeries) {
  const Outcome run = runTool(folder_, {"--list-series", kIndex.string()});
  ASSERT_TRUE(run.exited);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::vector<std::string> listed = lines(run.out);
  ASSERT_EQ(listed.size(), 13u) << run.out;
  const std::regex uid("[0-9]+(\\.[0-9]+)+"), images("[0-9]+ images?"), size("[0-9]+ x [0-9]+ x [0-9]+");
  for (const std::string& line : listed) {
    const std::vector<std::string> f = fields(line);
    ASSERT_EQ(f.size(), 6u) << line;
    EXPECT_TRUE(std::regex_match(f[0], uid)) << f[0];
    EXPECT_TRUE(f[1] == "CR" || f[1] == "CT" || f[1] == "MR") << f[1];
    EXPECT_FALSE(f[2].empty()) << "every series of this disc has a description: " << line;
    EXPECT_TRUE(std::regex_match(f[3], images)) << f[3];
    EXPECT_TRUE(std::regex_match(f[4], size)) << f[4];
    EXPECT_EQ(f[5], "");
  }
}

TEST_F(SeriesCli, SeriesPicksEachOneWithAVolumeOrOneLineWhy) {
  const Outcome listing = runTool(folder_, {"--list-series", kIndex.string()});
  ASSERT_EQ(listing.status, 0) << listing.err;
  int written = 0;
  for (const std::string& line : lines(listing.out)) {
    const std::string uid = fields(line)[0];
    const Outcome run = runTool(folder_, {"--samples", "1", "--steps", "1", "--angle", "90", "--series", uid, "-o",
                                          "out.nii", kIndex.string()});
    ASSERT_TRUE(run.exited) << uid << " ended by signal " << run.status;
    if (run.status == 0) {
      ++written;
      EXPECT_TRUE(fs::exists(folder_ / "out.nii")) << uid;
      fs::remove(folder_ / "out.nii");
    } else {
      EXPECT_EQ(run.status, 1) << uid;
      EXPECT_EQ(lines(run.err).size(), 1u) << run.err;
      EXPECT_EQ(run.err.rfind("voluna-filter: " + kIndex.string() + ": series " + uid + ": ", 0), 0u) << run.err;
      EXPECT_FALSE(fs::exists(folder_ / "out.nii")) << uid;
    }
  }
  EXPECT_GE(written, 8);
}

TEST_F(SeriesCli, WrongUseIsRefusedWithoutOutput) {
  const Outcome unknown = runTool(folder_, {"--series", "1.2.3", "-o", "out.nii", kIndex.string()});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("holds no series 1.2.3; its series are"), std::string::npos) << unknown.err;
  EXPECT_EQ(lines(unknown.err).size(), 1u);

  const Outcome both = runTool(folder_, {"--list-series", kIndex.string(), "input.nii"});
  EXPECT_EQ(both.status, 2);
  EXPECT_NE(both.err.find("--list-series takes its PATH and no INPUT"), std::string::npos) << both.err;

  const Outcome missing = runTool(folder_, {"--list-series", (folder_ / "nothing").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("no such file or folder"), std::string::npos) << missing.err;

  const Outcome empty = runTool(folder_, {"--series", "", kIndex.string()});
  EXPECT_EQ(empty.status, 2);
  EXPECT_TRUE(fs::is_empty(folder_));
}

}  // namespace
}  // namespace voluna
