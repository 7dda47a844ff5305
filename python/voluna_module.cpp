// The compiled half of the `voluna` package: numpy arrays in and out of the
// filter, with the GIL released, progress handed to Python and Ctrl-C turned
// into a cancelled run. Dtype handling and the friendly signatures live in
// the pure-Python layer beside it.
#include <Python.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "byte_conversion.h"
#include "filter.h"

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

// Runs `work(control)` on a worker thread while the calling thread, without
// the GIL, waits for it. Every poll interval the caller takes the GIL to hand
// progress to `progress` and to run Python's signal handlers: a
// KeyboardInterrupt (or an exception from the callback) cancels the run, and
// is raised here once the worker has stopped, so nothing is left half-done
// behind the caller's back. Python only runs signal handlers on the main
// thread; elsewhere the check is a no-op and only the callback can stop a run.
template <class Work>
FilterOutcome runWatched(Work work, const py::object& progress) {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  // Reports not yet handed on, at most one per stage: the latest of a stage
  // replaces the one before, and a stage's final 1.0 is never lost.
  std::vector<std::pair<Stage, double>> pending;
  RunControl control([&](Stage stage, double fraction) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (!pending.empty() && pending.back().first == stage) {
      pending.back().second = fraction;
    } else {
      pending.emplace_back(stage, fraction);
    }
  });

  FilterOutcome outcome;
  std::exception_ptr failure;
  PyObject* errorType = nullptr;
  PyObject* errorValue = nullptr;
  PyObject* errorTrace = nullptr;

  auto handOn = [&](std::vector<std::pair<Stage, double>>& reports) {
    // Called with the GIL held.
    if (errorType) return;
    if (PyErr_CheckSignals() != 0) {
      PyErr_Fetch(&errorType, &errorValue, &errorTrace);
      control.cancel();
      return;
    }
    if (progress.is_none()) return;
    for (const auto& [stage, fraction] : reports) {
      const char* name = stage == Stage::VectorField ? "vectorfield" : "filtering";
      PyObject* result = PyObject_CallFunction(progress.ptr(), "sd", name, fraction);
      if (!result) {
        PyErr_Fetch(&errorType, &errorValue, &errorTrace);
        control.cancel();
        return;
      }
      Py_DECREF(result);
    }
  };

  {
    py::gil_scoped_release release;
    std::thread worker([&] {
      try {
        outcome = work(&control);
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
      std::vector<std::pair<Stage, double>> reports;
      reports.swap(pending);
      lock.unlock();
      {
        py::gil_scoped_acquire gil;
        handOn(reports);
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
  if (outcome.status == FilterOutcome::Status::InvalidInput) throw py::value_error(outcome.message);
  if (outcome.status == FilterOutcome::Status::BackendUnavailable) {
    PyErr_SetString(PyExc_RuntimeError, outcome.message.c_str());
    throw py::error_already_set();
  }
  if (outcome.status == FilterOutcome::Status::Cancelled) {
    // Only a cancel from here stops a run, and that raised above.
    PyErr_SetString(PyExc_RuntimeError, "the filter run was cancelled");
    throw py::error_already_set();
  }
  return outcome;
}

template <class T>
py::array_t<T> newArray(const py::array& like) {
  return py::array_t<T>({like.shape(0), like.shape(1), like.shape(2)});
}

// Bytes in, the filter's result out: as bytes exactly as voluna-filter
// writes them, or as floats r * 255.
py::array filterBytes(const py::array& volume, int64_t samples, int64_t steps, int64_t angle,
                      bool preserveEdges, const std::string& backend, int64_t threads,
                      const py::object& progress, bool floatResult) {
  if (!py::isinstance<py::array_t<uint8_t>>(volume)) throw py::value_error("the volume must be uint8");
  const FilterParams params = paramsOf(samples, steps, angle, preserveEdges);
  FilterOptions options = optionsOf(backend, threads);
  const Dims dims = dimsOf(volume);
  const auto* bytes = static_cast<const uint8_t*>(volume.data());
  const int64_t count = dims.count();

  if (floatResult) {
    py::array_t<float> result = newArray<float>(volume);
    float* out = result.mutable_data();
    runWatched(
        [&](const RunControl* control) {
          options.control = control;
          const std::vector<float> input = bytesToUnitFloats(bytes, count);
          FilterOutcome outcome = runFilter(input.data(), dims, params, out, options);
          if (outcome.ok()) {
            for (int64_t i = 0; i < count; ++i) out[i] *= 255.0f;
          }
          return outcome;
        },
        progress);
    return result;
  }
  py::array_t<uint8_t> result = newArray<uint8_t>(volume);
  uint8_t* out = result.mutable_data();
  runWatched(
      [&](const RunControl* control) {
        options.control = control;
        std::vector<float> unit = bytesToUnitFloats(bytes, count);
        std::vector<float> filtered(static_cast<size_t>(count));
        FilterOutcome outcome = runFilter(unit.data(), dims, params, filtered.data(), options);
        if (outcome.ok()) {
          for (int64_t i = 0; i < count; ++i) out[i] = unitFloatToByte(filtered[i]);
        }
        return outcome;
      },
      progress);
  return result;
}

py::array directionsOfBytes(const py::array& volume, int64_t samples, int64_t angle,
                            bool preserveEdges, const std::string& backend, int64_t threads,
                            const py::object& progress) {
  if (!py::isinstance<py::array_t<uint8_t>>(volume)) throw py::value_error("the volume must be uint8");
  const FilterParams params = paramsOf(samples, 0, angle, preserveEdges);
  FilterOptions options = optionsOf(backend, threads);
  const Dims dims = dimsOf(volume);
  const auto* bytes = static_cast<const uint8_t*>(volume.data());
  py::array_t<float> result({volume.shape(0), volume.shape(1), volume.shape(2), py::ssize_t{3}});
  auto* out = reinterpret_cast<Vec3*>(result.mutable_data());
  static_assert(sizeof(Vec3) == 3 * sizeof(float), "Vec3 must be three packed floats");
  runWatched(
      [&](const RunControl* control) {
        options.control = control;
        const std::vector<float> unit = bytesToUnitFloats(bytes, dims.count());
        return runDirectionField(unit.data(), dims, params, out, options);
      },
      progress);
  return result;
}

}  // namespace
}  // namespace voluna

PYBIND11_MODULE(_voluna, m) {
  using namespace voluna;
  m.doc() = "Voluna's compiled core; use the functions of the voluna package instead.";
  m.def("filter", &filterBytes, py::arg("volume"), py::arg("samples"), py::arg("steps"),
        py::arg("angle"), py::arg("preserve_edges"), py::arg("backend"), py::arg("threads"),
        py::arg("progress"), py::arg("float_result"));
  m.def("directions", &directionsOfBytes, py::arg("volume"), py::arg("samples"), py::arg("angle"),
        py::arg("preserve_edges"), py::arg("backend"), py::arg("threads"), py::arg("progress"));
  m.def("cuda_usable", &cudaUsable);
  m.attr("max_voxels") = kMaxVoxels;
}
