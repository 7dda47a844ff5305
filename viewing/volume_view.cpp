// Opening a volume into the first view, and the ramp both views share.
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QPushButton>
#include <QStatusBar>

#include <vtkAlgorithm.h>
#include <vtkColorTransferFunction.h>
#include <vtkPiecewiseFunction.h>
#include <vtkRenderer.h>
#include <vtkSmartVolumeMapper.h>
#include <vtkVolumeProperty.h>

#include <algorithm>
#include <iostream>
#include <new>

#include "ui_voluna.h"
#include "value_mapping.h"
#include "view_props.h"
#include "volume_io.h"
#include "voluna.h"

void Voluna::openFile() {
  // "Öffnen..." is disabled during a filter run, which reads volumeData.
  if (filterRunning()) return;
  std::cout << "Open file" << std::endl;
  const QString fileName = fileDialog(this, tr("Please select Header Data"));
  if (fileName.isEmpty()) return;
  openVolumeFile(fileName);
}

bool Voluna::openVolumeFile(const QString& fileName) {
  if (filterRunning()) {
    statusBar()->showMessage(tr("%1 was not opened: wait for the filter run to end, or cancel it.").arg(fileName));
    return false;
  }
  // Everything that can fail happens before the first member changes, so a
  // bad file leaves both views, volumeData and "Filter" as they were.
  voluna::LoadOptions options;
  if (voluna::isSeriesCollection(fileName.toStdString())) {
    const voluna::SeriesListing listing = voluna::listSeries(fileName.toStdString());
    if (!listing.ok()) {
      showError(tr("The volume could not be opened:\n%1\n\nThe window still shows what it showed before.")
                    .arg(QString::fromStdString(listing.error)));
      return false;
    }
    if (listing.series.size() > 1) {
      const QString uid = seriesChooser(this, listing.series);
      if (uid.isEmpty()) {
        statusBar()->showMessage(tr("%1 was not opened: no series was chosen.").arg(fileName));
        return false;
      }
      options.series = uid.toStdString();
    } else {
      options.series = listing.series.front().uid;
    }
  }
  const voluna::LoadResult loaded = voluna::loadVolume(fileName.toStdString(), options);
  if (!loaded.ok()) {
    showError(tr("The volume could not be opened:\n%1\n\nThe window still shows what it showed before. "
                 "Choose a volume: NIfTI (.nii, .nii.gz), NRRD (.nrrd, .nhdr), MetaImage (.mha, .mhd), "
                 "TIFF (.tif), a file of a DICOM series, a DICOMDIR or a folder of DICOM series.")
                  .arg(QString::fromStdString(loaded.error)));
    return false;
  }
  const voluna::Volume& loadedVolume = loaded.volume;
  // The filter works on the unit scale, the views on bytes; unsigned bytes
  // are both as they always were.
  const voluna::ValueRange range = voluna::unitRangeOf(loadedVolume);
  std::vector<float> unitFloats;
  vtkSmartPointer<vtkVolume> newVolume;
  try {
    unitFloats.resize(static_cast<size_t>(loadedVolume.dims.count()));
    voluna::mapToUnit(loadedVolume.data.data(), loadedVolume.type, loadedVolume.dims.count(), range,
                      unitFloats.data());
    const std::vector<uint8_t> shown = voluna::displayBytes(loadedVolume, range);
    newVolume = createVolume(byteImageSource(shown.data(), loadedVolume.dims, loadedVolume.geometry.spacing,
                                             loadedVolume.geometry.origin));
  } catch (const std::bad_alloc&) {
    showError(tr("There is not enough memory to open %1 (%2 x %3 x %4 voxels).\n\n"
                 "The window still shows what it showed before. Close other programs or choose a smaller volume.")
                  .arg(fileName)
                  .arg(loadedVolume.dims.x)
                  .arg(loadedVolume.dims.y)
                  .arg(loadedVolume.dims.z));
    return false;
  }

  takeVolumeOut(renderer1());
  takeVolumeOut(renderer2());
  volume = newVolume;
  updateTransferFunction();
  renderer1()->AddVolume(volume);
  dimensions = loadedVolume.dims;
  showNewInput();
  renderWindow1->Render();
  volumeData = std::move(unitFloats);
  ui->filterBtn->setEnabled(true);

  const QString name = QFileInfo(fileName).fileName();
  setWindowTitle(tr("%1 - Voluna").arg(name));
  inputType = loadedVolume.type;
  inputRange = range;
  inputGeometry = loadedVolume.geometry;
  resultData = std::vector<float>();
  ui->action_speichern->setEnabled(false);
  // The range the voxels span (for bytes too, not the 0 to 255 they map from).
  const voluna::ValueRange values =
      loadedVolume.type == voluna::ScalarType::UInt8 ? voluna::findValueRange(loadedVolume.data.data(), loadedVolume.type,
                                                                              loadedVolume.dims.count())
                                                     : range;
  QString status = tr("%1: %2 x %3 x %4 voxels, values %5 to %6")
                       .arg(name)
                       .arg(dimensions.x)
                       .arg(dimensions.y)
                       .arg(dimensions.z)
                       .arg(QString::fromStdString(voluna::formatValue(values.min)))
                       .arg(QString::fromStdString(voluna::formatValue(values.max)));
  if (loadedVolume.type != voluna::ScalarType::UInt8) {
    status += tr("; %1, shown in 8 bits, filtered at full precision").arg(voluna::scalarName(loadedVolume.type));
  }
  if (!loaded.notice.empty()) status += "; " + QString::fromStdString(loaded.notice);
  statusBar()->showMessage(status);
  return true;
}

vtkSmartPointer<vtkVolume> Voluna::createVolume(vtkSmartPointer<vtkAlgorithm> source) {
  auto result = vtkSmartPointer<vtkVolume>::New();
  auto mapper = vtkSmartPointer<vtkSmartVolumeMapper>::New();
  mapper->SetInputConnection(source->GetOutputPort(0));
  auto property = vtkSmartPointer<vtkVolumeProperty>::New();
  property->SetIndependentComponents(1);
  property->SetInterpolationTypeToLinear();
  result->SetProperty(property);
  result->SetMapper(mapper);
  rampWindow = ui->windowSpinner->value();
  rampLevel = ui->levelSpinner->value();
  mapper->SetBlendModeToComposite();
  property->ShadeOff(0);
  return result;
}

void Voluna::updateTransferFunction() {
  auto colour = vtkSmartPointer<vtkColorTransferFunction>::New();
  auto opacity = vtkSmartPointer<vtkPiecewiseFunction>::New();
  if (volume) {
    volume->GetProperty()->SetColor(0, colour);
    volume->GetProperty()->SetScalarOpacity(0, opacity);
  }
  if (filteredVolume) {
    filteredVolume->GetProperty()->SetColor(0, colour);
    filteredVolume->GetProperty()->SetScalarOpacity(0, opacity);
  }
  const double low = rampLevel - 0.5 * rampWindow;
  const double high = rampLevel + 0.5 * rampWindow;
  colour->AddRGBSegment(low, 0.0, 0.0, 0.0, high, 1.0, 1.0, 1.0);
  opacity->AddSegment(low, 0.0, high, 1.0);
  applyRampToSlices(colour);
}

void Voluna::setLevel() {
  rampLevel = ui->levelSpinner->value();
  updateTransferFunction();
  renderWindow1->Render();
  renderWindow2->Render();
}

void Voluna::setWindow() {
  rampWindow = ui->windowSpinner->value();
  updateTransferFunction();
  renderWindow1->Render();
  renderWindow2->Render();
}
