#!/usr/bin/env bash
# Starts the dialog under Xvfb with openbox and saves a screenshot of its
# window, frame included, to docs/dialog.png (or the path given).
# Usage: scripts/screenshot.sh [OUTPUT.png]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/release"
out="$(realpath -m "${1:-$root/docs/dialog.png}")"

"$root/scripts/install-deps.sh" build qt gui
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BUILD_QT=ON \
  -DKESTRUNE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target kestrune

# The program runs in a folder of its own, so that the settings it writes at
# exit land there and it opens with the defaults.
work="$(mktemp -d)"
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display number and writes it to fd 3 once it is ready.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "screenshot: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

openbox --sm-disable 2>"$work/openbox.log" &
pids+=($!)
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
  sleep 0.1
done

(cd "$work" && exec "$build/src/app/qt/kestrune") &
pids+=($!)
window="$(timeout 20 xdotool search --sync --onlyvisible --name '^Kestrune$' | head -n1)"
sleep 1  # let the first paint finish

# The window's client area and the frame openbox draws around it.
eval "$(xwininfo -id "$window" | awk -F: '
  /Absolute upper-left X/ {print "x=" $2+0} /Absolute upper-left Y/ {print "y=" $2+0}
  /Width/ {print "w=" $2+0} /Height/ {print "h=" $2+0}')"
read -r left right top bottom < <(xprop -id "$window" _NET_FRAME_EXTENTS |
  sed -n 's/.*= *\([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\).*/\1 \2 \3 \4/p')
geometry="$((w + left + right))x$((h + top + bottom))+$((x - left))+$((y - top))"

mkdir -p "$(dirname "$out")"
import -window root -crop "$geometry" +repage "$out"
echo "screenshot: $out ($geometry)"
