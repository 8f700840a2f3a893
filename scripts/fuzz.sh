#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, ASan and UBSan into
# build-fuzz/ and runs each for a bounded time, starting from its corpus in
# fuzz/corpus/. Any crash, leak, timeout, memory blow-up, sanitizer report or
# failed check fails the run; the input that did it is kept in
# build-fuzz/artifacts/.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 30, every target)
#   FUZZ_GROW=1 scripts/fuzz.sh ...   also merges the inputs that reached new
#                                     code into fuzz/corpus/
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
seconds=${1:-30}
shift || true
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("$name")
  done
fi

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DBELFRY_FUZZ=ON -DBUILD_TESTING=OFF -DBELFRY_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:print_stacktrace=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS="suppressions=$(pwd)/tests/sanitizers/lsan.supp:print_suppressions=0"
mkdir -p build-fuzz/artifacts build-fuzz/logs

# One target: new inputs go to its scratch corpus, the committed one is only read.
run() {
  local name=$1 scratch=build-fuzz/corpus/$1 seeds=fuzz/corpus/$1 options=() max_len=16384
  mkdir -p "$scratch" "$seeds"
  case $name in
    fuzz_plist | fuzz_musicfolder) options+=(-dict=fuzz/dict/plist.dict) ;;
    fuzz_heart | fuzz_ringtone) options+=(-dict=fuzz/dict/json.dict) ;;
    fuzz_winereg) options+=(-dict=fuzz/dict/winereg.dict) ;;
    # A field of 64 KB or more is what some crashes of a parser take.
    fuzz_service) options+=(-dict=fuzz/dict/service.dict) max_len=131072 ;;
    fuzz_ringtonefile) options+=(-dict=fuzz/dict/mp4.dict) ;;
  esac
  if "build-fuzz/fuzz/$name" "$scratch" "$seeds" "${options[@]}" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -max_len="$max_len" -artifact_prefix="build-fuzz/artifacts/$name-" -print_final_stats=1 \
      >"build-fuzz/logs/$name.log" 2>&1; then
    echo "fuzz: $name: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "build-fuzz/logs/$name.log" \
      | grep -o '[0-9]*$') runs, no finding"
  else
    echo "fuzz: $name: FAILED, log build-fuzz/logs/$name.log:"
    grep -v '^#' "build-fuzz/logs/$name.log" | tail -60
    return 1
  fi
  if [ -n "${FUZZ_GROW:-}" ]; then
    "build-fuzz/fuzz/$name" -merge=1 "$seeds" "$scratch" >/dev/null 2>&1
  fi
}

failed=()
for name in "${targets[@]}"; do
  run "$name" || failed+=("$name")
done
echo "fuzz: ${#targets[@]} targets, ${seconds} s each, ${SECONDS} s with the build; findings in: ${failed[*]:-none}"
echo "fuzz: $(( ${#targets[@]} - ${#failed[@]} )) passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
