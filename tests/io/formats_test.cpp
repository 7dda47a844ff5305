// Every format in and out: round trips keep voxels, type and geometry; a
// DICOM series is found from any of its files and ordered by position; what
// each format's header can lie about is refused, by the library and by
// voluna-filter, before anything is allocated or written.
#include <gtest/gtest.h>

#include <itkGDCMImageIO.h>
#include <itkImageIORegion.h>
#include <itkMetaDataObject.h>
#include <tiffio.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hostile_files.h"
#include "scratch_folder.h"
#include "tool_runner.h"
#include "value_mapping.h"
#include "volume_io.h"

namespace voluna {
namespace {

namespace fs = std::filesystem;

template <typename T, typename F>
Volume makeVolume(ScalarType type, Dims dims, F value) {
  Volume v;
  v.dims = dims;
  v.type = type;
  std::vector<T> values(static_cast<size_t>(dims.count()));
  for (int z = 0; z < dims.z; ++z) {
    for (int y = 0; y < dims.y; ++y) {
      for (int x = 0; x < dims.x; ++x) values[dims.index(x, y, z)] = static_cast<T>(value(x, y, z));
    }
  }
  v.data.resize(values.size() * sizeof(T));
  std::memcpy(v.data.data(), values.data(), v.data.size());
  return v;
}

// Rotated 30 degrees about z, then 20 about x: no axis lies along another.
Geometry rotatedGeometry() {
  Geometry g;
  const double a = 30 * M_PI / 180, b = 20 * M_PI / 180;
  const double rz[9] = {std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1};
  const double rx[9] = {1, 0, 0, 0, std::cos(b), -std::sin(b), 0, std::sin(b), std::cos(b)};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      g.direction[r * 3 + c] = rx[r * 3 + 0] * rz[0 * 3 + c] + rx[r * 3 + 1] * rz[1 * 3 + c] + rx[r * 3 + 2] * rz[2 * 3 + c];
    }
  }
  const double spacing[3] = {0.5, 0.75, 2.5}, origin[3] = {-10.5, 20.25, 3.0};
  for (int i = 0; i < 3; ++i) {
    g.spacing[i] = spacing[i];
    g.origin[i] = origin[i];
  }
  return g;
}

void expectGeometry(const Geometry& got, const Geometry& want, const std::string& where) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(got.spacing[i], want.spacing[i], 1e-5) << where << " spacing " << i;
    EXPECT_NEAR(got.origin[i], want.origin[i], 1e-4) << where << " origin " << i;
  }
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(got.direction[i], want.direction[i], 1e-5) << where << " direction " << i;
}

class Formats : public test_support::ScratchFolderTest {};

TEST_F(Formats, EveryFormatRoundTripsVoxelsTypeAndGeometry) {
  Volume ct = makeVolume<int16_t>(ScalarType::Int16, {5, 4, 3}, [](int x, int y, int z) {
    return -1024 + 37 * x + 301 * y + 1000 * z;
  });
  ct.geometry = rotatedGeometry();
  for (const char* name : {"ct.nii", "ct.nii.gz", "ct.nrrd", "ct.mha", "ct.mhd", "ct.raw"}) {
    ASSERT_EQ(writeVolume(path(name), ct), "") << name;
    const std::string reopen = std::string(name) == "ct.raw" ? path("ct.mhd") : path(name);
    const LoadResult loaded = loadVolume(reopen);
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    EXPECT_EQ(loaded.volume.type, ScalarType::Int16) << name;
    EXPECT_EQ(loaded.volume.dims.count(), 60) << name;
    EXPECT_EQ(loaded.volume.dims.z, 3) << name;
    EXPECT_EQ(loaded.volume.data, ct.data) << name;
    expectGeometry(loaded.volume.geometry, ct.geometry, name);
  }
  // Side files: .raw and .mhd make the same pair; nothing temporary is left.
  EXPECT_EQ(files(), (std::vector<std::string>{"ct.mha", "ct.mhd", "ct.nii", "ct.nii.gz", "ct.nrrd", "ct.raw"}));
}

