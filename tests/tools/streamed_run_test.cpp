// voluna-filter on volumes larger than its memory budget: streamed from disk
// brick by brick, with the whole run's bytes, within the budget, atomic.
#include "streamed_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "scratch_folder.h"
#include "volume_io.h"

#if defined(__SANITIZE_ADDRESS__)
#define VOLUNA_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOLUNA_UNDER_ASAN 1
#endif
#endif

namespace voluna {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Finished {
  int code = -1;
  int64_t peakKiB = 0;  // the child's own peak resident set
  std::string out, err;
};

// A constant volume with a noisy block and a bright bar: constant regions,
// structure, and the edges between them, in whole bytes.
std::vector<uint8_t> mostlyConstant(Dims d, uint32_t seed) {
  std::vector<uint8_t> v(static_cast<size_t>(d.count()), 90);
  std::mt19937 random(seed);
  for (int z = 0; z < std::min(d.z, 9); ++z)
    for (int y = 0; y < std::min(d.y, 10); ++y)
      for (int x = 0; x < std::min(d.x, 11); ++x) {
        v[static_cast<size_t>(d.index(x + d.x / 3, y + d.y / 2, z))] = static_cast<uint8_t>(random() % 256);
      }
  for (int x = 0; x < d.x; ++x) v[static_cast<size_t>(d.index(x, d.y / 4, d.z - 3))] = 250;
  return v;
}

class StreamedRun : public voluna::test_support::ScratchFolderTest {
 protected:
  pid_t start(std::vector<std::string> arguments) const {
    fs::remove(path(".stdout"));
    fs::remove(path(".stderr"));
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(folder_.c_str()) != 0) ::_exit(99);
      const int out = ::open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      ::dup2(err, 2);
      std::vector<char*> argv{const_cast<char*>(VOLUNA_FILTER_BINARY)};
      for (auto& a : arguments) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(VOLUNA_FILTER_BINARY, argv.data());
      ::_exit(98);
    }
    return pid;
  }

  Finished finish(pid_t pid) const {
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    Finished f;
    f.code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    f.peakKiB = usage.ru_maxrss;
    f.out = slurp(path(".stdout"));
    f.err = slurp(path(".stderr"));
    fs::remove(path(".stdout"));
    fs::remove(path(".stderr"));
    return f;
  }

  Finished run(std::vector<std::string> arguments) const { return finish(start(std::move(arguments))); }

  std::string input(const std::string& name, const std::vector<uint8_t>& bytes, Dims dims) const {
    EXPECT_EQ(writeResult(path(name + ".raw"), bytes.data(), dims), "");
    return name + ".mhd";
  }

  // A header for a volume of any size over a sparse data file of zeros.
  std::string sparseInput(const std::string& name, Extent d) const {
    std::ofstream(path(name + ".mhd")) << "ObjectType = Image\nNDims = 3\nDimSize = " << d.x << ' ' << d.y << ' '
                                       << d.z << "\nElementType = MET_UCHAR\nElementDataFile = " << name << ".raw\n";
    { std::ofstream create(path(name + ".raw")); }
    fs::resize_file(path(name + ".raw"), static_cast<uintmax_t>(d.count()));
    return name + ".mhd";
  }

  void expectNoTemporaryFiles() const {
    for (const std::string& name : files()) {
      EXPECT_NE(name.rfind(".Output", 0), 0u) << "temporary file left: " << name;
      EXPECT_NE(name.rfind(".out", 0), 0u) << "temporary file left: " << name;
    }
  }
};

