#!/usr/bin/env python3
"""The package on a real host: Debian 12 booted with systemd in systemd-nspawn, real daemons on the list.

booted_case.py --build-dir BUILD [--source-dir SRC] [--cache-dir DIR] [--deadline SECONDS]

One case, one transcript. Before anything boots, tools/demo.sh runs as the first command of a fresh
minbase root (set-up from nothing), beside the booted part so the two overlap in time. Each step
below prints what it checked; a failed check is reported and the case goes on, so one run shows
every fault; the case fails if any check failed or the container could not boot.
"""

import argparse
import json
import os
import re
import signal
import sys
import threading
import time
import traceback
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from nspawn import (Chroot, Container, Failure, GiveUp, RootTar, cgroup2_root, enter_private_mounts,  # noqa: E402
                    make_deb, make_workdir, mounts_under, need, remove_cgroup, run, sweep_leftovers, wait_for)

PREFIX = "/opt/vemo-watchdog"
LOCKRUN = PREFIX + "/bin/vemo-lockrun"
WATCH_LIST = PREFIX + "/etc/watching-list.conf"
RUN = "/var/run/vemo_monitor"
UNIT = "vemo-watchdog.service"
CYCLE = 11  # the watchdog's cycle, seconds
ENABLE_LINK = "/etc/systemd/system/multi-user.target.wants/" + UNIT
SERVING = ("memcached", "redis", "nginx", "memcached-r")  # every program of the list once it is whole

# What the booted root holds besides minbase: systemd itself and the daemons a user would supervise.
BOOT_PACKAGES = ("systemd", "systemd-sysv", "dbus", "adduser", "procps", "iproute2", "curl",
                 "memcached", "redis-server", "redis-tools", "nginx-light", "prometheus",
                 # Ansible's modules on the fleet case's hosts, which boot the same root.
                 "python3", "python3-apt")


def lockrun_line(pid_name, *argv, options=()):
    """A watch-list line running a program that takes no lock through vemo-lockrun."""
    pid_file = "%s/%s.pid" % (RUN, pid_name)
    return ":".join(("1", pid_file, LOCKRUN) + tuple(options) + (pid_file,) + argv)


MEMCACHED_ARGS = ("/usr/bin/memcached", "-u", "memcache", "-l", "127.0.0.1", "-p", "11211")
MEMCACHED = lockrun_line("memcached", *MEMCACHED_ARGS, options=("--name=memcached",))
# The same line edited, for vemoctl reload --apply.
MEMCACHED_EDITED = lockrun_line("memcached", *MEMCACHED_ARGS, "-m", "32", options=("--name=memcached",))
# Redis drops to its own user through setpriv and stays in the foreground; it logs to its standard
# output (an empty log file: the line's last field is empty), which --log carries into the journal.
REDIS = lockrun_line("redis", "/usr/bin/setpriv", "--reuid=redis", "--regid=redis", "--init-groups",
                     "/usr/bin/redis-server", "/etc/redis/redis.conf", "--daemonize", "no", "--logfile", "",
                     options=("--log", "--name=redis"))
# Under --restart, so that the workers of a SIGKILLed master are ended before the next one binds port 80.
NGINX_ARGS = ("/usr/sbin/nginx", "-g", "daemon off; error_log stderr;")
NGINX = lockrun_line("nginx", *NGINX_ARGS, options=("--restart", "--log", "--name=nginx"))
# Restarted by vemo-lockrun itself, within a second, between two of the watchdog's cycles.
MEMCACHED_R = lockrun_line("memcached-r", "/usr/bin/memcached", "-u", "memcache", "-l", "127.0.0.1", "-p", "11212",
                           options=("--restart", "--name=memcached-r"))
# Redis again, under --restart with a check of its port: a stopped server is restarted. A line
# keeps 14 arguments, too few for these options and the whole setpriv command, so that command is
# a script: as an operator must do once a line's fields run out.
REDIS_SCRIPT = "/usr/local/sbin/redis-as-redis"
REDIS_SCRIPT_TEXT = ("#!/bin/sh\nexec /usr/bin/setpriv --reuid=redis --regid=redis --init-groups --pdeathsig=keep "
                     "/usr/bin/redis-server /etc/redis/redis.conf --daemonize no --logfile ''\n")
REDIS_CHECKED = lockrun_line("redis", REDIS_SCRIPT, options=("--restart", "--log", "--name=redis", "--grace=5",
                                                             "--check-port=6379", "--check-interval=1",
                                                             "--check-timeout=1", "--check-fails=2"))
# A typing error in the program: vemo-lockrun must say so in the log, naming the pid file and the program.
TYPO = lockrun_line("typo", "/usr/bin/memcache", options=("--name=typo",))

PROMETHEUS_YML = """\
global:
  scrape_interval: 2s
  evaluation_interval: 2s
scrape_configs:
  - job_name: vemo
    static_configs:
      - targets: ['127.0.0.1:9717']
"""

