#!/usr/bin/env python3
"""Footprint of the installed daemon supervising N copies of the example program.

footprint.py [--build-dir DIR] [--n 10,100,1000] [--window SECONDS] [--repeat R] [--monitor | --lockrun]

Needs root, unshare(1) and a full build of DIR (`cmake --build DIR`: the install rules want every
installed file). Each measurement runs in a fresh private world of its own (see tests/e2e/sandbox.py):
`cmake --install` into that world's /tmp, N enabled entries, launch, then the daemon's PSS/RSS/USS
from /proc/PID/smaps_rollup, its on-CPU time (/proc/PID/schedstat) and voluntary context switches
over the window, and the time from the launch until all N pid files are locked. Medians are printed
as a table and as JSON lines.

With --monitor it measures the installed vemo-monitor instead, beside the same daemon and N programs:
PSS of its server and status workers together, their CPU while no request comes, and the cost of
one GET /metrics (wall time and CPU of all its processes).

With --lockrun it measures one supervisor per program instead, beside its peers in the same world:
N (default 10) `vemo-lockrun --restart` wrappers of `sleep`, with and without --log, the exec
form's --log reader, and, when installed, N runit `runsv` and N s6 `s6-supervise` on the same
`sleep`: the PSS, USS and RSS of each supervisor alone (its program not counted), averaged over N.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import sandbox  # noqa: E402

PREFIX = "/tmp/inst"
FP_DIR = "/var/run/fp"
MONITOR = "#!/bin/sh\nexec %s/bin/supervised-example " + sandbox.MONITOR_PID_FILE + "\n"
COLUMNS = [("n", "N", "%d"), ("pss_kb", "PSS kB", "%d"), ("rss_kb", "RSS kB", "%d"),
           ("uss_kb", "USS kB", "%d"), ("pss_end_kb", "PSS end kB", "%d"),
           ("cpu_ms_per_60s", "CPU ms per 60 s", "%.2f"), ("all_running_s", "time until all run (s)", "%.3f"),
           ("start_cpu_ms", "CPU ms until all run", "%.1f"),
           ("passes", "passes in window", "%d"), ("vcsw", "vol. ctx sw", "%d")]


def memory(pid):
    fields = {}
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                fields[parts[0].rstrip(":")] = int(parts[1])
    return fields["Pss"], fields["Rss"], fields["Private_Clean"] + fields["Private_Dirty"]


def on_cpu_ns(pid):
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0])


def voluntary_switches(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("voluntary_ctxt_switches"))


def locked_count(paths, inodes):
    """How many of paths are write-locked now, from one read of /proc/locks.

    One read of /proc/locks costs about what two lock probes do, whatever N is; probing every pid
    file (open + F_GETLK + close) per poll would compete with the daemon for the CPU at N = 1000.
    """
    for p in paths:
        if p not in inodes:
            try:
                st = os.stat(p)  # the example truncates, never replaces, so the inode stays
            except FileNotFoundError:
                continue
            inodes[p] = "%02x:%02x:%d" % (os.major(st.st_dev), os.minor(st.st_dev), st.st_ino)
    with open("/proc/locks") as f:
        held = {parts[5] for parts in (line.split() for line in f)
                if parts[1] == "POSIX" and parts[3] == "WRITE"}
    return sum(1 for key in inodes.values() if key in held)


MONITOR_COLUMNS = [("n", "N", "%d"), ("pss_kb", "PSS kB (all)", "%d"), ("uss_kb", "USS kB (all)", "%d"),
                   ("server_pss_kb", "server PSS kB", "%d"),
                   ("workers_pss_kb", "workers PSS kB", "%d"), ("rss_kb", "RSS kB (all)", "%d"),
                   ("pss_after_kb", "PSS kB after 10 scrapes", "%d"),
                   ("cpu_ms_per_60s", "idle CPU ms per 60 s", "%.2f"), ("scrape_ms", "GET /metrics ms", "%.1f"),
                   ("scrape_cpu_ms", "CPU ms per /metrics", "%.1f"), ("metrics_kb", "/metrics kB", "%.1f")]


def write_list(sb, n):
    """N enabled entries of the example program; returns every pid file to wait for."""
    sb.write(PREFIX + "/etc/watching-list.conf", "".join(
        "1:%s/%d.pid:%s/bin/supervised-example:%s/%d.pid\n" % (FP_DIR, i, PREFIX, FP_DIR, i) for i in range(n)))
    return ["%s/%d.pid" % (FP_DIR, i) for i in range(n)] + [sandbox.MONITOR_PID_FILE]


def measure_monitor_once(sb, n, window, port):
    """The real monitor beside the daemon and N programs; returns a dict of figures."""
    import urllib.request
    paths = write_list(sb, n)
    launched = time.monotonic()
    sb.start_watchdog(PREFIX)
    inodes = {}
    # Their start-up is not what is measured here: a loaded host may take a second pass.
    while locked_count(paths, inodes) < len(paths):
        sandbox.check(time.monotonic() - launched < 3 * sandbox.CYCLE, "not all %d running after 3 cycles" % n)
        time.sleep(0.05)
    monitor = sb.lock_holder(sandbox.MONITOR_PID_FILE)
    url = "http://127.0.0.1:%d" % port

    def get(path):
        with urllib.request.urlopen(url + path, timeout=30) as r:
            return r.read()
    sb.wait_for(lambda: get("/healthz") == b"ok\n", 5, "the monitor to serve")
    procs = [monitor] + sandbox.children(monitor)
    sandbox.check(len(procs) == 4, "a server, its spawner and two workers: %r" % procs)
    time.sleep(1.0)  # the daemon's first pass is over: the host is quiet
    mem = [memory(p) for p in procs]
    w0, cpu0 = time.monotonic(), sum(on_cpu_ns(p) for p in procs)
    time.sleep(window)
    w1, cpu1 = time.monotonic(), sum(on_cpu_ns(p) for p in procs)
    walls = []
    size = 0
    for _ in range(10):
        t = time.monotonic()
        size = len(get("/metrics"))
        walls.append(time.monotonic() - t)
    cpu2 = sum(on_cpu_ns(p) for p in procs)
    after = sum(memory(p)[0] for p in procs)
    return {"n": n, "pss_kb": sum(m[0] for m in mem), "uss_kb": sum(m[2] for m in mem), "server_pss_kb": mem[0][0],
            "workers_pss_kb": sum(m[0] for m in mem[1:]), "rss_kb": sum(m[1] for m in mem), "pss_after_kb": after,
            "cpu_ms_per_60s": (cpu1 - cpu0) / 1e6 * 60.0 / (w1 - w0), "scrape_ms": statistics.median(walls) * 1e3,
            "scrape_cpu_ms": (cpu2 - cpu1) / 1e6 / 10, "metrics_kb": size / 1024.0}


def measure_once(sb, n, window, trace):
    """One run in this world; returns a dict of figures."""
    paths = write_list(sb, n)
    inodes = {}
    launched = time.monotonic()
    launcher = sb.start_watchdog(PREFIX)
    while locked_count(paths, inodes) < len(paths):
        sandbox.check(time.monotonic() - launched < sandbox.CYCLE, "not all %d running after one cycle" % n)
        time.sleep(0.01)
    all_running = time.monotonic() - launched
    sandbox.check(sb.wait_exit(launcher) == 0, "the launcher must return 0")
    _, started = sb.wait_record("vemo-watchdog_%s started.\n" % sandbox.VERSION, sandbox.LOG_INFO, timeout=5)
    pid = started.pid
    start_cpu = on_cpu_ns(pid)
    _, first = sb.wait_record("%s/bin/vemo-monitor is not running.\n" % PREFIX, sandbox.LOG_INFO, pid=pid)
    time.sleep(0.2)  # the last fork is behind the last lock: let the pass end
    pss, rss, uss = memory(pid)
    tracer = sb.spawn(["strace", "-c", "-o", "/tmp/strace.txt", "-p", str(pid)],
                      path=shutil.which("strace")) if trace else None
    w0, cpu0, vcsw0 = time.monotonic(), on_cpu_ns(pid), voluntary_switches(pid)
    time.sleep(window)
    w1, cpu1, vcsw1 = time.monotonic(), on_cpu_ns(pid), voluntary_switches(pid)
    pss_end, _, _ = memory(pid)
    if tracer:
        os.kill(tracer, 2)
        sb.wait_exit(tracer)
        with open("/tmp/strace.txt") as f:
            sys.stderr.write("N=%d, strace -c over %.0f s:\n%s" % (n, window, f.read()))
    # Passes follow the first one every cycle; only a pass's own length (milliseconds) drifts them.
    passes = sum(1 for k in range(int((w1 - first.when) / sandbox.CYCLE) + 1)
                 if first.when + k * sandbox.CYCLE >= w0)
    status = sb.stop_daemon(pid)
    sandbox.check(status == 0, "the daemon must stop with status 0, not %d" % status)
    return {"n": n, "pss_kb": pss, "rss_kb": rss, "uss_kb": uss, "pss_end_kb": pss_end,
            "cpu_ms_per_60s": (cpu1 - cpu0) / 1e6 * 60.0 / (w1 - w0), "all_running_s": all_running,
            "start_cpu_ms": start_cpu / 1e6, "passes": passes, "vcsw": vcsw1 - vcsw0}


LOCKRUN_COLUMNS = [("what", "supervisor", "%s"), ("pss_kb", "PSS kB each", "%.0f"),
                   ("uss_kb", "USS kB each", "%.0f"), ("rss_kb", "RSS kB each", "%.0f")]


def settled(sb, pids, children):
    """Waits until each of pids has its program running as a child; bounded."""
    sb.wait_for(lambda: all(len(sandbox.children(p)) >= children for p in pids), 10, "every program running")
    time.sleep(0.5)  # the supervisors' start-up is behind them


def each(what, pids):
    mem = [memory(p) for p in pids]
    return {"what": what, "pss_kb": statistics.mean(m[0] for m in mem), "rss_kb": statistics.mean(m[1] for m in mem),
            "uss_kb": statistics.mean(m[2] for m in mem)}


def stop_all(sb, pids):
    for p in pids:
        os.kill(p, 15)
    for p in pids:
        sb.wait_exit(p, timeout=15)


def measure_lockrun(sb, n):
    """N supervisors of each kind, one kind at a time; one row per kind."""
    lockrun = os.path.join(sb.build_dir, "vemo-lockrun")
    rows = []
    for what, opts in (("vemo-lockrun --restart", []), ("vemo-lockrun --restart --log", ["--log"])):
        pids = [sb.spawn([lockrun, "--restart"] + opts + ["/tmp/w%d.pid" % i, "sleep", "1000"]) for i in range(n)]
        settled(sb, pids, 1)
        rows.append(each(what, pids))
        stop_all(sb, pids)
    pids = [sb.spawn([lockrun, "--log", "/tmp/e%d.pid" % i, "sleep", "1000"]) for i in range(n)]
    sb.wait_for(lambda: len(readers()) == n, 10, "every exec form reader")
    rows.append(each("vemo-lockrun --log: exec form reader", readers()))
    stop_all(sb, pids)
    sb.wait_for(lambda: not readers(), 10, "the readers to end")
    for what, tool in (("runit runsv", "runsv"), ("s6 s6-supervise", "s6-supervise")):
        path = shutil.which(tool)
        if path is None:
            rows.append({"what": what + ": not installed, not measured", "pss_kb": 0, "rss_kb": 0, "uss_kb": 0})
            continue
        dirs = []
        for i in range(n):
            d = "/tmp/sv/%s%d" % (tool, i)
            os.makedirs(d)
            sb.write(d + "/run", "#!/bin/sh\nexec sleep 1000\n", 0o755)
            dirs.append(d)
        pids = [sb.spawn([path, d], path=path) for d in dirs]
        settled(sb, pids, 1)
        rows.append(each(what, pids))
        for p in pids:  # the supervisor ends once its program has, which a SIGTERM of its own does not ask
            for c in sandbox.children(p):
                os.kill(c, 9)
        stop_all(sb, pids)
    return rows


def readers():
    """The exec form's --log readers now running."""
    found = []
    for p in os.listdir("/proc"):
        try:
            if p.isdigit() and sandbox.read("/proc/%s/comm" % p) == "vemo-log\n":
                found.append(int(p))
        except FileNotFoundError:  # a process that ended since the listing
            pass
    return found


