#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS
# (default 60) from seeds made by the corpus generator and, for the ID3v2
# reader of every version, by Debian's taggers. Fails on any finding
# and keeps the input that caused it in fuzz/crashes/<target>/, which the
# normal test run replays from then on.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build fuzz taggers

seconds=${FUZZ_SECONDS:-60}
build=build/fuzz
targets=(tags_fuzzer settings_fuzzer plan_fuzzer id3v2_any_fuzzer template_fuzzer)

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTRUNE_BUILD_FUZZERS=ON -DKESTRUNE_SANITIZE=ON -DKESTRUNE_WERROR=ON \
  -DKESTRUNE_BUILD_TESTS=OFF -DKESTRUNE_BUILD_QT=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" kestrune-corpus

# Seeds: the generated MP3 files (those small enough to mutate quickly), each
# behind a template and the zero byte that ends it, and a few settings files.
seeds="$build/seeds"
rm -rf "$seeds"
mkdir -p "$seeds/tags_fuzzer" "$seeds/plan_fuzzer" "$seeds/settings_fuzzer" "$seeds/id3v2_any_fuzzer"
# The template language: the README's examples over a set of tag records.
cp -r fuzz/seeds/template_fuzzer "$seeds/"
"$build/tools/kestrune-corpus" "$seeds/mp3" 32
templates=('%artist% - %title%' '%artist%\%album%\%track% %title%' '%year% %comment% %TRACK%'
           '%title%%%unknown%\..\%album%' '%')
n=0
for mp3 in "$seeds"/mp3/*.mp3; do
  [ "$(stat -c %s "$mp3")" -le 16384 ] || continue
  template=${templates[n % ${#templates[@]}]}
  for target in tags_fuzzer plan_fuzzer; do
    { printf '%s\0' "$template"; cat "$mp3"; } >"$seeds/$target/seed-$n"
  done
  cp "$mp3" "$seeds/id3v2_any_fuzzer/seed-$n"
  n=$((n + 1))
done
# Tags as mutagen, eyeD3 and id3v2 write them, each file a seed as it is.
tests/support/make_tagged_library.py "$seeds/library"
cp "$seeds"/library/*.mp3 "$seeds/id3v2_any_fuzzer/"
printf '[Core]\r\nMethod = 1\r\nFormat = %%artist%% - %%title%%' >"$seeds/settings_fuzzer/written"
printf 'Format=%%artist%%\nmethod = 2\nMethod=-7 trailing\nFORMAT = x\n' >"$seeds/settings_fuzzer/mixed"
printf 'Format = \n\r\nMethod = 99999999999\n' >"$seeds/settings_fuzzer/edges"

# The slow-input limits. The reader of every version reads any one file in
# well under 50 ms and a few KiB (scripts/bench.sh times the hostile ones in
# a Release build); libFuzzer counts whole seconds, and this build carries the
# sanitizers' cost and memory, so its bound is one second and no single
# allocation of 16 MiB or more.
limits_for() {
  case "$1" in
    id3v2_any_fuzzer) limits=(-timeout=1 -malloc_limit_mb=16) ;;
    *) limits=(-timeout=25) ;;
  esac
}

total=0
for target in "${targets[@]}"; do
  dict=fuzz/id3.dict
  [ "$target" = settings_fuzzer ] && dict=fuzz/settings.dict
  [ "$target" = template_fuzzer ] && dict=fuzz/template.dict
  corpus="$build/corpus/$target"
  log="$build/$target.log"
  mkdir -p "$corpus" "fuzz/crashes/$target"
  limits_for "$target"
  # The kept inputs first, whole and under the same limits (the hostile tags
  # among them are larger than the fuzzer's own inputs may grow).
  kept=()
  while IFS= read -r -d '' input; do kept+=("$input"); done \
    < <(find "fuzz/crashes/$target" -type f ! -name '.*' -print0 | sort -z)
  if [ ${#kept[@]} -gt 0 ] && ! "$build/fuzz/$target" "${limits[@]}" "${kept[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $target fails on a kept input in fuzz/crashes/$target/" >&2
    exit 1
  fi
  echo "fuzz: running $target for ${seconds} s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -dict="$dict" -max_len=16384 \
      "${limits[@]}" -print_final_stats=1 -artifact_prefix="fuzz/crashes/$target/" \
      "$corpus" "$seeds/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $target found a fault; the input is kept in fuzz/crashes/$target/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  [ -n "$runs" ] || runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
  echo "fuzz: $target ran ${runs:-0} inputs without a finding"
  total=$((total + ${runs:-0}))
done
echo "fuzz: $total executions in total, no finding"
