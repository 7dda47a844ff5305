// "Filter": runs the filter on the loaded volume off the GUI thread, saves
// the result as "Output.raw" and shows it in the second view.
#include <QAction>
#include <QDir>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QtConcurrent/QtConcurrentRun>

#include <vtkImageData.h>
#include <vtkRenderer.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>

#include "ui_view_controls.h"
#include "ui_voluna.h"
#include "view_props.h"
#include "voluna.h"

namespace {

const char* const kOutputFile = "Output.raw";
constexpr int kProgressSteps = 1000;

}  // namespace

void Voluna::filterVolume() {
  // One run at a time: "Filter" is disabled during a run, but the slot can
  // still be invoked by name.
  if (filterRunning()) return;
  const FilterJob job = prepareFilterJob();
  // The form admits values the filter cannot run, an angle step of 0 above
  // all; say so instead of starting.
  const std::string problem = voluna::checkParams(job.params);
  if (!problem.empty()) {
    const QString hint = job.params.angleStep < 1
                             ? tr("Set \"Angle Sample Rate (Degrees):\" to 1 or more and press \"Filter\" again.")
                             : tr("Change the filter parameters and press \"Filter\" again.");
    showError(tr("The filter did not run: %1.\n\n%2").arg(QString::fromStdString(problem), hint));
    return;
  }
  startFilter(job);
}

Voluna::FilterJob Voluna::prepareFilterJob() const {
  FilterJob job;
  job.params.samples = ui->sampleSpinBox->value();
  job.params.angleStep = ui->anglesSpinBox->value();
  job.params.integrationSteps = ui->integrationStepsSpinBox->value();
  job.params.preserveEdges = viewControls->preserveEdgesCheckBox->isChecked();
  job.params.denoise = viewControls->denoiseCheckBox->isChecked();
  return job;
}

voluna::RunRequest Voluna::filterRequest(const FilterJob& job) const {
  voluna::RunRequest request;
  request.input =
      voluna::RunInput::unitScale(volumeData.data(), dimensions, inputType, inputRange, inputGeometry);
  request.params = job.params;
  request.backend = job.backend;
  // A person decides whether the CPU should take over.
  request.fallback = voluna::GpuFallback::Ask;
  request.outputPath = kOutputFile;
  request.keepResult = true;
  // Kept on the unit scale for "Speichern unter...", which saves it in the input's type.
  request.keepUnitResult = true;
  request.engine = [backend = filterBackend](const voluna::FilterCall& call) {
    // The denoiser measures its noise and takes the volume's spacing first.
    if (call.params.denoise) return voluna::callFilter(call);
    const voluna::Dims dims{static_cast<int>(call.whole.x), static_cast<int>(call.whole.y),
                            static_cast<int>(call.whole.z)};
    return backend(call.input, dims, call.params, call.out, call.options);
  };
  // The callback runs on the filter's thread and only stores; the GUI's
  // timer reads.
  request.progress = [state = progressState](voluna::Stage stage, double fraction) {
    // Two units per stage, so that a finished first stage (fraction 1)
    // still reads as that stage and not as the second one at 0 %.
    state->position.store(2.0 * static_cast<int>(stage) + std::clamp(fraction, 0.0, 1.0));
  };
  return request;
}

void Voluna::startFilter(const FilterJob& job) {
  progressState = std::make_shared<ProgressState>();
  progressModel = std::make_unique<FilterProgress>(job.params);
  filterRun = std::make_shared<voluna::PipelineRun>(filterRequest(job));
  // Neither a second run nor a new volume while this one reads volumeData.
  ui->filterBtn->setEnabled(false);
  ui->action_oeffnen->setEnabled(false);

  progressDialog = new QProgressDialog(FilterProgress::stageName(voluna::Stage::VectorField), tr("Cancel"), 0,
                                       kProgressSteps, this);
  progressDialog->setWindowTitle(tr("Filter"));
  progressDialog->setWindowModality(Qt::NonModal);
  progressDialog->setAutoClose(false);
  progressDialog->setAutoReset(false);
  progressDialog->setMinimumDuration(0);
  progressDialog->setValue(0);
  connect(progressDialog, &QProgressDialog::canceled, this, &Voluna::cancelFilter);
  progressDialog->show();
  statusBar()->showMessage(tr("Filtering..."));

  runClock.start();
  progressTimer.start();
  filterWatcher.setFuture(QtConcurrent::run([run = filterRun, job] {
    auto finished = std::make_shared<FilterRun>();
    finished->job = job;
    // An exception must not cross back to the GUI thread: the window says
    // what went wrong and stays as it was.
    try {
      finished->outcome = run->run();
    } catch (const std::exception& error) {
      finished->outcome.status = voluna::RunOutcome::Status::Failed;
      finished->outcome.message = error.what();
    }
    return finished;
  }));
}

void Voluna::showProgress() {
  if (!progressDialog || !progressState) return;
  const double position = progressState->position.load();
  const auto stage = position < 2.0 ? voluna::Stage::VectorField : voluna::Stage::Integration;
  const double stageFraction = position < 2.0 ? position : position - 2.0;
  const double overall = progressModel->overall(stage, stageFraction);
  // The bar never goes back, even if the estimate of the stages' shares is off.
  const int value = std::max(progressDialog->value(), static_cast<int>(std::floor(overall * kProgressSteps)));
  progressDialog->setValue(value);
  QString text = FilterProgress::stageName(stage) + "\n" +
                 tr("%1 % of the voxels done").arg(static_cast<int>(std::floor(stageFraction * 100.0)));
  const QString left = FilterProgress::timeLeft(runClock.elapsed() / 1000.0, overall);
  if (!left.isEmpty()) text += ", " + left;
  progressDialog->setLabelText(text);
}

