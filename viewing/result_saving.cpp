// "Speichern unter...": the current result in the input's type and value
// range, with the input's geometry, in the format the name's extension picks.
#include <QAction>
#include <QStatusBar>

#include <new>

#include "ui_voluna.h"
#include "value_mapping.h"
#include "volume_io.h"
#include "voluna.h"

void Voluna::saveResultAs() {
  if (resultData.empty()) return;
  const QString fileName = saveDialog(this, tr("Save the result as (.nii, .nii.gz, .nrrd, .mha, .mhd, .tif, .raw)"));
  if (fileName.isEmpty()) return;
  voluna::OutputFormat format;
  std::string problem;
  if (!voluna::outputFormatFor(fileName.toStdString(), format, problem)) {
    showError(tr("The result was not saved: %1").arg(QString::fromStdString(problem)));
    return;
  }
  voluna::Volume result;
  result.dims = dimensions;
  result.type = inputType;
  result.geometry = inputGeometry;
  try {
    result.data.resize(static_cast<size_t>(dimensions.count()) * voluna::scalarSize(inputType));
  } catch (const std::bad_alloc&) {
    showError(tr("There is not enough memory to save the result. Close other programs and try again."));
    return;
  }
  voluna::mapFromUnit(resultData.data(), dimensions.count(), inputRange, inputType, result.data.data());
  problem = voluna::writeVolume(fileName.toStdString(), result);
  if (!problem.empty()) {
    showError(tr("The result could not be saved:\n%1\n\nAny earlier file of that name is unchanged.")
                  .arg(QString::fromStdString(problem)));
    return;
  }
  statusBar()->showMessage(tr("Result saved as %1 (%2)").arg(fileName, voluna::scalarName(inputType)));
}
