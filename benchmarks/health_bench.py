#!/usr/bin/env python3
"""Restart after a hang: vemo-lockrun --restart's health check beside monit(1)'s, same server, same run.

health_bench.py [--build-dir DIR] [--runs 5] [--default-runs R] [--grace 5] [--idle 30] [--no-defaults]

Needs root, unshare(1) and monit. In a private world (tests/e2e/sandbox.py: its own /run, /tmp and
/dev with a recording /dev/log; the host's network, so the server listens on a free loopback port)
one small HTTP server is supervised in turn by each supervisor. It runs as nobody through setpriv,
holds its pid file, has idle threads and acts on SIGTERM from its main loop as Redis does, and
stops answering when SIGSTOPped (the kernel still completes connections into its queue). Each
run starts the supervisor afresh, waits until the supervisor has checked the server once, SIGSTOPs
the server, and measures the time until the old server is gone and a new one answers a real
request (GET, its pid in the answer). Also noted: how the old server ended (exit 0 on SIGTERM, or
SIGKILL), and for vemo-lockrun when its record of the failed checks came. Rows:
  vemo-lockrun --check-port=P --check-interval=1 --check-timeout=1 --check-fails=2 --grace=G
  monit: set daemon 1; if failed port P protocol http with timeout 1 seconds for 2 cycles then restart
  monit: the same with its plain port test (connect only; bounded: a miss ends the row)
  vemo-lockrun --check-port=P at its defaults (interval 10, timeout 5, fails 3, grace 10)
  monit as Debian ships its cycle (set daemon 120), protocol http, its default timeout and 1 cycle
monit runs by hand in the foreground (monit -I -c CONF), every file of it in a temporary
directory; its stop program sends SIGTERM and SIGCONT, and SIGKILL after G seconds. With the
1 s settings, each supervisor's CPU over IDLE seconds of checking a healthy server (its own
threads and the checks it reaped). Prints a table; leaves nothing running.
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import sandbox  # noqa: E402

DIR = "/tmp/health-bench"
SEEN = DIR + "/seen"  # one byte for each connection the server took that was not ours
SERVER_PID = DIR + "/srv.pid"  # monit's: the server writes it
LOCK_PID = DIR + "/lr.pid"  # vemo-lockrun's lock; the state file beside it
SERVER_PATH = DIR + "/server.py"
# As nobody, as a daemon drops root; the parent-death signal kept, as the recipes do.
AS_NOBODY = ["/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--pdeathsig=keep"]

# argv: PORT SEEN PIDFILE|-. GET /bench is answered with the pid; anything else is a check. Shaped
# like Redis: idle threads beside the main one, and SIGTERM acted on by the main loop, which wakes
# at least every 100 ms.
SERVER = r"""
import os, signal, socket, sys, threading
signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
port, seen, pid_file = int(sys.argv[1]), sys.argv[2], sys.argv[3]
for _ in range(3):
    threading.Thread(target=threading.Event().wait, daemon=True).start()
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", port))
s.listen(4096)
s.settimeout(0.1)
if pid_file != "-":
    with open(pid_file + ".new", "w") as f:
        f.write("%d\n" % os.getpid())
    os.rename(pid_file + ".new", pid_file)
while True:
    try:
        c = s.accept()[0]
    except socket.timeout:
        continue
    c.settimeout(1)
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            d = c.recv(4096)
            if not d:
                break
            data += d
        if data.startswith(b"GET /bench "):
            c.sendall(b"HTTP/1.0 200 OK\r\n\r\n%d\n" % os.getpid())
        else:
            fd = os.open(seen, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
            os.write(fd, b"c")
            os.close(fd)
            if data:
                c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nok\n")
    except OSError:
        pass
    c.close()
"""

STOP = """#!/bin/sh
p=$(cat %s) || exit 0
kill -TERM "$p"; kill -CONT "$p"
i=0
while kill -0 "$p" 2>/dev/null && [ $i -lt %d ]; do sleep 0.1; i=$((i+1)); done
kill -KILL "$p" 2>/dev/null
exit 0
"""


def answer(port):
    """The pid of the server that answered GET /bench, or 0."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2) as c:
            c.settimeout(0.2)
            c.sendall(b"GET /bench HTTP/1.0\r\n\r\n")
            data = b""
            while True:
                d = c.recv(4096)
                if not d:
                    break
                data += d
        return int(data.split(b"\r\n\r\n", 1)[1])
    except (OSError, ValueError, IndexError):
        return 0


def seen():
    try:
        return os.path.getsize(SEEN)
    except OSError:
        return 0


def lockrun_state():
    try:
        with open(LOCK_PID + ".lockrun") as f:
            return dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)
    except OSError:
        return {}


def cpu_seconds(pid):
    """Every thread's time on the CPU, and the children's it reaped (at the clock tick's resolution)."""
    own = 0.0
    for tid in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
            own += int(f.read().split()[0]) / 1e9
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return own, (int(fields[13]) + int(fields[14])) / os.sysconf("SC_CLK_TCK")


