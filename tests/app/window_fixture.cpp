#include "window_fixture.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <vtkCallbackCommand.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkUnsignedCharArray.h>
#include <vtkPointData.h>
#include <vtkWindowToImageFilter.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>
#include <iostream>
#include <iterator>

#include <fcntl.h>
#include <unistd.h>

#include "filter.h"
#include "scenes.h"
#include "volume_io.h"

RenderCounter::RenderCounter(vtkRenderWindow* window, std::vector<std::string>* log, std::string name)
    : window_(window), log_(log), name_(std::move(name)) {
  vtkNew<vtkCallbackCommand> command;
  command->SetCallback(&RenderCounter::onEnd);
  command->SetClientData(this);
  tag_ = window_->AddObserver(vtkCommand::EndEvent, command);
}

RenderCounter::~RenderCounter() { window_->RemoveObserver(tag_); }

void RenderCounter::onEnd(vtkObject*, unsigned long, void* self, void*) {
  auto* counter = static_cast<RenderCounter*>(self);
  ++counter->count_;
  if (counter->log_) counter->log_->push_back(counter->name_);
}

MessageBoxCatcher::MessageBoxCatcher() {
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      texts << box->text();
      box->done(QMessageBox::Ok);
    }
  });
  timer_.start();
}

StdoutCapture::StdoutCapture() {
  std::cout.flush();
  std::fflush(stdout);
  char name[] = "/tmp/voluna-stdout-XXXXXX";
  const int fd = mkstemp(name);
  path_ = name;
  saved_ = dup(1);
  dup2(fd, 1);
  close(fd);
}

StdoutCapture::~StdoutCapture() { finish(); }

std::string StdoutCapture::finish() {
  if (finished_) return {};
  finished_ = true;
  std::cout.flush();
  std::fflush(stdout);
  dup2(saved_, 1);
  close(saved_);
  std::ifstream in(path_, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path_.c_str());
  return text;
}

std::vector<uint8_t> grabPixels(vtkRenderWindow* window, int* width, int* height) {
  vtkNew<vtkWindowToImageFilter> grab;
  grab->SetInput(window);
  grab->SetInputBufferTypeToRGB();
  grab->ReadFrontBufferOff();
  grab->ShouldRerenderOff();
  grab->Update();
  vtkImageData* image = grab->GetOutput();
  if (width) *width = image->GetDimensions()[0];
  if (height) *height = image->GetDimensions()[1];
  auto* pixels = vtkUnsignedCharArray::SafeDownCast(image->GetPointData()->GetScalars());
  if (!pixels) return {};
  const uint8_t* first = pixels->GetPointer(0);
  return std::vector<uint8_t>(first, first + pixels->GetNumberOfTuples() * 3);
}

int brightPixels(vtkRenderWindow* window, int threshold) {
  const std::vector<uint8_t> pixels = grabPixels(window);
  if (pixels.empty()) return -1;
  int bright = 0;
  for (size_t i = 0; i < pixels.size(); i += 3) {
    bool lit = false;
    for (int c = 0; c < 3; ++c) lit = lit || pixels[i + c] > threshold;
    bright += lit ? 1 : 0;
  }
  return bright;
}

