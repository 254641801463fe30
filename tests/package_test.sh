#!/bin/sh
# Checks what an operator receives: the install tree, the Debian package, the manual and the unit.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -u
build=${1:?usage: package_test.sh BUILD_DIR SOURCE_DIR}
src=${2:?usage: package_test.sh BUILD_DIR SOURCE_DIR}
LC_ALL=C
export LC_ALL
tmp=$(mktemp -d /tmp/vemo-package-XXXXXX) || exit 1
held=
cleanup() {
    [ -n "$held" ] && kill "$held" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

failures=0
check() {
    if eval "$2"; then
        echo "ok   $1"
    else
        echo "FAIL $1"
        failures=$((failures + 1))
    fi
}
# Every regular file and link of a tree, relative to it, sorted.
files() { (cd "$1" && find . ! -type d | sed 's|^\./||' | sort); }

# ---- install tree
P=$tmp/P
cmake --install "$build" --prefix "$P" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
check "install tree holds exactly the expected files" '[ "$(files "$P")" = "bin/vemo-lockrun
bin/vemo-watchdog
bin/vemoctl
etc/watching-list.conf
include/vemo-watchdog/CLockFile.h
lib/libvemolock.a
lib/systemd/system/vemo-watchdog.service
share/bash-completion/completions/vemoctl
share/man/man8/vemo-lockrun.8
share/man/man8/vemo-watchdog.8
share/man/man8/vemoctl.8
share/vemo-watchdog/examples/supervised-example.cpp" ]'
check "binaries executable" '[ -x "$P/bin/vemo-watchdog" ] && [ -x "$P/bin/vemo-lockrun" ]'
# Any line not a comment would be loaded, and an empty one is reported as invalid.
check "sample watch list supervises nothing but the monitor" \
    '! grep -qv "^[[:blank:]]*#" "$P/etc/watching-list.conf"'

# The installed header and library are enough to build a supervised program that keeps the contract.
ex=$tmp/supervised-example
check "example builds against the installed library" \
    'c++ -std=c++17 -I"$P/include/vemo-watchdog" "$P/share/vemo-watchdog/examples/supervised-example.cpp" \
        -L"$P/lib" -lvemolock -o "$ex"'
if [ -x "$ex" ]; then
    "$ex" "$tmp/ex.pid" 30 &
    held=$!
    n=0
    while [ "$(cat "$tmp/ex.pid" 2>/dev/null)" != "$held" ] && [ $n -lt 50 ]; do
        sleep 0.1
        n=$((n + 1))
    done
    check "example writes its pid" '[ "$(cat "$tmp/ex.pid")" = "$held" ]'
    "$ex" "$tmp/ex.pid" >/dev/null 2>"$tmp/second.err"
    rc=$?
    check "second copy exits 1 naming the holder" \
        '[ $rc -eq 1 ] && grep -q "is locked by process $held\$" "$tmp/second.err"'
    kill -TERM "$held"
    wait "$held"
    rc=$?
    check "example exits 0 on SIGTERM" '[ $rc -eq 0 ]'
    held=
fi

# ---- Debian package
cpack -G DEB -B "$tmp/deb" --config "$build/CPackConfig.cmake" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; exit 1; }
deb=$(ls "$tmp"/deb/*.deb)
R=$tmp/root
dpkg-deb -x "$deb" "$R" || exit 1
check "package file name" '[ "$(basename "$deb")" = "vemo-watchdog_1.0.2.6_$(dpkg --print-architecture).deb" ]'
check "package holds exactly the expected files" '[ "$(files "$R")" = "opt/vemo-watchdog/bin/vemo-lockrun
opt/vemo-watchdog/bin/vemo-watchdog
opt/vemo-watchdog/bin/vemoctl
opt/vemo-watchdog/etc/watching-list.conf
opt/vemo-watchdog/include/vemo-watchdog/CLockFile.h
opt/vemo-watchdog/lib/libvemolock.a
opt/vemo-watchdog/share/vemo-watchdog/examples/supervised-example.cpp
usr/lib/systemd/system/vemo-watchdog.service
usr/share/bash-completion/completions/vemoctl
usr/share/man/man8/vemo-lockrun.8.gz
usr/share/man/man8/vemo-watchdog.8.gz
usr/share/man/man8/vemoctl.8.gz" ]'
check "watch list is a conffile" \
    '[ "$(dpkg-deb -I "$deb" conffiles)" = "/opt/vemo-watchdog/etc/watching-list.conf" ]'
check "metadata" '[ "$(dpkg-deb -f "$deb" Package Version Section Priority Maintainer)" = "Package: vemo-watchdog
Version: 1.0.2.6
Section: admin
Priority: optional
Maintainer: vemo-watchdog developers <root@localhost>" ]'
check "depends on the C library" 'dpkg-deb -f "$deb" Depends | grep -q "libc6"'
check "shipped binaries are stripped" \
    '! readelf -SW "$R"/opt/vemo-watchdog/bin/* | grep -q "\.symtab"'

# ---- the unit names what the package and the program really use
unit=$R/usr/lib/systemd/system/vemo-watchdog.service
value() { sed -n "s/^$1=//p" "$unit"; }
check "ExecStart is the packaged watchdog" '[ "$(value ExecStart)" = /opt/vemo-watchdog/bin/vemo-watchdog ] &&
    [ -x "$R$(value ExecStart)" ]'
check "WorkingDirectory is the package prefix" '[ -d "$R$(value WorkingDirectory)/etc" ]'
# The unit names /run, since systemd warns on /var/run, its alias.
pid=$(value PIDFile)
check "PIDFile is the program's own pid file" '[ "${pid#/run/}" != "$pid" ] &&
    grep -q "\"/var/run/${pid#/run/}\"" "$src/cmd/vemo-watchdog/linux/vemo-watchdog.cpp"'
if command -v systemd-analyze >/dev/null && command -v unshare >/dev/null && [ "$(id -u)" = 0 ]; then
    # A private mount namespace shows the unpacked tree at /opt/vemo-watchdog without touching the host.
    check "systemd-analyze verify" 'unshare -m sh -c "mount --make-rprivate / && mount -t tmpfs vemo /opt &&
        mkdir /opt/vemo-watchdog && mount --bind \"$R/opt/vemo-watchdog\" /opt/vemo-watchdog &&
        MANPATH=\"$R/usr/share/man\" systemd-analyze verify \"$unit\"" >"$tmp/verify.log" 2>&1 ||
        { cat "$tmp/verify.log"; false; }'
else
    echo "skip systemd-analyze verify (needs systemd-analyze, unshare and root)"
fi

# ---- the manual renders without a warning
for page in vemo-watchdog vemo-lockrun vemoctl; do
    check "$page.8: groff -ww is silent" \
        '[ -z "$(groff -ww -man -Tutf8 "$src/dist/$page.8" 2>&1 >/dev/null)" ]'
    if command -v mandoc >/dev/null; then
        check "$page.8: mandoc -T lint is silent" \
            '[ -z "$(mandoc -T lint -W warning "$src/dist/$page.8" 2>&1)" ]'
    fi
    if command -v man >/dev/null; then
        check "$page.8: man -l is silent" \
            '[ -z "$(man --warnings -l "$R/usr/share/man/man8/$page.8.gz" 2>&1 >/dev/null)" ]'
    fi
done

[ "$failures" -eq 0 ] || { echo "$failures package check(s) failed"; exit 1; }
echo "all package checks passed"
