"""vemoctl against the real watchdog: status in its three formats, reload's refusal and wait, start and stop."""

import itertools
import json
import os
import re
import shutil
import signal
import subprocess

from sandbox import (CYCLE, MONITOR, MONITOR_PID_FILE, OWN_PID_FILE, TREE, WATCH_LIST, case, check, entry, pid_file,
                     prog, read)

VEMOCTL = TREE + "/bin/vemoctl"


def make_tree(sb, *programs, **kw):
    """The tree with vemoctl in it, and fixture copies named programs."""
    sb.make_tree(programs=programs, **kw)
    sb.install("vemoctl", sb.built("cmd", "vemoctl", "vemoctl"))


RUNS = itertools.count()  # names each run's output files


def start_vemoctl(sb, *args, user=None):
    """Starts vemoctl as a child of the sandbox (whose reaper keeps every status), as root or as nobody;
    (pid, stdout's path, stderr's path)."""
    n = next(RUNS)
    out, err = "/tmp/vemoctl%d.out" % n, "/tmp/vemoctl%d.err" % n
    as_user = ["/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] if user else []
    pid = sb.spawn(["/bin/sh", "-c", 'exec "$0" "$@" >%s 2>%s' % (out, err)] + as_user + [VEMOCTL] + list(args),
                   env=sb.daemon_env())
    return pid, out, err


def vemoctl(sb, *args, timeout=45.0, user=None):
    """Runs vemoctl to its end; (status, stdout, stderr)."""
    pid, out, err = start_vemoctl(sb, *args, user=user)
    return sb.wait_exit(pid, timeout=timeout), read(out), read(err)


def table_states(text):
    """line number -> state, from the rows of the table."""
    states = {}
    for row in text.splitlines():
        m = re.match(r"^(\d+)\s+(yes|no)\s+(running, old command line: restart to apply|running|down|stopping|stopped|"
                     r"locked, holder unknown|error)\s", row)
        if m:
            states[int(m.group(1))] = m.group(3)
    return states


def prometheus_samples(text):
    """(name, labels dict) -> value, checking each family has HELP and TYPE before its samples."""
    samples, declared = {}, set()
    for row in text.splitlines():
        if row.startswith("# HELP ") or row.startswith("# TYPE "):
            declared.add(row.split()[2])
            continue
        m = re.match(r'^([a-z_]+)(?:\{(.*)\})? (\S+)$', row)
        check(m is not None, "exposition line %r" % row)
        check(m.group(1) in declared, "%s sampled before its HELP and TYPE" % m.group(1))
        labels = dict(re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', m.group(2) or ""))
        samples[(m.group(1), tuple(sorted(labels.items())))] = float(m.group(3))
    return samples


def validate_with_promtool(text):
    promtool = shutil.which("promtool")
    if promtool is None:
        return
    res = subprocess.run([promtool, "check", "metrics"], input=text.encode(), capture_output=True, timeout=30,
                         check=False)
    check(res.returncode == 0, "promtool check metrics: %s%s" % (res.stdout.decode(), res.stderr.decode()))


@case
def vemoctl_status_formats(sb):
    """A known mix of states: the table, --json and --prometheus agree with the locks, and exit 3."""
    make_tree(sb, "run", "stopping", "wrapped")
    run, stopping, wrapped = prog("run"), prog("stopping"), prog("wrapped")
    sb.install("vemo-lockrun", sb.built("vemo-lockrun"))
    os.makedirs("/var/run/down")
    sb.write("/var/run/down/down.pid", "4242\n")  # a holder that died: its text stays
    os.makedirs("/var/run/err.pid")  # a directory where the pid file should be
    os.makedirs("/var/run/lr")
    sb.write("/var/run/lr/lr.pid.lockrun", "program=/usr/bin/sleep\nchild_pid=0\nchild_started_at=0\nrestarts=3\n"
             "last_exit=exited 1\nlast_exit_code=1\nlast_exit_at=1700000000.500\nlast_run_seconds=2.250\n")
    lines = [
        entry("1", "run"),                                                   # 1 running
        "1:/var/run/down/down.pid:%s/bin/missing\n" % TREE,                  # 2 down, last pid 4242
        entry("0", "stopping"),                                              # 3 stopping
        "0:/var/run/stopped/stopped.pid:/bin/true\n",                        # 4 stopped
        "1:/var/run/err.pid:/bin/true\n",                                    # 5 error
        "0:/var/run/lr/lr.pid:%s/bin/vemo-lockrun:--restart:/var/run/lr/lr.pid:sleep:60\n" % TREE,  # 6 stopped
        "1:\n",                                                              # 7 invalid
        "1:/var/run/lr2/lr2.pid:%s/bin/vemo-lockrun:--restart:/var/run/lr2/lr2.pid:%s:--no-lock\n" % (TREE, wrapped),
        "0:/var/run/lr3/lr3.pid:%s/bin/vemo-lockrun:--restart:--name=ghost:/var/run/lr3/lr3.pid:sleep\n" % TREE,
    ]
    sb.write(WATCH_LIST, "".join(lines))
    os.makedirs("/var/run/stopping")
    os.makedirs("/var/run/lr3")  # a record left by a SIGKILLed wrapper, naming a live pid
    sb.write("/var/run/lr3/lr3.pid.lockrun", "program=/usr/bin/sleep\nchild_pid=1\nchild_started_at=1\nrestarts=0\n")
    held = sb.spawn([stopping, "--pidfile=" + pid_file("stopping"), "--term-count=1000"], env=sb.daemon_env())
    check(sb.wait_lock(pid_file("stopping"), timeout=3) == held, "the disabled program holds its lock")
    daemon, _ = sb.start_daemon()
    running = sb.wait_lock(pid_file("run"), timeout=CYCLE)
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=CYCLE)
    sb.wait_for(lambda: sb.terms(held) >= 1, CYCLE, "the stopping program's first SIGTERM")
    wrapper = sb.wait_lock("/var/run/lr2/lr2.pid", timeout=CYCLE)
    child = sb.wait_fixture(lambda r: r["argv"][0] == wrapped, timeout=5)[0]["pid"]
    # The wrapper writes its state file once the child runs: the child's record may come first.
    state = "/var/run/lr2/lr2.pid.lockrun"
    sb.wait_for(lambda: os.path.exists(state) and "child_pid=%d\n" % child in read(state), 5, "the restart record")

    wanted = {0: "running", 1: "running", 2: "down", 3: "stopping", 4: "stopped", 5: "error", 6: "stopped",
              8: "running", 9: "stopped"}
    rc, table, err = vemoctl(sb, "status")
    check(rc == 3, "status exits 3 while something is not as wanted: %d %s" % (rc, err))
    check(table_states(table) == wanted, "table states %r\n%s" % (table_states(table), table))
    check(table.startswith("watchdog  running, pid %d, up " % daemon), "watchdog line:\n" + table)
    check("last started " in table and ", pid 4242, not running" in table, "the down entry's last holder:\n" + table)
    check("program not found: No such file or directory" in table, "the lookup error:\n" + table)
    check("\033[" not in table, "no colour off a terminal")
    check("wraps sleep; program not running; 3 restarts; last exit: exited 1" in table, "lockrun:\n" + table)
    check("wraps %s; program pid %d, up " % (wrapped, child) in table, "the running lockrun line:\n" + table)
    check("wraps sleep as ghost; record left from a wrapper that ended (it named program pid 1)" in table,
          "a stale record:\n" + table)

    rc, text, _ = vemoctl(sb, "status", "--json")
    check(rc == 3, "--json exits as status")
    doc = json.loads(text)
    states = {e["line"]: e["state"] for e in doc["entries"]}
    states[0] = doc["monitor"]["state"]
    check(states == wanted, "json states %r" % states)
    by_line = {e["line"]: e for e in doc["entries"]}
    check(doc["watchdog"]["pid"] == daemon and doc["watchdog"]["running"] and doc["watchdog"]["verified"],
          "watchdog %r" % doc["watchdog"])
    check(doc["monitor"]["pid"] == monitor and by_line[1]["pid"] == running and by_line[3]["pid"] == held,
          "pids are the lock holders")
    check(by_line[1]["uptime_seconds"] >= 0 and by_line[1]["as_wanted"] and not by_line[3]["as_wanted"], "running")
    check(by_line[2]["last_holder"]["pid_text"] == "4242" and not by_line[2]["resolves"]["ok"], "down %r" % by_line[2])
    check(by_line[5]["error"] == "Is a directory", "error %r" % by_line[5])
    check(by_line[1]["resolves"] == {"ok": True, "path": run, "error": None}, "resolves %r" % by_line[1]["resolves"])
    check(doc["lookup"]["source"] == "watchdog" and doc["lookup"]["cwd"] == TREE, "lookup %r" % doc["lookup"])
    lr = by_line[6]["lockrun"]
    check(lr["wraps"] == "sleep" and lr["restart"] and lr["state"]["restarts"] == 3 and
          lr["state"]["last_exit_code"] == 1, "lockrun %r" % lr)
    lr = by_line[8]["lockrun"]
    check(by_line[8]["pid"] == wrapper and lr["wraps"] == wrapped and lr["state"]["wrapper_pid"] == wrapper and
          lr["state"]["child_pid"] == child and lr["state"]["restarts"] == 0 and lr["state"]["last_exit"] == "none"
          and lr["state"]["last_exit_code"] is None, "the running lockrun line %r" % by_line[8])
    lr = by_line[9]["lockrun"]
    check(lr["name"] == "ghost" and lr["state"]["wrapper_ended"] and lr["state"]["child_pid"] is None,
          "a stale record %r" % lr)
    check(doc["list"]["invalid_lines"] == [7] and doc["exit_status"] == 3, "list %r" % doc["list"])

    rc, text, _ = vemoctl(sb, "status", "--prometheus")
    check(rc == 3, "--prometheus exits as status")
    validate_with_promtool(text)
    got = prometheus_samples(text)

    def labels(line, program, pid, wraps=None, name=None):
        items = {"line": str(line), "program": program, "pid_file": pid}
        if wraps:
            items.update(wraps=wraps, name=name or os.path.basename(wraps))
        return tuple(sorted(items.items()))
    rows = {0: labels(0, MONITOR, MONITOR_PID_FILE), 1: labels(1, run, pid_file("run")),
            2: labels(2, TREE + "/bin/missing", "/var/run/down/down.pid"),
            3: labels(3, stopping, pid_file("stopping")), 4: labels(4, "/bin/true", "/var/run/stopped/stopped.pid"),
            5: labels(5, "/bin/true", "/var/run/err.pid"),
            6: labels(6, TREE + "/bin/vemo-lockrun", "/var/run/lr/lr.pid", "sleep"),
            8: labels(8, TREE + "/bin/vemo-lockrun", "/var/run/lr2/lr2.pid", wrapped),
            9: labels(9, TREE + "/bin/vemo-lockrun", "/var/run/lr3/lr3.pid", "sleep", "ghost")}
    up = {0: 1, 1: 1, 2: 0, 3: 1, 4: 0, 5: 0, 6: 0, 8: 1, 9: 0}
    enabled = {0: 1, 1: 1, 2: 1, 3: 0, 4: 0, 5: 1, 6: 0, 8: 1, 9: 0}
    expected = {("vemo_watchdog_up", ()): 1, ("vemo_watchlist_invalid_lines", ()): 1,
                ("vemo_watchlist_readable", ()): 1,
                ("vemo_program_restarts_total", rows[6]): 3, ("vemo_program_last_exit_code", rows[6]): 1,
                ("vemo_program_restarts_total", rows[8]): 0, ("vemo_program_restarts_total", rows[9]): 0}
    expected.update({("vemo_program_changed", rows[n]): 0 for n in (0, 1, 8)})
    for n, key in rows.items():
        expected[("vemo_program_up", key)] = up[n]
        expected[("vemo_program_enabled", key)] = enabled[n]
    starts = {k: v for k, v in got.items() if k[0] == "vemo_program_start_time_seconds"}
    check(sorted(starts) == sorted(("vemo_program_start_time_seconds", rows[n]) for n in (0, 1, 3, 8)),
          "start times only while running: %r" % starts)
    check({k: v for k, v in got.items() if k[0] != "vemo_program_start_time_seconds"} == expected,
          "samples differ:\n%s" % text)

    # The textfile collector's way: written whole under its final name, nothing left beside it.
    os.makedirs("/tmp/collector")
    rc, _, _ = vemoctl(sb, "status", "--prometheus", "--output", "/tmp/collector/vemo.prom")
    check(rc == 3 and os.listdir("/tmp/collector") == ["vemo.prom"], "one file: %r" % os.listdir("/tmp/collector"))
    check(prometheus_samples(read("/tmp/collector/vemo.prom")).keys() == got.keys(), "same samples in the file")

    # Selectors: a line, a program name, a pid file; one that matches nothing is an error.
    rc, table, _ = vemoctl(sb, "status", "1")
    check(rc == 0 and table_states(table) == {1: "running"}, "line selector: %d\n%s" % (rc, table))
    rc, table, _ = vemoctl(sb, "status", "stopping", "/var/run/down/down.pid")
    check(rc == 3 and table_states(table) == {2: "down", 3: "stopping"}, "name and pid file:\n" + table)
    rc, _, err = vemoctl(sb, "status", "nosuch")
    check(rc == 4 and err == 'vemoctl: no entry matches "nosuch"\n', "unmatched selector: %d %r" % (rc, err))
    check(sb.stop_daemon(daemon) == 0, "orderly stop")


@case
def vemoctl_reload_refusal_and_wait(sb):
    """A broken list is refused without a signal; a good one is reloaded and --wait returns once all is as wanted."""
    make_tree(sb, "one", "two", watch_list=entry(1, "one"))
    sb.keep_stdio()
    out = "/tmp/daemon.out"
    launcher = sb.start_watchdog(stdio=out)
    check(sb.wait_exit(launcher) == 0, "the launching command returns 0")
    first = sb.wait_lock(pid_file("one"), timeout=CYCLE)
    sb.wait_lock(MONITOR_PID_FILE, timeout=CYCLE)
    check(vemoctl(sb, "status")[0] == 0, "all as wanted before the reload")
    rc, table, _ = vemoctl(sb, "status", user="nobody")
    check(rc == 0 and re.match(r"watchdog  running, pid \d+, up \S+ \(not verified: ", table), "as nobody:\n" + table)
    rc, _, err = vemoctl(sb, "reload", user="nobody")
    check(rc == 4 and "vemoctl: reload needs root: " in err, "reload as nobody: %d %r" % (rc, err))

    sb.write(WATCH_LIST, entry(0, "one") + entry(1, "two") + "2:/var/run/x.pid:/bin/true\n")
    rc, _, err = vemoctl(sb, "reload", "--wait")
    check(rc == 1, "refused: %d %s" % (rc, err))
    check(err == '%s:3: error: flag "2" is neither 0 nor 1: the watchdog reads it as disabled\n'
          "vemoctl: reload refused: 1 error in %s (fix them, or reload with --force)\n" % (WATCH_LIST, WATCH_LIST),
          "refusal message: %r" % err)

    sb.write(WATCH_LIST, entry(0, "one") + entry(1, "two"))
    rc, _, err = vemoctl(sb, "reload", "--wait=20")
    check(rc == 0, "reload --wait exits 0 once every entry is as wanted: %d %s" % (rc, err))
    check(sb.lock_holder(pid_file("two")) > 0 and sb.lock_holder(pid_file("one")) == 0,
          "two runs and one has stopped when --wait returns")
    sb.wait_for(lambda: not sb.alive(first), 1, "one to end on its SIGTERM")
    check(read(out).count(") received User Sig 10 from pid: ") == 1,
          "exactly one SIGUSR1 reached the daemon (none from the refused reload):\n" + read(out))

    # An edited line: named as not applied, then applied by stopping its old process.
    two = sb.lock_holder(pid_file("two"))
    sb.write(WATCH_LIST, entry(0, "one") + entry(1, "two", "--edited"))
    rc, _, err = vemoctl(sb, "reload", "--wait=20")
    check(rc == 3 and "vemoctl: line 2: pid %d runs an older command line" % two in err, "changed: %d %s" % (rc, err))
    rc, _, err = vemoctl(sb, "reload", "--apply", "--wait=25")
    applied = sb.lock_holder(pid_file("two"))
    check(rc == 0 and applied not in (0, two), "applied: %d %s" % (rc, err))

    # A pass under way at the reload starts the stopped program again from the old line (played here
    # while the watchdog is stopped): --apply stops it once more, and the new line runs.
    sb.write(WATCH_LIST, entry(0, "one") + entry(1, "two", "--again"))
    watchdog = sb.lock_holder(OWN_PID_FILE)
    os.kill(watchdog, signal.SIGSTOP)
    ctl, _, err_path = start_vemoctl(sb, "reload", "--apply", "--wait=28")
    sb.wait_for(lambda: not sb.alive(applied), 20, "the applied program to end on --apply's SIGTERM")
    old = sb.spawn(entry(1, "two", "--edited").rstrip("\n").split(":")[2:], env=sb.daemon_env())
    # --apply may stop it again before this sees its lock: held now, or ended already.
    sb.wait_for(lambda: sb.lock_holder(pid_file("two")) == old or old in sb.exits, CYCLE, "the old line's program")
    os.kill(watchdog, signal.SIGCONT)
    rc, holder = sb.wait_exit(ctl, timeout=45), sb.lock_holder(pid_file("two"))
    check(rc == 0 and holder not in (0, applied, old) and "sent SIGTERM to pid %d," % old in read(err_path),
          "applied again: %d %s" % (rc, read(err_path)))


@case
def vemoctl_start_and_stop(sb):
    """start reports the daemon it started, refuses a second one; stop --wait waits for the exit."""
    make_tree(sb, "stranger", watch_list="")
    rc, text, err = vemoctl(sb, "start")
    check(rc == 0, "start: %d %s" % (rc, err))
    holder = sb.lock_holder(OWN_PID_FILE)
    check(text == "vemo-watchdog started: pid %d\n" % holder, "start names the holder: %r" % text)
    check(read(OWN_PID_FILE) == "%d\n" % holder, "the pid file is written when start returns")

    rc, _, err = vemoctl(sb, "start")
    check(rc == 1 and err == "vemoctl: the watchdog already runs: pid %d (%s/bin/vemo-watchdog)\n" % (holder, TREE),
          "a second start is refused: %d %r" % (rc, err))

    rc, _, err = vemoctl(sb, "stop", "--wait")
    check(rc == 0, "stop --wait: %d %s" % (rc, err))
    check(sb.wait_exit(holder, timeout=1) == 0, "the watchdog has exited when stop --wait returns")
    check("waiting for it to exit" in err and err.endswith("vemoctl: vemo-watchdog (pid %d) has exited\n" % holder),
          "stop says it waits: %r" % err)
    rc, _, err = vemoctl(sb, "stop")
    check(rc == 0 and err == "vemoctl: the watchdog is not running\n", "stop when stopped: %d %r" % (rc, err))

    # A stranger on the watchdog's lock is named and never signalled.
    fixture = prog("stranger")
    stranger = sb.spawn([fixture, "--pidfile=" + OWN_PID_FILE], env=sb.daemon_env())
    check(sb.wait_lock(OWN_PID_FILE, timeout=3) == stranger, "the stranger holds the lock")
    for command in ("start", "stop", "reload"):
        rc, _, err = vemoctl(sb, command)
        check(rc == 1 and "pid %d (%s) holds %s but is not vemo-watchdog" % (stranger, fixture, OWN_PID_FILE) in err,
              "%s refuses the stranger: %d %r" % (command, rc, err))
    check(sb.terms(stranger) == 0 and sb.alive(stranger), "the stranger got no signal")
    rc, table, _ = vemoctl(sb, "status")
    check(rc == 3 and table.startswith("watchdog  not running: its lock is held by pid %d (%s), which is not "
                                       "vemo-watchdog\n" % (stranger, fixture)), "status names the stranger:\n" + table)


@case
def vemoctl_start_without_lock(sb):
    """A daemon that never takes its lock: start says why, shows the log it can read, and exits 1."""
    make_tree(sb, watch_list="")
    rows = [  # the tree's vemo-watchdog, what start says about it
        ("#!/bin/sh\nexit 1\n", "%s/bin/vemo-watchdog ended with status 1 before taking its lock\n" % TREE),
        ("#!/bin/sh\nexit 0\n", "%s/bin/vemo-watchdog did not take its lock within 10 s\n" % TREE),
    ]
    for script, said in rows:
        sb.write(TREE + "/bin/vemo-watchdog", script, 0o755)
        rc, out, err = vemoctl(sb, "start")
        check(rc == 1 and out == "", "start fails: %d %r" % (rc, out))
        check(err.startswith("vemoctl: " + said + "vemoctl: the watchdog's last log records:\n"),
              "start explains: %r" % err)
        check(sb.lock_holder(OWN_PID_FILE) == 0, "nothing holds the lock")
