"""Stop and reload signals as an operator sends them, and where in the cycle they take effect."""

import fcntl
import os
import signal
import time

from sandbox import (CONF, CYCLE, LOG_ERR, LOG_INFO, MONITOR, MONITOR_PID_FILE, OWN_PID_FILE, STARTED, STOPPED,
                     WATCH_LIST, case, case_table, check, entry, held_by, info, not_running, note, pid_file, prog, read,
                     spawned)
from waits import open_files, stop_after_pass, stop_in_pause, wait_delivered, wait_pause, wait_stopped

OFF = "/opt/off-marker"  # a disabled entry: its record marks every pass
OFF_LINE = "0:/var/run/off.pid:%s\n" % OFF


def signal_in_short_pause(sb, pid, first, sig):
    """Sends sig in the first 1 s pause after the start, the daemon held stopped inside it, so the signal
    cuts exactly that pause short; returns when it was let go, and the spawn record of the pass that follows."""
    stop_in_pause(sb, pid, 1)
    check(sb.count(STARTED, start=first) == len(sb.records) - first, "no pass ran before the signal")
    os.kill(pid, sig)
    sent = time.monotonic()
    os.kill(pid, signal.SIGCONT)
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=5)
    return sent, sb.wait_record(spawned(MONITOR, monitor), LOG_INFO, start=first, timeout=5)[1]


def kernel_signal(pid, sig):
    """Makes the kernel itself send sig to pid (si_code POLL_IN): data arriving on a pipe that pid owns."""
    r, w = os.pipe()
    fcntl.fcntl(r, fcntl.F_SETOWN, pid)
    fcntl.fcntl(r, fcntl.F_SETSIG, sig)
    fcntl.fcntl(r, fcntl.F_SETFL, os.O_ASYNC)
    os.write(w, b"x")
    os.close(r)
    os.close(w)


@case
def stop_signals_during_long_pause(sb):
    """Each stop signal cuts the 10 s pause short: lock renewed, stop logged, exit 0, the monitor keeps running."""
    sb.make_tree(watch_list=OFF_LINE)
    sb.keep_stdio()
    rows = [  # name, signal, sender, the note's tail on standard output
        ("SIGTERM", signal.SIGTERM, os.kill, "User Sig 15 from pid: 1 uid: 0"),
        ("SIGHUP", signal.SIGHUP, os.kill, "User Sig 1 from pid: 1 uid: 0"),
        ("SIGINT", signal.SIGINT, os.kill, "User Sig 2 from pid: 1 uid: 0"),
        ("SIGQUIT", signal.SIGQUIT, os.kill, "User Sig 3 from pid: 1 uid: 0"),
        ("SIGHUP from the kernel", signal.SIGHUP, kernel_signal, "Kernel Sig 1, Reason: 1"),
    ]
    monitor = 0
    for n, (name, sig, send, tail) in enumerate(rows):
        out = "/tmp/out%d" % n
        pid, first = sb.start_daemon(stdio=out)
        sb.wait_record(OFF + " was disabled.\n", LOG_INFO, start=first, timeout=3)
        children = []
        if not monitor:
            monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=1)
            children = [(MONITOR, monitor)]
        os.unlink(OWN_PID_FILE)
        wait_pause(sb, pid, 10)
        sent = time.monotonic()
        send(pid, sig)
        check(sb.wait_exit(pid, timeout=CYCLE / 2) == 0, "%s: orderly stop exits 0, long before the pause ends" % name)
        _, stop = sb.wait_record(STOPPED, LOG_INFO, start=first, timeout=1)
        check(stop.when - sent < CYCLE / 2, "%s: stopped %.2fs after the signal" % (name, stop.when - sent))
        running = [not_running(MONITOR)] if children else []
        sb.expect_run(pid, first, info(STARTED, *running, OFF + " was disabled.\n", STOPPED), children)
        check(read(OWN_PID_FILE) == "%d\n" % pid, "%s: the lock was renewed before the stop" % name)
        check(sb.lock_holder(MONITOR_PID_FILE) == monitor, "%s: the monitor keeps running and locked" % name)
        texts = [not_running(MONITOR), spawned(MONITOR, monitor)] if children else [held_by(MONITOR_PID_FILE, monitor)]
        sb.expect_streams(texts + [note(pid, tail)], out)


def stop_in_full(sb, pid, first, sent):
    check(sb.wait_exit(pid, timeout=CYCLE + 3) == 0, "orderly stop exits 0")
    _, stop = sb.wait_record(STOPPED, LOG_INFO, start=first, timeout=1)
    # The pass and the whole 10 s pause lie between the signal and the stop (0.1 s for the clocks' rates).
    check(stop.when - sent >= 9.9, "the full pause first: stopped %.2fs after the signal" % (stop.when - sent))


