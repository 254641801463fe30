"""Events in the daemon's own process that a case waits on instead of a fixed sleep."""

import os
import platform
import signal
import struct
import time

from sandbox import CYCLE, OUT, check

# The sleeping system calls sleep(3) may use, each with the index of its request argument.
_SLEEP_CALLS = {"x86_64": {35: 0, 230: 2}, "aarch64": {101: 0, 115: 2}}


def _status(pid):
    with open("/proc/%d/status" % pid) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


def pause_time(pid):
    """(seconds, nanoseconds) of the pause pid sleeps in, None while it is not in one. sleep(3) asks the kernel
    with one struct for the request and the rest: it reads (N, 0) while the pause runs, and what was left
    once a stop or a signal interrupted it."""
    try:
        with open("/proc/%d/syscall" % pid) as f:
            fields = f.read().split()
        arg = _SLEEP_CALLS.get(platform.machine(), {}).get(int(fields[0]))
        if arg is None:
            return None
        with open("/proc/%d/mem" % pid, "rb") as f:
            f.seek(int(fields[1 + arg], 16))
            return struct.unpack("qq", f.read(16))
    except (OSError, ValueError, IndexError, struct.error):
        return None


def wait_pause(sb, pid, seconds, timeout=CYCLE + 5):
    """Returns once pid sleeps in a pause of that many seconds: the pass before it is over."""
    check_arch()
    sb.wait_for(lambda: pause_time(pid) == (seconds, 0), timeout, "pid %d in a %d s pause" % (pid, seconds))


def stop_after_pass(sb, pid, what="orderly stop"):
    """SIGTERM once pid sleeps in its 10 s pause, so no pass runs between the signal and the stop; exit 0."""
    wait_pause(sb, pid, 10)
    check(sb.stop_daemon(pid) == 0, what)


def run_passes(sb, text, n, timeout, streams=False, what="orderly stop", **kw):
    """Starts the daemon (its standard streams kept in OUT if streams), waits until text was logged n times,
    and stops it once that pass is over; returns (daemon pid, index of its start record)."""
    if streams:
        sb.keep_stdio()
        kw["stdio"] = OUT
    pid, first = sb.start_daemon(**kw)
    sb.wait_for(lambda: sb.count(text, start=first) == n, timeout, "%d records %r" % (n, text))
    stop_after_pass(sb, pid, what)
    return pid, first


def stop_in_pause(sb, pid, seconds, timeout=CYCLE + 5):
    """Stops pid inside a pause of that many seconds, so a signal sent now surely lands in it; SIGCONT lets
    it go on, the pause cut short by any handled signal sent in between."""
    deadline = time.monotonic() + timeout
    while True:
        wait_pause(sb, pid, seconds, max(0.1, deadline - time.monotonic()))
        os.kill(pid, signal.SIGSTOP)
        wait_stopped(sb, pid)
        left = pause_time(pid)
        if left is not None and left < (seconds, 0):
            return
        os.kill(pid, signal.SIGCONT)


def check_arch():
    if platform.machine() not in _SLEEP_CALLS:
        raise AssertionError("no sleeping system call numbers for %s in waits.py" % platform.machine())


def wait_stopped(sb, pid, timeout=5.0):
    sb.wait_for(lambda: _status(pid)["State"].startswith("T"), timeout, "pid %d to stop" % pid)


def delivered(pid, sig):
    """True once sig is pending neither for pid's thread nor for its process: its handler ran."""
    bit = 1 << (sig - 1)
    s = _status(pid)
    return not (int(s["SigPnd"], 16) & bit or int(s["ShdPnd"], 16) & bit)


def wait_delivered(sb, pid, sig, timeout=5.0):
    sb.wait_for(lambda: delivered(pid, sig), timeout, "%s delivered to %d" % (signal.Signals(sig).name, pid))


def open_files(pid):
    """The paths of pid's open descriptors."""
    out = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            out.append(os.readlink("/proc/%d/fd/%s" % (pid, fd)))
        except OSError:
            pass
    return out
