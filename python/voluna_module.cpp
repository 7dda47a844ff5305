// The compiled half of the `voluna` package: numpy arrays in and out of the
// run pipeline, with the GIL released, progress handed to Python and Ctrl-C
// turned into a cancelled run. Dtype handling and the friendly signatures
// live in the pure-Python layer beside it.
#include <Python.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "brick.h"
#include "filter.h"
#include "nifti_placement.h"
#include "denoise.h"
#include "noise_estimate.h"
#include "run_pipeline.h"
#include "value_mapping.h"
#include "volume.h"
#include "volume_io.h"

namespace py = pybind11;

namespace voluna {
namespace {

// How often the waiting caller looks for Ctrl-C and progress: well within
// the second a person waits for Ctrl-C to take.
constexpr auto kPollInterval = std::chrono::milliseconds(50);

Backend parseBackend(const std::string& name) {
  if (name == "auto") return Backend::Auto;
  if (name == "cpu") return Backend::Cpu;
  if (name == "cpu-reference") return Backend::CpuReference;
  if (name == "cuda") return Backend::Cuda;
  throw py::value_error("backend expects auto, cpu, cpu-reference or cuda, got '" + name + "'");
}

// Python integers are unbounded; anything beyond int is out of every
// parameter's range, so clamping keeps the refusal without overflow.
int clampToInt(int64_t value) {
  return static_cast<int>(std::max<int64_t>(INT_MIN, std::min<int64_t>(INT_MAX, value)));
}

FilterParams paramsOf(int64_t samples, int64_t steps, int64_t angle, bool preserveEdges) {
  FilterParams params;
  params.samples = clampToInt(samples);
  params.integrationSteps = clampToInt(steps);
  params.angleStep = clampToInt(angle);
  params.preserveEdges = preserveEdges;
  const std::string problem = checkParams(params);
  if (!problem.empty()) throw py::value_error(problem);
  return params;
}

FilterOptions optionsOf(const std::string& backend, int64_t threads) {
  FilterOptions options;
  options.backend = parseBackend(backend);
  if (threads < 0) throw py::value_error("threads must be 0 (every core) or more, got " + std::to_string(threads));
  options.threads = clampToInt(threads);
  return options;
}

// The [z, y, x] array as the filter's dimensions; the Python layer has
// already made it three-dimensional and C-contiguous.
Dims dimsOf(const py::array& volume) {
  if (volume.ndim() != 3) throw py::value_error("the volume must have 3 dimensions [z, y, x]");
  if (!(volume.flags() & py::array::c_style)) throw py::value_error("the volume must be C-contiguous");
  const int64_t z = volume.shape(0), y = volume.shape(1), x = volume.shape(2);
  Dims dims{clampToInt(x), clampToInt(y), clampToInt(z)};
  std::string problem = checkDimensions(dims);
  if (problem.empty() && (dims.x != x || dims.y != y || dims.z != z)) {
    problem = "the volume has " + std::to_string(x) + " x " + std::to_string(y) + " x " +
              std::to_string(z) + " voxels; at most 2147483647 (2^31 - 1) are supported";
  }
  if (!problem.empty()) throw py::value_error(problem);
  return dims;
}

// Progress reports of the worker, waiting for the caller: at most one per
// stage, the latest of a stage replacing the one before, so that a stage's
// final 1.0 is never lost.
class ProgressQueue {
 public:
  using Reports = std::vector<std::pair<Stage, double>>;

  RunControl::ProgressFn sink() {
    return [this](Stage stage, double fraction) {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!pending_.empty() && pending_.back().first == stage) {
        pending_.back().second = fraction;
      } else {
        pending_.emplace_back(stage, fraction);
      }
    };
  }
  Reports take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    Reports reports;
    reports.swap(pending_);
    return reports;
  }

 private:
  std::mutex mutex_;
  Reports pending_;
};

