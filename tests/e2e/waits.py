"""Events in the daemon's own process that a case waits on instead of a fixed sleep."""

import os
import signal


def _status(pid):
    with open("/proc/%d/status" % pid) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


def asleep(pid):
    """True while pid waits in one of the cycle's pauses (sleep(3) is a nanosleep)."""
    try:
        with open("/proc/%d/wchan" % pid) as f:
            return "nanosleep" in f.read()
    except OSError:
        return False


def wait_asleep(sb, pid, timeout=5.0, what="the daemon's pause"):
    """Returns once pid sleeps: after a pass's last record, its pause has begun."""
    sb.wait_for(lambda: asleep(pid), timeout, "%s (pid %d asleep)" % (what, pid))


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
