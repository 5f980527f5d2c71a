#!/usr/bin/env bash
# Builds the image fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in build-fuzz/ and fuzzes for the given number
# of seconds, starting from the seed corpus.
#
#   fuzz/run.sh SECONDS [extra libFuzzer flags...]
#
# New interesting inputs collect in build-fuzz/corpus (the seed corpus in
# fuzz/corpus stays as committed); crashes, leaks and timeouts are written to
# build-fuzz/artifacts/. Minimise one with
#   build-fuzz/fuzz/fuzz-image -minimize_crash=1 -runs=10000 ARTIFACT
# and keep the result in fuzz/crashes/, where the regression test runs it.
# FUZZ_JOBS=N runs N fuzzing processes side by side (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -lt 1 || ! "$1" =~ ^[0-9]+$ ]]; then
  echo "usage: fuzz/run.sh SECONDS [libFuzzer flags...]" >&2
  exit 1
fi
seconds=$1
shift

build=build-fuzz
if [[ ! -f $build/build.ninja ]]; then
  CC=clang CXX=clang++ cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
    -DWPE_SANITIZE=ON -DWPE_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
fi
ninja -C $build fuzz-image

mkdir -p $build/corpus $build/artifacts
jobs=${FUZZ_JOBS:-1}
parallel=()
[[ $jobs -gt 1 ]] && parallel=(-jobs="$jobs" -workers="$jobs")
# Leak reports stay on: a tree that is not freed after a failed load is a
# fault too. The RSS limit catches directory sizes that claim gigabytes.
$build/fuzz/fuzz-image "$build/corpus" fuzz/corpus fuzz/crashes \
  -dict=fuzz/iso.dict -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=262144 \
  "${parallel[@]}" -artifact_prefix="$build/artifacts/" \
  -print_final_stats=1 "$@"
