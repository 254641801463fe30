#!/usr/bin/env python3
"""vemo-monitor under load and abuse, beside the real daemon supervising N programs.

monitor_bench.py [--build-dir DIR] [--n 1000] [--requests 1000] [--concurrency 50] [--idle 200]
monitor_bench.py --compare BASE_MONITOR [--monit] [--build-dir DIR] [--n 1000] [--seconds 10]

Needs root, unshare(1) and a full build of DIR. In a private world (see tests/e2e/sandbox.py; the
network namespace is the host's, so it listens on a free loopback port): `cmake --install`, N
enabled entries of the example program, the daemon started and every lock held; then
 1. load: REQUESTS requests over CONCURRENCY keep-alive connections, /metrics, /status and /healthz
    in turn, each answer checked against the N running programs; latency percentiles;
 2. idle: IDLE connections opened and left silent while a normal client makes 30 requests;
 3. malformed: huge headers, too many headers, garbage, a partial request then silence; each must
    get an error or be closed by the idle timeout, and a normal request must succeed after each.
Prints a report and one JSON line; exits 1 when any answer was wrong.

With --compare, the monitor binary BASE_MONITOR (built from an earlier commit) and this build's are
measured one after the other in the same run, each in a fresh private world of its own: at N
entries, /metrics under wrk(1) with CONCURRENCY connections for SECONDS (requests/s, p99, monitor
CPU per request), then again with wrk and the monitor pinned to different cores; one /metrics with
no fresh pass (the median of 6, wall and CPU, at gaps too unlike for a rhythm) and one asked every
2 s as a scraper does; /healthz (median of 20); the monitor's CPU over 5 s without requests; at N = 10, the
PSS of the monitor's processes together (server, spawner, workers). With --monit, monit(1)'s
status page is measured beside the same programs. Prints a table side by side.
"""

import argparse
import http.client
import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import footprint  # noqa: E402
import sandbox  # noqa: E402

PREFIX = footprint.PREFIX
UP_RE = re.compile(r'^vemo_program_up\{line="(\d+)",[^}]*\} 1$', re.M)


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def summary(latencies):
    ms = [v * 1e3 for v in latencies]
    return {"count": len(ms), "p50_ms": percentile(ms, 50), "p90_ms": percentile(ms, 90),
            "p99_ms": percentile(ms, 99), "max_ms": max(ms)}


def judge(path, status, body, n):
    """Why the answer is wrong for N running programs under a running watchdog, or None."""
    if status != 200:
        return "status %d" % status
    if path == "/healthz":
        return None if body == b"ok\n" else "body %r" % body[:40]
    if path == "/metrics":
        text = body.decode()
        lines = sorted(int(x) for x in UP_RE.findall(text))
        if lines != list(range(n + 1)):
            return "%d programs up" % len(lines)
        if "\nvemo_watchdog_up 1\n" not in text or "\nvemo_monitor_requests_total " not in text:
            return "watchdog or own metrics missing"
        return None
    doc = json.loads(body)
    states = [e["state"] for e in doc["entries"]]
    if len(states) != n or set(states) != {"running"} or not doc["watchdog"]["running"]:
        return "%d entries, states %r" % (len(states), sorted(set(states)))
    return None


