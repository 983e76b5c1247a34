#!/usr/bin/env bash
# Times kestrune-cli --all against a baseline that does only the system calls
# a rename from tags cannot avoid, on a generated corpus of 10,000 and
# 100,000 MP3 files, with the page cache hot and dropped. Every case runs as
# paired rounds: in each round the baseline and every kestrune-cli variant
# take turns on fresh copies of the corpus, so a busy moment of the machine
# falls on all of them. The report (Markdown, on the standard output) gives
# per case the median time and its spread, the throughput ratio to the
# baseline of the same round, the peak memory, the growth from the smallest
# size to the largest, and marks each throughput target met or missed.
#
# Usage: scripts/bench.sh [--others] [COUNT...]
#   --others   also install and time kid3-cli, exiftool and eyeD3 (hot cache only)
#   COUNT      corpus sizes, default 10000 100000
# Environment: BENCH_ROUNDS (default 5) paired rounds per size and cache state;
# BENCH_COLD=0 skips the cold-cache rounds; BENCH_OTHERS_MAX (default 10000)
# the largest size the other tools run on; TMPDIR for the folder the corpus is
# written to (about 18 KB per file, twice).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: scripts/bench.sh [--others] [COUNT...]" >&2; exit 2; }
others=0
counts=()
for argument in "$@"; do
  case "$argument" in
    --others) others=1 ;;
    ''|*[!0-9]*) usage ;;
    *) [ "$argument" -gt 0 ] || usage; counts+=("$argument") ;;
  esac
done
[ ${#counts[@]} -gt 0 ] || counts=(10000 100000)
mapfile -t counts < <(printf '%s\n' "${counts[@]}" | sort -nu)
rounds=${BENCH_ROUNDS:-5}
case "$rounds" in ''|*[!0-9]*|0) echo "bench: BENCH_ROUNDS must be a positive number" >&2; exit 2 ;; esac
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
results=$work/results   # one line per timed run: COUNT|CACHE|VARIANT|ROUND|SECONDS|CPU|PEAK_KIB|NOTE

# The variants, in the order of the report. "undo" is timed right after
# "default" in each round and undoes that run.
variants=(baseline default)
notes=()
if "$cli" --help | grep -q -- '--jobs'; then
  jobs=1
  variants+=(jobs1 no-journal jobs1-no-journal)
else
  jobs=0
  variants+=(no-journal)
  notes+=("The rows of \`--jobs 1\` are left out: this kestrune-cli has no \`--jobs\` option.")
fi
other_tools=()
if [ "$others" = 1 ]; then
  for tool in kid3-cli exiftool eyeD3; do
    if command -v "$tool" >/dev/null; then other_tools+=("$tool"); else notes+=("$tool is not installed."); fi
  done
fi

# Cold cache: the page cache is dropped after the copy is on the disk, right
# before the clock starts. Only root may; without it the cold rows are left out.
drop_caches() { sync && echo 3 >/proc/sys/vm/drop_caches; }
caches=(hot)
if [ "${BENCH_COLD:-1}" = 0 ]; then
  notes+=("Cold cache not measured: BENCH_COLD=0.")
elif (drop_caches) 2>/dev/null; then
  caches+=(cold)
else
  notes+=("Cold cache not measured: dropping the page cache (\`/proc/sys/vm/drop_caches\`) is not permitted to this user; run as root for the cold rows.")
fi

# Sets the array "command" to the timed command of VARIANT on FOLDER.
# shellcheck disable=SC2016 # exiftool and eyeD3 expand their own fields
command_for() {
  local folder=$2
  case "$1" in
    baseline)         command=("$baseline" "$folder") ;;
    default)          command=("$cli" --format "$template" --all "$folder") ;;
    jobs1)            command=("$cli" --jobs 1 --format "$template" --all "$folder") ;;
    no-journal)       command=("$cli" --no-journal --format "$template" --all "$folder") ;;
    jobs1-no-journal) command=("$cli" --jobs 1 --no-journal --format "$template" --all "$folder") ;;
    undo)             command=("$cli" --undo-last) ;;
    kid3-cli)         command=(kid3-cli -c "select all" -c "fromtag '%{artist} - %{title}' 2" -c save "$folder") ;;
    exiftool)         command=(exiftool -q -q -ext mp3 '-FileName<$Artist - $Title.mp3' "$folder") ;;
    eyeD3)            command=(eyeD3 -Q --rename '$artist - $title' "$folder") ;;
  esac
}

