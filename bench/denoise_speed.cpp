// What the denoiser costs next to the default filter, on the fast CPU path:
// the two run in turn on the same noisy volume, and the medians of their
// times and of the per-pair ratios are printed. Taking turns keeps the
// load of a shared machine from favouring either.
//   voluna-denoise-speed [--size N] [--repeats N] [--threads N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "byte_conversion.h"
#include "denoise.h"
#include "fast_denoise.h"
#include "filter.h"
#include "noise_estimate.h"
#include "quiet_stdout.h"
#include "scenes.h"

namespace {

using namespace voluna;

double secondsOf(const std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  int size = 128, repeats = 5, threads = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--size")) size = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--repeats")) repeats = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--threads")) threads = std::atoi(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: voluna-denoise-speed [--size N] [--repeats N] [--threads N]\n");
      return 2;
    }
  }
  if (argc % 2 == 0 || size < 8 || repeats < 1) {
    std::fprintf(stderr, "usage: voluna-denoise-speed [--size N (8 or more)] [--repeats N] [--threads N]\n");
    return 2;
  }
  // The volume the GPU check and the README's speed table use: noisy tubes.
  const Scene scene = crossingTubes(size, size / 12.8f, 40.0f, 1);
  const std::vector<uint8_t> bytes = toBytes(scene.noisy);
  const std::vector<float> input = bytesToUnitFloats(bytes.data(), scene.dims.count());
  std::vector<float> out(input.size());
  FilterOptions options;
  options.backend = Backend::Cpu;
  options.threads = threads;

  std::vector<double> filterTimes, denoiseTimes, estimateTimes, ratios;
  DenoiseParams params;
  for (int r = 0; r < repeats; ++r) {
    auto start = std::chrono::steady_clock::now();
    {
      QuietStdout quiet;
      if (!runFilter(input.data(), scene.dims, FilterParams(), out.data(), options).ok()) return 1;
    }
    filterTimes.push_back(secondsOf(start));
    start = std::chrono::steady_clock::now();
    const NoiseEstimate estimate = estimateNoise(input.data(), scene.dims);
    estimateTimes.push_back(secondsOf(start));
    if (!estimate.ok()) {
      std::fprintf(stderr, "voluna-denoise-speed: %s\n", estimate.problem.c_str());
      return 1;
    }
    takeEstimate(estimate, params);
    const FilterOutcome outcome = runDenoise(input.data(), scene.dims, params, out.data(), options);
    if (!outcome.ok()) {
      std::fprintf(stderr, "voluna-denoise-speed: %s\n", outcome.message.c_str());
      return 1;
    }
    denoiseTimes.push_back(secondsOf(start));
    ratios.push_back(denoiseTimes.back() / filterTimes.back());
    std::fprintf(stderr, "run %d: filter %.2f s, denoise %.2f s (noise estimate %.2f s)\n", r + 1,
                 filterTimes.back(), denoiseTimes.back(), estimateTimes.back());
  }
  std::printf("Noisy crossing tubes, %d^3, fast CPU path (%s, %d lanes), %zu runs each, in turn:\n\n",
              size, denoiseTargetName(), denoiseLanes(), filterTimes.size());
  std::printf("| method | median s | fastest s |\n|---|---:|---:|\n");
  std::printf("| default filter (5, 5, 5) | %.2f | %.2f |\n", median(filterTimes),
              *std::min_element(filterTimes.begin(), filterTimes.end()));
  std::printf("| --denoise, noise estimate included | %.2f | %.2f |\n", median(denoiseTimes),
              *std::min_element(denoiseTimes.begin(), denoiseTimes.end()));
  std::printf("| of it the noise estimate | %.2f | %.2f |\n", median(estimateTimes),
              *std::min_element(estimateTimes.begin(), estimateTimes.end()));
  std::printf("\n--denoise / default filter: %.2f (median of the per-pair ratios), %.2f (ratio of the "
              "medians); noise estimate %.2f of 255\n",
              median(ratios), median(denoiseTimes) / median(filterTimes),
              inputNoise(params.noise, 0, 255));
  return 0;
}
