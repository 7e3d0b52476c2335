#!/usr/bin/env bash
# Takes a picture of the station under Xvfb against the demo line: the line
# simulator with the demo line, the station in a fresh station folder, then the
# screen saved as PNG.
#   scripts/screenshot.sh [main|monitor|device|wizard|chart|viewer|table] [OUTPUT.png]
# main:    the main window after one scan (the default)
# monitor: the state monitor during automatic polling, after its second pass
# device:  the device window of node 8 after its first refresh, its upper alarm lit
# wizard:  the debugging wizard after its own scan and a 03 read of node 8
# chart:   the history chart of node 8 channel 3 during automatic polling, six polls drawn
# viewer:  the text-log viewer of node 8 after the second polling pass
# table:   the history table of the last 24 hours, "Вид 2" grouped by node, after the second pass
# The build used is ./build, or the one QLX_BUILD_DIR names.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QLX_BUILD_DIR:-build}
scripts/setup.sh "$build"
if ! command -v Xvfb >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends xvfb
fi

what=main
case "${1:-}" in main|monitor|device|wizard|chart|viewer|table) what=$1; shift ;; esac
out=$(realpath -m "${1:-screenshot.png}")
mkdir -p "$(dirname "$out")"
rm -f "$out"
home=$(mktemp -d /tmp/quorlex-shot.XXXXXX)
display=:$((90 + RANDOM % 9))
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

Xvfb "$display" -screen 0 1366x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
"$build"/tools/sim/quorlex-sim --demo --link "$home/line" >/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -e "$home/line" ] && break; sleep 0.1; done
"$build"/app/quorlex-station --init "$home" --port "$home/line"
mode=(--scan)
[ "$what" = monitor ] && mode=(--autostart)
[ "$what" = device ] && mode=(--scan --front-panel 8)
[ "$what" = wizard ] && mode=(--scan --wizard)
if [ "$what" = viewer ]; then
  mode=(--autostart --log-viewer 8)
fi
if [ "$what" = table ]; then
  # The table shows what polling records; its "Вид 2" layout groups by node.
  mode=(--autostart --table)
  printf '[Record]\r\nin_bd=1\r\n' > "$home/ini/QLXN.ini"
  printf '[Layout]\r\nOrder=0,1,2,3,4,5,6,7,8,9,10,11,12,13\r\nWidths=185,60,70,70,70,70,70,70,70,70,70,70,70,70\r\nSortColumn=0\r\nSortOrder=1\r\nGroups=1\r\nGroupPanel=1\r\n' > "$home/ini/grid2.ini"
fi
if [ "$what" = chart ]; then
  # The chart draws what polling records into the history database.
  mode=(--autostart --chart 8:3)
  printf '[Record]\r\nin_bd=1\r\n' > "$home/ini/QLXN.ini"
fi
DISPLAY=$display QT_QPA_PLATFORM=xcb "$build"/app/quorlex-station --home "$home" "${mode[@]}" --screenshot "$out" &
station=$!
pids+=($station)
for _ in $(seq 1200); do [ -s "$out" ] && break; sleep 0.2; done
kill -TERM "$station" 2>/dev/null || true
wait "$station" 2>/dev/null || true
[ -s "$out" ] || { echo "no screenshot was taken" >&2; exit 1; }
echo "Screenshot: $out"
