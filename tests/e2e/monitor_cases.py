"""vemo-monitor, the real one: started by the watchdog, serving HTTP on loopback, and under abuse.

The sandbox shares the host's network namespace, so each case listens on a free port of its own,
set through the tree's etc/vemo-monitor.conf, and only ever on 127.0.0.1.
"""

import http.client
import json
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import time

from sandbox import (CYCLE, LOG_INFO, MONITOR, MONITOR_PID_FILE, RUN_DIR, TREE, WATCH_LIST, case, case_table, check,
                     children, free_port, read, sanitized)
STATE_FILE = RUN_DIR + "/state.log"
STATE_SIZE = 160
FIXTURE_PID = "/var/run/mix/up.pid"
# Both capabilities the status workers keep: reading files and other users' /proc entries.
WORKER_CAPS = 1 << 2


def install_monitor(sb, port, extra=""):
    """The built monitor in the tree, listening on port."""
    path = os.path.join(sb.build_dir, "vemo-monitor")
    check(os.path.exists(path), "%s is not built (cmake --build the vemo-monitor target)" % path)
    sb.install("vemo-monitor", path)
    sb.write(TREE + "/etc/vemo-monitor.conf", "# the case's own port\nlisten=127.0.0.1:%d\n%s" % (port, extra))


def fetch(port, path, method="GET", timeout=10.0):
    """(status, headers, body) of one request on a fresh connection."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request(method, path)
        r = conn.getresponse()
        return r.status, dict(r.getheaders()), r.read()
    finally:
        conn.close()


def wait_serving(sb, port, path="/metrics", want=200):
    def answer():
        try:
            return fetch(port, path, timeout=2)[0] == want
        except OSError:
            return False
    sb.wait_for(answer, 5, "%s to answer %d on port %d" % (path, want, port))


def state():
    with open(STATE_FILE) as f:
        text = f.read()
    check(len(text) == STATE_SIZE and text.startswith('{"last-request-at": '),
          "state file whole, key first: %r" % text)
    return json.loads(text)


def proc_status(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            out[key] = value.split()
    return out


def expected_user():
    try:
        pwd.getpwnam("vemo-monitor")
        return "vemo-monitor"
    except KeyError:
        return "nobody"


def status_workers(monitor):
    """The monitor's children but the spawner that makes them (its name tells it apart)."""
    return [w for w in children(monitor) if read("/proc/%d/comm" % w) != "vemo-spawner\n"]


def check_dropped(server, workers):
    """The server keeps nothing of root; the workers keep only their two read capabilities."""
    uid = pwd.getpwnam(expected_user()).pw_uid
    for pid, caps in [(server, 0)] + [(w, WORKER_CAPS) for w in workers]:
        st = proc_status(pid)
        check(st["Uid"] == [str(uid)] * 4 and st["Gid"][0] != "0" and st["Groups"] in ([], [st["Gid"][0]]),
              "process %d runs as %s: %r %r %r" % (pid, expected_user(), st["Uid"], st["Gid"], st["Groups"]))
        check(int(st["CapEff"][0], 16) == caps and int(st["CapPrm"][0], 16) == caps and st["NoNewPrivs"] == ["1"],
              "process %d capabilities %r, wanted %#x" % (pid, st["CapEff"], caps))


def metric_values(text):
    """{(name, line label or None): value} of every sample line."""
    out = {}
    for line in text.splitlines():
        if line.startswith("#") or not line:
            continue
        m = re.match(r'^(\w+)(?:\{line="(\d+)"[^}]*\})? (\S+)$', line)
        check(m is not None, "sample line %r" % line)
        out[(m.group(1), m.group(2))] = float(m.group(3))
    return out


def promtool_check(sb, text):
    tool = shutil.which("promtool")
    check(tool is not None, "promtool is missing: apt-get install prometheus")
    with open("/tmp/metrics.txt", "w") as f:
        f.write(text)
    pid = sb.spawn(["/bin/sh", "-c", "exec %s check metrics < /tmp/metrics.txt" % tool], stdio="/tmp/promtool.out")
    rc = sb.wait_exit(pid, timeout=30)
    out = read("/tmp/promtool.out")
    check(rc == 0 and out.strip() == "", "promtool check metrics: status %d\n%s" % (rc, out))


