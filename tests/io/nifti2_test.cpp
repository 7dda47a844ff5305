// NIfTI-2 files load as the same volume stored as NIfTI-1 does through ITK:
// voxels, type, scaling and geometry, in either byte order, plain or gzip.
// The NIfTI-2 files are made here, field for field, from NIfTI-1 files that
// ITK wrote or that were altered, and hostile ones are refused by the library
// and by voluna-filter before anything is allocated or written.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "nifti2_files.h"
#include "hostile_files.h"
#include "scratch_folder.h"
#include "tool_runner.h"
#include "volume_io.h"

namespace voluna {
namespace {

using test_support::nifti2From;

template <typename T>
void poke(std::string& b, size_t offset, T value) {
  std::memcpy(b.data() + offset, &value, sizeof value);
}

namespace fs = std::filesystem;

std::string gzipped(const std::string& bytes) {
  uLongf size = compressBound(bytes.size()) + 32;
  std::string out(size, '\0');
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  s.avail_in = static_cast<uInt>(bytes.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

Geometry rotated() {
  Geometry g;
  const double a = 30 * M_PI / 180, b = 20 * M_PI / 180;
  const double rz[9] = {std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1};
  const double rx[9] = {1, 0, 0, 0, std::cos(b), -std::sin(b), 0, std::sin(b), std::cos(b)};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      g.direction[r * 3 + c] = 0;
      for (int k = 0; k < 3; ++k) g.direction[r * 3 + c] += rx[r * 3 + k] * rz[k * 3 + c];
    }
  }
  const double spacing[3] = {0.5, 0.75, 2.5}, origin[3] = {-10.5, 20.25, 3.0};
  std::copy(spacing, spacing + 3, g.spacing);
  std::copy(origin, origin + 3, g.origin);
  return g;
}

template <typename T>
Volume volumeOf(ScalarType type, Dims dims, T first, T step) {
  Volume v;
  v.dims = dims;
  v.type = type;
  v.geometry = rotated();
  std::vector<T> values(static_cast<size_t>(dims.count()));
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<T>(first + step * static_cast<T>(i));
  v.data.resize(values.size() * sizeof(T));
  std::memcpy(v.data.data(), values.data(), v.data.size());
  return v;
}

// NIfTI-1 is read by ITK in single precision; the NIfTI-2 fields made from it
// hold the same values, so only rounding in the last float digit may differ.
void expectSameVolume(const LoadResult& got, const LoadResult& want, const std::string& where) {
  ASSERT_TRUE(want.ok()) << want.error;
  ASSERT_TRUE(got.ok()) << where << ": " << got.error;
  EXPECT_EQ(got.volume.type, want.volume.type) << where;
  EXPECT_EQ(got.volume.dims.x, want.volume.dims.x) << where;
  EXPECT_EQ(got.volume.dims.y, want.volume.dims.y) << where;
  EXPECT_EQ(got.volume.dims.z, want.volume.dims.z) << where;
  EXPECT_EQ(got.volume.data, want.volume.data) << where;
  const Geometry& g = got.volume.geometry;
  const Geometry& w = want.volume.geometry;
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(g.spacing[i], w.spacing[i], 1e-6) << where << " spacing " << i;
    EXPECT_NEAR(g.origin[i], w.origin[i], 1e-5) << where << " origin " << i;
  }
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(g.direction[i], w.direction[i], 1e-6) << where << " direction " << i;
}

class Nifti2 : public test_support::ScratchFolderTest {
 protected:
  void put(const std::string& name, const std::string& bytes) { std::ofstream(path(name), std::ios::binary) << bytes; }

  // Loads `n1` through ITK and as NIfTI-2 plain, gzip and byte-swapped.
  void expectLoadsAlike(const std::string& name, const std::string& n1) {
    put(name + ".nii", n1);
    const LoadResult want = loadVolume(path(name + ".nii"));
    put(name + "_2.nii", nifti2From(n1));
    put(name + "_2.nii.gz", gzipped(nifti2From(n1)));
    put(name + "_2_swapped.nii", nifti2From(n1, true));
    for (const char* suffix : {"_2.nii", "_2.nii.gz", "_2_swapped.nii"}) {
      expectSameVolume(loadVolume(path(name + suffix)), want, name + suffix);
    }
  }

