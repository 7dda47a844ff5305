#include <QApplication>
#include <QSurfaceFormat>

#include <QVTKOpenGLNativeWidget.h>

#include "voluna.h"

int main(int argc, char** argv) {
  // Must precede the application object, or the views get a context that VTK
  // cannot draw into.
  QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
  QApplication application(argc, argv);
  int result = 0;
  {
    Voluna window;
    window.show();
    result = application.exec();
  }
  return result;
}
