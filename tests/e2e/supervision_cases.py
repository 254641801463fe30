"""The supervision pass as seen from outside: what is started, stopped and reported, and what a child gets."""

import ctypes
import fcntl
import os
import re
import shutil
import signal
import struct
import time

from sandbox import (APP, CYCLE, LOG_ERR, LOG_INFO, LOG_WARNING, MONITOR, MONITOR_PID_FILE, MS_NOEXEC, OUT,
                     OWN_PID_FILE, STARTED, STOPPED, TREE, case, check, held_by, info, mount, not_running, note,
                     spawned)
from waits import run_passes

HERE = "/tmp/here"
ACCT = "/tmp/acct"


def spawned_pids(sb, start, prog):
    return [r.pid for r in sb.records[start:] if r.text == spawned(prog, r.pid)]


def fixture_recs(sb, pids):
    """The fixture records of exactly these pids, in this order."""
    def find():
        recs = {rec["pid"]: rec for rec in sb.fixture_records() if rec["pid"] in pids}
        return [recs[p] for p in pids] if len(recs) == len(pids) else None
    return sb.wait_for(find, 3, "records of %r" % (pids,))


def leave_stray_descriptor():
    """A careless launcher: descriptor 9 stays open across exec and must not reach the children."""
    os.dup2(os.open("/dev/null", os.O_RDONLY), 9)


def account_exits():
    """Process accounting is per pid namespace: it keeps the exit status of children nobody can wait for."""
    open(ACCT, "wb").close()
    libc = ctypes.CDLL(None, use_errno=True)
    check(libc.acct(ACCT.encode()) == 0, "acct: %s" % os.strerror(ctypes.get_errno()))


def accounted_exits(sb, pids):
    """(raw exit status, command name) of each of pids, once all have ended."""
    def find():
        with open(ACCT, "rb") as f:
            data = f.read()
        fields = [struct.unpack("<bBHIIIIIIf8H16s", data[i:i + 64]) for i in range(0, len(data) - 63, 64)]
        out = {f[6]: (f[3], f[-1].rstrip(b"\0").decode()) for f in fields}
        return [out[p] for p in pids] if all(p in out for p in pids) else None
    return sb.wait_for(find, 3, "the exits of %r" % (pids,))


@case
def monitor_restarted_after_kill(sb):
    """A killed monitor is started again within a cycle; a running one only earns the stdout note."""
    sb.make_tree()
    sb.keep_stdio()
    pid, first = sb.start_daemon(stdio=OUT)
    m1 = sb.wait_record(re.compile("spawned"), LOG_INFO, start=first, timeout=3)[1].pid
    check(sb.wait_lock(MONITOR_PID_FILE, timeout=3) == m1, "the spawned monitor holds its lock")
    rec = fixture_recs(sb, [m1])[0]
    check((rec["argv"], rec["ppid"]) == ([MONITOR], pid), "argv[0] resolved, the daemon's child: %r" % rec)

    time.sleep(max(0, sb.records[first].when + CYCLE + 3 - time.monotonic()))  # after the quiet second pass
    sb.expect_transcript(info(STARTED, not_running(MONITOR), spawned(MONITOR, m1)), start=first)
    os.kill(m1, signal.SIGKILL)
    killed = time.monotonic()
    _, r = sb.wait_record(re.compile("spawned"), LOG_INFO, start=first + 3, timeout=CYCLE + 2)
    check(r.when - killed <= CYCLE, "restarted within one cycle (%.1fs)" % (r.when - killed))
    m2 = r.pid
    check(sb.wait_lock(MONITOR_PID_FILE, timeout=3) == m2 and not sb.alive(m1), "the new one holds the lock")

    check(sb.stop_daemon(pid) == 0, "orderly stop")
    sb.expect_transcript(info(STARTED, not_running(MONITOR), spawned(MONITOR, m1), not_running(MONITOR),
                              spawned(MONITOR, m2), STOPPED), start=first)
    sb.expect_streams([not_running(MONITOR), spawned(MONITOR, m1), held_by(MONITOR_PID_FILE, m1), not_running(MONITOR),
                       spawned(MONITOR, m2), note(pid)], ordered=True)


