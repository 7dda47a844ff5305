// What the window's tests share: a shown window in a fresh working folder,
// the file dialog answered by the test, and ways to look at what the window
// shows (pixels read back, renders counted, message boxes caught).
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <vtkRenderWindow.h>
#include <vtkRenderer.h>
#include <vtkSmartPointer.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dims.h"
#include "filter_params.h"
#include "ui_view_controls.h"
#include "ui_voluna.h"
#include "voluna.h"

// The window's private state, for checks a person could only make by eye.
class VolunaProbe {
 public:
  static Ui_Voluna& ui(Voluna& window) { return *window.ui; }
  static vtkVolume* volume(Voluna& window) { return window.volume; }
  static vtkVolume* filteredVolume(Voluna& window) { return window.filteredVolume; }
  static const std::vector<float>& volumeData(Voluna& window) { return window.volumeData; }
  static voluna::Dims dimensions(Voluna& window) { return window.dimensions; }
  static double rampLevel(Voluna& window) { return window.rampLevel; }
  static double rampWindow(Voluna& window) { return window.rampWindow; }
  static vtkRenderWindow* renderWindow1(Voluna& window) { return window.renderWindow1; }
  static vtkRenderWindow* renderWindow2(Voluna& window) { return window.renderWindow2; }
  static vtkRenderer* renderer1(Voluna& window) { return window.renderer1(); }
  static vtkRenderer* renderer2(Voluna& window) { return window.renderer2(); }
  static bool filterRunning(Voluna& window) { return window.filterRunning(); }
  static Ui_ViewControls& viewControls(Voluna& window) { return *window.viewControls; }
};

// Holds a real filter run once it reports `stage` at `fraction` or beyond,
// until the test releases it or the run is cancelled: a place to act in the
// middle of a run that does not depend on the machine's speed.
struct FilterGate {
  voluna::Stage stage = voluna::Stage::VectorField;
  double fraction = 0.0;
  std::atomic<bool> reached{false};
  std::atomic<bool> released{false};
  std::atomic<bool> passed{false};
};

// Counts the renders of a render window (its EndEvents); each render can
// also be appended, with a name, to a shared log to check their order.
class RenderCounter {
 public:
  RenderCounter(vtkRenderWindow* window, std::vector<std::string>* log = nullptr, std::string name = {});
  ~RenderCounter();
  RenderCounter(const RenderCounter&) = delete;
  RenderCounter& operator=(const RenderCounter&) = delete;

  int count() const { return count_; }
  void reset() { count_ = 0; }

 private:
  static void onEnd(vtkObject*, unsigned long, void* self, void*);
  vtkRenderWindow* window_;
  unsigned long tag_ = 0;
  int count_ = 0;
  std::vector<std::string>* log_;
  std::string name_;
};

// Answers each modal message box as soon as it opens, keeping its text, so
// that a slot that reports a problem returns to the test.
class MessageBoxCatcher {
 public:
  MessageBoxCatcher();
  QStringList texts;

 private:
  QTimer timer_;
};

// Collects what is written to standard output (file descriptor 1) while it
// lives, C and C++ streams alike.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  std::string finish();

 private:
  int saved_ = -1;
  std::string path_;
  bool finished_ = false;
};

// Pixels of the render window's current image brighter than `threshold` in
// any channel, read back without rendering again.
int brightPixels(vtkRenderWindow* window, int threshold = 40);

// The render window's current image as RGB bytes, rows bottom to top, read
// back without rendering again; width and height where asked.
std::vector<uint8_t> grabPixels(vtkRenderWindow* window, int* width = nullptr, int* height = nullptr);

// A byte volume written as a MetaImage header plus data file; returns the
// header's path.
std::string writeVolume(const QString& folder, const std::string& name, const std::vector<uint8_t>& bytes,
                        voluna::Dims dims);

std::vector<uint8_t> readBytes(const std::string& path);
// Sends a drag of these files over the window and drops it; returns whether
// the window took the drag and the drop.
std::pair<bool, bool> dragAndDrop(Voluna& window, const QStringList& files);
void writeText(const std::string& path, const std::string& text);

// Tubes bright enough to stand out of the default ramp (47.5 to 132.5).
std::vector<uint8_t> tubeBytes(int size);

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  Ui_Voluna& ui() { return VolunaProbe::ui(*window); }
  std::string path(const std::string& name) const;

  // Chooses `file` in the open dialog the next time it opens ("" cancels),
  // then opens it as a person would through "Datei" -> "Öffnen...".
  void openThroughMenu(const std::string& file);
  // Sets the three filter parameters and presses "Filter"; with `wait`,
  // returns once the run has ended.
  void pressFilter(int samples, int steps, int angle, bool wait = true);
  // Processes events until no run is in progress; false after `seconds`.
  bool waitForFilter(double seconds = 120.0);
  // Processes events until the gate holds the run; false after `seconds`.
  bool waitForGate(double seconds = 60.0);
  size_t backendCallCount();
  // The bytes voluna-filter writes for `input` with these parameters.
  std::vector<uint8_t> commandLineResult(const std::string& input, int samples, int steps, int angle,
                                         const QStringList& options = {});

  QTemporaryDir folder;
  QString previousFolder;
  std::unique_ptr<Voluna> window;
  std::string nextFile;
  int dialogCalls = 0;
  QString dialogCaption;
  // Every call that reaches the filter backend, with its parameters; the
  // backend runs on the filter's thread.
  std::mutex backendMutex;
  std::vector<voluna::FilterParams> backendCalls;
  // When set, the next runs are held at its place.
  std::shared_ptr<FilterGate> gate;
};