# Times VARIANT on $work/run (COUNT, CACHE, ROUND for the record) in an empty
# current folder (no Kestrune.ini), with the journals in $work/state. The
# baseline and kestrune-cli must rename every file (undo: bring every one
# back); when one does not, the script stops with its error output.
time_run() {
  local variant=$1 count=$2 cache=$3 round=$4 out s c p st note=""
  command_for "$variant" "$work/run"
  [ "$cache" = cold ] && drop_caches
  if ! out=$(cd "$work/cwd" && XDG_STATE_HOME=$work/state "$measure" "${command[@]}" 2>"$work/stderr"); then
    cat "$work/stderr" >&2
    exit 1
  fi
  read -r s c p st <<<"$out"
  local left expected=0
  left=$(find "$work/run" -maxdepth 1 -name 'track_*' | wc -l)
  [ "$variant" = undo ] && expected=$count
  if [ "$st" != 0 ] || [ "$left" != "$expected" ]; then
    note="exit status $st"
    if [ "$variant" = undo ] && [ "$left" != "$expected" ]; then
      note+=", only $left of $count files back under their old names"
    elif [ "$left" != "$expected" ]; then
      note+=", $left of $count files not renamed"
    fi
    case "$variant" in
      kid3-cli|exiftool|eyeD3) ;;
      *)
        echo "bench: $variant failed at $count files, $cache cache, round $round: $note" >&2
        echo "bench: ${command[*]}" >&2
        echo "bench: its error output:" >&2
        # Without the progress line that kestrune-cli redraws on its error output.
        tr '\r' '\n' <"$work/stderr" | sed -e 's/\x1b\[K//g' | grep -v -e '^[0-9]*/[0-9]* files$' -e '^$' >&2 || true
        exit 1 ;;
    esac
  fi
  echo "$count|$cache|$variant|$round|$s|$c|$p|$note" >>"$results"
}