@case
def monitor_served_by_watchdog(sb):
    """The watchdog starts the real monitor; it serves all three endpoints over a known mix of states,
    records every request, comes back after SIGKILL within a cycle and ends cleanly on SIGTERM."""
    port = free_port()
    sb.make_tree(monitor=None, watch_list="".join([
        "1:%s:%s:--pidfile=%s\n" % (FIXTURE_PID, sb.fixture_path(), FIXTURE_PID),  # 1 running
        "0:/var/run/mix/off.pid:/bin/sleep:1000\n",                                 # 2 stopped
        "1:/var/run/mix/gone.pid:/nonexistent/program\n",                           # 3 down
        "just one field\n",                                                          # 4 invalid
    ]))
    install_monitor(sb, port)
    daemon, first = sb.start_daemon()
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=5)
    _, r = sb.wait_record(re.compile("^started: serving"), LOG_INFO, start=first, timeout=5, pid=monitor)
    check(r.text == "started: serving http://127.0.0.1:%d/ as user %s" % (port, expected_user()), r.text)
    sb.wait_lock(FIXTURE_PID, timeout=5)
    wait_serving(sb, port, "/healthz", 200)
    workers = status_workers(monitor)
    check(len(workers) == 2, "two status workers: %r" % workers)
    check_dropped(monitor, workers)
    check(read(MONITOR_PID_FILE) == "%d\n" % monitor, "the pid file names the monitor")

    # Each request is recorded: one more served, stamped while it was answered.
    answers = {}
    for method, path, want in [("GET", "/metrics", 200), ("GET", "/status", 200), ("GET", "/healthz", 200),
                               ("HEAD", "/metrics", 200), ("GET", "/nothing", 404), ("POST", "/status", 405),
                               ("DELETE", "/nothing", 405), ("GET", "/metrics?x=1", 200)]:
        before = state()
        t0 = int(time.time())
        status, headers, body = fetch(port, path, method)
        after = state()
        check(status == want, "%s %s: %d, wanted %d" % (method, path, status, want))
        check(after["requests-served"] == before["requests-served"] + 1
              and t0 <= after["last-request-at"] <= time.time()
              and (after["pid"], after["started-at"]) == (monitor, before["started-at"]),
              "%s %s recorded: %r -> %r" % (method, path, before, after))
        answers[(method, path)] = (headers, body, before["requests-served"])

    headers, body, _ = answers[("HEAD", "/metrics")]
    check(body == b"" and int(headers["Content-Length"]) > 0, "HEAD: headers only %r" % headers)
    check(answers[("POST", "/status")][0].get("Allow") == "GET, HEAD", "405 names the allowed methods")

    headers, body, served_before = answers[("GET", "/metrics")]
    text = body.decode()
    check(headers["Content-Type"].startswith("text/plain; version=0.0.4"), headers["Content-Type"])
    promtool_check(sb, text)
    values = metric_values(text)
    want = {("vemo_watchdog_up", None): 1, ("vemo_watchlist_invalid_lines", None): 1,
            ("vemo_program_up", "0"): 1, ("vemo_program_up", "1"): 1, ("vemo_program_up", "2"): 0,
            ("vemo_program_up", "3"): 0, ("vemo_program_enabled", "1"): 1, ("vemo_program_enabled", "2"): 0,
            ("vemo_program_enabled", "3"): 1, ("vemo_monitor_requests_total", None): served_before + 1,
            ("vemo_monitor_start_time_seconds", None): state()["started-at"]}
    got = {k: values.get(k) for k in want}
    check(got == want, "metrics\n want %r\n got  %r" % (want, got))
    check(("vemo_program_up", "4") not in values, "the invalid line is no program")

    headers, body, _ = answers[("GET", "/status")]
    check(headers["Content-Type"] == "application/json", headers["Content-Type"])
    st = json.loads(body)
    check(st["watchdog"]["running"] and st["watchdog"]["pid"] == daemon, "watchdog: %r" % st["watchdog"])
    check(st["monitor"]["pid"] == monitor and st["monitor"]["state"] == "running", "monitor: %r" % st["monitor"])
    check([(e["line"], e["state"]) for e in st["entries"]] == [(1, "running"), (2, "stopped"), (3, "down")]
          and st["list"]["invalid_lines"] == [4], "entries: %r" % st)

    # SIGKILL: the watchdog starts a new one within a cycle; the old workers die with theirs.
    mark = len(sb.records)
    os.kill(monitor, signal.SIGKILL)
    killed = time.monotonic()
    _, r = sb.wait_record(re.compile("spawned"), LOG_INFO, start=mark, timeout=CYCLE + 2, pid=None)
    check(r.when - killed <= CYCLE, "started again within a cycle (%.1fs)" % (r.when - killed))
    again = sb.wait_lock(MONITOR_PID_FILE, timeout=5, other_than=monitor)
    sb.wait_for(lambda: not any(sb.alive(w) for w in workers), 3, "the killed monitor's workers to end")
    wait_serving(sb, port, "/healthz", 200)
    check(state()["pid"] == again, "the new monitor writes the state file")

    # The watchdog gone, /healthz says so; SIGTERM then ends the monitor and its workers at once.
    check(sb.stop_daemon(daemon) == 0, "orderly stop of the watchdog")
    check(fetch(port, "/healthz")[0] == 503, "503 without the watchdog's lock")
    workers = children(again)
    stopping = time.monotonic()
    os.kill(again, signal.SIGTERM)
    check(sb.wait_exit(again, timeout=3) == 0, "status 0 after SIGTERM")
    check(time.monotonic() - stopping < 2, "ended promptly")
    sb.wait_record("stopped", LOG_INFO, start=mark, timeout=1, pid=again)
    sb.wait_for(lambda: not any(sb.alive(w) for w in workers), 3, "its workers to end")
    check(sb.lock_holder(MONITOR_PID_FILE) == 0, "the lock is free")