void Voluna::cancelFilter() {
  if (!filterRunning()) return;
  filterRun->cancel();
  statusBar()->showMessage(tr("Cancelling the filter run..."));
}

void Voluna::stopFilterAndWait() {
  if (!filterRunning()) return;
  filterRun->cancel();
  filterWatcher.waitForFinished();
  // The window is going: whatever the run ended with, there is no one to show it to.
  endFilterRun();
}

void Voluna::endFilterRun() {
  progressTimer.stop();
  if (progressDialog) {
    progressDialog->hide();
    progressDialog->deleteLater();
    progressDialog = nullptr;
  }
  filterRun.reset();
  progressState.reset();
  progressModel.reset();
  ui->filterBtn->setEnabled(true);
  ui->action_oeffnen->setEnabled(true);
}

void Voluna::finishFilter(FilterRun run) {
  using Status = voluna::RunOutcome::Status;
  const voluna::RunOutcome& outcome = run.outcome;
  // A run that Cancel was pressed for changes nothing, even when the filter
  // had already done its last voxel: the run then writes nothing.
  const bool cancelled = outcome.status == Status::Cancelled;
  const bool finished = outcome.ok() || outcome.status == Status::WriteFailed;
  if (finished) showProgress();
  const double seconds = runClock.elapsed() / 1000.0;
  endFilterRun();

  if (cancelled) {
    statusBar()->showMessage(tr("The filter run was cancelled; \"Output.raw\" and the second view are unchanged."));
    return;
  }
  if (outcome.status == Status::GpuFailed) {
    // The GPU gave up (out of memory, a driver fault): the session and the
    // loaded volume are intact, and the CPU gives the same picture.
    statusBar()->clearMessage();
    const auto answer = QMessageBox::question(
        this, tr("Voluna"),
        tr("The GPU could not filter the volume:\n%1\n\n\"Output.raw\" and the second view are unchanged. "
           "Filter the volume on the CPU instead?")
            .arg(QString::fromStdString(outcome.message)));
    if (answer == QMessageBox::Yes) {
      FilterJob onCpu = run.job;
      onCpu.backend = voluna::Backend::Cpu;
      startFilter(onCpu);
    }
    return;
  }
  if (!finished) {
    statusBar()->clearMessage();
    showError(tr("The filter did not finish: %1.\n\n\"Output.raw\" and the second view are unchanged.")
                  .arg(QString::fromStdString(outcome.message)));
    return;
  }

  vtkSmartPointer<vtkVolume> result;
  try {
    // The result lies where the input lies, so that both views, looking
    // through one camera, show the same voxels in the same place.
    double spacing[3] = {1.0, 1.0, 1.0};
    double origin[3] = {0.0, 0.0, 0.0};
    if (vtkImageData* input = inputSlice->image()) {
      input->GetSpacing(spacing);
      input->GetOrigin(origin);
    }
    result = createVolume(byteImageSource(outcome.result.data.data(), outcome.result.dims, spacing, origin));
  } catch (const std::bad_alloc&) {
    statusBar()->clearMessage();
    const QString saved = outcome.ok() ? tr("It was saved as \"Output.raw\"; the second view is unchanged.")
                                       : tr("\"Output.raw\" and the second view are unchanged.");
    showError(tr("There is not enough memory to show the result of the filter.\n\n%1 Close other programs and "
                 "press \"Filter\" again.")
                  .arg(saved));
    return;
  }
  filteredVolume = result;
  resultData = std::move(run.outcome.unit);
  ui->action_speichern->setEnabled(true);
  updateTransferFunction();
  takeVolumeOut(renderer2());
  renderer2()->AddVolume(filteredVolume);
  // The camera stays where the person put it: the result lies where the
  // input does, and both views look through one camera.
  showNewResult();
  renderWindow2->Render();

  QString took = tr("Filtered on %1 in %2 s with the %3")
                     .arg(QString::fromStdString(outcome.backend))
                     .arg(seconds, 0, 'f', seconds < 10 ? 1 : 0)
                     .arg(run.job.params.denoise         ? tr("denoiser")
                          : run.job.params.preserveEdges ? tr("edge-preserving score")
                                                         : tr("default score"));
  // The precision was said when the volume was opened.
  for (const voluna::Notice& notice : outcome.notices) {
    if (notice.kind != voluna::Notice::Kind::Precision) took += "; " + QString::fromStdString(notice.text);
  }
  if (outcome.ok()) {
    statusBar()->showMessage(took + tr("; saved as %1").arg(QDir::current().filePath(kOutputFile)));
    return;
  }
  statusBar()->showMessage(took + tr("; not saved"));
  showError(tr("The result is shown, but it could not be saved:\n%1\n\n"
               "Make sure the working folder %2 is writable and \"Output.raw\" there is not a folder, "
               "then press \"Filter\" again.")
                .arg(QString::fromStdString(outcome.message), QDir::currentPath()));
}
