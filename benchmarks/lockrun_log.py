#!/usr/bin/env python3
"""vemo-lockrun --log: lines per second carried from `yes`, the CPU it costs, and memory.

lockrun_log.py [--build-dir DIR] [--seconds S]

Needs root and unshare(1): it runs in private mount and pid namespaces (whatever it started ends
with it, a failed measurement included) with a /dev/log of its own, read
by a counting process. Beside it, when installed, runit's svlogd and s6's s6-log take the same
`yes` on a pipe into a directory. The wrappers' and the reader's memory beside runit's and s6's
supervisors: footprint.py --lockrun.
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def memory(pid):
    with open("/proc/%d/smaps_rollup" % pid) as f:
        return {l.split()[0].rstrip(":"): int(l.split()[1]) for l in f if l.endswith("kB\n")}


def counter():
    """A child that counts the records /dev/log receives; reports on SIGTERM through a pipe."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if os.path.exists("/dev/log"):
            os.unlink("/dev/log")
        s.bind("/dev/log")
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        os.write(w, b"r")
        n = 0
        import signal
        signal.signal(signal.SIGTERM, lambda *_: (os.write(w, str(n).encode()), os._exit(0)))
        while True:
            s.recv(65536)
            n += 1
    os.read(r, 1)
    return pid, r


def readers():
    return [int(p) for p in os.listdir("/proc") if p.isdigit()
            and open("/proc/%s/comm" % p).read() == "vemo-log\n"]


def carry(argv, seconds, find):
    """Runs argv for SECONDS; lines carried per second and the CPU of the process find() names."""
    cpid, r = counter()
    start = time.monotonic()
    p = subprocess.Popen(argv)
    time.sleep(0.3)
    who = find(p)
    c0, t0 = cpu_seconds(who), time.monotonic()
    time.sleep(seconds)
    c1, t1 = cpu_seconds(who), time.monotonic()
    p.kill()
    p.wait()
    os.kill(cpid, 15)
    n = int(os.read(r, 64) or b"0")
    os.waitpid(cpid, 0)
    return n / (time.monotonic() - start), (c1 - c0) / (t1 - t0)


def peer(argv, seconds):
    """`yes | argv`: lines per second written to the directory, and the logger's CPU."""
    d = tempfile.mkdtemp()
    yes = subprocess.Popen(["yes", "flood"], stdout=subprocess.PIPE)
    p = subprocess.Popen(argv + [d], stdin=yes.stdout)
    time.sleep(0.3)
    c0, t0 = cpu_seconds(p.pid), time.monotonic()
    s0 = sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d))
    time.sleep(seconds)
    c1, t1 = cpu_seconds(p.pid), time.monotonic()
    s1 = sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d))
    rss = memory(p.pid)
    yes.kill()
    p.kill()
    p.wait()
    yes.wait()
    shutil.rmtree(d)
    return (s1 - s0) / 6 / (t1 - t0), (c1 - c0) / (t1 - t0), rss["Pss"]


def inside(args):
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/dev"], check=True)
    open("/dev/null", "w").close()
    lr = os.path.join(args.build_dir, "vemo-lockrun")
    rate, cpu = carry([lr, "--log", "/tmp/lrlog-exec.pid", "yes", "flood"], args.seconds, lambda p: readers()[0])
    print("exec form: %.0f lines/s carried, reader CPU %.0f %%" % (rate, cpu * 100))
    rate, cpu = carry([lr, "--restart", "--log", "/tmp/lrlog-r.pid", "yes", "flood"], args.seconds, lambda p: p.pid)
    print("--restart: %.0f lines/s carried, wrapper CPU %.0f %%" % (rate, cpu * 100))
    for name, argv in (("svlogd", ["svlogd"]), ("s6-log", ["s6-log", "n100", "s16777215"])):
        if shutil.which(argv[0]):
            rate, cpu, pss = peer(argv, args.seconds)
            print("%s: %.0f lines/s to files, CPU %.0f %%, PSS %d kB" % (name, rate, cpu * 100, pss))
        else:
            print("%s: not installed, not measured" % name)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-dir", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.inside:
        inside(args)
        return 0
    return subprocess.call(["unshare", "-m", "-p", "-f", "--mount-proc", "--", sys.executable, os.path.abspath(__file__), "--inside",
                            "--build-dir", os.path.abspath(args.build_dir), "--seconds", str(args.seconds)])


if __name__ == "__main__":
    sys.exit(main())
