// voluna-filter on a CT-like 16-bit volume: the result comes back in the
// input's type and value range with its geometry, at the precision the
// mapping formulas give; --output-type and the .raw default pick bytes or
// floats instead.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "byte_conversion.h"
#include "filter.h"
#include "scratch_folder.h"
#include "value_mapping.h"
#include "volume_io.h"

namespace voluna {
namespace {

class FullPrecisionCli : public test_support::ScratchFolderTest {
 protected:
  void SetUp() override {
    ScratchFolderTest::SetUp();
    // Soft-tissue-like contrast of a few HU beside bone and air.
    ct_.dims = {12, 10, 6};
    ct_.type = ScalarType::Int16;
    std::vector<int16_t> values(static_cast<size_t>(ct_.dims.count()));
    for (int z = 0; z < ct_.dims.z; ++z) {
      for (int y = 0; y < ct_.dims.y; ++y) {
        for (int x = 0; x < ct_.dims.x; ++x) {
          int v = 40 + 3 * x - 2 * y + ((x * 7 + y * 3 + z * 5) % 11);
          if (x == 0) v = -1024;
          if (y == 9 && z == 5) v = 3071;
          values[ct_.dims.index(x, y, z)] = static_cast<int16_t>(v);
        }
      }
    }
    ct_.data.resize(values.size() * 2);
    std::memcpy(ct_.data.data(), values.data(), ct_.data.size());
    ct_.geometry.spacing[0] = 0.7;
    ct_.geometry.spacing[1] = 0.7;
    ct_.geometry.spacing[2] = 1.25;
    ct_.geometry.origin[0] = -120.5;
    ct_.geometry.origin[2] = 300;
    // The axes swapped and one flipped: an orientation a scanner may write.
    const double direction[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
    std::memcpy(ct_.geometry.direction, direction, sizeof direction);
    ASSERT_EQ(writeVolume(path("ct.nii.gz"), ct_), "");

    // What the formulas give, computed in this process.
    range_ = findValueRange(ct_.data.data(), ct_.type, ct_.dims.count());
    std::vector<float> unit(values.size());
    mapToUnit(ct_.data.data(), ct_.type, ct_.dims.count(), range_, unit.data());
    filtered_.resize(unit.size());
    FilterOptions options;
    options.backend = Backend::CpuReference;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(runFilter(unit.data(), ct_.dims, FilterParams{2, 3, 30, false}, filtered_.data(), options).ok());
    testing::internal::GetCapturedStdout();
  }

  int run(const std::string& arguments, std::string* err = nullptr) const {
    const std::string command = "cd '" + folder_.string() + "' && '" VOLUNA_FILTER_BINARY
                                "' --samples 2 --steps 3 --angle 30 --backend cpu-reference " +
                                arguments + " ct.nii.gz >/dev/null 2>.err";
    const int status = std::system(command.c_str());
    if (err) *err = slurp(path(".err"));
    std::filesystem::remove(path(".err"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  template <typename T>
  std::vector<T> expected(ScalarType type) const {
    std::vector<T> out(filtered_.size());
    mapFromUnit(filtered_.data(), static_cast<int64_t>(out.size()), range_, type, out.data());
    return out;
  }

  template <typename T>
  static std::vector<T> valuesOf(const Volume& v) {
    std::vector<T> out(v.data.size() / sizeof(T));
    std::memcpy(out.data(), v.data.data(), v.data.size());
    return out;
  }

  Volume ct_;
  ValueRange range_;
  std::vector<float> filtered_;
};

TEST_F(FullPrecisionCli, A16BitVolumeComesBackInItsTypeRangeAndGeometry) {
  std::string err;
  ASSERT_EQ(run("-o result.nii", &err), 0) << err;
  EXPECT_NE(err.find("int16 voxels, values -1024 to 3071: filtered at full precision"), std::string::npos) << err;
  const LoadResult result = loadVolume(path("result.nii"));
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.volume.type, ScalarType::Int16);
  const std::vector<int16_t> got = valuesOf<int16_t>(result.volume);
  EXPECT_EQ(got, expected<int16_t>(ScalarType::Int16));
  // Soft tissue (0 to 200 HU) keeps steps of single HU, where a byte path
  // has one level per 16 HU of the range: at most 13 levels in that band.
  std::set<int16_t> tissue;
  for (int16_t v : got) {
    if (v >= 0 && v <= 200) tissue.insert(v);
  }
  EXPECT_GT(tissue.size(), 40u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(result.volume.geometry.spacing[i], ct_.geometry.spacing[i], 1e-5);
    EXPECT_NEAR(result.volume.geometry.origin[i], ct_.geometry.origin[i], 1e-4);
  }
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(result.volume.geometry.direction[i], ct_.geometry.direction[i], 1e-6);
}

TEST_F(FullPrecisionCli, OutputTypesAndTheRawDefault) {
  ASSERT_EQ(run("--output-type float32 -o result.nrrd"), 0);
  const LoadResult floats = loadVolume(path("result.nrrd"));
  ASSERT_TRUE(floats.ok()) << floats.error;
  EXPECT_EQ(floats.volume.type, ScalarType::Float32);
  EXPECT_EQ(valuesOf<float>(floats.volume), expected<float>(ScalarType::Float32));

  // .raw keeps the result's bytes, as it always did, with a header beside it.
  ASSERT_EQ(run("-o result.raw"), 0);
  const std::vector<uint8_t> bytes = unitFloatsToBytes(filtered_.data(), static_cast<int64_t>(filtered_.size()));
  EXPECT_EQ(slurp(path("result.raw")), std::string(bytes.begin(), bytes.end()));
  EXPECT_NE(slurp(path("result.mhd")).find("ElementType = MET_UCHAR\n"), std::string::npos);

  ASSERT_EQ(run("--output-type input -o typed.raw"), 0);
  const LoadResult typed = loadVolume(path("typed.mhd"));
  ASSERT_TRUE(typed.ok()) << typed.error;
  EXPECT_EQ(valuesOf<int16_t>(typed.volume), expected<int16_t>(ScalarType::Int16));
  EXPECT_NEAR(typed.volume.geometry.spacing[2], 1.25, 1e-12);
  EXPECT_NEAR(typed.volume.geometry.direction[1], 1.0, 1e-12);

  ASSERT_EQ(run("--output-type uint8 -o bytes.mha"), 0);
  const LoadResult asBytes = loadVolume(path("bytes.mha"));
  ASSERT_TRUE(asBytes.ok()) << asBytes.error;
  EXPECT_EQ(asBytes.volume.data, bytes);
}

}  // namespace
}  // namespace voluna
