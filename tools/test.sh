#!/usr/bin/env bash
# Builds everything with warnings as errors and runs the whole test suite (run as root:
# the end-to-end cases need private namespaces).  Usage: tools/test.sh [BUILD_DIR] [cmake options...]
# On a fresh Debian 12 it first installs what the suite needs (tools/setup.sh test).
set -euo pipefail
cd "$(dirname "$0")/.."
# unshare cannot make the mounts of a chroot private when its root is no mount point: say so now,
# not as dozens of failures later.
if ! mountpoint -q /; then
    echo "tools/test.sh: / is not a mount point (a chroot?), so private namespaces fail; run 'mount --bind ROOT ROOT' outside on this root's directory, then enter it again" >&2
    exit 1
fi
build=${1:-build}
shift || true
tools/setup.sh test
# Tests ON, not the default AUTO: a missing GoogleTest must stop the run, never shrink it.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEMO_WERROR=ON -DVEMO_BUILD_TESTS=ON "$@"
cmake --build "$build" -j"$(nproc)"
# Most cases sleep through the daemon's 11-second cycle, so many run side by side.
ctest --test-dir "$build" -j"${VEMO_TEST_JOBS:-12}" --output-on-failure
