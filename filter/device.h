// Qualifiers and small value types shared by host and device code.
#pragma once

#if defined(__CUDACC__)
#define VOLUNA_HD __host__ __device__ __forceinline__
#else
#define VOLUNA_HD inline
#endif

namespace voluna {

struct Vec3 {
  float x, y, z;
};

// Layout-compatible with CUDA's float4 so the field can be handed to the GPU as is.
struct alignas(16) Float4 {
  float x, y, z, w;
};

}  // namespace voluna
