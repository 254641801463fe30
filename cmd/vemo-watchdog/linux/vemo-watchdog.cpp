// vemo-watchdog: keeps the monitor and the programs of the watch list running,
// judging each one only by the write lock on its pid file.
#include "vemo-watchdog.h"

#include "CLockFile.h"
#include "statefile.h"
#include "watchlist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

namespace {

const char* const kVersion = "1.0.2.6";
const char* const kRunDir = VEMO_RUN_DIR;
const char* const kOwnPidFile = VEMO_RUN_DIR "/vemo_watchdog.pid";
const char* const kMonitorPidFile = VEMO_RUN_DIR "/vemo_monitor.pid";

// fgets size for the state file: pieces of up to 126 characters and the NUL; one byte spare.
const int kStatePieceSize = 127;

// The only state the signal handler shares with the loop.
volatile bool stopped = false;
volatile bool g_reload_config = false;

}  // namespace

std::vector<Supervisee*> g_supervisee_vec;

// ---------------------------------------------------------------- signals

typedef void (*SigActionFunc)(int, siginfo_t*, void*);

namespace {

// Async-signal-safe appenders for the handler's note: no stdio, no allocation.
struct NoteBuffer {
    char text[160];
    size_t len = 0;

    void put(const char* s) {
        while (*s != '\0' && len < sizeof text)
            text[len++] = *s++;
    }
    void put(long value) {
        char digits[24];
        size_t n = 0;
        unsigned long magnitude =
            value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) put("-");
        while (n > 0 && len < sizeof text)
            text[len++] = digits[--n];
    }
};

void signal_handler(int sig, siginfo_t* t, void* c) {
    (void)c;
    if (t != nullptr) {
        int saved_errno = errno;
        NoteBuffer note;
        note.put("NOTE: vemo_watchdog (");
        note.put(static_cast<long>(getpid()));
        if (t->si_code <= 0) {
            note.put(") received User Sig ");
            note.put(static_cast<long>(sig));
            note.put(" from pid: ");
            note.put(static_cast<long>(t->si_pid));
            note.put(" uid: ");
            note.put(static_cast<long>(t->si_uid));
        } else {
            note.put(") received Kernel Sig ");
            note.put(static_cast<long>(sig));
            note.put(", Reason: ");
            note.put(static_cast<long>(t->si_code));
        }
        note.put("\n");
        // Nobody may be reading; a lost note is not worth a retry.
        if (write(STDOUT_FILENO, note.text, note.len) < 0) {
        }
        errno = saved_errno;
    }
    if (sig == SIGHUP || sig == SIGINT || sig == SIGQUIT || sig == SIGTERM) {
        stopped = true;
    } else if (sig == SIGUSR1) {
        g_reload_config = true;
    }
}

// No SA_RESTART: a handled signal must cut the cycle's pause short.
void set_signal(int signal, SigActionFunc action_func, int do_reset) {
    struct sigaction action;
    struct sigaction previous;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = action_func;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO;
    if (do_reset != 0) action.sa_flags |= SA_RESETHAND;
    // Only fails for an invalid signal number, and every caller passes a valid one.
    (void)sigaction(signal, &action, &previous);
}

void install_signals() {
    // SIG_IGN goes in as the handler value; the kernel sees the same word either way.
    SigActionFunc ignore = reinterpret_cast<SigActionFunc>(reinterpret_cast<void (*)()>(SIG_IGN));
    set_signal(SIGPIPE, ignore, 0);
    set_signal(SIGCHLD, ignore, 0);
    set_signal(SIGQUIT, signal_handler, 0);
    set_signal(SIGTERM, signal_handler, 0);
    set_signal(SIGINT, signal_handler, 0);
    set_signal(SIGHUP, signal_handler, 0);
    set_signal(SIGUSR1, signal_handler, 0);
}

}  // namespace

// ---------------------------------------------------------------- table and watch list

