#include "volume_io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "scenes.h"
#include "scratch_folder.h"

namespace voluna {
namespace {

namespace fs = std::filesystem;

class VolumeIo : public voluna::test_support::ScratchFolderTest {
 protected:
  size_t entries() const { return files().size(); }
};


TEST_F(VolumeIo, AWrittenResultReadsBackInVoxelOrder) {
  const Dims dims{5, 3, 2};
  const std::vector<uint8_t> bytes = noiseBytes(dims, 9);
  ASSERT_EQ(writeResult(path("Output.raw"), bytes.data(), dims), "");
  EXPECT_EQ(slurp(path("Output.raw")), std::string(bytes.begin(), bytes.end()));
  const std::string header = slurp(path("Output.mhd"));
  for (const char* line : {"NDims = 3\n", "DimSize = 5 3 2\n", "ElementType = MET_UCHAR\n",
                           "ElementSpacing = 1 1 1\n", "ElementDataFile = Output.raw\n"}) {
    EXPECT_NE(header.find(line), std::string::npos) << line;
  }
  const LoadResult loaded = loadVolume(path("Output.mhd"));
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  EXPECT_EQ(loaded.volume.dims.x, 5);
  EXPECT_EQ(loaded.volume.dims.y, 3);
  EXPECT_EQ(loaded.volume.dims.z, 2);
  EXPECT_EQ(loaded.volume.data, bytes);
  EXPECT_EQ(entries(), 2u);  // no temporary files left behind
}

TEST_F(VolumeIo, ASecondWriteReplacesTheFirstWhole) {
  const Dims big{8, 8, 8}, small{2, 2, 1};
  const std::vector<uint8_t> first(512, 7), second = {1, 2, 3, 4};
  ASSERT_EQ(writeResult(path("r.raw"), first.data(), big), "");
  ASSERT_EQ(writeResult(path("r.raw"), second.data(), small), "");
  EXPECT_EQ(slurp(path("r.raw")), std::string("\1\2\3\4"));
  EXPECT_NE(slurp(path("r.mhd")).find("DimSize = 2 2 1\n"), std::string::npos);
}

TEST_F(VolumeIo, AFailedWriteLeavesEverythingAsItWas) {
  const std::vector<uint8_t> bytes = {1, 2, 3, 4};
  // A folder standing where the file should go cannot be replaced.
  fs::create_directory(path("Output.raw"));
  const std::string error = writeResult(path("Output.raw"), bytes.data(), Dims{4, 1, 1});
  EXPECT_NE(error.find("Output.raw"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_directory(path("Output.raw")));
  EXPECT_EQ(entries(), 1u);

  const std::string missing = writeResult(path("no/such/folder/x.raw"), bytes.data(), Dims{4, 1, 1});
  EXPECT_NE(missing.find("cannot be written"), std::string::npos) << missing;

  EXPECT_NE(writeResult(path("x.mhd"), bytes.data(), Dims{4, 1, 1}), "");
  EXPECT_FALSE(fs::exists(path("x.mhd")));
}

TEST_F(VolumeIo, LoadingNamesTheFileAndTheProblem) {
  const LoadResult none = loadVolume(path("absent.mhd"));
  EXPECT_FALSE(none.ok());
  EXPECT_NE(none.error.find("absent.mhd"), std::string::npos);
  EXPECT_NE(none.error.find("no such file"), std::string::npos) << none.error;
  EXPECT_TRUE(none.volume.data.empty());

  const LoadResult folder = loadVolume(folder_.string());
  EXPECT_FALSE(folder.ok());
  EXPECT_NE(folder.error.find("folder"), std::string::npos) << folder.error;

  std::ofstream(path("text.mhd")) << "this is not a volume\n";
  EXPECT_FALSE(loadVolume(path("text.mhd")).ok());
}

TEST_F(VolumeIo, UnusableSpacingIsShownAsOneAndSaidSo) {
  const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
  std::ofstream(path("v.raw"), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), 8);
  std::ofstream(path("v.mhd")) << "ObjectType = Image\nNDims = 3\nDimSize = 2 2 2\nElementSpacing = 0 0.5 1e300\n"
                                  "ElementType = MET_UCHAR\nElementDataFile = v.raw\n";
  const LoadResult loaded = loadVolume(path("v.mhd"));
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  EXPECT_EQ(loaded.volume.data, bytes);
  EXPECT_EQ(loaded.volume.geometry.spacing[0], 1.0);
  EXPECT_EQ(loaded.volume.geometry.spacing[1], 0.5);
  EXPECT_EQ(loaded.volume.geometry.spacing[2], 1.0);
  EXPECT_NE(loaded.notice.find("along x"), std::string::npos) << loaded.notice;
  EXPECT_NE(loaded.notice.find("along z"), std::string::npos) << loaded.notice;
  EXPECT_EQ(loaded.notice.find("along y"), std::string::npos) << loaded.notice;
}

TEST(SampleVolume, IsTheBundledCrossingTubes) {
  const LoadResult loaded = loadVolume(VOLUNA_SAMPLE_VOLUME);
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  EXPECT_EQ(loaded.volume.dims.count(), 48 * 48 * 48);
  const Scene scene = crossingTubes(48, 4.0f, 25.0f, 20261207);
  EXPECT_EQ(loaded.volume.data, toBytes(scene.noisy)) << "data/ is out of date: rerun make-sample";
}

}  // namespace
}  // namespace voluna
