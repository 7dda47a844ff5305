// A filter run that takes a while: the window stays alive, shows progress,
// and Cancel or closing the window changes nothing.
#include <QAction>
#include <QApplication>
#include <QDragEnterEvent>
#include <QElapsedTimer>
#include <QMimeData>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <vtkCamera.h>
#include <vtkVolumeCollection.h>

#include "window_fixture.h"

namespace {

using LongRunTest = WindowTest;

QProgressDialog* progressDialog(Voluna& window) { return window.findChild<QProgressDialog*>(); }

bool dragIsAccepted(Voluna& window, const std::string& file) {
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(file))});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &enter);
  return enter.isAccepted();
}

TEST_F(LongRunTest, TheWindowStaysAliveWhileTheFilterRuns) {
  const std::string input = writeVolume(folder.path(), "tubes", tubeBytes(12), {12, 12, 12});
  openThroughMenu(input);
  gate = std::make_shared<FilterGate>();
  gate->fraction = 0.3;
  pressFilter(3, 3, 30, false);
  ASSERT_TRUE(waitForGate());

  // The event loop runs: a timer fires, the progress shows, the views render.
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  QTest::qWait(300);
  EXPECT_GE(ticks, 10);
  QProgressDialog* dialog = progressDialog(*window);
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_FALSE(dialog->isModal());
  EXPECT_TRUE(dialog->labelText().startsWith("Calculate vectorfield...")) << dialog->labelText().toStdString();
  EXPECT_TRUE(dialog->labelText().contains("% of the voxels done")) << dialog->labelText().toStdString();
  EXPECT_GT(dialog->value(), 0);
  RenderCounter first(VolunaProbe::renderWindow1(*window));
  RenderCounter second(VolunaProbe::renderWindow2(*window));
  ui().levelSpinner->setValue(100.0);
  EXPECT_EQ(first.count(), 1);
  EXPECT_EQ(second.count(), 1);
  VolunaProbe::renderer1(*window)->GetActiveCamera()->Azimuth(20.0);
  QMetaObject::invokeMethod(window.get(), "Render");
  EXPECT_EQ(first.count(), 2);

  // Neither a second run nor a new volume meanwhile.
  EXPECT_FALSE(ui().filterBtn->isEnabled());
  EXPECT_FALSE(ui().action_oeffnen->isEnabled());
  QMetaObject::invokeMethod(window.get(), "filterVolume");
  ui().action_oeffnen->trigger();
  EXPECT_EQ(dialogCalls, 1);
  EXPECT_FALSE(dragIsAccepted(*window, input));
  EXPECT_FALSE(window->openVolumeFile(QString::fromStdString(input)));
  EXPECT_EQ(backendCallCount(), 1u);

  gate->released = true;
  ASSERT_TRUE(waitForFilter());
  EXPECT_EQ(backendCallCount(), 1u);
  EXPECT_TRUE(ui().filterBtn->isEnabled());
  EXPECT_TRUE(ui().action_oeffnen->isEnabled());
  QApplication::processEvents();
  EXPECT_EQ(progressDialog(*window), nullptr);
  EXPECT_EQ(readBytes(path("Output.raw")), commandLineResult(input, 3, 3, 30));
  EXPECT_TRUE(window->statusBar()->currentMessage().startsWith("Filtered on ")) 
      << window->statusBar()->currentMessage().toStdString();
  EXPECT_TRUE(window->statusBar()->currentMessage().contains("Output.raw"));
}

TEST_F(LongRunTest, AFinishedFirstStageStillReadsAsThatStage) {
  // Under load the thread that reports may only see the first stage at its
  // end; the dialog must not announce the second stage before it begins.
  const std::string input = writeVolume(folder.path(), "tubes", tubeBytes(12), {12, 12, 12});
  openThroughMenu(input);
  gate = std::make_shared<FilterGate>();
  gate->fraction = 1.0;
  pressFilter(3, 3, 30, false);
  ASSERT_TRUE(waitForGate());
  QTest::qWait(300);
  QProgressDialog* dialog = progressDialog(*window);
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->labelText().startsWith("Calculate vectorfield...\n100 %")) << dialog->labelText().toStdString();
  gate->released = true;
  ASSERT_TRUE(waitForFilter());
}

