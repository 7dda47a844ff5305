// ImageJ stacks, as microscopes and Fiji save them: their spacing and unit
// come through every format that holds a unit, a TIFF result carries
// ImageJ's description, and plain TIFFs read as they always did.
#include <gtest/gtest.h>

#include <itkTIFFImageIO.h>
#include <tiffio.h>

#include <cstring>
#include <fstream>
#include <tuple>
#include <string>
#include <vector>

#include "scratch_folder.h"
#include "tool_runner.h"
#include "volume_io.h"

namespace voluna {
namespace {

struct Resolution {
  double x = 2, y = 2;
  uint16_t unit = RESUNIT_NONE;
};

// A uint16 stack of `pages` pages of 5 x 4, pixel i of page z holding 100 z + i.
void writeStack(const std::string& path, int pages, const std::string& description, Resolution r = {}) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  for (int z = 0; z < pages; ++z) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 5u);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 4u);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 4u);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, r.x);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, r.y);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, r.unit);
    if (z == 0 && !description.empty()) TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    std::vector<uint16_t> pixels(20);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>(100 * z + i);
    TIFFWriteEncodedStrip(tif, 0, pixels.data(), 40);
    TIFFWriteDirectory(tif);
  }
  TIFFClose(tif);
}

std::string imageJ(const std::string& lines) { return "ImageJ=1.53t\nimages=3\nslices=3\n" + lines + "loop=false\n"; }

class ImageJStacks : public test_support::ScratchFolderTest {
 protected:
  void expectSpacing(const Geometry& g, double x, double y, double z, LengthUnit unit, const std::string& where) {
    EXPECT_NEAR(g.spacing[0], x, 1e-9 * x) << where;
    EXPECT_NEAR(g.spacing[1], y, 1e-9 * y) << where;
    EXPECT_NEAR(g.spacing[2], z, 1e-9 * z) << where;
    EXPECT_EQ(g.unit, unit) << where;
  }
};

// 0.5 x 0.5 x 2 um, as ImageJ writes it: 2 pixels a unit, spacing=2.0, unit=micron.
TEST_F(ImageJStacks, AStackKeepsItsMicrometresThroughTheCommandLine) {
  writeStack(path("stack.tif"), 3, imageJ("unit=micron\nspacing=2.0\n"));
  const LoadResult loaded = loadVolume(path("stack.tif"));
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  EXPECT_EQ(loaded.volume.dims.z, 3);
  expectSpacing(loaded.volume.geometry, 0.5, 0.5, 2.0, LengthUnit::Micrometre, "read");

  for (const char* name : {"out.nii", "out.nii.gz", "out.nrrd", "out.tif"}) {
    const test_support::Outcome run =
        test_support::runTool(folder_, {"--samples", "1", "--steps", "1", "--angle", "90", "-o", name, "stack.tif"});
    ASSERT_EQ(run.status, 0) << name << ": " << run.err;
    const LoadResult back = loadVolume(path(name));
    ASSERT_TRUE(back.ok()) << back.error;
    expectSpacing(back.volume.geometry, 0.5, 0.5, 2.0, LengthUnit::Micrometre, name);
  }
  // What other readers see: NIfTI's pixdim and xyzt_units (3: micrometres).
  const std::string nifti = slurp(path("out.nii"));
  float pixdim[3];
  std::memcpy(pixdim, nifti.data() + 80, sizeof pixdim);
  EXPECT_EQ(pixdim[0], 0.5f);
  EXPECT_EQ(pixdim[1], 0.5f);
  EXPECT_EQ(pixdim[2], 2.0f);
  EXPECT_EQ(nifti[123] & 7, 3);
  EXPECT_NE(slurp(path("out.nrrd")).find("\nspace units: \"um\" \"um\" \"um\"\n"), std::string::npos);

  // ImageJ's description and resolution tags, as Fiji reads them.
  TIFF* tif = TIFFOpen(path("out.tif").c_str(), "r");
  ASSERT_NE(tif, nullptr);
  const char* description = nullptr;
  ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &description));
  const std::string text = description;
  EXPECT_EQ(text.rfind("ImageJ=", 0), 0u) << text;
  for (const char* line : {"\nimages=3\n", "\nslices=3\n", "\nunit=micron\n", "\nspacing=2\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
  }
  float xres = 0, yres = 0;
  uint16_t unit = 0;
  TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres);
  TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres);
  TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
  EXPECT_EQ(xres, 2.0f);
  EXPECT_EQ(yres, 2.0f);
  EXPECT_EQ(unit, RESUNIT_NONE);
  EXPECT_EQ(TIFFNumberOfDirectories(tif), 3);
  TIFFClose(tif);
}

TEST_F(ImageJStacks, UnitsAreReadAsImageJSpellsThem) {
  struct Case {
    std::string lines;
    Resolution resolution;
    double x, z;
    LengthUnit unit;
  };
  const Case cases[] = {
      {"unit=\\u00B5m\nspacing=3\n", {}, 0.5, 3, LengthUnit::Micrometre},
      {"unit=um\n", {}, 0.5, 1, LengthUnit::Micrometre},  // no spacing: ImageJ's depth of 1
      {"unit=nm\nspacing=40\n", {0.25, 0.25}, 0.004, 0.04, LengthUnit::Micrometre},
      {"unit=cm\nspacing=0.5\n", {}, 5, 5, LengthUnit::Millimetre},
      {"spacing=0.1\n", {254, 254, RESUNIT_INCH}, 0.1, 2.54, LengthUnit::Millimetre},
      {"unit=pixel\nspacing=4\n", {}, 0.5, 4, LengthUnit::Millimetre},
  };
  for (const Case& c : cases) {
    writeStack(path("s.tif"), 3, imageJ(c.lines), c.resolution);
    const LoadResult loaded = loadVolume(path("s.tif"));
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    expectSpacing(loaded.volume.geometry, c.x, c.x, c.z, c.unit, c.lines);
  }
}

