// One run from input to result: values in and out of the unit scale, whole
// or streamed, the GPU fallback rule, cancel, notices and refusals.
#include "run_pipeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>

#include "byte_conversion.h"
#include "scenes.h"
#include "scratch_folder.h"
#include "volume_io.h"

namespace voluna {
namespace {

namespace fs = std::filesystem;
using Status = RunOutcome::Status;

// Every GPU attempt fails while it lives, as on a GPU out of memory.
struct SimulatedGpuFailure {
  SimulatedGpuFailure() { simulateGpuFailure(true); }
  ~SimulatedGpuFailure() { simulateGpuFailure(false); }
};

// The real filter, with the backend of every call written down.
struct RecordingEngine {
  std::mutex mutex;
  std::vector<Backend> backends;
  std::vector<FilterCall> calls;

  FilterEngine engine() {
    return [this](const FilterCall& call) {
      {
        const std::lock_guard<std::mutex> lock(mutex);
        backends.push_back(call.options.backend);
        calls.push_back(call);
      }
      return callFilter(call);
    };
  }
};

// low + step * noise, with both ends of the noise present: the range is
// [low, low + 255 * step].
template <class T>
Volume typedVolume(Dims dims, ScalarType type, T low, T step, uint64_t seed) {
  std::vector<uint8_t> noise = noiseBytes(dims, seed);
  noise[0] = 0;
  noise[1] = 255;
  Volume v;
  v.dims = dims;
  v.type = type;
  v.data.resize(noise.size() * sizeof(T));
  for (size_t i = 0; i < noise.size(); ++i) {
    const T value = static_cast<T>(static_cast<double>(low) + static_cast<double>(step) * noise[i]);
    std::memcpy(v.data.data() + i * sizeof(T), &value, sizeof(T));
  }
  return v;
}

class Pipeline : public test_support::ScratchFolderTest {
 protected:
  static FilterParams small() { return FilterParams{3, 4, 45, false}; }

  std::string bytesFile(const std::string& name, const std::vector<uint8_t>& bytes, Dims dims) const {
    EXPECT_EQ(writeResult(path(name + ".raw"), bytes.data(), dims), "");
    return path(name + ".mhd");
  }

  // Whole runs say their stages on standard output; tests keep it quiet.
  static RunOutcome quietly(PipelineRun& run) {
    testing::internal::CaptureStdout();
    RunOutcome outcome = run.run();
    testing::internal::GetCapturedStdout();
    return outcome;
  }
  static RunOutcome quietly(RunRequest request) {
    PipelineRun run(std::move(request));
    return quietly(run);
  }