def raw_exchange(port, data, timeout):
    """Sends data on a fresh connection; returns (status line, None when closed without one, or
    "reset"; seconds until the server closed)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    try:
        start = time.monotonic()
        got = b""
        try:
            if data:
                s.sendall(data)
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
        except (ConnectionResetError, BrokenPipeError):
            # Closed with our excess unread: the kernel resets, and may drop the answer with it.
            if not got:
                return "reset", time.monotonic() - start
        line = got.split(b"\r\n", 1)[0].decode("latin-1") if got else None
        return line, time.monotonic() - start
    finally:
        s.close()


@case
def monitor_survives_abuse(sb):
    """Idle connections, huge headers, garbage and a partial request: each gets an error or a timeout,
    a normal client is served all along, and the lock and the state file stay the monitor's."""
    port = free_port()
    timeout = 3
    sb.make_tree(monitor=None, watch_list="")
    install_monitor(sb, port, "timeout=%d\n" % timeout)
    monitor = sb.spawn([MONITOR], env=sb.daemon_env())
    check(sb.wait_lock(MONITOR_PID_FILE, timeout=5) == monitor, "the monitor holds its lock")
    wait_serving(sb, port)

    def served(what):
        before = state()["requests-served"]
        t0 = time.monotonic()
        status, _, body = fetch(port, "/metrics", timeout=5)
        took = time.monotonic() - t0
        check(status == 200 and b"vemo_monitor_requests_total" in body, "%s: a normal client is served" % what)
        check(took < 2, "%s: served in %.2fs" % (what, took))
        check(state()["requests-served"] == before + 1, "%s: the request is recorded" % what)
        check(sb.lock_holder(MONITOR_PID_FILE) == monitor, "%s: the lock stays the monitor's" % what)

    idle = [socket.create_connection(("127.0.0.1", port), timeout=timeout + 5) for _ in range(200)]
    opened = time.monotonic()
    served("200 idle connections open")

    for what, data, want in [
            ("huge header", b"GET /metrics HTTP/1.1\r\nHost: a\r\nX-Big: " + b"a" * 65536 + b"\r\n\r\n", "431"),
            ("many headers", b"GET /metrics HTTP/1.1\r\n" + b"".join(b"X-%d: v\r\n" % i for i in range(3000))
             + b"\r\n", "431"),
            ("huge URL", b"GET /" + b"m" * 65536 + b" HTTP/1.1\r\nHost: a\r\n\r\n", "414"),
            ("binary garbage", b"\xff\xfe garbage \x01\r\n\r\n", "400"),
            ("no version", b"GET /metrics\r\n\r\n", "400"),
            ("unknown version", b"GET /metrics HTTP/9.9\r\n\r\n", "505"),
            ("a lone word", b"HELLO\r\n\r\n", "closed"),
            # A NUL ends the line where the parser looks: it waits for more until the timeout.
            ("NUL first", b"\x00\xff\xfe garbage \x01\r\n\r\n", "timeout"),
            ("TLS hello", b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + b"\x00" * 50, "timeout")]:
        line, took = raw_exchange(port, data, timeout + 5)
        if want == "closed":
            ok = line is None and took < 1
        elif want == "timeout":
            ok = line is None and timeout - 1 <= took < timeout + 2
        elif line == "reset":
            ok = want in ("431", "414") and took < 1
        else:
            ok = line is not None and line.split(" ")[1:2] == [want] and took < 1
        check(ok, "%s: %r after %.1fs, wanted %s" % (what, line, took, want))
        served(what)

    # A request begun and never finished is dropped at the idle timeout, not held.
    line, took = raw_exchange(port, b"GET /metrics HTTP/1.1\r\nHost: a\r\n", timeout + 5)
    check(line is None and timeout - 1 <= took < timeout + 2, "partial request closed after %.1fs" % took)
    served("after a partial request")

    # The idle ones were closed by the monitor at its timeout.
    for s in idle:
        s.settimeout(max(0.1, opened + timeout + 3 - time.monotonic()))
        try:
            check(s.recv(1) == b"", "an idle connection is closed by the monitor")
        except ConnectionResetError:
            pass
        except socket.timeout:
            check(False, "an idle connection is still open %.1fs after it was made" % (time.monotonic() - opened))
        s.close()

    values = metric_values(fetch(port, "/metrics")[2].decode())
    check(values[("vemo_program_up", "0")] == 1 and values[("vemo_watchdog_up", None)] == 0,
          "the monitor sees itself running and no watchdog: %r" % values)
    check(fetch(port, "/healthz")[0] == 503, "no watchdog: 503")
    workers = children(monitor)
    os.kill(monitor, signal.SIGTERM)
    check(sb.wait_exit(monitor, timeout=3) == 0, "status 0 after SIGTERM")
    sb.wait_for(lambda: not any(sb.alive(w) for w in workers), 3, "its workers to end")


