#!/usr/bin/env bash
# The deployment of deploy/ on this machine, end to end through nginx and TLS:
# tests/deploy/test_deploy.py on a virtual display of its own, with its own
# PostgreSQL cluster, stopped however it ends and after five minutes at most.
#
#   bash scripts/deploy-test.sh [BUILD_DIR]     (BUILD_DIR: build/ by default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bash scripts/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target belfry belfry-service belfry-phone >/dev/null
# The unit must stay one systemd reads as it is meant (warnings are its errors).
unit=$(mktemp -d)
trap 'rm -rf "$unit"' EXIT
sed 's#^ExecStart=/usr/bin/belfry-service#ExecStart='"$PWD/$build"'/bin/belfry-service#' \
  deploy/belfry-service@.service >"$unit/belfry-service@.service"
ln -s belfry-service@.service "$unit/belfry-service@8751.service"
# With the drop-in for a local database too.
mkdir "$unit/belfry-service@.service.d"
cp deploy/local-postgresql.conf "$unit/belfry-service@.service.d/"
problems=$(SYSTEMD_UNIT_PATH="$unit:" systemd-analyze verify --man=no "$unit/belfry-service@8751.service" 2>&1 || true)
if [ -n "$problems" ]; then
  echo "deploy/belfry-service@.service: $problems" >&2
  exit 1
fi
# Its hardening, as systemd scores it: 2.0 at most (lower is better).
score=$(systemd-analyze security --offline=true "$unit/belfry-service@8751.service" 2>&1 |
  sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
if [ -z "$score" ] || ! awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }'; then
  echo "deploy/belfry-service@.service: systemd-analyze security scores it ${score:-nothing}, above 2.0" >&2
  exit 1
fi
echo "deploy/belfry-service@.service: exposure $score"
BELFRY_BIN=$PWD/$build/bin timeout -k 10 300 tests/run-gui.sh /usr/bin/python3 tests/deploy/test_deploy.py
BELFRY_BIN=$PWD/$build/bin timeout -k 10 180 /usr/bin/python3 tests/deploy/test_metrics.py
