#!/usr/bin/env bash
# Builds everything with warnings as errors and runs the whole test suite (run as root:
# the end-to-end cases need private namespaces).  Usage: tools/test.sh [BUILD_DIR] [cmake options...]
# On a fresh Debian 12 it first installs what the suite needs (tools/setup.sh test).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
tools/setup.sh test
# Tests ON, not the default AUTO: a missing GoogleTest must stop the run, never shrink it.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEMO_WERROR=ON -DVEMO_BUILD_TESTS=ON "$@"
cmake --build "$build" -j"$(nproc)"
# Most cases sleep through the daemon's 11-second cycle, so many run side by side.
ctest --test-dir "$build" -j"${VEMO_TEST_JOBS:-12}" --output-on-failure
