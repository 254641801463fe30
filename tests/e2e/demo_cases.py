"""The demo: the watchdog's main job, narrated live from its own log."""

import os
import signal
import sys
import threading
import time

from sandbox import CYCLE, LOG_INFO, MONITOR_PID_FILE, PRIORITY_NAMES, STOPPED, TREE, WATCH_LIST, case, check, entry


class Narrator:
    """Prints each syslog record as it arrives, between the demo's own steps."""

    def __init__(self, sb):
        self.sb = sb
        self.t0 = time.monotonic()
        self.shown = 0
        self.done = False
        self.thread = threading.Thread(target=self._follow, daemon=True)
        self.thread.start()

    def _follow(self):
        while not self.done:
            self.flush()
            time.sleep(0.05)

    def flush(self):
        with self.sb._lock:
            fresh = self.sb.records[self.shown:]
            self.shown += len(fresh)
        for r in fresh:
            print("%7.1fs  %-7s vemo-watchdog[%d]: %s" % (r.when - self.t0, PRIORITY_NAMES.get(r.priority, r.priority),
                                                         r.pid, r.text.rstrip("\n")))
        sys.stdout.flush()

    def say(self, text):
        self.flush()
        print("%7.1fs  ==> %s" % (time.monotonic() - self.t0, text))
        sys.stdout.flush()


def line(flag, name):
    """The example program takes its pid file as its one argument."""
    pid_file = "/var/run/demo/%s.pid" % name
    return entry(flag, name, pid_file, pid=pid_file, lock=False)


@case
def demo(sb):
    """Starts, restarts a killed program, reloads an edited list, stops a disabled program, stops in order."""
    example = os.path.join(sb.build_dir, "examples", "supervised-example")
    check(os.access(example, os.X_OK), "build the example program first: %s" % example)
    header = "# demo watch list: flag:pid file:program:arguments\n"
    monitor = "#!/bin/sh\nexec %s %s\n" % (example, MONITOR_PID_FILE)
    sb.make_tree(monitor=monitor, watch_list=header + line(1, "web") + line(1, "batch"))
    for name in ("web", "batch"):
        sb.install(name, example)
    show = Narrator(sb)
    try:
        show.say("tree %s: bin/vemo-monitor, bin/web, bin/batch (the example program), and a watch list naming web and batch" % TREE)
        show.say("starting %s/bin/vemo-watchdog" % TREE)
        pid, _ = sb.start_daemon()
        holders = {name: sb.wait_lock("/var/run/demo/%s.pid" % name, timeout=4) for name in ("web", "batch")}
        monitor_pid = sb.wait_lock(MONITOR_PID_FILE, timeout=4)
        show.say("running, each holding its pid-file lock: monitor %d, web %d, batch %d"
                 % (monitor_pid, holders["web"], holders["batch"]))

        show.say("killing web (%d) with SIGKILL; the kernel drops its lock" % holders["web"])
        killed_at = time.monotonic()
        os.kill(holders["web"], signal.SIGKILL)
        web = sb.wait_lock("/var/run/demo/web.pid", timeout=CYCLE + 2, other_than=holders["web"])
        show.say("web is back as %d, %.1fs after the kill" % (web, time.monotonic() - killed_at))

        show.say("editing the watch list: batch disabled (flag 0); sending SIGUSR1")
        sb.write(WATCH_LIST, header + line(1, "web") + line(0, "batch"))
        os.kill(pid, signal.SIGUSR1)
        sb.wait_record("Sending SIGTERM to (%d:%s/bin/batch)\n" % (holders["batch"], TREE), LOG_INFO, timeout=4)
        sb.wait_for(lambda: not sb.alive(holders["batch"]), 3, "batch to end")
        show.say("batch (%d) received SIGTERM and ended" % holders["batch"])

        show.say("sending SIGTERM to the watchdog (%d)" % pid)
        check(sb.stop_daemon(pid) == 0, "the watchdog stops with status 0")
        sb.wait_record(STOPPED, LOG_INFO, timeout=1)
        still = [p for p in (monitor_pid, web) if sb.alive(p)]
        check(still == [monitor_pid, web], "the monitor and web keep running after the stop")
        show.say("watchdog stopped (status 0); monitor %d and web %d still run; the sandbox ends them now"
                 % (monitor_pid, web))
    finally:
        show.done = True
        show.flush()
