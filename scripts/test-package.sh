#!/usr/bin/env bash
# Builds the .deb from the Release tree (build/release, as scripts/run.sh
# leaves it), checks the desktop entry, the AppStream metadata and the
# package with lintian, then installs it with apt-get (as root), tries the
# installed kestrune-cli, its manual page, its completion and the icon of the
# desktop entry, and removes the package again.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build qt package

build=build/release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BUILD_QT=ON \
  -DKESTRUNE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/kestrune_*.deb
(cd "$build" && cpack -G DEB) >"$build/cpack.log" 2>&1 || { cat "$build/cpack.log" >&2; exit 1; }
deb=$(ls "$build"/kestrune_*_amd64.deb)
version=$(dpkg-deb -f "$deb" Version)
echo "package: $deb"

desktop-file-validate src/app/qt/kestrune.desktop
appstreamcli validate --no-net --pedantic packaging/org.kestrune.kestrune.metainfo.xml
# A warning fails the stage as an error does (lintian notes once that it runs as root).
lintian --fail-on error,warning --display-info "$deb"

if [ "$(id -u)" -ne 0 ]; then
  echo "package: not installing $deb (needs root)"
  exit 0
fi
if dpkg-query -W -f='${Status}' kestrune 2>/dev/null | grep -q "install ok installed"; then
  echo "package: kestrune is installed on this machine already; not replacing it" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq kestrune >/dev/null || true; rm -rf "$work"' EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "./$deb" >/dev/null
fail() { echo "package: $*" >&2; exit 1; }

cli=/usr/bin/kestrune-cli
[ "$("$cli" --version)" = "kestrune-cli $version" ] || fail "kestrune-cli --version is not $version"
[ "$(man -w kestrune-cli)" = /usr/share/man/man1/kestrune-cli.1.gz ] || fail "man -w kestrune-cli"
[ "$(man -w kestrune)" = /usr/share/man/man1/kestrune.1.gz ] || fail "man -w kestrune"

# Completion: an option, a folder after --all, MP3 files and folders as operands.
completion=/usr/share/bash-completion/completions/kestrune-cli
[ -f "$completion" ] || fail "no completion file $completion"
mkdir -p "$work/complete/music"
touch "$work/complete/a.mp3" "$work/complete/notes.txt"
complete_words() {  # WORD...: what Tab offers after them
  (cd "$work/complete" && bash -c 'source /usr/share/bash-completion/bash_completion
    source "$0"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}; _kestrune_cli; printf "%s\n" "${COMPREPLY[@]}" | sort | xargs' \
    "$completion" "$@")
}
[ "$(complete_words kestrune-cli --no-j)" = --no-journal ] || fail "completion of --no-j"
[ "$(complete_words kestrune-cli --all '')" = music ] || fail "completion after --all"
[ "$(complete_words kestrune-cli -n '')" = "a.mp3 music" ] || fail "completion of the files"
[ "$(complete_words kestrune-cli --on-collision s)" = suffix ] || fail "completion of --on-collision"
runs=$work/state/kestrune/runs
mkdir -p "$runs"
touch "$runs/2026-12-06T23-21-56Z.journal" "$runs/2026-12-07T10-00-00Z.journal"
[ "$(XDG_STATE_HOME=$work/state complete_words kestrune-cli --undo '')" = \
  "$runs/2026-12-06T23-21-56Z.journal $runs/2026-12-07T10-00-00Z.journal" ] ||
  fail "completion of the runs after --undo"

# The desktop entry's icon, in the theme every desktop looks in.
icon=$(sed -n 's/^Icon=//p' /usr/share/applications/kestrune.desktop)
[ -f "/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no icon $icon in hicolor"

# A dry run on a small corpus through the installed program touches nothing.
"$build/tools/kestrune-corpus" "$work/corpus" 20
before=$(ls "$work/corpus")
(cd "$work" && "$cli" --dry-run --all corpus >"$work/out" 2>"$work/err") ||
  { cat "$work/err" >&2; fail "the dry run failed"; }
grep -q '^dry run: 20 to rename, 0 skipped, 0 would fail$' "$work/err" ||
  { cat "$work/err" >&2; fail "the dry run planned something else"; }
[ "$(wc -l <"$work/out")" = 20 ] || fail "the dry run printed $(wc -l <"$work/out") renames"
[ "$(ls "$work/corpus")" = "$before" ] || fail "the dry run changed the folder"
echo "package: kestrune $version installs, runs and removes"
