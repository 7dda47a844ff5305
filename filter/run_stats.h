// What a CPU run did, for benchmarks and tests: the SIMD search's counters
// and how long each stage took.
#pragma once

#include <cstdint>

namespace voluna {

// Counters of the SIMD direction search.
struct SearchStats {
  uint64_t referenceSamples = 0;  // samples the plain search takes for the same voxels
  uint64_t chunkSamples = 0;      // samples taken, each for a chunk of up to eight lanes
  uint64_t mixedSamples = 0;      // of those, samples that needed the per-lane sampler
  uint64_t ownFractionSamples = 0;  // and samples whose run had an x fraction of its own
  uint64_t chunkDirections = 0;   // (chunk, direction) pairs begun
  uint64_t prunedDirections = 0;  // of those, dropped after the backward walk
  uint64_t copiedDirections = 0;  // (chunk, direction) pairs that took an earlier copy's score

  void add(const SearchStats& other) {
    referenceSamples += other.referenceSamples;
    chunkSamples += other.chunkSamples;
    mixedSamples += other.mixedSamples;
    ownFractionSamples += other.ownFractionSamples;
    chunkDirections += other.chunkDirections;
    prunedDirections += other.prunedDirections;
    copiedDirections += other.copiedDirections;
  }
};

struct RunStats {
  SearchStats search;
  // From the start of the run (the constant-region map and padded copy
  // included) to the integration's start, and from there to the end.
  double searchSeconds = 0.0;
  double integrationSeconds = 0.0;
};

}  // namespace voluna
