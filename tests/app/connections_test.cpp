// What the controls set off: ramp changes render both views, "Filter" runs on
// press, the unplaced actions do nothing, and the slots the meta-object names.
#include <QApplication>
#include <QDoubleSpinBox>
#include <QMetaMethod>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <vtkColorTransferFunction.h>
#include <vtkPiecewiseFunction.h>
#include <vtkVolumeProperty.h>

#include "scenes.h"
#include "window_fixture.h"

namespace {

using ConnectionsTest = WindowTest;

TEST_F(ConnectionsTest, MetaObjectListsTheSevenSlotsInOrder) {
  const QMetaObject* meta = window->metaObject();
  EXPECT_STREQ(meta->className(), "Voluna");
  EXPECT_EQ(meta->superClass(), &QMainWindow::staticMetaObject);
  QStringList slotNames;
  for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
    EXPECT_EQ(meta->method(i).methodType(), QMetaMethod::Slot);
    EXPECT_EQ(meta->method(i).access(), QMetaMethod::Public);
    slotNames << QString::fromLatin1(meta->method(i).methodSignature());
  }
  EXPECT_EQ(slotNames, QStringList({"slotExit()", "Render()", "openFile()", "saveResultAs()", "filterVolume()",
                                    "setLevel()", "setWindow()"}));
  EXPECT_NE(window->qt_metacast("Voluna"), nullptr);
}

TEST_F(ConnectionsTest, RenderByNameRendersTheFirstViewThenTheSecond) {
  std::vector<std::string> order;
  RenderCounter first(VolunaProbe::renderWindow1(*window), &order, "view1");
  RenderCounter second(VolunaProbe::renderWindow2(*window), &order, "view2");
  ASSERT_TRUE(QMetaObject::invokeMethod(window.get(), "Render"));
  EXPECT_EQ(order, std::vector<std::string>({"view1", "view2"}));
}

TEST_F(ConnectionsTest, RampSpinBoxesRenderBothViewsOnceAndMoveTheRamp) {
  const std::string input = writeVolume(folder.path(), "tubes", tubeBytes(12), {12, 12, 12});
  // Before any volume: both empty views render, nothing breaks.
  {
    RenderCounter first(VolunaProbe::renderWindow1(*window));
    RenderCounter second(VolunaProbe::renderWindow2(*window));
    ui().windowSpinner->setValue(100.0);
    EXPECT_EQ(first.count(), 1);
    EXPECT_EQ(second.count(), 1);
    EXPECT_DOUBLE_EQ(VolunaProbe::rampWindow(*window), 100.0);
    ui().windowSpinner->setValue(85.0);
  }
  openThroughMenu(input);
  pressFilter(2, 2, 90);
  ASSERT_NE(VolunaProbe::filteredVolume(*window), nullptr);
  QApplication::processEvents();

  RenderCounter first(VolunaProbe::renderWindow1(*window));
  RenderCounter second(VolunaProbe::renderWindow2(*window));
  // One arrow step on the level box, as a person would press it.
  ui().levelSpinner->setFocus();
  QTest::keyClick(ui().levelSpinner, Qt::Key_Up);
  EXPECT_DOUBLE_EQ(ui().levelSpinner->value(), 95.0);
  EXPECT_EQ(first.count(), 1);
  EXPECT_EQ(second.count(), 1);
  EXPECT_DOUBLE_EQ(VolunaProbe::rampLevel(*window), 95.0);
  ui().windowSpinner->setValue(40.0);
  EXPECT_EQ(first.count(), 2);
  EXPECT_EQ(second.count(), 2);

  // Both props share the one ramp from 75 to 115: black and clear below,
  // white and opaque above, half way at the level.
  vtkVolumeProperty* loaded = VolunaProbe::volume(*window)->GetProperty();
  vtkVolumeProperty* filtered = VolunaProbe::filteredVolume(*window)->GetProperty();
  EXPECT_EQ(loaded->GetRGBTransferFunction(0), filtered->GetRGBTransferFunction(0));
  EXPECT_EQ(loaded->GetScalarOpacity(0), filtered->GetScalarOpacity(0));
  vtkColorTransferFunction* colour = loaded->GetRGBTransferFunction(0);
  vtkPiecewiseFunction* opacity = loaded->GetScalarOpacity(0);
  double rgb[3];
  colour->GetColor(95.0, rgb);
  EXPECT_NEAR(rgb[0], 0.5, 1e-9);
  EXPECT_NEAR(rgb[2], 0.5, 1e-9);
  EXPECT_NEAR(opacity->GetValue(95.0), 0.5, 1e-9);
  colour->GetColor(75.0, rgb);
  EXPECT_NEAR(rgb[1], 0.0, 1e-9);
  EXPECT_NEAR(opacity->GetValue(20.0), 0.0, 1e-9);
  colour->GetColor(200.0, rgb);
  EXPECT_NEAR(rgb[1], 1.0, 1e-9);
  EXPECT_NEAR(opacity->GetValue(115.0), 1.0, 1e-9);
  EXPECT_NEAR(opacity->GetValue(255.0), 1.0, 1e-9);
}