TEST_F(StreamedRun, GivesTheWholeRunsBytesBrickByBrick) {
  const Dims dims{45, 38, 31};  // odd, and not a multiple of any brick
  const std::string in = input("in", mostlyConstant(dims, 5), dims);
  const std::vector<std::string> params{"--angle", "45", "--samples", "3", "--steps", "4"};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> all = params;
    all.insert(all.end(), extra.begin(), extra.end());
    all.push_back(in);
    return all;
  };
  const Finished whole = run(with({"-o", "whole.raw"}));
  ASSERT_EQ(whole.code, 0) << whole.err;
  EXPECT_EQ(whole.err, "");
  for (const char* budget : {"160K", "300K"}) {
    const Finished streamed = run(with({"--memory", budget, "-o", "streamed.raw"}));
    ASSERT_EQ(streamed.code, 0) << streamed.err;
    EXPECT_NE(streamed.err.find("bricks of"), std::string::npos) << streamed.err;
    EXPECT_EQ(streamed.out, "Calculate vectorfield...\nFiltering data...\n");
    EXPECT_TRUE(slurp(path("streamed.raw")) == slurp(path("whole.raw"))) << "with --memory " << budget;
    std::string header = slurp(path("streamed.mhd"));
    header.replace(header.find("streamed.raw"), 12, "whole.raw");
    EXPECT_EQ(header, slurp(path("whole.mhd")));
  }
  // With room to spare the run is whole, as before.
  const Finished roomy = run(with({"--memory", "1G", "-o", "roomy.raw"}));
  EXPECT_EQ(roomy.err, "");
  expectNoTemporaryFiles();
}

TEST_F(StreamedRun, StaysWithinItsMemoryBudget) {
#ifdef VOLUNA_UNDER_ASAN
  GTEST_SKIP() << "AddressSanitizer's shadow memory makes resident sizes meaningless";
#endif
  const Dims dims{200, 200, 100};  // about 65 MiB for a whole run
  const std::string in = input("in", mostlyConstant(dims, 6), dims);
  const Finished idle = run({"--help"});
  const Finished whole = run({"--angle", "30", "-o", "whole.raw", in});
  const Finished streamed = run({"--angle", "30", "--memory", "8M", "-o", "streamed.raw", in});
  ASSERT_EQ(whole.code, 0) << whole.err;
  ASSERT_EQ(streamed.code, 0) << streamed.err;
  EXPECT_TRUE(slurp(path("streamed.raw")) == slurp(path("whole.raw")));
  // The budget bounds the filter's own memory; the program itself (its
  // libraries, threads) comes on top, as measured without any work.
  const int64_t bound = idle.peakKiB + 8 * 1024 + 4 * 1024;
  EXPECT_LE(streamed.peakKiB, bound) << "idle " << idle.peakKiB << " KiB";
  EXPECT_GT(whole.peakKiB, bound) << "the whole run must need more than the budget for this check to mean anything";
}

TEST_F(StreamedRun, CancelInTheMiddleLeavesTheOldResult) {
  const Dims dims{40, 40, 40};
  std::vector<uint8_t> noise(static_cast<size_t>(dims.count()));
  std::mt19937 random(7);
  for (uint8_t& v : noise) v = static_cast<uint8_t>(random() % 256);
  const std::string in = input("in", noise, dims);
  for (const auto& [signal, expected] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    std::ofstream(path("Output.raw")) << "previous result";
    const pid_t pid = start({"--memory", "512K", "--threads", "1", in});
    for (int i = 0; i < 400 && slurp(path(".stdout")).empty(); ++i) std::this_thread::sleep_for(25ms);
    std::this_thread::sleep_for(300ms);
    ::kill(pid, signal);
    const Finished f = finish(pid);
    EXPECT_NE(f.err.find("bricks of"), std::string::npos) << f.err;
    EXPECT_EQ(f.code, expected) << f.err;
    EXPECT_EQ(slurp(path("Output.raw")), "previous result");
    EXPECT_FALSE(fs::exists(path("Output.mhd")));
    expectNoTemporaryFiles();
  }
}

