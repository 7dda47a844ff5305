#include "gpu_memory.h"

#include <cuda_runtime.h>

namespace voluna {

int64_t gpuFreeBytes() {
  size_t free = 0, total = 0;
  if (cudaMemGetInfo(&free, &total) != cudaSuccess) {
    cudaGetLastError();  // leave no error behind for later calls
    return 0;
  }
  return static_cast<int64_t>(free);
}

}  // namespace voluna
