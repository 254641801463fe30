#include "lockrun.h"

#include "CLockFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kUsage[] = "usage: vemo-lockrun [OPTIONS] PIDFILE PROGRAM [ARGS...]\n";

const char kHelp[] =
    "Holds the lock on PIDFILE for PROGRAM, which takes none.\n"
    "\n"
    "  --restart          run PROGRAM as a child and start it again when it ends\n"
    "  --keep-signals     pass on the inherited signal dispositions and mask\n"
    "  --grace=SECONDS    --restart: wait after SIGTERM before SIGKILL (default 10)\n"
    "  --max-delay=SECONDS  --restart: cap of the restart back-off (default 5)\n"
    "  --give-up=N        --restart: exit after N quick deaths in a row, 0 never (default 10)\n"
    "  --                 ends the options\n"
    "\n"
    "See vemo-lockrun(8).\n";

// A duration option: a plain non-negative decimal number of seconds, at most a day.
bool parse_seconds(const char* text, double* out) {
    if (*text == '\0' || *text == '-' || *text == '+' || *text == ' ') return false;
    char* end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0 || v > 86400) return false;
    // strtod also reads hexadecimal and exponents; only digits and one point are documented.
    if (strspn(text, "0123456789.") != strlen(text)) return false;
    *out = v;
    return true;
}

bool parse_count(const char* text, long* out) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > 1000000) return false;
    *out = v;
    return true;
}

// Closing ANY descriptor of the locked file drops the process's lock, so every one of them
// must survive exec, not only the one CLockFile opened. 1: kept; 0: another file; -1: failed.
int keep_if_pid_file(int fd, const struct stat& pid_file) {
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != pid_file.st_dev || st.st_ino != pid_file.st_ino)
        return 0;
    int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == 0 ? 1 : -1;
}

// True when every descriptor of the pid file, and at least one, will stay open across exec.
bool keep_lock_across_exec(const struct stat& pid_file) {
    int kept = 0;
    bool failed = false;
    DIR* dir = opendir("/proc/self/fd");
    if (dir != nullptr) {
        int own = dirfd(dir);
        while (struct dirent* e = readdir(dir)) {
            char* end = nullptr;
            long fd = strtol(e->d_name, &end, 10);
            if (end == e->d_name || *end != '\0' || fd == own) continue;
            int rc = keep_if_pid_file(static_cast<int>(fd), pid_file);
            kept += rc > 0;
            failed |= rc < 0;
        }
        closedir(dir);
    } else {
        // Without /proc, try every descriptor number the limit allows.
        struct rlimit lim;
        rlim_t top = getrlimit(RLIMIT_NOFILE, &lim) == 0 ? lim.rlim_cur : 1024;
        if (top == RLIM_INFINITY || top > (1 << 20)) top = 1 << 20;
        for (rlim_t fd = 0; fd < top; ++fd) {
            int rc = keep_if_pid_file(static_cast<int>(fd), pid_file);
            kept += rc > 0;
            failed |= rc < 0;
        }
    }
    return kept > 0 && !failed;
}

}  // namespace

int exec_failure_status(int err) {
    return err == ENOENT || err == ENOTDIR ? kExitNotFound : kExitCannotExecute;
}

int parse_options(int argc, char** argv, LockrunOptions* opts, char* error, size_t error_size) {
    error[0] = '\0';
    int i = 1;
    bool restart_only = false;
    const char* restart_only_name = "";
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--") == 0) {
            ++i;
            break;
        }
        bool ok = true;
        if (strcmp(arg, "--restart") == 0) {
            opts->restart = true;
        } else if (strcmp(arg, "--keep-signals") == 0) {
            opts->keep_signals = true;
        } else if (strcmp(arg, "--help") == 0) {
            opts->help = true;
            return 0;
        } else if (strncmp(arg, "--grace=", 8) == 0) {
            ok = parse_seconds(arg + 8, &opts->grace);
            restart_only = true;
            restart_only_name = "--grace";
        } else if (strncmp(arg, "--max-delay=", 12) == 0) {
            ok = parse_seconds(arg + 12, &opts->max_delay);
            restart_only = true;
            restart_only_name = "--max-delay";
        } else if (strncmp(arg, "--give-up=", 10) == 0) {
            ok = parse_count(arg + 10, &opts->give_up);
            restart_only = true;
            restart_only_name = "--give-up";
        } else {
            snprintf(error, error_size, "unknown option %s", arg);
            return kExitUsage;
        }
        if (!ok) {
            snprintf(error, error_size, "invalid value in %s", arg);
            return kExitUsage;
        }
    }
    if (restart_only && !opts->restart) {
        snprintf(error, error_size, "%s needs --restart", restart_only_name);
        return kExitUsage;
    }
    if (argc - i < 2) return kExitUsage;
    opts->pid_file = argv[i];
    opts->program = argv[i + 1];
    opts->program_argv = argv + i + 1;
    return 0;
}

