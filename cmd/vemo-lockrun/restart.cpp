// --restart: vemo-lockrun keeps the lock and runs the program as its child, starting it again
// when it ends. Every signal it acts on stays blocked and is taken with sigtimedwait, so one
// that arrives while it waits out a restart delay is handled in turn, never lost.
#include "health.h"
#include "lockrun.h"
#include "output.h"

#include "clock.h"
#include "fileio.h"
#include "paths.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// The signals passed on to the child; with SIGCHLD, the ones vemo-lockrun takes itself.
const int kForwarded[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGWINCH};
// Every disposition changed here, in the order Supervisor::original keeps them.
const int kChanged[] = {SIGTERM, SIGINT,   SIGHUP,  SIGQUIT, SIGUSR1,
                        SIGUSR2, SIGWINCH, SIGCHLD, SIGPIPE};
constexpr size_t kChangedCount = sizeof kChanged / sizeof kChanged[0];

// Every member is initialized with a constant, so the static one below needs no code to start
// and its untouched pages stay untouched; the long buffers come last, the often written fields
// together before them.
struct Supervisor {
    const LockrunOptions* opts = nullptr;
    pid_t child = 0;
    double child_started = 0;  // monotonic
    bool started_once = false;
    long streak = 0;            // quick deaths in a row
    double restart_at = -1;     // monotonic time of the next start; -1: none due
    bool stopping = false;      // SIGTERM or SIGINT seen: end once the child has
    double kill_at = -1;        // when the grace period ends
    double abandon_at = -1;     // when to stop waiting for a SIGKILLed child or group
    pid_t group = 0;            // the last child's process group, its pid
    bool draining = false;      // ending what the last child left in its group; nothing starts
    int exit_status = -1;       // set when the loop must end
    bool check_failed = false;  // the child is being ended for its failed health checks
    sigset_t taken{};           // blocked here, taken with sigtimedwait
    sigset_t original_mask{};
    struct sigaction original[kChangedCount] {};  // kChanged's, for --keep-signals
    char* state_path = nullptr;                   // PIDFILE.lockrun, allocated to its length
    RestartState state;  // state.program: resolved, what the child executes
};

// The longest state file path taken.
constexpr size_t kMaxStatePath = 4096 + 16;

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void exec_child(const Supervisor& s, pid_t parent, int report_fd) {
    // The kernel ends us with our parent, so no copy runs on without the lock. Our parent may
    // already have died before the prctl took effect: then we have been re-parented.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(kExitFailure);
    // A group of its own, which the wrapper ends once the program has. It cannot fail in a fresh
    // child of fork, which leads no session.
    if (setpgid(0, 0) != 0 || attach_output() != 0) {
        int err = errno;
        (void)write_all(report_fd, &err, sizeof err);
        _exit(kExitFailure);
    }
    if (s.opts->keep_signals) {
        for (size_t i = 0; i < kChangedCount; ++i)
            (void)sigaction(kChanged[i], &s.original[i], nullptr);
        (void)sigprocmask(SIG_SETMASK, &s.original_mask, nullptr);
    } else {
        reset_signals_for_exec();
    }
    execvp(s.state.program, s.opts->program_argv);
    int err = errno;
    tell_exec_failure(s.state.program, err);
    // The parent reads why; a lost report still shows as an exit status.
    (void)write_all(report_fd, &err, sizeof err);
    _exit(exec_failure_status(err));
}

void give_up(Supervisor* s) {
    report_failuref(*s->opts, "giving up on %s after %ld quick exits in a row", s->opts->name,
                    s->streak);
    s->exit_status = kExitGaveUp;
}

void log_exit(const Supervisor& s, pid_t pid, int status, double ran) {
    int priority = s.stopping ? LOG_INFO : LOG_WARNING;
    if (WIFSIGNALED(status)) {
        char name[32];
        signal_name(WTERMSIG(status), name, sizeof name);
        own_log(priority, "%s (%d) killed by %s (signal %d%s) after %.3f s", s.opts->name,
                static_cast<int>(pid), name, WTERMSIG(status),
                WCOREDUMP(status) ? ", core dumped" : "", ran);
    } else {
        own_log(priority, "%s (%d) exited with status %d after %.3f s", s.opts->name,
                static_cast<int>(pid), WEXITSTATUS(status), ran);
    }
}

// After a child that ran RAN seconds: the next start, or giving up on a crash loop.
void plan_restart(Supervisor* s, double ran) {
    double delay = next_restart_delay(&s->streak, ran, *s->opts);
    if (delay < 0) {
        give_up(s);
        return;
    }
    s->restart_at = monotonic_now() + delay;
    if (delay > 0) {
        own_log(LOG_INFO, "restarting %s in %.3f s (%ld quick exits in a row)", s->opts->name,
                delay, s->streak);
    }
}

