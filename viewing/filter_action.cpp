// "Filter": runs the filter on the loaded volume off the GUI thread, saves
// the result as "Output.raw" and shows it in the second view.
#include <QAction>
#include <QDir>
#include <QProgressDialog>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QtConcurrent/QtConcurrentRun>

#include <vtkRenderer.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>

#include "byte_conversion.h"
#include "ui_voluna.h"
#include "view_props.h"
#include "volume_io.h"
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
  job.input = volumeData.data();
  job.dims = dimensions;
  return job;
}

void Voluna::startFilter(const FilterJob& job) {
  progressState = std::make_shared<ProgressState>();
  progressModel = std::make_unique<FilterProgress>(job.params);
  // The callback runs on the filter's thread and only stores; the GUI's
  // timer reads.
  runControl = std::make_unique<voluna::RunControl>(
      [state = progressState](voluna::Stage stage, double fraction) {
        // Two units per stage, so that a finished first stage (fraction 1)
        // still reads as that stage and not as the second one at 0 %.
        state->position.store(2.0 * static_cast<int>(stage) + std::clamp(fraction, 0.0, 1.0));
      });
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
  const voluna::RunControl* control = runControl.get();
  filterWatcher.setFuture(
      QtConcurrent::run([this, job, control] { return std::make_shared<FilterRun>(runFilterJob(job, control)); }));
}

Voluna::FilterRun Voluna::runFilterJob(const FilterJob& job, const voluna::RunControl* control) const {
  FilterRun run;
  run.dims = job.dims;
  // An exception must not cross back to the GUI thread: the window says
  // what went wrong and stays as it was.
  try {
    run.output.assign(static_cast<size_t>(job.dims.count()), 0.0f);
    voluna::FilterOptions options;
    options.control = control;
    run.outcome = filterBackend(job.input, job.dims, job.params, run.output.data(), options);
  } catch (const std::bad_alloc&) {
    run.outcome.status = voluna::FilterOutcome::Status::InvalidInput;
    run.outcome.message = "there is not enough memory to filter " + std::to_string(job.dims.count()) +
                          " voxels; close other programs and try again";
  } catch (const std::exception& error) {
    run.outcome.status = voluna::FilterOutcome::Status::InvalidInput;
    run.outcome.message = error.what();
  }
  return run;
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
  runControl->cancel();
  statusBar()->showMessage(tr("Cancelling the filter run..."));
}

void Voluna::stopFilterAndWait() {
  if (!filterRunning()) return;
  runControl->cancel();
  filterWatcher.waitForFinished();
  finishFilter(std::move(*filterWatcher.result()));
}

void Voluna::finishFilter(FilterRun run) {
  // A run that Cancel was pressed for changes nothing, even when the filter
  // had already done its last voxel.
  const bool cancelled =
      run.outcome.status == voluna::FilterOutcome::Status::Cancelled || (runControl && runControl->cancelled());
  if (!cancelled && run.outcome.ok()) showProgress();
  const double seconds = runClock.elapsed() / 1000.0;
  progressTimer.stop();
  if (progressDialog) {
    progressDialog->hide();
    progressDialog->deleteLater();
    progressDialog = nullptr;
  }
  runControl.reset();
  progressState.reset();
  progressModel.reset();
  ui->filterBtn->setEnabled(true);
  ui->action_oeffnen->setEnabled(true);

  if (cancelled) {
    statusBar()->showMessage(tr("The filter run was cancelled; \"Output.raw\" and the second view are unchanged."));
    return;
  }
  if (!run.outcome.ok()) {
    statusBar()->clearMessage();
    showError(tr("The filter did not finish: %1.\n\n\"Output.raw\" and the second view are unchanged.")
                  .arg(QString::fromStdString(run.outcome.message)));
    return;
  }

  std::vector<uint8_t> bytes;
  vtkSmartPointer<vtkVolume> result;
  try {
    bytes = voluna::unitFloatsToBytes(run.output.data(), run.dims.count());
    // The result is drawn with unit spacing whatever the loaded volume's,
    // as "Output.raw" carries no spacing either.
    const double unitSpacing[3] = {1.0, 1.0, 1.0};
    const double zeroOrigin[3] = {0.0, 0.0, 0.0};
    result = createVolume(byteImageSource(bytes.data(), run.dims, unitSpacing, zeroOrigin));
  } catch (const std::bad_alloc&) {
    statusBar()->clearMessage();
    showError(tr("There is not enough memory to show the result of the filter.\n\n"
                 "\"Output.raw\" and the second view are unchanged. Close other programs and press \"Filter\" "
                 "again."));
    return;
  }
  const std::string writeProblem = voluna::writeResult(kOutputFile, bytes.data(), run.dims);
  filteredVolume = result;
  // Kept on the unit scale for "Speichern unter...", which saves it in the input's type.
  resultData = std::move(run.output);
  ui->action_speichern->setEnabled(true);
  updateTransferFunction();
  takeVolumeOut(renderer2());
  renderer2()->AddVolume(filteredVolume);
  renderer2()->ResetCamera();
  renderWindow2->Render();

  const QString took = tr("Filtered on %1 in %2 s")
                           .arg(QString::fromStdString(run.outcome.backend))
                           .arg(seconds, 0, 'f', seconds < 10 ? 1 : 0);
  if (writeProblem.empty()) {
    statusBar()->showMessage(took + tr("; saved as %1").arg(QDir::current().filePath(kOutputFile)));
    return;
  }
  statusBar()->showMessage(took + tr("; not saved"));
  showError(tr("The result is shown, but it could not be saved:\n%1\n\n"
               "Make sure the working folder %2 is writable and \"Output.raw\" there is not a folder, "
               "then press \"Filter\" again.")
                .arg(QString::fromStdString(writeProblem), QDir::currentPath()));
}
