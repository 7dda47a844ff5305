#!/usr/bin/env bash
# Installs what Voluna needs to build and test (Debian 12 packages, only those
# missing), then configures and builds into build/. Safe to run again.
#   scripts/setup.sh [extra cmake arguments]
#   scripts/setup.sh --packages-only    (the packages, no build)
set -euo pipefail
cd "$(dirname "$0")/.."
packages_only=0
if [ "${1:-}" = --packages-only ]; then
  packages_only=1
  shift
fi

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libbenchmark-dev
  libvtk9-dev libvtk9-qt-dev qtbase5-dev libhwy-dev zlib1g-dev
  libinsighttoolkit5-dev libgdcm-dev libtiff-dev
  xvfb xauth libgl1-mesa-dri fonts-dejavu-core time
  python3-dev python3-venv python3-pip python3-setuptools python3-wheel pybind11-dev
  python3-numpy python3-pytest python3-tqdm python3-dask python3-distributed python3-zarr
  python3-nibabel mricron-data
  # Real files nobody here wrote, for the corpus tests: their test data.
  python3-pydicom insighttoolkit5-examples
  help2man desktop-file-utils libxml2-utils
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # Refresh the package lists only when an install needs them.
  if ! $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi

[ "$packages_only" -eq 0 ] || exit 0

# The CUDA backend is built wherever nvcc is found; nothing here needs a GPU.
if [ -x /usr/local/cuda/bin/nvcc ]; then
  export PATH="/usr/local/cuda/bin:$PATH"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build build
