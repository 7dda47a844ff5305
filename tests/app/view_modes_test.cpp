// Linked views, slices and "Preserve edges", driven with the mouse and the
// form as a person would, checked on the pixels both views show.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMouseEvent>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QWheelEvent>

#include <vtkCamera.h>
#include <vtkRenderWindow.h>

#include <algorithm>
#include <cmath>

#include "window_fixture.h"

namespace {

// Presses `button` at `from`, drags to `to` in a few moves and lets go.
void drag(QWidget* view, QPoint from, QPoint to, Qt::MouseButton button) {
  QMouseEvent press(QEvent::MouseButtonPress, from, view->mapToGlobal(from), button, button, Qt::NoModifier);
  QApplication::sendEvent(view, &press);
  for (int i = 1; i <= 5; ++i) {
    const QPoint at = from + (to - from) * i / 5;
    QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton, button, Qt::NoModifier);
    QApplication::sendEvent(view, &move);
  }
  QMouseEvent release(QEvent::MouseButtonRelease, to, view->mapToGlobal(to), button, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(view, &release);
}

// Turns the mouse wheel over `view` by `notches` (positive: away from the
// user), one notch an event as a wheel mouse sends them.
void turnWheel(QWidget* view, int notches) {
  const QPoint at = view->rect().center();
  for (int i = 0; i < std::abs(notches); ++i) {
    QWheelEvent wheel(QPointF(at), QPointF(view->mapToGlobal(at)), QPoint(), QPoint(0, notches > 0 ? 120 : -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view, &wheel);
  }
}

void hover(QWidget* view, QPoint at) {
  QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(view, &move);
}

// Where the bright pixels of a view are: their count, centre and extent, in
// VTK's display coordinates (origin bottom left).
struct BrightSpot {
  int count = 0;
  double x = 0, y = 0;
  int left = 1 << 30, right = -1, bottom = 1 << 30, top = -1;
  int width() const { return right - left + 1; }
  int height() const { return top - bottom + 1; }
};

BrightSpot findBright(vtkRenderWindow* window) {
  int width = 0, height = 0;
  const std::vector<uint8_t> pixels = grabPixels(window, &width, &height);
  BrightSpot spot;
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      const uint8_t* rgb = &pixels[3 * (static_cast<size_t>(row) * width + column)];
      if (std::max({rgb[0], rgb[1], rgb[2]}) < 128) continue;
      ++spot.count;
      spot.x += column;
      spot.y += row;
      spot.left = std::min(spot.left, column);
      spot.right = std::max(spot.right, column);
      spot.bottom = std::min(spot.bottom, row);
      spot.top = std::max(spot.top, row);
    }
  }
  if (spot.count > 0) {
    spot.x /= spot.count;
    spot.y /= spot.count;
  }
  return spot;
}

class ViewModeFixture : public WindowTest {
 protected:
  Ui_ViewControls& controls() { return VolunaProbe::viewControls(*window); }
  vtkRenderWindow* first() { return VolunaProbe::renderWindow1(*window); }
  vtkRenderWindow* second() { return VolunaProbe::renderWindow2(*window); }

  // Both views the same size, so that one camera gives both the same picture.
  void makeViewsTheSameSize() {
    for (int tries = 0; tries < 3 && ui().view1->size() != ui().view2->size(); ++tries) {
      window->resize(window->width(), window->height() + 1);
      QApplication::processEvents();
    }
    ASSERT_EQ(ui().view1->size(), ui().view2->size());
    first()->Render();
    second()->Render();
  }

  // A volume written with its own spacing and origin; returns the header.
  std::string writeSpacedVolume(const std::string& name, const std::vector<uint8_t>& bytes, voluna::Dims dims,
                                const char* spacing, const char* origin) {
    writeVolume(folder.path(), name + "-data", bytes, dims);
    const std::string header = path(name + ".mhd");
    writeText(header, "ObjectType = Image\nNDims = 3\nElementSpacing = " + std::string(spacing) +
                          "\nOffset = " + origin + "\nDimSize = " + std::to_string(dims.x) + " " +
                          std::to_string(dims.y) + " " + std::to_string(dims.z) +
                          "\nElementType = MET_UCHAR\nElementDataFile = " + name + "-data.raw\n");
    return header;
  }
};