TEST_F(Formats, EveryScalarTypeRoundTripsThroughNiftiAndNrrd) {
  const Dims dims{3, 2, 2};
  auto ramp = [](int x, int y, int z) { return 3 * x + 7 * y + 20 * z; };
  const Volume volumes[] = {
      makeVolume<uint8_t>(ScalarType::UInt8, dims, ramp),
      makeVolume<int8_t>(ScalarType::Int8, dims, [](int x, int y, int z) { return x - 4 * y - 30 * z; }),
      makeVolume<uint16_t>(ScalarType::UInt16, dims, [](int x, int, int z) { return 65535 - x - 60000 * z; }),
      makeVolume<int16_t>(ScalarType::Int16, dims, [](int x, int y, int) { return -32768 + x + 65000 * y; }),
      makeVolume<uint32_t>(ScalarType::UInt32, dims, [](int x, int, int z) { return 4000000000u - x - z; }),
      makeVolume<int32_t>(ScalarType::Int32, dims, [](int x, int y, int) { return -2000000000 + x + y; }),
      makeVolume<float>(ScalarType::Float32, dims, [](int x, int y, int z) { return 1e-7 * x - 2.5e5 * y + z; }),
      makeVolume<double>(ScalarType::Float64, dims, [](int x, int y, int z) { return 1e300 * x - 1e-300 * y - z; }),
  };
  for (const Volume& v : volumes) {
    for (const char* extension : {".nii", ".nrrd"}) {
      const std::string file = path(std::string(scalarName(v.type)) + extension);
      ASSERT_EQ(writeVolume(file, v), "") << file;
      const LoadResult loaded = loadVolume(file);
      ASSERT_TRUE(loaded.ok()) << loaded.error;
      EXPECT_EQ(loaded.volume.type, v.type) << file;
      EXPECT_EQ(loaded.volume.data, v.data) << file;
    }
  }
}

// Scanners store CT as uint16 with intercept -1024: the values are read as
// ITK scales them, and whole numbers come back in a whole-number type.
TEST_F(Formats, ScaledNiftiIntegersStayWholeAndOthersBecomeFloats) {
  const Volume stored =
      makeVolume<uint16_t>(ScalarType::UInt16, {4, 1, 1}, [](int x, int, int) { return std::vector<int>{0, 1024, 2048, 4095}[x]; });
  ASSERT_EQ(writeVolume(path("stored.nii"), stored), "");
  std::string bytes = slurp(path("stored.nii"));
  auto scaled = [&](const std::string& name, float slope, float intercept) {
    std::string b = bytes;
    std::memcpy(b.data() + 112, &slope, 4);
    std::memcpy(b.data() + 116, &intercept, 4);
    std::ofstream(path(name), std::ios::binary) << b;
    return loadVolume(path(name));
  };
  const LoadResult ct = scaled("ct.nii", 1.0f, -1024.0f);
  ASSERT_TRUE(ct.ok()) << ct.error;
  ASSERT_EQ(ct.volume.type, ScalarType::Int16);
  const auto* hu = reinterpret_cast<const int16_t*>(ct.volume.data.data());
  EXPECT_EQ(std::vector<int16_t>(hu, hu + 4), (std::vector<int16_t>{-1024, 0, 1024, 3071}));

  const LoadResult wide = scaled("wide.nii", 20.0f, 0.0f);
  ASSERT_TRUE(wide.ok()) << wide.error;
  EXPECT_EQ(wide.volume.type, ScalarType::Int32);

  const LoadResult half = scaled("half.nii", 0.5f, 0.0f);
  ASSERT_TRUE(half.ok()) << half.error;
  ASSERT_EQ(half.volume.type, ScalarType::Float32);
  EXPECT_EQ(reinterpret_cast<const float*>(half.volume.data.data())[3], 2047.5f);
}

