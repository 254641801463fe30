#!/usr/bin/env python3
"""Restart latency of `vemo-lockrun --restart`: how soon a SIGKILLed program runs again.

restart_latency.py [--build-dir DIR] [--kills N] [--log] [--program PATH ARGS...]

Starts vemo-lockrun --restart on a scratch pid file with the program (default: sleep 1000), then
SIGKILLs the program N times, each time after it has been up 1.1 s so that every death counts as
a settled program's, never as a crash loop. Two figures per kill, medians and 95th percentiles:
  kill to new child: from kill() to the new child's pid in PIDFILE.lockrun (exec done), seen by
                     polling the file every 0.5 ms from outside;
  exit to exec:      child_started_at - last_exit_at, as vemo-lockrun itself recorded them.
With --log the wrapper carries the program's output (vemo-lockrun --log). Either way it runs in a
private mount namespace (needs root and unshare(1)) whose /dev/log is read by a counting process,
so that no record reaches the host's log. Leaves nothing running and removes its scratch directory.
"""

import argparse
import os
import sys
import shutil
import signal
import statistics
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def state(path):
    try:
        with open(path) as f:
            return dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)
    except OSError:
        return {}


def wait_child(path, other_than, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        pid = int(state(path).get("child_pid", "0") or 0)
        if pid not in (0, other_than):
            return pid
        time.sleep(0.0005)
    raise SystemExit("no new child within %.0f s" % timeout)


def p95(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--kills", type=int, default=50)
    parser.add_argument("--log", action="store_true", help="vemo-lockrun --restart --log")
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--program", nargs=argparse.REMAINDER, default=["sleep", "1000"])
    args = parser.parse_args()
    if not args.inside:
        argv = [sys.executable, os.path.abspath(__file__), "--inside"] + sys.argv[1:]
        raise SystemExit(subprocess.call(["unshare", "-m", "--"] + argv))
    sys.path.insert(0, HERE)
    import lockrun_log  # a private /dev and its counting /dev/log
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/dev"], check=True)
    open("/dev/null", "w").close()
    counter, _ = lockrun_log.counter()
    scratch = tempfile.mkdtemp(prefix="vemo-restart-")
    pid_file = os.path.join(scratch, "p.pid")
    state_file = pid_file + ".lockrun"
    wrapper = subprocess.Popen([os.path.join(args.build_dir, "vemo-lockrun"), "--restart"]
                               + (["--log"] if args.log else []) + [pid_file] + args.program,
                               stdin=subprocess.DEVNULL)
    outside, inside = [], []
    try:
        child = wait_child(state_file, 0)
        for _ in range(args.kills):
            started = float(state(state_file)["child_started_at"])
            time.sleep(max(0.0, started + 1.1 - time.time()))
            t0 = time.monotonic()
            os.kill(child, signal.SIGKILL)
            new = wait_child(state_file, child)
            outside.append(time.monotonic() - t0)
            st = state(state_file)
            inside.append(float(st["child_started_at"]) - float(st["last_exit_at"]))
            child = new
    finally:
        wrapper.send_signal(signal.SIGTERM)
        wrapper.wait(timeout=15)
        shutil.rmtree(scratch, ignore_errors=True)
        os.kill(counter, signal.SIGTERM)
        os.waitpid(counter, 0)
    for name, values in (("kill to new child", outside), ("exit to exec", inside)):
        print("%-18s median %6.1f ms  p95 %6.1f ms  max %6.1f ms  (%d kills)"
              % (name, 1e3 * statistics.median(values), 1e3 * p95(values), 1e3 * max(values), len(values)))
    print("load average at the end: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))


if __name__ == "__main__":
    main()
