#!/usr/bin/env bash
# Builds what the demo needs and runs the real watchdog in a private sandbox, narrating its log
# (run as root: the sandbox uses private namespaces).  It ends by itself and leaves nothing running.
# On a fresh Debian 12 it first installs what it needs (tools/setup.sh demo).
set -euo pipefail
cd "$(dirname "$0")/.."
# unshare cannot make the mounts of a chroot private when its root is no mount point: say so now,
# not as dozens of failures later.
if ! mountpoint -q /; then
    echo "tools/demo.sh: / is not a mount point (a chroot?), so private namespaces fail; run 'mount --bind ROOT ROOT' outside on this root's directory, then enter it again" >&2
    exit 1
fi
tools/setup.sh demo
build=${1:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target vemo-watchdog supervised-example >/dev/null
exec python3 tests/e2e/run.py --build-dir "$build" demo