// Runs `work()` on a worker thread while the calling thread, without the
// GIL, waits for it. Every poll interval the caller takes the GIL to hand
// `queue`'s progress to `progress` and to run Python's signal handlers: a
// KeyboardInterrupt (or an exception from the callback) calls `cancel()`,
// and is raised here once the worker has stopped, so nothing is left
// half-done behind the caller's back. Python only runs signal handlers on
// the main thread; elsewhere the check is a no-op and only the callback can
// stop a run.
template <class Work, class Cancel>
void runWatched(Work work, Cancel cancel, ProgressQueue& queue, const py::object& progress) {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::exception_ptr failure;
  PyObject* errorType = nullptr;
  PyObject* errorValue = nullptr;
  PyObject* errorTrace = nullptr;

  auto handOn = [&](const ProgressQueue::Reports& reports) {
    // Called with the GIL held.
    if (errorType) return;
    if (PyErr_CheckSignals() != 0) {
      PyErr_Fetch(&errorType, &errorValue, &errorTrace);
      cancel();
      return;
    }
    if (progress.is_none()) return;
    for (const auto& [stage, fraction] : reports) {
      const char* name = stage == Stage::VectorField ? "vectorfield" : "filtering";
      PyObject* result = PyObject_CallFunction(progress.ptr(), "sd", name, fraction);
      if (!result) {
        PyErr_Fetch(&errorType, &errorValue, &errorTrace);
        cancel();
        return;
      }
      Py_DECREF(result);
    }
  };

  {
    py::gil_scoped_release release;
    std::thread worker([&] {
      try {
        work();
      } catch (...) {
        failure = std::current_exception();
      }
      const std::lock_guard<std::mutex> lock(mutex);
      done = true;
      finished.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      finished.wait_for(lock, kPollInterval);
      const bool last = done;
      lock.unlock();
      {
        py::gil_scoped_acquire gil;
        handOn(queue.take());
      }
      if (last) break;
      lock.lock();
    }
    worker.join();
  }

  if (errorType) {
    PyErr_Restore(errorType, errorValue, errorTrace);
    throw py::error_already_set();
  }
  if (failure) std::rethrow_exception(failure);
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

// Only a cancel from runWatched stops a run, and that raised already.
void raiseFor(const FilterOutcome& outcome) {
  using Status = FilterOutcome::Status;
  if (outcome.status == Status::InvalidInput) raise(PyExc_ValueError, outcome.message);
  if (outcome.status == Status::Cancelled) raise(PyExc_RuntimeError, "the filter run was cancelled");
  if (!outcome.ok()) raise(PyExc_RuntimeError, outcome.message);
}

void raiseFor(const RunOutcome& outcome) {
  using Status = RunOutcome::Status;
  if (outcome.status == Status::Refused) raise(PyExc_ValueError, outcome.message);
  if (outcome.status == Status::OutOfMemory) raise(PyExc_MemoryError, outcome.message);
  if (outcome.status == Status::Cancelled) raise(PyExc_RuntimeError, "the filter run was cancelled");
  if (!outcome.ok()) raise(PyExc_RuntimeError, outcome.message);
}

// What a person calling from Python should hear of: the fallback to the CPU
// and what the method reports. The precision is the caller's own choice of
// array type.
py::list noticesFor(const RunOutcome& outcome) {
  py::list texts;
  for (const Notice& notice : outcome.notices) {
    if (notice.kind == Notice::Kind::Fallback || notice.kind == Notice::Kind::Method) texts.append(notice.text);
  }
  return texts;
}

// The numpy dtype of each voxel type the core takes, and back, through
// io's one table of types.
ScalarType scalarTypeOf(const py::array& volume) {
  for (const ScalarTypeInfo& info : scalarTypes()) {
    if (withScalarType(info.type, [&](auto v) { return py::isinstance<py::array_t<decltype(v), 0>>(volume); })) {
      return info.type;
    }
  }
  throw py::value_error("the volume's type " + std::string(py::str(volume.dtype())) +
                        " is not one of uint8, int8, uint16, int16, uint32, int32, float32, float64");
}

py::array newArray(ScalarType type, std::vector<py::ssize_t> shape) {
  return withScalarType(type, [&](auto v) { return py::array(py::array_t<decltype(v)>(shape)); });
}

// The volume on the filter's unit scale, and the range that maps it back:
// bytes / 255 for uint8, the whole volume's finite range otherwise.
std::vector<float> toUnit(const void* voxels, ScalarType type, int64_t count, ValueRange& range) {
  range = type == ScalarType::UInt8 ? ValueRange{0.0, 255.0} : findValueRange(voxels, type, count);
  std::vector<float> unit(static_cast<size_t>(count));
  mapToUnit(voxels, type, count, range, unit.data());
  return unit;
}

// A [z, y, x] array over the voxels of `volume`, which it then owns.
py::array ownedArray(Volume&& volume) {
  auto* owned = new Volume(std::move(volume));
  const py::capsule owner(owned, [](void* p) { delete static_cast<Volume*>(p); });
  const Dims dims = owned->dims;
  return withScalarType(owned->type, [&](auto v) {
    using T = decltype(v);
    return py::array(py::array_t<T>({py::ssize_t{dims.z}, py::ssize_t{dims.y}, py::ssize_t{dims.x}},
                                    reinterpret_cast<const T*>(owned->data.data()), owner));
  });
}

// One whole run of `params` over a volume in memory, in the volume's own type
// and range (uint8: exactly the bytes voluna-filter writes), or as float32 on
// that scale without rounding; with the lines a person should hear of.
py::tuple runOnVolume(const py::array& volume, const FilterParams& params, const Geometry& geometry,
                      const std::string& backend, int64_t threads, const py::object& progress, bool floatResult) {
  const ScalarType type = scalarTypeOf(volume);
  RunRequest request;
  request.params = params;
  const FilterOptions options = optionsOf(backend, threads);
  request.backend = options.backend;
  request.threads = options.threads;
  request.input = RunInput::inMemory(volume.data(), type, dimsOf(volume), geometry);
  request.resultType = floatResult ? ResultType::Float32 : ResultType::Input;
  request.keepResult = true;
  ProgressQueue queue;
  request.progress = queue.sink();
  PipelineRun run(std::move(request));
  RunOutcome outcome;
  runWatched([&] { outcome = run.run(); }, [&] { run.cancel(); }, queue, progress);
  raiseFor(outcome);
  return py::make_tuple(ownedArray(std::move(outcome.result)), noticesFor(outcome));
}

py::tuple filterVolume(const py::array& volume, int64_t samples, int64_t steps, int64_t angle,
                       bool preserveEdges, const std::string& backend, int64_t threads,
                       const py::object& progress, bool floatResult) {
  return runOnVolume(volume, paramsOf(samples, steps, angle, preserveEdges), {}, backend, threads, progress,
                     floatResult);
}

// The denoiser, through the same run as the filter; the noise level it
// took comes back beside the result.
py::tuple denoiseVolume(const py::array& volume, double noise, const std::vector<double>& spacing,
                        const std::string& backend, int64_t threads, const py::object& progress, bool floatResult) {
  FilterParams params;
  params.denoise = true;
  params.noise = noise < 0 ? -1.0 : noise;
  Geometry geometry;
  for (int a = 0; a < 3; ++a) geometry.spacing[a] = spacing.at(static_cast<size_t>(a));
  return runOnVolume(volume, params, geometry, backend, threads, progress, floatResult);
}

// The noise's standard deviation in the volume's own units, and whether it
// looks Rician (a magnitude image).
py::tuple estimateVolumeNoise(const py::array& volume) {
  const ScalarType type = scalarTypeOf(volume);
  const Dims dims = dimsOf(volume);
  NoiseEstimate estimate;
  ValueRange range;
  {
    py::gil_scoped_release release;
    // Bytes map as byte / 255 in every run.
    range = type == ScalarType::UInt8 ? ValueRange{0.0, 255.0} : findValueRange(volume.data(), type, dims.count());
    std::vector<float> unit(static_cast<size_t>(dims.count()));
    mapToUnit(volume.data(), type, dims.count(), range, unit.data());
    estimate = estimateNoise(unit.data(), dims);
  }
  if (!estimate.ok()) throw py::value_error(estimate.problem);
  return py::make_tuple(inputNoise(estimate.sigma, range.min, range.max), estimate.rician);
}

py::array directionsOfVolume(const py::array& volume, int64_t samples, int64_t angle,
                             bool preserveEdges, const std::string& backend, int64_t threads,
                             const py::object& progress) {
  const ScalarType type = scalarTypeOf(volume);
  const FilterParams params = paramsOf(samples, 0, angle, preserveEdges);
  FilterOptions options = optionsOf(backend, threads);
  const Dims dims = dimsOf(volume);
  const void* voxels = volume.data();
  py::array_t<float> result({volume.shape(0), volume.shape(1), volume.shape(2), py::ssize_t{3}});
  auto* out = reinterpret_cast<Vec3*>(result.mutable_data());
  static_assert(sizeof(Vec3) == 3 * sizeof(float), "Vec3 must be three packed floats");
  ProgressQueue queue;
  RunControl control(queue.sink());
  options.control = &control;
  FilterOutcome outcome;
  runWatched(
      [&] {
        ValueRange range;
        const std::vector<float> unit = toUnit(voxels, type, dims.count(), range);
        outcome = runDirectionField(unit.data(), dims, params, out, options);
      },
      [&] { control.cancel(); }, queue, progress);
  raiseFor(outcome);
  return result;
}


py::tuple triple(const double* values) { return py::make_tuple(values[0], values[1], values[2]); }

// (array [z, y, x], spacing, origin, direction, affine, notice, unit): the
// voxels stay in the buffer io read them into, owned by the array.
py::tuple readVolume(const std::string& path, const std::string& series) {
  LoadResult loaded;
  {
    py::gil_scoped_release release;
    loaded = loadVolume(path, LoadOptions{series});
  }
  if (!loaded.ok()) raise(PyExc_OSError, loaded.error);
  const Geometry g = loaded.volume.geometry;
  const py::array array = ownedArray(std::move(loaded.volume));
  const py::tuple direction = py::make_tuple(triple(g.direction), triple(g.direction + 3), triple(g.direction + 6));
  double affine[16];
  worldAffine(g, affine);
  py::list rows;
  for (int r = 0; r < 4; ++r) rows.append(py::make_tuple(affine[4 * r], affine[4 * r + 1], affine[4 * r + 2], affine[4 * r + 3]));
  return py::make_tuple(array, triple(g.spacing), triple(g.origin), direction, rows, loaded.notice,
                        unitName(g.unit));
}

// (series, notices): each series as (uid, modality, description, number,
// images, (width, height, depth), problem).
py::tuple listVolumeSeries(const std::string& path) {
  SeriesListing listing;
  {
    py::gil_scoped_release release;
    listing = listSeries(path);
  }
  if (!listing.ok()) raise(PyExc_OSError, listing.error);
  py::list series;
  for (const SeriesInfo& s : listing.series) {
    series.append(py::make_tuple(s.uid, s.modality, s.description, s.number, s.images,
                                 py::make_tuple(s.width, s.height, s.depth), s.problem()));
  }
  return py::make_tuple(series, listing.notices);
}

// Writes with spacing, origin and direction, or with a 4 x 4 affine (16
// numbers, row-major) that becomes a NIfTI result's sform as it is. Returns
// what the format could not keep, for a warning.
std::string writeVolumeFile(const std::string& path, const py::array& array, std::vector<double> spacing,
                            std::vector<double> origin, std::vector<double> direction,
                            const std::optional<std::vector<double>>& affine, const std::string& unit) {
  OutputFormat format;
  std::string formatProblem;
  if (!outputFormatFor(path, format, formatProblem)) throw py::value_error(formatProblem);
  Volume volume;
  if (affine) {
    if (affine->size() != 16) throw py::value_error("affine needs 16 numbers (a 4 x 4 matrix)");
    const std::string problem = geometryFromAffine(affine->data(), volume.geometry);
    if (!problem.empty()) throw py::value_error(problem);
  } else {
    if (spacing.size() != 3 || origin.size() != 3 || direction.size() != 9) {
      throw py::value_error("spacing and origin need 3 numbers and direction 9 (a 3 x 3 matrix)");
    }
    std::copy(spacing.begin(), spacing.end(), volume.geometry.spacing);
    std::copy(origin.begin(), origin.end(), volume.geometry.origin);
    std::copy(direction.begin(), direction.end(), volume.geometry.direction);
  }
  if (unit != "mm" && unit != "um") throw py::value_error("unit must be 'mm' or 'um', got '" + unit + "'");
  volume.geometry.unit = unit == "um" ? LengthUnit::Micrometre : LengthUnit::Millimetre;
  volume.type = scalarTypeOf(array);
  volume.dims = dimsOf(array);
  const auto* bytes = static_cast<const uint8_t*>(array.data());
  std::string problem;
  {
    py::gil_scoped_release release;
    volume.data.assign(bytes, bytes + array.nbytes());
    problem = writeVolume(path, volume);
  }
  if (!problem.empty()) raise(PyExc_OSError, problem);
  return geometryLossNotice(path, volume.geometry);
}

// Where a [z, y, x] block starting at `start` lies, as a box.
Box boxOf(const std::vector<int64_t>& start, const py::array& block) {
  if (block.ndim() != 3 || !(block.flags() & py::array::c_style)) {
    throw py::value_error("a brick must be a C-contiguous 3D [z, y, x] array");
  }
  if (start.size() != 3) throw py::value_error("brick positions need 3 numbers [z, y, x]");
  return {start[2], start[1], start[0], start[2] + block.shape(2), start[1] + block.shape(1),
          start[0] + block.shape(0)};
}

// The brick arguments every chunk call shares, [z, y, x] as numpy gives them.
struct BrickArgs {
  Extent whole;
  Box interior;

  BrickArgs(const std::vector<int64_t>& wholeShape, const std::vector<int64_t>& interiorStart,
            const std::vector<int64_t>& interiorStop) {
    for (const auto* v : {&wholeShape, &interiorStart, &interiorStop}) {
      if (v->size() != 3) throw py::value_error("brick positions need 3 numbers [z, y, x]");
    }
    whole = {wholeShape[2], wholeShape[1], wholeShape[0]};
    interior = {interiorStart[2], interiorStart[1], interiorStart[0],
                interiorStop[2],  interiorStop[1],  interiorStop[0]};
  }

  py::array newResult(ScalarType type) const {
    return newArray(type, {py::ssize_t{std::max<int64_t>(0, interior.depth())},
                           py::ssize_t{std::max<int64_t>(0, interior.height())},
                           py::ssize_t{std::max<int64_t>(0, interior.width())}});
  }
};

// The filter's floats for a block's voxels, on the whole volume's scale.
std::vector<float> unitValues(const py::array& block, const Box& box, ScalarType type,
                              ValueRange range) {
  std::vector<float> unit(static_cast<size_t>(box.count()));
  mapToUnit(block.data(), type, box.count(), range, unit.data());
  return unit;
}

ValueRange rangeFor(ScalarType type, double rangeMin, double rangeMax) {
  return type == ScalarType::UInt8 ? ValueRange{0.0, 255.0} : ValueRange{rangeMin, rangeMax};
}

// A chunk and the filter settings, as every brick call decodes them.
struct BrickInput {
  ScalarType type;
  FilterParams params;
  FilterOptions options;
  Box box;  // of the chunk, in the whole volume
  ValueRange range;

  BrickInput(const py::array& block, const std::vector<int64_t>& blockStart, double rangeMin,
             double rangeMax, int64_t samples, int64_t steps, int64_t angle, bool preserveEdges,
             const std::string& backend, int64_t threads)
      : type(scalarTypeOf(block)),
        params(paramsOf(samples, steps, angle, preserveEdges)),
        options(optionsOf(backend, threads)),
        box(boxOf(blockStart, block)),
        range(rangeFor(type, rangeMin, rangeMax)) {}
};

// A chunk's run through the pipeline's box entry: its result, and the
// fallback's notices as warnings.
py::array runChunk(BoxRequest request, const py::array& block, const BrickArgs& args, bool floatResult) {
  py::array result = args.newResult(floatResult ? ScalarType::Float32 : request.type);
  request.block = block.data();
  request.whole = args.whole;
  request.interior = args.interior;
  request.resultType = floatResult ? ResultType::Float32 : ResultType::Input;
  request.out = result.mutable_data();
  RunOutcome outcome;
  {
    py::gil_scoped_release release;
    outcome = runBox(request);
  }
  raiseFor(outcome);
  for (const py::handle text : noticesFor(outcome)) {
    if (PyErr_WarnEx(PyExc_RuntimeWarning, py::str(text).cast<std::string>().c_str(), 1) != 0) {
      throw py::error_already_set();
    }
  }
  return result;
}

// One dask chunk: `block` is the chunk grown by the reach (clipped at the
// volume's faces), starting at `blockStart` of a volume of `wholeShape`, all
// [z, y, x]; the result holds only the interior [interiorStart, interiorStop),
// identical to the same voxels of a whole-volume call. `rangeMin` and
// `rangeMax` are the whole volume's, so every chunk maps values alike.
py::array filterBrick(const py::array& block, const std::vector<int64_t>& blockStart,
                      const std::vector<int64_t>& wholeShape, const std::vector<int64_t>& interiorStart,
                      const std::vector<int64_t>& interiorStop, double rangeMin, double rangeMax,
                      int64_t samples, int64_t steps, int64_t angle, bool preserveEdges,
                      const std::string& backend, int64_t threads, bool floatResult) {
  const BrickInput in(block, blockStart, rangeMin, rangeMax, samples, steps, angle, preserveEdges,
                      backend, threads);
  BoxRequest request;
  request.type = in.type;
  request.blockBox = in.box;
  request.range = in.range;
  request.params = in.params;
  request.backend = in.options.backend;
  request.threads = in.options.threads;
  return runChunk(request, block, BrickArgs(wholeShape, interiorStart, interiorStop), floatResult);
}

// The first of a chunk's two stages on the CPU: the direction indices of
// its interior (uint16 [z, y, x]) from the chunk grown by samples + 1.
py::array searchBrickOf(const py::array& block, const std::vector<int64_t>& blockStart,
                        const std::vector<int64_t>& wholeShape, const std::vector<int64_t>& interiorStart,
                        const std::vector<int64_t>& interiorStop, double rangeMin, double rangeMax,
                        int64_t samples, int64_t steps, int64_t angle, bool preserveEdges,
                        const std::string& backend, int64_t threads) {
  const BrickInput in(block, blockStart, rangeMin, rangeMax, samples, steps, angle, preserveEdges,
                      backend, threads);
  const BrickArgs args(wholeShape, interiorStart, interiorStop);
  py::array result = args.newResult(ScalarType::UInt16);
  auto* chosen = static_cast<uint16_t*>(result.mutable_data());
  FilterOutcome outcome;
  {
    py::gil_scoped_release release;
    outcome = searchBrick(unitValues(block, in.box, in.type, in.range).data(), in.box, args.whole,
                          args.interior, in.params, chosen, in.options);
  }
  raiseFor(outcome);
  return result;
}

// The second stage: the chunk's result from the chunk grown by steps + 1
// and the direction indices (searchBrickOf's) of the chunk grown by steps.
py::array integrateBrickOf(const py::array& block, const std::vector<int64_t>& blockStart,
                           const py::array& field, const std::vector<int64_t>& fieldStart,
                           const std::vector<int64_t>& wholeShape, const std::vector<int64_t>& interiorStart,
                           const std::vector<int64_t>& interiorStop, double rangeMin, double rangeMax,
                           int64_t samples, int64_t steps, int64_t angle, bool preserveEdges,
                           const std::string& backend, int64_t threads, bool floatResult) {
  const BrickInput in(block, blockStart, rangeMin, rangeMax, samples, steps, angle, preserveEdges,
                      backend, threads);
  const Box fieldBox = boxOf(fieldStart, field);
  if (!py::isinstance<py::array_t<uint16_t>>(field)) {
    throw py::value_error("a brick's direction field must be uint16, as search_brick gives it");
  }
  const BrickArgs args(wholeShape, interiorStart, interiorStop);
  py::array result = args.newResult(floatResult ? ScalarType::Float32 : in.type);
  void* out = result.mutable_data();
  const auto* chosen = static_cast<const uint16_t*>(field.data());
  FilterOutcome outcome;
  {
    py::gil_scoped_release release;
    std::vector<float> filtered(static_cast<size_t>(std::max<int64_t>(0, args.interior.count())));
    outcome = integrateBrick(unitValues(block, in.box, in.type, in.range).data(), in.box, chosen,
                             fieldBox, args.whole, args.interior, in.params, filtered.data(),
                             in.options);
    // Bytes come with [0, 255]: their float result is r * 255.
    if (outcome.ok()) {
      mapFromUnit(filtered.data(), args.interior.count(), in.range, floatResult ? ScalarType::Float32 : in.type, out);
    }
  }
  raiseFor(outcome);
  return result;
}

// A dask chunk denoised: as filterBrick, with the volume's spacing (x, y,
// z) and its noise estimate, measured once over the whole volume
// (NoiseSlabs) and handed to every chunk; `noise` below 0 takes the
// estimate's level.
py::array denoiseBrick(const py::array& block, const std::vector<int64_t>& blockStart,
                       const std::vector<int64_t>& wholeShape, const std::vector<int64_t>& interiorStart,
                       const std::vector<int64_t>& interiorStop, double rangeMin, double rangeMax, double noise,
                       const std::vector<double>& spacing, float estimateSigma, bool rician, float floor,
                       const std::string& backend, int64_t threads, bool floatResult) {
  const FilterOptions options = optionsOf(backend, threads);
  BoxRequest request;
  request.type = scalarTypeOf(block);
  request.blockBox = boxOf(blockStart, block);
  request.range = rangeFor(request.type, rangeMin, rangeMax);
  request.params.denoise = true;
  request.params.noise = noise < 0 ? -1.0 : noise;
  for (int a = 0; a < 3; ++a) request.geometry.spacing[a] = spacing.at(static_cast<size_t>(a));
  request.estimate.sigma = estimateSigma;
  request.estimate.rician = rician;
  request.estimate.floor = floor;
  request.backend = options.backend;
  request.threads = options.threads;
  return runChunk(request, block, BrickArgs(wholeShape, interiorStart, interiorStop), floatResult);
}

// The noise estimate of a volume read in slabs of whole slices (a dask
// array), on the unit scale of the whole volume's range: the estimate a
// whole run takes.
class NoiseSlabs {
 public:
  NoiseSlabs(const std::vector<int64_t>& shape, double rangeMin, double rangeMax)
      : estimator_(shape.at(2), shape.at(1), shape.at(0)), rangeMin_(rangeMin), rangeMax_(rangeMax) {}

  // `slab`: slices [slabZ0, slabZ0 + depth) of the volume; measures [zBegin, zEnd).
  void add(const py::array& slab, int64_t slabZ0, int64_t zBegin, int64_t zEnd) {
    const Box box = boxOf({slabZ0, 0, 0}, slab);
    const ScalarType type = scalarTypeOf(slab);
    const std::vector<float> unit = unitValues(slab, box, type, rangeFor(type, rangeMin_, rangeMax_));
    py::gil_scoped_release release;
    estimator_.add(unit.data(), slabZ0, box.depth(), zBegin, zEnd);
  }

  // (sigma on the unit scale, Rician, floor on the unit scale)
  py::tuple finish() const {
    const NoiseEstimate e = estimator_.finish();
    if (!e.ok()) throw py::value_error(e.problem);
    return py::make_tuple(e.sigma, e.rician, e.floor);
  }

 private:
  NoiseEstimator estimator_;
  double rangeMin_, rangeMax_;
};

}  // namespace
}  // namespace voluna

