// A NIfTI volume's own sform and qform, with their codes, come out of every
// NIfTI result as they went in: sheared, disagreeing or absent, from
// NIfTI-1 or NIfTI-2, whole or a box at a time. They are dropped once the
// volume is moved, and other formats say when they lose a shear.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "nifti2_files.h"
#include "nifti_fields.h"
#include "nifti_placement.h"
#include "scratch_folder.h"
#include "tool_runner.h"
#include "volume_io.h"
#include "volume_stream.h"

namespace voluna {
namespace {

using test_support::NiftiFields;
using test_support::niftiFieldsOf;

struct Placement {
  const char* name;
  NiftiFields fields;
};

NiftiFields fields(int16_t sformCode, int16_t qformCode, float qfac, std::array<float, 6> quatern,
                   std::array<float, 12> srow) {
  NiftiFields f;
  f.sformCode = sformCode;
  f.qformCode = qformCode;
  f.qfac = qfac;
  f.quatern = quatern;
  f.srow = srow;
  return f;
}

namespace fs = std::filesystem;

// As real files have them (axes as long as pixdim, 1): an atlas whose sform
// and qform place it 126 mm apart (both code 2), a gantry tilt's shear, an
// MNI sform alone, a left-handed qform alone, and neither.
const std::vector<Placement> kPlacements = {
    {"disagreeing", fields(2, 2, -1, {0, 1, 0, 90, 0, 0}, {-1, 0, 0, 90, 0, 1, 0, -126, 0, 0, 1, -72})},
    {"sheared", fields(1, 1, 1, {0, 0, 0, -10, 5, 3}, {1, 0, 0, -10, 0, 1, 0.4f, 5, 0, 0, 1, 3})},
    {"sform_only", fields(4, 0, 1, {0, 0, 0, 0, 0, 0}, {-1, 0, 0, 90, 0, 1, 0, -126, 0, 0, 1, -72})},
    {"qform_only", fields(0, 1, -1, {0.1f, 0.2f, 0.3f, 7, -8, 9}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
    {"neither", fields(0, 0, 1, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
};

class NiftiPlacementTest : public test_support::ScratchFolderTest {
 protected:
  // A NIfTI-1 file of ITK's writing, its placement then set as `f` says.
  std::string placed(const std::string& name, const NiftiFields& f) {
    Volume v;
    v.dims = {4, 3, 2};
    v.type = ScalarType::Int16;
    v.data.resize(48);
    for (size_t i = 0; i < v.data.size(); ++i) v.data[i] = static_cast<uint8_t>(i * 11);
    EXPECT_EQ(writeVolume(path(name), v), "");
    std::string bytes = slurp(path(name));
    test_support::putFields(f, bytes);
    std::ofstream(path(name), std::ios::binary) << bytes;
    return path(name);
  }

  static void expectSameGeometry(const Geometry& got, const Geometry& want, const std::string& where) {
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(got.origin[i], want.origin[i], 1e-5) << where;
      EXPECT_NEAR(got.spacing[i], want.spacing[i], 1e-6) << where;
    }
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(got.direction[i], want.direction[i], 1e-6) << where;
  }
};

TEST_F(NiftiPlacementTest, NiftiResultsKeepSformQformAndCodesAsStored) {
  for (const Placement& p : kPlacements) {
    const std::string input = placed(std::string(p.name) + ".nii", p.fields);
    ASSERT_EQ(niftiFieldsOf(input), p.fields);
    std::ofstream(path(std::string(p.name) + "_2.nii"), std::ios::binary)
        << test_support::nifti2From(slurp(input), true);
    for (const std::string& from : {input, path(std::string(p.name) + "_2.nii")}) {
      const LoadResult loaded = loadVolume(from);
      ASSERT_TRUE(loaded.ok()) << loaded.error;
      for (const char* suffix : {"_out.nii", "_out.nii.gz"}) {
        const std::string result = path(std::string(p.name) + suffix);
        ASSERT_EQ(writeVolume(result, loaded.volume), "");
        EXPECT_EQ(niftiFieldsOf(result), p.fields) << from << " -> " << suffix;
        // And Voluna's own reading of the result is the input's.
        const LoadResult back = loadVolume(result);
        ASSERT_TRUE(back.ok()) << back.error;
        expectSameGeometry(back.volume.geometry, loaded.volume.geometry, result);
        EXPECT_EQ(back.volume.data, loaded.volume.data);
      }
    }
  }
}

// A box at a time, the result's header is written before its voxels exist:
// it must say the same.
TEST_F(NiftiPlacementTest, StreamedResultsKeepThemToo) {
  for (const Placement& p : kPlacements) {
    const StreamSource source = inspectVolume(placed(std::string(p.name) + ".nii", p.fields));
    ASSERT_TRUE(source.ok()) << source.error;
    const LoadResult whole = loadVolume(path(std::string(p.name) + ".nii"));
    StreamedResult result(path("streamed.nii"), source.dims, whole.volume.type, source.geometry);
    ASSERT_EQ(result.write({0, 0, 0, 4, 3, 2}, whole.volume.data.data()), "");
    ASSERT_EQ(result.commit(), "");
    EXPECT_EQ(niftiFieldsOf(path("streamed.nii")), p.fields) << p.name;
  }
}

// Whoever moves a volume need not know of the kept fields: they are not
// written once they no longer place it where its geometry does.
TEST_F(NiftiPlacementTest, AMovedVolumeIsPlacedWhereItWasMovedTo) {
  LoadResult loaded = loadVolume(placed("atlas.nii", kPlacements[0].fields));
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  Geometry moved = loaded.volume.geometry;
  moved.origin[0] += 5;
  loaded.volume.geometry = moved;
  ASSERT_EQ(writeVolume(path("moved.nii"), loaded.volume), "");
  const LoadResult back = loadVolume(path("moved.nii"));
  ASSERT_TRUE(back.ok()) << back.error;
  expectSameGeometry(back.volume.geometry, moved, "moved");
  EXPECT_NE(niftiFieldsOf(path("moved.nii")), kPlacements[0].fields);
  EXPECT_EQ(geometryLossNotice(path("moved.nrrd"), moved), "");
}

TEST_F(NiftiPlacementTest, OnlyALostShearIsNoticed) {
  const LoadResult sheared = loadVolume(placed("sheared.nii", kPlacements[1].fields));
  ASSERT_TRUE(sheared.ok()) << sheared.error;
  for (const char* name : {"r.nrrd", "r.mha", "r.mhd", "r.tif", "r.raw", "r.bin"}) {
    const std::string notice = geometryLossNotice(path(name), sheared.volume.geometry);
    EXPECT_EQ(notice.rfind(path(name) + ": ", 0), 0u) << notice;
    EXPECT_NE(notice.find("sheared sform"), std::string::npos) << notice;
    EXPECT_EQ(notice.find('\n'), std::string::npos) << notice;
  }
  for (const char* name : {"r.nii", "r.nii.gz"}) EXPECT_EQ(geometryLossNotice(path(name), sheared.volume.geometry), "");
  const LoadResult atlas = loadVolume(placed("atlas.nii", kPlacements[0].fields));
  EXPECT_EQ(geometryLossNotice(path("r.nrrd"), atlas.volume.geometry), "");
  EXPECT_EQ(geometryLossNotice(path("r.nrrd"), Geometry{}), "");
}

// The matrix nibabel and FSL place a NIfTI file by, as its sform (shear
// included) or else its qform, computed here by NIfTI's own convention.
TEST_F(NiftiPlacementTest, TheWorldAffineIsTheFilesOwn) {
  double affine[16];
  const LoadResult sheared = loadVolume(placed("sheared.nii", kPlacements[1].fields));
  worldAffine(sheared.volume.geometry, affine);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(affine[i], kPlacements[1].fields.srow[i]) << i;
  EXPECT_EQ(affine[15], 1.0);

  // A rotation by 90 degrees about z (quatern d = sin 45), left-handed, spacing 2.
  NiftiFields turned = kPlacements[3].fields;
  turned.quatern = {0, 0, static_cast<float>(std::sqrt(0.5)), 7, -8, 9};
  const LoadResult qform = loadVolume(placed("turned.nii", turned));
  ASSERT_TRUE(qform.ok()) << qform.error;
  Geometry g = qform.volume.geometry;
  worldAffine(g, affine);
  const double s[3] = {g.spacing[0], g.spacing[1], -g.spacing[2]};  // qfac -1 turns the third axis
  const double want[12] = {0, -s[1], 0, 7, s[0], 0, 0, -8, 0, 0, s[2], 9};
  for (int i = 0; i < 12; ++i) EXPECT_NEAR(affine[i], want[i], 1e-6) << i;
}

TEST_F(NiftiPlacementTest, AnAffineBecomesTheSformOfANiftiResult) {
  const double sheared[16] = {-0.9, 0.3, 0, 91.5, 0, 1.1, 0.25, -120, 0.05, 0, 2.5, -70, 0, 0, 0, 1};
  Volume v;
  v.dims = {3, 3, 3};
  v.data.assign(27, 9);
  ASSERT_EQ(geometryFromAffine(sheared, v.geometry), "");
  for (const char* name : {"a.nii", "a.nii.gz"}) {
    ASSERT_EQ(writeVolume(path(name), v), "");
    const NiftiFields written = niftiFieldsOf(path(name));
    EXPECT_EQ(written.sformCode, 1);
    EXPECT_EQ(written.qformCode, 1);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(written.srow[i], static_cast<float>(sheared[i])) << i;
    // ITK reads the result where the geometry said, and the affine comes back.
    const LoadResult back = loadVolume(path(name));
    ASSERT_TRUE(back.ok()) << back.error;
    expectSameGeometry(back.volume.geometry, v.geometry, name);
    double affine[16];
    worldAffine(back.volume.geometry, affine);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(affine[i], sheared[i], 1e-5) << i;
  }
  Geometry refused;
  double flat[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_NE(geometryFromAffine(flat, refused).find("singular"), std::string::npos);
  double projective[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0.5, 0, 1};
  EXPECT_NE(geometryFromAffine(projective, refused).find("0 0 0 1"), std::string::npos);
  double infinite[16] = {1, 0, 0, INFINITY, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  EXPECT_NE(geometryFromAffine(infinite, refused).find("finite"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Through voluna-filter, as a user meets it.

TEST_F(NiftiPlacementTest, ASheardNiftiKeepsItsSformThroughVolunaFilter) {
  const std::string input = placed("tilted.nii", kPlacements[1].fields);
  const std::vector<std::string> small{"--samples", "1", "--steps", "1", "--angle", "90", "--output-type", "input"};
  auto run = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = small;
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(input);
    return test_support::runTool(folder_, args);
  };
  for (const std::vector<std::string>& how : {std::vector<std::string>{"-o", "whole.nii"},
                                              std::vector<std::string>{"--memory", "1K", "-o", "bricks.nii"},
                                              std::vector<std::string>{"-o", "whole.nii.gz"}}) {
    const test_support::Outcome outcome = run(how);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err.find("sheared"), std::string::npos) << outcome.err;
    EXPECT_EQ(niftiFieldsOf(path(how.back())), kPlacements[1].fields) << how.back();
  }
  // Another format says, in one line, that it loses the shear, and writes the rest.
  const test_support::Outcome nrrd = run({"-o", "tilted.nrrd"});
  ASSERT_EQ(nrrd.status, 0) << nrrd.err;
  const std::string notice = geometryLossNotice("tilted.nrrd", loadVolume(input).volume.geometry);
  ASSERT_NE(notice, "");
  EXPECT_NE(nrrd.err.find("voluna-filter: " + notice + "\n"), std::string::npos) << nrrd.err;
  EXPECT_EQ(nrrd.err.find("sheared"), nrrd.err.rfind("sheared")) << "said once:\n" << nrrd.err;
  EXPECT_TRUE(loadVolume(path("tilted.nrrd")).ok());
}

// The atlases Debian ships with mricron, six of which have an sform that is
// not their qform: each result says what its atlas said.
TEST_F(NiftiPlacementTest, EveryMricronAtlasKeepsSformQformAndCodesThroughVolunaFilter) {
  const fs::path atlases = "/usr/share/mricron/templates";
  ASSERT_TRUE(fs::is_directory(atlases)) << "install mricron-data (scripts/setup.sh does)";
  int count = 0;
  for (const auto& entry : fs::directory_iterator(atlases)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 7 || name.compare(name.size() - 7, 7, ".nii.gz") != 0) continue;
    ++count;
    // Larger than runTool's limits allow for a hurried machine.
    const std::string command = "'" + std::string(VOLUNA_FILTER_BINARY) +
                                "' --samples 1 --steps 1 --angle 90 -o '" + path("result.nii") + "' '" +
                                entry.path().string() + "' >/dev/null 2>'" + path("err") + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name << ": " << slurp(path("err"));
    const NiftiFields in = niftiFieldsOf(entry.path().string()), out = niftiFieldsOf(path("result.nii"));
    EXPECT_EQ(out, in) << name;
  }
  EXPECT_EQ(count, 13);
}

}  // namespace
}  // namespace voluna
