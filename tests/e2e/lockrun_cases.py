"""vemo-lockrun under the real watchdog: an unmodified `sleep` is supervised through it."""

import os
import re
import signal

from sandbox import CYCLE, LOG_INFO, LOG_WARNING, RUN_DIR, WATCH_LIST, case, case_table, check, prog, read

LOCKRUN = prog("vemo-lockrun")


@case
def lockrun_supervises_unmodified_program(sb):
    pid_file = RUN_DIR + "/sleep.pid"
    line = "%s:%s:sleep:1000\n" % (LOCKRUN, pid_file)
    sb.make_tree(watch_list="1:%s:%s" % (pid_file, line))
    sb.install("vemo-lockrun", sb.built("vemo-lockrun"))
    daemon, _ = sb.start_daemon()

    first = sb.wait_lock(pid_file)
    # The lock is taken just before the exec: the holder becomes sleep a moment later.
    sb.wait_for(lambda: read("/proc/%d/comm" % first) == "sleep\n", 3, "the lock holder to be sleep itself")
    check(read(pid_file) == "%d\n" % first, "the pid file must name sleep")
    check(os.getpgid(first) == first, "the program must lead a process group of its own")

    os.kill(first, signal.SIGKILL)
    second = sb.wait_lock(pid_file, timeout=CYCLE + 2, other_than=first)
    check(second != first, "a killed program must be started again within a cycle")

    sb.write(WATCH_LIST, "0:%s:%s" % (pid_file, line))
    os.kill(daemon, signal.SIGUSR1)
    sb.wait_record("Sending SIGTERM to (%d:%s)\n" % (second, LOCKRUN), LOG_INFO, timeout=CYCLE + 2)
    sb.wait_for(lambda: not sb.alive(second), 5, "sleep ending on SIGTERM")
    check(sb.lock_holder(pid_file) == 0, "the lock must end with the program")
    check(sb.stop_daemon(daemon) == 0, "the watchdog must stop with status 0")


GO = "/tmp/go"
# The flood starts once the case has seen the first two lines, which it would otherwise drop.
FORGED = r"printf 'sshd[1]: forged\033[2J\\\n'; echo on-stderr >&2; read go <%s; exec yes flood" % GO


def lockrun_log_flood(sb, restart):
    """--log: escaped lines under the program's name and pid; a flood drops, counts, never blocks."""
    lockrun = sb.built("vemo-lockrun")
    pid_file = RUN_DIR + "/flood.pid"
    os.makedirs(RUN_DIR, exist_ok=True)
    os.mkfifo(GO)
    wrapper = sb.spawn([lockrun, "--log", "--name=flood"] + (["--restart"] if restart else [])
                       + [pid_file, "sh", "-c", FORGED])

    def program():
        return int(state(pid_file).get("child_pid", "0")) if restart else wrapper
    sb.wait_for(lambda: program() > 0, 5, "the program running")
    pid = program()
    _, r = sb.wait_record("sshd[1]: forged\\x1b[2J\\\\", LOG_INFO, pid=pid, timeout=5)
    check(r.ident == "flood", "the line must come as flood, not forged: %r" % r.raw)
    sb.wait_record("on-stderr", LOG_WARNING, pid=pid, timeout=5)
    with open(GO, "w") as go:
        go.write("go\n")
    sb.wait_for(lambda: read("/proc/%d/comm" % pid) == "yes\n", 5, "yes running")
    sb.wait_record(re.compile(r"^\d+ lines of flood dropped: the system log did not take them$"), LOG_WARNING, timeout=10)

    def written():
        return int(next(l.split()[1] for l in read("/proc/%d/io" % pid).splitlines() if l.startswith("wchar")))
    # Far more than a pipe and the log's queue hold: the program goes on while the log is full.
    sb.wait_for(lambda: written() > 1 << 21, 20, "yes writing 2 MB while the log takes a fraction")
    if restart:
        sb.wait_for(lambda: int(state(pid_file).get("dropped_lines", "0")) > 0, 10, "dropped_lines in the record")
        os.kill(pid, signal.SIGKILL)
        sb.wait_record(re.compile(r"^flood \(%d\) killed by SIGKILL" % pid), LOG_WARNING, pid=wrapper, timeout=10)
        sb.wait_record(re.compile(r"^restarted flood "), LOG_INFO, pid=wrapper, timeout=10)
    os.kill(wrapper, signal.SIGTERM)
    sb.wait_exit(wrapper, timeout=15)
    sb.wait_for(lambda: not any(read("/proc/%d/comm" % p) == "vemo-log\n" for p in sb.processes()), 5,
                "the reader to end with the pipe")


def state(pid_file):
    try:
        return dict(line.split("=", 1) for line in read(pid_file + ".lockrun").splitlines() if "=" in line)
    except OSError:
        return {}


case_table(lockrun_log_flood, [
    ("lockrun_log_exec_form", False),
    ("lockrun_log_restart_form", True),
])