void fill_monitor_entry(Supervisee* monitor, const std::string& bin_dir) {
    monitor->enabled = true;
    monitor->prog_pid_file = kMonitorPidFile;
    monitor->prog = bin_dir + "/vemo-monitor";
    monitor->args[1] = nullptr;
}

void reset_supervisees(Supervisee* builtin) {
    for (size_t i = 1; i < g_supervisee_vec.size(); ++i)
        delete g_supervisee_vec[i];
    g_supervisee_vec.clear();
    g_supervisee_vec.push_back(builtin);
}

void load_supervisees(const std::string& config) {
    FILE* f = fopen(config.c_str(), "re");
    if (f == nullptr) return;

    WatchLine line;
    while (read_watch_line(f, &line)) {
        if (line.kind == LINE_COMMENT) continue;
        if (line.kind != LINE_ENTRY) {
            syslog(LOG_ERR, "Invalid line [%s] in config file %s.", line.text.c_str(),
                   config.c_str());
            continue;
        }
        Supervisee* entry = new Supervisee;
        entry->items = std::move(line.fields);
        entry->enabled = line.enabled;
        entry->prog_pid_file = entry->items[1];
        entry->prog = entry->items[2];
        size_t slot = 1;
        for (size_t i = kMinFields; i < entry->items.size() && slot <= kMaxArgs; ++i, ++slot) {
            entry->args[slot] = &entry->items[i][0];
        }
        entry->args[slot] = nullptr;
        g_supervisee_vec.push_back(entry);
    }
    fclose(f);
}

// ---------------------------------------------------------------- supervision pass

namespace {

// One message to a standard stream and to the log, the same text by construction; the stream
// copy alone gets stream_prefix in front. Callers pass a literal format.
template <typename... Args>
void report(FILE* stream, const char* stream_prefix, int priority, const char* format,
            Args... args) {
    (void)fputs(stream_prefix, stream);
    if constexpr (sizeof...(Args) == 0) {
        (void)fputs(format, stream);
        syslog(priority, "%s", format);
    } else {
        (void)fprintf(stream, format, args...);
        syslog(priority, format, args...);
    }
}

// Creates only the last component; a deeper gap surfaces as the probe's ENOENT.
void ensure_directory(const char* dir) {
    if (access(dir, R_OK | W_OK | X_OK) != 0) {
        (void)mkdir(dir, 0755);
    }
}

void stop_disabled(const Supervisee& entry) {
    syslog(LOG_INFO, "%s was disabled.\n", entry.prog.c_str());
    CLockFile probe(entry.prog_pid_file.c_str());
    pid_t holder = 0;
    int rc = probe.Open(&holder);
    if (rc == 0) {
        probe.Close();
        return;
    }
    // A pid file may say anything: never signal init or ourselves.
    if (rc != 1 || holder <= 0 || holder == 1 || holder == getpid()) return;
    syslog(LOG_INFO, "Sending SIGTERM to (%d:%s)\n", holder, entry.prog.c_str());
    (void)kill(holder, SIGTERM);
}

// Runs in the child: returns only when execvp failed.
void exec_supervisee(Supervisee* entry, char* resolved) {
    report(stdout, "", LOG_INFO, "process %s (%d) spawned\n", resolved, getpid());
    entry->args[0] = resolved;
    mark_inherited_close_on_exec();
    fflush(stdout);
    fflush(stderr);
    int ret = execvp(resolved, entry->args);
    int err = errno;
    syslog(LOG_ERR, "execute process %s failure\n", resolved);
    fprintf(stderr, "ret = %d, error = %s\n", ret, strerror(err));
}

// PASS_LEAVE_CHILD in a child whose execvp failed, else PASS_DONE.
PassOutcome keep_running(Supervisee* entry) {
    const std::string& pid_file = entry->prog_pid_file;
    CLockFile probe(pid_file.c_str());
    pid_t holder = 0;
    int rc = probe.Open(&holder);
    // Only a missing directory fails the open with ENOENT, so the steady state never pays for the
    // directory check. A bare file name lives in the current directory: nothing to create.
    if (rc == -1 && errno == ENOENT && pid_file.find_first_of("/\\") != std::string::npos) {
        ensure_directory(BaseDir(pid_file).c_str());
        rc = probe.Open(&holder);
    }
    if (rc == -1) {
        report(stderr, "", LOG_WARNING, "Lock file %s failure (%s)\n", pid_file.c_str(),
               strerror(errno));
        return PASS_DONE;
    }
    if (rc == 1 && holder > 0) {
        printf("Lock file %s held by process %d\n", pid_file.c_str(), holder);
        return PASS_DONE;
    }
    if (rc == 1) {
        report(stdout, "", LOG_WARNING, "Lock file %s exists, but can't read process ID\n",
               pid_file.c_str());
        return PASS_DONE;
    }

    probe.Close();
    report(stdout, "", LOG_INFO, "%s is not running.\n", entry->prog.c_str());

    char* resolved = exec_abspath(entry->prog.c_str());
    if (resolved == nullptr) {
        report(stderr, "", LOG_WARNING, "%s not found : %s\n", entry->prog.c_str(),
               strerror(errno));
        return PASS_DONE;
    }

    // Buffered text must not be written again by the child.
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0) {
        printf("error: %s\n", strerror(errno));
        syslog(LOG_ERR, "spawning process %s failure\n", resolved);
        return PASS_DONE;
    }
    if (child == 0) {
        exec_supervisee(entry, resolved);
        return PASS_LEAVE_CHILD;
    }
    return PASS_DONE;
}

}  // namespace

