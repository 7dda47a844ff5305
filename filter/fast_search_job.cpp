// What one search shares between its threads: the direction set as columns,
// which directions repeat an earlier one, and the pruning factor.

#include <atomic>
#include <cstdint>
#include <vector>

#include "direction_set.h"
#include "fast_direction_search.h"
#include "fast_search_pruning.h"

namespace voluna {

namespace {

uint64_t nextJobSerial() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}

}  // namespace

SearchJob::SearchJob(const float* volume_, const Box& volumeBox_, const PaddedVolume& padded_,
                     const std::vector<Vec3>& directions, int samples_, bool preserveEdges_,
                     bool prune, uint16_t* chosen_, const Box& chosenBox_, bool shareCopies)
    : volume(volume_),
      volumeBox(volumeBox_),
      dims{static_cast<int>(volumeBox_.width()), static_cast<int>(volumeBox_.height()),
           static_cast<int>(volumeBox_.depth())},
      padded(padded_),
      count(static_cast<int>(directions.size())),
      samples(samples_),
      preserveEdges(preserveEdges_),
      pruneFactor(prune ? pruneFactorFor(samples_, preserveEdges_, padded_) : 0.0f),
      chosen(chosen_),
      chosenBox(chosenBox_),
      serial(nextJobSerial()) {
  // Columns long enough for whole vectors of any target past the last group.
  const size_t columns = directions.size() + 2 * 64;
  dirX.assign(columns, directions.empty() ? 0.0f : directions[0].x);
  dirY.assign(columns, directions.empty() ? 0.0f : directions[0].y);
  dirZ.assign(columns, directions.empty() ? 0.0f : directions[0].z);
  for (size_t i = 0; i < directions.size(); ++i) {
    dirX[i] = directions[i].x;
    dirY[i] = directions[i].y;
    dirZ[i] = directions[i].z;
  }
  if (!shareCopies) return;
  // Only vectors this close can meet the same texels on a walk of a few
  // steps; whether they do is checked per run and row.
  const std::vector<int> first = firstNearCopies(directions, 0x1p-14f);
  copyBegin.assign(directions.size() + 1, 0);
  for (int f : first) {
    if (f >= 0) ++copyBegin[f + 1];
  }
  for (size_t i = 0; i < directions.size(); ++i) copyBegin[i + 1] += copyBegin[i];
  copies.resize(copyBegin.back());
  copyFirst.resize(copies.size());
  copyOf.assign(directions.size(), -1);
  std::vector<int32_t> next(copyBegin.begin(), copyBegin.end() - 1);
  for (size_t j = 0; j < first.size(); ++j) {
    if (first[j] < 0) continue;
    const int32_t p = next[first[j]]++;
    copies[p] = static_cast<int32_t>(j);
    copyFirst[p] = first[j];
    copyOf[j] = p;
  }
}

}  // namespace voluna
