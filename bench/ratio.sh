#!/usr/bin/env bash
# Beats per second of the service as a ratio to nginx on the same machine in
# the same run: bench/load.sh's closed loop against nginx answering 200
# itself ("return"), nginx in front of such an nginx ("proxied"), the service
# on SQLite, on PostgreSQL, and two PostgreSQL instances behind the shipped
# site ("nginx"), each with 200 idle and 64 slow connections attached. The
# targets take turns, ROUNDS times (default 3), so that a noisy stretch of a
# shared machine falls on all of them.
#
#   bash bench/ratio.sh [BUILD_DIR]      (SECONDS per run, default 20)
#
# Prints each run, then per target the median beats/s, p99 and CPU per beat
# of each process, and the ratio to its anchor: "return" for one instance,
# "proxied" for instances behind nginx.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rounds=${ROUNDS:-3}
targets=(return proxied sqlite pg nginx)
load=(--pcs 10000 --rate 0 --seconds "${SECONDS_PER_RUN:-20}" --connections 64 --receivers 0
  --idle 200 --slow 64 --from 127.0.0.2)
results=$(mktemp)
trap 'rm -f "$results"' EXIT

echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg); bench_load ${load[*]}"
for round in $(seq "$rounds"); do
  for target in "${targets[@]}"; do
    out=$(bash bench/load.sh "$target" "$build" -- "${load[@]}" 2>&1) || { echo "$out" >&2; exit 1; }
    # One line per run: target, beats/s, p99, then NAME=µs for each process.
    echo "$out" | awk -v t="$target" '
      / beats\/s/ { for (i = 1; i <= NF; ++i) if ($i == "beats/s") rate = $(i - 1) }
      /^beat / { p99 = $5 }
      /^CPU of the / { cpu = cpu " " $4 "=" $10 }
      END { printf "%s %s %s%s\n", t, rate, p99, cpu }' | tee -a "$results"
  done
done

echo
echo "target    beats/s   p99 ms   ratio   CPU per beat (µs, median)"
awk '
  function median(list,   n, a, i, j, x) {
    n = split(list, a, " ")
    for (i = 2; i <= n; ++i) { x = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > x + 0; --j) a[j + 1] = a[j]; a[j + 1] = x }
    return n ? a[int((n + 1) / 2)] : 0
  }
  { rate[$1] = rate[$1] " " $2; p99[$1] = p99[$1] " " $3
    for (i = 4; i <= NF; ++i) { split($i, kv, "="); cpu[$1, kv[1]] = cpu[$1, kv[1]] " " kv[2]; names[$1] = names[$1] (index(names[$1], kv[1]) ? "" : " " kv[1]) } }
  END {
    split("return proxied sqlite pg nginx", order, " ")
    for (k = 1; k <= 5; ++k) {
      t = order[k]; if (!(t in rate)) continue
      anchor = (t == "nginx" || t == "proxied") ? "proxied" : "return"
      r = median(rate[t]); a = median(rate[anchor])
      line = ""
      n = split(names[t], ps, " ")
      for (i = 1; i <= n; ++i) line = line sprintf(" %s %s", ps[i], median(cpu[t, ps[i]]))
      printf "%-8s %9.0f %8s %7.2f  %s\n", t, r, median(p99[t]), a ? r / a : 0, line
    }
  }' "$results"
