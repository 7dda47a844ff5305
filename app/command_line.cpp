#include "command_line.h"

#include <cstring>

const char* const kViewerUsage =
    "Usage: voluna [QT OPTIONS] [VOLUME]\n"
    "\n"
    "Shows a volume and smooths it along its own structure. VOLUME (NIfTI\n"
    "(.nii, .nii.gz), NRRD (.nrrd, .nhdr), MetaImage (.mha, .mhd), TIFF, a file\n"
    "of a DICOM series, a DICOMDIR or a folder of DICOM series) is opened at\n"
    "start as if chosen under \"Datei\" -> \"\xC3\x96" "ffnen...\"; a volume or folder\n"
    "dropped on the window is opened too. Where a DICOMDIR or folder holds\n"
    "several series, a list asks which. \"Filter\" writes its result to\n"
    "Output.raw (with the header Output.mhd) in the working folder, and\n"
    "\"Datei\" -> \"Speichern unter...\" saves it in the format of its name.\n"
    "\n"
    "Qt's own options, such as -style or -platform, work as in every Qt program.\n"
    "  -h, --help   show this help and exit\n";

StartupRequest parseCommandLine(const QStringList& arguments) {
  StartupRequest request;
  bool onlyOperands = false;
  QStringList volumes;
  for (int i = 1; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (!onlyOperands && argument == "--") {
      onlyOperands = true;
    } else if (!onlyOperands && argument.startsWith('-') && argument.size() > 1) {
      request.problem = QString("unknown option '%1'").arg(argument);
      return request;
    } else {
      volumes << argument;
    }
  }
  if (volumes.size() > 1) {
    request.problem = QString("only one VOLUME may be given (got %1)").arg(volumes.size());
    return request;
  }
  if (!volumes.isEmpty()) request.volume = volumes.first();
  return request;
}

bool asksForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) return true;
  }
  return false;
}
