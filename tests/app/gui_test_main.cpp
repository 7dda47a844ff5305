// The window's tests need a real X display (Xvfb via xvfb-run in CTest): the
// offscreen platform draws VTK views black.
#include <QApplication>
#include <QSurfaceFormat>

#include <QVTKOpenGLNativeWidget.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("DISPLAY")) {
    std::fprintf(stderr, "No X display: run these tests under xvfb-run -a (CTest does so when xvfb-run is installed).\n");
    return 77;
  }
  qputenv("QT_QPA_PLATFORM", "xcb");
  QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