// Detached NRRD headers, as other programs write them: raw data after a
// skipped preamble, and gzip data.
TEST_F(Formats, DetachedNrrdHeadersReadRawAndGzipData) {
  std::vector<int16_t> values(24);
  for (int i = 0; i < 24; ++i) values[i] = static_cast<int16_t>(-500 + 41 * i);
  const std::string raw(reinterpret_cast<const char*>(values.data()), values.size() * 2);
  std::ofstream(path("v.raw"), std::ios::binary) << "PREAMBLE" << raw;
  std::vector<Bytef> packed(compressBound(raw.size()) + 32);
  z_stream stream{};
  ASSERT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);  // gzip wrapper
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
  stream.avail_in = static_cast<uInt>(raw.size());
  stream.next_out = packed.data();
  stream.avail_out = static_cast<uInt>(packed.size());
  ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  std::ofstream(path("v.raw.gz"), std::ios::binary)
      .write(reinterpret_cast<const char*>(packed.data()), static_cast<std::streamsize>(stream.total_out));
  deflateEnd(&stream);
  const std::string fields =
      "NRRD0004\ntype: short\ndimension: 3\nsizes: 4 3 2\nspace dimension: 3\n"
      "space directions: (0,2,0) (1.5,0,0) (0,0,3)\nspace origin: (1,2,3)\nendian: little\n";
  std::ofstream(path("raw.nhdr")) << fields << "encoding: raw\nbyte skip: 8\ndata file: v.raw\n";
  std::ofstream(path("gzip.nhdr")) << fields << "encoding: gzip\ndata file: v.raw.gz\n";
  for (const char* name : {"raw.nhdr", "gzip.nhdr"}) {
    const LoadResult loaded = loadVolume(path(name));
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    EXPECT_EQ(loaded.volume.type, ScalarType::Int16) << name;
    EXPECT_EQ(loaded.volume.data, std::vector<uint8_t>(raw.begin(), raw.end())) << name;
    EXPECT_NEAR(loaded.volume.geometry.spacing[0], 2.0, 1e-12) << name;
    EXPECT_NEAR(loaded.volume.geometry.spacing[1], 1.5, 1e-12) << name;
    EXPECT_NEAR(loaded.volume.geometry.direction[3], 1.0, 1e-12) << name;  // x runs along y
    EXPECT_NEAR(loaded.volume.geometry.origin[2], 3.0, 1e-12) << name;
  }
}

TEST_F(Formats, TiffStacksRoundTripOnePagePerSlice) {
  for (const Volume& v : {makeVolume<uint16_t>(ScalarType::UInt16, {6, 4, 3}, [](int x, int y, int z) {
                            return 1000 * z + 10 * y + x;
                          }),
                          makeVolume<float>(ScalarType::Float32, {6, 4, 1}, [](int x, int y, int) {
                            return 0.25 * x - y;
                          })}) {
    const std::string file = path(std::string(scalarName(v.type)) + ".tif");
    ASSERT_EQ(writeVolume(file, v), "") << file;
    const LoadResult loaded = loadVolume(file);
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    EXPECT_EQ(loaded.volume.type, v.type);
    EXPECT_EQ(loaded.volume.dims.z, v.dims.z);
    EXPECT_EQ(loaded.volume.data, v.data);
  }
  // TIFF has no 32-bit integers: the message says what to use instead.
  const Volume ints = makeVolume<int32_t>(ScalarType::Int32, {2, 2, 2}, [](int x, int, int) { return x; });
  const std::string refused = writeVolume(path("ints.tif"), ints);
  EXPECT_NE(refused.find("--output-type float32"), std::string::npos) << refused;
  EXPECT_FALSE(fs::exists(path("ints.tif")));
}

TEST_F(Formats, WritingIsAtomicAndDicomIsRefusedWithAnAlternative) {
  const Volume v = makeVolume<int16_t>(ScalarType::Int16, {2, 2, 2}, [](int x, int, int) { return x; });
  OutputFormat format;
  std::string error;
  EXPECT_FALSE(outputFormatFor(path("out.dcm"), format, error));
  EXPECT_NE(error.find("NIfTI"), std::string::npos) << error;
  EXPECT_NE(writeVolume(path("out.DCM"), v), "");
  ASSERT_TRUE(outputFormatFor(path("out.bin"), format, error));
  EXPECT_EQ(format, OutputFormat::Raw);

  // A folder where the file should go cannot be replaced: the error names
  // it, and neither the folder nor a temporary file is left changed behind.
  for (const char* name : {"taken.nii.gz", "taken.nrrd", "taken.mha", "taken.tif"}) {
    fs::create_directory(path(name));
    const std::string problem = writeVolume(path(name), v);
    EXPECT_NE(problem.find(name), std::string::npos) << problem;
    EXPECT_TRUE(fs::is_directory(path(name)));
  }
  EXPECT_EQ(files().size(), 4u);

  // A second write replaces the first whole.
  const Volume bigger = makeVolume<int16_t>(ScalarType::Int16, {9, 9, 9}, [](int x, int, int) { return -x; });
  ASSERT_EQ(writeVolume(path("v.nii.gz"), bigger), "");
  ASSERT_EQ(writeVolume(path("v.nii.gz"), v), "");
  const LoadResult loaded = loadVolume(path("v.nii.gz"));
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  EXPECT_EQ(loaded.volume.data, v.data);
}

