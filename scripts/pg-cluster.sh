#!/usr/bin/env bash
# A throw-away PostgreSQL cluster on loopback, for tests and benchmarks.
#
#   scripts/pg-cluster.sh start DIR [-c name=value ...]   prints a libpq connection string
#   scripts/pg-cluster.sh stop DIR                        stops it; DIR itself is left to the caller
#   scripts/pg-cluster.sh resume DIR                      starts a stopped one again, on its port
#
# DIR must be empty or missing. PostgreSQL refuses to run as root, so as root the
# cluster belongs to the `postgres` user (DIR is handed over to it, and every
# folder above DIR must let that user through: a `mktemp -d` under /tmp does).
# The server listens on 127.0.0.1 only, on a free port, with its unix socket in
# DIR; trust authentication is safe there because nothing else can reach it.
set -euo pipefail

usage() {
  echo "usage: $0 start DIR [-c name=value ...] | stop DIR | resume DIR" >&2
  exit 2
}
[ $# -ge 2 ] || usage
cmd=$1
dir=$2
shift 2

bindir=""
for d in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
  if [ -x "$d/initdb" ]; then bindir=$d; break; fi
done
if [ -z "$bindir" ]; then
  echo "pg-cluster: no PostgreSQL server found (install the Debian package postgresql)" >&2
  exit 1
fi

# Runs a command as the cluster's owner: root hands over to postgres.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

case "$cmd" in
start)
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if [ -n "$(ls -A "$dir")" ]; then
    echo "pg-cluster: $dir is not empty" >&2
    exit 1
  fi
  if [ "$(id -u)" -eq 0 ]; then
    chown postgres: "$dir"
    chmod 700 "$dir"
  fi
  if ! as_owner test -w "$dir"; then
    echo "pg-cluster: the cluster's owner cannot write $dir (a folder above it is closed to it?)" >&2
    exit 1
  fi
  user=$(as_owner id -un)
  as_owner "$bindir/initdb" -D "$dir/data" -U "$user" -A trust -E UTF8 --locale=C.UTF-8 --no-sync \
    >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2
    exit 1
  }
  # Another process may take a port between our choice and the server's bind,
  # so a failed start is retried on another port.
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 12000))  # below the ephemeral ports
    if as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 -s \
      -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories='$dir' $*" start; then
      as_owner "$bindir/psql" -h "$dir" -p "$port" -U "$user" -d postgres -qAt -v ON_ERROR_STOP=1 \
        -c "CREATE DATABASE belfry" >/dev/null
      echo "host=127.0.0.1 port=$port user=$user dbname=belfry"
      exit 0
    fi
  done
  echo "pg-cluster: the server did not start; its log:" >&2
  cat "$dir/server.log" >&2 || true
  exit 1
  ;;
stop)
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_owner "$bindir/pg_ctl" -D "$dir/data" -w -t 60 -s -m fast stop
  fi
  ;;
resume)
  # Without a server to stop, restart starts one with the options it last had.
  as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 -s restart 2>/dev/null
  ;;
*)
  usage
  ;;
esac
