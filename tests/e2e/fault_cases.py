"""Faults from outside: memcheck on the real daemon, kill and signal storms, rewrites, load, vanishing files."""

import glob
import os
import random
import re
import shutil
import signal
import time

from sandbox import (CYCLE, LOG_INFO, MONITOR, MONITOR_PID_FILE, OWN_PID_FILE, RUN_DIR, STARTED, TREE, WATCH_LIST,
                     case, check, entry, info, not_running, prog, sanitized, skip)
from waits import open_files, wait_pause, wait_stopped

SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "valgrind", "table-at-exit.supp")
# A disabled entry logs one record every pass: last in the list, it marks the end of each pass.
MARK = "0:/var/run/pass.pid:pass-marker\n"
PASS = "pass-marker was disabled.\n"


def wait_pass(sb, start, n=1, timeout=None):
    """Index of the n-th end-of-pass record at or after record index start."""
    def find():
        hits = [i for i in range(start, len(sb.records)) if sb.records[i].text == PASS]
        return hits[n - 1] + 1 if len(hits) >= n else 0
    return sb.wait_for(find, timeout or n * CYCLE + 4, "%d pass(es) after record %d" % (n, start)) - 1


def copies(sb, token):
    """Live processes whose argv holds token (a fixture's --pidfile=..., or the monitor's path)."""
    return sorted(p for p, argv in sb.processes().items() if token in argv)


def starts(sb, token):
    return sum(1 for r in sb.fixture_records() if token in r["argv"])


def zombies_of(sb, pid):
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        return [c for c in map(int, f.read().split()) if not sb.alive(c)]


def expect_no_zombie(sb, pid, what):
    """A child caught between its exit and the kernel's reaping (SIGCHLD is ignored) is gone a moment later."""
    sb.wait_for(lambda: zombies_of(sb, pid) == [], 5, what)


def usage(pid):
    """(VmRSS in kB, open descriptors) of a live process."""
    with open("/proc/%d/status" % pid) as f:
        rss = int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))
    return rss, len(os.listdir("/proc/%d/fd" % pid))


def vg_figure(log, pattern):
    m = re.search(pattern, log)
    return int(m.group(1).replace(",", "")) if m else -1


@case
def valgrind_daemon_is_clean(sb):
    """Memcheck over start, a restart, a reload, steady passes and the stop: no error, leak or stray descriptor."""
    valgrind = shutil.which("valgrind", path="/usr/bin:/usr/local/bin")
    check(valgrind is not None, "valgrind must be installed (apt-get install valgrind)")
    if sanitized(sb):
        skip("memcheck cannot run an AddressSanitizer build; the plain build runs this case")
    files = {n: "/var/run/vg/%s.pid" % n for n in "abcd"}
    sb.make_tree(watch_list="".join(entry(1, n, pid=files[n]) for n in "abc") + MARK, programs="abcd")
    # Not --child-silent-after-fork: the daemon itself is the child of daemon()'s fork.
    launcher = sb.spawn([valgrind, "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
                         "--show-leak-kinds=definite,indirect", "--errors-for-leak-kinds=definite,indirect",
                         "--track-fds=yes", "--vgdb=no", "-s", "--suppressions=" + SUPPRESSIONS,
                         "--log-file=/tmp/vg.%p", prog("vemo-watchdog")], cwd=TREE, env=sb.daemon_env())
    check(sb.wait_exit(launcher, 30) == 0, "the launcher returns 0 under memcheck")
    pid = sb.wait_record(STARTED, LOG_INFO, timeout=30)[1].pid
    wait_pass(sb, 0, timeout=30)
    held = {n: sb.wait_lock(files[n], timeout=10) for n in "abc"}
    os.kill(held["a"], signal.SIGKILL)
    sb.write(WATCH_LIST, "".join(entry(int(n != "b"), n, pid=files[n]) for n in "abcd") + MARK)
    start = len(sb.records)
    os.kill(pid, signal.SIGUSR1)
    second = wait_pass(sb, start, timeout=20)
    sb.expect_transcript(info(not_running(prog("a")), "%s was disabled.\n" % prog("b"),
                              "Sending SIGTERM to (%d:%s)\n" % (held["b"], prog("b")),
                              not_running(prog("d")), PASS), start=start, end=second + 1, pid=pid)
    check(sb.wait_lock(files["a"], 10, other_than=held["a"]) and sb.wait_lock(files["d"], 10), "a back, d started")
    fourth = wait_pass(sb, second + 1, n=2, timeout=2 * CYCLE + 10)
    sb.expect_transcript(info("%s was disabled.\n" % prog("b"), PASS) * 2, start=second + 1, end=fourth + 1, pid=pid)
    os.kill(pid, signal.SIGTERM)  # a stop that lands before the pause starts waits out the whole pause
    check(sb.wait_exit(pid, 2 * CYCLE + 8) == 0, "orderly stop under memcheck exits 0 (99: memcheck found errors)")

    logs = {int(p.rsplit(".", 1)[1]): open(p).read() for p in glob.glob("/tmp/vg.*")}
    log = logs.get(pid, "")
    print("\n".join(l for l in log.splitlines() if re.search(r"SUMMARY|lost:|reachable:|suppress|DESCRIPTORS", l)))
    # The launcher, the daemon, and its children between fork and exec: no report anywhere.
    for p, text in logs.items():
        allowed = (0,) if p == pid else (0, -1)
        check(vg_figure(text, r"ERROR SUMMARY: ([\d,]+) errors") in allowed, "memcheck of %d:\n%s" % (p, text))
    for kind in ("definitely", "indirectly", "possibly"):
        check(vg_figure(log, r"%s lost: ([\d,]+) bytes" % kind) == 0, "%s lost blocks:\n%s" % (kind, log))
    # Freed at exit, or left in the table: never more blocks than the 5 entries of the last list.
    table = vg_figure(log, r"used_suppression: +\d+ vemo-table-at-exit \S+ suppressed: [\d,]+ bytes in ([\d,]+) blocks")
    check(table in (-1, 5), "lost entries at exit are the table's 5, not %d:\n%s" % (table, log))
    # Descriptors open before the program ran are memcheck's own or the launcher's, not the daemon's.
    opened = [(path, how) for _, path, how in re.findall(r"Open [^\n]*? (\d+): ([^\n]*)\n==\d+==\s+([^\n]*)", log)
              if how != "<inherited from parent>"]
    check([path for path, _ in opened] == [OWN_PID_FILE] and vg_figure(log, r"DESCRIPTORS: \d+ open \((\d) std") == 3,
          "besides the standard streams only the own lock stays open at exit: %r" % opened)