// ---------------------------------------------------------------------------
// DICOM series made here: one slice a file, written in an order that is
// not the order of their positions, beside a second series.

void writeDicomSlice(const std::string& file, const std::string& seriesUid, int instance, double z, int width,
                     int height, int16_t marker) {
  auto io = itk::GDCMImageIO::New();
  io->KeepOriginalUIDOn();
  itk::MetaDataDictionary& tags = io->GetMetaDataDictionary();
  itk::EncapsulateMetaData<std::string>(tags, "0020|000e", seriesUid);
  itk::EncapsulateMetaData<std::string>(tags, "0020|000d", "1.2.826.0.1.3680043.2.1125.7");
  itk::EncapsulateMetaData<std::string>(tags, "0008|0018", seriesUid + "." + std::to_string(instance));
  itk::EncapsulateMetaData<std::string>(tags, "0020|0013", std::to_string(instance));
  itk::EncapsulateMetaData<std::string>(tags, "0008|0060", "CT");
  io->SetNumberOfDimensions(3);
  io->SetPixelType(itk::IOPixelEnum::SCALAR);
  io->SetComponentType(itk::IOComponentEnum::SHORT);
  io->SetNumberOfComponents(1);
  const unsigned size[3] = {static_cast<unsigned>(width), static_cast<unsigned>(height), 1};
  const double origin[3] = {-20.0, 10.0, z};
  itk::ImageIORegion region(3);
  for (unsigned axis = 0; axis < 3; ++axis) {
    io->SetDimensions(axis, size[axis]);
    io->SetSpacing(axis, axis == 2 ? 1.0 : 0.5 + 0.25 * axis);
    io->SetOrigin(axis, origin[axis]);
    std::vector<double> direction(3, 0.0);
    direction[axis] = 1.0;
    io->SetDirection(axis, direction);
    region.SetSize(axis, size[axis]);
  }
  io->SetIORegion(region);
  io->SetFileName(file);
  std::vector<int16_t> pixels(static_cast<size_t>(width * height));
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<int16_t>(marker + static_cast<int>(i));
  io->WriteImageInformation();
  io->Write(pixels.data());
}

class DicomSeriesTest : public test_support::ScratchFolderTest {
 protected:
  // Slices of the first series at z = 0, 2.5, ..., written under names in
  // another order; slice k holds -1000 + 100 k + i.
  void writeSeries(const std::vector<int>& slices) {
    const int order[] = {3, 0, 4, 1, 2, 5, 6, 7};
    for (int k : order) {
      if (std::find(slices.begin(), slices.end(), k) == slices.end()) continue;
      writeDicomSlice(path("img" + std::to_string(7 - k) + ".dcm"), kFirst, k + 1, 2.5 * k, 4, 3,
                      static_cast<int16_t>(-1000 + 100 * k));
    }
    // A second series in the same folder, of another size, is left out.
    for (int k = 0; k < 2; ++k) writeDicomSlice(path("other" + std::to_string(k) + ".dcm"), kSecond, k + 1, k, 7, 7, 5000);
  }
  const std::string kFirst = "1.2.826.0.1.3680043.2.1125.7.1";
  const std::string kSecond = "1.2.826.0.1.3680043.2.1125.7.2";
};

