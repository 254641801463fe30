"""Stop and reload signals as an operator sends them, and where in the cycle they take effect."""

import fcntl
import os
import shutil
import signal
import time

from sandbox import CYCLE, LOG_ERR, LOG_INFO, MONITOR_PID_FILE, OWN_PID_FILE, TREE, VERSION, case, check, read
from waits import stop_in_pause, wait_delivered, wait_pause

STARTED = "vemo-watchdog_%s started.\n" % VERSION
STOPPED = "vemo-watchdog_%s stopped.\n" % VERSION
MONITOR = TREE + "/bin/vemo-monitor"
LIST = TREE + "/etc/watching-list.conf"
CONF = TREE + "/bin/../etc/watching-list.conf"
OFF = "/opt/off-marker"  # a disabled entry: its record marks every pass


def signal_in_short_pause(sb, pid, first, sig):
    """Sends sig in the first 1 s pause after the start, the daemon held stopped inside it, so the signal
    cuts exactly that pause short; returns when it was let go, and the spawn record of the pass that follows."""
    stop_in_pause(sb, pid, 1)
    check(sb.count(STARTED, start=first) == len(sb.records) - first, "no pass ran before the signal")
    os.kill(pid, sig)
    sent = time.monotonic()
    os.kill(pid, signal.SIGCONT)
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=5)
    return sent, sb.wait_record("process %s (%d) spawned\n" % (MONITOR, monitor), LOG_INFO, start=first, timeout=5)[1]


def install(sb, name):
    """A copy of the fixture under its own name, so records tell the entries apart."""
    path = "%s/bin/%s" % (TREE, name)
    shutil.copy2(sb.fixture_path(), path)
    return path


def pid_file(name):
    return "/var/run/%s/%s.pid" % (name, name)


def entry(flag, name, *args):
    """A watch-list line for the fixture copy `name`, locking its own pid file."""
    fields = [flag, pid_file(name), "%s/bin/%s" % (TREE, name), "--pidfile=" + pid_file(name)] + list(args)
    return ":".join(fields) + "\n"


def launch(sb, **kw):
    """start_daemon for a case that runs several watchdogs one after another."""
    start = len(sb.records)
    check(sb.wait_exit(sb.start_watchdog(**kw)) == 0, "the launching command returns 0")
    i, r = sb.wait_record(STARTED, LOG_INFO, start=start, timeout=5)
    return r.pid, i


def kernel_signal(pid, sig):
    """Makes the kernel itself send sig to pid (si_code POLL_IN): data arriving on a pipe that pid owns."""
    r, w = os.pipe()
    fcntl.fcntl(r, fcntl.F_SETOWN, pid)
    fcntl.fcntl(r, fcntl.F_SETSIG, sig)
    fcntl.fcntl(r, fcntl.F_SETFL, os.O_ASYNC)
    os.write(w, b"x")
    os.close(r)
    os.close(w)


def expect_run(sb, daemon, start, expected, children):
    """The daemon's own records exactly; each child's spawn record, which may land among them anywhere."""
    sb.expect_transcript(expected, start=start, pid=daemon)
    for path, child in children:
        sb.expect_transcript([(LOG_INFO, "process %s (%d) spawned\n" % (path, child))], start=start, pid=child)
    check(len(sb.records) - start == len(expected) + len(children), "no other record:\n" + sb.format_log())


