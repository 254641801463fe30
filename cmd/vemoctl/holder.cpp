// The one answer to "does the watchdog hold its lock?", and what reload and stop say when they
// may not signal what holds it.
#include "commands.h"
#include "text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int refuse_signal(const char* command, int held, const std::string& why) {
    if (held == -2) {
        fprintf(stderr, "vemoctl: %s needs root: the watchdog's lock is held by %s\n", command,
                why.c_str());
        return kExitPrivilege;
    }
    fprintf(stderr, "vemoctl: not %s: %s\n",
            strcmp(command, "stop") == 0 ? "stopping" : "reloading", why.c_str());
    return kExitFailure;
}

int signal_failed(const char* command, pid_t pid) {
    int err = errno;
    if (err == EPERM) {
        fprintf(stderr,
                "vemoctl: %s needs root: vemo-watchdog (pid %d) may not be signalled by "
                "this user\n",
                command, static_cast<int>(pid));
        return kExitPrivilege;
    }
    fprintf(stderr, "vemoctl: cannot signal vemo-watchdog (pid %d): %s\n", static_cast<int>(pid),
            errno_text(err).c_str());
    return kExitFailure;
}

int watchdog_holder(const std::string& run_dir, pid_t* pid, std::string* why) {
    std::string own = watchdog_pid_file(run_dir);
    LockProbe p = probe_pid_file(own);
    *pid = p.holder;
    if (p.lock == LOCK_FREE) return 0;
    if (p.lock == LOCK_PROBE_FAILED) {
        *why = own + ": " + p.error;
        return -1;
    }
    if (p.lock == LOCK_HELD_UNNAMED) {
        *why = own + " is locked by a process that cannot be named from here";
        return -1;
    }
    std::string exe;
    std::string note;
    WatchdogIdentity who = judge_watchdog(p.holder, own, &exe, &note);
    if (who == WATCHDOG_UNVERIFIED) {
        *why = "pid " + std::to_string(p.holder) + " (" + note + ")";
        return -2;
    }
    if (who == WATCHDOG_FOREIGN) {
        *why = "pid " + std::to_string(p.holder) + " (" +
               (exe.empty() ? "executable unreadable" : exe) + ") holds " + own +
               " but is not vemo-watchdog";
        return -1;
    }
    return 1;
}