# ---------------------------------------------------------------- least privilege, as pid 1

# Pid files planted as links to what must never be published: (pid file, target, text that must
# not appear over HTTP, the entry's state).
PLANTED_PID_FILES = [
    ("/var/run/h/10.pid", "/tmp/secret.txt", "root:*:20228", "down"),
    ("/var/run/h/11.pid", "/proc/self/environ", "VEMO_MARK", "error"),
]


@case
def monitor_as_pid_one_holds_no_privilege(sb):
    """Started as pid 1 of a pid namespace, the monitor serves; no process of it has a capability in
    its bounding set, the workers keep only CAP_DAC_READ_SEARCH, and no pid file's text is published."""
    port = free_port()
    sb.write("/tmp/secret.txt", "root:*:20228:0:\n", 0o600)
    os.makedirs("/var/run/h", exist_ok=True)
    for pid_file, target, _, _ in PLANTED_PID_FILES:
        os.symlink(target, pid_file)
    sb.make_tree(monitor=None, watch_list="".join("1:%s:/bin/sleep:1000\n" % row[0] for row in PLANTED_PID_FILES))
    install_monitor(sb, port)
    env = {"VEMO_MARK": "first in the environment"}
    env.update(sb.daemon_env())
    launcher = sb.spawn([shutil.which("unshare"), "--pid", "--mount-proc", "--fork", "--kill-child", MONITOR], env=env)
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=5)
    wait_serving(sb, port)

    for pid in [monitor] + children(monitor):
        st = proc_status(pid)
        caps = 0 if pid == monitor else 1 << 2
        check(st["CapBnd"] == ["0" * 16] and int(st["CapEff"][0], 16) == caps and
              int(st["CapPrm"][0], 16) == caps and st["NoNewPrivs"] == ["1"],
              "process %d: CapBnd %r CapEff %r, wanted %#x" % (pid, st["CapBnd"], st["CapEff"], caps))

    status, _, body = fetch(port, "/status")
    entries = {e["pid_file"]: e for e in json.loads(body)["entries"]}
    for pid_file, _, secret, want in PLANTED_PID_FILES:
        e = entries[pid_file]
        check(secret.encode() not in body and e["state"] == want and
              (e["last_holder"] is None or e["last_holder"]["pid_text"] is None),
              "%s: %r" % (pid_file, e))
    os.kill(monitor, signal.SIGTERM)
    check(sb.wait_exit(launcher, timeout=5) == 0, "status 0 after SIGTERM")