using LinkedViewsTest = ViewModeFixture;

TEST_F(LinkedViewsTest, TurningZoomingOrPanningEitherViewMovesTheOtherTheSameWay) {
  const voluna::Dims dims{16, 16, 16};
  const std::vector<uint8_t> bytes = tubeBytes(16);
  openThroughMenu(writeSpacedVolume("tubes", bytes, dims, "1 1.5 1", "4 0 -2"));
  // No integration steps: the result is the input, voxel for voxel.
  pressFilter(3, 0, 30);
  ASSERT_EQ(readBytes(path("Output.raw")), bytes);
  makeViewsTheSameSize();
  const std::vector<uint8_t> start = grabPixels(first());
  ASSERT_EQ(grabPixels(second()), start);
  ASSERT_GT(brightPixels(second()), 500);

  QWidget* upper = ui().view1;
  QWidget* lower = ui().view2;
  RenderCounter lowerRenders(second());
  drag(upper, upper->rect().center(), upper->rect().center() + QPoint(60, 25), Qt::LeftButton);
  EXPECT_GT(lowerRenders.count(), 0);
  const std::vector<uint8_t> turned = grabPixels(first());
  EXPECT_NE(turned, start);
  EXPECT_EQ(grabPixels(second()), turned);

  // The lower view leads as well: zoom, pan, wheel.
  drag(lower, lower->rect().center(), lower->rect().center() + QPoint(0, -30), Qt::RightButton);
  const std::vector<uint8_t> zoomed = grabPixels(second());
  EXPECT_NE(zoomed, turned);
  EXPECT_EQ(grabPixels(first()), zoomed);
  drag(lower, lower->rect().center(), lower->rect().center() + QPoint(20, 10), Qt::MiddleButton);
  turnWheel(lower, -2);
  const std::vector<uint8_t> panned = grabPixels(second());
  EXPECT_NE(panned, zoomed);
  EXPECT_EQ(grabPixels(first()), panned);
}

TEST_F(LinkedViewsTest, ARunKeepsTheViewpointAndOpeningResetsItForBoth) {
  openThroughMenu(writeSpacedVolume("tubes", tubeBytes(12), {12, 12, 12}, "2 1 1", "0 0 0"));
  drag(ui().view1, ui().view1->rect().center(), ui().view1->rect().center() + QPoint(40, 0), Qt::LeftButton);
  vtkCamera* camera = VolunaProbe::renderer1(*window)->GetActiveCamera();
  EXPECT_EQ(VolunaProbe::renderer2(*window)->GetActiveCamera(), camera);
  double turned[3];
  camera->GetPosition(turned);

  pressFilter(2, 2, 90);
  double afterRun[3];
  camera->GetPosition(afterRun);
  for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(afterRun[i], turned[i]);
  EXPECT_EQ(VolunaProbe::renderer2(*window)->GetActiveCamera(), camera);
  // The result lies where the input lies, real spacing included.
  double inputBounds[6], resultBounds[6];
  VolunaProbe::volume(*window)->GetBounds(inputBounds);
  VolunaProbe::filteredVolume(*window)->GetBounds(resultBounds);
  for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(resultBounds[i], inputBounds[i]);

  openThroughMenu(writeVolume(folder.path(), "block", std::vector<uint8_t>(20 * 10 * 6, 200), {20, 10, 6}));
  vtkCamera* fresh = VolunaProbe::renderer1(*window)->GetActiveCamera();
  EXPECT_EQ(VolunaProbe::renderer2(*window)->GetActiveCamera(), fresh);
  double focal[3];
  fresh->GetFocalPoint(focal);
  EXPECT_NEAR(focal[0], 9.5, 1e-6);
  EXPECT_NEAR(focal[1], 4.5, 1e-6);
  EXPECT_NEAR(focal[2], 2.5, 1e-6);
}

using SliceTest = ViewModeFixture;

