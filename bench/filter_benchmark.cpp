// Throughput of the plain and the fast CPU path, and the table that compares
// them. Run through bench/benchmark.sh, or directly with Google Benchmark's
// flags (--benchmark_filter=fast to skip the slow plain path).
//
// Voxels per second count the volume's voxels; samples per second count the
// line samples the plain search takes for the same volume (2 * samples per
// direction it scores, per voxel), so both paths are measured against the
// same work even where the fast path prunes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <omp.h>

#include "box.h"
#include "byte_conversion.h"
#include "constant_regions.h"
#include "fast_direction_search.h"
#include "filter.h"
#include "quiet_stdout.h"
#include "run_stats.h"
#include "scenes.h"
#include "volume_io.h"

namespace {

using namespace voluna;

struct BenchVolume {
  std::string name;
  Dims dims;
  std::vector<float> values;
  uint64_t samples = 0;  // the plain search's sample count at the defaults
  double takenShare = 0;   // samples the fast search takes, against that count
  double copiedShare = 0;  // (chunk, direction) pairs that took a copy's score
};

std::vector<BenchVolume>& volumes() {
  static std::vector<BenchVolume> list;
  return list;
}

void addVolume(const std::string& name, Dims dims, const std::vector<uint8_t>& bytes) {
  BenchVolume v{name, dims, bytesToUnitFloats(bytes.data(), static_cast<int64_t>(bytes.size()))};
  RunStats run;
  FilterOptions options;
  options.backend = Backend::Cpu;
  options.stats = &run;
  std::vector<Vec3> field(v.values.size());
  runDirectionField(v.values.data(), dims, FilterParams(), field.data(), options);
  const SearchStats& stats = run.search;
  v.samples = stats.referenceSamples;
  // Chunks are whole in the volumes here: their widths are multiples of 8.
  v.takenShare = static_cast<double>(stats.chunkSamples) * searchChunkLanes() /
                 static_cast<double>(std::max<uint64_t>(1, stats.referenceSamples));
  v.copiedShare = static_cast<double>(stats.copiedDirections) /
                  static_cast<double>(std::max<uint64_t>(1, stats.chunkDirections + stats.copiedDirections));
  volumes().push_back(std::move(v));
}

// ConstancyMap: what every CPU run, whole or bricked, spends finding the
// constant regions it then skips.
enum class Path { Plain, Fast, FastUnpruned, ConstancyMap };

const char* pathName(Path p) {
  switch (p) {
    case Path::Plain: return "plain";
    case Path::Fast: return "fast";
    case Path::FastUnpruned: return "fast, no pruning";
    case Path::ConstancyMap: return "constancy map";
  }
  return "";
}


void timeRun(benchmark::State& state, const BenchVolume& v, Path path, int threads) {
  std::vector<float> out(v.values.size());
  RunStats fastStats;
  FilterOptions options;
  options.backend = path == Path::Plain ? Backend::CpuReference : Backend::Cpu;
  options.threads = threads;
  options.pruning = path == Path::Fast;
  for (auto _ : state) {
    fastStats = RunStats();
    options.stats = &fastStats;
    runFilter(v.values.data(), v.dims, FilterParams(), out.data(), options);
    benchmark::DoNotOptimize(out.data());
  }
  const double voxels = static_cast<double>(v.values.size());
  state.counters["voxels/s"] = benchmark::Counter(voxels, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["samples/s"] =
      benchmark::Counter(static_cast<double>(v.samples), benchmark::Counter::kIsIterationInvariantRate);
  if (path != Path::Plain) {
    const double total = fastStats.searchSeconds + fastStats.integrationSeconds;
    state.counters["integration share"] = total > 0 ? fastStats.integrationSeconds / total : 0;
    const SearchStats& s = fastStats.search;
    state.counters["pruned directions"] =
        s.chunkDirections ? static_cast<double>(s.prunedDirections) / s.chunkDirections : 0;
    state.counters["chunk samples"] = static_cast<double>(s.chunkSamples);
  }
}

void timeConstancyMap(benchmark::State& state, const BenchVolume& v, int threads) {
  const Box box = Box::of({v.dims.x, v.dims.y, v.dims.z});
  for (auto _ : state) {
    const ConstancyMap map(v.values.data(), box, threads);
    benchmark::DoNotOptimize(&map);
  }
  state.counters["voxels/s"] = benchmark::Counter(static_cast<double>(v.values.size()),
                                                  benchmark::Counter::kIsIterationInvariantRate);
}

// Keeps what the table needs from every run while the console shows them.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  struct Row {
    double voxelsPerSecond = 0, samplesPerSecond = 0, integrationShare = 0, pruned = 0,
           chunkSamples = 0;
  };
  std::map<std::string, Row> rows;

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // One iteration runs are kept as they are; repeated ones by their median.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      if (run.run_type == Run::RT_Iteration && run.repetitions > 1) continue;
      Row row;
      auto get = [&](const char* key) {
        auto it = run.counters.find(key);
        return it == run.counters.end() ? 0.0 : static_cast<double>(it->second);
      };
      row.voxelsPerSecond = get("voxels/s");
      row.samplesPerSecond = get("samples/s");
      row.integrationShare = get("integration share");
      row.pruned = get("pruned directions");
      row.chunkSamples = get("chunk samples");
      rows[run.run_name.function_name] = row;
    }
  }
};

std::string key(const BenchVolume& v, Path p, int threads) {
  return v.name + "/" + pathName(p) + "/" + std::to_string(threads);
}

