// "Filter": "Output.raw" holds what the command-line filter writes for the
// same volume and parameters, the second view shows it, and what cannot run
// or cannot be saved is said.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QAbstractButton>
#include <QThread>

#include <vtkAbstractVolumeMapper.h>
#include <vtkImageData.h>
#include <vtkVolumeCollection.h>

#include <cstring>

#include "volume_io.h"
#include "window_fixture.h"

namespace {

using FilterTest = WindowTest;

TEST_F(FilterTest, OutputMatchesTheCommandLineFilterAndShowsInTheSecondView) {
  writeVolume(folder.path(), "tubes", tubeBytes(14), {14, 14, 14});
  // Spacing that the bare bytes of "Output.raw" do not carry, but that the
  // second view shows the result with, so both views show the same voxels in
  // the same place.
  writeText(path("spaced.mhd"),
            "ObjectType = Image\nNDims = 3\nElementSpacing = 2 1 1\nDimSize = 14 14 14\n"
            "ElementType = MET_UCHAR\nElementDataFile = tubes.raw\n");
  openThroughMenu(path("spaced.mhd"));
  EXPECT_EQ(brightPixels(VolunaProbe::renderWindow2(*window)), 0);
  auto* loaded = vtkImageData::SafeDownCast(VolunaProbe::volume(*window)->GetMapper()->GetDataSetInput());
  ASSERT_NE(loaded, nullptr);
  EXPECT_DOUBLE_EQ(loaded->GetSpacing()[0], 2.0);

  StdoutCapture out;
  pressFilter(3, 4, 30);
  const std::string printed = out.finish();
  EXPECT_NE(printed.find("Calculate vectorfield...\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("Filtering data...\n"), std::string::npos) << printed;

  const std::vector<uint8_t> written = readBytes(path("Output.raw"));
  ASSERT_EQ(written.size(), 14u * 14u * 14u);
  EXPECT_EQ(written, commandLineResult(path("spaced.mhd"), 3, 4, 30));
  // Its header places the result where the input lies, as voluna-filter's does.
  const voluna::LoadResult header = voluna::loadVolume(path("Output.mhd"));
  ASSERT_TRUE(header.ok()) << header.error;
  EXPECT_EQ(header.volume.geometry.spacing[0], 2.0);
  EXPECT_EQ(header.volume.data, written);
  std::vector<uint8_t> toolHeader = readBytes(path("command-line.mhd"));
  std::string text(toolHeader.begin(), toolHeader.end());
  text.replace(text.find("command-line.raw"), 16, "Output.raw");
  const std::vector<uint8_t> windowHeader = readBytes(path("Output.mhd"));
  EXPECT_EQ(std::string(windowHeader.begin(), windowHeader.end()), text);

  vtkVolume* filtered = VolunaProbe::filteredVolume(*window);
  ASSERT_NE(filtered, nullptr);
  vtkVolumeCollection* shown = VolunaProbe::renderer2(*window)->GetVolumes();
  ASSERT_EQ(shown->GetNumberOfItems(), 1);
  EXPECT_EQ(shown->GetItemAsObject(0), filtered);
  EXPECT_GT(brightPixels(VolunaProbe::renderWindow2(*window)), 500);
  auto* image = vtkImageData::SafeDownCast(filtered->GetMapper()->GetDataSetInput());
  ASSERT_NE(image, nullptr);
  EXPECT_DOUBLE_EQ(image->GetSpacing()[0], 2.0);
  EXPECT_EQ(image->GetDimensions()[2], 14);
}

TEST_F(FilterTest, ASecondRunReplacesTheFirst) {
  const std::string input = writeVolume(folder.path(), "tubes", tubeBytes(10), {10, 10, 10});
  openThroughMenu(input);
  pressFilter(2, 2, 90);
  vtkVolume* firstResult = VolunaProbe::filteredVolume(*window);
  const std::vector<uint8_t> firstBytes = readBytes(path("Output.raw"));

  pressFilter(3, 5, 45);
  EXPECT_NE(VolunaProbe::filteredVolume(*window), firstResult);
  vtkVolumeCollection* shown = VolunaProbe::renderer2(*window)->GetVolumes();
  ASSERT_EQ(shown->GetNumberOfItems(), 1);
  EXPECT_EQ(shown->GetItemAsObject(0), VolunaProbe::filteredVolume(*window));
  const std::vector<uint8_t> secondBytes = readBytes(path("Output.raw"));
  EXPECT_NE(secondBytes, firstBytes);
  EXPECT_EQ(secondBytes, commandLineResult(input, 3, 5, 45));
}

TEST_F(FilterTest, AfterANewOpenTheNextRunShowsOnlyTheNewResult) {
  openThroughMenu(writeVolume(folder.path(), "tubes", tubeBytes(10), {10, 10, 10}));
  pressFilter(2, 2, 90);
  const std::string other = writeVolume(folder.path(), "small", tubeBytes(6), {6, 6, 6});
  openThroughMenu(other);
  pressFilter(2, 2, 90);
  vtkVolumeCollection* shown = VolunaProbe::renderer2(*window)->GetVolumes();
  ASSERT_EQ(shown->GetNumberOfItems(), 1);
  auto* image = vtkImageData::SafeDownCast(VolunaProbe::filteredVolume(*window)->GetMapper()->GetDataSetInput());
  EXPECT_EQ(image->GetDimensions()[0], 6);
  EXPECT_EQ(readBytes(path("Output.raw")), commandLineResult(other, 2, 2, 90));
}

TEST_F(FilterTest, AnAngleStepOfZeroRunsNothingAndSaysWhy) {
  openThroughMenu(writeVolume(folder.path(), "tubes", tubeBytes(8), {8, 8, 8}));
  writeText(path("Output.raw"), "an earlier result");
  MessageBoxCatcher boxes;
  RenderCounter second(VolunaProbe::renderWindow2(*window));
  pressFilter(5, 5, 0);
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].contains("angle step")) << boxes.texts[0].toStdString();
  EXPECT_TRUE(boxes.texts[0].contains("Angle Sample Rate (Degrees):"));
  EXPECT_EQ(backendCallCount(), 0u);
  EXPECT_EQ(VolunaProbe::filteredVolume(*window), nullptr);
  EXPECT_EQ(second.count(), 0);
  const std::vector<uint8_t> kept = readBytes(path("Output.raw"));
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "an earlier result");
  // The window is still usable: a good angle runs.
  pressFilter(2, 2, 90);
  EXPECT_EQ(backendCallCount(), 1u);
  EXPECT_NE(VolunaProbe::filteredVolume(*window), nullptr);
}

