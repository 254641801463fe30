"""A private world for one end-to-end case of the real watchdog binary.

The case runs as pid 1 of fresh pid and mount namespaces: /run, /tmp and /dev are
tmpfs mounts of its own, /dev/log is a datagram socket that records every syslog
record, and every process the daemon starts is reaped here and dies with the case.
"""

import ctypes
import fcntl
import json
import os
import re
import shutil
import signal
import socket
import struct
import threading
import time

LOG_ERR, LOG_WARNING, LOG_INFO = 3, 4, 6
PRIORITY_NAMES = {3: "err", 4: "warning", 6: "info"}

RUN_DIR = "/var/run/vemo_monitor"
OWN_PID_FILE = RUN_DIR + "/vemo_watchdog.pid"
MONITOR_PID_FILE = RUN_DIR + "/vemo_monitor.pid"
TREE = "/tmp/tree"
RECORD_DIR = "/tmp/rec"
VERSION = "1.0.2.6"
CYCLE = 11.0
STARTED = "vemo-watchdog_%s started.\n" % VERSION
STOPPED = "vemo-watchdog_%s stopped.\n" % VERSION
MONITOR = TREE + "/bin/vemo-monitor"
WATCH_LIST = TREE + "/etc/watching-list.conf"
CONF = TREE + "/bin/../etc/watching-list.conf"  # the list's path as the daemon names it
APP = TREE + "/bin/app"
OUT = "/tmp/out"
ACQUIRE = "Can't acquire lockfile '%s' " % OWN_PID_FILE

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p]
MS_RDONLY, MS_NOEXEC, MS_BIND, MS_MOVE, MS_REC, MS_PRIVATE = 1, 8, 4096, 8192, 16384, 1 << 18

_SYSLOG_RE = re.compile(rb"^<(\d+)>(?:\w{3} [ \d]\d \d\d:\d\d:\d\d )?([^\[:]*)(?:\[(\d+)\])?: (.*)$", re.S)


class CaseFailure(AssertionError):
    pass


class CaseSkipped(Exception):
    """The case cannot run on this build; the runner exits with SKIPPED, which ctest shows as skipped."""


SKIPPED = 77  # SKIP_RETURN_CODE of the end-to-end tests in tests/CMakeLists.txt


def skip(reason):
    raise CaseSkipped(reason)


def check(condition, message):
    if not condition:
        raise CaseFailure(message)


def read(path):
    with open(path) as f:
        return f.read()


def mount(source, target, fstype, flags=0, data=None):
    rc = _libc.mount(source.encode(), target.encode(), fstype.encode() if fstype else None, flags,
                     data.encode() if data else None)
    if rc != 0:
        err = ctypes.get_errno()
        raise OSError(err, "mount %s on %s: %s" % (source, target, os.strerror(err)))


def prog(name):
    return "%s/bin/%s" % (TREE, name)


def pid_file(name):
    return "/var/run/%s/%s.pid" % (name, name)


def free_port():
    """A loopback TCP port nobody listens on now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def entry(flag, name, *args, pid=None, lock=True):
    """A watch-list line for bin/<name>, a fixture copy told to lock its pid file (own directory by default)."""
    pid = pid or pid_file(name)
    return ":".join([str(flag), pid, prog(name)] + (["--pidfile=" + pid] if lock else []) + list(args)) + "\n"


def info(*texts):
    return [(LOG_INFO, t) for t in texts]


def not_running(path):
    return "%s is not running.\n" % path


def spawned(path, pid):
    return "process %s (%d) spawned\n" % (path, pid)


def held_by(pid_path, pid):
    """The daemon's note on standard output for a program found running."""
    return "Lock file %s held by process %d\n" % (pid_path, pid)


def note(pid, what="User Sig 15 from pid: 1 uid: 0"):
    """The daemon's note on standard output for a signal it received."""
    return "NOTE: vemo_watchdog (%d) received %s\n" % (pid, what)


def lines(path):
    return read(path).splitlines(keepends=True)


def sanitized(sb):
    """True for an AddressSanitizer build, whose allocator holds freed memory back on purpose."""
    with open(os.path.join(sb.build_dir, "vemo-watchdog"), "rb") as f:
        return b"__asan_init" in f.read()


def children(pid):
    """The live children of pid, as /proc names their parent."""
    out = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open("/proc/%s/stat" % name) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid and fields[0] != "Z":
                out.append(int(name))
    return out


class Record:
    """One syslog record as the daemon sent it."""

    def __init__(self, raw, when):
        self.raw = raw
        self.when = when
        m = _SYSLOG_RE.match(raw)
        if m is None:
            self.priority, self.facility, self.ident, self.pid, self.text = -1, -1, "", 0, raw.decode("utf-8", "replace")
            return
        pri = int(m.group(1))
        self.priority, self.facility = pri & 7, pri >> 3
        self.ident = m.group(2).decode()
        self.pid = int(m.group(3)) if m.group(3) else 0
        self.text = m.group(4).decode("utf-8", "replace")

    def __repr__(self):
        return "<%s [%d] %r>" % (PRIORITY_NAMES.get(self.priority, self.priority), self.pid, self.text)


