#!/usr/bin/env bash
# Times kestrune-cli --all against a baseline that does only the system calls
# a rename from tags cannot avoid, on a generated corpus of 10,000 and
# 100,000 MP3 files, and prints files per second, the ratio to the baseline,
# peak memory and how the time grows from the first size to the last.
#
# Usage: scripts/bench.sh [--others] [COUNT...]
#   --others   also install and time kid3-cli, exiftool and eyeD3
#   COUNT      corpus sizes, default 10000 100000
# Environment: BENCH_REPEAT (default 3) runs per tool and size, best one kept;
# BENCH_OTHERS_MAX (default 10000) the largest size the other tools run on;
# TMPDIR for the folder the corpus is written to (about 18 KB per file).
set -euo pipefail
cd "$(dirname "$0")/.."

others=0
counts=()
for argument in "$@"; do
  case "$argument" in
    --others) others=1 ;;
    ''|*[!0-9]*) echo "usage: scripts/bench.sh [--others] [COUNT...]" >&2; exit 2 ;;
    *) counts+=("$argument") ;;
  esac
done
[ ${#counts[@]} -gt 0 ] || counts=(10000 100000)
repeat=${BENCH_REPEAT:-3}
others_max=${BENCH_OTHERS_MAX:-10000}

if [ "$others" = 1 ]; then scripts/install-deps.sh build bench; else scripts/install-deps.sh build; fi

build=build/bench
mkdir -p build
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BUILD_TESTS=OFF &&
       cmake --build "$build" -j "$(nproc)" --target kestrune-cli kestrune-corpus \
         kestrune-bench-baseline kestrune-bench-measure; } >"$build.log" 2>&1; then
  cat "$build.log" >&2
  exit 1
fi
cli=$PWD/$build/src/cli/kestrune-cli
corpus=$PWD/$build/tools/kestrune-corpus
baseline=$PWD/$build/tools/bench/kestrune-bench-baseline
measure=$PWD/$build/tools/bench/kestrune-bench-measure

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
template='%artist% - %title%'

# Each tool runs in an empty current folder (no Kestrune.ini) on a fresh
# copy of the corpus; the copy is flushed to disk before the clock starts.
# kestrune-cli keeps a journal of each run; it goes to the scratch folder,
# and the run without it is timed as well.
export XDG_STATE_HOME=$work/state
tools=(baseline kestrune-cli)
if "$cli" --help | grep -q -- --no-journal; then tools+=(no-journal); fi
if [ "$others" = 1 ]; then
  command -v kid3-cli >/dev/null && tools+=(kid3-cli)
  command -v exiftool >/dev/null && tools+=(exiftool)
  command -v eyeD3 >/dev/null && tools+=(eyeD3)
fi

run_tool() {  # TOOL FOLDER: prints "SECONDS CPU_SECONDS PEAK_KIB STATUS"
  local folder=$2
  case "$1" in
    baseline)     "$measure" "$baseline" "$folder" ;;
    kestrune-cli) "$measure" "$cli" --format "$template" --all "$folder" ;;
    no-journal)   "$measure" "$cli" --no-journal --format "$template" --all "$folder" ;;
    kid3-cli)     "$measure" kid3-cli -c "select all" -c "fromtag '%{artist} - %{title}' 2" \
                    -c save "$folder" ;;
    exiftool)     "$measure" exiftool -q -q -ext mp3 '-FileName<$Artist - $Title.mp3' "$folder" ;;
    eyeD3)        "$measure" eyeD3 -Q --rename '$artist - $title' "$folder" ;;
  esac
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')," \
     "$(uname -sr), $(df -T "$work" | awk 'NR==2 {print $2}') in ${TMPDIR:-/tmp}; best of $repeat runs"
