#!/bin/sh
# Installs with apt-get what a profile needs on Debian 12, as root; does nothing when it is all there.
# Usage: tools/setup.sh build|demo|test|ci     install what is missing (quiet; one line when it installs)
#        tools/setup.sh --list PROFILE          print the profile's packages, one a line
# Profiles nest: build < demo < test < ci. Not root or not Debian: prints the missing packages, exits 1.
# VEMO_SKIP_SETUP=1 skips it (for another distribution, once its equivalents are installed).
set -u

# The one list. Columns: the first profile that needs the package, the package, why.
# A tool any test calls belongs to "test", so a test never fails for a missing tool.
PACKAGES='
build g++                    compiler
build make                   build tool cmake drives
build cmake                  configure, build, install, cpack
build zlib1g-dev             vemo-monitor compresses its answers with it
build dpkg-dev               cpack -G DEB: dpkg-shlibdeps computes the library dependencies
build file                   cpack -G DEB: finds the ELF files for dpkg-shlibdeps
build binutils               dpkg-shlibdeps reads the binaries with objdump; readelf for the tests
demo  python3                the demo and end-to-end sandbox
demo  util-linux             unshare, mount: the sandbox namespaces
test  googletest             unit tests
test  libgtest-dev           unit tests
test  libgmock-dev           unit tests
test  libbenchmark-dev       the micro-benchmarks compile with the tests
test  valgrind               e2e.valgrind_daemon_is_clean
test  chromium               e2e.page_in_chromium: the status page in a real browser
test  groff-base             package.layout: the manual renders without warnings
test  mandoc                 package.layout: mandoc -T lint
test  man-db                 package.layout: man -l
test  systemd                package.layout: systemd-analyze verify of the unit
test  gzip                   the compressed manual
test  lintian                package.layout: lintian on the .deb
test  prometheus             promtool checks the metrics text
test  ansible-core           the fleet case: ansible-playbook drives two booted hosts
test  ansible                the fleet case: the nsenter connection of community.docker
test  wrk                    benchmarks/monitor_bench.py: /metrics under 50 clients
test  systemd-container      the booted-systemd package case: systemd-nspawn
test  mmdebstrap             the booted-systemd package case: its Debian root
test  debian-archive-keyring the booted-systemd package case: verifies that root
ci    clang                  fuzzing (libFuzzer)
ci    clang-tidy             tools/lint.sh
ci    clang-format           tools/lint.sh
ci    cppcheck               tools/lint.sh
ci    ansible-lint           tools/lint.sh: the fleet role
ci    libclang-rt-14-dev     fuzzing and sanitizer runtimes for clang
'

rank() {
    case $1 in
    build) echo 1 ;; demo) echo 2 ;; test) echo 3 ;; ci) echo 4 ;; *) echo 0 ;;
    esac
}

usage() {
    echo "usage: tools/setup.sh build|demo|test|ci   or   tools/setup.sh --list PROFILE" >&2
    exit 2
}

list=false
if [ "${1:-}" = --list ]; then
    list=true
    shift
fi
[ $# -eq 1 ] || usage
want=$(rank "$1")
[ "$want" -gt 0 ] || usage

needed=$(echo "$PACKAGES" | while read -r profile package _; do
    [ -n "$profile" ] && [ "$(rank "$profile")" -le "$want" ] && echo "$package"
done)
if $list; then
    echo "$needed"
    exit 0
fi
[ "${VEMO_SKIP_SETUP:-}" = 1 ] && exit 0
# shellcheck disable=SC2086
needed_line=$(echo $needed)

if [ ! -r /etc/debian_version ] || ! command -v dpkg-query >/dev/null 2>&1 ||
    ! command -v apt-get >/dev/null 2>&1; then
    echo "tools/setup.sh: not Debian; profile $1 needs these Debian 12 packages (or their equivalents):" >&2
    echo "  $needed_line" >&2
    echo "Install them, then run again with VEMO_SKIP_SETUP=1." >&2
    exit 1
fi

# One query for all: a package unknown to dpkg prints no line, so it counts as missing too.
# shellcheck disable=SC2086
installed=$(dpkg-query -W -f='${db:Status-Status} ${Package}\n' $needed 2>/dev/null |
    sed -n 's/^installed //p')
missing=""
for p in $needed; do
    echo "$installed" | grep -qxF "$p" || missing="$missing $p"
done
missing=${missing# }
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "tools/setup.sh: profile $1 lacks these packages; as root, run:" >&2
    echo "  apt-get install --no-install-recommends $missing" >&2
    exit 1
fi

echo "tools/setup.sh: installing for profile $1: $missing" >&2
log=$(mktemp /tmp/vemo-setup-XXXXXX.log) || exit 1
policy=/usr/sbin/policy-rc.d
own_policy=false
cleanup() {
    $own_policy && rm -f "$policy"
    rm -f "$log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Packages such as prometheus would start their daemons on this machine: they are here for
# their tools only. policy-rc.d is Debian's switch for that; one already there is left as it is.
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# tools/setup.sh: no service starts while it installs\nexit 101\n' >"$policy" &&
        chmod 755 "$policy" && own_policy=true
fi
export DEBIAN_FRONTEND=noninteractive
apt="apt-get -q -y -o DPkg::Lock::Timeout=600"
# The lists are fetched only when something is missing: a fresh root has none at all.
# shellcheck disable=SC2086
if ! $apt update >"$log" 2>&1 || ! $apt install --no-install-recommends $missing >>"$log" 2>&1; then
    cat "$log" >&2
    echo "tools/setup.sh: apt-get failed (above)" >&2
    exit 1
fi
