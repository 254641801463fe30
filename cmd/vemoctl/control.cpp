// vemoctl reload, start and stop: each acts only on a verified vemo-watchdog, and waits, when
// asked, for the result to show in the locks.
#include "clock.h"
#include "commands.h"
#include "fileio.h"
#include "paths.h"
#include "text.h"

#include <linux/close_range.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const int kMaxReloadWait = 30;
const int kStartWait = 10;
// A stop lands at the end of the watchdog's 10 s pause at worst: a whole cycle and a margin.
const int kStopWait = 16;

void sleep_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int pidfd_of(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Signals the process only while it is the one verified: a pid file descriptor pins it.
bool signal_verified(pid_t pid, int sig, const std::string& run_dir) {
    int pidfd = pidfd_of(pid);
    pid_t again = 0;
    std::string why;
    if (watchdog_holder(run_dir, &again, &why) != 1 || again != pid) {
        if (pidfd >= 0) close(pidfd);
        errno = ESRCH;
        return false;
    }
    int rc = pidfd >= 0 ? static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0))
                        : kill(pid, sig);
    int err = errno;
    if (pidfd >= 0) close(pidfd);
    errno = err;
    return rc == 0;
}

// A zombie holds no lock and does nothing more: gone for our purpose.
bool process_gone(pid_t pid) {
    ProcStat st;
    return !read_proc_stat(pid, &st) || st.state == 'Z';
}

}  // namespace

// ---------------------------------------------------------------- reload

namespace {

// How long --wait[=SECONDS] waits (0 without it); a usage error's exit status, or 0.
int parse_reload_wait(const Args& args, int* wait) {
    *wait = 0;
    auto w = args.options.find("--wait");
    if (w == args.options.end()) return 0;
    *wait = kMaxReloadWait;
    if (w->second.empty()) return 0;
    char* end = nullptr;
    long v = strtol(w->second.c_str(), &end, 10);
    if (*end != '\0' || v < 1 || v > kMaxReloadWait)
        return usage_error("reload: --wait=SECONDS takes 1 to 30");
    *wait = static_cast<int>(v);
    return 0;
}

size_t entries_as_wanted(const HostStatus& s) {
    return (entry_as_wanted(s.monitor) ? 1 : 0) +
           static_cast<size_t>(std::count_if(s.entries.begin(), s.entries.end(), entry_as_wanted));
}

// Only changed lines are not as wanted: they stay so until restarted, so no wait helps.
bool only_changed_left(const HostStatus& s) {
    if (s.monitor_selected && !entry_as_wanted(s.monitor)) return false;
    return std::all_of(s.entries.begin(), s.entries.end(),
                       [](const EntryStatus& e) { return entry_as_wanted(e) || entry_changed(e); });
}

void report_wait_result(int code, int seconds, const HostStatus& s) {
    if (code == 3) {
        fprintf(stderr, "vemoctl: not every entry is as wanted after %d s:\n", seconds);
        fprintf(stderr, "%s", render_table(s, colour_wanted(2)).c_str());
        name_changed_lines(s);
    } else if (code == 0) {
        fprintf(stderr, "vemoctl: every entry is as wanted\n");
    }
}

// Polls until every entry is as wanted, only changed lines are left, or the deadline; the last
// status read is left in *s.
int await_wanted(const StatusSource& src, double started, double deadline, HostStatus* s) {
    bool tty = isatty(2) != 0;
    for (;;) {
        *s = HostStatus();
        (void)collect_status(src, s);
        int code = status_exit_code(*s);
        if (tty) {
            fprintf(stderr, "\rvemoctl: %zu of %zu entries as wanted (%.0f s)  ",
                    entries_as_wanted(*s), s->entries.size() + 1, monotonic_now() - started);
        }
        if (code != 3 || only_changed_left(*s) || monotonic_now() >= deadline) {
            if (tty) fprintf(stderr, "\n");
            return code;
        }
        sleep_ms(250);
    }
}

// --wait after the reload (and --apply's stops); false for the exit status of a failed apply.
int wait_until_wanted(const StatusSource& src, int seconds, bool apply, bool* applied) {
    double started = monotonic_now();
    double deadline = started + seconds;
    HostStatus s;
    int code = await_wanted(src, started, deadline, &s);
    // A pass already under way when the reload was asked can start a stopped program again from
    // the old table. The watchdog reloads before its next pass, so one more stop applies the line.
    if (apply && *applied && code == 3 && only_changed_left(s) && monotonic_now() < deadline) {
        *applied = apply_changed_lines(src);
        code = await_wanted(src, started, deadline, &s);
    }
    report_wait_result(code, seconds, s);
    return code;
}

// The list as the daemon will read it: false (reported) when it has errors and no --force.
bool list_fit_to_reload(const Args& args, const StatusSource& src) {
    int warnings = 0;
    int errors =
        report_findings(src.list_file, check_list(src.list_file, check_context(src)), &warnings);
    if (errors == 0 || args.options.count("--force") != 0) return true;
    fprintf(stderr,
            "vemoctl: reload refused: %d error%s in %s (fix them, or reload with --force)\n",
            errors, errors == 1 ? "" : "s", src.list_file.c_str());
    return false;
}

}  // namespace

