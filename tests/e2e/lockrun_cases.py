"""vemo-lockrun under the real watchdog: an unmodified `sleep` is supervised through it."""

import os
import signal

from sandbox import CYCLE, LOG_INFO, RUN_DIR, WATCH_LIST, case, check, prog, read

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
