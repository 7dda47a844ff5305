// Opening made easy: "voluna FILE", dropped files, the title and the status
// bar after an open.
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QStatusBar>
#include <QUrl>

#include "command_line.h"
#include "volume_io.h"
#include "window_fixture.h"

namespace {

using StartupTest = WindowTest;

TEST(CommandLineTest, TakesAtMostOneVolumeAndNoOptionsOfItsOwn) {
  EXPECT_EQ(parseCommandLine({"voluna"}).volume, QString());
  EXPECT_EQ(parseCommandLine({"voluna"}).problem, QString());
  EXPECT_EQ(parseCommandLine({"voluna", "a.mhd"}).volume, QString("a.mhd"));
  EXPECT_EQ(parseCommandLine({"voluna", "--", "-odd.mhd"}).volume, QString("-odd.mhd"));
  EXPECT_EQ(parseCommandLine({"voluna", "-"}).volume, QString("-"));
  EXPECT_EQ(parseCommandLine({"voluna", "a.mhd", "b.mhd"}).problem, QString("only one VOLUME may be given (got 2)"));
  EXPECT_EQ(parseCommandLine({"voluna", "--bogus"}).problem, QString("unknown option '--bogus'"));
  EXPECT_EQ(parseCommandLine({"voluna", "--bogus", "a.mhd"}).volume, QString());
}

struct ViewerRun {
  int exitCode;
  QString out, err;
};

ViewerRun runViewer(const QStringList& arguments, bool withDisplay) {
  QProcess viewer;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  if (!withDisplay) environment.remove("DISPLAY");
  viewer.setProcessEnvironment(environment);
  viewer.start(VOLUNA_EXE, arguments);
  EXPECT_TRUE(viewer.waitForFinished(20000));
  return {viewer.exitCode(), QString::fromUtf8(viewer.readAllStandardOutput()),
          QString::fromUtf8(viewer.readAllStandardError())};
}

TEST(ViewerProcessTest, HelpNeedsNoDisplayAndQtKeepsItsOptions) {
  const ViewerRun help = runViewer({"--help"}, false);
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(help.out.startsWith("Usage: voluna")) << help.out.toStdString();
  // Qt takes -platform and -style with their values; what is left is ours.
  const ViewerRun two = runViewer({"-platform", "offscreen", "-style", "Fusion", "a.mhd", "b.mhd"}, true);
  EXPECT_EQ(two.exitCode, 2);
  EXPECT_TRUE(two.err.contains("voluna: only one VOLUME may be given (got 2)")) << two.err.toStdString();
  const ViewerRun unknown = runViewer({"-platform", "offscreen", "--bogus"}, true);
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_TRUE(unknown.err.contains("unknown option '--bogus'")) << unknown.err.toStdString();
}

TEST_F(StartupTest, AVolumeNamedAtStartOpensAsIfChosen) {
  std::vector<uint8_t> bytes = tubeBytes(8);
  const std::string input = writeVolume(folder.path(), "tubes", bytes, {8, 8, 8});
  const StartupRequest request = parseCommandLine({"voluna", QString::fromStdString(input)});
  ASSERT_TRUE(window->openVolumeFile(request.volume));
  EXPECT_TRUE(ui().filterBtn->isEnabled());
  EXPECT_EQ(VolunaProbe::volumeData(*window).size(), 512u);
  EXPECT_EQ(window->windowTitle(), QString("tubes.mhd - Voluna"));
  const auto range = std::minmax_element(bytes.begin(), bytes.end());
  EXPECT_EQ(window->statusBar()->currentMessage(),
            QString("tubes.mhd: 8 x 8 x 8 voxels, values %1 to %2").arg(*range.first).arg(*range.second));
}

TEST_F(StartupTest, TheStatusBarSaysTheTypeAndRangeOfAWiderVolume) {
  // Signed 16-bit voxels from -1000 to 5300: shown in 8 bits, filtered in full.
  std::string raw;
  for (int i = 0; i < 64; ++i) {
    const int16_t value = static_cast<int16_t>(i * 100 - 1000);
    raw.append(reinterpret_cast<const char*>(&value), 2);
  }
  writeText(path("wide.raw"), raw);
  writeText(path("wide.mhd"),
            "ObjectType = Image\nNDims = 3\nDimSize = 4 4 4\nElementType = MET_SHORT\n"
            "BinaryDataByteOrderMSB = False\nElementDataFile = wide.raw\n");
  openThroughMenu(path("wide.mhd"));
  EXPECT_EQ(window->statusBar()->currentMessage(),
            QString("wide.mhd: 4 x 4 x 4 voxels, values -1000 to 5300; int16, shown in 8 bits, filtered at full "
                    "precision"));
}

TEST_F(StartupTest, ADroppedVolumeOpensAndOtherDropsAreRefused) {
  const QString tubes = QString::fromStdString(writeVolume(folder.path(), "tubes", tubeBytes(8), {8, 8, 8}));
  const QString block = QString::fromStdString(writeVolume(folder.path(), "block", std::vector<uint8_t>(60, 200), {5, 4, 3}));
  writeText(path("notes.txt"), "not a volume");

  EXPECT_EQ(dragAndDrop(*window, {QString::fromStdString(path("notes.txt"))}), std::make_pair(false, false));
  EXPECT_EQ(dragAndDrop(*window, {tubes, block}), std::make_pair(false, false));
  EXPECT_EQ(VolunaProbe::volume(*window), nullptr);

  EXPECT_EQ(dragAndDrop(*window, {tubes}), std::make_pair(true, true));
  EXPECT_EQ(VolunaProbe::dimensions(*window).x, 8);
  EXPECT_EQ(window->windowTitle(), QString("tubes.mhd - Voluna"));
  // The raw file beside it is not a volume on its own; the header in capitals is.
  EXPECT_EQ(dragAndDrop(*window, {QString::fromStdString(path("block.raw"))}), std::make_pair(false, false));
  QFile::copy(block, QString::fromStdString(path("BLOCK.MHD")));
  EXPECT_EQ(dragAndDrop(*window, {QString::fromStdString(path("BLOCK.MHD"))}), std::make_pair(true, true));
  EXPECT_EQ(VolunaProbe::dimensions(*window).x, 5);
  EXPECT_EQ(dialogCalls, 0);
}

TEST_F(StartupTest, ABadDroppedFileIsReportedAndChangesNothing) {
  openThroughMenu(writeVolume(folder.path(), "tubes", tubeBytes(8), {8, 8, 8}));
  vtkVolume* shown = VolunaProbe::volume(*window);
  writeText(path("broken.mha"), "NDims = 3\nDimSize = 4 4 4\nElementType = MET_UCHAR\nElementDataFile = LOCAL\nxx");
  MessageBoxCatcher boxes;
  dragAndDrop(*window, {QString::fromStdString(path("broken.mha"))});
  QApplication::processEvents();
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].contains("broken.mha"));
  EXPECT_EQ(VolunaProbe::volume(*window), shown);
  EXPECT_EQ(window->windowTitle(), QString("tubes.mhd - Voluna"));
}

}  // namespace