// One bright voxel in a dark volume with unequal spacing, seen in each
// orientation: it shows only in its own slice, where the camera puts that
// voxel, right of and above the middle (each axis runs right or up), and as
// wide and tall as its spacing.
TEST_F(SliceTest, AMarkerVoxelShowsInItsSliceWhereItLiesWithItsSpacing) {
  const voluna::Dims dims{12, 10, 8};
  const int marker[3] = {9, 7, 5};
  const double spacing[3] = {2.0, 1.0, 1.5};
  const double origin[3] = {10.0, -5.0, 3.0};
  std::vector<uint8_t> bytes(dims.count(), 0);
  bytes[dims.index(marker[0], marker[1], marker[2])] = 255;
  openThroughMenu(writeSpacedVolume("marker", bytes, dims, "2 1 1.5", "10 -5 3"));
  pressFilter(3, 0, 30);
  ASSERT_EQ(readBytes(path("Output.raw")), bytes);
  makeViewsTheSameSize();
  EXPECT_FALSE(controls().sliceSlider->isEnabled());
  vtkCamera* camera = VolunaProbe::renderer1(*window)->GetActiveCamera();
  camera->Azimuth(30.0);
  double seenFrom[3];
  camera->GetPosition(seenFrom);

  struct Orientation {
    int entry;
    int axis;  // across which the slices lie
    int right, up;
  };
  const Orientation orientations[] = {{Ui_ViewControls::Axial, 2, 0, 1},
                                      {Ui_ViewControls::Coronal, 1, 0, 2},
                                      {Ui_ViewControls::Sagittal, 0, 1, 2}};
  const int counts[3] = {dims.x, dims.y, dims.z};
  for (const Orientation& each : orientations) {
    SCOPED_TRACE(controls().viewComboBox->itemText(each.entry).toStdString());
    controls().viewComboBox->setCurrentIndex(each.entry);
    QSlider* slider = controls().sliceSlider;
    ASSERT_TRUE(slider->isEnabled());
    EXPECT_EQ(slider->maximum(), counts[each.axis] - 1);
    EXPECT_EQ(slider->value(), counts[each.axis] / 2);
    EXPECT_EQ(controls().sliceSpinBox->value(), slider->value());

    for (int offset : {-1, 1}) {
      slider->setValue(marker[each.axis] + offset);
      EXPECT_EQ(findBright(first()).count, 0) << offset;
    }
    slider->setValue(marker[each.axis]);
    const BrightSpot spot = findBright(first());
    ASSERT_GT(spot.count, 0);
    int width = 0, height = 0;
    const std::vector<uint8_t> upper = grabPixels(first(), &width, &height);
    EXPECT_EQ(grabPixels(second()), upper);
    EXPECT_GT(spot.x, width / 2.0);
    EXPECT_GT(spot.y, height / 2.0);

    vtkRenderer* renderer = VolunaProbe::renderer1(*window);
    renderer->SetWorldPoint(origin[0] + marker[0] * spacing[0], origin[1] + marker[1] * spacing[1],
                            origin[2] + marker[2] * spacing[2], 1.0);
    renderer->WorldToDisplay();
    double expected[3];
    renderer->GetDisplayPoint(expected);
    EXPECT_NEAR(spot.x, expected[0], 1.5);
    EXPECT_NEAR(spot.y, expected[1], 1.5);
    const double ratio = spacing[each.right] / spacing[each.up];
    EXPECT_NEAR(static_cast<double>(spot.width()) / spot.height(), ratio, 0.15 * ratio)
        << spot.width() << " x " << spot.height();

    // Hovering over the marker names it and its value in both volumes.
    const int qtX = static_cast<int>(std::lround(expected[0] / ui().view1->devicePixelRatioF()));
    const int qtY = static_cast<int>(std::lround((height - 1 - expected[1]) / ui().view1->devicePixelRatioF()));
    hover(ui().view2, QPoint(qtX, qtY));
    auto* readout = window->statusBar()->findChild<QLabel*>("voxelLabel");
    ASSERT_NE(readout, nullptr);
    EXPECT_EQ(readout->text(), QString("Voxel (9, 7, 5): input 255, result 255"));
  }

  // Back to 3D: the volumes again, from where they were seen before.
  controls().viewComboBox->setCurrentIndex(Ui_ViewControls::Volume);
  EXPECT_FALSE(controls().sliceSlider->isEnabled());
  EXPECT_FALSE(camera->GetParallelProjection());
  double back[3];
  camera->GetPosition(back);
  for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(back[i], seenFrom[i]);
  EXPECT_TRUE(VolunaProbe::volume(*window)->GetVisibility());
  EXPECT_TRUE(VolunaProbe::filteredVolume(*window)->GetVisibility());
  EXPECT_GT(brightPixels(first()), 0);
}

