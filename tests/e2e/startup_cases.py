"""Start-up, the own lock and its renewal, as an operator sees them."""

import ctypes
import os
import shutil
import signal
import time

from sandbox import (CYCLE, LOG_ERR, LOG_INFO, MONITOR, MONITOR_PID_FILE, OUT, OWN_PID_FILE, RUN_DIR, STARTED,
                     STOPPED, TREE, case, check, held_by, info, lines, not_running, note, read, spawned)


@case
def start_supervise_and_stop(sb):
    """One whole run: start, own lock, the monitor started once, a quiet steady pass, orderly stop."""
    sb.make_tree()
    pid, first = sb.start_daemon()
    r = sb.records[first]
    check((r.facility, r.ident) == (1, "vemo-watchdog"), "user facility and our identity: %r" % r.raw)
    check(read(OWN_PID_FILE) == "%d\n" % pid, "own pid file holds the daemon's pid and a line feed")
    check(sb.lock_holder(OWN_PID_FILE) == pid, "the daemon holds its own lock")
    check(oct(os.stat(RUN_DIR).st_mode & 0o777) == oct(0o755), "run directory created with mode 0755")

    monitor = sb.wait_monitor(first)
    sb.expect_transcript(info(STARTED, not_running(MONITOR), spawned(MONITOR, monitor)), start=first)
    rec = sb.wait_fixture(lambda rec: rec["pid"] == monitor)[0]
    check(rec["argv"] == [MONITOR], "the monitor gets its resolved path and no arguments: %r" % rec["argv"])
    check(rec["ppid"] == pid, "the monitor is the daemon's child")

    # A full cycle later the running monitor only earns a note on standard output.
    steady = len(sb.records)
    time.sleep(CYCLE + 1)
    sb.expect_transcript([], start=steady)
    check(sb.lock_holder(OWN_PID_FILE) == pid, "the renewed lock is still the daemon's")

    check(sb.stop_daemon(pid) == 0, "orderly stop exits 0")
    sb.expect_transcript(info(STOPPED), start=steady)
    check(sb.alive(monitor), "the monitor outlives the watchdog")
    check(read(OWN_PID_FILE) == "%d\n" % pid, "the pid file stays with the last pid")


@case
def own_lock_failure_ends_254(sb):
    """The lock failure report, for a lock held by another watchdog and for a lock that cannot be taken."""
    sb.make_tree(monitor=None)
    first_pid, _ = sb.start_daemon()
    rows = [("held by a running watchdog", "(Lock file held by process ID %d)\n" % first_pid),
            ("run directory is a file", " (Not a directory)\n")]
    for n, (name, reason) in enumerate(rows):
        if n:  # the second row's blocker
            sb.stop_daemon(first_pid)
            shutil.rmtree(RUN_DIR)
            sb.write(RUN_DIR, "not a directory\n")
        _, start = sb.start_refused(reason)
        check(sb.count(STARTED, start=start) == 0, "%s: no start is logged" % name)


@case
def start_refused_without_a_place(sb):
    """No current directory, or no argv[0]: exit 1 with a message, before detaching."""
    sb.make_tree(monitor=None)
    path = TREE + "/bin/vemo-watchdog"

    def vanish_cwd():
        os.makedirs("/tmp/gone")
        os.chdir("/tmp/gone")
        os.rmdir("/tmp/gone")

    pid = sb.spawn([path], env=sb.daemon_env(), before_exec=vanish_cwd)
    check(sb.wait_exit(pid) == 1, "an unavailable current directory exits 1 (absolute argv[0] too)")
    sb.wait_record("%s started failure : unable to get current dir name .\n" % path, LOG_INFO, timeout=2)

    def exec_without_argv():
        libc = ctypes.CDLL(None)
        argv = (ctypes.c_char_p * 1)(None)
        envp = (ctypes.c_char_p * 2)(b"PATH=/usr/bin:/bin", None)
        libc.execve(path.encode(), argv, envp)

    pid = sb.spawn([path], cwd=TREE, before_exec=exec_without_argv)
    check(sb.wait_exit(pid) == 1, "an empty argument vector exits 1")
    sb.wait_record("vemo-watchdog started failure : no program path in the argument vector .\n", LOG_ERR,
                   timeout=2)
    check(not os.path.exists(OWN_PID_FILE), "neither start took the lock")


@case
def renewal_restores_pid_file_and_run_dir(sb):
    """The own pid file, then the whole run directory, removed mid-run: both back with our pid."""
    sb.make_tree(monitor=None)
    pid, _ = sb.start_daemon()
    for victim in (OWN_PID_FILE, RUN_DIR):
        sb.remove(victim)
        sb.wait_pid_file_back(pid, "%s to come back with the daemon's pid" % victim)
    check(sb.stop_daemon(pid) == 0, "orderly stop after the renewals")


@case
def relative_start_locates_the_tree(sb):
    """Started as ./bin/vemo-watchdog from the tree root: paths keep the '.', the child gets the real path."""
    sb.make_tree(watch_list="bogus\n")
    start = len(sb.records)
    pid, _ = sb.start_daemon(argv0="./bin/vemo-watchdog", cwd=TREE)
    monitor = sb.wait_monitor(start)
    sb.expect_transcript([(LOG_ERR, "Invalid line [bogus] in config file %s/./bin/../etc/watching-list.conf." % TREE)]
                         + info(STARTED, not_running(TREE + "/./bin/vemo-monitor"), spawned(MONITOR, monitor)),
                         start=start)
    rec = sb.wait_fixture(lambda rec: rec["pid"] == monitor)[0]
    check(rec["argv"] == [MONITOR] and rec["cwd"] == TREE, "argv[0] resolved, cwd inherited: %r" % rec)
    os.kill(pid, signal.SIGTERM)
    check(sb.wait_exit(pid, CYCLE + 3) == 0, "orderly stop")


@case
def failed_detach_keeps_supervising(sb):
    """daemon() fails without a real /dev/null: the watchdog goes on in the foreground, its streams intact."""
    sb.make_tree()
    sb.keep_stdio()
    pid, first = sb.start_daemon(stdio=OUT)
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=3)
    time.sleep(CYCLE)
    check(sb.stop_daemon(pid) == 0, "orderly stop")
    expected = [not_running(MONITOR), spawned(MONITOR, monitor), held_by(MONITOR_PID_FILE, monitor), note(pid)]
    sb.expect_streams(expected)
    got = lines(OUT)
    check(got.index(expected[0]) < got.index(expected[1]) < got.index(expected[2]), "in order")
