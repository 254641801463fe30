"""Edges of the start-up and of the lock: closed standard streams, fork refused, holders the kernel
does not name, and the own lock lost at renewal."""

import fcntl
import os
import resource
import signal
import struct

from sandbox import (ACQUIRE, APP, CYCLE, LOG_ERR, LOG_INFO, LOG_WARNING, MONITOR, MONITOR_PID_FILE, OUT,
                     OWN_PID_FILE, RUN_DIR, STARTED, STOPPED, WATCH_LIST, Sandbox, case, check, entry, held_by, info,
                     not_running, note, read, spawned)
from waits import run_passes, stop_after_pass, wait_pause, wait_stopped

F_OFD_SETLK = getattr(fcntl, "F_OFD_SETLK", 37)
UNNAMED = "Lock file %s exists, but can't read process ID\n"

def hold_unnamed(path):
    """An open-file-description lock: the kernel reports it with no pid (l_pid -1). Returns its descriptor."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    fcntl.fcntl(fd, F_OFD_SETLK, struct.pack("hhqqi", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0))
    check(Sandbox.lock_holder(path) == -1, "%s is held without a pid" % path)
    return fd


@case
def launched_with_standard_streams_closed(sb):
    """Descriptors 0-2 closed at launch: the daemon puts /dev/null there before its log, keeps logging, and a
    child gets /dev/null on 0-2 and nothing else."""
    sb.make_tree(watch_list=entry(1, "app"), programs=["app"])

    def close_standard_streams():
        for fd in (0, 1, 2):
            os.close(fd)

    pid, first = sb.start_daemon(before_exec=close_standard_streams)
    app = sb.wait_lock("/var/run/app/app.pid", timeout=3)
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=3)
    for rec in sb.wait_fixture(lambda r: r["pid"] in (app, monitor), what="both records"):
        got = (rec["fds"], rec["stdio"])
        check(got == ([0, 1, 2], ["/dev/null"] * 3), "pid %d got descriptors %r" % (rec["pid"], got))
    streams = [os.readlink("/proc/%d/fd/%d" % (pid, fd)) for fd in (0, 1, 2)]
    check(streams == ["/dev/null"] * 3, "the daemon's own 0-2: %r" % streams)
    check(sb.stop_daemon(pid) == 0, "orderly stop")
    sb.expect_transcript(info(STARTED, not_running(MONITOR), not_running(APP), STOPPED), start=first, pid=pid)


@case
def fork_refused(sb):
    """fork fails (a process limit of one for the daemon's user): every pass reports each start as failed,
    and a refused daemon() leaves the watchdog supervising in the foreground."""
    uid = 54242  # a user of its own: the limit counts every process of the user
    os.makedirs(RUN_DIR)
    os.chown(RUN_DIR, uid, uid)
    os.chmod("/dev/log", 0o666)
    sb.make_tree(watch_list="1:%s/app.pid:%s\n" % (RUN_DIR, APP), programs=["app"])

    def one_process_user():
        resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
        os.setgroups([])
        os.setgid(uid)
        os.setuid(uid)

    env = sb.daemon_env()
    if "ASAN_OPTIONS" in env:  # the leak check at exit needs a thread, which the limit refuses
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    pid = sb.start_watchdog(before_exec=one_process_user, stdio=OUT, env=env)
    sb.wait_record(STARTED, LOG_INFO, timeout=5, pid=pid)
    failed = [(LOG_ERR, "spawning process %s failure\n" % p) for p in (MONITOR, APP)]
    sb.wait_record(failed[1][1], LOG_ERR, pid=pid, timeout=3)
    stop_after_pass(sb, pid)
    sb.expect_transcript(info(STARTED, not_running(MONITOR)) + failed[:1] + info(not_running(APP)) + failed[1:]
                         + info(STOPPED), pid=pid)
    error = "error: %s\n" % os.strerror(11)
    sb.expect_streams([not_running(MONITOR), error, not_running(APP), error, note(pid)])
    check(sb.lock_holder(MONITOR_PID_FILE) == 0 and not sb.fixture_records(), "nothing was started")


@case
def holders_without_a_pid(sb):
    """Locks the kernel reports without a pid: an enabled entry's warning, a disabled entry left unsignalled,
    and the own lock refused at start with exit 254, the stream text and the log text each as they are."""
    os.makedirs("/var/run/nm")
    on, off = "/var/run/nm/on.pid", "/var/run/nm/off.pid"
    sb.make_tree(watch_list="1:%s:%s\n0:%s:%s\n" % (on, APP, off, APP), programs=["app"])
    held = [hold_unnamed(p) for p in (on, off)]
    # daemon() keeps the streams without a real /dev/null
    pid, first = run_passes(sb, UNNAMED % on, 2, 2 * CYCLE + 2, streams=True)
    monitor = sb.lock_holder(MONITOR_PID_FILE)
    each_pass = [(LOG_WARNING, UNNAMED % on), (LOG_INFO, "%s was disabled.\n" % APP)]
    sb.expect_transcript(info(STARTED, not_running(MONITOR)) + each_pass * 2 + info(STOPPED), start=first, pid=pid)
    sb.expect_streams([not_running(MONITOR), spawned(MONITOR, monitor), UNNAMED % on,
                       held_by(MONITOR_PID_FILE, monitor), UNNAMED % on, note(pid)])
    check(sb.lock_holder(on) == -1 and not [r for r in sb.fixture_records() if r["argv"][0] == APP],
          "the held entry was never started")

    # The own lock held the same way: the detached copy ends with 254.
    os.unlink(OUT)
    held.append(hold_unnamed(OWN_PID_FILE))
    sb.start_refused("(Lock file exists, but can't read process ID)\n", stdio=OUT)
    check(read(OUT) == "WARNING: " + ACQUIRE + " (Lock file exists, but can't read process ID)\n",
          "standard error: %r" % read(OUT))
    for fd in held:
        os.close(fd)


@case
def own_lock_lost_at_renewal(sb):
    """Whoever holds the own pid file at a renewal ends the watchdog with 254: a second watchdog that found the
    file removed, and a program whose enabled entry names the watchdog's own pid file."""
    sb.make_tree(programs=["app"])

    def ends_254(pid, first, pass_record, holder):
        """pid's pass logs pass_record, its renewal finds holder on the lock: it logs why and ends with 254."""
        check(sb.wait_exit(pid, timeout=CYCLE + 3) == 254, "the watchdog ends with 254")
        reason = "(Lock file held by process ID %d)\n" % holder
        sb.wait_record(reason, LOG_ERR, start=first, pid=pid, timeout=5)  # may trail the exit
        sb.expect_transcript(info(STARTED, pass_record) + [(LOG_ERR, ACQUIRE), (LOG_ERR, reason)], start=first, pid=pid)

    # Held still while its pid file is replaced, so the rival surely takes the new one first.
    pid, first = sb.start_daemon()
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=3)
    wait_pause(sb, pid, 10)
    os.kill(pid, signal.SIGSTOP)
    wait_stopped(sb, pid)
    os.unlink(OWN_PID_FILE)
    rival, rival_first = sb.start_daemon()
    os.kill(pid, signal.SIGCONT)
    ends_254(pid, first, not_running(MONITOR), rival)
    check(sb.lock_holder(OWN_PID_FILE) == rival and read(OWN_PID_FILE) == "%d\n" % rival, "the rival holds it")
    stop_after_pass(sb, rival, "the rival stops in order")
    sb.expect_transcript(info(STARTED, STOPPED), start=rival_first, pid=rival)

    # The probe of an entry naming the own pid file drops the watchdog's own lock; its program takes it.
    sb.write(WATCH_LIST, "1:%s:%s:--pidfile=%s\n" % (OWN_PID_FILE, APP, OWN_PID_FILE))
    pid, first = sb.start_daemon()
    app = sb.wait_lock(OWN_PID_FILE, timeout=3, other_than=pid)
    ends_254(pid, first, not_running(APP), app)
    check(sb.lock_holder(OWN_PID_FILE) == app and sb.lock_holder(MONITOR_PID_FILE) == monitor,
          "the program keeps the lock, the monitor runs on")
