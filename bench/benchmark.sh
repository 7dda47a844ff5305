#!/usr/bin/env bash
# Prints, in one run, the throughput table of the plain and the fast CPU path
# (markdown, with this machine's description) and the peak resident memory of
# voluna-filter on a 128^3 volume. Takes about ten minutes on two cores: the
# plain path needs minutes for each noisy volume.
#   bench/benchmark.sh [build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target filter_benchmark voluna-filter

model=$(lscpu | sed -n 's/^Model name: *//p')
flags=$(grep -o -w -E 'avx512f|avx2|sse4_2' /proc/cpuinfo | sort -u | tr '\n' ' ')
echo "Machine: ${model}, $(nproc) logical CPUs, $(free -g | awk '/^Mem:/ {print $2}') GiB; ${flags}"
"$build/bin/filter_benchmark" data/crossing-tubes.mhd

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
voxels=$((128 * 128 * 128))
head -c "$voxels" /dev/urandom > "$tmp/noise.raw"
printf 'ObjectType = Image\nNDims = 3\nDimSize = 128 128 128\nElementType = MET_UCHAR\nElementDataFile = noise.raw\n' \
  > "$tmp/noise.mhd"
if [ -x /usr/bin/time ]; then
  /usr/bin/time -v "$build/bin/voluna-filter" --backend cpu -o "$tmp/out.raw" "$tmp/noise.mhd" \
    > /dev/null 2> "$tmp/time.txt"
  peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$tmp/time.txt")
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$tmp/time.txt")
  echo "voluna-filter --backend cpu, 128^3 noise at the defaults: ${wall} wall," \
    "peak resident memory $((peak / 1024)) MiB ($((peak * 1024 / voxels)) bytes per voxel)"
else
  echo "(/usr/bin/time is missing: install the package 'time' for the memory figure)"
fi
