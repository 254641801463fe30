// --restart: vemo-lockrun keeps the lock and runs the program as its child, starting it again
// when it ends. Every signal it acts on stays blocked and is taken with sigtimedwait, so one
// that arrives while it waits out a restart delay is handled in turn, never lost.
#include "lockrun.h"

#include "fileio.h"
#include "paths.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// The signals vemo-lockrun takes itself: SIGCHLD, and those it passes on to the child.
const int kForwarded[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGWINCH};

double clock_seconds(clockid_t id) {
    struct timespec ts;
    (void)clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double now() {
    return clock_seconds(CLOCK_MONOTONIC);
}

double epoch_now() {
    return clock_seconds(CLOCK_REALTIME);
}

struct Supervisor {
    const LockrunOptions* opts = nullptr;
    char program[4096] = "";  // resolved, what the child executes
    char state_path[4096 + 16] = "";
    sigset_t taken;  // blocked here, taken with sigtimedwait
    sigset_t original_mask;
    struct sigaction original[NSIG];  // for --keep-signals
    RestartState state;

    pid_t child = 0;
    double child_started = 0;  // monotonic
    bool started_once = false;
    long streak = 0;         // quick deaths in a row
    double restart_at = -1;  // monotonic time of the next start; -1: none due
    bool stopping = false;   // SIGTERM or SIGINT seen: end once the child has
    double kill_at = -1;     // when the grace period ends
    double abandon_at = -1;  // when to stop waiting for a SIGKILLed child
    int exit_status = -1;    // set when the loop must end
};

void write_state(Supervisor* s) {
    char text[8192];
    int len = format_state(s->state, text, sizeof text);
    if (len < 0) {
        syslog(LOG_WARNING, "cannot write %s: state too long", s->state_path);
        return;
    }
    if (write_file_atomically(s->state_path, text, static_cast<size_t>(len)) != 0)
        syslog(LOG_WARNING, "cannot write %s: %s", s->state_path, strerror(errno));
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void exec_child(const Supervisor& s, pid_t parent, int report_fd) {
    // The kernel ends us with our parent, so no copy runs on without the lock. Our parent may
    // already have died before the prctl took effect: then we have been re-parented.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(kExitFailure);
    if (s.opts->keep_signals) {
        for (int sig : kForwarded)
            (void)sigaction(sig, &s.original[sig], nullptr);
        (void)sigaction(SIGCHLD, &s.original[SIGCHLD], nullptr);
        (void)sigaction(SIGPIPE, &s.original[SIGPIPE], nullptr);
        (void)sigprocmask(SIG_SETMASK, &s.original_mask, nullptr);
    } else {
        reset_signals_for_exec();
    }
    execvp(s.program, s.opts->program_argv);
    int err = errno;
    // The parent reads why; a lost report still shows as an exit status.
    if (write(report_fd, &err, sizeof err) < 0) {
    }
    _exit(exec_failure_status(err));
}

void give_up(Supervisor* s) {
    char text[8192];
    snprintf(text, sizeof text, "giving up on %s after %ld quick exits in a row", s->program,
             s->streak);
    report_failure(*s->opts, text);
    s->exit_status = kExitGaveUp;
}

// An exit of the child, however it ended: logged, published, and the next start planned.
void child_ended(Supervisor* s, int status) {
    double ran = now() - s->child_started;
    pid_t pid = s->child;
    s->child = 0;
    note_exit(&s->state, status, epoch_now(), ran);
    write_state(s);

    int priority = s->stopping ? LOG_INFO : LOG_WARNING;
    if (WIFSIGNALED(status)) {
        char name[32];
        signal_name(WTERMSIG(status), name, sizeof name);
        syslog(priority, "%s (%d) killed by %s (signal %d%s) after %.3f s", s->program,
               static_cast<int>(pid), name, WTERMSIG(status),
               WCOREDUMP(status) ? ", core dumped" : "", ran);
    } else {
        syslog(priority, "%s (%d) exited with status %d after %.3f s", s->program,
               static_cast<int>(pid), WEXITSTATUS(status), ran);
    }
    if (s->stopping) return;

    double delay = next_restart_delay(&s->streak, ran, *s->opts);
    if (delay < 0) {
        give_up(s);
        return;
    }
    s->restart_at = now() + delay;
    if (delay > 0) {
        syslog(LOG_INFO, "restarting %s in %.3f s (%ld quick exits in a row)", s->program, delay,
               s->streak);
    }
}

// A start that failed before there was a child counts as a quick death, so a lasting failure
// backs off and gives up like a crash loop. The first start has no retry: the caller exits.
void retry_failed_start(Supervisor* s) {
    if (!s->started_once) return;
    double delay = next_restart_delay(&s->streak, 0, *s->opts);
    if (delay < 0) {
        give_up(s);
        return;
    }
    s->restart_at = now() + (delay > kFirstBackoffSeconds ? delay : kFirstBackoffSeconds);
}

// Starts the program; false when it could not be started (fork or exec failed).
bool start_child(Supervisor* s) {
    s->restart_at = -1;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        char text[8192];
        snprintf(text, sizeof text, "cannot start %s: pipe: %s", s->program, strerror(errno));
        report_failure(*s->opts, text);
        retry_failed_start(s);
        return false;
    }
    pid_t parent = getpid();
    double started = now();
    pid_t pid = fork();
    if (pid == 0) exec_child(*s, parent, report[1]);
    int fork_err = errno;
    (void)close(report[1]);
    if (pid < 0) {
        (void)close(report[0]);
        char text[8192];
        snprintf(text, sizeof text, "cannot start %s: fork: %s", s->program, strerror(fork_err));
        report_failure(*s->opts, text);
        retry_failed_start(s);
        return false;
    }

    // End of file: the exec went through (the descriptor closed with it).
    int err = 0;
    ssize_t n;
    do {
        n = read(report[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    (void)close(report[0]);
    if (n > 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        char text[8192];
        snprintf(text, sizeof text, "cannot execute %s: %s", s->program, strerror(err));
        report_failure(*s->opts, text);
        if (!s->started_once) {
            s->exit_status = exec_failure_status(err);
            return false;
        }
        s->child = pid;
        s->child_started = started;
        child_ended(s, status);
        return false;
    }

    s->child = pid;
    s->child_started = started;
    s->state.child_pid = pid;
    s->state.child_started_at = epoch_now();
    if (s->started_once) {
        s->state.restarts += 1;
        double gap = s->state.child_started_at - s->state.last_exit_at;
        syslog(LOG_INFO, "restarted %s (%d), restart %lu, %.3f s after the last exit", s->program,
               static_cast<int>(pid), s->state.restarts, gap);
    } else {
        syslog(LOG_INFO, "started %s (%d)", s->program, static_cast<int>(pid));
    }
    s->started_once = true;
    write_state(s);
    return true;
}

// As pid 1 of a container every orphan lands here: reap them all, note our own child.
void reap(Supervisor* s) {
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid < 0 && errno == EINTR) continue;
        if (pid <= 0) return;
        if (pid == s->child) child_ended(s, status);
    }
}

void take_signal(Supervisor* s, int sig) {
    char name[32];
    signal_name(sig, name, sizeof name);
    if (sig == SIGCHLD) {
        reap(s);
        return;
    }
    if (sig == SIGTERM || sig == SIGINT) {
        s->restart_at = -1;
        if (s->child > 0) {
            (void)kill(s->child, sig);
            if (!s->stopping) {
                syslog(LOG_INFO, "%s received: stopping %s (%d), SIGKILL after %.3f s", name,
                       s->program, static_cast<int>(s->child), s->opts->grace);
                s->kill_at = now() + s->opts->grace;
            }
        } else if (!s->stopping) {
            syslog(LOG_INFO, "%s received: stopping, %s is not running", name, s->program);
        }
        s->stopping = true;
        return;
    }
    if (s->child > 0) {
        (void)kill(s->child, sig);
    } else {
        syslog(LOG_INFO, "%s received while %s is not running: not passed on", name, s->program);
    }
}

// The nearest deadline from now, as a sigtimedwait timeout; false when none is due.
bool next_timeout(const Supervisor& s, struct timespec* ts) {
    double deadline = -1;
    auto consider = [&deadline](double d) {
        if (d >= 0 && (deadline < 0 || d < deadline)) deadline = d;
    };
    consider(s.restart_at);
    consider(s.kill_at);
    consider(s.abandon_at);
    if (deadline < 0) return false;
    double left = deadline - now();
    if (left < 0) left = 0;
    ts->tv_sec = static_cast<time_t>(left);
    ts->tv_nsec = static_cast<long>((left - static_cast<double>(ts->tv_sec)) * 1e9);
    return true;
}

void act_on_deadlines(Supervisor* s) {
    double t = now();
    if (s->kill_at >= 0 && t >= s->kill_at) {
        s->kill_at = -1;
        if (s->child > 0) {
            syslog(LOG_WARNING, "%s (%d) still running %.3f s after the stop request: SIGKILL",
                   s->program, static_cast<int>(s->child), s->opts->grace);
            (void)kill(s->child, SIGKILL);
            s->abandon_at = t + 2;
        }
    }
    if (s->abandon_at >= 0 && t >= s->abandon_at && s->child > 0) {
        char text[8192];
        snprintf(text, sizeof text, "%s (%d) did not end after SIGKILL", s->program,
                 static_cast<int>(s->child));
        report_failure(*s->opts, text);
        s->exit_status = kExitFailure;
    }
    if (s->restart_at >= 0 && t >= s->restart_at && !s->stopping) (void)start_child(s);
}

int supervise(Supervisor* s) {
    // A first start that fails ends here: the watchdog's next cycle tries again.
    if (!start_child(s)) return s->exit_status >= 0 ? s->exit_status : kExitFailure;
    for (;;) {
        if (s->exit_status >= 0) return s->exit_status;
        if (s->stopping && s->child == 0) {
            syslog(LOG_INFO, "stopped");
            return kExitStopped;
        }
        struct timespec ts;
        bool timed = next_timeout(*s, &ts);
        siginfo_t info;
        int sig = sigtimedwait(&s->taken, &info, timed ? &ts : nullptr);
        if (sig > 0) {
            take_signal(s, sig);
        } else if (errno != EAGAIN && errno != EINTR) {
            char text[8192];
            snprintf(text, sizeof text, "sigtimedwait: %s", strerror(errno));
            report_failure(*s->opts, text);
            return kExitFailure;
        }
        act_on_deadlines(s);
    }
}

}  // namespace

int run_restart(const LockrunOptions& opts) {
    static Supervisor s;
    s.opts = &opts;
    if (resolve_program(opts.program, s.program, sizeof s.program) != 0) {
        int err = errno;
        char text[8192];
        snprintf(text, sizeof text, "cannot execute %s: %s", opts.program, strerror(err));
        report_failure(opts, text);
        return exec_failure_status(err);
    }
    int n = snprintf(s.state_path, sizeof s.state_path, "%s.lockrun", opts.pid_file);
    if (n < 0 || static_cast<size_t>(n) >= sizeof s.state_path) {
        char text[8192];
        snprintf(text, sizeof text, "cannot write %s.lockrun: %s", opts.pid_file,
                 strerror(ENAMETOOLONG));
        report_failure(opts, text);
        return kExitFailure;
    }
    snprintf(s.state.program, sizeof s.state.program, "%s", s.program);
    mark_inherited_close_on_exec();

    // SIGCHLD at its default, never ignored as the watchdog leaves it, or children would vanish
    // unwaited; the signals we take are blocked, which keeps them pending even as pid 1.
    sigemptyset(&s.taken);
    sigaddset(&s.taken, SIGCHLD);
    for (int sig : kForwarded)
        sigaddset(&s.taken, sig);
    (void)sigprocmask(SIG_BLOCK, &s.taken, &s.original_mask);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    struct sigaction ign = dfl;
    ign.sa_handler = SIG_IGN;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&s.taken, sig) == 1) (void)sigaction(sig, &dfl, &s.original[sig]);
    }
    // A syslog daemon gone away must not kill the wrapper and with it the program.
    (void)sigaction(SIGPIPE, &ign, &s.original[SIGPIPE]);

    return supervise(&s);
}
