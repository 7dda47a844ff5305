// voluna-window-screenshot VOLUME PNG: opens VOLUME in the window as a person
// would, presses "Filter" with the form's initial values, and saves a picture
// of the whole window with both views. Run it under Xvfb
// (scripts/screenshot.sh does).
#include <QApplication>
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
  if (arguments.size() != 3) {
    std::fprintf(stderr, "Usage: voluna-window-screenshot VOLUME PNG\n");
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
  // Turned a little, as a person would with the mouse, so the picture shows depth.
  for (const char* name : {"view1", "view2"}) {
    vtkCamera* camera = window.findChild<QVTKOpenGLNativeWidget*>(name)
                            ->renderWindow()->GetRenderers()->GetFirstRenderer()->GetActiveCamera();
    camera->Azimuth(35.0);
    camera->Elevation(25.0);
    camera->OrthogonalizeViewUp();
  }
  QMetaObject::invokeMethod(&window, "Render");
  // Let both views repaint with their final pictures before the grab.
  QTest::qWait(500);
  if (!window.grab().save(picturePath)) {
    std::fprintf(stderr, "voluna-window-screenshot: cannot write %s\n", qPrintable(picturePath));
    return 1;
  }
  return 0;
}
