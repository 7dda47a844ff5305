// How much memory the current CUDA device has free, for choosing between a
// whole run and a run in bricks.
#pragma once

#include <cstdint>

namespace voluna {

// Bytes free on the current device now (cudaMemGetInfo); 0 when it cannot
// be asked. Call only once gpuUsable() has chosen a device.
int64_t gpuFreeBytes();

}  // namespace voluna