def start_monitor(sb, extra, watch_list="", daemon=False):
    """The monitor on a free port with extra configuration, alone or under the watchdog; (port, pid)."""
    port = free_port()
    sb.make_tree(monitor=None, watch_list=watch_list)
    install_monitor(sb, port, extra)
    if daemon:
        sb.start_daemon()
        pid = sb.wait_lock(MONITOR_PID_FILE, timeout=5)
    else:
        pid = sb.spawn([MONITOR], env=sb.daemon_env())
        check(sb.wait_lock(MONITOR_PID_FILE, timeout=5) == pid, "the monitor holds its lock")
    wait_serving(sb, port, "/status")
    return port, pid


def stop_monitor(sb, pid):
    workers = children(pid)
    os.kill(pid, signal.SIGTERM)
    sb.wait_for(lambda: not sb.alive(pid), 3, "the monitor to end after SIGTERM")
    sb.wait_for(lambda: not any(sb.alive(w) for w in workers), 3, "its workers to end")


def timed_fetch(port, path, limit):
    t0 = time.monotonic()
    status, headers, body = fetch(port, path, timeout=limit + 5)
    took = time.monotonic() - t0
    check(took < limit, "%s answered in %.2fs, wanted under %.1fs" % (path, took, limit))
    return status, headers, body


def stuck_workers(sb):
    """Both workers stopped: /healthz needs none; /status gets an error within the pass deadline, and
    the monitor serves again, by a fresh worker or, when it cannot make one, started afresh."""
    port, pid = start_monitor(sb, "pass_timeout=2\nmax_age_ms=0\n", daemon=True)
    mark = len(sb.records)
    for w in status_workers(pid):
        os.kill(w, signal.SIGSTOP)
    check(timed_fetch(port, "/healthz", 0.5)[0] == 200, "/healthz without a worker")
    check(timed_fetch(port, "/status", 3.5)[0] == 500, "an overrun pass is an error")
    sb.wait_record(re.compile(r"^status worker \d+ took longer than 2 s"), 3, start=mark, timeout=1, pid=pid)

    def served():
        try:
            return fetch(port, "/status", timeout=4)[0] == 200
        except OSError:
            return False
    sb.wait_for(served, CYCLE + 8, "/status served again")
    stop_monitor(sb, sb.lock_holder(MONITOR_PID_FILE))


def missing_list(sb):
    """No watch list: the watchdog still holds its lock and the status has the monitor alone."""
    port, pid = start_monitor(sb, "", daemon=True)
    os.unlink(TREE + "/etc/watching-list.conf")
    check(fetch(port, "/healthz")[0] == 200, "/healthz from the watchdog's lock")
    status, _, body = fetch(port, "/metrics")
    values = metric_values(body.decode())
    check(status == 200 and values[("vemo_program_up", "0")] == 1 and values[("vemo_watchlist_readable", None)] == 0,
          "/metrics: %d %r" % (status, values))
    stop_monitor(sb, pid)


def trickling(sb):
    """600 clients sending a header line a second never finish: a normal client is served at once and
    every trickler is closed once its request is older than the timeout."""
    port, pid = start_monitor(sb, "timeout=3\n")
    socks = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(600)]
    opened = time.monotonic()
    for s in socks:
        s.sendall(b"GET /metrics HTTP/1.1\r\n")
    check(timed_fetch(port, "/metrics", 1.0)[0] == 200, "a normal client among 600 tricklers")
    closed = 0
    while closed < len(socks) and time.monotonic() - opened < 6:
        for s in socks:
            try:
                s.sendall(b"X-Slow: 1\r\n")
            except OSError:
                pass
        time.sleep(1)
        closed = 0
        for s in socks:
            s.setblocking(False)
            try:
                closed += s.recv(1) == b""
            except BlockingIOError:
                pass
            except OSError:
                closed += 1
    check(closed == len(socks), "%d of 600 tricklers closed within 6 s" % closed)
    for s in socks:
        s.close()
    stop_monitor(sb, pid)


