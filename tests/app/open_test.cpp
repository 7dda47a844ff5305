// Opening a volume through "Datei" -> "Öffnen...": what the first view shows,
// what the window keeps, and that a bad file or a cancelled dialog changes
// nothing.
#include <QApplication>
#include <QDir>
#include <QPushButton>

#include <vtkCamera.h>
#include <vtkVolumeCollection.h>
#include <vtkVolumeProperty.h>

#include "window_fixture.h"

namespace {

using OpenTest = WindowTest;

TEST_F(OpenTest, OpenShowsTheVolumeInTheFirstViewAndEnablesFilter) {
  const std::string input = writeVolume(folder.path(), "tubes", tubeBytes(16), {16, 16, 16});
  EXPECT_EQ(brightPixels(VolunaProbe::renderWindow1(*window)), 0);
  RenderCounter second(VolunaProbe::renderWindow2(*window));

  StdoutCapture out;
  openThroughMenu(input);
  EXPECT_EQ(out.finish(), "Open file\n");

  EXPECT_EQ(dialogCalls, 1);
  EXPECT_EQ(dialogCaption, QString("Please select Header Data"));
  EXPECT_TRUE(ui().filterBtn->isEnabled());
  const voluna::Dims dims = VolunaProbe::dimensions(*window);
  EXPECT_EQ(dims.x, 16);
  EXPECT_EQ(dims.y, 16);
  EXPECT_EQ(dims.z, 16);
  EXPECT_EQ(VolunaProbe::renderer1(*window)->GetVolumes()->GetNumberOfItems(), 1);
  // A few hundred lit pixels at least: the tubes fill a good part of the view.
  EXPECT_GT(brightPixels(VolunaProbe::renderWindow1(*window)), 500);
  EXPECT_EQ(second.count(), 0);
}

TEST_F(OpenTest, VoxelsBecomeBytesOver255InVoxelOrder) {
  const voluna::Dims dims{5, 3, 2};
  std::vector<uint8_t> bytes(30);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 % 256);
  bytes[dims.index(0, 0, 0)] = 0;
  bytes[dims.index(4, 2, 1)] = 255;
  bytes[dims.index(1, 2, 0)] = 128;
  openThroughMenu(writeVolume(folder.path(), "ramp", bytes, dims));
  const std::vector<float>& data = VolunaProbe::volumeData(*window);
  ASSERT_EQ(data.size(), bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(data[i], bytes[i] / 255.0f) << i;
  EXPECT_EQ(data[dims.index(0, 0, 0)], 0.0f);
  EXPECT_EQ(data[dims.index(4, 2, 1)], 1.0f);
  EXPECT_EQ(data[dims.index(1, 2, 0)], 128.0f / 255.0f);
}

TEST_F(OpenTest, CancellingTheDialogChangesNothing) {
  openThroughMenu(writeVolume(folder.path(), "tubes", tubeBytes(8), {8, 8, 8}));
  vtkVolume* shown = VolunaProbe::volume(*window);
  const std::vector<float> data = VolunaProbe::volumeData(*window);
  RenderCounter first(VolunaProbe::renderWindow1(*window));
  RenderCounter second(VolunaProbe::renderWindow2(*window));

  StdoutCapture out;
  openThroughMenu("");
  EXPECT_EQ(out.finish(), "Open file\n");
  EXPECT_EQ(dialogCalls, 2);
  EXPECT_EQ(VolunaProbe::volume(*window), shown);
  EXPECT_EQ(VolunaProbe::volumeData(*window), data);
  EXPECT_TRUE(ui().filterBtn->isEnabled());
  EXPECT_EQ(first.count(), 0);
  EXPECT_EQ(second.count(), 0);
}

TEST_F(OpenTest, ASecondOpenEmptiesTheSecondViewAndResetsTheFirstCamera) {
  openThroughMenu(writeVolume(folder.path(), "tubes", tubeBytes(12), {12, 12, 12}));
  pressFilter(2, 2, 90);
  vtkVolume* filtered = VolunaProbe::filteredVolume(*window);
  ASSERT_NE(filtered, nullptr);
  ASSERT_EQ(VolunaProbe::renderer2(*window)->GetVolumes()->GetNumberOfItems(), 1);
  vtkVolume* first = VolunaProbe::volume(*window);

  std::vector<uint8_t> block(20 * 10 * 6, 200);
  openThroughMenu(writeVolume(folder.path(), "block", block, {20, 10, 6}));
  EXPECT_NE(VolunaProbe::volume(*window), first);
  EXPECT_EQ(VolunaProbe::renderer2(*window)->GetVolumes()->GetNumberOfItems(), 0);
  vtkVolumeCollection* shown = VolunaProbe::renderer1(*window)->GetVolumes();
  ASSERT_EQ(shown->GetNumberOfItems(), 1);
  EXPECT_EQ(shown->GetItemAsObject(0), VolunaProbe::volume(*window));
  double focal[3];
  VolunaProbe::renderer1(*window)->GetActiveCamera()->GetFocalPoint(focal);
  EXPECT_NEAR(focal[0], 9.5, 1e-6);
  EXPECT_NEAR(focal[1], 4.5, 1e-6);
  EXPECT_NEAR(focal[2], 2.5, 1e-6);

  // The old result is still held and still follows the ramp.
  EXPECT_EQ(VolunaProbe::filteredVolume(*window), filtered);
  ui().levelSpinner->setValue(120.0);
  EXPECT_EQ(filtered->GetProperty()->GetScalarOpacity(0),
            VolunaProbe::volume(*window)->GetProperty()->GetScalarOpacity(0));
}

// Files the reader cannot make a volume of, each written into `folder`.
struct BadFile {
  const char* name;
  std::string (*make)(const QString& folder);
};

std::string inFolder(const QString& folder, const char* name) { return QDir(folder).filePath(name).toStdString(); }

std::string header(const std::string& dims, const std::string& dataFile) {
  return "ObjectType = Image\nNDims = 3\nDimSize = " + dims + "\nElementType = MET_UCHAR\nElementDataFile = " +
         dataFile + "\n";
}

const BadFile kBadFiles[] = {
    {"NotAMetaImage",
     [](const QString& folder) {
       const std::string file = inFolder(folder, "notes.mhd");
       writeText(file, "These are my notes, not a volume.\n");
       return file;
     }},
    {"MissingDataFile",
     [](const QString& folder) {
       const std::string file = inFolder(folder, "orphan.mhd");
       writeText(file, header("8 8 8", "gone.raw"));
       return file;
     }},
    {"ShortDataFile",
     [](const QString& folder) {
       const std::string file = inFolder(folder, "short.mhd");
       writeText(file, header("8 8 8", "short.raw"));
       writeText(inFolder(folder, "short.raw"), std::string(100, 'x'));
       return file;
     }},
    {"NoVoxels",
     [](const QString& folder) {
       const std::string file = inFolder(folder, "empty.mhd");
       writeText(file, header("0 8 8", "empty.raw"));
       writeText(inFolder(folder, "empty.raw"), "");
       return file;
     }},
    {"TooManyVoxels",
     [](const QString& folder) {
       // 2^31 voxels: one more than a signed 32-bit index reaches.
       const std::string file = inFolder(folder, "huge.mhd");
       writeText(file, header("2048 1024 1024", "huge.raw"));
       writeText(inFolder(folder, "huge.raw"), std::string(4096, 'x'));
       return file;
     }},
    {"TwoComponents",
     [](const QString& folder) {
       const std::string file = inFolder(folder, "pairs.mhd");
       writeText(file, "ObjectType = Image\nNDims = 3\nDimSize = 4 4 4\nElementNumberOfChannels = 2\n"
                       "ElementType = MET_UCHAR\nElementDataFile = pairs.raw\n");
       writeText(inFolder(folder, "pairs.raw"), std::string(128, 'x'));
       return file;
     }},
    {"NoSuchFile", [](const QString& folder) { return inFolder(folder, "nowhere.mhd"); }},
    {"Folder",
     [](const QString& folder) {
       QDir(folder).mkdir("volumes.mhd");
       return inFolder(folder, "volumes.mhd");
     }},
};

void PrintTo(const BadFile& file, std::ostream* out) { *out << file.name; }

class BadFileTest : public WindowTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadFileTest, AnEmptyWindowStaysEmpty) {
  const std::string file = GetParam().make(folder.path());
  MessageBoxCatcher boxes;
  RenderCounter first(VolunaProbe::renderWindow1(*window));
  openThroughMenu(file);
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].contains(QString::fromStdString(file))) << boxes.texts[0].toStdString();
  EXPECT_EQ(VolunaProbe::volume(*window), nullptr);
  EXPECT_TRUE(VolunaProbe::volumeData(*window).empty());
  EXPECT_FALSE(ui().filterBtn->isEnabled());
  EXPECT_EQ(VolunaProbe::renderer1(*window)->GetVolumes()->GetNumberOfItems(), 0);
  EXPECT_EQ(first.count(), 0);
}

