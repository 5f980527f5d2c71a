#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in build/ as
# shipped, then again in build-asan/ with AddressSanitizer and
# UndefinedBehaviorSanitizer (any report fails the test that made it),
# then cross-builds the Windows executable in build-win/ and runs its unit
# tests under Wine (tools/build-windows.sh).
# WPE_SKIP_SANITIZE=1 leaves out the second pass, WPE_SKIP_WINDOWS=1 the third.
set -euo pipefail
cd "$(dirname "$0")/.."

# How long each pass took, for keeping the whole under its time budget.
passes=()
pass_done() { passes+=("$1 ${SECONDS}s"); SECONDS=0; }
trap '[[ ${#passes[@]} -eq 0 ]] || echo "== times: ${passes[*]}"' EXIT

tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure -j2
pass_done linux

if [[ ${WPE_SKIP_SANITIZE:-0} != 1 ]]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWPE_SANITIZE=ON >/dev/null
  ninja -C build-asan
  # The boot checks under an emulator and the large images (most of whose
  # time goes to the tools that master them) add nothing the first pass did
  # not cover and are slow, so they are left out here.
  ASAN_OPTIONS=detect_leaks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j2 -LE 'qemu|slow'
  pass_done sanitizers
fi

if [[ ${WPE_SKIP_WINDOWS:-0} != 1 ]]; then
  tools/build-windows.sh
  pass_done windows
fi
