"""Debian root filesystems, a systemd-nspawn container booted from one, and the cleanup of both.

Made for a host whose PID 1 is not systemd: the container runs with --register=no --keep-unit in a
cgroup of its own on the unified hierarchy, with a private tmpfs over /run/systemd, so neither
machined nor the host's systemd state is needed or touched.
"""

import fcntl
import hashlib
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

SUITE = "bookworm"
MIRRORS = (
    "deb http://deb.debian.org/debian bookworm main",
    "deb http://deb.debian.org/debian bookworm-updates main",
    "deb http://deb.debian.org/debian-security bookworm-security main",
)
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# Every name this run gives a cgroup or directory carries its pid, so a later run can tell leftovers
# of a killed run (their pid is gone) from those of a run still going.
PREFIX = "vemo-systemd-test-"


class Failure(Exception):
    """A check failed, or the case could not run: either way the case fails with this text."""


class GiveUp(BaseException):
    """The case's deadline passed or it was told to stop: nothing more runs but the cleanup."""


def need(condition, message):
    if not condition:
        raise Failure(message)


def run(argv, timeout, **kw):
    """Runs a host command, bounded; returns the CompletedProcess (text, output captured)."""
    if "input" not in kw:
        kw.setdefault("stdin", subprocess.DEVNULL)
    kw.setdefault("capture_output", True)
    try:
        return subprocess.run(argv, timeout=timeout, text=True, check=False, **kw)
    except subprocess.TimeoutExpired as e:
        raise Failure("%s did not end within %ds" % (" ".join(argv[:4]), timeout)) from e


