// reload --apply: a line edited while its program runs takes effect only once that program is
// restarted, since its lock stays held. Stopping it lets the watchdog's next pass start it as
// the line now reads.
#include "clock.h"
#include "commands.h"
#include "text.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

// How long a stopped program may take to release its lock: a --restart wrapper gives its
// program up to --grace (10 s by default) before SIGKILL.
const int kApplyWait = 15;

struct Stopping {
    int line;
    std::string pid_file;
    pid_t pid;
};

std::string absolute(const std::string& path, const std::string& cwd) {
    return path[0] == '/' ? path : cwd + "/" + path;
}

// SIGTERM to the holder while it still holds the entry's lock: a pid file descriptor pins it.
bool stop_holder(const EntryStatus& e, const std::string& pid_file) {
    pid_t pid = e.probe.holder;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    LockProbe again = probe_pid_file(pid_file);
    if (pid <= 1 || pid == getpid() || again.lock != LOCK_HELD || again.holder != pid) {
        if (pidfd >= 0) close(pidfd);
        errno = ESRCH;
        return false;
    }
    int rc = pidfd >= 0
                 ? static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, SIGTERM, nullptr, 0))
                 : kill(pid, SIGTERM);
    int err = errno;
    if (pidfd >= 0) close(pidfd);
    errno = err;
    return rc == 0;
}

bool still_held(const Stopping& s) {
    LockProbe p = probe_pid_file(s.pid_file);
    return p.lock == LOCK_HELD && p.holder == s.pid;
}

// Waits up to kApplyWait for every stopped holder to release its lock; false (reported) when
// one did not.
bool await_release(std::vector<Stopping> pending) {
    double deadline = monotonic_now() + kApplyWait;
    for (;;) {
        pending.erase(std::remove_if(pending.begin(), pending.end(),
                                     [](const Stopping& s) { return !still_held(s); }),
                      pending.end());
        if (pending.empty()) return true;
        if (monotonic_now() >= deadline) break;
        (void)poll(nullptr, 0, 100);
    }
    for (const Stopping& s : pending) {
        fprintf(stderr, "vemoctl: line %d: pid %d still holds %s after %d s\n", s.line,
                static_cast<int>(s.pid), s.pid_file.c_str(), kApplyWait);
    }
    return false;
}

}  // namespace

bool entry_changed(const EntryStatus& e) {
    return e.state == STATE_RUNNING && e.cmdline == CMDLINE_CHANGED;
}

void name_changed_lines(const HostStatus& s) {
    for (const EntryStatus& e : s.entries) {
        if (entry_changed(e)) {
            fprintf(stderr,
                    "vemoctl: line %d: pid %d runs an older command line: restart it to apply "
                    "(vemoctl reload --apply)\n",
                    e.line, static_cast<int>(e.probe.holder));
        }
    }
}

bool apply_changed_lines(const StatusSource& src) {
    HostStatus s;
    (void)collect_status(src, &s);
    std::vector<Stopping> stopping;
    bool ok = true;
    for (const EntryStatus& e : s.entries) {
        if (!entry_changed(e)) continue;
        std::string pid_file = absolute(e.pid_file, s.lookup.cwd);
        if (!stop_holder(e, pid_file)) {
            if (errno == ESRCH) continue;  // gone already, or another holder: nothing to stop
            fprintf(stderr, "vemoctl: line %d: cannot signal pid %d: %s\n", e.line,
                    static_cast<int>(e.probe.holder), errno_text(errno).c_str());
            ok = false;
            continue;
        }
        fprintf(stderr,
                "vemoctl: line %d: sent SIGTERM to pid %d, which ran the old command line\n",
                e.line, static_cast<int>(e.probe.holder));
        stopping.push_back({e.line, pid_file, e.probe.holder});
    }
    if (stopping.empty()) return ok;
    return await_release(stopping) && ok;
}