@case
def stop_signals_during_long_pause(sb):
    """Each stop signal cuts the 10 s pause short: lock renewed, stop logged, exit 0, the monitor keeps running."""
    sb.make_tree(watch_list="0:/var/run/off.pid:%s\n" % OFF)
    sb.keep_stdio()
    rows = [  # name, signal, sender, the note's tail on standard output
        ("SIGTERM", signal.SIGTERM, os.kill, "User Sig 15 from pid: 1 uid: 0"),
        ("SIGHUP", signal.SIGHUP, os.kill, "User Sig 1 from pid: 1 uid: 0"),
        ("SIGINT", signal.SIGINT, os.kill, "User Sig 2 from pid: 1 uid: 0"),
        ("SIGQUIT", signal.SIGQUIT, os.kill, "User Sig 3 from pid: 1 uid: 0"),
        ("SIGHUP from the kernel", signal.SIGHUP, kernel_signal, "Kernel Sig 1, Reason: 1"),
    ]
    monitor = 0
    for n, (name, sig, send, note) in enumerate(rows):
        out = "/tmp/out%d" % n
        pid, first = launch(sb, stdio=out)
        sb.wait_record(OFF + " was disabled.\n", LOG_INFO, start=first, timeout=3)
        spawned = []
        if not monitor:
            monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=1)
            spawned = [(MONITOR, monitor)]
        os.unlink(OWN_PID_FILE)
        wait_pause(sb, pid, 10)
        sent = time.monotonic()
        send(pid, sig)
        check(sb.wait_exit(pid, timeout=CYCLE / 2) == 0, "%s: orderly stop exits 0, long before the pause ends" % name)
        _, stop = sb.wait_record(STOPPED, LOG_INFO, start=first, timeout=1)
        check(stop.when - sent < CYCLE / 2, "%s: stopped %.2fs after the signal" % (name, stop.when - sent))
        running = [(LOG_INFO, "%s is not running.\n" % MONITOR)] if spawned else []
        expect_run(sb, pid, first, [(LOG_INFO, STARTED)] + running + [(LOG_INFO, OFF + " was disabled.\n"),
                                                                     (LOG_INFO, STOPPED)], spawned)
        check(read(OWN_PID_FILE) == "%d\n" % pid, "%s: the lock was renewed before the stop" % name)
        check(sb.lock_holder(MONITOR_PID_FILE) == monitor, "%s: the monitor keeps running and locked" % name)
        texts = ["%s is not running.\n" % MONITOR, "process %s (%d) spawned\n" % spawned[0]] if spawned else [
            "Lock file %s held by process %d\n" % (MONITOR_PID_FILE, monitor)]
        texts.append("NOTE: vemo_watchdog (%d) received %s\n" % (pid, note))
        check(sorted(read(out).splitlines(True)) == sorted(texts), "%s: standard output %r" % (name, read(out)))


@case
def stop_during_short_pause(sb):
    """SIGTERM in the 1 s pause: that cycle's pass runs at once, then the whole 10 s pause, then the stop."""
    sb.make_tree()
    pid, first = sb.start_daemon()
    sent, spawned = signal_in_short_pause(sb, pid, first, signal.SIGTERM)
    monitor = spawned.pid
    check(sb.wait_exit(pid, timeout=CYCLE + 3) == 0, "orderly stop exits 0")
    _, stop = sb.wait_record(STOPPED, LOG_INFO, start=first, timeout=1)
    # The pass and the whole 10 s pause lie between the signal and the stop (0.1 s for the clocks' rates).
    check(stop.when - sent >= 9.9, "the full pause first: stopped %.2fs after the signal" % (stop.when - sent))
    expect_run(sb, pid, first, [(LOG_INFO, STARTED), (LOG_INFO, "%s is not running.\n" % MONITOR),
                                (LOG_INFO, STOPPED)], [(MONITOR, monitor)])
    check(sb.lock_holder(MONITOR_PID_FILE) == monitor, "the monitor keeps running and locked")