def wait_for(what, predicate, timeout, interval=0.2):
    """Polls predicate until it returns something true; fails naming what was awaited."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        try:
            value = predicate()
        except Failure as e:
            value, last = None, e
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure("waited %.0fs for %s%s" % (timeout, what, " (last: %s)" % last if last else ""))
        time.sleep(interval)


def cgroup2_root():
    """Where the unified cgroup hierarchy is mounted: /sys/fs/cgroup, or its unified/ on a hybrid host."""
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            sep = fields.index("-")
            if fields[sep + 1] == "cgroup2":
                return fields[4]
    return None


def cgroup_v1_systemd_root():
    """The v1 name=systemd hierarchy of a hybrid host, where nspawn files the container too; or None."""
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            sep = fields.index("-")
            if fields[sep + 1] == "cgroup" and "name=systemd" in fields[sep + 3].split(","):
                return fields[4]
    return None


def cgroup_roots():
    return [root for root in (cgroup2_root(), cgroup_v1_systemd_root()) if root]


def mounts_under(path):
    """Mount points at or below path in this mount namespace."""
    path = os.path.realpath(path)
    found = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            point = line.split()[4].replace("\\040", " ")
            if point == path or point.startswith(path + "/"):
                found.append(point)
    return found


def cgroup_pids(path):
    pids = []
    for top, _, _ in os.walk(path):
        try:
            with open(os.path.join(top, "cgroup.procs")) as f:
                pids += [int(p) for p in f.read().split()]
        except OSError:
            pass
    return pids


def remove_cgroup(path, keep_top=False):
    """Kills every process in a cgroup subtree and removes its directories, deepest first."""
    if not os.path.isdir(path):
        return
    try:
        with open(os.path.join(path, "cgroup.kill"), "w") as f:
            f.write("1")
    except OSError:  # kernels before 5.14: one by one
        for pid in cgroup_pids(path):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    wait_for("the processes of %s to end" % path, lambda: not cgroup_pids(path), timeout=30)
    for top, dirs, _ in os.walk(path, topdown=False):
        if keep_top and top == path:
            continue
        wait_for("rmdir %s" % top, lambda top=top: _rmdir(top), timeout=10)


def _rmdir(path):
    try:
        os.rmdir(path)
    except FileNotFoundError:
        pass
    except OSError as e:
        raise Failure(str(e)) from e
    return True


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def sweep_leftovers():
    """Removes the cgroup a run killed before its own cleanup left (its work directory went with
    its mount namespace)."""
    for root in cgroup_roots():
        for name in os.listdir(root):
            owner = name[len(PREFIX):].split("-")[0] if name.startswith(PREFIX) else ""
            if owner.isdigit() and not alive(int(owner)):
                path = os.path.join(root, name)
                print("removing the leftover cgroup %s of an earlier run" % path)
                remove_cgroup(path)


class RootTar:
    """A Debian root filesystem made by mmdebstrap, kept as a tarball in a cache keyed by what is in it."""

    def __init__(self, name, cache_dir, variant="minbase", include=()):
        self.name = name
        self.variant = variant
        self.include = sorted(include)
        recipe = json.dumps([SUITE, variant, self.include, MIRRORS])
        self.key = hashlib.sha256(recipe.encode()).hexdigest()[:16]
        self.cache_dir = cache_dir
        self.path = os.path.join(cache_dir, "%s-%s.tar" % (name, self.key))
        self.built = False  # whether this run had to make it
        self.proc = None

    def ensure(self, tmp_dir, timeout):
        """Returns the tarball's path, making it first when the cache has none."""
        os.makedirs(self.cache_dir, exist_ok=True)
        # Two runs at once make it once: the second waits here for the first.
        with open(self.path + ".lock", "w") as lock:
            fcntl.lockf(lock, fcntl.LOCK_EX)
            if os.path.exists(self.path):
                return self.path
            self._prune()
            # mmdebstrap picks the output's format from its name: it must end in .tar.
            partial = self.path[:-len(".tar")] + ".partial-%d.tar" % os.getpid()
            argv = ["mmdebstrap", "--quiet", "--mode=root", "--variant=" + self.variant]
            if self.include:
                argv.append("--include=" + ",".join(self.include))
            argv += [SUITE, partial] + list(MIRRORS)
            # Its own mount and pid namespaces: a run killed midway leaves no mount of mmdebstrap's behind.
            argv = ["unshare", "--mount", "--pid", "--fork", "--kill-child", "--propagation", "private"] + argv
            env = dict(os.environ, TMPDIR=tmp_dir)
            proc = self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                                stderr=subprocess.STDOUT, text=True, env=env,
                                                start_new_session=True)
            try:
                out, _ = proc.communicate(timeout=timeout)
            except subprocess.TimeoutExpired as e:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                raise Failure("mmdebstrap of the %s root did not end within %ds" % (self.name, timeout)) from e
            finally:
                if proc.returncode is None:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
                if proc.returncode != 0 and os.path.exists(partial):
                    os.unlink(partial)
            self.proc = None
            need(proc.returncode == 0, "mmdebstrap of the %s root failed (%s):\n%s"
                 % (self.name, proc.returncode, out[-3000:]))
            os.rename(partial, self.path)
            self.built = True
            return self.path

    def kill(self):
        """Ends a mmdebstrap still running (the case is being cleaned up)."""
        proc = self.proc
        if proc is not None and proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()

    def _prune(self):
        """Drops this root's tarballs of other package lists: each is hundreds of megabytes."""
        for name in os.listdir(self.cache_dir):
            if not name.startswith(self.name + "-") or not name.endswith(".tar"):
                continue
            owner = name[:-len(".tar")].rpartition(".partial-")[2]
            # Another run's tarball in the making is left alone; a killed run's is not.
            if ".partial-" in name and owner.isdigit() and alive(int(owner)):
                continue
            os.unlink(os.path.join(self.cache_dir, name))

    def extract(self, target):
        os.makedirs(target)
        result = run(["tar", "-xf", self.path, "-C", target], timeout=300)
        need(result.returncode == 0, "cannot unpack %s: %s" % (self.path, result.stderr))


