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
bin/vemo-monitor
bin/vemo-watchdog
bin/vemoctl
etc/vemo-monitor.conf
etc/watching-list.conf
include/vemo-watchdog/CLockFile.h
lib/libvemolock.a
lib/systemd/system/vemo-watchdog.service
share/bash-completion/completions/vemoctl
share/man/man8/vemo-lockrun.8
share/man/man8/vemo-monitor.8
share/man/man8/vemo-watchdog.8
share/man/man8/vemoctl.8
share/vemo-watchdog/examples/supervised-example.cpp" ]'
check "binaries executable" '[ -x "$P/bin/vemo-watchdog" ] && [ -x "$P/bin/vemo-lockrun" ] &&
    [ -x "$P/bin/vemo-monitor" ]'
# Every key commented out: the shipped file changes nothing, it documents the defaults.
check "sample monitor configuration sets nothing" \
    '! grep -qv -e "^[[:blank:]]*#" -e "^[[:blank:]]*\$" "$P/etc/vemo-monitor.conf"'
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
opt/vemo-watchdog/bin/vemo-monitor
opt/vemo-watchdog/bin/vemo-watchdog
opt/vemo-watchdog/bin/vemoctl
opt/vemo-watchdog/etc/vemo-monitor.conf
opt/vemo-watchdog/etc/watching-list.conf
opt/vemo-watchdog/include/vemo-watchdog/CLockFile.h
opt/vemo-watchdog/lib/libvemolock.a
opt/vemo-watchdog/share/vemo-watchdog/examples/supervised-example.cpp
usr/bin/vemoctl
usr/lib/systemd/system/vemo-watchdog.service
usr/share/bash-completion/completions/vemoctl
usr/share/doc/vemo-watchdog/changelog.gz
usr/share/doc/vemo-watchdog/copyright
usr/share/doc/vemo-watchdog/examples/vemo-alerts.test.yml
usr/share/doc/vemo-watchdog/examples/vemo-alerts.yml
usr/share/doc/vemo-watchdog/examples/vemo-monitor-alerts.test.yml
usr/share/doc/vemo-watchdog/examples/vemo-monitor-alerts.yml
usr/share/doc/vemo-watchdog/examples/vemo-monitor-prometheus.yml
usr/share/doc/vemo-watchdog/examples/vemoctl-textfile.service
usr/share/doc/vemo-watchdog/examples/vemoctl-textfile.timer
usr/share/lintian/overrides/vemo-watchdog
usr/share/man/man8/vemo-lockrun.8.gz
usr/share/man/man8/vemo-monitor.8.gz
usr/share/man/man8/vemo-watchdog.8.gz
usr/share/man/man8/vemoctl.8.gz" ]'
conffiles=/opt/vemo-watchdog/etc/watching-list.conf
[ -f "$src/dist/vemo-monitor.conf" ] && conffiles="$conffiles
/opt/vemo-watchdog/etc/vemo-monitor.conf"
check "configuration files are conffiles" '[ "$(dpkg-deb -I "$deb" conffiles)" = "$conffiles" ]'
check "metadata" '[ "$(dpkg-deb -f "$deb" Package Version Section Priority Maintainer)" = "Package: vemo-watchdog
Version: 1.0.2.6
Section: admin
Priority: optional
Maintainer: vemo-watchdog developers <root@localhost>" ]'
check "depends on the C library" 'dpkg-deb -f "$deb" Depends | grep -q "libc6"'
check "depends on what the maintainer scripts call" \
    'dpkg-deb -f "$deb" Depends | grep -q "adduser, init-system-helpers (>= 1.54~)"'
mkdir -p "$tmp/control"
dpkg-deb -e "$deb" "$tmp/control" || exit 1
for script in postinst prerm postrm; do
    check "maintainer script $script: executable, valid sh" \
        '[ "$(stat -c %a "$tmp/control/$script")" = 755 ] && sh -n "$tmp/control/$script"'
