"""vemo-lockrun under the real watchdog: an unmodified `sleep` is supervised through it."""

import os
import shutil
import signal

from sandbox import CYCLE, LOG_INFO, RUN_DIR, case, check, read


@case
def lockrun_supervises_unmodified_program(sb):
    root = sb.make_tree()
    shutil.copy2(os.path.join(sb.build_dir, "vemo-lockrun"), root + "/bin/vemo-lockrun")
    pid_file = RUN_DIR + "/sleep.pid"
    line = "%s/bin/vemo-lockrun:%s:sleep:1000\n" % (root, pid_file)
    sb.write(root + "/etc/watching-list.conf", "1:%s:%s" % (pid_file, line))
    daemon, _ = sb.start_daemon(root)

    first = sb.wait_lock(pid_file)
    # The lock is taken just before the exec: the holder becomes sleep a moment later.
    sb.wait_for(lambda: read("/proc/%d/comm" % first) == "sleep\n", 3, "the lock holder to be sleep itself")
    with open(pid_file) as f:
        check(f.read() == "%d\n" % first, "the pid file must name sleep")

    os.kill(first, signal.SIGKILL)
    second = sb.wait_lock(pid_file, timeout=CYCLE + 2, other_than=first)
    check(second != first, "a killed program must be started again within a cycle")

    sb.write(root + "/etc/watching-list.conf", "0:%s:%s" % (pid_file, line))
    os.kill(daemon, signal.SIGUSR1)
    sb.wait_record("Sending SIGTERM to (%d:%s/bin/vemo-lockrun)\n" % (second, root), LOG_INFO,
                   timeout=CYCLE + 2)
    sb.wait_for(lambda: not sb.alive(second), 5, "sleep ending on SIGTERM")
    check(sb.lock_holder(pid_file) == 0, "the lock must end with the program")
    check(sb.stop_daemon(daemon) == 0, "the watchdog must stop with status 0")