BOOT_SCRIPT = r"""
echo $$ >"$1/cgroup.procs" || exit 97
# A private /run/systemd: nspawn keeps its state there, and the host's stays untouched. A host
# without one gets a private /run to make it in.
if [ ! -d /run/systemd ]; then
    mount -t tmpfs -o mode=0755,nosuid,nodev vemo-run /run && mkdir /run/systemd || exit 98
fi
mount -t tmpfs -o mode=0755,nosuid,nodev vemo-nspawn /run/systemd || exit 98
exec systemd-nspawn --quiet -D "$2" --boot --register=no --keep-unit --private-network \
    --machine=vemo-booted --console=pipe
"""


class Container:
    """A Debian root booted with systemd as its PID 1, in a cgroup and mount namespace of its own."""

    def __init__(self, root, cgroup, log_path):
        self.root = root
        self.cgroup = cgroup
        self.log_path = log_path
        self.proc = None
        self.leader = None
        self.boots = 0

    def boot(self, timeout=120):
        """Starts the container and returns once its systemd reports the system running."""
        need(shutil.which("systemd-nspawn"),
             "systemd-nspawn is missing: install systemd-container on the host (apt-get install systemd-container)")
        os.makedirs(self.cgroup, exist_ok=True)
        env = dict(os.environ, SYSTEMD_NSPAWN_UNIFIED_HIERARCHY="1")
        with open(self.log_path, "a") as log:
            self.proc = subprocess.Popen(
                ["unshare", "--mount", "--propagation", "private", "sh", "-c", BOOT_SCRIPT, "boot",
                 self.cgroup, self.root], stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                env=env, start_new_session=True)
        self.boots += 1
        self.leader = wait_for("the container's systemd to start", self._find_leader, timeout=30)
        # Right after its start, systemd may not listen yet: is-system-running then answers nothing,
        # or "offline" when it cannot reach the manager at all; both mean ask again.
        def answer():
            state = self.sh("systemctl is-system-running --wait", timeout=timeout).stdout.strip()
            return state if state not in ("", "offline") else None
        state = wait_for("the container's systemd to answer", answer, timeout=timeout)
        if state != "running":
            failed = self.sh("systemctl --failed --no-pager; journalctl -b -p warning --no-pager | tail -n 30")
            raise Failure("the container's system is %r, not running:\n%s" % (state, failed.stdout))
        return self.leader

    def _find_leader(self):
        """The container's PID 1, seen from the host: nspawn's child that is pid 1 of its own namespace."""
        if self.proc.poll() is not None:
            with open(self.log_path) as f:
                tail = f.read()[-2000:]
            raise Failure("systemd-nspawn exited with %s before the container started:\n%s"
                          % (self.proc.returncode, tail))
        try:
            with open("/proc/%d/task/%d/children" % (self.proc.pid, self.proc.pid)) as f:
                children = [int(p) for p in f.read().split()]
        except OSError:
            return None
        for pid in children:
            try:
                with open("/proc/%d/status" % pid) as f:
                    nspid = [line.split()[1:] for line in f if line.startswith("NSpid:")][0]
            except (OSError, IndexError):
                continue
            # Until nspawn's child has executed systemd, its namespaces are still being made.
            if len(nspid) == 2 and nspid[1] == "1" and _comm(pid) == "systemd":
                return pid
        return None

    def sh(self, script, timeout=30, stdin=None):
        """Runs a shell script inside the container, as root there, with a clean environment; bounded."""
        argv = ["nsenter", "-t", str(self.leader), "-a", "env", "-i", "PATH=" + PATH, "LC_ALL=C",
                "HOME=/root", "timeout", "-k", "2", str(timeout), "sh", "-c", script]
        kw = {"input": stdin} if stdin is not None else {}
        return run(argv, timeout=timeout + 10, **kw)

    def wait_stopped(self, timeout):
        """Waits for nspawn to end after the container shut down; returns its exit status."""
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired as e:
            raise Failure("the container did not shut down within %ds" % timeout) from e
        finally:
            if self.proc.returncode is not None:
                self.proc = None
                self.leader = None
                # Ready for the next boot: nspawn makes its sub-cgroups anew.
                remove_cgroup(self.cgroup, keep_top=True)

    def destroy(self):
        """Ends nspawn and every process of the container, whatever state they are in."""
        if os.path.isdir(self.cgroup):
            remove_cgroup(self.cgroup)
        # On a hybrid host nspawn also makes the same name under the v1 name=systemd hierarchy.
        v1 = cgroup_v1_systemd_root()
        if v1:
            remove_cgroup(os.path.join(v1, os.path.basename(self.cgroup)))
        if self.proc is not None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()
            self.proc = None


