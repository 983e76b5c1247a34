#!/usr/bin/env bash
# Installs what is missing, builds every target with AddressSanitizer and
# UndefinedBehaviorSanitizer, warnings as errors, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

# fuse: a file system without hard links for the rename tests, in Python;
# taggers: MP3 files written by real taggers for the tag reader tests;
# faults: strace kills a run at each of its system calls, for the undo tests.
scripts/install-deps.sh build qt fuse taggers faults

build=build/test
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=ON -DKESTRUNE_WERROR=ON \
  -DKESTRUNE_BUILD_QT="$([ -f src/app/qt/CMakeLists.txt ] && echo ON || echo OFF)"
cmake --build "$build" -j "$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The fuzz targets, the Windows build and the .deb have stages of their own.
for stage in scripts/test-fuzz.sh scripts/test-windows.sh scripts/test-package.sh; do
  if [ -x "$stage" ]; then "$stage"; fi
done
