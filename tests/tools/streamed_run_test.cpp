// voluna-filter on volumes larger than its memory budget: streamed from disk
// brick by brick, with the whole run's bytes, within the budget, atomic.
#include "streamed_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <tuple>

#include "nifti2_files.h"
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

// mostlyConstant's pattern in a type's own values, not whole numbers for
// floats: every type's value range differs from the unit scale's.
Volume typedVolume(Dims d, ScalarType type, uint32_t seed) {
  const std::vector<uint8_t> bytes = mostlyConstant(d, seed);
  Volume v;
  v.dims = d;
  v.type = type;
  v.geometry.spacing[0] = 0.5;
  v.geometry.spacing[2] = 2.25;
  v.geometry.origin[1] = -12.5;
  v.data.resize(bytes.size() * scalarSize(type));
  for (size_t i = 0; i < bytes.size(); ++i) {
    const double unit = bytes[i] / 255.0;
    auto put = [&](auto value) { std::memcpy(v.data.data() + i * sizeof value, &value, sizeof value); };
    switch (type) {
      case ScalarType::Int16: put(static_cast<int16_t>(std::lround(-1000 + 3000 * unit))); break;
      case ScalarType::UInt16: put(static_cast<uint16_t>(std::lround(60000 * unit))); break;
      case ScalarType::Float32: put(static_cast<float>(-2.5 + 7.25 * unit)); break;
      default: put(static_cast<uint8_t>(bytes[i])); break;
    }
  }
  return v;
}

// The same voxels in the other byte order.
std::string swapped(const Volume& v) {
  std::string bytes(v.data.begin(), v.data.end());
  const size_t width = scalarSize(v.type);
  for (size_t at = 0; at < bytes.size(); at += width) std::reverse(bytes.begin() + at, bytes.begin() + at + width);
  return bytes;
}

