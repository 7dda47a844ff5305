#!/usr/bin/env bash
# Prints, in one run, what reading, mapping and writing a 256^3 int16 volume
# add to its filter time on the fast CPU path at the defaults (the filter
# runs once and takes minutes on two cores; the input and output steps are
# medians of five).
#   bench/io_overhead.sh [build folder, default build] [extra voluna-io-overhead options]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
cmake --build "$build" --target voluna-io-overhead
model=$(lscpu | sed -n 's/^Model name: *//p')
echo "Machine: ${model}, $(nproc) logical CPUs; load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bin/voluna-io-overhead" "$@"