// Without ImageJ's description a TIFF reads as ITK reads it.
TEST_F(ImageJStacks, PlainTiffsReadAsBefore) {
  for (const Resolution r : {Resolution{2, 4, RESUNIT_NONE}, Resolution{72, 72, RESUNIT_INCH},
                             Resolution{10, 20, RESUNIT_CENTIMETER}}) {
    writeStack(path("plain.tif"), 3, "", r);
    auto io = itk::TIFFImageIO::New();
    io->SetFileName(path("plain.tif"));
    io->ReadImageInformation();
    const LoadResult loaded = loadVolume(path("plain.tif"));
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    for (unsigned axis = 0; axis < 3; ++axis) {
      EXPECT_EQ(loaded.volume.geometry.spacing[axis], io->GetSpacing(axis)) << r.x << " axis " << axis;
    }
    EXPECT_EQ(loaded.volume.geometry.unit, LengthUnit::Millimetre);
  }
  writeStack(path("described.tif"), 3, "a scanner's own words");
  const LoadResult described = loadVolume(path("described.tif"));
  ASSERT_TRUE(described.ok()) << described.error;
  EXPECT_EQ(described.volume.dims.z, 3);
}

// Read page by page, a hyperstack's channels and time points would become
// slices of one volume: a wrong picture, so they are refused.
TEST_F(ImageJStacks, HyperstacksAndTheLargeStackLayoutAreRefused) {
  writeStack(path("channels.tif"), 4, "ImageJ=1.53t\nimages=4\nchannels=2\nslices=2\nhyperstack=true\n");
  writeStack(path("frames.tif"), 3, "ImageJ=1.53t\nimages=3\nframes=3\n");
  writeStack(path("large.tif"), 1, "ImageJ=1.53t\nimages=40\nslices=40\n");
  const std::pair<const char*, const char*> cases[] = {
      {"channels.tif", "is an ImageJ hyperstack of 2 channels and 1 time points"},
      {"frames.tif", "is an ImageJ hyperstack of 1 channels and 3 time points"},
      {"large.tif", "holds 40 images in ImageJ's layout for stacks over 4 GB"},
  };
  for (const auto& [name, fragment] : cases) {
    const LoadResult loaded = loadVolume(path(name));
    ASSERT_FALSE(loaded.ok()) << name;
    EXPECT_NE(loaded.error.find(fragment), std::string::npos) << loaded.error;
  }
}

// Micrometres through every writer: kept where the format holds a unit,
// in millimetres where it does not (MetaImage).
TEST_F(ImageJStacks, MicrometreVolumesRoundTripThroughEveryFormat) {
  Volume v;
  v.dims = {3, 2, 2};
  v.type = ScalarType::Int16;
  v.data.assign(24, 3);
  v.geometry.spacing[0] = 0.25;
  v.geometry.spacing[1] = 0.5;
  v.geometry.spacing[2] = 3;
  v.geometry.origin[0] = 10;
  v.geometry.unit = LengthUnit::Micrometre;
  for (const char* name : {"v.nii", "v.nii.gz", "v.nrrd", "v.tif", "v.mha", "v.mhd"}) {
    ASSERT_EQ(writeVolume(path(name), v), "") << name;
    const LoadResult back = loadVolume(path(name));
    ASSERT_TRUE(back.ok()) << back.error;
    const bool millimetres = std::string(name).find(".mh") != std::string::npos;
    const double scale = millimetres ? 0.001 : 1.0;
    expectSpacing(back.volume.geometry, 0.25 * scale, 0.5 * scale, 3 * scale,
                  millimetres ? LengthUnit::Millimetre : LengthUnit::Micrometre, name);
    // TIFF has no origin.
    if (std::string(name) != "v.tif") {
      EXPECT_NEAR(back.volume.geometry.origin[0], 10 * scale, 1e-9) << name;
    }
    EXPECT_EQ(back.volume.data, v.data) << name;
  }
}

using NiftiUnits = ImageJStacks;

// A NIfTI file's own unit: micrometres stay, metres become millimetres for
// spacing and origin alike (ITK scales only the spacing).
TEST_F(NiftiUnits, SpacingAndOriginAreReadInOneUnit) {
  Volume v;
  v.dims = {2, 2, 2};
  v.data.assign(8, 1);
  v.geometry.spacing[0] = 0.5;
  v.geometry.origin[0] = 10;
  ASSERT_EQ(writeVolume(path("mm.nii"), v), "");
  const std::string bytes = slurp(path("mm.nii"));
  EXPECT_EQ(bytes[123] & 7, 2) << "millimetres, as before";
  for (const auto& [code, spacing, origin, unit] :
       {std::tuple{1, 500.0, 10000.0, LengthUnit::Millimetre}, std::tuple{3, 0.5, 10.0, LengthUnit::Micrometre}}) {
    std::string patched = bytes;
    patched[123] = static_cast<char>((patched[123] & ~7) | code);
    std::ofstream(path("u.nii"), std::ios::binary) << patched;
    const LoadResult loaded = loadVolume(path("u.nii"));
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    EXPECT_DOUBLE_EQ(loaded.volume.geometry.spacing[0], spacing) << code;
    EXPECT_DOUBLE_EQ(loaded.volume.geometry.origin[0], origin) << code;
    EXPECT_EQ(loaded.volume.geometry.unit, unit) << code;
  }
}

}  // namespace
}  // namespace voluna
