// The one table of formats and the one table of scalar types: what a name or
// a file's first bytes pick is what reads and writes it, and every spelling
// of a type is the one the library behind it uses.
#include <gtest/gtest.h>

#include <itkImageIOBase.h>
#include <metaUtils.h>
#include <nifti1_io.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "formats.h"
#include "nifti2_files.h"
#include "scratch_folder.h"
#include "volume_io.h"

namespace voluna {
namespace {

namespace fs = std::filesystem;

std::string upperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

Volume ramp(ScalarType type) {
  Volume v;
  v.dims = {5, 4, 3};
  v.type = type;
  v.data.resize(static_cast<size_t>(v.dims.count()) * scalarSize(type));
  for (size_t i = 0; i < v.data.size(); ++i) v.data[i] = static_cast<uint8_t>(i * 37 % 251);
  v.geometry.spacing[1] = 0.75;
  v.geometry.origin[2] = -12.5;
  return v;
}

class FormatTable : public test_support::ScratchFolderTest {};

// Every name the table writes, in capitals too, reads back as the format it
// names: the writer, the reader and the first bytes agree with the record.
TEST_F(FormatTable, EveryWrittenNameReadsBackAsItsOwnFormat) {
  const Volume v = ramp(ScalarType::Int16);
  int written = 0;
  for (const Format& format : formats()) {
    for (const FormatExtension& extension : format.extensions) {
      if (!extension.output) continue;
      for (const std::string& suffix : {std::string(extension.suffix), upperCase(extension.suffix)}) {
        SCOPED_TRACE(suffix);
        const std::string file = path("v" + std::to_string(++written) + suffix);
        const FormatExtension* picked = nullptr;
        ASSERT_EQ(formatOfName(file, &picked), &format);
        EXPECT_EQ(picked, &extension);
        ASSERT_EQ(writeVolume(file, v), "");
        const std::string reopen = format.read ? file : headerPathFor(file);
        const LoadResult loaded = loadVolume(reopen);
        ASSERT_TRUE(loaded.ok()) << loaded.error;
        EXPECT_EQ(loaded.volume.data, v.data);
        EXPECT_EQ(loaded.volume.type, v.type);
        if (format.hasMagic && suffix.find(".GZ") == std::string::npos && suffix.find(".gz") == std::string::npos) {
          EXPECT_TRUE(format.hasMagic(slurp(file).substr(0, 540))) << "its own first bytes are not recognised";
        }
      }
    }
  }
  EXPECT_GE(written, 16);
}

// A name of a format Voluna reads but does not write is refused, saying
// what to write instead, and nothing is written under it.
TEST_F(FormatTable, ReadOnlyNamesAreRefusedWithWhatToWriteInstead) {
  int refused = 0;
  for (const Format& format : formats()) {
    for (const FormatExtension& extension : format.extensions) {
      if (extension.output) continue;
      ++refused;
      const std::string file = path(std::string("out") + extension.suffix);
      OutputFormat output;
      std::string error;
      EXPECT_FALSE(outputFormatFor(file, output, error)) << extension.suffix;
      EXPECT_NE(error.find(format.notWritten), std::string::npos) << error;
      EXPECT_NE(std::string(format.notWritten).find(".n"), std::string::npos) << "names an alternative";
      EXPECT_NE(writeVolume(file, ramp(ScalarType::UInt8)), "");
    }
  }
  EXPECT_EQ(refused, 3);  // .nhdr, .dcm, .ima
  EXPECT_EQ(files(), std::vector<std::string>{});
  // Names of no format are bare voxels, as results always were.
  OutputFormat output;
  std::string error;
  ASSERT_TRUE(outputFormatFor(path("result.bin"), output, error));
  EXPECT_EQ(output, OutputFormat::Raw);
}

// Files whose names say nothing are known by their first bytes.
TEST_F(FormatTable, FilesWithoutTheirExtensionAreKnownByTheirFirstBytes) {
  const Volume v = ramp(ScalarType::UInt16);
  ASSERT_EQ(writeVolume(path("scan1.nii"), v), "");
  std::ofstream(path("scan.nii"), std::ios::binary) << test_support::nifti2From(slurp(path("scan1.nii")));
  int copies = 0;
  for (const char* name : {"scan.nii", "scan.nrrd", "scan.tif"}) {
    if (!fs::exists(path(name))) {
      ASSERT_EQ(writeVolume(path(name), v), "") << name;
    }
    for (const std::string& alias : {std::string(name) + ".bin", "IM000" + std::to_string(++copies)}) {
      fs::copy_file(path(name), path(alias));
      const LoadResult loaded = loadVolume(path(alias));
      ASSERT_TRUE(loaded.ok()) << alias << ": " << loaded.error;
      EXPECT_EQ(loaded.volume.data, v.data) << alias;
    }
  }
  // ITK opens NIfTI-1 only under a NIfTI name: the refusal says to give it one.
  fs::copy_file(path("scan1.nii"), path("IM0009"));
  const LoadResult unnamed = loadVolume(path("IM0009"));
  EXPECT_NE(unnamed.error.find("without a .nii name, which ITK's reader does not open: rename it to .nii"),
            std::string::npos)
      << unnamed.error;
  // Anything else is taken for MetaImage, whose checks say what they found.
  std::ofstream(path("notes")) << "just some text\n";
  const LoadResult notes = loadVolume(path("notes"));
  EXPECT_NE(notes.error.find("not a MetaImage header"), std::string::npos) << notes.error;
}

TEST_F(FormatTable, TheWindowIsOfferedTheNamesVolunaReads) {
  std::ofstream(path("IM0001")).put('x');
  std::ofstream(path("scan.")).put('x');
  fs::create_directory(path("series"));
  for (const char* name : {"a.nii", "a.NII.GZ", "a.nrrd", "a.nhdr", "a.mha", "a.MHD", "a.tif", "a.tiff", "a.dcm",
                           "a.ima", "IM0001", "scan."}) {
    EXPECT_TRUE(isVolumeFileName(path(name))) << name;
  }
  // Raw voxels are opened through the header beside them; a folder is no file.
  for (const char* name : {"a.raw", "a.txt", "a.gz", "series", "absent"}) {
    EXPECT_FALSE(isVolumeFileName(path(name))) << name;
  }
}

// ---------------------------------------------------------------------------

TEST(ScalarTypeTable, EverySpellingIsTheLibrariesOwnOfTheSameWidth) {
  ASSERT_EQ(scalarTypes().size(), 8u);
  for (const ScalarTypeInfo& info : scalarTypes()) {
    SCOPED_TRACE(info.name);
    EXPECT_EQ(&scalarInfo(info.type), &info);
    EXPECT_EQ(withScalarType(info.type, [](auto v) { return static_cast<int>(sizeof(v)); }), info.size);
    EXPECT_EQ(withScalarType(info.type, [](auto v) { return std::is_floating_point_v<decltype(v)>; }), info.floating);
    // ITK's component of that name has this width.
    const itk::IOComponentEnum component = itk::ImageIOBase::GetComponentTypeFromString(info.itk);
    ASSERT_NE(component, itk::IOComponentEnum::UNKNOWNCOMPONENTTYPE);
    EXPECT_EQ(itk::ImageIOBase::GetComponentTypeAsString(component), info.itk);
    EXPECT_EQ(scalarTypeOfItk(info.itk), &info);
    // MetaIO's type of that name.
    MET_ValueEnumType metaType = MET_NONE;
    ASSERT_TRUE(MET_StringToType(info.metaImage, &metaType));
    EXPECT_EQ(MET_ValueTypeSize[metaType], info.size);
    EXPECT_EQ(scalarTypeOfMetaImage(info.metaImage), &info);
    // NIfTI's library on the datatype code.
    int bytes = 0, swap = 0;
    nifti_datatype_sizes(info.niftiCode, &bytes, &swap);
    EXPECT_EQ(bytes, info.size);
    EXPECT_EQ(scalarTypeOfNifti(info.niftiCode), &info);
  }
  EXPECT_EQ(scalarTypeOfItk("long"), nullptr);
  EXPECT_EQ(scalarTypeOfMetaImage("MET_LONG"), nullptr);
  EXPECT_EQ(scalarTypeOfNifti(1024), nullptr);  // int64
}

}  // namespace
}  // namespace voluna