TEST_F(FilterTest, AResultThatCannotBeSavedIsStillShown) {
  openThroughMenu(writeVolume(folder.path(), "tubes", tubeBytes(12), {12, 12, 12}));
  // A folder in the way: no file can take its name, not even for root.
  ASSERT_TRUE(QDir(folder.path()).mkpath("Output.raw/inside"));
  MessageBoxCatcher boxes;
  pressFilter(2, 2, 90);
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].contains("Output.raw")) << boxes.texts[0].toStdString();
  vtkVolumeCollection* shown = VolunaProbe::renderer2(*window)->GetVolumes();
  ASSERT_EQ(shown->GetNumberOfItems(), 1);
  EXPECT_EQ(shown->GetItemAsObject(0), VolunaProbe::filteredVolume(*window));
  EXPECT_GT(brightPixels(VolunaProbe::renderWindow2(*window)), 100);
  EXPECT_TRUE(QDir(folder.path() + "/Output.raw/inside").exists());
}

// A GPU run that fails ends in a question, not a closed window: "No" leaves
// "Output.raw" and the second view as they were, "Yes" runs the same job on
// the CPU.
TEST_F(FilterTest, AFailedGpuRunOffersTheCpu) {
  openThroughMenu(writeVolume(folder.path(), "tubes", tubeBytes(12), {12, 12, 12}));
  std::mutex mutex;
  std::vector<voluna::Backend> asked;
  window->setFilterBackend([&](const float* volume, voluna::Dims dims, const voluna::FilterParams& params,
                               float* out, const voluna::FilterOptions& options) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      asked.push_back(options.backend);
    }
    if (options.backend == voluna::Backend::Cpu) return voluna::runFilter(volume, dims, params, out, options);
    voluna::FilterOutcome failed;
    failed.status = voluna::FilterOutcome::Status::BackendFailed;
    failed.message = "GPUassert: out of memory CudaKernel/gpu_driver.cpp 123";
    return failed;
  });
  for (const bool yes : {false, true}) {
    SCOPED_TRACE(yes ? "answered Yes" : "answered No");
    QStringList texts;
    QTimer answer;
    answer.setInterval(10);
    QObject::connect(&answer, &QTimer::timeout, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        texts << box->text();
        // The question's answer is the button clicked, not the dialog's result.
        box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
      }
    });
    QElapsedTimer clock;
    clock.start();
    answer.start();
    pressFilter(3, 2, 60, false);
    auto done = [&] {
      std::lock_guard<std::mutex> lock(mutex);
      return !texts.isEmpty() && asked.size() == (yes ? 2u : 1u) && !VolunaProbe::filterRunning(*window);
    };
    while (!done() && clock.elapsed() < 60000) {
      QApplication::processEvents(QEventLoop::AllEvents, 5);
      QThread::msleep(1);
    }
    ASSERT_TRUE(done()) << texts.size() << " questions, " << asked.size() << " runs";
    ASSERT_EQ(texts.size(), 1);
    EXPECT_TRUE(texts[0].contains("GPUassert: out of memory")) << texts[0].toStdString();
    EXPECT_TRUE(texts[0].contains("CPU")) << texts[0].toStdString();
    EXPECT_EQ(asked[0], voluna::Backend::Auto);
    if (yes) {
      EXPECT_EQ(asked[1], voluna::Backend::Cpu);
      EXPECT_EQ(readBytes(path("Output.raw")), commandLineResult(path("tubes.mhd"), 3, 2, 60));
      EXPECT_NE(VolunaProbe::filteredVolume(*window), nullptr);
    } else {
      EXPECT_FALSE(QFile::exists(QString::fromStdString(path("Output.raw"))));
      EXPECT_EQ(VolunaProbe::filteredVolume(*window), nullptr);
    }
    asked.clear();
  }
}

}  // namespace

