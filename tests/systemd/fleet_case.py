#!/usr/bin/env python3
"""The Ansible role on a fleet of two: Debian 12 booted twice in systemd-nspawn, driven from the host.

fleet_case.py --build-dir BUILD [--source-dir SRC] [--cache-dir DIR] [--deadline SECONDS]

ansible-playbook runs deploy/ansible/site.yml on the host and enters each container through
community.docker.nsenter by the container's PID 1. The cases run in order on one boot of both.
"""

import argparse
import hashlib
import json
import os
import re
import signal
import sys
import time
from shutil import which

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from booted_case import BOOT_PACKAGES  # noqa: E402
from nspawn import (Container, Failure, GiveUp, RootTar, cgroup2_root, enter_private_mounts, left_behind,  # noqa: E402
                    make_deb, make_workdir, need, run, sweep_leftovers, wait_for)

HOSTS = ("fleet-a", "fleet-b")
LIST = "/opt/vemo-watchdog/etc/watching-list.conf"
# Ansible's modules need Python on the managed host, and apt's needs python3-apt: the booted
# case's root has neither, so the fleet has a root of its own unless that one gains them.
PACKAGES = tuple(sorted(set(BOOT_PACKAGES) | {"python3", "python3-apt"}))
ROOT_NAME = "booted" if set(PACKAGES) == set(BOOT_PACKAGES) else "fleet"


def entries(memory="64", port="11211"):
    """The watch list as the role's variable: memcached plainly, and a second one under --restart."""
    return [{"name": "memcached", "pid_file": "/run/vemo-programs/memcached.pid", "program": "/usr/bin/memcached",
             "args": ["-u", "memcache", "-l", "127.0.0.1", "-p", port, "-m", memory]},
            {"name": "memcached-r", "pid_file": "/run/vemo-programs/memcached-r.pid", "restart": True,
             "program": "/usr/bin/memcached", "args": ["-u", "memcache", "-l", "127.0.0.1", "-p", "11212"]}]


