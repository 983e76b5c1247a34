#!/usr/bin/env bash
# Installs what is missing, builds every target with AddressSanitizer and
# UndefinedBehaviorSanitizer, warnings as errors, and runs every test; then
# the core and the runs engine again under ThreadSanitizer.
#
# `scripts/test.sh quick` stops after the first stage: the sanitizer build
# and its unit tests, without the dialog, for a short loop while working.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-all}
case "$mode" in
  all | quick) ;;
  *) echo "usage: scripts/test.sh [quick]" >&2; exit 2 ;;
esac

# fuse: a file system without hard links for the rename tests, in Python;
# taggers: MP3 files written by real taggers for the tag reader tests;
# faults: strace kills a run at each of its system calls, for the undo tests.
if [ "$mode" = quick ]; then
  scripts/install-deps.sh build fuse taggers faults
  build=build/quick
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=ON -DKESTRUNE_WERROR=ON \
    -DKESTRUNE_BUILD_QT=OFF
  cmake --build "$build" -j "$(nproc)"
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
  exit 0
fi
scripts/install-deps.sh build qt fuse taggers faults

build=build/test
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=ON -DKESTRUNE_WERROR=ON \
  -DKESTRUNE_BUILD_QT="$([ -f src/app/qt/CMakeLists.txt ] && echo ON || echo OFF)"
cmake --build "$build" -j "$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The reader threads of a run under ThreadSanitizer: the core, the runs
# engine and their tests in a build of their own, without the dialog.
tsan=build/tsan
cmake -S . -B "$tsan" -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_TSAN=ON -DKESTRUNE_WERROR=ON \
  -DKESTRUNE_BUILD_QT=OFF
targets=(kestrune_tests kestrune-cli)
if [ -f tests/runs/CMakeLists.txt ]; then targets+=(kestrune_runs_tests); fi
cmake --build "$tsan" -j "$(nproc)" --target "${targets[@]}"
# The suites not built here stand in ctest as *_NOT_BUILT; the fuzz
# replays run on one thread and have run above.
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  ctest --test-dir "$tsan" --output-on-failure -j "$(nproc)" -E '_NOT_BUILT|^FuzzReplay[.]'

# The fuzz targets, the Windows build and the .deb have stages of their own.
for stage in scripts/test-fuzz.sh scripts/test-windows.sh scripts/test-package.sh; do
  if [ -x "$stage" ]; then "$stage"; fi
done