done
# Each library a shipped binary links, found by its package in Depends: dpkg-shlibdeps computed the list.
unlisted() {
    deps=$(dpkg-deb -f "$deb" Depends | tr , '\n' | sed 's/^ *//; s/[ (].*//')
    for lib in $(objdump -p "$R"/opt/vemo-watchdog/bin/* | sed -n 's/^ *NEEDED *//p' | sort -u); do
        owners=$(dpkg -S "*/$lib" 2>/dev/null | sed 's/: .*//; s/:[^,]*//g' | tr , '\n' | sed 's/^ *//')
        # shellcheck disable=SC2086
        echo "$owners" | grep -qxF "$deps" || echo "$lib (of: $(echo ${owners:-no package}))"
    done
}
check "depends on the package of every library the binaries link" \
    '[ -z "$(unlisted | tee "$tmp/unlisted")" ] || { sed "s/^/  unlisted: /" "$tmp/unlisted"; false; }'
check "vemoctl on PATH: /usr/bin/vemoctl leads to the packaged one" \
    '[ "$(readlink "$R/usr/bin/vemoctl")" = /opt/vemo-watchdog/bin/vemoctl ]'
check "the fleet examples are shipped as they are in the source" \
    '(for f in "$src"/examples/fleet/*; do cmp "$f" "$R/usr/share/doc/vemo-watchdog/examples/${f##*/}" || exit 1; done)'
check "shipped binaries are stripped" \
    '! readelf -SW "$R"/opt/vemo-watchdog/bin/* | grep -q "\.symtab"'

# ---- the unit names what the package and the program really use
unit=$R/usr/lib/systemd/system/vemo-watchdog.service
value() { sed -n "s/^$1=//p" "$unit"; }
# The unit names /run, since systemd warns on /var/run, its alias.
run=$(sed -n 's|^#define VEMO_RUN_DIR "/var/run/\(.*\)"$|/run/\1|p' "$src/cmd/vemo-watchdog/linux/paths.h")
own=$(sed -n 's|^const char\* const kOwnPidFile = VEMO_RUN_DIR "\(.*\)";$|\1|p' \
    "$src/cmd/vemo-watchdog/linux/vemo-watchdog.cpp")
own=${run:+${own:+$run$own}}
pid=$(value PIDFile)
check "ExecStart: vemoctl start, then systemd's copy of the program's own pid file" \
    '[ -n "$own" ] && [ -x "$R/opt/vemo-watchdog/bin/vemoctl" ] && [ "$(value ExecStart)" = \
    "/bin/sh -c '"'"'/opt/vemo-watchdog/bin/vemoctl start && exec cp $own $pid'"'"'" ]'
# systemd deletes the PIDFile= file when the service ends, a failed start included.
check "PIDFile is in the unit's own runtime directory, never the lock file" \
    '[ "$pid" = "/run/$(value RuntimeDirectory)/watchdog.pid" ] && [ "$pid" != "$own" ]'
check "ExecReload is the packaged vemoctl reload" \
    '[ "$(value ExecReload)" = "/opt/vemo-watchdog/bin/vemoctl reload" ]'
check "stopping the unit stops the watchdog alone" '[ "$(value KillMode)" = process ]'
# A failed start (another watchdog holds the lock) exits 1: restarting would only meet it again.
check "restarted when killed, not after a failed start" '[ "$(value Restart)" = on-abnormal ]'
check "WorkingDirectory is the package prefix" '[ -d "$R$(value WorkingDirectory)/etc" ]'
if command -v systemd-analyze >/dev/null && command -v unshare >/dev/null && [ "$(id -u)" = 0 ]; then
    # A private mount namespace shows the unpacked tree at /opt/vemo-watchdog without touching the host.
    check "systemd-analyze verify" 'unshare -m sh -c "mount --make-rprivate / && mount -t tmpfs vemo /opt &&
        mkdir /opt/vemo-watchdog && mount --bind \"$R/opt/vemo-watchdog\" /opt/vemo-watchdog &&
        MANPATH=\"$R/usr/share/man\" systemd-analyze verify \"$unit\"" >"$tmp/verify.log" 2>&1 ||
        { cat "$tmp/verify.log"; false; }'
else
    echo "skip systemd-analyze verify (needs systemd-analyze, unshare and root)"
fi

# ---- lintian: no errors; each warning kept is justified in dist/debian/lintian-overrides
if command -v lintian >/dev/null; then
    lintian --fail-on error --tag-display-limit 0 "$deb" >"$tmp/lintian.log" 2>&1
    rc=$?
    grep -v "^running with root privileges" "$tmp/lintian.log"
    check "lintian reports no error" '[ $rc -eq 0 ] && ! grep -q "^E:" "$tmp/lintian.log"'
else
    check "lintian is installed (tools/setup.sh test installs it)" false
fi

# ---- the maintainer scripts, run as dpkg runs them, in a private mount namespace: copies of /etc
# and of systemd's state, fresh /run, /opt and /var/lib/systemd, so the host is never touched.
# No systemd runs there (/run is empty), as in a chroot: the scripts enable, mask and purge links
# with the real deb-systemd-helper, and never call systemctl.
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    S=$tmp/control
    unshare -m sh -c '
        set -e
        tmp=$1 R=$2 S=$3 ex=$4
        mount --make-rprivate /
        cp -a /etc "$tmp/etc" && mount --bind "$tmp/etc" /etc
        cp /usr/lib/systemd/system/multi-user.target "$tmp/"
        for d in /run /opt /var/log /var/lib/systemd /usr/lib/systemd/system; do
            mount -t tmpfs vemo "$d"
        done
        cp "$tmp/multi-user.target" /usr/lib/systemd/system/
        cp -a "$R/opt/vemo-watchdog" /opt/
        unit=/usr/lib/systemd/system/vemo-watchdog.service
        wants=/etc/systemd/system/multi-user.target.wants/vemo-watchdog.service
        mask=/etc/systemd/system/vemo-watchdog.service
        rm -f "$wants" "$mask"
        userdel vemo-monitor >/dev/null 2>&1 || true
        st() {
            printf "state: %s %s %s\n" "$(getent passwd vemo-monitor | cut -d: -f7)" \
                "$([ -L "$wants" ] && echo enabled || echo -)" "$([ -L "$mask" ] && readlink "$mask" || echo -)"
        }
        # As dpkg runs them: the files are in place for postinst and prerm, gone for postrm.
        export DPKG_MAINTSCRIPT_PACKAGE=vemo-watchdog
        run() { DPKG_MAINTSCRIPT_NAME=$1 "$S/$1" "$2" "$3"; }
        inst() { cp "$R/usr/lib/systemd/system/vemo-watchdog.service" "$unit" && run postinst configure "$1"; }
        rem() { run prerm remove && rm "$unit" && run postrm remove; }
        inst ""; st
        rem; st
        inst 1.0.2.6; st
        # Removal ends the monitor of the package, never a supervised program.
        alive() { [ -r "/proc/$1/stat" ] && ! grep -q "^[0-9]* (.*) Z" "/proc/$1/stat"; }
        locked_by() {
            n=0
            while [ "$(cat "$1" 2>/dev/null)" != "$2" ] && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
        }
        mkdir /run/vemo_monitor
        cp "$ex" /opt/vemo-watchdog/bin/vemo-monitor
        /opt/vemo-watchdog/bin/vemo-monitor /run/vemo_monitor/vemo_monitor.pid 30 & monitor=$!
        "$ex" /run/vemo_monitor/held.pid 30 & held=$!
        locked_by /run/vemo_monitor/vemo_monitor.pid "$monitor"
        locked_by /run/vemo_monitor/held.pid "$held"
        rem
        n=0; while alive "$monitor" && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
        echo "state: monitor $(alive "$monitor" && echo runs || echo ended), program $(alive "$held" && echo runs || echo ended)"
        wait "$monitor" || true
        # Purge: a pid file still locked by a running program stays, a free one goes.
        echo 1 >/run/vemo_monitor/vemo_watchdog.pid
        echo 1 >/run/vemo_monitor/state.log
        run postrm purge; st
        echo "state: $(ls /run/vemo_monitor)"
        # Once the program has ended and removed its pid file, a purge leaves nothing behind.
        kill "$held" && wait "$held" || true
        rm /run/vemo_monitor/held.pid
        run postrm purge
        [ -d /run/vemo_monitor ] || echo "state: run directory gone"
    ' sh "$tmp" "$R" "$S" "$ex" >"$tmp/scripts.log" 2>&1
    rc=$?
    sed "s/^/  | /" "$tmp/scripts.log"
    check "maintainer scripts run in order without error" '[ $rc -eq 0 ]'
    check "install: user vemo-monitor made, unit enabled" \
        '[ "$(grep "^state: " "$tmp/scripts.log" | sed -n 1p)" = "state: /usr/sbin/nologin enabled -" ]'
    check "remove: unit masked, enable link kept for a reinstall" \
        '[ "$(grep "^state: " "$tmp/scripts.log" | sed -n 2p)" = "state: /usr/sbin/nologin enabled /dev/null" ]'
    check "reinstall: mask lifted, still enabled" \
        '[ "$(grep "^state: " "$tmp/scripts.log" | sed -n 3p)" = "state: /usr/sbin/nologin enabled -" ]'
    check "remove: the package's monitor ended, a supervised program left running" \
        '[ "$(grep "^state: " "$tmp/scripts.log" | sed -n 4p)" = "state: monitor ended, program runs" ]'
    check "purge: links and mask gone, user kept" \
        '[ "$(grep "^state: " "$tmp/scripts.log" | sed -n 5p)" = "state: /usr/sbin/nologin - -" ]'
    check "purge: a locked pid file stays, the package's free ones go" \
        '[ "$(grep "^state: " "$tmp/scripts.log" | sed -n 6p)" = "state: held.pid" ]'
    check "purge: the emptied run directory goes" \
        '[ "$(grep "^state: " "$tmp/scripts.log" | sed -n 7p)" = "state: run directory gone" ]'
else
    check "maintainer scripts can be run (needs root and unshare)" false
fi

# ---- the manuals render without a warning
for page in vemo-watchdog vemo-lockrun vemoctl vemo-monitor; do
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
    # Markup that groff accepts can still reach the reader as text: a quote that lost its pair, say.
    check "$page.8: as rendered, no markup shows as text" '"$src/tools/manlint.sh" "$R/usr/share/man/man8/$page.8.gz"'
done

[ "$failures" -eq 0 ] || { echo "$failures package check(s) failed"; exit 1; }
echo "all package checks passed"