  // The CPU's floats for bytes, straight from the filter entry.
  static std::vector<float> cpuFloats(const std::vector<uint8_t>& bytes, Dims dims, const FilterParams& params) {
    std::vector<float> unit(bytes.size()), out(bytes.size());
    mapToUnit(bytes.data(), ScalarType::UInt8, dims.count(), {0, 255}, unit.data());
    FilterOptions options;
    options.backend = Backend::Cpu;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(runFilter(unit.data(), dims, params, out.data(), options).ok());
    testing::internal::GetCapturedStdout();
    return out;
  }
};

// Values of every kind come back in their own type; voxels the caller holds,
// already mapped or not, and files all give the same result.
TEST_F(Pipeline, ValuesGoOntoTheUnitScaleAndBack) {
  const Dims dims{9, 8, 7};
  FilterParams identity = small();
  identity.integrationSteps = 0;  // the result is each voxel's own value
  const Volume int16 = typedVolume<int16_t>(dims, ScalarType::Int16, -1000, 13, 1);
  const Volume uint16 = typedVolume<uint16_t>(dims, ScalarType::UInt16, 7, 250, 2);
  const Volume int8 = typedVolume<int8_t>(dims, ScalarType::Int8, -128, 1, 3);
  for (const Volume* v : {&int16, &uint16, &int8}) {
    SCOPED_TRACE(scalarName(v->type));
    RunRequest request;
    request.input = RunInput::inMemory(v->data.data(), v->type, dims);
    request.params = identity;
    request.keepResult = true;
    request.keepUnitResult = true;
    const RunOutcome inMemory = quietly(request);
    ASSERT_TRUE(inMemory.ok()) << inMemory.message;
    EXPECT_EQ(inMemory.result.type, v->type);
    EXPECT_EQ(inMemory.result.data, v->data);
    EXPECT_EQ(inMemory.range.min, v == &int16 ? -1000 : v == &uint16 ? 7 : -128);

    // What the window holds: the floats, their range and the type they came from.
    std::vector<float> mapped(static_cast<size_t>(dims.count()));
    mapToUnit(v->data.data(), v->type, dims.count(), inMemory.range, mapped.data());
    request.input = RunInput::unitScale(mapped.data(), dims, v->type, inMemory.range);
    request.params = small();
    const RunOutcome fromUnit = quietly(request);
    request.input = RunInput::inMemory(v->data.data(), v->type, dims);
    const RunOutcome fromValues = quietly(request);
    ASSERT_TRUE(fromUnit.ok() && fromValues.ok());
    EXPECT_EQ(fromUnit.result.data, fromValues.result.data);
    EXPECT_EQ(fromUnit.unit, fromValues.unit);

    // A file written and read back, in the input's type and as floats on its scale.
    ASSERT_EQ(writeVolume(path("in.nrrd"), *v), "");
    RunRequest fromFile;
    fromFile.input = RunInput::file(path("in.nrrd"));
    fromFile.params = small();
    fromFile.outputPath = path("out.nrrd");
    ASSERT_TRUE(quietly(fromFile).ok());
    EXPECT_EQ(loadVolume(path("out.nrrd")).volume.data, fromValues.result.data);
    fromFile.resultType = ResultType::Float32;
    ASSERT_TRUE(quietly(fromFile).ok());
    const Volume floats = loadVolume(path("out.nrrd")).volume;
    ASSERT_EQ(floats.type, ScalarType::Float32);
    const float* r = reinterpret_cast<const float*>(floats.data.data());
    const double width = fromValues.range.max - fromValues.range.min;
    for (int64_t i = 0; i < dims.count(); i += 37) {
      EXPECT_EQ(r[i], static_cast<float>(fromValues.range.min + static_cast<double>(fromValues.unit[i]) * width)) << i;
    }
  }

  // Bytes: the result's bytes truncate r * 255; floats are r * 255 itself.
  const std::vector<uint8_t> bytes = noiseBytes(dims, 4);
  RunRequest request;
  request.input = RunInput::inMemory(bytes.data(), ScalarType::UInt8, dims);
  request.params = small();
  request.keepResult = true;
  const RunOutcome asBytes = quietly(request);
  request.resultType = ResultType::Float32;
  const RunOutcome asFloats = quietly(request);
  ASSERT_TRUE(asBytes.ok() && asFloats.ok());
  const std::vector<float> expected = cpuFloats(bytes, dims, small());
  const float* scaled = reinterpret_cast<const float*>(asFloats.result.data.data());
  for (int64_t i = 0; i < dims.count(); ++i) {
    ASSERT_EQ(scaled[i], expected[i] * 255.0f) << i;
    ASSERT_EQ(asBytes.result.data[i], unitFloatToByte(expected[i])) << i;
  }
  EXPECT_TRUE(asBytes.notices.empty());
}

// A file too large for the memory budget goes brick by brick to the same
// bytes; one that fits, or whose result is kept in memory, runs whole.
TEST_F(Pipeline, StreamsWhatDoesNotFitWithTheWholeRunsResult) {
  const Dims dims{30, 26, 22};
  const Volume int16 = typedVolume<int16_t>(dims, ScalarType::Int16, -1024, 11, 5);
  ASSERT_EQ(writeVolume(path("in.nii"), int16), "");
  std::vector<std::vector<Notice>> said;
  for (const auto& [memory, output] : {std::pair{int64_t{1} << 30, "whole.nii"}, std::pair{int64_t{290} << 10, "bricks.nii"}}) {
    RunRequest request;
    request.input = RunInput::file(path("in.nii"));
    request.params = small();
    request.backend = Backend::Cpu;
    request.memoryBytes = memory;
    request.outputPath = path(output);
    const RunOutcome outcome = quietly(request);
    ASSERT_TRUE(outcome.ok()) << outcome.message;
    EXPECT_EQ(outcome.streamed, memory < (int64_t{1} << 20));
    said.push_back(outcome.notices);
  }
  EXPECT_TRUE(slurp(path("whole.nii")) == slurp(path("bricks.nii")));
  ASSERT_EQ(said[0].size(), 1u);
  EXPECT_EQ(said[0][0].kind, Notice::Kind::Precision);
  EXPECT_EQ(said[0][0].text, path("in.nii") + " holds int16 voxels, values -1024 to 1781: filtered at full precision");
  ASSERT_EQ(said[1].size(), 2u);
  EXPECT_EQ(said[1][0].kind, Notice::Kind::Streamed);
  EXPECT_NE(said[1][0].text.find("bricks of"), std::string::npos) << said[1][0].text;
  EXPECT_EQ(said[1][1].kind, Notice::Kind::Precision);
  EXPECT_EQ(said[1][1].text, said[0][0].text);

  RunRequest kept;
  kept.input = RunInput::file(path("in.nii"));
  kept.params = small();
  kept.memoryBytes = 290 << 10;
  kept.outputPath = path("kept.nii");
  kept.keepResult = true;
  const RunOutcome whole = quietly(kept);
  ASSERT_TRUE(whole.ok()) << whole.message;
  EXPECT_FALSE(whole.streamed);
  EXPECT_EQ(whole.result.dims.count(), dims.count());
  EXPECT_TRUE(slurp(path("kept.nii")) == slurp(path("whole.nii")));
}

// auto falls back to the CPU and says so, cuda fails, ask hands the failure
// back; a real failure from the filter is met like a simulated one.
TEST_F(Pipeline, AFailedGpuRunFollowsTheFallbackRule) {
  const Dims dims{12, 11, 10};
  const std::vector<uint8_t> bytes = noiseBytes(dims, 6);
  const std::string input = bytesFile("in", bytes, dims);
  const std::vector<float> expected = cpuFloats(bytes, dims, small());
  SimulatedGpuFailure gpuFails;

  struct Case {
    Backend backend;
    GpuFallback fallback;
    Status status;
  };
  for (const Case& c : {Case{Backend::Auto, GpuFallback::Cpu, Status::Ok}, Case{Backend::Cuda, GpuFallback::Cpu, Status::GpuFailed},
                        Case{Backend::Auto, GpuFallback::Ask, Status::GpuFailed}, Case{Backend::Cpu, GpuFallback::Ask, Status::Ok}}) {
    SCOPED_TRACE(static_cast<int>(c.backend) * 10 + static_cast<int>(c.fallback));
    fs::remove(path("out.raw"));
    RecordingEngine recorded;
    RunRequest request;
    request.input = RunInput::file(input);
    request.params = small();
    request.backend = c.backend;
    request.fallback = c.fallback;
    request.outputPath = path("out.raw");
    request.keepUnitResult = true;
    request.engine = recorded.engine();
    const RunOutcome outcome = quietly(request);
    ASSERT_EQ(outcome.status, c.status) << outcome.message;
    if (c.status != Status::Ok) {
      EXPECT_NE(outcome.message.find("GPUassert: out of memory"), std::string::npos) << outcome.message;
      EXPECT_TRUE(recorded.backends.empty());
      EXPECT_FALSE(fs::exists(path("out.raw")));
      EXPECT_TRUE(outcome.notices.empty());
      continue;
    }
    EXPECT_EQ(recorded.backends, std::vector<Backend>{Backend::Cpu});
    EXPECT_EQ(outcome.unit, expected);
    if (c.backend == Backend::Auto) {
      ASSERT_EQ(outcome.notices.size(), 1u);
      EXPECT_EQ(outcome.notices[0].kind, Notice::Kind::Fallback);
      EXPECT_EQ(outcome.notices[0].text,
                "the GPU run failed: GPUassert: out of memory (a simulated failure; no GPU was used)\n"
                "filtering on the CPU instead");
    } else {
      EXPECT_TRUE(outcome.notices.empty());
    }
  }

  // A streamed run falls back once, at its first brick, and keeps to the CPU.
  const Dims large{30, 26, 22};
  const std::vector<uint8_t> largeBytes = noiseBytes(large, 12);
  const std::vector<float> largeExpected = cpuFloats(largeBytes, large, small());
  RecordingEngine bricks;
  RunRequest streamed;
  streamed.input = RunInput::file(bytesFile("large", largeBytes, large));
  streamed.params = small();
  streamed.memoryBytes = 280 << 10;
  streamed.outputPath = path("bricks.raw");
  streamed.resultType = ResultType::Float32;
  streamed.engine = bricks.engine();
  const RunOutcome outcome = quietly(streamed);
  ASSERT_TRUE(outcome.ok()) << outcome.message;
  ASSERT_TRUE(outcome.streamed);
  EXPECT_GT(bricks.backends.size(), 1u);
  EXPECT_EQ(std::count(bricks.backends.begin(), bricks.backends.end(), Backend::Cpu),
            static_cast<long>(bricks.backends.size()));
  EXPECT_EQ(std::count_if(outcome.notices.begin(), outcome.notices.end(),
                          [](const Notice& n) { return n.kind == Notice::Kind::Fallback; }),
            1);
  const std::string written = slurp(path("bricks.raw"));
  ASSERT_EQ(written.size(), largeExpected.size() * sizeof(float));
  std::vector<float> scaled(largeExpected.size());
  std::memcpy(scaled.data(), written.data(), written.size());
  for (size_t i = 0; i < largeExpected.size(); ++i) ASSERT_EQ(scaled[i], largeExpected[i] * 255.0f) << i;
}

TEST_F(Pipeline, ARealGpuFailureFallsBackOnlyUnderAuto) {
  const Dims dims{10, 9, 8};
  const std::vector<uint8_t> bytes = noiseBytes(dims, 7);
  std::vector<Backend> asked;
  RunRequest request;
  request.input = RunInput::inMemory(bytes.data(), ScalarType::UInt8, dims);
  request.params = small();
  request.keepUnitResult = true;
  request.engine = [&](const FilterCall& call) {
    asked.push_back(call.options.backend);
    if (call.options.backend == Backend::Cpu) return callFilter(call);
    FilterOutcome failed;
    failed.status = FilterOutcome::Status::BackendFailed;
    failed.message = "GPUassert: an illegal memory access was encountered gpu_filter.cu 180";
    return failed;
  };
  const RunOutcome fellBack = quietly(request);
  ASSERT_TRUE(fellBack.ok()) << fellBack.message;
  EXPECT_EQ(asked, (std::vector<Backend>{Backend::Auto, Backend::Cpu}));
  EXPECT_EQ(fellBack.unit, cpuFloats(bytes, dims, small()));
  ASSERT_EQ(fellBack.notices.size(), 1u);
  EXPECT_NE(fellBack.notices[0].text.find("illegal memory access"), std::string::npos);

  asked.clear();
  request.backend = Backend::Cuda;
  const RunOutcome refused = quietly(request);
  EXPECT_EQ(refused.status, Status::GpuFailed);
  EXPECT_EQ(asked, std::vector<Backend>{Backend::Cuda});
  EXPECT_TRUE(refused.unit.empty());
}

// Cancel at any point, even after the last voxel or while the GPU failed,
// writes nothing and leaves an earlier result as it was.
TEST_F(Pipeline, CancelLeavesTheOutputAsItWas) {
  const Dims dims{24, 24, 24};
  const std::string input = bytesFile("in", noiseBytes(dims, 8), dims);
  enum class When { MidRun, AfterTheLastVoxel, WithAFailedGpu };
  for (const When when : {When::MidRun, When::AfterTheLastVoxel, When::WithAFailedGpu}) {
    SCOPED_TRACE(static_cast<int>(when));
    std::ofstream(path("out.raw")) << "previous result";
    PipelineRun* running = nullptr;
    int engineCalls = 0;
    RunRequest request;
    request.input = RunInput::file(input);
    request.params = FilterParams{4, 4, 20, false};
    request.outputPath = path("out.raw");
    request.threads = 1;
    request.progress = [&](Stage stage, double fraction) {
      if (when == When::MidRun && stage == Stage::VectorField && fraction > 0.2) running->cancel();
    };
    request.engine = [&](const FilterCall& call) {
      ++engineCalls;
      if (when != When::WithAFailedGpu) {
        const FilterOutcome done = callFilter(call);
        if (when == When::AfterTheLastVoxel) running->cancel();
        return done;
      }
      running->cancel();
      FilterOutcome failed;
      failed.status = FilterOutcome::Status::BackendFailed;
      failed.message = "GPUassert: out of memory";
      return failed;
    };
    PipelineRun run(request);
    running = &run;
    const RunOutcome outcome = quietly(run);
    EXPECT_EQ(outcome.status, Status::Cancelled) << outcome.message;
    EXPECT_EQ(engineCalls, 1);
    EXPECT_EQ(slurp(path("out.raw")), "previous result");
    EXPECT_FALSE(fs::exists(path("out.mhd")));
  }
  EXPECT_EQ(files(), (std::vector<std::string>{"in.mhd", "in.raw", "out.raw"}));
}

// Stopped while a streamed run finds the value range: nothing is written,
// not even an empty result, and the range is not announced.
TEST_F(Pipeline, CancelDuringTheValuePassLeavesNothing) {
  const Dims dims{30, 26, 22};
  ASSERT_EQ(writeVolume(path("in.nrrd"), typedVolume<float>(dims, ScalarType::Float32, -2.5f, 0.03f, 3)), "");
  PipelineRun* running = nullptr;
  double shown = -1;
  RunRequest request;
  request.input = RunInput::file(path("in.nrrd"));
  request.params = small();
  request.backend = Backend::Cpu;
  request.memoryBytes = 300 << 10;
  request.outputPath = path("out.mhd");
  request.progress = [&](Stage, double fraction) {
    shown = fraction;
    if (fraction > 0) running->cancel();
  };
  PipelineRun run(request);
  running = &run;
  const RunOutcome outcome = quietly(run);
  EXPECT_EQ(outcome.status, Status::Cancelled) << outcome.message;
  EXPECT_TRUE(outcome.streamed);
  EXPECT_GT(shown, 0.0);
  EXPECT_LT(shown, 0.05);  // within the pass's share of the bar
  for (const Notice& notice : outcome.notices) EXPECT_NE(notice.kind, Notice::Kind::Precision) << notice.text;
  EXPECT_EQ(files(), (std::vector<std::string>{"in.nrrd"}));
}

// The filter sees where the voxels lie and what the unit scale stands for,
// and what it reports reaches the caller as it happens, in order.
TEST_F(Pipeline, GeometryGoesToTheFilterAndNoticesComeBack) {
  const Dims dims{8, 7, 6};
  Volume v = typedVolume<int16_t>(dims, ScalarType::Int16, -300, 7, 9);
  v.geometry.spacing[0] = 0.5;
  v.geometry.spacing[2] = 2.25;
  v.geometry.origin[1] = -12.5;
  ASSERT_EQ(writeVolume(path("in.nrrd"), v), "");
  std::vector<Notice> heard;
  FilterCall seen;
  RunRequest request;
  request.input = RunInput::file(path("in.nrrd"));
  request.params = small();
  request.outputPath = path("out.nrrd");
  request.onNotice = [&](const Notice& notice) { heard.push_back(notice); };
  request.engine = [&](const FilterCall& call) {
    seen = call;
    call.notice("noise about 0.02 of the range");
    return callFilter(call);
  };
  const RunOutcome outcome = quietly(request);
  ASSERT_TRUE(outcome.ok()) << outcome.message;
  EXPECT_TRUE(seen.wholeRun);
  EXPECT_EQ(seen.geometry.spacing[0], 0.5);
  EXPECT_EQ(seen.geometry.spacing[2], 2.25);
  EXPECT_EQ(seen.geometry.origin[1], -12.5);
  EXPECT_EQ(seen.range.min, -300);
  EXPECT_EQ(seen.range.max, -300 + 7 * 255);
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].kind, Notice::Kind::Precision);
  EXPECT_EQ(heard[1].kind, Notice::Kind::Method);
  EXPECT_EQ(heard[1].text, "noise about 0.02 of the range");
  ASSERT_EQ(outcome.notices.size(), heard.size());
  for (size_t i = 0; i < heard.size(); ++i) EXPECT_EQ(outcome.notices[i].text, heard[i].text);
  // The result keeps the input's geometry.
  const LoadResult written = loadVolume(path("out.nrrd"));
  ASSERT_TRUE(written.ok()) << written.error;
  EXPECT_NEAR(written.volume.geometry.spacing[2], 2.25, 1e-9);
  EXPECT_NEAR(written.volume.geometry.origin[1], -12.5, 1e-9);