def _comm(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return None


class Chroot:
    """Runs a command in a root filesystem as its first command, in private mount and pid namespaces,
    with /proc, /sys, /dev and the host's resolver there, so nothing outlives it."""

    SCRIPT = r"""
set -e
r=$1; shift
# A mount point, as / is on any machine: the demo's own sandbox makes / private, which needs one.
mount --bind "$r" "$r"
mount -t proc proc "$r/proc"
mount --rbind /sys "$r/sys"
mount --rbind /dev "$r/dev"
cp /etc/resolv.conf "$r/etc/resolv.conf"
exec chroot "$r" /usr/bin/env -i PATH=%s HOME=/root LC_ALL=C "$@"
""" % PATH

    def __init__(self, root):
        self.root = root
        self.proc = None

    def start(self, argv, log):
        self.proc = subprocess.Popen(
            ["unshare", "--mount", "--pid", "--fork", "--kill-child", "--propagation", "private",
             "sh", "-c", self.SCRIPT, "chroot", self.root] + argv,
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


def enter_private_mounts(argv):
    """Re-executes the case in a mount namespace of its own, once: every mount it makes, the tmpfs
    holding its root copies first, goes with the namespace, however the case ends."""
    if os.environ.get("VEMO_SYSTEMD_PRIVATE_MOUNTS") == "1":
        return
    unshare = shutil.which("unshare")
    need(unshare, "unshare(1) is missing on the host: apt-get install util-linux")
    os.environ["VEMO_SYSTEMD_PRIVATE_MOUNTS"] = "1"
    os.execv(unshare, [unshare, "--mount", "--propagation", "private"] + argv)


def make_workdir():
    """A tmpfs of this mount namespace for the root copies: quick to fill, gone at exit."""
    parent = "/var/tmp"
    need(run(["mount", "-t", "tmpfs", "-o", "mode=0755,size=8g", "vemo-systemd-test", parent],
             timeout=10).returncode == 0, "cannot mount a tmpfs on %s" % parent)
    return tempfile.mkdtemp(prefix="%s%d-" % (PREFIX, os.getpid()), dir=parent)


def make_deb(build_dir, out_dir):
    """Packages a build directory with cpack into out_dir; returns the .deb's path."""
    config = os.path.join(build_dir, "CPackConfig.cmake")
    need(os.path.exists(config), "no %s: configure and build first" % config)
    result = run(["cpack", "-G", "DEB", "-B", out_dir, "--config", config], timeout=300)
    need(result.returncode == 0, "cpack failed:\n" + result.stdout + result.stderr)
    debs = [n for n in os.listdir(out_dir) if n.endswith(".deb")]
    need(len(debs) == 1, "cpack made %r, not one .deb" % debs)
    return os.path.join(out_dir, debs[0])


def left_behind(workdir, cgroups):
    """What a case leaves behind under its work directory and cgroups, as texts; [] when nothing."""
    found = ["mounts under %s: %s" % (workdir, mounts_under(workdir))] if mounts_under(workdir) else []
    rooted = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/root" % pid).startswith(workdir):
                rooted.append(int(pid))
        except OSError:
            pass
    if rooted:
        found.append("processes still inside %s: %s" % (workdir, rooted))
    return found + ["cgroup %s still there" % path for path in cgroups if os.path.exists(path)]
