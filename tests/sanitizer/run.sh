#!/bin/sh
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole suite on
# that build; a failed test or any sanitizer report fails the run.
# Usage: tests/sanitizer/run.sh [BUILD_DIR [CTEST_ARGS...]]   (default build-asan)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build-asan}
[ $# -gt 0 ] && shift
mkdir -p "$build"

cmake -S "$root" -B "$build" -DVEMO_SANITIZE=ON -DVEMO_WERROR=ON -DVEMO_BUILD_TESTS=ON >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 2; }
cmake --build "$build" -j2

logs=$build/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"
# The daemon detaches onto /dev/null: a report it makes is seen only if it lands in a file.
ASAN_OPTIONS="log_path=$logs/asan:detect_leaks=1:detect_stack_use_after_return=1"
LSAN_OPTIONS="suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0"
UBSAN_OPTIONS="log_path=$logs/ubsan:print_stacktrace=1:halt_on_error=1"
export ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS

status=0
ctest --test-dir "$build" -j"${VEMO_TEST_JOBS:-12}" --output-on-failure "$@" || status=1
for report in "$logs"/*; do
    [ -e "$report" ] || continue
    echo "== sanitizer report $report"
    cat "$report"
    status=1
done
exit $status
