// Runs the real voluna-filter binary the way a script would.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "byte_conversion.h"
#include "filter.h"
#include "scenes.h"
#include "scratch_folder.h"
#include "tool_runner.h"
#include "volume_io.h"

namespace voluna {
namespace {

namespace fs = std::filesystem;

using Outcome = test_support::ShellOutcome;

class VolunaFilterCli : public voluna::test_support::ScratchFolderTest {
 protected:
  // Runs in the temporary folder, so the default output lands there.
  Outcome run(const std::string& arguments) const { return test_support::runInShell(folder_, arguments); }

  std::string writeInput(const std::string& name, const std::vector<uint8_t>& bytes, Dims dims) const {
    EXPECT_EQ(writeResult(path(name + ".raw"), bytes.data(), dims), "");
    return path(name + ".mhd");
  }
};

TEST_F(VolunaFilterCli, HelpDocumentsEveryOption) {
  const Outcome r = run("--help");
  EXPECT_EQ(r.code, 0);
  for (const char* word : {"Usage: voluna-filter", "--samples", "--steps", "--angle", "--output", "--backend",
                           "--threads", "--preserve-edges", "--denoise", "--noise", "--output-type", ".nii.gz",
                           "DICOM", "Output.raw",
                           "Exit status"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(r.err, "");
}

TEST_F(VolunaFilterCli, FiltersLikeTheInProcessPipeline) {
  const Dims dims{7, 5, 3};
  const std::vector<uint8_t> bytes = noiseBytes(dims, 21);
  const std::string input = writeInput("in", bytes, dims);

  const Outcome r = run("--samples 3 --steps 4 --angle 40 '" + input + "'");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Calculate vectorfield...\nFiltering data...\n");
  EXPECT_EQ(r.err, "");

  const std::vector<float> floats = bytesToUnitFloats(bytes.data(), dims.count());
  std::vector<float> result(floats.size());
  FilterParams params{3, 4, 40, false};
  testing::internal::CaptureStdout();
  ASSERT_TRUE(runFilter(floats.data(), dims, params, result.data()).ok());
  testing::internal::GetCapturedStdout();
  const std::vector<uint8_t> expected = unitFloatsToBytes(result.data(), dims.count());
  EXPECT_EQ(slurp(path("Output.raw")), std::string(expected.begin(), expected.end()));

  const LoadResult reopened = loadVolume(path("Output.mhd"));
  ASSERT_TRUE(reopened.ok()) << reopened.error;
  EXPECT_EQ(reopened.volume.data, expected);
}

TEST_F(VolunaFilterCli, TheDefaultScoreGivesTheBytesItAlwaysGave) {
  // Results of the first release of the filter, kept as files: any change to
  // the arithmetic of the default score shows up here, on every CPU path.
  const std::string golden = VOLUNA_TEST_DATA "/golden/";
  const std::pair<std::string, std::string> cases[] = {
      {"", "tubes16-default.raw"},
      {"--samples 3 --steps 7 --angle 9", "tubes16-s3-n7-a9.raw"},
  };
  for (const auto& [arguments, expected] : cases) {
    for (const char* backend : {"cpu", "cpu-reference"}) {
      const Outcome r = run(arguments + " --backend " + backend + " '" + golden + "tubes16.mhd'");
      ASSERT_EQ(r.code, 0) << r.err;
      EXPECT_TRUE(slurp(path("Output.raw")) == slurp(golden + expected)) << backend << " " << arguments;
    }
  }
}

TEST_F(VolunaFilterCli, WithoutStepsTheResultIsTheInputInVoxelOrder) {
  const Dims dims{4, 3, 2};
  std::vector<uint8_t> bytes(24);
  for (int i = 0; i < 24; ++i) bytes[i] = static_cast<uint8_t>(10 * i + 3);
  const std::string input = writeInput("ordered", bytes, dims);
  const Outcome r = run("--steps=0 --angle=90 -o out/result.raw '" + input + "'");
  EXPECT_EQ(r.code, 1);  // the folder "out" does not exist yet
  EXPECT_NE(r.err.find("out/result.raw"), std::string::npos) << r.err;

  fs::create_directory(path("out"));
  ASSERT_EQ(run("--steps=0 --angle=90 -o out/result.raw '" + input + "'").code, 0);
  const std::string result = slurp(path("out/result.raw"));
  ASSERT_EQ(result.size(), 24u);
  for (int i = 0; i < 24; ++i) {
    EXPECT_EQ(static_cast<uint8_t>(result[i]), unitFloatToByte(bytes[i] / 255.0f)) << i;
  }
  EXPECT_TRUE(fs::exists(path("out/result.mhd")));
}

TEST_F(VolunaFilterCli, RefusesBadUsageWithExitTwoAndWritesNothing) {
  const std::string input = writeInput("in", std::vector<uint8_t>(8, 100), Dims{2, 2, 2});
  const std::vector<std::string> before = files();
  const std::pair<std::string, std::string> cases[] = {
      {"", "no INPUT"},
      {"--angle 0 IN", "angle step"},
      {"--angle 181 IN", "angle step"},
      {"--angle -5 IN", "angle step"},
      {"--samples -1 IN", "samples"},
      {"--steps -2 IN", "integration steps"},
      {"--samples 1001 IN", "samples"},
      {"--samples five IN", "whole number"},
      {"--steps 99999999999 IN", "whole number"},
      {"--threads -1 IN", "--threads"},
      {"--backend gpu IN", "--backend"},
      {"--frobnicate IN", "unknown option"},
      {"IN IN", "is INPUT itself"},
      {"IN out.nrrd extra.nrrd", "at most INPUT and OUTPUT"},
      {"--angle", "needs a value"},
      {"-o out.dcm IN", "write NIfTI (.nii or .nii.gz) instead"},
      {"--output-type int16 IN", "--output-type expects uint8, input or float32"},
      {"--noise 5 IN", "add --denoise"},
      {"--denoise --noise abc IN", "--noise expects a number"},
      {"--denoise --noise inf IN", "--noise expects a number"},
  };
  for (const auto& [arguments, fragment] : cases) {
    std::string args = arguments;
    for (size_t at; (at = args.find("IN")) != std::string::npos;) args.replace(at, 2, "'" + input + "'");
    const Outcome r = run(args);
    EXPECT_EQ(r.code, 2) << arguments;
    EXPECT_NE(r.err.find(fragment), std::string::npos) << arguments << " -> " << r.err;
    EXPECT_EQ(r.out, "") << arguments;
    EXPECT_EQ(files(), before) << arguments;
  }
}

TEST_F(VolunaFilterCli, RefusesUnreadableInputWithExitOneAndWritesNothing) {
  std::ofstream(path("garbage.mhd")) << "\x01\x02 not a header at all";
  fs::create_directory(path("folder.mhd"));
  const std::vector<std::string> before = files();
  for (const std::string name : {"missing.mhd", "garbage.mhd", "folder.mhd"}) {
    const Outcome r = run("'" + path(name) + "'");
    EXPECT_EQ(r.code, 1) << name;
    EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one clear line: " << r.err;
    EXPECT_EQ(files(), before) << name;
  }
}

TEST_F(VolunaFilterCli, AskingForCudaWithoutADeviceFailsCleanly) {
  if (cudaUsable()) GTEST_SKIP() << "a CUDA device is usable here";
  const std::string input = writeInput("in", std::vector<uint8_t>(8, 100), Dims{2, 2, 2});
  const std::vector<std::string> before = files();
  const Outcome r = run("--backend cuda '" + input + "'");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("CUDA"), std::string::npos) << r.err;
  EXPECT_EQ(files(), before);
}

}  // namespace
}  // namespace voluna
