// The installed C++ interface, linked as another program links it: results
// as voluna-filter gives them, and refusals that leave the caller's data
// alone.
#include <gtest/gtest.h>
#include <voluna/filter.h>
#include <voluna/io.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "nifti_fields.h"
#include "scratch_folder.h"
#include "tool_runner.h"

namespace voluna::api {
namespace {

namespace fs = std::filesystem;
using test_support::runTool;

// Smooth structure plus a deterministic ripple, so that the search has
// directions to choose between.
Image ramp(ScalarType type, Size size, double low, double high) {
  Image image;
  image.size = size;
  image.type = type;
  image.data.resize(static_cast<size_t>(size.count()) * scalarSize(type));
  for (int64_t i = 0; i < size.count(); ++i) {
    const int x = static_cast<int>(i % size.x), y = static_cast<int>(i / size.x % size.y);
    const double t = ((x * 7 + y * 3 + i * 5) % 17) / 16.0;
    const double v = low + (high - low) * t;
    switch (type) {
      case ScalarType::UInt8:
        image.data[i] = static_cast<uint8_t>(v);
        break;
      case ScalarType::Int16: {
        const auto s = static_cast<int16_t>(v);
        std::memcpy(&image.data[2 * i], &s, 2);
        break;
      }
      case ScalarType::Float32: {
        const auto f = static_cast<float>(v);
        std::memcpy(&image.data[4 * i], &f, 4);
        break;
      }
      default:
        ADD_FAILURE() << "no ramp of this type";
    }
  }
  return image;
}

FilterSettings quick() {
  FilterSettings settings;
  settings.samples = 2;
  settings.steps = 2;
  settings.angle = 30;
  settings.backend = Backend::Cpu;
  return settings;
}

class LibraryFilter : public test_support::ScratchFolderTest {};

TEST_F(LibraryFilter, TypedResultsAreTheBytesVolunaFilterWrites) {
  for (const auto& [type, low, high] :
       {std::tuple{ScalarType::UInt8, 0.0, 250.0}, std::tuple{ScalarType::Int16, -1024.0, 3071.0},
        std::tuple{ScalarType::Float32, -0.5, 2.0}}) {
    Image input = ramp(type, {9, 7, 5}, low, high);
    input.geometry.spacing[2] = 2.5;
    input.geometry.origin[0] = -30;
    ASSERT_TRUE(write(path("in.nrrd"), input).ok());

    const auto run = runTool(folder_, {"--samples", "2", "--steps", "2", "--angle", "30", "--backend", "cpu",
                                       "--preserve-edges", "-o", "cli.nrrd", "in.nrrd"});
    ASSERT_EQ(run.status, 0) << run.err;
    const ReadResult expected = read(path("cli.nrrd"));
    ASSERT_TRUE(expected.status.ok()) << expected.status.message;

    FilterSettings settings = quick();
    settings.preserveEdges = true;
    Image output;
    const Status status = filter(input, output, settings);
    ASSERT_TRUE(status.ok()) << status.message;
    EXPECT_EQ(output.type, type);
    EXPECT_EQ(output.data, expected.image.data) << int(type);
    EXPECT_EQ(output.geometry.spacing[2], 2.5);
    EXPECT_EQ(output.geometry.origin[0], -30);
    EXPECT_NE(output.data, input.data) << "the filter changed nothing";
  }
}

TEST_F(LibraryFilter, NiftiResultsKeepTheirInputsOwnPlacementAsVolunaFilterDoes) {
  ASSERT_TRUE(write(path("plain.nii"), ramp(ScalarType::Int16, {9, 7, 5}, -1024, 3071)).ok());
  std::string bytes = slurp(path("plain.nii"));
  // An atlas's sform and qform, 126 mm apart and both code 2, as real files
  // have them: spacing, origin and direction can say only one of them.
  test_support::NiftiFields disagreeing;
  disagreeing.sformCode = disagreeing.qformCode = 2;
  disagreeing.qfac = -1;
  disagreeing.quatern = {0, 1, 0, 90, 0, 0};
  disagreeing.srow = {-1, 0, 0, 90, 0, 1, 0, -126, 0, 0, 1, -72};
  test_support::putFields(disagreeing, bytes);
  std::ofstream(path("in.nii"), std::ios::binary) << bytes;

  const auto cli = runTool(
      folder_, {"--samples", "2", "--steps", "2", "--angle", "30", "--backend", "cpu", "-o", "cli.nii", "in.nii"});
  ASSERT_EQ(cli.status, 0) << cli.err;
  const ReadResult input = read(path("in.nii"));
  ASSERT_TRUE(input.status.ok()) << input.status.message;
  EXPECT_TRUE(input.image.geometry.nifti.present);
  Image output;
  ASSERT_TRUE(filter(input.image, output, quick()).ok());
  ASSERT_TRUE(write(path("library.nii"), output).ok());
  EXPECT_EQ(test_support::niftiFieldsOf(path("library.nii")), disagreeing);
  EXPECT_TRUE(slurp(path("library.nii")) == slurp(path("cli.nii")));
}

TEST_F(LibraryFilter, FloatsOnTheUnitScaleGiveTheTypedFloatResult) {
  Image input = ramp(ScalarType::Float32, {8, 6, 4}, 0.0, 1.0);
  Image typed;
  ASSERT_TRUE(filter(input, typed, quick()).ok());
  std::vector<float> volume(static_cast<size_t>(input.size.count())), out(volume.size());
  std::memcpy(volume.data(), input.data.data(), input.data.size());
  ASSERT_TRUE(filter(volume.data(), input.size, out.data(), quick()).ok());
  EXPECT_EQ(std::memcmp(out.data(), typed.data.data(), typed.data.size()), 0);
}

TEST_F(LibraryFilter, TheResultMayReplaceItsInput) {
  const Image input = ramp(ScalarType::Int16, {6, 5, 4}, -100, 900);
  Image separate, inPlace = input;
  ASSERT_TRUE(filter(input, separate, quick()).ok());
  ASSERT_TRUE(filter(inPlace, inPlace, quick()).ok());
  EXPECT_EQ(inPlace.data, separate.data);
}

TEST_F(LibraryFilter, RefusesWhatCannotRunAndLeavesTheOutputAlone) {
  const Image good = ramp(ScalarType::UInt8, {4, 4, 4}, 0, 200);
  Image shortData = good;
  shortData.data.pop_back();
  Image noVoxels = good;
  noVoxels.size = {4, 0, 4};
  noVoxels.data.clear();
  FilterSettings angle0 = quick(), samples1001 = quick(), negativeThreads = quick();
  angle0.angle = 0;
  samples1001.samples = 1001;
  negativeThreads.threads = -1;

  const struct {
    const Image& image;
    FilterSettings settings;
    const char* says;
  } cases[] = {{shortData, quick(), "bytes"},
               {noVoxels, quick(), "no voxels"},
               {good, angle0, "angle step"},
               {good, samples1001, "samples"},
               {good, negativeThreads, "threads"}};
  for (const auto& c : cases) {
    Image output = ramp(ScalarType::Int16, {2, 2, 2}, 1, 2);
    const Image before = output;
    const Status status = filter(c.image, output, c.settings);
    EXPECT_EQ(status.code, Status::Code::InvalidArgument) << c.says;
    EXPECT_NE(status.message.find(c.says), std::string::npos) << status.message;
    EXPECT_EQ(output.data, before.data) << c.says;
    EXPECT_EQ(output.size.x, 2) << c.says;
  }
  EXPECT_FALSE(checkSettings(angle0).empty());
  EXPECT_TRUE(checkSettings(FilterSettings{}).empty());
}

TEST_F(LibraryFilter, FloatBuffersMustNotOverlap) {
  std::vector<float> buffer(2 * 4 * 4 * 4, 0.5f);
  const Size size{4, 4, 4};
  for (const size_t offset : {size_t{0}, size_t{1}, size_t{63}}) {
    const Status status = filter(buffer.data(), size, buffer.data() + offset, quick());
    EXPECT_EQ(status.code, Status::Code::InvalidArgument) << offset;
    EXPECT_NE(status.message.find("overlaps"), std::string::npos) << status.message;
  }
  EXPECT_TRUE(filter(buffer.data(), size, buffer.data() + 64, quick()).ok());
  EXPECT_EQ(filter(nullptr, size, buffer.data(), quick()).code, Status::Code::InvalidArgument);
}

TEST_F(LibraryFilter, ProgressCoversBothStagesAndFalseCancels) {
  const Image input = ramp(ScalarType::UInt8, {24, 24, 24}, 0, 255);
  std::vector<std::pair<Stage, double>> seen;
  Image output;
  ASSERT_TRUE(filter(input, output, quick(), [&](Stage stage, double fraction) {
                seen.emplace_back(stage, fraction);
                return true;
              }).ok());
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front().first, Stage::Directions);
  EXPECT_EQ(seen.back().first, Stage::Smoothing);
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_GE(seen[i].second, 0.0);
    EXPECT_LE(seen[i].second, 1.0);
    if (i > 0 && seen[i].first == seen[i - 1].first) {
      EXPECT_GE(seen[i].second, seen[i - 1].second);
    }
  }

