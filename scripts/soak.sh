#!/usr/bin/env bash
# A long unattended run of the station on the simulated demo line, with faults
# injected along the way, then a check that everything it recorded was served.
#
#   scripts/soak.sh [--minutes N] [--fault-every MIN] [--pg] [--out DIR]
#                   [--build-dir DIR] [--no-build]
#
# --minutes N        length of the run (default 10)
# --fault-every MIN  inject the next fault every MIN minutes (default 0: none), counted from
#                    the first recorded poll so that faults strike monitoring, not the
#                    start-up scan; in turn:
#                      line cut   every node silent for 5 s (SIGUSR1, then SIGUSR2 to the simulator)
#                      port loss  the simulator ends, its line disappears for 10 s, then it
#                                 starts again on the same link, appending to the same served file
#                      database   (with --pg) the PostgreSQL server paused for 20 s
# --pg               record into a throwaway PostgreSQL server (scripts/pg-test-server.sh)
#                    instead of the SQLite file of a fresh station folder; its port is
#                    $QLX_PG_PORT, else 54329 (a unix socket in OUT/pg only)
# --out DIR          where everything goes (default: a new /tmp/quorlex-soak.XXXXXX); must
#                    be empty or new
# --build-dir DIR    the build to use (default: build in the source tree); it is set up and
#                    built first by scripts/setup.sh DIR unless --no-build
#
# The station folder is OUT/station, initialised for the simulator's link with the
# fastest polling (passes back to back) and recording into the database and the
# value log; the station runs headless with --autostart. Every 30 s the station's
# resident memory, its CPU time, the value-log rows and the history rows so far
# (read with sqlite3 or psql) go to OUT/samples.tsv: elapsed s, VmRSS kB, CPU s
# (user + system), value-log rows, history rows. Faults and events are noted in
# OUT/events.log; the simulator's and the station's output are in OUT/sim.log and
# OUT/station.log.
# At the end the station gets SIGTERM, and soak_check holds its value logs and
# history rows against OUT/served.txt, what the simulator served.
#
# Exit status 0 when the station was still running before SIGTERM, its value log
# and history database were still growing over its last 20 s sampled, and it
# recorded only values it was served;
# 1 otherwise; 2 for bad arguments. The simulator, the station and the PostgreSQL
# server are stopped whatever happens, also on an interrupt.
set -euo pipefail
caller=$(pwd)
cd "$(dirname "$0")/.."

minutes=10
fault_every=0
use_pg=0
out=
build_dir=build
build=1

