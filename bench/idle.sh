#!/usr/bin/env bash
# Idle footprint: what Belfry costs the machine while it waits in the tray,
# paired, with nothing to download and its window hidden, next to a bare Qt
# program that only shows a tray icon.
#
#   bash bench/idle.sh [seconds]          # default 60 s of idle per program
#
# Environment: BUILD (build folder, default build/), WARMUP (seconds left to
# start-up before measuring, default 10), PULSE (beat interval, default 5),
# STRACE=0 (skip the timer wake-up pass).
#
# Both programs run on one virtual X display with a tray host. Belfry gets a
# sandbox home with an initialised iTunes, a paired phone and a service
# stand-in on 127.0.0.1. After WARMUP, for [seconds]:
#   - CPU time: utime + stime of /proc/PID/stat (all threads, clock ticks),
#     and the run time of the live threads from /proc/PID/task/*/schedstat;
#   - context switches, voluntary + involuntary, of the live threads;
#   - beats the stand-in answered.
# Then, for another [seconds] under strace, timer wake-ups: blocking poll and
# ppoll calls that ended by their time-out, i.e. a timer that expired (a call
# woken by a socket or the X connection is not a timer). Last, the peak (VmHWM)
# and current (VmRSS) resident memory.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
seconds=${1:-60}
warmup=${WARMUP:-10}
pulse=${PULSE:-5}
build=${BUILD:-$repo/build}
bin=$build/bin

for tool in xvfb-run trayer; do
  command -v "$tool" >/dev/null || { echo "idle.sh: $tool is missing (bash scripts/setup.sh)" >&2; exit 1; }
done
for program in belfry bench_idle_tray bench_idle_server; do
  [ -x "$bin/$program" ] || { echo "idle.sh: $bin/$program is missing; build first" >&2; exit 1; }
done

# One display of our own for both programs, whatever the caller has.
if [ -z "${BELFRY_IDLE_DISPLAY:-}" ]; then
  export BELFRY_IDLE_DISPLAY=1
  exec xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96 -nolisten tcp" bash "$0" "$@"
fi

tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

trayer --edge top --align right --widthtype request --height 24 --transparent false >/dev/null 2>&1 &
pids+=($!)

"$bin/bench_idle_server" >"$tmp/server.log" &
pids+=($!)
for _ in $(seq 50); do
  [ -s "$tmp/server.log" ] && break
  sleep 0.1
done
port=$(head -n1 "$tmp/server.log")
[ -n "$port" ] || { echo "idle.sh: the service stand-in did not start" >&2; exit 1; }

# Paired, pointed at the stand-in, and of this version so that start-up keeps
# these keys instead of writing its defaults over them.
home=$(bash "$repo/scripts/sandbox-home.sh" "$tmp/home" ready)
version=$(sed -n 's/.*Version\[\] = "\(.*\)";/\1/p' "$repo/settings/defaults.h")
pcid=$(cat /proc/sys/kernel/random/uuid)
pcid=${pcid:0:14}R${pcid:15}
mkdir -p "$home/.config/Corvale"
cat >"$home/.config/Corvale/Belfry.ini" <<INI
[General]
PCID=$pcid
Version=$version
Application=Belfry
Orgination=Corvale
Pulse=$pulse

[Server]
Host=http://127.0.0.1:$port
Ringtone=http://127.0.0.1:$port

[DEVICES]
bench-phone=Bench Phone
INI

beats() { grep -c '/heart' "$tmp/server.log" || true; }

# "stat-ticks schedstat-ns voluntary involuntary threads" of a running process.
snapshot() {
  local pid=$1
  local ticks ns switches threads
  ticks=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  ns=$(cat /proc/"$pid"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d", s }')
  switches=$(cat /proc/"$pid"/task/*/status 2>/dev/null |
    awk '/^voluntary_ctxt_switches/ { v += $2 } /^nonvoluntary_ctxt_switches/ { n += $2 } END { print v + 0, n + 0 }')
  threads=$(ls "/proc/$pid/task" | wc -l)
  echo "$ticks $ns $switches $threads"
}

# "all main-thread" timer wake-ups in an strace log of poll and ppoll.
timer_wakeups() {
  awk -v main="$2" '
    function count(tid, call, result,   t, s, n, blocking) {
      if (result !~ /^0 \(Timeout\)/)
        return
      blocking = 0
      if (call ~ /^poll\(/) {
        t = call; sub(/.*, /, "", t); blocking = (t + 0 > 0)
      } else if (call ~ /tv_sec=/) {
        s = call; sub(/.*tv_sec=/, "", s)
        n = call; sub(/.*tv_nsec=/, "", n)
        blocking = (s + 0 > 0 || n + 0 > 0)
      }
      if (blocking) {
        all++
        if (tid == main)
          mainThread++
      }
    }
    {
      tid = $1; line = $0; sub(/^[0-9]+ +/, "", line)
      result = line; sub(/.*\) *= */, "", result)
      if (line ~ /^<\.\.\. p?poll resumed>/) {
        if (tid in pending)
          count(tid, pending[tid], result)
        delete pending[tid]
      } else if (line ~ /<unfinished \.\.\.>$/) {
        sub(/ <unfinished \.\.\.>$/, "", line); pending[tid] = line
      } else if (line ~ /^p?poll\(/) {
        sub(/\) += .*$/, "", line); count(tid, line, result)
      }
    }
    END { print all + 0, mainThread + 0 }' "$1"
}

