#!/usr/bin/env bash
# Idle footprint: what Belfry costs the machine while it waits in the tray,
# paired, with nothing to download and its window hidden, next to a bare Qt
# program that only shows a tray icon.
#
#   bash bench/idle.sh [seconds]          # default 60 s of idle per program
#
# Environment: BUILD (build folder, default build/), WARMUP (seconds left to
# start-up before measuring, default 10), PULSE (beat interval, default 5),
# STRACE=0 (skip the timer wake-up pass), KEEP=1 (keep the programs' output,
# the stand-in's log and the strace logs in a temporary folder).
#
# Both programs run on one virtual X display with a tray host. Belfry gets a
# sandbox home with an initialised iTunes, a paired phone and a service
# stand-in on 127.0.0.1 (bench_idle_server). After WARMUP, for [seconds]:
#   - CPU time: utime + stime of /proc/PID/stat (all threads, clock ticks),
#     and the run time of every thread from /proc/PID/task/*/schedstat;
#   - context switches, voluntary + involuntary, of every thread;
#   - beats the stand-in answered.
# Then, for another [seconds] under strace, timer wake-ups: waits that ended
# by their time-out (a wait that a socket or the X connection ends is not a
# timer), by thread. Last, the peak (VmHWM) and current (VmRSS) resident
# memory, the ratios to the bare program and whether the criteria hold: peak
# memory at most 1.5 times the bare program's, at most one timer wake-up per
# beat.
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
  if [ "${KEEP:-0}" = 1 ]; then
    echo "idle.sh: logs kept in $tmp" >&2
  else
    rm -rf "$tmp"
  fi
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

# Per thread, the run time (ns) and context switches seen last, in `seen`
# ("ns switches" by thread id). Threads come and go (Qt's pooled threads end
# after 30 s idle): sampling every second keeps what an ended thread did
# until its last second.
declare -A seen
sample() {
  local pid=$1 task tid ns key value switches
  for task in /proc/"$pid"/task/*; do
    tid=${task##*/}
    read -r ns _ <"$task/schedstat" 2>/dev/null || continue
    switches=0
    while read -r key value _; do
      case $key in
        voluntary_ctxt_switches: | nonvoluntary_ctxt_switches:) switches=$((switches + value)) ;;
      esac
    done <"$task/status" 2>/dev/null || continue
    seen[$tid]="$ns $switches"
  done
}

# Sums, over every thread seen, what it did since the samples in the array
# named by $1 (from 0 for threads born since): "ns switches".
since() {
  local -n base=$1
  local tid ns sw ns0 sw0 totalNs=0 totalSw=0
  for tid in "${!seen[@]}"; do
    read -r ns sw <<<"${seen[$tid]}"
    ns0=0 sw0=0
    [ -n "${base[$tid]:-}" ] && read -r ns0 sw0 <<<"${base[$tid]}"
    totalNs=$((totalNs + ns - ns0))
    totalSw=$((totalSw + sw - sw0))
  done
  echo "$totalNs $totalSw"
}