@case
def kill_storm(sb):
    """30 SIGKILLs at random moments: each program back within a cycle, one copy per lock, no zombie."""
    files = ["/var/run/storm/k%d.pid" % i for i in range(5)]
    sb.make_tree(watch_list="".join(entry(1, "k%d" % i, pid=f) for i, f in enumerate(files)) + MARK,
                 programs=["k%d" % i for i in range(5)])
    pid, _ = sb.start_daemon()
    monitor = sb.wait_lock(MONITOR_PID_FILE, timeout=4)
    for f in files:
        sb.wait_lock(f, timeout=4)
    seed = int(time.time())
    rng = random.Random(seed)
    kills, pending, worst = dict.fromkeys(files, 0), {}, 0.0
    next_kill, deadline = time.monotonic(), time.monotonic() + 150
    while sum(kills.values()) < 30 or pending:
        now = time.monotonic()
        check(now < deadline, "the storm overran (seed %d)" % seed)
        for f, (victim, at) in list(pending.items()):
            if sb.lock_holder(f) not in (0, victim, pid):
                worst = max(worst, now - at)
                del pending[f]
            check(now - at < CYCLE + 3, "%s not back %.1fs after %d was killed (seed %d)" % (f, now - at, victim, seed))
        holders = {f: sb.lock_holder(f) for f in files if f not in pending}
        up = [f for f, h in holders.items() if h not in (0, pid)]
        if sum(kills.values()) < 30 and now >= next_kill and up:
            f = rng.choice(up)
            os.kill(holders[f], signal.SIGKILL)
            pending[f], kills[f] = (holders[f], now), kills[f] + 1
            next_kill = now + rng.uniform(0.0, 2.0)
        time.sleep(0.02)
    print("kills per program %r, slowest return %.1fs" % (sorted(kills.values()), worst))
    for f, n in kills.items():
        token = "--pidfile=" + f
        # A killed copy may linger a moment before the sandbox reaps it.
        sb.wait_for(lambda: copies(sb, token) == [sb.lock_holder(f)], 5,
                    "%s: one live copy, the holder: %r" % (f, copies(sb, token)))
        # Every start records itself before it tries the lock: a copy that lost the lock would show here.
        check(starts(sb, token) == 1 + n, "%s: %d kills, %d starts (seed %d)" % (f, n, starts(sb, token), seed))
    check(copies(sb, MONITOR) == [monitor] and sb.lock_holder(OWN_PID_FILE) == pid, "bystanders untouched")
    expect_no_zombie(sb, pid, "no zombie among the daemon's children")
    check(sb.stop_daemon(pid) == 0, "orderly stop after the storm")