  // What loading fixed is an Input notice, said before the run.
  std::ofstream(path("flat.mha"), std::ios::binary)
      << "ObjectType = Image\nNDims = 3\nBinaryData = True\nElementSpacing = 0 1 1\nDimSize = 2 2 2\n"
         "ElementType = MET_UCHAR\nElementDataFile = LOCAL\n"
      << std::string(8, '\x40');
  request.input = RunInput::file(path("flat.mha"));
  request.engine = callFilter;
  heard.clear();
  ASSERT_TRUE(quietly(request).ok());
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].kind, Notice::Kind::Input);
  EXPECT_NE(heard[0].text.find("spacing 0 along x"), std::string::npos) << heard[0].text;
}

// What cannot run is said without any work and without any file; a result
// that cannot be written is still handed back.
TEST_F(Pipeline, RefusalsAndFailuresWriteNothing) {
  const Dims dims{6, 5, 4};
  const std::vector<uint8_t> bytes = noiseBytes(dims, 10);
  const std::string input = bytesFile("in", bytes, dims);
  int engineCalls = 0;
  auto request = [&] {
    RunRequest r;
    r.input = RunInput::file(input);
    r.params = small();
    r.outputPath = path("out.nii");
    r.engine = [&](const FilterCall& call) {
      ++engineCalls;
      return callFilter(call);
    };
    return r;
  };
  const std::vector<std::string> before = files();
  RunRequest badAngle = request();
  badAngle.params.angleStep = 0;
  RunRequest dicom = request();
  dicom.outputPath = path("out.dcm");
  RunRequest missing = request();
  missing.input = RunInput::file(path("missing.mhd"));
  RunRequest empty = request();
  empty.input = RunInput::inMemory(bytes.data(), ScalarType::UInt8, Dims{0, 5, 4});
  for (const auto& [r, status, fragment] :
       {std::tuple{&badAngle, Status::Refused, "angle step"}, std::tuple{&dicom, Status::Refused, "NIfTI"},
        std::tuple{&missing, Status::Failed, "missing.mhd: no such file"}, std::tuple{&empty, Status::Refused, "no voxels"}}) {
    const RunOutcome outcome = quietly(*r);
    EXPECT_EQ(outcome.status, status) << fragment;
    EXPECT_NE(outcome.message.find(fragment), std::string::npos) << outcome.message;
  }
  EXPECT_EQ(engineCalls, 0);
  EXPECT_EQ(files(), before);

  RunRequest starved = request();
  starved.engine = [](const FilterCall&) -> FilterOutcome { throw std::bad_alloc(); };
  const RunOutcome outOfMemory = quietly(starved);
  EXPECT_EQ(outOfMemory.status, Status::OutOfMemory);
  EXPECT_EQ(outOfMemory.message, input + ": there is not enough memory to filter its 120 voxels; close other "
                                         "programs or use a smaller volume");
  EXPECT_EQ(files(), before);

  RunRequest unwritable = request();
  unwritable.outputPath = path("no/such/folder/out.nii");
  unwritable.keepResult = true;
  const RunOutcome unsaved = quietly(unwritable);
  EXPECT_EQ(unsaved.status, Status::WriteFailed);
  EXPECT_NE(unsaved.message.find("no/such/folder/out.nii"), std::string::npos) << unsaved.message;
  EXPECT_EQ(unsaved.result.data.size(), bytes.size());
  EXPECT_EQ(files(), before);
}