@case
def missing_monitor_reported_every_pass(sb):
    """No monitor in the tree: 'not running' then 'not found' with ENOENT at every pass, on stderr too."""
    sb.make_tree(monitor=None)
    pid, first = run_passes(sb, re.compile("not found"), 2, 2 * CYCLE, streams=True)
    missing = "%s not found : No such file or directory\n" % MONITOR
    sb.expect_transcript(info(STARTED) + [(LOG_INFO, not_running(MONITOR)), (LOG_WARNING, missing)] * 2
                         + info(STOPPED), start=first)
    sb.expect_streams([missing, missing, not_running(MONITOR), not_running(MONITOR), note(pid)])


@case
def lockless_program_started_every_cycle(sb):
    """A monitor that never takes its lock is started again at every pass, each copy left running."""
    fixture = sb.fixture_path()
    sb.make_tree(monitor="#!/bin/sh\nexec %s --no-lock\n" % fixture)
    pid, first = sb.start_daemon()
    sb.wait_for(lambda: len(spawned_pids(sb, first, MONITOR)) == 2, 2 * CYCLE + 2, "the second start")
    p1, p2 = spawned_pids(sb, first, MONITOR)
    recs = [(rec["pid"], rec["argv"], rec["ppid"]) for rec in fixture_recs(sb, [p1, p2])]
    check(recs == [(p, [fixture, "--no-lock"], pid) for p in (p1, p2)], "argv and parent: %r" % recs)
    check(sb.stop_daemon(pid) == 0, "orderly stop")
    sb.expect_transcript(info(STARTED, not_running(MONITOR), spawned(MONITOR, p1), not_running(MONITOR),
                              spawned(MONITOR, p2), STOPPED), start=first)
    check(sb.alive(p1) and sb.alive(p2) and sb.lock_holder(MONITOR_PID_FILE) == 0, "both run, neither locks")


@case
def started_program_inherits_only_stdio(sb):
    """Descriptors 0-2 on /dev/null, SIGPIPE and SIGCHLD ignored, start directory, environment, argv."""
    written = TREE + "/bin/../bin/app"
    sb.make_tree(watch_list="1:/var/run/app/app.pid:%s:--pidfile=/var/run/app/app.pid:-x:two words\n" % written,
                 programs=["app"])
    os.makedirs(HERE)
    pid, first = sb.start_daemon(cwd=HERE, env=sb.daemon_env({"VEMO_FIXTURE_MARK": "inherited"}),
                                 before_exec=leave_stray_descriptor)
    app = sb.wait_lock("/var/run/app/app.pid", timeout=3)
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=3)
    sb.wait_for(lambda: len(sb.records) >= first + 5, 2, "both spawn records")
    sb.expect_run(pid, first, info(STARTED, not_running(MONITOR), not_running(written)),
                  [(MONITOR, monitor), (APP, app)])
    check(oct(os.stat("/var/run/app").st_mode & 0o7777) == oct(0o755), "pid file directory has mode 0755")
    argv = {monitor: [MONITOR], app: [APP, "--pidfile=/var/run/app/app.pid", "-x", "two words"]}
    for rec in fixture_recs(sb, [monitor, app]):
        got = (rec["argv"], rec["ppid"], rec["fds"], rec["ignored"], rec["stdio"], rec["cwd"], rec["env_mark"])
        want = (argv[rec["pid"]], pid, [0, 1, 2], [13, 17], ["/dev/null"] * 3, HERE, "inherited")
        check(got == want, "pid %d received\n expected: %r\n got:      %r" % (rec["pid"], want, got))
    check(sb.stop_daemon(pid) == 0, "orderly stop")