@case
def usr1_storm(sb):
    """1,000 SIGUSR1 within a second: the daemon keeps cycling, takes the list edited before, stops with 0."""
    files = {n: "/var/run/usr1/%s.pid" % n for n in ("u1", "u2")}
    sb.make_tree(watch_list=entry(1, "u1", pid=files["u1"]) + MARK, programs=list(files))
    pid, _ = sb.start_daemon()
    running = sb.wait_lock(files["u1"], timeout=4)
    sb.write(WATCH_LIST, entry(1, "u1", pid=files["u1"]) + entry(1, "u2", pid=files["u2"]) + MARK)
    begin = time.monotonic()
    for i in range(1000):
        os.kill(pid, signal.SIGUSR1)
        time.sleep(max(0.0, begin + (i + 1) / 1000.0 - time.monotonic()))
    took, after = time.monotonic() - begin, len(sb.records)
    print("the storm took %.2fs" % took)
    check(sb.alive(pid), "the daemon survives the storm")
    wait_pass(sb, after, n=2, timeout=2 * CYCLE + 4)  # the second proves the plain cycle is back
    token = "--pidfile=" + files["u2"]
    print("passes during the storm: %d; u2 started %d times" % (sb.count(PASS, end=after) - 1, starts(sb, token)))
    check(copies(sb, token) == [sb.lock_holder(files["u2"])], "the added program runs once: %r" % copies(sb, token))
    check(sb.lock_holder(files["u1"]) == running and starts(sb, "--pidfile=" + files["u1"]) == 1,
          "a program holding its lock is never started again, however many passes")
    expect_no_zombie(sb, pid, "no zombie left by the storm")
    check(sb.stop_daemon(pid) == 0, "orderly stop after the storm")