namespace {

using SaveAsTest = WindowTest;

// "Speichern unter..." writes what voluna-filter writes for the same
// volume and parameters: the input's type, range and geometry.
TEST_F(SaveAsTest, SavesTheResultInTheInputsTypeAndGeometry) {
  voluna::Volume ct;
  ct.dims = {10, 9, 8};
  ct.type = voluna::ScalarType::Int16;
  std::vector<int16_t> values(static_cast<size_t>(ct.dims.count()));
  const std::vector<uint8_t> tubes = tubeBytes(10);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int16_t>(-1000 + 9 * tubes[i % tubes.size()]);
  ct.data.resize(values.size() * 2);
  std::memcpy(ct.data.data(), values.data(), ct.data.size());
  ct.geometry.spacing[2] = 2.5;
  ct.geometry.origin[0] = -40;
  const double direction[9] = {0, 0, 1, 1, 0, 0, 0, 1, 0};
  std::memcpy(ct.geometry.direction, direction, sizeof direction);
  ASSERT_EQ(voluna::writeVolume(path("ct.nrrd"), ct), "");

  openThroughMenu(path("ct.nrrd"));
  EXPECT_FALSE(ui().action_speichern->isEnabled());
  pressFilter(2, 2, 60);
  ASSERT_TRUE(ui().action_speichern->isEnabled());

  QString asked;
  window->setSaveDialog([&](QWidget*, const QString&) { return asked = QString::fromStdString(path("saved.nii.gz")); });
  ui().action_speichern->trigger();
  ASSERT_FALSE(asked.isEmpty());
  const voluna::LoadResult saved = voluna::loadVolume(path("saved.nii.gz"));
  ASSERT_TRUE(saved.ok()) << saved.error;
  EXPECT_EQ(saved.volume.type, voluna::ScalarType::Int16);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(saved.volume.geometry.direction[i], direction[i], 1e-6);
  EXPECT_NEAR(saved.volume.geometry.spacing[2], 2.5, 1e-6);
  EXPECT_NEAR(saved.volume.geometry.origin[0], -40, 1e-6);

  QProcess tool;
  tool.start(VOLUNA_FILTER_EXE, {"--samples", "2", "--steps", "2", "--angle", "60", "-o",
                                  QString::fromStdString(path("cli.nii.gz")), QString::fromStdString(path("ct.nrrd"))});
  ASSERT_TRUE(tool.waitForFinished(120000));
  ASSERT_EQ(tool.exitCode(), 0);
  const voluna::LoadResult cli = voluna::loadVolume(path("cli.nii.gz"));
  ASSERT_TRUE(cli.ok()) << cli.error;
  EXPECT_EQ(saved.volume.data, cli.volume.data);
  // "Output.raw" stays the result's bytes.
  EXPECT_EQ(readBytes(path("Output.raw")).size(), static_cast<size_t>(ct.dims.count()));

  // DICOM is refused with a word on what to use; nothing is written.
  MessageBoxCatcher boxes;
  window->setSaveDialog([&](QWidget*, const QString&) { return QString::fromStdString(path("saved.dcm")); });
  ui().action_speichern->trigger();
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].contains("NIfTI")) << boxes.texts[0].toStdString();
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(path("saved.dcm"))));
}

}  // namespace