int cmd_reload(const Args& args, const StatusSource& src) {
    std::string bad;
    if (!only_options(args, {"--force", "--wait", "--apply"}, &bad))
        return usage_error("reload: unknown option " + bad);
    if (!args.operands.empty()) return usage_error("reload takes no operands");
    int wait = 0;
    int usage = parse_reload_wait(args, &wait);
    if (usage != 0) return usage;
    if (!list_fit_to_reload(args, src)) return kExitFailure;
    pid_t pid = 0;
    std::string why;
    int held = watchdog_holder(src.run_dir, &pid, &why);
    if (held == 0) {
        fprintf(stderr, "vemoctl: the watchdog is not running: nothing to reload\n");
        return kExitNotRunning;
    }
    if (held < 0) return refuse_signal("reload", held, why);
    if (!signal_verified(pid, SIGUSR1, src.run_dir)) return signal_failed("reload", pid);
    fprintf(stderr, "vemoctl: reload requested from vemo-watchdog (pid %d)\n",
            static_cast<int>(pid));
    bool apply = args.options.count("--apply") != 0;
    bool applied = !apply || apply_changed_lines(src);
    int code = wait > 0 ? wait_until_wanted(src, wait, apply, &applied) : 0;
    return applied ? code : kExitFailure;
}

// ---------------------------------------------------------------- the log tail

namespace {

// journalctl's last 20 records of the daemon, to stderr, killed after 5 s. false when there is
// no journalctl or it cannot be started.
bool show_journal_tail() {
    std::string journalctl;
    if (!exec_lookup("journalctl", getenv("PATH"), nullptr, &journalctl)) return false;
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        (void)dup2(STDERR_FILENO, STDOUT_FILENO);
        execl(journalctl.c_str(), "journalctl", "-q", "--no-pager", "-t", "vemo-watchdog", "-n",
              "20", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child < 0) return false;
    double deadline = monotonic_now() + 5;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (monotonic_now() > deadline) {
            (void)kill(child, SIGKILL);
            (void)waitpid(child, &status, 0);
            break;
        }
        sleep_ms(50);
    }
    return true;
}

// The last 256 KiB of the syslog file; "" (reported) when it cannot be read.
std::string read_syslog_tail(const char* syslog_file) {
    int fd = open_regular_file(syslog_file);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        int err = errno;
        fprintf(stderr, "vemoctl: no log to show: no journalctl, and %s: %s\n", syslog_file,
                fd < 0 && err != EISDIR && err != EINVAL ? errno_text(err).c_str()
                                                         : "not a regular file");
        if (fd >= 0) close(fd);
        return "";
    }
    const off_t tail = static_cast<off_t>(256) * 1024;
    off_t from = st.st_size > tail ? st.st_size - tail : 0;
    std::string text(static_cast<size_t>(st.st_size - from), '\0');
    ssize_t n = pread(fd, &text[0], text.size(), from);
    close(fd);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

// The daemon's last 20 lines in the syslog file.
void show_syslog_tail() {
    std::string text = read_syslog_tail("/var/log/syslog");
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (line.find("vemo-watchdog") != std::string::npos) lines.push_back(line);
        at = end + 1;
    }
    size_t first = lines.size() > 20 ? lines.size() - 20 : 0;
    for (size_t i = first; i < lines.size(); ++i)
        fprintf(stderr, "%s\n", lines[i].c_str());
}