def load(port, n, requests, concurrency):
    paths = ["/metrics", "/status", "/healthz"]
    per_path = {p: [] for p in paths}
    failures = []
    lock = threading.Lock()
    counter = iter(range(requests))

    def client():
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        while True:
            with lock:
                i = next(counter, None)
            if i is None:
                break
            path = paths[i % 3]
            t = time.monotonic()
            try:
                conn.request("GET", path)
                r = conn.getresponse()
                status, body = r.status, r.read()
                why = judge(path, status, body, n)
            except (OSError, http.client.HTTPException, ValueError) as e:
                why = "%s: %s" % (type(e).__name__, e)
                conn.close()
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
            took = time.monotonic() - t
            with lock:
                per_path[path].append(took)
                if why:
                    failures.append("%s: %s" % (path, why))
        conn.close()

    threads = [threading.Thread(target=client) for _ in range(concurrency)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall = time.monotonic() - start
    everything = [v for vs in per_path.values() for v in vs]
    return {"requests": len(everything), "concurrency": concurrency, "failures": len(failures),
            "failure_examples": failures[:5], "wall_s": wall, "per_s": len(everything) / wall,
            "all": summary(everything), **{p: summary(v) for p, v in per_path.items()}}


def one(port, path="/healthz", n=None):
    t = time.monotonic()
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request("GET", path)
        r = conn.getresponse()
        status, body = r.status, r.read()
    finally:
        conn.close()
    took = time.monotonic() - t
    return (judge(path, status, body, n) if n is not None else (None if status == 200 else "status %d" % status)), took


def idle(port, n, count, timeout):
    socks = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(count)]
    opened = time.monotonic()
    latencies, failures = [], []
    for i in range(30):
        why, took = one(port, ["/healthz", "/metrics", "/status"][i % 3], n)
        latencies.append(took)
        if why:
            failures.append(why)
    served_within = time.monotonic() - opened
    # Still open when the client was served: the idle ones were there the whole time.
    for s in socks:
        s.setblocking(False)
        try:
            if s.recv(1) == b"":
                failures.append("an idle connection was closed before the normal client was done")
                break
        except BlockingIOError:
            pass
        except OSError as e:
            failures.append("idle connection: %s" % e)
            break
    for s in socks:
        s.close()
    check_time = served_within < timeout
    return {"idle_connections": count, "failures": len(failures) + (0 if check_time else 1),
            "failure_examples": failures[:5], "served_in_s": served_within, **summary(latencies)}


def exchange(port, data, limit):
    s = socket.create_connection(("127.0.0.1", port), timeout=limit)
    start = time.monotonic()
    got = b""
    try:
        s.sendall(data)
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
        outcome = got.split(b"\r\n", 1)[0].decode("latin-1") if got else "closed without an answer"
    except (ConnectionResetError, BrokenPipeError):
        outcome = got.split(b"\r\n", 1)[0].decode("latin-1") if got else "reset"
    except socket.timeout:
        outcome = "still open after %.0f s" % limit
    finally:
        s.close()
    return outcome, time.monotonic() - start


def malformed(port, timeout):
    rows = []
    cases = [("huge header (64 KiB)", b"GET /metrics HTTP/1.1\r\nHost: a\r\nX-Big: " + b"a" * 65536 + b"\r\n\r\n"),
             ("3,000 headers", b"GET /metrics HTTP/1.1\r\n" + b"".join(b"X-%d: v\r\n" % i for i in range(3000)) + b"\r\n"),
             ("huge URL (64 KiB)", b"GET /" + b"m" * 65536 + b" HTTP/1.1\r\n\r\n"),
             ("binary garbage", os.urandom(4096).replace(b"\0", b"\1") + b"\r\n\r\n"),
             ("garbage with NUL", b"\x00\xff\xfe garbage\r\n\r\n"),
             ("partial request, then silence", b"GET /metrics HTTP/1.1\r\nHost: a\r\n"),
             ("connect, then silence", b"")]
    ok = True
    for what, data in cases:
        outcome, took = exchange(port, data, timeout + 5)
        after, _ = one(port)
        good = not outcome.startswith("still open") and after is None
        ok &= good
        rows.append({"case": what, "outcome": outcome, "seconds": round(took, 2),
                     "then_served": after is None, "ok": good})
    return {"failures": sum(1 for r in rows if not r["ok"]), "cases": rows}


def install(sb, args, monitor=None):
    """The build installed in this world, with the example program (and another monitor binary)."""
    subprocess.run(["cmake", "--install", args.build_dir, "--prefix", PREFIX], check=True, stdout=subprocess.DEVNULL)
    shutil.copy2(os.path.join(args.build_dir, "examples", "supervised-example"), PREFIX + "/bin/")
    if monitor is not None:
        with open(PREFIX + "/bin/vemo-monitor", "wb") as f:
            f.write(monitor)


def start_serving(sb, n, conf=""):
    """The watchdog started on N entries; (the monitor's port, the pid files) once all run and it serves."""
    port = sandbox.free_port()
    sb.write(PREFIX + "/etc/vemo-monitor.conf", "listen=127.0.0.1:%d\n%s" % (port, conf))
    paths = footprint.write_list(sb, n)
    launched = time.monotonic()
    sb.start_watchdog(PREFIX)
    inodes = {}
    while footprint.locked_count(paths, inodes) < len(paths):
        sandbox.check(time.monotonic() - launched < 3 * sandbox.CYCLE, "not all %d running" % n)
        time.sleep(0.05)
    sb.wait_for(lambda: one(port)[0] is None, 5, "the monitor to serve")
    return port, paths


