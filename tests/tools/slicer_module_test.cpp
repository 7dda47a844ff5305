// voluna-filter run the way 3D Slicer runs a command-line module: flags with
// underscores, then INPUT OUTPUT, with progress as tags on standard output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <functional>

#include "scenes.h"
#include "scratch_folder.h"
#include "slicer_module.h"
#include "tool_runner.h"
#include "volume_io.h"

namespace voluna {
namespace {

std::string captured(const std::function<void(std::FILE*)>& write) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* stream = open_memstream(&text, &size);
  write(stream);
  std::fclose(stream);
  std::string out(text, size);
  std::free(text);
  return out;
}

std::vector<double> progressValues(const std::string& out) {
  std::vector<double> values;
  const std::regex tag("<filter-progress>([0-9.]+)</filter-progress>");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), tag); it != std::sregex_iterator(); ++it) {
    values.push_back(std::stod((*it)[1]));
  }
  return values;
}

TEST(SlicerProgress, FramesTheRunAndOnlyEverMovesForward) {
  const FilterParams params;
  const std::string out = captured([&](std::FILE* stream) {
    SlicerProgress progress(stream, params);
    for (double f = 0; f <= 1.0; f += 0.001) progress(Stage::VectorField, f);
    progress(Stage::Integration, 0.0);
    progress(Stage::Integration, 0.5);
    // A GPU run that failed, redone on the CPU from the start.
    progress(Stage::VectorField, 0.1);
    progress(Stage::Integration, 1.0);
  });
  EXPECT_EQ(out.rfind("<filter-start>\n<filter-name>", 0), 0u) << out;
  EXPECT_NE(out.find("</filter-start>\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(out, std::regex("<filter-end>\n<filter-name>[^<]+</filter-name>\n"
                                                "<filter-time>[0-9.]+</filter-time>\n</filter-end>\n$")))
      << out;
  const std::vector<double> values = progressValues(out);
  ASSERT_GT(values.size(), 50u);
  for (size_t i = 1; i < values.size(); ++i) EXPECT_GT(values[i], values[i - 1]) << i;
  EXPECT_EQ(values.back(), 1.0);
  // The search is nearly all of the work at the defaults, so its end is
  // well past the middle of the bar.
  EXPECT_GT(values[values.size() - 3], 0.9);
}

TEST(SlicerProgress, BrickRunsReportTheWholeRunDirectly) {
  const std::string out = captured([](std::FILE* stream) {
    SlicerProgress progress(stream, FilterParams{});
    progress.reportsWholeRun();
    progress(Stage::Integration, 0.25);
    progress(Stage::Integration, 0.254);
    progress(Stage::Integration, 0.5);
  });
  EXPECT_EQ(progressValues(out), (std::vector<double>{0.25, 0.5}));
}

using Outcome = test_support::ShellOutcome;

class SlicerModuleRun : public test_support::ScratchFolderTest {
 protected:
  Outcome run(const std::string& arguments) const { return test_support::runInShell(folder_, arguments); }

  void writeCt(const std::string& name) const {
    Volume ct;
    ct.dims = {24, 20, 16};
    ct.type = ScalarType::Int16;
    ct.geometry.spacing[2] = 2.5;
    const std::vector<uint8_t> noise = noiseBytes(ct.dims, 7);
    ct.data.resize(noise.size() * 2);
    for (size_t i = 0; i < noise.size(); ++i) {
      const auto v = static_cast<int16_t>(8 * noise[i] - 1024);
      std::memcpy(&ct.data[2 * i], &v, 2);
    }
    ASSERT_EQ(writeVolume(path(name), ct), "");
  }
};

TEST_F(SlicerModuleRun, PositionalOutputGivesTheBytesOfDashO) {
  writeCt("in.nrrd");
  const Outcome flagged = run("--samples 3 --steps 2 --angle 45 --preserve-edges -o flagged.nrrd in.nrrd");
  ASSERT_EQ(flagged.code, 0) << flagged.err;
  // As Slicer passes them: underscores, booleans as bare flags, then INPUT OUTPUT.
  const Outcome module = run("--samples 3 --steps 2 --angle 45 --preserve_edges --output_type input --backend auto "
                         "--threads 0 --module_progress in.nrrd module.nrrd");
  ASSERT_EQ(module.code, 0) << module.err;
  EXPECT_EQ(slurp(path("module.nrrd")), slurp(path("flagged.nrrd")));
  EXPECT_FALSE(slurp(path("module.nrrd")).empty());

  // Notices go where Slicer shows them without taking them for a failure.
  EXPECT_NE(flagged.err.find("int16"), std::string::npos) << flagged.err;
  EXPECT_EQ(module.err, "");
  EXPECT_NE(module.out.find("int16"), std::string::npos) << module.out;
  EXPECT_EQ(module.out.find("<filter-start>"), 0u) << module.out;
  EXPECT_NE(module.out.find("</filter-end>"), std::string::npos) << module.out;
  EXPECT_FALSE(progressValues(module.out).empty()) << module.out;
  // The plain command line keeps its own lines and has no tags.
  EXPECT_EQ(flagged.out.find("<filter"), std::string::npos) << flagged.out;

  // In bricks the bar starts from the beginning too, not where a whole
  // run's second stage would begin.
  const Outcome bricks = run("--samples 3 --steps 2 --angle 45 --preserve_edges --memory 100K --module_progress "
                             "in.nrrd bricks.nrrd");
  ASSERT_EQ(bricks.code, 0) << bricks.err;
  EXPECT_EQ(slurp(path("bricks.nrrd")), slurp(path("flagged.nrrd")));
  EXPECT_NE(bricks.out.find("bricks of"), std::string::npos) << bricks.out;
  const std::vector<double> values = progressValues(bricks.out);
  ASSERT_FALSE(values.empty()) << bricks.out;
  EXPECT_LT(values.front(), 0.5) << bricks.out;
}

TEST_F(SlicerModuleRun, OperandsThatWouldLoseDataAreRefused) {
  writeCt("in.nrrd");
  const std::vector<std::string> before = files();
  const std::pair<std::string, std::string> cases[] = {
      {"in.nrrd in.nrrd", "is INPUT itself"},
      {"in.nrrd ./in.nrrd", "is INPUT itself"},
      {"-o a.nrrd in.nrrd b.nrrd", "named twice"},
      {"in.nrrd a.nrrd b.nrrd", "at most INPUT and OUTPUT"},
      {"--preserve_edge in.nrrd a.nrrd", "unknown option '--preserve-edge'"},
  };
  for (const auto& [arguments, says] : cases) {
    const Outcome r = run(arguments);
    EXPECT_EQ(r.code, 2) << arguments;
    EXPECT_NE(r.err.find(says), std::string::npos) << arguments << " -> " << r.err;
    EXPECT_EQ(files(), before) << arguments;
  }
}

TEST_F(SlicerModuleRun, XmlNeedsNoInputAndStartsAsSlicerRequires) {
  const Outcome r = run("--xml");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out.rfind("<?xml ", 0), 0u);
  EXPECT_EQ(r.out, slicerModuleDescription());
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace voluna
