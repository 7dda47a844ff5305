#include "gpu_filter.h"

#include <cuda_runtime.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "gpu_basics.cuh"
#include "gpu_driver.h"
#include "voxel_math.h"

namespace voluna {

namespace {

struct TextureVolumeSampler {
  cudaTextureObject_t texture;
  __device__ float operator()(float u, float v, float w) const {
    return tex3D<float>(texture, u, v, w);
  }
};

struct TextureFieldSampler {
  cudaTextureObject_t texture;
  __device__ Vec3 operator()(float u, float v, float w) const {
    const float4 d = tex3D<float4>(texture, u, v, w);
    return {d.x, d.y, d.z};
  }
};

}  // namespace
}  // namespace voluna

using voluna::Vec3;

// The host-built direction table, so that the GPU chooses among exactly the
// directions the CPU backends use. The kernels keep their plain parameter
// lists and global names, so the table reaches them through this symbol.
static __device__ const Vec3* directionTable;

// The z range of the current launch. The driver launches the kernels in slabs
// of z so that progress and cancel have somewhere to act between launches;
// every voxel still gets exactly the arithmetic of one big launch.
static __constant__ int slabBegin;
static __constant__ int slabEnd;

// Thread-to-voxel mapping shared by both field kernels: the first voxel from
// the launch indices, then grid-strided loops (one voxel each under the
// driver's launch geometry).
__device__ void fillVectorField(cudaTextureObject_t volume, int X, int Y, int Z, int samples,
                                int angleStep, float4* field, bool preserveEdges) {
  const int x0 = blockIdx.x * blockDim.x + threadIdx.x;
  const int y0 = blockIdx.y * blockDim.y + threadIdx.y;
  const int z0 = slabBegin + blockIdx.z * blockDim.z + threadIdx.z;
  const int zEnd = slabEnd < Z ? slabEnd : Z;
  if (x0 >= X || y0 >= Y || z0 >= zEnd) return;
  const int n = 360 / angleStep;
  const int count = (n * n) / 2;
  const voluna::TextureVolumeSampler sampler{volume};
  for (int x = x0; x < X; x += gridDim.x * blockDim.x)
    for (int y = y0; y < Y; y += gridDim.y * blockDim.y)
      for (int z = z0; z < zEnd; z += gridDim.z * blockDim.z) {
        const Vec3 p0 = {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
        const int chosen =
            voluna::chooseDirection(sampler, p0, directionTable, count, samples, preserveEdges);
        const Vec3 d = directionTable[chosen];
        field[x + X * (y + Y * z)] = make_float4(d.x, d.y, d.z, 0.0f);
      }
}

__global__ void createVectorField(cudaTextureObject_t volume, int X, int Y, int Z, int samples,
                                  int angleStep, float4* field) {
  fillVectorField(volume, X, Y, Z, samples, angleStep, field, false);
}

// The same search with the edge-preserving score.
__global__ void createEdgePreservingVectorField(cudaTextureObject_t volume, int X, int Y, int Z,
                                                int samples, int angleStep, float4* field) {
  fillVectorField(volume, X, Y, Z, samples, angleStep, field, true);
}

__global__ void integrateVectorField(cudaTextureObject_t volume, cudaTextureObject_t field, int X,
                                     int Y, int Z, int steps, float* out) {
  const int x0 = blockIdx.x * blockDim.x + threadIdx.x;
  const int y0 = blockIdx.y * blockDim.y + threadIdx.y;
  const int z0 = slabBegin + blockIdx.z * blockDim.z + threadIdx.z;
  const int zEnd = slabEnd < Z ? slabEnd : Z;
  if (x0 >= X || y0 >= Y || z0 >= zEnd) return;
  const float r = voluna::meanFactor(steps);
  const voluna::TextureVolumeSampler volumeSampler{volume};
  const voluna::TextureFieldSampler fieldSampler{field};
  for (int x = x0; x < X; x += gridDim.x * blockDim.x)
    for (int y = y0; y < Y; y += gridDim.y * blockDim.y)
      for (int z = z0; z < zEnd; z += gridDim.z * blockDim.z) {
        const Vec3 p0 = {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
        out[x + X * (y + Y * z)] = voluna::integrateVoxel(volumeSampler, fieldSampler, p0, steps, r);
      }
}

namespace voluna {

namespace {

cudaExtent extentOf(Dims dims) { return make_cudaExtent(dims.x, dims.y, dims.z); }

// The real runtime behind the driver's interface.
class CudaRuntime : public CudaBasics<GpuRuntime> {
 public:
  GpuCode allocateArray(void** array, int channels, Dims dims) override {
    const cudaChannelFormatDesc format =
        channels == 4 ? cudaCreateChannelDesc(32, 32, 32, 32, cudaChannelFormatKindFloat)
                      : cudaCreateChannelDesc(32, 0, 0, 0, cudaChannelFormatKindFloat);
    cudaArray_t made = nullptr;
    const cudaError_t code = cudaMalloc3DArray(&made, &format, extentOf(dims), 0);
    *array = code == cudaSuccess ? made : nullptr;
    return code;
  }
  GpuCode freeArray(void* array) override { return cudaFreeArray(static_cast<cudaArray_t>(array)); }
  GpuCode upload(void* array, const void* source, int channels, Dims dims) override {
    const size_t elementBytes = sizeof(float) * static_cast<size_t>(channels);
    cudaMemcpy3DParms copy;
    std::memset(&copy, 0, sizeof(copy));
    copy.srcPtr = make_cudaPitchedPtr(const_cast<void*>(source), dims.x * elementBytes, dims.x,
                                      dims.y);
    copy.dstArray = static_cast<cudaArray_t>(array);
    copy.extent = extentOf(dims);
    copy.kind = cudaMemcpyHostToDevice;
    return cudaMemcpy3D(&copy);
  }
  GpuCode createTexture(Texture* texture, void* array) override {
    cudaResourceDesc resource;
    std::memset(&resource, 0, sizeof(resource));
    resource.resType = cudaResourceTypeArray;
    resource.res.array.array = static_cast<cudaArray_t>(array);
    cudaTextureDesc description;
    std::memset(&description, 0, sizeof(description));
    // Unnormalised coordinates make the zero (wrap) address mode act as clamp.
    description.filterMode = cudaFilterModeLinear;
    cudaTextureObject_t made = 0;
    const cudaError_t code = cudaCreateTextureObject(&made, &resource, &description, nullptr);
    *texture = made;
    return code;
  }
  GpuCode destroyTexture(Texture texture) override { return cudaDestroyTextureObject(texture); }
  GpuCode setDirectionTable(const void* table) override {
    return cudaMemcpyToSymbol(directionTable, &table, sizeof(table));
  }
  GpuCode setSlab(int begin, int end) override {
    const cudaError_t code = cudaMemcpyToSymbol(slabBegin, &begin, sizeof(begin));
    return code != cudaSuccess ? code : cudaMemcpyToSymbol(slabEnd, &end, sizeof(end));
  }
  void launchVectorField(GpuGrid grid, Texture volume, Dims dims, int samples, int angleStep,
                         bool preserveEdges, void* field) override {
    const dim3 blocks(grid.x, grid.y, grid.z), block(8, 8, 1);
    float4* to = static_cast<float4*>(field);
    if (preserveEdges) {
      createEdgePreservingVectorField<<<blocks, block>>>(volume, dims.x, dims.y, dims.z, samples,
                                                         angleStep, to);
    } else {
      createVectorField<<<blocks, block>>>(volume, dims.x, dims.y, dims.z, samples, angleStep, to);
    }
  }
  void launchIntegration(GpuGrid grid, Texture volume, Texture field, Dims dims, int steps,
                         void* result) override {
    const dim3 blocks(grid.x, grid.y, grid.z), block(8, 8, 1);
    integrateVectorField<<<blocks, block>>>(volume, field, dims.x, dims.y, dims.z, steps,
                                            static_cast<float*>(result));
  }
};

}  // namespace

GpuOutcome GpuFilter::run(const float* volume, Dims dims, const FilterParams& params, float* out,
                          const RunControl* control) {
  CudaRuntime cuda;
  GpuOutcome outcome = runOnGpu(cuda, volume, dims, params, out, control);
  // A failed launch leaves its error to be read again; the next run must
  // not inherit it.
  if (outcome.status == GpuOutcome::Status::Failed) cudaGetLastError();
  return outcome;
}

bool gpuUsable() {
  int count = 0;
  if (cudaGetDeviceCount(&count) != cudaSuccess || count < 1) {
    cudaGetLastError();  // leave no error behind for later calls
    return false;
  }
  for (int device = 0; device < count; ++device) {
    int managed = 0;
    if (cudaDeviceGetAttribute(&managed, cudaDevAttrManagedMemory, device) == cudaSuccess &&
        managed && cudaSetDevice(device) == cudaSuccess) {
      return true;
    }
  }
  cudaGetLastError();
  return false;
}

std::string gpuName() {
  int device = 0;
  cudaDeviceProp properties;
  if (cudaGetDevice(&device) != cudaSuccess ||
      cudaGetDeviceProperties(&properties, device) != cudaSuccess) {
    return "unknown CUDA device";
  }
  return properties.name;
}

}  // namespace voluna