PassOutcome supervise_entries() {
    for (size_t i = 0; i < g_supervisee_vec.size(); ++i) {
        Supervisee* entry = g_supervisee_vec[i];
        if (entry->prog_pid_file.empty() || entry->prog.empty()) {
            syslog(LOG_ERR, "invalid value in g_supervisee_vec[%d]\n", static_cast<int>(i));
            continue;
        }
        if (!entry->enabled) {
            stop_disabled(*entry);
        } else if (keep_running(entry) == PASS_LEAVE_CHILD) {
            return PASS_LEAVE_CHILD;
        }
    }
    return PASS_DONE;
}

// ---------------------------------------------------------------- monitor liveness probe

namespace {

// Judges the piece from its key on; true when the monitor counts as alive.
bool judge_state_piece(const char* key) {
    std::string digits = request_time_digits(key + strlen(kStateKey));
    if (digits.empty()) return false;

    // strtol saturates at LONG_MAX, a time far in the future, which counts as alive.
    long value = strtol(digits.c_str(), nullptr, 10);
    long now = static_cast<long>(time(nullptr));
    // Written as a subtraction from now, which cannot overflow, instead of value + the age.
    if (value >= now - kMaxRequestAgeSeconds) return true;
    syslog(LOG_WARNING,
           "healthy checking failure: vemo-monitor dead for %ld seconds, last request tm %s, "
           "current %ld\n",
           now - value, digits.c_str(), now);
    return false;
}

}  // namespace

bool VemoMonitorHelthCheck(const std::string& running_root) {
    std::string path = running_root + VEMO_RUN_DIR "/state.log";
    for (int attempt = 0; attempt < 3; ++attempt) {
        FILE* f = fopen(path.c_str(), "re");
        if (f == nullptr) {
            syslog(LOG_WARNING, "open %s failure.", path.c_str());
            sleep(3);
            continue;
        }
        char piece[kStatePieceSize + 1];
        while (fgets(piece, kStatePieceSize, f) != nullptr) {
            const char* key = strstr(piece, kStateKey);
            if (key == nullptr) continue;
            if (judge_state_piece(key)) {
                fclose(f);
                return true;
            }
            break;
        }
        fclose(f);
        sleep(3);
    }
    return false;
}

