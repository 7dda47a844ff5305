// What reading and writing a scanner volume add to a filter run: a 256^3
// int16 volume (CT-like values over the noisy crossing tubes) is read, mapped
// onto the unit scale, filtered at the defaults, mapped back and written, each
// step timed in the same process. Reading, mapping and writing are repeated
// and their medians taken; the filter runs once (minutes on two cores).
//   voluna-io-overhead [--size N] [--repeats N] [--backend cpu|cuda|auto] [--folder DIR]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "filter.h"
#include "scenes.h"
#include "value_mapping.h"
#include "volume_io.h"

namespace {

using namespace voluna;
namespace fs = std::filesystem;

double seconds(const std::function<void()>& step) {
  const auto start = std::chrono::steady_clock::now();
  step();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "voluna-io-overhead: %s\n", why.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  int size = 256, repeats = 5;
  Backend backend = Backend::Cpu;
  fs::path folder = fs::temp_directory_path() / ("voluna-io-overhead-" + std::to_string(::getpid()));
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    if (option == "--size") size = std::atoi(value.c_str());
    else if (option == "--repeats") repeats = std::max(1, std::atoi(value.c_str()));
    else if (option == "--folder") folder = value;
    else if (option == "--backend") backend = value == "cuda" ? Backend::Cuda : value == "auto" ? Backend::Auto : Backend::Cpu;
    else die("unknown option " + option);
  }
  fs::create_directories(folder);

  // -1000 HU air to about 1000 HU over the tubes, with the scene's noise.
  const Scene scene = crossingTubes(size, size / 12.0f, 25.0f, 20261207);
  Volume ct;
  ct.dims = scene.dims;
  ct.type = ScalarType::Int16;
  ct.geometry.spacing[0] = ct.geometry.spacing[1] = 0.7;
  ct.geometry.spacing[2] = 1.25;
  std::vector<int16_t> hu(scene.noisy.size());
  for (size_t i = 0; i < hu.size(); ++i) hu[i] = static_cast<int16_t>(std::lround(-1000.0f + 8.0f * scene.noisy[i]));
  ct.data.resize(hu.size() * 2);
  std::memcpy(ct.data.data(), hu.data(), ct.data.size());
  const int64_t count = ct.dims.count();

  std::printf("| step | %s | median of | seconds |\n|---|---|---:|---:|\n", "format");
  struct Format {
    const char* name;
    double read = 0, write = 0;
  };
  std::vector<Format> formats = {{".nii"}, {".nrrd"}, {".nii.gz"}};
  Volume loaded;
  for (Format& f : formats) {
    const std::string input = (folder / (std::string("input") + f.name)).string();
    if (const std::string problem = writeVolume(input, ct); !problem.empty()) die(problem);
    std::vector<double> reads, writes;
    for (int r = 0; r < repeats; ++r) {
      reads.push_back(seconds([&] {
        LoadResult result = loadVolume(input);
        if (!result.ok()) die(result.error);
        loaded = std::move(result.volume);
      }));
      writes.push_back(seconds([&] {
        if (const std::string problem = writeVolume((folder / (std::string("output") + f.name)).string(), loaded);
            !problem.empty()) {
          die(problem);
        }
      }));
    }
    f.read = median(reads);
    f.write = median(writes);
    std::printf("| read | %s | %d | %.4f |\n| write | %s | %d | %.4f |\n", f.name, repeats, f.read, f.name, repeats,
                f.write);
  }

  std::vector<float> unit(static_cast<size_t>(count)), result(static_cast<size_t>(count));
  std::vector<double> ins, outs;
  ValueRange range;
  for (int r = 0; r < repeats; ++r) {
    ins.push_back(seconds([&] {
      range = findValueRange(loaded.data.data(), loaded.type, count);
      mapToUnit(loaded.data.data(), loaded.type, count, range, unit.data());
    }));
    outs.push_back(seconds([&] { mapFromUnit(unit.data(), count, range, loaded.type, loaded.data.data()); }));
  }
  const double mapping = median(ins) + median(outs);
  std::printf("| range and map in + map back | | %d | %.4f |\n", repeats, mapping);

  FilterOptions options;
  options.backend = backend;
  FilterOutcome outcome;
  std::fflush(stdout);
  const double filtering = seconds([&] { outcome = runFilter(unit.data(), ct.dims, FilterParams{}, result.data(), options); });
  if (!outcome.ok()) die(outcome.message);
  std::printf("| filter at the defaults (%s) | | 1 | %.2f |\n\n", outcome.backend.c_str(), filtering);

  std::printf("%d^3 int16, reading + mapping + writing as a share of the filter time:\n", size);
  for (const Format& f : formats) {
    std::printf("  %-8s %.2f %%  (%.3f s)\n", f.name, 100.0 * (f.read + mapping + f.write) / filtering,
                f.read + mapping + f.write);
  }
  fs::remove_all(folder);
  return 0;
}
