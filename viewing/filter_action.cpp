// "Filter": runs the filter on the loaded volume, saves the result as
// "Output.raw" and shows it in the second view.
#include <QDir>
#include <QPushButton>
#include <QSpinBox>

#include <vtkRenderer.h>

#include <new>

#include "byte_conversion.h"
#include "ui_voluna.h"
#include "view_props.h"
#include "volume_io.h"
#include "voluna.h"

namespace {

const char* const kOutputFile = "Output.raw";

}  // namespace

void Voluna::filterVolume() {
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
  finishFilter(runFilterJob(job, nullptr));
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

Voluna::FilterRun Voluna::runFilterJob(const FilterJob& job, const voluna::RunControl* control) const {
  FilterRun run;
  run.dims = job.dims;
  try {
    run.output.assign(static_cast<size_t>(job.dims.count()), 0.0f);
  } catch (const std::bad_alloc&) {
    run.outcome.status = voluna::FilterOutcome::Status::InvalidInput;
    run.outcome.message = "there is not enough memory for the result of " + std::to_string(job.dims.count()) +
                          " voxels; close other programs and try again";
    return run;
  }
  voluna::FilterOptions options;
  options.control = control;
  run.outcome = filterBackend(job.input, job.dims, job.params, run.output.data(), options);
  return run;
}

void Voluna::finishFilter(FilterRun run) {
  if (run.outcome.status == voluna::FilterOutcome::Status::Cancelled) return;
  if (!run.outcome.ok()) {
    showError(tr("The filter did not finish: %1.\n\n\"Output.raw\" and the second view are unchanged.")
                  .arg(QString::fromStdString(run.outcome.message)));
    return;
  }

  std::vector<uint8_t> bytes;
  vtkSmartPointer<vtkVolume> result;
  try {
    bytes = voluna::unitFloatsToBytes(run.output.data(), run.dims.count());
    run.output = std::vector<float>();
    // The result is drawn with unit spacing whatever the loaded volume's,
    // as "Output.raw" carries no spacing either.
    const double unitSpacing[3] = {1.0, 1.0, 1.0};
    const double zeroOrigin[3] = {0.0, 0.0, 0.0};
    result = createVolume(byteImageSource(bytes.data(), run.dims, unitSpacing, zeroOrigin));
  } catch (const std::bad_alloc&) {
    showError(tr("There is not enough memory to show the result of the filter.\n\n"
                 "\"Output.raw\" and the second view are unchanged. Close other programs and press \"Filter\" "
                 "again."));
    return;
  }
  const std::string writeProblem = voluna::writeResult(kOutputFile, bytes.data(), run.dims);
  filteredVolume = result;
  updateTransferFunction();
  takeVolumeOut(renderer2());
  renderer2()->AddVolume(filteredVolume);
  renderer2()->ResetCamera();
  renderWindow2->Render();

  if (!writeProblem.empty()) {
    showError(tr("The result is shown, but it could not be saved:\n%1\n\n"
                 "Make sure the working folder %2 is writable and \"Output.raw\" there is not a folder, "
                 "then press \"Filter\" again.")
                  .arg(QString::fromStdString(writeProblem), QDir::currentPath()));
  }
}