// True while a process is in the last child's group. One we may not signal counts as gone,
// since nothing here could end it.
bool group_left(const Supervisor& s) {
    return s.group > 0 && kill(-s.group, 0) == 0;
}

// What the program PID left in its group (workers, helpers) is ended before anything else
// starts or the wrapper exits, so that none of it keeps a port or a file the next copy needs.
// Within the grace period a stop request started, or a new one.
void end_group(Supervisor* s, pid_t pid) {
    if (!group_left(*s)) {
        s->group = 0;
        return;
    }
    s->draining = true;
    if (s->abandon_at >= 0) return;  // SIGKILLed with the program at the stop's deadline
    (void)kill(-s->group, SIGTERM);
    double now = monotonic_now();
    if (s->kill_at < 0) s->kill_at = now + s->opts->grace;
    own_log(LOG_INFO,
            "ending what %s (%d) left in its process group: SIGTERM, SIGKILL after %.3f s",
            s->opts->name, static_cast<int>(pid), s->kill_at - now);
}

// The group is empty, or given up on: its deadlines end, and a start may follow.
void group_ended(Supervisor* s) {
    s->draining = false;
    s->group = 0;
    s->kill_at = -1;
    s->abandon_at = -1;
}

// An exit of the child, however it ended: published, logged, what it left ended, and unless
// stopping, the next start planned.
void child_ended(Supervisor* s, int status) {
    double ran = monotonic_now() - s->child_started;
    pid_t pid = s->child;
    s->child = 0;
    note_exit(&s->state, status, epoch_now(), ran);
    health_program_ended();
    write_state(s->state_path, s->state);
    log_exit(*s, pid, status, ran);
    if (!s->opts->keep_group) end_group(s, pid);
    // The deadlines of ending it for its checks are over, unless its group still has to end.
    if (s->check_failed && !s->draining) {
        s->kill_at = -1;
        s->abandon_at = -1;
    }
    // Ended for its checks without ever passing one: a crash, for the give-up policy.
    if (s->check_failed && health_never_passed()) ran = 0;
    s->check_failed = false;
    if (!s->stopping) plan_restart(s, ran);
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
    s->restart_at = monotonic_now() + (delay > kFirstBackoffSeconds ? delay : kFirstBackoffSeconds);
}

// STEP failed with ERR before there was a child: reported, and a retry planned. Always false.
bool fail_start(Supervisor* s, const char* step, int err) {
    report_failuref(*s->opts, "cannot start %s: %s: %s", s->opts->name, step, error_text(err));
    retry_failed_start(s);
    return false;
}

// What the child reported on FD before its exec: 0 at end of file (the exec went through and
// closed the descriptor), else the exec's errno. Closes FD.
int read_exec_failure(int fd) {
    int err = 0;
    bool reported = read_all(fd, &err, sizeof err);
    (void)close(fd);
    return reported ? err : 0;
}

// The child PID could not execute the program: reaped and reported. The first start ends
// vemo-lockrun; a later one counts as a child that ended at once. Always false.
bool exec_failed(Supervisor* s, pid_t pid, double started, int err) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    report_failuref(*s->opts, "cannot execute %s: %s", s->state.program, error_text(err));
    if (!s->started_once) {
        s->exit_status = exec_failure_status(err);
        return false;
    }
    s->child = pid;
    s->child_started = started;
    s->group = pid;
    child_ended(s, status);
    return false;
}

// The child PID runs the program since STARTED (monotonic): noted, logged and published.
void note_start(Supervisor* s, pid_t pid, double started) {
    s->child = pid;
    s->child_started = started;
    s->group = pid;
    s->state.child_pid = pid;
    s->state.child_started_at = epoch_now();
    if (s->started_once) {
        s->state.restarts += 1;
        double gap = s->state.child_started_at - s->state.last_exit_at;
        own_log(LOG_INFO, "restarted %s (%d), restart %lu, %.3f s after the last exit",
                s->opts->name, static_cast<int>(pid), s->state.restarts, gap);
    } else {
        own_log(LOG_INFO, "started %s (%d)", s->opts->name, static_cast<int>(pid));
    }
    s->started_once = true;
    health_program_started(pid);
    write_state(s->state_path, s->state);
}