std::string writeVolume(const QString& folder, const std::string& name, const std::vector<uint8_t>& bytes,
                        voluna::Dims dims) {
  const std::string raw = QDir(folder).filePath(QString::fromStdString(name + ".raw")).toStdString();
  const std::string problem = voluna::writeResult(raw, bytes.data(), dims);
  EXPECT_EQ(problem, "");
  return voluna::headerPathFor(raw);
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::vector<uint8_t> tubeBytes(int size) {
  return voluna::toBytes(voluna::crossingTubes(size, size / 5.0f, 12.0f, 7).noisy);
}

void WindowTest::SetUp() {
  ASSERT_TRUE(folder.isValid());
  previousFolder = QDir::currentPath();
  // "Output.raw" goes to the working folder: each test gets its own.
  ASSERT_TRUE(QDir::setCurrent(folder.path()));
  window = std::make_unique<Voluna>();
  window->setFileDialog([this](QWidget*, const QString& caption) {
    ++dialogCalls;
    dialogCaption = caption;
    return QString::fromStdString(nextFile);
  });
  window->setFilterBackend([this](const float* volume, voluna::Dims dims, const voluna::FilterParams& params,
                                  float* out, const voluna::FilterOptions& options) {
    std::shared_ptr<FilterGate> held;
    {
      std::lock_guard<std::mutex> lock(backendMutex);
      backendCalls.push_back(params);
      held = gate;
    }
    if (!held) return voluna::runFilter(volume, dims, params, out, options);
    // The real filter, watched through a control of our own that passes
    // progress on, holds at the gate, and passes a cancel request in.
    const voluna::RunControl* outer = options.control;
    voluna::RunControl* inner = nullptr;
    voluna::RunControl watched([&](voluna::Stage stage, double fraction) {
      if (outer) outer->report(stage, std::llround(fraction * 1e6), 1000000);
      const bool there = stage > held->stage || (stage == held->stage && fraction >= held->fraction);
      if (there && !held->passed) {
        held->reached = true;
        while (!held->released && !(outer && outer->cancelled())) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        held->passed = true;
      }
      if (outer && outer->cancelled()) inner->cancel();
    });
    inner = &watched;
    voluna::FilterOptions heldOptions = options;
    heldOptions.control = &watched;
    return voluna::runFilter(volume, dims, params, out, heldOptions);
  });
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  QApplication::processEvents();
}

void WindowTest::TearDown() {
  window.reset();
  QApplication::processEvents();
  QDir::setCurrent(previousFolder);
}

std::string WindowTest::path(const std::string& name) const {
  return QDir(folder.path()).filePath(QString::fromStdString(name)).toStdString();
}

void WindowTest::openThroughMenu(const std::string& file) {
  nextFile = file;
  ui().action_oeffnen->trigger();
  QApplication::processEvents();
}

void WindowTest::pressFilter(int samples, int steps, int angle, bool wait) {
  ui().sampleSpinBox->setValue(samples);
  ui().integrationStepsSpinBox->setValue(steps);
  ui().anglesSpinBox->setValue(angle);
  QTest::mouseClick(ui().filterBtn, Qt::LeftButton);
  if (wait) {
    EXPECT_TRUE(waitForFilter());
  }
  QApplication::processEvents();
}

bool WindowTest::waitForFilter(double seconds) {
  QElapsedTimer clock;
  clock.start();
  while (VolunaProbe::filterRunning(*window)) {
    if (clock.elapsed() > seconds * 1000) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

bool WindowTest::waitForGate(double seconds) {
  QElapsedTimer clock;
  clock.start();
  while (!gate->reached) {
    if (clock.elapsed() > seconds * 1000) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

size_t WindowTest::backendCallCount() {
  std::lock_guard<std::mutex> lock(backendMutex);
  return backendCalls.size();
}

std::vector<uint8_t> WindowTest::commandLineResult(const std::string& input, int samples, int steps, int angle,
                                                   const QStringList& options) {
  const std::string output = path("command-line.raw");
  QProcess tool;
  tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  tool.start(VOLUNA_FILTER_EXE, QStringList{"--samples", QString::number(samples), "--steps", QString::number(steps),
                                            "--angle", QString::number(angle), "-o", QString::fromStdString(output)} +
                                    options + QStringList{QString::fromStdString(input)});
  EXPECT_TRUE(tool.waitForFinished(120000));
  EXPECT_EQ(tool.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(tool.exitCode(), 0);
  return readBytes(output);
}

// Sends a drag of these files over the window and drops it; returns whether
// the window took the drag and the drop.
std::pair<bool, bool> dragAndDrop(Voluna& window, const QStringList& files) {
  QMimeData data;
  QList<QUrl> urls;
  for (const QString& file : files) urls << QUrl::fromLocalFile(file);
  data.setUrls(urls);
  QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &enter);
  QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &drop);
  QApplication::processEvents();
  return {enter.isAccepted(), drop.isAccepted()};
}