def strict_requests(sb):
    """Only the listen address and loopback names are answered; ambiguous framing is refused."""
    port, pid = start_monitor(sb, "")
    for what, data, want in [
            ("rebound host", b"GET /status HTTP/1.1\r\nHost: evil.example:%d\r\n\r\n" % port, "421"),
            ("loopback name", b"GET /healthz HTTP/1.1\r\nHost: localhost:%d\r\nConnection: close\r\n\r\n" % port, "503"),
            ("two lengths", b"GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab",
             "400"),
            ("length and chunked", b"GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n"
             b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "400"),
            ("NUL in the path", b"GET /sta\x00tus HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "400"),
            ("bare line feed", b"GET /status HTTP/1.1\nHost: 127.0.0.1\n\n", "400")]:
        line, took = raw_exchange(port, data, 5)
        check(line is not None and line.split(" ")[1:2] == [want] and took < 1,
              "%s: %r after %.1fs, wanted %s" % (what, line, took, want))
    stop_monitor(sb, pid)


def burst_memory(sb):
    """The server's resident memory comes back after 1,000 connections at once."""
    port, pid = start_monitor(sb, "connection_limit=2000\n", watch_list="".join(
        "1:/var/run/m/%d.pid:/bin/sleep:1000\n" % i for i in range(1000)))

    def rss():
        return int(proc_status(pid)["VmRSS"][0])
    fetch(port, "/metrics")
    before = rss()
    socks = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(1000)]
    for s in socks:
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
    for s in socks:
        while s.recv(1 << 16):
            pass
        s.close()
    # AddressSanitizer's quarantine keeps freed blocks on purpose: only the plain build can show it.
    if not sanitized(sb):
        sb.wait_for(lambda: rss() < before + 1024, 5, "RSS back near %d kB after the burst (now %d kB)" % (before, rss()))
    stop_monitor(sb, pid)


def kept_between_passes(sb):
    """A worker keeps a running entry's pid file and holder, the parsed list and the facts of its last
    Prometheus text between passes: a file replaced under a holder that keeps the old one or renamed
    over it, the holder's pid taken by another command line, a tmpfs mounted over the file's
    directory, that directory renamed and made anew, and the list edited in place at once or
    replaced are all seen, in /metrics too."""
    pid_file = "/var/run/k/a.pid"
    os.makedirs("/var/run/k", exist_ok=True)
    fixture = sb.fixture_path()
    line = "1:%s:%s:--pidfile=%s\n" % (pid_file, fixture, pid_file)
    port, pid = start_monitor(sb, "max_age_ms=0\n", watch_list=line)

    def holder(*args, other_than=0, held=pid_file):
        spawned = sb.spawn([fixture, "--pidfile=" + held] + list(args))
        check(sb.wait_lock(held, timeout=5, other_than=other_than) == spawned, "%d holds %s" % (spawned, held))
        return spawned

    def seen(want, changed, enabled=1):
        e = json.loads(fetch(port, "/status")[2])["entries"][0]
        m = metric_values(fetch(port, "/metrics")[2].decode())
        started = m.get(("vemo_program_start_time_seconds", "1"))
        got = (e["pid"], e["changed"], m[("vemo_program_enabled", "1")], started and "%.3f" % started)
        check(got == (want, changed, enabled, e["started_at"] and "%.3f" % e["started_at"]), "pass after pass, wanted %r: %r" % (want, e))
    first = holder()
    seen(first, False)
    os.unlink(pid_file)
    second = holder(other_than=first)
    seen(second, False)
    os.kill(second, signal.SIGTERM)
    sb.wait_exit(second)
    with open("/proc/sys/kernel/ns_last_pid", "w") as f:  # this world's own pid namespace
        f.write(str(second - 1))
    third = holder("--other-line")
    check(third == second, "pid %d taken again: %d" % (second, third))
    seen(third, True)
    fourth = holder(held="/var/run/k/new.pid")
    os.rename("/var/run/k/new.pid", pid_file)
    seen(fourth, True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/var/run/k"], check=True)
    seen(None, None)
    subprocess.run(["umount", "/var/run/k"], check=True)
    seen(fourth, True)
    os.rename("/var/run/k", "/var/run/k.old")  # a directory above it renamed, another in its place
    os.makedirs("/var/run/k")
    fifth = holder(other_than=fourth)
    seen(fifth, False)
    with open(WATCH_LIST, "r+") as f:  # the same size, in place
        f.write("0")
    seen(fifth, None, enabled=0)
    sb.write(WATCH_LIST + ".new", line)
    os.rename(WATCH_LIST + ".new", WATCH_LIST)
    seen(fifth, False)
    stop_monitor(sb, pid)


case_table(lambda sb, run: run(sb), [
    ("monitor_stuck_workers_replaced", stuck_workers),
    ("monitor_healthz_without_list", missing_list),
    ("monitor_trickling_clients_closed", trickling),
    ("monitor_strict_requests", strict_requests),
    ("monitor_memory_back_after_burst", burst_memory),
    ("monitor_kept_between_passes", kept_between_passes),
])