# The steps, in order, and what each checks. Each is a method of Case named after the step.
STEPS = (
    ("install", "dpkg -i alone leaves the unit enabled and active; systemctl enable --now agrees; the "
                "unit's MainPID is the watchdog of the pid file"),
    ("watch_list", "an edited list (memcached, redis through setpriv) and systemctl reload: each answers on "
                   "its port (memcached version, redis-cli ping); journalctl -t redis shows Redis's start banner"),
    ("redis_bgsave", "a Redis BGSAVE completes (rdb_saves grows, status ok) and Redis logs no waitpid error "
                     "(journalctl -t redis)"),
    ("reload", "systemctl reload with nginx, memcached under --restart and a mistyped program added: nginx "
               "answers curl, the second memcached answers, vemo-lockrun logs the mistyped program"),
    ("broken_list", "systemctl reload of a list with an invalid line and a missing program fails; SIGUSR1 "
                    "sent directly, the daemon reports them (err, warning); the fixed list reloads, nothing restarted"),
    ("prometheus", "Prometheus scrapes vemo-monitor: up==1 for the job, vemo_watchdog_up==1, "
                   "vemo_program_up==1 for each line, the wrapped program as the label wraps"),
    ("kill_program", "a SIGKILLed memcached is started again within a cycle, answers, and Prometheus saw its "
                     "vemo_program_up fall to 0"),
    ("lockrun_restart", "memcached under vemo-lockrun --restart, SIGKILLed, answers again in under a second; "
                        "its state file and Prometheus count the restart"),
    ("nginx_restart", "nginx's master under --restart SIGKILLed: its workers are ended and a new master "
                      "answers within a second; vemo-lockrun logs by --name; a second nginx on port 80, "
                      "in the exec form, fails and journalctl -t nginx shows its bind error"),
    ("apply", "memcached's line edited and vemoctl reload --apply: memcached runs the new command line "
              "and answers"),
    ("redis_check", "Redis moved under --restart --check-port=6379 with vemoctl reload --apply, then "
                    "SIGSTOPped: restarted, answers PING again, the failed check's record is in the journal"),
    ("stop", "systemctl stop ends the watchdog alone: every program keeps its pid and answers"),
    ("kill_watchdog", "a SIGKILLed watchdog is restarted by systemd and adopts the programs: same pids, "
                      "one copy each, nothing spawned"),
    ("second_watchdog", "with a watchdog started by hand, systemctl start fails visibly naming it, systemd "
                        "does not adopt it, stop leaves it running; once it is gone, systemctl start succeeds"),
    ("reboot", "systemctl reboot; after the boot the unit is active and every program answers again, "
               "Prometheus sees the job up"),
    ("journal", "records of SYSLOG_IDENTIFIER=vemo-watchdog: facility user, the known messages at their "
                "priorities, _SYSTEMD_UNIT=vemo-watchdog.service"),
    ("remove", "dpkg -r stops the watchdog (none runs, none from deleted files), the unit is gone, the "
               "programs run on and answer"),
    ("purge", "dpkg -P leaves no enable link, keeps the pid files of the programs still running"),
    ("poweroff", "systemctl poweroff ends the container: nspawn exits 0"),
)


