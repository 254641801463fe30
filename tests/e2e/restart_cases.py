"""vemo-lockrun --restart under the real watchdog: fast restarts below the watchdog's cycle."""

import os
import socket
import re
import signal
import statistics
import time

from sandbox import (CYCLE, LOG_ERR, LOG_INFO, RECORD_DIR, RUN_DIR, WATCH_LIST, case, check, free_port, prog,
                     read)

FAST_PID = RUN_DIR + "/fast.pid"
CRASH_PID = RUN_DIR + "/crash.pid"
GRACE = 2
GIVE_UP = 4
KILLS = 20
SETTLED = 1.0  # a child up this long ends a quick-death streak (vemo-lockrun(8))


def state(pid_file):
    """The wrapper's published state as a dict, {} while there is none."""
    try:
        text = read(pid_file + ".lockrun")
    except OSError:
        return {}
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def poll(predicate, timeout, what, step=0.001):
    """Tight polling, for the latency figures: the sandbox's waits wake every 100 ms at worst."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    raise AssertionError("timed out after %.1fs waiting for %s" % (timeout, what))


def running_child(pid_file, other_than=0):
    pid = int(state(pid_file).get("child_pid", "0") or 0)
    return pid if pid not in (0, other_than) else 0


def p95(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]


def wrapper_records(sb, wrapper, pattern, priority=None):
    """(record, match) of each record of one wrapper whose text matches pattern, in order."""
    out = []
    for r in list(sb.records):
        if r.pid == wrapper and (priority is None or r.priority == priority):
            m = re.fullmatch(pattern, r.text)
            if m:
                check(r.ident == "vemo-lockrun", "wrapper records must come as vemo-lockrun: %r" % r.raw)
                out.append((r, m))
    return out


def fixture_processes(sb, fixture):
    return [pid for pid, argv in sb.processes().items() if argv[:2] == [fixture, "--no-lock"]]


@case
def restart_lines_under_watchdog(sb):
    sb.make_tree()
    lockrun = sb.install("vemo-lockrun", sb.built("vemo-lockrun"))
    # A link named for its line, so that the watchdog's messages tell the two lines apart.
    fast = prog("fast-lockrun")
    os.symlink("vemo-lockrun", fast)
    crasher = prog("crasher")
    sb.write(crasher, "#!/bin/sh\nexit 3\n", 0o755)
    fixture = sb.fixture_path()
    # The fixture counts SIGTERMs and only ends at the thousandth: the grace period must end it. Its
    # log lines call it by its --name; the crasher's by its base name.
    line_a = "%s:%s:--restart:--grace=%d:--name=fast:%s:%s:--no-lock:--term-count=1000\n" % (
        FAST_PID, fast, GRACE, FAST_PID, fixture)
    line_b = "%s:%s:--restart:--give-up=%d:--max-delay=0.4:%s:%s\n" % (
        CRASH_PID, lockrun, GIVE_UP, CRASH_PID, crasher)
    sb.write(WATCH_LIST, "1:" + line_a + "1:" + line_b)
    daemon, _ = sb.start_daemon()

    # ---- line A: the wrapper holds the lock and names itself; its child is the fixture
    wrapper = sb.wait_lock(FAST_PID)
    check(read(FAST_PID) == "%d\n" % wrapper, "the pid file must name the wrapper")
    child = poll(lambda: running_child(FAST_PID), 5, "the first child")
    rec = sb.wait_fixture(lambda r: r["pid"] == child, 5, "the first child's record")[0]
    check(rec["ppid"] == wrapper and rec["fds"] == [0, 1, 2] and rec["ignored"] == [],
          "the child must get only its standard streams and default signals: %r" % rec)
    check(state(FAST_PID)["program"] == fixture and state(FAST_PID)["name"] == "fast",
          "the state must name the resolved program and its --name")
    # The start's own record may still be on its way to the log: only what follows it counts.
    sb.wait_for(lambda: sb.count("%s is not running.\n" % fast) >= 1, 5, "the record of the fast line's start")
    quiet_from = len(sb.records)

    # ---- SIGKILLed 20 times, each time once settled: back at once, never seen down
    outside, inside, killed = [], [], []
    for i in range(KILLS):
        started = float(state(FAST_PID)["child_started_at"])
        time.sleep(max(0.0, started + SETTLED + 0.1 - time.time()))
        t0 = time.monotonic()
        os.kill(child, signal.SIGKILL)
        new = poll(lambda: running_child(FAST_PID, other_than=child), 5, "restart %d" % (i + 1))
        outside.append(time.monotonic() - t0)
        st = state(FAST_PID)
        check(st["last_exit"] == "killed SIGKILL" and st["last_exit_code"] == "137",
              "the state must record the SIGKILL: %r" % st)
        check(int(st["restarts"]) == i + 1, "restarts must count each restart: %r" % st)
        inside.append(float(st["child_started_at"]) - float(st["last_exit_at"]))
        killed.append(child)
        child = new
    check(sb.lock_holder(FAST_PID) == wrapper, "the wrapper must hold the lock all along")
    print("restart latency over %d SIGKILLs: kill to new child median %.1f ms, p95 %.1f ms; "
          "exit to exec median %.1f ms, p95 %.1f ms"
          % (KILLS, 1e3 * statistics.median(outside), 1e3 * p95(outside),
             1e3 * statistics.median(inside), 1e3 * p95(inside)))
    check(statistics.median(outside) < 0.1, "median restart %.3f s, not under 100 ms" % statistics.median(outside))
    check(sb.count("%s is not running.\n" % fast, start=quiet_from) == 0,
          "the watchdog must never see the fast line down")
    # Each exit is logged with the program, the signal and how long it ran; the last exit's record may still be
    # on its way when its successor runs, so wait for each kill's own record.
    def logged():
        exits = wrapper_records(sb, wrapper, r"fast \((\d+)\) killed by SIGKILL \(signal 9\) after (\d+\.\d{3}) s")
        return {int(m.group(1)): float(m.group(2)) for _, m in exits}
    sb.wait_for(lambda: set(killed) <= set(logged()), 5, "the record of each of the %d SIGKILLs" % KILLS)
    check(all(logged().get(pid, 0) >= SETTLED for pid in killed),
          "every SIGKILL must be logged with the uptime: %r" % logged())

    # ---- line B: exits 3 at once, backs off, gives up, and the watchdog's cycle starts it again
    crash1 = sb.wait_record(re.compile(r"^giving up on %s after %d quick exits in a row \(pid file %s, "
                                       r"program %s\)$" % (re.escape("crasher"), GIVE_UP, CRASH_PID,
                                                           re.escape("crasher"))), LOG_ERR, timeout=5)[1].pid
    statuses = wrapper_records(sb, crash1, r"%s \(\d+\) exited with status 3 after (\d+\.\d{3}) s"
                               % re.escape("crasher"))
    check(len(statuses) == GIVE_UP, "give up after exactly %d exits: %r" % (GIVE_UP, statuses))
    gaps = [float(m.group(1)) for _, m in
            wrapper_records(sb, crash1, r"restarted %s \(\d+\), restart \d+, (\d+\.\d{3}) s after the last exit"
                            % re.escape("crasher"))]
    check(len(gaps) == GIVE_UP - 1 and gaps[0] < 0.5 and gaps[1] >= 0.1 and gaps[2] >= 0.2,
          "restart at once, then after 0.1 s and 0.2 s: %r" % gaps)
    give_up_at = [i for i, r in enumerate(sb.records) if r.pid == crash1 and r.priority == LOG_ERR][0]
    sb.wait_record("%s is not running.\n" % lockrun, LOG_INFO, start=give_up_at, timeout=CYCLE + 3)
    crash2 = sb.wait_record(re.compile(r"^started %s \(\d+\)$" % re.escape("crasher")), LOG_INFO,
                            start=give_up_at, timeout=5)[1].pid
    check(crash2 != crash1, "the watchdog must start a new wrapper after the give-up")

    # ---- the wrapper SIGKILLed: its child dies with it, and the watchdog brings one copy back
    os.kill(wrapper, signal.SIGKILL)
    check(sb.wait_exit(child, timeout=3) == -signal.SIGKILL, "the child must die with its wrapper")
    wrapper2 = sb.wait_lock(FAST_PID, timeout=CYCLE + 3, other_than=wrapper)
    child2 = poll(lambda: running_child(FAST_PID, other_than=child), 5, "the new wrapper's child")
    sb.wait_fixture(lambda r: r["pid"] == child2, 5, "the new child's record")
    check(fixture_processes(sb, fixture) == [child2], "exactly one copy must run: %r" % fixture_processes(sb, fixture))

    # ---- disabled: the SIGTERM is passed on, and the grace period ends the program
    sb.write(WATCH_LIST, "0:" + line_a + "1:" + line_b)
    os.kill(daemon, signal.SIGUSR1)
    _, term = sb.wait_record("Sending SIGTERM to (%d:%s)\n" % (wrapper2, fast), LOG_INFO, timeout=CYCLE + 3)
    sb.wait_for(lambda: not sb.alive(child2), GRACE + 2, "the program to end within the grace period")
    took = time.monotonic() - term.when
    check(took < GRACE + 1, "the program ended %.1f s after SIGTERM, grace %d s" % (took, GRACE))
    sb.wait_for(lambda: not sb.alive(wrapper2), 2, "the wrapper to exit")
    # Its last record may still be on its way when it has gone; the rest came before it.
    sb.wait_record("stopped", LOG_INFO, pid=wrapper2, timeout=3)
    check(sb.lock_holder(FAST_PID) == 0, "the lock must end with the wrapper")
    check(sb.terms(child2) == 1, "the wrapper must pass SIGTERM on to the program")
    expected = [
        "SIGTERM received: stopping fast (%d), SIGKILL after %.3f s" % (child2, GRACE),
        "fast (%d) still running %.3f s after the stop request: SIGKILL" % (child2, GRACE),
    ]
    got = [r.text for r in sb.records if r.pid == wrapper2 and r.text in expected]
    check(got == expected, "the stop must be logged: %r" % got)
    check(wrapper_records(sb, wrapper2, r"fast \(%d\) killed by SIGKILL \(signal 9\) after \d+\.\d{3} s"
                          % child2), "the forced end must be logged")
    check(wrapper_records(sb, wrapper2, "stopped", LOG_INFO), "the wrapper must log its stop")
    check(fixture_processes(sb, fixture) == [], "no copy may be left")
    check(os.path.exists(os.path.join(RECORD_DIR, "%d.rec" % child2)), "the fixture must have recorded")
    check(sb.stop_daemon(daemon) == 0, "the watchdog must stop with status 0")


# It ends on SIGTERM through a handler, as servers do, which a stopped process runs only once continued.
# argv: PORT ADDRESS; on "::" it takes IPv4 connections too, as a dual-stack server does.
SERVER = "import signal,socket,sys\nsignal.signal(signal.SIGTERM,lambda *a:sys.exit(0))\na=sys.argv[2]\n" \
         "s=socket.socket(socket.AF_INET6 if ':' in a else socket.AF_INET)\n" \
         "s.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1)\n" \
         "if ':' in a: s.setsockopt(socket.IPPROTO_IPV6,socket.IPV6_V6ONLY,0)\n" \
         "s.bind((a,int(sys.argv[1])))\ns.listen(64)\nwhile True: s.accept()[0].close()\n"


def answers(port):
    """The program behind the port accepted a connection and closed it."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2) as c:
            c.settimeout(0.2)
            return c.recv(1) == b""
    except OSError:
        return False


