// The main window: two volume views, the ramp controls and the filter action.
#pragma once

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkSmartPointer.h>
#include <vtkVolume.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dims.h"
#include "filter.h"
#include "filter_params.h"
#include "filter_progress.h"
#include "run_control.h"

class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QMimeData;
class QProgressDialog;
class Ui_Voluna;
class vtkAlgorithm;
class vtkRenderer;

class Voluna : public QMainWindow {
  Q_OBJECT

 public:
  // Where a person acts, a test can stand in: the open dialog returns the
  // chosen file name (empty when cancelled), and the filter backend does
  // what voluna::runFilter does.
  using FileDialog = std::function<QString(QWidget* parent, const QString& caption)>;
  using FilterBackend =
      std::function<voluna::FilterOutcome(const float* volume, voluna::Dims dims, const voluna::FilterParams& params,
                                          float* out, const voluna::FilterOptions& options)>;

  Voluna();
  ~Voluna() override;

  void setFileDialog(FileDialog dialog);
  void setFilterBackend(FilterBackend backend);

  // Opens a volume as if it had been chosen in the dialog (for "voluna FILE"
  // and dropped files). Returns false, having said why, when it cannot.
  bool openVolumeFile(const QString& fileName);

 public slots:
  virtual void slotExit();
  virtual void Render();
  virtual void openFile();
  virtual void filterVolume();
  virtual void setLevel();
  virtual void setWindow();

 private:
  // What one filter run needs; read on the GUI thread when "Filter" is pressed.
  struct FilterJob {
    const float* input = nullptr;  // volumeData, which must not change during the run
    voluna::Dims dims;
    voluna::FilterParams params;
    voluna::Backend backend = voluna::Backend::Auto;
  };
  // What a finished run hands back to the GUI thread.
  struct FilterRun {
    FilterJob job;  // what ran, to run it again on the CPU after a GPU failure
    voluna::FilterOutcome outcome;
    voluna::Dims dims;
    std::vector<float> output;
  };
  // Written by the filter's progress callback, read by the GUI's timer: the
  // stage's index times two plus its fraction, in one atomic so the two
  // never tear.
  struct ProgressState {
    std::atomic<double> position{0.0};
  };

 protected:
  // A run in progress is cancelled and waited for, so nothing outlives the window.
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  vtkSmartPointer<vtkVolume> createVolume(vtkSmartPointer<vtkAlgorithm> source);
  void updateTransferFunction();

  FilterJob prepareFilterJob() const;
  // Starts the run on a worker thread; finishFilter takes it back.
  void startFilter(const FilterJob& job);
  // Touches no widget and no member but the backend: safe on any thread.
  FilterRun runFilterJob(const FilterJob& job, const voluna::RunControl* control) const;
  void finishFilter(FilterRun run);
  void showProgress();
  void cancelFilter();
  void stopFilterAndWait();
  bool filterRunning() const { return runControl != nullptr; }
  // The single local .mhd or .mha file a drag carries, or empty.
  static QString droppedVolume(const QMimeData* data);

  vtkRenderer* renderer1() const;
  vtkRenderer* renderer2() const;
  void showError(const QString& text);

  vtkSmartPointer<vtkGenericOpenGLRenderWindow> renderWindow1;
  vtkSmartPointer<vtkGenericOpenGLRenderWindow> renderWindow2;
  vtkSmartPointer<vtkVolume> volume;
  vtkSmartPointer<vtkVolume> filteredVolume;
  std::vector<float> volumeData;
  voluna::Dims dimensions;
  double rampLevel = 0.0;
  double rampWindow = 0.0;
  Ui_Voluna* ui = nullptr;

  FileDialog fileDialog;
  FilterBackend filterBackend;

  // The run in progress, if any.
  std::unique_ptr<voluna::RunControl> runControl;
  std::shared_ptr<ProgressState> progressState;
  std::unique_ptr<FilterProgress> progressModel;
  QFutureWatcher<std::shared_ptr<FilterRun>> filterWatcher;
  QProgressDialog* progressDialog = nullptr;
  QTimer progressTimer;
  QElapsedTimer runClock;

  friend class VolunaProbe;  // lets the window's tests look at its state
};
