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
#include "linked_cameras.h"
#include "run_pipeline.h"
#include "slice_view.h"
#include "value_mapping.h"
#include "volume.h"

class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QMimeData;
class QProgressDialog;
class Ui_ViewControls;
class Ui_Voluna;
class vtkAlgorithm;
class vtkCamera;
class vtkScalarsToColors;
class vtkRenderer;

class Voluna : public QMainWindow {
  Q_OBJECT

 public:
  // Where a person acts, a test can stand in: the open dialog returns the
  // chosen file name (empty when cancelled), and the filter backend does
  // what voluna::runFilter does (called on the run's thread).
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
  // What one filter run of the loaded volume needs besides it; read on the
  // GUI thread when "Filter" is pressed.
  struct FilterJob {
    voluna::FilterParams params;
    voluna::Backend backend = voluna::Backend::Auto;
  };
  // What a finished run hands back to the GUI thread.
  struct FilterRun {
    FilterJob job;  // what ran, to run it again on the CPU after a GPU failure
    voluna::RunOutcome outcome;
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
  // The run of the loaded volume (volumeData, which must not change until
  // it ends): "Output.raw" written, the result kept to show and to save.
  voluna::RunRequest filterRequest(const FilterJob& job) const;
  // Starts the run on a worker thread; finishFilter takes it back.
  void startFilter(const FilterJob& job);
  void finishFilter(FilterRun run);
  void showProgress();
  void cancelFilter();
  void stopFilterAndWait();
  // Progress dialog away, "Filter" and "Öffnen..." back.
  void endFilterRun();
  bool filterRunning() const { return filterRun != nullptr; }
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
  std::shared_ptr<voluna::PipelineRun> filterRun;
  std::shared_ptr<ProgressState> progressState;
  std::unique_ptr<FilterProgress> progressModel;
  QFutureWatcher<std::shared_ptr<FilterRun>> filterWatcher;
  QProgressDialog* progressDialog = nullptr;
  QTimer progressTimer;
  QElapsedTimer runClock;

  // Linked views and slices (viewing/view_modes.cpp).
  void setUpViewModes();
  void setViewMode(int entry);
  // Shows slices across `axis` (-1: the 3D rendering); after a new volume
  // the slice starts in the middle even when the axis stays.
  void applyViewMode(int axis, bool newVolume);
  void setSliceIndex(int index);
  void stepSlice(int steps);
  // The slices and the camera follow a newly opened volume or a new result.
  void showNewInput();
  void showNewResult();
  void applyRampToSlices(vtkScalarsToColors* colours);
  void showVoxelAt(vtkRenderer* renderer, int x, int y);
  // The axis the views slice across, or -1 while they show the 3D rendering.
  int sliceAxis() const { return currentSliceAxis; }

  Ui_ViewControls* viewControls = nullptr;
  vtkSmartPointer<VolumeInteractorStyle> volumeStyles[2];
  vtkSmartPointer<SliceInteractorStyle> sliceStyles[2];
  std::unique_ptr<LinkedCameras> linkedCameras;
  std::unique_ptr<SliceView> inputSlice;
  std::unique_ptr<SliceView> resultSlice;
  // Where the 3D views looked from before slices were chosen.
  vtkSmartPointer<vtkCamera> volumeCamera;
  int currentSliceAxis = -1;
  // Set when a volume was opened while slices were shown: coming back to 3D
  // then fits the camera to the new volume.
  bool volumeCameraStale = false;
  QLabel* voxelLabel = nullptr;

  friend class VolunaProbe;  // lets the window's tests look at its state
};