@case
def reload_edits_the_list(sb):
    """SIGUSR1 twice in the 10 s pause: lock renewed, ONE reload after the next 1 s pause; B started, A left alone."""
    sb.make_tree(watch_list=entry("1", "prog-a"))
    a, b = install(sb, "prog-a"), install(sb, "prog-b")
    pid, first = sb.start_daemon()
    a_pid = sb.wait_lock(pid_file("prog-a"), timeout=3)
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=1)
    sb.write(LIST, "junk\n" + entry("1", "prog-b") + "0:/var/run/off.pid:%s\n" % OFF)
    os.unlink(OWN_PID_FILE)
    # Held stopped in the 10 s pause, so both land in it; else the second may cut the next 1 s pause short.
    stop_in_pause(sb, pid, 10)
    os.kill(pid, signal.SIGUSR1)
    os.kill(pid, signal.SIGUSR1)
    sent = time.monotonic()
    os.kill(pid, signal.SIGCONT)
    _, r = sb.wait_record("Invalid line [junk] in config file %s." % CONF, LOG_ERR, start=first, timeout=5)
    # Taken before SIGCONT, so the whole 1 s pause lies after it; the next 10 s pause lies far beyond.
    check(0.99 <= r.when - sent < CYCLE / 2, "read right after the next 1 s pause: %.2fs" % (r.when - sent))
    check(read(OWN_PID_FILE) == "%d\n" % pid, "the lock was renewed when the pause was cut")
    b_pid = sb.wait_lock(pid_file("prog-b"), timeout=3)
    sb.wait_for(lambda: sb.count(OFF + " was disabled.\n", start=first) == 2, CYCLE + 3, "the next pass")
    wait_pause(sb, pid, 10)
    check(sb.stop_daemon(pid) == 0, "orderly stop")
    off = (LOG_INFO, OFF + " was disabled.\n")
    expect_run(sb, pid, first, [
        (LOG_INFO, STARTED), (LOG_INFO, "%s is not running.\n" % MONITOR), (LOG_INFO, "%s is not running.\n" % a),
        (LOG_ERR, "Invalid line [junk] in config file %s." % CONF), (LOG_INFO, "%s is not running.\n" % b), off,
        off, (LOG_INFO, STOPPED)], [(MONITOR, monitor), (a, a_pid), (b, b_pid)])
    check(sb.lock_holder(pid_file("prog-a")) == a_pid and sb.terms(a_pid) == 0, "A runs on, never signalled")
    rec = sb.wait_fixture(lambda rec: rec["pid"] == b_pid)[0]
    check(rec["argv"] == [b, "--pidfile=" + pid_file("prog-b")], "B's arguments: %r" % rec["argv"])


@case
def reload_in_short_pause_without_list(sb):
    """SIGUSR1 in the first 1 s pause, the list file gone: that pass runs at once, on the monitor entry alone."""
    sb.make_tree(watch_list=entry("1", "prog-a"))
    install(sb, "prog-a")
    pid, first = sb.start_daemon()
    os.unlink(LIST)
    monitor = signal_in_short_pause(sb, pid, first, signal.SIGUSR1)[1].pid
    wait_pause(sb, pid, 10)
    check(sb.stop_daemon(pid) == 0, "orderly stop")
    expect_run(sb, pid, first, [(LOG_INFO, STARTED), (LOG_INFO, "%s is not running.\n" % MONITOR),
                                (LOG_INFO, STOPPED)], [(MONITOR, monitor)])
    check(not os.path.exists("/var/run/prog-a"), "the entry read at start-up left the table unseen")


@case
def reload_requested_during_reload_is_kept(sb):
    """A SIGUSR1 that lands while the list is being read brings one more reload, with the list as it is then."""
    sb.make_tree(monitor=None, watch_list="")
    x = install(sb, "x")
    install(sb, "y")
    pid, _ = sb.start_daemon()
    # A FIFO holds the daemon inside its reload until this case lets it go.
    os.unlink(LIST)
    os.mkfifo(LIST)
    os.kill(pid, signal.SIGUSR1)
    writer = os.open(LIST, os.O_WRONLY)
    os.write(writer, entry("1", "x").encode())
    with open(LIST + ".new", "w") as f:
        f.write(entry("1", "y"))
    os.rename(LIST + ".new", LIST)
    os.kill(pid, signal.SIGUSR1)
    wait_delivered(sb, pid, signal.SIGUSR1)  # handled while the daemon still reads the first list
    os.close(writer)
    sb.wait_record("process %s (%d) spawned\n" % (x, sb.wait_lock(pid_file("x"), timeout=3)), LOG_INFO, timeout=3)
    sb.wait_lock(pid_file("y"), timeout=CYCLE + 2)
    check(sb.lock_holder(pid_file("x")) != 0, "x, dropped from the list, keeps running")
    check(sb.stop_daemon(pid) == 0, "orderly stop")