@case
def rewrite_during_reload(sb):
    """The list rewritten (renamed over, or truncated and written in place) under SIGUSR1s: the last version rules."""
    names = ("r0", "r1", "r2", "r3")
    files = {n: "/var/run/rw/%s.pid" % n for n in names}
    sb.make_tree(watch_list=MARK)
    for n in names:  # no arguments: a torn line can never name another pid file
        sb.write(prog(n), "#!/bin/sh\nexec %s --pidfile=%s\n" % (sb.fixture_path(), files[n]), 0o755)

    def rewrite(bits, in_place):
        text = ("".join(entry((bits >> i) & 1, n, pid=files[n], lock=False) for i, n in enumerate(names))
                + MARK).encode()
        if not in_place:
            sb.write(WATCH_LIST + ".new", text.decode())
            return os.rename(WATCH_LIST + ".new", WATCH_LIST)
        fd = os.open(WATCH_LIST, os.O_WRONLY | os.O_TRUNC)
        for piece in (text[:len(text) // 2], text[len(text) // 2:]):  # a reload may read it empty or half-written
            os.write(fd, piece)
        os.close(fd)

    pid, first = sb.start_daemon()
    wait_pass(sb, first)
    rng = random.Random(7)
    for i in range(400):
        rewrite(rng.randrange(16), i % 2 == 0)
        os.kill(pid, signal.SIGUSR1)
        time.sleep(rng.uniform(0.0, 0.02))
    check(sb.alive(pid), "the daemon survives the rewrites")
    # The final version is written and announced with the daemon held stopped outside any reading of the list.
    def reading():
        return [f for f in open_files(pid) if f.endswith("watching-list.conf")]

    while True:
        os.kill(pid, signal.SIGSTOP)
        wait_stopped(sb, pid)
        if not reading():
            break
        os.kill(pid, signal.SIGCONT)
        sb.wait_for(lambda: not reading(), 5, "the reload to end")
    rewrite(0b0110, True)
    start = len(sb.records)
    os.kill(pid, signal.SIGUSR1)
    os.kill(pid, signal.SIGCONT)
    # The pass between the 2nd and 3rd ends after the signal is a steady one on the last version.
    second = wait_pass(sb, start, n=2, timeout=2 * CYCLE + 4)
    third = wait_pass(sb, second + 1, timeout=CYCLE + 4)
    # The daemon's own records only: a child it forked may log its start after the pass that forked it.
    sb.expect_transcript(info("%s was disabled.\n" % prog("r0"), "%s was disabled.\n" % prog("r3"), PASS),
                         start=second + 1, end=third + 1, pid=pid)
    held = [n for n in names if sb.lock_holder(files[n])]
    check(held == ["r1", "r2"], "exactly r1 and r2 hold their locks: %r" % held)
    check(sb.stop_daemon(pid) == 0, "orderly stop after the rewrites")


@case
def five_hundred_entries(sb):
    """500 programs: all hold their locks right after the first pass, the second starts none, memory stays small."""
    files = ["/var/run/many/%d.pid" % i for i in range(500)]
    sb.make_tree(watch_list="".join("1:%s:%s:--pidfile=%s\n" % (f, sb.fixture_path(), f) for f in files) + MARK)
    pid, first = sb.start_daemon()
    end1 = wait_pass(sb, first, timeout=30)
    sb.wait_for(lambda: all(sb.lock_holder(f) for f in files), 10, "all 500 locks")
    late = time.monotonic() - sb.records[end1].when
    holders = {sb.lock_holder(f) for f in files}
    check(len(holders) == 500 and pid not in holders, "500 distinct holders")
    end2 = wait_pass(sb, end1 + 1, timeout=CYCLE + 10)
    sb.expect_transcript(info(PASS), start=end1 + 1, end=end2 + 1, pid=pid)
    rss, fds = usage(pid)
    took = sb.records[end1].when - sb.records[first].when - 1
    print("pass 1 took %.2fs, last lock %.2fs after it; daemon VmRSS %d kB, %d fds" % (took, late, rss, fds))
    check(late < 3.0, "every lock held within 3 s of the pass (%.2fs)" % late)
    spawned = sb.count(re.compile(r"^process .* spawned\n$"))
    check(len(sb.fixture_records()) == spawned == 501, "500 starts and the monitor's: %d" % spawned)
    check(rss < 16 * 1024 and fds < 10, "a daemon of 500 entries stays small: %d kB, %d fds" % (rss, fds))
    check(sb.stop_daemon(pid) == 0, "orderly stop with 500 entries")


@case
def run_dir_and_pid_files_removed(sb):
    """Pid files and the run directory removed mid-run: own pid file back; a free new file gets a second copy."""
    rows = [  # name, pid file, what vanishes
        ("vemo-monitor", MONITOR_PID_FILE, RUN_DIR),
        ("unlinked", "/var/run/kept/unlinked.pid", "/var/run/kept/unlinked.pid"),
        ("dir-gone", "/var/run/gone/dir-gone.pid", "/var/run/gone"),
    ]
    sb.make_tree(watch_list="".join(entry(1, n, pid=f) for n, f, _ in rows[1:]) + MARK,
                 programs=["unlinked", "dir-gone"])
    pid, first = sb.start_daemon()
    end1 = wait_pass(sb, first)
    old = {n: sb.wait_lock(f, timeout=3) for n, f, _ in rows}
    for _, _, victim in rows:
        sb.remove(victim)
    sb.wait_pid_file_back(pid, "the own pid file back with the daemon's pid")
    end2 = wait_pass(sb, end1 + 1)
    sb.expect_transcript(info(*[not_running(prog(n)) for n, _, _ in rows], PASS),
                         start=end1 + 1, end=end2 + 1, pid=pid)
    # Judged by the lock: the old copy keeps its lock on the unlinked inode, a new copy locks the new file.
    for n, f, _ in rows:
        new = sb.wait_lock(f, timeout=3, other_than=old[n])
        token = MONITOR if n == "vemo-monitor" else "--pidfile=" + f
        check(copies(sb, token) == sorted([old[n], new]), "%s: old and new copy: %r" % (n, copies(sb, token)))
    end3 = wait_pass(sb, end2 + 1)
    sb.expect_transcript(info(PASS), start=end2 + 1, end=end3 + 1, pid=pid)
    check(sb.stop_daemon(pid) == 0, "orderly stop")


@case
def crash_loop_stays_flat(sb):
    """A program that dies at once, restarted every cycle for a minute: the daemon's memory and descriptors stay put."""
    sb.make_tree(watch_list=entry(1, "crash", "--exit-now", pid="/var/run/crash/c.pid", lock=False) + MARK,
                 programs=["crash"])
    pid, first = sb.start_daemon()
    seen, end, samples = first, time.monotonic() + 60, []
    while True:
        seen = wait_pass(sb, seen + 1 if samples else seen)
        wait_pause(sb, pid, 10)  # the pass's probes are closed
        samples.append(usage(pid))
        if time.monotonic() > end:
            break
        os.kill(pid, signal.SIGUSR1)  # cuts the pause short: more cycles in the minute
    print("%d passes; VmRSS kB, fds after pass 2: %r, after the last: %r" % (len(samples), samples[1], samples[-1]))
    check(samples[-1][1] == samples[1][1], "no descriptor growth: %r" % samples)
    # AddressSanitizer's quarantine holds freed blocks back, so its build grows on purpose; LeakSanitizer judges it.
    check(samples[-1][0] - samples[1][0] <= 8 or sanitized(sb), "VmRSS flat within 8 kB: %r" % samples)
    check(sb.count(not_running(prog("crash"))) >= len(samples), "restarted every pass")
    expect_no_zombie(sb, pid, "every dead child reaped")
    check(sb.stop_daemon(pid) == 0, "orderly stop after the crash loop")