cpuTicks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# Timer wake-ups in an strace log of poll, ppoll, futex and restart_syscall,
# as "total name=count ...": a blocking poll or ppoll that returned 0 (its
# time-out), a futex wait that ended with ETIMEDOUT (a timed wait on a
# condition, e.g. a pooled thread retiring). $2 holds "thread-id:syscall-number:name" of each
# thread, read just before strace attached: a wait that was under way then
# shows only as restart_syscall.
timer_wakeups() {
  local polls
  case $(uname -m) in
    x86_64) polls="7 271" ;;
    aarch64) polls="73" ;;
    *) polls="" ;;
  esac
  awk -v threads="$2" -v polls="$polls" '
    BEGIN {
      n = split(threads, entries, " ")
      for (i = 1; i <= n; i++) {
        split(entries[i], fields, ":")
        waiting[fields[1]] = fields[2]
        name[fields[1]] = fields[3]
      }
      n = split(polls, numbers, " ")
      for (i = 1; i <= n; i++) pollNumber[numbers[i]] = 1
    }
    function wake(tid) {
      all++
      byName[tid in name ? name[tid] : "ended"]++
    }
    function ended(tid, call, result,   t, s, ns) {
      if (call ~ /^futex\(/) {
        if (result ~ /^-1 ETIMEDOUT/) wake(tid)
        return
      }
      if (result !~ /^0 \(Timeout\)/)
        return
      if (call ~ /^poll\(/) {
        t = call; sub(/.*, /, "", t)
        if (t + 0 > 0) wake(tid)
      } else if (call ~ /tv_sec=/) {
        s = call; sub(/.*tv_sec=/, "", s)
        ns = call; sub(/.*tv_nsec=/, "", ns)
        if (s + 0 > 0 || ns + 0 > 0) wake(tid)
      }
    }
    {
      tid = $1; line = $0; sub(/^[0-9]+ +/, "", line)
      result = line; sub(/.*\) *= */, "", result)
      if (line ~ /^<\.\.\. restart_syscall resumed>/) {
        if (result ~ /^-1 ETIMEDOUT/ || (result ~ /^0$/ && (waiting[tid] in pollNumber)))
          wake(tid)
      } else if (line ~ /^<\.\.\. [a-z_0-9]+ resumed>/) {
        if (tid in pending)
          ended(tid, pending[tid], result)
        delete pending[tid]
      } else if (line ~ /<unfinished \.\.\.>$/) {
        sub(/ <unfinished \.\.\.>$/, "", line)
        pending[tid] = line
      } else {
        sub(/\) += .*$/, "", line)
        ended(tid, line, result)
      }
    }
    END {
      line = all + 0
      for (n in byName) line = line " " n "=" byName[n]
      print line
    }' "$1"
}