TEST_F(ConnectionsTest, FilterRunsWhenTheButtonGoesDownWithTheFormsParameters) {
  const std::string input = writeVolume(folder.path(), "tubes", tubeBytes(8), {8, 8, 8});
  // Disabled before a volume exists: a click starts nothing.
  QTest::mouseClick(ui().filterBtn, Qt::LeftButton);
  EXPECT_EQ(backendCallCount(), 0u);

  openThroughMenu(input);
  ui().sampleSpinBox->setValue(3);
  ui().integrationStepsSpinBox->setValue(2);
  ui().anglesSpinBox->setValue(90);
  QTest::mousePress(ui().filterBtn, Qt::LeftButton);
  EXPECT_TRUE(VolunaProbe::filterRunning(*window));
  QTest::mouseRelease(ui().filterBtn, Qt::LeftButton);
  ASSERT_TRUE(waitForFilter());
  ASSERT_EQ(backendCallCount(), 1u);
  EXPECT_EQ(backendCalls[0].samples, 3);
  EXPECT_EQ(backendCalls[0].integrationSteps, 2);
  EXPECT_EQ(backendCalls[0].angleStep, 90);
}

TEST_F(ConnectionsTest, UnplacedActionsDoNothing) {
  MessageBoxCatcher boxes;
  RenderCounter first(VolunaProbe::renderWindow1(*window));
  RenderCounter second(VolunaProbe::renderWindow2(*window));
  nextFile = writeVolume(folder.path(), "tubes", tubeBytes(8), {8, 8, 8});
  for (QAction* action : {ui().actionOpenFile, ui().actionPrint, ui().actionHelp, ui().actionSave}) {
    action->trigger();
  }
  QApplication::processEvents();
  EXPECT_EQ(dialogCalls, 0);
  EXPECT_EQ(VolunaProbe::volume(*window), nullptr);
  EXPECT_FALSE(ui().filterBtn->isEnabled());
  EXPECT_EQ(first.count(), 0);
  EXPECT_EQ(second.count(), 0);
  EXPECT_TRUE(boxes.texts.isEmpty());
  EXPECT_TRUE(window->isVisible());
}

// A loop that does not end within five seconds ends with 99 instead.
int runEventLoopWithDeadline() {
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  deadline.start(5000);
  return QApplication::exec();
}

TEST_F(ConnectionsTest, ExitEndsTheEventLoopWithZero) {
  QTimer::singleShot(0, ui().actionExit, &QAction::trigger);
  EXPECT_EQ(runEventLoopWithDeadline(), 0);
}

TEST_F(ConnectionsTest, ClosingTheWindowEndsTheEventLoopWithZero) {
  QTimer::singleShot(0, window.get(), &QWidget::close);
  EXPECT_EQ(runEventLoopWithDeadline(), 0);
  EXPECT_FALSE(window->isVisible());
}

}  // namespace
