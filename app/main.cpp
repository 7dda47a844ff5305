#include <QApplication>
#include <QSurfaceFormat>
#include <QTimer>

#include <QVTKOpenGLNativeWidget.h>

#include <cstdio>

#include "command_line.h"
#include "voluna.h"

int main(int argc, char** argv) {
  if (asksForHelp(argc, argv)) {
    std::fputs(kViewerUsage, stdout);
    return 0;
  }
  // Must precede the application object, or the views get a context that VTK
  // cannot draw into.
  QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
  QApplication application(argc, argv);
  // Qt has removed its own options from the arguments by now.
  const StartupRequest request = parseCommandLine(QApplication::arguments());
  if (!request.problem.isEmpty()) {
    std::fprintf(stderr, "voluna: %s\nTry 'voluna --help' for more information.\n", qPrintable(request.problem));
    return 2;
  }
  int result = 0;
  {
    Voluna window;
    window.show();
    if (!request.volume.isEmpty()) {
      // Once the event loop runs, so a message about a bad file has a window to sit on.
      QTimer::singleShot(0, &window, [&window, &request] { window.openVolumeFile(request.volume); });
    }
    result = application.exec();
  }
  return result;
}
