// The main window: two volume views, the ramp controls and the filter action.
#pragma once

#include <QMainWindow>
#include <QString>

#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkSmartPointer.h>
#include <vtkVolume.h>

#include <functional>
#include <string>
#include <vector>

#include "dims.h"
#include "filter.h"
#include "filter_params.h"

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
  };
  // What a finished run hands back to the GUI thread.
  struct FilterRun {
    voluna::FilterOutcome outcome;
    voluna::Dims dims;
    std::vector<float> output;
  };

  vtkSmartPointer<vtkVolume> createVolume(vtkSmartPointer<vtkAlgorithm> source);
  void updateTransferFunction();

  // Reads the volume, and only when it is good replaces what the window shows.
  bool openVolumeFile(const QString& fileName);
  FilterJob prepareFilterJob() const;
  // Touches no widget and no member but the backend: safe on any thread.
  FilterRun runFilterJob(const FilterJob& job, const voluna::RunControl* control) const;
  void finishFilter(FilterRun run);

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

  friend class VolunaProbe;  // lets the window's tests look at its state
};