TEST_F(DicomSeriesTest, AnyFileLoadsItsWholeSeriesOrderedByPosition) {
  writeSeries({0, 1, 2, 3, 4});
  for (const char* any : {"img7.dcm", "img3.dcm", "img5.dcm"}) {
    const LoadResult loaded = loadVolume(path(any));
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    EXPECT_EQ(loaded.volume.dims.x, 4);
    EXPECT_EQ(loaded.volume.dims.y, 3);
    ASSERT_EQ(loaded.volume.dims.z, 5) << any;
    ASSERT_EQ(loaded.volume.type, ScalarType::Int16);
    const auto* v = reinterpret_cast<const int16_t*>(loaded.volume.data.data());
    for (int k = 0; k < 5; ++k) EXPECT_EQ(v[k * 12], -1000 + 100 * k) << any << " slice " << k;
    EXPECT_NEAR(loaded.volume.geometry.spacing[2], 2.5, 1e-6);
    EXPECT_NEAR(loaded.volume.geometry.spacing[0], 0.5, 1e-6);
    EXPECT_NEAR(loaded.volume.geometry.spacing[1], 0.75, 1e-6);
    EXPECT_NEAR(loaded.volume.geometry.origin[2], 0.0, 1e-6);
    EXPECT_NEAR(loaded.volume.geometry.origin[0], -20.0, 1e-6);
  }
  const LoadResult other = loadVolume(path("other1.dcm"));
  ASSERT_TRUE(other.ok()) << other.error;
  EXPECT_EQ(other.volume.dims.count(), 7 * 7 * 2);
}

// A slice whose Rows and Columns claim far more pixels than its file holds
// is refused before the reader allocates them.
TEST_F(DicomSeriesTest, RowsAndColumnsBeyondTheFileAreRefused) {
  writeSeries({0});
  std::string bytes = slurp(path("img7.dcm"));
  // (0028,0010) Rows and (0028,0011) Columns, with explicit or implicit VR.
  for (const char element : {'\x10', '\x11'}) {
    const std::string tag = std::string("\x28\x00", 2) + element + '\0';
    size_t at = bytes.find(tag + "US\x02\x00");
    if (at == std::string::npos) at = bytes.find(tag + std::string("\x02\x00\x00\x00", 4));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 8] = '\x40';  // 40000: within the voxel limit, not within the file
    bytes[at + 9] = '\x9c';
  }
  std::ofstream(path("img7.dcm"), std::ios::binary | std::ios::trunc) << bytes;
  const LoadResult loaded = loadVolume(path("img7.dcm"));
  ASSERT_FALSE(loaded.ok());
  EXPECT_NE(loaded.error.find("claims 40000 x 40000 pixels (3200000000 bytes)"), std::string::npos) << loaded.error;
}

TEST_F(DicomSeriesTest, AGapOrSlicesOfAnotherSizeAreRefused) {
  writeSeries({0, 1, 3, 4});
  const LoadResult gap = loadVolume(path("img7.dcm"));
  ASSERT_FALSE(gap.ok());
  EXPECT_NE(gap.error.find("gap"), std::string::npos) << gap.error;
  EXPECT_NE(gap.error.find("a slice is missing"), std::string::npos) << gap.error;

  writeDicomSlice(path("img5.dcm"), kFirst, 3, 5.0, 5, 3, 0);  // the missing slice, one column wider
  const LoadResult sizes = loadVolume(path("img7.dcm"));
  ASSERT_FALSE(sizes.ok());
  EXPECT_NE(sizes.error.find("differ in size"), std::string::npos) << sizes.error;
  EXPECT_EQ(sizes.error.rfind(path("img7.dcm") + ": ", 0), 0u) << sizes.error;

  const fs::path out = folder_ / "out";
  fs::create_directory(out);
  const test_support::Outcome run = test_support::runTool(out, {"-o", "r.nii", path("img3.dcm")});
  ASSERT_TRUE(run.exited) << "killed by signal " << run.status;
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("differ in size"), std::string::npos) << run.err;
  EXPECT_TRUE(fs::is_empty(out));
}

// ---------------------------------------------------------------------------
// Hostile files of each format, made here from sound ones.

using test_support::Hostile;
using test_support::HostileList;