TEST_F(StreamedRun, RefusesWhatCannotBeStreamedAndSaysWhatToDo) {
  fs::copy_file(VOLUNA_TEST_DATA "/valid/u8_pattern_zlib.mha", path("packed.mha"));
  const Finished packed = run({"--memory", "1K", "packed.mha"});
  EXPECT_EQ(packed.code, 1);
  EXPECT_NE(packed.err.find("compressed"), std::string::npos) << packed.err;
  EXPECT_NE(packed.err.find("uncompressed"), std::string::npos) << packed.err;
  // It fits whole with room: compressed input is fine then.
  EXPECT_EQ(run({"--memory", "64M", "-o", "fits.raw", "packed.mha"}).code, 0);
  fs::remove(path("fits.raw"));
  fs::remove(path("fits.mhd"));

  fs::copy_file(VOLUNA_TEST_DATA "/valid/s16_ct.mha", path("wide.mha"));
  const Finished wide = run({"--memory", "1K", "wide.mha"});
  EXPECT_EQ(wide.code, 1);
  EXPECT_NE(wide.err.find("8-bit"), std::string::npos) << wide.err;

  const Dims dims{30, 30, 30};
  const std::string in = input("in", mostlyConstant(dims, 1), dims);
  const Finished tiny = run({"--memory", "4K", in});
  EXPECT_EQ(tiny.code, 1);
  EXPECT_NE(tiny.err.find("raise --memory"), std::string::npos) << tiny.err;
  // Bricks write 8-bit raw results; other outputs of volumes this large are refused before any work.
  const Finished typed = run({"--memory", "400K", "-o", "out.nii", in});
  EXPECT_EQ(typed.code, 1);
  EXPECT_NE(typed.err.find("8-bit raw"), std::string::npos) << typed.err;
  for (const std::string bad : {"0", "12X", "-3M", "1.5G", "M", ""}) {
    const Finished f = run({"--memory", bad, in});
    EXPECT_EQ(f.code, 2) << bad;
    EXPECT_NE(f.err.find("--memory"), std::string::npos) << f.err;
  }
  EXPECT_EQ(files(), (std::vector<std::string>{"in.mhd", "in.raw", "packed.mha", "wide.mha"}));
}

// 2^31 voxels and more are accepted and planned from the header alone; the
// filtering itself is measured outside the test suite (README).
TEST_F(StreamedRun, AcceptsVolumesOf2To31VoxelsAndMore) {
  const std::string huge = sparseInput("huge", {2048, 1024, 1024});
  const RunChoice choice = chooseRun(path(huge), FilterParams{}, Backend::Cpu, int64_t{1} << 40);
  ASSERT_TRUE(choice.error.empty()) << choice.error;
  EXPECT_TRUE(choice.streamed);
  EXPECT_EQ(choice.plan.whole.count(), int64_t{1} << 31);
  EXPECT_NE(choice.note.find("2^31"), std::string::npos) << choice.note;
  const Finished f = run({"--memory", "1K", huge});
  EXPECT_EQ(f.code, 1);
  EXPECT_EQ(f.err.find("2147483647"), std::string::npos) << f.err;
  EXPECT_NE(f.err.find("raise --memory"), std::string::npos) << f.err;
  // A data file too short for such a header is reported as that.
  fs::resize_file(path("huge.raw"), 1000);
  const RunChoice broken = chooseRun(path(huge), FilterParams{}, Backend::Cpu, int64_t{1} << 40);
  EXPECT_NE(broken.error.find("too short"), std::string::npos) << broken.error;
}

TEST(MemorySize, ReadsBytesWithBinarySuffixes) {
  EXPECT_EQ(parseMemorySize("64M"), int64_t{64} << 20);
  EXPECT_EQ(parseMemorySize("1g"), int64_t{1} << 30);
  EXPECT_EQ(parseMemorySize("8GiB"), int64_t{8} << 30);
  EXPECT_EQ(parseMemorySize("512k"), int64_t{512} << 10);
  EXPECT_EQ(parseMemorySize("2MB"), int64_t{2} << 20);
  EXPECT_EQ(parseMemorySize("3T"), int64_t{3} << 40);
  EXPECT_EQ(parseMemorySize("100"), 100);
  EXPECT_EQ(parseMemorySize("100B"), 100);
  for (const char* bad : {"", "0", "0M", "M", "-1", "1.5G", "5X", "5 M", "5MM", "99999999999999999999", "9000000T"}) {
    EXPECT_EQ(parseMemorySize(bad), -1) << bad;
  }
  EXPECT_GT(defaultMemoryBudget(), int64_t{64} << 20);
}

TEST(WholeRunBytes, CountsAboutSeventeenBytesAVoxelOnTheFastPath) {
  EXPECT_EQ(wholeRunBytes(1000, 1, Backend::Cpu), 17000);
  EXPECT_EQ(wholeRunBytes(1000, 2, Backend::CpuReference), 28000);
  EXPECT_GT(wholeRunBytes(int64_t{1} << 32, 1, Backend::Cpu), int64_t{1} << 36);
}

}  // namespace
}  // namespace voluna