PYBIND11_MODULE(_voluna, m) {
  using namespace voluna;
  m.doc() = "Voluna's compiled core; use the functions of the voluna package instead.";
  m.def("filter", &filterVolume, py::arg("volume"), py::arg("samples"), py::arg("steps"),
        py::arg("angle"), py::arg("preserve_edges"), py::arg("backend"), py::arg("threads"),
        py::arg("progress"), py::arg("float_result"));
  m.def("denoise", &denoiseVolume, py::arg("volume"), py::arg("noise"), py::arg("spacing"), py::arg("backend"),
        py::arg("threads"), py::arg("progress"), py::arg("float_result"));
  m.def("estimate_noise", &estimateVolumeNoise, py::arg("volume"));
  m.def("directions", &directionsOfVolume, py::arg("volume"), py::arg("samples"), py::arg("angle"),
        py::arg("preserve_edges"), py::arg("backend"), py::arg("threads"), py::arg("progress"));
  m.def("read", &readVolume, py::arg("path"), py::arg("series") = "");
  m.def("list_series", &listVolumeSeries, py::arg("path"));
  m.def("write", &writeVolumeFile, py::arg("path"), py::arg("array"), py::arg("spacing"),
        py::arg("origin"), py::arg("direction"), py::arg("affine") = py::none(), py::arg("unit") = "mm");
  m.def("filter_brick", &filterBrick, py::arg("block"), py::arg("block_start"), py::arg("whole_shape"),
        py::arg("interior_start"), py::arg("interior_stop"), py::arg("range_min"), py::arg("range_max"),
        py::arg("samples"), py::arg("steps"), py::arg("angle"), py::arg("preserve_edges"),
        py::arg("backend"), py::arg("threads"), py::arg("float_result"));
  m.def("search_brick", &searchBrickOf, py::arg("block"), py::arg("block_start"), py::arg("whole_shape"),
        py::arg("interior_start"), py::arg("interior_stop"), py::arg("range_min"), py::arg("range_max"),
        py::arg("samples"), py::arg("steps"), py::arg("angle"), py::arg("preserve_edges"),
        py::arg("backend"), py::arg("threads"));
  m.def("integrate_brick", &integrateBrickOf, py::arg("block"), py::arg("block_start"), py::arg("field"),
        py::arg("field_start"), py::arg("whole_shape"), py::arg("interior_start"), py::arg("interior_stop"),
        py::arg("range_min"), py::arg("range_max"), py::arg("samples"), py::arg("steps"), py::arg("angle"),
        py::arg("preserve_edges"), py::arg("backend"), py::arg("threads"), py::arg("float_result"));
  m.def(
      "filter_reach",
      [](int64_t samples, int64_t steps, int64_t angle, bool preserveEdges) {
        return filterReach(paramsOf(samples, steps, angle, preserveEdges));
      },
      py::arg("samples"), py::arg("steps"), py::arg("angle"), py::arg("preserve_edges"));
  // What a lazy (dask) call checks before it returns, so that a refusal is
  // not left for the first chunk to find.
  m.def(
      "check_options",
      [](const std::string& backend, int64_t threads) {
        const FilterOptions options = optionsOf(backend, threads);
        if (options.backend == Backend::Cuda && !cudaUsable()) {
          throw std::runtime_error("no usable CUDA device was found (or this build has no CUDA support)");
        }
      },
      py::arg("backend"), py::arg("threads"));
  m.def("denoise_brick", &denoiseBrick, py::arg("block"), py::arg("block_start"), py::arg("whole_shape"),
        py::arg("interior_start"), py::arg("interior_stop"), py::arg("range_min"), py::arg("range_max"),
        py::arg("noise"), py::arg("spacing"), py::arg("estimate_sigma"), py::arg("rician"), py::arg("floor"),
        py::arg("backend"), py::arg("threads"), py::arg("float_result"));
  m.def(
      "denoise_reach",
      [](const std::vector<double>& spacing) {
        DenoiseParams params;
        params.spacing = {static_cast<float>(spacing.at(0)), static_cast<float>(spacing.at(1)),
                          static_cast<float>(spacing.at(2))};
        const std::string problem = checkDenoiseParams(params);
        if (!problem.empty()) throw py::value_error(problem);
        const Reach r = denoiseReach(params);
        return std::vector<int>{r.z, r.y, r.x};
      },
      py::arg("spacing"));
  py::class_<NoiseSlabs>(m, "NoiseSlabs")
      .def(py::init<const std::vector<int64_t>&, double, double>(), py::arg("shape"), py::arg("range_min"),
           py::arg("range_max"))
      .def("add", &NoiseSlabs::add, py::arg("slab"), py::arg("slab_z0"), py::arg("z_begin"), py::arg("z_end"))
      .def("finish", &NoiseSlabs::finish);
  m.def("cuda_usable", &cudaUsable);
  // For the tests: every run that would go to a GPU fails as one out of
  // memory does, without touching a device.
  m.def("_simulate_gpu_failure", &simulateGpuFailure, py::arg("on"));
  m.attr("max_voxels") = kMaxVoxels;
}