echo "no-journal: kestrune-cli --no-journal"
printf '%-8s %-13s %9s %10s %9s %9s %9s\n' files tool seconds files/s baseline "cpu s" "peak MiB"
declare -A seconds peaks best cpu peak status
for count in "${counts[@]}"; do
  "$corpus" "$work/master" "$count"
  run_tools=()
  for tool in "${tools[@]}"; do
    case "$tool" in baseline|kestrune-cli|no-journal) ;; *) [ "$count" -le "$others_max" ] || continue ;; esac
    run_tools+=("$tool")
    best[$tool]= cpu[$tool]= peak[$tool]=0 status[$tool]=0
  done
  # The tools take turns, so that a busy moment of the machine does not
  # fall on one tool alone.
  for ((run = 0; run < repeat; run++)); do
    for tool in "${run_tools[@]}"; do
      rm -rf "$work/run" "$work/cwd"
      cp -r "$work/master" "$work/run"
      mkdir "$work/cwd"
      sync
      read -r s c p st < <(cd "$work/cwd" && run_tool "$tool" "$work/run")
      [ "$st" = 0 ] || status[$tool]=$st
      left=$(find "$work/run" -maxdepth 1 -name 'track_*' | wc -l)
      [ "$left" = 0 ] || status[$tool]="${status[$tool]}, $left not renamed"
      if [ -z "${best[$tool]}" ] || awk -v a="$s" -v b="${best[$tool]}" 'BEGIN {exit !(a < b)}'; then
        best[$tool]=$s
      fi
      if [ -z "${cpu[$tool]}" ] || awk -v a="$c" -v b="${cpu[$tool]}" 'BEGIN {exit !(a < b)}'; then
        cpu[$tool]=$c
      fi
      [ "$p" -gt "${peak[$tool]}" ] && peak[$tool]=$p
    done
  done
  for tool in "${run_tools[@]}"; do
    seconds[$tool,$count]=${best[$tool]}
    peaks[$tool,$count]=${peak[$tool]}
    awk -v n="$count" -v t="$tool" -v s="${best[$tool]}" -v b="${best[baseline]}" -v c="${cpu[$tool]}" \
      -v p="${peak[$tool]}" -v st="${status[$tool]}" 'BEGIN {
        printf "%-8d %-13s %9.3f %10.0f %8.0f%% %9.3f %9.1f%s\n", n, t, s, n / s, 100 * b / s, c,
               p / 1024, (st == "0" ? "" : "   (exit status " st ")")
      }'
  done
  rm -rf "$work/master" "$work/run"
done

# The targets, for kestrune-cli.
first=${counts[0]}
last=${counts[${#counts[@]}-1]}
echo
for tool in "${tools[@]}"; do
  case "$tool" in kestrune-cli|no-journal) ;; *) continue ;; esac
  for count in "${counts[@]}"; do
    awk -v b="${seconds[baseline,$count]}" -v k="${seconds[$tool,$count]}" -v n="$count" -v t="$tool" 'BEGIN {
      r = 100 * b / k
      printf "%s, throughput at %d files: %.1f%% of the baseline (target: at least 80%%) %s\n", t, n, r,
             (r >= 80 ? "met" : "MISSED") }'
  done
  awk -v p="${peaks[$tool,$last]}" -v n="$last" -v t="$tool" 'BEGIN {
    printf "%s, peak memory at %d files: %.1f MiB (target: under 16 MiB) %s\n", t, n, p / 1024,
           (p < 16 * 1024 ? "met" : "MISSED") }'
done
if [ "$first" != "$last" ]; then
  for tool in "${tools[@]}"; do
    case "$tool" in baseline|kestrune-cli|no-journal) ;; *) continue ;; esac
    awk -v a="${seconds[$tool,$first]}" -v b="${seconds[$tool,$last]}" -v t="$tool" -v f="$first" \
      -v l="$last" 'BEGIN {
        limit = 1.1 * l / f
        printf "growth of %s: %d files take %.2f times as long as %d", t, l, b / a, f
        if (t != "baseline") printf " (target: at most %.0f) %s", limit, (b / a <= limit ? "met" : "MISSED")
        printf "\n" }'
  done
fi
