// Reading volumes a box at a time: headers of any size without their
// voxels, and boxes whose floats are exactly what a whole load maps.
#include "volume_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>

#include "scratch_folder.h"
#include "volume_io.h"

namespace voluna {
namespace {

namespace fs = std::filesystem;

class VolumeStream : public voluna::test_support::ScratchFolderTest {
 protected:
  // Whole numbers from -1000 to 3000, as a CT stores them.
  static Volume ct(Dims d, uint32_t seed) {
    Volume v;
    v.dims = d;
    v.type = ScalarType::Int16;
    v.geometry.spacing[0] = 0.75;
    v.geometry.origin[2] = 4.5;
    v.data.resize(static_cast<size_t>(d.count()) * 2);
    std::mt19937 random(seed);
    for (int64_t i = 0; i < d.count(); ++i) {
      const auto value = static_cast<int16_t>(static_cast<int>(random() % 4001) - 1000);
      std::memcpy(v.data.data() + i * 2, &value, 2);
    }
    return v;
  }

  // Overwrites bytes of a file in place.
  void patch(const std::string& name, size_t offset, const void* bytes, size_t size) const {
    std::fstream file(path(name), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  }

  void setScaling(const std::string& name, float slope, float intercept) const {
    patch(name, 112, &slope, 4);
    patch(name, 116, &intercept, 4);
  }

  // The floats a whole load and run give the voxels of `box`.
  static std::vector<float> wholeMapped(const Volume& v, const Box& box) {
    std::vector<float> all(static_cast<size_t>(v.dims.count()));
    mapToUnit(v.data.data(), v.type, v.dims.count(), unitRangeOf(v), all.data());
    std::vector<float> out;
    for (int64_t z = box.z0; z < box.z1; ++z)
      for (int64_t y = box.y0; y < box.y1; ++y)
        for (int64_t x = box.x0; x < box.x1; ++x) {
          out.push_back(all[static_cast<size_t>((z * v.dims.y + y) * v.dims.x + x)]);
        }
    return out;
  }

  static std::vector<float> streamed(const StreamSource& source, const Box& box, ValueRange range) {
    BoxReader reader(source);
    std::vector<float> out(static_cast<size_t>(box.count()));
    EXPECT_EQ(reader.read(box, range, out.data()), "");
    return out;
  }
};

TEST_F(VolumeStream, ReadsHeadersOfAnySizeWithoutTheirVoxels) {
  // NIfTI-1 of 2^31 voxels over a sparse file: only the header is read.
  ASSERT_EQ(writeVolume(path("big.nii"), ct({4, 3, 2}, 1)), "");
  const int16_t dims[3] = {2048, 1024, 1024};
  patch("big.nii", 42, dims, sizeof dims);
  fs::resize_file(path("big.nii"), 352 + (uintmax_t{1} << 32));
  const StreamSource nifti = inspectVolume(path("big.nii"));
  ASSERT_TRUE(nifti.ok()) << nifti.error;
  EXPECT_EQ(nifti.dims.count(), int64_t{1} << 31);
  EXPECT_EQ(nifti.stored, ScalarType::Int16);
  EXPECT_EQ(nifti.dataOffset, 352);
  EXPECT_FALSE(nifti.compressed);
  EXPECT_FALSE(nifti.swapped);
  EXPECT_DOUBLE_EQ(nifti.geometry.spacing[0], 0.75);
  EXPECT_DOUBLE_EQ(nifti.geometry.origin[2], 4.5);
  // One voxel short is a broken file, not a volume.
  fs::resize_file(path("big.nii"), 351 + (uintmax_t{1} << 32));
  EXPECT_FALSE(inspectVolume(path("big.nii")).ok());

  // Detached big-endian NRRD with its data at the end of the data file.
  std::ofstream(path("huge.nhdr")) << "NRRD0004\ntype: uint16\ndimension: 3\nsizes: 2048 1024 1025\nendian: big\n"
                                      "encoding: raw\nbyte skip: -1\ndata file: huge.data\n";
  { std::ofstream create(path("huge.data")); }
  fs::resize_file(path("huge.data"), 100 + uintmax_t{2048} * 1024 * 1025 * 2);
  const StreamSource nrrd = inspectVolume(path("huge.nhdr"));
  ASSERT_TRUE(nrrd.ok()) << nrrd.error;
  EXPECT_EQ(nrrd.dims.z, 1025);
  EXPECT_EQ(nrrd.stored, ScalarType::UInt16);
  EXPECT_EQ(nrrd.dataPath, path("huge.data"));
  EXPECT_EQ(nrrd.dataOffset, 100);
  EXPECT_TRUE(nrrd.swapped);

  // Compressed: recognised from the header, with what to do.
  ASSERT_EQ(writeVolume(path("packed.nii.gz"), ct({5, 4, 3}, 2)), "");
  const StreamSource packed = inspectVolume(path("packed.nii.gz"));
  EXPECT_TRUE(packed.ok()) << packed.error;
  EXPECT_TRUE(packed.compressed);
  EXPECT_EQ(packed.dims.x * packed.dims.y * packed.dims.z, 60);
  EXPECT_NE(packed.uncompress.find("gunzip -k"), std::string::npos);

  // A series of volumes, or a scaling only ITK's whole load applies, is refused.
  ASSERT_EQ(writeVolume(path("series.nii"), ct({4, 3, 2}, 3)), "");
  const int16_t series[2] = {4, 2};  // dim[0] = 4, dim[4] = 2
  patch("series.nii", 40, &series[0], 2);
  patch("series.nii", 48, &series[1], 2);
  const StreamSource four = inspectVolume(path("series.nii"));
  EXPECT_NE(four.error.find("series"), std::string::npos) << four.error;
  ASSERT_EQ(writeVolume(path("offset.nii"), ct({4, 3, 2}, 4)), "");
  setScaling("offset.nii", 0.0f, 5.0f);
  const StreamSource offset = inspectVolume(path("offset.nii"));
  EXPECT_TRUE(offset.wholeOnly);
  EXPECT_NE(offset.error.find("scl_slope 0, scl_inter 5"), std::string::npos) << offset.error;
}

TEST_F(VolumeStream, BoxesAreMappedAsAWholeLoadMapsThem) {
  const Dims d{13, 11, 9};
  const Volume volume = ct(d, 5);
  // Big-endian, detached, after a byte skip: every offset counts.
  std::string bytes(volume.data.begin(), volume.data.end());
  for (size_t at = 0; at < bytes.size(); at += 2) std::swap(bytes[at], bytes[at + 1]);
  std::ofstream(path("ct.nhdr")) << "NRRD0004\ntype: short\ndimension: 3\nsizes: 13 11 9\nendian: big\n"
                                    "encoding: raw\nbyte skip: 7\ndata file: ct.bin\n";
  std::ofstream(path("ct.bin"), std::ios::binary) << "skipped" << bytes;
  const LoadResult loaded = loadVolume(path("ct.nhdr"));
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  const StreamSource source = inspectVolume(path("ct.nhdr"));
  ASSERT_TRUE(source.ok()) << source.error;
  BoxReader reader(source);
  const ValueScan scan = reader.scan({});
  EXPECT_EQ(scan.type, ScalarType::Int16);
  EXPECT_EQ(scan.range.min, unitRangeOf(loaded.volume).min);
  EXPECT_EQ(scan.range.max, unitRangeOf(loaded.volume).max);
  for (const Box& box : {Box{2, 3, 1, 11, 10, 8}, Box{0, 0, 0, 13, 11, 9}, Box{12, 0, 4, 13, 11, 5}}) {
    EXPECT_EQ(streamed(source, box, scan.range), wholeMapped(loaded.volume, box));
  }

  // Floats with planes of nothing finite: those planes do not pull the range to 0.
  Volume floats;
  floats.dims = d;
  floats.type = ScalarType::Float32;
  floats.data.resize(static_cast<size_t>(d.count()) * 4);
  for (int64_t i = 0; i < d.count(); ++i) {
    const int64_t z = i / (d.x * d.y);
    const float value = z == 0 ? std::numeric_limits<float>::quiet_NaN()
                        : z == 4 ? std::numeric_limits<float>::infinity()
                                 : 2.0f + static_cast<float>(i % 17) / 8.0f;
    std::memcpy(floats.data.data() + i * 4, &value, 4);
  }
  ASSERT_EQ(writeVolume(path("gaps.mhd"), floats), "");
  const StreamSource gaps = inspectVolume(path("gaps.mhd"));
  ASSERT_TRUE(gaps.ok()) << gaps.error;
  BoxReader gapReader(gaps);
  const ValueScan gapScan = gapReader.scan({});
  EXPECT_EQ(gapScan.range.min, 2.0);
  EXPECT_EQ(gapScan.range.max, 4.0);
  EXPECT_EQ(streamed(gaps, Box::of({d.x, d.y, d.z}), gapScan.range), wholeMapped(floats, Box::of({d.x, d.y, d.z})));

  // The pass stops when asked, and says so.
  int asked = 0;
  const ValueScan stopped = gapReader.scan([&](double) { return ++asked < 3; });
  EXPECT_TRUE(stopped.stopped);
  EXPECT_EQ(asked, 3);
}

// NIfTI scaling: the type a whole load gives the values depends on all of
// them; the first pass must come to the same type and range.
TEST_F(VolumeStream, ScaledNiftiTakesTheTypeAWholeLoadGivesIt) {
  const Dims d{9, 7, 5};
  struct Scaling {
    float slope, intercept;
    ScalarType type;
  };
  for (const Scaling& s : {Scaling{2, -1024, ScalarType::Int16}, Scaling{20, 0, ScalarType::Int32},
                           Scaling{0.5f, 0, ScalarType::Float32}, Scaling{3, 0.5f, ScalarType::Float32}}) {
    SCOPED_TRACE(std::to_string(s.slope) + " " + std::to_string(s.intercept));
    ASSERT_EQ(writeVolume(path("s.nii"), ct(d, 6)), "");
    setScaling("s.nii", s.slope, s.intercept);
    const LoadResult loaded = loadVolume(path("s.nii"));
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    EXPECT_EQ(loaded.volume.type, s.type);
    const StreamSource source = inspectVolume(path("s.nii"));
    ASSERT_TRUE(source.ok()) << source.error;
    BoxReader reader(source);
    const ValueScan scan = reader.scan({});
    EXPECT_EQ(scan.type, loaded.volume.type);
    EXPECT_EQ(scan.range.min, unitRangeOf(loaded.volume).min);
    EXPECT_EQ(scan.range.max, unitRangeOf(loaded.volume).max);
    const Box box{1, 2, 1, 8, 6, 4};
    EXPECT_EQ(streamed(source, box, scan.range), wholeMapped(loaded.volume, box));
  }
}

}  // namespace
}  // namespace voluna