usage() {
  sed -n '5,6p' "$0" | sed 's/^# *//' >&2
  exit 2
}
is_number() { [[ $1 =~ ^[0-9]+$ ]]; }
# Paths given on the command line are taken from where the script was called.
absolute() { if [[ $1 == /* ]]; then echo "$1"; else echo "$caller/$1"; fi; }

while [[ $# -gt 0 ]]; do
  case $1 in
    --minutes) [[ $# -ge 2 ]] && is_number "$2" && [[ $2 -gt 0 ]] || usage; minutes=$2; shift 2 ;;
    --fault-every) [[ $# -ge 2 ]] && is_number "$2" || usage; fault_every=$2; shift 2 ;;
    --pg) use_pg=1; shift ;;
    --out) [[ $# -ge 2 ]] || usage; out=$(absolute "$2"); shift 2 ;;
    --build-dir) [[ $# -ge 2 ]] || usage; build_dir=$(absolute "$2"); shift 2 ;;
    --no-build) build=0; shift ;;
    -h|--help) sed -n '2,/^set /{/^#/p}' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) usage ;;
  esac
done

if [[ $build == 1 ]]; then
  scripts/setup.sh "$build_dir"
fi
build_dir=$(cd "$build_dir" && pwd)
sim_bin=$build_dir/tools/sim/quorlex-sim
station_bin=$build_dir/app/quorlex-station
check_bin=$build_dir/tools/bench/soak_check
for b in "$sim_bin" "$station_bin" "$check_bin"; do
  [[ -x $b ]] || { echo "soak: $b is missing; build it first" >&2; exit 1; }
done

if [[ -z $out ]]; then
  out=$(mktemp -d /tmp/quorlex-soak.XXXXXX)
elif [[ -e $out && -n $(ls -A "$out") ]]; then
  echo "soak: $out is not empty" >&2
  exit 2
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
home=$out/station
link=$out/line
served=$out/served.txt
samples=$out/samples.tsv
events=$out/events.log
pg_dir=$out/pg
pg_port=${QLX_PG_PORT:-54329}
export QLX_PG_PORT=$pg_port

sim_pid=
station_pid=
pg_started=0
clk_tck=$(getconf CLK_TCK)

# The run's clock: milliseconds since the start (bash's EPOCHREALTIME, whatever
# the locale's decimal separator).
now_us() { local t=${EPOCHREALTIME//[.,]/}; echo $((10#$t)); }
start_us=$(now_us)
elapsed_ms() { echo $((($(now_us) - start_us) / 1000)); }
elapsed() { echo $(($(elapsed_ms) / 1000)); }
note() {
  local line ms
  ms=$(elapsed_ms)
  line="$(printf '%5d.%ds' $((ms / 1000)) $((ms % 1000 / 100))) $*"
  echo "$line"
  echo "$line" >> "$events"
}

alive() { [[ -n $1 ]] && kill -0 "$1" 2>/dev/null; }

# Ends a process we started: SIGTERM, then SIGKILL after `grace` seconds.
# stopped_by says what ended it: TERM, KILL, or none when it had ended before.
stopped_by=
stop_process() {
  local pid=$1 grace=$2
  stopped_by=none
  alive "$pid" || return 0
  stopped_by=TERM
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq $((grace * 10))); do
    alive "$pid" || break
    sleep 0.1
  done
  if alive "$pid"; then
    kill -KILL "$pid" 2>/dev/null || true
    stopped_by=KILL
  fi
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  trap - EXIT INT TERM
  if alive "$station_pid"; then stop_process "$station_pid" 30; fi
  if alive "$sim_pid"; then stop_process "$sim_pid" 5; fi
  if [[ $pg_started == 1 ]]; then scripts/pg-test-server.sh stop "$pg_dir" >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT
trap 'echo "soak: interrupted" >&2; exit 130' INT TERM

start_sim() {
  "$sim_bin" --demo --link "$link" --served "$served" >>"$out/sim.out" 2>>"$out/sim.log" &
  sim_pid=$!
  for _ in $(seq 100); do
    [[ -L $link ]] && return 0
    alive "$sim_pid" || break
    sleep 0.1
  done
  echo "soak: the line simulator did not start (see $out/sim.log)" >&2
  exit 1
}

# Sets key=value in a section of an ini file, adding the section or key when missing.
ini_set() {
  local file=$1 section=$2 key=$3 value=$4
  local -a lines=()
  [[ -f $file ]] && mapfile -t lines < "$file"
  local -a result=()
  local in_section=0 done=0 line
  for line in "${lines[@]}"; do
    line=${line%$'\r'}
    if [[ $line =~ ^[[:space:]]*\[(.*)\][[:space:]]*$ ]]; then
      if [[ $in_section == 1 && $done == 0 ]]; then result+=("$key=$value"); done=1; fi
      [[ ${BASH_REMATCH[1],,} == "${section,,}" ]] && in_section=1 || in_section=0
    elif [[ $in_section == 1 && $done == 0 && ${line%%=*} == "$key" && $line == *=* ]]; then
      line="$key=$value"
      done=1
    fi
    result+=("$line")
  done
  if [[ $done == 0 ]]; then
    [[ $in_section == 1 ]] || result+=("[$section]")
    result+=("$key=$value")
  fi
  printf '%s\n' "${result[@]}" > "$file"
}

value_log_rows() {
  local n=0 f lines
  for f in "$home"/logs/log_??????.txt; do
    [[ -f $f ]] || continue
    lines=$(wc -l < "$f")
    ((lines > 0)) && n=$((n + lines - 1))
  done
  echo "$n"
}

# History rows so far, through the engine's own client; "-" when the database
# cannot be read (a paused server, no client installed).
socket=
db_rows() {
  local n=
  if [[ $use_pg == 1 ]]; then
    n=$(PGCONNECT_TIMEOUT=2 psql -h "$socket" -p "$pg_port" -U postgres -d quorlex_test -Atqc \
      'select count(*) from sensors_history' 2>/dev/null) || n=
  else
    n=$(sqlite3 -readonly "$home/bd/history.db" 'select count(*) from Sensors_history' 2>/dev/null) || n=
  fi
  [[ $n =~ ^[0-9]+$ ]] || n=-
  echo "$n"
}

# elapsed s, VmRSS kB, CPU s (user + system), value-log rows, history rows;
# "-" where there is nothing to read (the station not running, the database out of reach)
last_sample_s=0
sample() {
  local rss=- cpu=- status= stat= ticks k v rest
  local -a f
  last_sample_s=$(elapsed)
  if alive "$station_pid"; then
    status=$(< "/proc/$station_pid/status") 2>/dev/null || true
    stat=$(< "/proc/$station_pid/stat") 2>/dev/null || true
  fi
  while read -r k v rest; do
    if [[ $k == VmRSS: ]]; then rss=$v; fi
  done <<< "$status"
  if [[ -n $stat ]]; then
    stat=${stat##*) }   # the fields after the command name, from the state on
    read -r -a f <<< "$stat"
    ticks=$((f[11] + f[12]))   # utime and stime, fields 14 and 15
    cpu=$(printf '%d.%02d' $((ticks / clk_tck)) $((ticks % clk_tck * 100 / clk_tck)))
  fi
  printf '%s\t%s\t%s\t%s\t%s\n' "$(elapsed)" "$rss" "$cpu" "$(value_log_rows)" "$(db_rows)" >> "$samples"
}

# --- the line, the station folder, the database ---------------------------------
note "soak of $minutes min, fault every ${fault_every:-0} min$([[ $use_pg == 1 ]] && echo ", PostgreSQL"); output in $out"
start_sim
note "line simulator $sim_pid on $link ($(head -n 1 "$out/sim.out"))"

"$station_bin" --init "$home" --port "$link"
ini=$home/ini/QLXN.ini
ini_set "$ini" Monitor Time_refresh 1
ini_set "$ini" Record in_bd 1
ini_set "$ini" Record in_file 1

if [[ $use_pg == 1 ]]; then
  socket=$(scripts/pg-test-server.sh start "$pg_dir")
  [[ -n $socket ]] || { echo "soak: no PostgreSQL server (is the postgresql package installed?)" >&2; exit 1; }
  pg_started=1
  printf 'Provider=PostgreSQL;Data Source=%s;Port=%s;Initial Catalog=quorlex_test;User ID=postgres;Password=\n' \
    "$socket" "$pg_port" > "$home/bd/connect_mdb.udl"
  note "PostgreSQL server on $socket, port $pg_port"
fi

# --- the station -----------------------------------------------------------------
QT_QPA_PLATFORM=offscreen "$station_bin" --home "$home" --autostart >"$out/station.log" 2>&1 &
station_pid=$!
note "station $station_pid started"
printf 'elapsed_s\trss_kb\tcpu_s\tvalue_log_rows\tdb_rows\n' > "$samples"
sample

faults=(cut port)
[[ $use_pg == 1 ]] && faults+=(database)
fault_index=0
next_fault_ms=-1   # when the next fault begins; -1 until monitoring has begun
fault_end_ms=0     # when the fault in progress ends; 0: none
fault_now=
next_sample_s=30
end_ms=$((minutes * 60000))
station_ended=

begin_fault() {
  fault_now=${faults[fault_index % ${#faults[@]}]}
  fault_index=$((fault_index + 1))
  case $fault_now in
    cut)
      kill -USR1 "$sim_pid" 2>/dev/null || true
      fault_end_ms=$(($(elapsed_ms) + 5000))
      note "fault: line cut (every node silent for 5 s)" ;;
    port)
      stop_process "$sim_pid" 5
      sim_pid=
      fault_end_ms=$(($(elapsed_ms) + 10000))
      note "fault: port loss (simulator stopped, line gone for 10 s)" ;;
    database)
      scripts/pg-test-server.sh pause "$pg_dir"
      fault_end_ms=$(($(elapsed_ms) + 20000))
      note "fault: database server paused for 20 s" ;;
  esac
}

end_fault() {
  case $fault_now in
    cut)
      kill -USR2 "$sim_pid" 2>/dev/null || true
      note "line joined again" ;;
    port)
      start_sim
      note "line simulator $sim_pid back on $link" ;;
    database)
      scripts/pg-test-server.sh resume "$pg_dir"
      note "database server resumed" ;;
  esac
  fault_end_ms=0
  fault_now=
}

while (($(elapsed_ms) < end_ms)); do
  sleep 0.2
  now_ms=$(elapsed_ms)
  if ! alive "$station_pid"; then
    wait "$station_pid" && status=0 || status=$?
    station_ended="station ended by itself at $((now_ms / 1000)) s with status $status"
    note "$station_ended"
    station_pid=
    break
  fi
  # The faults strike monitoring, not the start-up scan: their clock starts with the first recorded poll.
  if ((fault_every > 0 && next_fault_ms < 0)) && [[ $(value_log_rows) != 0 ]]; then
    note "monitoring has begun (first value-log row); a fault every $fault_every min from now"
    next_fault_ms=$((now_ms + fault_every * 60000))
  fi
  if ((fault_end_ms > 0 && now_ms >= fault_end_ms)); then
    end_fault
  elif ((next_fault_ms >= 0 && fault_end_ms == 0 && now_ms >= next_fault_ms)); then
    begin_fault
    next_fault_ms=$((next_fault_ms + fault_every * 60000))
  fi
  if ((now_ms >= next_sample_s * 1000)); then
    sample
    next_sample_s=$((next_sample_s + 30))
  fi
done

# --- the end ---------------------------------------------------------------------
# A fault still in progress is ended first: the check needs the database.
((fault_end_ms > 0)) && end_fault
if alive "$station_pid"; then
  running_before_term=yes
  (($(elapsed) - last_sample_s < 5)) || sample
  note "station still running; SIGTERM"
  stop_process "$station_pid" 30
  if [[ $stopped_by == KILL ]]; then
    note "station did not end within 30 s of SIGTERM: killed"
  else
    note "station ended"
  fi
else
  running_before_term=no
fi
station_pid=
stop_process "$sim_pid" 5
sim_pid=

echo
echo "== samples ($samples)"
while IFS=$'\t' read -r e r c v d; do
  printf '%10s %10s %8s %15s %10s\n' "$e" "$r" "$c" "$v" "$d"
done < "$samples"

echo
echo "== soak_check"
set +e
"$check_bin" --home "$home" --served "$served" | tee "$out/check.txt"
check_rc=${PIPESTATUS[0]}
set -e

# The samples taken while the station ran: elapsed s, rss kB, value-log rows, history rows.
s_e=() s_r=() s_v=() s_d=()
while IFS=$'\t' read -r e r _ v d; do
  [[ $e =~ ^[0-9]+$ && $r =~ ^[0-9]+$ ]] || continue
  s_e+=("$e") s_r+=("$r") s_v+=("$v") s_d+=("$d")
done < "$samples"
n=${#s_e[@]}

# Still recording at the end: the rows grew over the last 20 s or more sampled.
# Prints yes or no, then what it saw.
still_growing() {
  local -n rows=$1
  local last=$((n - 1)) j
  if ((n < 2)); then
    echo "no (too few samples)"
    return
  fi
  j=$((last - 1))
  while ((j > 0)) && { ((s_e[last] - s_e[j] < 20)) || ! [[ ${rows[j]} =~ ^[0-9]+$ ]]; }; do j=$((j - 1)); done
  if [[ ${rows[j]} =~ ^[0-9]+$ && ${rows[last]} =~ ^[0-9]+$ ]] && ((rows[last] > rows[j])); then
    echo -n yes
  else
    echo -n no
  fi
  echo " (${rows[j]} rows at ${s_e[j]} s, ${rows[last]} at ${s_e[last]} s)"
}
logging=$(still_growing s_v)
storing=$(still_growing s_d)

echo
echo "== verdict"
echo "station still running before SIGTERM: $running_before_term${station_ended:+ ($station_ended)}"
echo "value log still growing at the end: $logging"
echo "history database still growing at the end: $storing"
# Memory: from the first sample with a recorded poll (the start-up scan over, the
# monitor open) to the last one, per minute and per recorded node poll.
first=-1
for ((k = 0; k < n; k++)); do [[ ${s_v[k]} =~ ^[1-9] ]] && { first=$k; break; }; done
if ((first >= 0 && n - 1 > first)); then
  last=$((n - 1))
  growth=$((s_r[last] - s_r[first]))
  polls=$((s_v[last] - s_v[first]))
  echo "resident memory from ${s_e[first]} s to ${s_e[last]} s: ${s_r[first]} kB -> ${s_r[last]} kB" \
    "($((growth * 60 / (s_e[last] - s_e[first]))) kB per minute$( ((polls > 0)) &&
      echo ", $((growth * 1024 / polls)) bytes per value-log row"))"
fi
alerts=0
for f in "$home"/logs/alerts_??????.txt; do
  [[ -f $f ]] && alerts=$((alerts + $(wc -l < "$f") - 1))
done
echo "alerts-log rows: $alerts; station messages on stderr: $(grep -c -v -e XDG_RUNTIME_DIR -e propagateSizeHints "$out/station.log" || true) (see $out/station.log)"
if [[ $check_rc == 0 ]]; then
  echo "recorded values: all served, in order"
else
  echo "recorded values: check failed (status $check_rc)"
fi
if [[ $running_before_term == yes && $logging == yes* && $storing == yes* && $check_rc == 0 ]]; then
  echo "SOAK PASSED ($out)"
  exit 0
fi
echo "SOAK FAILED ($out)"
exit 1
