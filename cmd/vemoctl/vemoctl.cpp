// vemoctl: shows what the watchdog supervises, checks a watch list, and reloads, starts or
// stops the watchdog, judging everything by the pid-file locks as the daemon does.
#include "check.h"
#include "fileio.h"
#include "hoststatus.h"
#include "paths.h"

#include <fcntl.h>
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
#include <map>
#include <string>
#include <vector>

namespace {

const char* const kVersion = "1.0.2.6";
// Exit statuses beyond LSB status's 0, 3 and 4.
const int kExitFailure = 1;
const int kExitUsage = 2;
const int kExitNotRunning = 7;
const int kMaxReloadWait = 30;
const int kStartWait = 10;
// A stop lands at the end of the watchdog's 10 s pause at worst: a whole cycle and a margin.
const int kStopWait = 16;

const char* const kUsage =
    "usage: vemoctl [--list FILE] COMMAND [ARGS]\n"
    "  status [--json | --prometheus] [--output FILE] [SELECTOR...]\n"
    "  check [--strict] [FILE]\n"
    "  reload [--force] [--wait[=SECONDS]]\n"
    "  start\n"
    "  stop [--wait]\n"
    "See vemoctl(8).\n";

struct Args {
    std::string command;
    std::map<std::string, std::string> options;  // "--name" -> value ("" without one)
    std::vector<std::string> operands;
};

int usage_error(const std::string& text) {
    fprintf(stderr, "vemoctl: %s\n%s", text.c_str(), kUsage);
    return kExitUsage;
}

// Options may come before or after the command; "--" ends them.
bool parse_args(int argc, char** argv, Args* out, std::string* error) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (!options_done && a == "--") {
            options_done = true;
        } else if (!options_done && a.size() > 2 && a.compare(0, 2, "--") == 0) {
            size_t eq = a.find('=');
            std::string name = a.substr(0, eq);
            std::string value = eq == std::string::npos ? "" : a.substr(eq + 1);
            // These two take their value as the next word too.
            if ((name == "--list" || name == "--output") && eq == std::string::npos) {
                if (i + 1 >= argc) {
                    *error = name + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            out->options[name] = value;
        } else if (!options_done && a.size() > 1 && a[0] == '-') {
            *error = "unknown option " + a;
            return false;
        } else if (out->command.empty()) {
            out->command = a;
        } else {
            out->operands.push_back(a);
        }
    }
    return true;
}

bool only_options(const Args& args, const std::vector<std::string>& allowed, std::string* bad) {
    for (const auto& kv : args.options) {
        bool ok = kv.first == "--list";
        for (const std::string& a : allowed)
            ok = ok || kv.first == a;
        if (!ok) {
            *bad = kv.first;
            return false;
        }
    }
    return true;
}

double now_monotonic() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleep_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::string base_name(const std::string& path) {
    size_t sep = path.find_last_of('/');
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

// The holder of the watchdog's own lock. 1: a vemo-watchdog holds it (*pid); 0: nobody;
// -1: another process holds it or it cannot be probed (*why says which).
int watchdog_holder(const std::string& run_dir, pid_t* pid, std::string* why) {
    std::string own = run_dir + "/vemo_watchdog.pid";
    LockProbe p = probe_pid_file(own);
    *pid = p.holder;
    if (p.held_state == STATE_DOWN) return 0;
    if (p.held_state == STATE_ERROR) {
        *why = own + ": " + p.error;
        return -1;
    }
    if (p.held_state == STATE_LOCKED_UNKNOWN) {
        *why = own + " is locked by a process that cannot be named from here";
        return -1;
    }
    std::string exe = read_exe(p.holder);
    if (base_name(exe) != "vemo-watchdog") {
        *why = "pid " + std::to_string(p.holder) + " (" +
               (exe.empty() ? "executable unreadable" : exe) + ") holds " + own +
               " but is not vemo-watchdog";
        return -1;
    }
    return 1;
}

// Signals the process only while it is the one verified: a pid file descriptor pins it.
bool signal_verified(pid_t pid, int sig, const std::string& run_dir) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
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

bool process_gone(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = fopen(path, "re");
    if (f == nullptr) return true;
    char text[512];
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    const char* paren = strrchr(text, ')');
    // A zombie holds no lock and does nothing more: gone for our purpose.
    return paren == nullptr || paren[1] == '\0' || paren[2] == 'Z';
}

bool colour_wanted(int fd) {
    const char* no = getenv("NO_COLOR");
    return isatty(fd) != 0 && (no == nullptr || no[0] == '\0');
}

HostStatus gather(const StatusSource& src, bool* list_ok, int* err) {
    HostStatus s;
    *list_ok = collect_status(src, &s);
    *err = errno;
    return s;
}

// ---------------------------------------------------------------- status

int cmd_status(const Args& args, const StatusSource& src) {
    std::string bad;
    if (!only_options(args, {"--json", "--prometheus", "--output"}, &bad))
        return usage_error("status: unknown option " + bad);
    bool json = args.options.count("--json") != 0;
    bool prom = args.options.count("--prometheus") != 0;
    if (json && prom) return usage_error("status: --json and --prometheus exclude each other");
    auto out_opt = args.options.find("--output");
    if (out_opt != args.options.end() && out_opt->second.empty())
        return usage_error("status: --output needs a file");

    bool list_ok = false;
    int err = 0;
    HostStatus s = gather(src, &list_ok, &err);
    if (!list_ok)
        fprintf(stderr, "vemoctl: cannot read %s: %s\n", src.list_file.c_str(),
                s.list_error.c_str());
    std::string unmatched;
    if (!select_entries(&s, args.operands, &unmatched)) {
        fprintf(stderr, "vemoctl: no entry matches \"%s\"\n", unmatched.c_str());
        return 4;
    }
    bool to_file = out_opt != args.options.end();
    std::string text = json   ? render_json(s)
                       : prom ? render_prometheus(s)
                              : render_table(s, !to_file && colour_wanted(1));
    if (to_file) {
        if (!write_file_atomically(out_opt->second, text)) {
            fprintf(stderr, "vemoctl: cannot write %s: %s\n", out_opt->second.c_str(),
                    strerror(errno));
            return 4;
        }
    } else if (fputs(text.c_str(), stdout) < 0 || fflush(stdout) != 0) {
        return 4;
    }
    return status_exit_code(s);
}

// For bash completion: every selector the list offers, one a line.
int cmd_selectors(const StatusSource& src) {
    HostStatus s;
    (void)collect_status(src, &s);
    for (const EntryStatus& e : s.entries) {
        printf("%d\n%s\n%s\n", e.line, base_name(e.program).c_str(), e.pid_file.c_str());
    }
    return 0;
}

// ---------------------------------------------------------------- check

CheckContext check_context(const StatusSource& src) {
    CheckContext ctx;
    ctx.run_dir = src.run_dir;
    pid_t pid = 0;
    std::string why;
    ctx.lookup = lookup_context(watchdog_holder(src.run_dir, &pid, &why) == 1 ? pid : 0);
    return ctx;
}

// Prints the findings; returns the number of errors (*warnings the number of warnings).
int report_findings(const std::string& file, const std::vector<Finding>& findings, int* warnings) {
    int errors = 0;
    *warnings = 0;
    for (const Finding& f : findings) {
        fprintf(stderr, "%s\n", format_finding(file, f).c_str());
        errors += f.error ? 1 : 0;
        *warnings += f.error ? 0 : 1;
    }
    return errors;
}

int cmd_check(const Args& args, const StatusSource& src) {
    std::string bad;
    if (!only_options(args, {"--strict"}, &bad)) return usage_error("check: unknown option " + bad);
    if (args.operands.size() > 1) return usage_error("check: one FILE at most");
    std::string file = args.operands.empty() ? src.list_file : args.operands[0];
    int warnings = 0;
    int errors = report_findings(file, check_list(file, check_context(src)), &warnings);
    if (errors > 0 || (warnings > 0 && args.options.count("--strict") != 0)) return kExitFailure;
    return 0;
}

// ---------------------------------------------------------------- reload

int wait_until_wanted(const StatusSource& src, int seconds) {
    bool tty = isatty(2) != 0;
    double deadline = now_monotonic() + seconds;
    double started = now_monotonic();
    for (;;) {
        bool list_ok = false;
        int err = 0;
        HostStatus s = gather(src, &list_ok, &err);
        int code = status_exit_code(s);
        size_t total = s.entries.size() + 1;
        size_t good =
            (entry_as_wanted(s.monitor) ? 1 : 0) +
            static_cast<size_t>(std::count_if(s.entries.begin(), s.entries.end(), entry_as_wanted));
        if (tty) {
            fprintf(stderr, "\rvemoctl: %zu of %zu entries as wanted (%.0f s)  ", good, total,
                    now_monotonic() - started);
        }
        if (code != 3 || now_monotonic() >= deadline) {
            if (tty) fprintf(stderr, "\n");
            if (code == 3) {
                fprintf(stderr, "vemoctl: not every entry is as wanted after %d s:\n", seconds);
                fprintf(stderr, "%s", render_table(s, colour_wanted(2)).c_str());
            } else if (code == 0) {
                fprintf(stderr, "vemoctl: every entry is as wanted\n");
            }
            return code;
        }
        sleep_ms(250);
    }
}

int cmd_reload(const Args& args, const StatusSource& src) {
    std::string bad;
    if (!only_options(args, {"--force", "--wait"}, &bad))
        return usage_error("reload: unknown option " + bad);
    if (!args.operands.empty()) return usage_error("reload takes no operands");
    int wait = 0;
    auto w = args.options.find("--wait");
    if (w != args.options.end()) {
        wait = kMaxReloadWait;
        if (!w->second.empty()) {
            char* end = nullptr;
            long v = strtol(w->second.c_str(), &end, 10);
            if (*end != '\0' || v < 1 || v > kMaxReloadWait)
                return usage_error("reload: --wait=SECONDS takes 1 to 30");
            wait = static_cast<int>(v);
        }
    }
    int warnings = 0;
    int errors =
        report_findings(src.list_file, check_list(src.list_file, check_context(src)), &warnings);
    if (errors > 0 && args.options.count("--force") == 0) {
        fprintf(stderr,
                "vemoctl: reload refused: %d error%s in %s (fix them, or reload with --force)\n",
                errors, errors == 1 ? "" : "s", src.list_file.c_str());
        return kExitFailure;
    }
    pid_t pid = 0;
    std::string why;
    int held = watchdog_holder(src.run_dir, &pid, &why);
    if (held == 0) {
        fprintf(stderr, "vemoctl: the watchdog is not running: nothing to reload\n");
        return kExitNotRunning;
    }
    if (held < 0) {
        fprintf(stderr, "vemoctl: not reloading: %s\n", why.c_str());
        return kExitFailure;
    }
    if (!signal_verified(pid, SIGUSR1, src.run_dir)) {
        fprintf(stderr, "vemoctl: cannot signal vemo-watchdog (pid %d): %s\n",
                static_cast<int>(pid), strerror(errno));
        return kExitFailure;
    }
    fprintf(stderr, "vemoctl: reload requested from vemo-watchdog (pid %d)\n",
            static_cast<int>(pid));
    return wait > 0 ? wait_until_wanted(src, wait) : 0;
}

// ---------------------------------------------------------------- start and stop

// The daemon's own log records: from the journal when there is one, else the syslog file.
void show_log_tail() {
    std::string journalctl;
    const char* path_env = getenv("PATH");
    if (exec_lookup("journalctl", path_env, nullptr, &journalctl)) {
        fflush(stdout);
        fflush(stderr);
        pid_t child = fork();
        if (child == 0) {
            (void)dup2(STDERR_FILENO, STDOUT_FILENO);
            execl(journalctl.c_str(), "journalctl", "-q", "--no-pager", "-t", "vemo-watchdog", "-n",
                  "20", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (child > 0) {
            double deadline = now_monotonic() + 5;
            int status = 0;
            while (waitpid(child, &status, WNOHANG) == 0) {
                if (now_monotonic() > deadline) {
                    (void)kill(child, SIGKILL);
                    (void)waitpid(child, &status, 0);
                    break;
                }
                sleep_ms(50);
            }
            return;
        }
    }
    const char* syslog_file = "/var/log/syslog";
    int fd = open(syslog_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "vemoctl: no log to show: no journalctl, and %s: %s\n", syslog_file,
                fd < 0 ? strerror(errno) : "not a regular file");
        if (fd >= 0) close(fd);
        return;
    }
    const off_t tail = static_cast<off_t>(256) * 1024;
    off_t from = st.st_size > tail ? st.st_size - tail : 0;
    std::string text(static_cast<size_t>(st.st_size - from), '\0');
    ssize_t n = pread(fd, &text[0], text.size(), from);
    close(fd);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
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

int cmd_start(const Args& args, const StatusSource& src) {
    std::string bad;
    if (!only_options(args, {}, &bad)) return usage_error("start: unknown option " + bad);
    if (!args.operands.empty()) return usage_error("start takes no operands");
    pid_t pid = 0;
    std::string why;
    int held = watchdog_holder(src.run_dir, &pid, &why);
    if (held == 1) {
        fprintf(stderr, "vemoctl: the watchdog already runs: pid %d (%s)\n", static_cast<int>(pid),
                read_exe(pid).c_str());
        return kExitFailure;
    }
    if (held < 0) {
        fprintf(stderr, "vemoctl: not starting: %s\n", why.c_str());
        return kExitFailure;
    }
    std::string daemon = src.bin_dir + "/vemo-watchdog";
    char real[PATH_MAX];
    if (exec_ok(daemon.c_str()) == 0 || realpath(daemon.c_str(), real) == nullptr) {
        fprintf(stderr, "vemoctl: cannot start %s: %s\n", daemon.c_str(), strerror(errno));
        return kExitFailure;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0) {
        fprintf(stderr, "vemoctl: cannot start %s: %s\n", daemon.c_str(), strerror(errno));
        return kExitFailure;
    }
    if (child == 0) {
        // It gets nothing of ours but the standard streams.
        (void)syscall(SYS_close_range, 3U, ~0U, 0U);
        execl(daemon.c_str(), daemon.c_str(), static_cast<char*>(nullptr));
        fprintf(stderr, "vemoctl: cannot execute %s: %s\n", daemon.c_str(), strerror(errno));
        _exit(127);
    }
    // Read while the launcher is still ours to reap: whatever holds the lock later must be younger.
    ProcessInfo launched = read_process(child);
    double deadline = now_monotonic() + kStartWait;
    bool reaped = false;
    int status = 0;
    for (;;) {
        if (!reaped && waitpid(child, &status, WNOHANG) == child) {
            reaped = true;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                fprintf(stderr, "vemoctl: %s ended with status %d before taking its lock\n",
                        daemon.c_str(),
                        WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
                break;
            }
        }
        LockProbe p = probe_pid_file(src.run_dir + "/vemo_watchdog.pid");
        if (p.held_state == STATE_RUNNING) {
            ProcessInfo holder = read_process(p.holder);
            std::string exe = read_exe(p.holder);
            bool ours = exe == real && holder.known &&
                        (!launched.known || holder.started_at >= launched.started_at - 0.01);
            if (!ours) {
                fprintf(stderr,
                        "vemoctl: another process holds %s/vemo_watchdog.pid: pid %d (%s)\n",
                        src.run_dir.c_str(), static_cast<int>(p.holder),
                        exe.empty() ? "executable unreadable" : exe.c_str());
                return kExitFailure;
            }
            // systemd may read the pid file right after we return: wait until it is written.
            char text[16];
            snprintf(text, sizeof text, "%d\n", static_cast<int>(p.holder));
            std::string written;
            FILE* f = fopen((src.run_dir + "/vemo_watchdog.pid").c_str(), "re");
            if (f != nullptr) {
                char buf[32] = {};
                if (fgets(buf, sizeof buf, f) != nullptr) written = buf;
                fclose(f);
            }
            if (written == text) {
                printf("vemo-watchdog started: pid %d\n", static_cast<int>(p.holder));
                return 0;
            }
        }
        if (now_monotonic() >= deadline) {
            fprintf(stderr, "vemoctl: %s did not take its lock within %d s\n", daemon.c_str(),
                    kStartWait);
            break;
        }
        sleep_ms(50);
    }
    if (!reaped) (void)waitpid(child, &status, WNOHANG);
    fprintf(stderr, "vemoctl: the watchdog's last log records:\n");
    show_log_tail();
    return kExitFailure;
}

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
    if (held < 0) {
        fprintf(stderr, "vemoctl: not stopping: %s\n", why.c_str());
        return kExitFailure;
    }
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (!signal_verified(pid, SIGTERM, src.run_dir)) {
        fprintf(stderr, "vemoctl: cannot signal vemo-watchdog (pid %d): %s\n",
                static_cast<int>(pid), strerror(errno));
        if (pidfd >= 0) close(pidfd);
        return kExitFailure;
    }
    fprintf(stderr, "vemoctl: sent SIGTERM to vemo-watchdog (pid %d)\n", static_cast<int>(pid));
    if (args.options.count("--wait") == 0) {
        if (pidfd >= 0) close(pidfd);
        return 0;
    }
    fprintf(stderr, "vemoctl: waiting for it to exit; it finishes its cycle first, up to %d s\n",
            kStopWait);
    bool tty = isatty(2) != 0;
    double started = now_monotonic();
    int code = kExitFailure;
    for (;;) {
        if (process_gone(pid)) {
            code = 0;
            break;
        }
        double waited = now_monotonic() - started;
        if (waited >= kStopWait) break;
        if (tty) fprintf(stderr, "\rvemoctl: still running after %.0f s  ", waited);
        if (pidfd >= 0) {
            struct pollfd pfd = {pidfd, POLLIN, 0};
            (void)poll(&pfd, 1, 250);
        } else {
            sleep_ms(250);
        }
    }
    if (pidfd >= 0) close(pidfd);
    if (tty) fprintf(stderr, "\n");
    if (code == 0) {
        fprintf(stderr, "vemoctl: vemo-watchdog (pid %d) has exited\n", static_cast<int>(pid));
    } else {
        fprintf(stderr, "vemoctl: vemo-watchdog (pid %d) still runs after %d s\n",
                static_cast<int>(pid), kStopWait);
    }
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    std::string error;
    if (!parse_args(argc, argv, &args, &error)) return usage_error(error);
    if (args.options.count("--help") != 0 || args.command == "help") {
        printf("%s", kUsage);
        return 0;
    }
    if (args.options.count("--version") != 0) {
        printf("vemoctl %s\n", kVersion);
        return 0;
    }
    StatusSource src = source_from_self(argc > 0 ? argv[0] : nullptr);
    auto list = args.options.find("--list");
    if (list != args.options.end()) {
        if (list->second.empty()) return usage_error("--list needs a file");
        src.list_file = list->second;
    }
    if (args.command.empty()) return usage_error("no command");
    if (args.command == "status") return cmd_status(args, src);
    if (args.command == "check") return cmd_check(args, src);
    if (args.command == "reload") return cmd_reload(args, src);
    if (args.command == "start") return cmd_start(args, src);
    if (args.command == "stop") return cmd_stop(args, src);
    if (args.command == "selectors") return cmd_selectors(src);
    return usage_error("unknown command " + args.command);
}