// A dask chunk: the same voxels as a whole run, the same fallback rule.
TEST_F(Pipeline, ABoxGivesTheWholeRunsVoxelsUnderTheSameRule) {
  const Dims dims{20, 18, 16};
  const Volume v = typedVolume<uint16_t>(dims, ScalarType::UInt16, 100, 90, 11);
  RunRequest wholeRequest;
  wholeRequest.input = RunInput::inMemory(v.data.data(), v.type, dims);
  wholeRequest.params = small();
  wholeRequest.keepResult = true;
  const RunOutcome whole = quietly(wholeRequest);
  ASSERT_TRUE(whole.ok());

  const Extent extent{dims.x, dims.y, dims.z};
  const Box interior{4, 0, 5, 13, 18, 11};
  const Box block = haloBox(interior, extent, small());
  std::vector<uint16_t> values;
  for (int64_t z = block.z0; z < block.z1; ++z)
    for (int64_t y = block.y0; y < block.y1; ++y)
      for (int64_t x = block.x0; x < block.x1; ++x) {
        uint16_t value;
        std::memcpy(&value, v.data.data() + 2 * dims.index(int(x), int(y), int(z)), 2);
        values.push_back(value);
      }
  std::vector<uint16_t> out(static_cast<size_t>(interior.count()));
  BoxRequest request;
  request.block = values.data();
  request.type = ScalarType::UInt16;
  request.blockBox = block;
  request.whole = extent;
  request.interior = interior;
  request.range = whole.range;
  request.params = small();
  request.out = out.data();
  SimulatedGpuFailure gpuFails;
  const RunOutcome box = runBox(request);
  ASSERT_TRUE(box.ok()) << box.message;
  ASSERT_EQ(box.notices.size(), 1u);
  EXPECT_EQ(box.notices[0].kind, Notice::Kind::Fallback);
  const BoxIndex at(interior);
  for (int64_t z = interior.z0; z < interior.z1; ++z)
    for (int64_t y = interior.y0; y < interior.y1; ++y)
      for (int64_t x = interior.x0; x < interior.x1; ++x) {
        uint16_t expected;
        std::memcpy(&expected, whole.result.data.data() + 2 * dims.index(int(x), int(y), int(z)), 2);
        ASSERT_EQ(out[static_cast<size_t>(at(x, y, z))], expected) << x << " " << y << " " << z;
      }
  request.backend = Backend::Cuda;
  EXPECT_EQ(runBox(request).status, Status::GpuFailed);
  request.params.angleStep = 0;
  EXPECT_EQ(runBox(request).status, Status::Refused);
}

}  // namespace
}  // namespace voluna