# Runs one program (and checks for its single-instance socket, if given) and
# leaves its figures in `result`: CPU ms (stat), on-CPU
# ms (schedstat), context switches, threads, beats, then for the strace pass
# timer wake-ups (all threads, main thread) and beats, then peak and current
# resident kB.
measure() {
  local name=$1 program=$2 socket=${3:-}
  mkdir -p -m 700 "$tmp/run-$name"
  env -u DBUS_SESSION_BUS_ADDRESS HOME="$home" XDG_CONFIG_HOME="$home/.config" \
    XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache" XDG_RUNTIME_DIR="$tmp/run-$name" \
    TMPDIR="$tmp" QT_QPA_PLATFORM=xcb "$program" >"$tmp/$name.out" 2>&1 &
  local pid=$!
  pids+=("$pid")
  sleep "$warmup"
  kill -0 "$pid" 2>/dev/null || { echo "idle.sh: $name ended during start-up:" >&2; cat "$tmp/$name.out" >&2; exit 1; }
  # The single-instance socket shows that start-up got past its iTunes checks.
  if [ -n "$socket" ] && [ ! -S "$socket" ]; then
    echo "idle.sh: $name is not running as the tray program:" >&2
    cat "$tmp/$name.out" >&2
    exit 1
  fi

  local before after beats0 beats1 beats2 hz
  hz=$(getconf CLK_TCK)
  beats0=$(beats)
  read -r -a before < <(snapshot "$pid")
  sleep "$seconds"
  read -r -a after < <(snapshot "$pid")
  beats1=$(beats)

  local timers=(n/a n/a)
  if [ "$tracing" = 1 ]; then
    timeout -s INT "$seconds" strace -f -qq -p "$pid" -e trace=poll,ppoll -o "$tmp/$name.strace" 2>/dev/null || true
    read -r -a timers < <(timer_wakeups "$tmp/$name.strace" "$pid")
  fi
  beats2=$(beats)

  local hwm rss
  hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")
  rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")
  kill "$pid"
  wait "$pid" 2>/dev/null || true

  result=($(((after[0] - before[0]) * 1000 / hz)) $(((after[1] - before[1]) / 1000000))
    $((after[2] + after[3] - before[2] - before[3])) "${after[4]}" $((beats1 - beats0))
    "${timers[0]}" "${timers[1]}" $((beats2 - beats1)) "$hwm" "$rss")
}

tracing=0
[ "${STRACE:-1}" != 0 ] && command -v strace >/dev/null && tracing=1

echo "Idle footprint: ${seconds} s per program after ${warmup} s of start-up; Pulse ${pulse};" \
  "paired, no ringtones, window hidden"
[ "$tracing" = 1 ] && echo "Timer wake-ups: a further ${seconds} s under strace"
measure tray "$bin/bench_idle_tray"
bare=("${result[@]}")
measure belfry "$bin/belfry" "$tmp/$pcid"
belfry=("${result[@]}")

mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.2f", a / b; else printf "n/a" }'; }
row() {
  local -n r=$1
  printf '%-10s %7s %10s %9s %8s %6s %15s %6s %8s %7s\n' "$2" "${r[0]}" "${r[1]}" "${r[2]}" "${r[3]}" "${r[4]}" \
    "${r[5]} (main ${r[6]})" "${r[7]}" "$(mb "${r[8]}")" "$(mb "${r[9]}")"
}
echo
printf '%-10s %7s %10s %9s %8s %6s %15s %6s %8s %7s\n' "" "CPU ms" "on-CPU ms" switches threads beats \
  "timer wake-ups" beats "peak MB" "RSS MB"
row bare "bare tray"
row belfry belfry
echo
echo "belfry / bare tray: CPU $(ratio "${belfry[0]}" "${bare[0]}"), on-CPU $(ratio "${belfry[1]}" "${bare[1]}")," \
  "switches $(ratio "${belfry[2]}" "${bare[2]}"), peak RSS $(ratio "${belfry[8]}" "${bare[8]}")," \
  "RSS $(ratio "${belfry[9]}" "${bare[9]}")"
echo "belfry per beat: $(ratio "${belfry[2]}" "${belfry[4]}") context switches," \
  "$(ratio "${belfry[5]}" "${belfry[7]}") timer wake-ups"
[ "${belfry[4]}" -gt 0 ] || echo "belfry answered no beats: it does not beat (yet)"