TEST_F(LongRunTest, ProgressNamesTheStageAndOnlyGrowsToTheEnd) {
  const std::string input = writeVolume(folder.path(), "tubes", tubeBytes(16), {16, 16, 16});
  openThroughMenu(input);
  gate = std::make_shared<FilterGate>();
  gate->stage = voluna::Stage::Integration;
  gate->fraction = 0.5;
  pressFilter(4, 6, 10, false);
  QProgressDialog* dialog = progressDialog(*window);
  ASSERT_NE(dialog, nullptr);
  auto* bar = dialog->findChild<QProgressBar*>();
  ASSERT_NE(bar, nullptr);
  std::vector<int> values{bar->value()};
  QObject::connect(bar, &QProgressBar::valueChanged, [&](int value) { values.push_back(value); });

  ASSERT_TRUE(waitForGate());
  QTest::qWait(250);
  EXPECT_TRUE(dialog->labelText().startsWith("Filtering data...")) << dialog->labelText().toStdString();
  gate->released = true;
  ASSERT_TRUE(waitForFilter());
  ASSERT_GE(values.size(), 2u);
  for (size_t i = 1; i < values.size(); ++i) EXPECT_LE(values[i - 1], values[i]) << i;
  EXPECT_EQ(values.back(), bar->maximum());
}

TEST(FilterProgressTest, TimeLeftIsSaidOnlyOnceItMeansSomething) {
  EXPECT_EQ(FilterProgress::timeLeft(0.5, 0.5), QString());
  EXPECT_EQ(FilterProgress::timeLeft(10.0, 0.01), QString());
  EXPECT_EQ(FilterProgress::timeLeft(10.0, 1.0), QString());
  EXPECT_EQ(FilterProgress::timeLeft(10.0, 0.5), QString("about 10 s left"));
  EXPECT_EQ(FilterProgress::timeLeft(30.0, 0.25), QString("about 1 min 30 s left"));
  EXPECT_EQ(FilterProgress::timeLeft(65.0, 0.05), QString("about 20 min 35 s left"));
  EXPECT_EQ(FilterProgress::timeLeft(100.0, 0.02), QString("about 1 h 21 min left"));
  // Both stages share one scale, the first ending where the second begins.
  const FilterProgress progress(voluna::FilterParams{5, 5, 5, false});
  const double join = progress.overall(voluna::Stage::VectorField, 1.0);
  EXPECT_GT(join, 0.9);
  EXPECT_LT(join, 1.0);
  EXPECT_DOUBLE_EQ(progress.overall(voluna::Stage::Integration, 0.0), join);
  EXPECT_DOUBLE_EQ(progress.overall(voluna::Stage::Integration, 1.0), 1.0);
  EXPECT_DOUBLE_EQ(progress.overall(voluna::Stage::VectorField, 0.0), 0.0);
}

// Where Cancel is pressed: early and late in each stage, and after the last
// voxel, before the window has taken the result.
struct CancelPoint {
  const char* name;
  voluna::Stage stage;
  double fraction;
};

void PrintTo(const CancelPoint& point, std::ostream* out) { *out << point.name; }

class CancelTest : public WindowTest, public ::testing::WithParamInterface<CancelPoint> {};

TEST_P(CancelTest, CancelChangesNothingAndTheNextRunIsWhole) {
  const std::string input = writeVolume(folder.path(), "tubes", tubeBytes(12), {12, 12, 12});
  openThroughMenu(input);
  pressFilter(2, 2, 90);
  const std::vector<uint8_t> earlier = readBytes(path("Output.raw"));
  const std::vector<uint8_t> earlierHeader = readBytes(path("Output.mhd"));
  vtkVolume* shown = VolunaProbe::filteredVolume(*window);
  double cameraBefore[3];
  VolunaProbe::renderer2(*window)->GetActiveCamera()->GetPosition(cameraBefore);
  const int pixelsBefore = brightPixels(VolunaProbe::renderWindow2(*window));

  gate = std::make_shared<FilterGate>();
  gate->stage = GetParam().stage;
  gate->fraction = GetParam().fraction;
  pressFilter(3, 4, 30, false);
  ASSERT_TRUE(waitForGate());
  QProgressDialog* dialog = progressDialog(*window);
  ASSERT_NE(dialog, nullptr);
  QPushButton* cancel = dialog->findChild<QPushButton*>();
  ASSERT_NE(cancel, nullptr);
  QTest::mouseClick(cancel, Qt::LeftButton);
  ASSERT_TRUE(waitForFilter(5.0));

  EXPECT_EQ(readBytes(path("Output.raw")), earlier);
  EXPECT_EQ(readBytes(path("Output.mhd")), earlierHeader);
  EXPECT_EQ(VolunaProbe::filteredVolume(*window), shown);
  vtkVolumeCollection* inSecond = VolunaProbe::renderer2(*window)->GetVolumes();
  ASSERT_EQ(inSecond->GetNumberOfItems(), 1);
  EXPECT_EQ(inSecond->GetItemAsObject(0), shown);
  double cameraAfter[3];
  VolunaProbe::renderer2(*window)->GetActiveCamera()->GetPosition(cameraAfter);
  EXPECT_EQ(cameraAfter[0], cameraBefore[0]);
  EXPECT_EQ(cameraAfter[2], cameraBefore[2]);
  EXPECT_EQ(brightPixels(VolunaProbe::renderWindow2(*window)), pixelsBefore);
  EXPECT_TRUE(window->statusBar()->currentMessage().contains("cancelled"))
      << window->statusBar()->currentMessage().toStdString();
  EXPECT_TRUE(ui().filterBtn->isEnabled());
  EXPECT_TRUE(ui().action_oeffnen->isEnabled());

  gate.reset();
  pressFilter(3, 4, 30);
  EXPECT_EQ(readBytes(path("Output.raw")), commandLineResult(input, 3, 4, 30));
  EXPECT_NE(VolunaProbe::filteredVolume(*window), shown);
}