@case
def exec_failure_in_child(sb):
    """A program on a noexec mount: the child reports the failure once, exits 0 and never cycles."""
    os.makedirs("/tmp/noexec")
    mount("tmpfs", "/tmp/noexec", "tmpfs", MS_NOEXEC)
    shutil.copy2(sb.fixture_path(), "/tmp/noexec/prog")
    sb.make_tree(watch_list="1:/var/run/ne/ne.pid:/tmp/noexec/prog:--flag\n")
    account_exits()
    failure = (LOG_ERR, "execute process /tmp/noexec/prog failure\n")
    pid, first = run_passes(sb, failure[1], 2, 2 * CYCLE, streams=True)

    m = sb.lock_holder(MONITOR_PID_FILE)
    c1, c2 = spawned_pids(sb, first, "/tmp/noexec/prog")
    exits = accounted_exits(sb, [c1, c2])
    check(exits == [(0, "vemo-watchdog")] * 2, "the failed children exit 0: %r" % exits)
    sb.expect_by_pid(first, {
        pid: info(STARTED, not_running(MONITOR), not_running("/tmp/noexec/prog"), not_running("/tmp/noexec/prog"),
                  STOPPED),
        m: info(spawned(MONITOR, m)),
        c1: info(spawned("/tmp/noexec/prog", c1)) + [failure], c2: info(spawned("/tmp/noexec/prog", c2)) + [failure]})
    ret = "ret = -1, error = Permission denied\n"
    sb.expect_streams([not_running(MONITOR), spawned(MONITOR, m), held_by(MONITOR_PID_FILE, m), note(pid)]
                      + [not_running("/tmp/noexec/prog")] * 2
                      + [spawned("/tmp/noexec/prog", c1), ret, spawned("/tmp/noexec/prog", c2), ret])


@case
def disabled_and_odd_entries(sb):
    """One watch list, one row per behaviour, three passes checked whole."""
    os.makedirs(HERE)
    os.makedirs("/var/run/dis")
    init_lock = os.open("/var/run/init.pid", os.O_RDWR | os.O_CREAT, 0o644)
    fcntl.lockf(init_lock, fcntl.LOCK_EX | fcntl.LOCK_NB)  # held by pid 1 for the whole case
    rows = [
        ("disabled, running until its second SIGTERM", "0:/var/run/dis/dis.pid:/bin/dis"),
        ("disabled, the pid file is our own", "0:%s:/bin/self" % OWN_PID_FILE),
        ("disabled, held by pid 1", "0:/var/run/init.pid:/bin/init"),
        ("empty program", "1:/var/run/x.pid:"),
        ("bare pid file name", "1:bare.pid:%s:--pidfile=bare.pid" % APP),
        ("pid file under a missing directory", "1:/var/run/miss/deeper/m.pid:%s" % APP),
        ("program is a directory", "1:/var/run/dirprog/d.pid:%s/bin" % TREE),
    ]
    sb.make_tree(watch_list="".join(line + "\n" for _, line in rows), programs=["app"])
    dis = sb.spawn([APP, "--pidfile=/var/run/dis/dis.pid", "--term-count=2"], env=sb.daemon_env())
    sb.wait_lock("/var/run/dis/dis.pid", timeout=3)
    last = (LOG_WARNING, "%s/bin not found : Is a directory\n" % TREE)
    pid, first = run_passes(sb, last[1], 3, 3 * CYCLE, cwd=HERE,
                            what="the watchdog survived its own pid file as an entry")

    monitor = sb.lock_holder(MONITOR_PID_FILE)
    bare = sb.lock_holder(HERE + "/bare.pid")
    every_pass = [(LOG_INFO, "/bin/self was disabled.\n"), (LOG_INFO, "/bin/init was disabled.\n"),
                  (LOG_ERR, "invalid value in g_supervisee_vec[4]\n")]
    tail = [(LOG_WARNING, "Lock file /var/run/miss/deeper/m.pid failure (No such file or directory)\n"),
            (LOG_INFO, not_running(TREE + "/bin")), last]
    disabled, term = info("/bin/dis was disabled.\n", "Sending SIGTERM to (%d:/bin/dis)\n" % dis)
    sb.expect_run(pid, first, info(STARTED, not_running(MONITOR)) + [disabled, term] + every_pass
                  + info(not_running(APP)) + tail + [disabled, term] + every_pass + tail + [disabled] + every_pass
                  + tail + info(STOPPED), [(MONITOR, monitor), (APP, bare)])
    check((sb.wait_exit(dis), sb.terms(dis)) == (0, 2), "the disabled program left after two SIGTERMs")
    check(os.path.isfile(HERE + "/bare.pid") and not os.path.exists(TREE + "/bare.pid"),
          "a bare pid file lives in the start directory, as a file")
    check(not os.path.exists("/var/run/miss"), "only the last directory component is ever made")
    os.close(init_lock)