TEST_F(SliceTest, TheSliderAndTheWheelStepThroughSlicesInBothViews) {
  const voluna::Dims dims{10, 10, 10};
  std::vector<uint8_t> bytes(dims.count(), 0);
  // Slice z holds z + 1 bright voxels, so each slice can be told apart.
  for (int z = 0; z < dims.z; ++z) {
    for (int x = 0; x <= z; ++x) bytes[dims.index(x, 2, z)] = 255;
  }
  openThroughMenu(writeVolume(folder.path(), "steps", bytes, dims));
  pressFilter(3, 0, 30);
  makeViewsTheSameSize();
  controls().viewComboBox->setCurrentIndex(Ui_ViewControls::Axial);
  QSlider* slider = controls().sliceSlider;
  ASSERT_EQ(slider->value(), 5);
  const int middle = findBright(first()).width();
  EXPECT_GT(middle, 0);

  turnWheel(ui().view1, 1);
  EXPECT_EQ(slider->value(), 6);
  EXPECT_EQ(controls().sliceSpinBox->value(), 6);
  const int next = findBright(first()).width();
  EXPECT_NEAR(next, middle * 7.0 / 6.0, 2.0);
  EXPECT_EQ(findBright(second()).width(), next);

  turnWheel(ui().view2, -3);
  EXPECT_EQ(slider->value(), 3);
  EXPECT_NEAR(findBright(first()).width(), middle * 4.0 / 6.0, 2.0);
  EXPECT_EQ(grabPixels(second()), grabPixels(first()));

  // The ends hold; the spin box steps the slider too.
  turnWheel(ui().view1, -10);
  EXPECT_EQ(slider->value(), 0);
  controls().sliceSpinBox->setValue(9);
  EXPECT_EQ(slider->value(), 9);
  EXPECT_NEAR(findBright(first()).width(), middle * 10.0 / 6.0, 2.0);

  // Another orientation starts in its own middle.
  controls().viewComboBox->setCurrentIndex(Ui_ViewControls::Sagittal);
  EXPECT_EQ(slider->value(), 5);
}

TEST_F(SliceTest, SlicesUseTheRampsGreyAndFollowItsChanges) {
  const voluna::Dims dims{6, 6, 6};
  openThroughMenu(writeVolume(folder.path(), "grey", std::vector<uint8_t>(dims.count(), 90), dims));
  controls().viewComboBox->setCurrentIndex(Ui_ViewControls::Coronal);
  auto centreGrey = [&] {
    int width = 0, height = 0;
    const std::vector<uint8_t> pixels = grabPixels(first(), &width, &height);
    return static_cast<int>(pixels[3 * (static_cast<size_t>(height / 2) * width + width / 2)]);
  };
  // Level 90, window 85: 90 is mid grey.
  EXPECT_NEAR(centreGrey(), 128, 3);
  ui().levelSpinner->setValue(40.0);
  EXPECT_EQ(centreGrey(), 255);
  ui().levelSpinner->setValue(150.0);
  EXPECT_EQ(centreGrey(), 0);
}