// ---------------------------------------------------------------- start-up and cycle

namespace {

// Started with a standard stream closed, the log socket would take its number, daemon() would
// put /dev/null over it, and the log would come back on it close-on-exec: every child would start
// with that stream closed, and its own pid file would become it. So each closed one gets /dev/null.
void ensure_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number is this one, as every lower one is open by now.
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0) return;  // nothing better to put there; daemon() tries again
        if (null_fd != fd) {
            (void)dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

void ensure_run_dir() {
    ensure_directory(kRunDir);
}

void reap_children() {
    int status;
    while (waitpid(-1, &status, WNOHANG) > 0) {
    }
}

// Ends the process: another watchdog holds the lock, or it could not be taken.
[[noreturn]] void report_lock_failure(int rc, pid_t holder, int err) {
    report(stderr, "WARNING: ", LOG_ERR, "Can't acquire lockfile '%s' ", kOwnPidFile);
    if (rc == -1) {
        report(stderr, "", LOG_ERR, " (%s)\n", strerror(err));
    } else if (holder <= 0) {
        report(stderr, " ", LOG_ERR, "(Lock file exists, but can't read process ID)\n");
    } else {
        report(stderr, "", LOG_ERR, "(Lock file held by process ID %d)\n", holder);
    }
    exit(-2);
}

void take_own_lock(CLockFile* lock, pid_t* running_pid) {
    int rc = lock->Get(running_pid);
    if (rc != 0) report_lock_failure(rc, *running_pid, errno);
}

// The lock is free for a moment here: a rival that takes it ends this watchdog.
void renew_own_lock(CLockFile* lock, pid_t* running_pid) {
    lock->Close();
    ensure_run_dir();
    take_own_lock(lock, running_pid);
}

}  // namespace

// The unit tests build this file with main renamed (CMakeLists.txt, target watchdog_core).
int main(int argc, char** argv) {
    (void)argc;
    ensure_standard_streams();
    // Named outright: this C library takes a facility of 0 as the kernel's, not the user's.
    openlog("vemo-watchdog", LOG_PID | LOG_NDELAY | LOG_NOWAIT, LOG_USER);
    ensure_run_dir();

    // The kernel turns an empty argument vector into one empty string.
    if (argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') {
        syslog(LOG_ERR,
               "vemo-watchdog started failure : no program path in the argument vector .\n");
        return 1;
    }
    char* cwd = get_current_dir_name();
    if (cwd == nullptr) {
        syslog(LOG_INFO, "%s started failure : unable to get current dir name .\n", argv[0]);
        return 1;
    }
    const Installation inst = locate_installation(argv[0], cwd);
    free(cwd);

    Supervisee vemo_monitor;
    fill_monitor_entry(&vemo_monitor, inst.bin_dir);
    g_supervisee_vec.push_back(&vemo_monitor);
    load_supervisees(inst.watching_list_config_file);

    // A failed detach leaves us in the foreground, which still supervises.
    if (daemon(1, 0) != 0) {
    }
    install_signals();

    CLockFile watchdog_lockfile(kOwnPidFile);
    pid_t running_pid = 0;
    take_own_lock(&watchdog_lockfile, &running_pid);
    syslog(LOG_INFO, "%s_%s started.\n", inst.watchdog_prog.c_str(), kVersion);

    for (;;) {
        reap_children();
        sleep(1);
        if (g_reload_config) {
            // Cleared first: a request made while the list is read must not be lost with it.
            g_reload_config = false;
            reset_supervisees(&vemo_monitor);
            load_supervisees(inst.watching_list_config_file);
        }
        if (supervise_entries() == PASS_LEAVE_CHILD) return 0;
        sleep(10);
        renew_own_lock(&watchdog_lockfile, &running_pid);
        if (stopped) {
            syslog(LOG_INFO, "%s_%s stopped.\n", inst.watchdog_prog.c_str(), kVersion);
            closelog();
            return 0;
        }
    }
}
