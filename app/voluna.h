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
#include "value_mapping.h"
#include "volume.h"

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
  // The save dialog: returns the chosen file name, empty when cancelled.
  using SaveDialog = std::function<QString(QWidget* parent, const QString& caption)>;
  using FilterBackend =
      std::function<voluna::FilterOutcome(const float* volume, voluna::Dims dims, const voluna::FilterParams& params,
                                          float* out, const voluna::FilterOptions& options)>;

  Voluna();
  ~Voluna() override;

  void setFileDialog(FileDialog dialog);
  void setSaveDialog(SaveDialog dialog);
  void setFilterBackend(FilterBackend backend);

  // Opens a volume as if it had been chosen in the dialog (for "voluna FILE"
  // and dropped files). Returns false, having said why, when it cannot.
  bool openVolumeFile(const QString& fileName);

 public slots:
  virtual void slotExit();
  virtual void Render();
  virtual void openFile();
  // "Speichern unter...": the current result in the input's type and range,
  // with its geometry, in the format the chosen name's extension picks.
  virtual void saveResultAs();
  virtual void filterVolume();
  virtual void setLevel();
  virtual void setWindow();

 private:
  // What one filter run needs; read on the GUI thread when "Filter" is pressed.
  struct FilterJob {
    const float* input = nullptr;  // volumeData, which must not change during the run
    voluna::Dims dims;
    voluna::FilterParams params;
  };
  // What a finished run hands back to the GUI thread.
  struct FilterRun {
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
  // The single local volume file (of a format "Öffnen..." reads) a drag carries, or empty.
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
  // What the loaded volume was, so that a result can be saved as it.
  voluna::ScalarType inputType = voluna::ScalarType::UInt8;
  voluna::ValueRange inputRange;
  voluna::Geometry inputGeometry;
  std::vector<float> resultData;  // the last result on the unit scale; empty until one exists
  double rampLevel = 0.0;
  double rampWindow = 0.0;
  Ui_Voluna* ui = nullptr;

  FileDialog fileDialog;
  SaveDialog saveDialog;
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
