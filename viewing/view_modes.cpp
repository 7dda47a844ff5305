// Linked views and slices: both views look through one camera, and both
// switch together between the 3D rendering and the same 2D slice of the
// input and of the result.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>

#include <vtkAbstractVolumeMapper.h>
#include <vtkCamera.h>
#include <vtkImageData.h>
#include <vtkRenderer.h>
#include <vtkVolume.h>
#include <vtkVolumeCollection.h>

#include <cmath>

#include "ui_view_controls.h"
#include "ui_voluna.h"
#include "voluna.h"

namespace {

// The axis each entry of "View:" slices across; -1 for the 3D rendering.
int axisOf(int entry) {
  switch (entry) {
    case Ui_ViewControls::Axial:
      return kAxial;
    case Ui_ViewControls::Coronal:
      return kCoronal;
    case Ui_ViewControls::Sagittal:
      return kSagittal;
    default:
      return -1;
  }
}

bool showsVolume(vtkRenderer* renderer, vtkVolume* prop) {
  return prop && renderer->GetVolumes()->IsItemPresent(prop);
}

}  // namespace

void Voluna::setUpViewModes() {
  viewControls = new Ui_ViewControls;
  viewControls->setupUi(*ui);
  // What does not steer the denoiser is greyed out while it is chosen.
  connect(viewControls->denoiseCheckBox, &QCheckBox::toggled, this, [this](bool denoise) {
    for (QWidget* each : {static_cast<QWidget*>(ui->sampleSpinBox), static_cast<QWidget*>(ui->anglesSpinBox),
                          static_cast<QWidget*>(ui->integrationStepsSpinBox),
                          static_cast<QWidget*>(viewControls->preserveEdgesCheckBox)}) {
      each->setEnabled(!denoise);
    }
  });

  linkedCameras = std::make_unique<LinkedCameras>(renderWindow1, renderWindow2);
  volumeCamera = vtkSmartPointer<vtkCamera>::New();
  volumeCamera->DeepCopy(linkedCameras->camera());
  inputSlice = std::make_unique<SliceView>(renderer1());
  resultSlice = std::make_unique<SliceView>(renderer2());
  vtkRenderer* renderers[2] = {renderer1(), renderer2()};
  for (int view = 0; view < 2; ++view) {
    volumeStyles[view] = vtkSmartPointer<VolumeInteractorStyle>::New();
    sliceStyles[view] = vtkSmartPointer<SliceInteractorStyle>::New();
    sliceStyles[view]->onStep = [this](int steps) { stepSlice(steps); };
    sliceStyles[view]->onHover = [this, renderer = renderers[view]](int x, int y) { showVoxelAt(renderer, x, y); };
    linkedCameras->setStyle(view, volumeStyles[view]);
  }

  voxelLabel = new QLabel(this);
  voxelLabel->setObjectName(QString::fromUtf8("voxelLabel"));
  statusBar()->addPermanentWidget(voxelLabel);

  QSlider* slider = viewControls->sliceSlider;
  QSpinBox* box = viewControls->sliceSpinBox;
  connect(viewControls->viewComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
          &Voluna::setViewMode);
  connect(slider, &QSlider::valueChanged, box, &QSpinBox::setValue);
  connect(box, QOverload<int>::of(&QSpinBox::valueChanged), slider, &QSlider::setValue);
  connect(slider, &QSlider::valueChanged, this, &Voluna::setSliceIndex);
}

void Voluna::setViewMode(int entry) { applyViewMode(axisOf(entry), false); }

