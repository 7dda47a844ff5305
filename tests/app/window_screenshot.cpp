// voluna-window-screenshot VOLUME PNG [SLICES_PNG]: opens VOLUME in the
// window as a person would, presses "Filter" with the form's initial values,
// and saves a picture of the whole window with both (linked) views turned a
// little. With SLICES_PNG it then filters again with "Preserve edges" and
// saves the window showing the middle axial slice of input and result. Run it
// under Xvfb (scripts/screenshot.sh does).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPixmap>
#include <QPushButton>
#include <QSurfaceFormat>
#include <QTest>

#include <QVTKOpenGLNativeWidget.h>
#include <vtkCamera.h>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>
#include <vtkRendererCollection.h>

#include <cstdio>

#include "ui_voluna.h"
#include "voluna.h"

int main(int argc, char** argv) {
  QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
  QApplication application(argc, argv);
  const QStringList arguments = QApplication::arguments();
  if (arguments.size() != 3 && arguments.size() != 4) {
    std::fprintf(stderr, "Usage: voluna-window-screenshot VOLUME PNG [SLICES_PNG]\n");
    return 2;
  }
  const QString volumePath = arguments[1];
  const QString picturePath = arguments[2];

  Voluna window;
  window.setFileDialog([&](QWidget*, const QString&) { return volumePath; });
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) {
    std::fprintf(stderr, "voluna-window-screenshot: the window never appeared\n");
    return 1;
  }
  auto* open = window.findChild<QAction*>("action_oeffnen");
  auto* filter = window.findChild<QPushButton*>("filterBtn");
  open->trigger();
  if (!filter->isEnabled()) {
    std::fprintf(stderr, "voluna-window-screenshot: %s could not be opened\n", qPrintable(volumePath));
    return 1;
  }
  QTest::mouseClick(filter, Qt::LeftButton);
  // The filter runs off the GUI thread; "Filter" comes back when it is done.
  while (!filter->isEnabled()) QTest::qWait(50);
  // Turned a little, as a person would with the mouse, so the picture shows
  // depth; both views look through this one camera.
  vtkCamera* camera = window.findChild<QVTKOpenGLNativeWidget*>("view1")
                          ->renderWindow()->GetRenderers()->GetFirstRenderer()->GetActiveCamera();
  camera->Azimuth(35.0);
  camera->Elevation(25.0);
  camera->OrthogonalizeViewUp();
  QMetaObject::invokeMethod(&window, "Render");
  auto save = [&window](const QString& path) {
    // Let both views repaint with their final pictures before the grab.
    QTest::qWait(500);
    if (window.grab().save(path)) return true;
    std::fprintf(stderr, "voluna-window-screenshot: cannot write %s\n", qPrintable(path));
    return false;
  };
  if (!save(picturePath)) return 1;
  if (arguments.size() == 3) return 0;

  window.findChild<QCheckBox*>("preserveEdgesCheckBox")->setChecked(true);
  QTest::mouseClick(filter, Qt::LeftButton);
  while (!filter->isEnabled()) QTest::qWait(50);
  window.findChild<QComboBox*>("viewComboBox")->setCurrentIndex(1);
  return save(arguments[3]) ? 0 : 1;
}