TEST_F(SliceTest, OpeningInASliceViewShowsTheNewVolumesMiddleSlice) {
  controls().viewComboBox->setCurrentIndex(Ui_ViewControls::Sagittal);
  EXPECT_FALSE(controls().sliceSlider->isEnabled());
  openThroughMenu(writeVolume(folder.path(), "tubes", tubeBytes(14), {14, 14, 14}));
  EXPECT_TRUE(controls().sliceSlider->isEnabled());
  EXPECT_EQ(controls().sliceSlider->value(), 7);
  EXPECT_FALSE(VolunaProbe::volume(*window)->GetVisibility());
  EXPECT_GT(brightPixels(first()), 100);
  // Before a run the readout says there is no result; leaving clears it.
  auto* readout = window->statusBar()->findChild<QLabel*>("voxelLabel");
  hover(ui().view1, ui().view1->rect().center());
  EXPECT_TRUE(readout->text().startsWith("Voxel (7, ")) << readout->text().toStdString();
  EXPECT_TRUE(readout->text().endsWith("no result yet")) << readout->text().toStdString();
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(ui().view1, &leave);
  EXPECT_EQ(readout->text(), QString());
  controls().viewComboBox->setCurrentIndex(Ui_ViewControls::Volume);
  EXPECT_TRUE(VolunaProbe::volume(*window)->GetVisibility());
  EXPECT_GT(brightPixels(first()), 500);
}

using PreserveEdgesTest = ViewModeFixture;

TEST_F(PreserveEdgesTest, TheCheckBoxReachesTheFilterAndTheStatusBarNamesTheScore) {
  QCheckBox* box = controls().preserveEdgesCheckBox;
  EXPECT_EQ(box->text(), QString("Preserve edges"));
  EXPECT_EQ(box->parent(), ui().groupBox);
  EXPECT_FALSE(box->isChecked());
  const std::string input = writeVolume(folder.path(), "tubes", tubeBytes(14), {14, 14, 14});
  openThroughMenu(input);

  QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(8, box->height() / 2));
  ASSERT_TRUE(box->isChecked());
  pressFilter(3, 4, 30);
  ASSERT_EQ(backendCallCount(), 1u);
  EXPECT_TRUE(backendCalls.back().preserveEdges);
  const std::vector<uint8_t> edges = readBytes(path("Output.raw"));
  EXPECT_EQ(edges, commandLineResult(input, 3, 4, 30, {"--preserve-edges"}));
  EXPECT_TRUE(window->statusBar()->currentMessage().contains("edge-preserving score"))
      << window->statusBar()->currentMessage().toStdString();

  box->setChecked(false);
  pressFilter(3, 4, 30);
  EXPECT_FALSE(backendCalls.back().preserveEdges);
  const std::vector<uint8_t> plain = readBytes(path("Output.raw"));
  EXPECT_NE(plain, edges);
  EXPECT_EQ(plain, commandLineResult(input, 3, 4, 30));
  EXPECT_TRUE(window->statusBar()->currentMessage().contains("default score"))
      << window->statusBar()->currentMessage().toStdString();
}

}  // namespace

namespace {

using DenoiseCheckBoxTest = ViewModeFixture;

// "Denoise" runs the command line's --denoise, greys out what does not
// steer it, and the status bar says the noise level it measured.
TEST_F(DenoiseCheckBoxTest, RunsTheDenoiserAndTheStatusBarSaysItsNoiseLevel) {
  QCheckBox* box = controls().denoiseCheckBox;
  EXPECT_EQ(box->text(), QString("Denoise"));
  EXPECT_EQ(box->parent(), ui().groupBox);
  EXPECT_FALSE(box->isChecked());
  EXPECT_FALSE(box->geometry().intersects(controls().preserveEdgesCheckBox->geometry()));
  EXPECT_FALSE(box->geometry().intersects(ui().filterBtn->geometry()));
  const std::string input = writeVolume(folder.path(), "tubes", tubeBytes(20), {20, 20, 20});
  openThroughMenu(input);

  box->setChecked(true);
  EXPECT_FALSE(ui().sampleSpinBox->isEnabled());
  EXPECT_FALSE(controls().preserveEdgesCheckBox->isEnabled());
  pressFilter(3, 4, 30);
  const std::vector<uint8_t> denoised = readBytes(path("Output.raw"));
  EXPECT_EQ(denoised, commandLineResult(input, 3, 4, 30, {"--denoise"}));
  const QString message = window->statusBar()->currentMessage();
  EXPECT_TRUE(message.contains("denoiser") && message.contains("noise level")) << message.toStdString();

  box->setChecked(false);
  EXPECT_TRUE(ui().sampleSpinBox->isEnabled());
  pressFilter(3, 4, 30);
  EXPECT_NE(readBytes(path("Output.raw")), denoised);
}

}  // namespace
