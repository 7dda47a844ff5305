#!/usr/bin/env bash
# Builds the Debian package voluna_VERSION_amd64.deb with CPack, in
# build-package/ (installed under /usr, without tests and benchmarks), and
# prints its path as the last line. Installs the Debian packages the build
# needs first, as scripts/setup.sh does.
#   scripts/package.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VOLUNA_PACKAGE_BUILD:-build-package}

bash scripts/setup.sh --packages-only >&2
if ! command -v dpkg-shlibdeps > /dev/null; then
  echo "package: dpkg-shlibdeps is missing (Debian's dpkg-dev package)" >&2
  exit 1
fi
# The CUDA backend goes in wherever nvcc is found, as in scripts/setup.sh.
if [ -x /usr/local/cuda/bin/nvcc ]; then
  export PATH="/usr/local/cuda/bin:$PATH"
fi

# Python's own layout for Debian packages: one folder for every Python 3.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVOLUNA_PYTHON_INSTALL_DIR=lib/python3/dist-packages -DBUILD_TESTING=OFF -DVOLUNA_BENCH=OFF "$@" >&2
cmake --build "$build" >&2
rm -f "$build"/voluna_*.deb
(cd "$build" && cpack -G DEB) >&2

packages=("$build"/voluna_*_amd64.deb)
if [ ${#packages[@]} -ne 1 ] || [ ! -f "${packages[0]}" ]; then
  echo "package: CPack made no voluna_VERSION_amd64.deb in $build" >&2
  exit 1
fi
echo "$PWD/${packages[0]}"
