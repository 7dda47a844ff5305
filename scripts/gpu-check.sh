#!/usr/bin/env bash
# One command for a machine with an NVIDIA GPU: builds Voluna with CUDA (no
# window) into build-gpu/, runs the CUDA tests, then prints how the GPU's
# results agree with the fast CPU path's (sample volume, noisy 128^3,
# constant 128^3; default and edge-preserving score) and both throughputs,
# and whether the denoiser's GPU floats equal the CPU paths' (a PASS or FAIL
# line, with times).
# Exits 77 where no GPU is usable, 1 when a build, a test or a GPU run fails
# or the denoiser's floats differ.
#   scripts/gpu-check.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="/usr/local/cuda/bin:$PATH"

if ! command -v nvidia-smi > /dev/null || ! nvidia-smi -L 2> /dev/null | grep -q '^GPU'; then
  echo "gpu-check: no NVIDIA GPU is usable here (nvidia-smi lists none): nothing to check"
  exit 77
fi
if ! command -v nvcc > /dev/null; then
  echo "gpu-check: a GPU is here but nvcc is not (looked on PATH and in /usr/local/cuda/bin)"
  exit 1
fi
nvidia-smi -L

# Kernels for this machine's GPU only: the build takes a minute, not five.
cmake -S . -B build-gpu -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOLUNA_GUI=OFF -DVOLUNA_CUDA=ON \
  -DCMAKE_CUDA_ARCHITECTURES=native "$@" > build-gpu.log
cmake --build build-gpu --target voluna_cuda_tests voluna_gpu_driver_tests \
  voluna_gpu_denoise_driver_tests voluna-gpu-check \
  >> build-gpu.log || { tail -30 build-gpu.log; exit 1; }

set +e
build-gpu/bin/voluna_gpu_driver_tests --gtest_brief=1 || exit 1
build-gpu/bin/voluna_gpu_denoise_driver_tests --gtest_brief=1 || exit 1
build-gpu/bin/voluna_cuda_tests
status=$?
set -e
if [ "$status" -eq 77 ]; then
  echo "gpu-check: nvidia-smi lists a GPU, but CUDA finds no usable device (driver too old for CUDA $(nvcc --version | sed -n 's/.*release \([0-9.]*\).*/\1/p')?)"
  exit 77
fi
[ "$status" -eq 0 ] || exit 1
echo
build-gpu/bin/voluna-gpu-check data/crossing-tubes.mhd
