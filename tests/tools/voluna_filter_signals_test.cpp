// Stopping voluna-filter from outside: a person's Ctrl-C, a scheduler's
// SIGTERM, a crash's SIGKILL. None may leave a torn or partial result.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "scenes.h"
#include "scratch_folder.h"
#include "volume_io.h"

namespace voluna {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class VolunaFilterSignals : public voluna::test_support::ScratchFolderTest {
 protected:
  // Starts voluna-filter in the folder with stdout and stderr to files.
  pid_t start(std::vector<std::string> arguments) const {
    return startInFolder(VOLUNA_FILTER_BINARY, std::move(arguments));
  }

  static int waitFor(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  }
};

TEST_F(VolunaFilterSignals, InterruptOrTerminateStopTheRunAndKeepTheOldResult) {
  // Big enough for the plain reference path to take many seconds.
  const Dims dims{40, 40, 40};
  const std::vector<uint8_t> noise = noiseBytes(dims, 4);
  ASSERT_EQ(writeResult(path("in.raw"), noise.data(), dims), "");
  for (const auto& [signal, expected] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    std::ofstream(path("Output.raw")) << "previous result";
    const pid_t pid = start({"--backend", "cpu-reference", "--angle", "2", "in.mhd"});
    // Stop it once the filter is at work, not while it starts up.
    for (int i = 0; i < 400 && slurp(path(".stdout")).empty(); ++i) std::this_thread::sleep_for(25ms);
    ASSERT_EQ(slurp(path(".stdout")), "Calculate vectorfield...\n");
    std::this_thread::sleep_for(200ms);
    ::kill(pid, signal);
    const int status = waitFor(pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), expected);
    EXPECT_EQ(slurp(path("Output.raw")), "previous result");
    EXPECT_FALSE(fs::exists(path("Output.mhd")));
    for (const auto& entry : fs::directory_iterator(folder_)) {
      EXPECT_NE(entry.path().filename().string().rfind(".Output", 0), 0u) << "temporary file left";
    }
  }
}

TEST_F(VolunaFilterSignals, AKilledRunNeverLeavesAResultOfTheWrongSize) {
  const Dims dims{64, 64, 16};
  const std::vector<uint8_t> noise = noiseBytes(dims, 5);
  ASSERT_EQ(writeResult(path("in.raw"), noise.data(), dims), "");
  // Samples 0 and no steps make the filter nearly free, so the kills land
  // all over loading, filtering and writing.
  for (int attempt = 0; attempt < 30; ++attempt) {
    const pid_t pid = start({"--samples", "0", "--steps", "0", "in.mhd"});
    std::this_thread::sleep_for(std::chrono::microseconds(700 * attempt));
    ::kill(pid, SIGKILL);
    waitFor(pid);
    if (fs::exists(path("Output.raw"))) {
      ASSERT_EQ(fs::file_size(path("Output.raw")), static_cast<uintmax_t>(dims.count())) << attempt;
    }
  }
}

}  // namespace
}  // namespace voluna
