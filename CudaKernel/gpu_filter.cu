#include "gpu_filter.h"

#include <cuda_runtime.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "direction_set.h"
#include "voxel_math.h"

namespace voluna {

namespace {

void gpuAssert(cudaError_t code, const char* file, int line) {
  if (code == cudaSuccess) return;
  std::fprintf(stderr, "GPUassert: %s %s %d\n", cudaGetErrorString(code), file, line);
  std::exit(code);
}

#define gpuErrchk(ans) gpuAssert((ans), __FILE__, __LINE__)

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

cudaTextureObject_t makeTexture(cudaArray_t array) {
  cudaResourceDesc resource;
  std::memset(&resource, 0, sizeof(resource));
  resource.resType = cudaResourceTypeArray;
  resource.res.array.array = array;
  cudaTextureDesc description;
  std::memset(&description, 0, sizeof(description));
  // Unnormalised coordinates make the zero (wrap) address mode act as clamp.
  description.filterMode = cudaFilterModeLinear;
  cudaTextureObject_t texture = 0;
  gpuErrchk(cudaCreateTextureObject(&texture, &resource, &description, nullptr));
  return texture;
}

void upload(const void* source, int elementBytes, cudaArray_t array, cudaExtent extent) {
  cudaMemcpy3DParms copy;
  std::memset(&copy, 0, sizeof(copy));
  copy.srcPtr = make_cudaPitchedPtr(const_cast<void*>(source), extent.width * elementBytes,
                                    extent.width, extent.height);
  copy.dstArray = array;
  copy.extent = extent;
  copy.kind = cudaMemcpyHostToDevice;
  gpuErrchk(cudaMemcpy3D(&copy));
}

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

void GpuFilter::run(const float* volume, int X, int Y, int Z, int samples, int steps,
                    int angleStep, float* out) {
  run(volume, Dims{X, Y, Z}, FilterParams{samples, steps, angleStep}, out);
}

bool GpuFilter::run(const float* volume, Dims dims, const FilterParams& params, float* out,
                    const RunControl* control) {
  const int X = dims.x, Y = dims.y, Z = dims.z;
  const int samples = params.samples, steps = params.integrationSteps;
  const int angleStep = params.angleStep;
  std::printf("Calculate vectorfield...\n");
  std::fflush(stdout);
  const size_t n = static_cast<size_t>(X * Y * Z);

  const std::vector<Vec3> directions = buildDirectionSet(angleStep);
  Vec3* table = nullptr;
  gpuErrchk(cudaMallocManaged(&table, directions.size() * sizeof(Vec3), cudaMemAttachGlobal));
  std::memcpy(table, directions.data(), directions.size() * sizeof(Vec3));
  gpuErrchk(cudaMemcpyToSymbol(directionTable, &table, sizeof(table)));

  float4* fieldBuffer = nullptr;
  gpuErrchk(cudaMallocManaged(&fieldBuffer, n * sizeof(float4), cudaMemAttachGlobal));

  const cudaExtent extent = make_cudaExtent(X, Y, Z);
  const cudaChannelFormatDesc floatChannel =
      cudaCreateChannelDesc(32, 0, 0, 0, cudaChannelFormatKindFloat);
  cudaArray_t volumeArray = nullptr;
  gpuErrchk(cudaMalloc3DArray(&volumeArray, &floatChannel, extent, 0));
  upload(volume, sizeof(float), volumeArray, extent);
  const cudaTextureObject_t volumeTexture = makeTexture(volumeArray);

  cudaArray_t fieldArray = nullptr;
  cudaTextureObject_t fieldTexture = 0;
  float* resultBuffer = nullptr;

  // Each launch covers a slab of z; between launches progress is reported and
  // a cancel request honoured. About 32 launches a stage keep the overhead
  // negligible and the wait for a cancel short.
  const int slab = Z < 32 ? 1 : (Z + 31) / 32;
  const dim3 block(8, 8, 1);
  auto inSlabs = [&](Stage stage, auto launch) {
    for (int begin = 0; begin < Z; begin += slab) {
      if (control && control->cancelled()) return false;
      const int end = begin + slab < Z ? begin + slab : Z;
      gpuErrchk(cudaMemcpyToSymbol(slabBegin, &begin, sizeof(begin)));
      gpuErrchk(cudaMemcpyToSymbol(slabEnd, &end, sizeof(end)));
      const dim3 grid((static_cast<unsigned>(X) + 7u) / 8u, (static_cast<unsigned>(Y) + 7u) / 8u,
                      static_cast<unsigned>(end - begin));
      launch(grid);
      gpuErrchk(cudaPeekAtLastError());
      gpuErrchk(cudaDeviceSynchronize());
      if (control) control->report(stage, end, Z);
    }
    return true;
  };

  bool completed = inSlabs(Stage::VectorField, [&](dim3 grid) {
    if (params.preserveEdges) {
      createEdgePreservingVectorField<<<grid, block>>>(volumeTexture, X, Y, Z, samples, angleStep,
                                                       fieldBuffer);
    } else {
      createVectorField<<<grid, block>>>(volumeTexture, X, Y, Z, samples, angleStep, fieldBuffer);
    }
  });

  if (completed) {
    std::printf("Filtering data...\n");
    std::fflush(stdout);
    const cudaChannelFormatDesc float4Channel =
        cudaCreateChannelDesc(32, 32, 32, 32, cudaChannelFormatKindFloat);
    gpuErrchk(cudaMalloc3DArray(&fieldArray, &float4Channel, extent, 0));
    upload(fieldBuffer, sizeof(float4), fieldArray, extent);
    fieldTexture = makeTexture(fieldArray);

    gpuErrchk(cudaMallocManaged(&resultBuffer, n * sizeof(float), cudaMemAttachGlobal));
    completed = inSlabs(Stage::Integration, [&](dim3 grid) {
      integrateVectorField<<<grid, block>>>(volumeTexture, fieldTexture, X, Y, Z, steps,
                                            resultBuffer);
    });
    if (completed) std::memcpy(out, resultBuffer, n * sizeof(float));
  }

  // A cancelled run releases what it made as well; nothing outlives the call.
  if (fieldTexture) gpuErrchk(cudaDestroyTextureObject(fieldTexture));
  if (fieldArray) gpuErrchk(cudaFreeArray(fieldArray));
  gpuErrchk(cudaFree(fieldBuffer));
  gpuErrchk(cudaDestroyTextureObject(volumeTexture));
  gpuErrchk(cudaFreeArray(volumeArray));
  if (resultBuffer) gpuErrchk(cudaFree(resultBuffer));
  gpuErrchk(cudaFree(table));
  return completed;
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