def inside(args):
    sb = sandbox.Sandbox(args.build_dir)
    install(sb, args)
    timeout = 10
    port, _ = start_serving(sb, args.n, "timeout=%d\n" % timeout)
    monitor = sb.lock_holder(sandbox.MONITOR_PID_FILE)
    procs = [monitor] + sandbox.children(monitor)
    cpu0 = sum(footprint.on_cpu_ns(p) for p in procs)
    result = {"n": args.n, "load": load(port, args.n, args.requests, args.concurrency)}
    result["load"]["monitor_cpu_ms_per_request"] = \
        (sum(footprint.on_cpu_ns(p) for p in procs) - cpu0) / 1e6 / args.requests
    result["idle"] = idle(port, args.n, args.idle, timeout)
    result["malformed"] = malformed(port, timeout)
    result["lock_still_held_by_monitor"] = sb.lock_holder(sandbox.MONITOR_PID_FILE) == monitor
    print(json.dumps(result))
    return 0


def report(r):
    load_, idle_, bad = r["load"], r["idle"], r["malformed"]
    print("N = %d entries, all running, watchdog up" % r["n"])
    print("load: %d requests over %d connections in %.2f s (%.0f/s), %d wrong or failed; monitor CPU %.2f ms/request"
          % (load_["requests"], load_["concurrency"], load_["wall_s"], load_["per_s"], load_["failures"],
             load_["monitor_cpu_ms_per_request"]))
    print("  %-9s %6s %8s %8s %8s %8s" % ("endpoint", "count", "p50 ms", "p90 ms", "p99 ms", "max ms"))
    for key in ("/metrics", "/status", "/healthz", "all"):
        s = load_[key]
        print("  %-9s %6d %8.1f %8.1f %8.1f %8.1f" % (key, s["count"], s["p50_ms"], s["p90_ms"], s["p99_ms"], s["max_ms"]))
    print("idle: %d silent connections open; a normal client made %d requests, p50 %.1f ms, max %.1f ms, "
          "%d failures" % (idle_["idle_connections"], idle_["count"], idle_["p50_ms"], idle_["max_ms"], idle_["failures"]))
    print("malformed:")
    for row in bad["cases"]:
        print("  %-30s -> %-40s %6.2f s, next client served: %s" % (row["case"], row["outcome"], row["seconds"],
                                                                   "yes" if row["then_served"] else "NO"))
    print("lock held by the monitor throughout: %s" % ("yes" if r["lock_still_held_by_monitor"] else "NO"))


def monitor_procs(sb):
    monitor = sb.lock_holder(sandbox.MONITOR_PID_FILE)
    return [monitor] + sandbox.children(monitor)


def cpu_ms(procs):
    return sum(footprint.on_cpu_ns(p) for p in procs) / 1e6


def run_wrk(port, concurrency, seconds, cpu=None):
    pin = ["taskset", "-c", cpu] if cpu else []
    out = subprocess.run(pin + ["wrk", "-t2", "-c%d" % concurrency, "-d%ds" % seconds, "--latency",
                          "http://127.0.0.1:%d/metrics" % port], stdout=subprocess.PIPE, text=True, check=True).stdout
    per_s = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\s*$", out, re.M)
    scale = {"us": 1e-3, "ms": 1.0, "s": 1e3}[p99.group(2)]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return per_s, float(p99.group(1)) * scale, int(errors.group(1)) if errors else 0