class Fleet:
    def __init__(self, args):
        self.args, self.failures, self.timings = args, [], []
        self.workdir, self.hosts = None, {}

    def check(self, condition, text, detail=""):
        print(("  ok   " if condition else "  FAIL ") + text + ("" if condition or not detail else ": " + detail))
        sys.stdout.flush()
        if not condition:
            self.failures.append(text)
        return condition

    def timed(self, phase, func):
        t0 = time.monotonic()
        try:
            return func()
        finally:
            self.timings.append((phase, time.monotonic() - t0))

    def run(self):
        try:
            need(os.geteuid() == 0, "the fleet case needs root (namespaces, cgroups, nspawn)")
            missing = [t for t in ("systemd-nspawn", "mmdebstrap", "nsenter", "cpack", "ansible-playbook") if not which(t)]
            need(not missing, "missing on the host: %s (tools/setup.sh test installs them)" % missing)
            need(run(["ansible-doc", "-t", "connection", "community.docker.nsenter"], timeout=60).returncode == 0,
                 "community.docker.nsenter is missing: apt-get install ansible")
            sweep_leftovers()
            self.workdir = make_workdir()
            os.mkdir(os.path.join(self.workdir, "deb"))
            self.deb = self.timed("package (cpack)", lambda: make_deb(self.args.build_dir, self.workdir + "/deb"))
            self.tar = RootTar(ROOT_NAME, self.args.cache_dir, include=PACKAGES)
            self.timed("root filesystem", lambda: self.tar.ensure(self.workdir, timeout=900))
            self.timed("unpack and boot both", self.boot)
            for name in ("first_run", "second_run", "edited_argument", "refused", "not_up", "host_down"):
                print("== " + name)
                try:
                    self.timed(name, getattr(self, "case_" + name))
                except Failure as e:
                    self.check(False, name, str(e))
        except Failure as e:
            self.check(False, "the case could not go on", str(e))
        except GiveUp as e:
            self.check(False, "the case gave up", str(e))
        finally:
            signal.alarm(0)
            for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
                signal.signal(signum, signal.SIG_IGN)
            self.timed("cleanup", self.cleanup)
        for phase, seconds in self.timings:
            print("  %-24s %7.1f s" % (phase, seconds))
        print("%s systemd.fleet%s" % ("FAIL" if self.failures else "PASS", ": " + "; ".join(self.failures)
                                      if self.failures else ""))
        return 1 if self.failures else 0

    def boot(self):
        for name in HOSTS:
            root = os.path.join(self.workdir, name)
            self.tar.extract(root)
            with open(os.path.join(root, "etc/hostname"), "w") as f:
                f.write(name + "\n")
            # The daemons run under the watchdog only.
            need(run(["systemctl", "--root=" + root, "disable", "memcached", "redis-server", "nginx",
                      "prometheus"], timeout=60).returncode == 0, "cannot disable the daemons' own units")
            cgroup = os.path.join(cgroup2_root(), os.path.basename(self.workdir) + "-" + name)
            self.hosts[name] = Container(root, cgroup, os.path.join(self.workdir, name + ".log"))
        for container in self.hosts.values():
            container.boot()

    def cleanup(self):
        errors = []
        for container in self.hosts.values():
            try:
                container.destroy()
            except Failure as e:
                errors.append(str(e))
        if self.workdir:
            errors += left_behind(self.workdir, [c.cgroup for c in self.hosts.values()])
        self.check(not errors, "nothing left behind: no container, cgroup, mount or process", "; ".join(errors))

    # ---- driving the fleet

    def play(self, variables):
        """Runs the playbook on both hosts with variables; returns (exit status, output, recap per host)."""
        inventory = {"vemo_watchdog": {"hosts": {
            name: {"ansible_connection": "community.docker.nsenter", "ansible_nsenter_pid": c.leader or 1 << 22,
                   "ansible_python_interpreter": "/usr/bin/python3", "ansible_become": False}
            for name, c in self.hosts.items()}}}
        variables = dict({"vemo_watchdog_deb": self.deb, "vemo_watchdog_apply": True}, **variables)
        for name, data in (("inventory.json", inventory), ("vars.json", variables)):
            with open(os.path.join(self.workdir, name), "w") as f:
                json.dump(data, f)
        env = dict(os.environ, ANSIBLE_NOCOLOR="1", ANSIBLE_LOCAL_TEMP=self.workdir + "/ansible",
                   ANSIBLE_HOME=self.workdir + "/ansible", ANSIBLE_FORKS="2")
        result = run(["ansible-playbook", "-i", self.workdir + "/inventory.json", "-e", "@" + self.workdir + "/vars.json",
                      os.path.join(self.args.source_dir, "deploy/ansible/site.yml")], timeout=300, env=env)
        recap = {m[0]: dict(zip(("ok", "changed", "unreachable", "failed"), map(int, m[1:]))) for m in re.findall(
            r"^(\S+)\s+: ok=(\d+)\s+changed=(\d+)\s+unreachable=(\d+)\s+failed=(\d+)", result.stdout, re.M)}
        print("       ansible-playbook exit %d, %s" % (result.returncode, recap))
        return result.returncode, result.stdout + result.stderr, recap

    def sh(self, name, script):
        return self.hosts[name].sh(script).stdout.strip()

    def pid(self, name, entry):
        text = self.sh(name, "cat /run/vemo-programs/%s.pid 2>/dev/null" % entry)
        return int(text) if text.isdigit() else 0

    def cmdline(self, name, entry):
        return self.sh(name, "tr '\\0' ' ' </proc/%d/cmdline" % self.pid(name, entry))

    def answers(self, name, port):
        script = 'exec 3<>/dev/tcp/127.0.0.1/%d && printf "version\\r\\n" >&3 && read -r -t 2 l <&3 && echo "$l"' % port
        return self.sh(name, "timeout 3 bash -c '%s' 2>/dev/null" % script).startswith("VERSION ")

    def state(self, name):
        """What a refused run must leave alone: the list's digest and the pids of both entries."""
        return (hashlib.sha256(self.sh(name, "cat " + LIST).encode()).hexdigest(),
                self.pid(name, "memcached"), self.pid(name, "memcached-r"))

    # ---- the cases

    def case_first_run(self):
        status, out, recap = self.play({"vemo_watchdog_entries": entries()})
        self.check(status == 0 and all(recap.get(h, {}).get("failed", 1) == 0 for h in HOSTS),
                   "the first run succeeds on both hosts", out[-3000:])
        self.check(out.count("static_configs") == 1 and all("%s:9717" % h in out for h in HOSTS),
                   "the Prometheus targets of both hosts are printed once")
        for name in HOSTS:
            self.check(self.sh(name, "systemctl is-active vemo-watchdog; systemctl is-enabled vemo-watchdog")
                       == "active\nenabled", "%s: the unit is enabled and active" % name)
            for port in (11211, 11212):
                self.check(wait_for("memcached on %d" % port, lambda: self.answers(name, port), timeout=30),
                           "%s: memcached answers on %d" % (name, port))

    def case_second_run(self):
        status, out, recap = self.play({"vemo_watchdog_entries": entries()})
        self.check(status == 0 and all(recap.get(h, {}).get("changed") == 0 for h in HOSTS),
                   "a second run changes nothing on either host", out[-3000:])

    def case_edited_argument(self):
        kept = {name: self.pid(name, "memcached-r") for name in HOSTS}
        status, out, recap = self.play({"vemo_watchdog_entries": entries(memory="48")})
        self.check(status == 0, "the run with memcached's -m 48 succeeds", out[-3000:])
        for name in HOSTS:
            self.check(self.cmdline(name, "memcached").endswith("-m 48"),
                       "%s: memcached runs its new command line" % name, self.cmdline(name, "memcached"))
            self.check(self.pid(name, "memcached-r") == kept[name], "%s: the unchanged entry kept its pid" % name)

    def case_refused(self):
        broken = entries(memory="48") + [dict(entries()[0], name="twin", args=["-p", "11213"])]
        for what, variables, says in (
                ("a colon in an argument", entries(port="127.0.0.1:11211"), "a colon or line feed in"),
                ("a pid file used twice (vemoctl check)", broken, "is also used by line")):
            before = {name: self.state(name) for name in HOSTS}
            status, out, recap = self.play({"vemo_watchdog_entries": variables})
            self.check(status != 0 and all(recap.get(h, {}).get("failed") == 1 for h in HOSTS) and says in out,
                       "a list with %s fails on both hosts, saying %r" % (what, says), out[-3000:])
            for name in HOSTS:
                self.check(self.state(name) == before[name], "%s: the list and the pids are untouched" % name,
                           "%r, was %r" % (self.state(name), before[name]))

    def case_not_up(self):
        # A program that never takes its lock: down at every probe, however it is timed.
        dead = {"name": "never-locks", "pid_file": "/run/vemo-programs/never.pid", "program": "/bin/sleep",
                "args": ["600"], "lockrun": False}
        status, out, _ = self.play({"vemo_watchdog_entries": entries(memory="48") + [dead], "vemo_watchdog_wait": 3})
        self.check(status != 0 and out.count("Not as wanted: never-locks (line 7,") == 2,
                   "an entry that never comes up fails the play on both hosts, named", out[-3000:])
        print("       " + "".join(re.findall(r"Not as wanted: [^\"]*", out)[:1]))

    def case_host_down(self):
        self.hosts["fleet-b"].sh("systemctl poweroff")
        self.hosts["fleet-b"].wait_stopped(timeout=90)
        status, out, recap = self.play({"vemo_watchdog_entries": entries(memory="40")})
        b = recap.get("fleet-b", {})
        self.check(status != 0 and recap.get("fleet-a", {}).get("failed") == 0 and
                   recap.get("fleet-a", {}).get("unreachable") == 0 and b.get("failed", 0) + b.get("unreachable", 0) > 0,
                   "with fleet-b down, the run fails on fleet-b alone", out[-3000:])
        self.check(self.cmdline("fleet-a", "memcached").endswith("-m 40"), "fleet-a: the edit is applied")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", default=os.path.normpath(os.path.join(here, "..", "..")))
    parser.add_argument("--cache-dir", default=os.environ.get("VEMO_SYSTEMD_CACHE", "/var/cache/vemo-systemd-test"))
    parser.add_argument("--deadline", type=int, default=840)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("FAIL systemd.fleet: the case needs root (namespaces, cgroups, systemd-nspawn)")
        return 1
    enter_private_mounts([sys.executable, os.path.abspath(__file__)] + sys.argv[1:])
    args.build_dir, args.source_dir = os.path.abspath(args.build_dir), os.path.abspath(args.source_dir)

    def give_up(signum, _frame):
        raise GiveUp("the deadline of %d s passed" % args.deadline if signum == signal.SIGALRM else "signal %d" % signum)

    for signum in (signal.SIGALRM, signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, give_up)
    signal.alarm(args.deadline)
    return Fleet(args).run()


if __name__ == "__main__":
    sys.exit(main())
