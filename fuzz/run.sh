#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time.
# Usage: fuzz/run.sh [SECONDS [TARGET...]]   (SECONDS 0 only builds; targets: loader pidtext path)
# Build and working corpora go to $VEMO_FUZZ_BUILD (default build-fuzz); fuzz/corpus/ stays seeds only.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-loader pidtext path}
out=${VEMO_FUZZ_BUILD:-$root/build-fuzz}
cxx=${CXX_FUZZ:-clang++}
src=$root/cmd/vemo-watchdog/linux

mkdir -p "$out/obj" "$out/artifacts"
flags="-std=c++17 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
# The product's own main would shadow libFuzzer's.
for unit in CLockFile watchlist paths cloexec vemo-watchdog; do
    # shellcheck disable=SC2086
    $cxx $flags -fsanitize=fuzzer-no-link -Dmain=vemo_watchdog_main -I"$src" \
        -c "$src/$unit.cpp" -o "$out/obj/$unit.o"
done
for t in $targets; do
    # shellcheck disable=SC2086
    $cxx $flags -fsanitize=fuzzer -I"$src" "$here/fuzz_$t.cpp" \
        "$out/obj/vemo-watchdog.o" "$out/obj/watchlist.o" "$out/obj/paths.o" "$out/obj/cloexec.o" "$out/obj/CLockFile.o" -o "$out/fuzz_$t"
done
[ "$seconds" -gt 0 ] || exit 0

status=0
summary=""
for t in $targets; do
    case $t in pidtext) max_len=64 ;; *) max_len=4096 ;; esac
    mkdir -p "$out/corpus/$t"
    log=$out/fuzz_$t.log
    echo "== fuzz_$t for ${seconds}s (log: $log)"
    # New inputs go to the build's corpus; the seeds in the repo are only read.
    if ! "$out/fuzz_$t" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" \
        "$out/corpus/$t" "$here/corpus/$t" >"$log" 2>&1; then
        status=1
        echo "fuzz_$t FAILED: keep the input below in fuzz/corpus/$t/ once fixed"
        ls "$out/artifacts/$t-"* 2>/dev/null || true
        tail -n 40 "$log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    last=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -n 1)
    summary="$summary
fuzz_$t: ${runs:-?} executions; $last"
done
echo "== summary$summary"
exit $status