@case
def check_port_restarts_a_stopped_server(sb):
    """A server that holds its lock but no longer accepts: the kernel still completes connections."""
    lockrun = sb.built("vemo-lockrun")
    os.makedirs(RUN_DIR, exist_ok=True)
    interval, fails, timeout = 0.2, 3, 0.2
    for row, listen in enumerate(("127.0.0.1", "::")):  # the second: a dual-stack listener
        pid_file, port = RUN_DIR + "/srv%d.pid" % row, free_port()
        # A short grace: a deadline of the old server's end left behind would kill the new one.
        wrapper = sb.spawn([lockrun, "--restart", "--grace=0.2", "--check-port=%d" % port,
                            "--check-interval=%s" % interval, "--check-timeout=%s" % timeout,
                            "--check-fails=%d" % fails, pid_file, "/usr/bin/python3", "-c", SERVER, str(port),
                            listen])
        sb.wait_for(lambda: state(pid_file).get("health") == "healthy", 5, listen + ": the server to pass its check")
        child = running_child(pid_file)
        os.kill(child, signal.SIGSTOP)
        stopped = time.monotonic()
        new = poll(lambda: running_child(pid_file, other_than=child), 5, listen + ": the server's restart")
        poll(lambda: answers(port), 5, listen + ": the new server to answer")
        took = time.monotonic() - stopped
        print("%s: restart after a hang: %.3f s (interval %.1f s x %d fails, timeout %.1f s)"
              % (listen, took, interval, fails, timeout), flush=True)
        check(took < interval * fails + timeout + 1, "%s: restarted after %.3f s" % (listen, took))
        _, r = sb.wait_record(re.compile(r"^python3 \(%d\) failed its check of port %d %d times in a row: "
                                         r"timed out after 0\.2\d\d s: 127\.0\.0\.1:%d took the connection "
                                         r"but the program did not accept it; restarting it$"
                                         % (child, port, fails, port)), LOG_ERR, pid=wrapper)
        sb.wait_for(lambda: state(pid_file).get("health") == "healthy", 5, listen + ": the new server to pass")
        st = state(pid_file)
        check(st["restarts"] == "1" and st["check_failures_total"] == str(fails) and
              st["last_exit"] == "exited 0" and new > 0, "%s: the record: %r" % (listen, st))
        os.kill(wrapper, signal.SIGTERM)
        check(sb.wait_exit(wrapper) == 0, listen + ": the wrapper must stop with status 0")