// Starts the program; false when it could not be started (pipe, fork or exec failed).
bool start_child(Supervisor* s) {
    s->restart_at = -1;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return fail_start(s, "pipe", errno);
    pid_t parent = getpid();
    double started = monotonic_now();
    pid_t pid = fork();
    if (pid == 0) exec_child(*s, parent, report[1]);
    int fork_err = errno;
    (void)close(report[1]);
    if (pid < 0) {
        (void)close(report[0]);
        return fail_start(s, "fork", fork_err);
    }
    output_names(pid);
    int err = read_exec_failure(report[0]);
    if (err != 0) return exec_failed(s, pid, started, err);
    note_start(s, pid, started);
    return true;
}

// As pid 1 of a container every orphan lands here: reap them all, note our own child.
void reap(Supervisor* s) {
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid < 0 && errno == EINTR) continue;
        if (pid <= 0) return;
        if (pid == s->child) {
            child_ended(s, status);
        } else {
            (void)health_reaped(pid, status);
        }
    }
}

// SIGTERM or SIGINT (named NAME): passed on, the grace period started, no restart any more.
void stop(Supervisor* s, int sig, const char* name) {
    s->restart_at = -1;
    if (s->child > 0) {
        (void)kill(s->child, sig);
        if (!s->stopping) {
            own_log(LOG_INFO, "%s received: stopping %s (%d), SIGKILL after %.3f s", name,
                    s->opts->name, static_cast<int>(s->child), s->opts->grace);
            s->kill_at = monotonic_now() + s->opts->grace;
        }
    } else if (!s->stopping) {
        own_log(LOG_INFO, "%s received: stopping, %s is not running", name, s->opts->name);
    }
    s->stopping = true;
}

void take_signal(Supervisor* s, int sig) {
    char name[32];
    signal_name(sig, name, sizeof name);
    if (sig == SIGCHLD) {
        reap(s);
    } else if (sig == SIGTERM || sig == SIGINT) {
        stop(s, sig, name);
    } else if (sig == kCheckOutputSignal && health_enabled()) {
        health_output();
    } else if (s->child > 0) {
        (void)kill(s->child, sig);
    } else {
        own_log(LOG_INFO, "%s received while %s is not running: not passed on", name,
                s->opts->name);
    }
}

// The nearest deadline from now, as a sigtimedwait timeout; false when none is due.
bool next_timeout(const Supervisor& s, struct timespec* ts) {
    double deadline = -1;
    auto consider = [&deadline](double d) {
        if (d >= 0 && (deadline < 0 || d < deadline)) deadline = d;
    };
    consider(s.draining ? -1 : s.restart_at);
    consider(s.kill_at);
    consider(s.abandon_at);
    consider(s.child > 0 && !s.stopping ? health_deadline() : -1);
    if (deadline < 0) return false;
    double left = deadline - monotonic_now();
    if (left < 0) left = 0;
    ts->tv_sec = static_cast<time_t>(left);
    ts->tv_nsec = static_cast<long>((left - static_cast<double>(ts->tv_sec)) * 1e9);
    return true;
}

// The grace period is over: SIGKILL to the program, with its group unless --keep-group, or to
// what is left of the group once the program has ended.
void kill_at_deadline(Supervisor* s, double t) {
    s->kill_at = -1;
    if (s->child > 0) {
        own_log(LOG_WARNING, "%s (%d) still running %.3f s after the stop request: SIGKILL",
                s->opts->name, static_cast<int>(s->child), s->opts->grace);
        (void)kill(s->opts->keep_group ? s->child : -s->group, SIGKILL);
        s->abandon_at = t + 2;
    } else if (s->draining) {
        own_log(LOG_WARNING, "process group %d of %s still has processes after %.3f s: SIGKILL",
                static_cast<int>(s->group), s->opts->name, s->opts->grace);
        (void)kill(-s->group, SIGKILL);
        s->abandon_at = t + 2;
    }
}

// Failed health checks: the child ended as a stop ends it, then restarted as after a crash. A
// stopped child is continued, or it would only take the SIGTERM at the SIGKILL.
void end_for_checks(Supervisor* s) {
    if (s->child <= 0 || s->stopping || s->check_failed) return;
    s->check_failed = true;
    (void)kill(s->child, SIGTERM);
    (void)kill(s->opts->keep_group ? s->child : -s->group, SIGCONT);
    s->kill_at = monotonic_now() + s->opts->grace;
}

