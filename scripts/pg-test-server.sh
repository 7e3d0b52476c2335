#!/usr/bin/env bash
# A throwaway PostgreSQL server for the history database tests and benchmark.
#
#   pg-test-server.sh start DIR    new cluster in DIR, unix socket in DIR only,
#                                  database quorlex_test; prints the socket folder
#   pg-test-server.sh stop DIR     stops the server and removes DIR
#   pg-test-server.sh pause DIR    stops the server, keeps the cluster
#   pg-test-server.sh resume DIR   starts the kept cluster again
#
# Port: $QLX_PG_PORT, else 54329. Installs nothing: needs the Debian package
# postgresql. When run as root the cluster belongs to the user postgres, since
# initdb refuses to run as root. "start" without PostgreSQL installed prints a
# note and exits 0, so the tests skip their PostgreSQL rows.
set -euo pipefail

cmd=${1:-}
dir=${2:-}
port=${QLX_PG_PORT:-54329}
if [[ -z $cmd || -z $dir ]]; then
  echo "usage: $0 start|stop|pause|resume DIR" >&2
  exit 2
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
data=$dir/data

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)

as_owner() {
  if [[ $(id -u) == 0 ]]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

server_start() {
  as_owner "$bindir/pg_ctl" -D "$data" -l "$dir/server.log" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$dir' -p $port -c fsync=off" start >/dev/null
}

server_stop() {
  if [[ -n $bindir && -f $data/postmaster.pid ]]; then
    as_owner "$bindir/pg_ctl" -D "$data" -m fast -w stop >/dev/null || true
  fi
}

case $cmd in
  start)
    if [[ -z $bindir ]]; then
      echo "PostgreSQL is not installed (no /usr/lib/postgresql/*/bin); its tests will skip" >&2
      rmdir "$dir" 2>/dev/null || true
      exit 0
    fi
    server_stop
    rm -rf "$data"
    if [[ $(id -u) == 0 ]]; then
      chown postgres "$dir"
      # The server runs as postgres and must reach DIR through its parents.
      p=$dir
      while [[ $p != / ]]; do p=$(dirname "$p"); chmod o+x "$p" 2>/dev/null || true; done
    fi
    chmod 700 "$dir"
    as_owner "$bindir/initdb" -D "$data" -U postgres -A trust -E UTF8 --no-sync >"$dir/initdb.log" 2>&1 \
      || { cat "$dir/initdb.log" >&2; exit 1; }
    server_start
    as_owner "$bindir/createdb" -h "$dir" -p "$port" -U postgres quorlex_test
    echo "$dir"
    ;;
  stop)
    server_stop
    rm -rf "$dir"
    ;;
  pause)
    server_stop
    ;;
  resume)
    server_start
    ;;
  *)
    echo "usage: $0 start|stop|pause|resume DIR" >&2
    exit 2
    ;;
esac