INSTANTIATE_TEST_SUITE_P(Points, CancelTest,
                         ::testing::Values(CancelPoint{"FieldStart", voluna::Stage::VectorField, 0.0},
                                           CancelPoint{"FieldMiddle", voluna::Stage::VectorField, 0.5},
                                           CancelPoint{"IntegrationMiddle", voluna::Stage::Integration, 0.5},
                                           CancelPoint{"AfterTheLastVoxel", voluna::Stage::Integration, 1.0}),
                         [](const ::testing::TestParamInfo<CancelPoint>& info) { return std::string(info.param.name); });

TEST_F(LongRunTest, CancelStopsARealRunWithinASecond) {
  // About a minute of work on two cores, seconds on a GPU: far longer than
  // the test waits before it cancels.
  const std::string input = writeVolume(folder.path(), "tubes", tubeBytes(48), {48, 48, 48});
  openThroughMenu(input);
  pressFilter(10, 5, 1, false);
  QProgressDialog* dialog = progressDialog(*window);
  ASSERT_NE(dialog, nullptr);
  QElapsedTimer clock;
  clock.start();
  while (dialog->value() == 0 && clock.elapsed() < 30000) QTest::qWait(5);
  ASSERT_GT(dialog->value(), 0) << "no progress within 30 s";
  ASSERT_TRUE(VolunaProbe::filterRunning(*window)) << "the run ended before Cancel";
  clock.restart();
  QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
  ASSERT_TRUE(waitForFilter(5.0));
  EXPECT_LT(clock.elapsed(), 1000);
  EXPECT_FALSE(QFile::exists(folder.path() + "/Output.raw"));
  EXPECT_EQ(VolunaProbe::filteredVolume(*window), nullptr);
}

TEST_F(LongRunTest, ClosingTheWindowDuringARunCancelsItAndEndsTheLoop) {
  openThroughMenu(writeVolume(folder.path(), "tubes", tubeBytes(12), {12, 12, 12}));
  gate = std::make_shared<FilterGate>();
  gate->fraction = 0.5;
  pressFilter(3, 3, 30, false);
  ASSERT_TRUE(waitForGate());
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  deadline.start(5000);
  QTimer::singleShot(0, window.get(), &QWidget::close);
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_FALSE(VolunaProbe::filterRunning(*window));
  EXPECT_FALSE(QFile::exists(folder.path() + "/Output.raw"));
  EXPECT_EQ(VolunaProbe::filteredVolume(*window), nullptr);
}

TEST_F(LongRunTest, AWindowDestroyedDuringARunWaitsForIt) {
  openThroughMenu(writeVolume(folder.path(), "tubes", tubeBytes(12), {12, 12, 12}));
  gate = std::make_shared<FilterGate>();
  gate->fraction = 0.5;
  pressFilter(3, 3, 30, false);
  ASSERT_TRUE(waitForGate());
  window.reset();
  EXPECT_TRUE(gate->passed);
  EXPECT_FALSE(QFile::exists(folder.path() + "/Output.raw"));
}

}  // namespace
