// voluna-gpu-check: the CUDA backend against the fast CPU path on a machine
// with an NVIDIA GPU. Prints, for the sample volume, a noisy 128^3 volume
// and a constant one, with the default and the edge-preserving score, how
// many result bytes agree, the largest difference, and the throughput of
// both. Then the denoiser, whose GPU floats must equal both CPU paths' bit
// for bit: noisy tubes at their estimated strength, and a box of a volume
// on a 1 x 1 x 2.5 grid with holes; a PASS or FAIL line says whether they
// did. Run through scripts/gpu-check.sh.
//   voluna-gpu-check [sample volume]
// Exit status: 0 done, 1 a GPU run failed or the denoiser's floats differ,
// 77 no usable GPU.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <omp.h>

#include "byte_conversion.h"
#include "denoise.h"
#include "filter.h"
#include "noise_estimate.h"
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

// One denoiser comparison: a box of a volume (the whole volume for a whole
// run) on the three backends.
struct DenoiseCase {
  std::string name;
  Dims dims;
  std::vector<float> volume;
  Box interior;
  DenoiseParams params;
};

DenoiseCase noisyTubesCase() {
  const Scene scene = crossingTubes(48, 5.0f, 25.0f, 3);
  const std::vector<uint8_t> bytes = toBytes(scene.noisy);
  DenoiseCase c{"noisy tubes, whole", scene.dims,
                bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size())),
                Box::of({scene.dims.x, scene.dims.y, scene.dims.z}), DenoiseParams()};
  takeEstimate(estimateNoise(c.volume.data(), c.dims), c.params);
  return c;
}

DenoiseCase coarseSlicesCase() {
  const Scene scene = anisotropicVessels(48, 20.0f, 4);
  const std::vector<uint8_t> bytes = toBytes(scene.noisy);
  DenoiseCase c{"vessels on 1 x 1 x 2.5, a box, holes", scene.dims,
                bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size())), Box(),
                DenoiseParams()};
  const Dims& d = c.dims;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  c.volume[static_cast<size_t>(d.index(d.x / 2, d.y / 2, d.z / 2))] = nan;
  c.volume[static_cast<size_t>(d.index(3, d.y - 4, 1))] = inf;
  c.volume[static_cast<size_t>(d.index(d.x - 2, 5, d.z - 3))] = -inf;
  c.volume[static_cast<size_t>(d.index(d.x / 3, d.y / 4, d.z / 3))] = nan;
  c.interior = {5, 2, 3, d.x - 6, d.y - 1, d.z - 2};
  takeEstimate(estimateNoise(c.volume.data(), c.dims), c.params);
  c.params.spacing = {1.0f, 1.0f, 2.5f};
  return c;
}

// Prints the case's row; false when the GPU failed or its floats differ.
bool checkDenoise(const DenoiseCase& c) {
  const Extent whole{c.dims.x, c.dims.y, c.dims.z};
  const Box inputBox = denoiseHaloBox(c.interior, whole, c.params);
  std::vector<float> input;
  input.reserve(static_cast<size_t>(inputBox.count()));
  for (int64_t z = inputBox.z0; z < inputBox.z1; ++z)
    for (int64_t y = inputBox.y0; y < inputBox.y1; ++y)
      for (int64_t x = inputBox.x0; x < inputBox.x1; ++x)
        input.push_back(c.volume[static_cast<size_t>(c.dims.index(int(x), int(y), int(z)))]);
  const size_t n = static_cast<size_t>(c.interior.count());
  const Backend backends[] = {Backend::CpuReference, Backend::Cpu, Backend::Cuda};
  std::vector<float> out[3];
  double seconds[3];
  for (int b = 0; b < 3; ++b) {
    out[b].assign(n, 0.0f);
    FilterOptions options;
    options.backend = backends[b];
    const auto start = std::chrono::steady_clock::now();
    const FilterOutcome outcome = denoiseBox(input.data(), inputBox, whole, c.interior, c.params,
                                             out[b].data(), options);
    seconds[b] = secondsSince(start);
    if (!outcome.ok()) {
      std::printf("| %s | %s run failed: %s |\n", c.name.c_str(),
                  b == 2 ? "GPU" : "CPU", outcome.message.c_str());
      return false;
    }
  }
  auto sameFloats = [&](const std::vector<float>& a, const std::vector<float>& b) {
    size_t same = 0;
    for (size_t i = 0; i < n; ++i) same += std::memcmp(&a[i], &b[i], sizeof(float)) == 0;
    return same;
  };
  const std::vector<uint8_t> plainBytes = unitFloatsToBytes(out[0].data(), static_cast<int64_t>(n));
  const std::vector<uint8_t> gpuBytes = unitFloatsToBytes(out[2].data(), static_cast<int64_t>(n));
  size_t sameBytes = 0;
  for (size_t i = 0; i < n; ++i) sameBytes += plainBytes[i] == gpuBytes[i];
  const size_t gpuSame = sameFloats(out[2], out[0]), fastSame = sameFloats(out[1], out[0]);
  char box[96];
  std::snprintf(box, sizeof box, "%lldx%lldx%lld of %dx%dx%d",
                static_cast<long long>(c.interior.width()), static_cast<long long>(c.interior.height()),
                static_cast<long long>(c.interior.depth()), c.dims.x, c.dims.y, c.dims.z);
  std::printf("| %s | %s | %zu / %zu | %zu / %zu | %zu / %zu | %.3f s | %.3f s | %.3f s | %.1fx |\n",
              c.name.c_str(), box, gpuSame, n, fastSame, n, sameBytes, n, seconds[0], seconds[1],
              seconds[2], seconds[1] / seconds[2]);
  return gpuSame == n && fastSame == n;
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
              "the samples the plain search takes for the same voxels.\n\n");

  std::printf("The denoiser, GPU against the plain CPU path (floats and bytes identical):\n\n");
  std::printf("| volume | box | GPU floats identical | fast CPU floats identical | "
              "GPU bytes identical | plain CPU | fast CPU | GPU | GPU / fast CPU |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|\n");
  bool denoiseSame = true;
  for (const DenoiseCase& c : {noisyTubesCase(), coarseSlicesCase()}) {
    denoiseSame = checkDenoise(c) && denoiseSame;
  }
  std::printf("\ndenoiser GPU against CPU: %s\n",
              denoiseSame ? "PASS (every float identical)" : "FAIL (see the table)");
  return failed || !denoiseSame ? 1 : 0;
}
