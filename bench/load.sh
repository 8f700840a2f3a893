#!/usr/bin/env bash
# Starts belfry-service on loopback with a fresh store, runs bench_load
# against it, and stops everything again.
#
#   bash bench/load.sh sqlite|pg|nginx|return|proxied [BUILD_DIR] [-- bench_load options]
#
# BUILD_DIR defaults to build/; SERVICE=path runs another build of the
# service. "pg" starts a throw-away PostgreSQL cluster (scripts/pg-cluster.sh)
# with the server's default settings. Without options bench_load plays
# 10,000 PCs beating 5,000 times a second for 30 s, 200 of them receiving
# ringtones, while an attacker on 127.0.0.2 holds 200 idle connections and 32
# that send their headers a byte a second. The PCs and phones connect from
# 127.0.10.1 to 127.0.73.1 (a /24 each), so the service keeps its limits per
# address and network as shipped. "nginx" runs two instances on one such cluster behind
# deploy/nginx-belfry.conf, on plain HTTP (bench_load speaks no TLS), and
# sends the load to nginx. "return" and "proxied" start no service: the load
# goes to nginx answering 200 itself, or to nginx in front of an nginx that
# does, the anchors that bench/ratio.sh compares the service with.
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
case "$backend" in sqlite | pg | nginx | return | proxied) ;; *)
  echo "usage: $0 sqlite|pg|nginx|return|proxied [BUILD_DIR] [-- bench_load options]" >&2
  exit 2
  ;;
esac
[ $# -gt 0 ] || set -- --pcs 10000 --rate 5000 --seconds 30 --connections 200 --receivers 200 --sends 1 \
  --idle 200 --slow 32 --from 127.0.0.2

work=$(mktemp -d)
service=""
second=""
nginx=""
cleanup() {
  for pid in $nginx $second $service; do
    { kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; } || true
  done
  [ ! -d "$work/pg" ] || bash scripts/pg-cluster.sh stop "$work/pg" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# SERVICE=path runs another build of the service (an older one, to compare)
# against this generator.
binary=${SERVICE:-$build/bin/belfry-service}
# The service's own limits per address stay as they are: bench_load spreads
# its PCs and phones over 64 loopback addresses (--sources).
args=(serve --listen 127.0.0.1:0 --data "$work/data")
if [ "$backend" = pg ] || [ "$backend" = nginx ]; then
  mkdir "$work/pg"
  [ "$(id -u)" -ne 0 ] || chmod 755 "$work"  # the cluster's owner must reach its folder
  args+=(--pg "$(bash scripts/pg-cluster.sh start "$work/pg")")
fi
if [ "$backend" != sqlite ] && [ "$backend" != pg ]; then
  free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
  proxy_port=$(free_port)
  args+=(--trust-proxy 127.0.0.1 --public-url "http://127.0.0.1:$proxy_port")
fi
# Starts nginx with the site $work/nginx/site.conf on $proxy_port, the load's
# address from then on.
start_nginx() {
  cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  include $work/nginx/site.conf;
}
CONF
  nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
  nginx=$!
  for _ in $(seq 100); do
    curl -so /dev/null "http://127.0.0.1:$proxy_port/" && break
    sleep 0.1
  done
  url=http://127.0.0.1:$proxy_port
  cpu+=(--cpu "nginx=$nginx")
}
# Starts an instance whose log is $1; prints its address. The service's request
# log is a line per request; it goes to a file, as it would in production, so
# that a terminal does not slow the service down.
start() {
  local at
  for _ in $(seq 100); do
    grep -qs 'listening on' "$1" && break
    sleep 0.1
  done
  at=$(grep -o 'http://127.0.0.1:[0-9]*' "$1" | head -1)
  [ -n "$at" ] || { cat "$1" >&2; exit 1; }
  echo "$at"
}
cpu=()
if [ "$backend" = return ] || [ "$backend" = proxied ]; then
  mkdir "$work/nginx"
  # What nginx answers by itself: a beat's shortest answer.
  answer="location / { default_type application/json; return 200 '{\"status\":0}'; }"
  if [ "$backend" = return ]; then
    echo "server { listen 127.0.0.1:$proxy_port; $answer }" >"$work/nginx/site.conf"
  else
    # As the shipped site proxies: HTTP/1.1 with kept-alive upstream connections.
    back_port=$(free_port)
    cat >"$work/nginx/site.conf" <<SITE
upstream back { server 127.0.0.1:$back_port; keepalive 64; }
server { listen 127.0.0.1:$back_port; $answer }
server {
  listen 127.0.0.1:$proxy_port;
  location / { proxy_pass http://back; proxy_http_version 1.1; proxy_set_header Connection ""; }
}
SITE
  fi
  start_nginx
else
  "$binary" "${args[@]}" 2>"$work/service.log" &
  service=$!
  url=$(start "$work/service.log")
  cpu=(--cpu "service=$service")
fi

if [ "$backend" = nginx ]; then
  args[4]=$work/data2
  "$binary" "${args[@]}" 2>"$work/service2.log" &
  second=$!
  url2=$(start "$work/service2.log")
  cpu+=(--cpu "service2=$second")
  # The shipped site with the instances' ports, on plain HTTP.
  mkdir "$work/nginx"
  sed -e "0,/server 127.0.0.1:[0-9]*;/s##server ${url#http://};#" \
      -e "0,/server 127.0.0.1:875[0-9];/s##server ${url2#http://};#" \
      -e "s/listen 443 ssl/listen 127.0.0.1:$proxy_port/" -e '/listen \[::\]/d' -e '/^ *ssl_/d' \
      deploy/nginx-belfry.conf >"$work/nginx/site.conf"
  start_nginx
fi

database=""
[ ! -d "$work/pg" ] || database=$(head -1 "$work/pg/data/postmaster.pid")

echo "backend $backend, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), bench_load $*"
"$build/bin/bench_load" --url "$url" --sample server/samples/bell.m4r "${cpu[@]}" \
  ${database:+--cpu "database=$database"} "$@"
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
