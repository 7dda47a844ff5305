#!/usr/bin/env bash
# Builds a fuzz target with clang into build-fuzz/ and runs it, one job, for
# the given number of seconds (default 600). VOLUNA_FUZZ_TARGET picks it:
# load (MetaImage loading, the default), nifti or nrrd (those header checks).
# New inputs go to build-fuzz/corpus[-TARGET], findings to
# build-fuzz/artifacts[-TARGET]; the seeds stay as they are: fuzz/corpus*
# and, for MetaImage, the test corpus in tests/data, which is not copied here.
#   [VOLUNA_FUZZ_TARGET=nifti] fuzz/run.sh [seconds] [extra libFuzzer flags]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
target=${VOLUNA_FUZZ_TARGET:-load}
case "$target" in
  load) suffix=""; dict=../fuzz/metaimage.dict; seeds=(../fuzz/corpus ../tests/data/hostile ../tests/data/valid) ;;
  nifti) suffix="-nifti"; dict=""; seeds=(../fuzz/corpus-nifti) ;;
  nrrd) suffix="-nrrd"; dict=../fuzz/nrrd.dict; seeds=(../fuzz/corpus-nrrd) ;;
  *) echo "run.sh: VOLUNA_FUZZ_TARGET must be load, nifti or nrrd" >&2; exit 2 ;;
esac

if [ ! -f build-fuzz/build.ninja ]; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVOLUNA_FUZZ=ON -DVOLUNA_GUI=OFF -DVOLUNA_CUDA=OFF -DBUILD_TESTING=OFF -DVOLUNA_BENCH=OFF
fi
cmake --build build-fuzz --target "voluna_${target}_fuzzer"
mkdir -p "build-fuzz/corpus$suffix" "build-fuzz/artifacts$suffix"
# halt_on_error: the first report is a finding. Leaks are reported too: the
# checking path must not lose memory on any input.
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
# One job in one worker (it writes its log to build-fuzz/fuzz-0.log, or
# fuzz-TARGET-0.log): the machine is shared.
cd build-fuzz
status=0
log="fuzz$suffix-0.log"
flags=(-max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048
       -artifact_prefix="artifacts$suffix/")
[ -n "$dict" ] && flags+=(-dict="$dict")
if [ "$target" = load ]; then
  nice bin/voluna_load_fuzzer "${flags[@]}" -jobs=1 -workers=1 "$@" "corpus$suffix" "${seeds[@]}" || status=$?
  tail -n 30 fuzz-0.log
else
  nice -n 19 "bin/voluna_${target}_fuzzer" "${flags[@]}" "$@" "corpus$suffix" "${seeds[@]}" > "$log" 2>&1 || status=$?
  tail -n 30 "$log"
fi
exit $status
