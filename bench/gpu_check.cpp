// voluna-gpu-check: the CUDA backend against the fast CPU path on a machine
// with an NVIDIA GPU. Prints, for the sample volume, a noisy 128^3 volume
// and a constant one, with the default and the edge-preserving score, how
// many result bytes agree, the largest difference, and the throughput of
// both. Run through scripts/gpu-check.sh.
//   voluna-gpu-check [sample volume]
// Exit status: 0 done, 1 a GPU run failed, 77 no usable GPU.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <omp.h>

#include "byte_conversion.h"
#include "filter.h"
#include "quiet_stdout.h"
#include "run_stats.h"
#include "gpu_filter.h"
#include "scenes.h"
#include "value_mapping.h"
#include "volume_io.h"

namespace {

using namespace voluna;

struct CheckVolume {
  std::string name;
  Dims dims;
  std::vector<float> values;
};

CheckVolume fromBytes(std::string name, Dims dims, const std::vector<uint8_t>& bytes) {
  return {std::move(name), dims, bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size()))};
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}


std::string si(double value) {
  const char* units[] = {"", "k", "M", "G", "T"};
  int u = 0;
  while (value >= 1000 && u < 4) {
    value /= 1000;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.3g %s", value, units[u]);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (!gpuUsable()) {
    std::printf("voluna-gpu-check: no usable CUDA device here\n");
    return 77;
  }
  const std::string samplePath = argc > 1 ? argv[1] : "data/crossing-tubes.mhd";
  std::vector<CheckVolume> volumes;
  const LoadResult sample = loadVolume(samplePath);
  if (sample.ok()) {
    const Volume& in = sample.volume;
    CheckVolume v{"sample " + samplePath, in.dims, std::vector<float>(static_cast<size_t>(in.dims.count()))};
    mapToUnit(in.data.data(), in.type, in.dims.count(), unitRangeOf(in), v.values.data());
    volumes.push_back(std::move(v));
  } else {
    std::fprintf(stderr, "voluna-gpu-check: skipping the sample: %s\n", sample.error.c_str());
  }
  const Scene noisy = crossingTubes(128, 10.0f, 40.0f, 1);
  volumes.push_back(fromBytes("noisy crossing tubes", noisy.dims, toBytes(noisy.noisy)));
  const Dims flat{128, 128, 128};
  volumes.push_back(fromBytes("constant 128", flat, constantBytes(flat, 128)));

  std::printf("GPU: %s; CPU path: %d threads\n\n", gpuName().c_str(), omp_get_max_threads());
  {
    // The first run pays for the CUDA context; keep it out of the timings.
    QuietStdout quiet;
    std::vector<float> one(8, 0.5f), out(8);
    GpuFilter().run(one.data(), Dims{2, 2, 2}, FilterParams(), out.data());
  }
  std::printf("| volume | score | identical bytes | largest byte difference | CPU voxels/s | "
              "GPU voxels/s | GPU samples/s | GPU / CPU |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|\n");
  bool failed = false;
  for (const CheckVolume& v : volumes) {
    for (const bool edges : {false, true}) {
      FilterParams params;
      params.preserveEdges = edges;
      const size_t n = v.values.size();
      std::vector<float> cpu(n), gpu(n);
      RunStats stats;
      FilterOptions onCpu;
      onCpu.backend = Backend::Cpu;
      onCpu.stats = &stats;
      double cpuSeconds, gpuSeconds;
      GpuOutcome outcome;
      {
        QuietStdout quiet;
        auto start = std::chrono::steady_clock::now();
        runFilter(v.values.data(), v.dims, params, cpu.data(), onCpu);
        cpuSeconds = secondsSince(start);
        start = std::chrono::steady_clock::now();
        outcome = GpuFilter().run(v.values.data(), v.dims, params, gpu.data());
        gpuSeconds = secondsSince(start);
      }
      char dims[64];
      std::snprintf(dims, sizeof dims, " (%dx%dx%d)", v.dims.x, v.dims.y, v.dims.z);
      const char* score = edges ? "edge-preserving" : "default";
      if (outcome.status != GpuOutcome::Status::Ok) {
        std::printf("| %s%s | %s | GPU run failed: %s |\n", v.name.c_str(), dims, score,
                    outcome.message.c_str());
        failed = true;
        continue;
      }
      const std::vector<uint8_t> a = unitFloatsToBytes(cpu.data(), static_cast<int64_t>(n));
      const std::vector<uint8_t> b = unitFloatsToBytes(gpu.data(), static_cast<int64_t>(n));
      size_t same = 0;
      int largest = 0;
      for (size_t i = 0; i < n; ++i) {
        same += a[i] == b[i];
        largest = std::max(largest, std::abs(int(a[i]) - int(b[i])));
      }
      // Samples as the plain search takes them, for both backends.
      const double samples = static_cast<double>(stats.search.referenceSamples);
      std::printf("| %s%s | %s | %.3f %% | %d | %s | %s | %s | %.1fx |\n", v.name.c_str(), dims, score,
                  100.0 * static_cast<double>(same) / static_cast<double>(n), largest,
                  si(n / cpuSeconds).c_str(), si(n / gpuSeconds).c_str(),
                  si(samples / gpuSeconds).c_str(), cpuSeconds / gpuSeconds);
    }
  }
  std::printf("\nTimes are one run each, the GPU's with its uploads and copies; samples/s count\n"
              "the samples the plain search takes for the same voxels.\n");
  return failed ? 1 : 0;
}