def compare_inside(args):
    """One binary at one N, in this world: the figures as JSON."""
    with open(args.monitor, "rb") as f:  # read before the world's own /tmp covers it
        monitor = f.read()
    sb = sandbox.Sandbox(args.build_dir)
    install(sb, args, monitor)
    port, paths = start_serving(sb, args.n)
    procs = monitor_procs(sb)
    out = {"n": args.n}
    if args.n <= 10:
        for _ in range(3):
            one(port, "/metrics", args.n)
        time.sleep(2)
        out["pss_kb"] = sum(footprint.memory(p)[0] for p in procs)
        out["processes"] = len(procs)
        print(json.dumps(out))
        return 0
    time.sleep(1.5)
    # Gaps too unlike for a rhythm: each request waits for a pass of its own. The medians: a
    # worker's first pass, which finds nothing kept from one before, is not the common case.
    walls, cpus = [], []
    for gap in (1.5, 2.6) * 3:
        time.sleep(gap)
        cpu0 = cpu_ms(procs)
        walls.append(one(port, "/metrics", args.n)[1] * 1e3)
        cpus.append(cpu_ms(procs) - cpu0)
    out["metrics_idle_ms"] = statistics.median(walls)
    out["cpu_ms_per_idle_get"] = statistics.median(cpus)
    # A scraper asking every 2 s: the median of the five after the three it takes to be heard.
    start, steady = time.monotonic(), []
    for i in range(8):
        time.sleep(max(0.0, start + 2 * i - time.monotonic()))
        steady.append(one(port, "/metrics", args.n)[1] * 1e3)
    out["metrics_every_2s_ms"] = statistics.median(steady[3:])
    out["healthz_ms"] = statistics.median([one(port, "/healthz")[1] * 1e3 for _ in range(20)])
    time.sleep(3)  # past the scraper's next turn, and the texts of its last pass aged out
    cpu0 = cpu_ms(procs)
    time.sleep(5)
    out["idle_cpu_ms_per_5s"] = cpu_ms(procs) - cpu0
    for pinned in (False, True):
        if pinned:  # the monitor on one core, wrk on the other: its latency, not the host's load
            for p in procs:
                subprocess.run(["taskset", "-a", "-p", "-c", "0", str(p)], stdout=subprocess.DEVNULL, check=True)
        cpu0 = cpu_ms(procs)
        per_s, p99, errors = run_wrk(port, args.concurrency, args.seconds, "1" if pinned else None)
        tag = "_pinned" if pinned else ""
        out.update({"wrk_per_s" + tag: per_s, "wrk_p99_ms" + tag: p99, "wrk_errors" + tag: errors,
                    "cpu_ms_per_request" + tag: (cpu_ms(procs) - cpu0) / max(1.0, per_s * args.seconds),
                    "cpu_cores" + tag: (cpu_ms(procs) - cpu0) / 1e3 / args.seconds})
    if args.monit:
        out.update(measure_monit(paths[:args.n]))
    print(json.dumps(out))
    return 0