void report_failure(const LockrunOptions& opts, const char* text) {
    fprintf(stderr, "vemo-lockrun: %s\n", text);
    if (opts.pid_file != nullptr && opts.program != nullptr) {
        syslog(LOG_ERR, "%s (pid file %s, program %s)", text, opts.pid_file, opts.program);
    } else {
        syslog(LOG_ERR, "%s", text);
    }
}

void reset_signals_for_exec() {
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    // The C library refuses its own reserved signals and the kernel SIGKILL and SIGSTOP with
    // EINVAL: those are at their defaults already, so the failures are expected.
    for (int sig = 1; sig < NSIG; ++sig)
        (void)sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);
}

namespace {

// PATH prefixed with the current directory when relative. 0, or -1 with errno set.
int make_absolute(const char* path, char* out, size_t out_size) {
    char cwd[4096] = "";
    if (path[0] != '/' && getcwd(cwd, sizeof cwd) == nullptr) return -1;
    char joined[4096];
    int n = snprintf(joined, sizeof joined, "%s%s%s", cwd, cwd[0] != '\0' ? "/" : "", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof joined || static_cast<size_t>(n) >= out_size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(out, joined, static_cast<size_t>(n) + 1);
    return 0;
}

}  // namespace

int resolve_program(const char* program, char* out, size_t out_size) {
    if (strchr(program, '/') != nullptr) return make_absolute(program, out, out_size);
    // As execvp: an empty PATH entry is the current directory, and without PATH it searches
    // the C library's default.
    const char* path = getenv("PATH");
    if (path == nullptr) path = "/bin:/usr/bin";
    bool denied = false;
    for (const char* dir = path;; ++dir) {
        const char* end = strchrnul(dir, ':');
        int len = static_cast<int>(end - dir);
        char candidate[4096];
        int n = len == 0 ? snprintf(candidate, sizeof candidate, "%s", program)
                         : snprintf(candidate, sizeof candidate, "%.*s/%s", len, dir, program);
        struct stat st;
        if (n > 0 && static_cast<size_t>(n) < sizeof candidate && stat(candidate, &st) == 0 &&
            S_ISREG(st.st_mode)) {
            if (access(candidate, X_OK) == 0) return make_absolute(candidate, out, out_size);
            denied = true;
        }
        dir = end;
        if (*dir == '\0') break;
    }
    errno = denied ? EACCES : ENOENT;
    return -1;
}

double next_restart_delay(long* streak, double ran, const LockrunOptions& opts) {
    if (ran >= kSettledSeconds) {
        *streak = 0;
        return 0;
    }
    *streak += 1;
    if (opts.give_up > 0 && *streak >= opts.give_up) return -1;
    if (*streak == 1) return 0;
    double delay = kFirstBackoffSeconds;
    for (long i = 2; i < *streak && delay < opts.max_delay; ++i)
        delay *= 2;
    return delay < opts.max_delay ? delay : opts.max_delay;
}

void signal_name(int sig, char* out, size_t out_size) {
    const char* abbrev = sigabbrev_np(sig);
    if (abbrev != nullptr) {
        snprintf(out, out_size, "SIG%s", abbrev);
    } else {
        snprintf(out, out_size, "SIG%d", sig);
    }
}

void note_exit(RestartState* state, int wait_status, double at, double ran) {
    if (WIFSIGNALED(wait_status)) {
        char name[32];
        signal_name(WTERMSIG(wait_status), name, sizeof name);
        snprintf(state->last_exit, sizeof state->last_exit, "killed %s", name);
        state->last_exit_code = 128 + WTERMSIG(wait_status);
    } else {
        snprintf(state->last_exit, sizeof state->last_exit, "exited %d", WEXITSTATUS(wait_status));
        state->last_exit_code = WEXITSTATUS(wait_status);
    }
    state->last_exit_at = at;
    state->last_run_seconds = ran;
    state->child_pid = 0;
    state->child_started_at = 0;
}

namespace {

// "0" stands for none, as the state file's readers expect; otherwise three decimals.
void format_stamp(double v, char (&out)[32]) {
    if (v <= 0) {
        snprintf(out, sizeof out, "0");
    } else {
        snprintf(out, sizeof out, "%.3f", v);
    }
}

}  // namespace

int format_state(const RestartState& state, char* out, size_t out_size) {
    char started[32];
    char exit_at[32];
    char ran[32];
    format_stamp(state.child_started_at, started);
    format_stamp(state.last_exit_at, exit_at);
    format_stamp(state.last_run_seconds, ran);
    int n = snprintf(out, out_size,
                     "program=%s\nchild_pid=%d\nchild_started_at=%s\nrestarts=%lu\n"
                     "last_exit=%s\nlast_exit_code=%d\nlast_exit_at=%s\nlast_run_seconds=%s\n",
                     state.program, static_cast<int>(state.child_pid), started, state.restarts,
                     state.last_exit, state.last_exit_code, exit_at, ran);
    return n < 0 || static_cast<size_t>(n) >= out_size ? -1 : n;
}

int lockrun_main(int argc, char** argv) {
    openlog("vemo-lockrun", LOG_PID, LOG_USER);
    LockrunOptions opts;
    char error[512];
    if (parse_options(argc, argv, &opts, error, sizeof error) != 0) {
        if (error[0] != '\0') {
            report_failure(opts, error);
        } else {
            syslog(LOG_ERR, "usage error: PIDFILE and PROGRAM are required");
        }
        (void)fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (opts.help) {
        (void)fputs(kUsage, stdout);
        (void)fputs(kHelp, stdout);
        return 0;
    }

    // Before the lock, so that holding it without being the program lasts no longer than it must:
    // the lock's holder counts as the running program from the moment it is taken.
    if (!opts.restart && !opts.keep_signals) reset_signals_for_exec();

    // Exec keeps the process, so in the default mode the pid Get writes is the program's; with
    // --restart it is ours, the lock's holder.
    CLockFile lock(opts.pid_file);
    pid_t holder = 0;
    int rc = lock.Get(&holder);
    if (rc == 1 && holder > 0) {
        char text[8192];
        snprintf(text, sizeof text, "%s is locked by process %d", opts.pid_file,
                 static_cast<int>(holder));
        report_failure(opts, text);
        return kExitFailure;
    }
    if (rc == 1) {
        char text[8192];
        snprintf(text, sizeof text, "%s is locked by another process (its pid cannot be read)",
                 opts.pid_file);
        report_failure(opts, text);
        return kExitFailure;
    }
    if (rc != 0) {
        char text[8192];
        snprintf(text, sizeof text, "cannot lock %s: %s", opts.pid_file, strerror(errno));
        report_failure(opts, text);
        return kExitFailure;
    }
    if (opts.restart) return run_restart(opts);

    // Checked by name: a lock on a file since replaced at that path would guard nothing.
    struct stat st;
    if (stat(opts.pid_file, &st) != 0 || !keep_lock_across_exec(st)) {
        char text[8192];
        snprintf(text, sizeof text, "cannot keep the lock on %s across exec", opts.pid_file);
        report_failure(opts, text);
        return kExitFailure;
    }

    execvp(opts.program, opts.program_argv);
    int err = errno;
    char text[8192];
    snprintf(text, sizeof text, "cannot execute %s: %s", opts.program, strerror(err));
    report_failure(opts, text);
    return exec_failure_status(err);
}