class HostileFormats : public test_support::ScratchFolderTest {
 protected:
  std::string bytesOf(const std::string& name) { return slurp(path(name)); }
  void put(const std::string& name, const std::string& bytes) {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  template <typename T>
  static void poke(std::string& bytes, size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
  }

  std::vector<Hostile> makeNifti() {
    const Volume v = makeVolume<int16_t>(ScalarType::Int16, {4, 3, 2}, [](int x, int, int) { return x; });
    EXPECT_EQ(writeVolume(path("good.nii"), v), "");
    EXPECT_EQ(writeVolume(path("good.nii.gz"), v), "");
    HostileList list(folder_, bytesOf("good.nii"));
    auto variant = [&](const std::string& name, auto change, const std::string& fragment) {
      list.variant(name, change, fragment);
    };
    variant("truncated.nii", [](std::string& b) { b.resize(b.size() - 10); }, "too short by 10 bytes");
    variant("header_only.nii", [](std::string& b) { b.resize(200); }, "ends inside its NIfTI header");
    variant("zero_dim.nii", [](std::string& b) { poke<int16_t>(b, 44, 0); }, "4 x 0 x 2");
    variant("negative_dim.nii", [](std::string& b) { poke<int16_t>(b, 46, -3); }, "4 x 3 x -3; every size must be at least 1");
    variant("huge_dims.nii", [](std::string& b) {
      for (int i = 1; i <= 3; ++i) poke<int16_t>(b, 40 + 2 * i, 30000);
    }, "2^31 - 1 voxels");
    variant("bitpix_mismatch.nii", [](std::string& b) { poke<int16_t>(b, 72, 32); }, "32 bits wide (bitpix); int16 has 16");
    variant("four_d.nii", [](std::string& b) {
      poke<int16_t>(b, 40, 4);
      poke<int16_t>(b, 48, 3);
    }, "series of 3 volumes");
    variant("vector.nii", [](std::string& b) {
      poke<int16_t>(b, 40, 5);
      poke<int16_t>(b, 48, 1);
      poke<int16_t>(b, 50, 3);
    }, "3 values per voxel");
    variant("rgb.nii", [](std::string& b) {
      poke<int16_t>(b, 70, 128);
      poke<int16_t>(b, 72, 24);
    }, "RGB colour");
    variant("offset_beyond.nii", [](std::string& b) { poke<float>(b, 108, 1e12f); }, "too short");
    // Beyond every integer type: must be printed, not converted (found by fuzzing).
    variant("offset_enormous.nii", [](std::string& b) { poke<float>(b, 108, 2.6e22f); }, "vox_offset) of 2.6e+22");
    list.brokenGzip("gzip", bytesOf("good.nii.gz"), "breaks off");
    return list.files();
  }

  std::vector<Hostile> makeNrrd() {
    std::vector<Hostile> list;
    auto header = [&](const std::string& name, const std::string& fields, const std::string& data,
                      const std::string& fragment) {
      put(name, "NRRD0004\n" + fields + "\n" + data);
      list.push_back({name, fragment});
    };
    const std::string voxels(24, '\x01');
    header("truncated.nrrd", "type: uint8\ndimension: 3\nsizes: 4 3 2\nencoding: raw\n", voxels.substr(0, 20),
           "too short by 4 bytes");
    header("zero_size.nrrd", "type: uint8\ndimension: 3\nsizes: 4 0 2\nencoding: raw\n", voxels, "4 x 0 x 2");
    header("negative_size.nrrd", "type: uint8\ndimension: 3\nsizes: 4 -3 2\nencoding: raw\n", voxels,
           "every size must be at least 1");
    header("huge_sizes.nrrd", "type: float\ndimension: 3\nsizes: 100000 100000 100000\nencoding: raw\n", voxels,
           "2^31 - 1 voxels");
    header("unknown_type.nrrd", "type: banana\ndimension: 3\nsizes: 4 3 2\nencoding: raw\n", voxels,
           "unknown type 'banana'");
    header("int64.nrrd", "type: int64\ndimension: 3\nsizes: 4 3 2\nencoding: raw\n", std::string(192, '\0'),
           "type 'int64'");
    header("four_d.nrrd", "type: uint8\ndimension: 4\nsizes: 2 2 2 3\nencoding: raw\n", voxels, "4D image");
    header("vector.nrrd",
           "type: uint8\ndimension: 4\nsizes: 3 2 2 2\nkinds: vector domain domain domain\nencoding: raw\n", voxels,
           "3 values per voxel");
    header("bzip2.nrrd", "type: uint8\ndimension: 3\nsizes: 4 3 2\nencoding: bzip2\n", voxels, "bzip2");
    header("gzip_corrupt.nrrd", "type: uint8\ndimension: 3\nsizes: 4 3 2\nencoding: gzip\n",
           "\x1f\x8b\x08\x00garbage-that-is-no-deflate-stream", "compressed data");
    header("detached_missing.nhdr", "type: uint8\ndimension: 3\nsizes: 4 3 2\nencoding: raw\ndata file: gone.raw\n",
           "", "gone.raw is missing");
    return list;
  }

  std::vector<Hostile> makeTiff() {
    std::vector<Hostile> list;
    auto write = [&](const std::string& name, const std::vector<std::pair<uint32_t, uint32_t>>& pages,
                     uint16_t samples) {
      TIFF* tif = TIFFOpen(path(name).c_str(), "w");
      ASSERT_NE(tif, nullptr);
      for (const auto& [w, h] : pages) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, h);
        std::vector<uint8_t> row(w * samples, 9);
        for (uint32_t y = 0; y < h; ++y) TIFFWriteScanline(tif, row.data(), y, 0);
        TIFFWriteDirectory(tif);
      }
      TIFFClose(tif);
    };
    write("pages_differ.tif", {{8, 6}, {8, 6}, {9, 6}}, 1);
    list.push_back({"pages_differ.tif", "pages that differ in size: page 1 is 8 x 6 (8-bit), page 3 is 9 x 6"});
    write("rgb.tif", {{4, 4}}, 3);
    list.push_back({"rgb.tif", "3 samples per pixel"});
    write("sound.tif", {{64, 64}, {64, 64}}, 1);
    const std::string sound = bytesOf("sound.tif");
    put("truncated.tif", sound.substr(0, 5000));
    list.push_back({"truncated.tif", "cut short or damaged"});
    return list;
  }
};

