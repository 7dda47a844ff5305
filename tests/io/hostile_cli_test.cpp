// The corpus through voluna-filter, as a user meets it: a refused file ends
// the process with status 1 and one line on standard error, under limits of
// memory and time, leaving no file behind; a sound file of any type filters.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace {

namespace fs = std::filesystem;

const fs::path kData = VOLUNA_TEST_DATA;

using voluna::test_support::Outcome;
using voluna::test_support::runTool;

class InFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("voluna-cli-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  bool folderEmpty() const { return fs::is_empty(folder_); }

  fs::path folder_;
};

using HostileCorpusCli = InFolder;

TEST_F(HostileCorpusCli, EveryFileEndsWithStatusOneAndOneLineAndNoOutput) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(kData / "hostile")) {
    const std::string extension = entry.path().extension().string();
    if (extension == ".mha" || extension == ".mhd") files.push_back(entry.path());
  }
  ASSERT_GE(files.size(), 40u);
  for (const fs::path& file : files) {
    const Outcome run = runTool(folder_, {"--samples", "1", "--steps", "1", "--angle", "90", file.string()});
    ASSERT_TRUE(run.exited) << file << " killed the process with signal " << run.status << "\n" << run.err;
    EXPECT_EQ(run.status, 1) << file << "\n" << run.err;
    const std::string prefix = "voluna-filter: " + file.string() + ": ";
    EXPECT_EQ(run.err.rfind(prefix, 0), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line:\n" << run.err;
    EXPECT_TRUE(folderEmpty()) << file << " left files behind";
  }
}

using ValidCorpusCli = InFolder;

TEST_F(ValidCorpusCli, EveryFileFiltersAndSaysWhenItIsNotEightBit) {
  struct Case {
    const char* file;
    int64_t voxels;
    bool converted;
  };
  const Case cases[] = {
      {"s16_ct.mha", 60, true},        {"s16_ct_msb.mha", 60, true},         {"s16_ct_gzip.mhd", 60, true},
      {"f32_recon.mhd", 24, true},     {"s16_single_voxel.mha", 1, true},    {"u8_slice.mha", 20, false},
      {"u8_single_voxel.mha", 1, false}, {"u8_pattern_zlib.mha", 960, false}, {"u8_tail.mhd", 24, false},
  };
  for (const Case& c : cases) {
    const fs::path file = kData / "valid" / c.file;
    const Outcome run = runTool(folder_, {"--samples", "2", "--steps", "2", "--angle", "30", "--backend",
                                        "cpu-reference", "-o", "out.raw", file.string()});
    ASSERT_TRUE(run.exited) << c.file << " killed the process with signal " << run.status;
    EXPECT_EQ(run.status, 0) << c.file << "\n" << run.err;
    ASSERT_TRUE(fs::exists(folder_ / "out.raw")) << c.file;
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(folder_ / "out.raw")), c.voxels) << c.file;
    EXPECT_EQ(run.err.find("filtered at full precision") != std::string::npos, c.converted) << c.file << ":\n"
                                                                                            << run.err;
    fs::remove(folder_ / "out.raw");
    fs::remove(folder_ / "out.mhd");
  }
}

}  // namespace
