#!/usr/bin/env bash
# Sets up and builds the station, then runs it on the built-in simulated line:
# a line simulator with a demo line on a pseudo-terminal, and the station in a
# fresh station folder whose serial port is that line.
#   scripts/run-demo.sh [STATION_FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build

home=${1:-$(mktemp -d /tmp/quorlex-station.XXXXXX)}
link="$home/line"
build/tools/sim/quorlex-sim --demo --link "$link" > "$home/sim.out" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
[ -e "$link" ] || { echo "the line simulator did not start" >&2; exit 1; }

build/app/quorlex-station --init "$home" --port "$link"
echo "Station folder: $home (simulated line at $link)"
build/app/quorlex-station --home "$home"