def measure_monit(pid_files):
    """monit(1) beside the same programs, one process check per pid file: its HTML status page
    when idle (the median of 5) and its CPU per page."""
    port = sandbox.free_port()
    os.makedirs("/tmp/monit", exist_ok=True)
    rc = "/tmp/monit/monitrc"
    with open(os.open(rc, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        f.write("set daemon 30\nset httpd port %d and use address 127.0.0.1\n  allow 127.0.0.1\n"
                "set idfile /tmp/monit/id\nset statefile /tmp/monit/state\nset pidfile /tmp/monit/pid\n"
                % port + "".join("check process p%d with pidfile %s\n" % (i, p) for i, p in enumerate(pid_files)))
    proc = subprocess.Popen(["monit", "-I", "-c", rc], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        limit = time.monotonic() + 20
        while b"p%d" % (len(pid_files) - 1) not in page(port):
            sandbox.check(time.monotonic() < limit, "monit did not serve its page")
            time.sleep(0.1)
        cpu0 = footprint.on_cpu_ns(proc.pid)
        took = [(time.sleep(1.5), one(port, "/")[1] * 1e3)[1] for _ in range(5)]
        return {"monit_page_ms": statistics.median(took),
                "monit_cpu_ms_per_page": (footprint.on_cpu_ns(proc.pid) - cpu0) / 1e6 / 5,
                "monit_page_bytes": len(page(port))}
    finally:
        proc.kill()
        proc.wait()


def page(port):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request("GET", "/")
        return conn.getresponse().read()
    except (OSError, http.client.HTTPException):
        return b""
    finally:
        conn.close()


def monit_version():
    out = subprocess.run(["monit", "-V"], stdout=subprocess.PIPE, text=True).stdout
    return out.split("version ")[-1].split()[0] if "version " in out else "?"


def compare(args):
    rows = {}
    for name, binary in (("before", os.path.abspath(args.compare)), ("after", os.path.join(args.build_dir, "vemo-monitor"))):
        for n in (args.n, 10):
            argv = [shutil.which("unshare"), "--mount", "--pid", "--fork", "--kill-child", "--propagation", "private",
                    sys.executable, os.path.abspath(__file__), "--inside-compare", "--build-dir", args.build_dir,
                    "--n", str(n), "--concurrency", str(args.concurrency), "--seconds", str(args.seconds),
                    "--monitor", binary] + (["--monit"] if name == "after" and n > 10 and args.monit else [])
            out = subprocess.run(argv, stdout=subprocess.PIPE, text=True)
            if out.returncode != 0:
                print("the measurement of %s failed:\n%s" % (binary, out.stdout), file=sys.stderr)
                return 1
            rows.setdefault(name, {}).update(json.loads(out.stdout.strip().splitlines()[-1]))
    keys = [("wrk_per_s", "/metrics, %d clients: requests/s" % args.concurrency, "%.0f"),
            ("wrk_p99_ms", "/metrics, %d clients: p99 ms" % args.concurrency, "%.1f"),
            ("cpu_ms_per_request", "/metrics, %d clients: monitor CPU ms/request" % args.concurrency, "%.3f"),
            ("cpu_cores", "/metrics, %d clients: monitor CPU, cores" % args.concurrency, "%.2f"),
            ("wrk_per_s_pinned", "  the same, wrk and monitor pinned apart: req/s", "%.0f"),
            ("wrk_p99_ms_pinned", "  the same, pinned apart: p99 ms", "%.1f"),
            ("cpu_cores_pinned", "  the same, pinned apart: monitor CPU, cores", "%.2f"),
            ("metrics_idle_ms", "one /metrics, no fresh pass (median of 6), ms", "%.2f"),
            ("cpu_ms_per_idle_get", "  its monitor CPU (median), ms", "%.2f"),
            ("metrics_every_2s_ms", "one /metrics, asked every 2 s, ms", "%.2f"),
            ("healthz_ms", "one /healthz, ms", "%.2f"),
            ("idle_cpu_ms_per_5s", "CPU ms over 5 s without requests", "%.2f"),
            ("pss_kb", "PSS kB at N = 10, all its processes", "%d")]
    if "monit_page_ms" in rows["after"]:
        print("monit %s beside the same N programs, one process check each: its status page (%d bytes) "
              "%.2f ms when idle (median of 5), %.2f ms of its CPU per page" %
              (monit_version(), rows["after"]["monit_page_bytes"], rows["after"]["monit_page_ms"],
               rows["after"]["monit_cpu_ms_per_page"]))
    print("N = %d (PSS at N = 10)" % args.n)
    print("  %-48s %12s %12s" % ("", "before", "after"))
    for key, label, fmt in keys:
        print("  %-48s %12s %12s" % (label, fmt % rows["before"][key], fmt % rows["after"][key]))
    print(json.dumps(rows))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--n", type=int, default=1000)
    parser.add_argument("--requests", type=int, default=1000)
    parser.add_argument("--concurrency", type=int, default=50)
    parser.add_argument("--idle", type=int, default=200)
    parser.add_argument("--compare", metavar="BASE_MONITOR")
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--inside-compare", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--monitor", help=argparse.SUPPRESS)
    parser.add_argument("--monit", action="store_true",
                        help="with --compare: measure monit(1)'s status page beside the same programs")
    args = parser.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    if args.inside:
        return inside(args)
    if args.inside_compare:
        return compare_inside(args)
    if args.compare:
        return compare(args)
    unshare = shutil.which("unshare")
    if os.geteuid() != 0 or unshare is None:
        print("monitor_bench.py needs root and unshare(1) for its private namespaces", file=sys.stderr)
        return 1
    argv = [unshare, "--mount", "--pid", "--fork", "--kill-child", "--propagation", "private", sys.executable,
            os.path.abspath(__file__), "--inside", "--build-dir", args.build_dir, "--n", str(args.n),
            "--requests", str(args.requests), "--concurrency", str(args.concurrency), "--idle", str(args.idle)]
    out = subprocess.run(argv, stdout=subprocess.PIPE, text=True)
    if out.returncode != 0:
        print("the measurement failed:\n%s" % out.stdout, file=sys.stderr)
        return 1
    result = json.loads(out.stdout.strip().splitlines()[-1])
    report(result)
    print(json.dumps(result))
    bad = result["load"]["failures"] + result["idle"]["failures"] + result["malformed"]["failures"]
    return 1 if bad or not result["lock_still_held_by_monitor"] else 0


if __name__ == "__main__":
    code = main()
    sys.stdout.flush()
    os._exit(code)