echo "bench: kestrune-cli: ${variants[*]:1} undo; ${#counts[@]} sizes (${counts[*]}), caches: ${caches[*]}, $rounds paired rounds" >&2
for count in "${counts[@]}"; do
  echo "bench: writing $count files" >&2
  rm -rf "$work/master"
  "$corpus" "$work/master" "$count"
  for cache in "${caches[@]}"; do
    turn=("${variants[@]}")
    if [ "$cache" = hot ] && [ "$count" -le "$others_max" ]; then turn+=("${other_tools[@]}"); fi
    for ((round = 1; round <= rounds; round++)); do
      echo "bench: $count files, $cache cache, round $round of $rounds" >&2
      # Each round starts one variant further on, so that none always runs first.
      for ((i = 0; i < ${#turn[@]}; i++)); do
        variant=${turn[(i + round - 1) % ${#turn[@]}]}
        rm -rf "$work/run" "$work/cwd" "$work/state"
        cp -r "$work/master" "$work/run"
        mkdir "$work/cwd"
        sync
        time_run "$variant" "$count" "$cache" "$round"
        if [ "$variant" = default ]; then
          sync
          time_run undo "$count" "$cache" "$round"
        fi
      done
    done
  done
  rm -rf "$work/master" "$work/run"
done

cpu_model=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')
[ -n "$cpu_model" ] || cpu_model="unknown processor"
machine="$cpu_model, $(nproc) cores, $(uname -sr), $(df -T "$work" | awk 'NR==2 {print $2}') (scratch folder in ${TMPDIR:-/tmp})"
cache_text="Page cache hot (a fresh copy of the corpus, just written and flushed)"
[ ${#caches[@]} = 2 ] && cache_text+=" and cold (dropped before each run)"

awk -F'|' -v counts="${counts[*]}" -v caches="${caches[*]}" \
    -v variants="${variants[*]} undo ${other_tools[*]}" -v jobs="$jobs" -v rounds="$rounds" \
    -v machine="$machine" -v cache_text="$cache_text" '
function commas(x,   s) {
  s = sprintf("%d", x + 0.5)
  while (s ~ /[0-9][0-9][0-9][0-9]/) sub(/[0-9][0-9][0-9]([,]|$)/, ",&", s)
  return s
}
function label(v) {
  if (v == "baseline") return "baseline"
  if (v == "default") return "kestrune-cli (default: journal on)"
  if (v == "jobs1") return "kestrune-cli `--jobs 1`"
  if (v == "no-journal") return "kestrune-cli `--no-journal`"
  if (v == "jobs1-no-journal") return "kestrune-cli `--jobs 1 --no-journal`"
  if (v == "undo") return "kestrune-cli `--undo-last` of the default run"
  return v
}
function is_cli(v) { return v == "default" || v == "jobs1" || v == "no-journal" || v == "jobs1-no-journal" || v == "undo" }
# Median, smallest and largest of the k values in a[1..k] (sorted in place).
function stats(a, k,   i, j, x) {
  for (i = 2; i <= k; i++) { x = a[i]; for (j = i - 1; j >= 1 && a[j] > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
  lo = a[1]; hi = a[k]
  med = k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
  return med
}
# Statistics of case (n, c, v): seconds, CPU, peak, and the throughput ratio
# to variant "over" of the same round (its seconds over this one'"'"'s).
function ratio(n, c, v, over,   k, r, a) {
  k = 0
  for (r = 1; r <= rounds; r++)
    if ((n, c, v, r) in sec && (n, c, over, r) in sec) a[++k] = sec[n, c, over, r] / sec[n, c, v, r]
  if (k == 0) return -1
  return stats(a, k)
}
function seconds(n, c, v,   k, r, a) {
  k = 0
  for (r = 1; r <= rounds; r++) if ((n, c, v, r) in sec) a[++k] = sec[n, c, v, r]
  if (k == 0) return -1
  return stats(a, k)
}
function cpu_median(n, c, v,   k, r, a) {
  k = 0
  for (r = 1; r <= rounds; r++) if ((n, c, v, r) in cpu) a[++k] = cpu[n, c, v, r]
  return stats(a, k)
}
function verdict(ok) { return ok ? "met" : "**missed**" }
{
  sec[$1, $2, $3, $4] = $5; cpu[$1, $2, $3, $4] = $6
  if (!(($1, $2, $3) in peak) || $7 > peak[$1, $2, $3]) peak[$1, $2, $3] = $7
  if ($8 != "" && index(note[$1, $2, $3], $8) == 0) note[$1, $2, $3] = note[$1, $2, $3] "; " $8
}
END {
  nn = split(counts, N, " "); nc = split(caches, C, " "); nv = split(variants, V, " ")
  first = N[1]; last = N[nn]
  printf "Machine: %s. %s; paired rounds per case: %d; template `%%artist%% - %%title%%`.\n\n", machine, cache_text, rounds
  print "| files | cache | run | seconds: median (min–max) | files/s | throughput / baseline: median (min–max) | CPU s | peak MiB |"
  print "|---:|---|---|---|---:|---|---:|---:|"
  for (i = 1; i <= nn; i++) for (j = 1; j <= nc; j++) for (l = 1; l <= nv; l++) {
    n = N[i]; c = C[j]; v = V[l]
    s = seconds(n, c, v); if (s < 0) continue
    s_lo = lo; s_hi = hi
    q = ratio(n, c, v, "baseline")
    shown = v == "baseline" ? "1.00" : sprintf("%.2f (%.2f–%.2f)", q, lo, hi)
    printf "| %s | %s | %s%s | %.3f (%.3f–%.3f) | %s | %s | %.3f | %.1f |\n", commas(n), c, label(v),
           (n, c, v) in note ? " (" substr(note[n, c, v], 3) ")" : "", s, s_lo, s_hi, commas(n / s), shown,
           cpu_median(n, c, v), peak[n, c, v] / 1024
  }
  print "\nThroughput / baseline is the median over the rounds of the baseline'"'"'s seconds over the run'"'"'s in the same round; files/s comes from the median seconds, the peak is the largest of the rounds."
  if (nn > 1) {
    printf "\nGrowth, median seconds at %s files over %s:\n\n", commas(last), commas(first)
    printf "| run |"; for (j = 1; j <= nc; j++) printf " %s |", C[j]; printf "\n|---|"
    for (j = 1; j <= nc; j++) printf "---:|"; printf "\n"
    for (l = 1; l <= nv; l++) {
      v = V[l]; if (seconds(first, "hot", v) < 0 || seconds(last, "hot", v) < 0) continue
      printf "| %s |", label(v)
      for (j = 1; j <= nc; j++) printf " %.2f |", seconds(last, C[j], v) / seconds(first, C[j], v)
      printf "\n"
    }
  }

  print "\nTargets:\n"
  # Hot and cold throughput of the default run.
  for (t = 1; t <= 2; t++) {
    c = t == 1 ? "hot" : "cold"; goal = t == 1 ? 1.0 : 2.5
    text = ""; ok = 1; seen = 0
    for (i = 1; i <= nn; i++) {
      q = ratio(N[i], c, "default", "baseline"); if (q < 0) continue
      seen = 1; ok = ok && q >= goal; text = text sprintf("%s%.2f at %s files", text == "" ? "" : ", ", q, commas(N[i]))
    }
    printf "- %s cache, default run, at least %.1f times the baseline'"'"'s throughput: %s\n",
           c == "hot" ? "Hot" : "Cold", goal, seen ? text ": " verdict(ok) : "not measured (no cold rounds)"
  }
  # Sequential, without the journal.
  if (jobs) {
    text = ""; ok = 1
    for (i = 1; i <= nn; i++) for (j = 1; j <= nc; j++) {
      q = ratio(N[i], C[j], "jobs1-no-journal", "baseline")
      ok = ok && q >= 0.95; text = text sprintf("%s%.2f at %s %s", text == "" ? "" : ", ", q, commas(N[i]), C[j])
    }
    printf "- `--jobs 1 --no-journal` at least 0.95 of the baseline: %s: %s\n", text, verdict(ok)
  } else {
    print "- `--jobs 1 --no-journal` at least 0.95 of the baseline: not measured (no `--jobs` in this kestrune-cli)"
  }
  # Peak memory at the largest size, over every kestrune-cli run.
  worst = 0
  for (j = 1; j <= nc; j++) for (l = 1; l <= nv; l++)
    if (is_cli(V[l]) && (last, C[j], V[l]) in peak && peak[last, C[j], V[l]] > worst) {
      worst = peak[last, C[j], V[l]]; where = label(V[l]) ", " C[j]
    }
  printf "- Peak memory under 16 MiB at %s files (largest over every kestrune-cli run): %.1f MiB (%s): %s\n",
         commas(last), worst / 1024, where, verdict(worst < 16 * 1024)
  # Growth, over every kestrune-cli run.
  limit = 1.1 * last / first
  if (nn > 1) {
    worst = 0
    for (j = 1; j <= nc; j++) for (l = 1; l <= nv; l++) {
      if (!is_cli(V[l]) || seconds(first, C[j], V[l]) < 0 || seconds(last, C[j], V[l]) < 0) continue
      g = seconds(last, C[j], V[l]) / seconds(first, C[j], V[l])
      if (g > worst) { worst = g; where = label(V[l]) ", " C[j] }
    }
    printf "- %s files cost at most %.1f times %s (largest growth over every kestrune-cli run): %.2f (%s): %s\n",
           commas(last), limit, commas(first), worst, where, verdict(worst <= limit)
  } else {
    print "- Growth: not measured (one size only)"
  }
  # Undo against the run it undoes, paired in each round.
  text = ""; ok = 1
  for (i = 1; i <= nn; i++) for (j = 1; j <= nc; j++) {
    q = ratio(N[i], C[j], "undo", "default")
    ok = ok && q >= 0.5; text = text sprintf("%s%.2f at %s %s", text == "" ? "" : ", ", q, commas(N[i]), C[j])
  }
  printf "- Undo at least half the default run'"'"'s throughput (undo files/s over the run'"'"'s): %s: %s\n", text, verdict(ok)
}' "$results"

for note in "${notes[@]}"; do printf '\n%s\n' "$note"; done

# Hostile tags read with --any-id3v2: sizes that promise far more than a name
# can use cost no more than a bounded walk. Each file is a dry run of its
# own, against a file of one frame; the page cache is hot.
hostile=$work/hostile
mkdir -p "$hostile"
printf 'ID3\x03\x00\x00\x00\x00\x00\x10TIT2\x00\x00\x00\x02\x00\x00\x00x' >"$hostile/one-frame.mp3"
# ID3v2.3, unsynchronised, with an extended header of 4 GiB, in a sparse
# file: a few bytes, then holes.
printf 'ID3\x03\x00\xc0\x7f\x7f\x7f\x7f\xff\xff\xff\xff' >"$hostile/extended-4gib.mp3"
truncate -s $(((1 << 32) + 8192)) "$hostile/extended-4gib.mp3"
# 2^20 frames of one byte under unsynchronisation (11 MiB).
printf 'TXXX\x00\x00\x00\x01\x00\x00x' >"$hostile/frames"
for _ in $(seq 20); do cat "$hostile/frames" "$hostile/frames" >"$hostile/twice" && mv "$hostile/twice" "$hostile/frames"; done
{ printf 'ID3\x03\x00\x80\x7f\x7f\x7f\x7f'; cat "$hostile/frames"; } >"$hostile/million-frames.mp3"
rm "$hostile/frames"
echo
echo "Hostile tags, \`--any-id3v2 --dry-run\` on one file, median of $rounds runs (target: at most 50 ms more than a file of one frame, peak under 16 MiB):"
echo
echo "| file | seconds | over one frame | CPU s | peak MiB | target |"
echo "|---|---:|---:|---:|---:|---|"
for name in one-frame extended-4gib million-frames; do
  for ((round = 1; round <= rounds; round++)); do
    (cd "$work" && "$measure" "$cli" --any-id3v2 --dry-run --no-journal "$hostile/$name.mp3" 2>/dev/null) ||
      { echo "bench: kestrune-cli failed on $name.mp3" >&2; exit 1; }
  done | sort -n | awk -v name="$name" -v rounds="$rounds" '
    { s[NR] = $1; c[NR] = $2; if ($3 > peak) peak = $3 }
    END { printf "%s %.3f %.3f %.1f\n", name, s[int((rounds + 1) / 2)], c[int((rounds + 1) / 2)], peak / 1024 }'
done | awk '
  NR == 1 { base = $2 }
  { over = $2 - base; ok = over <= 0.050 && $4 < 16
    printf "| %s.mp3 | %.3f | %+.3f | %.3f | %.1f | %s |\n", $1, $2, over, $3, $4,
           NR == 1 ? "" : (ok ? "met" : "**missed**") }'
