#!/bin/sh
# Static analysis for CI: clang-tidy (.clang-tidy) and cppcheck over the product code, clang-format
# over every C++ file, tools/manlint.sh over the manuals. Exits non-zero on any finding.
# Usage: tools/lint.sh [BUILD_DIR]   (where compile_commands.json is made; default build-tidy)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-tidy}
cd "$root" || exit 2
mkdir -p "$build"

product=$(find cmd lib -name '*.cpp' | sort)
sources=$(find cmd lib tests fuzz benchmarks examples -type f \
    \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) 2>/dev/null | sort)
failed=""

echo "== configure $build for its compile database"
# Flags must be the build's own, fortification included, or the analysis judges other code.
if ! cmake -S "$root" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVEMO_BUILD_TESTS=OFF \
    >"$build/configure.log" 2>&1; then
    cat "$build/configure.log"
    exit 2
fi

echo "== clang-tidy"
for f in $product; do
    # Its per-file count of suppressed system-header warnings is noise, not findings.
    if ! clang-tidy --quiet -p "$build" --config-file="$root/.clang-tidy" "$f" >"$build/tidy.out" 2>&1; then
        failed="$failed clang-tidy:$f"
    fi
    grep -v ' warnings\? generated\.$' "$build/tidy.out"
done

echo "== cppcheck"
# readdirCalled: its advice, readdir_r, is deprecated by glibc; readdir is safe per stream.
# shellcheck disable=SC2086
cppcheck -q --enable=warning,style,performance,portability --inconclusive --library=posix \
    --std=c++17 --language=c++ --inline-suppr --error-exitcode=1 --suppress=readdirCalled \
    -I cmd/vemo-watchdog/linux -I lib/base -I lib/status $product || failed="$failed cppcheck"

echo "== ansible-lint"
# Offline: the role uses only what Debian's ansible ships, so no collection is fetched.
ansible-lint --offline -q deploy/ansible >"$build/ansible-lint.out" 2>&1 || {
    cat "$build/ansible-lint.out"
    failed="$failed ansible-lint"
}

echo "== clang-format"
# shellcheck disable=SC2086
clang-format --dry-run -Werror $sources || failed="$failed clang-format"

echo "== manuals, as man renders them"
tools/manlint.sh dist/*.8 || failed="$failed manuals"

if [ -n "$failed" ]; then
    echo "lint FAILED:$failed"
    exit 1
fi
echo "lint passed: $(echo "$product" | wc -l) product files analysed, $(echo "$sources" | wc -l) formatted, $(find dist -name "*.8" | wc -l) manuals"