# The program of the rows: ready half a second after its start.
SLOW = "sleep 0.5; touch /tmp/up; exec sleep 100"

# name, check script, options, the wrapper's record awaited, restarts then, the wrapper's exit
HEALTH_ROWS = [
    ("hangs", "echo waiting; exec sleep 100", ["--check-timeout=0.2", "--check-fails=2"],
     r"^srv \(\d+\) failed its check \S+ 2 times in a row: timed out after 0\.2\d\d s: waiting; "
     r"restarting it$", 1, None),
    ("fails for ever", "echo broken; exit 1", ["--check-grace=0", "--check-fails=1", "--give-up=3"],
     r"^giving up on srv after 3 quick exits in a row ", 2, 3),
    ("recovers before the limit", "n=$(cat /tmp/n 2>/dev/null || echo 0); echo $((n+1)) >/tmp/n; "
     "[ $n -ge 2 ]", ["--check-fails=3"], r"^srv \(\d+\) passes its check \S+ again after 2 failures$",
     0, None),
    ("slow start within the grace", "[ -e /tmp/up ] && kill -0 $VEMO_PID && [ $VEMO_NAME = srv ]",
     ["--check-grace=0.8", "--check-fails=1"], None, 0, None),
]


@case
def health_check_rows(sb):
    lockrun = sb.built("vemo-lockrun")
    os.makedirs(RUN_DIR, exist_ok=True)
    for name, script, options, record, restarts, status in HEALTH_ROWS:
        pid_file, check_path = RUN_DIR + "/h.pid", "/tmp/check.sh"
        sb.write(check_path, "#!/bin/sh\n" + script + "\n", 0o755)
        wrapper = sb.spawn([lockrun, "--restart", "--grace=1", "--check-exec=" + check_path,
                            "--check-interval=0.1", "--name=srv"] + options + [pid_file, "/bin/sh", "-c", SLOW])
        if record is None:  # passes from its first check on: the grace kept the early ones away
            sb.wait_for(lambda: state(pid_file).get("health") == "healthy", 5, name + ": healthy")
        else:
            sb.wait_record(re.compile(record), pid=wrapper, timeout=10)
        sb.wait_for(lambda: state(pid_file).get("restarts") == str(restarts), 3,
                    "%s: %d restarts, %r" % (name, restarts, state(pid_file)))
        if status is None:
            os.kill(wrapper, signal.SIGTERM)
        check(sb.wait_exit(wrapper) == (status or 0), name + ": the wrapper's exit")
        check(not [a for a in sb.processes().values() if a[:1] in (["sleep"], ["/bin/sh"], ["sh"])],
              name + ": nothing may be left: %r" % sb.processes())
        for path in (pid_file, pid_file + ".lockrun", "/tmp/n", "/tmp/up"):
            if os.path.exists(path):
                os.unlink(path)
