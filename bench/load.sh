#!/usr/bin/env bash
# Starts belfry-service on loopback with a fresh store, runs bench_load
# against it, and stops everything again.
#
#   bash bench/load.sh sqlite|pg [BUILD_DIR] [-- bench_load options]
#
# BUILD_DIR defaults to build/; SERVICE=path runs another build of the
# service. "pg" starts a throw-away PostgreSQL cluster (scripts/pg-cluster.sh)
# with the server's default settings. Without options bench_load plays
# 10,000 PCs beating 5,000 times a second for 30 s, 200 of them receiving
# ringtones, while an attacker on 127.0.0.2 holds 200 idle connections and 32
# that send their headers a byte a second.
set -euo pipefail
cd "$(dirname "$0")/.."

backend=${1:-}
shift || true
build=build
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
  build=$1
  shift
fi
[ "${1:-}" = "--" ] && shift
case "$backend" in sqlite | pg) ;; *)
  echo "usage: $0 sqlite|pg [BUILD_DIR] [-- bench_load options]" >&2
  exit 2
  ;;
esac
[ $# -gt 0 ] || set -- --pcs 10000 --rate 5000 --seconds 30 --connections 200 --receivers 200 --sends 1 \
  --idle 200 --slow 32 --from 127.0.0.2

work=$(mktemp -d)
service=""
cleanup() {
  [ -z "$service" ] || { kill "$service" 2>/dev/null && wait "$service" 2>/dev/null; } || true
  [ "$backend" != pg ] || bash scripts/pg-cluster.sh stop "$work/pg" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# SERVICE=path runs another build of the service (an older one, to compare)
# against this generator.
binary=${SERVICE:-$build/bin/belfry-service}
args=(serve --listen 127.0.0.1:0 --data "$work/data")
# Every phone pairs and sends from this one address.
usage=$("$binary" 2>&1 || true)
[[ "$usage" != *--pair-limit* ]] || args+=(--pair-limit 100000)
[[ "$usage" != *--upload-limit* ]] || args+=(--upload-limit 100000)
if [ "$backend" = pg ]; then
  mkdir "$work/pg"
  [ "$(id -u)" -ne 0 ] || chmod 755 "$work"  # the cluster's owner must reach its folder
  args+=(--pg "$(bash scripts/pg-cluster.sh start "$work/pg")")
fi
# The service's request log is a line per request; it goes to a file, as it
# would in production, so that a terminal does not slow the service down.
"$binary" "${args[@]}" 2>"$work/service.log" &
service=$!
for _ in $(seq 100); do
  grep -qs 'listening on' "$work/service.log" && break
  sleep 0.1
done
url=$(grep -o 'http://127.0.0.1:[0-9]*' "$work/service.log" | head -1)
[ -n "$url" ] || { cat "$work/service.log" >&2; exit 1; }

database=""
[ "$backend" != pg ] || database=$(head -1 "$work/pg/data/postmaster.pid")

echo "backend $backend, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), bench_load $*"
"$build/bin/bench_load" --url "$url" --sample server/samples/bell.m4r --cpu "service=$service" \
  ${database:+--cpu "database=$database"} "$@"
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
