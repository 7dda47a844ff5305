#!/usr/bin/env bash
# The denoising quality benchmark in one command: builds what it needs into
# build/ (or the folder named by BUILD), then prints the table and writes
# docs/denoise-quality.png. Extra arguments go to denoise_quality.py
# (--retune runs every anchor's whole grid again; --help lists the rest).
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${BUILD:-build}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOLUNA_GUI=OFF -DVOLUNA_PYTHON=OFF > /dev/null
fi
cmake --build "$build" --target voluna-denoise-quality > /dev/null
exec /usr/bin/python3 bench/quality/denoise_quality.py --build "$build" "$@"
