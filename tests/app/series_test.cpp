// Opening a folder or a DICOMDIR of several DICOM series: the window asks
// which (the chooser is the test's), opens that one, and a cancelled choice
// changes nothing.
#include <QStatusBar>

#include <filesystem>

#include "dicom_files.h"
#include "window_fixture.h"

namespace {

namespace fs = std::filesystem;

const std::string kScout = "1.2.826.0.1.3680043.2.1125.9.1";
const std::string kAxial = "1.2.826.0.1.3680043.2.1125.9.2";

using SeriesTest = WindowTest;

TEST_F(SeriesTest, AFolderOfSeveralSeriesAsksWhichToOpen) {
  const fs::path study = fs::path(path("study"));
  fs::create_directories(study / "scout");
  fs::create_directories(study / "axial");
  for (int k = 0; k < 2; ++k) {
    voluna::test_support::writeDicomSlice((study / "scout" / ("s" + std::to_string(k))).string(), kScout, k + 1, k, 6,
                                          5, 0, "Scout");
  }
  for (int k = 0; k < 3; ++k) {
    voluna::test_support::writeDicomSlice((study / "axial" / ("a" + std::to_string(k))).string(), kAxial, k + 1, k, 6,
                                          5, static_cast<int16_t>(100 * k), "Axial");
  }
  std::vector<voluna::SeriesInfo> offered;
  int asked = 0;
  QString answer = QString::fromStdString(kScout);
  window->setSeriesChooser([&](QWidget*, const std::vector<voluna::SeriesInfo>& series) {
    ++asked;
    offered = series;
    return answer;
  });

  ASSERT_TRUE(window->openVolumeFile(QString::fromStdString(study.string())));
  EXPECT_EQ(asked, 1);
  ASSERT_EQ(offered.size(), 2u);
  for (const voluna::SeriesInfo& s : offered) EXPECT_EQ(s.images, s.uid == kScout ? 2 : 3) << s.description;
  EXPECT_EQ(VolunaProbe::dimensions(*window).z, 2);
  EXPECT_EQ(window->windowTitle(), QString("study - Voluna"));

  // Cancelled: the window shows what it showed.
  vtkVolume* shown = VolunaProbe::volume(*window);
  answer.clear();
  EXPECT_FALSE(window->openVolumeFile(QString::fromStdString(study.string())));
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(VolunaProbe::volume(*window), shown);
  EXPECT_TRUE(window->statusBar()->currentMessage().contains("no series was chosen"))
      << window->statusBar()->currentMessage().toStdString();

  // A folder of one series, dropped, opens without a question.
  EXPECT_EQ(dragAndDrop(*window, {QString::fromStdString((study / "axial").string())}), std::make_pair(true, true));
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(VolunaProbe::dimensions(*window).z, 3);

  // A folder without any series says so and keeps the volume.
  fs::create_directories(study / "empty");
  MessageBoxCatcher catcher;
  EXPECT_FALSE(window->openVolumeFile(QString::fromStdString((study / "empty").string())));
  ASSERT_EQ(catcher.texts.size(), 1);
  EXPECT_TRUE(catcher.texts[0].contains("holds no DICOM image series")) << catcher.texts[0].toStdString();
  EXPECT_EQ(VolunaProbe::dimensions(*window).z, 3);
}

}  // namespace