void act_on_deadlines(Supervisor* s) {
    double t = monotonic_now();
    if (s->child > 0 && !s->stopping && health_tick(t)) end_for_checks(s);
    if (s->draining && !group_left(*s)) group_ended(s);
    if (s->kill_at >= 0 && t >= s->kill_at) kill_at_deadline(s, t);
    if (s->abandon_at >= 0 && t >= s->abandon_at) {
        s->abandon_at = -1;
        if (s->child > 0) {
            report_failuref(*s->opts, "%s (%d) did not end after SIGKILL", s->opts->name,
                            static_cast<int>(s->child));
            s->exit_status = kExitFailure;
        } else if (s->draining) {
            // Stuck in the kernel, most likely: the next start must not wait for ever.
            own_log(LOG_WARNING, "process group %d of %s did not end after SIGKILL",
                    static_cast<int>(s->group), s->opts->name);
            group_ended(s);
        }
    }
    if (s->restart_at >= 0 && t >= s->restart_at && !s->stopping && !s->draining)
        (void)start_child(s);
}

int supervise(Supervisor* s) {
    // A first start that fails ends here: the watchdog's next cycle tries again.
    if (!start_child(s)) return s->exit_status >= 0 ? s->exit_status : kExitFailure;
    for (;;) {
        if (s->exit_status >= 0 && !s->draining) return s->exit_status;
        if (s->stopping && s->child == 0 && !s->draining) {
            own_log(LOG_INFO, "stopped");
            return kExitStopped;
        }
        struct timespec ts;
        bool timed = next_timeout(*s, &ts);
        int sig = wait_signal_or_output(&s->taken, timed ? &ts : nullptr);
        if (sig > 0) {
            take_signal(s, sig);
        } else if (errno != EAGAIN && errno != EINTR) {
            report_failuref(*s->opts, "sigtimedwait: %s", error_text(errno));
            return kExitFailure;
        }
        act_on_deadlines(s);
    }
}

// The program's path as the child will execute it, and the state file's; 0, or vemo-lockrun's
// exit status once the failure is reported.
int name_program_and_state(Supervisor* s) {
    const LockrunOptions& opts = *s->opts;
    if (resolve_program(opts.program, s->state.program, sizeof s->state.program) != 0) {
        int err = errno;
        report_failuref(opts, "cannot execute %s: %s", opts.program, error_text(err));
        return exec_failure_status(err);
    }
    size_t size = strlen(opts.pid_file) + sizeof ".lockrun";
    s->state_path = size <= kMaxStatePath ? static_cast<char*>(malloc(size)) : nullptr;
    if (s->state_path == nullptr) {
        report_failuref(opts, "cannot write %s.lockrun: %s", opts.pid_file,
                        error_text(size <= kMaxStatePath ? ENOMEM : ENAMETOOLONG));
        return kExitFailure;
    }
    snprintf(s->state_path, size, "%s.lockrun", opts.pid_file);
    snprintf(s->state.name, sizeof s->state.name, "%s", opts.name);
    return 0;
}

// SIGCHLD at its default, never ignored as the watchdog leaves it, or children would vanish
// unwaited; the signals we take are blocked, which keeps them pending even as pid 1. The
// dispositions found are kept for a --keep-signals child.
void take_signals(Supervisor* s) {
    sigemptyset(&s->taken);
    sigaddset(&s->taken, SIGCHLD);
    if (health_enabled()) sigaddset(&s->taken, kCheckOutputSignal);
    for (int sig : kForwarded)
        sigaddset(&s->taken, sig);
    (void)sigprocmask(SIG_BLOCK, &s->taken, &s->original_mask);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    struct sigaction ign = dfl;
    ign.sa_handler = SIG_IGN;
    for (size_t i = 0; i < kChangedCount; ++i) {
        // A syslog daemon gone away must not kill the wrapper and with it the program.
        (void)sigaction(kChanged[i], kChanged[i] == SIGPIPE ? &ign : &dfl, &s->original[i]);
    }
}

}  // namespace

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

int run_restart(const LockrunOptions& opts) {
    // Static, so its buffers stay off the stack, and only their pages written are resident.
    static Supervisor s;
    s.opts = &opts;
    int rc = name_program_and_state(&s);
    if (rc != 0) return rc;
    mark_inherited_close_on_exec();
    // What the program leaves behind becomes ours when its parent ends, so its end wakes us.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        own_log(LOG_WARNING, "cannot adopt what the program leaves behind: %s", error_text(errno));
    rc = health_setup(opts, &s.state, s.state_path);
    if (rc != 0) return rc;
    if (open_output(opts, &s.state, s.state_path) != 0) {
        report_failuref(opts, "cannot carry the output of %s: %s", opts.name, error_text(errno));
        return kExitFailure;
    }
    take_signals(&s);
    rc = supervise(&s);
    drain_output();
    return rc;
}
