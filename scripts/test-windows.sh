#!/usr/bin/env bash
# Cross-compiles kestrune.exe and the suites for Windows with mingw-w64 and
# runs the core suite and the Win32 suite as Windows programs under Wine,
# headless: Wine's null display driver serves the dialog tests. Sanitizers
# are off here, since mingw-w64 has none; warnings are still errors. Then it
# builds the Release programs in build/windows-release and packs them with
# the README and the licence into kestrune-<version>-win64.zip.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build windows

build=build/windows
# Debian keeps the 64-bit loader out of PATH; its "wine" wrapper works too but
# asks for the 32-bit loader on every start.
wine=$(command -v wine64 || ls /usr/lib/wine/wine64 2>/dev/null || command -v wine || true)
if [ -z "$wine" ]; then
  echo "test-windows: no wine64 or wine found" >&2
  exit 1
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_WERROR=ON -DKESTRUNE_SANITIZE=OFF -DKESTRUNE_BUILD_QT=OFF \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" >/dev/null
cmake --build "$build" -j "$(nproc)" --target kestrune kestrune_tests kestrune_win32_tests

# A private Wine prefix inside the build folder, without Mono or Gecko (their
# installers would ask), with the null display driver and a UTF-8 locale,
# which gives the ANSI code page 1252.
export WINEPREFIX="$PWD/$build/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8
if [ ! -f "$WINEPREFIX/.kestrune-ready" ]; then
  rm -rf "$WINEPREFIX"
  timeout 300 "$wine" wineboot --init
  timeout 120 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
  timeout 120 wineserver -w
  touch "$WINEPREFIX/.kestrune-ready"
fi

# Wine's server now and then hangs with a suite's threads: the suites stop at
# no processor cost, all their tests passed or one of them mid-way, until
# the timeout. Suites that time out run once more on a fresh server.
run_suites() {
  ctest --test-dir "$build" -R '^kestrune_(win32_)?tests$' --output-on-failure --timeout 120 \
    -j "$(nproc)" 2>&1 | tee "$build/ctest.log"
  return "${PIPESTATUS[0]}"
}
status=0
run_suites || status=$?
if [ "$status" != 0 ] && grep -q '\*\*\*Timeout' "$build/ctest.log"; then
  echo "test-windows: a suite timed out under Wine; once more on a fresh Wine server" >&2
  timeout 60 wineserver -k || true
  status=0
  run_suites || status=$?
fi

# The zip: both programs, README.txt and LICENSE.txt.
release=build/windows-release
cmake --no-warn-unused-cli -S . -B "$release" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_WERROR=ON -DKESTRUNE_BUILD_TESTS=OFF >/dev/null
cmake --build "$release" -j "$(nproc)" --target kestrune kestrune-cli
rm -f "$release"/kestrune-*-win64.zip
(cd "$release" && cpack -G ZIP >cpack.log) || { cat "$release/cpack.log" >&2; status=1; }
zip=$(ls "$release"/kestrune-*-win64.zip 2>/dev/null || true)
top=${zip##*/}
top=${top%.zip}
version=${top#kestrune-}
version=${version%-win64}
contents=$([ -z "$zip" ] || cmake -E tar tf "$zip" | grep -v '/$' | sort | xargs)
expected="$top/LICENSE.txt $top/README.txt $top/kestrune-cli.exe $top/kestrune.exe"
if [ "$contents" != "$expected" ]; then
  echo "test-windows: $zip holds \"$contents\", not \"$expected\"" >&2
  status=1
elif [ "$(timeout 120 "$wine" "$release/src/cli/kestrune-cli.exe" --version | tr -d '\r')" != \
       "kestrune-cli $version" ]; then
  echo "test-windows: kestrune-cli.exe --version does not give $version" >&2
  status=1
else
  echo "test-windows: $zip"
fi
timeout 60 wineserver -k || true
exit "$status"