  Image untouched = ramp(ScalarType::UInt8, {2, 2, 2}, 5, 6);
  const Image before = untouched;
  int calls = 0;
  const Status cancelled = filter(input, untouched, quick(), [&](Stage, double) { return ++calls < 2; });
  EXPECT_EQ(cancelled.code, Status::Code::Cancelled) << cancelled.message;
  EXPECT_EQ(untouched.data, before.data);
}

TEST_F(LibraryFilter, CudaWithoutAGpuIsUnavailableNotAFailure) {
  if (cudaAvailable()) GTEST_SKIP() << "a CUDA device is usable here";
  FilterSettings settings = quick();
  settings.backend = Backend::Cuda;
  Image output;
  const Status status = filter(ramp(ScalarType::UInt8, {4, 4, 4}, 0, 100), output, settings);
  EXPECT_EQ(status.code, Status::Code::BackendUnavailable);
  EXPECT_FALSE(status.message.empty());
}

class LibraryIo : public test_support::ScratchFolderTest {};

TEST_F(LibraryIo, WritesAndReadsBackTypeValuesAndGeometry) {
  Image image = ramp(ScalarType::Int16, {5, 4, 3}, -1000, 1000);
  const double spacing[3] = {0.5, 0.75, 2.0}, origin[3] = {-12.5, 40, 7.25};
  // A rotation about z by 90 degrees.
  const double direction[9] = {0, -1, 0, 1, 0, 0, 0, 0, 1};
  std::copy(spacing, spacing + 3, image.geometry.spacing);
  std::copy(origin, origin + 3, image.geometry.origin);
  std::copy(direction, direction + 9, image.geometry.direction);
  for (const char* name : {"v.nrrd", "v.nii.gz", "v.mha"}) {
    ASSERT_TRUE(write(path(name), image).ok()) << name;
    const ReadResult back = read(path(name));
    ASSERT_TRUE(back.status.ok()) << back.status.message;
    EXPECT_EQ(back.image.type, ScalarType::Int16) << name;
    EXPECT_EQ(back.image.size.x, 5);
    EXPECT_EQ(back.image.size.z, 3);
    EXPECT_EQ(back.image.data, image.data) << name;
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(back.image.geometry.spacing[i], spacing[i], 1e-6) << name;
      EXPECT_NEAR(back.image.geometry.origin[i], origin[i], 1e-6) << name;
    }
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(back.image.geometry.direction[i], direction[i], 1e-6) << name;
  }
}

