// Pruning the SIMD direction search: the factor that turns the sums after a
// direction's backward walk into a lower bound on its score, so that a
// direction that cannot be chosen is dropped halfway.
#pragma once

#include "padded_volume.h"

namespace voluna {

// Lower bounds below this are not trusted for pruning (see
// fast_search_pruning.cpp).
constexpr float kPruneFloor = 0x1p-90f;

// c such that fl(D' c) is at most the final score of a direction whose
// backward walk left the partial figure D' (fast_search_pruning.cpp), for
// `samples` samples a walk over `padded`; 0 where no such bound holds, which
// turns pruning off.
float pruneFactorFor(int samples, bool preserveEdges, const PaddedVolume& padded);

}  // namespace voluna