// The daemon's own log records: from the journal when there is one, else the syslog file.
void show_log_tail() {
    if (!show_journal_tail()) show_syslog_tail();
}

}  // namespace

// ---------------------------------------------------------------- start

namespace {

// The daemon started and the process that started it (ours to reap).
struct Launch {
    std::string daemon;  // bin/vemo-watchdog
    std::string real;    // its real path, which the lock holder's executable must be
    pid_t child = -1;
    ProcessInfo launched;  // the child's start time, read before it could be reaped
    bool reaped = false;
};

// 0 when nothing holds the watchdog's lock; else kExitFailure, reported.
int refuse_if_held(const StatusSource& src) {
    pid_t pid = 0;
    std::string why;
    int held = watchdog_holder(src.run_dir, &pid, &why);
    if (held == 1) {
        fprintf(stderr, "vemoctl: the watchdog already runs: pid %d (%s)\n", static_cast<int>(pid),
                read_exe(pid).c_str());
        return kExitFailure;
    }
    if (held == -2) {
        fprintf(stderr, "vemoctl: the watchdog already runs: %s\n", why.c_str());
        return kExitFailure;
    }
    if (held < 0) {
        fprintf(stderr, "vemoctl: not starting: %s\n", why.c_str());
        return kExitFailure;
    }
    return 0;
}

// Forks and executes the daemon with nothing of ours but the standard streams; false
// (reported) when it cannot be started.
bool launch_daemon(Launch* l) {
    char real[PATH_MAX];
    if (exec_ok(l->daemon.c_str()) == 0 || realpath(l->daemon.c_str(), real) == nullptr) {
        fprintf(stderr, "vemoctl: cannot start %s: %s\n", l->daemon.c_str(),
                errno_text(errno).c_str());
        return false;
    }
    l->real = std::string(real);
    fflush(stdout);
    fflush(stderr);
    l->child = fork();
    if (l->child < 0) {
        fprintf(stderr, "vemoctl: cannot start %s: %s\n", l->daemon.c_str(),
                errno_text(errno).c_str());
        return false;
    }
    if (l->child == 0) {
        (void)syscall(SYS_close_range, 3U, ~0U, 0U);
        execl(l->daemon.c_str(), l->daemon.c_str(), static_cast<char*>(nullptr));
        fprintf(stderr, "vemoctl: cannot execute %s: %s\n", l->daemon.c_str(),
                errno_text(errno).c_str());
        _exit(127);
    }
    // Read while the launcher is still ours to reap: whatever holds the lock later must be younger.
    l->launched = read_process(l->child);
    return true;
}

// Reaps the launcher once it ends; true (reported) when it ended with a failure.
bool launcher_failed(Launch* l) {
    int status = 0;
    if (l->reaped || waitpid(l->child, &status, WNOHANG) != l->child) return false;
    l->reaped = true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return false;
    fprintf(stderr, "vemoctl: %s ended with status %d before taking its lock\n", l->daemon.c_str(),
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return true;
}

// systemd may read the pid file right after we return: it must already hold "PID\n".
bool pid_written(const std::string& pid_file, pid_t pid) {
    char text[16];
    snprintf(text, sizeof text, "%d\n", static_cast<int>(pid));
    std::string written;
    FILE* f = fopen(pid_file.c_str(), "re");
    if (f != nullptr) {
        char buf[32] = {};
        if (fgets(buf, sizeof buf, f) != nullptr) written = buf;
        fclose(f);
    }
    return written == text;
}

// One look at the lock: 0 when our daemon holds it and wrote its pid, kExitFailure (reported)
// when another process holds it, -1 while neither.
int look_at_lock(const StatusSource& src, const Launch& l) {
    std::string own = watchdog_pid_file(src.run_dir);
    LockProbe p = probe_pid_file(own);
    if (p.lock != LOCK_HELD) return -1;
    ProcessInfo holder = read_process(p.holder);
    std::string exe = read_exe(p.holder);
    bool ours = exe == l.real && holder.known &&
                (!l.launched.known || holder.started_at >= l.launched.started_at - 0.01);
    if (!ours) {
        fprintf(stderr, "vemoctl: another process holds %s/vemo_watchdog.pid: pid %d (%s)\n",
                src.run_dir.c_str(), static_cast<int>(p.holder),
                exe.empty() ? "executable unreadable" : exe.c_str());
        return kExitFailure;
    }
    if (!pid_written(own, p.holder)) return -1;
    printf("vemo-watchdog started: pid %d\n", static_cast<int>(p.holder));
    return 0;
}

// 0 or kExitFailure as look_at_lock answers; -1 (reported) when the launcher failed or the
// lock was not taken in time.
int await_lock(const StatusSource& src, Launch* l) {
    double deadline = monotonic_now() + kStartWait;
    for (;;) {
        if (launcher_failed(l)) return -1;
        int code = look_at_lock(src, *l);
        if (code >= 0) return code;
        if (monotonic_now() >= deadline) {
            fprintf(stderr, "vemoctl: %s did not take its lock within %d s\n", l->daemon.c_str(),
                    kStartWait);
            return -1;
        }
        sleep_ms(50);
    }
}

}  // namespace

int cmd_start(const Args& args, const StatusSource& src) {
    std::string bad;
    if (!only_options(args, {}, &bad)) return usage_error("start: unknown option " + bad);
    if (!args.operands.empty()) return usage_error("start takes no operands");
    if (refuse_if_held(src) != 0) return kExitFailure;
    Launch l;
    l.daemon = src.bin_dir + "/vemo-watchdog";
    if (!launch_daemon(&l)) return kExitFailure;
    int code = await_lock(src, &l);
    if (code >= 0) return code;
    int status = 0;
    if (!l.reaped) (void)waitpid(l.child, &status, WNOHANG);
    fprintf(stderr, "vemoctl: the watchdog's last log records:\n");
    show_log_tail();
    return kExitFailure;
}

// ---------------------------------------------------------------- stop

namespace {

// Waits up to kStopWait for pid to end, woken by its pid file descriptor when there is one;
// true when it ended.
bool wait_for_exit(pid_t pid, int pidfd) {
    bool tty = isatty(2) != 0;
    double started = monotonic_now();
    bool gone = false;
    for (;;) {
        if (process_gone(pid)) {
            gone = true;
            break;
        }
        double waited = monotonic_now() - started;
        if (waited >= kStopWait) break;
        if (tty) fprintf(stderr, "\rvemoctl: still running after %.0f s  ", waited);
        if (pidfd >= 0) {
            struct pollfd pfd = {pidfd, POLLIN, 0};
            (void)poll(&pfd, 1, 250);
        } else {
            sleep_ms(250);
        }
    }
    if (tty) fprintf(stderr, "\n");
    return gone;
}

// --wait: 0 when the watchdog has exited within kStopWait, else kExitFailure; both reported.
int await_exit(pid_t pid, int pidfd) {
    fprintf(stderr, "vemoctl: waiting for it to exit; it finishes its cycle first, up to %d s\n",
            kStopWait);
    if (wait_for_exit(pid, pidfd)) {
        fprintf(stderr, "vemoctl: vemo-watchdog (pid %d) has exited\n", static_cast<int>(pid));
        return 0;
    }
    fprintf(stderr, "vemoctl: vemo-watchdog (pid %d) still runs after %d s\n",
            static_cast<int>(pid), kStopWait);
    return kExitFailure;
}

}  // namespace

int cmd_stop(const Args& args, const StatusSource& src) {
    std::string bad;
    if (!only_options(args, {"--wait"}, &bad)) return usage_error("stop: unknown option " + bad);
    if (!args.operands.empty()) return usage_error("stop takes no operands");
    pid_t pid = 0;
    std::string why;
    int held = watchdog_holder(src.run_dir, &pid, &why);
    if (held == 0) {
        fprintf(stderr, "vemoctl: the watchdog is not running\n");
        return 0;
    }
    if (held < 0) return refuse_signal("stop", held, why);
    int pidfd = pidfd_of(pid);
    if (!signal_verified(pid, SIGTERM, src.run_dir)) {
        int code = signal_failed("stop", pid);
        if (pidfd >= 0) close(pidfd);
        return code;
    }
    fprintf(stderr, "vemoctl: sent SIGTERM to vemo-watchdog (pid %d)\n", static_cast<int>(pid));
    int code = args.options.count("--wait") == 0 ? 0 : await_exit(pid, pidfd);
    if (pidfd >= 0) close(pidfd);
    return code;
}