TEST_F(HostileFormats, AreRefusedWithTheFileAndTheProblemNamed) {
  std::vector<Hostile> all = makeNifti();
  for (const std::vector<Hostile>& more : {makeNrrd(), makeTiff()}) all.insert(all.end(), more.begin(), more.end());
  test_support::expectEveryLoadRefused(folder_, all);
}

TEST_F(HostileFormats, EndVolunaFilterWithStatusOneAndWriteNothing) {
  std::vector<Hostile> all = makeNifti();
  for (const std::vector<Hostile>& more : {makeNrrd(), makeTiff()}) all.insert(all.end(), more.begin(), more.end());
  test_support::expectEveryRunRefused(folder_, all);
}

// A sound volume that loads but leaves no room for the filter's floats (a
// sparse file: 343 MB as the header says, on no disk space): a message, not
// an abort, and nothing written.
TEST_F(HostileFormats, AVolumeTooLargeToFilterInMemoryEndsWithAMessage) {
  if (test_support::kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer needs more address space than the limit";
  const Dims dims{700, 700, 700};
  ASSERT_EQ(writeVolume(path("big.nii"), makeVolume<uint8_t>(ScalarType::UInt8, {1, 1, 1}, [](int, int, int) { return 0; })),
            "");
  std::string header = bytesOf("big.nii").substr(0, 352);
  for (int i = 1; i <= 3; ++i) poke<int16_t>(header, 40 + 2 * i, 700);
  put("big.nii", header);
  fs::resize_file(path("big.nii"), 352 + static_cast<uintmax_t>(dims.count()));
  const fs::path out = folder_ / "out";
  fs::create_directory(out);
  const test_support::Outcome run = test_support::runTool(out, {"-o", "r.nii", path("big.nii")});
  ASSERT_TRUE(run.exited) << "killed by signal " << run.status;
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("not enough memory to filter its 343000000 voxels"), std::string::npos) << run.err;
  EXPECT_TRUE(fs::is_empty(out));
}

}  // namespace
}  // namespace voluna
