#!/usr/bin/env bash
# Builds the whole tree a second time, under AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-asan/ and runs every test there. The
# first report of either (a leak included) ends that test with a failure.
# Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBELFRY_SANITIZE=ON -DBELFRY_BENCH=OFF >/dev/null
cmake --build build-asan -j"$(nproc)"

# Leaks inside libraries we do not build (Qt's platform plugins, D-Bus,
# fontconfig) are suppressed by library there; ours are never suppressed.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:print_stacktrace=1:fast_unwind_on_malloc=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS="suppressions=$(pwd)/tests/sanitizers/lsan.supp:print_suppressions=0"
cd build-asan
status=0
ctest --output-on-failure -j"$(nproc)" "$@" || status=$?
echo "sanitize: build and tests took ${SECONDS} s"
exit "$status"