std::string si(double value) {
  char text[32];
  const char* units[] = {"", "k", "M", "G", "T"};
  int u = 0;
  while (value >= 1000 && u < 4) {
    value /= 1000;
    ++u;
  }
  std::snprintf(text, sizeof text, "%.3g %s", value, units[u]);
  return text;
}

std::string ratio(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value < 10 ? "%.1fx" : "%.0fx", value);
  return text;
}

void printTable(const TableReporter& reporter, int allThreads) {
  auto row = [&](const BenchVolume& v, Path p, int t) -> const TableReporter::Row* {
    auto it = reporter.rows.find(key(v, p, t));
    return it == reporter.rows.end() ? nullptr : &it->second;
  };
  std::printf("\n| volume | path | threads | voxels/s | samples/s | fast / plain, same threads | fast / plain 1 thread |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|\n");
  for (const BenchVolume& v : volumes()) {
    for (Path p : {Path::Plain, Path::Fast}) {
      for (int t : {1, allThreads}) {
        const TableReporter::Row* r = row(v, p, t);
        if (!r) continue;
        std::string same = "", one = "";
        const TableReporter::Row* plainSame = row(v, Path::Plain, t);
        const TableReporter::Row* plainOne = row(v, Path::Plain, 1);
        if (p == Path::Fast && plainSame) same = ratio(r->voxelsPerSecond / plainSame->voxelsPerSecond);
        if (p == Path::Fast && plainOne) one = ratio(r->voxelsPerSecond / plainOne->voxelsPerSecond);
        std::printf("| %s (%dx%dx%d) | %s | %d | %s | %s | %s | %s |\n", v.name.c_str(), v.dims.x,
                    v.dims.y, v.dims.z, pathName(p), t, si(r->voxelsPerSecond).c_str(),
                    si(r->samplesPerSecond).c_str(), same.c_str(), one.c_str());
        if (t == allThreads && allThreads == 1) break;
      }
    }
  }
  std::printf("\nFast path (%s, %d-voxel runs):\n", searchTargetName(), searchLanes());
  for (const BenchVolume& v : volumes()) {
    for (int t : {1, allThreads}) {
      const TableReporter::Row* pruned = row(v, Path::Fast, t);
      const TableReporter::Row* unpruned = row(v, Path::FastUnpruned, t);
      if (!pruned) continue;
      std::printf("- %s, %d thread%s: integration %.1f %% of the run", v.name.c_str(), t,
                  t == 1 ? "" : "s", 100 * pruned->integrationShare);
      if (const TableReporter::Row* map = row(v, Path::ConstancyMap, t)) {
        std::printf("; mapping its constant regions %.2f %%",
                    100 * pruned->voxelsPerSecond / map->voxelsPerSecond);
      }
      if (t == 1) {
        std::printf("; the search takes %.1f %% of the plain search's samples (copies of a "
                    "direction take its score in %.1f %% of (chunk, direction) pairs)",
                    100 * v.takenShare, 100 * v.copiedShare);
      }
      if (unpruned && unpruned->chunkSamples > 0) {
        std::printf("; pruning drops %.1f %% of (chunk, direction) pairs after the backward walk, "
                    "%.1f %% of the samples, and changes the speed by %+.1f %%",
                    100 * pruned->pruned, 100 * (1 - pruned->chunkSamples / unpruned->chunkSamples),
                    100 * (pruned->voxelsPerSecond / unpruned->voxelsPerSecond - 1));
      }
      std::printf("\n");
      if (t == allThreads && allThreads == 1) break;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The sample volume's path may be given before Google Benchmark's flags.
  std::string sample = VOLUNA_SAMPLE_VOLUME;
  if (argc > 1 && argv[1][0] != '-') {
    sample = argv[1];
    for (int i = 1; i + 1 < argc; ++i) argv[i] = argv[i + 1];
    --argc;
  }
  benchmark::Initialize(&argc, argv);

  const Scene tubes = crossingTubes(48, 4.0f, 40.0f, 1);
  addVolume("noisy crossing tubes", tubes.dims, toBytes(tubes.noisy));
  addVolume("constant", Dims{64, 64, 64}, constantBytes(Dims{64, 64, 64}, 128));
  const LoadResult loaded = loadVolume(sample);
  if (loaded.ok()) {
    addVolume("bundled sample", loaded.volume.dims, loaded.volume.data);
  } else {
    std::fprintf(stderr, "filter_benchmark: skipping the sample: %s\n", loaded.error.c_str());
  }

  const int allThreads = omp_get_max_threads();
  std::vector<int> threadCounts = {1};
  if (allThreads > 1) threadCounts.push_back(allThreads);
  for (const BenchVolume& v : volumes()) {
    for (Path p : {Path::Plain, Path::Fast, Path::FastUnpruned, Path::ConstancyMap}) {
      for (int t : threadCounts) {
        auto* b = benchmark::RegisterBenchmark(key(v, p, t).c_str(), [&v, p, t](benchmark::State& s) {
          QuietStdout quiet;
          if (p == Path::ConstancyMap) {
            timeConstancyMap(s, v, t);
          } else {
            timeRun(s, v, p, t);
          }
        });
        b->UseRealTime()->Unit(benchmark::kMillisecond);
        // The plain path takes minutes on noise: once is enough.
        if (p == Path::Plain) {
          b->Iterations(1);
        } else {
          b->Repetitions(5)->ReportAggregatesOnly(true);
        }
      }
    }
  }
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printTable(reporter, allThreads);
  benchmark::Shutdown();
  return 0;
}