def signal_in_first_short_pause(sb, watch_list, replace, sig, finish, why):
    """sig in the first 1 s pause, the list at start-up replaced first (if there is one): the pass runs at once,
    on the table as it was (a reload that cannot read the list keeps it and says why), and the daemon logs
    only its start, that reason, that pass and its stop."""
    sb.make_tree(watch_list=watch_list, programs=["prog-a"])
    pid, first = sb.start_daemon()
    if replace:
        replace(WATCH_LIST)
    sent, r = signal_in_short_pause(sb, pid, first, sig)
    kept = [(prog("prog-a"), sb.wait_lock(pid_file("prog-a"), timeout=3))] if watch_list else []
    finish(sb, pid, first, sent)
    error = [(LOG_ERR, "Reload failure: cannot read config file %s (%s), keeping its 1 entries.\n" % (CONF, why))]
    sb.expect_run(pid, first, info(STARTED) + (error if why else [])
                  + info(not_running(MONITOR), *[not_running(path) for path, _ in kept], STOPPED),
                  [(MONITOR, r.pid)] + kept)
    check(sb.lock_holder(MONITOR_PID_FILE) == r.pid, "the monitor keeps running and locked")


case_table(signal_in_first_short_pause, [  # name, list at start-up, its replacement, signal, then, reason
    # SIGTERM: that cycle's pass runs at once, then the whole 10 s pause, then the stop.
    ("stop_during_short_pause", None, None, signal.SIGTERM, stop_in_full, None),
    # SIGUSR1, the list file gone (an edit that is not atomic): that pass runs on the table read at start-up.
    ("reload_in_short_pause_without_list", entry(1, "prog-a"), os.unlink, signal.SIGUSR1,
     lambda sb, pid, _first, _sent: stop_after_pass(sb, pid), "No such file or directory"),
    # SIGUSR1, a FIFO at the list's path that no writer opens: the daemon neither waits on it nor drops its table.
    ("reload_in_short_pause_with_fifo", entry(1, "prog-a"), lambda path: (os.unlink(path), os.mkfifo(path)),
     signal.SIGUSR1, lambda sb, pid, _first, _sent: stop_after_pass(sb, pid), "not a regular file"),
])


@case
def reload_edits_the_list(sb):
    """SIGUSR1 twice in the 10 s pause: lock renewed, ONE reload after the next 1 s pause; B started, A left alone."""
    sb.make_tree(watch_list=entry(1, "prog-a"), programs=["prog-a", "prog-b"])
    a, b = prog("prog-a"), prog("prog-b")
    pid, first = sb.start_daemon()
    a_pid = sb.wait_lock(pid_file("prog-a"), timeout=3)
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=1)
    sb.write(WATCH_LIST, "junk\n" + entry(1, "prog-b") + OFF_LINE)
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
    stop_after_pass(sb, pid)
    sb.expect_run(pid, first, info(STARTED, not_running(MONITOR), not_running(a))
                  + [(LOG_ERR, "Invalid line [junk] in config file %s." % CONF)]
                  + info(not_running(b), OFF + " was disabled.\n", OFF + " was disabled.\n", STOPPED),
                  [(MONITOR, monitor), (a, a_pid), (b, b_pid)])
    check(sb.lock_holder(pid_file("prog-a")) == a_pid and sb.terms(a_pid) == 0, "A runs on, never signalled")
    rec = sb.wait_fixture(lambda rec: rec["pid"] == b_pid)[0]
    check(rec["argv"] == [b, "--pidfile=" + pid_file("prog-b")], "B's arguments: %r" % rec["argv"])


def stop_while_reading(sb, pid, path, tries=5):
    """Sends SIGUSR1 in the 10 s pause and stops pid while it has path open, inside the reload that follows;
    tries again at the next pause when the read ended before the stop took hold."""
    for _ in range(tries):
        wait_pause(sb, pid, 10)
        os.kill(pid, signal.SIGUSR1)
        deadline = time.monotonic() + 5  # the 1 s pause, then the read: polled without a pause of its own
        while path not in open_files(pid):
            check(time.monotonic() < deadline, "pid %d never opened %s" % (pid, path))
        os.kill(pid, signal.SIGSTOP)
        wait_stopped(sb, pid)
        if path in open_files(pid):
            return
        os.kill(pid, signal.SIGCONT)
    check(False, "pid %d never held stopped inside a read of %s in %d tries" % (pid, path, tries))


@case
def reload_requested_during_reload_is_kept(sb):
    """A SIGUSR1 that lands while the list is being read brings one more reload, with the list as it is then."""
    sb.make_tree(monitor=None, watch_list="", programs=["x", "y"])
    pid, _ = sb.start_daemon()
    # A long list (20 MB of comments, read a byte at a time) keeps the daemon reading long enough to be
    # stopped inside its reload (a FIFO cannot: the daemon refuses one at once).
    sb.write(WATCH_LIST, ("#" * 400 + "\n") * 50000 + entry(1, "x"))
    stop_while_reading(sb, pid, WATCH_LIST)
    sb.write(WATCH_LIST + ".new", entry(1, "y"))
    os.rename(WATCH_LIST + ".new", WATCH_LIST)
    os.kill(pid, signal.SIGUSR1)
    os.kill(pid, signal.SIGCONT)
    wait_delivered(sb, pid, signal.SIGUSR1)  # handled while the daemon still reads the first list
    sb.wait_record(spawned(prog("x"), sb.wait_lock(pid_file("x"), timeout=3)), LOG_INFO, timeout=3)
    sb.wait_lock(pid_file("y"), timeout=CYCLE + 2)
    check(sb.lock_holder(pid_file("x")) != 0, "x, dropped from the list, keeps running")
    check(sb.stop_daemon(pid) == 0, "orderly stop")