void Voluna::applyViewMode(int axis, bool newVolume) {
  const int previous = currentSliceAxis;
  if (axis == previous && !newVolume) return;
  vtkCamera* camera = linkedCameras->camera();
  if (previous < 0 && axis >= 0) volumeCamera->DeepCopy(camera);
  currentSliceAxis = axis;
  voxelLabel->clear();
  for (int view = 0; view < 2; ++view) {
    linkedCameras->setStyle(view, axis < 0 ? static_cast<vtkInteractorStyle*>(volumeStyles[view])
                                           : static_cast<vtkInteractorStyle*>(sliceStyles[view]));
  }
  if (volume) volume->SetVisibility(axis < 0);
  if (filteredVolume) filteredVolume->SetVisibility(axis < 0);

  QSlider* slider = viewControls->sliceSlider;
  vtkImageData* input = inputSlice->image();
  const bool slicing = axis >= 0 && input;
  viewControls->sliceSlider->setEnabled(slicing);
  viewControls->sliceSpinBox->setEnabled(slicing);
  if (!slicing) {
    inputSlice->show(-1, 0);
    resultSlice->show(-1, 0);
    if (axis < 0 && previous >= 0) {
      // Back to where the 3D views looked from before the slices.
      camera->DeepCopy(volumeCamera);
      if (volumeCameraStale) {
        renderer1()->ResetCamera();
      } else {
        renderer1()->ResetCameraClippingRange();
      }
      volumeCameraStale = false;
    }
    renderWindow1->Render();
    renderWindow2->Render();
    return;
  }
  // A new orientation starts at its middle slice.
  const int count = input->GetDimensions()[axis];
  {
    const QSignalBlocker blockSlider(slider);
    const QSignalBlocker blockBox(viewControls->sliceSpinBox);
    slider->setRange(0, count - 1);
    viewControls->sliceSpinBox->setRange(0, count - 1);
    slider->setValue(count / 2);
    viewControls->sliceSpinBox->setValue(count / 2);
  }
  inputSlice->show(axis, count / 2);
  resultSlice->show(axis, count / 2);
  aimAtSlices(camera, axis, input->GetBounds());
  renderer1()->ResetCamera();
  fitSlices(camera, axis, input->GetBounds(), renderer1()->GetTiledAspectRatio());
  // Opening renders the first view itself.
  if (!newVolume) renderWindow1->Render();
  renderer2()->ResetCameraClippingRange();
  renderWindow2->Render();
}

void Voluna::setSliceIndex(int index) {
  if (currentSliceAxis < 0) return;
  inputSlice->show(currentSliceAxis, index);
  resultSlice->show(currentSliceAxis, index);
  renderer1()->ResetCameraClippingRange();
  renderWindow1->Render();
  renderer2()->ResetCameraClippingRange();
  renderWindow2->Render();
}

void Voluna::stepSlice(int steps) {
  QSlider* slider = viewControls->sliceSlider;
  if (slider->isEnabled()) slider->setValue(slider->value() + steps);
}

void Voluna::showNewInput() {
  inputSlice->setSource(volume ? volume->GetMapper()->GetInputAlgorithm() : nullptr);
  // The result of another volume is no longer shown (openFile takes it out).
  resultSlice->setSource(nullptr);
  voxelLabel->clear();
  if (currentSliceAxis < 0) {
    renderer1()->ResetCamera();
    return;
  }
  // The new volume's middle slice in the orientation chosen; renders the
  // first view only, as opening in 3D does.
  volumeCameraStale = true;
  applyViewMode(currentSliceAxis, true);
}

void Voluna::showNewResult() {
  resultSlice->setSource(showsVolume(renderer2(), filteredVolume) ? filteredVolume->GetMapper()->GetInputAlgorithm()
                                                                   : nullptr);
  if (filteredVolume) filteredVolume->SetVisibility(currentSliceAxis < 0);
  if (currentSliceAxis >= 0) resultSlice->show(currentSliceAxis, viewControls->sliceSlider->value());
  renderer2()->ResetCameraClippingRange();
}

void Voluna::applyRampToSlices(vtkScalarsToColors* colours) {
  inputSlice->setColours(colours);
  resultSlice->setColours(colours);
}

void Voluna::showVoxelAt(vtkRenderer* renderer, int x, int y) {
  vtkImageData* input = inputSlice->image();
  if (x < 0 || currentSliceAxis < 0 || !input) {
    voxelLabel->clear();
    return;
  }
  // Parallel projection straight down the axis: any depth gives the point
  // in the slice's plane.
  renderer->SetDisplayPoint(x, y, 0.0);
  renderer->DisplayToWorld();
  double world[4];
  renderer->GetWorldPoint(world);
  if (world[3] != 0.0) {
    for (int i = 0; i < 3; ++i) world[i] /= world[3];
  }
  double spacing[3];
  double origin[3];
  int extent[6];
  input->GetSpacing(spacing);
  input->GetOrigin(origin);
  input->GetExtent(extent);
  int index[3];
  for (int i = 0; i < 3; ++i) {
    index[i] = i == currentSliceAxis ? viewControls->sliceSlider->value()
                                     : static_cast<int>(std::lround((world[i] - origin[i]) / spacing[i]));
    if (index[i] < extent[2 * i] || index[i] > extent[2 * i + 1]) {
      voxelLabel->clear();
      return;
    }
  }
  const int inputValue = static_cast<int>(input->GetScalarComponentAsDouble(index[0], index[1], index[2], 0));
  QString text = tr("Voxel (%1, %2, %3): input %4").arg(index[0]).arg(index[1]).arg(index[2]).arg(inputValue);
  vtkImageData* result = resultSlice->image();
  if (result) {
    text += tr(", result %1").arg(static_cast<int>(result->GetScalarComponentAsDouble(index[0], index[1], index[2], 0)));
  } else {
    text += tr(", no result yet");
  }
  voxelLabel->setText(text);
}
