// The one path of every filter run: a method (box_method.h) over one box of
// a volume, the whole volume or a brick of it, on the backend the options
// pick.
#pragma once

#include "box_method.h"
#include "filter.h"

namespace voluna {

// Runs `method` over `interior` from `input`, which must hold `interior`
// grown by method.reach() (clipped at the volume's faces); the caller has
// checked both boxes and the method's parameters. Auto takes the GPU where
// the method has a GPU path and a device is usable, else the SIMD CPU path.
// When `announce`, each CPU stage prints its line on standard output as it
// begins (the GPU driver prints its own).
FilterOutcome runOnBox(const BoxMethod& method, const BoxInput& input, const Box& interior,
                       const FilterOptions& options, bool announce);

}  // namespace voluna
