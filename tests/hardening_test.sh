#!/bin/sh
# Checks the release hardening of built binaries: PIE, full RELRO, stack protector, fortified calls.
# Usage: hardening_test.sh BINARY...
set -u
[ $# -gt 0 ] || { echo "usage: hardening_test.sh BINARY..."; exit 2; }
LC_ALL=C
export LC_ALL

failures=0
verdict() {
    if [ "$2" -eq 0 ]; then
        echo "ok   $1"
    else
        echo "FAIL $1"
        failures=$((failures + 1))
    fi
}

for bin in "$@"; do
    echo "== $bin"
    [ -f "$bin" ] || { verdict "binary exists" 1; continue; }
    # Imports only: a statically linked libstdc++ brings definitions that prove nothing about our code.
    imports=$(readelf --dyn-syms -W "$bin" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')

    readelf -hW "$bin" | grep -Eq '^ *Type: +DYN'
    verdict "position-independent executable (Type DYN)" $?
    readelf -lW "$bin" | grep -Eq '^ *GNU_RELRO '
    verdict "relocations read-only after start-up (GNU_RELRO)" $?
    # RELRO without immediate binding leaves the GOT writable, so NOW is what makes it full.
    readelf -dW "$bin" | grep -Eq '\(FLAGS\) .*BIND_NOW|\(BIND_NOW\)|\(FLAGS_1\) .*[: ]NOW( |$)'
    verdict "immediate binding (BIND_NOW or FLAGS_1 NOW)" $?
    printf '%s\n' "$imports" | grep -qx '__stack_chk_fail'
    verdict "stack protector (__stack_chk_fail imported)" $?
    printf '%s\n' "$imports" | grep -v '^__stack_chk_fail$' | grep -Eqx '__[a-z_]+_chk'
    verdict "fortified calls (a __*_chk imported)" $?
done

[ "$failures" -eq 0 ] || { echo "$failures hardening check(s) failed"; exit 1; }
echo "all hardening checks passed"
