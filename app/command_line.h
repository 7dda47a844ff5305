// What the viewer's command line asks for, once Qt has taken its own options.
#pragma once

#include <QString>
#include <QStringList>

struct StartupRequest {
  QString volume;   // open this at start; empty for none
  QString problem;  // when not empty, the command line is refused with this
};

// "voluna [VOLUME]": at most one volume; "--" ends the options.
StartupRequest parseCommandLine(const QStringList& arguments);

// True when argv asks for help: looked at before the application object
// exists, so that "voluna --help" works without a display.
bool asksForHelp(int argc, char** argv);

extern const char* const kViewerUsage;
