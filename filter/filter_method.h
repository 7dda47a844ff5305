// Which method a filter run of given parameters runs.
#pragma once

#include <memory>

#include "box_method.h"
#include "filter_params.h"

namespace voluna {

// The method that every whole and brick run of `params` runs, filling `out`
// (the interior's floats, x fastest; may be null where only its reach is
// asked). The one place where a new method, with its own stages and reach,
// joins runFilter, runBrick and filterReach, and through them every caller.
std::unique_ptr<BoxMethod> filterMethod(const FilterParams& params, float* out);

}  // namespace voluna