TEST_P(BadFileTest, AFilteredWindowKeepsBothViews) {
  openThroughMenu(writeVolume(folder.path(), "tubes", tubeBytes(8), {8, 8, 8}));
  pressFilter(2, 2, 90);
  vtkVolume* shown = VolunaProbe::volume(*window);
  vtkVolume* filtered = VolunaProbe::filteredVolume(*window);
  ASSERT_NE(filtered, nullptr);
  const std::vector<float> data = VolunaProbe::volumeData(*window);
  const std::string file = GetParam().make(folder.path());

  MessageBoxCatcher boxes;
  RenderCounter first(VolunaProbe::renderWindow1(*window));
  RenderCounter second(VolunaProbe::renderWindow2(*window));
  openThroughMenu(file);
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_EQ(VolunaProbe::volume(*window), shown);
  EXPECT_EQ(VolunaProbe::filteredVolume(*window), filtered);
  EXPECT_EQ(VolunaProbe::volumeData(*window), data);
  EXPECT_EQ(VolunaProbe::dimensions(*window).count(), 512);
  EXPECT_TRUE(ui().filterBtn->isEnabled());
  vtkVolumeCollection* inFirst = VolunaProbe::renderer1(*window)->GetVolumes();
  vtkVolumeCollection* inSecond = VolunaProbe::renderer2(*window)->GetVolumes();
  ASSERT_EQ(inFirst->GetNumberOfItems(), 1);
  ASSERT_EQ(inSecond->GetNumberOfItems(), 1);
  EXPECT_EQ(inFirst->GetItemAsObject(0), shown);
  EXPECT_EQ(inSecond->GetItemAsObject(0), filtered);
  EXPECT_EQ(first.count(), 0);
  EXPECT_EQ(second.count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Files, BadFileTest, ::testing::ValuesIn(kBadFiles),
                         [](const ::testing::TestParamInfo<BadFile>& info) { return std::string(info.param.name); });

}  // namespace