TEST_F(LibraryIo, RefusalsNameTheFileAndWriteNothing) {
  std::ofstream(path("garbage.nrrd")) << "not a volume";
  for (const char* name : {"missing.nii", "garbage.nrrd"}) {
    const ReadResult result = read(path(name));
    EXPECT_EQ(result.status.code, Status::Code::ReadFailed) << name;
    EXPECT_NE(result.status.message.find(name), std::string::npos) << result.status.message;
    EXPECT_TRUE(result.image.data.empty());
  }

  const std::vector<std::string> before = files();
  Image shortData = ramp(ScalarType::UInt8, {3, 3, 3}, 0, 9);
  shortData.data.resize(5);
  const Status wrongSize = write(path("short.nrrd"), shortData);
  EXPECT_EQ(wrongSize.code, Status::Code::InvalidArgument);
  EXPECT_NE(wrongSize.message.find("short.nrrd"), std::string::npos) << wrongSize.message;
  const Status dicom = write(path("out.dcm"), ramp(ScalarType::UInt8, {3, 3, 3}, 0, 9));
  EXPECT_EQ(dicom.code, Status::Code::WriteFailed);
  EXPECT_NE(dicom.message.find("NIfTI"), std::string::npos) << dicom.message;
  const Status noFolder = write(path("no/such/folder/out.nrrd"), ramp(ScalarType::UInt8, {3, 3, 3}, 0, 9));
  EXPECT_EQ(noFolder.code, Status::Code::WriteFailed);
  EXPECT_EQ(files(), before);
}

}  // namespace
}  // namespace voluna::api
