#!/usr/bin/env bash
# Beats against a big SQLite store while the admin statistics are polled and
# the minute's sweeps delete: do the beats wait behind them?
#
#   bash bench/stall.sh [BUILD_DIR] [-- bench_load options]
#
# Each round runs the same load twice, one case after the other, so both see
# the same machine: "reference", an empty store with nobody polling, and
# "big", a store of PCS (default 1,000,000) PCs and as many event rows, a
# tenth of each old enough for the sweeps (unpaired PCs last seen 31 days
# ago, events 91 days old), with /admin/v1/stats asked back to back. The load
# (bench_load) beats 2,000 times a second for 75 s: the sweep at start and
# the one a minute later fall in it; no ringtones, whose conversions would
# only add noise. ROUNDS (default 2) rounds; prints each
# case's beat latencies, the statistics calls' times, what was left.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
  build=$1
  shift
fi
[ "${1:-}" = "--" ] && shift
[ $# -gt 0 ] || set -- --pcs 10000 --rate 2000 --seconds 75 --connections 200 --receivers 0
load=("$@")
pcs=${PCS:-1000000}

top=$(mktemp -d)
service=""
poller=""
stop() {
  for pid in $poller $service; do
    { kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; } || true
  done
  poller=""
  service=""
}
trap 'stop; rm -rf "$top"' EXIT
trap 'exit 130' INT TERM

# Starts the service on $work/data; its address goes in $url.
serve() {
  : >"$work/service.log"
  "$build/bin/belfry-service" serve --listen 127.0.0.1:0 --data "$work/data" >/dev/null 2>>"$work/service.log" &
  service=$!
  for _ in $(seq 1200); do
    grep -qs 'listening on' "$work/service.log" && break
    sleep 0.1
  done
  url=$(grep -o 'http://127.0.0.1:[0-9]*' "$work/service.log" | head -1)
  [ -n "$url" ] || { cat "$work/service.log" >&2; exit 1; }
}

# $1 PCs and as many event rows, written while nobody serves the store.
fill() {
  local now
  now=$(date +%s)
  sqlite3 "$work/data/belfry.sqlite" >/dev/null <<SQL
PRAGMA journal_mode = WAL;
BEGIN;
INSERT INTO pcs (pcid, version, last_beat, expire)
  SELECT printf('%08x-0000-4000-8000-%012x', value, value), '2.0.1',
         CASE WHEN value % 10 = 0 THEN $now - 31 * 86400 ELSE $now - 3600 END, 300
  FROM generate_series(1, $1);
INSERT INTO event_counts (pcid, name, day, count)
  SELECT printf('%08x-0000-4000-8000-%012x', value, value), 'install',
         CASE WHEN value % 10 = 0 THEN $now / 86400 - 91 ELSE $now / 86400 - 1 END, 1
  FROM generate_series(1, $1);
COMMIT;
SQL
}

# One case: $1 its name, $2 PCs in the store beforehand, $3 "poll" or not.
run_case() {
  work=$top/$1
  rm -rf "$work" && mkdir -p "$work"
  # A first start makes the schema.
  serve
  stop
  [ "$2" -eq 0 ] || fill "$2"
  local token
  serve
  token=$(cat "$work/data/admin-token")
  if [ "$3" = poll ]; then
    (while :; do
      curl -so /dev/null -w '%{time_total}\n' -H "Authorization: Bearer $token" "$url/admin/v1/stats"
    done) >"$work/stats.times" &
    poller=$!
  fi
  echo "== $1: $2 PCs in the store${3:+, statistics polled}; load average $(cut -d' ' -f1-3 /proc/loadavg)"
  "$build/bin/bench_load" --url "$url" --sample server/samples/bell.m4r --cpu "service=$service" "${load[@]}" \
    | grep -E '^(request|beat|CPU)'
  if [ -n "$poller" ]; then
    kill "$poller" && wait "$poller" 2>/dev/null || true
    poller=""
    sort -n "$work/stats.times" | awk '{ t[NR] = $1 } END {
      if (NR) printf "statistics: %d calls, median %.0f ms, worst %.0f ms\n", NR, t[int((NR + 1) / 2)] * 1000, t[NR] * 1000 }'
  fi
  echo "left: $(curl -s -H "Authorization: Bearer $token" "$url/admin/v1/stats" | cut -c1-160)"
  stop
  rm -rf "$work"
}

echo "$(nproc) cores; bench_load ${load[*]}"
for round in $(seq "${ROUNDS:-2}"); do
  echo "round $round"
  run_case reference 0 ""
  run_case big "$pcs" poll
done