  // ITK refuses `n1`; Voluna refuses it as NIfTI-2 too, saying `why`.
  void expectBothRefuse(const std::string& name, const std::string& n1, const std::string& why) {
    put(name + ".nii", n1);
    EXPECT_FALSE(loadVolume(path(name + ".nii")).ok()) << name;
    put(name + "_2.nii", nifti2From(n1));
    const LoadResult refused = loadVolume(path(name + "_2.nii"));
    EXPECT_NE(refused.error.find(why), std::string::npos) << refused.error;
  }
};

TEST_F(Nifti2, VoxelsAndGeometryAreThoseOfTheSameNifti1File) {
  const Volume ct = volumeOf<int16_t>(ScalarType::Int16, {5, 4, 3}, -1024, 97);
  const Volume floats = volumeOf<float>(ScalarType::Float32, {3, 4, 2}, -2.5f, 0.375f);
  ASSERT_EQ(writeVolume(path("ct.nii"), ct), "");
  ASSERT_EQ(writeVolume(path("floats.nii"), floats), "");
  const std::string n1 = slurp(path("ct.nii"));
  expectLoadsAlike("ct", n1);
  expectLoadsAlike("floats", slurp(path("floats.nii")));
  // The written voxels, as a check that the comparison is not of two empties.
  put("direct.nii", nifti2From(n1));
  const LoadResult direct = loadVolume(path("direct.nii"));
  ASSERT_TRUE(direct.ok()) << direct.error;
  EXPECT_EQ(direct.volume.data, ct.data);
  EXPECT_EQ(direct.volume.type, ScalarType::Int16);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(direct.volume.geometry.direction[i], ct.geometry.direction[i], 1e-6);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(direct.volume.geometry.origin[i], ct.geometry.origin[i], 1e-5);
}

// Which of sform and qform places the voxels, and how, is ITK's choice: each
// combination is compared with ITK's reading of the same NIfTI-1 fields.
TEST_F(Nifti2, SformQformAndNeitherPlaceVoxelsAsItkDoes) {
  ASSERT_EQ(writeVolume(path("base.nii"), volumeOf<uint8_t>(ScalarType::UInt8, {4, 3, 2}, 1, 3)), "");
  const std::string base = slurp(path("base.nii"));
  std::string sformOnly = base;
  poke<int16_t>(sformOnly, 252, 0);
  expectLoadsAlike("sform_only", sformOnly);
  std::string qformOnly = base;
  poke<int16_t>(qformOnly, 254, 0);
  poke<float>(qformOnly, 76, -1.0f);  // qfac: a left-handed qform
  expectLoadsAlike("qform_only", qformOnly);
  std::string neither = base;
  poke<int16_t>(neither, 252, 0);
  poke<int16_t>(neither, 254, 0);
  expectLoadsAlike("neither", neither);
  std::string disagree = base;  // the sform moved away from the qform
  poke<float>(disagree, 280 + 12, 99.0f);
  poke<float>(disagree, 296 + 12, -7.0f);
  expectLoadsAlike("disagree", disagree);
  std::string oddSpacing = base;  // pixdim as stored, not as the sform scales
  poke<float>(oddSpacing, 80, -0.5f);
  poke<float>(oddSpacing, 84, 0.0f);
  expectLoadsAlike("odd_spacing", oddSpacing);
  std::string sheared = base;  // an sform that is no rotation
  poke<float>(sheared, 280 + 4, 0.4f);
  expectLoadsAlike("sheared", sheared);
  // ITK refuses a sheared sform without a qform to fall back on; so does Voluna.
  poke<int16_t>(sheared, 252, 0);
  expectBothRefuse("sheared_sform_only", sheared, "sheared sform and has no qform");
  std::string flat = base;  // one slice, two axes
  poke<int16_t>(flat, 40, 2);
  poke<int16_t>(flat, 46, 1);
  flat.resize(352 + 12);
  expectLoadsAlike("flat", flat);
}

// ITK takes the sform when its code is 1 or there is no qform, and only if
// its axes divided by pixdim are orthonormal; every pair of codes, with an
// sform and a qform that place the voxels 126 mm apart, is read alike.
TEST_F(Nifti2, EveryPairOfCodesPlacesVoxelsAsItkDoes) {
  ASSERT_EQ(writeVolume(path("base.nii"), volumeOf<uint8_t>(ScalarType::UInt8, {4, 3, 2}, 1, 3)), "");
  std::string base = slurp(path("base.nii"));
  const float srow[12] = {-1, 0, 0, 90, 0, 1, 0, -126, 0, 0, 1, -72};
  for (int i = 0; i < 12; ++i) poke<float>(base, 280 + 4 * i, srow[i]);
  const float quatern[6] = {0, 0, 0, 10, 20, 30};
  for (int i = 0; i < 6; ++i) poke<float>(base, 256 + 4 * i, quatern[i]);
  for (int i = 1; i <= 3; ++i) poke<float>(base, 76 + 4 * i, 1.0f);  // pixdim: the sform's own axes
  for (int16_t sform = 0; sform <= 4; ++sform) {
    for (int16_t qform = 0; qform <= 4; ++qform) {
      std::string codes = base;
      poke<int16_t>(codes, 252, qform);
      poke<int16_t>(codes, 254, sform);
      expectLoadsAlike("codes_" + std::to_string(sform) + std::to_string(qform), codes);
    }
  }
  // Axes longer than pixdim says: the qform places the voxels, or without one
  // the file is refused.
  std::string stretched = base;
  poke<float>(stretched, 84, 2.0f);  // pixdim[2]
  expectLoadsAlike("stretched", stretched);
  poke<int16_t>(stretched, 252, 0);
  expectBothRefuse("stretched_sform_only", stretched, "not as long as its voxel sizes (pixdim) say");
}

TEST_F(Nifti2, ScalingFollowsTheNifti1Rule) {
  ASSERT_EQ(writeVolume(path("u16.nii"), volumeOf<uint16_t>(ScalarType::UInt16, {4, 2, 1}, 0, 1000)), "");
  ASSERT_EQ(writeVolume(path("f64.nii"), volumeOf<double>(ScalarType::Float64, {4, 2, 1}, -1.5, 0.25)), "");
  for (const char* file : {"u16", "f64"}) {
    const std::string stored = slurp(path(std::string(file) + ".nii"));
    const float factors[][2] = {{1, -1024}, {2, 0.5f}, {1, 0}, {0, 7}, {-0.5f, 3}};
    for (const auto& f : factors) {
      std::string scaled = stored;
      poke<float>(scaled, 112, f[0]);
      poke<float>(scaled, 116, f[1]);
      expectLoadsAlike(std::string(file) + "_" + std::to_string(f[0]) + "_" + std::to_string(f[1]), scaled);
    }
  }
}

// ---------------------------------------------------------------------------

using test_support::Hostile;

class HostileNifti2 : public Nifti2 {
 protected:
  std::vector<Hostile> make() {
    EXPECT_EQ(writeVolume(path("good1.nii"), volumeOf<int16_t>(ScalarType::Int16, {4, 3, 2}, -5, 1)), "");
    const std::string good = nifti2From(slurp(path("good1.nii")));
    test_support::HostileList list(folder_, good);
    auto variant = [&](const std::string& name, auto change, const std::string& fragment) {
      list.variant(name, change, fragment);
    };
    variant("truncated.nii", [](std::string& b) { b.resize(b.size() - 10); }, "too short by 10 bytes");
    variant("header_only.nii", [](std::string& b) { b.resize(400); }, "ends inside its NIfTI header");
    variant("zero_dim.nii", [](std::string& b) { poke<int64_t>(b, 32, 0); }, "4 x 0 x 2");
    variant("negative_dim.nii", [](std::string& b) { poke<int64_t>(b, 40, -3); }, "4 x 3 x -3; every size must be at least 1");
    variant("huge_dim.nii", [](std::string& b) { poke<int64_t>(b, 24, int64_t{1} << 62); }, "2^31 - 1 voxels");
    variant("huge_product.nii", [](std::string& b) {
      for (int i = 1; i <= 3; ++i) poke<int64_t>(b, 16 + 8 * i, 2000000);
    }, "2^31 - 1 voxels");
    variant("too_many_axes.nii", [](std::string& b) { poke<int64_t>(b, 16, 9); }, "has 9 dimensions");
    variant("bitpix_mismatch.nii", [](std::string& b) { poke<int16_t>(b, 14, 32); }, "32 bits wide (bitpix); int16 has 16");
    variant("four_d.nii", [](std::string& b) {
      poke<int64_t>(b, 16, 4);
      poke<int64_t>(b, 48, 3);
    }, "series of 3 volumes");
    variant("many_volumes.nii", [](std::string& b) {
      poke<int64_t>(b, 16, 7);
      for (int i = 4; i <= 7; i += i == 4 ? 2 : 1) poke<int64_t>(b, 16 + 8 * i, 2000000000);
    }, "series of more than 2^63 volumes");
    variant("complex.nii", [](std::string& b) {
      poke<int16_t>(b, 12, 32);
      poke<int16_t>(b, 14, 64);
    }, "complex64");
    variant("rgb.nii", [](std::string& b) {
      poke<int16_t>(b, 12, 128);
      poke<int16_t>(b, 14, 24);
    }, "RGB colour");
    variant("offset_beyond.nii", [](std::string& b) { poke<int64_t>(b, 168, 1000000000000); }, "too short");
    variant("offset_negative.nii", [](std::string& b) { poke<int64_t>(b, 168, -8); }, "vox_offset) of -8");
    variant("offset_inside_header.nii", [](std::string& b) { poke<int64_t>(b, 168, 348); }, "at least 540");
    list.brokenGzip("gzip", gzipped(good), "ends inside its NIfTI header");
    // A sound gzip stream of too few voxels.
    list.add("gzip_short.nii.gz", gzipped(good.substr(0, good.size() - 6)), "ends after");
    return list.files();
  }
};

TEST_F(HostileNifti2, AreRefusedWithTheFileAndTheProblemNamed) { test_support::expectEveryLoadRefused(folder_, make()); }

TEST_F(HostileNifti2, EndVolunaFilterWithStatusOneAndWriteNothing) {
  test_support::expectEveryRunRefused(folder_, make());
  const fs::path out = folder_ / "out";
  // And a sound one is filtered and written.
  put("sound.nii.gz", gzipped(nifti2From(slurp(path("good1.nii")))));
  const test_support::Outcome run =
      test_support::runTool(out, {"--samples", "1", "--steps", "1", "--angle", "90", "-o", "r.nii", path("sound.nii.gz")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::exists(out / "r.nii"));
}

}  // namespace
}  // namespace voluna
