"""The watch list as the loader reads it, seen through what the daemon starts, signals and logs."""

import os

from sandbox import (CONF, CYCLE, LOG_ERR, MONITOR, MONITOR_PID_FILE, STARTED, STOPPED, case, check,
                     entry, info, not_running, pid_file, prog)
from waits import run_passes, stop_after_pass


@case
def only_exactly_one_enables(sb):
    """Flags "2", "0" and out-of-int-range ones disable, "1 " enables; a disabled program that runs is sent
    SIGTERM every pass until it lets go, and its entry is still reported disabled afterwards."""
    sb.make_tree(watch_list="2:/var/run/two.pid:/opt/flag-two\n0:/var/run/zero.pid:/opt/flag-zero\n"
                 "-4294967295:/var/run/neg.pid:/opt/flag-neg\n" + entry("4294967297", "runner") + entry("1 ", "one"),
                 programs=["runner", "one"])
    runner, one = prog("runner"), prog("one")
    os.makedirs("/var/run/runner")
    held = sb.spawn([runner, "--pidfile=" + pid_file("runner"), "--term-count=2"], env=sb.daemon_env())
    check(sb.wait_lock(pid_file("runner"), timeout=3) == held, "the runner holds its lock")
    pid, first = run_passes(sb, "/opt/flag-two was disabled.\n", 3, 2 * CYCLE + 3)
    check(sb.wait_exit(held, timeout=1) == 0, "the runner let go after its second SIGTERM")

    disabled = ["/opt/flag-%s was disabled.\n" % n for n in ("two", "zero", "neg")] + ["%s was disabled.\n" % runner]
    term = "Sending SIGTERM to (%d:%s)\n" % (held, runner)
    monitor, one_pid = sb.lock_holder(MONITOR_PID_FILE), sb.lock_holder(pid_file("one"))
    sb.expect_run(pid, first, info(STARTED, not_running(MONITOR), *disabled, term, not_running(one), *disabled, term,
                                   *disabled, STOPPED), [(MONITOR, monitor), (one, one_pid)])
    check(sb.terms(held) == 2, "exactly one SIGTERM per pass while it held the lock")
    check(sb.wait_fixture(lambda r: r["pid"] == one_pid)[0]["argv"] == [one, "--pidfile=" + pid_file("one")],
          "the \"1 \" entry runs with its arguments")


@case
def watch_list_lines(sb):
    """One list over the line rules: comments, empty and blank-prefixed lines, 20 fields, CRLF, over-long and
    exactly-508-character lines; the whole start-up transcript and every started program's argv."""
    progs = {name: prog(name) for name in ("blank", "many", "crlf", "exact", "evil")}
    many = ["f%d" % i for i in range(5, 21)]  # fields 5 to 20 of a 20-field line
    pad = "p" * (508 - len(entry("1", "exact", "")[:-1]))
    exact = entry("1", "exact", pad)[:-1]
    head = "overlong-" + "x" * 499  # its first 508 characters; the tail alone would be a valid entry
    lines = ["   \t# a comment: 1:/var/run/c.pid:/bin/c", "", " \t" + entry("1", "blank")[:-1],
             entry("1", "many", *many)[:-1], entry("1", "crlf", "last")[:-1] + "\r", head + entry("1", "evil")[:-1],
             exact]
    sb.make_tree(watch_list="\n".join(lines) + "\n", programs=list(progs))
    check(len(head) == 508 and len(exact) == 508, "the boundary lines are built right")

    pid, first = sb.start_daemon()
    names = ("blank", "many", "crlf", "exact")
    held = {name: sb.wait_lock(pid_file(name), timeout=3) for name in names}
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=1)
    daemon_fds = [os.readlink("/proc/%d/fd/%s" % (pid, fd)) for fd in os.listdir("/proc/%d/fd" % pid)]
    stop_after_pass(sb, pid)
    invalid = "Invalid line [%s] in config file %s."
    # The list is read before detaching, so these come first and from the launching process.
    sb.expect_transcript([(LOG_ERR, invalid % ("", CONF)), (LOG_ERR, invalid % (head, CONF))], end=first)
    sb.expect_run(pid, first, info(STARTED, not_running(MONITOR), *[not_running(progs[n]) for n in names], STOPPED),
                  [(MONITOR, monitor)] + [(progs[name], held[name]) for name in names])
    argv = {name: sb.wait_fixture(lambda r: r["pid"] == held[name])[0]["argv"][1:] for name in names}
    check(argv["blank"] == ["--pidfile=" + pid_file("blank")], "blank-prefixed: %r" % argv["blank"])
    check(argv["many"] == ["--pidfile=" + pid_file("many")] + many[:13], "fields 4 to 17: %r" % argv["many"])
    check(argv["crlf"] == ["--pidfile=" + pid_file("crlf"), "last\r"], "CR stays: %r" % argv["crlf"])
    check(argv["exact"] == ["--pidfile=" + pid_file("exact"), pad], "whole: %r" % argv["exact"])
    check(not os.path.exists("/var/run/evil") and not [r for r in sb.fixture_records() if "evil" in r["argv"][0]],
          "the over-long line's tail neither started nor touched anything")
    check(not [f for f in daemon_fds if f.endswith("watching-list.conf")], "list closed: %r" % daemon_fds)