def poll(predicate, timeout, step=0.005):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


class Lockrun:
    def __init__(self, sb, port, options, grace):
        self.sb, self.port = sb, port
        self.argv = [sb.built("vemo-lockrun"), "--restart", "--name=srv", "--grace=%g" % grace,
                     "--check-port=%d" % port] + options + [LOCK_PID] + AS_NOBODY + [
                         "/usr/bin/python3", SERVER_PATH, str(port), SEEN, "-"]
        self.setting = " ".join(self.argv[2:self.argv.index(LOCK_PID)])

    def start(self):
        self.pid = self.sb.spawn(self.argv)

    def server(self):
        st = lockrun_state()
        return int(st.get("child_pid", "0") or 0) if st.get("health") == "healthy" else 0

    def ended(self, old):
        st = lockrun_state()
        return st.get("last_exit", "?")

    def noticed(self, old, since):
        for r in list(self.sb.records):
            if r.pid == self.pid and r.text.startswith("srv (%d) failed its check" % old):
                return r.when - since
        return None

    def stop(self):
        os.kill(self.pid, signal.SIGTERM)
        self.sb.wait_exit(self.pid, timeout=20)


class Monit:
    def __init__(self, sb, port, cycle, test, grace):
        self.sb, self.port = sb, port
        self.conf = DIR + "/monit/monitrc"
        self.setting = "set daemon %d; %s" % (cycle, test)
        os.makedirs(DIR + "/monit", exist_ok=True)
        sb.write(DIR + "/monit/stop", STOP % (SERVER_PID, int(grace * 10)), 0o755)
        text = ("set daemon %d\nset log %s/monit/log\nset idfile %s/monit/id\nset statefile %s/monit/state\n"
                "set pidfile %s/monit/pid\n" % (cycle, DIR, DIR, DIR, DIR) +
                "check process srv with pidfile %s\n" % SERVER_PID +
                "  start program = \"%s/monit/start\" with timeout 10 seconds\n" % DIR +
                "  stop program = \"%s/monit/stop\" with timeout %d seconds\n" % (DIR, int(grace) + 5) +
                "  %s\n" % test)
        sb.write(DIR + "/monit/start", "#!/bin/sh\n%s /usr/bin/python3 %s %d %s %s </dev/null >/dev/null 2>&1 &\n"
                 % (" ".join(AS_NOBODY), SERVER_PATH, port, SEEN, SERVER_PID), 0o755)
        with open(os.open(self.conf, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write(text)

    def start(self):
        self.pid = self.sb.spawn(["/usr/bin/monit", "-I", "-c", self.conf], stdio=DIR + "/monit/out")

    def server(self):
        try:
            with open(SERVER_PID) as f:
                return int(f.read())
        except (OSError, ValueError):
            return 0

    def ended(self, old):
        code = self.sb.exits.get(old)
        return {0: "exited 0", -9: "killed SIGKILL"}.get(code, "status %r" % code)

    def noticed(self, old, since):
        return None

    def stop(self):
        os.kill(self.pid, signal.SIGTERM)
        self.sb.wait_exit(self.pid, timeout=20)


def kill_leftovers(sb):
    for pid, argv in sb.processes().items():
        if argv[:2] == ["/usr/bin/python3", SERVER_PATH]:
            os.kill(pid, signal.SIGCONT)
            os.kill(pid, signal.SIGKILL)
            sb.wait_exit(pid, timeout=5)


def one_run(sb, sup, bound):
    """Seconds from SIGSTOP to a new server's answer, how the old one ended, when it was noticed."""
    for path in (SEEN, SERVER_PID):
        if os.path.exists(path):
            os.unlink(path)
    sup.start()
    try:
        old = poll(lambda: sup.server() if seen() and answer(sup.port) else 0, bound)
        sandbox.check(old, "the server was never up and checked")
        os.kill(old, signal.SIGSTOP)
        t0 = time.monotonic()
        gone = poll(lambda: not sb.alive(old), bound, step=0.002)
        new = gone and poll(lambda: (lambda p: p if p not in (0, old) else 0)(answer(sup.port)), bound, 0.002)
        took = time.monotonic() - t0
        if not new:
            return None, "not restarted within %.0f s" % bound, None
        return took, sup.ended(old), sup.noticed(old, t0)
    finally:
        sup.stop()
        kill_leftovers(sb)


def idle_cpu(sb, sup, seconds):
    for path in (SEEN, SERVER_PID):
        if os.path.exists(path):
            os.unlink(path)
    sup.start()
    try:
        sandbox.check(poll(lambda: seen() and answer(sup.port), 30), "the server was never up and checked")
        c0 = cpu_seconds(sup.pid)
        n0 = seen()
        time.sleep(seconds)
        c1 = cpu_seconds(sup.pid)
        return c1[0] - c0[0], c1[1] - c0[1], seen() - n0
    finally:
        sup.stop()
        kill_leftovers(sb)


def row(sb, name, sup, runs, bound, one_miss_ends=False):
    took, ends, noticed = [], [], []
    for _ in range(runs):
        t, end, n = one_run(sb, sup, bound)
        ends.append(end)
        if t is None:
            if one_miss_ends:
                break
            continue
        took.append(t)
        if n is not None:
            noticed.append((n, t - n))
    out = {"name": name, "setting": sup.setting, "runs": len(ends), "took": took, "ends": ends,
           "noticed": noticed}
    print("%-22s %s" % (name, summary(out)), flush=True)
    return out


def summary(r):
    if not r["took"]:
        return "%s (%d run%s)" % (r["ends"][0], r["runs"], "" if r["runs"] == 1 else "s")
    text = "median %.2f s, %.2f-%.2f s over %d runs" % (statistics.median(r["took"]), min(r["took"]),
                                                        max(r["took"]), len(r["took"]))
    if r["noticed"]:
        first, then = [n for n, _ in r["noticed"]], [a for _, a in r["noticed"]]
        text += "; noticed after %.2f-%.2f s, answering %.0f-%.0f ms later" % (min(first), max(first),
                                                                                1e3 * min(then), 1e3 * max(then))
    ended = sorted(set(r["ends"]))
    return text + "; the old one " + ", ".join("%s x%d" % (e, r["ends"].count(e)) for e in ended)


def inside(args):
    sb = sandbox.Sandbox(args.build_dir)
    os.makedirs(DIR)
    os.chmod(DIR, 0o1777)  # the server, as nobody, writes its pid file and its count here
    sb.write(SERVER_PATH, SERVER)
    g = args.grace
    tuned = ["--check-interval=1", "--check-timeout=1", "--check-fails=2"]
    http = "if failed host 127.0.0.1 port %d protocol http with timeout 1 seconds for 2 cycles then restart"
    plain = "if failed host 127.0.0.1 port %d with timeout 1 seconds for 2 cycles then restart"
    rows = []
    port = sandbox.free_port()
    rows.append(row(sb, "vemo-lockrun, 1 s", Lockrun(sb, port, tuned, g), args.runs, 20))
    rows.append(row(sb, "monit http, 1 s", Monit(sb, port, 1, http % port, g), args.runs, 20))
    rows.append(row(sb, "monit port, 1 s", Monit(sb, port, 1, plain % port, g), args.runs, 20, one_miss_ends=True))
    if not args.no_defaults:
        rows.append(row(sb, "vemo-lockrun, defaults", Lockrun(sb, port, [], 10), args.default_runs, 90))
        rows.append(row(sb, "monit http, Debian's", Monit(sb, port, 120, "if failed host 127.0.0.1 port %d protocol "
                                                          "http then restart" % port, 10), args.default_runs, 400))
    print("%-22s idle: CPU over %d s of checking a healthy server, the server's count of checks" % ("", args.idle))
    for name, sup in (("vemo-lockrun, 1 s", Lockrun(sb, port, tuned, g)),
                      ("monit http, 1 s", Monit(sb, port, 1, http % port, g))):
        own, reaped, checks = idle_cpu(sb, sup, args.idle)
        print("%-22s %.1f ms, %.2f ms a check (%d checks; its own threads %.1f ms, the processes it reaped %.0f ms)"
              % (name, (own + reaped) * 1e3, (own + reaped) * 1e3 / max(checks, 1), checks, own * 1e3, reaped * 1e3),
              flush=True)
    print("settings:")
    for r in rows:
        print("  %-22s %s" % (r["name"], r["setting"]))
    print("monit stop program: SIGTERM, SIGCONT, SIGKILL after %g s; load average at the end: %s" %
          (g, " ".join(open("/proc/loadavg").read().split()[:3])))
    sb.close()
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--default-runs", type=int, default=5)
    ap.add_argument("--grace", type=float, default=5.0)
    ap.add_argument("--idle", type=int, default=30)
    ap.add_argument("--no-defaults", action="store_true", help="leave out the rows at the defaults (minutes)")
    ap.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    if args.inside:
        return inside(args)
    unshare, monit = shutil.which("unshare"), shutil.which("monit")
    if os.geteuid() != 0 or unshare is None or monit is None:
        print("health_bench.py needs root, unshare(1) and monit(1)", file=sys.stderr)
        return 1
    print("monit: %s" % subprocess.run([monit, "-V"], stdout=subprocess.PIPE, text=True).stdout.splitlines()[0])
    sys.stdout.flush()
    return subprocess.call([unshare, "--mount", "--pid", "--fork", "--kill-child", "--propagation", "private",
                            sys.executable, os.path.abspath(__file__), "--inside"] + sys.argv[1:])


if __name__ == "__main__":
    code = main()
    sys.stdout.flush()
    os._exit(code)