# Runs one program (and checks for its single-instance socket, if given) and
# leaves its figures in `result`: CPU ms (stat), on-CPU ms (schedstat),
# context switches, threads, beats; timer wake-ups and beats of the strace
# pass; peak and current resident kB. `wakers` names the threads woken.
measure() {
  local name=$1 program=$2 socket=${3:-}
  mkdir -p "$tmp/run-$name"
  chmod 700 "$tmp/run-$name"
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

  local ticks0 ticks1 beats0 beats1 beats2 hz threads window tid
  hz=$(getconf CLK_TCK)
  seen=()
  sample "$pid"
  declare -A start
  # shellcheck disable=SC2034 # since() reads it by name
  for tid in "${!seen[@]}"; do start[$tid]=${seen[$tid]}; done
  # Resident memory at both ends of the window, for KEEP=1.
  grep VmRSS "/proc/$pid/status" >>"$tmp/$name.out"
  ticks0=$(cpuTicks "$pid")
  beats0=$(beats)
  # Sampling takes a little time of its own: keep the window to the clock.
  local end=$((${EPOCHREALTIME/./} + seconds * 1000000))
  local left
  while left=$((end - ${EPOCHREALTIME/./})) && ((left > 0)); do
    ((left > 1000000)) && left=1000000
    sleep "$(printf '%d.%06d' $((left / 1000000)) $((left % 1000000)))"
    sample "$pid"
  done
  ticks1=$(cpuTicks "$pid")
  beats1=$(beats)
  grep VmRSS "/proc/$pid/status" >>"$tmp/$name.out"
  read -r -a window < <(since start)
  local tasks=(/proc/"$pid"/task/*)
  threads=${#tasks[@]}

  local timers=(n/a)
  if [ "$tracing" = 1 ]; then
    local threadList="" task comm
    for task in /proc/"$pid"/task/*; do
      comm=$(cat "$task/comm" 2>/dev/null) || continue
      threadList+=" ${task##*/}:$(cut -d' ' -f1 "$task/syscall" 2>/dev/null):${comm// /_}"
    done
    timeout -s INT "$seconds" strace -f -qq -p "$pid" -e trace=poll,ppoll,futex,restart_syscall \
      -o "$tmp/$name.strace" 2>"$tmp/$name.strace.err" || true
    # Every thread sits in some wait when strace attaches, so a log without a
    # line means strace could not attach (ptrace not allowed).
    if [ -s "$tmp/$name.strace" ]; then
      read -r -a timers < <(timer_wakeups "$tmp/$name.strace" "$threadList")
    else
      echo "idle.sh: strace could not follow $name: $(head -n1 "$tmp/$name.strace.err")" >&2
    fi
  fi
  # A beat whose timer fired just before strace let go is answered within
  # milliseconds: count it with its wake-up.
  sleep 0.2
  beats2=$(beats)

  local hwm rss
  hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")
  rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")
  kill "$pid"
  wait "$pid" 2>/dev/null || true

  result=($(((ticks1 - ticks0) * 1000 / hz)) $((window[0] / 1000000)) "${window[1]}" "$threads"
    $((beats1 - beats0)) "${timers[0]}" $((beats2 - beats1)) "$hwm" "$rss")
  wakers="${timers[*]:1}"
}

tracing=0
[ "${STRACE:-1}" != 0 ] && command -v strace >/dev/null && tracing=1

echo "Idle footprint: ${seconds} s per program after ${warmup} s of start-up; Pulse ${pulse};" \
  "paired, no ringtones, window hidden"
[ "$tracing" = 1 ] && echo "Timer wake-ups: a further ${seconds} s under strace"
measure tray "$bin/bench_idle_tray"
bare=("${result[@]}")
bareWakers=$wakers
measure belfry "$bin/belfry" "$tmp/$pcid"
belfry=("${result[@]}")
belfryWakers=$wakers

mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.2f", a / b; else printf "n/a" }'; }
columns() { printf '%-10s %7s %10s %9s %8s %6s %15s %6s %8s %7s\n' "$@"; }
row() {
  local -n r=$1
  columns "$2" "${r[0]}" "${r[1]}" "${r[2]}" "${r[3]}" "${r[4]}" "${r[5]}" "${r[6]}" \
    "$(mb "${r[7]}")" "$(mb "${r[8]}")"
}
echo
columns "" "CPU ms" "on-CPU ms" switches threads beats "timer wake-ups" beats "peak MB" "RSS MB"
row bare "bare tray"
row belfry belfry
echo
echo "timer wake-ups by thread: bare tray ${bareWakers:-none}; belfry ${belfryWakers:-none}"
echo "belfry / bare tray: CPU $(ratio "${belfry[0]}" "${bare[0]}"), on-CPU $(ratio "${belfry[1]}" "${bare[1]}")," \
  "switches $(ratio "${belfry[2]}" "${bare[2]}"), peak RSS $(ratio "${belfry[7]}" "${bare[7]}")," \
  "RSS $(ratio "${belfry[8]}" "${bare[8]}")"
echo "belfry per beat: $(ratio "${belfry[2]}" "${belfry[4]}") context switches," \
  "$(ratio "${belfry[5]}" "${belfry[6]}") timer wake-ups"
[ "${belfry[4]}" -gt 0 ] || echo "belfry answered no beats: it does not beat (yet)"
verdict() { awk -v v="$1" -v limit="$2" 'BEGIN { print (v != "n/a" && v + 0 <= limit + 0) ? "met" : "not met" }'; }
peak=$(ratio "${belfry[7]}" "${bare[7]}")
perBeat=$(ratio "${belfry[5]}" "${belfry[6]}")
echo "criteria: peak RSS at most 1.5 x bare tray: $(verdict "$peak" 1.5) ($peak);" \
  "at most one timer wake-up per beat: $(verdict "$perBeat" 1) ($perBeat)"