class Case:
    def __init__(self, args):
        self.args = args
        self.failures = []
        self.timings = []  # (phase, seconds, note)
        self.started = time.monotonic()
        self.workdir = None
        self.cgroup = None
        self.container = None
        self.demo = None
        self.demo_result = {}
        self.tars = ()
        self.pids = {}  # program -> pid seen running
        self.main_pids = set()  # (boot id, pid) of every MainPID the unit had
        self.boot_id = None

    # ---- reporting

    def check(self, condition, text, detail=""):
        if condition:
            print("  ok   " + text)
        else:
            print("  FAIL " + text + (": " + detail if detail else ""))
            self.failures.append(text)
        sys.stdout.flush()
        return condition

    def expect(self, text, predicate, timeout, interval=0.2):
        """A check that waits, bounded, for predicate to hold; returns what it returned, or None."""
        try:
            value = wait_for(text, predicate, timeout, interval)
        except Failure as e:
            self.check(False, text, str(e))
            return None
        self.check(True, text)
        return value

    def timed(self, phase, func, note=""):
        t0 = time.monotonic()
        try:
            return func()
        finally:
            self.timings.append((phase, time.monotonic() - t0, note() if callable(note) else note))

    # ---- the whole case

    def run(self):
        host_cache = self.args.cache_dir
        try:
            need(os.geteuid() == 0, "the booted-systemd case needs root (namespaces, cgroups, nspawn)")
            for tool in ("systemd-nspawn", "mmdebstrap", "nsenter", "unshare", "cpack"):
                need(run(["sh", "-c", "command -v " + tool], timeout=5).returncode == 0,
                     "%s is missing on the host: apt-get install systemd-container mmdebstrap util-linux cmake"
                     % tool)
            cg_root = cgroup2_root()
            need(cg_root, "no cgroup2 hierarchy is mounted on the host: the container cannot get a cgroup")
            sweep_leftovers()
            self.workdir = make_workdir()
            self.cgroup = os.path.join(cg_root, os.path.basename(self.workdir))

            deb = self.timed("package (cpack)", self.make_package)
            minbase = RootTar("minbase", host_cache)
            full = RootTar("booted", host_cache, include=BOOT_PACKAGES)
            self.tars = (minbase, full)
            demo_thread = threading.Thread(target=self.demo_from_nothing, args=(minbase,), daemon=True)
            if not self.args.no_demo:
                demo_thread.start()
            self.timed("root filesystem for the boot", lambda: full.ensure(self.workdir, timeout=900),
                       lambda: "built by mmdebstrap, now cached" if full.built else "from the cache " + full.path)
            root = os.path.join(self.workdir, "booted")
            self.timed("unpack and prepare the boot root", lambda: self.prepare_root(full, root, deb))
            self.container = Container(root, self.cgroup, os.path.join(self.workdir, "nspawn.log"))
            self.timed("boot to running", self.boot)
            print("booted: container PID 1 is host pid %d, cgroup %s" % (self.container.leader, self.cgroup))
            for number, (name, checks) in enumerate(STEPS, 1):
                if self.args.steps and name not in self.args.steps:
                    continue
                print("== %d/%d %s: %s" % (number, len(STEPS), name, checks))
                sys.stdout.flush()
                try:
                    self.timed("step " + name, getattr(self, "step_" + name))
                except Failure as e:
                    self.check(False, "step %s" % name, str(e))
                except Exception:  # noqa: BLE001 - a fault in the case itself fails it too, with its story
                    traceback.print_exc()
                    self.check(False, "step %s" % name, "raised (above)")
            if not self.args.no_demo:
                self.timed("demo (waited for at the end)", lambda: self.wait_demo(demo_thread))
            if self.args.steps or self.args.no_demo:
                self.check(False, "the whole case ran", "parts were left out on the command line")
        except Failure as e:
            self.check(False, "the case could not go on", str(e))
        except GiveUp as e:
            self.check(False, "the case gave up", str(e))
        finally:
            # Nothing may interrupt the cleanup: it is what keeps the host clean.
            signal.alarm(0)
            for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
                signal.signal(signum, signal.SIG_IGN)
            self.timed("cleanup", self.cleanup)
        self.report()
        return 1 if self.failures else 0

    def report(self):
        print("== wall time per phase")
        for phase, seconds, note in self.timings:
            print("  %-36s %7.1f s  %s" % (phase, seconds, note))
        for phase, seconds, note in self.demo_result.get("timings", []):
            print("  %-36s %7.1f s  %s" % (phase, seconds, note))
        print("  %-36s %7.1f s" % ("total", time.monotonic() - self.started))
        if self.failures:
            print("FAIL systemd.booted: %d check(s) failed:" % len(self.failures))
            for text in self.failures:
                print("  - " + text)
        else:
            print("PASS systemd.booted")

    # ---- host-side phases

    def make_package(self):
        return make_deb(self.args.build_dir, os.path.join(self.workdir, "deb"))

    def prepare_root(self, tar, root, deb):
        tar.extract(root)
        with open(os.path.join(root, "etc/hostname"), "w") as f:
            f.write("vemo-booted\n")
        # The daemons run under the watchdog only, not under their own units as well.
        result = run(["systemctl", "--root=" + root, "disable", "memcached.service", "redis-server.service",
                      "nginx.service"], timeout=60)
        need(result.returncode == 0, "cannot disable the daemons' own units: " + result.stderr)
        with open(os.path.join(root, "etc/prometheus/prometheus.yml"), "w") as f:
            f.write(PROMETHEUS_YML)
        self.deb_in_root = "/var/tmp/" + os.path.basename(deb)
        run(["cp", deb, root + self.deb_in_root], timeout=30)

    def demo_from_nothing(self, minbase):
        """tools/demo.sh as the first command of a fresh minbase root, with the source tree copied in."""
        timings = []
        self.demo_result = {"timings": timings}
        try:
            t0 = time.monotonic()
            minbase.ensure(self.workdir, timeout=900)
            timings.append(("demo: minbase root", time.monotonic() - t0,
                            "built by mmdebstrap, now cached" if minbase.built else "from the cache"))
            t0 = time.monotonic()
            root = os.path.join(self.workdir, "demo")
            minbase.extract(root)
            source = os.path.join(root, "root/vemo-watchdog")
            os.makedirs(source)
            # The tree as a user clones it: no build directories, no git metadata.
            copy = run(["sh", "-c", 'tar -C "$1" --exclude="./build*" --exclude=./.git -cf - . | tar -C "$2" -xf -',
                        "copy", self.args.source_dir, source], timeout=120)
            need(copy.returncode == 0, "cannot copy the source tree: " + copy.stderr)
            log_path = os.path.join(self.workdir, "demo.log")
            with open(log_path, "w") as log:
                self.demo = Chroot(root)
                self.demo.start(["/root/vemo-watchdog/tools/demo.sh"], log)
            status = self.demo.wait(timeout=self.args.demo_timeout)
            if status is None:
                self.demo.kill()
            timings.append(("demo: tools/demo.sh from nothing", time.monotonic() - t0,
                            "exit status %s" % status))
            with open(log_path, errors="replace") as f:
                self.demo_result.update(status=status, log=f.read())
        except Failure as e:
            self.demo_result["error"] = str(e)
        except Exception as e:  # noqa: BLE001 - reported as a failed check at the end
            self.demo_result["error"] = repr(e)

    def wait_demo(self, thread):
        print("== demo: tools/demo.sh as the first command of a fresh minbase root")
        thread.join(timeout=max(1, self.args.demo_timeout + 60))
        result = self.demo_result
        if "error" in result:
            self.check(False, "demo from nothing", result["error"])
            return
        log = result.get("log", "")
        ok = self.check(result.get("status") == 0, "tools/demo.sh exits 0 as the first command of a fresh root",
                        "status %s" % result.get("status"))
        ok &= self.check(re.search(r"^PASS demo\b", log, re.M) is not None, "the demo's own checks pass")
        if not ok:
            print("  demo output (last 40 lines):")
            for line in log.splitlines()[-40:]:
                print("    | " + line)

    def cleanup(self):
        """Leaves nothing behind: the container, its cgroup, the demo's namespaces, the root copies."""
        errors = []
        for what, func in (("container", lambda: self.container and self.container.destroy()),
                           ("demo", lambda: self.demo and self.demo.kill()),
                           ("mmdebstrap", lambda: [tar.kill() for tar in self.tars]),
                           ("cgroup", lambda: self.cgroup and remove_cgroup(self.cgroup))):
            try:
                func()
            except Exception as e:  # noqa: BLE001 - every part is cleaned even when one fails
                errors.append("%s: %s" % (what, e))
        if self.workdir:
            left = mounts_under(self.workdir)
            if left:
                errors.append("mounts left under %s: %s" % (self.workdir, left))
            rooted = []
            for pid in os.listdir("/proc"):
                if pid.isdigit():
                    try:
                        if os.readlink("/proc/%s/root" % pid).startswith(self.workdir):
                            rooted.append(int(pid))
                    except OSError:
                        pass
            if rooted:
                errors.append("processes still inside %s: %s" % (self.workdir, rooted))
        if self.cgroup and os.path.exists(self.cgroup):
            errors.append("cgroup %s still there" % self.cgroup)
        print("== cleanup")
        self.check(not errors, "nothing left behind: no container, cgroup, mount, process or root copy",
                   "; ".join(errors))

    # ---- inside the container

    def boot(self):
        self.container.boot()
        self.boot_id = self.out("cat /proc/sys/kernel/random/boot_id").replace("-", "")

    def sh(self, script, timeout=30, stdin=None):
        return self.container.sh(script, timeout=timeout, stdin=stdin)

    def out(self, script, timeout=30):
        return self.sh(script, timeout).stdout.strip()

    def unit_state(self):
        return self.out("systemctl is-active %s" % UNIT)

    def main_pid(self, ours=True):
        """The unit's MainPID; remembered as one of the unit's watchdogs unless told otherwise."""
        value = self.out("systemctl show -p MainPID --value %s" % UNIT)
        pid = int(value) if value.isdigit() else 0
        if pid and ours:
            self.main_pids.add((self.boot_id, str(pid)))
        return pid

    def pid_file(self, name):
        value = self.out("cat %s/%s.pid 2>/dev/null" % (RUN, name))
        return int(value) if value.isdigit() else 0

    def new_pid(self, name, old):
        """The pid in name's pid file when it is another than old and runs, else 0."""
        pid = self.pid_file(name)
        return pid if pid not in (0, old) and self.alive(pid) else 0

    def wait_pass(self):
        """Returns after the next renewal of the watchdog's pid file, which ends each whole pass."""
        result = self.sh('''
            f=%s/vemo_watchdog.pid
            old=$(stat -c %%y $f)
            while [ "$(stat -c %%y $f)" = "$old" ]; do sleep 0.05; done''' % RUN, timeout=CYCLE + 5)
        need(result.returncode == 0, "the watchdog did not renew its pid file within %d s" % (CYCLE + 5))

    def alive(self, pid):
        return pid > 0 and self.sh("kill -0 %d" % pid).returncode == 0

    def procs(self, comm):
        """[(pid, command line)] of the processes named comm in the container."""
        script = 'for p in $(pgrep -x %s); do printf "%%s " "$p"; tr "\\0" " " </proc/$p/cmdline; echo; done' % comm
        found = []
        for line in self.out(script).splitlines():
            pid, _, cmdline = line.partition(" ")
            if pid.isdigit():
                found.append((int(pid), cmdline.strip()))
        return found

    def write(self, path, text):
        result = self.sh('cat >"%s"' % path, stdin=text)
        need(result.returncode == 0, "cannot write %s: %s" % (path, result.stderr))

    def systemctl(self, verb):
        return self.sh("systemctl %s %s" % (verb, UNIT), timeout=60)

    # The small clients, each bounded, each returning what the daemon answered.
    def memcached_version(self, port=11211):
        script = ('exec 3<>/dev/tcp/127.0.0.1/%d && printf "version\\r\\n" >&3 && read -r -t 2 line <&3 && '
                  'echo "$line"' % port)
        return self.out("timeout 3 bash -c '%s' 2>/dev/null" % script.replace("'", "'\\''"))

    def redis(self, *command):
        return self.out("redis-cli -h 127.0.0.1 -p 6379 %s 2>&1" % " ".join(command), timeout=10)

    def nginx_status(self):
        return self.out("curl -sS -m 3 -o /dev/null -w '%{http_code}' http://127.0.0.1/ 2>&1")

    def answers(self, name):
        if name == "memcached":
            return self.memcached_version(11211).startswith("VERSION ")
        if name == "memcached-r":
            return self.memcached_version(11212).startswith("VERSION ")
        if name == "redis":
            return self.redis("ping") == "PONG"
        if name == "nginx":
            return self.nginx_status() == "200"
        raise ValueError(name)

    def check_answers(self, names, timeout=2 * CYCLE + 5, context=""):
        """Waits until each program answers on its port, then records its pid from its pid file."""
        for name in names:
            try:
                wait_for("%s to answer" % name, lambda name=name: self.answers(name), timeout=timeout)
                self.pids[name] = self.pid_file(name)
                self.check(True, "%s answers%s (pid %d)" % (name, context, self.pids[name]))
            except Failure as e:
                self.check(False, "%s answers%s" % (name, context), str(e))

    def same_pids(self, names, context):
        for name in names:
            now = self.pid_file(name)
            self.check(now == self.pids.get(name) and self.alive(now), "%s still runs as pid %s %s"
                       % (name, self.pids.get(name), context), "pid file says %d" % now)

    def still_serving(self, names, context, answer_context):
        """Each of names runs on as the pid seen before and answers on its port."""
        self.same_pids(names, context)
        for name in names:
            self.check(self.answers(name), "%s answers%s" % (name, answer_context))

    def journal(self, identifier="vemo-watchdog"):
        result = self.sh("journalctl -o json --no-pager SYSLOG_IDENTIFIER=%s" % identifier, timeout=60)
        records = []
        for line in result.stdout.splitlines():
            try:
                records.append(json.loads(line))
            except ValueError:
                pass
        return records

    def messages(self, text, identifier="vemo-watchdog"):
        """The journal records of identifier whose message holds text."""
        return [r for r in self.journal(identifier) if text in str(r.get("MESSAGE", ""))]

    def prom_series(self, query):
        """[(labels, value)] of an instant query to Prometheus's API; [] when it has no answer."""
        url = "http://127.0.0.1:9090/api/v1/query?query=" + urllib.parse.quote(query)
        body = self.out("curl -sS -m 5 '%s'" % url)
        try:
            result = json.loads(body).get("data", {}).get("result", [])
        except ValueError:
            return []
        return [(r.get("metric", {}), float(r["value"][1])) for r in result]

    def prom(self, query):
        """The value of an instant query's first series, or None."""
        series = self.prom_series(query)
        return series[0][1] if series else None

    # ---- the steps

    def step_install(self):
        result = self.sh("dpkg -i %s" % self.deb_in_root, timeout=120)
        self.check(result.returncode == 0, "dpkg -i succeeds", result.stdout + result.stderr)
        self.check(self.out("systemctl is-enabled %s" % UNIT) == "enabled", "dpkg -i enabled the unit")
        self.check(self.unit_state() == "active", "dpkg -i started the unit")
        result = self.systemctl("enable --now")
        self.check(result.returncode == 0, "systemctl enable --now succeeds", result.stderr)
        self.check(self.unit_state() == "active", "the unit is active")
        pid = wait_for("the watchdog's pid file", lambda: self.pid_file("vemo_watchdog"), timeout=10)
        self.check(self.main_pid() == pid, "MainPID is the watchdog of the pid file (%d)" % pid,
                   "MainPID %d" % self.main_pid())
        self.check(any(r.get("_SYSTEMD_UNIT") == UNIT for r in self.messages(" started.")),
                   "the journal has the watchdog's start from the unit")

    def step_watch_list(self):
        self.write(WATCH_LIST, "\n".join((MEMCACHED, REDIS)) + "\n")
        result = self.systemctl("reload")
        self.check(result.returncode == 0, "systemctl reload succeeds", result.stderr)
        self.check_answers(("memcached", "redis"))
        self.check(len(self.procs("memcached")) == 1 and len(self.procs("redis-server")) == 1,
                   "one memcached and one redis-server run")
        user = self.out("ps -o user= -p %d" % self.pids.get("redis", 0))
        self.check(user == "redis", "redis-server runs as redis", "runs as %r" % user)
        banner = self.expect("journalctl -t redis shows Redis's start banner under the pid of redis-server",
                             lambda: [r for r in self.messages("Redis version=", "redis")
                                      if r.get("SYSLOG_PID") == str(self.pids.get("redis"))], timeout=10)
        if banner:
            print("       %s" % banner[0]["MESSAGE"])

    def step_redis_bgsave(self):
        def persistence():
            info = self.redis("info", "persistence")
            return dict(line.split(":", 1) for line in info.splitlines() if ":" in line)

        before = int(persistence().get("rdb_saves", "0"))
        self.check(self.redis("bgsave") == "Background saving started", "BGSAVE is accepted")

        def saved():
            info = persistence()
            done = info.get("rdb_bgsave_in_progress") == "0" and int(info.get("rdb_saves", "0")) > before
            return info if done else None

        info = self.expect("the background save ends", saved, timeout=20)
        if info:
            self.check(info.get("rdb_last_bgsave_status") == "ok", "with status ok",
                       info.get("rdb_last_bgsave_status", ""))
        errors = self.out("journalctl -t redis --no-pager -o cat | grep -c 'waitpid() returned an error'")
        self.check(errors == "0", "Redis logs no waitpid error", "%s such lines" % errors)

    def step_reload(self):
        self.write(WATCH_LIST, "\n".join((MEMCACHED, REDIS, NGINX, MEMCACHED_R, TYPO)) + "\n")
        result = self.systemctl("reload")
        # The check before the signal sees that vemo-lockrun's program is missing.
        self.check(result.returncode != 0, "systemctl reload of a list wrapping a missing program fails",
                   "exit status %d" % result.returncode)
        self.expect("vemoctl's check names the missing program in the journal",
                    lambda: self.messages("/usr/bin/memcache", "vemoctl"), timeout=5, interval=0.5)
        # Signalled directly, the daemon takes the list as it is.
        self.sh("kill -USR1 %d" % self.main_pid())
        self.check_answers(("nginx", "memcached-r"), context=" after the reload")
        self.same_pids(("memcached", "redis"), "across the reload")
        found = self.expect("vemo-lockrun logs the mistyped program with its pid file", lambda: [
            r for r in self.messages("/usr/bin/memcache:", "vemo-lockrun") if "typo.pid" in r.get("MESSAGE", "")],
            timeout=2 * CYCLE + 5, interval=1)
        if found:
            print("       %s" % found[0]["MESSAGE"])

    def step_broken_list(self):
        good = "\n".join((MEMCACHED, REDIS, NGINX, MEMCACHED_R)) + "\n"
        self.write(WATCH_LIST, good + "1:%s/half.pid\n1:%s/gone.pid:/usr/sbin/vemo-no-such-daemon\n" % (RUN, RUN))
        result = self.systemctl("reload")
        self.check(result.returncode != 0, "systemctl reload of a list with an invalid line fails",
                   "exit status %d" % result.returncode)
        self.check(self.unit_state() == "active", "the watchdog still runs")
        # Signalled directly, the daemon reads the list itself: it reports the line and skips it.
        self.sh("kill -USR1 %d" % self.main_pid())
        reports = (("Invalid line [1:%s/half.pid]" % RUN, "3", "the invalid line at err"),
                   ("/usr/sbin/vemo-no-such-daemon not found", "4", "the missing program at warning"))
        for text, priority, name in reports:
            found = self.expect("sent SIGUSR1 directly, the daemon reports " + name,
                                lambda text=text: self.messages(text), timeout=CYCLE + 5, interval=1)
            if found:
                self.check(found[0].get("PRIORITY") == priority and found[0].get("_SYSTEMD_UNIT") == UNIT,
                           "with PRIORITY=%s and the unit" % priority, repr(found[0].get("PRIORITY")))
        self.write(WATCH_LIST, good)
        result = self.systemctl("reload")
        self.check(result.returncode == 0, "systemctl reload of the fixed list succeeds", result.stderr)
        self.same_pids(SERVING, "across both reloads")

    def step_prometheus(self):
        for query, text in (('up{job="vemo"}', "up for the job"),
                            ("vemo_watchdog_up", "vemo_watchdog_up")):
            self.expect("Prometheus shows %s at 1" % text, lambda query=query: self.prom(query) == 1.0, timeout=30)
        for name in SERVING:
            query = 'vemo_program_up{pid_file="%s/%s.pid"}' % (RUN, name)
            value = self.prom(query)
            self.check(value == 1.0, "Prometheus shows %s at 1" % query, "value %s" % value)
        series = self.prom_series('vemo_program_up{wraps="/usr/bin/memcached"}')
        self.check(sorted(labels.get("pid_file") for labels, _ in series) ==
                   ["%s/memcached-r.pid" % RUN, "%s/memcached.pid" % RUN],
                   "both vemo-lockrun lines of memcached carry wraps=\"/usr/bin/memcached\"", repr(series))
        for labels, value in self.prom_series("vemo_program_up"):
            shown = ",".join('%s="%s"' % (k, v) for k, v in sorted(labels.items())
                             if k not in ("__name__", "instance", "job"))
            print("       vemo_program_up{%s} %g" % (shown, value))

    def step_kill_program(self):
        old = self.pids.get("memcached", 0)
        need(old, "no memcached pid from the earlier steps")
        mark = len(self.messages("spawned"))
        # The watchdog renews its pid file a second before each pass. Killed two seconds after a
        # renewal, memcached stays down for most of a cycle: several of Prometheus's scrapes see it.
        self.wait_pass()
        self.sh("sleep 2; kill -KILL %d" % old)
        killed = time.monotonic()
        new = self.expect("memcached runs again within a cycle", lambda: self.new_pid("memcached", old),
                          timeout=CYCLE + 5)
        if new:
            print("       as pid %d, %.1f s after the kill" % (new, time.monotonic() - killed))
        self.check_answers(("memcached",), context=" after its restart")
        self.check(len([p for p, c in self.procs("memcached") if c.endswith("-p 11211")]) == 1,
                   "one copy of memcached on 11211")
        self.check(len(self.messages("spawned")) > mark, "the journal has the spawn")
        up = 'vemo_program_up{pid_file="%s/memcached.pid"}' % RUN
        self.expect("Prometheus saw vemo_program_up of memcached fall to 0",
                    lambda: self.prom("min_over_time(%s[1m])" % up) == 0.0, timeout=15)
        self.expect("and back at 1", lambda: self.prom(up) == 1.0, timeout=15)

    def step_lockrun_restart(self):
        state_file = "%s/memcached-r.pid.lockrun" % RUN

        def state():
            text = self.out("cat %s 2>/dev/null" % state_file)
            return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)

        keeper = self.pid_file("memcached-r")
        child = int(state().get("child_pid", "0") or 0)
        need(child > 0 and child != keeper, "no running child in %s" % state_file)
        before = int(state().get("restarts", "0"))
        took = self.kill_and_probe(child, """{ exec 3<>/dev/tcp/127.0.0.1/11212; } 2>/dev/null &&
            printf 'version\\r\\n' >&3 && read -r -t 1 line <&3 && [ "${line#VERSION }" != "$line" ]""")
        self.check(took.isdigit() and int(took) < 1000, "the SIGKILLed memcached answers again in under a second",
                   "took %s ms" % took)
        if took.isdigit():
            print("       (%s ms)" % took)
        now = state()
        self.check(int(now.get("restarts", "0")) == before + 1 and now.get("last_exit") == "killed SIGKILL",
                   "the state file counts the restart and names SIGKILL", repr(now))
        self.check(self.pid_file("memcached-r") == keeper, "vemo-lockrun itself kept running (pid %d)" % keeper)
        query = 'vemo_program_restarts_total{pid_file="%s/memcached-r.pid"}' % RUN
        self.expect("Prometheus counts the restart: %s is %d" % (query, before + 1),
                    lambda: self.prom(query) == before + 1, timeout=15)

    def kill_and_probe(self, pid, probe):
        """SIGKILLs pid and runs the shell test probe until it holds: the milliseconds it took, or "never".
        Both in one shell, so the measured time is the daemon's, not nsenter's."""
        script = '''
            kill -KILL %d
            t0=$(date +%%s%%N)
            for i in $(seq 200); do
                if %s; then
                    echo $(( ($(date +%%s%%N) - t0) / 1000000 ))
                    exit 0
                fi
                exec 3>&-
                sleep 0.01
            done
            echo never
        ''' % (pid, probe)
        return self.sh("exec bash -s", timeout=15, stdin=script).stdout.strip()

    def step_nginx_restart(self):
        keeper = self.pid_file("nginx")
        master = int(self.out("sed -n 's/^child_pid=//p' %s/nginx.pid.lockrun" % RUN) or 0)
        workers = [p for p, c in self.procs("nginx") if "worker" in c]
        need(master > 0 and workers, "no nginx master and workers under %d" % keeper)
        # The old workers would answer too: the new master must, with them gone.
        took = self.kill_and_probe(master, "! ps -p %s >/dev/null && [ \"$(curl -sS -m 1 -o /dev/null "
                                           "-w '%%{http_code}' http://127.0.0.1/)\" = 200 ]" % ",".join(map(str, workers)))
        self.check(took.isdigit() and int(took) < 1000, "the SIGKILLed master's workers are gone and nginx answers "
                   "again in under a second", "took %s ms" % took)
        if took.isdigit():
            print("       (%s ms)" % took)
        self.check(self.pid_file("nginx") == keeper, "vemo-lockrun itself kept running (pid %d)" % keeper)
        self.check(len([c for _, c in self.procs("nginx") if "master" in c]) == 1, "one nginx master runs")
        self.expect("vemo-lockrun logs the end of the workers by the name nginx", lambda: self.messages(
            "ending what nginx (%d) left in its process group" % master, "vemo-lockrun"), timeout=5)
        # nginx tries to bind for about 2.5 s before it gives up.
        second = self.sh("%s --log --name=nginx /tmp/nginx-second.pid %s -g '%s'" % (LOCKRUN, *NGINX_ARGS[::2]),
                         timeout=30)
        self.check(second.returncode != 0, "a second nginx on port 80 fails", "exit status %d" % second.returncode)
        bind = self.expect("journalctl -t nginx shows the second nginx's bind error", lambda: self.messages(
            "bind() to 0.0.0.0:80 failed (98: Address already in use)", "nginx"), timeout=10)
        if bind:
            print("       %s" % bind[0]["MESSAGE"])

    def step_apply(self):
        old = self.pids.get("memcached", 0)
        self.write(WATCH_LIST, "\n".join((MEMCACHED_EDITED, REDIS, NGINX, MEMCACHED_R)) + "\n")
        result = self.sh("%s/bin/vemoctl reload --apply" % PREFIX, timeout=60)
        self.check(result.returncode == 0, "vemoctl reload --apply succeeds", result.stdout + result.stderr)
        self.expect("memcached runs the edited command line", lambda: [
            p for p, c in self.procs("memcached") if c.endswith("-p 11211 -m 32") and p != old], timeout=2 * CYCLE + 5)
        self.check_answers(("memcached",), context=" after the apply")

    def step_redis_check(self):
        state_file = "%s/redis.pid.lockrun" % RUN

        def state():
            text = self.out("cat %s 2>/dev/null" % state_file)
            return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)

        self.write(REDIS_SCRIPT, REDIS_SCRIPT_TEXT)
        need(self.sh("chmod 755 " + REDIS_SCRIPT).returncode == 0, "cannot make %s executable" % REDIS_SCRIPT)
        self.write(WATCH_LIST, "\n".join((MEMCACHED_EDITED, REDIS_CHECKED, NGINX, MEMCACHED_R)) + "\n")
        result = self.sh("%s/bin/vemoctl reload --apply" % PREFIX, timeout=60)
        self.check(result.returncode == 0, "vemoctl reload --apply succeeds", result.stdout + result.stderr)
        self.expect("Redis under --restart passes its port check",
                    lambda: state().get("health") == "healthy", timeout=2 * CYCLE + 10)
        child = int(state().get("child_pid", "0") or 0)
        need(child > 0, "no running Redis in %s" % state_file)
        script = '''
            kill -STOP %d
            t0=$(date +%%s%%N)
            for i in $(seq 1000); do
                if ! kill -0 %d 2>/dev/null && [ "$(redis-cli -h 127.0.0.1 -p 6379 ping 2>&1)" = PONG ]; then
                    echo $(( ($(date +%%s%%N) - t0) / 1000000 ))
                    exit 0
                fi
                sleep 0.01
            done
            echo never
        ''' % (child, child)
        took = self.sh("exec bash -s", timeout=30, stdin=script).stdout.strip()
        # Noticed within 2 intervals and a timeout (3 s); Redis then has up to --grace (5 s) to end.
        self.check(took.isdigit() and int(took) < 9000, "the SIGSTOPped Redis is restarted and answers PING",
                   "took %s ms" % took)
        if took.isdigit():
            print("       (%s ms)" % took)
        for r in self.messages("redis (%d)" % child, "vemo-lockrun"):
            print("       vemo-lockrun: %s" % r.get("MESSAGE", ""))
        # Redis acts on the SIGTERM that follows the failed checks: it saves and exits, needing no SIGKILL.
        self.expect("Redis logs its shutdown on SIGTERM (journalctl -t redis)", lambda: [
            r for r in self.journal("redis") if str(r.get("SYSLOG_PID", "")) == str(child)
            and "ready to exit, bye bye" in str(r.get("MESSAGE", ""))], timeout=5)
        self.check(not self.messages("redis (%d) still running" % child, "vemo-lockrun"),
                   "the stopped Redis ended within --grace, without SIGKILL")
        self.expect("vemo-lockrun's record of the failed checks is in the journal", lambda: self.messages(
            "redis (%d) failed its check of port 6379 2 times in a row: timed out after" % child, "vemo-lockrun"),
            timeout=5)
        status = self.sh("%s/bin/vemoctl status" % PREFIX).stdout
        self.check("health: healthy" in status or "health: not checked" in status,
                   "vemoctl status shows Redis's health", status)
        self.check_answers(("redis",), context=" under --restart")  # its pid file names the wrapper now

    def step_stop(self):
        result = self.systemctl("stop")
        self.check(result.returncode == 0, "systemctl stop succeeds", result.stderr)
        self.check(self.unit_state() == "inactive", "the unit is inactive")
        self.check(not self.procs("vemo-watchdog"), "no watchdog runs")
        self.still_serving(SERVING, "after the stop", "")

    def step_kill_watchdog(self):
        result = self.systemctl("start")
        self.check(result.returncode == 0 and self.unit_state() == "active", "systemctl start", result.stderr)
        old = self.main_pid()
        mark = len(self.messages("spawned"))
        self.sh("kill -KILL %d" % old)
        new = self.expect("systemd restarts the SIGKILLed watchdog", lambda: self.unit_state() == "active" and
                          self.main_pid() not in (0, old) and self.main_pid(), timeout=30)
        if new:
            print("       MainPID %d, was %d" % (new, old))
        # A whole pass of the new watchdog: it would have spawned anything it found not running.
        self.wait_pass()
        self.same_pids(SERVING, "under the new watchdog")
        counts = {"memcached": len(self.procs("memcached")),
                  "redis-server": len(self.procs("redis-server")),
                  "nginx master": len([c for _, c in self.procs("nginx") if "master" in c])}
        self.check(counts == {"memcached": 2, "redis-server": 1, "nginx master": 1},
                   "no second copy (memcached on 11211 and 11212, one redis-server, one nginx master)", repr(counts))
        self.check(len(self.messages("spawned")) == mark, "the new watchdog spawned nothing")

    def step_second_watchdog(self):
        result = self.systemctl("stop")
        self.check(result.returncode == 0, "systemctl stop", result.stderr)
        old = self.pid_file("vemo_watchdog")
        self.sh("cd %s && %s/bin/vemo-watchdog </dev/null >/dev/null 2>&1" % (PREFIX, PREFIX))
        hand = wait_for("the hand-started watchdog's pid file", lambda: self.new_pid("vemo_watchdog", old),
                        timeout=10)
        print("       watchdog started by hand: pid %d" % hand)
        result = self.systemctl("start")
        self.check(result.returncode != 0, "systemctl start fails while another watchdog holds the lock",
                   "exit status %d" % result.returncode)
        print("       systemctl start said: %s" % (result.stderr.strip().splitlines() or [""])[0])
        self.check(self.unit_state() != "active", "the unit is not active", self.unit_state())
        self.check(self.main_pid(ours=False) != hand, "systemd did not adopt the hand-started watchdog as MainPID")
        named = self.out("journalctl -u %s --no-pager -o cat | grep -F 'already runs: pid %d'" % (UNIT, hand))
        self.check(named != "", "the unit's log names the watchdog that holds the lock", named)
        # A failed start must not cost the running watchdog its pid file: without it, the next
        # start would find no holder to name and run a second watchdog.
        self.check(self.pid_file("vemo_watchdog") == hand, "the hand-started watchdog's pid file still names it")
        result = self.systemctl("start")
        watchdogs = [p for p, _ in self.procs("vemo-watchdog")]
        self.check(result.returncode != 0 and watchdogs == [hand],
                   "a second systemctl start fails too, and no second watchdog runs", "watchdogs %r" % watchdogs)
        self.systemctl("stop")
        self.check(self.alive(hand), "the hand-started watchdog still runs after systemctl stop")
        self.sh("kill -TERM %d" % hand)
        self.expect("the hand-started watchdog stops on SIGTERM", lambda: not self.alive(hand), timeout=CYCLE + 5)
        result = self.systemctl("start")
        self.check(result.returncode == 0 and self.unit_state() == "active",
                   "once it is gone, systemctl start succeeds", result.stderr)
        self.main_pid()

    def step_reboot(self):
        self.sh("systemctl reboot")
        status = self.container.wait_stopped(timeout=90)
        self.check(status == 133, "nspawn ends with 133, the container asked for a reboot", "status %s" % status)
        t0 = time.monotonic()
        self.boot()
        print("       booted again in %.1f s" % (time.monotonic() - t0))
        self.check(self.unit_state() == "active", "the unit is active after the boot")
        self.main_pid()
        self.check_answers(SERVING, context=" after the reboot")
        self.expect("Prometheus shows up==1 for the job after the reboot",
                    lambda: self.prom('up{job="vemo"}') == 1.0, timeout=60)

    def step_journal(self):
        records = self.journal()
        self.check(len(records) > 20, "the journal holds %d records of vemo-watchdog, both boots" % len(records))
        bad = [r for r in records if r.get("SYSLOG_FACILITY") != "1"]
        self.check(not bad, "every record has facility user (1)", repr(bad[:1]))
        units = {r.get("_SYSTEMD_UNIT") for r in records} - {None}
        self.check(units == {UNIT}, "_SYSTEMD_UNIT is %s wherever journald names a unit" % UNIT, repr(units))
        # A process's last words may reach journald after it is gone, when its unit can no longer be read.
        last_words = re.compile(r" stopped\.$|^Can't acquire lockfile|^ ?\(")
        ours = [r for r in records if (r.get("_BOOT_ID"), r.get("_PID")) in self.main_pids
                and not last_words.search(str(r.get("MESSAGE", "")).rstrip("\n"))]
        stray = [r for r in ours if r.get("_SYSTEMD_UNIT") != UNIT]
        self.check(ours and not stray, "every record of the unit's watchdogs carries _SYSTEMD_UNIT=%s" % UNIT,
                   "; ".join("pid %s: %r" % (r.get("_PID"), r.get("MESSAGE")) for r in stray[:3]))
        for pattern, priority in ((r" started\.$", "6"), (r" is not running\.$", "6"), (r" spawned$", "6"),
                                  (r" stopped\.$", "6"), (r" not found : ", "4"), (r"^Invalid line ", "3")):
            found = [r for r in records if re.search(pattern, str(r.get("MESSAGE", "")).rstrip("\n"))]
            priorities = {r.get("PRIORITY") for r in found}
            self.check(found and priorities == {priority}, "%d records matching /%s/ at priority %s"
                       % (len(found), pattern, priority), "priorities %r" % priorities)

    def step_remove(self):
        running = dict(self.pids)
        result = self.sh("dpkg -r vemo-watchdog", timeout=120)
        self.check(result.returncode == 0, "dpkg -r succeeds", result.stdout + result.stderr)
        self.check(self.unit_state() != "active", "the unit is not active", self.unit_state())
        exes = self.out("for p in /proc/[0-9]*; do readlink $p/exe; done 2>/dev/null")
        left = [e for e in exes.splitlines() if re.search(r"/bin/vemo-(watchdog|monitor)\b", e)]
        self.check(not left, "neither the watchdog nor its monitor runs, from deleted files or otherwise", repr(left))
        # vemo-lockrun --restart is the supervised program's keeper: it runs on, from its deleted file.
        print("       still running from the removed package: %s" % sorted(
            set(e for e in exes.splitlines() if "/opt/vemo-watchdog/" in e)))
        self.pids = running
        self.still_serving(SERVING, "after dpkg -r", " after dpkg -r")

    def step_purge(self):
        result = self.sh("dpkg -P vemo-watchdog", timeout=120)
        self.check(result.returncode == 0, "dpkg -P succeeds", result.stdout + result.stderr)
        self.check(self.sh("test -e %s || test -L %s" % (ENABLE_LINK, ENABLE_LINK)).returncode != 0,
                   "no enable link " + ENABLE_LINK)
        links = self.out("find /etc/systemd -name '*vemo*' 2>/dev/null")
        self.check(links == "", "nothing of the unit is left under /etc/systemd (no mask either)", links)
        self.check(self.out("find /etc/systemd /lib/systemd /usr/lib/systemd -xtype l 2>/dev/null") == "",
                   "no dangling link under the systemd directories")
        self.still_serving(SERVING[:3], "after dpkg -P, their pid files kept", " after dpkg -P")

    def step_poweroff(self):
        self.sh("systemctl poweroff")
        status = self.container.wait_stopped(timeout=90)
        self.check(status == 0, "nspawn exits 0 after the poweroff", "status %s" % status)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", default=os.path.normpath(os.path.join(here, "..", "..")))
    parser.add_argument("--cache-dir", default=os.environ.get("VEMO_SYSTEMD_CACHE", "/var/cache/vemo-systemd-test"))
    parser.add_argument("--deadline", type=int, default=840,
                        help="seconds after which the case gives up and cleans up (below ctest's TIMEOUT)")
    parser.add_argument("--demo-timeout", type=int, default=600)
    parser.add_argument("--steps", type=lambda text: text.split(","), default=None,
                        help="run only these steps, comma-separated (while developing the case)")
    parser.add_argument("--no-demo", action="store_true", help="leave out the demo (while developing the case)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("FAIL systemd.booted: the case needs root (namespaces, cgroups, systemd-nspawn)")
        return 1
    try:
        enter_private_mounts([sys.executable, os.path.abspath(__file__)] + sys.argv[1:])
    except Failure as e:
        print("FAIL systemd.booted: %s" % e)
        return 1
    args.build_dir = os.path.abspath(args.build_dir)
    args.source_dir = os.path.abspath(args.source_dir)

    def give_up(signum, _frame):
        raise GiveUp("the case's deadline of %d s passed" % args.deadline if signum == signal.SIGALRM
                     else "signal %d" % signum)

    for signum in (signal.SIGALRM, signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, give_up)
    signal.alarm(args.deadline)
    case = Case(args)
    status = case.run()
    signal.alarm(0)
    sys.stdout.flush()
    return status


if __name__ == "__main__":
    sys.exit(main())