class StreamedRun : public voluna::test_support::ScratchFolderTest {
 protected:
  pid_t start(std::vector<std::string> arguments) const {
    return startInFolder(VOLUNA_FILTER_BINARY, std::move(arguments));
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
  const Dims dims{200, 200, 100};  // about 65 MiB for a whole run of bytes, more for floats
  const std::string bytes = input("in", mostlyConstant(dims, 6), dims);
  // Floats read and written as floats, after a first pass over the file.
  ASSERT_EQ(writeVolume(path("floats.nrrd"), typedVolume(dims, ScalarType::Float32, 6)), "");
  const Finished idle = run({"--help"});
  for (const auto& [in, output] : {std::pair{bytes, std::string("raw")}, std::pair{std::string("floats.nrrd"),
                                                                                    std::string("nrrd")}}) {
    SCOPED_TRACE(in);
    const Finished whole = run({"--angle", "30", "-o", "whole." + output, in});
    const Finished streamed = run({"--angle", "30", "--memory", "8M", "-o", "streamed." + output, in});
    ASSERT_EQ(whole.code, 0) << whole.err;
    ASSERT_EQ(streamed.code, 0) << streamed.err;
    EXPECT_TRUE(slurp(path("streamed." + output)) == slurp(path("whole." + output)));
    // The budget bounds the filter's own memory; the program itself (its
    // libraries, threads) comes on top, as measured without any work.
    const int64_t bound = idle.peakKiB + 8 * 1024 + 4 * 1024;
    EXPECT_LE(streamed.peakKiB, bound) << "idle " << idle.peakKiB << " KiB";
    EXPECT_GT(whole.peakKiB, bound) << "the whole run must need more than the budget for this check to mean anything";
  }
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

// Every format a streamed run reads, in every kind of type and byte order,
// gives the whole run's result: the same voxels and the same header.
TEST_F(StreamedRun, TypedVolumesOfEveryFormatGiveTheWholeRunsResult) {
  const Dims dims{30, 26, 22};
  const Volume s16 = typedVolume(dims, ScalarType::Int16, 11);
  const Volume f32 = typedVolume(dims, ScalarType::Float32, 12);
  const Volume u16 = typedVolume(dims, ScalarType::UInt16, 13);
  const Volume u8 = typedVolume(dims, ScalarType::UInt8, 14);
  ASSERT_EQ(writeVolume(path("s16.nii"), s16), "");
  ASSERT_EQ(writeVolume(path("f32.nrrd"), f32), "");
  ASSERT_EQ(writeVolume(path("u8.mhd"), u8), "");
  // NIfTI scaling: whole factors give integers back, others floats.
  for (const auto& [name, slope, intercept] : {std::tuple{"scaled_whole.nii", 2.0f, -1024.0f},
                                               std::tuple{"scaled.nii", 0.37f, 5.5f}}) {
    std::string bytes = slurp(path("s16.nii"));
    std::memcpy(bytes.data() + 112, &slope, 4);
    std::memcpy(bytes.data() + 116, &intercept, 4);
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  // NIfTI-2, big-endian: Voluna's own reader and placement.
  std::ofstream(path("s16_2.nii"), std::ios::binary) << test_support::nifti2From(slurp(path("s16.nii")), true);
  std::ofstream(path("scaled_2.nii"), std::ios::binary)
      << test_support::nifti2From(slurp(path("scaled_whole.nii")), true);
  // Big-endian: a detached NRRD and a MetaImage, written by hand.
  std::ofstream(path("big.nhdr")) << "NRRD0004\ntype: short\ndimension: 3\nsizes: 30 26 22\nendian: big\n"
                                     "encoding: raw\nspace: left-posterior-superior\n"
                                     "space directions: (0.5,0,0) (0,1,0) (0,0,2.25)\n"
                                     "space origin: (0,-12.5,0)\ndata file: big.raw\n";
  std::ofstream(path("big.raw"), std::ios::binary) << swapped(s16);
  std::ofstream(path("big.mha"), std::ios::binary)
      << "ObjectType = Image\nNDims = 3\nBinaryData = True\nBinaryDataByteOrderMSB = True\n"
         "ElementSpacing = 0.5 1 2.25\nDimSize = 30 26 22\nElementType = MET_USHORT\nElementDataFile = LOCAL\n"
      << swapped(u16);
  // Spacings a whole load cannot display become 1, in either run.
  std::ofstream(path("flat.mha"), std::ios::binary)
      << "ObjectType = Image\nNDims = 3\nBinaryData = True\nElementSpacing = 0 1 1e9\nDimSize = 30 26 22\n"
         "ElementType = MET_UCHAR\nElementDataFile = LOCAL\n"
      << std::string(u8.data.begin(), u8.data.end());

  struct Case {
    std::string input, outputType, expectedType, output = ".mhd", spacing = "0.5 1 2.25";
  };
  const std::vector<Case> cases{
      {"s16.nii", "input", "MET_SHORT"},          {"f32.nrrd", "uint8", "MET_UCHAR"},
      {"big.nhdr", "input", "MET_SHORT"},         {"big.mha", "float32", "MET_FLOAT"},
      {"u8.mhd", "input", "MET_UCHAR"},           {"scaled_whole.nii", "input", "MET_SHORT"},
      {"scaled.nii", "input", "MET_FLOAT"},       {"s16.nii", "input", "", ".nii"},
      {"big.mha", "float32", "", ".nii"},         {"f32.nrrd", "input", "", ".nrrd"},
      {"flat.mha", "input", "MET_UCHAR", ".mhd", "1 1 1"},
      {"s16_2.nii", "input", "MET_SHORT"},        {"scaled_2.nii", "input", "", ".nii"},
  };
  const std::vector<std::string> params{"--angle", "45", "--samples", "3", "--steps", "4"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + " --output-type " + c.outputType + " to " + c.output);
    auto with = [&](std::vector<std::string> extra) {
      std::vector<std::string> all = params;
      all.insert(all.end(), {"--output-type", c.outputType});
      all.insert(all.end(), extra.begin(), extra.end());
      all.push_back(c.input);
      return all;
    };
    const Finished whole = run(with({"-o", "whole" + c.output}));
    ASSERT_EQ(whole.code, 0) << whole.err;
    const Finished streamed = run(with({"--memory", "200K", "-o", "streamed" + c.output}));
    ASSERT_EQ(streamed.code, 0) << streamed.err;
    EXPECT_NE(streamed.err.find("bricks of"), std::string::npos) << streamed.err;
    EXPECT_EQ(streamed.out, "Calculate vectorfield...\nFiltering data...\n");
    // Both say the same about the values' range.
    const size_t at = whole.err.find("values ");
    if (at != std::string::npos) {
      EXPECT_NE(streamed.err.find(whole.err.substr(at)), std::string::npos) << streamed.err;
    }
    if (c.output != ".mhd") {
      // A single file: header and voxels alike, and nothing beside it.
      const std::string result = slurp(path("streamed" + c.output));
      EXPECT_GT(result.size(), static_cast<size_t>(dims.count()));
      EXPECT_TRUE(result == slurp(path("whole" + c.output)));
      for (const std::string& name : files()) EXPECT_NE(name[0], '.') << "left behind: " << name;
      fs::remove(path("streamed" + c.output));
      fs::remove(path("whole" + c.output));
      continue;
    }
    const std::string result = slurp(path("streamed.raw"));
    EXPECT_EQ(result.size(), slurp(path("whole.raw")).size());
    EXPECT_TRUE(result == slurp(path("whole.raw")));
    std::string header = slurp(path("streamed.mhd"));
    header.replace(header.find("streamed.raw"), 12, "whole.raw");
    EXPECT_EQ(header, slurp(path("whole.mhd")));
    EXPECT_NE(header.find("ElementType = " + c.expectedType), std::string::npos) << header;
    EXPECT_NE(header.find("ElementSpacing = " + c.spacing), std::string::npos) << header;
    // Output named .raw: the same voxels, the header beside them.
    if (c.input == "s16.nii") {
      ASSERT_EQ(run(with({"--memory", "200K", "-o", "bare.raw"})).code, 0);
      EXPECT_TRUE(slurp(path("bare.raw")) == result);
      EXPECT_TRUE(fs::exists(path("bare.mhd")));
    }
  }
  expectNoTemporaryFiles();
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

  // Compressed NIfTI and text-encoded NRRD: each says how to store it for a streamed run.
  const Dims wideDims{30, 30, 30};
  ASSERT_EQ(writeVolume(path("packed.nii.gz"), typedVolume(wideDims, ScalarType::Int16, 2)), "");
  const Finished nifti = run({"--memory", "64K", "-o", "out.mhd", "packed.nii.gz"});
  EXPECT_EQ(nifti.code, 1);
  EXPECT_NE(nifti.err.find("packed.nii.gz"), std::string::npos) << nifti.err;
  EXPECT_NE(nifti.err.find("gunzip -k"), std::string::npos) << nifti.err;
  {
    std::ofstream text(path("text.nrrd"));
    text << "NRRD0004\ntype: uchar\ndimension: 3\nsizes: 30 30 30\nencoding: ascii\n\n";
    for (int i = 0; i < 27000; ++i) text << (i % 7) << '\n';
  }
  const Finished nrrd = run({"--memory", "64K", "-o", "out.mhd", "text.nrrd"});
  EXPECT_EQ(nrrd.code, 1);
  EXPECT_NE(nrrd.err.find("raw encoding"), std::string::npos) << nrrd.err;
  EXPECT_EQ(std::count(nrrd.err.begin(), nrrd.err.end(), '\n'), 1) << nrrd.err;
  // A scaling that only a whole load applies: refused when the whole run does not fit.
  ASSERT_EQ(writeVolume(path("offset.nii"), typedVolume(wideDims, ScalarType::Int16, 2)), "");
  {
    std::string bytes = slurp(path("offset.nii"));
    const float slope = 0, intercept = 5;
    std::memcpy(bytes.data() + 112, &slope, 4);
    std::memcpy(bytes.data() + 116, &intercept, 4);
    std::ofstream(path("offset.nii"), std::ios::binary) << bytes;
  }
  const Finished scaled = run({"--memory", "64K", "-o", "out.mhd", "offset.nii"});
  EXPECT_EQ(scaled.code, 1);
  EXPECT_NE(scaled.err.find("scl_slope"), std::string::npos) << scaled.err;
  EXPECT_NE(scaled.err.find("raise --memory"), std::string::npos) << scaled.err;
  fs::remove(path("packed.nii.gz"));
  fs::remove(path("text.nrrd"));
  fs::remove(path("offset.nii"));

  const Dims dims{30, 30, 30};
  const std::string in = input("in", mostlyConstant(dims, 1), dims);
  const Finished tiny = run({"--memory", "4K", in});
  EXPECT_EQ(tiny.code, 1);
  EXPECT_NE(tiny.err.find("raise --memory"), std::string::npos) << tiny.err;
  // Bricks write uncompressed results; other outputs of volumes this large are refused before any work.
  for (const char* output : {"out.nii.gz", "out.mha", "out.tif"}) {
    const Finished other = run({"--memory", "400K", "-o", output, in});
    EXPECT_EQ(other.code, 1) << output;
    EXPECT_NE(other.err.find(".mhd (with its .raw), .raw (with a .mhd beside it), .nii or .nrrd"), std::string::npos)
        << other.err;
  }
  for (const std::string bad : {"0", "12X", "-3M", "1.5G", "M", ""}) {
    const Finished f = run({"--memory", bad, in});
    EXPECT_EQ(f.code, 2) << bad;
    EXPECT_NE(f.err.find("--memory"), std::string::npos) << f.err;
  }
  EXPECT_EQ(files(), (std::vector<std::string>{"in.mhd", "in.raw", "packed.mha"}));
}

// 2^31 voxels and more are accepted and planned from the header alone; the
// filtering itself is measured outside the test suite (docs/performance.md).
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

}  // namespace
}  // namespace voluna