def inside(args):
    """Pid 1 of a fresh world: install, run one measurement, print it as one JSON line."""
    sb = sandbox.Sandbox(args.build_dir)
    if args.lockrun:
        for row in measure_lockrun(sb, int(args.n)):
            print(json.dumps(row))
        return 0
    subprocess.run(["cmake", "--install", args.build_dir, "--prefix", PREFIX], check=True,
                   stdout=subprocess.DEVNULL)
    shutil.copy2(os.path.join(args.build_dir, "examples", "supervised-example"), PREFIX + "/bin/")
    if args.monitor:
        port = sandbox.free_port()  # the host's network namespace: a port nobody uses
        sb.write(PREFIX + "/etc/vemo-monitor.conf", "listen=127.0.0.1:%d\n" % port)
        print(json.dumps(measure_monitor_once(sb, int(args.n), args.window, port)))
        return 0
    sb.write(PREFIX + "/bin/vemo-monitor", MONITOR % PREFIX, 0o755)
    print(json.dumps(measure_once(sb, int(args.n), args.window, args.strace)))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--n", default="10,100,1000")
    parser.add_argument("--window", type=float, default=60.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--strace", action="store_true", help="strace -c the daemon over the window (slows it)")
    parser.add_argument("--monitor", action="store_true", help="measure the installed vemo-monitor, not the daemon")
    parser.add_argument("--lockrun", action="store_true", help="measure vemo-lockrun's wrappers beside runsv")
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.lockrun and args.n == parser.get_default("n"):
        args.n = "10"
    args.build_dir = os.path.abspath(args.build_dir)
    if args.inside:
        return inside(args)
    unshare = shutil.which("unshare")
    if os.geteuid() != 0 or unshare is None:
        print("footprint.py needs root and unshare(1) for its private namespaces", file=sys.stderr)
        return 1
    if args.lockrun:
        return lockrun_main(args, unshare)
    columns = MONITOR_COLUMNS if args.monitor else COLUMNS
    medians = []
    for n in [int(x) for x in args.n.split(",")]:
        runs = []
        for r in range(args.repeat):
            argv = [unshare, "--mount", "--pid", "--fork", "--kill-child", "--propagation", "private",
                    sys.executable, os.path.abspath(__file__), "--inside", "--build-dir", args.build_dir,
                    "--n", str(n), "--window", str(args.window)] + (["--strace"] if args.strace else []) \
                + (["--monitor"] if args.monitor else [])
            out = subprocess.run(argv, stdout=subprocess.PIPE, text=True)
            if out.returncode != 0:
                print("N=%d run %d failed:\n%s" % (n, r + 1, out.stdout), file=sys.stderr)
                return 1
            runs.append(json.loads(out.stdout.strip().splitlines()[-1]))
            print("N=%d run %d: %s" % (n, r + 1, json.dumps(runs[-1])), file=sys.stderr)
        medians.append({key: statistics.median(run[key] for run in runs) for key, _, _ in columns})
    print(" | ".join(title for _, title, _ in columns))
    for m in medians:
        print(" | ".join(fmt % m[key] for key, _, fmt in columns))
    for m in medians:
        print(json.dumps(dict({k: round(v, 3) for k, v in m.items()}, repeat=args.repeat, window_s=args.window)))
    return 0


def lockrun_main(args, unshare):
    """--lockrun: R runs, each in a fresh world; the median of each kind's figures."""
    runs = []
    for r in range(args.repeat):
        argv = [unshare, "--mount", "--pid", "--fork", "--kill-child", "--propagation", "private", sys.executable,
                os.path.abspath(__file__), "--inside", "--lockrun", "--build-dir", args.build_dir, "--n", args.n]
        out = subprocess.run(argv, stdout=subprocess.PIPE, text=True)
        if out.returncode != 0:
            print("run %d failed:\n%s" % (r + 1, out.stdout), file=sys.stderr)
            return 1
        runs.append([json.loads(line) for line in out.stdout.splitlines() if line.startswith("{")])
    print("%d of each, %d runs, medians" % (int(args.n), args.repeat))
    print(" | ".join(title for _, title, _ in LOCKRUN_COLUMNS))
    for i, row in enumerate(runs[0]):
        m = dict(row, **{k: statistics.median(run[i][k] for run in runs) for k, _, _ in LOCKRUN_COLUMNS[1:]})
        print(" | ".join(fmt % m[key] for key, _, fmt in LOCKRUN_COLUMNS))
    return 0


if __name__ == "__main__":
    code = main()
    sys.stdout.flush()
    os._exit(code)
