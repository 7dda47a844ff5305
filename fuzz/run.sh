#!/usr/bin/env bash
# Builds the load fuzzer with clang into build-fuzz/ and runs it, one job,
# for the given number of seconds (default 600). New inputs go to
# build-fuzz/corpus, findings to build-fuzz/artifacts; the seeds in
# fuzz/corpus stay as they are.
#   fuzz/run.sh [seconds] [extra libFuzzer flags]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true

if [ ! -f build-fuzz/build.ninja ]; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVOLUNA_FUZZ=ON -DVOLUNA_GUI=OFF -DVOLUNA_CUDA=OFF -DBUILD_TESTING=OFF -DVOLUNA_BENCH=OFF
fi
cmake --build build-fuzz --target voluna_load_fuzzer
mkdir -p build-fuzz/corpus build-fuzz/artifacts
# halt_on_error: the first report is a finding. Leaks are reported too: the
# loading path must not lose memory on any input.
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
# One job in one worker (it writes its log to build-fuzz/fuzz-0.log): the
# machine is shared.
cd build-fuzz
status=0
nice bin/voluna_load_fuzzer -max_total_time="$seconds" -jobs=1 -workers=1 \
  -dict=../fuzz/metaimage.dict -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix=artifacts/ "$@" corpus ../fuzz/corpus || status=$?
tail -n 30 fuzz-0.log
exit $status