class Sandbox:
    def __init__(self, build_dir):
        self.build_dir = build_dir
        self.records = []
        self.exits = {}
        self._lock = threading.Condition()
        self._stop = False
        self.stdio_kept = False
        check(os.getpid() == 1, "the sandbox must run as pid 1 of its own pid namespace")
        self._make_world()
        threading.Thread(target=self._record_syslog, daemon=True).start()
        threading.Thread(target=self._reap, daemon=True).start()

    # ------------------------------------------------------------ world

    def _make_world(self):
        mount("none", "/", None, MS_REC | MS_PRIVATE)
        mount("proc", "/proc", "proc")
        mount("tmpfs", "/run", "tmpfs", 0, "mode=755")
        kept = self._host_tmp_trees()
        for i, top in enumerate(kept):  # parked on the fresh /run while the tmpfs covers /tmp
            os.mkdir("/run/.kept%d" % i)
            mount(top, "/run/.kept%d" % i, None, MS_BIND | MS_REC)
        mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777")
        for i, top in enumerate(kept):
            os.mkdir(top)
            mount("/run/.kept%d" % i, top, None, MS_MOVE)
            os.rmdir("/run/.kept%d" % i)
        host_dev = "/tmp/.hostdev"
        os.mkdir(host_dev)
        mount("/dev", host_dev, None, MS_BIND | MS_REC)
        mount("tmpfs", "/dev", "tmpfs", 0, "mode=755")
        for name in ("null", "zero", "full", "random", "urandom"):
            open("/dev/" + name, "w").close()
            mount(host_dev + "/" + name, "/dev/" + name, None, MS_BIND)
        self.log_socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.log_socket.bind("/dev/log")
        self.log_socket.settimeout(0.2)
        os.makedirs(RECORD_DIR)

    def _host_tmp_trees(self):
        """The build and source trees that live under the host's /tmp stay where they are."""
        source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
        tops = set()
        for path in (os.path.realpath(self.build_dir), source):
            parts = path.split("/")
            if len(parts) > 2 and parts[1] == "tmp":
                top = "/tmp/" + parts[2]
                check(top not in (TREE, RECORD_DIR, "/tmp/.hostdev"), "%s is the sandbox's own; build elsewhere" % top)
                tops.add(top)
        return sorted(tops)

    def keep_stdio(self):
        """Makes /dev/null a plain file: daemon() then fails and the daemon keeps the launcher's streams."""
        if self.stdio_kept:
            return
        if _libc.umount2(b"/dev/null", 0) != 0:
            raise OSError(ctypes.get_errno(), "umount /dev/null")
        self.stdio_kept = True

    def _record_syslog(self):
        while not self._stop:
            try:
                data = self.log_socket.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                self.records.append(Record(data, time.monotonic()))
                self._lock.notify_all()

    def _reap(self):
        # As pid 1 we inherit every orphan: reap them all and keep their statuses.
        while not self._stop:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                pid = 0
            if pid > 0:
                code = os.waitstatus_to_exitcode(status)
                with self._lock:
                    self.exits[pid] = code
                    self._lock.notify_all()
                continue
            time.sleep(0.02)

    # ------------------------------------------------------------ processes

    def spawn(self, argv, cwd="/", env=None, before_exec=None, stdio=None, path=None):
        """Starts argv (executing path, else argv[0]) in a child; returns its pid."""
        env = dict(os.environ if env is None else env)
        pid = os.fork()
        if pid == 0:
            try:
                # Launch as a shell would: nothing of this runner's survives but what the case asks for.
                os.closerange(3, os.sysconf("SC_OPEN_MAX"))
                for sig in (signal.SIGPIPE, signal.SIGXFSZ):
                    signal.signal(sig, signal.SIG_DFL)
                os.umask(0o022)
                os.chdir(cwd)
                if stdio is not None:
                    fd = os.open(stdio, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
                    os.dup2(fd, 1)
                    os.dup2(fd, 2)
                if before_exec is not None:
                    before_exec()
                os.execve(path or argv[0], argv, env)
            except BaseException as e:  # noqa: BLE001 - the child must never return into the case
                os.write(2, ("spawn %s: %s\n" % (argv[0], e)).encode())
            os._exit(127)
        return pid

    def wait_exit(self, pid, timeout=5.0):
        """The exit status of a process that ends here (negative: killed by that signal)."""
        self.wait_for(lambda: pid in self.exits, timeout, "pid %d to exit" % pid)
        return self.exits[pid]

    def alive(self, pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False

    def processes(self):
        """pid -> command line of every live process of the sandbox but this one."""
        out = {}
        for name in os.listdir("/proc"):
            if name.isdigit() and int(name) != 1 and self.alive(int(name)):
                try:
                    with open("/proc/%s/cmdline" % name, "rb") as f:
                        out[int(name)] = [a.decode() for a in f.read().split(b"\0")[:-1]]
                except OSError:
                    pass
        return out

    # ------------------------------------------------------------ waiting

    def wait_for(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                value = predicate()
                if value:
                    return value
                left = deadline - time.monotonic()
                if left <= 0:
                    raise CaseFailure("timed out after %.1fs waiting for %s; log so far:\n%s"
                                      % (timeout, what, self.format_log()))
                self._lock.wait(min(left, 0.1))

    def wait_record(self, text, priority=None, start=0, timeout=2 * CYCLE, pid=None):
        """The first record at or after index start whose text matches (str: exact, re: search)."""
        def find():
            for i in range(start, len(self.records)):
                r = self.records[i]
                if self._matches(r, text, priority, pid):
                    return (i, r)
            return None
        return self.wait_for(find, timeout, "record %r" % (text,))

    @staticmethod
    def _matches(r, text, priority, pid):
        if priority is not None and r.priority != priority:
            return False
        if pid is not None and r.pid != pid:
            return False
        if isinstance(text, str):
            return r.text == text
        return text.search(r.text) is not None

    def count(self, text, priority=None, start=0, end=None, pid=None):
        with self._lock:
            recs = self.records[start:end]
        return sum(1 for r in recs if self._matches(r, text, priority, pid))

    def transcript(self, start=0, end=None, pid=None):
        with self._lock:
            recs = self.records[start:end]
        return [(r.priority, r.text) for r in recs if pid is None or r.pid == pid]

    def format_log(self):
        return "\n".join("  %7s [%d] %r" % (PRIORITY_NAMES.get(r.priority, r.priority), r.pid, r.text)
                         for r in self.records)

    def expect_transcript(self, expected, start=0, end=None, pid=None):
        got = self.transcript(start, end, pid)
        check(got == expected, "transcript differs\n expected: %r\n got:      %r" % (expected, got))

    def expect_by_pid(self, start, expected):
        """Each process's own transcript exactly, and no other record: children log concurrently with the pass
        that forked them."""
        got = {}
        for r in self.records[start:]:
            got.setdefault(r.pid, []).append((r.priority, r.text))
        check(got == expected, "transcripts differ\n expected: %r\n got:      %r" % (expected, got))

    def expect_run(self, daemon, start, expected, children=()):
        """The daemon's own records exactly; each child's spawn record, which may land among them anywhere."""
        want = {daemon: expected}
        want.update({child: info(spawned(path, child)) for path, child in children})
        self.expect_by_pid(start, want)

    @staticmethod
    def expect_streams(expected, path=OUT, ordered=False):
        """The daemon's standard output and error, each text exactly once (in this order if ordered)."""
        got = lines(path)
        check(got == expected if ordered else sorted(got) == sorted(expected), "streams: %r" % got)

    # ------------------------------------------------------------ the tree and the daemon

    def make_tree(self, root=TREE, monitor="fixture", watch_list=None, programs=()):
        """An installation tree: bin/vemo-watchdog, bin/vemo-monitor, etc/watching-list.conf, and a fixture copy
        bin/NAME for each NAME of programs."""
        os.makedirs(root + "/bin", exist_ok=True)
        os.makedirs(root + "/etc", exist_ok=True)
        shutil.copy2(self.built("vemo-watchdog"), root + "/bin/vemo-watchdog")
        if monitor == "fixture":
            shutil.copy2(self.fixture_path(), root + "/bin/vemo-monitor")
        elif monitor is not None:
            self.write(root + "/bin/vemo-monitor", monitor, 0o755)
        if watch_list is not None:
            self.write(root + "/etc/watching-list.conf", watch_list)
        for name in programs:
            self.install(name, root=root)
        return root

    def install(self, name, source=None, root=TREE):
        """bin/NAME in the tree: a copy of source, by default of the fixture, so records tell entries apart."""
        path = "%s/bin/%s" % (root, name)
        shutil.copy2(source or self.fixture_path(), path)
        return path

    def built(self, *parts):
        return os.path.join(self.build_dir, *parts)

    def fixture_path(self):
        return self.built("tests", "vemo-fixture")

    @staticmethod
    def remove(path):
        shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)

    def wait_pid_file_back(self, pid, what):
        """The own pid file, removed, back with pid's number and lock."""
        self.wait_for(lambda: os.path.exists(OWN_PID_FILE) and read(OWN_PID_FILE) == "%d\n" % pid, CYCLE + 2, what)
        check(self.lock_holder(OWN_PID_FILE) == pid, "the daemon holds the lock on its new pid file")

    @staticmethod
    def write(path, text, mode=0o644):
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)

    def daemon_env(self, extra=None):
        env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "VEMO_FIXTURE_DIR": RECORD_DIR}
        # A sanitizer build reports through these; the daemon must see them too.
        env.update({k: v for k, v in os.environ.items() if k in ("ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")})
        env.update(extra or {})
        return env

    def start_watchdog(self, root=TREE, argv0=None, cwd=None, env=None, before_exec=None, stdio=None):
        """Launches the watchdog as an operator would; returns the launcher's pid."""
        argv0 = argv0 or root + "/bin/vemo-watchdog"
        cwd = cwd or root
        path = argv0 if argv0.startswith("/") else os.path.join(cwd, argv0)
        env = self.daemon_env() if env is None else env
        return self.spawn([argv0], cwd=cwd, env=env, before_exec=before_exec, stdio=stdio, path=path)

    def start_daemon(self, root=TREE, **kw):
        """Launches the watchdog and waits for this one's start; returns (daemon pid, index of its start record)."""
        start = len(self.records)
        check(self.wait_exit(self.start_watchdog(root, **kw)) == 0, "the launching command must return 0")
        i, r = self.wait_record(STARTED, LOG_INFO, start=start, timeout=5)
        return r.pid, i

    def start_refused(self, reason, **kw):
        """Launches a watchdog that cannot take its own lock: the launcher returns 0, the background copy logs
        why and ends with 254. Returns that copy's pid and the index the launch started at."""
        start = len(self.records)
        check(self.wait_exit(self.start_watchdog(**kw)) == 0, "the launching command still returns 0")
        i, r = self.wait_record(ACQUIRE, LOG_ERR, start=start, timeout=5)
        check(self.wait_exit(r.pid) == 254, "the background copy ends with 254")
        self.wait_record(reason, LOG_ERR, start=i, pid=r.pid, timeout=5)  # may trail the exit
        self.expect_transcript([(LOG_ERR, ACQUIRE), (LOG_ERR, reason)], start=i, pid=r.pid)
        return r.pid, start

    def stop_daemon(self, pid):
        """SIGTERM; the exit status, once an orderly stop's last record is in too (it may trail the exit)."""
        os.kill(pid, signal.SIGTERM)
        code = self.wait_exit(pid, timeout=CYCLE + 3)
        if code == 0:
            self.wait_record(STOPPED, LOG_INFO, pid=pid, timeout=5)
        return code

    # ------------------------------------------------------------ locks and fixture records

    @staticmethod
    def lock_holder(path):
        """The pid the kernel names as holder of the whole-file write lock, or 0."""
        try:
            fd = os.open(path, os.O_RDONLY)
        except OSError:
            return 0
        try:
            query = struct.pack("hhqqi", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)
            res = fcntl.fcntl(fd, fcntl.F_GETLK, query)
            l_type, _, _, _, l_pid = struct.unpack("hhqqi", res)
            return 0 if l_type == fcntl.F_UNLCK else l_pid
        finally:
            os.close(fd)

    def wait_lock(self, path, timeout=2 * CYCLE, other_than=0):
        return self.wait_for(lambda: (lambda h: h if h and h != other_than else 0)(self.lock_holder(path)),
                             timeout, "a holder of %s" % path)

    def wait_monitor(self, start, timeout=3):
        """The monitor's pid once it holds its lock and its own spawn record is in: that record may still be on
        its way when the lock is taken."""
        pid = self.wait_lock(MONITOR_PID_FILE, timeout=timeout)
        self.wait_record(spawned(MONITOR, pid), LOG_INFO, start=start, pid=pid, timeout=timeout)
        return pid

    @staticmethod
    def fixture_records():
        out = []
        for name in sorted(os.listdir(RECORD_DIR)):
            if name.endswith(".rec"):
                with open(os.path.join(RECORD_DIR, name)) as f:
                    out.append(json.load(f))
        return out

    def wait_fixture(self, predicate, timeout=2 * CYCLE, what="a fixture record"):
        def find():
            recs = [r for r in self.fixture_records() if predicate(r)]
            return recs or None
        return self.wait_for(find, timeout, what)

    @staticmethod
    def terms(pid):
        try:
            with open("%s/%d.term" % (RECORD_DIR, pid)) as f:
                return len(f.readlines())
        except OSError:
            return 0

    def close(self):
        self._stop = True


CASES = {}


def case(func):
    """Registers an end-to-end case under its function name."""
    CASES[func.__name__] = func
    return func


def case_table(run, rows):
    """Registers one case per row, named by its first field: run(sb, *the other fields)."""
    for name, *fields in rows:
        CASES[name] = lambda sb, fields=fields: run(sb, *fields)
